#include "objects/recipe_fields.hpp"

#include <array>
#include <string>
#include <tuple>
#include <vector>

#include "common/format.hpp"

namespace vantrel {

namespace {

constexpr std::array<const char*, 7> kKeyNames = {
    "name", "encoding", "bits", "byte_order", "reverse_bits", "offset_bits", "value"};
static_assert(kKeyNames.size() == std::tuple_size_v<decltype(ModuleState::recipe_keys)>);

PyObject* key_object(RecipeKey key) {
  return module_state.recipe_keys[static_cast<std::size_t>(key)];
}
const char* key_name(RecipeKey key) { return kKeyNames[static_cast<std::size_t>(key)]; }

bool raise_missing(RecipeKey key) {
  raise_error(
      Error{ErrorKind::KeyError, concat("Recipe missing required field: '", key_name(key), "'")});
  return false;
}

}  // namespace

bool RecipeItem::open(PyObject* item) {
  if (!PyDict_Check(item)) {
    raise_cast_error(item, "dict");
    return false;
  }
  item_ = item;
  return true;
}

bool RecipeItem::find(RecipeKey key, Ref& out) {
  // Dict-level look-up: a subclass's __getitem__ or __missing__ is not called.
  PyObject* found = PyDict_GetItemWithError(item_, key_object(key));
  if (found == nullptr && PyErr_Occurred()) return false;
  out = Ref::borrow(found);
  return true;
}

bool RecipeItem::find_required(RecipeKey key, Ref& out) {
  if (!find(key, out)) return false;
  return out ? true : raise_missing(key);
}

bool RecipeItem::get_required_field(RecipeKey key, TextField& out) {
  return find_required(key, out.object) && to_utf8(out.object.get(), out.text, out.utf8);
}

bool RecipeItem::get_required_field(std::uint32_t& bits) {
  Ref object;
  return find_required(RecipeKey::Bits, object) && to_u32(object.get(), bits);
}

bool RecipeItem::get_reverse_bits(bool& reverse) {
  Ref object;
  return find_required(RecipeKey::ReverseBits, object) && to_strict_bool(object.get(), reverse);
}

bool RecipeItem::get_optional_field(std::optional<std::uint64_t>& offset) {
  Ref object;
  if (!find(RecipeKey::OffsetBits, object)) return false;
  if (!object) {
    offset.reset();
    return true;
  }
  std::uint64_t value = 0;
  if (!to_u64(object.get(), value)) return false;
  offset = value;
  return true;
}

bool RecipeItem::get_value(std::string_view item_name, Ref& value) {
  if (!find(RecipeKey::Value, value)) return false;
  if (value) return true;
  raise_error(Error{ErrorKind::KeyError,
                    concat("Recipe item '", item_name, "' missing required field: 'value'")});
  return false;
}

bool read_item_name(RecipeItem& reader, PyObject* item, ItemFields& out) {
  return reader.open(item) && reader.get_required_field(RecipeKey::Name, out.name);
}

bool read_item_placement(RecipeItem& reader, ItemFields& out) {
  return reader.get_required_field(RecipeKey::Encoding, out.encoding) &&
         reader.get_required_field(out.bits) &&
         reader.get_required_field(RecipeKey::ByteOrder, out.byte_order) &&
         reader.get_reverse_bits(out.reverse_bits) && reader.get_optional_field(out.offset);
}

namespace {

// The caller's text lower-cased as str.lower() does. Only called for
// non-ASCII text; ASCII is folded without allocating.
bool unicode_lower(const TextField& field, TextField& lowered) {
  lowered.object = Ref::steal(PyObject_CallOneArg(module_state.str_lower, field.object.get()));
  return lowered.object && to_utf8(lowered.object.get(), lowered.text, lowered.utf8);
}

}  // namespace

bool intern_recipe_keys(ModuleState& state) {
  for (std::size_t i = 0; i < kKeyNames.size(); ++i) {
    state.recipe_keys[i] = PyUnicode_InternFromString(kKeyNames[i]);
    if (state.recipe_keys[i] == nullptr) return false;
  }
  // Names written as literals in a recipe are these very objects, so most
  // look-ups end at a pointer comparison.
  state.encoding_names.clear();
  for (const EncodingRow& row : encoding_rows()) {
    PyObject* name =
        PyUnicode_FromStringAndSize(row.name.data(), static_cast<Py_ssize_t>(row.name.size()));
    if (name == nullptr) return false;
    PyUnicode_InternInPlace(&name);
    state.encoding_names.push_back(name);
  }
  state.big = PyUnicode_InternFromString("big");
  state.little = PyUnicode_InternFromString("little");
  state.str_lower = PyObject_GetAttrString(reinterpret_cast<PyObject*>(&PyUnicode_Type), "lower");
  return state.big != nullptr && state.little != nullptr && state.str_lower != nullptr;
}

const EncodingRow* lookup_encoding(const TextField& encoding, bool& failed) {
  failed = false;
  const std::span<const EncodingRow> rows = encoding_rows();
  const std::vector<PyObject*>& names = module_state.encoding_names;
  for (std::size_t i = 0; i < names.size(); ++i) {
    if (names[i] == encoding.object.get()) return &rows[i];
  }
  if (is_ascii(encoding.text)) return find_encoding(encoding.text);
  TextField lowered;
  if (!unicode_lower(encoding, lowered)) {
    failed = true;
    return nullptr;
  }
  return find_encoding(lowered.text);
}

bool parse_byte_order(const TextField& byte_order, ByteOrder& out) {
  if (byte_order.object.get() == module_state.big) {
    out = ByteOrder::Big;
    return true;
  }
  if (byte_order.object.get() == module_state.little) {
    out = ByteOrder::Little;
    return true;
  }
  std::string_view text = byte_order.text;
  TextField lowered;
  if (!is_ascii(text)) {
    if (!unicode_lower(byte_order, lowered)) return false;
    text = lowered.text;
  }
  if (equals_ascii_lowercase(text, "big")) {
    out = ByteOrder::Big;
    return true;
  }
  if (equals_ascii_lowercase(text, "little")) {
    out = ByteOrder::Little;
    return true;
  }
  raise_error(Error{ErrorKind::ValueError, concat("Invalid byte_order '", byte_order.text,
                                                  "': must be 'big' or 'little'")});
  return false;
}

void raise_unsupported_encoding(const TextField& encoding) {
  raise_error(Error{ErrorKind::ValueError, concat("Unsupported encoding type: ", encoding.text)});
}

const EncodingRow* resolve_encoding(const TextField& encoding) {
  bool lookup_failed = false;
  const EncodingRow* row = lookup_encoding(encoding, lookup_failed);
  if (row == nullptr && !lookup_failed) raise_unsupported_encoding(encoding);
  return row;
}

}  // namespace vantrel
