#include "common/binary16.hpp"

#include <bit>

#if defined(__x86_64__) || defined(__i386__)
#include <immintrin.h>
#define VANTREL_HAVE_F16C_PATH 1
#else
#define VANTREL_HAVE_F16C_PATH 0
#endif

namespace vantrel {

std::uint16_t binary16_from_float_software(float value) {
  const std::uint32_t bits = std::bit_cast<std::uint32_t>(value);
  const auto sign = static_cast<std::uint16_t>((bits >> 16) & 0x8000u);
  const std::uint32_t magnitude = bits & 0x7FFFFFFFu;

  if (magnitude > 0x7F800000u) {  // NaN
    return static_cast<std::uint16_t>(sign | 0x7E00u | ((magnitude >> 13) & 0x3FFu));
  }
  if (magnitude >= 0x47800000u) return sign | 0x7C00u;  // 2^16 and above, infinity
  if (magnitude >= 0x38800000u) {                       // 2^-14 and above: normal
    // Rebias the exponent (127 -> 15), then round the 13 dropped fraction bits
    // to nearest even. A carry runs on into the exponent, and from 65520 up it
    // lands exactly on the infinity pattern.
    const std::uint32_t rebiased = magnitude - 0x38000000u;
    const std::uint32_t rounded = rebiased + 0x0FFFu + ((rebiased >> 13) & 1u);
    return static_cast<std::uint16_t>(sign | (rounded >> 13));
  }
  if (magnitude >= 0x33000000u) {  // 2^-25 up to 2^-14: subnormal
    // Units of 2^-24: the significand shifted right by 14 (for 2^-15) up to
    // 24 (for 2^-25), rounded to nearest even. Rounding may carry into the
    // smallest normal, whose pattern follows the largest subnormal's.
    const std::uint32_t exponent = magnitude >> 23;
    const std::uint32_t significand = (magnitude & 0x7FFFFFu) | 0x800000u;
    const std::uint32_t shift = 126u - exponent;
    const std::uint32_t kept = significand >> shift;
    const std::uint32_t dropped = significand & ((1u << shift) - 1u);
    const std::uint32_t half = 1u << (shift - 1u);
    const std::uint32_t round_up = dropped > half || (dropped == half && (kept & 1u) != 0);
    return static_cast<std::uint16_t>(sign | (kept + round_up));
  }
  return sign;  // below 2^-25 (or exactly it, a tie to even): zero
}

float binary16_to_float_software(std::uint16_t pattern) {
  const std::uint32_t sign = static_cast<std::uint32_t>(pattern & 0x8000u) << 16;
  const std::uint32_t exponent = (pattern >> 10) & 0x1Fu;
  const std::uint32_t fraction = pattern & 0x3FFu;

  std::uint32_t bits;
  if (exponent == 0x1F) {
    bits = fraction == 0 ? 0x7F800000u : 0x7FC00000u | (fraction << 13);
  } else if (exponent != 0) {
    bits = ((exponent + 112u) << 23) | (fraction << 13);
  } else if (fraction == 0) {
    bits = 0;
  } else {
    // Subnormal: fraction x 2^-24 is a normal binary32. Its leading one sits
    // at bit `top`, giving 1.f x 2^(top - 24).
    const auto top = static_cast<std::uint32_t>(std::bit_width(fraction)) - 1u;
    bits = ((top + 103u) << 23) | ((fraction << (23u - top)) & 0x7FFFFFu);
  }
  return std::bit_cast<float>(sign | bits);
}

#if VANTREL_HAVE_F16C_PATH

// F16C already quiets NaNs and keeps the top of their payload exactly as the
// software path does, and it does not consult MXCSR's DAZ/FTZ here. The
// rounding mode is given explicitly so that a caller's MXCSR rounding mode
// cannot change the result.
__attribute__((target("f16c"))) std::uint16_t binary16_from_float_hardware(float value) {
  return static_cast<std::uint16_t>(_cvtss_sh(value, _MM_FROUND_TO_NEAREST_INT));
}

__attribute__((target("f16c"))) float binary16_to_float_hardware(std::uint16_t pattern) {
  return _cvtsh_ss(pattern);
}

namespace {

bool detect_f16c() {
  __builtin_cpu_init();
  return __builtin_cpu_supports("f16c") != 0;
}

// Checked once, when the library is loaded. A conversion that ran before this
// initialiser would see false and take the software path, which gives the
// same results.
const bool kHasF16c = detect_f16c();

}  // namespace

#else

std::uint16_t binary16_from_float_hardware(float value) {
  return binary16_from_float_software(value);
}
float binary16_to_float_hardware(std::uint16_t pattern) {
  return binary16_to_float_software(pattern);
}

namespace {
constexpr bool kHasF16c = false;
}  // namespace

#endif

bool binary16_hardware_available() { return kHasF16c; }

std::uint16_t binary16_from_float(float value) {
  return kHasF16c ? binary16_from_float_hardware(value) : binary16_from_float_software(value);
}

float binary16_to_float(std::uint16_t pattern) {
  return kHasF16c ? binary16_to_float_hardware(pattern) : binary16_to_float_software(pattern);
}

}  // namespace vantrel
