// Value types shared by the codecs and the calling frame.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>
#include <string>
#include <string_view>
#include <variant>

namespace vantrel {

// A read-only byte string (a bytes object's buffer, or a packet field).
using ByteSpan = std::span<const std::uint8_t>;

// An unsigned 128-bit pattern split into halves (binary128 patterns).
struct U128 {
  std::uint64_t high;
  std::uint64_t low;
};

// Text produced by a decoder: UTF-8 plus what is needed to build an
// interpreter str in one pass without validating the UTF-8 again.
// The UTF-8 is either owned or a view of the decoder's input (which outlives
// the result for the duration of a call).
struct DecodedText {
  std::variant<std::string, std::string_view> utf8_storage;
  std::size_t code_points = 0;
  std::uint32_t max_code_point = 0;

  std::string_view utf8() const {
    if (const auto* owned = std::get_if<std::string>(&utf8_storage)) return *owned;
    return std::get<std::string_view>(utf8_storage);
  }
};

}  // namespace vantrel
