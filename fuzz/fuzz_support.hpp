// Shared pieces of the libFuzzer harnesses: reading typed values off the
// fuzzer's bytes, a finding that stops the run, and sinks that check the
// contract the codecs promise their callers.
#pragma once

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <limits>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "common/sinks.hpp"
#include "common/text_view.hpp"
#include "common/types.hpp"
#include "streams/framing.hpp"

namespace fuzz {

// A finding: a wrong result is as much a finding as a crash.
[[noreturn]] inline void finding(const char* what, const char* file, int line) {
  std::fprintf(stderr, "FINDING %s:%d: %s\n", file, line, what);
  std::fflush(stderr);
  std::abort();
}

#define FUZZ_CHECK(condition)                                          \
  do {                                                                 \
    if (!(condition)) ::fuzz::finding(#condition, __FILE__, __LINE__); \
  } while (0)

// Consumes the fuzzer's bytes front to back; past the end everything reads
// as zero, so every input is usable.
class Input {
 public:
  Input(const std::uint8_t* data, std::size_t size) : data_(data), size_(size) {}

  std::uint8_t byte() { return position_ < size_ ? data_[position_++] : 0; }

  template <class T>
  T number() {
    T value{};
    std::uint8_t bytes[sizeof(T)] = {};
    for (auto& b : bytes) b = byte();
    std::memcpy(&value, bytes, sizeof(T));
    return value;
  }

  bool flag() { return (byte() & 1) != 0; }

  // Up to `limit` bytes, length chosen by the input.
  vantrel::ByteSpan bytes(std::size_t limit) {
    const std::size_t wanted = std::min<std::size_t>(number<std::uint16_t>(), limit);
    const std::size_t taken = std::min(wanted, size_ - position_);
    vantrel::ByteSpan span(data_ + position_, taken);
    position_ += taken;
    return span;
  }

  vantrel::ByteSpan rest() {
    vantrel::ByteSpan span(data_ + position_, size_ - position_);
    position_ = size_;
    return span;
  }

  std::size_t remaining() const { return size_ - position_; }

 private:
  const std::uint8_t* data_;
  std::size_t size_;
  std::size_t position_ = 0;
};

// A packet length adjustment as split_packets and Layout(packet_length=)
// take it: small, at or next to either end of int64, near +-2^62, or any.
inline std::int64_t fuzzed_adjust(Input& input) {
  const std::uint8_t kind = input.byte() % 5;
  const auto nudge = static_cast<std::int64_t>(input.byte() % 16);
  switch (kind) {
    case 0: return static_cast<std::int8_t>(input.byte());
    case 1: return std::numeric_limits<std::int64_t>::min() + nudge;
    case 2: return std::numeric_limits<std::int64_t>::max() - nudge;
    case 3: return (input.flag() ? -1 : 1) * (std::int64_t{1} << 62) + nudge - 8;
    default: return input.number<std::int64_t>();
  }
}

// A length field: 1 to 64 bits (64 often), near the packet's start or
// anywhere up to 2^60 bits into it, an adjustment from fuzzed_adjust.
inline vantrel::LengthField fuzzed_length_field(Input& input) {
  vantrel::LengthField length{};
  const std::uint8_t selector = input.byte();
  length.offset_bits = selector < 240
                           ? input.byte() % 80
                           : input.number<std::uint64_t>() % ((std::uint64_t{1} << 60) + 1);
  length.bits = input.flag() ? 64 : input.byte() % 64 + 1;
  length.adjust = fuzzed_adjust(input);
  length.little_endian = input.flag();
  return length;
}

// A length field's value read one bit at a time, as a layout reads an
// unsigned field of its width and byte order (for little-endian, the bytes
// that hold it reversed, then only its own width kept); nullopt when the
// buffer ends before the field does.
inline std::optional<std::uint64_t> reference_length_value(vantrel::ByteSpan buffer,
                                                           std::uint64_t packet_bit,
                                                           const vantrel::LengthField& length) {
  const unsigned __int128 field_end =
      static_cast<unsigned __int128>(packet_bit) + length.offset_bits + length.bits;
  if (field_end > static_cast<unsigned __int128>(buffer.size()) * 8) return std::nullopt;
  std::uint64_t field = 0;
  for (std::uint32_t j = 0; j < length.bits; ++j) {
    const std::uint64_t bit = packet_bit + length.offset_bits + j;
    field = (field << 1) | ((buffer[bit / 8] >> (7 - bit % 8)) & 1);
  }
  if (length.little_endian) {
    const std::uint32_t byte_count = (length.bits + 7) / 8;
    std::uint64_t swapped = 0;
    for (std::uint32_t k = 0; k < byte_count; ++k) {
      swapped |= ((field >> (8 * k)) & 0xFF) << (8 * (byte_count - 1 - k));
    }
    field = length.bits == 64 ? swapped : swapped & ((std::uint64_t{1} << length.bits) - 1);
  }
  return field;
}

// The interpreter's storage class of a text whose largest code point is `c`:
// ASCII, Latin-1, two-byte or four-byte units.
inline int storage_class(char32_t c) { return c < 0x80 ? 0 : c < 0x100 ? 1 : c < 0x10000 ? 2 : 3; }

// Collects what a decoder writes, checking the sink contract: room asked for
// at most once, and a largest code point announced that gives the storage
// class of the code points written (an ASCII flag that lies, or wider units
// than the text needs, make a str the interpreter considers corrupt).
class CheckedTextSink final : public vantrel::TextSink {
 public:
  void* allocate(std::size_t length, char32_t max_code_point) override {
    FUZZ_CHECK(!allocated_);
    allocated_ = true;
    FUZZ_CHECK(max_code_point <= 0x10FFFF);
    max_code_point_ = max_code_point;
    length_ = length;
    unit_size_ = max_code_point < 0x100 ? 1 : max_code_point < 0x10000 ? 2 : 4;
    // Filled with a pattern so that units the decoder leaves unwritten show.
    storage_.assign(length * unit_size_ + 1, 0xA5);
    return storage_.data();
  }

  bool allocated() const { return allocated_; }

  // The code points written; checks the announced maximum against them.
  std::u32string code_points() const {
    std::u32string out;
    if (!allocated_) return out;
    out.reserve(length_);
    char32_t largest = 0;
    for (std::size_t i = 0; i < length_; ++i) {
      char32_t c = 0;
      if (unit_size_ == 1) {
        c = storage_[i];
      } else if (unit_size_ == 2) {
        char16_t unit;
        std::memcpy(&unit, storage_.data() + 2 * i, 2);
        c = unit;
      } else {
        std::memcpy(&c, storage_.data() + 4 * i, 4);
      }
      FUZZ_CHECK(c <= 0x10FFFF);
      largest = std::max(largest, c);
      out.push_back(c);
    }
    FUZZ_CHECK(length_ == 0 || storage_class(largest) == storage_class(max_code_point_));
    FUZZ_CHECK(storage_.back() == 0xA5);  // nothing written past the units
    return out;
  }

 private:
  bool allocated_ = false;
  std::size_t length_ = 0;
  char32_t max_code_point_ = 0;
  unsigned unit_size_ = 1;
  std::vector<std::uint8_t> storage_;
};

// Collects encoded bytes, checking that the buffer is asked for once.
class CheckedByteSink final : public vantrel::ByteSink {
 public:
  char* allocate(std::size_t size) override {
    FUZZ_CHECK(!allocated_);
    allocated_ = true;
    bytes.assign(size, '\xA5');
    return bytes.data();
  }
  bool allocated_ = false;
  std::string bytes;
};

// ---- Scalar references --------------------------------------------------

// Strict UTF-8, one code point at a time: no overlong forms, no surrogates,
// nothing above U+10FFFF. Returns false on malformed input.
inline bool reference_utf8_decode(vantrel::ByteSpan bytes, std::u32string& out) {
  out.clear();
  std::size_t i = 0;
  while (i < bytes.size()) {
    const std::uint8_t lead = bytes[i];
    std::size_t length;
    char32_t c;
    if (lead < 0x80) {
      out.push_back(lead);
      ++i;
      continue;
    } else if (lead >= 0xC2 && lead <= 0xDF) {
      length = 2;
      c = lead & 0x1F;
    } else if (lead >= 0xE0 && lead <= 0xEF) {
      length = 3;
      c = lead & 0x0F;
    } else if (lead >= 0xF0 && lead <= 0xF4) {
      length = 4;
      c = lead & 0x07;
    } else {
      return false;
    }
    if (i + length > bytes.size()) return false;
    for (std::size_t k = 1; k < length; ++k) {
      if ((bytes[i + k] & 0xC0) != 0x80) return false;
      c = (c << 6) | (bytes[i + k] & 0x3F);
    }
    const char32_t smallest = length == 2 ? 0x80 : length == 3 ? 0x800 : 0x10000;
    if (c < smallest || c > 0x10FFFF || (c >= 0xD800 && c <= 0xDFFF)) return false;
    out.push_back(c);
    i += length;
  }
  return true;
}

inline std::string reference_utf8_encode(const std::u32string& text) {
  std::string out;
  for (const char32_t c : text) {
    if (c < 0x80) {
      out.push_back(static_cast<char>(c));
    } else if (c < 0x800) {
      out.push_back(static_cast<char>(0xC0 | (c >> 6)));
      out.push_back(static_cast<char>(0x80 | (c & 0x3F)));
    } else if (c < 0x10000) {
      out.push_back(static_cast<char>(0xE0 | (c >> 12)));
      out.push_back(static_cast<char>(0x80 | ((c >> 6) & 0x3F)));
      out.push_back(static_cast<char>(0x80 | (c & 0x3F)));
    } else {
      out.push_back(static_cast<char>(0xF0 | (c >> 18)));
      out.push_back(static_cast<char>(0x80 | ((c >> 12) & 0x3F)));
      out.push_back(static_cast<char>(0x80 | ((c >> 6) & 0x3F)));
      out.push_back(static_cast<char>(0x80 | (c & 0x3F)));
    }
  }
  return out;
}

// UTF-16 units in the given byte order; surrogates must pair up.
inline bool reference_utf16_decode(vantrel::ByteSpan bytes, bool little_endian,
                                   std::u32string& out) {
  out.clear();
  if (bytes.size() % 2 != 0) return false;
  const std::size_t units = bytes.size() / 2;
  auto unit = [&](std::size_t k) -> char32_t {
    const std::uint8_t a = bytes[2 * k], b = bytes[2 * k + 1];
    return little_endian ? char32_t(a | (b << 8)) : char32_t((a << 8) | b);
  };
  for (std::size_t k = 0; k < units; ++k) {
    const char32_t u = unit(k);
    if (u >= 0xD800 && u <= 0xDBFF) {
      if (k + 1 >= units) return false;
      const char32_t low = unit(k + 1);
      if (low < 0xDC00 || low > 0xDFFF) return false;
      out.push_back(0x10000 + ((u - 0xD800) << 10) + (low - 0xDC00));
      ++k;
    } else if (u >= 0xDC00 && u <= 0xDFFF) {
      return false;
    } else {
      out.push_back(u);
    }
  }
  return true;
}

inline bool reference_utf32_decode(vantrel::ByteSpan bytes, bool little_endian,
                                   std::u32string& out) {
  out.clear();
  if (bytes.size() % 4 != 0) return false;
  for (std::size_t k = 0; k < bytes.size(); k += 4) {
    char32_t c = 0;
    for (int j = 0; j < 4; ++j) {
      const std::uint8_t b = bytes[k + (little_endian ? 3 - j : j)];
      c = (c << 8) | b;
    }
    if (c > 0x10FFFF || (c >= 0xD800 && c <= 0xDFFF)) return false;
    out.push_back(c);
  }
  return true;
}

// Code points read from the fuzzer's bytes, every one a valid scalar value,
// with a bias towards the boundaries the fast paths care about (ASCII runs,
// 0x80, 0x100, 0x800, surrogate neighbours, 0x10000, the top).
inline std::u32string scalar_values(Input& input, std::size_t limit) {
  static constexpr char32_t kEdges[] = {0x00,    0x7F,     0x80,   0xFF,   0x100,  0x7FF,
                                        0x800,   0xD7FF,   0xE000, 0xFEFF, 0xFFFD, 0xFFFF,
                                        0x10000, 0x10FFFF, 0x20AC, 0x81,   0x9D,   0x178};
  std::u32string out;
  const std::size_t count = std::min<std::size_t>(input.byte() * 4u, limit);
  for (std::size_t i = 0; i < count && input.remaining() > 0; ++i) {
    const std::uint8_t selector = input.byte();
    char32_t c;
    if (selector < 128) {
      c = selector;  // ASCII, the common case
    } else if (selector < 160) {
      c = kEdges[selector % (sizeof kEdges / sizeof kEdges[0])];
    } else if (selector < 224) {
      c = input.byte();  // Latin-1
    } else {
      c = input.number<std::uint32_t>() % 0x110000;
      if (c >= 0xD800 && c <= 0xDFFF) c += 0x800;
    }
    out.push_back(c);
  }
  return out;
}

// Text held as the interpreter holds a str: units of the smallest size that
// fits the largest code point, flagged ASCII when every one is below 0x80.
class StoredText {
 public:
  explicit StoredText(const std::u32string& text) {
    char32_t largest = 0;
    for (const char32_t c : text) largest = std::max(largest, c);
    const int size_class = storage_class(largest);
    const std::uint8_t unit_size = size_class <= 1 ? 1 : size_class == 2 ? 2 : 4;
    units_.resize(text.size() * unit_size + 1);
    for (std::size_t i = 0; i < text.size(); ++i) {
      if (unit_size == 1) {
        units_[i] = static_cast<std::uint8_t>(text[i]);
      } else if (unit_size == 2) {
        const auto unit = static_cast<char16_t>(text[i]);
        std::memcpy(units_.data() + 2 * i, &unit, 2);
      } else {
        std::memcpy(units_.data() + 4 * i, &text[i], 4);
      }
    }
    view_ = vantrel::TextView{units_.data(), text.size(), unit_size, size_class == 0};
  }
  StoredText(const StoredText&) = delete;
  StoredText& operator=(const StoredText&) = delete;

  const vantrel::TextView& view() const { return view_; }

 private:
  std::vector<std::uint8_t> units_;
  vantrel::TextView view_;
};

}  // namespace fuzz
