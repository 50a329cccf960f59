// vantrel.Layout: a recipe read once into a plan, then used for any number
// of packets.
#pragma once

#include "binding/py_ref.hpp"

namespace vantrel {

// Creates the type; nullptr with an exception set on failure.
PyObject* create_layout_type();

}  // namespace vantrel
