// Text encoders. The text arrives in the interpreter's own storage (one, two
// or four bytes per code point, every one a Unicode scalar value: the frame
// refuses surrogates), so most results are the units converted one for one.
// Each result is measured first and allocated once at its exact size;
// encoders that can fail check the whole text before allocating.
#include <cstring>
#include <string>
#include <string_view>

#include "common/format.hpp"
#include "common/text_kernels.hpp"
#include "common/utf8.hpp"
#include "common/windows_1252.hpp"
#include "encoder/encoders.hpp"

namespace vantrel {

namespace {

// Blocks of this many units are checked for a common case (all ASCII, no
// surrogate pair needed) and then converted whole.
constexpr std::size_t kBlock = 16;

// Appends the UTF-8 form of one scalar value; returns the bytes written.
std::size_t put_utf8(char32_t c, char* out) {
  if (c < 0x80) {
    out[0] = static_cast<char>(c);
    return 1;
  }
  if (c < 0x800) {
    out[0] = static_cast<char>(0xC0 | (c >> 6));
    out[1] = static_cast<char>(0x80 | (c & 0x3F));
    return 2;
  }
  if (c < 0x10000) {
    out[0] = static_cast<char>(0xE0 | (c >> 12));
    out[1] = static_cast<char>(0x80 | ((c >> 6) & 0x3F));
    out[2] = static_cast<char>(0x80 | (c & 0x3F));
    return 3;
  }
  out[0] = static_cast<char>(0xF0 | (c >> 18));
  out[1] = static_cast<char>(0x80 | ((c >> 12) & 0x3F));
  out[2] = static_cast<char>(0x80 | ((c >> 6) & 0x3F));
  out[3] = static_cast<char>(0x80 | (c & 0x3F));
  return 4;
}

// "Character 'é' (U+00E9) is not valid {encoding}".
std::string not_valid(char32_t c, std::string_view encoding) {
  char utf8[4];
  const std::size_t length = put_utf8(c, utf8);
  return concat("Character '", std::string_view(utf8, length), "' (U+", hex_upper(c, 4),
                ") is not valid ", encoding);
}

template <class Unit>
std::size_t first_above(const Unit* units, std::size_t count, char32_t limit) {
  std::size_t i = 0;
  while (i < count && units[i] <= limit) ++i;
  return i;
}

// Fails with the first character above `limit`, if any.
Result<void> check_limit(const TextView& text, char32_t limit, std::string_view encoding) {
  if (text.unit_size == 1 && (text.ascii || limit >= 0xFF)) return {};
  const char32_t largest =
      visit_units(text, [&](auto* units) { return kernels::max_unit(units, text.length); });
  if (largest <= limit) return {};
  const std::size_t index =
      visit_units(text, [&](auto* units) { return first_above(units, text.length, limit); });
  return value_error(not_valid(text.at(index), encoding));
}

// One-byte results that are the code points themselves (checked to fit).
void narrow_to_bytes(const TextView& text, ByteSink& sink) {
  if (text.unit_size == 1) {
    sink.copy(std::string_view(static_cast<const char*>(text.data), text.length));
    return;
  }
  sink.write(text.length, [&](char* out) {
    visit_units(text, [&](auto* units) {
      kernels::convert_units(units, text.length, out, 1, true);
    });
  });
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

// Four-byte text as UTF-16: blocks without a character beyond U+FFFF
// narrowed whole, the others a character at a time.
template <bool Little>
void write_utf16_from_32(const char32_t* units, std::size_t count, char* out) {
  std::size_t i = 0;
  while (i < count) {
    const std::size_t block = count - i < kBlock ? count - i : kBlock;
    char32_t largest = 0;
    for (std::size_t k = 0; k < block; ++k) largest = units[i + k] > largest ? units[i + k] : largest;
    if (largest < 0x10000) {
      kernels::convert_units(units + i, block, out, 2, Little);
      out += 2 * block;
      i += block;
      continue;
    }
    for (const std::size_t end = i + block; i < end; ++i) {
      const char32_t c = units[i];
      if (c < 0x10000) {
        store16<Little>(out, c);
        out += 2;
      } else {
        const char32_t offset = c - 0x10000;
        store16<Little>(out, 0xD800 + (offset >> 10));
        store16<Little>(out + 2, 0xDC00 + (offset & 0x3FF));
        out += 4;
      }
    }
  }
}

template <bool Little>
void utf16(const TextView& text, bool mark, ByteSink& sink) {
  const std::size_t pairs =
      text.unit_size == 4 ? kernels::count_at_least(text.units32(), text.length, 0x10000) : 0;
  sink.write(2 * (text.length + pairs) + (mark ? 2 : 0), [&](char* out) {
    if (mark) {
      store16<Little>(out, 0xFEFF);
      out += 2;
    }
    if (text.unit_size == 4 && pairs != 0) {
      write_utf16_from_32<Little>(text.units32(), text.length, out);
      return;
    }
    visit_units(text, [&](auto* units) {
      kernels::convert_units(units, text.length, out, 2, Little);
    });
  });
}

template <bool Little>
void utf32(const TextView& text, bool mark, ByteSink& sink) {
  sink.write(4 * text.length + (mark ? 4 : 0), [&](char* out) {
    if (mark) {
      store32<Little>(out, 0xFEFF);
      out += 4;
    }
    visit_units(text, [&](auto* units) {
      kernels::convert_units(units, text.length, out, 4, Little);
    });
  });
}

// ---- UTF-8 -----------------------------------------------------------------

template <class Unit>
void write_utf8(const Unit* units, std::size_t count, char* out) {
  std::size_t i = 0;
  while (count - i >= kBlock) {
    Unit any = 0;
    for (std::size_t k = 0; k < kBlock; ++k) any |= units[i + k];
    if (any < 0x80) {
      for (std::size_t k = 0; k < kBlock; ++k) out[k] = static_cast<char>(units[i + k]);
      out += kBlock;
      i += kBlock;
      continue;
    }
    for (const std::size_t end = i + kBlock; i < end; ++i) out += put_utf8(units[i], out);
  }
  for (; i < count; ++i) out += put_utf8(units[i], out);
}

// ---- Windows-1252 ----------------------------------------------------------

// One-byte text: only the C1 controls without a byte in the index (all of
// 0x80..0x9F but five) fail; every other code point is its own byte.
bool latin1_fits_windows_1252(const std::uint8_t* units, std::size_t count) {
  if (kernels::count_at_least(units, count, 0x80) == 0) return true;
  for (std::size_t i = 0; i < count; ++i) {
    if (units[i] >= 0x80 && units[i] < 0xA0 && windows_1252_byte(units[i]) < 0) return false;
  }
  return true;
}

template <class Unit>
bool fits_windows_1252(const Unit* units, std::size_t count) {
  for (std::size_t i = 0; i < count; ++i) {
    const char32_t c = units[i];
    // ASCII and U+00A0..U+00FF are their own bytes.
    if ((c < 0x80 || (c >= 0xA0 && c < 0x100))) continue;
    if (windows_1252_byte(c) < 0) return false;
  }
  return true;
}

template <class Unit>
void write_windows_1252(const Unit* units, std::size_t count, char* out) {
  for (std::size_t i = 0; i < count; ++i) {
    const char32_t c = units[i];
    out[i] = static_cast<char>(c < 0x80 || (c >= 0xA0 && c < 0x100) ? static_cast<int>(c)
                                                                     : windows_1252_byte(c));
  }
}

}  // namespace

Utf8Text::Utf8Text(std::string_view utf8) {
  const auto* p = reinterpret_cast<const std::uint8_t*>(utf8.data());
  const std::uint8_t* const end = p + utf8.size();
  if (utf8::skip_ascii(p, end) == end) {
    view_ = TextView::of_ascii(utf8.data(), utf8.size());
    return;
  }
  storage_.reserve(utf8.size());
  while (p < end) storage_.push_back(utf8::read_valid(p));
  view_ = TextView{storage_.data(), storage_.size(), 4, false};
}

void encode_utf16(const TextView& text, ByteSink& out) { utf16<false>(text, true, out); }
void encode_utf16be(const TextView& text, ByteSink& out) { utf16<false>(text, false, out); }
void encode_utf16le(const TextView& text, ByteSink& out) { utf16<true>(text, false, out); }
void encode_utf32(const TextView& text, ByteSink& out) { utf32<false>(text, true, out); }
void encode_utf32be(const TextView& text, ByteSink& out) { utf32<false>(text, false, out); }
void encode_utf32le(const TextView& text, ByteSink& out) { utf32<true>(text, false, out); }

void encode_utf8(const TextView& text, ByteSink& sink) {
  if (text.ascii) {
    sink.copy(std::string_view(static_cast<const char*>(text.data), text.length));
    return;
  }
  const std::size_t size =
      visit_units(text, [&](auto* units) { return kernels::utf8_size(units, text.length); });
  sink.write(size, [&](char* out) {
    visit_units(text, [&](auto* units) { write_utf8(units, text.length, out); });
  });
}

Result<void> encode_us_ascii(const TextView& text, ByteSink& out) {
  Result<void> checked = check_limit(text, 0x7F, "US-ASCII");
  if (checked) narrow_to_bytes(text, out);
  return checked;
}

Result<void> encode_iso_8859_1(const TextView& text, ByteSink& out) {
  Result<void> checked = check_limit(text, 0xFF, "ISO-8859-1");
  if (checked) narrow_to_bytes(text, out);
  return checked;
}

Result<void> encode_windows_1252(const TextView& text, ByteSink& sink) {
  if (text.unit_size == 1) {
    if (!latin1_fits_windows_1252(text.units8(), text.length)) {
      return value_error("Failed to encode to Windows-1252");
    }
    narrow_to_bytes(text, sink);
    return {};
  }
  // Every character must have a byte before anything is written.
  const bool fits =
      visit_units(text, [&](auto* units) { return fits_windows_1252(units, text.length); });
  if (!fits) return value_error("Failed to encode to Windows-1252");
  sink.write(text.length, [&](char* out) {
    visit_units(text, [&](auto* units) { write_windows_1252(units, text.length, out); });
  });
  return {};
}

}  // namespace vantrel
