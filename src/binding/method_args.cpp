#include "binding/method_args.hpp"

namespace vantrel {

bool bind_method_arguments(const char* name, const MethodParameter* parameters, std::size_t count,
                           std::size_t positional, PyObject* const* args, Py_ssize_t nargs,
                           PyObject* kwnames, PyObject** slots) {
  if (nargs < 0 || static_cast<std::size_t>(nargs) > positional) {
    PyErr_Format(PyExc_TypeError, "%s() takes at most %zu positional argument%s (%zd given)", name,
                 positional, positional == 1 ? "" : "s", nargs);
    return false;
  }
  for (Py_ssize_t i = 0; i < nargs; ++i) slots[i] = args[i];

  const Py_ssize_t keyword_count = kwnames == nullptr ? 0 : PyTuple_GET_SIZE(kwnames);
  for (Py_ssize_t k = 0; k < keyword_count; ++k) {
    PyObject* keyword = PyTuple_GET_ITEM(kwnames, k);
    std::size_t index = 0;
    while (index < count &&
           PyUnicode_CompareWithASCIIString(keyword, parameters[index].name) != 0) {
      ++index;
    }
    if (index == count) {
      PyErr_Format(PyExc_TypeError, "%s() got an unexpected keyword argument '%U'", name, keyword);
      return false;
    }
    if (slots[index] != nullptr) {
      PyErr_Format(PyExc_TypeError, "%s() got multiple values for argument '%s'", name,
                   parameters[index].name);
      return false;
    }
    slots[index] = args[nargs + k];
  }
  for (std::size_t i = 0; i < count; ++i) {
    if (parameters[i].required && slots[i] == nullptr) {
      PyErr_Format(PyExc_TypeError, "%s() missing required argument '%s'", name,
                   parameters[i].name);
      return false;
    }
  }
  return true;
}

}  // namespace vantrel
