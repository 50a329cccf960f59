// Conversions between binary32 and binary64 on bit patterns. A hardware
// conversion follows the caller's floating-point environment: MXCSR's
// denormals-are-zero flushes binary32 subnormal inputs (widening included),
// flush-to-zero flushes subnormal results, and the rounding mode set by
// fesetround moves ties and inexact results. Another library in the process
// may have set any of them, so these work in integers: exact widening, and
// narrowing always to nearest, ties to even.
#pragma once

#include <bit>
#include <cstdint>

namespace vantrel {

// Nearest binary32, ties to even. Beyond FLT_MAX, values below the halfway
// point to 2^128 give FLT_MAX and the rest infinities; values up to 2^-150
// give signed zeros. A NaN keeps its sign and the top 22 bits of its payload
// and is quieted, as the processor's conversion does.
inline float binary32_from_double(double value) {
  const std::uint64_t bits = std::bit_cast<std::uint64_t>(value);
  const auto sign = static_cast<std::uint32_t>(bits >> 32) & 0x80000000u;
  const std::uint64_t magnitude = bits & 0x7FFFFFFFFFFFFFFFu;

  if (magnitude >= 0x3810000000000000u) {   // 2^-126 and above: normal or beyond
    if (magnitude > 0x7FF0000000000000u) {  // NaN
      const auto payload = static_cast<std::uint32_t>(magnitude >> 29) & 0x7FFFFFu;
      return std::bit_cast<float>(sign | 0x7FC00000u | payload);
    }
    // Rebias the exponent (1023 -> 127), then round the 29 dropped fraction
    // bits to nearest even. A carry runs on into the exponent; from the
    // halfway point below 2^128 it reaches the infinity pattern, and anything
    // beyond (infinity included) is clamped to it.
    const std::uint64_t rebiased = magnitude - 0x3800000000000000u;
    const std::uint64_t rounded = (rebiased + 0x0FFFFFFFu + ((rebiased >> 29) & 1u)) >> 29;
    const auto pattern = rounded < 0x7F800000u ? static_cast<std::uint32_t>(rounded) : 0x7F800000u;
    return std::bit_cast<float>(sign | pattern);
  }
  if (magnitude >= 0x3690000000000000u) {  // 2^-150 up to 2^-126: subnormal
    // Units of 2^-149: the significand shifted right by 30 (for 2^-127) up to
    // 53 (for 2^-150), rounded to nearest even; a carry may reach the
    // smallest normal, whose pattern follows the largest subnormal's.
    const auto exponent = static_cast<std::uint32_t>(magnitude >> 52);
    const std::uint64_t significand = (magnitude & 0xFFFFFFFFFFFFFu) | 0x10000000000000u;
    const std::uint32_t shift = 926u - exponent;
    const std::uint64_t kept = significand >> shift;
    const std::uint64_t dropped = significand & ((std::uint64_t{1} << shift) - 1u);
    const std::uint64_t half = std::uint64_t{1} << (shift - 1u);
    const std::uint64_t round_up = dropped > half || (dropped == half && (kept & 1u) != 0);
    return std::bit_cast<float>(sign | static_cast<std::uint32_t>(kept + round_up));
  }
  return std::bit_cast<float>(sign);  // below 2^-150 (or exactly it, a tie to even): zero
}

// Exact widening of a binary32 pattern. A NaN keeps its sign and payload
// (moved to the top of the fraction) and is quieted, as the processor's
// conversion does.
inline double binary64_from_binary32(std::uint32_t bits) {
  const std::uint64_t sign = static_cast<std::uint64_t>(bits >> 31) << 63;
  const std::uint32_t exponent = (bits >> 23) & 0xFFu;
  const std::uint64_t fraction = bits & 0x7FFFFFu;

  std::uint64_t wide;
  if (exponent == 0xFF) {
    wide = fraction == 0 ? 0x7FF0000000000000u : 0x7FF8000000000000u | (fraction << 29);
  } else if (exponent != 0) {
    wide = (static_cast<std::uint64_t>(exponent + 896u) << 52) | (fraction << 29);
  } else if (fraction == 0) {
    wide = 0;
  } else {
    // Subnormal: fraction x 2^-149, normal in binary64. Leading one at `top`.
    const auto top = static_cast<std::uint64_t>(std::bit_width(fraction)) - 1u;
    wide = ((top + 874u) << 52) | ((fraction << (52u - top)) & 0xFFFFFFFFFFFFFu);
  }
  return std::bit_cast<double>(sign | wide);
}

inline double binary64_from_binary32(float value) {
  return binary64_from_binary32(std::bit_cast<std::uint32_t>(value));
}

}  // namespace vantrel
