// Engineering values of layout fields: calibrations to float64, state names
// of enumerated fields and time codes, applied to whole columns after the
// field's raw values are decoded. Plain C++ over the buffer, so the caller
// runs it without the interpreter lock.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <optional>
#include <span>
#include <string>
#include <vector>

#include "columns/columns.hpp"
#include "common/error.hpp"
#include "layout/time_codes.hpp"

namespace vantrel {

enum class ConversionKind : std::uint8_t { None, Polynomial, Linear, Table, Enumeration, TimeCode };

// What a table calibration gives for a raw value outside its first and last
// points: a failure, the nearest end point's value, or the end segment's
// line continued.
enum class OutsideTable : std::uint8_t { Error, Clamp, Extrapolate };

// The raw value of an integer field as a key that orders as the values do:
// the value itself for unsigned fields, the value with its sign bit flipped
// for signed ones.
constexpr std::uint64_t state_key(std::int64_t value) {
  return static_cast<std::uint64_t>(value) ^ (std::uint64_t{1} << 63);
}

struct Enumeration {
  // (key, state index) pairs in key order, and the names by state index.
  std::vector<std::pair<std::uint64_t, std::uint32_t>> states;
  std::vector<std::string> names;
  std::optional<std::uint32_t> default_state;  // for values no state names
  bool operator==(const Enumeration&) const = default;

  // Built after `states` is filled: a direct table when the keys are close.
  void index();
  // The state of a key, or -1 when it has none (and there is no default).
  std::int32_t find(std::uint64_t key) const {
    if (!dense_.empty()) {
      const std::uint64_t slot = key - dense_base_;
      return slot < dense_.size() ? dense_[slot] : fallback();
    }
    return find_sorted(key);
  }

  // The direct table, for loops that inline the look-up: the state of key
  // dense_base() + i at i, the default (or -1) where no state is named.
  // Empty when the keys lie too far apart.
  std::span<const std::int32_t> dense() const { return dense_; }
  std::uint64_t dense_base() const { return dense_base_; }
  // The state of a key that has none of its own: the default, or -1.
  std::int32_t fallback() const {
    return default_state ? static_cast<std::int32_t>(*default_state) : -1;
  }

 private:
  std::int32_t find_sorted(std::uint64_t key) const;
  std::vector<std::int32_t> dense_;  // state by key - dense_base_, -1: none
  std::uint64_t dense_base_ = 0;
};

struct Conversion {
  ConversionKind kind = ConversionKind::None;
  // Polynomial: c0 ... cn; linear: {intercept, slope}.
  std::vector<double> coefficients;
  // Table: raw values, strictly increasing, and their engineering values.
  std::vector<double> table_raw;
  std::vector<double> table_values;
  OutsideTable outside = OutsideTable::Error;
  // A polynomial or table that pack inverts (the recipe's "invert"); for a
  // polynomial, the raw values it is searched over, where it is strictly
  // monotonic.
  bool invert = false;
  double raw_low = 0;
  double raw_high = 0;
  Enumeration enumeration;
  TimeCodeFormat time;
  bool operator==(const Conversion&) const = default;

  bool is_calibration() const {
    return kind == ConversionKind::Polynomial || kind == ConversionKind::Linear ||
           kind == ConversionKind::Table;
  }
};

// The converted column's elements: float64 for calibrations, int64
// nanoseconds for time codes, int32 state indices (-1: none) for
// enumerations, or pointer-sized state handles (see StateHandles).
std::size_t converted_item_size(const Conversion& conversion, bool handles = false);

// A calibration of one raw value; fails only outside a table under
// OutsideTable::Error.
Result<double> calibrate(const Conversion& conversion, double raw);

// The state index of a raw value, or an error naming the value.
Result<std::int32_t> enumerate(const Conversion& conversion, std::uint64_t key, bool is_signed);

// Where an enumerated column's states go when the caller wants one opaque
// pointer per state (the interpreter's str objects) instead of indices:
// `by_state[s]` for state s and `none` for a value without one. The kernel
// counts what it writes and what it overwrites, so that the caller can
// settle the reference counts afterwards in one step per state.
struct StateHandles {
  std::span<const void* const> by_state;
  const void* none = nullptr;
  // written[s] for state s; written[by_state.size()] for `none`.
  std::vector<std::uint64_t> written;
  std::uint64_t overwritten_none = 0;  // slots that held `none` before
  // `none`, then by_state: the handle of state s at s + 1.
  std::vector<const void*> by_slot;

