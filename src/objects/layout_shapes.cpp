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

std::uint64_t item_count(const Plan& plan, std::size_t j, const std::uint64_t* counts) {
  const std::size_t variable = plan.variable_of(j);
  return variable != Plan::kNotVariable ? counts[variable] : plan.fields()[j].fixed_count();
}

PyObject* raise_at(const LayoutItem& item, const std::string& message) {
  refuse(item, message);
  return nullptr;
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

PyObject* shaped_value(const PlannedField& field, const LayoutItem& item, ByteSpan buffer,
                       std::uint64_t bit, FieldScratch& scratch, bool buffer_immutable) {
  const FieldInput input =
      field.shape.plain()
          ? read_field_input(buffer, bit, field.spec, scratch, buffer_immutable)
          : read_shaped_input(buffer, bit, field.spec, field.shape, scratch, buffer_immutable);
  PyObject* value = common_value(field.spec, input);
  if (value != nullptr || PyErr_Occurred()) return value;
  StrResult text;
  const auto decoded = field.spec.row->decode(input, text);
  if (!decoded) {
    raise_error(decoded.error());
    return rewrap_engine_failure(item.context);
  }
  return field_value_to_python(*decoded, text, field.spec.pad);
}

namespace {

// Verifies the checks of one packet whose segments start at `bases`. False
// with ValueError naming the check's item.
bool verify_checks_of(const LayoutData& data, ByteSpan packet, std::uint64_t offset_bits,
                      std::uint64_t end_bit, const std::uint64_t* bases) {
  if (offset_bits % 8 != 0) {
    PyErr_Format(PyExc_ValueError,
                 "a layout with a check starts on a byte: offset_bits %llu is not a multiple of 8",
                 static_cast<unsigned long long>(offset_bits));
    return false;
  }
  const std::uint64_t start = offset_bits / 8;
  const std::uint64_t packet_bytes = (end_bit - offset_bits) / 8;
  for (const PacketCheck& check : data.checks) {
    const auto place = locate_check(data.plan, check, bases, packet_bytes);
    std::uint64_t found = 0, computed = 0;
    if (place) {
      found = read_plain_pattern(packet.data(), (start + place->field_byte) * 8,
                                 data.plan.fields()[check.field].spec);
      computed =
          check.checksum->compute(packet.subspan(start + place->start, place->stop - place->start));
      if (found == computed) continue;
    }
    raise_at(data.items[check.field],
             shaped_check_message(data.plan, check, bases, packet_bytes, found, computed));
    return false;
  }
  return true;
}

// Whether a field of `count` values whose segment starts at `base` lies in
// a packet of `packet_bits` bits; false with ValueError naming the item.
bool field_in_packet(const PlannedField& field, std::uint64_t base, std::uint64_t count,
                     std::uint64_t packet_bits, const LayoutItem& item) {
  std::uint64_t first = 0, last = 0;
  if (__builtin_add_overflow(base, field.first_bit(), &first) ||
      __builtin_add_overflow(first, field.extent_bits(count), &last) || last > packet_bits ||
      (field.spec.bits == 0 && first / 8 > packet_bits / 8)) {
    raise_at(item, concat("the field needs bits ", first, " to ", last, " of the packet, which has ",
                          packet_bits, " bits"));
    return false;
  }
  return true;
}

}  // namespace

PyObject* unpack_packet(const LayoutData& data, ByteSpan packet, std::uint64_t offset_bits,
                        bool packet_immutable, bool raw) {
  const Plan& plan = data.plan;
  // A plan of one segment has every field at a fixed place: one test of the
  // packet's size covers them all, and a short packet is reported against
  // the whole layout.
  const bool fixed = plan.segment_count() == 1;
  const std::uint64_t buffer_bits = std::uint64_t{packet.size()} * 8;
  std::uint64_t end_bit = buffer_bits;
  if (data.packet_length) {
    if (offset_bits > buffer_bits) {
      PyErr_Format(PyExc_ValueError, "offset_bits %llu is past the end of the packet of %zu bytes",
                   static_cast<unsigned long long>(offset_bits), packet.size());
      return nullptr;
    }
    const auto declared =
        declared_length(*data.packet_length, packet.data(), buffer_bits, offset_bits);
    if (auto refused =
            length_past_buffer(*data.packet_length, declared, buffer_bits - offset_bits)) {
      PyErr_SetString(PyExc_ValueError, refused->c_str());
      return nullptr;
    }
    end_bit = offset_bits + static_cast<std::uint64_t>(std::max<__int128>(declared->bytes, 0)) * 8;
  }
  std::uint64_t fixed_base = 0;
  std::vector<std::uint64_t> variable_bases;
  std::vector<std::uint64_t> counts;
  const std::uint64_t* bases = &fixed_base;
  if (fixed) {
    if (!plan.fits(end_bit / 8, offset_bits)) {
      return raise_packet_too_short(data, end_bit / 8, offset_bits);
    }
  } else {
    if (offset_bits > buffer_bits) {
      PyErr_Format(PyExc_ValueError, "offset_bits %llu is past the end of the packet of %zu bytes",
                   static_cast<unsigned long long>(offset_bits), packet.size());
      return nullptr;
    }
    variable_bases.resize(plan.segment_count());
    counts.resize(plan.variable_items().size());
    if (auto failure = plan.measure(packet.data(), offset_bits, end_bit, variable_bases.data(),
                                    counts.data())) {
      return raise_at(data.items[failure->item], failure->error.message);
    }
    bases = variable_bases.data();
  }
  if (!data.checks.empty() && !verify_checks_of(data, packet, offset_bits, end_bit, bases)) {
    return nullptr;
  }
  const std::span<const PlannedField> fields = plan.fields();
  Ref values = Ref::steal(compat::new_presized_dict(static_cast<Py_ssize_t>(fields.size())));
  if (!values) return nullptr;
  FieldScratch scratch;
  const std::uint64_t packet_bits = end_bit - offset_bits;
  for (std::size_t j = 0; j < fields.size(); ++j) {
    const PlannedField& field = fields[j];
    const LayoutItem& item = data.items[j];
    const std::uint64_t base = bases[field.segment];
    const std::uint64_t bit = offset_bits + base + field.position;
    const ItemConversion* conversion = raw ? nullptr : item.conversion.get();
    Ref value;
    if (fixed && !field.shape.is_array() && conversion == nullptr) [[likely]] {
      value = Ref::steal(shaped_value(field, item, packet, bit, scratch, packet_immutable));
    } else {
      const std::uint64_t count = item_count(plan, j, counts.data());
      if (!fixed && !field_in_packet(field, base, count, packet_bits, item)) return nullptr;
      auto value_at = [&](std::uint64_t at) {
        return conversion != nullptr
                   ? unpack_converted(*conversion, field, item, packet, at, packet_immutable)
                   : shaped_value(field, item, packet, at, scratch, packet_immutable);
      };
      if (!field.shape.is_array()) {
        value = Ref::steal(value_at(bit));
      } else {
        value = Ref::steal(PyList_New(static_cast<Py_ssize_t>(count)));
        for (std::uint64_t k = 0; value && k < count; ++k) {
          PyObject* element = value_at(bit + k * field.spec.bits);
          if (element == nullptr) return nullptr;
          PyList_SET_ITEM(value.get(), static_cast<Py_ssize_t>(k), element);
        }
      }
    }
    if (!value || PyDict_SetItem(values.get(), item.name.get(), value.get()) < 0) return nullptr;
  }
  return values.release();
}

namespace {

bool pack_one(const PlannedField& field, const LayoutItem& item, PyObject* value,
              std::span<std::uint8_t> packet, std::uint64_t bit, bool raw) {
  const ItemConversion* conversion = raw ? nullptr : item.conversion.get();
  if (field.shape.plain()) {
    PlannedField placed = field;
    placed.position = bit;
    return conversion != nullptr ? pack_converted(*conversion, placed, item, value, packet)
                                 : pack_value(placed, item, value, packet);
  }
  const EncodingRow& row = *field.spec.row;
  if (row.value_kind == ValueKind::NotPackable) return raise_not_packable(item);
  PackInput input;
  if (conversion != nullptr) {
    // Time codes are plain fields: the layout refuses other byte orders.
    if (!converted_input(*conversion, field.spec, item, value, input)) return false;
  } else if (!convert_value(row.value_kind, value, input)) {
    rewrap_engine_failure(item.context);
    return false;
  }
  const Result<std::uint64_t> pattern = row.encode_pattern(input, field.spec.bits);
  if (!pattern) return raise_item_failure(pattern.error(), item);
  place_shaped_pattern(packet, bit, field.spec, field.shape, *pattern);
  return true;
}

// The recipe field that holds the packet's length, when there is one the
// packer can fill in: unsigned, single, at the length's place and width.
std::optional<std::size_t> length_item(const LayoutData& data) {
  if (!data.packet_length) return std::nullopt;
  const std::span<const PlannedField> fields = data.plan.fields();
  for (std::size_t j = 0; j < fields.size(); ++j) {
    const PlannedField& field = fields[j];
    if (field.segment == 0 && !field.shape.is_array() && field.shape.plain() &&
        field.spec.row->column_kernel == ColumnKernel::Unsigned &&
        field.position == data.packet_length->offset_bits &&
        field.spec.bits == data.packet_length->bits &&
        field.spec.little_endian == data.packet_length->little_endian && !field.spec.reverse_bits) {
      return j;
    }
  }
  return std::nullopt;
}

// The raw count a count field's given value stands for: the value itself,
// or, when the field has a conversion, the raw value pack would write.
bool raw_count(const LayoutItem& item, const FieldSpec& spec, PyObject* value, bool raw,
               std::uint64_t& out) {
  const ItemConversion* conversion = raw ? nullptr : item.conversion.get();
  if (conversion != nullptr && conversion->conversion.kind != ConversionKind::TimeCode) {
    PackInput input;
    if (!converted_input(*conversion, spec, item, value, input)) return false;
    out = input.unsigned_value;
    return true;
  }
  if (!to_u64(value, out)) {
    rewrap_engine_failure(item.context);
    return false;
  }
  return true;
}

}  // namespace

bool pack_shaped_into(const LayoutData& data, const ValueSource& value_of,
                      std::vector<std::uint8_t>& archive, bool raw) {
  const Plan& plan = data.plan;
  const std::span<const PlannedField> fields = plan.fields();
  const std::size_t n = data.packed_fields;  // the raw twins after them are never packed
  std::vector<Ref> values(n);
  std::vector<Ref> sequences(n);
  std::vector<std::uint8_t> missing(n, 0);
  std::vector<std::uint64_t> lengths(n, 0);
  std::vector<std::uint8_t> computed_check(n, 0);
  for (std::size_t j = 0; j < n; ++j) {
    bool absent = false;
    values[j] = value_of(j, absent);
    if (data.items[j].check && (absent || values[j].get() == Py_None)) {
      // An omitted check value is computed once the packet is complete.
      values[j] = Ref::steal(PyLong_FromLong(0));
      if (!values[j]) return false;
      computed_check[j] = 1;
      continue;
    }
    if (!values[j]) {
      if (!absent) return false;
      missing[j] = 1;
      continue;
    }
    const PlannedField& field = fields[j];
    if (!field.shape.is_array()) continue;
    if (PyUnicode_Check(values[j].get()) || PyBytes_Check(values[j].get())) {
      return refuse(data.items[j], concat("an array field takes a sequence of values, not '",
                                          Py_TYPE(values[j].get())->tp_name, "'"));
    }
    // A tuple of its own: converting a value may run code that changes the
    // caller's sequence.
    sequences[j] = Ref::steal(PySequence_Tuple(values[j].get()));
    if (!sequences[j]) {
      PyErr_Clear();
      return refuse(data.items[j], concat("an array field takes a sequence of values, not '",
                                          Py_TYPE(values[j].get())->tp_name, "'"));
    }
    lengths[j] = static_cast<std::uint64_t>(PyTuple_GET_SIZE(sequences[j].get()));
    if (field.shape.kind == CountKind::Fixed && lengths[j] != field.shape.fixed) {
      return refuse(data.items[j],
                    concat("the array takes ", field.shape.fixed, " values, not ", lengths[j]));
    }
  }
  // Count fields: filled from their arrays when omitted, checked otherwise.
  // A filled count or length is the raw number, packed without the field's
  // conversion.
  std::vector<std::uint8_t> filled(n, 0);
  for (const std::size_t j : plan.variable_items()) {
    if (missing[j]) {
      PyErr_SetObject(PyExc_KeyError, data.items[j].name.get());
      return false;
    }
    if (fields[j].shape.kind != CountKind::Counted) continue;
    const std::size_t c = fields[j].shape.count_item;
    if (missing[c] || filled[c]) {
      if (filled[c]) {
        std::uint64_t earlier = 0;
        to_u64(values[c].get(), earlier);
        if (earlier != lengths[j]) {
          return refuse(data.items[j], concat("the array has ", lengths[j],
                                              " values but another array counted by ",
                                              quoted(data.items[c].name.get()), " has ", earlier));
        }
        continue;
      }
      values[c] = Ref::steal(PyLong_FromUnsignedLongLong(lengths[j]));
      if (!values[c]) return false;
      missing[c] = 0;
      filled[c] = 1;
      continue;
    }
    std::uint64_t given = 0;
    if (!raw_count(data.items[c], fields[c].spec, values[c].get(), raw, given)) return false;
    if (given != lengths[j]) {
      return refuse(data.items[j],
                    concat("the array has ", lengths[j], " values but its count field ",
                           quoted(data.items[c].name.get()), " is ", given));
    }
  }
  // Where each segment starts, and the packet's size.
  std::vector<std::uint64_t> bases(plan.segment_count(), 0);
  std::uint64_t size_bits = 0;
  std::size_t variable = 0;
  for (std::size_t j = 0; j < n; ++j) {
    const PlannedField& field = fields[j];
    const std::uint64_t count = field.shape.is_variable() ? lengths[j] : field.fixed_count();
    std::uint64_t start = 0, bits = 0, end = 0;
    if (__builtin_add_overflow(bases[field.segment], field.position, &start) ||
        __builtin_mul_overflow(count, std::uint64_t{field.spec.bits}, &bits) ||
        __builtin_add_overflow(start, bits, &end) || end > (std::uint64_t{1} << 60)) {
      return refuse(data.items[j], "the packet would be too large to allocate");
    }
    size_bits = std::max(
        size_bits, std::max(end, start - field.shape.word_offset +
                                     (field.shape.word_bits != 0 ? field.shape.word_bits : 0)));
    if (field.shape.is_variable()) bases[++variable] = end;
  }
  const std::uint64_t size = size_bits / 8 + (size_bits % 8 != 0);
  // A rest-of-packet array's trailer ends with the packet, as unpacking places it.
  const std::span<const std::size_t> variables = plan.variable_items();
  for (std::size_t v = 0; v < variables.size(); ++v) {
    if (fields[variables[v]].shape.kind == CountKind::Rest && plan.trailer_bits(v) != 0) {
      bases[v + 1] = size * 8 - plan.trailer_bits(v);
    }
  }
  if (const auto j = length_item(data); j && missing[*j]) {
    const std::int64_t adjust = data.packet_length->adjust;
    const __int128 length = static_cast<__int128>(size) - adjust;
    if (length < 0) {
      return refuse(
          data.items[*j],
          concat("the packet of ", size, " bytes is shorter than its length adjustment ", adjust));
    }
    const std::uint32_t bits = data.packet_length->bits;
    if (length > static_cast<__int128>(low_mask(bits))) {
      return refuse(data.items[*j], concat("the packet of ", size, " bytes needs ", length,
                                           " in its length field (its size minus the adjustment ",
                                           adjust, "), more than ", bits, " bits hold"));
    }
    values[*j] = Ref::steal(PyLong_FromUnsignedLongLong(static_cast<std::uint64_t>(length)));
    if (!values[*j]) return false;
    missing[*j] = 0;
    filled[*j] = 1;
  }
  for (std::size_t j = 0; j < n; ++j) {
    if (missing[j]) {
      PyErr_SetObject(PyExc_KeyError, data.items[j].name.get());
      return false;
    }
  }
  const std::size_t begin = archive.size();
  archive.resize(begin + size, 0);
  const std::span<std::uint8_t> packet(archive.data() + begin, size);
  for (std::size_t j = 0; j < n; ++j) {
    const PlannedField& field = fields[j];
    const std::uint64_t bit = bases[field.segment] + field.position;
    if (!field.shape.is_array()) {
      if (!pack_one(field, data.items[j], values[j].get(), packet, bit, raw || filled[j])) {
        return false;
      }
      continue;
    }
    for (std::uint64_t k = 0; k < lengths[j]; ++k) {
      PyObject* element = PyTuple_GET_ITEM(sequences[j].get(), static_cast<Py_ssize_t>(k));
      if (!pack_one(field, data.items[j], element, packet, bit + k * field.spec.bits, raw)) {
        return false;
      }
    }
  }
  if (data.checks.empty()) return true;
  std::vector<std::uint8_t> given(data.checks.size());
  for (std::size_t c = 0; c < data.checks.size(); ++c) {
    given[c] = computed_check[data.checks[c].field] == 0;
  }
  if (const auto unplaced = place_checks(plan, data.checks, given, packet, bases.data())) {
    const PacketCheck& check = data.checks[*unplaced];
    return refuse(data.items[check.field],
                  unplaced_check_message(plan, check, bases.data(), packet.size()));
  }
  return true;
}

PyObject* pack_shaped(const LayoutData& data, PyObject* values, bool raw) {
  std::vector<std::uint8_t> packet;
  const ValueSource value_of = [&](std::size_t j, bool& missing) -> Ref {
    PyObject* name = data.items[j].name.get();
    Ref found = Ref::steal(PyObject_GetItem(values, name));
    if (!found && PyErr_ExceptionMatches(PyExc_KeyError)) {
      PyErr_Clear();
      missing = true;
    }
    return found;
  };
  if (!pack_shaped_into(data, value_of, packet, raw)) return nullptr;
  return PyBytes_FromStringAndSize(reinterpret_cast<const char*>(packet.data()),
                                   static_cast<Py_ssize_t>(packet.size()));
}

}  // namespace vantrel
