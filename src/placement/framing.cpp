#include "placement/framing.hpp"

#include "common/bits.hpp"
#include "common/format.hpp"
#include "common/packet_bits.hpp"

namespace vantrel {

Result<std::vector<std::uint64_t>> split_stream(ByteSpan stream, const LengthField& length) {
  std::vector<std::uint64_t> starts;
  const std::uint64_t size = stream.size();
  // Bytes of the header up to the end of the length field.
  const std::uint64_t header_end_bit = length.offset_bits + length.bits;
  const std::uint64_t header_bytes = header_end_bit / 8 + (header_end_bit % 8 != 0);
  std::uint64_t start = 0;
  while (start < size) {
    const std::uint64_t left = size - start;
    if (header_bytes > left) {
      return value_error(concat(
          "packet ", starts.size(), " at byte ", start, " is truncated: the stream ends ", left,
          " bytes into it, before the end of its length field at byte ", header_bytes));
    }
    std::uint64_t field = read_field(stream.data(), start * 8 + length.offset_bits, length.bits);
    // As a layout reads the same field: the bytes that hold it swapped, then
    // only its own width kept.
    if (length.little_endian) {
      field = reverse_low_bytes(field, (length.bits + 7) / 8) & low_mask(length.bits);
    }
    const __int128 total = static_cast<__int128>(field) + length.adjust;
    if (total < 1) {
      return value_error(concat("packet ", starts.size(), " at byte ", start,
                                " has a total length of ", total, " bytes (length field ", field,
                                " + adjust ", length.adjust,
                                "): a packet needs at least one byte"));
    }
    if (total < static_cast<__int128>(header_bytes)) {
      // Its length would come from the bytes of the packet after it.
      return value_error(concat("packet ", starts.size(), " at byte ", start,
                                " has a total length of ", total, " bytes (length field ", field,
                                " + adjust ", length.adjust,
                                "), which ends before the end of its "
                                "length field at byte ",
                                header_bytes));
    }
    if (total > static_cast<__int128>(left)) {
      return value_error(concat("packet ", starts.size(), " at byte ", start,
                                " is truncated: its length field gives ", total, " bytes but only ",
                                left, " remain in the stream"));
    }
    starts.push_back(start);
    start += static_cast<std::uint64_t>(total);
  }
  return starts;
}

}  // namespace vantrel
