#include "objects/numpy_support.hpp"

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

Ref empty_array(std::size_t length, const char* dtype) {
  Ref size = Ref::steal(PyLong_FromSize_t(length));
  return size ? call_numpy("empty", size.get(), dtype) : Ref{};
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

}  // namespace vantrel
