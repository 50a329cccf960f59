// Framing a stream of variable-length packets whose total length is given
// by a field of each packet's header: strictly (the first fault is an
// error), or reporting every byte range it could not frame and
// resynchronising after corruption.
#pragma once

#include <algorithm>
#include <cstdint>
#include <memory>
#include <optional>
#include <span>
#include <string>
#include <vector>

#include "common/checksums.hpp"
#include "common/error.hpp"
#include "common/types.hpp"

namespace vantrel {

struct LengthField {
  std::uint64_t offset_bits;  // from the packet's first bit
  std::uint32_t bits;         // 1 to 64
  std::int64_t adjust;        // total length in bytes = field value + adjust
  bool little_endian;
};

// A header field that must hold one of a few values (a version number, the
// identifiers a stream is known to carry). Read big-endian, unsigned.
struct HeaderRule {
  std::uint64_t offset_bits = 0;
  std::uint32_t bits = 1;              // 1 to 64
  std::vector<std::uint64_t> allowed;  // sorted, unique, not empty
};

// A packet error control field at the end of every packet: the last
// width / 8 bytes hold the checksum of the packet's bytes from `start` up to
// them.
struct TrailingCheck {
  std::shared_ptr<const Checksum> checksum;
  std::uint32_t bytes = 2;  // width / 8
  std::uint64_t start = 0;  // the first byte covered
  bool little_endian = false;
};

// A rule's allowed values as a bit table (bit v set when v is allowed) for
// fields of up to 16 bits (versions, identifiers), looked up instead of
// searched; empty for wider fields.
std::vector<std::uint64_t> allowed_value_table(const HeaderRule& rule);

// Whether `value` is allowed by `rule`, through its allowed_value_table.
inline bool rule_allows_value(const HeaderRule& rule, const std::vector<std::uint64_t>& table,
                              std::uint64_t value) {
  if (table.empty()) return std::binary_search(rule.allowed.begin(), rule.allowed.end(), value);
  return (table[value / 64] >> (value % 64) & 1) != 0;
}

// What a valid packet looks like, beyond having a length that holds its own
// header: the caller's knowledge of the stream.
struct FramingRules {
  std::vector<HeaderRule> fields;
  // When set, a packet is valid only when its check holds: framing then
  // needs no identifiers or length bounds to resynchronise.
  std::optional<TrailingCheck> check;
  std::uint64_t min_length = 1;  // total bytes
  std::uint64_t max_length = UINT64_MAX;
  // After damage, framing resumes at the first byte where this many
  // consecutive packets validate (fewer where the stream ends first).
  std::uint32_t confirm = 3;
};

enum class SkipReason : std::uint8_t {
  Truncated,      // the stream ends inside the packet or its header
  BadLength,      // the total length is below the header, the minimum, or above the maximum
  BadHeader,      // a header field holds a value the rules do not allow
  BadNextHeader,  // the packet validates but the bytes after it do not start one:
                  // its length field is likely corrupt
  BadCheck,       // the packet's header and length are valid but its check fails
};

const char* skip_reason_name(SkipReason reason);

// Bytes [start, stop) of the stream that are in no framed packet.
struct SkippedRange {
  std::uint64_t start;
  std::uint64_t stop;
  SkipReason reason;   // why the packet at `start` was refused
  std::string detail;  // a sentence saying so, with the offending value
};

struct FramedStream {
  std::vector<std::uint64_t> starts;
  // In stream order; together with the packets they cover every byte once.
  std::vector<SkippedRange> skipped;
};

// The packets' total lengths, one per start: each ends where the next packet
// or skipped range begins, the last one at the end of a stream of
// `stream_size` bytes.
void packet_lengths(const FramedStream& framed, std::uint64_t stream_size,
                    std::span<std::int64_t> out);

// The start offsets of the packets of `stream`, in order. A stream that
// ends inside a packet, a packet whose total length is less than one byte
// or ends before its own length field, or (with rules) a packet the rules
// refuse, is an error naming the packet and its offset. The length field is
// read as a layout reads an unsigned field of the same width and byte order.
Result<std::vector<std::uint64_t>> split_stream(ByteSpan stream, const LengthField& length,
                                                const FramingRules* rules = nullptr);

// Frames what can be framed and reports the rest. A packet is taken when it
// validates, fits, and the packet after it validates too (or the stream ends
// where it ends); otherwise its bytes are skipped up to the next position
// where `confirm` consecutive packets validate. Never fails. From `from`
// on, the stream is framed as if it began there (offsets stay the
// stream's). Framing stops once its skipped ranges hold more than
// `skip_limit` bytes: the result then ends with the range that passed it.
FramedStream frame_stream(ByteSpan stream, const LengthField& length, const FramingRules& rules,
                          std::uint64_t from = 0, std::uint64_t skip_limit = UINT64_MAX);

}  // namespace vantrel
