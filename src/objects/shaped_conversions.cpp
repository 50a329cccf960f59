#include "objects/shaped_conversions.hpp"

#include <algorithm>
#include <vector>

#include "binding/gil.hpp"
#include "columns/columns.hpp"
#include "conversions/conversions.hpp"
#include "objects/numpy_support.hpp"
#include "objects/state_columns.hpp"

namespace vantrel {

Ref convert_shaped_column(const ItemConversion& conversion, const PlannedField& field,
                          const void* raw, std::size_t packets, std::size_t limit,
                          const ElementRanges& ranges, std::span<std::uint8_t> mask,
                          std::optional<ShapedConversionFailure>& failure,
                          const ElementTime* element_time) {
  const Conversion& c = conversion.conversion;
  const std::uint64_t total = ranges.begin(packets);
  Ref array;
  WritableView view;
  StateObjectColumn states;
  void* out = nullptr;
  StateHandles* handles = nullptr;
  if (c.kind == ConversionKind::Enumeration) {
    if (!states.create(conversion, total)) return {};
    out = states.data();
    handles = states.handles();
  } else {
    array = empty_array(total, c.kind == ConversionKind::TimeCode ? "int64" : "float64");
    if (!array || !view.acquire(array.get())) return {};
    out = view.data();
  }
  failure = without_gil([&] {
    return convert_packet_elements(c, column_type_of(field.spec), raw, packets, limit, ranges, out,
                                   mask, handles, element_time);
  });
  if (handles != nullptr) array = states.finish();
  view.release();
  if (c.kind == ConversionKind::TimeCode) {
    array = Ref::steal(PyObject_CallMethod(array.get(), "view", "s", "datetime64[ns]"));
  }
  return array;
}

}  // namespace vantrel
