// A recipe compiled once: every field resolved and placed relative to the
// packet's start, with the extents that one bounds check per packet needs.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <vector>

#include "common/error.hpp"
#include "layout/field_io.hpp"
#include "layout/shape.hpp"

namespace vantrel {

struct PlannedField {
  FieldSpec spec;
  // From the start of the field's segment: the packet's (or the call
  // offset's) start for segment 0, the end of variable array s - 1 for
  // segment s.
  std::uint64_t position;
  FieldShape shape{};
  std::uint32_t segment = 0;

  // The values of a field that is not variable: 1, or the fixed count.
  std::uint64_t fixed_count() const { return shape.kind == CountKind::Fixed ? shape.fixed : 1; }
  // The first bit the field occupies in its segment (a word field: its word).
  std::uint64_t first_bit() const { return position - shape.word_offset; }
  // The bits it occupies from first_bit() with `count` values.
  std::uint64_t extent_bits(std::uint64_t count) const {
    return shape.word_bits != 0 ? shape.word_bits : count * spec.bits;
  }
};

// What a field of a shaped plan was given in its recipe item beyond the
// FieldSpec: its shape, and for a counted array the name of its count field
// already resolved to an item index by the caller.
struct ShapedField {
  FieldSpec spec;
  FieldShape shape;
};

// The packet size that packing makes, the one rule of pack_parameters,
// Layout.pack and Layout.pack_many: packing sizes the packet before it
// places anything, so a field without an offset is measured from the largest
// end so far, not from the previous field's end.
class PackedSize {
 public:
  // Counts one field; fails when its end passes 2^64 - 1.
  Result<void> add(std::optional<std::uint64_t> offset, std::uint32_t bits);

  std::uint64_t bits() const { return end_bit_; }
  // Whole bytes, the last one partly filled when the bits do not end on a byte.
  static std::uint64_t bytes_for(std::uint64_t bits) { return bits / 8 + (bits % 8 != 0); }
  // The bytes, or ValueError "Packet of {bits} bits is too large to allocate"
  // past half the address space.
  static Result<std::uint64_t> allocation_bytes(std::uint64_t bits);

 private:
  std::uint64_t end_bit_ = 0;
};

// A failure tied to one recipe item.
struct ItemError {
  std::size_t item;
  Error error;
};

class Plan {
 public:
  // Places every field: one with an offset starts there, the others follow
  // the previous field's end. Fails when a position passes 2^64 - 1.
  static std::expected<Plan, ItemError> build(std::span<const FieldSpec> fields);
  // The same with shapes. A field without an offset that follows a variable
  // array is placed after that array's end in each packet (a new segment);
  // a field with an offset is placed from the packet's start. The segment
  // after a rest-of-packet array (its trailer: a footer, a CRC) is placed
  // from the packet's end, and may hold no variable array.
  static std::expected<Plan, ItemError> build(std::span<const ShapedField> fields);

  // Whether any field is an array or has a permuted or word byte order (a
  // plan of plain single values can take shortcuts, such as packets whose
  // given lengths all hold it).
  bool shaped() const { return shaped_; }
  // Segments: 1 + the number of variable arrays.
  std::size_t segment_count() const { return variable_items_.size() + 1; }
  // The items of the variable arrays, in recipe order; the one at index v
  // opens segment v + 1.
  std::span<const std::size_t> variable_items() const { return variable_items_; }
  // The variable array whose values field j holds (a twin's, its field's),
  // or kNotVariable.
  static constexpr std::size_t kNotVariable = ~std::size_t{0};
  std::size_t variable_of(std::size_t j) const { return variable_of_[j]; }
  // The bits the trailer of variable array v needs before the packet's end:
  // 0 for a counted array, or a rest-of-packet array nothing follows.
  std::uint64_t trailer_bits(std::size_t v) const { return trailer_bits_[v]; }