  void reset() {
    written.assign(by_state.size() + 1, 0);
    overwritten_none = 0;
    by_slot.assign(1, none);
    by_slot.insert(by_slot.end(), by_state.begin(), by_state.end());
  }
};

// Converts `count` decoded raw values (an array of `raw_type`, as
// decode_column and decode_elements write them) into out[0, count)
// (converted_item_size wide). A value whose conversion fails is, with a
// mask, masked (mask[k] = 1, a zero or `none` written) and the rest go on;
// without a mask the first failure stops the conversion and is returned.
// Entries already masked are written as failures without being reported.
// Time codes are converted from their pattern (the code as one unsigned
// number), so only codes of at most 64 bits come this way.
std::optional<ElementFailure> convert_values(const Conversion& conversion, ColumnType raw_type,
                                             const void* raw, std::size_t count, void* out,
                                             std::span<std::uint8_t> mask,
                                             StateHandles* handles = nullptr);

// Where packet i's elements lie in a flat column of every packet's
// elements: [offsets[i], offsets[i + 1]) for a variable array, else
// per_packet of them from i * per_packet; offsets counted from `origin`
// (a block's first element, when the column is the block's).
struct ElementRanges {
  const std::int64_t* offsets = nullptr;
  std::uint64_t per_packet = 1;
  std::uint64_t origin = 0;

  std::uint64_t begin(std::size_t packet) const {
    return offsets != nullptr ? static_cast<std::uint64_t>(offsets[packet]) - origin
                              : packet * per_packet;
  }
};

struct PacketConversionFailure {
  std::size_t packet;
  Error error;
};

// Converts the flat raw elements of `packets` packets (as the plan's
// decoders write them, `raw_type` each) into out (converted_item_size
// wide, as convert_values). Packets from `limit` on, and those already
// masked in `packet_mask`, are not converted (zeros, -1 or `none`). A
// packet any of whose elements fails is masked when `packet_mask` is given;
// otherwise the first such packet is returned with its error. With
// `element_time`, a time code's elements come from it instead of `raw`.
std::optional<PacketConversionFailure> convert_packet_elements(
    const Conversion& conversion, ColumnType raw_type, const void* raw, std::size_t packets,
    std::size_t limit, const ElementRanges& ranges, void* out, std::span<std::uint8_t> packet_mask,
    StateHandles* handles = nullptr, const ElementTime* element_time = nullptr);

// Decodes field `field` of packets [begin, end) and converts it into those
// elements of `column` (converted_item_size wide). Failures of the field or
// of its conversion are reported as decode_column reports them.
std::optional<ColumnFailure> decode_converted_column(ByteSpan buffer, const PacketStarts& starts,
                                                     std::size_t begin, std::size_t end,
                                                     const PlannedField& field,
                                                     const Conversion& conversion, void* column,
                                                     std::span<std::uint8_t> mask,
                                                     StateHandles* handles = nullptr);

// The raw value that a linear calibration maps closest to `value`, for
// packing; a NaN or infinite quotient fails.
Result<double> invert_linear(const Conversion& conversion, double value);

inline constexpr std::size_t kMostInvertibleCoefficients = 16;

// Whether a polynomial (c0 ... cn) is strictly monotonic, and finite, over
// raw values [low, high], so that pack can invert it; the error says where
// it turns.
Result<void> check_invertible_polynomial(const std::vector<double>& coefficients, double low,
                                         double high);
// Whether a table's values strictly increase or decrease.
Result<void> check_invertible_table(const Conversion& conversion);

// The raw value of an engineering value for an invertible polynomial or
// table: the root of calibration(raw) = value found by safeguarded Newton
// steps inside a bracket (a polynomial) or by interpolation (a table). For
// integer fields it is then rounded to the integer whose calibration lies
// closest to `value`, found by evaluating the neighbours. A value that no
// raw value in range reaches fails, naming the range.
Result<double> invert_calibration(const Conversion& conversion, double value, bool integer_raw);

}  // namespace vantrel
