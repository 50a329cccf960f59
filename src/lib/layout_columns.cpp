#include "lib/layout_columns.hpp"

#include <algorithm>
#include <cstring>
#include <exception>
#include <limits>
#include <optional>
#include <string>
#include <vector>

#include "common/format.hpp"
#include "layout/columns.hpp"
#include "layout/framing.hpp"
#include "lib/buffer_view.hpp"
#include "lib/convert.hpp"
#include "lib/frame.hpp"
#include "lib/layout_type.hpp"
#include "lib/method_args.hpp"

namespace vantrel {

namespace {

// ---- numpy, imported on first use -------------------------------------------

PyObject* numpy_module() {
  static PyObject* numpy = nullptr;
  if (numpy == nullptr) {
    numpy = PyImport_ImportModule("numpy");
    if (numpy == nullptr && PyErr_ExceptionMatches(PyExc_ImportError)) {
      Ref cause = fetch_exception();
      PyErr_SetString(PyExc_ImportError,
                      "vantrel's archive methods (Layout.unpack_many, Layout.pack_many, "
                      "split_packets) need numpy: pip install numpy");
      Ref error = fetch_exception();
      PyException_SetCause(error.get(), cause.release());
      restore_exception(std::move(error));
    }
  }
  return numpy;
}

Ref call_numpy(const char* function, PyObject* argument, const char* dtype) {
  PyObject* numpy = numpy_module();
  if (numpy == nullptr) return {};
  Ref callable = Ref::steal(PyObject_GetAttrString(numpy, function));
  if (!callable) return {};
  Ref args = Ref::steal(PyTuple_Pack(1, argument));
  Ref kwargs = Ref::steal(Py_BuildValue("{s:s}", "dtype", dtype));
  if (!args || !kwargs) return {};
  return Ref::steal(PyObject_Call(callable.get(), args.get(), kwargs.get()));
}

Ref empty_array(std::size_t length, const char* dtype) {
  Ref size = Ref::steal(PyLong_FromSize_t(length));
  return size ? call_numpy("empty", size.get(), dtype) : Ref{};
}

const char* dtype_name(ColumnType type) {
  switch (type) {
    case ColumnType::U8: return "uint8";
    case ColumnType::U16: return "uint16";
    case ColumnType::U32: return "uint32";
    case ColumnType::U64: return "uint64";
    case ColumnType::I8: return "int8";
    case ColumnType::I16: return "int16";
    case ColumnType::I32: return "int32";
    case ColumnType::I64: return "int64";
    case ColumnType::F32: return "float32";
    case ColumnType::F64: return "float64";
    case ColumnType::Text: break;
  }
  return "object";
}

// A writable view of a new array's memory, released on every path.
class WritableView {
 public:
  WritableView() = default;
  WritableView(const WritableView&) = delete;
  WritableView& operator=(const WritableView&) = delete;
  WritableView(WritableView&& other) noexcept : view_(other.view_), held_(other.held_) {
    other.held_ = false;
  }
  ~WritableView() {
    if (held_) PyBuffer_Release(&view_);
  }
  bool acquire(PyObject* array) {
    if (PyObject_GetBuffer(array, &view_, PyBUF_WRITABLE | PyBUF_C_CONTIGUOUS) < 0) return false;
    held_ = true;
    return true;
  }
  void* data() const { return held_ ? view_.buf : nullptr; }
  void release() {
    if (held_) PyBuffer_Release(&view_);
    held_ = false;
  }

