// Text encoders. The text arrives in the interpreter's own storage (one, two
// or four bytes per code point, every one a Unicode scalar value: the frame
// refuses surrogates), so most results are the units converted one for one.
// Each result is measured first and allocated once at its exact size;
// encoders that can fail check the whole text before allocating.
#include <bit>
#include <cstdint>
#include <cstring>
#include <string>
#include <string_view>

#include "common/format.hpp"
#include "common/text_kernels.hpp"
#include "common/utf8.hpp"
#include "common/windows_1252.hpp"
#include "encoder/encoders.hpp"
#include "encoder/length_masks.hpp"

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
    visit_units(text,
                [&](auto* units) { kernels::convert_units(units, text.length, out, 1, true); });
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
// narrowed whole, the others without a branch per character (in mixed text
// whether a character needs a pair is unpredictable). Each character stores
// two units and keeps the second only for a pair; while two characters or
// more remain, there is room for that.
template <bool Little>
void write_utf16_from_32(const char32_t* units, std::size_t count, char* out) {
  std::size_t i = 0;
  while (count - i > kBlock) {
    char32_t high_bits = 0;
    for (std::size_t k = 0; k < kBlock; ++k) high_bits |= units[i + k] >> 16;
    if (high_bits == 0) {
      kernels::convert_units(units + i, kBlock, out, 2, Little);
      out += 2 * kBlock;
      i += kBlock;
      continue;
    }
    // Both units of a pair, or the unit and a spare, without a branch; the
    // words first (vectorised), then packed one after another.
    constexpr bool kNativeOrder = Little == (std::endian::native == std::endian::little);
    std::uint32_t words[kBlock];
    std::uint32_t sizes[kBlock];
    for (std::size_t k = 0; k < kBlock; ++k) {
      const std::uint32_t c = units[i + k];
      const std::uint32_t pair = 0u - ((c >> 16) != 0);
      const std::uint32_t both = (0xD7C0 + (c >> 10)) | (0xDC00 | (c & 0x3FF)) << 16;
      std::uint32_t word = c ^ ((c ^ both) & pair);
      if constexpr (!kNativeOrder) word = ((word >> 8) & 0x00FF00FF) | ((word & 0x00FF00FF) << 8);
      words[k] = word;
      sizes[k] = 2 + (pair & 2);
    }
    for (std::size_t k = 0; k < kBlock; ++k) {
      std::memcpy(out, &words[k], sizeof words[k]);
      out += sizes[k];
    }
    i += kBlock;
  }
  for (; i < count; ++i) {
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
    visit_units(text,
                [&](auto* units) { kernels::convert_units(units, text.length, out, 2, Little); });
  });
}

template <bool Little>
void utf32(const TextView& text, bool mark, ByteSink& sink) {
  sink.write(4 * text.length + (mark ? 4 : 0), [&](char* out) {
    if (mark) {
      store32<Little>(out, 0xFEFF);
      out += 4;
    }
    visit_units(text,
                [&](auto* units) { kernels::convert_units(units, text.length, out, 4, Little); });
  });
}

// ---- UTF-8 -----------------------------------------------------------------

// Sequence lengths are picked by comparisons with these.
constexpr char32_t kTwoBytes = 0x80;
constexpr char32_t kThreeBytes = 0x800;
constexpr char32_t kFourBytes = 0x10000;

// The UTF-8 bytes of one scalar value of a known sequence length, as a word
// whose first byte in memory is the sequence's first.
template <std::uint32_t Length>
[[gnu::always_inline]] inline std::uint32_t utf8_form(std::uint32_t c) {
  std::uint32_t word = c;
  if constexpr (Length == 2) word = (0xC0 | (c >> 6)) | (0x80 | (c & 0x3F)) << 8;
  if constexpr (Length == 3) {
    word = (0xE0 | (c >> 12)) | (0x80 | ((c >> 6) & 0x3F)) << 8 | (0x80 | (c & 0x3F)) << 16;
  }
  if constexpr (Length == 4) {
    word = (0xF0 | (c >> 18)) | (0x80 | ((c >> 12) & 0x3F)) << 8 |
           (0x80 | ((c >> 6) & 0x3F)) << 16 | (0x80 | (c & 0x3F)) << 24;
  }
  if constexpr (std::endian::native == std::endian::big) word = __builtin_bswap32(word);
  return word;
}

