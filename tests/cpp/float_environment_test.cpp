// Float conversions must give the bits of round-to-nearest-even under the
// default environment, whatever MXCSR (flush-to-zero, denormals-are-zero) and
// the rounding mode say. Every conversion the codecs and the packer's rows
// make is run over a sample of inputs in the default environment, then again
// under each altered one, and the bit patterns compared. A hardware
// conversion is run beside them to show that each environment really took
// effect (otherwise agreement would prove nothing).
//
// Also checks the integer double -> binary32 rounding against the processor's
// own conversion in the default environment, over edge cases and random
// patterns of every exponent.
#include <bit>
#include <cfenv>
#include <cfloat>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <random>
#include <string>
#include <vector>

#include "common/binary16.hpp"
#include "common/binary32.hpp"
#include "decoder/decoders.hpp"
#include "encoder/encoders.hpp"
#include "layout/encoding_table.hpp"

#if defined(__x86_64__) || defined(__i386__)
#include <immintrin.h>
#define HAVE_MXCSR 1
#else
#define HAVE_MXCSR 0
#endif

namespace {

using vantrel::binary32_from_double;

constexpr int kReportLimit = 10;
int failures = 0;

void fail(const std::string& message) {
  if (++failures <= kReportLimit) std::printf("FAIL %s\n", message.c_str());
}

std::string hex(std::uint64_t value) {
  char text[32];
  std::snprintf(text, sizeof text, "0x%016llX", static_cast<unsigned long long>(value));
  return text;
}

// Keeps the compiler from folding or moving a conversion across a change of
// environment.
template <class T>
T opaque(T value) {
  asm volatile("" : "+m"(value));
  return value;
}

// ---- Inputs -----------------------------------------------------------------

std::vector<double> sample_doubles() {
  std::vector<double> values = {0.0,
                                -0.0,
                                1.0,
                                -1.0,
                                0.1,
                                1e-40,
                                -1e-40,
                                1e-45,
                                1.4e-45,
                                7e-46,
                                0x1p-150,
                                0x1.000001p-150,
                                0x1p-149,
                                0x1.8p-149,
                                0x1p-126,
                                0x1.fffffcp-127,
                                0x1.fffffep-127,
                                0x1.ffffffp-127,
                                0x1p-1022,
                                0x1p-1074,
                                -0x1p-1074,
                                1e-310,
                                FLT_MAX,
                                0x1.fffffefp127,
                                0x1.ffffffp127,
                                0x1.ffffff1p127,
                                1e39,
                                DBL_MAX,
                                -DBL_MAX,
                                65504.0,
                                65519.0,
                                65520.0,
                                0x1p-24,
                                0x1p-25,
                                0x1.8p-25,
                                0x1p-14,
                                6e-8,
                                1.0 + 0x1p-24,
                                1.0 + 0x1.8p-24,
                                1.0 + 0x1p-23 + 0x1p-24,
                                HUGE_VAL,
                                -HUGE_VAL,
                                std::bit_cast<double>(0x7FF8000000000001ull),
                                std::bit_cast<double>(0x7FF0000000000001ull),
                                std::bit_cast<double>(0xFFF4000000000000ull),
                                std::bit_cast<double>(0x7FFFFFFFFFFFFFFFull)};
  std::mt19937_64 random(20261207);
  // Every binary64 exponent, a few random fractions each, both signs; plus
  // values right at and beside binary32 rounding ties.
  for (std::uint64_t exponent = 0; exponent <= 0x7FF; ++exponent) {
    for (int i = 0; i < 8; ++i) {
      const std::uint64_t fraction = random() & 0xFFFFFFFFFFFFFull;
      values.push_back(std::bit_cast<double>((exponent << 52) | fraction));
      values.push_back(std::bit_cast<double>((std::uint64_t{1} << 63) | (exponent << 52) |
                                             (fraction & ~0x1FFFFFFFull) | 0x10000000ull));
    }
  }
  return values;
}

// Random binary64 patterns whose exponents cover binary32's range and a
// margin around it, where the rounding is interesting.
double random_double_near_binary32(std::mt19937_64& random) {
  const std::uint64_t exponent = 1023 - 160 + random() % 300;
  std::uint64_t fraction = random() & 0xFFFFFFFFFFFFFull;
  switch (random() % 4) {  // exact ties and near ties at the binary32 grid
    case 0: fraction = (fraction & ~0x1FFFFFFFull) | 0x10000000ull; break;
    case 1: fraction = (fraction & ~0x1FFFFFFFull) | (0x10000000ull + (random() % 3) - 1); break;
    default: break;
  }
  return std::bit_cast<double>(((random() & 1) << 63) | (exponent << 52) | fraction);
}

// ---- Integer binary32 rounding vs the processor (default environment) -------

std::uint32_t processor_binary32(double value) {
  // Out of binary32's range the conversion is undefined in C++; the processor
  // gives infinity there under round-to-nearest, which is also what the
  // halfway rule below says.
  if (std::isfinite(value) && std::fabs(value) > FLT_MAX) {
    const float magnitude = std::fabs(value) >= 0x1.ffffffp127 ? HUGE_VALF : FLT_MAX;
    return std::bit_cast<std::uint32_t>(value > 0 ? magnitude : -magnitude);
  }
  return std::bit_cast<std::uint32_t>(static_cast<float>(opaque(value)));
}

void check_rounding_against_processor() {
  std::mt19937_64 random(7);
  std::vector<double> values = sample_doubles();
  for (int i = 0; i < 4'000'000; ++i) values.push_back(random_double_near_binary32(random));
  for (const double value : values) {
    const auto integer = std::bit_cast<std::uint32_t>(binary32_from_double(value));
    const std::uint32_t processor = processor_binary32(value);
    if (integer != processor) {
      fail("binary32_from_double(" + hex(std::bit_cast<std::uint64_t>(value)) +
           ") = " + hex(integer) + ", processor " + hex(processor));
    }
  }
  std::printf("integer binary32 rounding: %zu values compared with the processor\n", values.size());
}

// ---- Every conversion, as one vector of bit patterns -------------------------

struct FieldSink final : vantrel::TextSink {
  void* allocate(std::size_t, char32_t) override { return nullptr; }
};

std::uint64_t row_pattern(const vantrel::Result<vantrel::FieldContent>& content) {
  if (!content) return ~std::uint64_t{0};
  return std::get<std::uint64_t>(*content);
}

std::uint64_t row_value(const vantrel::Result<vantrel::FieldValue>& value) {
  if (!value) return ~std::uint64_t{0};
  return std::bit_cast<std::uint64_t>(std::get<double>(*value));
}

// The encoding rows, as the packer and unpacker call them.
const vantrel::EncodingRow& row(const char* name) {
  const vantrel::EncodingRow* found = vantrel::find_encoding(name);
  if (found == nullptr) {
    std::printf("no encoding row %s\n", name);
    std::exit(1);
  }
  return *found;
}

std::vector<std::uint64_t> run_conversions(const std::vector<double>& doubles,
                                           const std::vector<std::uint64_t>& patterns) {
  std::vector<std::uint64_t> out;
  out.reserve(doubles.size() * 8 + patterns.size() * 12);
  const auto& f16 = row("ieee754_f16");
  const auto& f32 = row("ieee754_f32");
  const auto& f64 = row("ieee754_f64");
  FieldSink sink;
  for (const double value : doubles) {
    // The float32 argument kind, then each encoder and each packer row.
    const float single = binary32_from_double(opaque(value));
    out.push_back(std::bit_cast<std::uint32_t>(single));
    out.push_back(vantrel::encode_ieee754_f16(single));
    out.push_back(vantrel::encode_ieee754_f32(single));
    out.push_back(vantrel::encode_ieee754_f64(opaque(value)));
    vantrel::PackInput input;
    input.real32 = single;
    input.real64 = opaque(value);
    out.push_back(row_pattern(f16.encode(input, 16)));
    out.push_back(row_pattern(f32.encode(input, 32)));
    out.push_back(row_pattern(f64.encode(input, 64)));
    out.push_back(vantrel::binary16_from_float_software(single));
  }
  for (const std::uint64_t pattern : patterns) {
    // Each decoder, widened to double as the interpreter receives it, and
    // each unpacker row.
    out.push_back(std::bit_cast<std::uint64_t>(
        static_cast<double>(vantrel::decode_ieee754_f16(opaque(pattern)))));
    out.push_back(std::bit_cast<std::uint64_t>(vantrel::decode_ieee754_f32(opaque(pattern))));
    out.push_back(std::bit_cast<std::uint64_t>(vantrel::decode_ieee754_f64(opaque(pattern))));
    out.push_back(std::bit_cast<std::uint64_t>(
        vantrel::decode_ieee754_f128(vantrel::U128{opaque(pattern), ~pattern})));
    out.push_back(std::bit_cast<std::uint64_t>(vantrel::decode_ieee754_f128(vantrel::U128{
        (pattern & 0x8000FFFFFFFFFFFFull) | (0x3C01ull + pattern % 0x800) << 48, pattern * 31})));
    out.push_back(row_value(f16.decode(vantrel::FieldInput{pattern & 0xFFFF, 16, {}}, sink)));
    out.push_back(row_value(f32.decode(vantrel::FieldInput{pattern & 0xFFFFFFFF, 32, {}}, sink)));
    out.push_back(row_value(f64.decode(vantrel::FieldInput{pattern, 64, {}}, sink)));
    out.push_back(std::bit_cast<std::uint32_t>(
        vantrel::binary16_to_float_software(static_cast<std::uint16_t>(opaque(pattern)))));
    if (vantrel::binary16_hardware_available()) {
      out.push_back(std::bit_cast<std::uint32_t>(
          vantrel::binary16_to_float_hardware(static_cast<std::uint16_t>(opaque(pattern)))));
      out.push_back(vantrel::binary16_from_float_hardware(
          std::bit_cast<float>(static_cast<std::uint32_t>(opaque(pattern)))));
    }
    out.push_back(vantrel::binary16_from_float_software(
        std::bit_cast<float>(static_cast<std::uint32_t>(opaque(pattern)))));
  }
  return out;
}

// Hardware conversions over the same inputs, which the environment does
// change: a witness that it is in effect.
std::vector<std::uint64_t> run_hardware(const std::vector<double>& doubles,
                                        const std::vector<std::uint64_t>& patterns) {
  std::vector<std::uint64_t> out;
  for (const double value : doubles) {
    if (std::isfinite(value) && std::fabs(value) <= FLT_MAX) {
      out.push_back(std::bit_cast<std::uint32_t>(static_cast<float>(opaque(value))));
    }
  }
  for (const std::uint64_t pattern : patterns) {
    const float single = std::bit_cast<float>(static_cast<std::uint32_t>(pattern));
    out.push_back(std::bit_cast<std::uint64_t>(static_cast<double>(opaque(single))));
  }
  return out;
}

std::vector<std::uint64_t> sample_patterns() {
  std::vector<std::uint64_t> patterns;
  for (std::uint64_t half = 0; half <= 0xFFFF; ++half) patterns.push_back(half);
  std::mt19937_64 random(99);
  for (int i = 0; i < 200'000; ++i) {
    const std::uint64_t pattern = random();
    patterns.push_back(pattern);
    patterns.push_back(pattern & 0x807FFFFFull);                            // binary32 subnormals
    patterns.push_back(pattern & 0x800FFFFFFFFFFFFFull);                    // binary64 subnormals
    patterns.push_back((pattern & 0x83FFull) | 0x0000ull);                  // binary16 subnormals
    patterns.push_back((pattern & 0xFFFFFFFF007FFFFFull) | 0x7F800000ull);  // binary32 NaNs
  }
  return patterns;
}

struct Environment {
  const char* name;
  int rounding;
  unsigned mxcsr_bits;  // FTZ 0x8000, DAZ 0x0040
};

void apply(const Environment& environment) {
  std::fesetround(environment.rounding);
#if HAVE_MXCSR
  _mm_setcsr(_mm_getcsr() | environment.mxcsr_bits);
#endif
}

void restore() {
  std::fesetround(FE_TONEAREST);
#if HAVE_MXCSR
  _mm_setcsr(_mm_getcsr() & ~0x8040u);
#endif
}

}  // namespace

