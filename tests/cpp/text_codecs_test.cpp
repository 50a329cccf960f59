// The text kernels and encoders against plain one-character-at-a-time
// references: the AVX2 and plain kernels on random units, every encoder on
// random texts of every unit size (lengths across the block sizes, ASCII,
// Latin-1, BMP and astral characters mixed in every proportion), and UTF-8
// for every sequence length at every alignment, cut at every byte.
#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <random>
#include <string>
#include <string_view>
#include <type_traits>
#include <vector>

#include "common/format.hpp"
#include "common/text_kernels.hpp"
#include "common/windows_1252.hpp"
#include "decoder/decoders.hpp"
#include "encoder/encoders.hpp"

namespace {

using namespace vantrel;

int failures = 0;

void check(bool ok, const std::string& what) {
  if (ok) return;
  if (++failures <= 20) std::printf("FAILED: %s\n", what.c_str());
}

// ---- References -------------------------------------------------------------

std::string utf8_of(char32_t c) {
  std::string out;
  if (c < 0x80) {
    out += static_cast<char>(c);
  } else if (c < 0x800) {
    out += static_cast<char>(0xC0 | (c >> 6));
    out += static_cast<char>(0x80 | (c & 0x3F));
  } else if (c < 0x10000) {
    out += static_cast<char>(0xE0 | (c >> 12));
    out += static_cast<char>(0x80 | ((c >> 6) & 0x3F));
    out += static_cast<char>(0x80 | (c & 0x3F));
  } else {
    out += static_cast<char>(0xF0 | (c >> 18));
    out += static_cast<char>(0x80 | ((c >> 12) & 0x3F));
    out += static_cast<char>(0x80 | ((c >> 6) & 0x3F));
    out += static_cast<char>(0x80 | (c & 0x3F));
  }
  return out;
}

void put_unit(std::string& out, std::uint32_t unit, int size, bool little) {
  for (int k = 0; k < size; ++k) {
    const int shift = little ? 8 * k : 8 * (size - 1 - k);
    out += static_cast<char>((unit >> shift) & 0xFF);
  }
}

std::string reference_utf16(const std::u32string& text, bool little) {
  std::string out;
  for (const char32_t c : text) {
    if (c < 0x10000) {
      put_unit(out, c, 2, little);
    } else {
      put_unit(out, 0xD800 + ((c - 0x10000) >> 10), 2, little);
      put_unit(out, 0xDC00 + ((c - 0x10000) & 0x3FF), 2, little);
    }
  }
  return out;
}

std::string reference_utf32(const std::u32string& text, bool little) {
  std::string out;
  for (const char32_t c : text) put_unit(out, c, 4, little);
  return out;
}

// The bytes, or the failure message.
std::string reference_single_byte(const std::u32string& text, char32_t limit,
                                  const char* encoding) {
  std::string out;
  for (const char32_t c : text) {
    if (c > limit) {
      return concat("Character '", utf8_of(c), "' (U+", hex_upper(c, 4), ") is not valid ",
                    encoding);
    }
    out += static_cast<char>(c);
  }
  return out;
}

std::string reference_windows_1252(const std::u32string& text) {
  std::string out;
  for (const char32_t c : text) {
    int byte = -1;
    for (int b = 0; b < 256; ++b) {
      if (windows_1252_code_point(static_cast<std::uint8_t>(b)) == c) byte = b;
    }
    if (byte < 0) return "Failed to encode to Windows-1252";
    out += static_cast<char>(byte);
  }
  return out;
}

// ---- Texts in each storage ---------------------------------------------------

// A text held in units of `unit_size` bytes, as the interpreter would hold it
// (or wider: the encoders must not depend on the narrowest size).
struct StoredText {
  std::vector<std::uint8_t> bytes;
  TextView view;

