// Argument binding for methods and functions beyond the function table:
// vectorcall arguments placed into named slots, with the interpreter's own
// messages for wrong calls.
#pragma once

#include <cstddef>

#include "binding/py_ref.hpp"

namespace vantrel {

struct MethodParameter {
  const char* name;
  bool required;
};

template <std::size_t N>
struct MethodSignature {
  const char* name;  // for messages: "unpack()"
  MethodParameter parameters[N];
  std::size_t positional;  // the first `positional` may come by position
};

// Fills `slots` (N entries, nullptr for an omitted parameter). False with
// TypeError set for a call that does not match.
bool bind_method_arguments(const char* name, const MethodParameter* parameters, std::size_t count,
                           std::size_t positional, PyObject* const* args, Py_ssize_t nargs,
                           PyObject* kwnames, PyObject** slots);

template <std::size_t N>
bool bind(const MethodSignature<N>& signature, PyObject* const* args, Py_ssize_t nargs,
          PyObject* kwnames, PyObject* (&slots)[N]) {
  for (PyObject*& slot : slots) slot = nullptr;
  return bind_method_arguments(signature.name, signature.parameters, N, signature.positional, args,
                               nargs, kwnames, slots);
}

}  // namespace vantrel
