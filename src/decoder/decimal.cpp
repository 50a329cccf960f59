// Packed BCD and unpacked (zoned) BCD decoders.
//
// Digit positions at or above bit 64 of the pattern read as zero: leading
// zero digits for packed and plain unpacked fields, an invalid zone byte for
// zoned fields. At most 16 digits are read, so the result always fits.
#include <algorithm>
#include <bit>

#include "common/bits.hpp"
#include "common/format.hpp"
#include "decoder/decoders.hpp"

namespace vantrel {

namespace {

constexpr std::uint64_t kLowNibbles = 0x0F0F0F0F0F0F0F0FULL;
constexpr std::uint64_t kNibbleTops = 0x8888888888888888ULL;
constexpr std::uint64_t kByteTops = 0x8080808080808080ULL;

// Value of 16 packed digit nibbles (all 0-9), combining neighbouring lanes
// in place instead of looping over the digits.
constexpr std::uint64_t packed_digits_value(std::uint64_t x) {
  x = (x & kLowNibbles) + ((x >> 4) & kLowNibbles) * 10;
  x = (x & 0x00FF00FF00FF00FFULL) + ((x >> 8) & 0x00FF00FF00FF00FFULL) * 100;
  x = (x & 0x0000FFFF0000FFFFULL) + ((x >> 16) & 0x0000FFFF0000FFFFULL) * 10000;
  return (x & 0xFFFFFFFFULL) + (x >> 32) * 100000000ULL;
}

// Value of 8 digit bytes (all 0-9), byte 0 the units digit.
constexpr std::uint64_t byte_digits_value(std::uint64_t x) {
  x = (x & 0x00FF00FF00FF00FFULL) + ((x >> 8) & 0x00FF00FF00FF00FFULL) * 10;
  x = (x & 0x0000FFFF0000FFFFULL) + ((x >> 16) & 0x0000FFFF0000FFFFULL) * 100;
  return (x & 0xFFFFFFFFULL) + (x >> 32) * 10000;
}

// Top bit of every nibble above 9: bit 3 set together with bit 2 or bit 1.
constexpr std::uint64_t nibbles_above_nine(std::uint64_t x) {
  return x & kNibbleTops & ((x << 1) | (x << 2));
}

// Top bit of every byte above 9; the additions cannot carry across bytes.
constexpr std::uint64_t bytes_above_nine(std::uint64_t x) {
  return (((x & ~kByteTops) + 0x7676767676767676ULL) | x) & kByteTops;
}

std::unexpected<Error> invalid_digit(std::uint64_t digit) {
  return value_error(concat("Invalid BCD digit: ", digit, " (must be 0-9)"));
}

std::int64_t apply_sign(std::uint64_t magnitude, bool negative) {
  const auto value = static_cast<std::int64_t>(magnitude);
  return negative ? -value : value;
}

}  // namespace

Result<std::int64_t> decode_packed_bcd(std::uint64_t pattern, std::uint32_t bits, bool is_signed) {
  if (bits < 4) return 0;
  const std::uint32_t nibbles = std::min(bits / 4, 16U);
  std::uint64_t digits = pattern & low_mask(4 * nibbles);
  bool negative = false;
  if (is_signed) {
    const std::uint64_t sign = digits & 0xF;
    if (sign < 0xA) {
      return value_error("Invalid BCD sign nibble: expected 0xA-0xF for signed packed BCD");
    }
    negative = sign == 0xB || sign == 0xD;
    digits >>= 4;
  }
  if (const std::uint64_t bad = nibbles_above_nine(digits); bad != 0) {
    return invalid_digit((digits >> (std::countr_zero(bad) & ~3)) & 0xF);
  }
  return apply_sign(packed_digits_value(digits), negative);
}

Result<std::int64_t> decode_unpacked_bcd(std::uint64_t pattern, std::uint32_t bits,
                                         bool is_signed) {
  if (bits < 8) return 0;
  const std::uint32_t byte_count = bits / 8;
  const std::uint64_t field = pattern & low_mask(8 * std::min(byte_count, 8U));
  if (!is_signed) {
    if (const std::uint64_t bad = bytes_above_nine(field); bad != 0) {
      return invalid_digit((field >> (std::countr_zero(bad) & ~7)) & 0xFF);
    }
    return static_cast<std::int64_t>(byte_digits_value(field));
  }

  const std::uint64_t units = field & 0xFF;
  const std::uint64_t units_zone = units >> 4;
  const bool units_ok = (units & 0xF) <= 9 && (units_zone == 0xC || units_zone == 0xD ||
                                               units_zone == 0xF || units_zone == 0x3);
  if (!units_ok) {
    return value_error(concat("Invalid zoned decimal signed byte: 0x", hex_upper(units, 2),
                              " (expected 0x30-0x39, 0xC0-0xC9, 0xD0-0xD9, or 0xF0-0xF9)"));
  }
  // Bytes at or above bit 64 read as 0x00, so a field of more than 8 bytes
  // fails on its ninth byte once the first eight are sound.
  for (std::uint32_t k = 1; k < byte_count; ++k) {
    const std::uint64_t byte = k < 8 ? (field >> (8 * k)) & 0xFF : 0;
    const std::uint64_t zone = byte >> 4;
    if ((byte & 0xF) > 9 || (zone != 0x3 && zone != 0xF)) {
      return value_error(concat("Invalid zoned decimal byte: 0x", hex_upper(byte, 2),
                                " (expected ASCII 0x30-0x39 or EBCDIC 0xF0-0xF9)"));
    }
  }
  return apply_sign(byte_digits_value(field & kLowNibbles), units_zone == 0xD);
}

}  // namespace vantrel
