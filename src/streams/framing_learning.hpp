// Framing rules learned from the stream itself: the header words that hold
// identifiers (few values, the same ones throughout) and the bounds of the
// packets' total lengths, found in clean stretches of a sample, then
// corrected by what the whole stream's framing refused.
#pragma once

#include <cstdint>

#include "streams/framing.hpp"

namespace vantrel {

struct LearnedRules {
  FramingRules rules;
  std::uint64_t sample_bytes = 0;   // the bytes learned from
  std::uint64_t clean_packets = 0;  // the sample's packets the bounds came from
  std::uint64_t added_values = 0;   // identifiers found among the packets first refused
  bool widened_lengths = false;     // bounds widened by packets first refused
};

struct LearnedFraming {
  FramedStream framed;
  LearnedRules learned;
};

// Learns rules from the first `sample_limit` bytes of `stream` and frames
// the whole stream with them (and `confirm`), reporting every skipped range
// as frame_stream does.
LearnedFraming frame_learning(ByteSpan stream, const LengthField& length, std::uint32_t confirm,
                              std::uint64_t sample_limit = std::uint64_t{4} << 20);

}  // namespace vantrel
