// IEEE 754 decoders, and the formats that have no decoder yet.
#include <bit>

#include "common/binary16.hpp"
#include "common/binary32.hpp"
#include "decoder/decoders.hpp"

namespace vantrel {

float decode_ieee754_f16(std::uint64_t pattern) {
  return binary16_to_float(static_cast<std::uint16_t>(pattern));
}

double decode_ieee754_f32(std::uint64_t pattern) {
  return binary64_from_binary32(static_cast<std::uint32_t>(pattern));
}

double decode_ieee754_f64(std::uint64_t pattern) { return std::bit_cast<double>(pattern); }

double decode_ieee754_f128(U128 pattern) {
  constexpr std::uint64_t kPositiveQuietNan = 0x7FF8000000000000u;
  constexpr std::uint64_t kInfinity = 0x7FF0000000000000u;
  constexpr std::uint32_t kMaxExponent = 0x7FFF;
  constexpr std::uint32_t kBias128 = 16383;
  constexpr std::uint32_t kBias64 = 1023;

  const std::uint64_t sign = pattern.high & 0x8000000000000000u;
  const auto exponent = static_cast<std::uint32_t>((pattern.high >> 48) & kMaxExponent);
  const std::uint64_t fraction_high = pattern.high & 0xFFFFFFFFFFFFu;  // fraction bits 64..111

  if (exponent == 0) return std::bit_cast<double>(sign);
  if (exponent == kMaxExponent) {
    if ((fraction_high | pattern.low) != 0) return std::bit_cast<double>(kPositiveQuietNan);
    return std::bit_cast<double>(sign | kInfinity);
  }
  if (exponent > kBias128 + kBias64) return std::bit_cast<double>(sign | kInfinity);
  // Below binary64's normal range: flushed, not made subnormal.
  if (exponent < kBias128 - kBias64 + 1) return std::bit_cast<double>(sign);

  // The top 52 of the 112 fraction bits; the other 60 are dropped, so the
  // result is truncated toward zero, not rounded.
  const std::uint64_t fraction = (fraction_high << 4) | (pattern.low >> 60);
  const std::uint64_t biased = exponent - kBias128 + kBias64;
  return std::bit_cast<double>(sign | (biased << 52) | fraction);
}

Result<double> decode_ieee754_1985_f32() {
  return not_implemented("IEEE 754-1985 f32 format not yet implemented");
}
Result<double> decode_ieee754_1985_f64() {
  return not_implemented("IEEE 754-1985 f64 format not yet implemented");
}
Result<double> decode_ieee754_1985_f80() {
  return not_implemented("IEEE 754-1985 f80 format not yet implemented");
}
Result<double> decode_mil_std_1750a_f32() {
  return not_implemented("MIL-STD-1750A f32 format not yet implemented");
}
Result<double> decode_mil_std_1750a_f48() {
  return not_implemented("MIL-STD-1750A f48 format not yet implemented");
}
Result<double> decode_dec_f32() { return not_implemented("DEC f32 format not yet implemented"); }
Result<double> decode_dec_f64() { return not_implemented("DEC f64 format not yet implemented"); }
Result<double> decode_ibm_f32() { return not_implemented("IBM f32 format not yet implemented"); }
Result<double> decode_ibm_f64() { return not_implemented("IBM f64 format not yet implemented"); }
Result<double> decode_ti_f32() { return not_implemented("TI f32 format not yet implemented"); }
Result<double> decode_ti_f40() { return not_implemented("TI f40 format not yet implemented"); }

}  // namespace vantrel