 private:
  Py_buffer view_{};
  bool held_ = false;
};

// Runs `work` without the interpreter lock; anything it throws is thrown
// again once the lock is back.
template <class Work>
void without_gil(Work&& work) {
  std::exception_ptr thrown;
  Py_BEGIN_ALLOW_THREADS try { work(); } catch (...) {
    thrown = std::current_exception();
  }
  Py_END_ALLOW_THREADS if (thrown) std::rethrow_exception(thrown);
}

// Replaces the current exception with ValueError "{where}: {its text}",
// caused by it.
void raise_with_location(const std::string& where) {
  Ref inner = fetch_exception();
  if (!inner) return;
  Ref text = Ref::steal(PyObject_Str(inner.get()));
  if (!text) return;
  PyErr_Format(PyExc_ValueError, "%s: %U", where.c_str(), text.get());
  Ref outer = fetch_exception();
  if (!outer) return;
  PyException_SetCause(outer.get(), inner.release());
  restore_exception(std::move(outer));
}

// ---- Where the packets start ------------------------------------------------

struct Starts {
  PacketStarts starts;
  Ref offsets_array;  // keeps the int64 offsets alive
  BufferView offsets_view;
};

bool read_offsets(PyObject* offsets, Starts& out) {
  PyObject* numpy = numpy_module();
  if (numpy == nullptr) return false;
  Ref asarray = Ref::steal(PyObject_GetAttrString(numpy, "asarray"));
  Ref array = asarray ? Ref::steal(PyObject_CallOneArg(asarray.get(), offsets)) : Ref{};
  if (!array) return false;
  Ref dtype = Ref::steal(PyObject_GetAttrString(array.get(), "dtype"));
  Ref kind = dtype ? Ref::steal(PyObject_GetAttrString(dtype.get(), "kind")) : Ref{};
  Ref ndim = Ref::steal(PyObject_GetAttrString(array.get(), "ndim"));
  Ref size = Ref::steal(PyObject_GetAttrString(array.get(), "size"));
  if (!kind || !ndim || !size) return false;
  const bool empty = PyLong_AsLong(size.get()) == 0;
  const bool integers = PyUnicode_CompareWithASCIIString(kind.get(), "i") == 0 ||
                        PyUnicode_CompareWithASCIIString(kind.get(), "u") == 0;
  if (PyLong_AsLong(ndim.get()) != 1 || (!integers && !empty)) {
    PyErr_SetString(PyExc_TypeError,
                    "offsets must be a one-dimensional sequence or array of integer byte offsets");
    return false;
  }
  out.offsets_array = call_numpy("ascontiguousarray", array.get(), "int64");
  if (!out.offsets_array || !out.offsets_view.acquire(out.offsets_array.get())) return false;
  const ByteSpan bytes = out.offsets_view.bytes();
  out.starts.offsets = reinterpret_cast<const std::int64_t*>(bytes.data());
  out.starts.count = bytes.size() / sizeof(std::int64_t);
  for (std::size_t i = 0; i < out.starts.count; ++i) {
    if (out.starts.offsets[i] < 0) {
      PyErr_Format(PyExc_ValueError, "offsets[%zu] is %lld: byte offsets cannot be negative", i,
                   static_cast<long long>(out.starts.offsets[i]));
      return false;
    }
  }
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
                    "stride must be at least 1 byte (the layout has no size of its own)");
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

// ---- unpack_many ------------------------------------------------------------

// The first failure in packet order, then recipe order; a packet too short
// for the layout comes before any field of it.
struct FirstFailure {
  std::size_t packet = 0;
  std::ptrdiff_t item = 0;  // -1: the packet does not hold the layout
  std::optional<Error> error;

