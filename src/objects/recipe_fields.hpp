// Reading the keys of a recipe item, shared by packing and unpacking. Every
// lookup holds a strong reference to what it found: a later conversion may
// run user code (__index__, __float__) that changes the dict.
#pragma once

#include <optional>

#include "binding/convert.hpp"
#include "binding/module_state.hpp"
#include "layout/encoding_table.hpp"

namespace vantrel {

// Fills the state's interned keys, encoding names and byte orders; false
// with an exception set on failure.
bool intern_recipe_keys(ModuleState& state);

enum class RecipeKey : std::uint8_t {
  Name,
  Encoding,
  Bits,
  ByteOrder,
  ReverseBits,
  OffsetBits,
  Value
};

// A text-valued key: the str, its UTF-8 form, and the copy that holds that
// form when the str is not ASCII.
struct TextField {
  Ref object;
  std::string_view text;
  Ref utf8;
};

// One recipe item, read key by key in the caller's order. Every look-up is
// dict-level and live: a conversion may run user code (__index__,
// __float__) that changes the dict, and later keys see that change.
class RecipeItem {
 public:
  // The dict check: TypeError "'{type}' object cannot be cast as 'dict'".
  bool open(PyObject* item);

  // "name", "encoding" or "byte_order": KeyError when absent, else a str.
  bool get_required_field(RecipeKey key, TextField& out);
  // "bits": KeyError when absent, else an int in 0..4294967295.
  bool get_required_field(std::uint32_t& bits);
  // "reverse_bits": KeyError when absent, else a strict bool.
  bool get_reverse_bits(bool& reverse);
  // "offset_bits": absent gives no value, present an unsigned 64-bit int.
  bool get_optional_field(std::optional<std::uint64_t>& offset);
  // "value" (packing only): KeyError naming the item when absent. Conversion
  // is the caller's.
  bool get_value(std::string_view item_name, Ref& value);

 private:
  bool find(RecipeKey key, Ref& out);
  bool find_required(RecipeKey key, Ref& out);

  PyObject* item_ = nullptr;
};

// The keys of one item that every engine reads, in the order they are read.
struct ItemFields {
  TextField name;
  TextField encoding;
  std::uint32_t bits = 0;
  TextField byte_order;
  bool reverse_bits = false;
  std::optional<std::uint64_t> offset;
};

// The one reader of a recipe item, shared by pack_parameters,
// unpack_parameters and Layout: the dict check and "name" first, then
// "encoding", "bits", "byte_order", "reverse_bits" and "offset_bits". Layout
// names the item in its messages as soon as the name is known, so the reading
// comes in two steps; read_item_fields does both.
bool read_item_name(RecipeItem& reader, PyObject* item, ItemFields& out);
bool read_item_placement(RecipeItem& reader, ItemFields& out);
inline bool read_item_fields(RecipeItem& reader, PyObject* item, ItemFields& out) {
  return read_item_name(reader, item, out) && read_item_placement(reader, out);
}

// The row of the encoding name after full Unicode lower-casing; nullptr (no
// exception) for an unknown name, nullptr with an exception on failure.
const EncodingRow* lookup_encoding(const TextField& encoding, bool& failed);

enum class ByteOrder : std::uint8_t { Big, Little };
// "big" or "little" after lower-casing; otherwise ValueError quoting the text.
bool parse_byte_order(const TextField& byte_order, ByteOrder& out);

// Raises ValueError "Unsupported encoding type: {encoding}".
void raise_unsupported_encoding(const TextField& encoding);

// lookup_encoding with the unknown name raised as unsupported: the row, or
// nullptr with an exception set.
const EncodingRow* resolve_encoding(const TextField& encoding);

}  // namespace vantrel
