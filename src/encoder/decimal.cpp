// Packed BCD and unpacked (zoned) BCD encoders.
#include "encoder/encoders.hpp"

namespace vantrel {

// TEMPORARY placeholders until the decimal encodings land.
Result<std::uint64_t> encode_packed_bcd(std::int64_t, std::uint32_t, bool) {
  return not_implemented("packed BCD encoding not yet implemented");
}
Result<std::uint64_t> encode_unpacked_bcd(std::int64_t, std::uint32_t, bool) {
  return not_implemented("unpacked BCD encoding not yet implemented");
}

}  // namespace vantrel
