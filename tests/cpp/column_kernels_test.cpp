// The column kernels at packet offsets against the leaf decoders: every
// binary16 pattern in either byte order (its own kernel), little-endian
// integers read through the 8-byte windows, packets so near the buffer's
// start that their window starts before it; which columns can fail under a
// mask; and the bounds of packets given their lengths.
#include <bit>
#include <cstdint>
#include <cstring>
#include <optional>
#include <string>
#include <vector>

#include "columns/columns.hpp"
#include "decoder/decoders.hpp"
#include "expect.hpp"
#include "streams/packet_bounds.hpp"

namespace {

using namespace vantrel;

using testing::expect;

FieldSpec spec(const char* encoding, std::uint32_t bits, bool little_endian = false) {
  return FieldSpec{find_encoding(encoding), bits, std::nullopt, little_endian, false};
}

// One field at bit `position` of packets of `size` bytes, the first at
// offset 0: its column, decoded in blocks as unpack_many does.
template <class Element>
std::vector<Element> column_at_offsets(const std::vector<std::uint8_t>& buffer,
                                       const std::vector<std::int64_t>& offsets,
                                       const FieldSpec& field, std::uint64_t position,
                                       std::uint64_t shortest) {
  std::vector<FieldSpec> fields = {field};
  fields[0].offset = position;
  const Plan plan = *Plan::build(fields);
  const PlannedField& planned = plan.fields()[0];
  PacketStarts starts;
  starts.offsets = offsets.data();
  starts.count = offsets.size();
  starts.shortest = shortest;
  std::vector<Element> out(offsets.size());
  for (std::size_t begin = 0; begin < offsets.size(); begin += 1000) {
    const std::size_t end = std::min(offsets.size(), begin + 1000);
    expect(!decode_column(buffer, starts, begin, end, planned, out.data(), {}), "no packet fails");
  }
  return out;
}

void every_binary16_pattern() {
  for (const bool little : {false, true}) {
    // Packet i holds pattern i at its byte 1, each packet 3 bytes long.
    std::vector<std::uint8_t> buffer(3 * 65536 + 1);
    std::vector<std::int64_t> offsets(65536);
    for (std::uint32_t i = 0; i < 65536; ++i) {
      offsets[i] = 3 * static_cast<std::int64_t>(i);
      buffer[3 * i + 1] = static_cast<std::uint8_t>(little ? i : i >> 8);
      buffer[3 * i + 2] = static_cast<std::uint8_t>(little ? i >> 8 : i);
    }
    const auto column =
        column_at_offsets<float>(buffer, offsets, spec("ieee754_f16", 16, little), 8, 3);
    int wrong = 0;
    for (std::uint32_t i = 0; i < 65536; ++i) {
      const float expected = decode_ieee754_f16(i);
      wrong += std::bit_cast<std::uint32_t>(column[i]) != std::bit_cast<std::uint32_t>(expected);
    }
    expect(wrong == 0, std::string(little ? "little" : "big") + "-endian binary16: " +
                           std::to_string(wrong) + " patterns decode otherwise");
  }
}

void little_endian_windows() {
  // A 24-bit little-endian field at bit 4 of 5-byte packets: bytes 0x12,
  // 0x34, 0x56 in order from bit 4 give 0x563412. The first packets start
  // too near the buffer for an 8-byte window before their field's end.
  const std::uint8_t packet[] = {0x01, 0x23, 0x45, 0x60, 0x00};
  std::vector<std::uint8_t> buffer;
  std::vector<std::int64_t> offsets;
  for (int i = 0; i < 7; ++i) {
    offsets.push_back(static_cast<std::int64_t>(buffer.size()));
    buffer.insert(buffer.end(), std::begin(packet), std::end(packet));
  }
  offsets.push_back(0);  // offsets need not ascend
  const auto column =
      column_at_offsets<std::uint32_t>(buffer, offsets, spec("unsigned", 24, true), 4, 5);
  for (std::size_t i = 0; i < column.size(); ++i) {
    expect(column[i] == 0x563412, "packet " + std::to_string(i) + " reads 0x563412");
  }
  const auto big = column_at_offsets<std::uint32_t>(buffer, offsets, spec("unsigned", 24), 4, 5);
  expect(big == std::vector<std::uint32_t>(offsets.size(), 0x123456), "and big-endian 0x123456");
}

void columns_that_cannot_fail() {
  const std::vector<FieldSpec> fields = {spec("unsigned", 12), spec("us_ascii", 16),
                                         spec("packed_bcd", 8)};
  Plan plan = *Plan::build(fields);
  const std::int64_t offsets[] = {0, 4};
  PacketStarts starts;
  starts.offsets = offsets;
  starts.count = 2;
  starts.shortest = 2;  // the 12-bit field ends in byte 2
  expect(column_never_fails(starts, plan.fields()[0]), "a field every packet holds");
  expect(!column_never_fails(starts, plan.fields()[1]), "text");
  expect(!column_never_fails(starts, plan.fields()[2]), "a row decoder, which may refuse");
  starts.shortest = 1;
  expect(!column_never_fails(starts, plan.fields()[0]), "a field a packet may not hold");
  PacketStarts stride;
  stride.stride = 4;
  stride.count = 2;
  expect(!column_never_fails(stride, plan.fields()[0]), "packets at a stride are not measured");
}

void given_lengths() {
  const std::int64_t offsets[] = {0, 10, 30};
  PacketStarts starts;
  starts.offsets = offsets;
  starts.count = 3;
  const std::int64_t lengths[] = {10, 20, 5};
  expect(shortest_given(35, starts, lengths) == std::optional<std::uint64_t>(5),
         "the shortest packet, all within the buffer");
  expect(!shortest_given(34, starts, lengths), "the last packet runs past the buffer");
  starts.count = 0;
  expect(shortest_given(0, starts, lengths) == std::optional<std::uint64_t>(0), "no packet");
}

}  // namespace

int main() {
  every_binary16_pattern();
  little_endian_windows();
  columns_that_cannot_fail();
  given_lengths();
  return testing::report("column kernels");
}
