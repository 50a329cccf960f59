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

bool decode_text_column(ByteSpan buffer, bool buffer_immutable, const PacketStarts& starts,
                        std::size_t limit, const PlannedField& field, ObjectColumn& column,
                        std::span<std::uint8_t> mask, std::optional<ColumnFailure>& failure) {
  return decode_text_values(buffer, buffer_immutable, limit, field,
                            fixed_field_bit(buffer.size(), starts, field), column, mask, failure);
}

// ---- Check fields ------------------------------------------------------------

// The layout's checks, verified block by block with the fields, while the
// block's packets are in the cache (without the GIL). Under a mask,
// `failed` gets one flag per packet and finish() masks every field of a
// packet that failed; otherwise the first mismatch joins `first`, so that
// the earliest failure of any kind is the one raised.
class CheckPass {
 public:
  CheckPass(const LayoutData& data, ByteSpan buffer, const PacketStarts& starts, bool masking)
      : data_(data), buffer_(buffer), starts_(starts), masking_(masking) {
    if (masking && !data.checks.empty()) failed.assign(starts.count, 0);
  }

  void block(std::size_t begin, std::size_t end, std::optional<FirstFailure>& first) {
    if (data_.checks.empty()) return;
    const std::optional<CheckMismatch> mismatch =
        verify_checks(data_.plan, data_.checks, buffer_, starts_, failed, begin, end);
    if (!mismatch) return;
    any_failed_ = true;
    if (masking_) return;
    const PacketCheck& check = data_.checks[mismatch->check];
    const auto item = static_cast<std::ptrdiff_t>(check.field);
    if (!first || !first->before(mismatch->packet, item)) {
      first =
          FirstFailure{mismatch->packet, item,
                       Error{ErrorKind::ValueError,
                             check_mismatch_message(check, mismatch->found, mismatch->computed)}};
    }
  }

  void finish(std::vector<std::vector<std::uint8_t>>& masks) const {
    if (!any_failed_) return;  // nothing to mask
    for (std::vector<std::uint8_t>& mask : masks) {
      if (mask.empty()) mask.assign(failed.size(), 0);  // a column that could not fail
      for (std::size_t i = 0; i < failed.size(); ++i) mask[i] |= failed[i];
    }
  }

  std::vector<std::uint8_t> failed;

 private:
  const LayoutData& data_;
  ByteSpan buffer_;
  const PacketStarts& starts_;
  bool masking_;
  bool any_failed_ = false;
};

// Under errors="mask", a numeric column decoded as it is that no packet can
// fail gets no mask (an empty one): none to fill, scan or fault in.
bool never_fails(const PacketStarts& starts, const PlannedField& field,
                 const Conversion* conversion) {
  return conversion == nullptr && column_type_of(field.spec) != ColumnType::Text &&
         column_never_fails(starts, field);
}

// Masks the packets the buffer cuts short, giving a column without a mask
// one first.
void cut_packets_mask(const PacketStarts& starts, std::size_t count,
                      std::vector<std::uint8_t>& mask) {
  if (starts.cut.empty()) return;
  if (mask.empty()) mask.assign(count, 0);
  mask_cut_packets(starts, mask);
}