// The same for any length and its length, without a branch (the length is
// unpredictable in mixed text): every form is made and masks pick one. A
// plain loop over a block of these vectorises.
template <class Unit>
[[gnu::always_inline]] inline std::uint32_t utf8_any_form(std::uint32_t c, std::uint32_t& length) {
  const std::uint32_t tail = 0x80 | (c & 0x3F);
  const std::uint32_t tail2 = 0x80 | ((c >> 6) & 0x3F);
  const std::uint32_t two = 0u - (c >= kTwoBytes);
  std::uint32_t word = c ^ ((c ^ ((0xC0 | (c >> 6)) | tail << 8)) & two);
  length = 1 - two;
  if constexpr (sizeof(Unit) > 1) {
    const std::uint32_t three = 0u - (c >= kThreeBytes);
    word ^= (word ^ ((0xE0 | (c >> 12)) | tail2 << 8 | tail << 16)) & three;
    length -= three;
  }
  if constexpr (sizeof(Unit) > 2) {
    const std::uint32_t four = 0u - (c >= kFourBytes);
    const std::uint32_t form =
        (0xF0 | (c >> 18)) | (0x80 | ((c >> 12) & 0x3F)) << 8 | tail2 << 16 | tail << 24;
    word ^= (word ^ form) & four;
    length -= four;
  }
  if constexpr (std::endian::native == std::endian::big) word = __builtin_bswap32(word);
  return word;
}

// Stores whole words too; the caller leaves room for the last one.
template <std::uint32_t Length, class Unit>
void write_utf8_uniform(const Unit* units, char* out) {
  for (std::size_t k = 0; k < kBlock; ++k) {
    const std::uint32_t word = utf8_form<Length>(units[k]);
    std::memcpy(out + Length * k, &word, sizeof word);
  }
}

using utf8_lengths::LengthMasks;
static_assert(utf8_lengths::kBlock == kBlock);
#if defined(__SSE2__)
using utf8_lengths::length_masks_sse2;
#else
using utf8_lengths::length_masks_portable;
#endif

// The SSE2 masks where the processor has them; the portable loop gives the
// same masks (tests/cpp/length_masks_test.cpp compares the two).
template <class Unit>
LengthMasks length_masks(const Unit* block) {
#if defined(__SSE2__)
  return length_masks_sse2(block);
#else
  return length_masks_portable(block);
#endif
}

// Blocks are classed by the lengths of their characters: all ASCII is
// narrowed whole; all of one other length is written at a fixed stride;
// nearly all ASCII (prose with the odd accent) a character at a time with a
// branch, which is mostly predicted; any other mix a character at a time
// without a branch on its length. The fixed-stride and branch-free writers
// store whole words and keep only their length: while four characters or
// more remain, there is room for that.
template <class Unit>
void write_utf8(const Unit* units, std::size_t count, char* out) {
  constexpr std::uint32_t kAll = (1u << kBlock) - 1;
  std::size_t i = 0;
  while (count - i >= kBlock + 3) {
    const Unit* const block = units + i;
    const LengthMasks masks = length_masks(block);
    i += kBlock;
    if (masks.two == 0) {
      if constexpr (sizeof(Unit) == 1) {
        std::memcpy(out, block, kBlock);
      } else {
        for (std::size_t k = 0; k < kBlock; ++k) out[k] = static_cast<char>(block[k]);
      }
      out += kBlock;
    } else if (masks.two == kAll && masks.three == 0) {
      write_utf8_uniform<2>(block, out);
      out += 2 * kBlock;
    } else if (masks.three == kAll && masks.four == 0) {
      write_utf8_uniform<3>(block, out);
      out += 3 * kBlock;
    } else if (masks.four == kAll) {
      write_utf8_uniform<4>(block, out);
      out += 4 * kBlock;
    } else if (std::popcount(masks.two) <= 2) {
      // By halves: an ASCII half is narrowed whole.
      for (std::size_t half = 0; half < kBlock; half += kBlock / 2) {
        if (((masks.two >> half) & 0xFF) == 0) {
          for (std::size_t k = half; k < half + kBlock / 2; ++k)
            *out++ = static_cast<char>(block[k]);
          continue;
        }
        for (std::size_t k = half; k < half + kBlock / 2; ++k) out += put_utf8(block[k], out);
      }
    } else {
      // The forms first (vectorised), then packed one after another.
      std::uint32_t words[kBlock];
      std::uint32_t lengths[kBlock];
      for (std::size_t k = 0; k < kBlock; ++k) {
        words[k] = utf8_any_form<Unit>(block[k], lengths[k]);
      }
      for (std::size_t k = 0; k < kBlock; ++k) {
        std::memcpy(out, &words[k], sizeof words[k]);
        out += lengths[k];
      }
    }
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
  if (text.ascii) {
    narrow_to_bytes(text, sink);
    return {};
  }
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