  bool before(std::size_t other_packet, std::ptrdiff_t other_item) const {
    return packet < other_packet || (packet == other_packet && item < other_item);
  }
};

void note_failure(std::optional<FirstFailure>& first, const ColumnFailure& failure,
                  std::size_t item) {
  const std::ptrdiff_t key = failure.error ? static_cast<std::ptrdiff_t>(item) : -1;
  if (!first || !first->before(failure.packet, key)) {
    first = FirstFailure{failure.packet, key, failure.error};
  }
}

void raise_first_failure(const LayoutData& data, ByteSpan buffer, const PacketStarts& starts,
                         const FirstFailure& failure) {
  const std::uint64_t start = starts[failure.packet];
  if (failure.error) {
    raise_item_failure(*failure.error, data.items[static_cast<std::size_t>(failure.item)]);
  } else if (start > std::numeric_limits<std::uint64_t>::max() / 8) {
    PyErr_Format(PyExc_ValueError, "the packet starts past the end of the %zu-byte buffer",
                 buffer.size());
  } else {
    raise_packet_too_short(data, buffer.size(), start * 8);
  }
  raise_with_location(concat("packet ", failure.packet, " at byte ", start));
}

// A text column as a list of str: decoded with the interpreter, reusing the
// previous packet's str when the field bytes repeat (mode and state names
// usually do).
bool decode_text_column(ByteSpan buffer, const PacketStarts& starts, std::size_t limit,
                        const PlannedField& field, PyObject* list, std::span<std::uint8_t> mask,
                        std::optional<ColumnFailure>& failure) {
  const std::uint64_t needed = bytes_needed(field);
  FieldScratch scratch;
  std::vector<std::uint8_t> previous_bytes;
  PyObject* previous = nullptr;  // borrowed from the list
  for (std::size_t i = 0; i < limit; ++i) {
    const std::uint64_t start = starts[i];
    std::optional<Error> error;
    PyObject* value = nullptr;
    if (!inside(start, needed, buffer.size())) {
      failure = ColumnFailure{i, std::nullopt};
    } else {
      const FieldInput input =
          read_field_input(buffer, start * 8 + field.position, field.spec, scratch);
      if (previous != nullptr && input.bytes.size() == previous_bytes.size() &&
          std::equal(input.bytes.begin(), input.bytes.end(), previous_bytes.begin())) {
        value = Ref::borrow(previous).release();
      } else {
        StrResult text;
        const Result<FieldValue> decoded = field.spec.row->decode(input, text);
        if (!decoded) {
          failure = ColumnFailure{i, decoded.error()};
        } else {
          value = text.release();
          if (value == nullptr) return false;
          previous_bytes.assign(input.bytes.begin(), input.bytes.end());
          previous = value;
        }
      }
    }
    if (value == nullptr) {
      if (mask.empty()) return true;  // the caller raises the failure
      failure.reset();
      mask[i] = 1;
      value = Ref::borrow(Py_None).release();
    }
    PyList_SET_ITEM(list, static_cast<Py_ssize_t>(i), value);
  }
  return true;
}

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

constexpr MethodSignature<5> kUnpackManySignature{
    "unpack_many",
    {{"buffer", true}, {"stride", false}, {"offsets", false}, {"count", false}, {"errors", false}},
    1};

PyObject* unpack_many(const LayoutData& data, PyObject* const* slots) {
  bool masking = false;
  if (slots[4] != nullptr) {
    if (PyUnicode_Check(slots[4]) && PyUnicode_CompareWithASCIIString(slots[4], "mask") == 0) {
      masking = true;
    } else if (!PyUnicode_Check(slots[4]) ||
               PyUnicode_CompareWithASCIIString(slots[4], "raise") != 0) {
      PyErr_Format(PyExc_ValueError, "errors must be 'raise' or 'mask', not %R", slots[4]);
      return nullptr;
    }
  }
  if (numpy_module() == nullptr) return nullptr;
  BufferView view;
  if (!view.acquire(slots[0])) return nullptr;
  const ByteSpan buffer = view.bytes();
  Starts where;
  if (!packet_starts(data, buffer.size(), slots[1], slots[2], slots[3], where)) return nullptr;
  const PacketStarts& starts = where.starts;
  const std::size_t count = starts.count;

  const std::span<const PlannedField> fields = data.plan.fields();
  std::vector<Ref> columns(fields.size());
  std::vector<WritableView> views(fields.size());
  std::vector<std::vector<std::uint8_t>> masks(masking ? fields.size() : 0);
  for (std::size_t j = 0; j < fields.size(); ++j) {
    const ColumnType type = column_type_of(fields[j].spec);
    if (type == ColumnType::Text) {
      columns[j] = Ref::steal(PyList_New(static_cast<Py_ssize_t>(count)));
      if (!columns[j]) return nullptr;
    } else {
      columns[j] = empty_array(count, dtype_name(type));
      if (!columns[j] || !views[j].acquire(columns[j].get())) return nullptr;
    }
    if (masking) masks[j].assign(count, 0);
  }

  // Numeric columns without the interpreter lock; with errors="raise" each
  // column stops at the first failure found so far.
  std::optional<FirstFailure> first;
  without_gil([&] {
    for (std::size_t j = 0; j < fields.size(); ++j) {
      if (views[j].data() == nullptr) continue;
      const std::size_t limit = first ? first->packet + 1 : count;
      const auto failure = decode_column(buffer, starts, limit, fields[j], views[j].data(),
                                         masking ? std::span(masks[j]) : std::span<std::uint8_t>());
      if (failure) note_failure(first, *failure, j);
    }
  });
  for (std::size_t j = 0; j < fields.size(); ++j) {
    if (views[j].data() != nullptr) continue;
    const std::size_t limit = first ? first->packet + 1 : count;
    std::optional<ColumnFailure> failure;
    if (!decode_text_column(buffer, starts, limit, fields[j], columns[j].get(),
                            masking ? std::span(masks[j]) : std::span<std::uint8_t>(), failure)) {
      return nullptr;
    }
    if (failure) note_failure(first, *failure, j);
  }
  if (first) {
    raise_first_failure(data, buffer, starts, *first);
    return nullptr;
  }

  Ref result = Ref::steal(PyDict_New());
  if (!result) return nullptr;
  for (std::size_t j = 0; j < fields.size(); ++j) {
    views[j].release();  // the array's buffer is ours no longer
    Ref column = std::move(columns[j]);
    if (PyList_Check(column.get())) {
      column = call_numpy("array", column.get(), "object");
      if (!column) return nullptr;
    }
    if (masking) {
      column = masked_column(column.get(), masks[j]);
      if (!column) return nullptr;
    }
    if (PyDict_SetItem(result.get(), data.items[j].name.get(), column.get()) < 0) return nullptr;
  }
  return result.release();
}

// ---- pack_many --------------------------------------------------------------

// One field's values: a typed one-dimensional array read in place, or any
// sequence read item by item.
struct ColumnSource {
  Ref object;
  BufferView typed;
  char format = 0;  // struct format code of a typed array, 0 for a sequence
  Ref items;        // PySequence_Fast of a sequence
  std::size_t length = 0;
};

bool is_typed_format(const char* format) {
  if (format == nullptr) return false;
  if (*format == '=' || *format == '<' || *format == '@') ++format;  // native little-endian
  return std::strlen(format) == 1 && std::strchr("bBhHiIlLqQfd", *format) != nullptr;
}

bool open_source(PyObject* object, ColumnSource& source) {
  source.object = Ref::borrow(object);
  if (PyObject_CheckBuffer(object) && !PyBytes_Check(object) && !PyByteArray_Check(object)) {
    Py_buffer probe;
    if (PyObject_GetBuffer(object, &probe, PyBUF_FORMAT | PyBUF_C_CONTIGUOUS) == 0) {
      const bool typed = probe.ndim == 1 && is_typed_format(probe.format);
      if (typed) {
        const char* code = probe.format;
        if (*code == '=' || *code == '<' || *code == '@') ++code;
        source.format = *code;
        source.length = static_cast<std::size_t>(probe.shape[0]);
      }
      PyBuffer_Release(&probe);
      if (typed) {
        // Held as plain bytes for the rest of the call.
        return source.typed.acquire(object);
      }
    } else {
      PyErr_Clear();
    }
  }
  source.items = Ref::steal(PySequence_Fast(object, "pack_many() columns must be sequences"));
  if (!source.items) return false;
  source.length = static_cast<std::size_t>(PySequence_Fast_GET_SIZE(source.items.get()));
  return true;
}

template <class Element>
Element typed_at(const ColumnSource& source, std::size_t row) {
  Element value;
  std::memcpy(&value, source.typed.bytes().data() + row * sizeof(Element), sizeof(Element));
  return value;
}

// Reads a typed element straight into the encoder's input where that is
// exactly what converting the element as an object would give; false when
// the object path must decide (other kinds, or a value it would refuse).
bool typed_input(const ColumnSource& source, std::size_t row, ValueKind kind, PackInput& input) {
  std::int64_t integer = 0;
  bool is_unsigned_64 = false;
  switch (source.format) {
    case 'b': integer = typed_at<signed char>(source, row); break;
    case 'B': integer = typed_at<unsigned char>(source, row); break;
    case 'h': integer = typed_at<short>(source, row); break;
    case 'H': integer = typed_at<unsigned short>(source, row); break;
    case 'i': integer = typed_at<int>(source, row); break;
    case 'I': integer = typed_at<unsigned int>(source, row); break;
    case 'l':
    case 'q': integer = typed_at<std::int64_t>(source, row); break;
    case 'L':
    case 'Q': {
      const auto value = typed_at<std::uint64_t>(source, row);
      if (kind == ValueKind::Unsigned) {
        input.unsigned_value = value;
        return true;
      }
      if (value > static_cast<std::uint64_t>(INT64_MAX)) return false;
      integer = static_cast<std::int64_t>(value);
      is_unsigned_64 = true;
      break;
    }
    case 'f':
      if (kind != ValueKind::Real32) return false;
      input.real32 = typed_at<float>(source, row);
      return true;
    case 'd':
      if (kind != ValueKind::Real64) return false;
      input.real64 = typed_at<double>(source, row);
      return true;
    default: return false;
  }
  (void)is_unsigned_64;
  if (kind == ValueKind::Signed) {
    input.signed_value = integer;
    return true;
  }
  if (kind == ValueKind::Unsigned && integer >= 0) {
    input.unsigned_value = static_cast<std::uint64_t>(integer);
    return true;
  }
  return false;
}

// The element as an interpreter object, for the object path.
Ref element_object(const ColumnSource& source, std::size_t row) {
  if (source.format == 0) {
    return Ref::borrow(PySequence_Fast_GET_ITEM(source.items.get(), static_cast<Py_ssize_t>(row)));
  }
  switch (source.format) {
    case 'f': return Ref::steal(PyFloat_FromDouble(typed_at<float>(source, row)));
    case 'd': return Ref::steal(PyFloat_FromDouble(typed_at<double>(source, row)));
    case 'L':
    case 'Q': return Ref::steal(PyLong_FromUnsignedLongLong(typed_at<std::uint64_t>(source, row)));
    default: {
      PackInput wide;
      typed_input(source, row, ValueKind::Signed, wide);
      return Ref::steal(PyLong_FromLongLong(wide.signed_value));
    }
  }
}

constexpr MethodSignature<1> kPackManySignature{"pack_many", {{"columns", true}}, 1};

PyObject* pack_many(const LayoutData& data, PyObject* columns) {
  if (!PyDict_Check(columns) && !PyObject_HasAttrString(columns, "keys")) {
    PyErr_Format(PyExc_TypeError,
                 "pack_many() argument 'columns' must be a mapping from field name to values, "
                 "not '%s'",
                 Py_TYPE(columns)->tp_name);
    return nullptr;
  }
  const std::span<const PlannedField> fields = data.plan.fields();
  std::vector<ColumnSource> sources(fields.size());
  std::size_t count = 0;
  for (std::size_t j = 0; j < fields.size(); ++j) {
    PyObject* name = data.items[j].name.get();
    Ref column = Ref::steal(PyObject_GetItem(columns, name));
    if (!column) {
      if (PyErr_ExceptionMatches(PyExc_KeyError)) {
        PyErr_Clear();
        PyErr_SetObject(PyExc_KeyError, name);
      }
      return nullptr;
    }
    if (!open_source(column.get(), sources[j])) return nullptr;
    if (j == 0) count = sources[j].length;
    if (sources[j].length != count) {
      PyErr_Format(PyExc_ValueError,
                   "column %R has %zu values but column %R has %zu: every column needs one value "
                   "per packet",
                   name, sources[j].length, data.items[0].name.get(), count);
      return nullptr;
    }
  }

  const Result<std::uint64_t>& size_bits = data.plan.packed_size_bits();
  const std::uint64_t record = size_bits ? *size_bits / 8 + (*size_bits % 8 != 0) : 0;
  if (!size_bits ||
      (record != 0 && count > static_cast<std::uint64_t>(PY_SSIZE_T_MAX) / 2 / record)) {
    PyErr_SetString(PyExc_ValueError, "the packed archive is too large to allocate");
    return nullptr;
  }
  Ref archive =
      Ref::steal(PyBytes_FromStringAndSize(nullptr, static_cast<Py_ssize_t>(count * record)));
  if (!archive) return nullptr;
  auto* bytes = reinterpret_cast<std::uint8_t*>(PyBytes_AS_STRING(archive.get()));
  std::memset(bytes, 0, count * record);

  for (std::size_t row = 0; row < count; ++row) {
    const std::span<std::uint8_t> packet(bytes + row * record, record);
    for (std::size_t j = 0; j < fields.size(); ++j) {
      const PlannedField& field = fields[j];
      const ColumnSource& source = sources[j];
      PackInput input;
      bool packed = false;
      if (source.format != 0 && typed_input(source, row, field.spec.row->value_kind, input)) {
        packed = pack_input(field, data.items[j], input, packet);
      } else {
        Ref value = element_object(source, row);
        packed = value && pack_value(field, data.items[j], value.get(), packet);
      }
      if (!packed) {
        raise_with_location(concat("row ", row));
        return nullptr;
      }
    }
  }
  return archive.release();
}

// ---- split_packets ----------------------------------------------------------

constexpr MethodSignature<5> kSplitSignature{"split_packets",
                                             {{"buffer", true},
                                              {"length_offset_bits", true},
                                              {"length_bits", true},
                                              {"length_adjust", false},
                                              {"byte_order", false}},
                                             1};

PyObject* split_packets(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  return guarded([&]() -> PyObject* {
    PyObject* slots[5];
    if (!bind(kSplitSignature, args, nargs, kwnames, slots)) return nullptr;
    LengthField length{};
    std::uint32_t bits = 0;
    if (!to_u64(slots[1], length.offset_bits)) {
      prefix_argument_name("length_offset_bits");
      return nullptr;
    }
    if (!to_u32(slots[2], bits)) {
      prefix_argument_name("length_bits");
      return nullptr;
    }
    if (bits < 1 || bits > 64) {
      PyErr_Format(PyExc_ValueError, "length_bits must be from 1 to 64, not %u", bits);
      return nullptr;
    }
    length.bits = bits;
    if (length.offset_bits > (std::uint64_t{1} << 60)) {
      PyErr_SetString(PyExc_ValueError, "length_offset_bits is beyond any packet");
      return nullptr;
    }
    if (slots[3] != nullptr && !to_i64(slots[3], length.adjust)) {
      prefix_argument_name("length_adjust");
      return nullptr;
    }
    if (slots[4] != nullptr) {
      const bool big =
          PyUnicode_Check(slots[4]) && PyUnicode_CompareWithASCIIString(slots[4], "big") == 0;
      length.little_endian =
          PyUnicode_Check(slots[4]) && PyUnicode_CompareWithASCIIString(slots[4], "little") == 0;
      if (!big && !length.little_endian) {
        PyErr_Format(PyExc_ValueError, "byte_order must be 'big' or 'little', not %R", slots[4]);
        return nullptr;
      }
    }
    if (numpy_module() == nullptr) return nullptr;
    BufferView view;
    if (!view.acquire(slots[0])) return nullptr;
    std::optional<Result<std::vector<std::uint64_t>>> framed;
    without_gil([&] { framed = split_stream(view.bytes(), length); });
    if (!*framed) {
      raise_error(framed->error());
      return nullptr;
    }
    const std::vector<std::uint64_t>& starts = **framed;
    Ref offsets = empty_array(starts.size(), "int64");
    WritableView out;
    if (!offsets || !out.acquire(offsets.get())) return nullptr;
    if (!starts.empty())
      std::memcpy(out.data(), starts.data(), starts.size() * sizeof(std::uint64_t));
    return offsets.release();
  });
}

PyMethodDef split_packets_definition = {
    "split_packets", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(&split_packets)),
    METH_FASTCALL | METH_KEYWORDS,
    "split_packets(buffer, *, length_offset_bits, length_bits, length_adjust=0, "
    "byte_order='big')\n--\n\n"
    "Find where each packet of a stream of variable-length packets starts.\n\n"
    "Every packet's total length in bytes is the unsigned field of length_bits\n"
    "bits at length_offset_bits from its first bit, plus length_adjust. For\n"
    "CCSDS space packets: length_offset_bits=32, length_bits=16, length_adjust=7.\n\n"
    "buffer: any object with the buffer protocol, read in place.\n"
    "byte_order: 'big' or 'little', the order of the length field's bytes.\n\n"
    "Returns a numpy int64 array of the packets' start offsets, for\n"
    "Layout.unpack_many(buffer, offsets=...). Packets multiplexed by an\n"
    "identifier are selected with numpy: decode the header of every packet\n"
    "with a header layout, then pass offsets[mask] to each packet type's layout.\n\n"
    "Raises ValueError naming the packet and its offset when the stream ends\n"
    "inside a packet (a truncated final packet is reported, not dropped) or a\n"
    "packet's total length is less than one byte. Needs numpy."};

}  // namespace

