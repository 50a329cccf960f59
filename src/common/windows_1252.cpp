// Reverse windows-1252 lookup, derived at compile time from the byte table so
// the two directions cannot disagree.
#include "common/windows_1252.hpp"

#include <algorithm>
#include <cstddef>

namespace vantrel {

namespace {

// Code points U+0080..U+00FF: the byte, or -1.
constexpr std::array<std::int16_t, 128> kLatin1Range = [] {
  std::array<std::int16_t, 128> table{};
  table.fill(-1);
  for (std::size_t i = 0; i < kWindows1252High.size(); ++i) {
    const char16_t code_point = kWindows1252High[i];
    if (code_point < 0x100) table[code_point - 0x80] = static_cast<std::int16_t>(0x80 + i);
  }
  return table;
}();

struct HighEntry {
  char16_t code_point;
  std::uint8_t byte;
};

constexpr std::size_t kHighCount =
    std::ranges::count_if(kWindows1252High, [](char16_t c) { return c >= 0x100; });

// Code points above U+00FF, sorted for a binary search; only 27 of them.
constexpr std::array<HighEntry, kHighCount> kHigh = [] {
  std::array<HighEntry, kHighCount> entries{};
  std::size_t n = 0;
  for (std::size_t i = 0; i < kWindows1252High.size(); ++i) {
    if (kWindows1252High[i] >= 0x100) {
      entries[n++] = HighEntry{kWindows1252High[i], static_cast<std::uint8_t>(0x80 + i)};
    }
  }
  std::ranges::sort(entries, {}, &HighEntry::code_point);
  return entries;
}();

static_assert(kHighCount == 27);
static_assert(std::ranges::adjacent_find(kHigh, {}, &HighEntry::code_point) == kHigh.end(),
              "every code point has at most one byte");

}  // namespace

int windows_1252_byte(char32_t code_point) {
  if (code_point < 0x80) return static_cast<int>(code_point);
  if (code_point < 0x100) return kLatin1Range[code_point - 0x80];
  if (code_point > kHigh.back().code_point) return -1;
  const auto* found = std::ranges::lower_bound(
      kHigh, code_point, {}, [](const HighEntry& e) { return char32_t{e.code_point}; });
  return found->code_point == code_point ? found->byte : -1;
}

}  // namespace vantrel
