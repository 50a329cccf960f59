// Every use of the interpreter's private or unstable C API, each with the
// public call that replaces it where one exists, so that a new interpreter
// version needs changes here only.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#if PY_VERSION_HEX < 0x030B0000
#include <longintrepr.h>
#endif

#include "binding/py_ref.hpp"

namespace vantrel::compat {

// Reads an exact int of at most one internal digit without a call into the
// interpreter: the common case of every integer argument.
inline bool compact_int_value(PyObject* object, long long& out) {
  if (!PyLong_CheckExact(object)) return false;
  auto* number = reinterpret_cast<PyLongObject*>(object);
#if PY_VERSION_HEX >= 0x030C0000
  if (!PyUnstable_Long_IsCompact(number)) return false;
  out = static_cast<long long>(PyUnstable_Long_CompactValue(number));
#else
  const Py_ssize_t size = Py_SIZE(object);
  if (size < -1 || size > 1) return false;
  out = static_cast<long long>(size) * static_cast<long long>(number->ob_digit[0]);
#endif
  return true;
}

// The 16 little-endian bytes of an int from 0 to 2^128 - 1. Outside that
// range: OverflowError, worded on every version as older interpreters word it.
inline bool int_to_u128_little_endian(PyObject* integer, unsigned char (&out)[16]) {
#if PY_VERSION_HEX >= 0x030D0000
  Ref zero = Ref::steal(PyLong_FromLong(0));
  if (!zero) return false;
  const int negative = PyObject_RichCompareBool(integer, zero.get(), Py_LT);
  if (negative < 0) return false;
  if (negative != 0) {
    PyErr_SetString(PyExc_OverflowError, "can't convert negative int to unsigned");
    return false;
  }
  // With an unsigned buffer a value that needs all 128 bits reports 16.
  const Py_ssize_t needed = PyLong_AsNativeBytes(
      integer, out, 16, Py_ASNATIVEBYTES_LITTLE_ENDIAN | Py_ASNATIVEBYTES_UNSIGNED_BUFFER);
  if (needed < 0) return false;
  if (needed > 16) {
    PyErr_SetString(PyExc_OverflowError, "int too big to convert");
    return false;
  }
  return true;
#else
  return _PyLong_AsByteArray(reinterpret_cast<PyLongObject*>(integer), out, 16, 1, 0) == 0;
#endif
}

// A dict sized for `count` entries up front. There is no public equivalent,
// and the private call may leave the headers of a release that is not out
// yet: from 3.14 on the dict simply grows as it fills.
inline PyObject* new_presized_dict([[maybe_unused]] Py_ssize_t count) {
#if PY_VERSION_HEX < 0x030E0000
  return _PyDict_NewPresized(count);
#else
  return PyDict_New();
#endif
}

}  // namespace vantrel::compat
