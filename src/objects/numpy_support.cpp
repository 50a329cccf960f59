#include "objects/numpy_support.hpp"

#include <cstring>

#include "binding/convert.hpp"
#include "binding/module_state.hpp"

namespace vantrel {

PyObject* numpy_module() {
  PyObject*& numpy = module_state.numpy;
  if (numpy == nullptr) {
    numpy = PyImport_ImportModule("numpy");
    if (numpy == nullptr && PyErr_ExceptionMatches(PyExc_ImportError)) {
      Ref cause = fetch_exception();
      PyErr_SetString(PyExc_ImportError,
                      "vantrel's archive methods (Layout.unpack_many, Layout.pack_many, "
                      "split_packets) need numpy: pip install numpy");
      Ref error = fetch_exception();
      PyException_SetCause(error.get(), cause.release());
      restore_exception(std::move(error));
    }
  }
  return numpy;
}

Ref call_numpy(const char* function, PyObject* argument, const char* dtype) {
  PyObject* numpy = numpy_module();
  if (numpy == nullptr) return {};
  Ref callable = Ref::steal(PyObject_GetAttrString(numpy, function));
  if (!callable) return {};
  Ref args = Ref::steal(PyTuple_Pack(1, argument));
  Ref kwargs = Ref::steal(Py_BuildValue("{s:s}", "dtype", dtype));
  if (!args || !kwargs) return {};
  return Ref::steal(PyObject_Call(callable.get(), args.get(), kwargs.get()));
}

Ref datetime64_nanoseconds(PyObject* value, std::string& outside, std::size_t& outside_at) {
  outside.clear();
  outside_at = 0;
  PyObject* numpy = numpy_module();
  if (numpy == nullptr) return {};
  Ref array = Ref::steal(PyObject_CallMethod(numpy, "asarray", "O", value));
  Ref dtype = array ? Ref::steal(PyObject_GetAttrString(array.get(), "dtype")) : Ref{};
  Ref unit_and_count =
      dtype ? Ref::steal(PyObject_CallMethod(numpy, "datetime_data", "O", dtype.get())) : Ref{};
  Ref in_ns =
      array ? Ref::steal(PyObject_CallMethod(array.get(), "astype", "s", "datetime64[ns]")) : Ref{};
  Ref nanoseconds =
      in_ns ? Ref::steal(PyObject_CallMethod(in_ns.get(), "astype", "s", "int64")) : Ref{};
  if (!unit_and_count || !nanoseconds) return {};
  PyObject* unit = PyTuple_Check(unit_and_count.get()) && PyTuple_GET_SIZE(unit_and_count.get()) > 0
                       ? PyTuple_GET_ITEM(unit_and_count.get(), 0)
                       : nullptr;
  // Units of a nanosecond and finer never leave the range; the coarser
  // ones convert back exactly unless the conversion wrapped.
  bool coarse = false;
  for (const char* name : {"Y", "M", "W", "D", "h", "m", "s", "ms", "us"}) {
    coarse = coarse || (unit != nullptr && PyUnicode_Check(unit) &&
                        PyUnicode_CompareWithASCIIString(unit, name) == 0);
  }
  if (!coarse) return nanoseconds;
  Ref back = Ref::steal(PyObject_CallMethod(in_ns.get(), "astype", "O", dtype.get()));
  Ref back_int = back ? Ref::steal(PyObject_CallMethod(back.get(), "astype", "s", "int64")) : Ref{};
  Ref given_int = Ref::steal(PyObject_CallMethod(array.get(), "astype", "s", "int64"));
  Ref differ = back_int && given_int
                   ? Ref::steal(PyObject_CallMethod(numpy, "not_equal", "OO", back_int.get(),
                                                    given_int.get()))
                   : Ref{};
  Ref wrong =
      differ ? Ref::steal(PyObject_CallMethod(numpy, "flatnonzero", "O", differ.get())) : Ref{};
  if (!wrong) return {};
  const Py_ssize_t wrong_count = PyObject_Length(wrong.get());
  if (wrong_count < 0) return {};
  if (wrong_count == 0) return nanoseconds;
  Ref index = Ref::steal(PySequence_GetItem(wrong.get(), 0));
  Ref flat = Ref::steal(PyObject_GetAttrString(array.get(), "flat"));
  Ref element = index && flat ? Ref::steal(PyObject_GetItem(flat.get(), index.get())) : Ref{};
  Ref text = element ? Ref::steal(PyObject_Repr(element.get())) : Ref{};
  const char* utf8 = text ? PyUnicode_AsUTF8(text.get()) : nullptr;
  const Py_ssize_t at = index ? PyNumber_AsSsize_t(index.get(), nullptr) : -1;
  if (utf8 == nullptr || at < 0) return {};
  outside = utf8;
  outside_at = static_cast<std::size_t>(at);
  return nanoseconds;
}

Ref empty_array(std::size_t length, const char* dtype) {
  Ref size = Ref::steal(PyLong_FromSize_t(length));
  return size ? call_numpy("empty", size.get(), dtype) : Ref{};
}

bool ObjectColumn::create(std::size_t length) {
  array_ = empty_array(length, "object");
  if (!array_) return false;
  Ref interface = Ref::steal(PyObject_GetAttrString(array_.get(), "__array_interface__"));
  if (!interface) return false;
  PyObject* data = PyDict_Check(interface.get())
                       ? PyDict_GetItemString(interface.get(), "data")  // borrowed
                       : nullptr;
  if (data == nullptr || !PyTuple_Check(data) || PyTuple_GET_SIZE(data) < 1) {
    PyErr_SetString(PyExc_SystemError, "numpy gave an object array without a data pointer");
    return false;
  }
  slots_ = static_cast<PyObject**>(PyLong_AsVoidPtr(PyTuple_GET_ITEM(data, 0)));
  return !PyErr_Occurred();
}

// Replaces the current exception with ValueError "{where}: {its text}",
// caused by it. KeyboardInterrupt, SystemExit and MemoryError are left as
// they are: an `except ValueError` must not swallow them.
void raise_with_location(const std::string& where) {
  if (!PyErr_ExceptionMatches(PyExc_Exception) || PyErr_ExceptionMatches(PyExc_MemoryError)) {
    return;
  }
  Ref inner = fetch_exception();
  if (!inner) return;
  Ref text = Ref::steal(PyObject_Str(inner.get()));
  if (!text) return;
  PyErr_Format(PyExc_ValueError, "%s: %U", where.c_str(), text.get());
  Ref outer = fetch_exception();
  if (!outer) return;
  PyException_SetCause(outer.get(), inner.release());
  restore_exception(std::move(outer));
}

bool read_nonnegative_int64(PyObject* object, const char* name, const char* noun,
                            const char* too_large, Int64Values& out) {
  PyObject* numpy = numpy_module();
  if (numpy == nullptr) return false;
  Ref asarray = Ref::steal(PyObject_GetAttrString(numpy, "asarray"));
  Ref array = asarray ? Ref::steal(PyObject_CallOneArg(asarray.get(), object)) : Ref{};
  if (!array) return false;
  Ref dtype = Ref::steal(PyObject_GetAttrString(array.get(), "dtype"));
  Ref kind = dtype ? Ref::steal(PyObject_GetAttrString(dtype.get(), "kind")) : Ref{};
  Ref ndim = Ref::steal(PyObject_GetAttrString(array.get(), "ndim"));
  Ref size = Ref::steal(PyObject_GetAttrString(array.get(), "size"));
  if (!kind || !ndim || !size) return false;
  const bool empty = PyLong_AsLong(size.get()) == 0;
  const bool is_unsigned = PyUnicode_CompareWithASCIIString(kind.get(), "u") == 0;
  const bool integers = is_unsigned || PyUnicode_CompareWithASCIIString(kind.get(), "i") == 0;
  if (PyLong_AsLong(ndim.get()) != 1 || (!integers && !empty)) {
    PyErr_Format(PyExc_TypeError, "%s must be a one-dimensional sequence or array of integer %s",
                 name, noun);
    return false;
  }
  // Unsigned values are checked as they are: a cast to int64 would turn
  // 2**63 and above into negative numbers.
  out.array = call_numpy("ascontiguousarray", array.get(), is_unsigned ? "uint64" : "int64");
  if (!out.array || !out.view.acquire(out.array.get())) return false;
  const ByteSpan bytes = out.view.bytes();
  const std::size_t count = bytes.size() / sizeof(std::int64_t);
  // Either kind is out of range exactly when its top bit is set: one pass
  // that the compiler vectorises tells whether any is, and only then is
  // the first one looked for.
  std::uint64_t top_bits = 0;
  for (std::size_t i = 0; i < count; ++i) {
    std::uint64_t raw;
    std::memcpy(&raw, bytes.data() + i * sizeof raw, sizeof raw);
    top_bits |= raw;
  }
  for (std::size_t i = 0; i < count && top_bits >> 63 != 0; ++i) {
    std::uint64_t raw;
    std::memcpy(&raw, bytes.data() + i * sizeof raw, sizeof raw);
    if (is_unsigned && raw > static_cast<std::uint64_t>(INT64_MAX)) {
      PyErr_Format(PyExc_ValueError, "%s[%zu] is %llu: %s", name, i,
                   static_cast<unsigned long long>(raw), too_large);
      return false;
    }
    if (!is_unsigned && static_cast<std::int64_t>(raw) < 0) {
      PyErr_Format(PyExc_ValueError, "%s[%zu] is %lld: %s cannot be negative", name, i,
                   static_cast<long long>(static_cast<std::int64_t>(raw)), noun);
      return false;
    }
  }
  out.values = {reinterpret_cast<const std::int64_t*>(bytes.data()), count};
  return true;
}

}  // namespace vantrel