int main() {
  check_rounding_against_processor();

  const std::vector<double> doubles = sample_doubles();
  const std::vector<std::uint64_t> patterns = sample_patterns();
  const std::vector<std::uint64_t> expected = run_conversions(doubles, patterns);
  const std::vector<std::uint64_t> hardware_default = run_hardware(doubles, patterns);

  const Environment environments[] = {
      {"FTZ", FE_TONEAREST, 0x8000},         {"DAZ", FE_TONEAREST, 0x0040},
      {"FTZ+DAZ", FE_TONEAREST, 0x8040},     {"upward", FE_UPWARD, 0},
      {"downward", FE_DOWNWARD, 0},          {"toward zero", FE_TOWARDZERO, 0},
      {"upward+FTZ+DAZ", FE_UPWARD, 0x8040}, {"downward+FTZ+DAZ", FE_DOWNWARD, 0x8040},
  };
  for (const Environment& environment : environments) {
#if !HAVE_MXCSR
    if (environment.mxcsr_bits != 0) continue;
#endif
    apply(environment);
    const std::vector<std::uint64_t> got = run_conversions(doubles, patterns);
    const std::vector<std::uint64_t> hardware = run_hardware(doubles, patterns);
    restore();

    std::size_t differing = 0;
    for (std::size_t i = 0; i < got.size(); ++i) {
      if (got[i] != expected[i]) {
        ++differing;
        fail(std::string(environment.name) + ": conversion #" + std::to_string(i) + " gave " +
             hex(got[i]) + " instead of " + hex(expected[i]));
      }
    }
    std::size_t witnessed = 0;
    for (std::size_t i = 0; i < hardware.size(); ++i)
      witnessed += hardware[i] != hardware_default[i];
    if (witnessed == 0) fail(std::string(environment.name) + ": the environment had no effect");
    std::printf("%-18s %zu conversions, %zu differ from the default; %zu hardware ones changed\n",
                environment.name, got.size(), differing, witnessed);
  }
  if (failures != 0) {
    std::printf("%d failures\n", failures);
    return 1;
  }
  std::printf("all conversions exact under every environment\n");
  return 0;
}
