// Checks over the headers of many packets: grouping packets by an
// identifier field, and the continuity of per-identifier sequence counters.
#pragma once

#include <cstdint>
#include <span>
#include <vector>

#include "common/error.hpp"
#include "common/types.hpp"

namespace vantrel {

// Packets grouped by the unsigned big-endian field of `bits` bits (1 to 32)
// at `offset_bits` into each packet: the distinct keys in ascending order,
// and for key k the offsets of its packets, in stream order, at
// offsets[bounds[k]] up to offsets[bounds[k + 1]].
struct PacketGroups {
  std::vector<std::uint64_t> keys;
  std::vector<std::size_t> bounds;
  std::vector<std::int64_t> offsets;
};

// Fails, naming the packet, when one does not hold the key field.
Result<PacketGroups> group_packets(ByteSpan stream, std::span<const std::int64_t> starts,
                                   std::uint64_t offset_bits, std::uint32_t bits);

// Where a per-key counter that counts modulo `modulus` does not step by one
// from the previous packet of the same key; each discontinuity is one event.
// A step of 2 to modulus / 2 is a gap (step - 1 packets missing); 0 a
// duplicate; a larger step (the count goes back) is decided by the key's
// next packet: when that packet lies a shorter step on from this count than
// from the count before it, the counter was reset (or jumped back) here and
// goes on from this count (a reset); otherwise, or when no packet of the key
// follows, this packet came after later ones (out of order) and does not
// move the key's count. The first packet of each key starts its count.
struct SequenceFindings {
  std::vector<std::int64_t> gap_index;  // the packet after the gap
  std::vector<std::int64_t> gap_missing;
  std::vector<std::int64_t> duplicate_index;
  std::vector<std::int64_t> out_of_order_index;
  std::vector<std::int64_t> reset_index;  // the first packet of the new count
};

// `keys` and `counts` have one entry per packet; counts are below `modulus`
// (checked by the caller).
SequenceFindings check_sequence(std::span<const std::uint64_t> keys,
                                std::span<const std::uint64_t> counts, std::uint64_t modulus);

}  // namespace vantrel
