// The core's arithmetic at the ends of its ranges: packet lengths from a
// 64-bit field plus any int64 adjustment, the packets a buffer cuts short,
// inverted polynomials over huge raw ranges, time codes of the latest
// nanosecond, and sequence counters across a reset. (The Python tests check
// the same cases through every output.)
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <limits>
#include <string>
#include <vector>

#include "conversions/conversions.hpp"
#include "expect.hpp"
#include "layout/time_codes.hpp"
#include "streams/packet_bounds.hpp"
#include "streams/stream_checks.hpp"

namespace {

using namespace vantrel;

using testing::expect;

std::vector<std::uint8_t> big_endian(std::uint64_t value, std::size_t then_bytes) {
  std::vector<std::uint8_t> out(8 + then_bytes, 0xAB);
  for (int k = 0; k < 8; ++k) out[k] = static_cast<std::uint8_t>(value >> (56 - 8 * k));
  return out;
}

void packet_lengths() {
  const LengthField near_minus_2_62{0, 64, -(std::int64_t{1} << 62), false};
  std::vector<std::uint8_t> packet = big_endian((std::uint64_t{1} << 62) + 10, 2);
  const auto declared = declared_length(near_minus_2_62, packet.data(), packet.size() * 8, 0);
  expect(declared && declared->bytes == 10, "2^62 + 10 with adjust -2^62 is 10 bytes");
  const std::int64_t lowest = std::numeric_limits<std::int64_t>::min();
  const std::int64_t highest = std::numeric_limits<std::int64_t>::max();
  packet = big_endian(UINT64_MAX, 0);
  const auto top = declared_length(LengthField{0, 64, highest, false}, packet.data(), 64, 0);
  expect(top && top->bytes == static_cast<__int128>(UINT64_MAX) + highest,
         "the largest field plus the largest adjust, unwrapped");
  const auto bottom = declared_length(LengthField{0, 64, lowest, false}, packet.data(), 64, 0);
  expect(bottom && bottom->bytes == static_cast<__int128>(UINT64_MAX) + lowest,
         "the largest field plus the lowest adjust");
  expect(!declared_length(LengthField{8, 64, 0, false}, packet.data(), 64, 0),
         "a field past the buffer is not read");

  // Three packets of 10 bytes in a buffer of 29: the last one is cut.
  std::vector<std::uint8_t> stream;
  for (int k = 0; k < 3; ++k) {
    const auto one = big_endian((std::uint64_t{1} << 62) + 10, 2);
    stream.insert(stream.end(), one.begin(), one.end());
  }
  stream.pop_back();
  const std::int64_t offsets[] = {0, 10, 20};
  PacketStarts starts;
  starts.offsets = offsets;
  starts.count = 3;
  const PacketBounds bounds = bound_packets(stream, starts, nullptr, &near_minus_2_62);
  expect(bounds.ends == std::vector<std::uint64_t>{10, 20, 29},
         "ends at each length, then the buffer");
  expect(bounds.cut == std::vector<std::size_t>{2}, "the last packet is cut");
  expect(bounds.first_cut_reason.find("gives 10 bytes") != std::string::npos &&
             bounds.first_cut_reason.find("holds 72 bits") != std::string::npos,
         "the reason: " + bounds.first_cut_reason);
  const std::int64_t lengths[] = {10, 10, 10};
  const PacketBounds given = bound_packets(stream, starts, lengths, nullptr);
  expect(given.cut == std::vector<std::size_t>{2} &&
             given.first_cut_reason.find("lengths gives the packet 10 bytes") == 0,
         "a given length past the buffer cuts too: " + given.first_cut_reason);
  const std::int64_t early[] = {0, 10, 25};
  starts.offsets = early;
  const PacketBounds short_header = bound_packets(stream, starts, nullptr, &near_minus_2_62);
  expect(
      short_header.cut == std::vector<std::size_t>{2} &&
          short_header.first_cut_reason.find("too short for its length field") != std::string::npos,
      "a packet that ends inside its length field is cut");
  std::vector<std::uint8_t> mask(3, 0);
  starts.cut = short_header.cut;
  mask_cut_packets(starts, mask);
  expect(mask == std::vector<std::uint8_t>{0, 0, 1}, "the cut packet is masked");
}

void inverted_polynomials() {
  Conversion line;
  line.kind = ConversionKind::Polynomial;
  line.coefficients = {0.0, 1.0};
  line.invert = true;
  line.raw_low = 0;
  line.raw_high = 1e300;
  const auto five = invert_calibration(line, 5.0, false);
  expect(five && *five == 5.0, "a line over [0, 1e300] inverts 5 to 5");
  Conversion steep = line;
  steep.coefficients = {1.0, 1e-290, 3e-300};
  for (const double value : {5.0, 1.5, 3e299}) {
    const auto raw = invert_calibration(steep, value, false);
    expect(raw.has_value(), "a value in range inverts");
    if (!raw) continue;
    const auto distance = [&](double x) { return std::fabs(*calibrate(steep, x) - value); };
    expect(distance(*raw) <= distance(std::nextafter(*raw, -INFINITY)) &&
               distance(*raw) <= distance(std::nextafter(*raw, INFINITY)),
           "the root is the closest double");
  }
  Conversion across_zero = line;
  across_zero.raw_low = -1e308;
  across_zero.raw_high = 1e308;
  across_zero.coefficients = {-3.0, 2.0, 0.0, 1e-300};
  const auto root = invert_calibration(across_zero, 0.0, false);
  expect(root && std::fabs(*root - 1.5) < 1e-15, "a root across zero over the widest range");
}

void latest_time() {
  TimeCodeFormat late;
  late.coarse_octets = 4;
  late.epoch = std::numeric_limits<std::int64_t>::min() + 1;  // 1677
  std::uint8_t code[4] = {};
  const auto written = encode_time_code(code, 4, 0, late, std::numeric_limits<std::int64_t>::max());
  expect(!written && written.error().message.find("too late") != std::string::npos,
         "the latest nanosecond from the earliest epoch is too late, not before the epoch: " +
             (written ? std::string() : written.error().message));
}

void sequence_resets() {
  const std::vector<std::uint64_t> keys(8, 7);
  const std::vector<std::uint64_t> counts = {0, 1, 2, 3, 0, 1, 2, 3};
  const SequenceFindings once = check_sequence(keys, counts, 16384);
  expect(once.reset_index == std::vector<std::int64_t>{4} && once.out_of_order_index.empty() &&
             once.duplicate_index.empty() && once.gap_index.empty(),
         "one reset is one event");
  const std::vector<std::uint64_t> late_counts = {5, 6, 8, 7, 9};
  const SequenceFindings late =
      check_sequence(std::vector<std::uint64_t>(5, 1), late_counts, 16384);
  expect(late.out_of_order_index == std::vector<std::int64_t>{3} && late.reset_index.empty(),
         "a late packet is out of order");
  // Two keys interleaved, both reset; a sparse key as well.
  const std::vector<std::uint64_t> mixed_keys = {1, 1u << 30, 1, 1u << 30, 1, 1u << 30, 1};
  const std::vector<std::uint64_t> mixed_counts = {10, 50, 11, 51, 0, 0, 1};
  const SequenceFindings mixed = check_sequence(mixed_keys, mixed_counts, 16384);
  expect(mixed.reset_index == std::vector<std::int64_t>{4} &&
             mixed.out_of_order_index == std::vector<std::int64_t>{5},
         "decided per key; a last back step with nothing after it is out of order");
}

}  // namespace

int main() {
  packet_lengths();
  inverted_polynomials();
  latest_time();
  sequence_resets();
  return testing::report("exact values");
}