  StoredText(const std::u32string& text, int unit_size) {
    bytes.resize(text.size() * static_cast<std::size_t>(unit_size) + 1);
    bool ascii = true;
    for (std::size_t i = 0; i < text.size(); ++i) {
      const char32_t c = text[i];
      ascii = ascii && c < 0x80;
      if (unit_size == 1) bytes[i] = static_cast<std::uint8_t>(c);
      if (unit_size == 2) {
        const auto unit = static_cast<char16_t>(c);
        std::memcpy(bytes.data() + 2 * i, &unit, 2);
      }
      if (unit_size == 4) std::memcpy(bytes.data() + 4 * i, &c, 4);
    }
    view = TextView{bytes.data(), text.size(), static_cast<std::uint8_t>(unit_size),
                    ascii && unit_size == 1};
  }
};

char32_t largest_of(const std::u32string& text) {
  char32_t largest = 0;
  for (const char32_t c : text) largest = std::max(largest, c);
  return largest;
}

int narrowest_unit(char32_t largest) { return largest < 0x100 ? 1 : largest < 0x10000 ? 2 : 4; }

template <class Leaf>
std::string encoded(Leaf leaf, const TextView& view) {
  StringSink sink;
  if constexpr (std::is_void_v<decltype(leaf(view, sink))>) {
    leaf(view, sink);
    return sink.bytes;
  } else {
    const Result<void> written = leaf(view, sink);
    return written ? sink.bytes : written.error().message;
  }
}

void check_encoders(const std::u32string& text, const std::string& label) {
  const int narrowest = narrowest_unit(largest_of(text));
  for (int unit_size : {1, 2, 4}) {
    if (unit_size < narrowest) continue;
    const StoredText stored(text, unit_size);
    const TextView& view = stored.view;
    const std::string where =
        concat(label, ", ", text.size(), " characters in units of ", unit_size);
    std::string utf8;
    for (const char32_t c : text) utf8 += utf8_of(c);
    check(encoded(encode_utf8, view) == utf8, "encode_utf8 " + where);
    check(encoded(encode_utf16le, view) == reference_utf16(text, true), "encode_utf16le " + where);
    check(encoded(encode_utf16be, view) == reference_utf16(text, false), "encode_utf16be " + where);
    check(encoded(encode_utf16, view) == std::string("\xFE\xFF") + reference_utf16(text, false),
          "encode_utf16 " + where);
    check(encoded(encode_utf32le, view) == reference_utf32(text, true), "encode_utf32le " + where);
    check(encoded(encode_utf32be, view) == reference_utf32(text, false), "encode_utf32be " + where);
    check(encoded(encode_utf32, view) ==
              std::string("\x00\x00\xFE\xFF", 4) + reference_utf32(text, false),
          "encode_utf32 " + where);
    check(encoded(encode_us_ascii, view) == reference_single_byte(text, 0x7F, "US-ASCII"),
          "encode_us_ascii " + where);
    check(encoded(encode_iso_8859_1, view) == reference_single_byte(text, 0xFF, "ISO-8859-1"),
          "encode_iso_8859_1 " + where);
    check(encoded(encode_windows_1252, view) == reference_windows_1252(text),
          "encode_windows_1252 " + where);
    // The adapter for UTF-8 callers gives the same bytes.
    StringSink through_utf8;
    encode_from_utf8<encode_utf16le>(utf8, through_utf8);
    check(through_utf8.bytes == reference_utf16(text, true), "encode_from_utf8 " + where);
  }
}

// Characters drawn from classes with the given weights: ASCII, the upper
// half of Latin-1, Windows-1252's own characters, the rest of the BMP (no
// surrogates) and the astral planes.
std::u32string random_text(std::mt19937& random, std::size_t length, const int (&weights)[5]) {
  static const char32_t kWindows[] = {0x20AC, 0x201A, 0x0192, 0x2026, 0x0160,
                                      0x017D, 0x2122, 0x0178, 0x0081, 0x008D};
  std::discrete_distribution<int> pick(std::begin(weights), std::end(weights));
  std::u32string text;
  for (std::size_t i = 0; i < length; ++i) {
    switch (pick(random)) {
      case 0: text += static_cast<char32_t>(random() % 0x80); break;
      case 1: text += static_cast<char32_t>(0x80 + random() % 0x80); break;
      case 2: text += kWindows[random() % std::size(kWindows)]; break;
      case 3: {
        char32_t c = 0x100 + random() % (0x10000 - 0x100 - 0x800);
        if (c >= 0xD800) c += 0x800;
        text += c;
        break;
      }
      default: text += static_cast<char32_t>(0x10000 + random() % 0x100000); break;
    }
  }
  return text;
}

void test_encoders(std::mt19937& random) {
  const int mixes[][5] = {{1, 0, 0, 0, 0},  {1, 1, 0, 0, 0}, {20, 1, 0, 0, 0}, {0, 1, 0, 0, 0},
                          {20, 1, 1, 0, 0}, {0, 0, 0, 1, 0}, {1, 0, 0, 1, 0},  {0, 0, 0, 0, 1},
                          {1, 0, 0, 0, 1},  {1, 1, 0, 1, 1}, {50, 0, 0, 1, 1}, {0, 0, 0, 5, 1}};
  for (const auto& mix : mixes) {
    for (std::size_t length = 0; length < 80; ++length) {
      check_encoders(random_text(random, length, mix), "random");
    }
    for (const std::size_t length : {255, 256, 257, 1000, 4099}) {
      check_encoders(random_text(random, length, mix), "random");
    }
  }
  // One character of each class after every ASCII prefix up to two blocks,
  // then a tail, so that it meets every position in a block.
  for (const char32_t c : {0x41u, 0x7Fu, 0x80u, 0xE9u, 0xFFu, 0x100u, 0x7FFu, 0x800u, 0x20ACu,
                           0xFFFFu, 0x10000u, 0x1F600u, 0x10FFFFu}) {
    for (std::size_t prefix = 0; prefix < 40; ++prefix) {
      std::u32string text(prefix, U'a');
      text += c;
      text += std::u32string(prefix % 7, U'b');
      check_encoders(text, concat("U+", hex_upper(c, 4), " after ", prefix));
    }
  }
}

// ---- UTF-8 at every alignment and cut ------------------------------------------

class CodePointSink final : public TextSink {
 public:
  void* allocate(std::size_t length, char32_t max_code_point) override {
    unit_size = max_code_point < 0x100 ? 1 : max_code_point < 0x10000 ? 2 : 4;
    storage.assign(length * static_cast<std::size_t>(unit_size), 0);
    return storage.data();
  }
  std::u32string text() const {
    std::u32string out;
    for (std::size_t i = 0; i < storage.size(); i += static_cast<std::size_t>(unit_size)) {
      char32_t c = 0;
      if (unit_size == 1) c = storage[i];
      if (unit_size == 2) {
        char16_t unit;
        std::memcpy(&unit, storage.data() + i, 2);
        c = unit;
      }
      if (unit_size == 4) std::memcpy(&c, storage.data() + i, 4);
      out += c;
    }
    return out;
  }
  std::vector<std::uint8_t> storage;
  int unit_size = 1;
};

void test_utf8_every_length_and_cut() {
  for (const char32_t c :
       {0x00u, 0x7Fu, 0x80u, 0x7FFu, 0x800u, 0xD7FFu, 0xE000u, 0xFFFFu, 0x10000u, 0x10FFFFu}) {
    const std::string sequence = utf8_of(c);
    for (std::size_t prefix = 0; prefix < 36; ++prefix) {
      const std::u32string text = std::u32string(prefix, U'x') + c;
      const StoredText stored(text, narrowest_unit(largest_of(text)));
      const std::string bytes = encoded(encode_utf8, stored.view);
      check(bytes == std::string(prefix, 'x') + sequence,
            concat("encode_utf8 U+", hex_upper(c, 4), " after ", prefix));
      for (std::size_t cut = 0; cut <= bytes.size(); ++cut) {
        CodePointSink sink;
        const ByteSpan input(reinterpret_cast<const std::uint8_t*>(bytes.data()), cut);
        const Result<void> decoded = decode_utf8(input, sink);
        const std::string where =
            concat("decode_utf8 U+", hex_upper(c, 4), " after ", prefix, " cut at ", cut);
        if (cut <= prefix || cut == bytes.size()) {
          check(decoded && sink.text() == text.substr(0, cut <= prefix ? cut : text.size()), where);
        } else {
          check(!decoded && decoded.error().message ==
                                concat("Invalid UTF-8 bytes: incomplete utf-8 byte sequence "
                                       "from index ",
                                       prefix),
                where);
        }
      }
    }
  }
}

// ---- Kernels: the AVX2 and plain paths, and a scalar reference --------------------

template <class Unit>
void check_kernels_on(const std::vector<Unit>& units, const std::string& label) {
  const std::size_t n = units.size();
  char32_t largest = 0;
  bool surrogate = false;
  std::size_t utf8 = 0;
  std::size_t at_least[3] = {0, 0, 0};
  const char32_t thresholds[3] = {0x80, 0x800, 0x10000};
  for (const Unit unit : units) {
    largest = std::max<char32_t>(largest, unit);
    surrogate = surrogate || (unit >= 0xD800 && unit < 0xE000);
    utf8 += utf8_of(unit).size();
    for (int t = 0; t < 3; ++t) at_least[t] += unit >= thresholds[t];
  }
  for (const bool avx2 : {false, true}) {
    kernels::use_avx2(avx2);
    const std::string where = concat(label, avx2 && kernels::avx2_in_use() ? " (AVX2)" : "");
    check(kernels::max_unit(units.data(), n) == largest, "max_unit " + where);
    if constexpr (sizeof(Unit) > 1) {
      check(kernels::has_surrogate(units.data(), n) == surrogate, "has_surrogate " + where);
    }
    for (int t = 0; t < 3; ++t) {
      check(kernels::count_at_least(units.data(), n, thresholds[t]) == at_least[t],
            "count_at_least " + where);
    }
    if (!surrogate) check(kernels::utf8_size(units.data(), n) == utf8, "utf8_size " + where);
    for (const int out_size : {1, 2, 4}) {
      for (const bool little : {false, true}) {
        std::string out(n * static_cast<std::size_t>(out_size), '\0');
        kernels::convert_units(units.data(), n, out.data(), out_size, little);
        std::string expected;
        for (const Unit unit : units) {
          const std::uint32_t kept = out_size == 4 ? unit : unit & ((1u << (8 * out_size)) - 1);
          put_unit(expected, kept, out_size, little);
        }
        check(out == expected, concat("convert_units to ", out_size, " ", where));
      }
    }
  }
  kernels::use_avx2(true);
}

void test_kernels(std::mt19937& random) {
  for (std::size_t n : {0,  1,  2,  3,   7,   15,  16,   17,   31,   32,   33,
                        63, 64, 65, 255, 256, 257, 1000, 8191, 8192, 8193, 20000}) {
    for (const std::uint32_t top : {0x80u, 0x100u, 0x800u, 0xE000u, 0x10000u, 0x110000u}) {
      std::vector<std::uint8_t> bytes(n);
      std::vector<char16_t> halves(n);
      std::vector<char32_t> words(n);
      for (std::size_t i = 0; i < n; ++i) {
        // Mostly small values, so that both sides of every threshold appear.
        const std::uint32_t value = random() % 4 == 0 ? random() % top : random() % 0x80;
        bytes[i] = static_cast<std::uint8_t>(value);
        halves[i] = static_cast<char16_t>(value);
        words[i] = value;
      }
      const std::string label = concat(n, " units below ", top);
      check_kernels_on(bytes, "bytes, " + label);
      check_kernels_on(halves, "halves, " + label);
      check_kernels_on(words, "words, " + label);
    }
  }
  // A single surrogate at every position of a short text, and at the end of
  // long ones.
  for (std::size_t n : {1, 17, 300, 5000}) {
    for (std::size_t at = n > 40 ? n - 1 : 0; at < n; ++at) {
      std::vector<char16_t> halves(n, u'a');
      halves[at] = 0xDFFF;
      check(kernels::has_surrogate(halves.data(), n), concat("surrogate at ", at, " of ", n));
    }
  }
}

}  // namespace

int main() {
  std::mt19937 random(12);
  test_kernels(random);
  test_encoders(random);
  test_utf8_every_length_and_cut();
  if (failures != 0) {
    std::printf("%d failures\n", failures);
    return 1;
  }
  std::printf("text codecs agree with their references\n");
  return 0;
}
