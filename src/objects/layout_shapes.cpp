#include "objects/layout_shapes.hpp"

#include <algorithm>
#include <array>
#include <cstring>
#include <string>
#include <string_view>

#include "binding/call_frame.hpp"
#include "binding/py_compat.hpp"
#include "common/format.hpp"
#include "objects/conversion_recipes.hpp"
#include "objects/field_values.hpp"
#include "objects/packet_functions.hpp"

namespace vantrel {

namespace {

constexpr std::array<std::string_view, 14> kKnownKeys = {
    "name",        "encoding", "bits",     "byte_order", "reverse_bits",
    "offset_bits", "value",    "count",    "word_bits",  "word_offset_bits",
    "convert",     "pad",      "keep_raw", "check"};

// The "pad" key's values, in TextPad order from TrailingNul.
constexpr std::array<std::string_view, 4> kPadNames = {"nul", "space", "leading_nul",
                                                       "leading_space"};

std::size_t edit_distance(std::string_view a, std::string_view b) {
  std::vector<std::size_t> row(b.size() + 1);
  for (std::size_t j = 0; j <= b.size(); ++j) row[j] = j;
  for (std::size_t i = 1; i <= a.size(); ++i) {
    std::size_t diagonal = row[0];
    row[0] = i;
    for (std::size_t j = 1; j <= b.size(); ++j) {
      const std::size_t above = row[j];
      row[j] = std::min({row[j] + 1, row[j - 1] + 1, diagonal + (a[i - 1] != b[j - 1])});
      diagonal = above;
    }
  }
  return row[b.size()];
}

}  // namespace

std::string_view nearest_name(std::string_view text, std::span<const std::string_view> names) {
  std::string_view nearest;
  std::size_t best = 3;  // suggest only near misses
  for (const std::string_view known : names) {
    const std::size_t distance = edit_distance(text, known);
    if (distance < best || (distance == best && nearest.empty() && distance * 3 <= known.size())) {
      best = distance;
      nearest = known;
    }
  }
  return nearest;
}

bool refuse_unknown_keys(PyObject* object, const LayoutItem& item) {
  Py_ssize_t cursor = 0;
  PyObject* key = nullptr;
  PyObject* value = nullptr;
  // No user code runs during the walk: keys are compared as stored text.
  while (PyDict_Next(object, &cursor, &key, &value)) {
    std::string_view text;
    if (PyUnicode_Check(key)) {
      Py_ssize_t size = 0;
      const char* utf8 = PyUnicode_AsUTF8AndSize(key, &size);
      if (utf8 == nullptr) return false;
      text = std::string_view(utf8, static_cast<std::size_t>(size));
      if (std::find(kKnownKeys.begin(), kKnownKeys.end(), text) != kKnownKeys.end()) continue;
    }
    std::string message = concat("unknown key ", quoted(key));
    const std::string_view nearest = nearest_name(text, kKnownKeys);
    if (!nearest.empty()) message += concat("; did you mean '", nearest, "'?");
    return refuse(item, message);
  }
  return true;
}

namespace {

// The width a float encoding's name promises: 32 for "ieee754_f32", 0 for
// names without one.
std::uint32_t float_format_bits(std::string_view name) {
  const std::size_t at = name.rfind("_f");
  if (at == std::string_view::npos || at + 2 >= name.size()) return 0;
  std::uint32_t bits = 0;
  for (const char c : name.substr(at + 2)) {
    if (c < '0' || c > '9') return 0;
    bits = bits * 10 + static_cast<std::uint32_t>(c - '0');
  }
  return bits;
}

}  // namespace

bool read_layout_keys(PyObject* object, const LayoutItem& item, FieldShape& shape,
                      Ref& count_name) {
  Ref count = Ref::borrow(PyDict_GetItemString(object, "count"));
  if (count) {
    if (PyUnicode_Check(count.get())) {
      if (PyUnicode_CompareWithASCIIString(count.get(), "*") == 0) {
        shape.kind = CountKind::Rest;
      } else {
        shape.kind = CountKind::Counted;
        count_name = Ref::borrow(count.get());
      }
    } else {
      std::uint64_t fixed = 0;
      if (PyBool_Check(count.get()) || !PyLong_Check(count.get()) || !to_u64(count.get(), fixed)) {
        PyErr_Clear();
        return refuse(item, concat("count must be a number of values, the name of an earlier "
                                   "unsigned field, or '*' for the rest of the packet, not ",
                                   quoted(count.get())));
      }
      shape.kind = CountKind::Fixed;
      shape.fixed = fixed;
    }
  }
  Ref word = Ref::borrow(PyDict_GetItemString(object, "word_bits"));
  if (word) {
    std::uint64_t bits = 0;
    if (PyBool_Check(word.get()) || !PyLong_Check(word.get()) || !to_u64(word.get(), bits) ||
        (bits != 16 && bits != 32)) {
      PyErr_Clear();
      return refuse(item, concat("word_bits must be 16 or 32, not ", quoted(word.get())));
    }
    shape.word_bits = static_cast<std::uint8_t>(bits);
  }
  Ref word_start = Ref::borrow(PyDict_GetItemString(object, "word_offset_bits"));
  if (word_start) {
    std::uint64_t start = 0;
    if (!word) return refuse(item, "word_offset_bits is for bit fields of words: give word_bits");
    if (PyBool_Check(word_start.get()) || !PyLong_Check(word_start.get()) ||
        !to_u64(word_start.get(), start) || start % 8 != 0) {
      PyErr_Clear();
      return refuse(item, concat("word_offset_bits must be a bit offset on a byte boundary, not ",
                                 quoted(word_start.get())));
    }
    shape.word_start = start;
  }
  return true;
}

bool read_text_pad(PyObject* object, const FieldSpec& field, LayoutItem& item, TextPad& pad) {
  pad = TextPad::None;
  Ref given = Ref::borrow(PyDict_GetItemString(object, "pad"));
  if (!given || given.get() == Py_None) return true;
  const char* text = PyUnicode_Check(given.get()) ? PyUnicode_AsUTF8(given.get()) : nullptr;
  if (text == nullptr) PyErr_Clear();
  for (std::size_t k = 0; text != nullptr && k < kPadNames.size(); ++k) {
    if (kPadNames[k] == text) pad = static_cast<TextPad>(k + 1);
  }
  if (pad == TextPad::None) {
    return refuse(item, concat("pad must be 'nul', 'space', 'leading_nul' or 'leading_space', "
                               "not ",
                               quoted(given.get())));
  }
  if (!field.is_text()) return refuse(item, "pad is for text fields");
  // The pad's bytes in the field's encoding: what one more character adds,
  // which must be the same for every character (no byte order mark).
  const EncodingRow& row = *field.row;
  if (row.value_kind == ValueKind::NotPackable) {
    item.pad_unit = {};
    return true;  // only read: nothing to fill
  }
  const char units[2] = {static_cast<char>(pad_character(pad)),
                         static_cast<char>(pad_character(pad))};
  std::string encoded[3];
  for (std::size_t n = 1; n <= 2; ++n) {
    PackInput input;
    input.text = TextView{units, n, 1, true};
    const Result<FieldContent> content = row.encode_text(input, 64);
    if (!content) return refuse(item, concat("pad: ", content.error().message));
    if (const auto* owned = std::get_if<std::string>(&*content)) {
      encoded[n] = *owned;
    } else if (const auto* bytes = std::get_if<ByteSpan>(&*content)) {
      encoded[n].assign(reinterpret_cast<const char*>(bytes->data()), bytes->size());
    }
  }
  if (encoded[1].empty() || encoded[1].size() > item.pad_unit.bytes.size() ||
      encoded[2] != encoded[1] + encoded[1]) {
    return refuse(item, concat("pad needs an encoding in which every character stands alone; ",
                               row.name, " has a byte order mark"));
  }
  std::copy(encoded[1].begin(), encoded[1].end(), item.pad_unit.bytes.begin());
  item.pad_unit.size = static_cast<std::uint8_t>(encoded[1].size());
  return true;
}

bool read_keep_raw(PyObject* object, LayoutItem& item) {
  Ref given = Ref::borrow(PyDict_GetItemString(object, "keep_raw"));
  if (!given || given.get() == Py_False) return true;
  if (given.get() != Py_True) {
    return refuse(item, concat("keep_raw must be true or false, not ", quoted(given.get())));
  }
  if (!item.conversion) {
    return refuse(item, "keep_raw keeps the raw values beside converted ones: it needs a convert");
  }
  item.keep_raw = true;
  return true;
}

bool is_permutation_text(std::string_view text) {
  return !text.empty() &&
         std::all_of(text.begin(), text.end(), [](char c) { return c >= '0' && c <= '9'; });
}

bool read_permutation(std::string_view text, std::uint32_t bits, const LayoutItem& item,
                      FieldShape& shape) {
  const std::size_t size = text.size();
  std::array<bool, 9> seen{};
  bool valid = size >= 1 && size <= 8;
  for (std::size_t m = 0; valid && m < size; ++m) {
    const std::size_t stored = static_cast<std::size_t>(text[m] - '0');
    valid = stored >= 1 && stored <= size && !seen[stored];
    if (valid) {
      seen[stored] = true;
      // Digit m says where the byte of significance m (most significant
      // first) is stored, counting from 1.
      shape.permutation[stored - 1] = static_cast<std::uint8_t>(m);
    }
  }
  if (!valid) {
    return refuse(item, concat("byte_order '", text,
                               "' must be 'big', 'little' or a permutation of the digits 1 to n "
                               "for a field of n bytes (n at most 8)"));
  }
  if (bits != size * 8) {
    return refuse(item, concat("byte_order '", text, "' orders ", size,
                               " bytes, but the field has ", bits, " bits; it needs ", size * 8));
  }
  shape.permuted_bytes = static_cast<std::uint8_t>(size);
  return true;
}

bool check_layout(std::vector<ShapedField>& fields, const std::vector<LayoutItem>& items,
                  const std::vector<Ref>& count_names) {
  for (std::size_t i = 0; i < fields.size(); ++i) {
    ShapedField& field = fields[i];
    const LayoutItem& item = items[i];
    for (std::size_t k = 0; k < i; ++k) {
      const int same = PyUnicode_Compare(items[k].name.get(), item.name.get());
      if (same == -1 && PyErr_Occurred()) return false;
      if (same == 0) {
        return refuse(item, concat("the name is already the name of recipe item ", k,
                                   ": each field needs its own name"));
      }
    }
    const EncodingRow& row = *field.spec.row;
    const std::uint32_t promised = float_format_bits(row.name);
    if (promised != 0 && field.spec.bits < promised) {
      return refuse(
          item, concat("a ", row.name, " field needs ", promised, " bits, not ", field.spec.bits));
    }
    const bool numeric = !field.spec.is_text();
    if (field.shape.word_bits != 0) {
      if (!numeric || field.shape.is_array() || field.shape.permuted_bytes != 0) {
        return refuse(item, "word_bits is for single numeric fields with byte_order 'little'");
      }
      if (!field.spec.little_endian) {
        return refuse(item,
                      "word_bits needs byte_order 'little': the word is stored little-endian");
      }
      if (field.spec.bits == 0 || field.spec.bits > field.shape.word_bits) {
        return refuse(item, concat("a bit field of ", field.spec.bits, " bits does not fit a ",
                                   unsigned{field.shape.word_bits}, "-bit word"));
      }
    }
    if (field.shape.permuted_bytes != 0 && !numeric) {
      return refuse(item, "a text field cannot have a permuted byte_order");
    }
    if (!field.shape.is_array()) continue;
    if (!numeric) {
      return refuse(item, "a text field cannot have a count: its bits hold one string");
    }
    if (field.spec.bits == 0) return refuse(item, "the values of an array need at least 1 bit");
    if (field.shape.kind != CountKind::Counted) continue;
    PyObject* name = count_names[i].get();
    std::optional<std::size_t> found;
    for (std::size_t k = 0; k < i; ++k) {
      const int same = PyUnicode_Compare(items[k].name.get(), name);
      if (same == -1 && PyErr_Occurred()) return false;
      if (same == 0) found = k;
    }
    if (!found) {
      return refuse(item, concat("count ", quoted(name), " names no earlier field of the recipe"));
    }
    const ShapedField& counter = fields[*found];
    if (counter.spec.row->value_kind != ValueKind::Unsigned ||
        counter.spec.row->column_kernel != ColumnKernel::Unsigned || counter.shape.is_array() ||
        counter.spec.bits > 64) {
      return refuse(item, concat("count ", quoted(name),
                                 " must name an unsigned field of at most 64 bits that is not an "
                                 "array"));
    }
    field.shape.count_item = *found;
  }
  return true;
}

bool read_packet_length(PyObject* object, std::optional<LengthField>& out) {
  if (object == nullptr || object == Py_None) return true;
  if (!PyDict_Check(object)) {
    PyErr_Format(PyExc_TypeError,
                 "packet_length must be a dict with 'offset_bits', 'bits' and optionally "
                 "'adjust' and 'byte_order', not '%s'",
                 Py_TYPE(object)->tp_name);
    return false;
  }
  Py_ssize_t cursor = 0;
  PyObject* key = nullptr;
  PyObject* value = nullptr;
  while (PyDict_Next(object, &cursor, &key, &value)) {
    static const char* const known[] = {"offset_bits", "bits", "adjust", "byte_order"};
    bool ok = false;
    for (const char* name : known) {
      ok = ok || (PyUnicode_Check(key) && PyUnicode_CompareWithASCIIString(key, name) == 0);
    }
    if (!ok) {
      PyErr_Format(PyExc_ValueError,
                   "packet_length has an unknown key %R; it takes 'offset_bits', 'bits', "
                   "'adjust' and 'byte_order'",
                   key);
      return false;
    }
  }
  LengthField length{0, 0, 0, false};
  Ref offset = Ref::borrow(PyDict_GetItemString(object, "offset_bits"));
  Ref bits = Ref::borrow(PyDict_GetItemString(object, "bits"));
  Ref adjust = Ref::borrow(PyDict_GetItemString(object, "adjust"));
  Ref order = Ref::borrow(PyDict_GetItemString(object, "byte_order"));
  if (!offset || !bits) {
    PyErr_SetString(PyExc_ValueError, "packet_length needs 'offset_bits' and 'bits'");
    return false;
  }
  if (!to_u64(offset.get(), length.offset_bits)) {
    prefix_argument_name("packet_length['offset_bits']");
    return false;
  }
  if (!to_u32(bits.get(), length.bits)) {
    prefix_argument_name("packet_length['bits']");
    return false;
  }
  if (length.bits < 1 || length.bits > 64) {
    PyErr_Format(PyExc_ValueError, "packet_length['bits'] must be from 1 to 64, not %u",
                 length.bits);
    return false;
  }
  if (length.offset_bits > (std::uint64_t{1} << 60)) {
    PyErr_SetString(PyExc_ValueError, "packet_length['offset_bits'] is beyond any packet");
    return false;
  }
  if (adjust && !to_i64(adjust.get(), length.adjust)) {
    prefix_argument_name("packet_length['adjust']");
    return false;
  }
  if (order) {
    const bool big =
        PyUnicode_Check(order.get()) && PyUnicode_CompareWithASCIIString(order.get(), "big") == 0;
    length.little_endian = PyUnicode_Check(order.get()) &&
                           PyUnicode_CompareWithASCIIString(order.get(), "little") == 0;
    if (!big && !length.little_endian) {
      PyErr_Format(PyExc_ValueError,
                   "packet_length['byte_order'] must be 'big' or 'little', not %R", order.get());
      return false;
    }
  }
  out = length;
  return true;
}

PyObject* packet_length_dict(const LengthField& length) {
  return Py_BuildValue("{s:K,s:I,s:L,s:s}", "offset_bits",
                       static_cast<unsigned long long>(length.offset_bits), "bits", length.bits,
                       "adjust", static_cast<long long>(length.adjust), "byte_order",
                       length.little_endian ? "little" : "big");
}

}  // namespace vantrel
