// The SSE2 and portable UTF-8 length masks must agree. Every unit value near
// each length boundary is tried in every lane, then random blocks mixing all
// lengths. Exits 77 (skipped) on a processor without SSE2.
#include "encoder/length_masks.hpp"

#include <cstdint>
#include <cstdio>
#include <random>
#include <vector>

namespace {

using vantrel::utf8_lengths::kBlock;
using vantrel::utf8_lengths::length_masks_portable;
using vantrel::utf8_lengths::LengthMasks;

int failures = 0;

#if defined(__SSE2__)
using vantrel::utf8_lengths::length_masks_sse2;

template <class Unit>
void compare(const Unit (&block)[kBlock], const char* what) {
  const LengthMasks portable = length_masks_portable(block);
  const LengthMasks sse2 = length_masks_sse2(block);
  if (portable == sse2) return;
  if (++failures <= 10) {
    std::printf("%s: portable %04X/%04X/%04X, SSE2 %04X/%04X/%04X for units", what, portable.two,
                portable.three, portable.four, sse2.two, sse2.three, sse2.four);
    for (Unit unit : block) std::printf(" %X", static_cast<unsigned>(unit));
    std::printf("\n");
  }
}

template <class Unit>
void sweep(const std::vector<char32_t>& values, const char* what) {
  // Each value alone in each lane, over a background of every other value.
  for (char32_t background : values) {
    for (char32_t value : values) {
      for (std::size_t lane = 0; lane < kBlock; ++lane) {
        Unit block[kBlock];
        for (Unit& unit : block) unit = static_cast<Unit>(background);
        block[lane] = static_cast<Unit>(value);
        compare(block, what);
      }
    }
  }
  std::mt19937 random(12345);
  std::uniform_int_distribution<std::size_t> pick(0, values.size() - 1);
  for (int round = 0; round < 200000; ++round) {
    Unit block[kBlock];
    for (Unit& unit : block) unit = static_cast<Unit>(values[pick(random)]);
    compare(block, what);
  }
}
#endif

}  // namespace

int main() {
#if defined(__SSE2__)
  // Both sides of every boundary the masks draw, and the extremes of each
  // unit size.
  const std::vector<char32_t> bytes = {0x00, 0x01, 0x41, 0x7F, 0x80, 0x81, 0xC3, 0xFF};
  std::vector<char32_t> units16 = bytes;
  units16.insert(units16.end(), {0x100, 0x7FF, 0x800, 0x801, 0xD7FF, 0xE000, 0xFFFF});
  std::vector<char32_t> units32 = units16;
  units32.insert(units32.end(), {0x10000, 0x10001, 0x1F600, 0x10FFFF});
  sweep<std::uint8_t>(bytes, "1-byte units");
  sweep<char16_t>(units16, "2-byte units");
  sweep<char32_t>(units32, "4-byte units");
  if (failures != 0) {
    std::printf("%d blocks with different masks\n", failures);
    return 1;
  }
  std::printf("SSE2 and portable length masks agree\n");
  return 0;
#else
  std::printf("no SSE2 on this processor: nothing to compare against\n");
  return 77;
#endif
}
