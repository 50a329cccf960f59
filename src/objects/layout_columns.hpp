// Whole archives: Layout.unpack_many (layout_columns.cpp), Layout.pack_many
// (column_packing.cpp) and the module function split_packets
// (stream_framing.cpp). numpy is imported the first time one of them runs.
#pragma once

#include "binding/py_ref.hpp"

namespace vantrel {

extern const char* const kUnpackManyDoc;
extern const char* const kPackManyDoc;

PyObject* layout_unpack_many(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                             PyObject* kwnames);
PyObject* layout_pack_many(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                           PyObject* kwnames);

// Adds split_packets, split_by_apid, check_sequence_counts, the named
// tuples they return and CCSDS_PRIMARY_HEADER to `module` (after Layout).
bool add_stream_functions(PyObject* module, PyObject* module_name);

}  // namespace vantrel
