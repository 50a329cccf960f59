// The signatures of the methods and of the functions beyond the function
// table, bound by the calling frame's binder.
#pragma once

#include <cstddef>

#include "binding/call_frame.hpp"

namespace vantrel {

struct MethodParameter {
  const char* name;
  bool required;  // required parameters come first
};

template <std::size_t N>
struct MethodSignature {
  const char* name;  // for messages: "unpack()"
  MethodParameter parameters[N];
  std::size_t positional;  // the first `positional` may come by position
};

// Fills `slots` (N entries, nullptr for an omitted parameter) with the
// calling frame's binder. False with TypeError set for a call that does not
// match.
template <std::size_t N>
bool bind(const MethodSignature<N>& signature, PyObject* const* args, Py_ssize_t nargs,
          PyObject* kwnames, PyObject* (&slots)[N]) {
  static_assert(N <= kMaxSignatureParameters);
  const char* names[N];
  std::size_t required = 0;
  for (std::size_t i = 0; i < N; ++i) {
    names[i] = signature.parameters[i].name;
    if (signature.parameters[i].required && required == i) ++required;
    slots[i] = nullptr;
  }
  return bind_arguments(Signature{signature.name, N, required, signature.positional}, names, args,
                        nargs, kwnames, slots);
}

}  // namespace vantrel
