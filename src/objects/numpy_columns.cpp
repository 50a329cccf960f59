// Layout.unpack_many into numpy columns, for every layout: single values
// become 1-D columns, fixed arrays 2-D columns, variable arrays ragged
// columns, and the fields after a variable array are read where it ends in
// each packet.
#include <algorithm>
#include <cstring>
#include <limits>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "binding/buffer_view.hpp"
#include "binding/call_frame.hpp"
#include "columns/packet_checks.hpp"
#include "columns/plan_decode.hpp"
#include "common/format.hpp"
#include "conversions/converted_blocks.hpp"
#include "objects/check_recipes.hpp"
#include "objects/conversion_recipes.hpp"
#include "objects/converted_column.hpp"
#include "objects/field_values.hpp"
#include "objects/layout_columns.hpp"
#include "objects/layout_data.hpp"
#include "objects/layout_packets.hpp"
#include "objects/layout_shapes.hpp"
#include "objects/numpy_support.hpp"
#include "objects/packet_functions.hpp"
#include "objects/ragged_column.hpp"

namespace vantrel {

namespace {

struct Column {
  Ref array;  // numeric: the flat array; text: a list
  WritableView view;
  std::vector<std::uint8_t> mask;  // one byte per packet
  Ref offsets;                     // variable arrays
  WritableView offsets_view;
  std::size_t item_size = 0;
  std::unique_ptr<ConvertedColumn> converted;  // engineering values, in place of `array`
};

}  // namespace

void raise_packet_failure(const LayoutData& data, ByteSpan buffer, const PacketStarts& starts,
                          const PacketGeometry& geometry, const PacketFailure& failure) {
  const LayoutItem& item = data.items[failure.item];
  const std::uint64_t start = starts[failure.packet];
  if (failure.error) {
    raise_item_failure(*failure.error, item);
  } else if (start > std::numeric_limits<std::uint64_t>::max() / 8) {
    PyErr_Format(PyExc_ValueError, "the packet starts past the end of the %zu-byte buffer",
                 buffer.size());
  } else if (data.plan.segment_count() == 1) {
    // Every field at a fixed place: the packet is short for the whole
    // layout, as Layout.unpack reports it.
    const std::uint64_t limit = starts.limit(failure.packet, buffer.size());
    if (starts.ends != nullptr && start <= limit) {
      raise_packet_too_short(data, limit - start, 0);
    } else {
      raise_packet_too_short(data, buffer.size(), start * 8);
    }
  } else {
    const std::string message =
        concat(item.context, bounds_message(data.plan, buffer, starts, geometry, failure));
    PyErr_SetString(PyExc_ValueError, message.c_str());
  }
  raise_with_location(concat("packet ", failure.packet, " at byte ", start));
}

std::optional<ElementTime> wide_time_reader(const LayoutData& data, ByteSpan buffer,
                                            const PacketStarts& starts,
                                            const PacketGeometry& geometry, std::size_t j) {
  const ItemConversion* conversion = data.items[j].conversion.get();
  if (conversion == nullptr || conversion->conversion.kind != ConversionKind::TimeCode ||
      data.plan.fields()[j].spec.bits <= 64) {
    return std::nullopt;
  }
  return element_time_reader(data.plan, buffer, starts, geometry, j, conversion->conversion.time);
}

PyObject* unpack_many_numpy(const LayoutData& data, ByteSpan buffer, bool buffer_immutable,
                            const PacketStarts& starts, bool masking, bool raw, TextForm text_form,
                            PyObject* text_dtype) {
  const Plan& plan = data.plan;
  const std::span<const PlannedField> fields = plan.fields();
  const std::size_t n = starts.count;
  // Each packet's variable parts, without the interpreter lock. With
  // errors="raise", packets past the first failure are skipped.
  PacketGeometry geometry;
  std::optional<PacketFailure> first;
  const std::size_t decoded =
      without_gil([&] { return measure_packets(plan, buffer, starts, masking, geometry, first); });

  // The columns, with the lock.
  std::vector<Column> columns(fields.size());
  for (std::size_t j = 0; j < fields.size(); ++j) {
    const PlannedField& field = fields[j];
    Column& column = columns[j];
    if (masking) column.mask.assign(n, 0);
    const ColumnType type = column_type_of(field.spec);
    if (type == ColumnType::Text) continue;  // made with the text below
    column.item_size = column_item_size(type);
    std::uint64_t total = n * field.fixed_count();
    if (field.shape.is_variable()) {
      column.offsets = empty_array(n + 1, "int64");
      if (!column.offsets || !column.offsets_view.acquire(column.offsets.get())) return nullptr;
      const std::span offsets(static_cast<std::int64_t*>(column.offsets_view.data()), n + 1);
      fill_entry_offsets(geometry, j, decoded, offsets);
      total = static_cast<std::uint64_t>(offsets[n]);
    }
    if (const ItemConversion* conversion = raw ? nullptr : data.items[j].conversion.get()) {
      column.converted = std::make_unique<ConvertedColumn>();
      if (!column.converted->create(*conversion, total)) return nullptr;
      continue;
    }
    column.array = empty_array(total, column_type_row(type).dtype);
    if (!column.array || !column.view.acquire(column.array.get())) return nullptr;
  }

  // Numeric columns, without the lock; engineering values converted as
  // they are decoded.
  std::vector<FieldTarget> targets(fields.size());
  std::vector<std::optional<ElementTime>> wide_times(fields.size());
  std::vector<BlockDecoder> decoders(fields.size());
  for (std::size_t j = 0; j < fields.size(); ++j) {
    Column& column = columns[j];
    const auto* offsets = static_cast<const std::int64_t*>(column.offsets_view.data());
    const std::span<std::uint8_t> mask =
        masking ? std::span(column.mask) : std::span<std::uint8_t>();
    if (column.converted) {
      wide_times[j] = wide_time_reader(data, buffer, starts, geometry, j);
      const ConvertedTarget converted{&data.items[j].conversion->conversion,
                                      static_cast<std::uint8_t*>(column.converted->data()),
                                      offsets,
                                      mask,
                                      column.converted->handles(),
                                      wide_times[j] ? &*wide_times[j] : nullptr};
      decoders[j] = converted_block_decoder(plan, buffer, starts, geometry, j, converted);
      targets[j].decode_block = &decoders[j];
    } else if (column.view.data() != nullptr) {
      targets[j] = FieldTarget{static_cast<std::uint8_t*>(column.view.data()), offsets,
                               column.item_size, mask, nullptr};
    }
  }
  std::vector<std::uint8_t> check_failed;  // under a mask, with a check: one flag per packet
  without_gil([&] {
    decode_numeric_fields(plan, buffer, starts, geometry, decoded, masking, targets, first);
    verify_packet_checks(plan, data.checks, buffer, starts, geometry, decoded, masking,
                         check_failed, first);
  });
  for (std::size_t i = 0; i < check_failed.size(); ++i) {
    if (check_failed[i] == 0) continue;
    for (Column& column : columns) column.mask[i] = 1;  // a failed check taints every field
  }
  for (Column& column : columns) {
    if (!column.converted) continue;
    column.array = column.converted->finish();
    if (!column.array) return nullptr;
  }

  // Text columns.
  for (std::size_t j = 0; j < fields.size(); ++j) {
    const PlannedField& field = fields[j];
    Column& column = columns[j];
    if (column.view.data() != nullptr || column.array) continue;
    const std::size_t limit = first ? std::min(decoded, first->packet + 1) : decoded;
    const FieldBitOf field_bit = field_bit_of(plan, buffer, starts, geometry, j);
    const std::span<std::uint8_t> mask =
        masking ? std::span(column.mask) : std::span<std::uint8_t>();
    std::optional<ColumnFailure> failure;
    switch (text_form) {
      case TextForm::Str: {
        ObjectColumn text;
        if (!text.create(n) || !decode_text_column_at(buffer, buffer_immutable, limit, field,
                                                      field_bit, text, mask, failure)) {
          return nullptr;
        }
        column.array = text.release();
        break;
      }
      case TextForm::Bytes:
        column.array = bytes_column(
            n, field,
            [&](std::uint8_t* out) {
              return copy_field_bytes_at(buffer, limit, field, field_bit, out, mask);
            },
            failure);
        if (!column.array) return nullptr;
        break;
      case TextForm::StringDType: {
        Utf8Column text;
        without_gil([&] {
          failure =
              decode_utf8_column_at(buffer, buffer_immutable, limit, field, field_bit, text, mask);
        });
        if (!failure && !first) {
          column.array = string_dtype_column(text, text_dtype);
          if (!column.array) return nullptr;
        }
        break;
      }
    }
    if (failure) note_packet_failure(first, failure->packet, j, std::move(failure->error));
  }
  if (first) {
    raise_packet_failure(data, buffer, starts, geometry, *first);
    return nullptr;
  }

  Ref result = Ref::steal(PyDict_New());
  if (!result) return nullptr;
  for (std::size_t j = 0; j < fields.size(); ++j) {
    const PlannedField& field = fields[j];
    Column& column = columns[j];
    column.view.release();
    column.offsets_view.release();
    if (masking) mask_cut_packets(starts, column.mask);
    Ref value = std::move(column.array);
    if (field.shape.is_variable()) {
      Ref mask_array;
      if (masking && std::find(column.mask.begin(), column.mask.end(), 1) != column.mask.end()) {
        mask_array = empty_array(n, "bool");
        WritableView mask_view;
        if (!mask_array || !mask_view.acquire(mask_array.get())) return nullptr;
        std::memcpy(mask_view.data(), column.mask.data(), n);
      }
      value = Ref::steal(make_ragged_column(value.get(), column.offsets.get(), mask_array.get()));
      if (!value) return nullptr;
    } else {
      if (field.shape.kind == CountKind::Fixed) {
        value = Ref::steal(PyObject_CallMethod(value.get(), "reshape", "(nK)",
                                               static_cast<Py_ssize_t>(n),
                                               static_cast<unsigned long long>(field.shape.fixed)));
        if (!value) return nullptr;
      }
      if (masking) {
        std::vector<std::uint8_t> mask;
        if (field.shape.kind == CountKind::Fixed) {
          mask.reserve(n * field.shape.fixed);
          for (const std::uint8_t m : column.mask) mask.insert(mask.end(), field.shape.fixed, m);
        } else {
          mask = std::move(column.mask);
        }
        value = masked_column(value.get(), mask);
        if (!value) return nullptr;
      }
    }
    if (PyDict_SetItem(result.get(), data.items[j].name.get(), value.get()) < 0) return nullptr;
  }
  if (masking && !data.checks.empty()) {
    Ref column = check_failed_numpy(check_failed);
    if (!column || PyDict_SetItemString(result.get(), kCheckFailedColumn, column.get()) < 0) {
      return nullptr;
    }
  }
  return result.release();
}

}  // namespace vantrel
