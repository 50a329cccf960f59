// Field placement and reading over arbitrary packets, against a model that
// moves one bit at a time: every width, bit offset and clipping at the packet
// end, both byte orders and mirroring as the packer and unpacker apply them.
// The packet is a heap block of exactly its size, so a byte touched beyond
// it is an AddressSanitizer report.
//
// The compiled layout plan gets its own harness beside this one
// (fuzz_layout.cpp, run by the same CI step), checking the plan's placements
// against the same one-bit model.
#include <algorithm>
#include <cstdint>
#include <memory>
#include <vector>

#include "common/bits.hpp"
#include "common/packet_bits.hpp"
#include "fuzz_support.hpp"

namespace {

using Bytes = std::vector<std::uint8_t>;

bool get_bit(const std::uint8_t* bytes, std::uint64_t bit) {
  return ((bytes[bit / 8] >> (7 - bit % 8)) & 1) != 0;
}

void set_bit(std::uint8_t* bytes, std::uint64_t bit, bool value) {
  const auto mask = static_cast<std::uint8_t>(0x80u >> (bit % 8));
  bytes[bit / 8] =
      static_cast<std::uint8_t>(value ? bytes[bit / 8] | mask : bytes[bit / 8] & ~mask);
}

// A heap block of exactly `size` bytes (no slack for an overrun to hide in).
struct ExactBlock {
  explicit ExactBlock(const Bytes& contents)
      : size(contents.size()), data(new std::uint8_t[std::max<std::size_t>(contents.size(), 1)]) {
    std::copy(contents.begin(), contents.end(), data.get());
  }
  Bytes contents() const { return Bytes(data.get(), data.get() + size); }
  std::size_t size;
  std::unique_ptr<std::uint8_t[]> data;
};

Bytes take_bytes(fuzz::Input& input, std::size_t limit) {
  const vantrel::ByteSpan span = input.bytes(limit);
  return Bytes(span.begin(), span.end());
}

// Placement: copy_bits, clear_bits, write_field, write_field_bytes, with the
// packet clipping bits past its end.
void check_placement(fuzz::Input& input) {
  const Bytes initial = take_bytes(input, 96);
  const std::uint64_t packet_bits = initial.size() * 8;
  // Start anywhere in the packet or up to 16 bytes past it.
  const std::uint64_t start = input.number<std::uint16_t>() % (packet_bits + 129);
  ExactBlock packet(initial);
  Bytes model = initial;
  auto model_put = [&](std::uint64_t bit, bool value) {
    if (bit < packet_bits) set_bit(model.data(), bit, value);
  };

  switch (input.byte() % 4) {
    case 0: {  // copy_bits from an arbitrary source bit
      const Bytes source_bytes = take_bytes(input, 96);
      const ExactBlock source(source_bytes);
      const std::uint64_t source_bits = source_bytes.size() * 8;
      const std::uint64_t source_bit =
          source_bits == 0 ? 0 : input.number<std::uint16_t>() % source_bits;
      const std::uint64_t count =
          std::min<std::uint64_t>(input.number<std::uint16_t>(), source_bits - source_bit);
      vantrel::copy_bits(packet.data.get(), packet.size, start, source.data.get(), source_bit,
                         count);
      for (std::uint64_t j = 0; j < count; ++j)
        model_put(start + j, get_bit(source_bytes.data(), source_bit + j));
      break;
    }
    case 1: {  // clear_bits
      const std::uint64_t count = input.number<std::uint16_t>() % 1200;
      vantrel::clear_bits(packet.data.get(), packet.size, start, count);
      for (std::uint64_t j = 0; j < count; ++j) model_put(start + j, false);
      break;
    }
    case 2: {  // write_field: the low `bits` bits, most significant first
      const std::uint64_t field = input.number<std::uint64_t>();
      const std::uint32_t bits = input.byte() % 65;
      vantrel::write_field(packet.data.get(), packet.size, start, field, bits);
      for (std::uint32_t j = 0; j < bits; ++j)
        model_put(start + j, ((field >> (bits - 1 - j)) & 1) != 0);
      break;
    }
    default: {  // write_field_bytes: the last `bits` bits of the content
      const Bytes content = take_bytes(input, 64);
      const ExactBlock content_block(content);
      const std::uint64_t bits = input.number<std::uint16_t>() % 800;
      vantrel::write_field_bytes(packet.data.get(), packet.size, start, bits,
                                 content_block.data.get(), content.size());
      const std::uint64_t content_bits = content.size() * 8;
      for (std::uint64_t j = 0; j < bits; ++j) {
        // Field bit j (from the front) is content bit content_bits - bits + j.
        const std::int64_t at = static_cast<std::int64_t>(content_bits) -
                                static_cast<std::int64_t>(bits) + static_cast<std::int64_t>(j);
        model_put(start + j, at >= 0 && get_bit(content.data(), static_cast<std::uint64_t>(at)));
      }
      break;
    }
  }
  FUZZ_CHECK(packet.contents() == model);
}

// Reading: read_field and read_field_bytes on fields inside the packet, then
// the unpacker's byte order and mirroring over the result.
void check_reading(fuzz::Input& input) {
  const Bytes contents = take_bytes(input, 96);
  if (contents.empty()) return;
  const ExactBlock packet(contents);
  const std::uint64_t packet_bits = contents.size() * 8;
  const std::uint64_t start = input.number<std::uint16_t>() % (packet_bits + 1);
  const std::uint64_t room = packet_bits - start;
  const bool little_endian = input.flag();
  const bool mirrored = input.flag();

  if (input.flag()) {
    const auto bits = static_cast<std::uint32_t>(std::min<std::uint64_t>(input.byte() % 65, room));
    std::uint64_t pattern = vantrel::read_field(packet.data.get(), start, bits);
    std::uint64_t model = 0;
    for (std::uint32_t j = 0; j < bits; ++j)
      model = (model << 1) | get_bit(contents.data(), start + j);
    FUZZ_CHECK(pattern == model);
    // The unpacker's order of work on a narrow field: bytes swapped over the
    // bytes the field spans, then mirrored over its width.
    const std::uint32_t byte_count = (bits + 7) / 8;
    if (little_endian) {
      const std::uint64_t swapped = vantrel::reverse_low_bytes(pattern, byte_count);
      std::uint64_t swapped_model = 0;
      for (std::uint32_t k = 0; k < byte_count; ++k)
        swapped_model |= ((pattern >> (8 * k)) & 0xFF) << (8 * (byte_count - 1 - k));
      FUZZ_CHECK(swapped == swapped_model);
      pattern = swapped;
    }
    if (mirrored) {
      const std::uint64_t flipped = vantrel::mirror_low_bits(pattern, bits);
      std::uint64_t flipped_model = 0;
      for (std::uint32_t j = 0; j < bits; ++j)
        flipped_model |= ((pattern >> j) & 1) << (bits - 1 - j);
      FUZZ_CHECK(flipped == flipped_model);
    }
    return;
  }

  const std::uint64_t bits = std::min<std::uint64_t>(input.number<std::uint16_t>() % 800, room);
  const std::size_t size = static_cast<std::size_t>((bits + 7) / 8);
  ExactBlock out(Bytes(size, 0xA5));
  vantrel::read_field_bytes(packet.data.get(), start, bits, out.data.get());
  Bytes model(size, 0);
  const std::uint64_t pad = size * 8 - bits;  // unused top bits of the first byte
  for (std::uint64_t j = 0; j < bits; ++j)
    set_bit(model.data(), pad + j, get_bit(contents.data(), start + j));
  FUZZ_CHECK(out.contents() == model);
  if (size == 0) return;

  if (little_endian) std::reverse(model.begin(), model.end());
  if (mirrored) {
    ExactBlock flipped(model);
    vantrel::mirror_field_bytes(flipped.data.get(), flipped.size, bits);
    Bytes flipped_model(size, 0);
    for (std::uint64_t j = 0; j < bits; ++j) {
      // Field bit j counted from the bottom moves to bits - 1 - j.
      const std::uint64_t from = size * 8 - 1 - j;
      const std::uint64_t to = size * 8 - 1 - (bits - 1 - j);
      set_bit(flipped_model.data(), to, get_bit(model.data(), from));
    }
    FUZZ_CHECK(flipped.contents() == flipped_model);
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  fuzz::Input input(data, size);
  if (input.byte() & 1) {
    check_placement(input);
  } else {
    check_reading(input);
  }
  return 0;
}
