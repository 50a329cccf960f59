// Decoding one field of many packets into a typed column: the loop that
// turns an archive into arrays. Plain C++ over the buffer, so the caller can
// run it without the interpreter lock.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <vector>

#include "common/error.hpp"
#include "placement/plan.hpp"

namespace vantrel {

// The element type of a field's column: the smallest integer that holds
// every value of the field's width (signed for the signed encodings), single
// precision for binary16 and binary32, double for the rest, and interpreter
// strings for text.
enum class ColumnType : std::uint8_t { U8, U16, U32, U64, I8, I16, I32, I64, F32, F64, Text };

ColumnType column_type_of(const FieldSpec& field);
std::size_t column_item_size(ColumnType type);

// Where packet i starts, in bytes: offsets[i], or i * stride; and where it
// ends: ends[i] (never past the buffer's end), or the buffer's end when
// the packets' lengths are not known.
struct PacketStarts {
  const std::int64_t* offsets = nullptr;
  std::uint64_t stride = 0;
  std::size_t count = 0;
  const std::uint64_t* ends = nullptr;

  std::uint64_t operator[](std::size_t i) const {
    return offsets != nullptr ? static_cast<std::uint64_t>(offsets[i]) : i * stride;
  }
  // The bytes packet i may be read from: up to its end, or the buffer's.
  std::uint64_t limit(std::size_t i, std::uint64_t buffer_size) const {
    return ends != nullptr ? ends[i] : buffer_size;
  }
};

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

// The first failure of a column: its packet, and the decoder's error, or
// none for a packet that does not hold the field.
struct ColumnFailure {
  std::size_t packet;
  std::optional<Error> error;
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

}  // namespace vantrel
