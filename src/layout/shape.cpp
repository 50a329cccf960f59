#include "layout/shape.hpp"

#include "common/bits.hpp"
#include "common/packet_bits.hpp"

namespace vantrel {

namespace {

// The stored bytes of a permuted field (its pattern as read, big-endian)
// put back in order of significance.
std::uint64_t unpermute(std::uint64_t stored, const FieldShape& shape) {
  const unsigned size = shape.permuted_bytes;
  std::uint64_t pattern = 0;
  for (unsigned j = 0; j < size; ++j) {
    const std::uint64_t byte = (stored >> (8 * (size - 1 - j))) & 0xFF;
    pattern |= byte << (8 * (size - 1 - shape.permutation[j]));
  }
  return pattern;
}

std::uint64_t permute(std::uint64_t pattern, const FieldShape& shape) {
  const unsigned size = shape.permuted_bytes;
  std::uint64_t stored = 0;
  for (unsigned j = 0; j < size; ++j) {
    const std::uint64_t byte = (pattern >> (8 * (size - 1 - shape.permutation[j]))) & 0xFF;
    stored |= byte << (8 * (size - 1 - j));
  }
  return stored;
}

std::uint64_t read_word(const std::uint8_t* buffer, std::uint64_t word_bit, unsigned word_bits) {
  return reverse_low_bytes(read_field(buffer, word_bit, word_bits), word_bits / 8);
}

}  // namespace

std::uint64_t read_shaped_pattern(const std::uint8_t* buffer, std::uint64_t bit,
                                  const FieldSpec& spec, const FieldShape& shape) {
  const std::uint32_t bits = spec.bits;
  std::uint64_t pattern = 0;
  if (shape.word_bits != 0) {
    const std::uint64_t word = read_word(buffer, bit - shape.word_offset, shape.word_bits);
    pattern = word >> (shape.word_bits - shape.word_offset - bits);
  } else if (shape.permuted_bytes != 0) {
    pattern = unpermute(read_field(buffer, bit, bits), shape);
  } else {
    return read_plain_pattern(buffer, bit, spec);
  }
  return spec.reverse_bits ? mirror_low_bits(pattern, bits) : pattern & low_mask(bits);
}

void place_shaped_pattern(std::span<std::uint8_t> packet, std::uint64_t bit, const FieldSpec& spec,
                          const FieldShape& shape, std::uint64_t pattern) {
  const std::uint32_t bits = spec.bits;
  if (shape.plain()) {
    place_pattern(packet, bit, spec, pattern);
    return;
  }
  if (spec.reverse_bits) pattern = mirror_low_bits(pattern, bits);
  pattern &= low_mask(bits);
  if (shape.word_bits != 0) {
    const unsigned word_bits = shape.word_bits;
    const std::uint64_t word_bit = bit - shape.word_offset;
    const unsigned shift = word_bits - shape.word_offset - bits;
    std::uint64_t word = read_word(packet.data(), word_bit, word_bits);
    word = (word & ~(low_mask(bits) << shift)) | (pattern << shift);
    write_field(packet.data(), packet.size(), word_bit, reverse_low_bytes(word, word_bits / 8),
                word_bits);
    return;
  }
  write_field(packet.data(), packet.size(), bit, permute(pattern, shape), bits);
}

FieldInput read_shaped_input(ByteSpan buffer, std::uint64_t bit, const FieldSpec& spec,
                             const FieldShape& shape, FieldScratch& scratch, bool borrow_text) {
  if (shape.plain()) return read_field_input(buffer, bit, spec, scratch, borrow_text);
  FieldInput input;
  input.bits = spec.bits;
  input.pattern = read_shaped_pattern(buffer.data(), bit, spec, shape);
  return input;
}

}  // namespace vantrel
