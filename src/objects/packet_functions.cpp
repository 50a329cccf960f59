#include "objects/packet_functions.hpp"

namespace vantrel {

// Replaces the current exception with ValueError "{context}{qualified
// type}: {str}". Failures that say nothing about the recipe (an interrupt,
// running out of memory for the packet) are left as they are.
PyObject* rewrap_engine_failure(std::string_view context) {
  Ref error = fetch_exception();
  if (!error) return nullptr;
  if (!PyErr_GivenExceptionMatches(error.get(), PyExc_Exception) ||
      PyErr_GivenExceptionMatches(error.get(), PyExc_MemoryError)) {
    restore_exception(std::move(error));
    return nullptr;
  }
  Ref type_name = qualified_type_name(reinterpret_cast<PyObject*>(Py_TYPE(error.get())));
  if (!type_name) return nullptr;
  Ref text = Ref::steal(PyObject_Str(error.get()));
  if (!text) {
    PyErr_Clear();
    text = Ref::steal(PyUnicode_FromString("<exception str() failed>"));
    if (!text) return nullptr;
  }
  Ref prefix = Ref::steal(
      PyUnicode_FromStringAndSize(context.data(), static_cast<Py_ssize_t>(context.size())));
  if (!prefix) return nullptr;
  PyErr_Format(PyExc_ValueError, "%U%U: %U", prefix.get(), type_name.get(), text.get());
  return nullptr;
}

PyObject* pack_parameters(RecipeItems recipe) {
  PyObject* packet = build_packet(recipe.list);
  return packet != nullptr ? packet : rewrap_engine_failure({});
}

PyObject* unpack_parameters(ByteSpan packet, std::uint64_t offset_bits, RecipeItems recipe) {
  PyObject* values = process_recipe(packet, offset_bits, recipe.list);
  return values != nullptr ? values : rewrap_engine_failure({});
}

}  // namespace vantrel
