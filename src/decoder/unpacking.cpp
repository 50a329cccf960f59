#include "lib/packet_functions.hpp"

namespace vantrel {

PyObject* process_recipe(ByteSpan, std::uint64_t, PyObject*) {
  PyErr_SetString(PyExc_NotImplementedError, "unpacking not yet implemented");
  return nullptr;
}

}  // namespace vantrel
