// Bit positions are unsigned 64-bit; a sum past 2^64 - 1 is an error, never
// a wrap-around.
#pragma once

#include <cstdint>

#include "common/error.hpp"
#include "common/format.hpp"

namespace vantrel {

inline Result<std::uint64_t> add_bit_positions(std::uint64_t start, std::uint64_t length) {
  std::uint64_t sum = 0;
  if (__builtin_add_overflow(start, length, &sum)) {
    return fail(ErrorKind::OverflowError,
                concat("Bit position ", start, " + ", length,
                       " exceeds the largest bit position 18446744073709551615"));
  }
  return sum;
}

}  // namespace vantrel
