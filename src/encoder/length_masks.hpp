// Which characters of a 16-unit block need two UTF-8 bytes or more, three
// or more, and four: one bit per character, the first character in the
// lowest bit. The UTF-8 encoder picks its writer for a block from these. The
// SSE2 version is the one x86-64 builds use; the portable loop serves every
// other processor, and both are compiled here so that a test can compare
// them.
#pragma once

#include <cstddef>
#include <cstdint>

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

namespace vantrel::utf8_lengths {

inline constexpr std::size_t kBlock = 16;

struct LengthMasks {
  std::uint32_t two;
  std::uint32_t three;
  std::uint32_t four;

  bool operator==(const LengthMasks&) const = default;
};

template <class Unit>
LengthMasks length_masks_portable(const Unit* block) {
  LengthMasks masks{0, 0, 0};
  for (std::size_t k = 0; k < kBlock; ++k) {
    const auto unit = static_cast<char32_t>(block[k]);
    masks.two |= std::uint32_t{unit >= 0x80} << k;
    masks.three |= std::uint32_t{unit >= 0x800} << k;
    masks.four |= std::uint32_t{unit >= 0x10000} << k;
  }
  return masks;
}

#if defined(__SSE2__)
// Sixteen 16-bit lanes that are 0xFFFF or 0, as one bit per lane.
inline std::uint32_t lane_bits16(__m128i low_half, __m128i high_half) {
  return static_cast<std::uint32_t>(_mm_movemask_epi8(_mm_packs_epi16(low_half, high_half)));
}

// Lanes that are not zero after masking with `bits`.
inline __m128i nonzero16(__m128i units, std::uint16_t bits) {
  const __m128i masked = _mm_and_si128(units, _mm_set1_epi16(static_cast<short>(bits)));
  return _mm_xor_si128(_mm_cmpeq_epi16(masked, _mm_setzero_si128()), _mm_set1_epi32(-1));
}
inline __m128i nonzero32(__m128i units, std::uint32_t bits) {
  const __m128i masked = _mm_and_si128(units, _mm_set1_epi32(static_cast<int>(bits)));
  return _mm_xor_si128(_mm_cmpeq_epi32(masked, _mm_setzero_si128()), _mm_set1_epi32(-1));
}

inline __m128i load128(const void* p) { return _mm_loadu_si128(static_cast<const __m128i*>(p)); }

inline LengthMasks length_masks_sse2(const std::uint8_t* block) {
  const auto two = static_cast<std::uint32_t>(_mm_movemask_epi8(load128(block)));
  return {two, 0, 0};
}

inline LengthMasks length_masks_sse2(const char16_t* block) {
  const __m128i a = load128(block);
  const __m128i b = load128(block + 8);
  return {lane_bits16(nonzero16(a, 0xFF80), nonzero16(b, 0xFF80)),
          lane_bits16(nonzero16(a, 0xF800), nonzero16(b, 0xF800)), 0};
}

inline LengthMasks length_masks_sse2(const char32_t* block) {
  std::uint32_t masks[3];
  const std::uint32_t bits[3] = {0xFFFFFF80, 0xFFFFF800, 0xFFFF0000};
  for (int m = 0; m < 3; ++m) {
    const __m128i q0 =
        _mm_packs_epi32(nonzero32(load128(block), bits[m]), nonzero32(load128(block + 4), bits[m]));
    const __m128i q1 = _mm_packs_epi32(nonzero32(load128(block + 8), bits[m]),
                                       nonzero32(load128(block + 12), bits[m]));
    masks[m] = lane_bits16(q0, q1);
  }
  return {masks[0], masks[1], masks[2]};
}
#endif

}  // namespace vantrel::utf8_lengths
