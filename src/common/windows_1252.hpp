// The windows-1252 mapping of bytes 0x80..0xFF (WHATWG index); bytes below
// 0x80 are ASCII.
#pragma once

#include <array>
#include <cstdint>

namespace vantrel {

// TEMPORARY placeholder: the text encodings fill in the real index.
inline constexpr std::array<char16_t, 128> kWindows1252High{};

}  // namespace vantrel
