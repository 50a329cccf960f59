// Packed BCD and unpacked (zoned) BCD decoders.
#include "decoder/decoders.hpp"

namespace vantrel {

// TEMPORARY placeholders until the decimal encodings land.
Result<std::int64_t> decode_packed_bcd(std::uint64_t, std::uint32_t, bool) {
  return not_implemented("packed BCD format not yet implemented");
}
Result<std::int64_t> decode_unpacked_bcd(std::uint64_t, std::uint32_t, bool) {
  return not_implemented("unpacked BCD format not yet implemented");
}

}  // namespace vantrel
