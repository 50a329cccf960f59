// UTF-8 building blocks shared by the text encoders and decoders.
#pragma once

#include <algorithm>
#include <bit>
#include <cstddef>
#include <cstdint>
#include <cstring>

namespace vantrel::utf8 {

inline constexpr std::uint64_t kHighBits = 0x8080808080808080ULL;

inline std::uint64_t load_u64(const std::uint8_t* p) {
  std::uint64_t word;
  std::memcpy(&word, p, sizeof word);
  return word;
}

// Index in a native-order word of the first byte whose top bit is set in
// `high_bits` (which holds only such bits, and at least one).
inline std::size_t first_marked_byte(std::uint64_t high_bits) {
  if constexpr (std::endian::native == std::endian::little) {
    return static_cast<std::size_t>(std::countr_zero(high_bits)) / 8;
  } else {
    return static_cast<std::size_t>(std::countl_zero(high_bits)) / 8;
  }
}

// Whether eight bytes are all ASCII.
inline bool all_ascii(std::uint64_t word) { return (word & kHighBits) == 0; }

// The first byte at or after `p` that is not ASCII, or `end`. Text is
// mostly ASCII: runs are skipped a word at a time, and once a whole word was
// ASCII, four words at a time.
inline const std::uint8_t* skip_ascii(const std::uint8_t* p, const std::uint8_t* end) {
  while (end - p >= 8) {
    const std::uint64_t high = load_u64(p) & kHighBits;
    if (high != 0) return p + first_marked_byte(high);
    p += 8;
    while (end - p >= 32 &&
           all_ascii(load_u64(p) | load_u64(p + 8) | load_u64(p + 16) | load_u64(p + 24))) {
      p += 32;
    }
  }
  while (p < end && *p < 0x80) ++p;
  return p;
}

// Sums `count(byte)` (0, 1 or 2) over the bytes. Blocks small enough for a
// one-byte sum let the compiler vectorise the inner loop.
template <class Count>
std::size_t count_bytes(const std::uint8_t* p, std::size_t n, Count count) {
  std::size_t total = 0;
  while (n > 0) {
    const std::size_t block = n < 127 ? n : 127;
    std::uint8_t sum = 0;
    for (std::size_t i = 0; i < block; ++i) sum += count(p[i]);
    total += sum;
    p += block;
    n -= block;
  }
  return total;
}

// The largest byte value (0 for no bytes); a plain loop the compiler
// vectorises.
inline std::uint8_t max_byte(const std::uint8_t* p, std::size_t n) {
  std::uint8_t largest = 0;
  for (std::size_t i = 0; i < n; ++i) largest = std::max(largest, p[i]);
  return largest;
}

// Number of bytes that continue a sequence (10xxxxxx). In well-formed UTF-8
// the code point count is the length minus this.
inline std::size_t count_continuations(const std::uint8_t* p, std::size_t n) {
  return count_bytes(p, n, [](std::uint8_t b) -> std::uint8_t { return (b & 0xC0) == 0x80; });
}

// Sequence length announced by the lead byte of well-formed UTF-8.
inline constexpr std::size_t sequence_length(std::uint8_t lead) {
  return lead < 0x80 ? 1 : lead < 0xE0 ? 2 : lead < 0xF0 ? 3 : 4;
}

// Reads one code point from well-formed UTF-8 at `p` and advances `p`.
// No checks: only for text already known to be valid.
inline char32_t read_valid(const std::uint8_t*& p) {
  const char32_t lead = p[0];
  if (lead < 0x80) {
    p += 1;
    return lead;
  }
  if (lead < 0xE0) {
    const char32_t c = ((lead & 0x1F) << 6) | (p[1] & 0x3F);
    p += 2;
    return c;
  }
  if (lead < 0xF0) {
    const char32_t c = ((lead & 0x0F) << 12) | ((p[1] & 0x3F) << 6) | (p[2] & 0x3F);
    p += 3;
    return c;
  }
  const char32_t c =
      ((lead & 0x07) << 18) | ((p[1] & 0x3F) << 12) | ((p[2] & 0x3F) << 6) | (p[3] & 0x3F);
  p += 4;
  return c;
}

}  // namespace vantrel::utf8
