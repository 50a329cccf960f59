// vantrel.ArrowColumns and vantrel.ArrowColumn: what unpack_many returns
// with output="arrow". Thin interpreter objects over columns that the C++
// core owns, exported through the Arrow PyCapsule interface.
#pragma once

#include <memory>

#include "binding/py_ref.hpp"
#include "columns/arrow_export.hpp"

namespace vantrel {

// Creates both types into the module state; nullptr with an exception set.
// Returns the ArrowColumns type (new reference); the ArrowColumn type is
// module_state.arrow_column_type.
bool create_arrow_types(PyObject* module);

// A new ArrowColumns over `table`, whose column names are the str objects
// in `names` (a tuple, in column order).
PyObject* make_arrow_columns(std::shared_ptr<const ArrowTableData> table, PyObject* names);

}  // namespace vantrel
