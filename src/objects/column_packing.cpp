// Layout.pack_many: columns of values into many packets, one bytes object.
#include <cstring>
#include <string>
#include <vector>

#include "common/binary32.hpp"
#include "common/format.hpp"
#include "binding/buffer_view.hpp"
#include "binding/convert.hpp"
#include "binding/call_frame.hpp"
#include "objects/layout_columns.hpp"
#include "objects/layout_type.hpp"
#include "binding/method_args.hpp"
#include "objects/numpy_support.hpp"

namespace vantrel {

namespace {

// ---- pack_many --------------------------------------------------------------

// One field's values: a typed one-dimensional array read in place, or any
// sequence read item by item.
struct ColumnSource {
  Ref object;
  BufferView typed;
  char format = 0;  // struct format code of a typed array, 0 for a sequence
  Ref items;        // PySequence_Fast of a sequence
  std::size_t length = 0;
};

bool is_typed_format(const char* format) {
  if (format == nullptr) return false;
  if (*format == '=' || *format == '<' || *format == '@') ++format;  // native little-endian
  return std::strlen(format) == 1 && std::strchr("bBhHiIlLqQfd", *format) != nullptr;
}

bool open_source(PyObject* object, ColumnSource& source) {
  source.object = Ref::borrow(object);
  if (PyObject_CheckBuffer(object) && !PyBytes_Check(object) && !PyByteArray_Check(object)) {
    Py_buffer probe;
    if (PyObject_GetBuffer(object, &probe, PyBUF_FORMAT | PyBUF_C_CONTIGUOUS) == 0) {
      const bool typed = probe.ndim == 1 && is_typed_format(probe.format);
      if (typed) {
        const char* code = probe.format;
        if (*code == '=' || *code == '<' || *code == '@') ++code;
        source.format = *code;
        source.length = static_cast<std::size_t>(probe.shape[0]);
      }
      PyBuffer_Release(&probe);
      if (typed) {
        // Held as plain bytes for the rest of the call.
        return source.typed.acquire(object);
      }
    } else {
      PyErr_Clear();
    }
  }
  source.items = Ref::steal(PySequence_Fast(object, "pack_many() columns must be sequences"));
  if (!source.items) return false;
  source.length = static_cast<std::size_t>(PySequence_Fast_GET_SIZE(source.items.get()));
  return true;
}

template <class Element>
Element typed_at(const ColumnSource& source, std::size_t row) {
  Element value;
  std::memcpy(&value, source.typed.bytes().data() + row * sizeof(Element), sizeof(Element));
  return value;
}

// Reads a typed element straight into the encoder's input where that is
// exactly what converting the element as an object would give; false when
// the object path must decide (other kinds, or a value it would refuse).
bool typed_input(const ColumnSource& source, std::size_t row, ValueKind kind, PackInput& input) {
  std::int64_t integer = 0;
  switch (source.format) {
    case 'b': integer = typed_at<signed char>(source, row); break;
    case 'B': integer = typed_at<unsigned char>(source, row); break;
    case 'h': integer = typed_at<short>(source, row); break;
    case 'H': integer = typed_at<unsigned short>(source, row); break;
    case 'i': integer = typed_at<int>(source, row); break;
    case 'I': integer = typed_at<unsigned int>(source, row); break;
    case 'l':
    case 'q': integer = typed_at<std::int64_t>(source, row); break;
    case 'L':
    case 'Q': {
      const auto value = typed_at<std::uint64_t>(source, row);
      if (kind == ValueKind::Unsigned) {
        input.unsigned_value = value;
        return true;
      }
      if (value > static_cast<std::uint64_t>(INT64_MAX)) return false;
      integer = static_cast<std::int64_t>(value);
      break;
    }
    case 'f':
      if (kind != ValueKind::Real32) return false;
      input.real32 = typed_at<float>(source, row);
      return true;
    case 'd':
      if (kind != ValueKind::Real64) return false;
      input.real64 = typed_at<double>(source, row);
      return true;
    default: return false;
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

// The element as an interpreter object, for the object path.
Ref element_object(const ColumnSource& source, std::size_t row) {
  if (source.format == 0) {
    return Ref::borrow(PySequence_Fast_GET_ITEM(source.items.get(), static_cast<Py_ssize_t>(row)));
  }
  switch (source.format) {
    // Widened in integers: a float-to-double conversion would flush binary32
    // subnormals when another library has set denormals-are-zero.
    case 'f':
      return Ref::steal(PyFloat_FromDouble(binary64_from_binary32(typed_at<float>(source, row))));
    case 'd': return Ref::steal(PyFloat_FromDouble(typed_at<double>(source, row)));
    case 'L':
    case 'Q': return Ref::steal(PyLong_FromUnsignedLongLong(typed_at<std::uint64_t>(source, row)));
    default: {
      PackInput wide;
      typed_input(source, row, ValueKind::Signed, wide);
      return Ref::steal(PyLong_FromLongLong(wide.signed_value));
    }
  }
}

constexpr MethodSignature<1> kPackManySignature{"pack_many", {{"columns", true}}, 1};

PyObject* pack_many(const LayoutData& data, PyObject* columns) {
  if (!PyDict_Check(columns) && !PyObject_HasAttrString(columns, "keys")) {
    PyErr_Format(PyExc_TypeError,
                 "pack_many() argument 'columns' must be a mapping from field name to values, "
                 "not '%s'",
                 Py_TYPE(columns)->tp_name);
    return nullptr;
  }
  if (data.shaped()) return pack_many_shaped(data, columns);
  const std::span<const PlannedField> fields = data.plan.fields();
  std::vector<ColumnSource> sources(fields.size());
  std::size_t count = 0;
  for (std::size_t j = 0; j < fields.size(); ++j) {
    PyObject* name = data.items[j].name.get();
    Ref column = Ref::steal(PyObject_GetItem(columns, name));
    if (!column) {
      if (PyErr_ExceptionMatches(PyExc_KeyError)) {
        PyErr_Clear();
        PyErr_SetObject(PyExc_KeyError, name);
      }
      return nullptr;
    }
    if (!open_source(column.get(), sources[j])) return nullptr;
    if (j == 0) count = sources[j].length;
    if (sources[j].length != count) {
      PyErr_Format(PyExc_ValueError,
                   "column %R has %zu values but column %R has %zu: every column needs one value "
                   "per packet",
                   name, sources[j].length, data.items[0].name.get(), count);
      return nullptr;
    }
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

  for (std::size_t row = 0; row < count; ++row) {
    const std::span<std::uint8_t> packet(bytes + row * record, record);
    for (std::size_t j = 0; j < fields.size(); ++j) {
      const PlannedField& field = fields[j];
      const ColumnSource& source = sources[j];
      PackInput input;
      bool packed = false;
      if (source.format != 0 && typed_input(source, row, field.spec.row->value_kind, input)) {
        packed = pack_input(field, data.items[j], input, packet);
      } else {
        Ref value = element_object(source, row);
        packed = value && pack_value(field, data.items[j], value.get(), packet);
      }
      if (!packed) {
        raise_with_location(concat("row ", row));
        return nullptr;
      }
    }
  }
  return archive.release();
}

}  // namespace

const char* const kPackManyDoc =
    "pack_many($self, /, columns)\n--\n\n"
    "Encode many packets from columns of values.\n\n"
    "columns: a mapping from field name to a numpy array or sequence; every\n"
    "    column has the same length n.\n\n"
    "Returns n packets concatenated in one bytes object, each equal to\n"
    "layout.pack of its row (size_bytes long, except for recipes whose packet\n"
    "functions size the packet longer). Raises KeyError naming a missing\n"
    "column, and ValueError naming the row and recipe item of a value that\n"
    "cannot be encoded.";

PyObject* layout_pack_many(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                           PyObject* kwnames) {
  return guarded([&]() -> PyObject* {
    PyObject* slots[1];
    if (!bind(kPackManySignature, args, nargs, kwnames, slots)) return nullptr;
    return pack_many(layout_data(self), slots[0]);
  });
}

}  // namespace vantrel
