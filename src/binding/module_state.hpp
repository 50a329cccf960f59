// Every interpreter object that vantrel keeps for the life of the process,
// in one place. The module uses single-phase initialisation and refuses a
// second one, so there is one state per process; create_module fills it
// before any function or type is reachable, and nothing in it is released
// (the module is never unloaded).
#pragma once

#include <array>
#include <string>
#include <vector>

#include "binding/py_ref.hpp"

namespace vantrel {

struct ModuleState {
  bool filled = false;

  // The exported functions: their text signatures and the definitions that
  // the function objects point into.
  std::vector<std::string> function_docs;
  std::vector<PyMethodDef> function_defs;

  // vantrel.PanicException: raised for an internal fault, never an attribute.
  PyObject* panic_type = nullptr;

  // Interned strings compared by pointer on the per-call path.
  std::array<PyObject*, 7> recipe_keys{};  // in RecipeKey order
  std::vector<PyObject*> encoding_names;   // in encoding-table row order
  PyObject* big = nullptr;
  PyObject* little = nullptr;
  PyObject* qualname_key = nullptr;

  PyObject* str_lower = nullptr;  // str.lower, for non-ASCII names

  // The named tuples of the stream functions.
  PyTypeObject* skipped_bytes_type = nullptr;
  PyTypeObject* framed_stream_type = nullptr;
  PyTypeObject* sequence_report_type = nullptr;

  // numpy, imported by the first archive call rather than at import time:
  // `import vantrel` needs nothing but the interpreter.
  PyObject* numpy = nullptr;

  // vantrel.ArrowColumns and vantrel.ArrowColumn, what output="arrow" makes.
  PyObject* arrow_columns_type = nullptr;
  PyObject* arrow_column_type = nullptr;

  // vantrel.RaggedColumn, the column type of variable-length arrays.
  PyObject* ragged_type = nullptr;
};

extern ModuleState module_state;

}  // namespace vantrel
