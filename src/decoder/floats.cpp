// IEEE 754 decoders, and the formats that have no decoder yet.
#include <bit>

#include "decoder/decoders.hpp"

namespace vantrel {

// TEMPORARY placeholders until the binary16 and binary128 conversions land.
float decode_ieee754_f16(std::uint64_t) { return 0.0f; }
double decode_ieee754_f128(U128) { return 0.0; }

double decode_ieee754_f32(std::uint64_t pattern) {
  return std::bit_cast<float>(static_cast<std::uint32_t>(pattern));
}

double decode_ieee754_f64(std::uint64_t pattern) { return std::bit_cast<double>(pattern); }

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
