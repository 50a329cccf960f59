#include "columns/columns.hpp"

#include <algorithm>
#include <bit>
#include <cstring>
#include <type_traits>

#include "common/binary16.hpp"
#include "common/bits.hpp"
#include "common/packet_bits.hpp"
#include "layout/shape.hpp"

namespace vantrel {

namespace {

ColumnType integer_column(std::uint32_t bits, bool is_signed) {
  if (bits <= 8) return is_signed ? ColumnType::I8 : ColumnType::U8;
  if (bits <= 16) return is_signed ? ColumnType::I16 : ColumnType::U16;
  if (bits <= 32) return is_signed ? ColumnType::I32 : ColumnType::U32;
  return is_signed ? ColumnType::I64 : ColumnType::U64;
}

template <class Element>
Element from_value(const FieldValue& value) {
  if (const auto* u = std::get_if<std::uint64_t>(&value)) return static_cast<Element>(*u);
  if (const auto* i = std::get_if<std::int64_t>(&value)) return static_cast<Element>(*i);
  return static_cast<Element>(std::get<double>(value));
}

// The field pattern of a field that lies inside the buffer, as
// read_field_input makes it, without its scratch for the common widths.
inline std::uint64_t pattern_at(ByteSpan buffer, std::uint64_t bit, const FieldSpec& spec,
                                FieldScratch& scratch) {
  const std::uint32_t bits = spec.bits;
  if (bits > 64) return read_field_input(buffer, bit, spec, scratch).pattern;
  std::uint64_t pattern = read_field(buffer.data(), bit, bits);
  if (spec.little_endian) pattern = reverse_low_bytes(pattern, (bits + 7) / 8);
  return spec.reverse_bits ? mirror_low_bits(pattern, bits) : pattern & low_mask(bits);
}

template <ColumnKernel Kernel, class Element>
inline Element from_pattern(std::uint64_t pattern, std::uint32_t bits) {
  if constexpr (Kernel == ColumnKernel::Unsigned) {
    return static_cast<Element>(pattern);
  } else if constexpr (Kernel == ColumnKernel::TwosComplement) {
    if (bits == 0 || bits >= 64) return static_cast<Element>(static_cast<std::int64_t>(pattern));
    // Moves the sign bit to the top, then shifts back arithmetically.
    const unsigned unused = 64 - bits;
    return static_cast<Element>(static_cast<std::int64_t>(pattern << unused) >> unused);
  } else if constexpr (Kernel == ColumnKernel::Binary16) {
    return static_cast<Element>(binary16_to_float(static_cast<std::uint16_t>(pattern)));
  } else if constexpr (Kernel == ColumnKernel::Binary32) {
    return static_cast<Element>(std::bit_cast<float>(static_cast<std::uint32_t>(pattern)));
  } else {
    static_assert(Kernel == ColumnKernel::Binary64);
    return static_cast<Element>(std::bit_cast<double>(pattern));
  }
}

// A field's pattern from the 8-byte window that ends at `window_end`, as
// pattern_at reads it: the field's bits, and for a little-endian field its
// `byte_count` bytes reversed.
template <bool Little>
[[gnu::always_inline]] inline std::uint64_t window_pattern(const std::uint8_t* window_end,
                                                           unsigned shift, std::uint64_t low,
                                                           std::uint32_t byte_count) {
  const std::uint64_t pattern = read_window(window_end, shift, low);
  if constexpr (Little) return reverse_low_bytes(pattern, byte_count) & low;
  return pattern;
}

// What the windows of one field need: where each ends from its packet's
// start, the shift and mask that leave the field, its bytes.
struct Window {
  std::uint64_t last;
  unsigned shift;
  std::uint64_t low;
  std::uint32_t bits;
  std::uint32_t byte_count;
};

// The values of packets at a fixed stride, each in the 8-byte window that
// ends `window_end` (packet 0's), in a function of their own so that the
// loop keeps its constants in registers rather than on the caller's stack.
template <ColumnKernel Kernel, bool Little, class Element>
[[gnu::noinline]] void read_windows_at_stride(const std::uint8_t* window_end, std::uint64_t stride,
                                              std::size_t count, const Window window,
                                              Element* __restrict out) {
  for (std::size_t k = 0; k < count; ++k, window_end += stride) {
    out[k] = from_pattern<Kernel, Element>(
        window_pattern<Little>(window_end, window.shift, window.low, window.byte_count),
        window.bits);
  }
}

// The same at each packet's own offset, for packets known to hold the
// window's bytes. A window that would start before the buffer is read from
// `head` instead: the buffer's first 8 bytes after 8 zero bytes, head
// pointing between them, so that every window is one load and no branch.
template <ColumnKernel Kernel, bool Little, class Element>
[[gnu::noinline]] void read_windows_at_offsets(const std::uint8_t* bytes, const std::uint8_t* head,
                                               const std::int64_t* offsets, std::size_t count,
                                               const Window window, Element* __restrict out) {
  for (std::size_t k = 0; k < count; ++k) {
    const std::uint64_t window_end = static_cast<std::uint64_t>(offsets[k]) + window.last;
    const std::uint8_t* const end = window_end >= 8 ? bytes + window_end : head + window_end;
    out[k] = from_pattern<Kernel, Element>(
        window_pattern<Little>(end, window.shift, window.low, window.byte_count), window.bits);
  }
}

// The common column: an unmirrored field of at most 8 bytes. Its bit
// offset within a byte is the same in every packet, so each value is one
// 8-byte load ending at the field's last byte, a shift and a mask (and a
// byte swap for a little-endian field).
template <ColumnKernel Kernel, bool Little, class Element>
std::optional<ColumnFailure> decode_windowed(ByteSpan buffer, const PacketStarts& starts,
                                             std::size_t begin, std::size_t end,
                                             const PlannedField& field, Element* out,
                                             std::span<std::uint8_t> mask) {
  const std::uint32_t bits = field.spec.bits;
  const std::uint64_t end_bit = field.position + bits;
  const std::uint64_t last = end_bit / 8 + (end_bit % 8 != 0);  // from the packet's start
  const Window window{last, static_cast<unsigned>(last * 8 - end_bit), low_mask(bits), bits,
                      (bits + 7) / 8};
  const std::uint8_t* const bytes = buffer.data();
  const std::uint64_t size = buffer.size();
  FieldScratch scratch;
  // Packets at a fixed stride that all hold the field: no bounds test per
  // packet, the window pointer just moves on by the stride. The first few
  // packets may start too close to the buffer's start for an 8-byte window.
  const std::uint64_t stride = starts.stride;
  if (starts.offsets == nullptr && starts.ends == nullptr && end > begin && stride <= size &&
      last <= size && (end - 1) <= (size - last) / stride) {
    std::size_t i = begin;
    for (; i < end && i * stride + last < 8; ++i) {
      out[i] = from_pattern<Kernel, Element>(
          pattern_at(buffer, i * stride * 8 + field.position, field.spec, scratch), bits);
    }
    if (i < end) {
      read_windows_at_stride<Kernel, Little>(bytes + i * stride + last, stride, end - i, window,
                                             out + i);
    }
    return std::nullopt;
  }
  if (last <= starts.shortest && starts.offsets != nullptr) {
    // Every packet holds the field: a window per packet, no bounds test.
    std::uint8_t padded[16] = {};
    if (size != 0) std::memcpy(padded + 8, bytes, std::min<std::uint64_t>(size, 8));
    read_windows_at_offsets<Kernel, Little>(bytes, padded + 8, starts.offsets + begin, end - begin,
                                            window, out + begin);
    return std::nullopt;
  }
  for (std::size_t i = begin; i < end; ++i) {
    const std::uint64_t start = starts[i];
    if (!inside(start, last, starts.limit(i, size))) {
      if (mask.empty()) return ColumnFailure{i, std::nullopt};
      mask[i] = 1;
      out[i] = Element{};
      continue;
    }
    const std::uint64_t window_end = start + last;
    const std::uint64_t pattern =
        window_end >= 8 ? window_pattern<Little>(bytes + window_end, window.shift, window.low,
                                                 window.byte_count)
                        : pattern_at(buffer, start * 8 + field.position, field.spec, scratch);
    out[i] = from_pattern<Kernel, Element>(pattern, bits);
  }
  return std::nullopt;
}

// Every other field: the field read and decoded as one packet would be.
template <ColumnKernel Kernel, class Element>
std::optional<ColumnFailure> decode_into(ByteSpan buffer, const PacketStarts& starts,
                                         std::size_t begin, std::size_t end,
                                         const PlannedField& field, Element* out,
                                         std::span<std::uint8_t> mask) {
  const FieldSpec& spec = field.spec;
  if constexpr (Kernel != ColumnKernel::RowDecoder) {
    const std::uint64_t first = field.position / 8;
    const std::uint64_t end_bit = field.position + spec.bits;
    const std::uint64_t last = end_bit / 8 + (end_bit % 8 != 0);
    if (spec.bits != 0 && spec.bits <= 64 && !spec.reverse_bits && last - first <= 8) {
      return spec.little_endian
                 ? decode_windowed<Kernel, true>(buffer, starts, begin, end, field, out, mask)
                 : decode_windowed<Kernel, false>(buffer, starts, begin, end, field, out, mask);
    }
  }
  const std::uint64_t needed = bytes_needed(field);
  FieldScratch scratch;
  for (std::size_t i = begin; i < end; ++i) {
    const std::uint64_t start = starts[i];
    if (!inside(start, needed, starts.limit(i, buffer.size()))) {
      if (mask.empty()) return ColumnFailure{i, std::nullopt};
      mask[i] = 1;
      out[i] = Element{};
      continue;
    }
    const std::uint64_t bit = start * 8 + field.position;
    if constexpr (Kernel != ColumnKernel::RowDecoder) {
      out[i] = from_pattern<Kernel, Element>(pattern_at(buffer, bit, spec, scratch), spec.bits);
    } else {
      const FieldInput input = read_field_input(buffer, bit, spec, scratch);
      struct NoText final : TextSink {
        void* allocate(std::size_t, char32_t) override { return nullptr; }
      } no_text;
      const Result<FieldValue> value = spec.row->decode(input, no_text);
      if (!value) {
        if (mask.empty()) return ColumnFailure{i, value.error()};
        mask[i] = 1;
        out[i] = Element{};
        continue;
      }
      out[i] = from_value<Element>(*value);
    }
  }
  return std::nullopt;
}

template <class Element>
std::optional<ColumnFailure> decode_typed(ByteSpan buffer, const PacketStarts& starts,
                                          std::size_t begin, std::size_t end,
                                          const PlannedField& field, void* column,
                                          std::span<std::uint8_t> mask) {
  auto* out = static_cast<Element*>(column);
  switch (field.spec.row->column_kernel) {
    case ColumnKernel::Unsigned:
      if constexpr (std::is_unsigned_v<Element>) {
        return decode_into<ColumnKernel::Unsigned>(buffer, starts, begin, end, field, out, mask);
      }
      break;
    case ColumnKernel::TwosComplement:
      if constexpr (std::is_signed_v<Element> && std::is_integral_v<Element>) {
        return decode_into<ColumnKernel::TwosComplement>(buffer, starts, begin, end, field, out,
                                                         mask);
      }
      break;
    case ColumnKernel::Binary16:
      if constexpr (std::is_same_v<Element, float>) {
        return decode_into<ColumnKernel::Binary16>(buffer, starts, begin, end, field, out, mask);
      }
      break;
    case ColumnKernel::Binary32:
      if constexpr (std::is_same_v<Element, float>) {
        return decode_into<ColumnKernel::Binary32>(buffer, starts, begin, end, field, out, mask);
      }
      break;
    case ColumnKernel::Binary64:
      if constexpr (std::is_same_v<Element, double>) {
        return decode_into<ColumnKernel::Binary64>(buffer, starts, begin, end, field, out, mask);
      }
      break;
    case ColumnKernel::RowDecoder: break;
  }
  return decode_into<ColumnKernel::RowDecoder>(buffer, starts, begin, end, field, out, mask);
}

// Values whose width is the element's and that start on a byte: a copy,
// byte-swapped when the stored order is not the machine's.
// Byte-swaps 16- or 32-bit lanes, 16 bytes at a time; a run of at least
// one vector ends with a vector that overlaps the one before, not a
// scalar tail, so that short runs (an array per packet) stay vectorised.
template <class Lane, class Element>
void copy_swapped_vectors(const std::uint8_t* source, std::uint64_t count, Element* out) {
  using Lanes [[gnu::vector_size(16)]] = Lane;
  constexpr std::uint64_t kLanes = 16 / sizeof(Lane);
  const auto swap_vector = [&](std::uint64_t k) {
    Lanes v;
    std::memcpy(&v, source + k * sizeof(Lane), 16);
    if constexpr (sizeof(Lane) == 2) {
      v = (v << 8) | (v >> 8);
    } else {
      v = (v >> 24) | ((v >> 8) & 0xFF00) | ((v << 8) & 0xFF0000) | (v << 24);
    }
    std::memcpy(out + k, &v, 16);
  };
  std::uint64_t k = 0;
  for (; k + kLanes <= count; k += kLanes) swap_vector(k);
  if (k == count) return;
  if (count >= kLanes) {
    swap_vector(count - kLanes);
    return;
  }
  for (; k < count; ++k) {
    Lane word;
    std::memcpy(&word, source + k * sizeof(Lane), sizeof(Lane));
    word = sizeof(Lane) == 2
               ? static_cast<Lane>(__builtin_bswap16(static_cast<std::uint16_t>(word)))
               : static_cast<Lane>(__builtin_bswap32(static_cast<std::uint32_t>(word)));
    std::memcpy(out + k, &word, sizeof(Lane));
  }
}

template <bool Swap, class Element>
void copy_aligned(const std::uint8_t* source, std::uint64_t count, Element* out) {
  if constexpr (Swap && (sizeof(Element) == 2 || sizeof(Element) == 4)) {
    using Lane = std::conditional_t<sizeof(Element) == 2, std::uint16_t, std::uint32_t>;
    copy_swapped_vectors<Lane>(source, count, out);
    return;
  }
  using Word = std::conditional_t<
      sizeof(Element) == 1, std::uint8_t,
      std::conditional_t<sizeof(Element) == 2, std::uint16_t,
                         std::conditional_t<sizeof(Element) == 4, std::uint32_t, std::uint64_t>>>;
  for (std::uint64_t k = 0; k < count; ++k) {
    Word word;
    std::memcpy(&word, source + k * sizeof(Word), sizeof(Word));
    if constexpr (sizeof(Word) == 2) {
      if (Swap) word = __builtin_bswap16(word);
    } else if constexpr (sizeof(Word) == 4) {
      if (Swap) word = __builtin_bswap32(word);
    } else if constexpr (sizeof(Word) == 8) {
      if (Swap) word = __builtin_bswap64(word);
    }
    out[k] = std::bit_cast<Element>(word);
  }
}

// `count` consecutive values of one packet.
template <ColumnKernel Kernel, class Element>
std::optional<ElementFailure> decode_run(ByteSpan buffer, std::uint64_t bit, std::uint64_t count,
                                         const PlannedField& field, Element* out) {
  const FieldSpec& spec = field.spec;
  const std::uint32_t bits = spec.bits;
  const std::uint8_t* const bytes = buffer.data();
  FieldScratch scratch;
  if constexpr (Kernel != ColumnKernel::RowDecoder) {
    if (field.shape.plain() && !spec.reverse_bits && bits == 8 * sizeof(Element) && bit % 8 == 0) {
      const bool swap = spec.little_endian != (std::endian::native == std::endian::little);
      if (swap) {
        copy_aligned<true>(bytes + bit / 8, count, out);
      } else {
        copy_aligned<false>(bytes + bit / 8, count, out);
      }
      return std::nullopt;
    }
    if (field.shape.plain() && !spec.little_endian && !spec.reverse_bits && bits != 0 &&
        bits <= 57) {
      // A value of at most 57 bits lies within the 8 bytes that end with
      // its last byte, whatever its bit offset.
      const std::uint64_t low = low_mask(bits);
      std::uint64_t k = 0;
      for (; k < count && (bit + (k + 1) * bits + 7) / 8 < 8; ++k) {
        out[k] = from_pattern<Kernel, Element>(read_field(bytes, bit + k * bits, bits), bits);
      }
      std::uint64_t end_bit = bit + (k + 1) * bits;
      for (; k < count; ++k, end_bit += bits) {
        const std::uint64_t last = (end_bit + 7) / 8;
        out[k] = from_pattern<Kernel, Element>(
            read_window(bytes + last, static_cast<unsigned>(last * 8 - end_bit), low), bits);
      }
      return std::nullopt;
    }
    if (bits <= 64) {
      for (std::uint64_t k = 0; k < count; ++k) {
        const std::uint64_t pattern =
            field.shape.plain() ? pattern_at(buffer, bit + k * bits, spec, scratch)
                                : read_shaped_pattern(bytes, bit + k * bits, spec, field.shape);
        out[k] = from_pattern<Kernel, Element>(pattern, bits);
      }
      return std::nullopt;
    }
  }
  struct NoText final : TextSink {
    void* allocate(std::size_t, char32_t) override { return nullptr; }
  } no_text;
  for (std::uint64_t k = 0; k < count; ++k) {
    const FieldInput input =
        read_shaped_input(buffer, bit + k * bits, spec, field.shape, scratch, true);
    const Result<FieldValue> value = spec.row->decode(input, no_text);
    if (!value) return ElementFailure{k, value.error()};
    out[k] = from_value<Element>(*value);
  }
  return std::nullopt;
}

template <class Element>
std::optional<ElementFailure> decode_run_typed(ByteSpan buffer, std::uint64_t bit,
                                               std::uint64_t count, const PlannedField& field,
                                               void* column) {
  auto* out = static_cast<Element*>(column);
  switch (field.spec.row->column_kernel) {
    case ColumnKernel::Unsigned:
      if constexpr (std::is_unsigned_v<Element>) {
        return decode_run<ColumnKernel::Unsigned>(buffer, bit, count, field, out);
      }
      break;
    case ColumnKernel::TwosComplement:
      if constexpr (std::is_signed_v<Element> && std::is_integral_v<Element>) {
        return decode_run<ColumnKernel::TwosComplement>(buffer, bit, count, field, out);
      }
      break;
    case ColumnKernel::Binary16:
      if constexpr (std::is_same_v<Element, float>) {
        return decode_run<ColumnKernel::Binary16>(buffer, bit, count, field, out);
      }
      break;
    case ColumnKernel::Binary32:
      if constexpr (std::is_same_v<Element, float>) {
        return decode_run<ColumnKernel::Binary32>(buffer, bit, count, field, out);
      }
      break;
    case ColumnKernel::Binary64:
      if constexpr (std::is_same_v<Element, double>) {
        return decode_run<ColumnKernel::Binary64>(buffer, bit, count, field, out);
      }
      break;
    case ColumnKernel::RowDecoder: break;
  }
  return decode_run<ColumnKernel::RowDecoder>(buffer, bit, count, field, out);
}

}  // namespace

void measure_shortest(PacketStarts& starts, std::uint64_t buffer_size) {
  std::uint64_t shortest = ~std::uint64_t{0};
  for (std::size_t i = 0; i < starts.count; ++i) {
    const std::uint64_t start = starts[i];
    const std::uint64_t limit = starts.limit(i, buffer_size);
    shortest = std::min(shortest, start <= limit ? limit - start : 0);
  }
  starts.shortest = starts.count == 0 ? 0 : shortest;
}

bool column_never_fails(const PacketStarts& starts, const PlannedField& field) {
  const FieldSpec& spec = field.spec;
  return starts.offsets != nullptr && spec.row->column_kernel != ColumnKernel::RowDecoder &&
         field.shape.plain() && spec.bits != 0 && spec.bits <= 64 &&
         bytes_needed(field) <= starts.shortest;
}

ColumnType column_type_of(const FieldSpec& field) {
  switch (field.row->value_kind) {
    case ValueKind::Unsigned: return integer_column(field.bits, false);
    case ValueKind::Signed: return integer_column(field.bits, true);
    case ValueKind::Real32: return ColumnType::F32;
    case ValueKind::Real64:
    case ValueKind::NotPackable: return ColumnType::F64;
    case ValueKind::Text: break;
  }
  return ColumnType::Text;
}

std::optional<ColumnFailure> decode_column(ByteSpan buffer, const PacketStarts& starts,
                                           std::size_t begin, std::size_t end,
                                           const PlannedField& field, void* column,
                                           std::span<std::uint8_t> mask) {
  // Text columns are built by the caller, with the interpreter.
  return with_element_type(
      column_type_of(field.spec),
      [&](auto element) {
        return decode_typed<decltype(element)>(buffer, starts, begin, end, field, column, mask);
      },
      [] { return std::optional<ColumnFailure>(); });
}

namespace {

// The packets' runs of one field, each decoded by `run(bit, count, out)`.
// `Variable`: the runs have counts and first values of their own (a
// variable array); otherwise every packet has fixed_count values at
// i * fixed_count.
template <bool Variable, class Element, class Run>
std::optional<ColumnFailure> decode_runs_in(ByteSpan buffer, const PacketStarts& starts,
                                            std::size_t begin, std::size_t end,
                                            const PlannedField& field, const PacketRuns& runs,
                                            Element* out, std::span<std::uint8_t> mask,
                                            const Run& run) {
  static constexpr std::uint64_t kNoBase = 0;
  const std::uint64_t* const bases = runs.bases != nullptr ? runs.bases : &kNoBase;
  const std::size_t stride = runs.bases != nullptr ? runs.stride : 0;
  const std::uint64_t size = buffer.size();
  const std::uint64_t first_bit = field.first_bit();
  const std::uint64_t position = field.position;
  for (std::size_t i = begin; i < end; ++i) {
    const std::uint64_t base = bases[i * stride];
    std::uint64_t count = runs.fixed_count;
    Element* values = out + (i * count - runs.origin);
    bool placed = base != Plan::kUnplaced;
    if constexpr (Variable) {
      count = runs.counts[i * runs.counts_stride];
      values = out + (static_cast<std::uint64_t>(runs.first_values[i]) - runs.origin);
      placed = placed && runs.array_ends[i * runs.stride] != Plan::kUnplaced;
    }
    if (placed) [[likely]] {
      const std::uint64_t start = starts[i];
      const std::uint64_t limit = starts.limit(i, size);
      std::uint64_t first = 0, last = 0;
      const bool outside = start > limit || __builtin_add_overflow(base, first_bit, &first) ||
                           __builtin_add_overflow(first, field.extent_bits(count), &last) ||
                           last > (limit - start) * 8;
      if (!outside) [[likely]] {
        auto failure = run(start * 8 + base + position, count, values);
        if (!failure) [[likely]]
          continue;
        if (mask.empty()) return ColumnFailure{i, std::move(failure->error)};
      } else if (mask.empty()) {
        return ColumnFailure{i, std::nullopt};
      }
    } else if (mask.empty()) {
      return ColumnFailure{i, std::nullopt, true};
    }
    mask[i] = 1;
    std::fill(values, values + count, Element{});
  }
  return std::nullopt;
}

template <class Element, class Run>
std::optional<ColumnFailure> decode_runs_with(ByteSpan buffer, const PacketStarts& starts,
                                              std::size_t begin, std::size_t end,
                                              const PlannedField& field, const PacketRuns& runs,
                                              Element* out, std::span<std::uint8_t> mask,
                                              const Run& run) {
  return runs.counts != nullptr
             ? decode_runs_in<true>(buffer, starts, begin, end, field, runs, out, mask, run)
             : decode_runs_in<false>(buffer, starts, begin, end, field, runs, out, mask, run);
}

template <ColumnKernel Kernel, class Element>
std::optional<ColumnFailure> decode_runs_kernel(ByteSpan buffer, const PacketStarts& starts,
                                                std::size_t begin, std::size_t end,
                                                const PlannedField& field, const PacketRuns& runs,
                                                Element* out, std::span<std::uint8_t> mask) {
  const FieldSpec& spec = field.spec;
  if constexpr (Kernel != ColumnKernel::RowDecoder) {
    // Values of the element's own width: a copy, byte-swapped where the
    // order differs, wherever a run starts on a byte.
    if (field.shape.plain() && !spec.reverse_bits && spec.bits == 8 * sizeof(Element)) {
      const auto copy = [&](std::uint64_t bit, std::uint64_t count, Element* values) {
        if (bit % 8 != 0) [[unlikely]] {
          return decode_run<Kernel>(buffer, bit, count, field, values);
        }
        if (spec.little_endian != (std::endian::native == std::endian::little)) {
          copy_aligned<true>(buffer.data() + bit / 8, count, values);
        } else {
          copy_aligned<false>(buffer.data() + bit / 8, count, values);
        }
        return std::optional<ElementFailure>{};
      };
      return decode_runs_with(buffer, starts, begin, end, field, runs, out, mask, copy);
    }
  }
  if constexpr (Kernel != ColumnKernel::RowDecoder) {
    // One value per packet (a field after a variable array): read inline.
    if (field.shape.plain() && field.shape.kind == CountKind::Single && spec.bits != 0 &&
        spec.bits <= 64) {
      const auto read_one = [&](std::uint64_t bit, std::uint64_t, Element* values) {
        values[0] =
            from_pattern<Kernel, Element>(read_plain_pattern(buffer.data(), bit, spec), spec.bits);
        return std::optional<ElementFailure>{};
      };
      return decode_runs_with(buffer, starts, begin, end, field, runs, out, mask, read_one);
    }
  }
  const auto decode = [&](std::uint64_t bit, std::uint64_t count, Element* values) {
    return decode_run<Kernel>(buffer, bit, count, field, values);
  };
  return decode_runs_with(buffer, starts, begin, end, field, runs, out, mask, decode);
}

template <class Element>
std::optional<ColumnFailure> decode_runs_typed(ByteSpan buffer, const PacketStarts& starts,
                                               std::size_t begin, std::size_t end,
                                               const PlannedField& field, const PacketRuns& runs,
                                               void* column, std::span<std::uint8_t> mask) {
  auto* out = static_cast<Element*>(column);
  switch (field.spec.row->column_kernel) {
    case ColumnKernel::Unsigned:
      if constexpr (std::is_unsigned_v<Element>) {
        return decode_runs_kernel<ColumnKernel::Unsigned>(buffer, starts, begin, end, field, runs,
                                                          out, mask);
      }
      break;
    case ColumnKernel::TwosComplement:
      if constexpr (std::is_signed_v<Element> && std::is_integral_v<Element>) {
        return decode_runs_kernel<ColumnKernel::TwosComplement>(buffer, starts, begin, end, field,
                                                                runs, out, mask);
      }
      break;
    case ColumnKernel::Binary16:
      if constexpr (std::is_same_v<Element, float>) {
        return decode_runs_kernel<ColumnKernel::Binary16>(buffer, starts, begin, end, field, runs,
                                                          out, mask);
      }
      break;
    case ColumnKernel::Binary32:
      if constexpr (std::is_same_v<Element, float>) {
        return decode_runs_kernel<ColumnKernel::Binary32>(buffer, starts, begin, end, field, runs,
                                                          out, mask);
      }
      break;
    case ColumnKernel::Binary64:
      if constexpr (std::is_same_v<Element, double>) {
        return decode_runs_kernel<ColumnKernel::Binary64>(buffer, starts, begin, end, field, runs,
                                                          out, mask);
      }
      break;
    case ColumnKernel::RowDecoder: break;
  }
  return decode_runs_kernel<ColumnKernel::RowDecoder>(buffer, starts, begin, end, field, runs, out,
                                                      mask);
}

}  // namespace

std::optional<ColumnFailure> decode_runs(ByteSpan buffer, const PacketStarts& starts,
                                         std::size_t begin, std::size_t end,
                                         const PlannedField& field, const PacketRuns& runs,
                                         void* column, std::span<std::uint8_t> mask) {
  return with_element_type(
      column_type_of(field.spec),
      [&](auto element) {
        return decode_runs_typed<decltype(element)>(buffer, starts, begin, end, field, runs, column,
                                                    mask);
      },
      [] { return std::optional<ColumnFailure>(); });
}

std::optional<ElementFailure> decode_elements(ByteSpan buffer, std::uint64_t bit,
                                              std::uint64_t count, const PlannedField& field,
                                              void* out) {
  return with_element_type(
      column_type_of(field.spec),
      [&](auto element) {
        return decode_run_typed<decltype(element)>(buffer, bit, count, field, out);
      },
      [] { return std::optional<ElementFailure>(); });
}

}  // namespace vantrel
