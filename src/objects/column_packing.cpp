// Layout.pack_many: columns of values into many packets, one bytes object.
#include <bit>
#include <cstring>
#include <limits>
#include <string>
#include <vector>

#include "binding/buffer_view.hpp"
#include "binding/call_frame.hpp"
#include "binding/convert.hpp"
#include "binding/method_args.hpp"
#include "common/binary16.hpp"
#include "common/binary32.hpp"
#include "common/format.hpp"
#include "objects/conversion_recipes.hpp"
#include "objects/layout_columns.hpp"
#include "objects/layout_data.hpp"
#include "objects/layout_packets.hpp"
#include "objects/numpy_support.hpp"

namespace vantrel {

namespace {

// ---- pack_many --------------------------------------------------------------

// How a typed column's elements are stored.
enum class ElementKind : std::uint8_t { Signed, Unsigned, Float, Bool };

// One field's values: a one-dimensional typed array read in place by its
// item size and byte order, or a sequence of values held as a tuple that
// nothing else can change (a list is copied first: converting one value may
// run code that empties the caller's list).
struct ColumnSource {
  TypedBufferView typed;
  bool is_typed = false;
  ElementKind element = ElementKind::Signed;
  bool swapped = false;  // stored in the other byte order than this machine's
  Ref items;             // the private tuple of a sequence
  std::size_t length = 0;
  bool nanoseconds = false;  // a datetime64 column, read as int64 nanoseconds
  // Its first element outside datetime64[ns] (repr, row), if any.
  std::string outside;
  std::size_t outside_row = 0;
};

// A numpy datetime64 array as its int64 nanoseconds (numpy lends no buffer
// of datetimes), noting its first element outside datetime64[ns]; the
// column itself for anything else.
Ref time_column(PyObject* column, ColumnSource& source) {
  source.nanoseconds = false;
  Ref dtype = PyObject_HasAttrString(column, "dtype")
                  ? Ref::steal(PyObject_GetAttrString(column, "dtype"))
                  : Ref{};
  Ref kind = dtype ? Ref::steal(PyObject_GetAttrString(dtype.get(), "kind")) : Ref{};
  if (!kind || !PyUnicode_Check(kind.get()) ||
      PyUnicode_CompareWithASCIIString(kind.get(), "M") != 0) {
    PyErr_Clear();
    return Ref::borrow(column);
  }
  Ref nanoseconds = datetime64_nanoseconds(column, source.outside, source.outside_row);
  source.nanoseconds = static_cast<bool>(nanoseconds);
  return nanoseconds;
}

// The element kind of a struct-module format of one item, checked against
// the exporter's item size; false for anything else (the column is then
// read as a sequence of values).
bool typed_element(const char* format, std::size_t item_size, ElementKind& kind, bool& swapped) {
  if (format == nullptr) return false;
  constexpr bool kLittleHost = std::endian::native == std::endian::little;
  swapped = false;
  if (*format == '<' || *format == '>' || *format == '!' || *format == '=' || *format == '@') {
    if (*format == '<') swapped = !kLittleHost;
    if (*format == '>' || *format == '!') swapped = kLittleHost;
    ++format;
  }
  if (format[0] == '\0' || format[1] != '\0') return false;
  const bool integral_size = item_size == 1 || item_size == 2 || item_size == 4 || item_size == 8;
  switch (*format) {
    case 'b':
    case 'h':
    case 'i':
    case 'l':
    case 'q':
    case 'n': kind = ElementKind::Signed; return integral_size;
    case 'B':
    case 'H':
    case 'I':
    case 'L':
    case 'Q':
    case 'N': kind = ElementKind::Unsigned; return integral_size;
    case 'e': kind = ElementKind::Float; return item_size == 2;
    case 'f': kind = ElementKind::Float; return item_size == 4;
    case 'd': kind = ElementKind::Float; return item_size == 8;
    case '?': kind = ElementKind::Bool; return item_size == 1;
    default: return false;
  }
}

bool open_source(PyObject* object, PyObject* name, ColumnSource& source) {
  if (PyObject_CheckBuffer(object) && !PyBytes_Check(object) && !PyByteArray_Check(object)) {
    // One request, kept for the whole call: the format, item size and
    // length read are those of the memory read.
    if (source.typed.acquire(object)) {
      source.is_typed =
          source.typed.ndim() == 1 && typed_element(source.typed.format(), source.typed.item_size(),
                                                    source.element, source.swapped);
      if (source.is_typed) {
        source.length = source.typed.length();
        return true;
      }
      source.typed.release();
    } else {
      if (!PyErr_ExceptionMatches(PyExc_Exception) || PyErr_ExceptionMatches(PyExc_MemoryError)) {
        return false;
      }
      PyErr_Clear();
    }
  }
  // Values one per row, in order: a str would pack one character per row
  // and a set or a generator in no defined order.
  if (PyUnicode_Check(object) || !PySequence_Check(object) || PyDict_Check(object) ||
      PyAnySet_Check(object)) {
    PyErr_Format(PyExc_TypeError,
                 "pack_many() column %R must be a sequence of values (a list, a tuple) or a "
                 "one-dimensional array, not '%s'",
                 name, Py_TYPE(object)->tp_name);
    return false;
  }
  source.items = Ref::steal(PySequence_Tuple(object));
  if (!source.items) return false;
  source.length = static_cast<std::size_t>(PyTuple_GET_SIZE(source.items.get()));
  return true;
}

// The element's bits, in this machine's byte order, in the low item-size
// bytes.
std::uint64_t element_bits(const ColumnSource& source, std::size_t row) {
  const std::size_t size = source.typed.item_size();
  const std::uint8_t* at = source.typed.bytes().data() + row * size;
  switch (size) {
    case 1: return *at;
    case 2: {
      std::uint16_t value;
      std::memcpy(&value, at, 2);
      return source.swapped ? __builtin_bswap16(value) : value;
    }
    case 4: {
      std::uint32_t value;
      std::memcpy(&value, at, 4);
      return source.swapped ? __builtin_bswap32(value) : value;
    }
    default: {
      std::uint64_t value;
      std::memcpy(&value, at, 8);
      return source.swapped ? __builtin_bswap64(value) : value;
    }
  }
}

std::int64_t signed_element(const ColumnSource& source, std::uint64_t bits) {
  const unsigned width = static_cast<unsigned>(8 * source.typed.item_size());
  if (width == 64) return static_cast<std::int64_t>(bits);
  const std::uint64_t sign = std::uint64_t{1} << (width - 1);
  return static_cast<std::int64_t>((bits ^ sign) - sign);
}

float float32_element(std::uint64_t bits) {
  float value;
  const auto word = static_cast<std::uint32_t>(bits);
  std::memcpy(&value, &word, 4);
  return value;
}

double float64_element(std::uint64_t bits) {
  double value;
  std::memcpy(&value, &bits, 8);
  return value;
}

// Reads a typed element straight into the encoder's input where that is
// exactly what converting the element as an object would give; false when
// the object path must decide (other kinds, or a value it would refuse).
bool typed_input(const ColumnSource& source, std::size_t row, ValueKind kind, PackInput& input) {
  const std::uint64_t bits = element_bits(source, row);
  std::int64_t integer = 0;
  switch (source.element) {
    case ElementKind::Bool: integer = bits != 0; break;
    case ElementKind::Signed: integer = signed_element(source, bits); break;
    case ElementKind::Unsigned:
      if (kind == ValueKind::Unsigned) {
        input.unsigned_value = bits;
        return true;
      }
      if (bits > static_cast<std::uint64_t>(INT64_MAX)) return false;
      integer = static_cast<std::int64_t>(bits);
      break;
    case ElementKind::Float:
      if (source.typed.item_size() == 2) {
        // Every binary16 value is exact in both wider formats.
        const float value = binary16_to_float(static_cast<std::uint16_t>(bits));
        if (kind == ValueKind::Real32)
          input.real32 = value;
        else if (kind == ValueKind::Real64)
          input.real64 = value;
        else
          return false;
        return true;
      }
      if (source.typed.item_size() == 4 && kind == ValueKind::Real32) {
        input.real32 = float32_element(bits);
        return true;
      }
      if (source.typed.item_size() == 8 && kind == ValueKind::Real64) {
        input.real64 = float64_element(bits);
        return true;
      }
      return false;
  }
  if (kind == ValueKind::Signed) {
    input.signed_value = integer;
    return true;
  }
  if (kind == ValueKind::Unsigned && integer >= 0) {
    input.unsigned_value = static_cast<std::uint64_t>(integer);
    return true;
  }
  return false;
}

// The element as an interpreter object, for the object path: the value a
// list of plain Python numbers would hold.
Ref element_object(const ColumnSource& source, std::size_t row) {
  if (!source.is_typed) {
    return Ref::borrow(PyTuple_GET_ITEM(source.items.get(), static_cast<Py_ssize_t>(row)));
  }
  const std::uint64_t bits = element_bits(source, row);
  switch (source.element) {
    case ElementKind::Bool: return Ref::borrow(bits != 0 ? Py_True : Py_False);
    case ElementKind::Signed: return Ref::steal(PyLong_FromLongLong(signed_element(source, bits)));
    case ElementKind::Unsigned: return Ref::steal(PyLong_FromUnsignedLongLong(bits));
    case ElementKind::Float: break;
  }
  switch (source.typed.item_size()) {
    case 2:
      return Ref::steal(PyFloat_FromDouble(
          binary64_from_binary32(binary16_to_float(static_cast<std::uint16_t>(bits)))));
    // Widened in integers: a float-to-double conversion would flush binary32
    // subnormals when another library has set denormals-are-zero.
    case 4: return Ref::steal(PyFloat_FromDouble(binary64_from_binary32(float32_element(bits))));
    default: return Ref::steal(PyFloat_FromDouble(float64_element(bits)));
  }
}

// One row's field j from its column, with the typed fast path for plain
// single values. False with the failure raised.
bool pack_element(const LayoutData& data, std::size_t j, const ColumnSource& source,
                  std::size_t row, std::span<std::uint8_t> packet, bool raw,
                  std::uint8_t& computed) {
  const PlannedField& field = data.plan.fields()[j];
  const LayoutItem& item = data.items[j];
  const ItemConversion* conversion = raw ? nullptr : item.conversion.get();
  if (conversion != nullptr && source.nanoseconds && source.is_typed) {
    const Nanoseconds time = signed_element(source, element_bits(source, row));
    if (!source.outside.empty() && row == source.outside_row) {
      return raise_item_failure(
          Error{ErrorKind::ValueError,
                concat(source.outside, " is outside the range of datetime64[ns]")},
          item);
    }
    return time != std::numeric_limits<Nanoseconds>::min()
               ? pack_time(*conversion, field, item, time, packet)
               : raise_item_failure(Error{ErrorKind::ValueError, "NaT is not a time"}, item);
  }
  const bool plain = !field.shape.is_array() && field.shape.plain() && item.check == nullptr;
  PackInput input;
  if (plain && conversion == nullptr && source.is_typed &&
      typed_input(source, row, field.spec.row->value_kind, input)) {
    return pack_input(field, item, input, packet);
  }
  const Ref value = element_object(source, row);
  if (!value) return false;
  if (plain && conversion == nullptr) return pack_value(field, item, value.get(), packet);
  return pack_field_value(field, item, value, false, packet, raw, computed);
}

PyObject* pack_many(const LayoutData& data, PyObject* columns, bool raw) {
  if (!PyDict_Check(columns) && !PyObject_HasAttrString(columns, "keys")) {
    PyErr_Format(PyExc_TypeError,
                 "pack_many() argument 'columns' must be a mapping from field name to values, "
                 "not '%s'",
                 Py_TYPE(columns)->tp_name);
    return nullptr;
  }
  const std::span<const PlannedField> fields = data.plan.fields();
  const bool size_known = data.size_known();
  std::vector<ColumnSource> sources(fields.size());
  // Omitted columns: check fields, computed per packet, and (when the
  // packet's size depends on the values) count and length fields, which
  // the packer fills in.
  std::vector<std::uint8_t> omitted(fields.size(), 0);
  std::size_t count = 0;
  std::ptrdiff_t first_column = -1;
  // The raw twins of "keep_raw" (after these) are read back, never packed.
  for (std::size_t j = 0; j < data.packed_fields; ++j) {
    PyObject* name = data.items[j].name.get();
    Ref column = Ref::steal(PyObject_GetItem(columns, name));
    if (!column && PyErr_ExceptionMatches(PyExc_KeyError) && (data.items[j].check || !size_known)) {
      PyErr_Clear();
      omitted[j] = 1;
      continue;
    }
    if (!column) {
      if (PyErr_ExceptionMatches(PyExc_KeyError)) {
        PyErr_Clear();
        PyErr_SetObject(PyExc_KeyError, name);
      }
      return nullptr;
    }
    const ItemConversion* conversion = raw ? nullptr : data.items[j].conversion.get();
    // A datetime64 column of a packet of known size is read as int64
    // nanoseconds; the measured rows take numpy.datetime64 values.
    if (conversion != nullptr && conversion->conversion.kind == ConversionKind::TimeCode &&
        size_known && !fields[j].shape.is_array()) {
      column = time_column(column.get(), sources[j]);
      if (!column) return nullptr;
    }
    if (!open_source(column.get(), name, sources[j])) return nullptr;
    if (first_column < 0) {
      first_column = static_cast<std::ptrdiff_t>(j);
      count = sources[j].length;
    }
    if (sources[j].length != count) {
      PyErr_Format(PyExc_ValueError,
                   "column %R has %zu values but column %R has %zu: every column needs one value "
                   "per packet",
                   name, sources[j].length,
                   data.items[static_cast<std::size_t>(first_column)].name.get(), count);
      return nullptr;
    }
  }

  if (!size_known) {
    // Each row measured, then packed, as Layout.pack packs it.
    std::vector<std::uint8_t> archive;
    // One source for every row (made once: a std::function may allocate).
    std::size_t row = 0;
    const ValueSource value_of = [&](std::size_t j, bool& missing) -> Ref {
      missing = omitted[j] != 0;
      return missing ? Ref{} : element_object(sources[j], row);
    };
    for (; row < count; ++row) {
      if (!pack_measured(data, value_of, archive, raw)) {
        raise_with_location(concat("row ", row));
        return nullptr;
      }
    }
    return PyBytes_FromStringAndSize(reinterpret_cast<const char*>(archive.data()),
                                     static_cast<Py_ssize_t>(archive.size()));
  }

  const Result<std::uint64_t>& size_bits = data.plan.packed_size_bits();
  const std::uint64_t record = size_bits ? *size_bits / 8 + (*size_bits % 8 != 0) : 0;
  if (!size_bits ||
      (record != 0 && count > static_cast<std::uint64_t>(PY_SSIZE_T_MAX) / 2 / record)) {
    PyErr_SetString(PyExc_ValueError, "the packed archive is too large to allocate");
    return nullptr;
  }
  Ref archive =
      Ref::steal(PyBytes_FromStringAndSize(nullptr, static_cast<Py_ssize_t>(count * record)));
  if (!archive) return nullptr;
  auto* bytes = reinterpret_cast<std::uint8_t*>(PyBytes_AS_STRING(archive.get()));
  std::memset(bytes, 0, count * record);

  // Per row: the check fields left to be computed (an omitted column, or
  // None in a given one).
  std::vector<std::uint8_t> computed(data.checks.empty() ? 0 : fields.size(), 0);
  std::uint8_t ignored = 0;
  const std::uint64_t base = 0;
  for (std::size_t row = 0; row < count; ++row) {
    const std::span<std::uint8_t> packet(bytes + row * record, record);
    if (!computed.empty()) std::copy(omitted.begin(), omitted.end(), computed.begin());
    for (std::size_t j = 0; j < data.packed_fields; ++j) {
      if (omitted[j] != 0) continue;
      if (!pack_element(data, j, sources[j], row, packet, raw,
                        computed.empty() ? ignored : computed[j])) {
        raise_with_location(concat("row ", row));
        return nullptr;
      }
    }
    if (!place_computed_checks(data, computed, packet, &base)) {
      raise_with_location(concat("row ", row));
      return nullptr;
    }
  }
  return archive.release();
}

}  // namespace

const char* const kPackManyDoc =
    "Encode many packets from columns of values.\n\n"
    "columns: a mapping from field name to a numpy array or sequence; every\n"
    "    column has the same length n.\n\n"
    "Returns n packets concatenated in one bytes object, each equal to\n"
    "layout.pack of its row (size_bytes long, except for recipes whose packet\n"
    "functions size the packet longer). Raises KeyError naming a missing\n"
    "column, and ValueError naming the row and recipe item of a value that\n"
    "cannot be encoded. Converted fields take what pack takes (datetime64\n"
    "arrays for time codes); raw=True takes raw values for every field.\n"
    "A check field whose column is omitted is computed for every packet.";

PyObject* layout_pack_many(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                           PyObject* kwnames) {
  return guarded([&]() -> PyObject* {
    MethodArguments<kPackManySignature> arguments;
    if (!arguments.bind(args, nargs, kwnames)) return nullptr;
    bool raw = false;
    if (!read_raw_flag(arguments.get<"raw">(), raw)) return nullptr;
    return pack_many(layout_data(self), arguments.get<"columns">(), raw);
  });
}

}  // namespace vantrel
