// Layout.unpack_many: many packets of one buffer into one numpy array per
// field.
#include "objects/layout_columns.hpp"

#include <algorithm>
#include <cstring>
#include <limits>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "binding/buffer_view.hpp"
#include "binding/call_frame.hpp"
#include "binding/convert.hpp"
#include "binding/method_args.hpp"
#include "columns/columns.hpp"
#include "columns/text_columns.hpp"
#include "common/format.hpp"
#include "common/utf8.hpp"
#include "conversions/conversions.hpp"
#include "objects/arrow_objects.hpp"
#include "objects/check_recipes.hpp"
#include "objects/conversion_recipes.hpp"
#include "objects/layout_data.hpp"
#include "objects/layout_shapes.hpp"
#include "objects/numpy_support.hpp"
#include "objects/state_columns.hpp"

namespace vantrel {

Ref masked_column(PyObject* column, const std::vector<std::uint8_t>& mask) {
  PyObject* numpy = numpy_module();
  Ref ma = Ref::steal(PyObject_GetAttrString(numpy, "ma"));
  Ref masked_array = ma ? Ref::steal(PyObject_GetAttrString(ma.get(), "MaskedArray")) : Ref{};
  if (!masked_array) return {};
  Ref mask_object;
  if (std::find(mask.begin(), mask.end(), 1) == mask.end()) {
    mask_object = Ref::borrow(Py_False);
  } else {
    mask_object = empty_array(mask.size(), "bool");
    WritableView view;
    if (!mask_object || !view.acquire(mask_object.get())) return {};
    std::memcpy(view.data(), mask.data(), mask.size());
  }
  Ref args = Ref::steal(PyTuple_Pack(1, column));
  Ref kwargs = Ref::steal(Py_BuildValue("{s:O}", "mask", mask_object.get()));
  if (!args || !kwargs) return {};
  return Ref::steal(PyObject_Call(masked_array.get(), args.get(), kwargs.get()));
}

namespace {

// ---- Where the packets start ------------------------------------------------

struct Starts {
  PacketStarts starts;
  Int64Values offsets;           // keeps the int64 offsets alive
  std::vector<std::size_t> cut;  // starts.cut
  std::string first_cut_reason;  // why the first of them is cut
};

bool read_offsets(PyObject* offsets, Starts& out) {
  if (!read_nonnegative_int64(offsets, "offsets", "byte offsets", "past the end of any buffer",
                              out.offsets)) {
    return false;
  }
  out.starts.offsets = out.offsets.values.data();
  out.starts.count = out.offsets.values.size();
  return true;
}

bool optional_u64(PyObject* object, const char* name, std::optional<std::uint64_t>& out) {
  if (object == nullptr || object == Py_None) return true;
  std::uint64_t value = 0;
  if (!to_u64(object, value)) {
    prefix_argument_name(name);
    return false;
  }
  out = value;
  return true;
}

bool packet_starts(const LayoutData& data, std::size_t buffer_size, PyObject* stride_object,
                   PyObject* offsets, PyObject* count_object, Starts& out) {
  std::optional<std::uint64_t> stride, count;
  if (!optional_u64(stride_object, "stride", stride) ||
      !optional_u64(count_object, "count", count)) {
    return false;
  }
  if (offsets != nullptr && offsets != Py_None) {
    if (stride || count) {
      PyErr_SetString(PyExc_TypeError, "offsets cannot be combined with stride or count");
      return false;
    }
    return read_offsets(offsets, out);
  }
  const std::uint64_t size_bits = data.plan.size_bits();
  out.starts.stride = stride.value_or(size_bits / 8 + (size_bits % 8 != 0));
  if (out.starts.stride == 0) {
    PyErr_SetString(PyExc_ValueError,
                    stride ? "stride must be at least 1 byte"
                           : "the layout has no size of its own: pass stride= (at least 1 byte) "
                             "or offsets=");
    return false;
  }
  const std::uint64_t layout_bytes = size_bits / 8 + (size_bits % 8 != 0);
  if (stride && *stride < layout_bytes) {
    PyErr_Format(PyExc_ValueError,
                 "stride %llu is shorter than the layout's %llu bytes: each packet would run into "
                 "the next",
                 static_cast<unsigned long long>(*stride),
                 static_cast<unsigned long long>(layout_bytes));
    return false;
  }
  if (count) {
    out.starts.count = static_cast<std::size_t>(*count);
    if (*count > buffer_size / out.starts.stride + 1) {
      PyErr_Format(PyExc_ValueError, "count %llu is more packets than the %zu-byte buffer holds",
                   static_cast<unsigned long long>(*count), buffer_size);
      return false;
    }
    return true;
  }
  out.starts.count = buffer_size / out.starts.stride;
  const std::uint64_t left_over = buffer_size % out.starts.stride;
  if (left_over != 0) {
    PyErr_Format(PyExc_ValueError,
                 "the buffer of %zu bytes holds %zu whole packets of %llu bytes and %llu bytes "
                 "left over; pass count=%zu to decode only the whole packets",
                 buffer_size, out.starts.count, static_cast<unsigned long long>(out.starts.stride),
                 static_cast<unsigned long long>(left_over), out.starts.count);
    return false;
  }
  return true;
}

// Where each packet ends: at the stride, at its given length, or where its
// own length field says, and never past the buffer. Left unset (the fast
// paths) for a flat layout at a stride without a length field.
bool packet_ends(const LayoutData& data, ByteSpan buffer, PyObject* lengths_object, Starts& where,
                 std::vector<std::uint64_t>& ends) {
  PacketStarts& starts = where.starts;
  const bool at_stride = starts.offsets == nullptr;
  const std::int64_t* lengths = nullptr;
  Int64Values given;
  if (lengths_object != nullptr && lengths_object != Py_None) {
    if (at_stride) {
      PyErr_SetString(PyExc_TypeError, "lengths goes with offsets, not with stride");
      return false;
    }
    if (!read_nonnegative_int64(lengths_object, "lengths", "byte lengths", "longer than any buffer",
                                given)) {
      return false;
    }
    lengths = given.values.data();
    const std::size_t count = given.values.size();
    if (count != starts.count) {
      PyErr_Format(PyExc_ValueError, "lengths has %zu entries but offsets has %zu", count,
                   starts.count);
      return false;
    }
  }
  const bool has_rest =
      std::any_of(data.plan.fields().begin(), data.plan.fields().end(),
                  [](const PlannedField& field) { return field.shape.kind == CountKind::Rest; });
  if (!at_stride && lengths == nullptr && !data.packet_length && has_rest) {
    PyErr_SetString(PyExc_ValueError,
                    "a rest-of-packet array needs each packet's length: pass lengths=, or build "
                    "the layout with packet_length=");
    return false;
  }
  if (lengths == nullptr && !data.packet_length &&
      !(at_stride && !data.plan.variable_items().empty())) {
    if (!at_stride) measure_shortest(starts, buffer.size());
    return true;
  }
  if (lengths != nullptr && !data.packet_length && !data.plan.shaped() && data.checks.empty()) {
    // Packets that all hold the layout whole end past every field they
    // have: no end per packet is needed (checks read up to the end).
    const std::uint64_t size_bits = data.plan.size_bits();
    const std::optional<std::uint64_t> shortest = shortest_given(buffer.size(), starts, lengths);
    if (shortest && *shortest >= size_bits / 8 + (size_bits % 8 != 0)) {
      starts.shortest = *shortest;
      return true;
    }
  }
  PacketBounds bounds =
      bound_packets(buffer, starts, lengths, data.packet_length ? &*data.packet_length : nullptr);
  ends = std::move(bounds.ends);
  where.cut = std::move(bounds.cut);
  where.first_cut_reason = std::move(bounds.first_cut_reason);
  starts.ends = ends.data();
  starts.cut = where.cut;
  measure_shortest(starts, buffer.size());
  return true;
}

// A text column of str, decoded with the interpreter. Equal field bytes
// share one str: a table of the column's recent distinct values finds it,
// so labels that recur in any order cost about as much as a number. Bytes
// of a buffer that may change meanwhile are copied once, and only the copy
// is compared and decoded. `field_bit(i)` is where packet i's field starts,
// nullopt when the packet does not hold it.
template <class FieldBit>
bool decode_text_values(ByteSpan buffer, bool buffer_immutable, std::size_t limit,
                        const PlannedField& field, const FieldBit& field_bit, ObjectColumn& column,
                        std::span<std::uint8_t> mask, std::optional<ColumnFailure>& failure) {
  FieldScratch scratch;
  RecentValues<PyObject*> recent;  // borrowed from the column
  ReuseMeter meter;
  for (std::size_t i = 0; i < limit; ++i) {
    PyObject* value = nullptr;
    const std::optional<std::uint64_t> bit = field_bit(i);
    if (!bit) {
      failure = ColumnFailure{i, std::nullopt};
    } else {
      const FieldInput input =
          read_field_input(buffer, *bit, field.spec, scratch, buffer_immutable);
      const bool reuse = meter.active() && RecentValues<PyObject*>::fits(input.bytes.size());
      PyObject* const* seen = reuse ? recent.find(input.bytes) : nullptr;
      if (seen != nullptr) {
        value = Ref::borrow(*seen).release();
      } else {
        StrResult text;
        const Result<FieldValue> decoded = field.spec.row->decode(input, text);
        if (!decoded) {
          failure = ColumnFailure{i, decoded.error()};
        } else {
          value = strip_text_padding(text.release(), field.spec.pad);
          if (value == nullptr) return false;
          if (reuse) recent.insert(input.bytes, value);
        }
      }
      meter.count(seen != nullptr);
    }
    if (value == nullptr) {
      if (mask.empty()) return true;  // the caller raises the failure
      failure.reset();
      mask[i] = 1;
      continue;  // the slot keeps its None
    }
    column.set(i, value);
  }
  return true;
}

// ---- The choice of output ---------------------------------------------------

enum class Output : std::uint8_t { Numpy, Arrow };

bool read_errors(PyObject* errors, bool& masking) {
  masking = false;
  if (errors == nullptr) return true;
  if (PyUnicode_Check(errors) && PyUnicode_CompareWithASCIIString(errors, "mask") == 0) {
    masking = true;
    return true;
  }
  if (PyUnicode_Check(errors) && PyUnicode_CompareWithASCIIString(errors, "raise") == 0) {
    return true;
  }
  PyErr_Format(PyExc_ValueError, "errors must be 'raise' or 'mask', not %R", errors);
  return false;
}

bool read_output(PyObject* output, Output& out) {
  out = Output::Numpy;
  if (output == nullptr) return true;
  if (PyUnicode_Check(output) && PyUnicode_CompareWithASCIIString(output, "numpy") == 0) {
    return true;
  }
  if (PyUnicode_Check(output) && PyUnicode_CompareWithASCIIString(output, "arrow") == 0) {
    out = Output::Arrow;
    return true;
  }
  PyErr_Format(PyExc_ValueError, "output must be 'numpy' or 'arrow', not %R", output);
  return false;
}

// text_dtype: anything numpy.dtype() takes, of kind object ('O'),
// StringDType ('T') or bytes ('S'). `dtype` keeps the StringDType asked for
// (its na_object and coercion settings are the caller's).
bool read_text_dtype(PyObject* text_dtype, TextForm& form, Ref& dtype) {
  form = TextForm::Str;
  if (text_dtype == nullptr || text_dtype == Py_None) return true;
  PyObject* numpy = numpy_module();
  if (numpy == nullptr) return false;
  Ref dtype_type = Ref::steal(PyObject_GetAttrString(numpy, "dtype"));
  dtype = dtype_type ? Ref::steal(PyObject_CallOneArg(dtype_type.get(), text_dtype)) : Ref{};
  if (!dtype) {
    prefix_argument_name("text_dtype");
    return false;
  }
  Ref kind = Ref::steal(PyObject_GetAttrString(dtype.get(), "kind"));
  if (!kind) return false;
  if (PyUnicode_CompareWithASCIIString(kind.get(), "O") == 0) return true;
  if (PyUnicode_CompareWithASCIIString(kind.get(), "T") == 0) {
    form = TextForm::StringDType;
    return true;
  }
  if (PyUnicode_CompareWithASCIIString(kind.get(), "S") == 0) {
    form = TextForm::Bytes;
    return true;
  }
  PyErr_Format(PyExc_ValueError,
               "text_dtype must be object (str, the default), numpy.dtypes.StringDType() ('T') "
               "or bytes ('S'), not %R",
               text_dtype);
  return false;
}

}  // namespace

// ---- numpy columns of text without a str per packet -----------------------

Ref bytes_column(std::size_t count, const PlannedField& field, const CopyFieldBytes& copy,
                 std::optional<ColumnFailure>& failure) {
  const std::size_t width = std::max<std::size_t>(1, (std::size_t{field.spec.bits} + 7) / 8);
  Ref array = empty_array(count, concat("S", width).c_str());
  WritableView view;
  if (!array || !view.acquire(array.get())) return {};
  auto* out = static_cast<std::uint8_t*>(view.data());
  if (field.spec.bits == 0) std::memset(out, 0, count);
  without_gil([&] { failure = copy(out); });
  return array;
}

// A StringDType array of UTF-8 text. numpy makes it from a fixed-width array
// with its own cast, in C: bytes ('S') when the text is ASCII, else UCS-4
// ('U'). Both drop trailing NUL characters, which are put back afterwards
// (padded text fields keep them, as the str columns do).
Ref string_dtype_column(const Utf8Column& text, PyObject* dtype) {
  const std::size_t count = text.length;
  std::size_t width = 1;
  bool trailing_nuls = false;
  if (!text.ascii) {
    for (std::size_t i = 0; i < count; ++i) {
      const std::string_view value = text.value(i);
      width = std::max(
          width,
          value.size() - utf8::count_continuations(
                             reinterpret_cast<const std::uint8_t*>(value.data()), value.size()));
    }
  } else {
    width = std::max(width, text.longest);
  }
  Ref fixed = empty_array(count, concat(text.ascii ? "S" : "U", width).c_str());
  Ref nul_counts = empty_array(count, "int64");
  WritableView view, nul_view;
  if (!fixed || !nul_counts || !view.acquire(fixed.get()) || !nul_view.acquire(nul_counts.get())) {
    return {};
  }
  without_gil([&] {
    auto* nuls = static_cast<std::int64_t*>(nul_view.data());
    for (std::size_t i = 0; i < count; ++i) {
      const std::string_view value = text.value(i);
      std::size_t kept = value.size();
      while (kept > 0 && value[kept - 1] == '\0') --kept;
      nuls[i] = static_cast<std::int64_t>(value.size() - kept);
      trailing_nuls |= kept != value.size();
      if (text.ascii) {
        auto* out = static_cast<std::uint8_t*>(view.data()) + i * width;
        if (!value.empty()) std::memcpy(out, value.data(), value.size());
        std::memset(out + value.size(), 0, width - value.size());
      } else {
        char32_t* out = static_cast<char32_t*>(view.data()) + i * width;
        const auto* p = reinterpret_cast<const std::uint8_t*>(value.data());
        const auto* const end = p + value.size();
        std::size_t n = 0;
        while (p < end) out[n++] = utf8::read_valid(p);
        for (; n < width; ++n) out[n] = 0;
      }
    }
  });
  view.release();
  nul_view.release();
  Ref astype = Ref::steal(PyObject_GetAttrString(fixed.get(), "astype"));
  Ref strings = astype ? Ref::steal(PyObject_CallOneArg(astype.get(), dtype)) : Ref{};
  if (!strings || !trailing_nuls) return strings;
  // strings + "\0" * nul_counts, element by element, in numpy's loops.
  PyObject* numpy = numpy_module();
  Ref module = Ref::steal(PyObject_GetAttrString(numpy, "strings"));
  Ref multiply = module ? Ref::steal(PyObject_GetAttrString(module.get(), "multiply")) : Ref{};
  Ref add = module ? Ref::steal(PyObject_GetAttrString(module.get(), "add")) : Ref{};
  Ref array = Ref::steal(PyObject_GetAttrString(numpy, "array"));
  Ref nul = Ref::steal(PyUnicode_FromStringAndSize("\0", 1));
  if (!multiply || !add || !array || !nul) return {};
  Ref args = Ref::steal(PyTuple_Pack(1, nul.get()));
  Ref kwargs = Ref::steal(Py_BuildValue("{s:O}", "dtype", dtype));
  Ref one_nul =
      args && kwargs ? Ref::steal(PyObject_Call(array.get(), args.get(), kwargs.get())) : Ref{};
  Ref padding = one_nul ? Ref::steal(PyObject_CallFunctionObjArgs(multiply.get(), one_nul.get(),
                                                                  nul_counts.get(), nullptr))
                        : Ref{};
  if (!padding) return {};
  return Ref::steal(PyObject_CallFunctionObjArgs(add.get(), strings.get(), padding.get(), nullptr));
}

namespace {

// ---- unpack_many --------------------------------------------------------------

// The state names as Arrow's dictionary of an enumerated column.
std::shared_ptr<ArrowColumnData> state_dictionary(const Conversion& conversion) {
  auto dictionary = std::make_shared<ArrowColumnData>();
  dictionary->type = ColumnType::Text;
  const std::vector<std::string>& names = conversion.enumeration.names;
  dictionary->length = names.size();
  Utf8Column& text = dictionary->text;
  text.length = names.size();
  std::size_t total = 0;
  for (const std::string& name : names) total += name.size();
  text.offsets.resize((names.size() + 1) * sizeof(std::int32_t));
  text.data.resize(std::max<std::size_t>(total, 1));
  auto* offsets = reinterpret_cast<std::int32_t*>(text.offsets.data());
  std::size_t at = 0;
  offsets[0] = 0;
  for (std::size_t k = 0; k < names.size(); ++k) {
    if (!names[k].empty()) std::memcpy(text.data.data() + at, names[k].data(), names[k].size());
    at += names[k].size();
    offsets[k + 1] = static_cast<std::int32_t>(at);
    text.longest = std::max(text.longest, names[k].size());
  }
  return dictionary;
}

}  // namespace

void set_converted_type(ArrowColumnData& column, const Conversion& conversion) {
  // Calibrations as double, time codes as nanosecond timestamps, states as
  // int32 indices into a dictionary of their names.
  switch (conversion.kind) {
    case ConversionKind::TimeCode:
      column.type = ColumnType::I64;
      column.format_override = conversion.time.scale == TimeScale::Utc ? "tsn:UTC" : "tsn:";
      break;
    case ConversionKind::Enumeration:
      column.type = ColumnType::I32;
      column.dictionary = state_dictionary(conversion);
      break;
    default: column.type = ColumnType::F64; break;
  }
}

namespace {

// What one unpack_many call asked for.
struct Columns {
  const LayoutData& data;
  const BufferView& view;
  bool masking;
  bool raw;
  Output output;
  TextForm text_form;
  PyObject* text_dtype;  // the StringDType asked for, if any
};

PyObject* decode_columns(const Columns& call, const PacketStarts& starts);

PyObject* unpack_many(const LayoutData& data,
                      const MethodArguments<kUnpackManySignature>& arguments) {
  bool masking = false;
  bool raw = false;
  Output output = Output::Numpy;
  TextForm text_form = TextForm::Str;
  Ref text_dtype;
  PyObject* const text_dtype_argument = arguments.get<"text_dtype">();
  if (!read_errors(arguments.get<"errors">(), masking) ||
      !read_output(arguments.get<"output">(), output) ||
      !read_raw_flag(arguments.get<"raw">(), raw)) {
    return nullptr;
  }
  if (output == Output::Arrow && text_dtype_argument != nullptr && text_dtype_argument != Py_None) {
    PyErr_SetString(PyExc_TypeError,
                    "text_dtype applies to numpy output; output='arrow' gives text as Arrow "
                    "UTF-8 strings");
    return nullptr;
  }
  if (output == Output::Numpy) {
    if (numpy_module() == nullptr || !read_text_dtype(text_dtype_argument, text_form, text_dtype)) {
      return nullptr;
    }
  }
  BufferView view;
  if (!view.acquire(arguments.get<"buffer">())) return nullptr;
  const ByteSpan buffer = view.bytes();
  Starts where;
  if (!packet_starts(data, buffer.size(), arguments.get<"stride">(), arguments.get<"offsets">(),
                     arguments.get<"count">(), where))
    return nullptr;
  std::vector<std::uint64_t> ends;
  if (!packet_ends(data, buffer, arguments.get<"lengths">(), where, ends)) return nullptr;
  const Columns columns{data, view, masking, raw, output, text_form, text_dtype.get()};
  if (masking || where.cut.empty()) return decode_columns(columns, where.starts);
  // errors="raise": the first cut packet fails before any of its fields,
  // unless a packet before it fails first.
  const std::size_t packet = where.cut.front();
  PacketStarts before = where.starts;
  before.count = packet;
  before.cut = {};
  if (Ref decoded = Ref::steal(decode_columns(columns, before)); !decoded) return nullptr;
  PyErr_SetString(PyExc_ValueError, where.first_cut_reason.c_str());
  raise_with_location(concat("packet ", packet, " at byte ", where.starts[packet]));
  return nullptr;
}

// The columns of the packets `starts` gives, in the form the call asked for.
PyObject* decode_columns(const Columns& call, const PacketStarts& starts) {
  const LayoutData& data = call.data;
  const BufferView& view = call.view;
  const ByteSpan buffer = view.bytes();
  const bool masking = call.masking;
  const bool raw = call.raw;
  const Output output = call.output;
  const TextForm text_form = call.text_form;
  if (output == Output::Arrow) {
    return unpack_many_arrow(data, buffer, view.immutable(), starts, masking, raw);
  }
  return unpack_many_numpy(data, buffer, view.immutable(), starts, masking, raw, text_form,
                           call.text_dtype);
}

}  // namespace

bool decode_text_column_at(ByteSpan buffer, bool buffer_immutable, std::size_t limit,
                           const PlannedField& field, const FieldBitOf& field_bit,
                           ObjectColumn& column, std::span<std::uint8_t> mask,
                           std::optional<ColumnFailure>& failure) {
  return decode_text_values(buffer, buffer_immutable, limit, field, field_bit, column, mask,
                            failure);
}

// The check_failed column of Arrow output: booleans, one bit per packet.
std::shared_ptr<ArrowColumnData> check_failed_arrow(const std::vector<std::uint8_t>& failed) {
  auto column = std::make_shared<ArrowColumnData>();
  column->name = kCheckFailedColumn;
  column->type = ColumnType::U8;
  column->format_override = "b";
  column->length = failed.size();
  column->values.resize(std::max<std::size_t>((failed.size() + 7) / 8, 1));
  std::memset(column->values.data(), 0, column->values.size());
  for (std::size_t i = 0; i < failed.size(); ++i) {
    if (failed[i] != 0) column->values.data()[i / 8] |= static_cast<std::uint8_t>(1u << (i % 8));
  }
  return column;
}

// The same as a numpy bool array.
Ref check_failed_numpy(const std::vector<std::uint8_t>& failed) {
  Ref column = empty_array(failed.size(), "bool");
  WritableView view;
  if (!column || !view.acquire(column.get())) return {};
  if (!failed.empty()) std::memcpy(view.data(), failed.data(), failed.size());
  return column;
}

const char* const kUnpackManyDoc =
    "Decode many packets held in one buffer into one column per field.\n\n"
    "buffer: any object with the buffer protocol (bytes, bytearray, memoryview,\n"
    "    mmap, numpy.memmap), read in place, not copied.\n"
    "offsets: the byte offset of every packet (a sequence or integer array),\n"
    "    e.g. from split_packets; otherwise packet i starts at i * stride.\n"
    "stride: bytes from one packet's start to the next (default: size_bytes).\n"
    "count: the number of packets; without it the buffer must hold whole\n"
    "    packets of stride bytes, and bytes left over raise ValueError.\n"
    "lengths: with offsets, the byte length of every packet: no field is read\n"
    "    past its packet's end (a layout built with packet_length reads each\n"
    "    packet's length from its header instead).\n"
    "errors: 'raise' (default) raises ValueError at the first packet whose\n"
    "    field fails (naming the packet, its byte offset, the recipe item and\n"
    "    the decoder's message, chained from the error Layout.unpack raises);\n"
    "    'mask' keeps going: numpy output gives numpy.ma.MaskedArray columns\n"
    "    with failed entries masked, Arrow output gives them as nulls. A\n"
    "    packet that fails a check field (\"check\" key) has every field\n"
    "    masked, and a bool column 'check_failed' says which packets failed.\n"
    "output: 'numpy' (default) returns a dict from field name to numpy array;\n"
    "    'arrow' returns an ArrowColumns mapping whose columns Arrow consumers\n"
    "    import without copying (pyarrow.table(result), polars.DataFrame(result),\n"
    "    duckdb.sql('SELECT * FROM result')); text becomes Arrow UTF-8 strings,\n"
    "    and numpy is not needed.\n"
    "text_dtype: the numpy type of text columns: object (default, str values),\n"
    "    numpy.dtypes.StringDType() or 'T' (numpy 2), or 'S' for the raw field\n"
    "    bytes, byte order undone, not decoded (numpy drops trailing NUL bytes).\n"
    "raw: True gives every field's own values, its \"convert\" key skipped.\n\n"
    "Columns are in recipe order. Element i of a column equals\n"
    "layout.unpack(buffer, 8 * start_i)[name]. Column types: unsigned: the\n"
    "smallest of uint8/16/32/64 that holds the field's width; two's, ones'\n"
    "complement, sign-magnitude and BCD: the smallest of int8/16/32/64;\n"
    "ieee754_f16 and f32: float32; ieee754_f64, f128 and the other float\n"
    "names: float64; text: as text_dtype says. Text columns other than object\n"
    "str, and all numeric columns, are decoded without holding the GIL.\n"
    "Converted fields: float64 for calibrations, object str (one object per\n"
    "name) for enumerations, datetime64[ns] for time codes. Array fields: a\n"
    "fixed array is a (packets, N) array (Arrow: fixed_size_list), a counted or\n"
    "rest-of-packet array a RaggedColumn (Arrow: large_list).";

PyObject* layout_unpack_many(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                             PyObject* kwnames) {
  return guarded([&]() -> PyObject* {
    MethodArguments<kUnpackManySignature> arguments;
    if (!arguments.bind(args, nargs, kwnames)) return nullptr;
    return unpack_many(layout_data(self), arguments);
  });
}

}  // namespace vantrel