const char* const kUnpackManyDoc =
    "unpack_many($self, /, buffer, *, stride=None, offsets=None, count=None, errors='raise')\n"
    "--\n\n"
    "Decode many packets held in one buffer into one numpy array per field.\n\n"
    "buffer: any object with the buffer protocol (bytes, bytearray, memoryview,\n"
    "    mmap, numpy.memmap), read in place, not copied.\n"
    "offsets: the byte offset of every packet (a sequence or integer array),\n"
    "    e.g. from split_packets; otherwise packet i starts at i * stride.\n"
    "stride: bytes from one packet's start to the next (default: size_bytes).\n"
    "count: the number of packets; without it the buffer must hold whole\n"
    "    packets of stride bytes, and bytes left over raise ValueError.\n"
    "errors: 'raise' (default) raises ValueError at the first packet whose\n"
    "    field fails (naming the packet, its byte offset, the recipe item and\n"
    "    the decoder's message, chained from the error Layout.unpack raises);\n"
    "    'mask' returns numpy.ma.MaskedArray columns with failed entries masked.\n\n"
    "Returns a dict from field name to column, in recipe order. Element i of a\n"
    "column equals layout.unpack(buffer, 8 * start_i)[name]. Column types:\n"
    "unsigned: the smallest of uint8/16/32/64 that holds the field's width;\n"
    "two's, ones' complement, sign-magnitude and BCD: the smallest of\n"
    "int8/16/32/64; ieee754_f16 and f32: float32; ieee754_f64, f128 and the\n"
    "other float names: float64; text: object arrays of str.\n"
    "Numeric columns are decoded without holding the GIL. Needs numpy.";

