// Framing a stream of variable-length packets whose total length is given
// by a field of each packet's header.
#pragma once

#include <cstdint>
#include <vector>

#include "common/error.hpp"
#include "common/types.hpp"

namespace vantrel {

struct LengthField {
  std::uint64_t offset_bits;  // from the packet's first bit
  std::uint32_t bits;         // 1 to 64
  std::int64_t adjust;        // total length in bytes = field value + adjust
  bool little_endian;
};

// The start offsets of the packets of `stream`, in order. A stream that
// ends inside a packet, or a packet whose total length is less than one
// byte or ends before its own length field, is an error naming the packet
// and its offset. The length field is read as a layout reads an unsigned
// field of the same width and byte order.
Result<std::vector<std::uint64_t>> split_stream(ByteSpan stream, const LengthField& length);

}  // namespace vantrel
