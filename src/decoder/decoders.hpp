// Leaf decoders: a pattern or bytes in, a value (or an Error) out. The
// calling frame exports each under its own name; the unpacker calls them
// through the encoding-name table.
#pragma once

#include <cstdint>

#include "common/error.hpp"
#include "common/sinks.hpp"
#include "common/types.hpp"

namespace vantrel {

// Integers: these never fail; every pattern and width yields a value.
std::int64_t decode_sign_magnitude(std::uint64_t pattern, std::uint32_t bits);
std::int64_t decode_ones_complement(std::uint64_t pattern, std::uint32_t bits);
std::int64_t decode_twos_complement(std::uint64_t pattern, std::uint32_t bits);

// Binary-coded decimal.
Result<std::int64_t> decode_packed_bcd(std::uint64_t pattern, std::uint32_t bits, bool is_signed);
Result<std::int64_t> decode_unpacked_bcd(std::uint64_t pattern, std::uint32_t bits, bool is_signed);

// IEEE 754 binary formats; only the low 16 (f16) or 32 (f32) bits are read.
float decode_ieee754_f16(std::uint64_t pattern);
double decode_ieee754_f32(std::uint64_t pattern);
double decode_ieee754_f64(std::uint64_t pattern);
double decode_ieee754_f128(U128 pattern);

// Floating-point formats without an implementation: always an Error.
Result<double> decode_ieee754_1985_f32();
Result<double> decode_ieee754_1985_f64();
Result<double> decode_ieee754_1985_f80();
Result<double> decode_mil_std_1750a_f32();
Result<double> decode_mil_std_1750a_f48();
Result<double> decode_dec_f32();
Result<double> decode_dec_f64();
Result<double> decode_ibm_f32();
Result<double> decode_ibm_f64();
Result<double> decode_ti_f32();
Result<double> decode_ti_f40();

// Text: the decoded text goes to `out`, which is only asked for room once
// the whole input has been checked.
Result<void> decode_utf8(ByteSpan bytes, TextSink& out);
Result<void> decode_utf16(ByteSpan bytes, TextSink& out);
Result<void> decode_utf16_with_endianness(ByteSpan bytes, bool little_endian, TextSink& out);
Result<void> decode_utf32(ByteSpan bytes, TextSink& out);
Result<void> decode_utf32_with_endianness(ByteSpan bytes, bool little_endian, TextSink& out);
Result<void> decode_us_ascii(ByteSpan bytes, TextSink& out);
void decode_iso_8859_1(ByteSpan bytes, TextSink& out);
Result<void> decode_windows_1252(ByteSpan bytes, TextSink& out);

inline Result<void> decode_utf16be(ByteSpan bytes, TextSink& out) {
  return decode_utf16_with_endianness(bytes, false, out);
}
inline Result<void> decode_utf16le(ByteSpan bytes, TextSink& out) {
  return decode_utf16_with_endianness(bytes, true, out);
}
inline Result<void> decode_utf32be(ByteSpan bytes, TextSink& out) {
  return decode_utf32_with_endianness(bytes, false, out);
}
inline Result<void> decode_utf32le(ByteSpan bytes, TextSink& out) {
  return decode_utf32_with_endianness(bytes, true, out);
}

}  // namespace vantrel
