// Text encoders. The text arrives as well-formed UTF-8 (the frame only hands
// over strs that have a UTF-8 form), so it is read without further checks.
// Each result is measured first and allocated once at its exact size;
// encoders that can fail check the whole text before allocating.
#include <bit>
#include <cstring>
#include <string>
#include <string_view>

#include "common/format.hpp"
#include "common/utf8.hpp"
#include "common/windows_1252.hpp"
#include "encoder/encoders.hpp"

namespace vantrel {

namespace {

const std::uint8_t* bytes_of(std::string_view text) {
  return reinterpret_cast<const std::uint8_t*>(text.data());
}

// "Character 'é' (U+00E9) is not valid {encoding}" for the character whose
// lead byte is at `index`.
std::string not_valid(std::string_view text, std::size_t index, std::string_view encoding) {
  const std::uint8_t* p = bytes_of(text) + index;
  const std::size_t length = utf8::sequence_length(*p);
  const char32_t code_point = utf8::read_valid(p);
  return concat("Character '", text.substr(index, length), "' (U+", hex_upper(code_point, 4),
                ") is not valid ", encoding);
}

// ---- UTF-16 and UTF-32 -----------------------------------------------------

template <bool Little>
void store16(char* out, char32_t unit) {
  const auto low = static_cast<char>(unit & 0xFF);
  const auto high = static_cast<char>(unit >> 8);
  out[0] = Little ? low : high;
  out[1] = Little ? high : low;
}

template <bool Little>
void store32(char* out, char32_t unit) {
  for (int k = 0; k < 4; ++k) {
    const int shift = Little ? 8 * k : 8 * (3 - k);
    out[k] = static_cast<char>((unit >> shift) & 0xFF);
  }
}

// Writes one code point as one unit or a surrogate pair; returns the bytes
// written.
template <bool Little>
std::size_t write_utf16(char32_t c, char* out) {
  if (c < 0x10000) {
    store16<Little>(out, c);
    return 2;
  }
  c -= 0x10000;
  store16<Little>(out, 0xD800 + (c >> 10));
  store16<Little>(out + 2, 0xDC00 + (c & 0x3FF));
  return 4;
}

// Sixteen ASCII bytes as sixteen code units in the output's byte order. A
// plain loop over native units, which the compiler vectorises; the shift
// puts the byte at the far end of a unit when the orders differ.
template <class Unit, bool Little>
void widen_ascii_block(const std::uint8_t* p, char* out) {
  constexpr bool kNativeOrder = Little == (std::endian::native == std::endian::little);
  constexpr int kShift = kNativeOrder ? 0 : 8 * (sizeof(Unit) - 1);
  std::uint8_t bytes[16];
  std::memcpy(bytes, p, sizeof bytes);
  Unit units[16];
  for (int k = 0; k < 16; ++k) units[k] = static_cast<Unit>(Unit{bytes[k]} << kShift);
  std::memcpy(out, units, sizeof units);
}

// Writes well-formed UTF-8 as UTF-16 or UTF-32 code units: ASCII sixteen
// bytes at a time, other characters through `write` (which returns the
// bytes it wrote).
template <class Unit, bool Little, class Write>
void widen_text(const std::uint8_t* p, const std::uint8_t* const end, char* out, Write write) {
  while (end - p >= 16) {
    if (utf8::all_ascii(utf8::load_u64(p) | utf8::load_u64(p + 8))) {
      widen_ascii_block<Unit, Little>(p, out);
      out += 16 * sizeof(Unit);
      p += 16;
      continue;
    }
    const std::uint64_t high = utf8::load_u64(p) & utf8::kHighBits;
    const std::uint8_t* const stop = p + (high == 0 ? 8 : utf8::first_marked_byte(high));
    while (p < stop) out += write(*p++, out);
    if (high != 0) out += write(utf8::read_valid(p), out);
  }
  while (p < end) out += write(utf8::read_valid(p), out);
}

// UTF-16 units of well-formed UTF-8: one per code point, one more for each
// four-byte sequence (a surrogate pair).
std::size_t utf16_units(const std::uint8_t* p, std::size_t n) {
  return utf8::count_bytes(
      p, n, [](std::uint8_t b) -> std::uint8_t { return ((b & 0xC0) != 0x80) + (b >= 0xF0); });
}

template <bool Little>
void utf16(std::string_view text, bool mark, ByteSink& sink) {
  const std::uint8_t* const p = bytes_of(text);
  const std::size_t size = 2 * utf16_units(p, text.size()) + (mark ? 2 : 0);
  sink.write(size, [&](char* out) {
    if (mark) {
      store16<Little>(out, 0xFEFF);
      out += 2;
    }
    widen_text<std::uint16_t, Little>(
        p, p + text.size(), out, [](char32_t c, char* at) { return write_utf16<Little>(c, at); });
  });
}

template <bool Little>
void utf32(std::string_view text, bool mark, ByteSink& sink) {
  const std::uint8_t* const p = bytes_of(text);
  const std::size_t code_points = text.size() - utf8::count_continuations(p, text.size());
  sink.write(4 * code_points + (mark ? 4 : 0), [&](char* out) {
    if (mark) {
      store32<Little>(out, 0xFEFF);
      out += 4;
    }
    widen_text<std::uint32_t, Little>(p, p + text.size(), out, [](char32_t c, char* at) {
      store32<Little>(at, c);
      return std::size_t{4};
    });
  });
}

// Writes `size` bytes of single-byte text: ASCII runs copied whole, every
// other character (known to have a byte) mapped through `byte_of`.
template <class ByteOf>
void write_single_byte(std::string_view text, std::size_t size, ByteSink& sink, ByteOf byte_of) {
  const std::uint8_t* const end = bytes_of(text) + text.size();
  sink.write(size, [&](char* out) {
    const std::uint8_t* p = bytes_of(text);
    while (p < end) {
      const std::uint8_t* const run_end = utf8::skip_ascii(p, end);
      std::memcpy(out, p, static_cast<std::size_t>(run_end - p));
      out += run_end - p;
      for (p = run_end; p < end && *p >= 0x80;) {
        *out++ = static_cast<char>(byte_of(utf8::read_valid(p)));
      }
    }
  });
}

}  // namespace

void encode_utf16(std::string_view text, ByteSink& out) { utf16<false>(text, true, out); }
void encode_utf16be(std::string_view text, ByteSink& out) { utf16<false>(text, false, out); }
void encode_utf16le(std::string_view text, ByteSink& out) { utf16<true>(text, false, out); }
void encode_utf32(std::string_view text, ByteSink& out) { utf32<false>(text, true, out); }
void encode_utf32be(std::string_view text, ByteSink& out) { utf32<false>(text, false, out); }
void encode_utf32le(std::string_view text, ByteSink& out) { utf32<true>(text, false, out); }

Result<void> encode_us_ascii(std::string_view text, ByteSink& out) {
  const std::uint8_t* const begin = bytes_of(text);
  const std::uint8_t* const end = begin + text.size();
  const std::uint8_t* const bad = utf8::skip_ascii(begin, end);
  if (bad != end) {
    return value_error(not_valid(text, static_cast<std::size_t>(bad - begin), "US-ASCII"));
  }
  out.copy(text);
  return {};
}

Result<void> encode_iso_8859_1(std::string_view text, ByteSink& sink) {
  const std::uint8_t* const begin = bytes_of(text);
  const std::uint8_t* const end = begin + text.size();
  const std::uint8_t* const first_high = utf8::skip_ascii(begin, end);
  if (first_high == end) {
    sink.copy(text);
    return {};
  }
  const auto rest = static_cast<std::size_t>(end - first_high);
  // Characters up to U+00FF have lead bytes up to C3; any byte from C4 up
  // is the lead byte of a character beyond.
  if (utf8::max_byte(first_high, rest) >= 0xC4) {
    const std::uint8_t* bad = first_high;
    while (*bad < 0xC4) ++bad;
    return value_error(not_valid(text, static_cast<std::size_t>(bad - begin), "ISO-8859-1"));
  }
  const std::size_t size = text.size() - utf8::count_continuations(first_high, rest);
  write_single_byte(text, size, sink, [](char32_t c) { return c; });
  return {};
}

Result<void> encode_windows_1252(std::string_view text, ByteSink& sink) {
  const std::uint8_t* const begin = bytes_of(text);
  const std::uint8_t* const end = begin + text.size();
  const std::uint8_t* const first_high = utf8::skip_ascii(begin, end);
  if (first_high == end) {
    sink.copy(text);
    return {};
  }
  // Every character must have a byte before anything is written.
  std::size_t size = text.size();
  for (const std::uint8_t* p = first_high; (p = utf8::skip_ascii(p, end)) != end;) {
    const std::uint8_t* const lead = p;
    if (windows_1252_byte(utf8::read_valid(p)) < 0) {
      return value_error("Failed to encode to Windows-1252");
    }
    size -= static_cast<std::size_t>(p - lead) - 1;
  }
  write_single_byte(text, size, sink, windows_1252_byte);
  return {};
}

}  // namespace vantrel
