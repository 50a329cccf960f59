// vantrel.RaggedColumn: the column of a variable-length array field, one
// values array and the offsets that cut it into packets, with no object per
// packet. It hands itself to Arrow consumers as a list array without copying
// the values.
#pragma once

#include "binding/py_ref.hpp"

namespace vantrel {

// Creates the type; nullptr with an exception set on failure.
PyObject* create_ragged_type();

// A column over `values` (1-D numpy array) cut by `offsets` (int64 numpy
// array of n + 1 entries, offsets[0] == 0, non-decreasing, the last equal
// to len(values)) with `mask` (bool array of n entries) or nullptr when no
// entry is masked. The arrays are made read-only: the column's views and
// its Arrow export share their memory.
PyObject* make_ragged_column(PyObject* values, PyObject* offsets, PyObject* mask);

}  // namespace vantrel
