// IEEE 754 encoders, and the formats that have no encoder yet.
#include <bit>

#include "common/binary16.hpp"
#include "encoder/encoders.hpp"

namespace vantrel {

std::uint64_t encode_ieee754_f16(float value) { return binary16_from_float(value); }

// The value was rounded to binary32 from a double, which already made any NaN
// quiet; its pattern is taken as it stands.
std::uint64_t encode_ieee754_f32(float value) { return std::bit_cast<std::uint32_t>(value); }

// Bit for bit, NaN payloads (signalling ones included) untouched.
std::uint64_t encode_ieee754_f64(double value) { return std::bit_cast<std::uint64_t>(value); }

Result<std::uint64_t> encode_ieee754_f128() {
  return not_implemented("IEEE 754 f128 encoding not yet implemented");
}
Result<std::uint64_t> encode_ieee754_1985_f32() {
  return not_implemented("IEEE 754-1985 f32 encoding not yet implemented");
}
Result<std::uint64_t> encode_ieee754_1985_f64() {
  return not_implemented("IEEE 754-1985 f64 encoding not yet implemented");
}
Result<std::uint64_t> encode_ieee754_1985_f80() {
  return not_implemented("IEEE 754-1985 f80 encoding not yet implemented");
}
Result<std::uint64_t> encode_mil_std_1750a_f32() {
  return not_implemented("MIL-STD-1750A f32 encoding not yet implemented");
}
Result<std::uint64_t> encode_mil_std_1750a_f48() {
  return not_implemented("MIL-STD-1750A f48 encoding not yet implemented");
}
Result<std::uint64_t> encode_dec_f32() {
  return not_implemented("DEC f32 encoding not yet implemented");
}
Result<std::uint64_t> encode_dec_f64() {
  return not_implemented("DEC f64 encoding not yet implemented");
}
Result<std::uint64_t> encode_ibm_f32() {
  return not_implemented("IBM f32 encoding not yet implemented");
}
Result<std::uint64_t> encode_ibm_f64() {
  return not_implemented("IBM f64 encoding not yet implemented");
}
Result<std::uint64_t> encode_ti_f32() {
  return not_implemented("TI f32 encoding not yet implemented");
}
Result<std::uint64_t> encode_ti_f40() {
  return not_implemented("TI f40 encoding not yet implemented");
}

}  // namespace vantrel
