// Packed BCD and unpacked (zoned) BCD encoders.
//
// The pattern is 64 bits wide whatever `bits` says. A field wider than 64
// bits is accepted while its non-zero nibbles all land below bit 64 (the rest
// are leading zero digits); anything that would need a non-zero nibble above
// bit 63 fails rather than losing a digit.
#include "common/bits.hpp"
#include "common/format.hpp"
#include "encoder/encoders.hpp"

namespace vantrel {

namespace {

// The decimal digits of a magnitude, placed `stride` bits apart starting at
// bit `first_shift`, and how many significant digits there are (0 for 0).
// Digits that would land at or above bit 64 are counted but not placed.
struct PlacedDigits {
  std::uint64_t pattern;
  std::uint32_t count;
};

PlacedDigits place_digits(std::uint64_t magnitude, std::uint32_t first_shift,
                          std::uint32_t stride) {
  PlacedDigits out{0, 0};
  std::uint32_t shift = first_shift;
  while (magnitude != 0) {
    if (shift < 64) out.pattern |= (magnitude % 10) << shift;
    magnitude /= 10;
    shift += stride;
    ++out.count;
  }
  return out;
}

std::unexpected<Error> too_many_digits(std::int64_t value, std::uint32_t digits) {
  return value_error(concat("Value ", value, " has too many digits for ", digits, " BCD digits"));
}

std::unexpected<Error> beyond_pattern(std::int64_t value, std::uint32_t bits, const char* form,
                                      const char* limit) {
  return value_error(concat("Value ", value, " does not fit a 64-bit pattern as ", bits, "-bit ",
                            form, " (", limit, ")"));
}

}  // namespace

Result<std::uint64_t> encode_packed_bcd(std::int64_t value, std::uint32_t bits, bool is_signed) {
  if (bits < 4) return value_error("bits must be >= 4 for packed BCD");
  if (value < 0 && !is_signed) return value_error("Cannot encode negative value in unsigned BCD");
  const std::uint32_t digit_count = bits / 4 - (is_signed ? 1 : 0);
  const std::uint32_t first_shift = is_signed ? 4 : 0;
  const PlacedDigits digits = place_digits(magnitude_of(value), first_shift, 4);
  if (digits.count > digit_count) return too_many_digits(value, digit_count);
  // Only reachable when bits > 64: the top significant digit sits above bit 63.
  if (first_shift + 4 * digits.count > 64) {
    return beyond_pattern(value, bits, "packed BCD",
                          is_signed ? "at most 15 digits" : "at most 16 digits");
  }
  if (!is_signed) return digits.pattern;
  return digits.pattern | (value < 0 ? 0xD : 0xC);
}

Result<std::uint64_t> encode_unpacked_bcd(std::int64_t value, std::uint32_t bits, bool is_signed) {
  const std::uint32_t byte_count = bits / 8;
  if (byte_count == 0) return value_error("bits must be >= 8 for unpacked BCD");
  // Writing the magnitude would silently drop the sign.
  if (value < 0 && !is_signed) return value_error("Cannot encode negative value in unsigned BCD");
  const PlacedDigits digits = place_digits(magnitude_of(value), 0, 8);
  if (digits.count > byte_count) return too_many_digits(value, byte_count);
  if (!is_signed) {
    if (digits.count > 8) return beyond_pattern(value, bits, "unpacked BCD", "at most 8 digits");
    return digits.pattern;
  }
  // Every zoned byte carries a non-zero zone, so no byte may lie above bit 63.
  if (byte_count > 8) {
    return beyond_pattern(value, bits, "zoned decimal", "at most 8 zoned bytes");
  }
  const std::uint64_t zones = 0xF0F0F0F0F0F0F0F0ULL & low_mask(8 * byte_count);
  const std::uint64_t units_zone = value < 0 ? 0xD0 : 0xC0;
  return digits.pattern | (zones & ~std::uint64_t{0xF0}) | units_zone;
}

}  // namespace vantrel