const char* const kPackManyDoc =
    "pack_many($self, /, columns)\n--\n\n"
    "Encode many packets from columns of values.\n\n"
    "columns: a mapping from field name to a numpy array or sequence; every\n"
    "    column has the same length n.\n\n"
    "Returns n packets concatenated in one bytes object, each equal to\n"
    "layout.pack of its row (size_bytes long, except for recipes whose packet\n"
    "functions size the packet longer). Raises KeyError naming a missing\n"
    "column, and ValueError naming the row and recipe item of a value that\n"
    "cannot be encoded.";

PyObject* layout_unpack_many(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                             PyObject* kwnames) {
  return guarded([&]() -> PyObject* {
    PyObject* slots[5];
    if (!bind(kUnpackManySignature, args, nargs, kwnames, slots)) return nullptr;
    return unpack_many(layout_data(self), slots);
  });
}

PyObject* layout_pack_many(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                           PyObject* kwnames) {
  return guarded([&]() -> PyObject* {
    PyObject* slots[1];
    if (!bind(kPackManySignature, args, nargs, kwnames, slots)) return nullptr;
    return pack_many(layout_data(self), slots[0]);
  });
}

PyObject* create_split_packets(PyObject* module, PyObject* module_name) {
  return PyCFunction_NewEx(&split_packets_definition, module, module_name);
}

}  // namespace vantrel
