// The 62 exported functions, in registration order (also the order of
// __all__): name, parameters with their argument kinds, and the routine.
#pragma once

#include <algorithm>
#include <array>

#include "binding/call_frame.hpp"
#include "decoder/decoders.hpp"
#include "encoder/encoders.hpp"
#include "objects/packet_functions.hpp"

namespace vantrel::table {

using K = ArgKind;
inline constexpr Parameter value_u64{"value", K::Unsigned64};
inline constexpr Parameter value_i64{"value", K::Signed64};
inline constexpr Parameter bits_u32{"bits", K::Unsigned32};
inline constexpr Parameter signed_flag{"signed", K::StrictBool};
inline constexpr Parameter unused_u64{"_value", K::Unsigned64};
inline constexpr Parameter unused_f32{"_value", K::Float32};
inline constexpr Parameter unused_f64{"_value", K::Float64};
inline constexpr Parameter bytes_in{"bytes", K::ByteString};
inline constexpr Parameter text_in{"text", K::Text};

inline constexpr std::array kFunctions = {
    function<&unpack_parameters>("unpack_parameters", {{"packet_bytes", K::ByteString},
                                                       {"offset_bits", K::UnsignedSize},
                                                       {"recipe", K::RecipeList}}),
    function<&pack_parameters>("pack_parameters", {{"recipe", K::RecipeList}}),
    function<&decode_ones_complement>("decode_ones_complement", {value_u64, bits_u32}),
    function<&decode_twos_complement>("decode_twos_complement", {value_u64, bits_u32}),
    function<&decode_sign_magnitude>("decode_sign_magnitude", {value_u64, bits_u32}),
    function<&decode_unpacked_bcd>("decode_unpacked_bcd", {value_u64, bits_u32, signed_flag}),
    function<&decode_packed_bcd>("decode_packed_bcd", {value_u64, bits_u32, signed_flag}),
    function<&decode_ieee754_f16>("decode_ieee754_f16", {value_u64}),
    function<&decode_ieee754_f32>("decode_ieee754_f32", {value_u64}),
    function<&decode_ieee754_f64>("decode_ieee754_f64", {value_u64}),
    function<&decode_ieee754_f128>("decode_ieee754_f128", {{"value", K::Unsigned128}}),
    function<&decode_ieee754_1985_f32>("decode_ieee754_1985_f32", {unused_u64}),
    function<&decode_ieee754_1985_f64>("decode_ieee754_1985_f64", {unused_u64}),
    function<&decode_ieee754_1985_f80>("decode_ieee754_1985_f80", {unused_u64}),
    function<&decode_mil_std_1750a_f32>("decode_mil_std_1750a_f32", {unused_u64}),
    function<&decode_mil_std_1750a_f48>("decode_mil_std_1750a_f48", {unused_u64}),
    function<&decode_dec_f32>("decode_dec_f32", {unused_u64}),
    function<&decode_dec_f64>("decode_dec_f64", {unused_u64}),
    function<&decode_ibm_f32>("decode_ibm_f32", {unused_u64}),
    function<&decode_ibm_f64>("decode_ibm_f64", {unused_u64}),
    function<&decode_ti_f32>("decode_ti_f32", {unused_u64}),
    function<&decode_ti_f40>("decode_ti_f40", {unused_u64}),
    function<&decode_us_ascii>("decode_us_ascii", {bytes_in}),
    function<&decode_iso_8859_1>("decode_iso_8859_1", {bytes_in}),
    function<&decode_windows_1252>("decode_windows_1252", {bytes_in}),
    function<&decode_utf8>("decode_utf8", {bytes_in}),
    function<&decode_utf16>("decode_utf16", {bytes_in}),
    function<&decode_utf16le>("decode_utf16le", {bytes_in}),
    function<&decode_utf16be>("decode_utf16be", {bytes_in}),
    function<&decode_utf32>("decode_utf32", {bytes_in}),
    function<&decode_utf32le>("decode_utf32le", {bytes_in}),
    function<&decode_utf32be>("decode_utf32be", {bytes_in}),
    function<&encode_ones_complement>("encode_ones_complement", {value_i64, bits_u32}),
    function<&encode_twos_complement>("encode_twos_complement", {value_i64, bits_u32}),
    function<&encode_sign_magnitude>("encode_sign_magnitude", {value_i64, bits_u32}),
    function<&encode_unpacked_bcd>("encode_unpacked_bcd", {value_i64, bits_u32, signed_flag}),
    function<&encode_packed_bcd>("encode_packed_bcd", {value_i64, bits_u32, signed_flag}),
    function<&encode_ieee754_f16>("encode_ieee754_f16", {{"value", K::Float32}}),
    function<&encode_ieee754_f32>("encode_ieee754_f32", {{"value", K::Float32}}),
    function<&encode_ieee754_f64>("encode_ieee754_f64", {{"value", K::Float64}}),
    function<&encode_ieee754_f128>("encode_ieee754_f128", {unused_f64}),
    function<&encode_ieee754_1985_f32>("encode_ieee754_1985_f32", {unused_f32}),
    function<&encode_ieee754_1985_f64>("encode_ieee754_1985_f64", {unused_f64}),
    function<&encode_ieee754_1985_f80>("encode_ieee754_1985_f80", {unused_f64}),
    function<&encode_mil_std_1750a_f32>("encode_mil_std_1750a_f32", {unused_f32}),
    function<&encode_mil_std_1750a_f48>("encode_mil_std_1750a_f48", {unused_f64}),
    function<&encode_dec_f32>("encode_dec_f32", {unused_f32}),
    function<&encode_dec_f64>("encode_dec_f64", {unused_f64}),
    function<&encode_ibm_f32>("encode_ibm_f32", {unused_f32}),
    function<&encode_ibm_f64>("encode_ibm_f64", {unused_f64}),
    function<&encode_ti_f32>("encode_ti_f32", {unused_f32}),
    function<&encode_ti_f40>("encode_ti_f40", {unused_f64}),
    function<&encode_us_ascii>("encode_us_ascii", {text_in}),
    function<&encode_iso_8859_1>("encode_iso_8859_1", {text_in}),
    function<&encode_windows_1252>("encode_windows_1252", {text_in}),
    function<&encode_utf8>("encode_utf8", {text_in}),
    function<&encode_utf16>("encode_utf16", {text_in}),
    function<&encode_utf16le>("encode_utf16le", {text_in}),
    function<&encode_utf16be>("encode_utf16be", {text_in}),
    function<&encode_utf32>("encode_utf32", {text_in}),
    function<&encode_utf32le>("encode_utf32le", {text_in}),
    function<&encode_utf32be>("encode_utf32be", {text_in}),
};

static_assert(kFunctions.size() == 62);
static_assert(std::all_of(kFunctions.begin(), kFunctions.end(),
                          [](const FunctionSpec& spec) { return spec.leaf_types_match; }),
              "a routine's parameter types do not match its argument kinds");

}  // namespace vantrel::table
