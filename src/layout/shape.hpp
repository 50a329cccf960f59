// What a layout field may say beyond a single value at a position: how many
// values it holds (a fixed number, the value of an earlier field, or as many
// as the rest of the packet holds), and byte orders that are neither big nor
// little endian. Plain C++, read by the plan and the column kernels.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>

#include "common/bits.hpp"
#include "common/packet_bits.hpp"
#include "common/types.hpp"
#include "layout/field_io.hpp"

namespace vantrel {

enum class CountKind : std::uint8_t {
  Single,   // one value: the field the packet functions know
  Fixed,    // `fixed` values
  Counted,  // as many values as the earlier field `count_item` holds
  Rest,     // as many whole values as the rest of the packet holds
};

struct FieldShape {
  CountKind kind = CountKind::Single;
  std::uint64_t fixed = 0;
  std::size_t count_item = 0;
  // A byte order given as a permutation: stored byte j is byte permutation[j]
  // (0 = most significant) of the field's big-endian pattern. 0 bytes: none.
  std::uint8_t permuted_bytes = 0;
  std::array<std::uint8_t, 8> permutation{};
  // 16 or 32: the field is a bit field of a word stored little-endian; its
  // position, taken within its word, counts from the word's most significant
  // bit. 0: an ordinary field.
  std::uint8_t word_bits = 0;
  std::uint8_t word_offset = 0;  // the field's first bit within its word
  // Where the field's word starts, when its recipe item says so; otherwise
  // the plan finds it from the fields before.
  std::optional<std::uint64_t> word_start;

  bool is_array() const { return kind != CountKind::Single; }
  bool is_variable() const { return kind == CountKind::Counted || kind == CountKind::Rest; }
  // Whether the field is read by the plain readers of field_io (any byte
  // order they know, no permutation, no word).
  bool plain() const { return permuted_bytes == 0 && word_bits == 0; }
  bool operator==(const FieldShape&) const = default;
};

// read_shaped_pattern of a plain field, inline for the loops over packets.
[[gnu::always_inline]] inline std::uint64_t read_plain_pattern(const std::uint8_t* buffer,
                                                               std::uint64_t bit,
                                                               const FieldSpec& spec) {
  const std::uint32_t bits = spec.bits;
  std::uint64_t pattern = read_field(buffer, bit, bits);
  if (spec.little_endian) pattern = reverse_low_bytes(pattern, (bits + 7) / 8);
  return spec.reverse_bits ? mirror_low_bits(pattern, bits) : pattern & low_mask(bits);
}

// The pattern of one value of a numeric field of at most 64 bits at absolute
// bit `bit` (bounds checked by the caller), as read_field_input would make it
// for a plain field, with a permuted byte order or a word undone first.
std::uint64_t read_shaped_pattern(const std::uint8_t* buffer, std::uint64_t bit,
                                  const FieldSpec& spec, const FieldShape& shape);

// Writes one numeric value's pattern the way read_shaped_pattern reads it.
void place_shaped_pattern(std::span<std::uint8_t> packet, std::uint64_t bit, const FieldSpec& spec,
                          const FieldShape& shape, std::uint64_t pattern);

// The decoder's input for one value of any field (text included), shaped or not.
// Text is borrowed from the buffer only when `borrow_text` allows it, as
// read_field_input does.
FieldInput read_shaped_input(ByteSpan buffer, std::uint64_t bit, const FieldSpec& spec,
                             const FieldShape& shape, FieldScratch& scratch, bool borrow_text);

}  // namespace vantrel
