// unpack_parameters: walks the recipe from the call's bit offset, reads
// every field straight from the packet's buffer and decodes it.
#include <optional>
#include <utility>

#include "common/checked.hpp"
#include "common/fault.hpp"
#include "placement/field_io.hpp"
#include "objects/field_values.hpp"
#include "objects/packet_functions.hpp"
#include "binding/py_compat.hpp"
#include "objects/recipe_fields.hpp"

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
  FieldScratch scratch;
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
    if (auto fault = field_outside_packet(position, item.bits, packet.size())) {
      throw Fault(std::move(*fault));
    }

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

    const FieldSpec spec{row, item.bits, item.offset, little_endian, item.reverse_bits};
    const FieldInput field = read_field_input(packet, position, spec, scratch);
    StrResult text;
    const auto decoded = row->decode(field, text);
    if (!decoded) {
      raise_error(decoded.error());
      return nullptr;
    }
    Ref value = Ref::steal(field_value_to_python(*decoded, text));
    Ref key = result_key(item.name);
    if (!value || !key || PyDict_SetItem(values.get(), key.get(), value.get()) < 0) return nullptr;
    running_position = *end_bit;
  }
  return values.release();
}

}  // namespace vantrel
