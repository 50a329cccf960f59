// A Layout's compiled recipe (its plan and what the interpreter side keeps of
// each item), and the per-field work that packing and unpacking share across
// one packet and many packets.
#pragma once

#include <array>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "binding/py_ref.hpp"
#include "columns/packet_checks.hpp"
#include "decoder/decoders.hpp"
#include "layout/plan.hpp"
#include "objects/field_values.hpp"
#include "objects/packet_functions.hpp"
#include "streams/framing.hpp"

namespace vantrel {

struct ItemConversion;
struct ItemCheck;

// What the interpreter side keeps of one recipe item.
struct LayoutItem {
  Ref name;             // interned exact str: the result key and the key pack() looks up
  Ref encoding_text;    // as the recipe wrote it, for messages and pickling
  Ref byte_order_text;  // likewise
  std::string context;  // "recipe item 3 ('temp'): ", the prefix of this item's errors
  // The item's "convert" key, read: null for a field given as decoded.
  std::shared_ptr<const ItemConversion> conversion;
  // The item's "check" key, read: null for a field that is not a check.
  std::shared_ptr<const ItemCheck> check;
  // A padded text field's pad character, encoded (at most 4 bytes, in
  // UTF-32): packing fills the field with it. Empty: no padding to pack.
  struct PadUnit {
    std::array<char, 4> bytes{};
    std::uint8_t size = 0;
    std::string_view view() const { return {bytes.data(), size}; }
  } pad_unit;
  // "keep_raw": the next item is this one's raw twin (name + "_raw").
  bool keep_raw = false;
};

// Immutable once built, so layouts are shared between threads freely.
struct LayoutData {
  Plan plan;
  std::vector<LayoutItem> items;
  // The recipe's fields, which packing fills: the raw twins of "keep_raw"
  // come after them.
  std::size_t packed_fields = 0;
  Ref names;  // tuple of the items' names, in recipe order
  // Where each packet's header gives its total length, when the layout was
  // told: packets then end where their own length says.
  std::optional<LengthField> packet_length;
  // The check fields, in recipe order, resolved against the plan.
  std::vector<PacketCheck> checks;

  // Whether the packet's size is the plan's whatever the values: no
  // variable array, and no length field to fill in.
  bool size_known() const { return plan.segment_count() == 1 && !packet_length; }
};

struct LayoutObject {
  PyObject_HEAD LayoutData* data;
};

// Raises the ValueError of a packet too short for the layout at
// `offset_bits`, naming its length, the bits needed and the first field
// outside it (or the position that passes 2^64 - 1). Returns nullptr.
PyObject* raise_packet_too_short(const LayoutData& data, std::size_t packet_size,
                                 std::uint64_t offset_bits);

// Raises `error` as the packet functions do, prefixed with the item. False.
bool raise_item_failure(const Error& error, const LayoutItem& item);

// Places text content shorter than its field with the field's padding
// around it; false with ValueError when the pad characters cannot fill the
// room left.
bool place_padded(const PlannedField& field, const LayoutItem& item, const FieldContent& content,
                  std::span<std::uint8_t> packet);

// Encodes a converted value and places it in `packet`; false with the
// failure raised, naming the item. Inline: it is the per-field work of
// pack() and pack_many().
inline bool pack_input(const PlannedField& field, const LayoutItem& item, const PackInput& input,
                       std::span<std::uint8_t> packet) {
  const EncodingRow& row = *field.spec.row;
  // Numeric fields skip the generic content: the common case, kept lean.
  if (row.encode_pattern != nullptr) [[likely]] {
    const Result<std::uint64_t> pattern = row.encode_pattern(input, field.spec.bits);
    if (!pattern) [[unlikely]]
      return raise_item_failure(pattern.error(), item);
    place_pattern(packet, field.position, field.spec, *pattern);
  } else {
    const Result<FieldContent> content = row.encode_text(input, field.spec.bits);
    if (!content) [[unlikely]]
      return raise_item_failure(content.error(), item);
    if (item.pad_unit.size != 0) return place_padded(field, item, *content, packet);
    place_field(packet, field.position, field.spec, *content);
  }
  return true;
}

// Raises "Unsupported encoding type" for a row that only decodes. False.
bool raise_not_packable(const LayoutItem& item);

// The same from an interpreter object, converted as pack_parameters does.
inline bool pack_value(const PlannedField& field, const LayoutItem& item, PyObject* value,
                       std::span<std::uint8_t> packet) {
  const EncodingRow& row = *field.spec.row;
  if (row.value_kind == ValueKind::NotPackable) [[unlikely]]
    return raise_not_packable(item);
  PackInput input;
  if (!convert_value(row.value_kind, value, input)) [[unlikely]] {
    rewrap_engine_failure(item.context);
    return false;
  }
  return pack_input(field, item, input, packet);
}

// The value of a field whose row has a column kernel, made straight from
// its pattern (these decoders cannot fail); nullptr, with no exception, for
// the other rows, which go through their decoder. Inline: it is most of
// the per-field work of unpack().
inline PyObject* common_value(const FieldSpec& spec, const FieldInput& input) {
  switch (spec.row->column_kernel) {
    case ColumnKernel::Unsigned: return PyLong_FromUnsignedLongLong(input.pattern);
    case ColumnKernel::TwosComplement:
      return PyLong_FromLongLong(decode_twos_complement(input.pattern, spec.bits));
    case ColumnKernel::Binary16: return PyFloat_FromDouble(decode_ieee754_f16(input.pattern));
    case ColumnKernel::Binary32: return PyFloat_FromDouble(decode_ieee754_f32(input.pattern));
    case ColumnKernel::Binary64: return PyFloat_FromDouble(decode_ieee754_f64(input.pattern));
    case ColumnKernel::RowDecoder: break;
  }
  return nullptr;
}

// The keyword-only `raw` flag of unpack, pack and their archive forms: True
// gives and takes the values as the fields hold them, conversions skipped.
bool read_raw_flag(PyObject* object, bool& raw);

// Raises ValueError "{item's context}{message}". False.
bool refuse(const LayoutItem& item, const std::string& message);
// repr(object) as UTF-8, "?" when it fails.
std::string quoted(PyObject* object);

// The plan of a Layout instance (the caller has checked the type).
inline const LayoutData& layout_data(PyObject* layout) {
  return *reinterpret_cast<LayoutObject*>(layout)->data;
}

}  // namespace vantrel
