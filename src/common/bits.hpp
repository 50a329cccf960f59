// Bit-level helpers on right-aligned patterns.
#pragma once

#include <cstdint>

namespace vantrel {

// The low `bits` bits set (all 64 for bits >= 64).
constexpr std::uint64_t low_mask(std::uint32_t bits) {
  return bits >= 64 ? ~std::uint64_t{0} : (std::uint64_t{1} << bits) - 1;
}

// Magnitude of a signed value as unsigned, without overflow for INT64_MIN.
constexpr std::uint64_t magnitude_of(std::int64_t value) {
  return value < 0 ? std::uint64_t{0} - static_cast<std::uint64_t>(value)
                   : static_cast<std::uint64_t>(value);
}

// Mirrors the low `bits` bits (bits <= 64): bit i moves to bit bits-1-i;
// everything above is dropped.
constexpr std::uint64_t mirror_low_bits(std::uint64_t pattern, std::uint32_t bits) {
  if (bits == 0) return 0;
  std::uint64_t x = pattern;
  x = ((x >> 1) & 0x5555555555555555ULL) | ((x & 0x5555555555555555ULL) << 1);
  x = ((x >> 2) & 0x3333333333333333ULL) | ((x & 0x3333333333333333ULL) << 2);
  x = ((x >> 4) & 0x0F0F0F0F0F0F0F0FULL) | ((x & 0x0F0F0F0F0F0F0F0FULL) << 4);
  x = __builtin_bswap64(x);
  return x >> (64 - bits);
}

}  // namespace vantrel
