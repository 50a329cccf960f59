// Every encoder on values derived from the input: integers, decimals and
// floats at arbitrary widths (what encodes must decode to the same value),
// the integer binary32 rounding against the processor's own conversion, the
// binary16 software path against F16C, and every row of the encoding table
// as the packer calls it.
#include <bit>
#include <cfloat>
#include <cmath>
#include <cstdint>
#include <string>

#include "common/binary16.hpp"
#include "common/binary32.hpp"
#include "common/bits.hpp"
#include "decoder/decoders.hpp"
#include "encoder/encoders.hpp"
#include "fuzz_support.hpp"
#include "layout/encoding_table.hpp"

namespace {

using vantrel::low_mask;

void check_integers(std::int64_t value, std::uint32_t bits) {
  if (const auto twos = vantrel::encode_twos_complement(value, bits)) {
    FUZZ_CHECK(bits >= 1 && bits <= 64 && (*twos & ~low_mask(bits)) == 0);
    FUZZ_CHECK(vantrel::decode_twos_complement(*twos, bits) == value);
  } else {
    FUZZ_CHECK(bits == 0 || bits > 64 || value < -(std::int64_t{1} << (bits - 1)) ||
               value > static_cast<std::int64_t>(low_mask(bits - 1)));
  }
  if (const auto ones = vantrel::encode_ones_complement(value, bits)) {
    FUZZ_CHECK(bits >= 1 && bits <= 64 && (*ones & ~low_mask(bits)) == 0);
    FUZZ_CHECK(vantrel::decode_ones_complement(*ones, bits) == value);
  }
  if (const auto sign_magnitude = vantrel::encode_sign_magnitude(value, bits)) {
    FUZZ_CHECK(bits >= 2 && bits <= 64 && (*sign_magnitude & ~low_mask(bits)) == 0);
    FUZZ_CHECK(vantrel::decode_sign_magnitude(*sign_magnitude, bits) == value);
  }
}

void check_decimals(std::int64_t value, std::uint32_t bits) {
  for (const bool is_signed : {false, true}) {
    if (const auto packed = vantrel::encode_packed_bcd(value, bits, is_signed)) {
      const auto back = vantrel::decode_packed_bcd(*packed, bits, is_signed);
      FUZZ_CHECK(back && *back == value);
    }
    if (const auto zoned = vantrel::encode_unpacked_bcd(value, bits, is_signed)) {
      const auto back = vantrel::decode_unpacked_bcd(*zoned, bits, is_signed);
      FUZZ_CHECK(back && *back == value);
    }
  }
}

void check_floats(double value) {
  FUZZ_CHECK(std::bit_cast<std::uint64_t>(vantrel::decode_ieee754_f64(
                 vantrel::encode_ieee754_f64(value))) == std::bit_cast<std::uint64_t>(value));

  // The integer rounding against the processor's, which runs here in the
  // default environment. Out of range the conversion is undefined in C++.
  const float single = vantrel::binary32_from_double(value);
  const auto single_bits = std::bit_cast<std::uint32_t>(single);
  if (!std::isfinite(value) || std::fabs(value) <= FLT_MAX) {
    FUZZ_CHECK(single_bits == std::bit_cast<std::uint32_t>(static_cast<float>(value)));
  } else {
    const bool overflow = std::fabs(value) >= 0x1.ffffffp127;
    FUZZ_CHECK((single_bits & 0x7FFFFFFFu) == (overflow ? 0x7F800000u : 0x7F7FFFFFu));
    FUZZ_CHECK((single_bits >> 31) == (value < 0));
  }
  const std::uint64_t encoded32 = vantrel::encode_ieee754_f32(single);
  FUZZ_CHECK(encoded32 == single_bits);
  FUZZ_CHECK(std::bit_cast<std::uint32_t>(vantrel::binary32_from_double(
                 vantrel::decode_ieee754_f32(encoded32))) == single_bits);

  const std::uint64_t half = vantrel::encode_ieee754_f16(single);
  FUZZ_CHECK(half <= 0xFFFF);
  FUZZ_CHECK(vantrel::binary16_from_float_software(single) == half);
  if (vantrel::binary16_hardware_available()) {
    FUZZ_CHECK(vantrel::binary16_from_float_hardware(single) == half);
  }
  FUZZ_CHECK(vantrel::encode_ieee754_f16(vantrel::decode_ieee754_f16(half)) == half);
}

// Formats without an encoder refuse, naming themselves.
void check_refusals() {
  using Refusal = vantrel::Result<std::uint64_t> (*)();
  for (const Refusal refuse :
       {vantrel::encode_ieee754_f128, vantrel::encode_ieee754_1985_f32,
        vantrel::encode_ieee754_1985_f64, vantrel::encode_ieee754_1985_f80,
        vantrel::encode_mil_std_1750a_f32, vantrel::encode_mil_std_1750a_f48,
        vantrel::encode_dec_f32, vantrel::encode_dec_f64, vantrel::encode_ibm_f32,
        vantrel::encode_ibm_f64, vantrel::encode_ti_f32, vantrel::encode_ti_f40}) {
    const auto result = refuse();
    FUZZ_CHECK(!result && result.error().kind == vantrel::ErrorKind::NotImplementedError);
  }
}

void check_rows(const vantrel::PackInput& input, std::uint32_t bits) {
  for (const vantrel::EncodingRow& row : vantrel::encoding_rows()) {
    if (row.encode_pattern == nullptr && row.encode_text == nullptr) continue;
    const auto content = row.encode(input, bits);
    if (!content) {
      FUZZ_CHECK(!content.error().message.empty());
      continue;
    }
    // A numeric pattern fits its field and the row reads it back.
    if (const auto* pattern = std::get_if<std::uint64_t>(&*content)) {
      if (bits == 0 || bits > 64) continue;
      if (row.value_kind != vantrel::ValueKind::Real32 &&
          row.value_kind != vantrel::ValueKind::Real64) {
        FUZZ_CHECK((*pattern & ~low_mask(bits)) == 0);
      }
      fuzz::CheckedTextSink sink;
      const auto value = row.decode(vantrel::FieldInput{*pattern & low_mask(bits), bits, {}}, sink);
      FUZZ_CHECK(!sink.allocated());
      if (row.value_kind == vantrel::ValueKind::Signed && value) {
        FUZZ_CHECK(std::get<std::int64_t>(*value) == input.signed_value);
      } else if (row.value_kind == vantrel::ValueKind::Unsigned) {
        FUZZ_CHECK(value && std::get<std::uint64_t>(*value) == input.unsigned_value);
      }
    }
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  fuzz::Input input(data, size);
  const auto value = input.number<std::int64_t>();
  const std::uint8_t width_byte = input.byte();
  const std::uint32_t bits = width_byte < 200 ? width_byte % 70 : input.number<std::uint32_t>();
  const auto real = input.number<double>();

  check_integers(value, bits);
  check_decimals(value, bits);
  check_floats(real);
  check_floats(static_cast<double>(value));

  vantrel::PackInput pack;
  pack.signed_value = value;
  pack.unsigned_value = static_cast<std::uint64_t>(value);
  pack.real64 = real;
  pack.real32 = vantrel::binary32_from_double(real);
  const fuzz::StoredText text(fuzz::scalar_values(input, 512));
  pack.text = text.view();
  check_rows(pack, bits);
  if (size == 0) check_refusals();
  return 0;
}
