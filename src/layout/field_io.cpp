#include "layout/field_io.hpp"

#include <algorithm>
#include <cstring>

#include "common/bits.hpp"
#include "common/format.hpp"
#include "common/packet_bits.hpp"

namespace vantrel {

namespace {

// The field's bytes, right-aligned, after the byte order is undone.
ByteSpan field_bytes(ByteSpan packet, std::uint64_t position, const FieldSpec& field,
                     FieldScratch& scratch, bool borrow) {
  const std::uint32_t bits = field.bits;
  const std::size_t size = (std::size_t{bits} + 7) / 8;
  if (!field.little_endian && position % 8 == 0 && bits % 8 == 0) {
    if (borrow) return packet.subspan(position / 8, size);
    std::uint8_t* const copy = scratch.room(size);
    if (size != 0) std::memcpy(copy, packet.data() + position / 8, size);
    return ByteSpan(copy, size);
  }
  std::uint8_t* const bytes = scratch.room(size);
  read_field_bytes(packet.data(), position, bits, bytes);
  if (field.little_endian) std::reverse(bytes, bytes + size);
  return ByteSpan(bytes, size);
}

std::uint64_t field_pattern(ByteSpan packet, std::uint64_t position, const FieldSpec& field,
                            FieldScratch& scratch) {
  const std::uint32_t bits = field.bits;
  if (bits <= 64) {
    std::uint64_t pattern = read_field(packet.data(), position, bits);
    if (field.little_endian) pattern = reverse_low_bytes(pattern, (bits + 7) / 8);
    return field.reverse_bits ? mirror_low_bits(pattern, bits) : pattern & low_mask(bits);
  }
  // Wider fields: mirror over the whole width, then fold the last 8 bytes,
  // where packing puts its 64-bit pattern.
  const std::size_t size = (std::size_t{bits} + 7) / 8;
  std::uint8_t* const bytes = scratch.room(size);
  read_field_bytes(packet.data(), position, bits, bytes);
  if (field.little_endian) std::reverse(bytes, bytes + size);
  if (field.reverse_bits) mirror_field_bytes(bytes, size, bits);
  std::uint64_t pattern = 0;
  for (std::size_t i = size - 8; i < size; ++i) pattern = (pattern << 8) | bytes[i];
  return pattern;
}

// A numeric pattern as the ceil(bits / 8) big-endian bytes that hold it,
// mirrored over `bits` bits when asked. Used for fields wider than 64 bits.
std::vector<std::uint8_t> wide_pattern_bytes(std::uint64_t pattern, std::uint32_t bits,
                                             bool reverse) {
  std::vector<std::uint8_t> bytes((std::size_t{bits} + 7) / 8, 0);
  for (std::size_t i = bytes.size(); i > 0 && pattern != 0; --i, pattern >>= 8) {
    bytes[i - 1] = static_cast<std::uint8_t>(pattern);
  }
  if (reverse) mirror_field_bytes(bytes.data(), bytes.size(), bits);
  return bytes;
}

}  // namespace

std::optional<std::string> field_outside_packet(std::uint64_t position, std::uint32_t bits,
                                                std::uint64_t packet_size) {
  const std::uint64_t start = position / 8;
  if (start > packet_size) {
    return concat("range start index ", start, " out of range for slice of length ", packet_size);
  }
  // position + bits cannot wrap: the caller formed it with a checked sum.
  const std::uint64_t end_bit = position + bits;
  const std::uint64_t end = bits == 0 ? start : end_bit / 8 + (end_bit % 8 != 0);
  if (end > packet_size) {
    return concat("range end index ", end, " out of range for slice of length ", packet_size);
  }
  return std::nullopt;
}

FieldInput read_field_input(ByteSpan packet, std::uint64_t position, const FieldSpec& field,
                            FieldScratch& scratch, bool borrow_text) {
  FieldInput input;
  input.bits = field.bits;
  if (field.is_text()) {
    input.bytes = field_bytes(packet, position, field, scratch, borrow_text);
  } else {
    input.pattern = field_pattern(packet, position, field, scratch);
  }
  return input;
}

void place_wide_pattern(std::span<std::uint8_t> packet, std::uint64_t position,
                        const FieldSpec& field, std::uint64_t pattern) {
  const std::uint32_t bits = field.bits;
  std::vector<std::uint8_t> bytes = wide_pattern_bytes(pattern, bits, field.reverse_bits);
  if (field.little_endian) std::reverse(bytes.begin(), bytes.end());
  write_field_bytes(packet.data(), packet.size(), position, bits, bytes.data(), bytes.size());
}

void place_field(std::span<std::uint8_t> packet, std::uint64_t position, const FieldSpec& field,
                 const FieldContent& content) {
  if (const auto* pattern = std::get_if<std::uint64_t>(&content)) {
    place_pattern(packet, position, field, *pattern);
    return;
  }
  std::uint8_t* const out = packet.data();
  const std::uint64_t size = packet.size();
  const std::uint32_t bits = field.bits;
  ByteSpan text;
  if (const auto* owned = std::get_if<std::string>(&content)) {
    text = ByteSpan(reinterpret_cast<const std::uint8_t*>(owned->data()), owned->size());
  } else {
    text = std::get<ByteSpan>(content);
  }
  if (field.little_endian && text.size() > 1) {
    const std::vector<std::uint8_t> reversed(text.rbegin(), text.rend());
    write_field_bytes(out, size, position, bits, reversed.data(), reversed.size());
  } else {
    write_field_bytes(out, size, position, bits, text.data(), text.size());
  }
}

}  // namespace vantrel
