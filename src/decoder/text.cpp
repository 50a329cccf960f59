// Text decoders.
#include "decoder/decoders.hpp"

namespace vantrel {

// TEMPORARY placeholders until the text encodings land.
Result<DecodedText> decode_utf8(ByteSpan) {
  return not_implemented("UTF-8 format not yet implemented");
}
Result<DecodedText> decode_utf16(ByteSpan) {
  return not_implemented("UTF-16 format not yet implemented");
}
Result<DecodedText> decode_utf16_with_endianness(ByteSpan, bool) {
  return not_implemented("UTF-16 format not yet implemented");
}
Result<DecodedText> decode_utf32(ByteSpan) {
  return not_implemented("UTF-32 format not yet implemented");
}
Result<DecodedText> decode_utf32_with_endianness(ByteSpan, bool) {
  return not_implemented("UTF-32 format not yet implemented");
}
Result<DecodedText> decode_us_ascii(ByteSpan) {
  return not_implemented("US-ASCII format not yet implemented");
}
DecodedText decode_iso_8859_1(ByteSpan) { return {}; }
Result<DecodedText> decode_windows_1252(ByteSpan) {
  return not_implemented("Windows-1252 format not yet implemented");
}

}  // namespace vantrel
