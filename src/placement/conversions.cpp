#include "placement/conversions.hpp"

#include <algorithm>
#include <cmath>
#include <cstring>
#include <limits>

#include "common/bits.hpp"
#include "common/format.hpp"
#include "common/packet_bits.hpp"

namespace vantrel {

// ---- Enumerations ---------------------------------------------------------------

void Enumeration::index() {
  dense_.clear();
  if (states.empty()) return;
  // A direct table when the keys span at most 64 Ki values: one load per
  // packet instead of a search.
  const std::uint64_t low = states.front().first;
  const std::uint64_t span = states.back().first - low;
  if (span >= 65536) return;
  dense_base_ = low;
  dense_.assign(span + 1, -1);
  for (const auto& [key, state] : states) dense_[key - low] = static_cast<std::int32_t>(state);
}

std::int32_t Enumeration::find_sorted(std::uint64_t key) const {
  const auto found = std::lower_bound(states.begin(), states.end(), key,
                                      [](const std::pair<std::uint64_t, std::uint32_t>& entry,
                                         std::uint64_t value) { return entry.first < value; });
  if (found != states.end() && found->first == key) return static_cast<std::int32_t>(found->second);
  return fallback();
}

Result<std::int32_t> enumerate(const Conversion& conversion, std::uint64_t key, bool is_signed) {
  const std::int32_t state = conversion.enumeration.find(key);
  if (state >= 0) return state;
  if (is_signed) {
    return value_error(concat("value ", static_cast<std::int64_t>(key ^ (std::uint64_t{1} << 63)),
                              " has no state name"));
  }
  return value_error(concat("value ", key, " has no state name"));
}

// ---- Calibrations ---------------------------------------------------------------

namespace {

// np.interp's formula, so that tables agree with it value for value.
double interpolate(const Conversion& conversion, std::size_t segment, double raw) {
  const double x0 = conversion.table_raw[segment];
  const double x1 = conversion.table_raw[segment + 1];
  const double y0 = conversion.table_values[segment];
  const double y1 = conversion.table_values[segment + 1];
  const double slope = (y1 - y0) / (x1 - x0);
  return slope * (raw - x0) + y0;
}

std::string number_text(double value) {
  char text[32];
  std::snprintf(text, sizeof text, "%.17g", value);
  return text;
}

Result<double> look_up(const Conversion& conversion, double raw) {
  const std::vector<double>& xs = conversion.table_raw;
  const std::size_t last = xs.size() - 1;
  if (std::isnan(raw)) return raw;
  if (raw < xs.front() || raw > xs[last]) {
    switch (conversion.outside) {
      case OutsideTable::Clamp:
        return raw < xs.front() ? conversion.table_values.front() : conversion.table_values[last];
      case OutsideTable::Extrapolate:
        return interpolate(conversion, raw < xs.front() ? 0 : last - 1, raw);
      case OutsideTable::Error: break;
    }
    return value_error(concat("raw value ", number_text(raw), " is outside the calibration table (",
                              number_text(xs.front()), " to ", number_text(xs[last]), ")"));
  }
  if (raw == xs[last]) return conversion.table_values[last];
  // The segment [xs[k], xs[k + 1]) that holds the value.
  const std::size_t k =
      static_cast<std::size_t>(std::upper_bound(xs.begin(), xs.end(), raw) - xs.begin()) - 1;
  if (raw == xs[k]) return conversion.table_values[k];
  return interpolate(conversion, k, raw);
}

}  // namespace

Result<double> calibrate(const Conversion& conversion, double raw) {
  if (conversion.kind == ConversionKind::Table) return look_up(conversion, raw);
  const std::vector<double>& c = conversion.coefficients;
  double value = c.back();
  for (std::size_t k = c.size() - 1; k-- > 0;) value = value * raw + c[k];
  return value;
}

Result<double> invert_linear(const Conversion& conversion, double value) {
  const double raw = (value - conversion.coefficients[0]) / conversion.coefficients[1];
  if (!std::isfinite(raw)) {
    return value_error(concat("the value ", number_text(value), " has no raw value"));
  }
  return raw;
}

std::size_t converted_item_size(const Conversion& conversion) {
  return conversion.kind == ConversionKind::Enumeration ? 4 : 8;
}

// ---- Columns --------------------------------------------------------------------

namespace {

// Packets decoded into the raw scratch at a time: small enough for the
// stack, large enough that the conversion loops run long.
constexpr std::size_t kChunk = 512;

template <class Raw>
void load_doubles(const void* raw, std::size_t n, double* __restrict out) {
  const Raw* __restrict values = static_cast<const Raw*>(raw);
  for (std::size_t k = 0; k < n; ++k) out[k] = static_cast<double>(values[k]);
}

void raw_doubles(ColumnType type, const void* raw, std::size_t n, double* out) {
  switch (type) {
    case ColumnType::U8: return load_doubles<std::uint8_t>(raw, n, out);
    case ColumnType::U16: return load_doubles<std::uint16_t>(raw, n, out);
    case ColumnType::U32: return load_doubles<std::uint32_t>(raw, n, out);
    case ColumnType::U64: return load_doubles<std::uint64_t>(raw, n, out);
    case ColumnType::I8: return load_doubles<std::int8_t>(raw, n, out);
    case ColumnType::I16: return load_doubles<std::int16_t>(raw, n, out);
    case ColumnType::I32: return load_doubles<std::int32_t>(raw, n, out);
    case ColumnType::I64: return load_doubles<std::int64_t>(raw, n, out);
    case ColumnType::F32: return load_doubles<float>(raw, n, out);
    case ColumnType::F64: return load_doubles<double>(raw, n, out);
    case ColumnType::Text: return;
  }
}

template <class Raw>
void load_keys(const void* raw, std::size_t n, std::uint64_t* out) {
  const Raw* values = static_cast<const Raw*>(raw);
  for (std::size_t k = 0; k < n; ++k) {
    if constexpr (std::is_signed_v<Raw>) {
      out[k] = state_key(values[k]);
    } else {
      out[k] = values[k];
    }
  }
}

void raw_keys(ColumnType type, const void* raw, std::size_t n, std::uint64_t* out) {
  switch (type) {
    case ColumnType::U8: return load_keys<std::uint8_t>(raw, n, out);
    case ColumnType::U16: return load_keys<std::uint16_t>(raw, n, out);
    case ColumnType::U32: return load_keys<std::uint32_t>(raw, n, out);
    case ColumnType::U64: return load_keys<std::uint64_t>(raw, n, out);
    case ColumnType::I8: return load_keys<std::int8_t>(raw, n, out);
    case ColumnType::I16: return load_keys<std::int16_t>(raw, n, out);
    case ColumnType::I32: return load_keys<std::int32_t>(raw, n, out);
    case ColumnType::I64: return load_keys<std::int64_t>(raw, n, out);
    case ColumnType::F32:
    case ColumnType::F64:
    case ColumnType::Text: return;  // enumerated fields are integers
  }
}

bool is_signed_column(ColumnType type) {
  return type == ColumnType::I8 || type == ColumnType::I16 || type == ColumnType::I32 ||
         type == ColumnType::I64;
}

// Horner's rule over the chunk, one coefficient at a time, so each step is a
// loop over packets that the compiler vectorises.
void evaluate_polynomial(const std::vector<double>& c, const double* __restrict x, std::size_t n,
                         double* __restrict out) {
  const double top = c.back();
  for (std::size_t k = 0; k < n; ++k) out[k] = top;
  for (std::size_t j = c.size() - 1; j-- > 0;) {
    const double cj = c[j];
    for (std::size_t k = 0; k < n; ++k) out[k] = out[k] * x[k] + cj;
  }
}

// Whether every CUC code of `format` read in its own scale lands inside
// datetime64[ns], so that the column loop needs no overflow test.
bool cuc_always_in_range(const TimeCodeFormat& format) {
  if (format.kind != TimeCodeKind::Cuc || format.code_scale != format.scale) return false;
  const Nanoseconds longest =
      static_cast<Nanoseconds>(low_mask(8u * format.coarse_octets)) * kNanosPerSecond +
      kNanosPerSecond;
  Nanoseconds last = 0;
  return format.epoch > std::numeric_limits<Nanoseconds>::min() &&
         !__builtin_add_overflow(format.epoch, longest, &last);
}

// decode_time_code for a CUC code that needs no time scale and cannot
// overflow, inlined in the column loop. False for a P-field that does not
// match: the caller asks decode_time_code for the failure.
inline bool read_cuc(const std::uint8_t* packet, std::uint64_t bit, const TimeCodeFormat& format,
                     Nanoseconds& out) {
  if (format.p_field) {
    if (read_field(packet, bit, 8) != format.p_field_value()) return false;
    bit += 8;
  }
  const std::uint32_t coarse_bits = 8u * format.coarse_octets;
  const std::uint32_t fine_bits = 8u * format.fine_octets;
  const std::uint64_t coarse = read_field(packet, bit, coarse_bits);
  std::uint64_t fine_ns = 0;
  if (fine_bits != 0) {
    const std::uint64_t scaled = read_field(packet, bit + coarse_bits, fine_bits) * kNanosPerSecond;
    fine_ns = scaled >> fine_bits;
    const std::uint64_t rest = scaled - (fine_ns << fine_bits);
    const std::uint64_t half = std::uint64_t{1} << (fine_bits - 1);
    fine_ns += rest > half || (rest == half && (fine_ns & 1) != 0);
  }
  out = format.epoch + static_cast<Nanoseconds>(coarse) * kNanosPerSecond +
        static_cast<Nanoseconds>(fine_ns);
  return true;
}

std::optional<ColumnFailure> decode_time_column(ByteSpan buffer, const PacketStarts& starts,
                                                std::size_t begin, std::size_t end,
                                                const PlannedField& field,
                                                const TimeCodeFormat& format, Nanoseconds* out,
                                                std::span<std::uint8_t> mask) {
  const std::uint64_t needed = bytes_needed(field);
  const bool plain_cuc = cuc_always_in_range(format);
  for (std::size_t i = begin; i < end; ++i) {
    const std::uint64_t start = starts[i];
    std::optional<ColumnFailure> failure;
    if (!inside(start, needed, buffer.size())) {
      failure = ColumnFailure{i, std::nullopt};
    } else {
      const std::uint64_t bit = start * 8 + field.position;
      if (plain_cuc && read_cuc(buffer.data(), bit, format, out[i])) continue;
      const Result<Nanoseconds> time = decode_time_code(buffer.data(), bit, format);
      if (time) {
        out[i] = *time;
        continue;
      }
      failure = ColumnFailure{i, time.error()};
    }
    if (mask.empty()) return failure;
    mask[i] = 1;
    out[i] = 0;
  }
  return std::nullopt;
}

}  // namespace

std::optional<ColumnFailure> decode_converted_column(ByteSpan buffer, const PacketStarts& starts,
                                                     std::size_t begin, std::size_t end,
                                                     const PlannedField& field,
                                                     const Conversion& conversion, void* column,
                                                     std::span<std::uint8_t> mask) {
  if (conversion.kind == ConversionKind::TimeCode) {
    return decode_time_column(buffer, starts, begin, end, field, conversion.time,
                              static_cast<Nanoseconds*>(column), mask);
  }
  const ColumnType raw_type = column_type_of(field.spec);
  alignas(8) std::uint8_t raw[kChunk * 8];
  double xs[kChunk];
  std::uint64_t keys[kChunk];
  for (std::size_t first = begin; first < end; first += kChunk) {
    const std::size_t n = std::min(kChunk, end - first);
    // The chunk's packets numbered from 0: their starts, and for a stride
    // the buffer from the chunk's first packet (or its end, when the chunk
    // starts past it: every packet then fails as outside).
    PacketStarts chunk = starts;
    ByteSpan chunk_buffer = buffer;
    chunk.count = n;
    if (starts.offsets != nullptr) {
      chunk.offsets = starts.offsets + first;
    } else {
      const std::uint64_t skip = static_cast<std::uint64_t>(first) * starts.stride;
      chunk_buffer = buffer.subspan(std::min<std::uint64_t>(skip, buffer.size()));
      if (skip > buffer.size()) chunk.stride = 0;
    }
    const std::span<std::uint8_t> chunk_mask = mask.empty() ? mask : mask.subspan(first, n);
    if (starts.offsets == nullptr && chunk.stride == 0) {
      // Past the buffer's end: every packet is outside it.
      if (mask.empty()) return ColumnFailure{first, std::nullopt};
      std::fill(chunk_mask.begin(), chunk_mask.end(), std::uint8_t{1});
      std::memset(static_cast<std::uint8_t*>(column) + first * converted_item_size(conversion), 0,
                  n * converted_item_size(conversion));
      continue;
    }
    std::optional<ColumnFailure> failure =
        decode_column(chunk_buffer, chunk, 0, n, field, raw, chunk_mask);
    if (failure) failure->packet += first;
    const std::size_t valid = failure ? failure->packet - first : n;
    auto masked = [&](std::size_t k) { return !chunk_mask.empty() && chunk_mask[k] != 0; };

    if (conversion.kind == ConversionKind::Enumeration) {
      auto* out = static_cast<std::int32_t*>(column) + first;
      raw_keys(raw_type, raw, valid, keys);
      const bool is_signed = is_signed_column(raw_type);
      for (std::size_t k = 0; k < valid; ++k) {
        const std::int32_t state = conversion.enumeration.find(keys[k]);
        out[k] = state;
        if (state >= 0 || masked(k)) continue;
        if (mask.empty()) {
          return ColumnFailure{first + k, enumerate(conversion, keys[k], is_signed).error()};
        }
        chunk_mask[k] = 1;
      }
    } else {
      auto* out = static_cast<double*>(column) + first;
      raw_doubles(raw_type, raw, valid, xs);
      if (conversion.kind == ConversionKind::Table) {
        for (std::size_t k = 0; k < valid; ++k) {
          const Result<double> value = look_up(conversion, xs[k]);
          if (value) {
            out[k] = *value;
            continue;
          }
          out[k] = 0;
          if (masked(k)) continue;
          if (mask.empty()) return ColumnFailure{first + k, value.error()};
          chunk_mask[k] = 1;
        }
      } else {
        evaluate_polynomial(conversion.coefficients, xs, valid, out);
      }
    }
    if (failure) return failure;
  }
  return std::nullopt;
}

}  // namespace vantrel
