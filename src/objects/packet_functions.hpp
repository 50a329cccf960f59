// The frames of the two packet functions. Failures reported by the packing
// and unpacking engines reach the caller as ValueError "{Type}: {message}".
#pragma once

#include "binding/call_frame.hpp"

namespace vantrel {

PyObject* pack_parameters(RecipeItems recipe);
PyObject* unpack_parameters(ByteSpan packet, std::uint64_t offset_bits, RecipeItems recipe);

// Replaces the current exception with ValueError "{context}{Type}:
// {message}", as the packet functions report failures; interrupts and
// MemoryError pass unchanged. Returns nullptr.
PyObject* rewrap_engine_failure(std::string_view context);

// The engines: a new object, or nullptr with the failure set as the current
// exception. A packet too short for a field throws Fault.
PyObject* build_packet(PyObject* items);
PyObject* process_recipe(ByteSpan packet, std::uint64_t offset_bits, PyObject* items);

}  // namespace vantrel
