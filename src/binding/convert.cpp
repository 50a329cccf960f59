#include "binding/convert.hpp"

#include <cstring>

#include "binding/module_state.hpp"
#include "binding/py_compat.hpp"
#include "common/binary32.hpp"
#include "common/text_kernels.hpp"

namespace vantrel {

namespace {

using compat::compact_int_value;

// Runs `read` on an int, or on the result of __index__ for any other object.
template <class Read>
bool with_index(PyObject* object, Read read) {
  if (PyLong_Check(object)) return read(object);
  Ref index = Ref::steal(PyNumber_Index(object));
  return index && read(index.get());
}

}  // namespace

bool to_i64(PyObject* object, std::int64_t& out) {
  long long compact = 0;
  if (compact_int_value(object, compact)) {
    out = compact;
    return true;
  }
  return with_index(object, [&](PyObject* integer) {
    const long long value = PyLong_AsLongLong(integer);
    if (value == -1 && PyErr_Occurred()) return false;
    out = value;
    return true;
  });
}

bool to_u64(PyObject* object, std::uint64_t& out) {
  long long compact = 0;
  if (compact_int_value(object, compact) && compact >= 0) {
    out = static_cast<std::uint64_t>(compact);
    return true;
  }
  return with_index(object, [&](PyObject* integer) {
    if constexpr (sizeof(unsigned long) == sizeof(std::uint64_t)) {
      // Reads the digits directly, where the long long call goes through a
      // byte array; on failure the long long call runs again, for its own
      // messages.
      const unsigned long value = PyLong_AsUnsignedLong(integer);
      if (value != static_cast<unsigned long>(-1) || !PyErr_Occurred()) {
        out = value;
        return true;
      }
      PyErr_Clear();
    }
    const unsigned long long value = PyLong_AsUnsignedLongLong(integer);
    if (value == static_cast<unsigned long long>(-1) && PyErr_Occurred()) return false;
    out = value;
    return true;
  });
}

bool to_u32(PyObject* object, std::uint32_t& out) {
  std::int64_t value = 0;
  if (!to_i64(object, value)) return false;
  if (value < 0 || value > 0xFFFFFFFFLL) {
    PyErr_SetString(PyExc_OverflowError, "out of range integral type conversion attempted");
    return false;
  }
  out = static_cast<std::uint32_t>(value);
  return true;
}

bool to_u128(PyObject* object, U128& out) {
  return with_index(object, [&](PyObject* integer) {
    unsigned char little_endian[16];
    if (!compat::int_to_u128_little_endian(integer, little_endian)) return false;
    out = U128{0, 0};
    for (int i = 15; i >= 8; --i) out.high = (out.high << 8) | little_endian[i];
    for (int i = 7; i >= 0; --i) out.low = (out.low << 8) | little_endian[i];
    return true;
  });
}

bool to_f64(PyObject* object, double& out) {
  if (PyFloat_CheckExact(object)) {
    out = PyFloat_AS_DOUBLE(object);
    return true;
  }
  const double value = PyFloat_AsDouble(object);
  if (value == -1.0 && PyErr_Occurred()) return false;
  out = value;
  return true;
}

bool to_f32(PyObject* object, float& out) {
  double value = 0;
  if (!to_f64(object, value)) return false;
  out = binary32_from_double(value);
  return true;
}

bool to_strict_bool(PyObject* object, bool& out) {
  if (object == Py_True || object == Py_False) {
    out = object == Py_True;
    return true;
  }
  // NumPy's boolean scalar ("numpy.bool_" before NumPy 2, "numpy.bool" after).
  const char* type_name = Py_TYPE(object)->tp_name;
  if (std::strcmp(type_name, "numpy.bool_") == 0 || std::strcmp(type_name, "numpy.bool") == 0) {
    const int truth = PyObject_IsTrue(object);
    if (truth < 0) return false;
    out = truth != 0;
    return true;
  }
  raise_cast_error(object, "bool");
  return false;
}

bool to_utf8(PyObject* object, std::string_view& out, Ref& owner) {
  if (!PyUnicode_Check(object)) {
    raise_cast_error(object, "str");
    return false;
  }
#if PY_VERSION_HEX < 0x030C0000
  if (PyUnicode_READY(object) < 0) return false;
#endif
  if (PyUnicode_IS_ASCII(object)) {
    out = std::string_view(static_cast<const char*>(PyUnicode_DATA(object)),
                           static_cast<std::size_t>(PyUnicode_GET_LENGTH(object)));
    return true;
  }
  // A new bytes object: PyUnicode_AsUTF8AndSize would cache the form in the
  // str. A lone surrogate raises the same UnicodeEncodeError either way.
  owner = Ref::steal(PyUnicode_AsUTF8String(object));
  if (!owner) return false;
  out = std::string_view(PyBytes_AS_STRING(owner.get()),
                         static_cast<std::size_t>(PyBytes_GET_SIZE(owner.get())));
  return true;
}

bool to_text(PyObject* object, TextView& out) {
  if (!PyUnicode_Check(object)) {
    raise_cast_error(object, "str");
    return false;
  }
#if PY_VERSION_HEX < 0x030C0000
  // Strs made by the legacy wide-character API get their compact form here.
  if (PyUnicode_READY(object) < 0) return false;
#endif
  const int kind = PyUnicode_KIND(object);
  out = TextView{PyUnicode_DATA(object), static_cast<std::size_t>(PyUnicode_GET_LENGTH(object)),
                 static_cast<std::uint8_t>(kind), PyUnicode_IS_ASCII(object) != 0};
  const bool surrogate =
      kind == PyUnicode_2BYTE_KIND   ? kernels::has_surrogate(out.units16(), out.length)
      : kind == PyUnicode_4BYTE_KIND ? kernels::has_surrogate(out.units32(), out.length)
                                     : false;
  if (!surrogate) return true;
  // A lone surrogate has no UTF-8 form: the interpreter's own conversion
  // raises its UnicodeEncodeError. It returns a new bytes object and caches
  // nothing in the str.
  Ref utf8 = Ref::steal(PyUnicode_AsUTF8String(object));
  if (utf8) PyErr_SetString(PyExc_SystemError, "surrogate found but the str has a UTF-8 form");
  return false;
}

bool to_bytes(PyObject* object, ByteSpan& out) {
  if (!PyBytes_Check(object)) {
    raise_cast_error(object, "bytes");
    return false;
  }
  out = ByteSpan(reinterpret_cast<const std::uint8_t*>(PyBytes_AS_STRING(object)),
                 static_cast<std::size_t>(PyBytes_GET_SIZE(object)));
  return true;
}

Ref qualified_type_name(PyObject* type) {
  return Ref::steal(PyObject_GetAttr(type, module_state.qualname_key));
}

void raise_cast_error(PyObject* object, const char* target) {
  Ref name = qualified_type_name(reinterpret_cast<PyObject*>(Py_TYPE(object)));
  if (!name) return;
  PyErr_Format(PyExc_TypeError, "'%U' object cannot be cast as '%s'", name.get(), target);
}

void raise_error(const Error& error) {
  PyObject* type = PyExc_ValueError;
  switch (error.kind) {
    case ErrorKind::ValueError: type = PyExc_ValueError; break;
    case ErrorKind::KeyError: type = PyExc_KeyError; break;
    case ErrorKind::NotImplementedError: type = PyExc_NotImplementedError; break;
    case ErrorKind::TypeError: type = PyExc_TypeError; break;
    case ErrorKind::OverflowError: type = PyExc_OverflowError; break;
  }
  Ref message = Ref::steal(PyUnicode_DecodeUTF8(
      error.message.data(), static_cast<Py_ssize_t>(error.message.size()), "replace"));
  if (!message) return;
  // A one-element tuple keeps the message as the single argument even when
  // the exception type would unpack a bare value.
  Ref args = Ref::steal(PyTuple_Pack(1, message.get()));
  if (!args) return;
  PyErr_SetObject(type, args.get());
}

char* BytesResult::allocate(std::size_t size) {
  if (size > static_cast<std::size_t>(PY_SSIZE_T_MAX)) {
    PyErr_NoMemory();
    throw InterpreterErrorSet{};
  }
  object_ = Ref::steal(PyBytes_FromStringAndSize(nullptr, static_cast<Py_ssize_t>(size)));
  if (!object_) throw InterpreterErrorSet{};
  return PyBytes_AS_STRING(object_.get());
}

bool StrResult::decode_natively(NativeCodec codec, ByteSpan bytes) {
  // Short inputs are decoded faster here than the call costs.
  if (bytes.size() < kNativeMinimum) return false;
  const auto* data = reinterpret_cast<const char*>(bytes.data());
  const auto size = static_cast<Py_ssize_t>(bytes.size());
  int little = -1;
  int big = 1;
  switch (codec) {
    case NativeCodec::Utf8: object_ = Ref::steal(PyUnicode_DecodeUTF8(data, size, "strict")); break;
    case NativeCodec::Utf16Little:
      object_ = Ref::steal(PyUnicode_DecodeUTF16(data, size, "strict", &little));
      break;
    case NativeCodec::Utf16Big:
      object_ = Ref::steal(PyUnicode_DecodeUTF16(data, size, "strict", &big));
      break;
    case NativeCodec::Utf32Little:
      object_ = Ref::steal(PyUnicode_DecodeUTF32(data, size, "strict", &little));
      break;
    case NativeCodec::Utf32Big:
      object_ = Ref::steal(PyUnicode_DecodeUTF32(data, size, "strict", &big));
      break;
  }
  if (object_) return true;
  // Malformed input: the caller's own decoder words the failure.
  if (!PyErr_ExceptionMatches(PyExc_UnicodeDecodeError)) throw InterpreterErrorSet{};
  PyErr_Clear();
  return false;
}

void* StrResult::allocate(std::size_t length, char32_t max_code_point) {
  if (length > static_cast<std::size_t>(PY_SSIZE_T_MAX)) {
    PyErr_NoMemory();
    throw InterpreterErrorSet{};
  }
  object_ = Ref::steal(
      PyUnicode_New(static_cast<Py_ssize_t>(length), static_cast<Py_UCS4>(max_code_point)));
  if (!object_) throw InterpreterErrorSet{};
  return PyUnicode_DATA(object_.get());
}

Ref fetch_exception() {
#if PY_VERSION_HEX >= 0x030C0000
  return Ref::steal(PyErr_GetRaisedException());
#else
  PyObject* type = nullptr;
  PyObject* value = nullptr;
  PyObject* traceback = nullptr;
  PyErr_Fetch(&type, &value, &traceback);
  if (type == nullptr) return {};
  PyErr_NormalizeException(&type, &value, &traceback);
  if (traceback != nullptr && value != nullptr) PyException_SetTraceback(value, traceback);
  Py_XDECREF(type);
  Py_XDECREF(traceback);
  return Ref::steal(value);
#endif
}

void restore_exception(Ref exception) {
#if PY_VERSION_HEX >= 0x030C0000
  PyErr_SetRaisedException(exception.release());
#else
  PyObject* value = exception.release();
  PyObject* type = reinterpret_cast<PyObject*>(Py_TYPE(value));
  Py_INCREF(type);
  PyErr_Restore(type, value, PyException_GetTraceback(value));
#endif
}

}  // namespace vantrel
