// Check fields of a compiled layout: a field whose value is a checksum of
// a byte range of its packet (a packet error control field). Verified when
// packets are decoded, computed when they are packed.
#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <span>
#include <string>

#include "common/checksums.hpp"
#include "common/error.hpp"
#include "placement/columns.hpp"
#include "placement/plan.hpp"

namespace vantrel {

struct PacketCheck {
  std::size_t field = 0;  // the check field's index in the plan
  std::shared_ptr<const Checksum> checksum;
  // The bytes covered, [start, stop) from the layout's first byte.
  std::uint64_t start = 0;
  std::uint64_t stop = 0;
};

// Resolves a check on field `field` of `plan` (a flat plan): the default
// range [0, first byte of the field) when `start`/`stop` are not given.
// Fails when the field is not an unsigned, byte-aligned field as wide as
// the check, or the range is empty, overlaps the field or passes the
// layout's end.
Result<PacketCheck> resolve_check(const Plan& plan, std::size_t field,
                                  std::shared_ptr<const Checksum> checksum,
                                  std::optional<std::uint64_t> start,
                                  std::optional<std::uint64_t> stop);

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

struct CheckMismatch {
  std::size_t packet = 0;
  std::size_t check = 0;  // index into the checks
  std::uint64_t found = 0;
  std::uint64_t computed = 0;
};

// Verifies every check of every packet. `failed` (one entry per packet, or
// empty) gets 1 where a check fails or the packet does not hold the
// layout (whose fields fail on their own). Returns the first mismatch in
// packet order; without `failed`, stops there.
std::optional<CheckMismatch> verify_checks(const Plan& plan, std::span<const PacketCheck> checks,
                                           ByteSpan buffer, const PacketStarts& starts,
                                           std::span<std::uint8_t> failed);

// Computes every check of a packet just packed and places it, in an order
// where a check covering another check's field comes after it.
void place_checks(const Plan& plan, std::span<const PacketCheck> checks,
                  std::span<const std::uint8_t> given, std::span<std::uint8_t> packet);

}  // namespace vantrel
