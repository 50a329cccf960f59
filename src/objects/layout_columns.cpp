// Layout.unpack_many: many packets of one buffer into one numpy array per
// field.
#include "objects/layout_columns.hpp"

#include <algorithm>
#include <cstring>
#include <limits>
#include <optional>
#include <string>
#include <vector>

#include "binding/buffer_view.hpp"
#include "binding/call_frame.hpp"
#include "binding/convert.hpp"
#include "binding/method_args.hpp"
#include "common/format.hpp"
#include "objects/layout_shapes.hpp"
#include "objects/layout_type.hpp"
#include "objects/numpy_support.hpp"
#include "placement/columns.hpp"

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

namespace {

// ---- Where the packets start ------------------------------------------------

struct Starts {
  PacketStarts starts;
  Int64Values offsets;  // keeps the int64 offsets alive
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
    return true;
  }
  const std::uint64_t size = buffer.size();
  ends.resize(starts.count);
  for (std::size_t i = 0; i < starts.count; ++i) {
    const std::uint64_t start = starts[i];
    std::uint64_t end = size;
    if (at_stride && start <= size) end = std::min(end, start + std::min(starts.stride, size));
    if (lengths != nullptr && start <= size) {
      end = std::min(end, start + std::min<std::uint64_t>(lengths[i], size));
    }
    if (data.packet_length && start <= size) {
      if (const auto declared =
              declared_end(*data.packet_length, buffer.data(), size * 8, start * 8)) {
        end = std::min(end, *declared / 8);
      }
    }
    ends[i] = end;
  }
  starts.ends = ends.data();
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
  } else if (starts.ends != nullptr && start <= starts.ends[failure.packet]) {
    raise_packet_too_short(data, starts.ends[failure.packet] - start, 0);
  } else {
    raise_packet_too_short(data, buffer.size(), start * 8);
  }
  raise_with_location(concat("packet ", failure.packet, " at byte ", start));
}

// A text column as a list of str: decoded with the interpreter, reusing the
// previous packet's str when the field bytes repeat (mode and state names
// usually do).
// Bytes of a buffer that may change meanwhile are copied before decoding.
bool decode_text_column(ByteSpan buffer, bool buffer_immutable, const PacketStarts& starts,
                        std::size_t limit, const PlannedField& field, PyObject* list,
                        std::span<std::uint8_t> mask, std::optional<ColumnFailure>& failure) {
  const std::uint64_t needed = bytes_needed(field);
  FieldScratch scratch;
  std::vector<std::uint8_t> previous_bytes;
  PyObject* previous = nullptr;  // borrowed from the list
  for (std::size_t i = 0; i < limit; ++i) {
    const std::uint64_t start = starts[i];
    std::optional<Error> error;
    PyObject* value = nullptr;
    if (!inside(start, needed, starts.limit(i, buffer.size()))) {
      failure = ColumnFailure{i, std::nullopt};
    } else {
      const FieldInput input = read_field_input(buffer, start * 8 + field.position, field.spec,
                                                scratch, buffer_immutable);
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

// Packet bytes decoded per block: well inside a core's L2 cache.
constexpr std::uint64_t kBlockBytes = 64 * 1024;

constexpr MethodSignature<6> kUnpackManySignature{"unpack_many",
                                                  {{"buffer", true},
                                                   {"stride", false},
                                                   {"offsets", false},
                                                   {"count", false},
                                                   {"errors", false},
                                                   {"lengths", false}},
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
  std::vector<std::uint64_t> ends;
  if (!packet_ends(data, buffer, slots[5], where, ends)) return nullptr;
  const PacketStarts& starts = where.starts;
  if (data.plan.shaped()) {
    return unpack_many_shaped(data, buffer, view.immutable(), starts, masking);
  }
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
    // Blocks of packets small enough to stay in the cache while every
    // column takes its values from them; a block with a failure is the last.
    const std::size_t block =
        std::max<std::uint64_t>(64, kBlockBytes / std::max<std::uint64_t>(starts.stride, 64));
    for (std::size_t begin = 0; begin < count && !first; begin += block) {
      const std::size_t end = std::min(count, begin + block);
      for (std::size_t j = 0; j < fields.size(); ++j) {
        if (views[j].data() == nullptr) continue;
        const auto failure =
            decode_column(buffer, starts, begin, end, fields[j], views[j].data(),
                          masking ? std::span(masks[j]) : std::span<std::uint8_t>());
        if (failure) note_failure(first, *failure, j);
      }
    }
  });
  for (std::size_t j = 0; j < fields.size(); ++j) {
    if (views[j].data() != nullptr) continue;
    const std::size_t limit = first ? first->packet + 1 : count;
    std::optional<ColumnFailure> failure;
    if (!decode_text_column(buffer, view.immutable(), starts, limit, fields[j], columns[j].get(),
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

}  // namespace

const char* const kUnpackManyDoc =
    "unpack_many($self, /, buffer, *, stride=None, offsets=None, count=None, errors='raise', "
    "lengths=None)\n"
    "--\n\n"
    "Decode many packets held in one buffer into one numpy array per field.\n\n"
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
    "    'mask' returns numpy.ma.MaskedArray columns with failed entries masked.\n\n"
    "Returns a dict from field name to column, in recipe order. Element i of a\n"
    "column equals layout.unpack(buffer, 8 * start_i)[name]. Column types:\n"
    "unsigned: the smallest of uint8/16/32/64 that holds the field's width;\n"
    "two's, ones' complement, sign-magnitude and BCD: the smallest of\n"
    "int8/16/32/64; ieee754_f16 and f32: float32; ieee754_f64, f128 and the\n"
    "other float names: float64; text: object arrays of str.\n"
    "Numeric columns are decoded without holding the GIL. Needs numpy.";

PyObject* layout_unpack_many(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                             PyObject* kwnames) {
  return guarded([&]() -> PyObject* {
    PyObject* slots[6];
    if (!bind(kUnpackManySignature, args, nargs, kwnames, slots)) return nullptr;
    return unpack_many(layout_data(self), slots);
  });
}

}  // namespace vantrel
