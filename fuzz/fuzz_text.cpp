// Text codecs against scalar references. Every decoder runs on arbitrary
// bytes and must agree with a one-code-point-at-a-time reference on whether
// the bytes are well formed and on every code point; every encoder runs on
// text made from the input and must agree with a reference encoding, and
// decoding its bytes must give the text back. The fast kernels (word-at-a-time
// ASCII runs, vectorised widening) are what this checks: a difference is a
// finding even when nothing crashes.
#include <algorithm>
#include <cstdint>
#include <cstring>
#include <string>
#include <type_traits>
#include <vector>

#include "common/text_kernels.hpp"
#include "common/windows_1252.hpp"
#include "decoder/decoders.hpp"
#include "encoder/encoders.hpp"
#include "fuzz_support.hpp"

namespace {

using vantrel::ByteSpan;
using vantrel::Result;

ByteSpan span_of(const std::string& bytes) {
  return {reinterpret_cast<const std::uint8_t*>(bytes.data()), bytes.size()};
}

// Runs a decoder and checks it against the reference's verdict and text.
template <class Decode>
void expect_decoding(Decode decode, ByteSpan bytes, bool reference_ok,
                     const std::u32string& reference) {
  fuzz::CheckedTextSink sink;
  bool ok;
  if constexpr (std::is_void_v<decltype(decode(bytes, sink))>) {
    decode(bytes, sink);
    ok = true;
  } else {
    ok = decode(bytes, sink).has_value();
  }
  FUZZ_CHECK(ok == reference_ok);
  // Room is asked for only once the whole input has passed, and always then
  // (the caller returns the object it made there).
  FUZZ_CHECK(sink.allocated() == ok);
  if (ok) FUZZ_CHECK(sink.code_points() == reference);
}

bool reference_single_byte(ByteSpan bytes, char32_t (*map)(std::uint8_t), std::u32string& out) {
  out.clear();
  for (const std::uint8_t b : bytes) {
    const char32_t c = map(b);
    if (c == 0xFFFFFFFF) return false;
    out.push_back(c);
  }
  return true;
}

char32_t ascii_of(std::uint8_t b) { return b < 0x80 ? b : 0xFFFFFFFF; }
char32_t latin1_of(std::uint8_t b) { return b; }
char32_t cp1252_of(std::uint8_t b) { return vantrel::windows_1252_code_point(b); }

// Byte order marks select the form for the BOM-sniffing decoders.
bool reference_utf16_with_mark(ByteSpan bytes, std::u32string& out) {
  if (bytes.size() < 2 || bytes.size() % 2 != 0) return false;
  if (bytes[0] == 0xFE && bytes[1] == 0xFF)
    return fuzz::reference_utf16_decode(bytes.subspan(2), false, out);
  if (bytes[0] == 0xFF && bytes[1] == 0xFE)
    return fuzz::reference_utf16_decode(bytes.subspan(2), true, out);
  return fuzz::reference_utf16_decode(bytes, false, out);
}

bool reference_utf32_with_mark(ByteSpan bytes, std::u32string& out) {
  if (bytes.size() < 4 || bytes.size() % 4 != 0) return false;
  const bool big = bytes[0] == 0 && bytes[1] == 0 && bytes[2] == 0xFE && bytes[3] == 0xFF;
  const bool little = bytes[0] == 0xFF && bytes[1] == 0xFE && bytes[2] == 0 && bytes[3] == 0;
  if (big || little) return fuzz::reference_utf32_decode(bytes.subspan(4), little, out);
  return fuzz::reference_utf32_decode(bytes, false, out);
}

bool reference_windows_1252(ByteSpan bytes, std::u32string& out) {
  if (bytes.size() >= 3 && bytes[0] == 0xEF && bytes[1] == 0xBB && bytes[2] == 0xBF) {
    return fuzz::reference_utf8_decode(bytes.subspan(3), out);
  }
  if (bytes.size() >= 2 && bytes[0] == 0xFF && bytes[1] == 0xFE) {
    return fuzz::reference_utf16_decode(bytes.subspan(2), true, out);
  }
  if (bytes.size() >= 2 && bytes[0] == 0xFE && bytes[1] == 0xFF) {
    return fuzz::reference_utf16_decode(bytes.subspan(2), false, out);
  }
  return reference_single_byte(bytes, cp1252_of, out);
}

void check_decoders(ByteSpan bytes) {
  std::u32string reference;
  bool ok = fuzz::reference_utf8_decode(bytes, reference);
  expect_decoding(vantrel::decode_utf8, bytes, ok, reference);

  ok = reference_utf16_with_mark(bytes, reference);
  expect_decoding(vantrel::decode_utf16, bytes, ok, reference);
  ok = fuzz::reference_utf16_decode(bytes, false, reference);
  expect_decoding(vantrel::decode_utf16be, bytes, ok, reference);
  ok = fuzz::reference_utf16_decode(bytes, true, reference);
  expect_decoding(vantrel::decode_utf16le, bytes, ok, reference);

  ok = reference_utf32_with_mark(bytes, reference);
  expect_decoding(vantrel::decode_utf32, bytes, ok, reference);
  ok = fuzz::reference_utf32_decode(bytes, false, reference);
  expect_decoding(vantrel::decode_utf32be, bytes, ok, reference);
  ok = fuzz::reference_utf32_decode(bytes, true, reference);
  expect_decoding(vantrel::decode_utf32le, bytes, ok, reference);

  ok = reference_single_byte(bytes, ascii_of, reference);
  expect_decoding(vantrel::decode_us_ascii, bytes, ok, reference);
  ok = reference_single_byte(bytes, latin1_of, reference);
  expect_decoding(vantrel::decode_iso_8859_1, bytes, ok, reference);
  ok = reference_windows_1252(bytes, reference);
  expect_decoding(vantrel::decode_windows_1252, bytes, ok, reference);
}

// ---- Encoders ---------------------------------------------------------------

std::string reference_utf16(const std::u32string& text, bool little_endian, bool mark) {
  std::string out;
  auto put = [&](char32_t unit) {
    const char high = static_cast<char>(unit >> 8), low = static_cast<char>(unit & 0xFF);
    out.push_back(little_endian ? low : high);
    out.push_back(little_endian ? high : low);
  };
  if (mark) put(0xFEFF);
  for (const char32_t c : text) {
    if (c >= 0x10000) {
      put(0xD800 + ((c - 0x10000) >> 10));
      put(0xDC00 + ((c - 0x10000) & 0x3FF));
    } else {
      put(c);
    }
  }
  return out;
}

std::string reference_utf32(const std::u32string& text, bool little_endian, bool mark) {
  std::string out;
  auto put = [&](char32_t c) {
    for (int j = 0; j < 4; ++j) {
      const int shift = little_endian ? 8 * j : 24 - 8 * j;
      out.push_back(static_cast<char>((c >> shift) & 0xFF));
    }
  };
  if (mark) put(0xFEFF);
  for (const char32_t c : text) put(c);
  return out;
}

// nullopt-like: false when some code point has no byte.
bool reference_single_byte_encode(const std::u32string& text, int (*byte_of)(char32_t),
                                  std::string& out) {
  out.clear();
  for (const char32_t c : text) {
    const int b = byte_of(c);
    if (b < 0) return false;
    out.push_back(static_cast<char>(b));
  }
  return true;
}

int ascii_byte(char32_t c) { return c < 0x80 ? static_cast<int>(c) : -1; }
int latin1_byte(char32_t c) { return c < 0x100 ? static_cast<int>(c) : -1; }
int cp1252_byte(char32_t c) { return vantrel::windows_1252_byte(c); }

template <class Encode>
void expect_encoding(Encode encode, const vantrel::TextView& text, bool reference_ok,
                     const std::string& reference) {
  fuzz::CheckedByteSink sink;
  bool ok;
  if constexpr (std::is_void_v<decltype(encode(text, sink))>) {
    encode(text, sink);
    ok = true;
  } else {
    ok = encode(text, sink).has_value();
  }
  FUZZ_CHECK(ok == reference_ok);
  FUZZ_CHECK(sink.allocated_ == ok);
  if (ok) FUZZ_CHECK(sink.bytes == reference);
}

void check_encoders(const std::u32string& code_points) {
  const fuzz::StoredText stored(code_points);
  const vantrel::TextView& text = stored.view();
  const std::string utf8 = fuzz::reference_utf8_encode(code_points);
  expect_encoding(vantrel::encode_utf8, text, true, utf8);

  expect_encoding(vantrel::encode_utf16, text, true, reference_utf16(code_points, false, true));
  expect_encoding(vantrel::encode_utf16be, text, true, reference_utf16(code_points, false, false));
  expect_encoding(vantrel::encode_utf16le, text, true, reference_utf16(code_points, true, false));
  expect_encoding(vantrel::encode_utf32, text, true, reference_utf32(code_points, false, true));
  expect_encoding(vantrel::encode_utf32be, text, true, reference_utf32(code_points, false, false));
  expect_encoding(vantrel::encode_utf32le, text, true, reference_utf32(code_points, true, false));

  std::string single;
  bool ok = reference_single_byte_encode(code_points, ascii_byte, single);
  expect_encoding(vantrel::encode_us_ascii, text, ok, single);
  ok = reference_single_byte_encode(code_points, latin1_byte, single);
  expect_encoding(vantrel::encode_iso_8859_1, text, ok, single);
  ok = reference_single_byte_encode(code_points, cp1252_byte, single);
  expect_encoding(vantrel::encode_windows_1252, text, ok, single);

  // Text that arrives as UTF-8 (recipe names and values) goes through the
  // same encoders.
  fuzz::CheckedByteSink from_utf8;
  vantrel::encode_from_utf8<vantrel::encode_utf16le>(utf8, from_utf8);
  FUZZ_CHECK(from_utf8.bytes == reference_utf16(code_points, true, false));

  // Round trips through the library's own decoders.
  fuzz::CheckedTextSink back;
  FUZZ_CHECK(vantrel::decode_utf8(span_of(utf8), back).has_value());
  FUZZ_CHECK(back.code_points() == code_points);
  const std::string utf16 = reference_utf16(code_points, true, false);
  fuzz::CheckedTextSink back16;
  FUZZ_CHECK(vantrel::decode_utf16le(span_of(utf16), back16).has_value());
  FUZZ_CHECK(back16.code_points() == code_points);
}

// ---- Whole-buffer kernels ---------------------------------------------------

// Each kernel, in its plain and (where the processor has it) AVX2 version,
// against a loop over one unit at a time, on arbitrary units of each size.
template <class Unit>
void check_kernels_on(const std::vector<Unit>& units, char32_t threshold, bool little) {
  namespace k = vantrel::kernels;
  const Unit* in = units.data();
  const std::size_t count = units.size();
  char32_t largest = 0;
  std::size_t at_least = 0, utf8 = 0;
  bool surrogate = false;
  for (const Unit unit : units) {
    const char32_t c = unit;
    largest = std::max(largest, c);
    at_least += c >= threshold;
    surrogate = surrogate || (c >= 0xD800 && c <= 0xDFFF);
    utf8 += c < 0x80 ? 1 : c < 0x800 ? 2 : c < 0x10000 ? 3 : 4;
  }
  const bool all_scalar = !surrogate && largest <= 0x10FFFF;
  for (const bool avx2 : {false, true}) {
    k::use_avx2(avx2);
    FUZZ_CHECK(k::max_unit(in, count) == largest);
    FUZZ_CHECK(k::count_at_least(in, count, threshold) == at_least);
    if constexpr (sizeof(Unit) > 1) FUZZ_CHECK(k::has_surrogate(in, count) == surrogate);
    if (all_scalar) FUZZ_CHECK(k::utf8_size(in, count) == utf8);
    for (const int out_size : {1, 2, 4}) {
      // Narrowing keeps the low bits; the reference does the same.
      std::string out(count * out_size + 1, '\xA5');
      k::convert_units(in, count, out.data(), out_size, little);
      std::string expected(count * out_size + 1, '\xA5');
      for (std::size_t i = 0; i < count; ++i) {
        for (int b = 0; b < out_size; ++b) {
          const int shift = 8 * (little ? b : out_size - 1 - b);
          expected[i * out_size + b] = static_cast<char>((char32_t{in[i]} >> shift) & 0xFF);
        }
      }
      FUZZ_CHECK(out == expected);
    }
  }
  k::use_avx2(true);
}

void check_kernels(fuzz::Input& input) {
  const char32_t threshold = input.number<std::uint32_t>() % 0x110001;
  const bool little = input.flag();
  const vantrel::ByteSpan bytes = input.rest();
  switch (bytes.empty() ? 0 : bytes[0] % 3) {
    case 0: {
      std::vector<std::uint8_t> units(bytes.begin(), bytes.end());
      check_kernels_on(units, threshold, little);
      break;
    }
    case 1: {
      std::vector<char16_t> units(bytes.size() / 2);
      if (!units.empty()) std::memcpy(units.data(), bytes.data(), units.size() * 2);
      check_kernels_on(units, threshold, little);
      break;
    }
    default: {
      std::vector<char32_t> units(bytes.size() / 4);
      if (!units.empty()) std::memcpy(units.data(), bytes.data(), units.size() * 4);
      // Mostly scalar values, so that utf8_size is checked too.
      for (char32_t& unit : units) {
        if ((unit >> 24) != 0xFF) unit %= 0x110000;
      }
      check_kernels_on(units, threshold, little);
      break;
    }
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  fuzz::Input input(data, size);
  if (size == 0) return 0;
  // The first byte picks the direction; the decoders get everything else
  // as it stands, the encoders text made from it.
  const std::uint8_t mode = input.byte();
  if (mode >= 224) {
    check_kernels(input);
  } else if (mode & 1) {
    check_decoders(input.rest());
  } else {
    check_encoders(fuzz::scalar_values(input, 4096));
  }
  return 0;
}
