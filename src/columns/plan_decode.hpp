// Many packets of any plan (single values, arrays, fields after variable
// arrays, permuted and word byte orders) decoded into flat buffers that the
// caller owns: a single value at a fixed place through the column kernels,
// a fixed array of N values into N consecutive elements per packet, a
// variable array into the elements its offsets give, text into one UTF-8
// column. Plain C++ over the buffer, so callers run it without the
// interpreter lock.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <optional>
#include <span>
#include <string>
#include <vector>

#include "columns/columns.hpp"
#include "columns/text_columns.hpp"
#include "common/error.hpp"
#include "layout/plan.hpp"
#include "layout/time_codes.hpp"

namespace vantrel {

// Every packet's placing: where each segment starts (relative to the
// packet's start; Plan::kUnplaced after a variable part that failed) and
// how many values each variable array holds.
struct PacketGeometry {
  std::size_t segments = 1;
  std::size_t variables = 0;
  std::vector<std::uint64_t> bases;      // packets × segments; empty: all 0
  std::vector<std::uint64_t> counts;     // packets × variables
  std::vector<std::size_t> variable_of;  // per field: its index among the variable arrays

  std::uint64_t base(std::size_t packet, std::uint32_t segment) const {
    return bases.empty() ? 0 : bases[packet * segments + segment];
  }
  std::uint64_t count(std::size_t packet, std::size_t variable) const {
    return counts[packet * variables + variable];
  }
  // The values field `field` (item `item`) holds in packet `packet`.
  std::uint64_t values_in(const PlannedField& field, std::size_t item, std::size_t packet) const {
    return field.shape.is_variable() ? count(packet, variable_of[item]) : field.fixed_count();
  }
};

// The first failure in packet order, then recipe order. No error: the
// field runs past its packet's end.
struct PacketFailure {
  std::size_t packet;
  std::size_t item;
  std::optional<Error> error;
};

void note_packet_failure(std::optional<PacketFailure>& first, std::size_t packet, std::size_t item,
                         std::optional<Error> error);

// Places the variable parts of every packet into `geometry`. With
// `masking` false it stops at the first packet whose variable part fails
// (noted in `first`, as is a packet that starts past its own end) and
// returns how many packets it placed, that one included; with `masking`
// true it places them all and failures are left to the fields.
std::size_t measure_packets(const Plan& plan, ByteSpan buffer, const PacketStarts& starts,
                            bool masking, PacketGeometry& geometry,
                            std::optional<PacketFailure>& first);

// Fills the n + 1 entry starts of variable array `item`'s values: each
// packet's count among the first `placed` packets, 0 for the others.
void fill_entry_offsets(const PacketGeometry& geometry, std::size_t item, std::size_t placed,
                        std::span<std::int64_t> offsets);

// A field that decodes its blocks of packets itself, in place of the
// target's raw decode (engineering values, which the conversion stage
// converts as each block decodes, with no raw column between): called with
// each block [begin, end) in turn; it notes its failures in `first`.
using BlockDecoder =
    std::function<void(std::size_t begin, std::size_t end, std::optional<PacketFailure>& first)>;

// Where the values of one numeric field go. Packet i's values start at
// element i * count (single values and fixed arrays) or offsets[i]
// (variable arrays). `mask` (one byte per packet) is empty with
// errors="raise". With `decode_block`, that decodes the field and the
// other members are not used.
struct FieldTarget {
  std::uint8_t* values = nullptr;
  const std::int64_t* offsets = nullptr;
  std::size_t item_size = 0;
  std::span<std::uint8_t> mask;
  const BlockDecoder* decode_block = nullptr;
};

// Whether a field is read as a flat layout's is: one value at a fixed
// place, through the column kernels.
bool single_at_fixed_place(const PlannedField& field);

// Whether a field's column, decoded as it is (no conversion), can fail in no
// packet: a number at a fixed place that every packet holds
// (column_never_fails). Under errors="mask" it needs no mask.
bool field_never_fails(const PacketStarts& starts, const PlannedField& field);

// The runs of field `item` in packets [begin, end) into `values`, which
// holds the field's elements from element `origin` on (0: the whole
// column; a block's first element: a scratch buffer of the block's).
// Failures as decode_runs gives them.
std::optional<ColumnFailure> decode_field_runs(ByteSpan buffer, const PacketStarts& starts,
                                               const PacketGeometry& geometry,
                                               const PlannedField& field, std::size_t item,
                                               std::size_t begin, std::size_t end, void* values,
                                               const std::int64_t* offsets, std::uint64_t origin,
                                               std::span<std::uint8_t> mask);

// Notes a runs failure of field `item` in `first`, unless its packet was
// not placed (the placing noted that one already).
void note_runs_failure(std::optional<PacketFailure>& first, std::optional<ColumnFailure> failure,
                       std::size_t item);

// Decodes the numeric field `item` of packets [begin, end): a single value
// at a fixed position through the column kernels, everything else packet by
// packet. A packet that fails is noted in `first` and ends the field's
// work under errors="raise"; under a mask it is masked, its values 0.
void decode_field_block(const Plan& plan, ByteSpan buffer, const PacketStarts& starts,
                        const PacketGeometry& geometry, std::size_t item, std::size_t begin,
                        std::size_t end, const FieldTarget& target,
                        std::optional<PacketFailure>& first);

// Every numeric field with a target (values or decode_block not null;
// targets[j] is field j's) of the first `placed` packets, in blocks of
// packets small enough to stay in the cache while every field takes its
// values from them. Under errors="raise" it stops after the block of the
// first failure.
void decode_numeric_fields(const Plan& plan, ByteSpan buffer, const PacketStarts& starts,
                           const PacketGeometry& geometry, std::size_t placed, bool masking,
                           std::span<const FieldTarget> targets,
                           std::optional<PacketFailure>& first);

// Where packet i's field `item` starts (an absolute bit), nullopt when the
// packet does not hold its value (a text field, or one value of it).
FieldBitOf field_bit_of(const Plan& plan, ByteSpan buffer, const PacketStarts& starts,
                        const PacketGeometry& geometry, std::size_t item);

// The text field `item` of packets [0, limit) as UTF-8 through its decoder,
// as decode_utf8_column does for a field at a fixed place; failures are
// noted in `first` (errors="raise", `mask` empty) or masked.
void decode_text_field(const Plan& plan, ByteSpan buffer, bool immutable,
                       const PacketStarts& starts, const PacketGeometry& geometry,
                       std::size_t limit, std::size_t item, Utf8Column& out,
                       std::span<std::uint8_t> mask, std::optional<PacketFailure>& first);

// The times of the time code field `item` read from the packets, element
// by element (see ElementTime); an element outside its packet fails.
ElementTime element_time_reader(const Plan& plan, ByteSpan buffer, const PacketStarts& starts,
                                const PacketGeometry& geometry, std::size_t item,
                                const TimeCodeFormat& format);

// The message of a failure without a decoder error: the bits the field
// needs and the bits its packet has.
std::string bounds_message(const Plan& plan, ByteSpan buffer, const PacketStarts& starts,
                           const PacketGeometry& geometry, const PacketFailure& failure);

}  // namespace vantrel