  // Places the variable parts of one packet whose layout starts at absolute
  // bit `packet_bit` of `buffer` and which ends at absolute bit `end_bit`:
  // bases[s] becomes the start of segment s relative to packet_bit (kUnplaced
  // when an earlier variable part failed), counts[v] the length of variable
  // array v (0 when it failed). Returns the first failure: a count field or
  // an array that runs past the packet's end.
  static constexpr std::uint64_t kUnplaced = ~std::uint64_t{0};
  std::optional<ItemError> measure(const std::uint8_t* buffer, std::uint64_t packet_bit,
                                   std::uint64_t end_bit, std::uint64_t* bases,
                                   std::uint64_t* counts) const {
    if (const auto counted = counted_array()) {
      if (const auto count = counted->measure(buffer, packet_bit, end_bit - packet_bit)) {
        bases[0] = 0;
        bases[1] = counted->array_position + *count * counted->array_bits;
        counts[0] = *count;
        return std::nullopt;
      }
    }
    return measure_general(buffer, packet_bit, end_bit, bases, counts);
  }

  // The common variable packet: one array counted by a plain field, both at
  // fixed positions (segment 0). measure() reads its count inline; nullopt
  // when the packet does not hold the count field or the array, for the
  // general walk to say why.
  struct CountedArray {
    std::uint64_t counter_position;
    FieldSpec counter;
    std::uint64_t array_position;
    std::uint64_t array_bits;

    std::optional<std::uint64_t> measure(const std::uint8_t* buffer, std::uint64_t packet_bit,
                                         std::uint64_t packet_bits) const {
      if (counter_position + counter.bits > packet_bits || array_position > packet_bits) {
        return std::nullopt;
      }
      const std::uint64_t count =
          read_plain_pattern(buffer, packet_bit + counter_position, counter);
      std::uint64_t count_bits = 0;
      if (__builtin_mul_overflow(count, array_bits, &count_bits) ||
          count_bits > packet_bits - array_position) {
        return std::nullopt;
      }
      return count;
    }
  };
  const std::optional<CountedArray>& counted_array() const { return counted_array_; }

  std::span<const PlannedField> fields() const { return fields_; }

  // The smallest packet, in bits, that holds every field at offset 0.
  std::uint64_t size_bits() const { return size_bits_; }

  // Whether a packet of `packet_size` bytes holds every field when the
  // layout starts at bit `offset_bits` (false too when a position would pass
  // 2^64 - 1). The bytes needed follow the slice rule of each field: a
  // zero-width field needs only its start byte to exist.
  bool fits(std::uint64_t packet_size, std::uint64_t offset_bits) const;

  // The first position past 2^64 - 1 when the layout starts at
  // `offset_bits`, found as the field-by-field walk would meet it.
  std::expected<void, ItemError> check_positions(std::uint64_t offset_bits) const;

  // The first field whose bytes lie outside a packet of `packet_size`
  // bytes at `offset_bits`, with the slice fault's message.
  std::expected<void, ItemError> check_bounds(std::uint64_t packet_size,
                                              std::uint64_t offset_bits) const;

  // The packet size that packing makes: each field's end is measured from
  // its offset, or from the largest end so far when it has none.
  const Result<std::uint64_t>& packed_size_bits() const { return packed_size_bits_; }

 private:
  std::vector<PlannedField> fields_;
  std::optional<ItemError> measure_general(const std::uint8_t* buffer, std::uint64_t packet_bit,
                                           std::uint64_t end_bit, std::uint64_t* bases,
                                           std::uint64_t* counts) const;

  std::vector<std::size_t> variable_items_;
  std::vector<std::uint64_t> trailer_bits_;  // per variable array
  std::vector<std::size_t> variable_of_;     // per field
  std::optional<CountedArray> counted_array_;
  bool shaped_ = false;
  std::uint64_t size_bits_ = 0;
  std::uint64_t last_end_ = 0;    // largest end of a field with bits
  std::uint64_t last_start_ = 0;  // largest start of a zero-width field
  bool has_zero_width_ = false;
  Result<std::uint64_t> packed_size_bits_ = 0;
};

}  // namespace vantrel
