// unpack_parameters: walks the recipe from the call's bit offset, reads
// every field straight from the packet's buffer and decodes it.
#include <algorithm>
#include <optional>
#include <vector>

#include "common/bits.hpp"
#include "common/checked.hpp"
#include "common/fault.hpp"
#include "common/format.hpp"
#include "common/packet_bits.hpp"
#include "lib/packet_functions.hpp"
#include "lib/py_compat.hpp"
#include "lib/recipe_fields.hpp"

namespace vantrel {

namespace {

struct ItemFields {
  TextField name;
  TextField encoding;
  std::uint32_t bits = 0;
  TextField byte_order;
  bool reverse_bits = false;
  std::optional<std::uint64_t> offset;
};

bool read_item(PyObject* object, ItemFields& out) {
  RecipeItem item;
  return item.open(object) && item.get_required_field(RecipeKey::Name, out.name) &&
         item.get_required_field(RecipeKey::Encoding, out.encoding) &&
         item.get_required_field(out.bits) &&
         item.get_required_field(RecipeKey::ByteOrder, out.byte_order) &&
         item.get_reverse_bits(out.reverse_bits) && item.get_optional_field(out.offset);
}

// A field that does not lie inside the packet is an internal fault, reported
// the way a slice outside a byte string is.
void check_bounds(std::uint64_t position, std::uint64_t end_bit, std::uint32_t bits,
                  std::size_t packet_size) {
  const std::uint64_t start = position / 8;
  const std::uint64_t end = bits == 0 ? start : end_bit / 8 + (end_bit % 8 != 0);
  if (start > packet_size) {
    throw Fault(
        concat("range start index ", start, " out of range for slice of length ", packet_size));
  }
  if (end > packet_size) {
    throw Fault(concat("range end index ", end, " out of range for slice of length ", packet_size));
  }
}

// The field's bytes, right-aligned, after the byte order is undone. Borrowed
// from the packet when the field is byte-aligned big-endian, else built in
// `scratch`.
ByteSpan field_bytes(ByteSpan packet, std::uint64_t position, std::uint32_t bits,
                     bool little_endian, std::vector<std::uint8_t>& scratch) {
  const std::size_t size = (std::size_t{bits} + 7) / 8;
  if (!little_endian && position % 8 == 0 && bits % 8 == 0) {
    return packet.subspan(position / 8, size);
  }
  scratch.resize(size);
  read_field_bytes(packet.data(), position, bits, scratch.data());
  if (little_endian) std::reverse(scratch.begin(), scratch.end());
  return ByteSpan(scratch.data(), size);
}

// The field pattern: the field bytes folded first byte most significant,
// then mirrored over the field's width or limited to it.
std::uint64_t field_pattern(ByteSpan packet, std::uint64_t position, std::uint32_t bits,
                            bool little_endian, bool reverse_bits,
                            std::vector<std::uint8_t>& scratch) {
  if (bits <= 64) {
    std::uint64_t pattern = read_field(packet.data(), position, bits);
    if (little_endian) pattern = reverse_low_bytes(pattern, (bits + 7) / 8);
    return reverse_bits ? mirror_low_bits(pattern, bits) : pattern & low_mask(bits);
  }
  // Wider fields: mirror over the whole width, then fold the last 8 bytes,
  // where packing puts its 64-bit pattern.
  scratch.resize((std::size_t{bits} + 7) / 8);
  read_field_bytes(packet.data(), position, bits, scratch.data());
  if (little_endian) std::reverse(scratch.begin(), scratch.end());
  if (reverse_bits) mirror_field_bytes(scratch.data(), scratch.size(), bits);
  std::uint64_t pattern = 0;
  for (std::size_t i = scratch.size() - 8; i < scratch.size(); ++i) {
    pattern = (pattern << 8) | scratch[i];
  }
  return pattern;
}

PyObject* to_python_value(const FieldValue& value, StrResult& text) {
  struct Converter {
    StrResult& text;
    PyObject* operator()(std::uint64_t v) const { return PyLong_FromUnsignedLongLong(v); }
    PyObject* operator()(std::int64_t v) const { return PyLong_FromLongLong(v); }
    PyObject* operator()(double v) const { return PyFloat_FromDouble(v); }
    PyObject* operator()(TextWritten) const { return text.release(); }
  };
  return std::visit(Converter{text}, value);
}

// Result keys are plain str objects, also when an item names itself with a
// str subclass.
Ref result_key(const TextField& name) {
  if (PyUnicode_CheckExact(name.object.get())) return Ref::borrow(name.object.get());
  return Ref::steal(
      PyUnicode_FromStringAndSize(name.text.data(), static_cast<Py_ssize_t>(name.text.size())));
}

}  // namespace

PyObject* process_recipe(ByteSpan packet, std::uint64_t offset_bits, PyObject* items) {
  // Sized for every item up front: no rehashing while the result fills.
  Ref values = Ref::steal(compat::new_presized_dict(PyList_GET_SIZE(items)));
  if (!values) return nullptr;
  std::vector<std::uint8_t> scratch;
  std::uint64_t running_position = offset_bits;

  const Py_ssize_t count = PyList_GET_SIZE(items);
  for (Py_ssize_t i = 0; i < count; ++i) {
    ItemFields item;
    if (!read_item(PyList_GET_ITEM(items, i), item)) return nullptr;

    std::uint64_t position = running_position;
    if (item.offset) {
      const auto absolute = add_bit_positions(offset_bits, *item.offset);
      if (!absolute) {
        raise_error(absolute.error());
        return nullptr;
      }
      position = *absolute;
    }
    const auto end_bit = add_bit_positions(position, item.bits);
    if (!end_bit) {
      raise_error(end_bit.error());
      return nullptr;
    }
    check_bounds(position, *end_bit, item.bits, packet.size());

    ByteOrder byte_order = ByteOrder::Big;
    if (!parse_byte_order(item.byte_order, byte_order)) return nullptr;
    const bool little_endian = byte_order == ByteOrder::Little;

    bool lookup_failed = false;
    const EncodingRow* row = lookup_encoding(item.encoding, lookup_failed);
    if (lookup_failed) return nullptr;
    if (row == nullptr) {
      raise_unsupported_encoding(item.encoding);
      return nullptr;
    }

    FieldInput field;
    field.bits = item.bits;
    if (row->value_kind == ValueKind::Text) {
      field.bytes = field_bytes(packet, position, item.bits, little_endian, scratch);
    } else {
      field.pattern =
          field_pattern(packet, position, item.bits, little_endian, item.reverse_bits, scratch);
    }
    StrResult text;
    const auto decoded = row->decode(field, text);
    if (!decoded) {
      raise_error(decoded.error());
      return nullptr;
    }
    Ref value = Ref::steal(to_python_value(*decoded, text));
    Ref key = result_key(item.name);
    if (!value || !key || PyDict_SetItem(values.get(), key.get(), value.get()) < 0) return nullptr;
    running_position = *end_bit;
  }
  return values.release();
}

}  // namespace vantrel
