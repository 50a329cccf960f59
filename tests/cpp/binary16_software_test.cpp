// The software binary16 conversions on their own, for processors without
// F16C: fixed cases, every rounding boundary between neighbouring binary16
// values, and exact widening of every pattern.
#include <bit>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <initializer_list>
#include <limits>

#include "common/binary16.hpp"

namespace {

using vantrel::binary16_from_float_software;
using vantrel::binary16_to_float_software;

int failures = 0;

void expect(bool condition, const char* what, std::uint64_t detail) {
  if (condition) return;
  if (++failures <= 20) {
    std::printf("FAIL: %s (0x%llX)\n", what, static_cast<unsigned long long>(detail));
  }
}

float from_bits(std::uint32_t bits) { return std::bit_cast<float>(bits); }
std::uint32_t bits_of(float value) { return std::bit_cast<std::uint32_t>(value); }

// The exact value of a finite binary16 pattern, computed independently.
double exact_value(std::uint16_t pattern) {
  const int exponent = (pattern >> 10) & 0x1F;
  const int fraction = pattern & 0x3FF;
  const double magnitude =
      exponent == 0 ? std::ldexp(fraction, -24) : std::ldexp(1024 + fraction, exponent - 25);
  return (pattern & 0x8000) != 0 ? -magnitude : magnitude;
}

void fixed_cases() {
  struct Case {
    float value;
    std::uint16_t pattern;
  };
  const Case cases[] = {
      {1.0f, 0x3C00},
      {-2.5f, 0xC100},
      {65504.0f, 0x7BFF},
      {65519.99f, 0x7BFF},
      {65520.0f, 0x7C00},
      {65536.0f, 0x7C00},
      {-0.0f, 0x8000},
      {0x1p-24f, 0x0001},
      {0x1p-25f, 0x0000},
      {-0x1p-25f, 0x8000},
      {0x1.000002p-25f, 0x0001},
      {0x1.8p-24f, 0x0002},
      {0x1p-14f, 0x0400},
      {0x1.ff8p-15f, 0x03FF},
      {0x1.ffcp-15f, 0x0400},  // the largest subnormal's upper tie goes to the normal
      {0x1.002p0f, 0x3C00},
      {0x1.006p0f, 0x3C02},
      {std::numeric_limits<float>::infinity(), 0x7C00},
      {-std::numeric_limits<float>::infinity(), 0xFC00},
      {std::numeric_limits<float>::max(), 0x7C00},
      {std::numeric_limits<float>::denorm_min(), 0x0000},
  };
  for (const Case& c : cases) {
    expect(binary16_from_float_software(c.value) == c.pattern, "fixed encode case",
           bits_of(c.value));
  }
}

void nan_cases() {
  // Encoding: sign kept, top 10 fraction bits kept, quiet bit set.
  const std::uint32_t nans[] = {0x7F800001u, 0x7FA00000u, 0x7F802000u, 0xFF800001u,
                                0x7FC00000u, 0x7FFFFFFFu, 0xFFBFE000u};
  for (std::uint32_t bits : nans) {
    const std::uint16_t expected =
        static_cast<std::uint16_t>(((bits >> 16) & 0x8000u) | 0x7E00u | ((bits >> 13) & 0x3FFu));
    expect(binary16_from_float_software(from_bits(bits)) == expected, "NaN encode", bits);
  }
  // Decoding: every binary16 NaN, fraction moved up, quiet bit set.
  for (std::uint32_t fraction = 1; fraction <= 0x3FF; ++fraction) {
    for (std::uint32_t sign : {0u, 0x8000u}) {
      const auto pattern = static_cast<std::uint16_t>(sign | 0x7C00u | fraction);
      const std::uint32_t expected = (sign << 16) | 0x7FC00000u | (fraction << 13);
      expect(bits_of(binary16_to_float_software(pattern)) == expected, "NaN decode", pattern);
    }
  }
}

void decode_every_pattern() {
  for (std::uint32_t p = 0; p <= 0xFFFF; ++p) {
    const auto pattern = static_cast<std::uint16_t>(p);
    const float widened = binary16_to_float_software(pattern);
    if ((p & 0x7C00u) == 0x7C00u) {
      if ((p & 0x3FFu) == 0) {
        expect(std::isinf(widened) && std::signbit(widened) == ((p & 0x8000u) != 0),
               "infinity decode", p);
      }
      continue;
    }
    // Exact, sign of zero included.
    expect(static_cast<double>(widened) == exact_value(pattern) &&
               std::signbit(widened) == ((p & 0x8000u) != 0),
           "exact decode", p);
    expect(binary16_from_float_software(widened) == pattern, "decode/encode round trip", p);
  }
}

// Between each pair of neighbouring binary16 values, the midpoint (exact in
// binary32) goes to the even one, and the binary32 values just beside it go
// to the nearer one. With both signs, this pins down every rounding decision.
void rounding_boundaries() {
  for (std::uint32_t sign : {0u, 0x8000u}) {
    for (std::uint32_t low = 0; low < 0x7BFF; ++low) {
      const auto below = static_cast<std::uint16_t>(sign | low);
      const auto above = static_cast<std::uint16_t>(sign | (low + 1));
      const auto middle = static_cast<float>((exact_value(below) + exact_value(above)) / 2);
      const std::uint16_t even = (low & 1u) == 0 ? below : above;
      const float toward_zero = std::nextafter(middle, 0.0f);
      const float away = std::nextafter(middle, sign != 0 ? -INFINITY : INFINITY);
      expect(binary16_from_float_software(middle) == even, "tie to even", bits_of(middle));
      expect(binary16_from_float_software(toward_zero) == below, "below a tie",
             bits_of(toward_zero));
      expect(binary16_from_float_software(away) == above, "above a tie", bits_of(away));
    }
    // Between 65504 and the tie at 65520 with the would-be next value 65536.
    const float limit = sign != 0 ? -65520.0f : 65520.0f;
    const float just_under = std::nextafter(limit, 0.0f);
    expect(binary16_from_float_software(limit) == (sign | 0x7C00u), "overflow tie", bits_of(limit));
    expect(binary16_from_float_software(just_under) == (sign | 0x7BFFu), "under overflow",
           bits_of(just_under));
  }
}

}  // namespace

int main() {
  fixed_cases();
  nan_cases();
  decode_every_pattern();
  rounding_boundaries();
  if (failures != 0) {
    std::printf("%d failures\n", failures);
    return 1;
  }
  std::printf("software binary16 conversions: all checks passed\n");
  return 0;
}
