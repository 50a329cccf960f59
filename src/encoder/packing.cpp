#include "lib/packet_functions.hpp"

namespace vantrel {

PyObject* build_packet(PyObject*) {
  PyErr_SetString(PyExc_NotImplementedError, "packing not yet implemented");
  return nullptr;
}

}  // namespace vantrel
