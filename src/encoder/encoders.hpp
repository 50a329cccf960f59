// Leaf encoders: plain values in, a bit pattern or bytes (or an Error) out.
// The calling frame exports each under its own name; the packer calls them
// through the encoding-name table.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

#include "common/error.hpp"
#include "common/sinks.hpp"
#include "common/text_view.hpp"
#include "common/types.hpp"

namespace vantrel {

// Integers: value to a right-aligned pattern of `bits` bits.
Result<std::uint64_t> encode_sign_magnitude(std::int64_t value, std::uint32_t bits);
Result<std::uint64_t> encode_ones_complement(std::int64_t value, std::uint32_t bits);
Result<std::uint64_t> encode_twos_complement(std::int64_t value, std::uint32_t bits);

// Binary-coded decimal: packed (a digit per nibble) and unpacked/zoned
// (a digit per byte).
Result<std::uint64_t> encode_packed_bcd(std::int64_t value, std::uint32_t bits, bool is_signed);
Result<std::uint64_t> encode_unpacked_bcd(std::int64_t value, std::uint32_t bits, bool is_signed);

// IEEE 754 binary formats. The argument of the f16 and f32 encoders has
// already been rounded to binary32.
std::uint64_t encode_ieee754_f16(float value);
std::uint64_t encode_ieee754_f32(float value);
std::uint64_t encode_ieee754_f64(double value);

// Floating-point formats without an implementation: always an Error.
Result<std::uint64_t> encode_ieee754_f128();
Result<std::uint64_t> encode_ieee754_1985_f32();
Result<std::uint64_t> encode_ieee754_1985_f64();
Result<std::uint64_t> encode_ieee754_1985_f80();
Result<std::uint64_t> encode_mil_std_1750a_f32();
Result<std::uint64_t> encode_mil_std_1750a_f48();
Result<std::uint64_t> encode_dec_f32();
Result<std::uint64_t> encode_dec_f64();
Result<std::uint64_t> encode_ibm_f32();
Result<std::uint64_t> encode_ibm_f64();
Result<std::uint64_t> encode_ti_f32();
Result<std::uint64_t> encode_ti_f40();

// Text: `text` is the str's own storage and holds only Unicode scalar
// values (the frame refuses surrogates); the encoded bytes go to `out`, which
// is only asked for a buffer once the whole text has passed.
Result<void> encode_us_ascii(const TextView& text, ByteSink& out);
Result<void> encode_iso_8859_1(const TextView& text, ByteSink& out);
Result<void> encode_windows_1252(const TextView& text, ByteSink& out);
void encode_utf8(const TextView& text, ByteSink& out);
void encode_utf16(const TextView& text, ByteSink& out);
void encode_utf16be(const TextView& text, ByteSink& out);
void encode_utf16le(const TextView& text, ByteSink& out);
void encode_utf32(const TextView& text, ByteSink& out);
void encode_utf32be(const TextView& text, ByteSink& out);
void encode_utf32le(const TextView& text, ByteSink& out);

// Text given as well-formed UTF-8 (names and values that arrive as UTF-8
// rather than as a str), held in the storage the encoders above read.
class Utf8Text {
 public:
  explicit Utf8Text(std::string_view utf8);
  const TextView& view() const { return view_; }

 private:
  std::u32string storage_;
  TextView view_;
};

// Calls a text encoder on well-formed UTF-8: `encode_from_utf8<encode_utf16le>(text, sink)`.
template <auto Leaf>
auto encode_from_utf8(std::string_view utf8, ByteSink& out) {
  const Utf8Text text(utf8);
  return Leaf(text.view(), out);
}

}  // namespace vantrel
