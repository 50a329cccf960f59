// Text decoders. Every result is well-formed UTF-8 together with its exact
// code point count and largest code point, which lets the frame build the
// interpreter str in one pass without validating again. Input that is
// already valid UTF-8 (or ASCII) is returned as a view, never copied.
#include <algorithm>
#include <array>
#include <bit>
#include <cstddef>
#include <cstring>
#include <expected>
#include <optional>
#include <string>
#include <string_view>

#include "common/format.hpp"
#include "common/utf8.hpp"
#include "common/windows_1252.hpp"
#include "decoder/decoders.hpp"

namespace vantrel {

namespace {

std::string_view as_chars(const std::uint8_t* p, std::size_t n) {
  return {reinterpret_cast<const char*>(p), n};
}

// Bytes known to be ASCII stand for themselves: view them.
DecodedText view_ascii(ByteSpan bytes) {
  return DecodedText{as_chars(bytes.data(), bytes.size()), bytes.size(),
                     utf8::max_byte(bytes.data(), bytes.size())};
}

// ---- UTF-8 -----------------------------------------------------------------

// Where UTF-8 input goes wrong: the start of the offending sequence and the
// length of its maximal subpart; length 0 when the input ends inside a
// sequence that was acceptable so far.
struct Utf8Fault {
  std::size_t index;
  std::size_t length;
};

// Validates UTF-8 under the Unicode Standard's rules (no overlong forms,
// surrogates or values above U+10FFFF) and, when valid, views it.
std::expected<DecodedText, Utf8Fault> view_utf8(ByteSpan bytes) {
  const std::uint8_t* const begin = bytes.data();
  const std::uint8_t* const end = begin + bytes.size();
  const std::uint8_t* p = begin;
  std::size_t continuations = 0;
  char32_t largest = 0;  // of the non-ASCII code points
  while ((p = utf8::skip_ascii(p, end)) != end) {
    const std::uint8_t lead = *p;
    const auto index = static_cast<std::size_t>(p - begin);
    const auto available = static_cast<std::size_t>(end - p);
    // Sequence length and the range of the second byte (Unicode Table 3-7);
    // later bytes are always 80..BF.
    std::size_t length = 0;
    std::uint8_t low = 0x80;
    std::uint8_t high = 0xBF;
    if (lead < 0xC2) {
      return std::unexpected(Utf8Fault{index, 1});
    } else if (lead < 0xE0) {
      length = 2;
    } else if (lead < 0xF0) {
      length = 3;
      if (lead == 0xE0) low = 0xA0;   // overlong below U+0800
      if (lead == 0xED) high = 0x9F;  // surrogates
    } else if (lead < 0xF5) {
      length = 4;
      if (lead == 0xF0) low = 0x90;   // overlong below U+10000
      if (lead == 0xF4) high = 0x8F;  // above U+10FFFF
    } else {
      return std::unexpected(Utf8Fault{index, 1});
    }
    if (available < 2) return std::unexpected(Utf8Fault{index, 0});
    if (p[1] < low || p[1] > high) return std::unexpected(Utf8Fault{index, 1});
    for (std::size_t k = 2; k < length; ++k) {
      if (available <= k) return std::unexpected(Utf8Fault{index, 0});
      if ((p[k] & 0xC0) != 0x80) return std::unexpected(Utf8Fault{index, k});
    }
    largest = std::max(largest, utf8::read_valid(p));
    continuations += length - 1;
  }
  if (largest == 0) return view_ascii(bytes);
  return DecodedText{as_chars(begin, bytes.size()), bytes.size() - continuations, largest};
}

// ---- UTF-16 and UTF-32 -----------------------------------------------------

template <bool Little>
char32_t read_unit16(const std::uint8_t* p) {
  return Little ? char32_t{p[0]} | char32_t{p[1]} << 8 : char32_t{p[0]} << 8 | char32_t{p[1]};
}

template <bool Little>
char32_t read_unit32(const std::uint8_t* p) {
  if constexpr (Little) {
    return char32_t{p[0]} | char32_t{p[1]} << 8 | char32_t{p[2]} << 16 | char32_t{p[3]} << 24;
  } else {
    return char32_t{p[0]} << 24 | char32_t{p[1]} << 16 | char32_t{p[2]} << 8 | char32_t{p[3]};
  }
}

constexpr bool is_surrogate(char32_t c) { return c - 0xD800 < 0x800; }

// Reads the code point at unit `i` of UTF-16 already checked for lone
// surrogates and advances `i`.
template <bool Little>
char32_t next_utf16(const std::uint8_t* p, std::size_t& i) {
  const char32_t first = read_unit16<Little>(p + 2 * i);
  if (!is_surrogate(first)) {
    i += 1;
    return first;
  }
  const char32_t second = read_unit16<Little>(p + 2 * i + 2);
  i += 2;
  return 0x10000 + ((first - 0xD800) << 10) + (second - 0xDC00);
}

// Finds a non-ASCII unit among four UTF-16 units read as one native word:
// the top bit of each low byte and all of each high byte.
template <bool Little>
constexpr std::uint64_t kNonAsciiUnits = std::bit_cast<std::uint64_t>(
    Little ? std::array<std::uint8_t, 8>{0x80, 0xFF, 0x80, 0xFF, 0x80, 0xFF, 0x80, 0xFF}
           : std::array<std::uint8_t, 8>{0xFF, 0x80, 0xFF, 0x80, 0xFF, 0x80, 0xFF, 0x80});

template <bool Little>
bool four_ascii_units(const std::uint8_t* p) {
  return (utf8::load_u64(p) & kNonAsciiUnits<Little>) == 0;
}

// UTF-16 to UTF-8; nothing when a surrogate is not part of a well-ordered
// pair. Callers word the failure.
template <bool Little>
std::optional<DecodedText> utf16_to_utf8(ByteSpan bytes) {
  const std::uint8_t* const p = bytes.data();
  const std::size_t units = bytes.size() / 2;
  constexpr std::size_t kLowByte = Little ? 0 : 1;
  // First pass: check the pairing and measure, so that a failure allocates
  // nothing and the output is allocated once at its exact size. ASCII units
  // go four at a time.
  std::size_t size = 0;
  std::size_t code_points = 0;
  char32_t largest = 0;
  for (std::size_t i = 0; i < units;) {
    if (units - i >= 4 && four_ascii_units<Little>(p + 2 * i)) {
      i += 4;
      size += 4;
      code_points += 4;
      continue;
    }
    const char32_t first = read_unit16<Little>(p + 2 * i);
    char32_t c = first;
    if (is_surrogate(first)) {
      if (first >= 0xDC00 || i + 1 == units) return std::nullopt;
      const char32_t second = read_unit16<Little>(p + 2 * i + 2);
      if (second - 0xDC00 >= 0x400) return std::nullopt;
      c = 0x10000 + ((first - 0xD800) << 10) + (second - 0xDC00);
      i += 2;
    } else {
      i += 1;
    }
    size += utf8::encoded_length(c);
    ++code_points;
    largest = std::max(largest, c);
  }
  if (largest < 0x80) {
    // All ASCII, some of it skipped four at a time: find the exact largest.
    largest = 0;
    for (std::size_t i = 0; i < units; ++i)
      largest = std::max(largest, char32_t{p[2 * i + kLowByte]});
  }
  std::string text = utf8::build_string(size, [&](char* out) {
    for (std::size_t i = 0; i < units;) {
      if (units - i >= 4 && four_ascii_units<Little>(p + 2 * i)) {
        for (std::size_t k = 0; k < 4; ++k) out[k] = static_cast<char>(p[2 * (i + k) + kLowByte]);
        out += 4;
        i += 4;
        continue;
      }
      out += utf8::write(next_utf16<Little>(p, i), out);
    }
  });
  return DecodedText{std::move(text), code_points, largest};
}

template <bool Little>
Result<DecodedText> decode_utf32_units(ByteSpan bytes) {
  const std::uint8_t* const p = bytes.data();
  const std::size_t units = bytes.size() / 4;
  std::size_t size = 0;
  char32_t largest = 0;
  for (std::size_t i = 0; i < units; ++i) {
    const char32_t c = read_unit32<Little>(p + 4 * i);
    if (is_surrogate(c) || c > 0x10FFFF) {
      return value_error(concat("Invalid UTF-32 codepoint: 0x", hex_upper(c, 8)));
    }
    size += utf8::encoded_length(c);
    largest = std::max(largest, c);
  }
  std::string text = utf8::build_string(size, [&](char* out) {
    for (std::size_t i = 0; i < units; ++i) out += utf8::write(read_unit32<Little>(p + 4 * i), out);
  });
  return DecodedText{std::move(text), units, largest};
}

// ---- Windows-1252 ----------------------------------------------------------

// Per byte: the character's code point and UTF-8 form (ASCII included, so
// that mixed blocks need no branch per byte). The form is padded to three
// bytes and always copied whole; the length says how much of it counts.
struct Windows1252Char {
  char16_t code_point;
  std::uint8_t length;
  char utf8[3];
};

constexpr std::array<Windows1252Char, 256> kWindows1252Chars = [] {
  std::array<Windows1252Char, 256> chars{};
  for (std::size_t byte = 0; byte < chars.size(); ++byte) {
    const char32_t code_point = windows_1252_code_point(static_cast<std::uint8_t>(byte));
    char buffer[4] = {};
    const std::size_t length = utf8::write(code_point, buffer);
    chars[byte] = Windows1252Char{static_cast<char16_t>(code_point),
                                  static_cast<std::uint8_t>(length),
                                  {buffer[0], buffer[1], buffer[2]}};
  }
  return chars;
}();

// Blocks of 16 bytes: all-ASCII blocks are copied or skipped whole, others
// are mapped byte by byte through the table.
constexpr std::size_t kBlock = 16;

bool ascii_block(const std::uint8_t* p) {
  return utf8::all_ascii(utf8::load_u64(p) | utf8::load_u64(p + 8));
}

DecodedText map_windows_1252(ByteSpan bytes) {
  const std::uint8_t* const begin = bytes.data();
  const std::uint8_t* const end = begin + bytes.size();
  const std::uint8_t* const first_high = utf8::skip_ascii(begin, end);
  if (first_high == end) return view_ascii(bytes);
  // A non-ASCII byte takes at most three UTF-8 bytes: allocate for that once
  // and report the size actually written. Two more bytes of slack let the
  // last character's form be copied whole, padding included.
  const auto rest = static_cast<std::size_t>(end - first_high);
  const std::size_t bound =
      bytes.size() + 2 * utf8::count_bytes(first_high, rest,
                                           [](std::uint8_t b) -> std::uint8_t { return b >> 7; });
  // With a non-ASCII byte present the largest code point is among those, so
  // ASCII blocks need not be looked at.
  char16_t largest = 0;
  std::string text;
  text.resize_and_overwrite(bound + 2, [&](char* const buffer, std::size_t) {
    const auto prefix = static_cast<std::size_t>(first_high - begin);
    std::memcpy(buffer, begin, prefix);
    char* out = buffer + prefix;
    const std::uint8_t* p = first_high;
    while (p < end) {
      if (end - p >= static_cast<std::ptrdiff_t>(kBlock) && ascii_block(p)) {
        std::memcpy(out, p, kBlock);
        out += kBlock;
        p += kBlock;
        continue;
      }
      const std::uint8_t* const block_end = end - p > 16 ? p + kBlock : end;
      for (; p < block_end; ++p) {
        const Windows1252Char& c = kWindows1252Chars[*p];
        std::memcpy(out, c.utf8, sizeof c.utf8);
        out += c.length;
        largest = std::max(largest, c.code_point);
      }
    }
    return static_cast<std::size_t>(out - buffer);
  });
  return DecodedText{std::move(text), bytes.size(), largest};
}

}  // namespace

Result<DecodedText> decode_utf8(ByteSpan bytes) {
  auto text = view_utf8(bytes);
  if (text) return std::move(*text);
  const Utf8Fault& fault = text.error();
  if (fault.length == 0) {
    return value_error(
        concat("Invalid UTF-8 bytes: incomplete utf-8 byte sequence from index ", fault.index));
  }
  return value_error(concat("Invalid UTF-8 bytes: invalid utf-8 sequence of ", fault.length,
                            " bytes from index ", fault.index));
}

Result<DecodedText> decode_utf16(ByteSpan bytes) {
  if (bytes.size() < 2 || bytes.size() % 2 != 0) {
    return value_error("UTF-16 requires an even number of bytes with at least 2 bytes");
  }
  if (bytes[0] == 0xFE && bytes[1] == 0xFF) {
    return decode_utf16_with_endianness(bytes.subspan(2), false);
  }
  if (bytes[0] == 0xFF && bytes[1] == 0xFE) {
    return decode_utf16_with_endianness(bytes.subspan(2), true);
  }
  return decode_utf16_with_endianness(bytes, false);
}

Result<DecodedText> decode_utf16_with_endianness(ByteSpan bytes, bool little_endian) {
  if (bytes.size() % 2 != 0) return value_error("UTF-16 requires an even number of bytes");
  auto text = little_endian ? utf16_to_utf8<true>(bytes) : utf16_to_utf8<false>(bytes);
  if (!text) return value_error("Invalid UTF-16 sequence: invalid utf-16: lone surrogate found");
  return std::move(*text);
}

Result<DecodedText> decode_utf32(ByteSpan bytes) {
  if (bytes.size() < 4 || bytes.size() % 4 != 0) {
    return value_error("UTF-32 requires a multiple of 4 bytes with at least 4 bytes");
  }
  if (bytes[0] == 0x00 && bytes[1] == 0x00 && bytes[2] == 0xFE && bytes[3] == 0xFF) {
    return decode_utf32_units<false>(bytes.subspan(4));
  }
  if (bytes[0] == 0xFF && bytes[1] == 0xFE && bytes[2] == 0x00 && bytes[3] == 0x00) {
    return decode_utf32_units<true>(bytes.subspan(4));
  }
  return decode_utf32_units<false>(bytes);
}

Result<DecodedText> decode_utf32_with_endianness(ByteSpan bytes, bool little_endian) {
  if (bytes.size() % 4 != 0) return value_error("UTF-32 requires a multiple of 4 bytes");
  return little_endian ? decode_utf32_units<true>(bytes) : decode_utf32_units<false>(bytes);
}

Result<DecodedText> decode_us_ascii(ByteSpan bytes) {
  const std::uint8_t* const end = bytes.data() + bytes.size();
  const std::uint8_t* const bad = utf8::skip_ascii(bytes.data(), end);
  if (bad != end) {
    return value_error(
        concat("Invalid US-ASCII byte: 0x", hex_upper(*bad, 2), " (must be <= 0x7F)"));
  }
  return view_ascii(bytes);
}

DecodedText decode_iso_8859_1(ByteSpan bytes) {
  const std::uint8_t* const begin = bytes.data();
  const std::uint8_t* const end = begin + bytes.size();
  const std::uint8_t* const first_high = utf8::skip_ascii(begin, end);
  if (first_high == end) return view_ascii(bytes);
  const auto rest = static_cast<std::size_t>(end - first_high);
  // Bytes from 0x80 up take two UTF-8 bytes; with one present, the largest
  // byte is the largest code point.
  const std::size_t high_count =
      utf8::count_bytes(first_high, rest, [](std::uint8_t b) -> std::uint8_t { return b >> 7; });
  std::string text = utf8::build_string(bytes.size() + high_count, [&](char* out) {
    const std::uint8_t* p = begin;
    while (p != end) {
      const std::uint8_t* const run_end = utf8::skip_ascii(p, end);
      std::memcpy(out, p, static_cast<std::size_t>(run_end - p));
      out += run_end - p;
      for (p = run_end; p != end && *p >= 0x80; ++p) {
        *out++ = static_cast<char>(0xC0 | (*p >> 6));
        *out++ = static_cast<char>(0x80 | (*p & 0x3F));
      }
    }
  });
  return DecodedText{std::move(text), bytes.size(), utf8::max_byte(first_high, rest)};
}

Result<DecodedText> decode_windows_1252(ByteSpan bytes) {
  // A byte order mark selects UTF-8 or UTF-16 for the rest; malformed input
  // after one fails the whole call rather than being replaced.
  if (bytes.size() >= 3 && bytes[0] == 0xEF && bytes[1] == 0xBB && bytes[2] == 0xBF) {
    auto text = view_utf8(bytes.subspan(3));
    if (!text) return value_error("Failed to decode Windows-1252 bytes");
    return std::move(*text);
  }
  if (bytes.size() >= 2 &&
      ((bytes[0] == 0xFF && bytes[1] == 0xFE) || (bytes[0] == 0xFE && bytes[1] == 0xFF))) {
    const ByteSpan rest = bytes.subspan(2);
    if (rest.size() % 2 != 0) return value_error("Failed to decode Windows-1252 bytes");
    auto text = bytes[0] == 0xFF ? utf16_to_utf8<true>(rest) : utf16_to_utf8<false>(rest);
    if (!text) return value_error("Failed to decode Windows-1252 bytes");
    return std::move(*text);
  }
  return map_windows_1252(bytes);
}

}  // namespace vantrel
