// Whole archives: Layout.unpack_many (layout_columns.cpp), Layout.pack_many
// (column_packing.cpp) and the module function split_packets
// (stream_framing.cpp). numpy is imported the first time one of them needs it
// (numpy_module(), numpy_support.hpp).
#pragma once

#include <array>
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <vector>

#include "binding/py_ref.hpp"
#include "columns/columns.hpp"
#include "columns/text_columns.hpp"
#include "conversions/conversions.hpp"

namespace vantrel {

extern const char* const kUnpackManyDoc;
extern const char* const kPackManyDoc;

PyObject* layout_unpack_many(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                             PyObject* kwnames);
PyObject* layout_pack_many(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                           PyObject* kwnames);

struct LayoutData;
class ObjectColumn;

// How text columns come out in numpy output: object arrays of str, numpy's
// variable-width StringDType, or the raw field bytes as fixed-width bytes.
enum class TextForm : std::uint8_t { Str, StringDType, Bytes };

// Layout.unpack_many into numpy columns, once the packets' starts and ends
// are known.
// `raw` skips the conversions; text columns come in `text_form`
// (`text_dtype`: the StringDType asked for).
PyObject* unpack_many_numpy(const LayoutData& data, ByteSpan buffer, bool buffer_immutable,
                            const PacketStarts& starts, bool masking, bool raw, TextForm text_form,
                            PyObject* text_dtype);

// The text columns of numpy output. A column of str for packets [0, limit)
// of the field at the places `field_bit` gives (false with an exception
// set; a failure is masked, or left in `failure` and ends the column).
bool decode_text_column_at(ByteSpan buffer, bool buffer_immutable, std::size_t limit,
                           const PlannedField& field, const FieldBitOf& field_bit,
                           ObjectColumn& column, std::span<std::uint8_t> mask,
                           std::optional<ColumnFailure>& failure);
// A fixed-width bytes array of `count` packets' field bytes, which `copy`
// writes without the GIL (copy_field_bytes or copy_field_bytes_at).
using CopyFieldBytes = std::function<std::optional<ColumnFailure>(std::uint8_t* out)>;
Ref bytes_column(std::size_t count, const PlannedField& field, const CopyFieldBytes& copy,
                 std::optional<ColumnFailure>& failure);
// A StringDType array of `dtype` holding a UTF-8 column's text.
Ref string_dtype_column(const Utf8Column& text, PyObject* dtype);
// The same with output="arrow" (arrow_columns.cpp): ArrowColumns whose fixed
// arrays are fixed-size lists and variable arrays large lists.
PyObject* unpack_many_arrow(const LayoutData& data, ByteSpan buffer, bool buffer_immutable,
                            const PacketStarts& starts, bool masking, bool raw);
// A converted column's Arrow form: float64 calibrations, nanosecond
// timestamps, or int32 state indices with the names as its dictionary.
struct ArrowColumnData;
void set_converted_type(ArrowColumnData& column, const Conversion& conversion);
// Raises a layout's first failure: the field's error, or the bits it needs
// against those its packet has (a fixed layout: the packet against the
// whole layout), with the packet's place.
struct PacketGeometry;
struct PacketFailure;
void raise_packet_failure(const LayoutData& data, ByteSpan buffer, const PacketStarts& starts,
                          const PacketGeometry& geometry, const PacketFailure& failure);
// The reader of field j's times from the packets when it is a time code
// too wide for its raw column (more than 64 bits), else nullopt.
std::optional<ElementTime> wide_time_reader(const LayoutData& data, ByteSpan buffer,
                                            const PacketStarts& starts,
                                            const PacketGeometry& geometry, std::size_t j);
// Shared by the column builders: a column wrapped as numpy.ma.MaskedArray
// with `mask` (one byte per element).
Ref masked_column(PyObject* column, const std::vector<std::uint8_t>& mask);

// The check_failed column of unpack_many(errors="mask") for a layout with a
// check (one flag per packet): a numpy bool array, or an Arrow boolean column.
Ref check_failed_numpy(const std::vector<std::uint8_t>& failed);
std::shared_ptr<ArrowColumnData> check_failed_arrow(const std::vector<std::uint8_t>& failed);

// split_packets, split_by_apid and check_sequence_counts, which the module
// registers beside the function table's functions.
std::array<PyMethodDef*, 3> stream_functions();
// Adds the named tuples they return and CCSDS_PRIMARY_HEADER to `module`
// (after Layout).
bool add_stream_types(PyObject* module);

}  // namespace vantrel
