#include "objects/shaped_conversions.hpp"

#include <algorithm>
#include <vector>

#include "binding/gil.hpp"
#include "objects/numpy_support.hpp"
#include "objects/state_columns.hpp"
#include "placement/columns.hpp"
#include "placement/conversions.hpp"

namespace vantrel {

Ref convert_shaped_column(const ItemConversion& conversion, const PlannedField& field,
                          const void* raw, std::size_t packets, std::size_t limit,
                          const ElementRanges& ranges, std::span<std::uint8_t> mask,
                          std::optional<ShapedConversionFailure>& failure) {
  const Conversion& c = conversion.conversion;
  const ColumnType raw_type = column_type_of(field.spec);
  const std::uint64_t total = ranges.begin(packets);
  limit = std::min(limit, packets);

  // One byte per element: 1 where it is not converted (a masked packet, or
  // one past the limit), and where its conversion fails.
  std::vector<std::uint8_t> failed(total, 0);
  for (std::size_t i = 0; i < packets; ++i) {
    if (i >= limit || (!mask.empty() && mask[i] != 0)) {
      std::fill(failed.begin() + static_cast<std::ptrdiff_t>(ranges.begin(i)),
                failed.begin() + static_cast<std::ptrdiff_t>(ranges.begin(i + 1)), 1);
    }
  }
  const std::vector<std::uint8_t> skipped = failed;

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
  // Converting with a mask goes on past failures, marking them.
  without_gil([&] {
    if (total != 0) convert_values(c, raw_type, raw, total, out, failed, handles);
  });
  if (handles != nullptr) array = states.finish();
  view.release();

  // The packets whose elements failed.
  const std::size_t item = column_item_size(raw_type);
  for (std::size_t i = 0; i < limit; ++i) {
    const std::uint64_t begin = ranges.begin(i);
    const std::uint64_t end = ranges.begin(i + 1);
    bool bad = false;
    for (std::uint64_t e = begin; e < end && !bad; ++e) bad = failed[e] != 0 && skipped[e] == 0;
    if (!bad) continue;
    if (!mask.empty()) {
      mask[i] = 1;
      continue;
    }
    // The packet's error, from its elements converted again on their own.
    std::vector<std::uint64_t> scratch(end - begin);
    const auto element =
        convert_values(c, raw_type, static_cast<const std::uint8_t*>(raw) + begin * item,
                       end - begin, scratch.data(), {});
    if (element) failure = ShapedConversionFailure{i, element->error};
    break;
  }
  if (c.kind == ConversionKind::TimeCode) {
    array = Ref::steal(PyObject_CallMethod(array.get(), "view", "s", "datetime64[ns]"));
  }
  return array;
}

}  // namespace vantrel
