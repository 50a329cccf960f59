#include "layout/encoding_table.hpp"

#include <array>
#include <type_traits>
#include <utility>

#include "common/format.hpp"
#include "decoder/decoders.hpp"
#include "encoder/encoders.hpp"

namespace vantrel {

namespace {

using Decode = Result<FieldValue> (*)(const FieldInput&, TextSink&);

// ---- Adapters from leaf routines to the uniform row signatures ----------

template <auto Leaf>
Result<std::uint64_t> encode_signed(const PackInput& input, std::uint32_t bits) {
  return Leaf(input.signed_value, bits);
}

template <auto Leaf, bool IsSigned>
Result<std::uint64_t> encode_decimal(const PackInput& input, std::uint32_t bits) {
  return Leaf(input.signed_value, bits, IsSigned);
}

template <auto Leaf>
Result<FieldContent> encode_text(const PackInput& input, std::uint32_t) {
  StringSink bytes;
  if constexpr (std::is_void_v<decltype(Leaf(input.text, bytes))>) {
    Leaf(input.text, bytes);
  } else {
    const Result<void> written = Leaf(input.text, bytes);
    if (!written) return std::unexpected(written.error());
  }
  return std::move(bytes.bytes);
}

// ASCII text is its own UTF-8: the content is a view of the text.
Result<FieldContent> encode_utf8_text(const PackInput& input, std::uint32_t bits) {
  if (input.text.ascii) return ByteSpan(input.text.units8(), input.text.length);
  return encode_text<encode_utf8>(input, bits);
}

Result<std::uint64_t> encode_unsigned(const PackInput& input, std::uint32_t bits) {
  if (bits < 64 && (input.unsigned_value >> bits) != 0) {
    return value_error(concat("Value ", input.unsigned_value, " is too large for ", bits, " bits"));
  }
  return input.unsigned_value;
}

Result<std::uint64_t> encode_f16(const PackInput& input, std::uint32_t) {
  return encode_ieee754_f16(input.real32);
}
Result<std::uint64_t> encode_f32(const PackInput& input, std::uint32_t) {
  return encode_ieee754_f32(input.real32);
}
Result<std::uint64_t> encode_f64(const PackInput& input, std::uint32_t) {
  return encode_ieee754_f64(input.real64);
}

template <auto Leaf>
Result<FieldValue> decode_integer(const FieldInput& field, TextSink&) {
  return Leaf(field.pattern, field.bits);
}

template <auto Leaf, bool IsSigned>
Result<FieldValue> decode_decimal(const FieldInput& field, TextSink&) {
  return Leaf(field.pattern, field.bits, IsSigned);
}

template <auto Leaf>
Result<FieldValue> decode_real(const FieldInput& field, TextSink&) {
  return static_cast<double>(Leaf(field.pattern));
}

template <auto Leaf>
Result<FieldValue> decode_text(const FieldInput& field, TextSink& text) {
  const Result<void> written = Leaf(field.bytes, text);
  if (!written) return std::unexpected(written.error());
  return TextWritten{};
}

template <auto Leaf>
Result<FieldValue> refuse(const FieldInput&, TextSink&) {
  return std::unexpected(Leaf().error());
}

Result<FieldValue> decode_unsigned(const FieldInput& field, TextSink&) { return field.pattern; }

Result<FieldValue> decode_latin1(const FieldInput& field, TextSink& text) {
  decode_iso_8859_1(field.bytes, text);
  return TextWritten{};
}

Result<FieldValue> decode_f128(const FieldInput& field, TextSink&) {
  if (field.bits > 64) {
    return value_error(
        "IEEE 754 f128 requires special handling for >64 bits (not yet implemented in "
        "process_recipe)");
  }
  // A field of 64 bits or fewer cannot hold a binary128 value.
  return value_error(concat("IEEE 754 f128 requires a 128-bit field, got ", field.bits, " bits"));
}

using V = ValueKind;

constexpr std::array kEncodings = {
    EncodingRow{"unsigned", V::Unsigned, encode_unsigned, nullptr, decode_unsigned,
                ColumnKernel::Unsigned},
    EncodingRow{"twos_complement", V::Signed, encode_signed<encode_twos_complement>, nullptr,
                decode_integer<decode_twos_complement>, ColumnKernel::TwosComplement},
    EncodingRow{"ones_complement", V::Signed, encode_signed<encode_ones_complement>, nullptr,
                decode_integer<decode_ones_complement>},
    EncodingRow{"sign_magnitude", V::Signed, encode_signed<encode_sign_magnitude>, nullptr,
                decode_integer<decode_sign_magnitude>},
    EncodingRow{"packed_bcd", V::Signed, encode_decimal<encode_packed_bcd, false>, nullptr,
                decode_decimal<decode_packed_bcd, false>},
    EncodingRow{"packed_bcd_signed", V::Signed, encode_decimal<encode_packed_bcd, true>, nullptr,
                decode_decimal<decode_packed_bcd, true>},
    EncodingRow{"unpacked_bcd", V::Signed, encode_decimal<encode_unpacked_bcd, false>, nullptr,
                decode_decimal<decode_unpacked_bcd, false>},
    EncodingRow{"unpacked_bcd_signed", V::Signed, encode_decimal<encode_unpacked_bcd, true>,
                nullptr, decode_decimal<decode_unpacked_bcd, true>},
    EncodingRow{"ieee754_f16", V::Real32, encode_f16, nullptr, decode_real<decode_ieee754_f16>,
                ColumnKernel::Binary16},
    EncodingRow{"ieee754_f32", V::Real32, encode_f32, nullptr, decode_real<decode_ieee754_f32>,
                ColumnKernel::Binary32},
    EncodingRow{"ieee754_f64", V::Real64, encode_f64, nullptr, decode_real<decode_ieee754_f64>,
                ColumnKernel::Binary64},
    EncodingRow{"utf8", V::Text, nullptr, encode_utf8_text, decode_text<decode_utf8>,
                ColumnKernel::RowDecoder, true},
    EncodingRow{"utf16", V::Text, nullptr, encode_text<encode_utf16>, decode_text<decode_utf16>},
    EncodingRow{"utf16be", V::Text, nullptr, encode_text<encode_utf16be>,
                decode_text<decode_utf16be>},
    EncodingRow{"utf16le", V::Text, nullptr, encode_text<encode_utf16le>,
                decode_text<decode_utf16le>},
    EncodingRow{"utf32", V::Text, nullptr, encode_text<encode_utf32>, decode_text<decode_utf32>},
    EncodingRow{"utf32be", V::Text, nullptr, encode_text<encode_utf32be>,
                decode_text<decode_utf32be>},
    EncodingRow{"utf32le", V::Text, nullptr, encode_text<encode_utf32le>,
                decode_text<decode_utf32le>},
    EncodingRow{"us_ascii", V::Text, nullptr, encode_text<encode_us_ascii>,
                decode_text<decode_us_ascii>, ColumnKernel::RowDecoder, true},
    EncodingRow{"iso_8859_1", V::Text, nullptr, encode_text<encode_iso_8859_1>, decode_latin1,
                ColumnKernel::RowDecoder, true},
    EncodingRow{"latin1", V::Text, nullptr, encode_text<encode_iso_8859_1>, decode_latin1,
                ColumnKernel::RowDecoder, true},
    EncodingRow{"windows_1252", V::Text, nullptr, encode_text<encode_windows_1252>,
                decode_text<decode_windows_1252>, ColumnKernel::RowDecoder, true},
    EncodingRow{"ieee754_f128", V::NotPackable, nullptr, nullptr, decode_f128},
    EncodingRow{"ieee754_1985_f32", V::NotPackable, nullptr, nullptr,
                refuse<decode_ieee754_1985_f32>},
    EncodingRow{"ieee754_1985_f64", V::NotPackable, nullptr, nullptr,
                refuse<decode_ieee754_1985_f64>},
    EncodingRow{"ieee754_1985_f80", V::NotPackable, nullptr, nullptr,
                refuse<decode_ieee754_1985_f80>},
    EncodingRow{"mil_std_1750a_f32", V::NotPackable, nullptr, nullptr,
                refuse<decode_mil_std_1750a_f32>},
    EncodingRow{"mil_std_1750a_f48", V::NotPackable, nullptr, nullptr,
                refuse<decode_mil_std_1750a_f48>},
    EncodingRow{"ibm_f32", V::NotPackable, nullptr, nullptr, refuse<decode_ibm_f32>},
    EncodingRow{"ibm_f64", V::NotPackable, nullptr, nullptr, refuse<decode_ibm_f64>},
    EncodingRow{"ti_f32", V::NotPackable, nullptr, nullptr, refuse<decode_ti_f32>},
    EncodingRow{"ti_f40", V::NotPackable, nullptr, nullptr, refuse<decode_ti_f40>},
    EncodingRow{"dec_f32", V::NotPackable, nullptr, nullptr, refuse<decode_dec_f32>},
    EncodingRow{"dec_f64", V::NotPackable, nullptr, nullptr, refuse<decode_dec_f64>},
};
static_assert(kEncodings.size() == 34);

}  // namespace

bool equals_ascii_lowercase(std::string_view text, std::string_view lower) {
  if (text.size() != lower.size()) return false;
  for (std::size_t i = 0; i < text.size(); ++i) {
    char c = text[i];
    if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
    if (c != lower[i]) return false;
  }
  return true;
}

std::span<const EncodingRow> encoding_rows() { return kEncodings; }

const EncodingRow* find_encoding(std::string_view name) {
  for (const EncodingRow& row : kEncodings) {
    if (equals_ascii_lowercase(name, row.name)) return &row;
  }
  return nullptr;
}

}  // namespace vantrel
