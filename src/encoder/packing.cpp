// pack_parameters: sizes the packet from every item's width and offset,
// encodes every item, then writes the fields straight into the bytes object
// that is returned.
#include <algorithm>
#include <cstring>
#include <optional>
#include <vector>

#include "common/bits.hpp"
#include "common/checked.hpp"
#include "common/packet_bits.hpp"
#include "lib/packet_functions.hpp"
#include "lib/recipe_fields.hpp"

namespace vantrel {

namespace {

// One encoded item, waiting to be written.
struct PlannedField {
  std::uint64_t position;
  std::uint32_t bits;
  bool little_endian;
  bool reverse_bits;
  FieldContent content;
  Ref owner;  // keeps a borrowed UTF-8 buffer (the "utf8" content) alive
};

bool raise_failure(const Error& error) {
  raise_error(error);
  return false;
}

// Sizing pass: the packet ends at the largest field end. Reads only the
// dict check, `bits` and `offset_bits` of every item.
bool measure_packet(PyObject* items, std::uint64_t& end_bit) {
  end_bit = 0;
  const Py_ssize_t count = PyList_GET_SIZE(items);
  for (Py_ssize_t i = 0; i < count; ++i) {
    RecipeItem item;
    std::uint32_t bits = 0;
    std::optional<std::uint64_t> offset;
    if (!item.open(PyList_GET_ITEM(items, i)) || !item.get_required_field(bits) ||
        !item.get_optional_field(offset)) {
      return false;
    }
    const auto field_end = add_bit_positions(offset.value_or(end_bit), bits);
    if (!field_end) return raise_failure(field_end.error());
    end_bit = std::max(end_bit, *field_end);
  }
  return true;
}

bool convert_value(ValueKind kind, PyObject* value, PackInput& input) {
  switch (kind) {
    case ValueKind::Unsigned: return to_u64(value, input.unsigned_value);
    case ValueKind::Signed: return to_i64(value, input.signed_value);
    case ValueKind::Real32: return to_f32(value, input.real32);
    case ValueKind::Real64: return to_f64(value, input.real64);
    case ValueKind::Text: return to_text(value, input.text);
    case ValueKind::NotPackable: break;
  }
  return false;
}

// Writing pass, first half: reads and encodes one item.
bool plan_field(PyObject* object, std::uint64_t running_position, PlannedField& field) {
  RecipeItem item;
  TextField name, encoding, byte_order_text;
  std::uint32_t bits = 0;
  bool reverse = false;
  std::optional<std::uint64_t> offset;
  Ref value;
  if (!item.open(object) || !item.get_required_field(RecipeKey::Name, name) ||
      !item.get_required_field(RecipeKey::Encoding, encoding) || !item.get_required_field(bits) ||
      !item.get_required_field(RecipeKey::ByteOrder, byte_order_text) ||
      !item.get_reverse_bits(reverse) || !item.get_optional_field(offset) ||
      !item.get_value(name.text, value)) {
    return false;
  }

  bool lookup_failed = false;
  const EncodingRow* row = lookup_encoding(encoding, lookup_failed);
  if (lookup_failed) return false;
  if (row == nullptr || row->value_kind == ValueKind::NotPackable) {
    raise_unsupported_encoding(encoding);
    return false;
  }
  PackInput input;
  if (!convert_value(row->value_kind, value.get(), input)) return false;
  auto content = row->encode(input, bits);
  if (!content) return raise_failure(content.error());

  ByteOrder byte_order = ByteOrder::Big;
  if (!parse_byte_order(byte_order_text, byte_order)) return false;

  field.position = offset.value_or(running_position);
  field.bits = bits;
  field.little_endian = byte_order == ByteOrder::Little;
  field.reverse_bits = reverse;
  field.content = std::move(*content);
  field.owner = std::move(value);
  return true;
}

// A numeric pattern as the ceil(bits / 8) big-endian bytes that hold it,
// mirrored over `bits` bits when asked. Used for fields wider than 64 bits.
std::vector<std::uint8_t> encode_integer_to_bytes(std::uint64_t pattern, std::uint32_t bits,
                                                  bool reverse) {
  std::vector<std::uint8_t> bytes((std::size_t{bits} + 7) / 8, 0);
  for (std::size_t i = bytes.size(); i > 0 && pattern != 0; --i, pattern >>= 8) {
    bytes[i - 1] = static_cast<std::uint8_t>(pattern);
  }
  if (reverse) mirror_field_bytes(bytes.data(), bytes.size(), bits);
  return bytes;
}

void place_field(std::uint8_t* packet, std::uint64_t size, const PlannedField& field) {
  const std::uint32_t bits = field.bits;
  if (const auto* pattern = std::get_if<std::uint64_t>(&field.content)) {
    if (bits <= 64) {
      std::uint64_t value = field.reverse_bits ? mirror_low_bits(*pattern, bits) : *pattern;
      if (field.little_endian) value = reverse_low_bytes(value, (bits + 7) / 8);
      write_field(packet, size, field.position, value & low_mask(bits), bits);
      return;
    }
    std::vector<std::uint8_t> bytes = encode_integer_to_bytes(*pattern, bits, field.reverse_bits);
    if (field.little_endian) std::reverse(bytes.begin(), bytes.end());
    write_field_bytes(packet, size, field.position, bits, bytes.data(), bytes.size());
    return;
  }

  ByteSpan text_bytes;
  if (const auto* owned = std::get_if<std::string>(&field.content)) {
    text_bytes = ByteSpan(reinterpret_cast<const std::uint8_t*>(owned->data()), owned->size());
  } else {
    text_bytes = std::get<ByteSpan>(field.content);
  }
  if (field.little_endian && text_bytes.size() > 1) {
    std::vector<std::uint8_t> reversed(text_bytes.rbegin(), text_bytes.rend());
    write_field_bytes(packet, size, field.position, bits, reversed.data(), reversed.size());
  } else {
    write_field_bytes(packet, size, field.position, bits, text_bytes.data(), text_bytes.size());
  }
}

}  // namespace

PyObject* build_packet(PyObject* items) {
  std::uint64_t end_bit = 0;
  if (!measure_packet(items, end_bit)) return nullptr;

  // Every item is encoded before the packet is allocated, so a bad item never
  // costs a large allocation.
  const Py_ssize_t count = PyList_GET_SIZE(items);
  std::vector<PlannedField> fields(static_cast<std::size_t>(count));
  std::uint64_t running_position = 0;
  for (Py_ssize_t i = 0; i < count; ++i) {
    PlannedField& field = fields[static_cast<std::size_t>(i)];
    if (!plan_field(PyList_GET_ITEM(items, i), running_position, field)) return nullptr;
    const auto next = add_bit_positions(field.position, field.bits);
    if (!next) {
      raise_error(next.error());
      return nullptr;
    }
    running_position = *next;
  }

  const std::uint64_t size = end_bit / 8 + (end_bit % 8 != 0);
  if (size > static_cast<std::uint64_t>(PY_SSIZE_T_MAX) / 2) {
    raise_error(Error{ErrorKind::ValueError,
                      concat("Packet of ", end_bit, " bits is too large to allocate")});
    return nullptr;
  }
  Ref packet = Ref::steal(PyBytes_FromStringAndSize(nullptr, static_cast<Py_ssize_t>(size)));
  if (!packet) return nullptr;
  auto* bytes = reinterpret_cast<std::uint8_t*>(PyBytes_AS_STRING(packet.get()));
  std::memset(bytes, 0, size);
  for (const PlannedField& field : fields) place_field(bytes, size, field);
  return packet.release();
}

}  // namespace vantrel
