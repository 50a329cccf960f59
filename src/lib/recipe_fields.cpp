#include "lib/recipe_fields.hpp"

#include <array>
#include <string>

#include "common/format.hpp"

namespace vantrel {

namespace {

constexpr std::array<const char*, 7> kKeyNames = {
    "name", "encoding", "bits", "byte_order", "reverse_bits", "offset_bits", "value"};
std::array<PyObject*, 7> interned_keys{};

PyObject* key_object(RecipeKey key) { return interned_keys[static_cast<std::size_t>(key)]; }
const char* key_name(RecipeKey key) { return kKeyNames[static_cast<std::size_t>(key)]; }

// Dict-level lookup (a subclass's __getitem__/__missing__ is not called).
// Returns false with an exception set when the lookup itself fails.
bool lookup(PyObject* item, RecipeKey key, Ref& out) {
  PyObject* found = PyDict_GetItemWithError(item, key_object(key));
  if (found == nullptr && PyErr_Occurred()) return false;
  out = Ref::borrow(found);
  return true;
}

bool raise_missing(RecipeKey key) {
  raise_error(Error{ErrorKind::KeyError,
                    concat("Recipe missing required field: '", key_name(key), "'")});
  return false;
}

bool lookup_required(PyObject* item, RecipeKey key, Ref& out) {
  if (!lookup(item, key, out)) return false;
  return out ? true : raise_missing(key);
}

// The caller's text lower-cased as str.lower() does. Only called for
// non-ASCII text; ASCII is folded without allocating.
bool unicode_lower(const TextField& field, TextField& lowered) {
  static PyObject* str_lower =
      PyObject_GetAttrString(reinterpret_cast<PyObject*>(&PyUnicode_Type), "lower");
  if (str_lower == nullptr) return false;
  lowered.object = Ref::steal(PyObject_CallOneArg(str_lower, field.object.get()));
  return lowered.object && to_text(lowered.object.get(), lowered.text);
}

}  // namespace

bool intern_recipe_keys() {
  for (std::size_t i = 0; i < kKeyNames.size(); ++i) {
    if (interned_keys[i] == nullptr) {
      interned_keys[i] = PyUnicode_InternFromString(kKeyNames[i]);
      if (interned_keys[i] == nullptr) return false;
    }
  }
  return true;
}

bool check_recipe_item(PyObject* item) {
  if (PyDict_Check(item)) return true;
  raise_cast_error(item, "dict");
  return false;
}

bool get_required_field(PyObject* item, RecipeKey key, TextField& out) {
  return lookup_required(item, key, out.object) && to_text(out.object.get(), out.text);
}

bool get_required_field(PyObject* item, std::uint32_t& bits) {
  Ref object;
  return lookup_required(item, RecipeKey::Bits, object) && to_u32(object.get(), bits);
}

bool get_reverse_bits(PyObject* item, bool& reverse) {
  Ref object;
  return lookup_required(item, RecipeKey::ReverseBits, object) &&
         to_strict_bool(object.get(), reverse);
}

bool get_optional_field(PyObject* item, std::optional<std::uint64_t>& offset) {
  Ref object;
  if (!lookup(item, RecipeKey::OffsetBits, object)) return false;
  if (!object) {
    offset.reset();
    return true;
  }
  std::uint64_t value = 0;
  if (!to_u64(object.get(), value)) return false;
  offset = value;
  return true;
}

bool get_value(PyObject* item, std::string_view item_name, Ref& value) {
  if (!lookup(item, RecipeKey::Value, value)) return false;
  if (value) return true;
  raise_error(Error{ErrorKind::KeyError,
                    concat("Recipe item '", item_name, "' missing required field: 'value'")});
  return false;
}

const EncodingRow* lookup_encoding(const TextField& encoding, bool& failed) {
  failed = false;
  if (is_ascii(encoding.text)) return find_encoding(encoding.text);
  TextField lowered;
  if (!unicode_lower(encoding, lowered)) {
    failed = true;
    return nullptr;
  }
  return find_encoding(lowered.text);
}

bool parse_byte_order(const TextField& byte_order, ByteOrder& out) {
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

}  // namespace vantrel
