// Decoding one field of many packets into a typed column: the loop that
// turns an archive into arrays. Plain C++ over the buffer, so the caller can
// run it without the interpreter lock.
#pragma once

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <vector>

#include "common/error.hpp"
#include "layout/plan.hpp"

namespace vantrel {

// The element type of a field's column: the smallest integer that holds
// every value of the field's width (signed for the signed encodings), single
// precision for binary16 and binary32, double for the rest, and interpreter
// strings for text.
enum class ColumnType : std::uint8_t { U8, U16, U32, U64, I8, I16, I32, I64, F32, F64, Text };

ColumnType column_type_of(const FieldSpec& field);

// What each output needs of a column type: one row per type, in enum order.
struct ColumnTypeRow {
  const char* dtype;         // numpy's name
  const char* arrow_format;  // Arrow's format; text's depends on its offsets
  std::uint8_t item_size;    // bytes per value (text: one object pointer)
  bool is_signed;            // a signed integer
};

inline constexpr ColumnTypeRow kColumnTypes[] = {
    {"uint8", "C", 1, false},   {"uint16", "S", 2, false},    {"uint32", "I", 4, false},
    {"uint64", "L", 8, false},  {"int8", "c", 1, true},       {"int16", "s", 2, true},
    {"int32", "i", 4, true},    {"int64", "l", 8, true},      {"float32", "f", 4, false},
    {"float64", "g", 8, false}, {"object", nullptr, 8, false}};
static_assert(std::size(kColumnTypes) == static_cast<std::size_t>(ColumnType::Text) + 1);

inline const ColumnTypeRow& column_type_row(ColumnType type) {
  return kColumnTypes[static_cast<std::size_t>(type)];
}
inline std::size_t column_item_size(ColumnType type) { return column_type_row(type).item_size; }

// Runs the kernel instantiated for a numeric column's element type:
// `kernel(T{})`, T from uint8_t to double; `text()` for a text column. The
// one place that turns a column type into a C++ type.
template <class Kernel, class Text>
decltype(auto) with_element_type(ColumnType type, Kernel&& kernel, Text&& text) {
  switch (type) {
    case ColumnType::U8: return kernel(std::uint8_t{});
    case ColumnType::U16: return kernel(std::uint16_t{});
    case ColumnType::U32: return kernel(std::uint32_t{});
    case ColumnType::U64: return kernel(std::uint64_t{});
    case ColumnType::I8: return kernel(std::int8_t{});
    case ColumnType::I16: return kernel(std::int16_t{});
    case ColumnType::I32: return kernel(std::int32_t{});
    case ColumnType::I64: return kernel(std::int64_t{});
    case ColumnType::F32: return kernel(float{});
    case ColumnType::F64: return kernel(double{});
    case ColumnType::Text: break;
  }
  return text();
}

// Where packet i starts, in bytes: offsets[i], or i * stride; and where it
// ends: ends[i] (never past the buffer's end), or the buffer's end when
// the packets' lengths are not known.
struct PacketStarts {
  const std::int64_t* offsets = nullptr;
  std::uint64_t stride = 0;
  std::size_t count = 0;
  const std::uint64_t* ends = nullptr;
  // Every packet holds at least this many bytes from its start, so fields
  // that end within them need no bounds test per packet (0: unknown).
  std::uint64_t shortest = 0;
  // The packets, ascending, whose own length (or given length) runs past
  // the buffer: cut short, so every field of them fails. The kernels read
  // them up to `ends` like the others; the column builders mask them
  // afterwards (mask_cut_packets), and errors="raise" never decodes them.
  std::span<const std::size_t> cut;

