// Engineering values of a layout's field (single values, arrays, fields
// after them, permuted byte orders), converted block by block as the packets
// decode: each block's raw elements go to a small scratch buffer and are
// converted from there straight into the column while they are still in
// the cache, so no raw column is made. Plain C++ over the buffer.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>

#include "columns/plan_decode.hpp"
#include "conversions/conversions.hpp"

namespace vantrel {

// Where a field's engineering values go: `values` (converted_item_size
// wide, pointer-sized with `handles`), packet i's from element
// i * count or offsets[i]; `mask` one byte per packet, empty with
// errors="raise"; `element_time` for time codes wider than 64 bits (see
// convert_packet_elements).
struct ConvertedTarget {
  const Conversion* conversion = nullptr;
  std::uint8_t* values = nullptr;
  const std::int64_t* offsets = nullptr;
  std::span<std::uint8_t> mask;
  StateHandles* handles = nullptr;
  const ElementTime* element_time = nullptr;
};

// The BlockDecoder of field `item` into `target`: a packet any of whose
// elements fails to convert fails (masked, or noted) as its decode would.
// Keeps references to its arguments, which must outlive it.
BlockDecoder converted_block_decoder(const Plan& plan, ByteSpan buffer, const PacketStarts& starts,
                                     const PacketGeometry& geometry, std::size_t item,
                                     const ConvertedTarget& target);

}  // namespace vantrel
