#include "objects/layout_packets.hpp"

#include <algorithm>
#include <cstring>
#include <string>
#include <vector>

#include "binding/call_frame.hpp"
#include "binding/py_compat.hpp"
#include "columns/packet_checks.hpp"
#include "common/format.hpp"
#include "objects/conversion_recipes.hpp"
#include "objects/field_values.hpp"
#include "objects/packet_functions.hpp"
#include "streams/packet_bounds.hpp"

namespace vantrel {

namespace {

std::uint64_t item_count(const Plan& plan, std::size_t j, const std::uint64_t* counts) {
  const std::size_t variable = plan.variable_of(j);
  return variable != Plan::kNotVariable ? counts[variable] : plan.fields()[j].fixed_count();
}

PyObject* raise_at(const LayoutItem& item, const std::string& message) {
  refuse(item, message);
  return nullptr;
}

// ---- Unpacking ---------------------------------------------------------------

// One value of a field at absolute bit `bit` as an interpreter object;
// nullptr with the failure raised naming the item.
PyObject* value_at_bit(const PlannedField& field, const LayoutItem& item, ByteSpan buffer,
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
             packet_check_message(data.plan, check, bases, packet_bytes, found, computed));
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
    raise_at(item, concat("the field needs bits ", first, " to ", last,
                          " of the packet, which has ", packet_bits, " bits"));
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
      value = Ref::steal(value_at_bit(field, item, packet, bit, scratch, packet_immutable));
    } else {
      const std::uint64_t count = item_count(plan, j, counts.data());
      if (!fixed && !field_in_packet(field, base, count, packet_bits, item)) return nullptr;
      auto value_at = [&](std::uint64_t at) {
        return conversion != nullptr
                   ? unpack_converted(*conversion, field, item, packet, at, packet_immutable)
                   : value_at_bit(field, item, packet, at, scratch, packet_immutable);
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

// ---- Packing -------------------------------------------------------------------

namespace {

// Whether a dict key is the field name `name` (an exact str): the same
// object, or an exact str with the same text, the key a look-up of `name`
// would find.
bool same_name(PyObject* key, PyObject* name) {
  if (key == name) return true;
  if (!PyUnicode_CheckExact(key)) return false;
  const Py_ssize_t length = PyUnicode_GET_LENGTH(key);
  const int kind = PyUnicode_KIND(key);
  return length == PyUnicode_GET_LENGTH(name) && kind == PyUnicode_KIND(name) &&
         std::memcmp(PyUnicode_DATA(key), PyUnicode_DATA(name),
                     static_cast<std::size_t>(length) * static_cast<std::size_t>(kind)) == 0;
}

// The values of one packet from the caller's mapping, asked for in recipe
// order. Values dicts usually hold the fields in recipe order, keyed by the
// same interned strings (literals, layout.names, an unpack() result):
// walking the entries finds each value without hashing. The first entry
// that is not the next field ends the walk; look-ups take over from there.
class MappingSource {
 public:
  MappingSource(const LayoutData& data, PyObject* values)
      : data_(data), values_(values), in_order_(PyDict_CheckExact(values)) {}

  // Item j's value; empty with `missing` set (and no exception) when the
  // mapping has none.
  Ref operator()(std::size_t j, bool& missing) {
    PyObject* name = data_.items[j].name.get();
    if (in_order_) {
      PyObject* key = nullptr;
      PyObject* entry = nullptr;
      in_order_ = PyDict_Next(values_, &cursor_, &key, &entry) && same_name(key, name);
      if (in_order_) return Ref::borrow(entry);
    }
    Ref found;
    if (PyDict_CheckExact(values_)) {
      found = Ref::borrow(PyDict_GetItemWithError(values_, name));
      missing = !found && !PyErr_Occurred();
      return found;
    }
    found = Ref::steal(PyObject_GetItem(values_, name));
    if (!found && PyErr_ExceptionMatches(PyExc_KeyError)) {
      PyErr_Clear();
      missing = true;
    }
    return found;
  }

 private:
  const LayoutData& data_;
  PyObject* values_;
  bool in_order_;
  Py_ssize_t cursor_ = 0;
};

// The values of an array field as a tuple of its own: converting a value
// may run code that changes the caller's sequence. Empty with ValueError
// when `value` is not a sequence of values.
Ref array_values(const LayoutItem& item, PyObject* value) {
  Ref elements;
  if (!PyUnicode_Check(value) && !PyBytes_Check(value)) {
    elements = Ref::steal(PySequence_Tuple(value));
    if (elements) return elements;
    PyErr_Clear();
  }
  refuse(item,
         concat("an array field takes a sequence of values, not '", Py_TYPE(value)->tp_name, "'"));
  return elements;
}

// A value the values lack: KeyError naming the field when it is missing
// (any other failure is already raised). False.
bool missing_value(const LayoutItem& item, bool missing) {
  if (missing) PyErr_SetObject(PyExc_KeyError, item.name.get());
  return false;
}

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
  if (!packet.empty()) place_shaped_pattern(packet, bit, field.spec, field.shape, *pattern);
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

[[gnu::noinline]] bool pack_field_value(const PlannedField& field, const LayoutItem& item,
                                        const Ref& value, bool missing,
                                        std::span<std::uint8_t> packet, bool raw,
                                        std::uint8_t& computed) {
  if (item.check && (missing || value.get() == Py_None)) {
    computed = 1;
    return true;
  }
  if (!value) return missing_value(item, missing);
  if (!field.shape.is_array()) {
    return pack_one(field, item, value.get(), packet, field.position, raw);
  }
  const Ref elements = array_values(item, value.get());
  if (!elements) return false;
  const auto length = static_cast<std::uint64_t>(PyTuple_GET_SIZE(elements.get()));
  if (length != field.shape.fixed) {
    return refuse(item, concat("the array takes ", field.shape.fixed, " values, not ", length));
  }
  for (std::uint64_t k = 0; k < length; ++k) {
    PyObject* element = PyTuple_GET_ITEM(elements.get(), static_cast<Py_ssize_t>(k));
    if (!pack_one(field, item, element, packet, field.position + k * field.spec.bits, raw)) {
      return false;
    }
  }
  return true;
}

namespace {

// Packs a layout whose packet size the values do not change (no variable
// array, no length to fill in) in one pass, in recipe order, so the first
// missing or bad value is the one reported. An empty `packet` only checks
// the values. computed[j] is set for a check field left to be computed.
// Flattened: left to itself the compiler calls the per-field bit write out
// of line here, which costs Layout.pack of a 16-field packet about a tenth.
[[gnu::flatten]] bool pack_in_order(const LayoutData& data, MappingSource& source,
                                    std::span<std::uint8_t> packet, bool raw,
                                    std::vector<std::uint8_t>& computed) {
  const std::span<const PlannedField> fields = data.plan.fields();
  for (std::size_t j = 0; j < data.packed_fields; ++j) {
    const PlannedField& field = fields[j];
    const LayoutItem& item = data.items[j];
    bool missing = false;
    const Ref value = source(j, missing);
    if (!field.shape.is_array() && field.shape.plain() && item.check == nullptr &&
        (raw || item.conversion == nullptr)) [[likely]] {
      if (!value) return missing_value(item, missing);
      if (!pack_value(field, item, value.get(), packet)) return false;
      continue;
    }
    std::uint8_t ignored = 0;
    if (!pack_field_value(field, item, value, missing, packet, raw,
                          computed.empty() ? ignored : computed[j])) {
      return false;
    }
  }
  return true;
}

}  // namespace

bool place_computed_checks(const LayoutData& data, const std::vector<std::uint8_t>& computed,
                           std::span<std::uint8_t> packet, const std::uint64_t* bases) {
  if (data.checks.empty()) return true;
  std::vector<std::uint8_t> given(data.checks.size());
  for (std::size_t c = 0; c < data.checks.size(); ++c) {
    given[c] = computed[data.checks[c].field] == 0;
  }
  if (const auto unplaced = place_checks(data.plan, data.checks, given, packet, bases)) {
    const PacketCheck& check = data.checks[*unplaced];
    return refuse(data.items[check.field],
                  unplaced_check_message(data.plan, check, bases, packet.size()));
  }
  return true;
}

PyObject* pack_packet(const LayoutData& data, PyObject* values, bool raw) {
  if (!PyDict_Check(values) && !PyObject_HasAttrString(values, "keys")) {
    PyErr_Format(PyExc_TypeError,
                 "pack() argument 'values' must be a mapping from field name to value, not '%s'",
                 Py_TYPE(values)->tp_name);
    return nullptr;
  }
  if (!data.size_known()) {
    MappingSource source(data, values);
    std::vector<std::uint8_t> packet;
    const ValueSource value_of = [&](std::size_t j, bool& missing) { return source(j, missing); };
    if (!pack_measured(data, value_of, packet, raw)) return nullptr;
    return PyBytes_FromStringAndSize(reinterpret_cast<const char*>(packet.data()),
                                     static_cast<Py_ssize_t>(packet.size()));
  }
  std::vector<std::uint8_t> computed(data.checks.empty() ? 0 : data.packed_fields, 0);
  const Result<std::uint64_t>& size_bits = data.plan.packed_size_bits();
  const Result<std::uint64_t> allocation =
      size_bits ? PackedSize::allocation_bytes(*size_bits) : Result<std::uint64_t>(0);
  if (!size_bits || !allocation) {
    // Bad values are reported first, as pack_parameters does.
    MappingSource source(data, values);
    if (!pack_in_order(data, source, {}, raw, computed)) return nullptr;
    raise_error(!size_bits ? size_bits.error() : allocation.error());
    return rewrap_engine_failure({});
  }
  const std::uint64_t size = *allocation;
  Ref packet = Ref::steal(PyBytes_FromStringAndSize(nullptr, static_cast<Py_ssize_t>(size)));
  if (!packet) return nullptr;
  auto* bytes = reinterpret_cast<std::uint8_t*>(PyBytes_AS_STRING(packet.get()));
  std::memset(bytes, 0, size);
  MappingSource source(data, values);
  const std::uint64_t base = 0;
  if (!pack_in_order(data, source, std::span(bytes, size), raw, computed) ||
      !place_computed_checks(data, computed, std::span(bytes, size), &base)) {
    return nullptr;
  }
  return packet.release();
}

bool pack_measured(const LayoutData& data, const ValueSource& value_of,
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
    sequences[j] = array_values(data.items[j], values[j].get());
    if (!sequences[j]) return false;
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
  return place_computed_checks(data, computed_check, packet, bases.data());
}

}  // namespace vantrel
