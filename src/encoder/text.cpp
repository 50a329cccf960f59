// Text encoders.
#include "encoder/encoders.hpp"

namespace vantrel {

// TEMPORARY placeholders until the text encodings land.
Result<std::string> encode_us_ascii(std::string_view) {
  return not_implemented("US-ASCII encoding not yet implemented");
}
Result<std::string> encode_iso_8859_1(std::string_view) {
  return not_implemented("ISO-8859-1 encoding not yet implemented");
}
Result<std::string> encode_windows_1252(std::string_view) {
  return not_implemented("Windows-1252 encoding not yet implemented");
}
std::string encode_utf16(std::string_view) { return {}; }
std::string encode_utf16be(std::string_view) { return {}; }
std::string encode_utf16le(std::string_view) { return {}; }
std::string encode_utf32(std::string_view) { return {}; }
std::string encode_utf32be(std::string_view) { return {}; }
std::string encode_utf32le(std::string_view) { return {}; }

}  // namespace vantrel
