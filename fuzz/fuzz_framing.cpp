// Stream framing on arbitrary streams and length fields (as split_packets
// accepts them: 1 to 64 bits at up to 2^60 bits into the packet, any adjust
// and often one at the ends of int64, either byte order), against a walk
// that reads the length one bit at a time; the packet ends a layout with
// packet_length gives the framed packets; and the reporting mode under
// random validity rules, whose packets
// and skipped ranges must tile the stream. The stream is an exact-size heap
// block, so a byte read past its end is an AddressSanitizer report.
#include <algorithm>
#include <cstdint>
#include <memory>
#include <optional>
#include <vector>

#include "fuzz_support.hpp"
#include "streams/framing.hpp"
#include "streams/framing_learning.hpp"
#include "streams/packet_bounds.hpp"

namespace {

// The packets' starts, or nothing when the stream does not frame.
std::optional<std::vector<std::uint64_t>> reference_split(vantrel::ByteSpan stream,
                                                          const vantrel::LengthField& length) {
  std::vector<std::uint64_t> starts;
  std::uint64_t start = 0;
  while (start < stream.size()) {
    const std::uint64_t left = stream.size() - start;
    const unsigned __int128 header_end =
        static_cast<unsigned __int128>(length.offset_bits) + length.bits;
    if (header_end > static_cast<unsigned __int128>(left) * 8) return std::nullopt;
    const std::uint64_t field = *fuzz::reference_length_value(stream, start * 8, length);
    const __int128 total = static_cast<__int128>(field) + length.adjust;
    if (total < 1 || total > static_cast<__int128>(left)) return std::nullopt;
    // The packet holds its own length field.
    if (static_cast<unsigned __int128>(total) * 8 < header_end) return std::nullopt;
    starts.push_back(start);
    start += static_cast<std::uint64_t>(total);
  }
  return starts;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  fuzz::Input input(data, size);
  const vantrel::LengthField length = fuzz::fuzzed_length_field(input);
  // Validity rules for the reporting mode: a few header fields with a few
  // allowed values, length bounds, a confirmation depth.
  vantrel::FramingRules rules;
  const std::uint8_t rule_count = input.byte() % 3;
  for (std::uint8_t k = 0; k < rule_count; ++k) {
    vantrel::HeaderRule rule;
    rule.offset_bits = input.byte() % 48;
    rule.bits = input.byte() % 16 + 1;
    const std::uint8_t values = input.byte() % 4 + 1;
    for (std::uint8_t v = 0; v < values; ++v) {
      rule.allowed.push_back(input.number<std::uint16_t>() & ((1u << rule.bits) - 1));
    }
    std::sort(rule.allowed.begin(), rule.allowed.end());
    rule.allowed.erase(std::unique(rule.allowed.begin(), rule.allowed.end()), rule.allowed.end());
    rules.fields.push_back(std::move(rule));
  }
  if (input.flag()) rules.min_length = input.byte();
  if (input.flag()) rules.max_length = rules.min_length + input.number<std::uint16_t>();
  rules.confirm = input.byte() % 4 + 1;
  // A check ending every packet: a catalogue algorithm whose width is whole
  // bytes, from a fuzzed first byte, either byte order.
  if (input.flag()) {
    const auto named = vantrel::named_checks();
    const vantrel::NamedCheck& row = named[input.byte() % named.size()];
    vantrel::CheckAlgorithm algorithm = row.make();
    if (algorithm.width % 8 == 0) {
      vantrel::TrailingCheck check;
      check.bytes = algorithm.width / 8;
      check.checksum = std::make_shared<const vantrel::Checksum>(std::move(algorithm));
      check.start = input.byte() % 8;
      check.little_endian = input.flag();
      rules.check = std::move(check);
    }
  }
  const bool learn = input.flag();
  const vantrel::ByteSpan rest = input.rest();
  std::unique_ptr<std::uint8_t[]> block(new std::uint8_t[std::max<std::size_t>(rest.size(), 1)]);
  std::copy(rest.begin(), rest.end(), block.get());
  const vantrel::ByteSpan stream(block.get(), rest.size());

  const auto starts = vantrel::split_stream(stream, length);
  const auto expected = reference_split(stream, length);
  FUZZ_CHECK(starts.has_value() == expected.has_value());
  if (starts) FUZZ_CHECK(*starts == *expected);
  if (!starts) FUZZ_CHECK(!starts.error().message.empty());

  // A layout with packet_length reads the same length at every framed
  // start, exactly (a 64-bit field plus an adjustment near either end of
  // int64 neither clamped nor wrapped), so it ends each packet where
  // framing does and cuts none.
  if (starts) {
    std::vector<std::int64_t> offsets(starts->begin(), starts->end());
    vantrel::PacketStarts placed;
    placed.offsets = offsets.data();
    placed.count = offsets.size();
    const vantrel::PacketBounds bounds = vantrel::bound_packets(stream, placed, nullptr, &length);
    FUZZ_CHECK(bounds.cut.empty());
    for (std::size_t i = 0; i < offsets.size(); ++i) {
      const std::uint64_t end = i + 1 < offsets.size() ? (*starts)[i + 1] : stream.size();
      FUZZ_CHECK(bounds.ends[i] == end);
      const auto declared =
          vantrel::declared_length(length, stream.data(), stream.size() * 8, (*starts)[i] * 8);
      FUZZ_CHECK(declared && declared->bytes == static_cast<__int128>(end - (*starts)[i]));
    }
  }

  // Reporting: packets and skipped ranges tile the stream in order, every
  // packet validates under the rules, and a clean stream frames as above.
  const vantrel::FramedStream framed = vantrel::frame_stream(stream, length, rules);
  std::vector<std::int64_t> lengths(framed.starts.size());
  vantrel::packet_lengths(framed, stream.size(), lengths);
  std::vector<std::pair<std::uint64_t, std::uint64_t>> pieces;
  for (std::size_t i = 0; i < framed.starts.size(); ++i) {
    FUZZ_CHECK(lengths[i] > 0);
    pieces.emplace_back(framed.starts[i],
                        framed.starts[i] + static_cast<std::uint64_t>(lengths[i]));
    const auto alone =
        vantrel::split_stream(stream.subspan(framed.starts[i], lengths[i]), length, &rules);
    FUZZ_CHECK(alone && alone->size() == 1);
  }
  for (const auto& skipped : framed.skipped) {
    FUZZ_CHECK(!skipped.detail.empty());
    pieces.emplace_back(skipped.start, skipped.stop);
  }
  std::sort(pieces.begin(), pieces.end());
  std::uint64_t covered = 0;
  for (const auto& [begin, end] : pieces) {
    FUZZ_CHECK(begin == covered && end > begin);
    covered = end;
  }
  FUZZ_CHECK(covered == stream.size());
  const vantrel::FramingRules none;
  if (starts) {
    const vantrel::FramedStream clean = vantrel::frame_stream(stream, length, none);
    FUZZ_CHECK(clean.starts == *starts && clean.skipped.empty());
  }

  // Learned rules frame too: what they frame tiles the stream, and every
  // packet validates alone under the rules learned.
  if (learn) {
    const vantrel::LearnedFraming learned =
        vantrel::frame_learning(stream, length, rules.confirm, 1u << 12);
    std::vector<std::int64_t> learned_lengths(learned.framed.starts.size());
    vantrel::packet_lengths(learned.framed, stream.size(), learned_lengths);
    std::uint64_t total = 0;
    for (std::size_t i = 0; i < learned.framed.starts.size(); ++i) {
      total += static_cast<std::uint64_t>(learned_lengths[i]);
      const auto alone =
          vantrel::split_stream(stream.subspan(learned.framed.starts[i], learned_lengths[i]),
                                length, &learned.learned.rules);
      FUZZ_CHECK(alone && alone->size() == 1);
    }
    for (const auto& skipped : learned.framed.skipped) total += skipped.stop - skipped.start;
    FUZZ_CHECK(total == stream.size());
  }
  return 0;
}
