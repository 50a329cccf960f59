// unpack_parameters: walks the recipe from the call's bit offset, reads
// every field straight from the packet's buffer and decodes it.
#include <utility>

#include "binding/py_compat.hpp"
#include "common/checked.hpp"
#include "common/fault.hpp"
#include "layout/field_io.hpp"
#include "objects/field_values.hpp"
#include "objects/packet_functions.hpp"
#include "objects/recipe_fields.hpp"

namespace vantrel {

namespace {

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
    RecipeItem reader;
    ItemFields item;
    if (!read_item_fields(reader, PyList_GET_ITEM(items, i), item)) return nullptr;

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

    const EncodingRow* row = resolve_encoding(item.encoding);
    if (row == nullptr) return nullptr;

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
