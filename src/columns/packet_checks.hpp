// Check fields of a compiled layout: a field whose value is a checksum of
// a byte range of its packet (a packet error control field). Verified when
// packets are decoded, computed when they are packed.
#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <span>
#include <string>
#include <vector>

#include "columns/columns.hpp"
#include "columns/plan_decode.hpp"
#include "common/checksums.hpp"
#include "common/error.hpp"
#include "layout/plan.hpp"
#include "layout/shape.hpp"

namespace vantrel {

struct PacketCheck {
  std::size_t field = 0;  // the check field's index in the plan
  std::shared_ptr<const Checksum> checksum;
  // The bytes covered, [start, stop) from the layout's first byte.
  std::uint64_t start = 0;
  std::uint64_t stop = 0;
  // Past a variable array, a check whose range was not given covers the
  // packet up to the check field, wherever the field lies in each packet.
  bool up_to_field = false;
};

// Resolves a check on field `field` of `plan`: the field must be one plain
// unsigned value as wide as the check, starting on a byte of its segment.
// Without `stop` the range ends at the field's first byte. In a plan of one
// segment the range is known now, and refused when it is empty, overlaps
// the field or passes the layout's end; past a variable array the field
// moves from packet to packet, and its range is placed per packet.
Result<PacketCheck> resolve_check(const Plan& plan, std::size_t field,
                                  std::shared_ptr<const Checksum> checksum,
                                  std::optional<std::uint64_t> start,
                                  std::optional<std::uint64_t> stop);

// Where a check lies in one packet of `packet_bytes` bytes whose segments
// start at `bases` (bits from the layout's start, as Plan::measure gives
// them; null for a flat plan): the check field's first byte and the bytes
// covered. Nullopt when the field's segment was not placed, the field does
// not start on a byte, or the field or range passes the packet's end.
struct CheckPlace {
  std::uint64_t field_byte;
  std::uint64_t start;
  std::uint64_t stop;
};
std::optional<CheckPlace> locate_check(const Plan& plan, const PacketCheck& check,
                                       const std::uint64_t* bases, std::uint64_t packet_bytes);

// Why locate_check found no place: for the messages of unpack and pack.
std::string unplaced_check_message(const Plan& plan, const PacketCheck& check,
                                   const std::uint64_t* bases, std::uint64_t packet_bytes);

// The value the check field holds, and the value computed over its range,
// in a packet whose layout starts at byte `base` of `buffer` (the caller
// has checked that the layout fits).
std::uint64_t check_found(const Plan& plan, const PacketCheck& check, ByteSpan buffer,
                          std::uint64_t base);
std::uint64_t check_computed(const PacketCheck& check, ByteSpan buffer, std::uint64_t base);

// The message of a mismatch: "CRC-16/IBM-3740 over bytes 0 to 12 gives
// 0x1a2b but the field holds 0x1a2c".
std::string check_mismatch_message(const PacketCheck& check, std::uint64_t found,
                                   std::uint64_t computed);

// The message of check `check` failing in a packet whose segments start at
// `bases` (found
// and computed as verify_packet_checks gives them): the mismatch over the
// bytes it covers there, or why it has no place.
std::string packet_check_message(const Plan& plan, const PacketCheck& check,
                                 const std::uint64_t* bases, std::uint64_t packet_bytes,
                                 std::uint64_t found, std::uint64_t computed);

// Verifies the checks of the first `placed` packets, measured into
// `geometry`, four packets at a time where one check covers a short fixed
// range. A packet whose check has no place fails it. Under a
// mask, `failed` gets one flag per packet; otherwise the first failure
// joins `first`.
void verify_packet_checks(const Plan& plan, std::span<const PacketCheck> checks, ByteSpan buffer,
                          const PacketStarts& starts, const PacketGeometry& geometry,
                          std::size_t placed, bool masking, std::vector<std::uint8_t>& failed,
                          std::optional<PacketFailure>& first);

// Computes every check of a packet just packed and places it, in an order
// where a check covering another check's field comes after it. The
// segments start at `bases` (null: a plan of one segment). Returns the check that could not be
// placed (locate_check found no place), if any.
std::optional<std::size_t> place_checks(const Plan& plan, std::span<const PacketCheck> checks,
                                        std::span<const std::uint8_t> given,
                                        std::span<std::uint8_t> packet,
                                        const std::uint64_t* bases = nullptr);

}  // namespace vantrel
