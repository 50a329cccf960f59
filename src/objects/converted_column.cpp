#include "objects/converted_column.hpp"

namespace vantrel {

bool ConvertedColumn::create(const ItemConversion& conversion, std::uint64_t total) {
  kind_ = conversion.conversion.kind;
  if (kind_ == ConversionKind::Enumeration) {
    states_ = std::make_unique<StateObjectColumn>();
    return states_->create(conversion, total);
  }
  // Time codes are filled as int64 and viewed as datetime64[ns] when
  // finished (numpy lends no buffer of datetimes).
  array_ = empty_array(total, kind_ == ConversionKind::TimeCode ? "int64" : "float64");
  return array_ && view_.acquire(array_.get());
}

Ref ConvertedColumn::finish() {
  if (states_) return states_->finish();
  view_.release();
  if (kind_ == ConversionKind::TimeCode) {
    return Ref::steal(PyObject_CallMethod(array_.get(), "view", "s", "datetime64[ns]"));
  }
  return std::move(array_);
}

}  // namespace vantrel
