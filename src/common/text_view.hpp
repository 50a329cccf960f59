// Text as the interpreter stores it, read in place: one unit per code point,
// of 1, 2 or 4 bytes. The unit size is the smallest that holds the largest
// code point; one-byte text is either ASCII or Latin-1.
#pragma once

#include <cstddef>
#include <cstdint>

namespace vantrel {

struct TextView {
  const void* data = nullptr;
  std::size_t length = 0;      // code points
  std::uint8_t unit_size = 1;  // 1, 2 or 4
  bool ascii = true;           // one-byte units, all below 0x80

  const std::uint8_t* units8() const { return static_cast<const std::uint8_t*>(data); }
  const char16_t* units16() const { return static_cast<const char16_t*>(data); }
  const char32_t* units32() const { return static_cast<const char32_t*>(data); }

  char32_t at(std::size_t index) const {
    switch (unit_size) {
      case 1: return units8()[index];
      case 2: return units16()[index];
      default: return units32()[index];
    }
  }

  static TextView of_ascii(const char* text, std::size_t length) {
    return TextView{text, length, 1, true};
  }
};

// Calls `visit` with the units as a typed pointer (uint8_t, char16_t or
// char32_t).
template <class Visit>
decltype(auto) visit_units(const TextView& text, Visit&& visit) {
  switch (text.unit_size) {
    case 1: return visit(text.units8());
    case 2: return visit(text.units16());
    default: return visit(text.units32());
  }
}

}  // namespace vantrel