// Decodes every numeric column (a non-null destination) of the packets, in
// blocks of packets small enough to stay in the cache while every column
// takes its values from them, and the checks are verified over them. Without masks each column
// stops at the first failure found so far, and a block with a failure is the last. Touches no
// interpreter object.
std::optional<FirstFailure> decode_numeric_columns(
    ByteSpan buffer, const PacketStarts& starts, std::span<const PlannedField> fields,
    const std::vector<const Conversion*>& conversions, const std::vector<void*>& destinations,
    std::vector<std::vector<std::uint8_t>>& masks, CheckPass& checks,
    std::span<StateHandles* const> state_handles = {}) {
  std::optional<FirstFailure> first;
  const std::size_t count = starts.count;
  const std::size_t block = packets_per_block(starts, buffer.size());
  for (std::size_t begin = 0; begin < count && !first; begin += block) {
    const std::size_t end = std::min(count, begin + block);
    for (std::size_t j = 0; j < fields.size(); ++j) {
      if (destinations[j] == nullptr) continue;
      const std::span<std::uint8_t> mask =
          masks.empty() ? std::span<std::uint8_t>() : std::span(masks[j]);
      const auto failure =
          conversions[j] != nullptr
              ? decode_converted_column(buffer, starts, begin, end, fields[j], *conversions[j],
                                        destinations[j], mask,
                                        state_handles.empty() ? nullptr : state_handles[j])
              : decode_column(buffer, starts, begin, end, fields[j], destinations[j], mask);
      if (failure) note_failure(first, *failure, j);
    }
    checks.block(begin, end, first);
  }
  return first;
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

// The conversion each field's column gets: none when `raw` is asked for.
std::vector<const Conversion*> column_conversions(const LayoutData& data, bool raw) {
  std::vector<const Conversion*> conversions(data.items.size(), nullptr);
  if (raw) return conversions;
  for (std::size_t j = 0; j < data.items.size(); ++j) {
    if (data.items[j].conversion) conversions[j] = &data.items[j].conversion->conversion;
  }
  return conversions;
}

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

// The fields whose columns the result holds, in the order a dict filled in
// recipe order keeps its keys: each name at its first field, with the column
// of its last field.
std::vector<std::size_t> result_fields(const LayoutData& data) {
  std::vector<std::size_t> chosen;
  for (std::size_t j = 0; j < data.items.size(); ++j) {
    bool first = true;
    for (std::size_t k = 0; k < j && first; ++k) {
      first = PyUnicode_Compare(data.items[k].name.get(), data.items[j].name.get()) != 0;
    }
    if (!first) continue;
    std::size_t last = j;
    for (std::size_t k = j + 1; k < data.items.size(); ++k) {
      if (PyUnicode_Compare(data.items[k].name.get(), data.items[j].name.get()) == 0) last = k;
    }
    chosen.push_back(last);
  }
  return chosen;
}

PyObject* unpack_many_arrow(const LayoutData& data, const BufferView& view,
                            const PacketStarts& starts, bool masking, bool raw) {
  const ByteSpan buffer = view.bytes();
  const std::size_t count = starts.count;
  const std::span<const PlannedField> fields = data.plan.fields();
  const std::vector<const Conversion*> conversions = column_conversions(data, raw);
  std::vector<std::shared_ptr<ArrowColumnData>> columns(fields.size());
  std::vector<void*> destinations(fields.size(), nullptr);
  std::vector<std::vector<std::uint8_t>> masks(masking ? fields.size() : 0);
  for (std::size_t j = 0; j < fields.size(); ++j) {
    auto column = std::make_shared<ArrowColumnData>();
    Py_ssize_t size = 0;
    const char* name = PyUnicode_AsUTF8AndSize(data.items[j].name.get(), &size);
    if (name == nullptr) return nullptr;
    column->name.assign(name, static_cast<std::size_t>(size));
    column->type = column_type_of(fields[j].spec);
    column->length = count;
    if (const Conversion* conversion = conversions[j]) set_converted_type(*column, *conversion);
    if (!column->is_text()) {
      column->values.resize(count * column_item_size(column->type));
      destinations[j] = column->values.data();
    }
    if (masking && !never_fails(starts, fields[j], conversions[j])) masks[j].assign(count, 0);
    columns[j] = std::move(column);
  }
  const bool immutable = view.immutable();
  std::optional<FirstFailure> first;
  CheckPass checks(data, buffer, starts, masking);
  without_gil([&] {
    first =
        decode_numeric_columns(buffer, starts, fields, conversions, destinations, masks, checks);
    for (std::size_t j = 0; j < fields.size(); ++j) {
      if (columns[j]->dictionary) {
        // A masked entry has no state: a null whose index still points
        // inside the dictionary.
        auto* states = reinterpret_cast<std::int32_t*>(columns[j]->values.data());
        for (std::size_t i = 0; i < count; ++i) states[i] = std::max(states[i], 0);
      }
      if (!columns[j]->is_text()) continue;
      const std::size_t limit = first ? first->packet + 1 : count;
      const auto failure =
          decode_utf8_column(buffer, immutable, starts, limit, fields[j], columns[j]->text,
                             masking ? std::span(masks[j]) : std::span<std::uint8_t>());
      if (failure) note_failure(first, *failure, j);
    }
    checks.finish(masks);
    if (masking) {
      for (std::size_t j = 0; j < fields.size(); ++j) {
        cut_packets_mask(starts, count, masks[j]);
        columns[j]->set_nulls(masks[j]);
      }
    }
  });
  if (first) {
    raise_first_failure(data, buffer, starts, *first);
    return nullptr;
  }
  auto table = std::make_shared<ArrowTableData>();
  table->length = count;
  Ref names = Ref::steal(PyList_New(0));
  if (!names) return nullptr;
  for (const std::size_t j : result_fields(data)) {
    table->columns.push_back(columns[j]);
    if (PyList_Append(names.get(), data.items[j].name.get()) < 0) return nullptr;
  }
  if (masking && !data.checks.empty()) {
    table->columns.push_back(check_failed_arrow(checks.failed));
    Ref name = Ref::steal(PyUnicode_FromString(kCheckFailedColumn));
    if (!name || PyList_Append(names.get(), name.get()) < 0) return nullptr;
  }
  Ref name_tuple = Ref::steal(PyList_AsTuple(names.get()));
  if (!name_tuple) return nullptr;
  return make_arrow_columns(std::move(table), name_tuple.get());
}

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
  if (data.plan.shaped()) {
    if (output == Output::Arrow) {
      return unpack_many_shaped_arrow(data, buffer, view.immutable(), starts, masking, raw);
    }
    return unpack_many_shaped(data, buffer, view.immutable(), starts, masking, raw, text_form,
                              call.text_dtype);
  }
  if (output == Output::Arrow) return unpack_many_arrow(data, view, starts, masking, raw);
  const std::size_t count = starts.count;

  const std::span<const PlannedField> fields = data.plan.fields();
  const std::vector<const Conversion*> conversions = column_conversions(data, raw);
  std::vector<Ref> columns(fields.size());
  std::vector<WritableView> views(fields.size());
  std::vector<void*> destinations(fields.size(), nullptr);
  std::vector<std::vector<std::uint8_t>> masks(masking ? fields.size() : 0);
  // Enumerated columns: object arrays that the kernels fill with the
  // layout's str objects.
  std::vector<std::unique_ptr<StateObjectColumn>> state_columns(fields.size());
  std::vector<StateHandles*> state_handles(fields.size(), nullptr);
  for (std::size_t j = 0; j < fields.size(); ++j) {
    const ColumnType type = column_type_of(fields[j].spec);
    if (conversions[j] != nullptr && conversions[j]->kind == ConversionKind::Enumeration) {
      state_columns[j] = std::make_unique<StateObjectColumn>();
      if (!state_columns[j]->create(*data.items[j].conversion, count)) return nullptr;
      destinations[j] = state_columns[j]->data();
      state_handles[j] = state_columns[j]->handles();
    } else if (conversions[j] != nullptr) {
      // Time codes are filled as int64 and viewed as datetime64[ns]
      // afterwards (numpy lends no buffer of datetimes).
      const bool time = conversions[j]->kind == ConversionKind::TimeCode;
      columns[j] = empty_array(count, time ? "int64" : "float64");
      if (!columns[j] || !views[j].acquire(columns[j].get())) return nullptr;
      destinations[j] = views[j].data();
    } else if (type != ColumnType::Text) {
      columns[j] = empty_array(count, column_type_row(type).dtype);
      if (!columns[j] || !views[j].acquire(columns[j].get())) return nullptr;
      destinations[j] = views[j].data();
    }
    if (masking && !never_fails(starts, fields[j], conversions[j])) masks[j].assign(count, 0);
  }

  // Numeric columns without the interpreter lock; with errors="raise" each
  // column stops at the first failure found so far.
  CheckPass checks(data, buffer, starts, masking);
  std::optional<FirstFailure> first = without_gil([&] {
    return decode_numeric_columns(buffer, starts, fields, conversions, destinations, masks, checks,
                                  state_handles);
  });
  for (std::size_t j = 0; j < fields.size(); ++j) {
    if (state_columns[j]) columns[j] = state_columns[j]->finish();
  }
  for (std::size_t j = 0; j < fields.size(); ++j) {
    if (destinations[j] != nullptr) continue;
    const std::size_t limit = first ? first->packet + 1 : count;
    const std::span<std::uint8_t> mask = masking ? std::span(masks[j]) : std::span<std::uint8_t>();
    std::optional<ColumnFailure> failure;
    switch (text_form) {
      case TextForm::Str: {
        ObjectColumn text;
        if (!text.create(count) || !decode_text_column(buffer, view.immutable(), starts, limit,
                                                       fields[j], text, mask, failure)) {
          return nullptr;
        }
        columns[j] = text.release();
        break;
      }
      case TextForm::Bytes:
        columns[j] = bytes_column(
            count, fields[j],
            [&](std::uint8_t* out) {
              return copy_field_bytes(buffer, starts, limit, fields[j], out, mask);
            },
            failure);
        if (!columns[j]) return nullptr;
        break;
      case TextForm::StringDType: {
        Utf8Column text;
        without_gil([&] {
          failure =
              decode_utf8_column(buffer, view.immutable(), starts, limit, fields[j], text, mask);
        });
        if (!failure && !first) {
          columns[j] = string_dtype_column(text, call.text_dtype);
          if (!columns[j]) return nullptr;
        }
        break;
      }
    }
    if (failure) note_failure(first, *failure, j);
  }
  checks.finish(masks);
  if (first) {
    raise_first_failure(data, buffer, starts, *first);
    return nullptr;
  }

  Ref result = Ref::steal(PyDict_New());
  if (!result) return nullptr;
  for (std::size_t j = 0; j < fields.size(); ++j) {
    views[j].release();  // the array's buffer is ours no longer
    Ref column = std::move(columns[j]);
    if (conversions[j] != nullptr && conversions[j]->kind == ConversionKind::TimeCode) {
      column = Ref::steal(PyObject_CallMethod(column.get(), "view", "s", "datetime64[ns]"));
      if (!column) return nullptr;
    }
    if (masking) {
      cut_packets_mask(starts, count, masks[j]);
      column = masked_column(column.get(), masks[j]);
      if (!column) return nullptr;
    }
    if (PyDict_SetItem(result.get(), data.items[j].name.get(), column.get()) < 0) return nullptr;
  }
  if (masking && !data.checks.empty()) {
    Ref column = check_failed_numpy(checks.failed);
    if (!column || PyDict_SetItemString(result.get(), kCheckFailedColumn, column.get()) < 0) {
      return nullptr;
    }
  }
  return result.release();
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
    "unpack_many($self, /, buffer, *, stride=None, offsets=None, count=None, errors='raise', "
    "output='numpy', text_dtype=None, lengths=None, raw=False)\n"
    "--\n\n"
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
