// Small message-building helpers: std::format is not available on every
// supported toolchain, and messages are only built on failure paths.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

namespace vantrel {

inline void append_piece(std::string& out, std::string_view piece) { out += piece; }
inline void append_piece(std::string& out, const char* piece) { out += piece; }
inline void append_piece(std::string& out, const std::string& piece) { out += piece; }
inline void append_piece(std::string& out, char piece) { out += piece; }

template <class Integer>
  requires std::is_integral_v<Integer>
inline void append_piece(std::string& out, Integer number) {
  out += std::to_string(number);
}

// 128-bit sums (lengths plus adjustments) in decimal, never wrapped.
inline void append_piece(std::string& out, unsigned __int128 number) {
  char buffer[40];
  int length = 0;
  do {
    buffer[length++] = static_cast<char>('0' + static_cast<int>(number % 10));
    number /= 10;
  } while (number != 0);
  while (length > 0) out += buffer[--length];
}
inline void append_piece(std::string& out, __int128 number) {
  if (number < 0) {
    out += '-';
    append_piece(out, static_cast<unsigned __int128>(0) - static_cast<unsigned __int128>(number));
    return;
  }
  append_piece(out, static_cast<unsigned __int128>(number));
}

// Concatenates strings and integers (integers in decimal).
template <class... Pieces>
std::string concat(const Pieces&... pieces) {
  std::string out;
  (append_piece(out, pieces), ...);
  return out;
}

// Upper-case hexadecimal, zero-padded to at least `min_digits` digits.
inline std::string hex_upper(std::uint64_t number, int min_digits) {
  static constexpr char kDigits[] = "0123456789ABCDEF";
  char buffer[16];
  int length = 0;
  do {
    buffer[length++] = kDigits[number & 0xF];
    number >>= 4;
  } while (number != 0);
  std::string out;
  for (int pad = length; pad < min_digits; ++pad) out += '0';
  while (length > 0) out += buffer[--length];
  return out;
}

}  // namespace vantrel
