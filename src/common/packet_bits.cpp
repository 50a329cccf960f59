#include "common/packet_bits.hpp"

#include <algorithm>
#include <cstring>

namespace vantrel {

namespace {

// Up to 8 bits of `source` from bit `bit`, right-aligned.
unsigned read_small(const std::uint8_t* source, std::uint64_t bit, unsigned take) {
  const std::uint64_t index = bit / 8;
  const unsigned offset = static_cast<unsigned>(bit % 8);
  unsigned window = static_cast<unsigned>(source[index]) << 8;
  if (offset + take > 8) window |= source[index + 1];
  return (window >> (16 - offset - take)) & ((1u << take) - 1);
}

// Replaces `take` bits (within one byte) of packet byte `bit / 8` from `bit` on.
void write_small(std::uint8_t* packet, std::uint64_t bit, unsigned take, unsigned value) {
  const unsigned shift = 8 - static_cast<unsigned>(bit % 8) - take;
  const unsigned mask = ((1u << take) - 1) << shift;
  std::uint8_t& byte = packet[bit / 8];
  byte = static_cast<std::uint8_t>((byte & ~mask) | ((value << shift) & mask));
}

}  // namespace

void copy_bits(std::uint8_t* packet, std::uint64_t packet_size, std::uint64_t packet_bit,
               const std::uint8_t* source, std::uint64_t source_bit, std::uint64_t count) {
  if (packet_bit % 8 == 0 && source_bit % 8 == 0 && count >= 8) {
    const std::uint64_t whole = count / 8;
    const std::uint64_t first = packet_bit / 8;
    if (first < packet_size) {
      std::memcpy(packet + first, source + source_bit / 8, std::min(whole, packet_size - first));
    }
    packet_bit += whole * 8;
    source_bit += whole * 8;
    count -= whole * 8;
  }
  // Unaligned runs move 56 bits at a time, as long as they land inside the packet.
  constexpr std::uint32_t kRun = 56;
  while (count >= kRun && (packet_bit + kRun + 7) / 8 <= packet_size) {
    write_field(packet, packet_size, packet_bit, read_field(source, source_bit, kRun), kRun);
    packet_bit += kRun;
    source_bit += kRun;
    count -= kRun;
  }
  while (count > 0) {
    if (packet_bit / 8 >= packet_size) return;  // every later bit lies further out
    const unsigned take = static_cast<unsigned>(std::min<std::uint64_t>(count, 8 - packet_bit % 8));
    write_small(packet, packet_bit, take, read_small(source, source_bit, take));
    packet_bit += take;
    source_bit += take;
    count -= take;
  }
}

void clear_bits(std::uint8_t* packet, std::uint64_t packet_size, std::uint64_t packet_bit,
                std::uint64_t count) {
  while (count > 0 && packet_bit % 8 != 0) {
    if (packet_bit / 8 >= packet_size) return;
    const unsigned take = static_cast<unsigned>(std::min<std::uint64_t>(count, 8 - packet_bit % 8));
    write_small(packet, packet_bit, take, 0);
    packet_bit += take;
    count -= take;
  }
  const std::uint64_t first = packet_bit / 8;
  const std::uint64_t whole = count / 8;
  if (first >= packet_size) return;
  std::memset(packet + first, 0, std::min(whole, packet_size - first));
  packet_bit += whole * 8;
  count -= whole * 8;
  if (count > 0 && packet_bit / 8 < packet_size) {
    write_small(packet, packet_bit, static_cast<unsigned>(count), 0);
  }
}

void write_field_general(std::uint8_t* packet, std::uint64_t packet_size, std::uint64_t packet_bit,
                         std::uint64_t field, std::uint32_t bits) {
  if (bits == 0) return;
  const std::uint64_t first = packet_bit / 8;
  const std::uint64_t end_bit = packet_bit + bits;
  const std::uint64_t last = (end_bit + 7) / 8;  // one past the last byte
  if (last <= packet_size) {
    // Inside the packet, over 9 bytes or in a packet of fewer than 8.
    const unsigned shift = static_cast<unsigned>(last * 8 - end_bit);
    const unsigned __int128 mask = static_cast<unsigned __int128>(low_mask(bits)) << shift;
    const unsigned __int128 value = static_cast<unsigned __int128>(field & low_mask(bits)) << shift;
    unsigned __int128 window = 0;
    for (std::uint64_t i = first; i < last; ++i) window = (window << 8) | packet[i];
    window = (window & ~mask) | value;
    for (std::uint64_t i = last; i > first; --i, window >>= 8) {
      packet[i - 1] = static_cast<std::uint8_t>(window);
    }
    return;
  }
  std::uint8_t big_endian[8];
  for (int i = 7; i >= 0; --i, field >>= 8) big_endian[i] = static_cast<std::uint8_t>(field);
  copy_bits(packet, packet_size, packet_bit, big_endian, 64 - bits, bits);
}

void write_field_bytes(std::uint8_t* packet, std::uint64_t packet_size, std::uint64_t packet_bit,
                       std::uint64_t bits, const std::uint8_t* content, std::size_t content_size) {
  if (bits <= 64) {
    // A field of at most 64 bits is the number its last content bytes make.
    std::uint64_t field = 0;
    const std::size_t take = content_size < 8 ? content_size : 8;
    for (std::size_t i = content_size - take; i < content_size; ++i)
      field = (field << 8) | content[i];
    write_field(packet, packet_size, packet_bit, field & low_mask(static_cast<std::uint32_t>(bits)),
                static_cast<std::uint32_t>(bits));
    return;
  }
  const std::uint64_t content_bits = std::uint64_t{content_size} * 8;
  if (bits > content_bits) {
    clear_bits(packet, packet_size, packet_bit, bits - content_bits);
    copy_bits(packet, packet_size, packet_bit + (bits - content_bits), content, 0, content_bits);
  } else {
    copy_bits(packet, packet_size, packet_bit, content, content_bits - bits, bits);
  }
}

std::uint64_t read_field_general(const std::uint8_t* packet, std::uint64_t packet_bit,
                                 std::uint32_t bits) {
  if (bits == 0) return 0;
  const std::uint64_t first = packet_bit / 8;
  const std::uint64_t end_bit = packet_bit + bits;
  const std::uint64_t last = (end_bit + 7) / 8;  // one past the last byte; at most 9 bytes
  unsigned __int128 window = 0;
  for (std::uint64_t i = first; i < last; ++i) window = (window << 8) | packet[i];
  window >>= last * 8 - end_bit;
  const std::uint64_t value = static_cast<std::uint64_t>(window);
  return bits >= 64 ? value : value & ((std::uint64_t{1} << bits) - 1);
}

void read_field_bytes(const std::uint8_t* packet, std::uint64_t packet_bit, std::uint64_t bits,
                      std::uint8_t* out) {
  if (bits == 0) return;
  const std::uint64_t size = (bits + 7) / 8;
  const unsigned leading = static_cast<unsigned>(bits - 8 * (size - 1));  // 1..8 bits
  out[0] = static_cast<std::uint8_t>(read_small(packet, packet_bit, leading));
  packet_bit += leading;
  if (packet_bit % 8 == 0) {
    std::memcpy(out + 1, packet + packet_bit / 8, size - 1);
    return;
  }
  for (std::uint64_t k = 1; k < size; ++k, packet_bit += 8) {
    out[k] = static_cast<std::uint8_t>(read_small(packet, packet_bit, 8));
  }
}

void mirror_field_bytes(std::uint8_t* bytes, std::size_t size, std::uint64_t bits) {
  if (size == 0) return;
  std::reverse(bytes, bytes + size);
  for (std::size_t i = 0; i < size; ++i) {
    std::uint8_t b = bytes[i];
    b = static_cast<std::uint8_t>(((b & 0xF0) >> 4) | ((b & 0x0F) << 4));
    b = static_cast<std::uint8_t>(((b & 0xCC) >> 2) | ((b & 0x33) << 2));
    b = static_cast<std::uint8_t>(((b & 0xAA) >> 1) | ((b & 0x55) << 1));
    bytes[i] = b;
  }
  // The field's bits now sit at the top; move them back to the bottom.
  const unsigned shift = static_cast<unsigned>(size * 8 - bits);
  if (shift == 0) return;
  for (std::size_t i = size - 1; i > 0; --i) {
    bytes[i] = static_cast<std::uint8_t>((bytes[i] >> shift) | (bytes[i - 1] << (8 - shift)));
  }
  bytes[0] = static_cast<std::uint8_t>(bytes[0] >> shift);
}

}  // namespace vantrel
