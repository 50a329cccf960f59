// Sign-magnitude, ones' complement and two's complement decoders. They never
// fail; a zero-width field reads as 0.
#include "common/bits.hpp"
#include "decoder/decoders.hpp"

namespace vantrel {

std::int64_t decode_sign_magnitude(std::uint64_t pattern, std::uint32_t bits) {
  if (bits == 0) return 0;
  if (bits > 64) bits = 64;  // wider fields are read as their 64-bit pattern
  const std::uint64_t magnitude = pattern & low_mask(bits - 1);
  const bool negative = ((pattern >> (bits - 1)) & 1) != 0;
  // The magnitude has at most 63 bits, so it fits the signed result.
  const auto value = static_cast<std::int64_t>(magnitude);
  return negative ? -value : value;
}

std::int64_t decode_ones_complement(std::uint64_t pattern, std::uint32_t bits) {
  if (bits == 0) return 0;
  if (bits >= 64) {
    const auto value = static_cast<std::int64_t>(pattern);
    return value < 0 ? value + 1 : value;
  }
  if (((pattern >> (bits - 1)) & 1) != 0) {
    return static_cast<std::int64_t>(pattern - low_mask(bits));
  }
  return static_cast<std::int64_t>(pattern);
}

std::int64_t decode_twos_complement(std::uint64_t pattern, std::uint32_t bits) {
  if (bits == 0) return 0;
  if (bits >= 64) return static_cast<std::int64_t>(pattern);
  if (((pattern >> (bits - 1)) & 1) != 0) {
    // (pattern mod 2^w) - 2^w, in wrapping unsigned arithmetic: 2^63 has no
    // signed 64-bit form.
    return static_cast<std::int64_t>((pattern & low_mask(bits)) - (std::uint64_t{1} << bits));
  }
  return static_cast<std::int64_t>(pattern);
}

}  // namespace vantrel
