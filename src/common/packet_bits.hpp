// Bit access in packets. Packet bit k is the bit of weight 2^(7 - k mod 8)
// in byte k / 8: bit 0 is the most significant bit of the first byte.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstring>

#include "common/bits.hpp"

namespace vantrel {

// Copies `count` bits from `source` (starting at bit `source_bit`) to
// `packet` (starting at bit `packet_bit`), setting and clearing. Packet bits
// whose byte index is `packet_size` or more are skipped.
void copy_bits(std::uint8_t* packet, std::uint64_t packet_size, std::uint64_t packet_bit,
               const std::uint8_t* source, std::uint64_t source_bit, std::uint64_t count);

// Clears `count` packet bits from `packet_bit` on, with the same clipping.
void clear_bits(std::uint8_t* packet, std::uint64_t packet_size, std::uint64_t packet_bit,
                std::uint64_t count);

void write_field_general(std::uint8_t* packet, std::uint64_t packet_size, std::uint64_t packet_bit,
                         std::uint64_t field, std::uint32_t bits);
std::uint64_t read_field_general(const std::uint8_t* packet, std::uint64_t packet_bit,
                                 std::uint32_t bits);

inline std::uint64_t load_big_endian_64(const std::uint8_t* bytes) {
  std::uint64_t word;
  std::memcpy(&word, bytes, 8);
  return __builtin_bswap64(word);
}

inline void store_big_endian_64(std::uint8_t* bytes, std::uint64_t word) {
  word = __builtin_bswap64(word);
  std::memcpy(bytes, &word, 8);
}

// Merges a field of 1 to 64 bits that lies within 8 bytes of a packet of at
// least 8 bytes, through one read-modify-write of 8 bytes that hold it.
inline void merge_within_8_bytes(std::uint8_t* packet, std::uint64_t packet_bit,
                                 std::uint64_t field, std::uint32_t bits) {
  const std::uint64_t end_bit = packet_bit + bits;
  const std::uint64_t last = (end_bit + 7) / 8;  // one past the last byte
  const std::uint64_t window_start = last >= 8 ? last - 8 : 0;
  const unsigned shift = static_cast<unsigned>((window_start + 8) * 8 - end_bit);
  const std::uint64_t mask = low_mask(bits) << shift;
  const std::uint64_t window = load_big_endian_64(packet + window_start);
  store_big_endian_64(packet + window_start, (window & ~mask) | ((field << shift) & mask));
}

// Writes the low `bits` bits (at most 64) of `field` at `packet_bit`, most
// significant first.
inline void write_field(std::uint8_t* packet, std::uint64_t packet_size, std::uint64_t packet_bit,
                        std::uint64_t field, std::uint32_t bits) {
  const std::uint64_t end_bit = packet_bit + bits;
  const std::uint64_t last = (end_bit + 7) / 8;  // one past the last byte
  if (bits != 0 && last <= packet_size && packet_size >= 8) {
    const std::uint64_t span = last - packet_bit / 8;
    if (span <= 8) {
      merge_within_8_bytes(packet, packet_bit, field, bits);
      return;
    }
    // Nine bytes: the first byte's share, then the rest from a byte boundary.
    const unsigned head = 8 - static_cast<unsigned>(packet_bit % 8);
    const std::uint32_t rest = bits - head;
    merge_within_8_bytes(packet, packet_bit, field >> rest, head);
    merge_within_8_bytes(packet, packet_bit + head, field, rest);
    return;
  }
  write_field_general(packet, packet_size, packet_bit, field, bits);
}

// Writes a field of `bits` bits whose value is the last `bits` bits of
// `content` (zero bits in front when the content is shorter).
void write_field_bytes(std::uint8_t* packet, std::uint64_t packet_size, std::uint64_t packet_bit,
                       std::uint64_t bits, const std::uint8_t* content, std::size_t content_size);

// The field that ends `shift` bits before `window_end`, within the 8 bytes
// before it, masked to its width: the read that every field of at most 8
// bytes comes down to once its last byte is known.
inline std::uint64_t read_window(const std::uint8_t* window_end, unsigned shift,
                                 std::uint64_t width_mask) {
  return (load_big_endian_64(window_end - 8) >> shift) & width_mask;
}

// Reads `bits` bits (at most 64) from `packet_bit` as an unsigned number,
// first bit most significant. The caller has checked the bounds.
[[gnu::always_inline]] inline std::uint64_t read_field(const std::uint8_t* packet,
                                                       std::uint64_t packet_bit,
                                                       std::uint32_t bits) {
  const std::uint64_t end_bit = packet_bit + bits;
  const std::uint64_t last = (end_bit + 7) / 8;  // one past the last byte
  if (bits != 0 && last >= 9) {
    const unsigned shift = static_cast<unsigned>(last * 8 - end_bit);
    if (last - packet_bit / 8 <= 8) {
      // The 8 bytes that end with the field's last byte hold all of it.
      return read_window(packet + last, shift, low_mask(bits));
    }
    // Nine bytes: the bits of the first byte, then the 8 that follow.
    const unsigned rest = bits - (8 - static_cast<unsigned>(packet_bit % 8));
    const std::uint64_t head = packet[packet_bit / 8] & low_mask(8 - packet_bit % 8);
    return (head << rest) | read_window(packet + last, shift, low_mask(rest));
  }
  if (bits != 0 && last >= 8 && last - packet_bit / 8 <= 8) {
    return read_window(packet + last, static_cast<unsigned>(last * 8 - end_bit), low_mask(bits));
  }
  return read_field_general(packet, packet_bit, bits);
}

// Reads `bits` bits from `packet_bit` into (bits + 7) / 8 bytes, right-aligned
// (the unused top bits of the first byte are 0).
void read_field_bytes(const std::uint8_t* packet, std::uint64_t packet_bit, std::uint64_t bits,
                      std::uint8_t* out);

// Mirrors the bit order of a field of `bits` bits held right-aligned in
// `size` bytes: field bit i becomes field bit bits - 1 - i.
void mirror_field_bytes(std::uint8_t* bytes, std::size_t size, std::uint64_t bits);

// Reverses the order of the low `byte_count` bytes of a pattern (at most 8).
constexpr std::uint64_t reverse_low_bytes(std::uint64_t pattern, std::uint32_t byte_count) {
  if (byte_count == 0) return 0;
  return __builtin_bswap64(pattern) >> (64 - 8 * byte_count);
}

}  // namespace vantrel