  std::uint64_t operator[](std::size_t i) const {
    return offsets != nullptr ? static_cast<std::uint64_t>(offsets[i]) : i * stride;
  }
  // The bytes packet i may be read from: up to its end, or the buffer's.
  std::uint64_t limit(std::size_t i, std::uint64_t buffer_size) const {
    return ends != nullptr ? ends[i] : buffer_size;
  }
};

// Marks every cut packet as failed in a column's mask (one byte per packet).
inline void mask_cut_packets(const PacketStarts& starts, std::span<std::uint8_t> mask) {
  for (const std::size_t i : starts.cut) {
    if (i < mask.size()) mask[i] = 1;
  }
}

// Sets starts.shortest: the fewest bytes any packet holds up to its limit.
void measure_shortest(PacketStarts& starts, std::uint64_t buffer_size);

// The bytes a field needs from its packet's start: up to its last byte, or
// only its start byte when it has no width.
inline std::uint64_t bytes_needed(const PlannedField& field) {
  const std::uint64_t end = field.position + field.spec.bits;
  return field.spec.bits == 0 ? field.position / 8 : end / 8 + (end % 8 != 0);
}

// Whether a packet starting at byte `start` of a buffer of `size` bytes
// holds `needed` bytes.
inline bool inside(std::uint64_t start, std::uint64_t needed, std::uint64_t size) {
  return start <= size && needed <= size - start;
}

// Where packet i's field starts, as an absolute bit of a buffer of
// `buffer_size` bytes, for a field at a fixed place: nullopt when the
// packet does not hold it.
inline auto fixed_field_bit(std::uint64_t buffer_size, const PacketStarts& starts,
                            const PlannedField& field) {
  return [buffer_size, &starts, &field,
          needed = bytes_needed(field)](std::size_t i) -> std::optional<std::uint64_t> {
    const std::uint64_t start = starts[i];
    if (!inside(start, needed, starts.limit(i, buffer_size))) return std::nullopt;
    return start * 8 + field.position;
  };
}

// Whether decode_column can fail in none of the packets `starts` places:
// the field's kernel takes every pattern as a value, and every packet (at
// offsets, PacketStarts::shortest) holds the field. Such a column needs no
// mask of its own under errors="mask".
bool column_never_fails(const PacketStarts& starts, const PlannedField& field);

// Packets decoded per block, when every column of a block takes its values
// in turn: few enough that the block's bytes are still in the core's cache
// for the columns after the first.
inline std::size_t packets_per_block(const PacketStarts& starts, std::uint64_t buffer_size) {
  constexpr std::uint64_t kBlockBytes = 16 * 1024;
  const std::uint64_t packet_bytes =
      starts.offsets == nullptr ? starts.stride : buffer_size / (starts.count + 1);
  return static_cast<std::size_t>(
      std::max<std::uint64_t>(64, kBlockBytes / std::max<std::uint64_t>(packet_bytes, 64)));
}

// The first failure of a column: its packet, and the decoder's error, or
// none for a packet that does not hold the field.
struct ColumnFailure {
  std::size_t packet;
  std::optional<Error> error;
  bool unplaced = false;
};

// Decodes the numeric field `field` of packets [begin, end) into those
// elements of `column` (an array of column_type_of(field)). With `mask` empty it stops at the first
// failure and returns it; otherwise it sets mask[i] for every packet that
// fails, writes 0 there, and goes on.
std::optional<ColumnFailure> decode_column(ByteSpan buffer, const PacketStarts& starts,
                                           std::size_t begin, std::size_t end,
                                           const PlannedField& field, void* column,
                                           std::span<std::uint8_t> mask);

// Decodes `count` consecutive values of the numeric field `field` (plain or
// shaped), the first at absolute bit `bit` of `buffer`, into out[0, count)
// (an array of column_type_of(field.spec)). The caller has checked the
// bounds. Returns the decoder's error of the first value that fails, with
// its index; the values from there on are not written.
struct ElementFailure {
  std::uint64_t index;
  Error error;
};
std::optional<ElementFailure> decode_elements(ByteSpan buffer, std::uint64_t bit,
                                              std::uint64_t count, const PlannedField& field,
                                              void* out);

// Where each packet's values of one field lie when that varies from packet
// to packet (a field after a variable array, an array): arrays of the
// packets' segment starts and value counts, read at i * stride.
struct PacketRuns {
  // The start of the field's segment, in bits from the packet's start, or
  // Plan::kUnplaced where it could not be placed. Null: 0 in every packet.
  const std::uint64_t* bases = nullptr;
  // A variable array's own end, Plan::kUnplaced where its count failed.
  const std::uint64_t* array_ends = nullptr;
  std::size_t stride = 0;
  // The values per packet; null: fixed_count in every packet.
  const std::uint64_t* counts = nullptr;
  std::size_t counts_stride = 0;
  std::uint64_t fixed_count = 1;
  // Packet i's first element in the column; null: i * fixed_count.
  const std::int64_t* first_values = nullptr;
  // The element that column[0] holds: 0 for a whole column, a block's first
  // element when the column is that block's scratch.
  std::uint64_t origin = 0;
};

// decode_column for runs placed per packet: packet i's values go to
// column[first_values[i] - origin, + counts[i]). A packet that fails, is unplaced or
// runs past its end is masked with zeros, or ends the decode (with
// `unplaced` set when the placing already failed).
std::optional<ColumnFailure> decode_runs(ByteSpan buffer, const PacketStarts& starts,
                                         std::size_t begin, std::size_t end,
                                         const PlannedField& field, const PacketRuns& runs,
                                         void* column, std::span<std::uint8_t> mask);

}  // namespace vantrel
