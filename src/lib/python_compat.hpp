// The interpreter's private API that vantrel uses, in one place, each with
// the public call that does the same job where the private one is missing.
#pragma once

#include "lib/py_ref.hpp"

namespace vantrel {

// A dict sized for `expected` keys, so that filling it never rehashes.
inline PyObject* new_presized_dict(Py_ssize_t expected) {
#if defined(Py_LIMITED_API) || defined(PYPY_VERSION)
  (void)expected;
  return PyDict_New();
#else
  return _PyDict_NewPresized(expected);
#endif
}

}  // namespace vantrel
