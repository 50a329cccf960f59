// Whole archives: Layout.unpack_many (layout_columns.cpp), Layout.pack_many
// (column_packing.cpp) and the module function split_packets
// (stream_framing.cpp). numpy is imported the first time one of them needs it
// (numpy_module(), numpy_support.hpp).
#pragma once

#include <array>
#include <cstdint>
#include <vector>

#include "binding/py_ref.hpp"
#include "placement/columns.hpp"

namespace vantrel {

extern const char* const kUnpackManyDoc;
extern const char* const kPackManyDoc;

PyObject* layout_unpack_many(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                             PyObject* kwnames);
PyObject* layout_pack_many(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                           PyObject* kwnames);

struct LayoutData;

// Layout.unpack_many of a shaped layout (arrays, permuted or word byte
// orders), once the packets' starts and ends are known.
// `raw` skips the conversions.
PyObject* unpack_many_shaped(const LayoutData& data, ByteSpan buffer, bool buffer_immutable,
                             const PacketStarts& starts, bool masking, bool raw);
// The same with output="arrow" (shaped_arrow.cpp): ArrowColumns whose fixed
// arrays are fixed-size lists and variable arrays large lists.
PyObject* unpack_many_shaped_arrow(const LayoutData& data, ByteSpan buffer, bool buffer_immutable,
                                   const PacketStarts& starts, bool masking, bool raw);
// A converted column's Arrow form: float64 calibrations, nanosecond
// timestamps, or int32 state indices with the names as its dictionary.
struct ArrowColumnData;
struct Conversion;
void set_converted_type(ArrowColumnData& column, const Conversion& conversion);
// Raises a shaped layout's first failure: the field's error, or the bits
// it needs against those its packet has, with the packet's place.
struct PacketGeometry;
struct ShapedFailure;
void raise_shaped_failure(const LayoutData& data, ByteSpan buffer, const PacketStarts& starts,
                          const PacketGeometry& geometry, const ShapedFailure& failure);
// Layout.pack_many of a shaped layout.
PyObject* pack_many_shaped(const LayoutData& data, PyObject* columns, bool raw);

// Shared by the column builders: a column wrapped as numpy.ma.MaskedArray
// with `mask` (one byte per element).
Ref masked_column(PyObject* column, const std::vector<std::uint8_t>& mask);

// split_packets, split_by_apid and check_sequence_counts, which the module
// registers beside the function table's functions.
std::array<PyMethodDef*, 3> stream_functions();
// Adds the named tuples they return and CCSDS_PRIMARY_HEADER to `module`
// (after Layout).
bool add_stream_types(PyObject* module);

}  // namespace vantrel
