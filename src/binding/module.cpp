// The module definition and its initialisation entry point.
#include <string>
#include <utility>
#include <vector>

#include "binding/function_table.hpp"
#include "binding/module_state.hpp"
#include "objects/arrow_objects.hpp"
#include "objects/layout_columns.hpp"
#include "objects/layout_type.hpp"
#include "objects/ragged_column.hpp"
#include "objects/recipe_fields.hpp"

#ifndef VANTREL_VERSION
#error "VANTREL_VERSION is defined by the build (CMakeLists.txt, from pyproject.toml)"
#endif

namespace vantrel {

namespace {

using table::kFunctions;
constexpr std::size_t kFunctionCount = kFunctions.size();

template <std::size_t I>
PyObject* entry(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  return guarded([&] {
    if (kwnames == nullptr && nargs == kFunctions[I].count) {
      return run_positional<kFunctions[I]>(args, std::make_index_sequence<kFunctions[I].count>{});
    }
    return run_frame(kFunctions[I], args, nargs, kwnames);
  });
}

// "name(p1, p2)\n--\n\n": the interpreter derives __text_signature__ from it
// and leaves __doc__ empty.
std::string text_signature(const FunctionSpec& spec) {
  std::string out = spec.name;
  out += '(';
  for (std::size_t i = 0; i < spec.count; ++i) {
    if (i > 0) out += ", ";
    out += spec.parameters[i].name;
    if (i >= spec.required) out += "=False";
  }
  out += ")\n--\n\n";
  return out;
}

template <std::size_t... I>
void build_method_table(ModuleState& state, std::index_sequence<I...>) {
  // Sized once and never resized: the function objects point into both.
  state.function_docs = {text_signature(kFunctions[I])...};
  state.function_defs = {PyMethodDef{
      kFunctions[I].name, reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(&entry<I>)),
      METH_FASTCALL | METH_KEYWORDS, state.function_docs[I].c_str()}...};
}

bool fill_module_state(ModuleState& state) {
  if (!create_panic_type(state) || !intern_recipe_keys(state)) return false;
  state.qualname_key = PyUnicode_InternFromString("__qualname__");
  if (state.qualname_key == nullptr) return false;
  build_method_table(state, std::make_index_sequence<kFunctionCount>{});
  return true;
}

PyModuleDef module_definition = {
    PyModuleDef_HEAD_INIT, "vantrel", "", 0, nullptr, nullptr, nullptr, nullptr, nullptr,
};

PyObject* create_module() {
  if (module_state.filled) {
    PyErr_SetString(PyExc_ImportError, "vantrel cannot be initialised twice in one process");
    return nullptr;
  }
  if (!fill_module_state(module_state)) return nullptr;

  Ref module = Ref::steal(PyModule_Create2(&module_definition, PYTHON_API_VERSION));
  if (!module) return nullptr;
  Ref module_name = Ref::steal(PyUnicode_FromString("vantrel"));
  Ref all_key = Ref::steal(PyUnicode_InternFromString("__all__"));
  Ref name_key = Ref::steal(PyUnicode_InternFromString("__name__"));
  if (!module_name || !all_key || !name_key) return nullptr;
  if (PyModule_AddStringConstant(module.get(), "__version__", VANTREL_VERSION) < 0) return nullptr;

  for (PyMethodDef& def : module_state.function_defs) {
    Ref function = Ref::steal(PyCFunction_NewEx(&def, module.get(), module_name.get()));
    if (!function) return nullptr;
    Ref name = Ref::steal(PyObject_GetAttr(function.get(), name_key.get()));
    if (!name) return nullptr;
    Ref all = Ref::steal(PyObject_GetAttr(module.get(), all_key.get()));
    if (!all) {
      if (!PyErr_ExceptionMatches(PyExc_AttributeError)) return nullptr;
      PyErr_Clear();
      all = Ref::steal(PyList_New(0));
      if (!all || PyObject_SetAttr(module.get(), all_key.get(), all.get()) < 0) return nullptr;
    }
    if (PyList_Append(all.get(), name.get()) < 0) return nullptr;
    if (PyObject_SetAttr(module.get(), name.get(), function.get()) < 0) return nullptr;
  }
  // Layout, split_packets and RecipeItem are attributes, not among the
  // functions that __all__ lists.
  Ref layout_type = Ref::steal(create_layout_type());
  if (!layout_type || PyModule_AddObject(module.get(), "Layout", layout_type.get()) < 0) {
    return nullptr;
  }
  layout_type.release();  // PyModule_AddObject stole it
  Ref ragged_type = Ref::steal(create_ragged_type());
  if (!ragged_type || PyObject_SetAttrString(module.get(), "RaggedColumn", ragged_type.get()) < 0) {
    return nullptr;
  }
  module_state.ragged_type = ragged_type.release();  // kept for the process's life
  // RecipeItem is a TypedDict for type checkers and dict at run time, so that
  // annotations naming it need no TYPE_CHECKING guard.
  if (PyObject_SetAttrString(module.get(), "RecipeItem",
                             reinterpret_cast<PyObject*>(&PyDict_Type)) < 0) {
    return nullptr;
  }
  if (!create_arrow_types(module.get())) return nullptr;
  // split_packets and its companions: functions beyond __all__.
  for (PyMethodDef* definition : stream_functions()) {
    Ref function = Ref::steal(PyCFunction_NewEx(definition, module.get(), module_name.get()));
    if (!function ||
        PyObject_SetAttrString(module.get(), definition->ml_name, function.get()) < 0) {
      return nullptr;
    }
  }
  if (!add_stream_types(module.get())) return nullptr;
  module_state.filled = true;
  return module.release();
}

}  // namespace

ModuleState module_state;

}  // namespace vantrel

// Installed as vantrel/__init__.<suffix>: the module is itself the package
// vantrel, whose pure-Python submodules (the command) sit beside it.
PyMODINIT_FUNC PyInit_vantrel() {
  return vantrel::guarded([] { return vantrel::create_module(); });
}
