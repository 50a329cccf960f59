// The F16C and software binary16 conversions must agree on every input: all
// 2^32 binary32 patterns when encoding, all 2^16 binary16 patterns when
// decoding, NaNs compared by pattern.
#include <bit>
#include <chrono>
#include <cstdint>
#include <cstdio>

#include "common/binary16.hpp"

#if defined(__x86_64__) || defined(__i386__)
#include <immintrin.h>
#endif

namespace {

using vantrel::binary16_from_float;
using vantrel::binary16_from_float_hardware;
using vantrel::binary16_from_float_software;
using vantrel::binary16_to_float;
using vantrel::binary16_to_float_hardware;
using vantrel::binary16_to_float_software;

constexpr int kSkip = 77;
constexpr int kReportLimit = 10;

struct Tally {
  const char* what;
  std::uint64_t checked = 0;
  std::uint64_t mismatches = 0;

  void mismatch(std::uint64_t input, std::uint64_t software, std::uint64_t hardware) {
    if (++mismatches <= kReportLimit) {
      std::printf("%s: input 0x%08llX: software 0x%08llX, F16C 0x%08llX\n", what,
                  static_cast<unsigned long long>(input), static_cast<unsigned long long>(software),
                  static_cast<unsigned long long>(hardware));
    }
  }
};

void compare_decoding(Tally& tally) {
  for (std::uint32_t pattern = 0; pattern <= 0xFFFF; ++pattern) {
    const auto half = static_cast<std::uint16_t>(pattern);
    const auto software = std::bit_cast<std::uint32_t>(binary16_to_float_software(half));
    const auto hardware = std::bit_cast<std::uint32_t>(binary16_to_float_hardware(half));
    const auto dispatched = std::bit_cast<std::uint32_t>(binary16_to_float(half));
    ++tally.checked;
    if (software != hardware) tally.mismatch(pattern, software, hardware);
    if (dispatched != hardware) tally.mismatch(pattern, software, dispatched);
  }
}

// Encodes every binary32 pattern in [first, last], both ends included.
void compare_encoding(Tally& tally, std::uint32_t first, std::uint32_t last) {
  std::uint32_t bits = first;
  while (true) {
    const float value = std::bit_cast<float>(bits);
    const std::uint16_t software = binary16_from_float_software(value);
    const std::uint16_t hardware = binary16_from_float_hardware(value);
    ++tally.checked;
    if (software != hardware) tally.mismatch(bits, software, hardware);
    if (bits == last) break;
    ++bits;
  }
}

void compare_dispatch_sample(Tally& tally) {
  // The dispatching entry point must take the F16C path here; a stride that
  // is prime to 2^32 reaches every exponent and sign.
  for (std::uint64_t bits = 0; bits <= 0xFFFFFFFFu; bits += 65521) {
    const float value = std::bit_cast<float>(static_cast<std::uint32_t>(bits));
    const std::uint16_t hardware = binary16_from_float_hardware(value);
    const std::uint16_t dispatched = binary16_from_float(value);
    ++tally.checked;
    if (dispatched != hardware) tally.mismatch(bits, dispatched, hardware);
  }
}

bool report(const Tally& tally) {
  std::printf("%s: %llu inputs, %llu mismatches\n", tally.what,
              static_cast<unsigned long long>(tally.checked),
              static_cast<unsigned long long>(tally.mismatches));
  return tally.mismatches == 0;
}

double seconds_since(std::chrono::steady_clock::time_point start) {
  return std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
}

}  // namespace

int main() {
  if (!vantrel::binary16_hardware_available()) {
    std::printf("SKIP: this processor has no F16C instructions; only the software path exists\n");
    return kSkip;
  }
  bool ok = true;

  Tally decoding{"decode, all binary16 patterns"};
  compare_decoding(decoding);
  ok &= report(decoding);

  const auto start = std::chrono::steady_clock::now();
  Tally encoding{"encode, all binary32 patterns"};
  compare_encoding(encoding, 0, 0xFFFFFFFFu);
  ok &= report(encoding);
  std::printf("exhaustive encode comparison: %.1f s\n", seconds_since(start));

  Tally dispatch{"encode, dispatching entry point"};
  compare_dispatch_sample(dispatch);
  ok &= report(dispatch);

#if defined(__x86_64__) || defined(__i386__)
  // A library in the caller's process may have set flush-to-zero and
  // denormals-are-zero; neither may change what F16C gives. Subnormal binary16
  // results and subnormal binary32 inputs are where they could.
  const unsigned int saved = _mm_getcsr();
  _mm_setcsr(saved | 0x8040u);
  Tally flushed{"FTZ/DAZ set: decode all, encode subnormal ranges"};
  compare_decoding(flushed);
  compare_encoding(flushed, 0x00000000u, 0x007FFFFFu);  // binary32 subnormals
  compare_encoding(flushed, 0x80000000u, 0x807FFFFFu);
  compare_encoding(flushed, 0x33000000u, 0x38800000u);  // binary16 subnormal results
  compare_encoding(flushed, 0xB3000000u, 0xB8800000u);
  _mm_setcsr(saved);
  ok &= report(flushed);
#endif

  return ok ? 0 : 1;
}
