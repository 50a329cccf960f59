// Where each packet of an archive ends: at a stride, at a length the caller
// gives, or where the packet's own length field says, computed exactly (a
// 64-bit field plus any 64-bit adjustment, never clamped or wrapped); and
// which packets the buffer cuts short. Plain C++ over the buffer.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "columns/columns.hpp"
#include "common/bits.hpp"
#include "common/packet_bits.hpp"
#include "common/types.hpp"
#include "streams/framing.hpp"

namespace vantrel {

// What the length field of a packet gives: its value and the packet's total
// length in bytes, value + adjust.
struct DeclaredLength {
  std::uint64_t field;
  __int128 bytes;
};

// The length field of the packet that starts at absolute bit `packet_bit`,
// read as split_packets reads it; nullopt when the buffer of `buffer_bits`
// bits does not hold the field.
[[gnu::always_inline]] inline std::optional<DeclaredLength> declared_length(
    const LengthField& length, const std::uint8_t* buffer, std::uint64_t buffer_bits,
    std::uint64_t packet_bit) {
  if (packet_bit > buffer_bits || length.offset_bits > buffer_bits - packet_bit) {
    return std::nullopt;
  }
  const std::uint64_t field_bit = packet_bit + length.offset_bits;
  if (length.bits > buffer_bits - field_bit) return std::nullopt;
  std::uint64_t value = read_field(buffer, field_bit, length.bits);
  if (length.little_endian) {
    value = reverse_low_bytes(value, (length.bits + 7) / 8) & low_mask(length.bits);
  }
  return DeclaredLength{value, static_cast<__int128>(value) + length.adjust};
}

// Why a packet's own length cannot be used, given `available_bits` from its
// start to the buffer's end: the buffer does not hold the length field, or
// the length runs past the buffer. nullopt when it can; a negative length
// is a packet of no bytes, whose fields then fail one by one.
std::optional<std::string> length_past_buffer(const LengthField& length,
                                              const std::optional<DeclaredLength>& declared,
                                              std::uint64_t available_bits);

struct PacketBounds {
  std::vector<std::uint64_t> ends;  // per packet, in bytes, never past the buffer
  std::vector<std::size_t> cut;     // ascending: the packets cut short
  std::string first_cut_reason;     // a sentence saying why the first one is
};

// The bounds of the packets `starts` places in `buffer`: each ends at the
// stride (when starts has no offsets), at lengths[i] (when given), and at
// its own length field (when given), whichever is first. A packet is cut
// when a length it is given runs past the buffer, or the buffer ends before
// its length field; it then ends at the buffer's end.
PacketBounds bound_packets(ByteSpan buffer, const PacketStarts& starts, const std::int64_t* lengths,
                           const LengthField* length);

// The fewest bytes of any packet at `starts` (offsets) of the lengths given,
// when the buffer of `buffer_size` bytes holds every one of them whole;
// nullopt when it cuts one short. The bounds in one pass, without a
// packet's end: enough for a layout that every packet holds.
std::optional<std::uint64_t> shortest_given(std::uint64_t buffer_size, const PacketStarts& starts,
                                            const std::int64_t* lengths);

}  // namespace vantrel
