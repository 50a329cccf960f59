// Layout.unpack_many(..., output="arrow"), for every layout: single values
// become Arrow arrays, fixed arrays fixed-size lists, variable arrays large
// lists, each over one buffer of values that the packets are decoded into
// once, without the interpreter lock and without an interpreter object per
// packet.
#include <algorithm>
#include <memory>
#include <optional>
#include <span>
#include <string>
#include <vector>

#include "binding/call_frame.hpp"
#include "binding/gil.hpp"
#include "columns/arrow_export.hpp"
#include "columns/packet_checks.hpp"
#include "columns/plan_decode.hpp"
#include "common/format.hpp"
#include "conversions/conversions.hpp"
#include "conversions/converted_blocks.hpp"
#include "objects/arrow_objects.hpp"
#include "objects/check_recipes.hpp"
#include "objects/conversion_recipes.hpp"
#include "objects/layout_columns.hpp"
#include "objects/layout_data.hpp"
#include "objects/numpy_support.hpp"

namespace vantrel {

namespace {

// Sizes field j's buffers for n packets once the first `placed` are placed:
// the values of every entry, and a variable array's offsets.
void size_column(ArrowColumnData& column, const PlannedField& field, std::size_t j,
                 const PacketGeometry& geometry, std::size_t n, std::size_t placed) {
  if (column.is_text()) return;
  std::uint64_t total = n * field.fixed_count();
  if (field.shape.is_variable()) {
    column.list_offsets.resize((n + 1) * sizeof(std::int64_t));
    const std::span offsets(reinterpret_cast<std::int64_t*>(column.list_offsets.data()), n + 1);
    fill_entry_offsets(geometry, j, placed, offsets);
    total = static_cast<std::uint64_t>(offsets[n]);
  }
  column.values.resize(total * column_item_size(column.type));
}

// An element without a state (masked, or past the limit) still points
// inside the dictionary; its packet is null.
void clamp_states(ArrowColumnData& column) {
  auto* states = reinterpret_cast<std::int32_t*>(column.values.data());
  const std::size_t total = column.values.size() / sizeof(std::int32_t);
  for (std::size_t e = 0; e < total; ++e) states[e] = std::max(states[e], 0);
}

}  // namespace

PyObject* unpack_many_arrow(const LayoutData& data, ByteSpan buffer, bool buffer_immutable,
                            const PacketStarts& starts, bool masking, bool raw) {
  const Plan& plan = data.plan;
  const std::span<const PlannedField> fields = plan.fields();
  const std::size_t n = starts.count;
  std::vector<std::shared_ptr<ArrowColumnData>> columns(fields.size());
  for (std::size_t j = 0; j < fields.size(); ++j) {
    auto column = std::make_shared<ArrowColumnData>();
    Py_ssize_t size = 0;
    const char* name = PyUnicode_AsUTF8AndSize(data.items[j].name.get(), &size);
    if (name == nullptr) return nullptr;
    column->name.assign(name, static_cast<std::size_t>(size));
    column->type = column_type_of(fields[j].spec);
    column->length = n;
    if (fields[j].shape.kind == CountKind::Fixed) column->set_fixed_lists(fields[j].shape.fixed);
    if (fields[j].shape.is_variable()) column->set_variable_lists();
    columns[j] = std::move(column);
  }

  PacketGeometry geometry;
  std::optional<PacketFailure> first;
  std::vector<std::uint8_t> check_failed;  // under a mask, with a check: one flag per packet
  without_gil([&] {
    const std::size_t placed = measure_packets(plan, buffer, starts, masking, geometry, first);
    std::vector<std::vector<std::uint8_t>> masks(masking ? fields.size() : 0);
    std::vector<FieldTarget> targets(fields.size());
    std::vector<std::optional<ElementTime>> wide_times(fields.size());
    std::vector<BlockDecoder> decoders(fields.size());
    for (std::size_t j = 0; j < fields.size(); ++j) {
      ArrowColumnData& column = *columns[j];
      const ItemConversion* conversion = raw ? nullptr : data.items[j].conversion.get();
      // Engineering values are converted as they are decoded, straight
      // into the column of their own type.
      if (conversion != nullptr && !column.is_text()) {
        set_converted_type(column, conversion->conversion);
      }
      size_column(column, fields[j], j, geometry, n, placed);
      // A column no packet can fail gets no mask (one is made if a check or
      // a cut packet needs it).
      if (masking && (conversion != nullptr || !field_never_fails(starts, fields[j]))) {
        masks[j].assign(n, 0);
      }
      if (column.is_text()) continue;
      targets[j] = FieldTarget{column.values.data(),
                               reinterpret_cast<const std::int64_t*>(column.list_offsets.data()),
                               column_item_size(column.type),
                               masking ? std::span(masks[j]) : std::span<std::uint8_t>(), nullptr};
      if (conversion != nullptr) {
        wide_times[j] = wide_time_reader(data, buffer, starts, geometry, j);
        const ConvertedTarget converted{
            &conversion->conversion, targets[j].values, targets[j].offsets,
            targets[j].mask,         nullptr,           wide_times[j] ? &*wide_times[j] : nullptr};
        decoders[j] = converted_block_decoder(plan, buffer, starts, geometry, j, converted);
        targets[j].decode_block = &decoders[j];
      }
    }
    decode_numeric_fields(plan, buffer, starts, geometry, placed, masking, targets, first);
    verify_packet_checks(plan, data.checks, buffer, starts, geometry, placed, masking, check_failed,
                         first);
    for (std::size_t i = 0; i < check_failed.size(); ++i) {
      if (check_failed[i] == 0) continue;
      for (std::vector<std::uint8_t>& mask : masks) {
        if (mask.empty()) mask.assign(n, 0);
        mask[i] = 1;  // a failed check taints all
      }
    }
    if (masking || !first) {
      for (std::size_t j = 0; j < fields.size(); ++j) {
        if (targets[j].decode_block != nullptr && columns[j]->dictionary) {
          clamp_states(*columns[j]);
        }
      }
    }
    for (std::size_t j = 0; j < fields.size(); ++j) {
      if (!columns[j]->is_text()) continue;
      const std::size_t limit = first ? std::min(placed, first->packet + 1) : placed;
      decode_text_field(plan, buffer, buffer_immutable, starts, geometry, limit, j,
                        columns[j]->text, masking ? std::span(masks[j]) : std::span<std::uint8_t>(),
                        first);
    }
    if (masking) {
      for (std::size_t j = 0; j < fields.size(); ++j) {
        if (!starts.cut.empty() && masks[j].empty()) masks[j].assign(n, 0);
        mask_cut_packets(starts, masks[j]);
        columns[j]->set_nulls(masks[j]);
      }
    }
  });
  if (first) {
    raise_packet_failure(data, buffer, starts, geometry, *first);
    return nullptr;
  }

  // Layouts with arrays refuse repeated names: one column per field.
  auto table = std::make_shared<ArrowTableData>();
  table->length = n;
  table->columns.assign(columns.begin(), columns.end());
  if (!masking || data.checks.empty())
    return make_arrow_columns(std::move(table), data.names.get());
  table->columns.push_back(check_failed_arrow(check_failed));
  Ref extra = Ref::steal(Py_BuildValue("(s)", kCheckFailedColumn));
  if (!extra) return nullptr;
  Ref names = Ref::steal(PySequence_Concat(data.names.get(), extra.get()));
  if (!names) return nullptr;
  return make_arrow_columns(std::move(table), names.get());
}

}  // namespace vantrel
