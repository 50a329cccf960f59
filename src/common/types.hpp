// Value types shared by the codecs and the calling frame.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>

namespace vantrel {

// A read-only byte string (a bytes object's buffer, or a packet field).
using ByteSpan = std::span<const std::uint8_t>;

// An unsigned 128-bit pattern split into halves (binary128 patterns).
struct U128 {
  std::uint64_t high;
  std::uint64_t low;
};

}  // namespace vantrel
