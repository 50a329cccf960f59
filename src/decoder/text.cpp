// Text decoders. The sink may decode well-formed UTF-8, UTF-16 and UTF-32
// with a codec of its own (the interpreter's, which gives the same text);
// for anything it refuses, and for sinks without one, each decoder here
// checks and measures its whole input first (so that a failure allocates
// nothing but its message), then asks the sink for room of the right unit
// size once and writes the code points straight into it.
#include <algorithm>
#include <array>
#include <bit>
#include <cstddef>
#include <cstring>
#include <expected>
#include <optional>
#include <string>
#include <string_view>
#include <type_traits>

#include "common/format.hpp"
#include "common/utf8.hpp"
#include "common/windows_1252.hpp"
#include "decoder/decoders.hpp"

namespace vantrel {

namespace {

// How much text the input holds: its code points and the largest of them
// (any value below 0x80 stands for "all ASCII").
struct TextShape {
  std::size_t length;
  char32_t largest;
};

void write_ascii(ByteSpan bytes, TextSink& sink) {
  sink.write(bytes.size(), 0x7F, [&](auto* out) {
    if constexpr (sizeof *out == 1) {
      if (!bytes.empty()) std::memcpy(out, bytes.data(), bytes.size());
    }
  });
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
// surrogates or values above U+10FFFF) and measures it.
std::expected<TextShape, Utf8Fault> measure_utf8(ByteSpan bytes) {
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
  return TextShape{bytes.size() - continuations, largest};
}

// Valid UTF-8 into the sink.
Result<void> write_utf8(ByteSpan bytes, const TextShape& shape, TextSink& sink) {
  if (shape.largest < 0x80) {
    write_ascii(bytes, sink);
    return {};
  }
  sink.write(shape.length, shape.largest, [&](auto* out) {
    using Unit = std::remove_pointer_t<decltype(out)>;
    const std::uint8_t* p = bytes.data();
    const std::uint8_t* const end = p + bytes.size();
    while (p < end) {
      const std::uint8_t* const run_end = utf8::skip_ascii(p, end);
      for (; p < run_end; ++p) *out++ = static_cast<Unit>(*p);
      if (p < end) *out++ = static_cast<Unit>(utf8::read_valid(p));
    }
  });
  return {};
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

constexpr bool is_high_surrogate(char32_t unit) { return (unit & 0xFC00) == 0xD800; }
constexpr bool is_low_surrogate(char32_t unit) { return (unit & 0xFC00) == 0xDC00; }

// Measures UTF-16; nothing when a surrogate is not part of a well-ordered
// pair (callers word the failure). Without a branch per unit: in mixed text
// whether a unit starts a pair is unpredictable. The input is well formed
// exactly when every low surrogate follows a high one and every high one is
// followed by a low one.
template <bool Little>
std::optional<TextShape> measure_utf16(ByteSpan bytes) {
  const std::uint8_t* const p = bytes.data();
  const std::size_t units = bytes.size() / 2;
  if (units == 0) return TextShape{0, 0};
  // Plain counters and a running maximum over 16-bit lanes: a loop the
  // compiler vectorises.
  std::uint32_t misplaced = is_low_surrogate(read_unit16<Little>(p));
  std::size_t pairs = 0;
  std::uint16_t largest = 0;
  for (std::size_t i = 1; i < units; ++i) {
    const auto unit = static_cast<std::uint16_t>(read_unit16<Little>(p + 2 * i));
    const auto before = static_cast<std::uint16_t>(read_unit16<Little>(p + 2 * i - 2));
    const std::uint32_t high_before = (before & 0xFC00) == 0xD800;
    misplaced |= ((unit & 0xFC00) == 0xDC00) ^ high_before;
    pairs += high_before;
    largest = std::max(largest, unit);
  }
  const char32_t last = read_unit16<Little>(p + 2 * units - 2);
  if (misplaced != 0 || is_high_surrogate(last)) return std::nullopt;
  largest = std::max(largest, static_cast<std::uint16_t>(read_unit16<Little>(p)));
  // With a pair present the text needs four-byte units; without one every
  // unit is a code point and the largest unit is the largest code point.
  return TextShape{units - pairs, pairs != 0 ? char32_t{0x10000} : char32_t{largest}};
}

// Checked UTF-16 into the sink.
template <bool Little>
void write_utf16(ByteSpan bytes, const TextShape& shape, TextSink& sink) {
  const std::uint8_t* const p = bytes.data();
  const std::size_t units = bytes.size() / 2;
  sink.write(shape.length, shape.largest, [&](auto* out) {
    using Unit = std::remove_pointer_t<decltype(out)>;
    if (shape.length == units) {
      // No surrogate pairs: one unit per code point, a loop the compiler
      // vectorises.
      for (std::size_t i = 0; i < units; ++i) {
        out[i] = static_cast<Unit>(read_unit16<Little>(p + 2 * i));
      }
      return;
    }
    // Runs of single units copied in a tight loop, then one pair.
    for (std::size_t i = 0; i < units;) {
      std::size_t run_end = i;
      while (run_end < units && !is_surrogate(read_unit16<Little>(p + 2 * run_end))) ++run_end;
      for (; i < run_end; ++i) *out++ = static_cast<Unit>(read_unit16<Little>(p + 2 * i));
      if (i < units) {
        const char32_t high = read_unit16<Little>(p + 2 * i);
        const char32_t low = read_unit16<Little>(p + 2 * i + 2);
        *out++ = static_cast<Unit>(0x10000 + ((high - 0xD800) << 10) + (low - 0xDC00));
        i += 2;
      }
    }
  });
}

template <bool Little>
Result<void> decode_utf16_units(ByteSpan bytes, TextSink& sink, const char* failure) {
  if (sink.decode_natively(Little ? NativeCodec::Utf16Little : NativeCodec::Utf16Big, bytes)) {
    return {};
  }
  const auto shape = measure_utf16<Little>(bytes);
  if (!shape) return value_error(failure);
  write_utf16<Little>(bytes, *shape, sink);
  return {};
}

template <bool Little>
Result<void> decode_utf32_units(ByteSpan bytes, TextSink& sink) {
  if (sink.decode_natively(Little ? NativeCodec::Utf32Little : NativeCodec::Utf32Big, bytes)) {
    return {};
  }
  const std::uint8_t* const p = bytes.data();
  const std::size_t units = bytes.size() / 4;
  char32_t largest = 0;
  for (std::size_t i = 0; i < units; ++i) {
    const char32_t c = read_unit32<Little>(p + 4 * i);
    if (is_surrogate(c) || c > 0x10FFFF) {
      return value_error(concat("Invalid UTF-32 codepoint: 0x", hex_upper(c, 8)));
    }
    largest = std::max(largest, c);
  }
  sink.write(units, largest, [&](auto* out) {
    using Unit = std::remove_pointer_t<decltype(out)>;
    for (std::size_t i = 0; i < units; ++i)
      out[i] = static_cast<Unit>(read_unit32<Little>(p + 4 * i));
  });
  return {};
}

// ---- Windows-1252 ----------------------------------------------------------

constexpr std::array<char16_t, 256> kWindows1252CodePoints = [] {
  std::array<char16_t, 256> code_points{};
  for (std::size_t byte = 0; byte < code_points.size(); ++byte) {
    code_points[byte] =
        static_cast<char16_t>(windows_1252_code_point(static_cast<std::uint8_t>(byte)));
  }
  return code_points;
}();

void map_windows_1252(ByteSpan bytes, TextSink& sink) {
  const std::uint8_t* const begin = bytes.data();
  const std::uint8_t* const end = begin + bytes.size();
  const std::uint8_t* const first_high = utf8::skip_ascii(begin, end);
  if (first_high == end) return write_ascii(bytes, sink);
  // No branch per byte: in mixed text whether a byte is ASCII is unpredictable.
  char16_t largest = 0;
  for (const std::uint8_t* p = first_high; p < end; ++p) {
    largest = std::max(largest, kWindows1252CodePoints[*p]);
  }
  sink.write(bytes.size(), largest, [&](auto* out) {
    using Unit = std::remove_pointer_t<decltype(out)>;
    for (std::size_t i = 0; i < bytes.size(); ++i) {
      out[i] = static_cast<Unit>(kWindows1252CodePoints[begin[i]]);
    }
  });
}

constexpr const char* kLoneSurrogate =
    "Invalid UTF-16 sequence: invalid utf-16: lone surrogate found";
constexpr const char* kWindows1252Failure = "Failed to decode Windows-1252 bytes";

}  // namespace

Result<void> decode_utf8(ByteSpan bytes, TextSink& out) {
  if (out.decode_natively(NativeCodec::Utf8, bytes)) return {};
  const auto shape = measure_utf8(bytes);
  if (shape) return write_utf8(bytes, *shape, out);
  const Utf8Fault& fault = shape.error();
  if (fault.length == 0) {
    return value_error(
        concat("Invalid UTF-8 bytes: incomplete utf-8 byte sequence from index ", fault.index));
  }
  return value_error(concat("Invalid UTF-8 bytes: invalid utf-8 sequence of ", fault.length,
                            " bytes from index ", fault.index));
}

Result<void> decode_utf16(ByteSpan bytes, TextSink& out) {
  if (bytes.size() < 2 || bytes.size() % 2 != 0) {
    return value_error("UTF-16 requires an even number of bytes with at least 2 bytes");
  }
  if (bytes[0] == 0xFE && bytes[1] == 0xFF) {
    return decode_utf16_with_endianness(bytes.subspan(2), false, out);
  }
  if (bytes[0] == 0xFF && bytes[1] == 0xFE) {
    return decode_utf16_with_endianness(bytes.subspan(2), true, out);
  }
  return decode_utf16_with_endianness(bytes, false, out);
}

Result<void> decode_utf16_with_endianness(ByteSpan bytes, bool little_endian, TextSink& out) {
  if (bytes.size() % 2 != 0) return value_error("UTF-16 requires an even number of bytes");
  return little_endian ? decode_utf16_units<true>(bytes, out, kLoneSurrogate)
                       : decode_utf16_units<false>(bytes, out, kLoneSurrogate);
}

Result<void> decode_utf32(ByteSpan bytes, TextSink& out) {
  if (bytes.size() < 4 || bytes.size() % 4 != 0) {
    return value_error("UTF-32 requires a multiple of 4 bytes with at least 4 bytes");
  }
  if (bytes[0] == 0x00 && bytes[1] == 0x00 && bytes[2] == 0xFE && bytes[3] == 0xFF) {
    return decode_utf32_units<false>(bytes.subspan(4), out);
  }
  if (bytes[0] == 0xFF && bytes[1] == 0xFE && bytes[2] == 0x00 && bytes[3] == 0x00) {
    return decode_utf32_units<true>(bytes.subspan(4), out);
  }
  return decode_utf32_units<false>(bytes, out);
}

Result<void> decode_utf32_with_endianness(ByteSpan bytes, bool little_endian, TextSink& out) {
  if (bytes.size() % 4 != 0) return value_error("UTF-32 requires a multiple of 4 bytes");
  return little_endian ? decode_utf32_units<true>(bytes, out)
                       : decode_utf32_units<false>(bytes, out);
}

Result<void> decode_us_ascii(ByteSpan bytes, TextSink& out) {
  const std::uint8_t* const end = bytes.data() + bytes.size();
  const std::uint8_t* const bad = utf8::skip_ascii(bytes.data(), end);
  if (bad != end) {
    return value_error(
        concat("Invalid US-ASCII byte: 0x", hex_upper(*bad, 2), " (must be <= 0x7F)"));
  }
  write_ascii(bytes, out);
  return {};
}

void decode_iso_8859_1(ByteSpan bytes, TextSink& out) {
  const std::uint8_t* const end = bytes.data() + bytes.size();
  const char32_t largest = utf8::skip_ascii(bytes.data(), end) == end ? 0x7F : 0xFF;
  out.write(bytes.size(), largest, [&](auto* units) {
    if constexpr (sizeof *units == 1) {
      if (!bytes.empty()) std::memcpy(units, bytes.data(), bytes.size());
    }
  });
}

Result<void> decode_windows_1252(ByteSpan bytes, TextSink& out) {
  // A byte order mark selects UTF-8 or UTF-16 for the rest; malformed input
  // after one fails the whole call rather than being replaced.
  if (bytes.size() >= 3 && bytes[0] == 0xEF && bytes[1] == 0xBB && bytes[2] == 0xBF) {
    const ByteSpan rest = bytes.subspan(3);
    if (out.decode_natively(NativeCodec::Utf8, rest)) return {};
    const auto shape = measure_utf8(rest);
    if (!shape) return value_error(kWindows1252Failure);
    return write_utf8(rest, *shape, out);
  }
  if (bytes.size() >= 2 &&
      ((bytes[0] == 0xFF && bytes[1] == 0xFE) || (bytes[0] == 0xFE && bytes[1] == 0xFF))) {
    const ByteSpan rest = bytes.subspan(2);
    if (rest.size() % 2 != 0) return value_error(kWindows1252Failure);
    return bytes[0] == 0xFF ? decode_utf16_units<true>(rest, out, kWindows1252Failure)
                            : decode_utf16_units<false>(rest, out, kWindows1252Failure);
  }
  map_windows_1252(bytes, out);
  return {};
}

}  // namespace vantrel
