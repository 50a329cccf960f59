// Every decoder on arbitrary input: the numeric decoders on arbitrary
// patterns and widths (re-encoding what they return must give the pattern
// back where the form has one pattern per value), and every row of the
// encoding table, as the unpacker calls it, on arbitrary field bytes.
#include <bit>
#include <cmath>
#include <cstdint>

#include "common/binary16.hpp"
#include "common/binary32.hpp"
#include "common/bits.hpp"
#include "decoder/decoders.hpp"
#include "encoder/encoders.hpp"
#include "fuzz_support.hpp"
#include "layout/encoding_table.hpp"

namespace {

using vantrel::low_mask;

void check_integers(std::uint64_t pattern, std::uint32_t bits) {
  // Bits above the field are part of the input too (the decoders define what
  // they do with them): no crash, whatever the width.
  (void)vantrel::decode_twos_complement(pattern, bits);
  (void)vantrel::decode_ones_complement(pattern, bits);
  (void)vantrel::decode_sign_magnitude(pattern, bits);
  if (bits == 0 || bits > 64) return;  // no encoder takes these widths

  // Within the field, decoding is the exact inverse of encoding.
  const std::uint64_t field = pattern & low_mask(bits);
  const std::int64_t twos = vantrel::decode_twos_complement(field, bits);
  const auto twos_back = vantrel::encode_twos_complement(twos, bits);
  FUZZ_CHECK(twos_back && *twos_back == field);

  // All ones is ones' complement's negative zero, which reads as 0.
  const std::int64_t ones = vantrel::decode_ones_complement(field, bits);
  const auto ones_back = vantrel::encode_ones_complement(ones, bits);
  FUZZ_CHECK(ones_back && *ones_back == (field == low_mask(bits) ? 0 : field));

  if (bits >= 2) {  // a lone sign bit has no magnitude: nothing encodes to it
    const std::uint64_t sign_bit = std::uint64_t{1} << (bits - 1);
    const std::int64_t sign_magnitude = vantrel::decode_sign_magnitude(field, bits);
    const auto back = vantrel::encode_sign_magnitude(sign_magnitude, bits);
    FUZZ_CHECK(back && *back == (field == sign_bit ? 0 : field));
  }
}

void check_decimals(std::uint64_t pattern, std::uint32_t bits) {
  for (const bool is_signed : {false, true}) {
    const auto packed = vantrel::decode_packed_bcd(pattern, bits, is_signed);
    if (packed && bits >= 4 && bits <= 64) {
      // Whatever the sign nibble's form, the value re-encodes and reads back.
      const auto back = vantrel::encode_packed_bcd(*packed, bits, is_signed);
      FUZZ_CHECK(back);
      const auto again = vantrel::decode_packed_bcd(*back, bits, is_signed);
      FUZZ_CHECK(again && *again == *packed);
    }
    const auto zoned = vantrel::decode_unpacked_bcd(pattern, bits, is_signed);
    if (zoned && bits >= 8 && bits <= 64) {
      const auto back = vantrel::encode_unpacked_bcd(*zoned, bits, is_signed);
      FUZZ_CHECK(back);
      const auto again = vantrel::decode_unpacked_bcd(*back, bits, is_signed);
      FUZZ_CHECK(again && *again == *zoned);
    }
  }
}

void check_floats(std::uint64_t pattern, std::uint64_t low) {
  // Binary16 and binary32 widen exactly: narrowing again gives the pattern,
  // a NaN quieted.
  const auto half = static_cast<std::uint16_t>(pattern);
  const float wide_half = vantrel::decode_ieee754_f16(pattern);
  const bool half_nan = (half & 0x7C00) == 0x7C00 && (half & 0x3FF) != 0;
  FUZZ_CHECK(vantrel::encode_ieee754_f16(wide_half) == (half_nan ? half | 0x200u : half));
  FUZZ_CHECK(std::bit_cast<std::uint32_t>(vantrel::binary16_to_float_software(half)) ==
             std::bit_cast<std::uint32_t>(vantrel::binary16_to_float(half)));

  const auto single = static_cast<std::uint32_t>(pattern);
  const double wide_single = vantrel::decode_ieee754_f32(pattern);
  const bool single_nan = (single & 0x7F800000) == 0x7F800000 && (single & 0x7FFFFF) != 0;
  const auto narrowed = std::bit_cast<std::uint32_t>(vantrel::binary32_from_double(wide_single));
  FUZZ_CHECK(narrowed == (single_nan ? single | 0x400000u : single));

  FUZZ_CHECK(std::bit_cast<std::uint64_t>(vantrel::decode_ieee754_f64(pattern)) == pattern);

  // Binary128 narrows by truncation: never more than the input's magnitude.
  const double quad = vantrel::decode_ieee754_f128(vantrel::U128{pattern, low});
  const bool negative = (pattern >> 63) != 0;
  FUZZ_CHECK(std::isnan(quad) || std::signbit(quad) == negative);
}

// Formats without a decoder refuse, naming themselves.
void check_refusals() {
  using Refusal = vantrel::Result<double> (*)();
  for (const Refusal refuse :
       {vantrel::decode_ieee754_1985_f32, vantrel::decode_ieee754_1985_f64,
        vantrel::decode_ieee754_1985_f80, vantrel::decode_mil_std_1750a_f32,
        vantrel::decode_mil_std_1750a_f48, vantrel::decode_dec_f32, vantrel::decode_dec_f64,
        vantrel::decode_ibm_f32, vantrel::decode_ibm_f64, vantrel::decode_ti_f32,
        vantrel::decode_ti_f40}) {
    const auto result = refuse();
    FUZZ_CHECK(!result && result.error().kind == vantrel::ErrorKind::NotImplementedError);
  }
}

void check_rows(const vantrel::FieldInput& field) {
  for (const vantrel::EncodingRow& row : vantrel::encoding_rows()) {
    fuzz::CheckedTextSink sink;
    const auto value = row.decode(field, sink);
    const bool text = value && std::holds_alternative<vantrel::TextWritten>(*value);
    FUZZ_CHECK(sink.allocated() == text);
    if (text) sink.code_points();  // checks the announced maximum
    if (!value) FUZZ_CHECK(!value.error().message.empty());
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  fuzz::Input input(data, size);
  const auto pattern = input.number<std::uint64_t>();
  const auto low = input.number<std::uint64_t>();
  // Widths cluster around the interesting range but reach far beyond it.
  const std::uint8_t width_byte = input.byte();
  const std::uint32_t bits = width_byte < 200 ? width_byte % 66 : input.number<std::uint32_t>();

  check_integers(pattern, bits);
  check_decimals(pattern, bits);
  check_floats(pattern, low);

  vantrel::FieldInput field;
  field.pattern = bits >= 64 ? pattern : pattern & low_mask(bits);
  field.bits = bits;
  field.bytes = input.rest();
  check_rows(field);
  if (size == 0) check_refusals();
  return 0;
}
