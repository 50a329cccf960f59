// pack_parameters: sizes the packet from every item's width and offset,
// encodes every item, then writes the fields straight into the bytes object
// that is returned.
#include <algorithm>
#include <cstring>
#include <optional>
#include <vector>

#include "common/checked.hpp"
#include "layout/field_io.hpp"
#include "layout/plan.hpp"
#include "objects/field_values.hpp"
#include "objects/packet_functions.hpp"
#include "objects/recipe_fields.hpp"

namespace vantrel {

static_assert(PTRDIFF_MAX == PY_SSIZE_T_MAX, "the packet size limit is shared with the core");

namespace {

// One encoded item, waiting to be written.
struct EncodedField {
  std::uint64_t position;
  FieldSpec spec;
  FieldContent content;
  Ref owner;  // keeps the value alive: ASCII "utf8" content is borrowed from its storage
};

bool raise_failure(const Error& error) {
  raise_error(error);
  return false;
}

// Sizing pass: reads only the dict check, `bits` and `offset_bits` of
// every item.
bool measure_packet(PyObject* items, std::uint64_t& end_bit) {
  PackedSize size;
  const Py_ssize_t count = PyList_GET_SIZE(items);
  for (Py_ssize_t i = 0; i < count; ++i) {
    RecipeItem item;
    std::uint32_t bits = 0;
    std::optional<std::uint64_t> offset;
    if (!item.open(PyList_GET_ITEM(items, i)) || !item.get_required_field(bits) ||
        !item.get_optional_field(offset)) {
      return false;
    }
    if (auto added = size.add(offset, bits); !added) return raise_failure(added.error());
  }
  end_bit = size.bits();
  return true;
}

// Writing pass, first half: reads and encodes one item.
bool plan_field(PyObject* object, std::uint64_t running_position, EncodedField& field) {
  RecipeItem reader;
  ItemFields item;
  Ref value;
  if (!read_item_fields(reader, object, item) || !reader.get_value(item.name.text, value)) {
    return false;
  }

  bool lookup_failed = false;
  const EncodingRow* row = lookup_encoding(item.encoding, lookup_failed);
  if (lookup_failed) return false;
  if (row == nullptr || row->value_kind == ValueKind::NotPackable) {
    raise_unsupported_encoding(item.encoding);
    return false;
  }
  PackInput input;
  if (!convert_value(row->value_kind, value.get(), input)) return false;
  auto content = row->encode(input, item.bits);
  if (!content) return raise_failure(content.error());

  ByteOrder byte_order = ByteOrder::Big;
  if (!parse_byte_order(item.byte_order, byte_order)) return false;

  field.position = item.offset.value_or(running_position);
  field.spec =
      FieldSpec{row, item.bits, item.offset, byte_order == ByteOrder::Little, item.reverse_bits};
  field.content = std::move(*content);
  field.owner = std::move(value);
  return true;
}

}  // namespace

PyObject* build_packet(PyObject* items) {
  std::uint64_t end_bit = 0;
  if (!measure_packet(items, end_bit)) return nullptr;

  // Every item is encoded before the packet is allocated, so a bad item never
  // costs a large allocation.
  const Py_ssize_t count = PyList_GET_SIZE(items);
  std::vector<EncodedField> fields(static_cast<std::size_t>(count));
  std::uint64_t running_position = 0;
  for (Py_ssize_t i = 0; i < count; ++i) {
    EncodedField& field = fields[static_cast<std::size_t>(i)];
    if (!plan_field(PyList_GET_ITEM(items, i), running_position, field)) return nullptr;
    const auto next = add_bit_positions(field.position, field.spec.bits);
    if (!next) {
      raise_error(next.error());
      return nullptr;
    }
    running_position = *next;
  }

  const Result<std::uint64_t> allocation = PackedSize::allocation_bytes(end_bit);
  if (!allocation) {
    raise_error(allocation.error());
    return nullptr;
  }
  const std::uint64_t size = *allocation;
  Ref packet = Ref::steal(PyBytes_FromStringAndSize(nullptr, static_cast<Py_ssize_t>(size)));
  if (!packet) return nullptr;
  auto* bytes = reinterpret_cast<std::uint8_t*>(PyBytes_AS_STRING(packet.get()));
  std::memset(bytes, 0, size);
  for (const EncodedField& field : fields) {
    place_field(std::span(bytes, size), field.position, field.spec, field.content);
  }
  return packet.release();
}

}  // namespace vantrel
