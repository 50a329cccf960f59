// Sign-magnitude, ones' complement and two's complement encoders.
#include <limits>

#include "common/bits.hpp"
#include "common/format.hpp"
#include "encoder/encoders.hpp"

namespace vantrel {

Result<std::uint64_t> encode_sign_magnitude(std::int64_t value, std::uint32_t bits) {
  if (bits < 2 || bits > 64) {
    return value_error("bits must be between 2 and 64 for sign-magnitude encoding");
  }
  const std::uint64_t magnitude = magnitude_of(value);
  const std::uint64_t sign_bit = std::uint64_t{1} << (bits - 1);
  if (magnitude >= sign_bit) {
    return value_error(concat("Magnitude of ", value, " is too large for ", bits, " bits"));
  }
  return value < 0 ? magnitude | sign_bit : magnitude;
}

Result<std::uint64_t> encode_ones_complement(std::int64_t value, std::uint32_t bits) {
  if (bits > 64) return value_error("bits must be <= 64 for ones' complement encoding");
  // A zero-width field would silently turn every value into nothing.
  if (bits == 0) return value_error("bits must be between 1 and 64 for ones' complement encoding");
  const std::uint64_t limit = low_mask(bits - 1);  // 2^(w-1) - 1
  if (value >= 0) {
    if (static_cast<std::uint64_t>(value) > limit) {
      return value_error(concat("Value ", value, " is too large for ", bits, " bits"));
    }
    return static_cast<std::uint64_t>(value);
  }
  const std::uint64_t magnitude = magnitude_of(value);
  if (magnitude > limit) {
    return value_error(concat("Value ", value, " is too large (magnitude) for ", bits, " bits"));
  }
  return low_mask(bits) - magnitude;
}

Result<std::uint64_t> encode_twos_complement(std::int64_t value, std::uint32_t bits) {
  if (bits > 64) return value_error("bits must be <= 64 for two's complement encoding");
  if (bits == 0) return value_error("bits must be between 1 and 64 for two's complement encoding");
  if (bits == 64) return static_cast<std::uint64_t>(value);
  const std::int64_t max = static_cast<std::int64_t>(low_mask(bits - 1));
  const std::int64_t min = -max - 1;
  if (value < min || value > max) {
    return value_error(concat("Value ", value, " out of range for ", bits, " bits (range: ", min,
                              " to ", max, ")"));
  }
  return static_cast<std::uint64_t>(value) & low_mask(bits);
}

}  // namespace vantrel
