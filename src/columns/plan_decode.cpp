#include "columns/plan_decode.hpp"

#include <algorithm>
#include <cstring>

#include "common/format.hpp"

namespace vantrel {

void note_packet_failure(std::optional<PacketFailure>& first, std::size_t packet, std::size_t item,
                         std::optional<Error> error) {
  if (!first || packet < first->packet || (packet == first->packet && item < first->item)) {
    first = PacketFailure{packet, item, std::move(error)};
  }
}

std::size_t measure_packets(const Plan& plan, ByteSpan buffer, const PacketStarts& starts,
                            bool masking, PacketGeometry& geometry,
                            std::optional<PacketFailure>& first) {
  const std::span<const std::size_t> variables = plan.variable_items();
  const std::size_t n = starts.count;
  const std::size_t size = buffer.size();
  geometry.segments = plan.segment_count();
  geometry.variables = variables.size();
  geometry.variable_of.assign(plan.fields().size(), 0);
  for (std::size_t j = 0; j < plan.fields().size(); ++j) {
    if (plan.variable_of(j) != Plan::kNotVariable) geometry.variable_of[j] = plan.variable_of(j);
  }
  if (variables.empty()) {
    // Every field at a fixed place: under errors="raise" a packet too short
    // for the layout fails as a whole, before any of its fields.
    if (masking || starts.shortest >= (plan.size_bits() + 7) / 8) return n;
    for (std::size_t i = 0; i < n; ++i) {
      const std::uint64_t start = starts[i];
      const std::uint64_t limit = starts.limit(i, size);
      if (start > limit || !plan.fits(limit - start, 0)) {
        note_packet_failure(first, i, 0, std::nullopt);
        return i + 1;
      }
    }
    return n;
  }
  geometry.bases.assign(n * geometry.segments, Plan::kUnplaced);
  geometry.counts.assign(n * geometry.variables, 0);
  std::size_t i = 0;
  if (const auto counted = plan.counted_array()) {
    // The common packet, a count field then its array, measured inline; the
    // first packet that does not hold them goes to the general walk.
    std::uint64_t* const bases = geometry.bases.data();
    std::uint64_t* const counts = geometry.counts.data();
    for (; i < n; ++i) {
      const std::uint64_t start = starts[i];
      const std::uint64_t limit = starts.limit(i, size);
      if (start > limit) break;
      const auto count = counted->measure(buffer.data(), start * 8, (limit - start) * 8);
      if (!count) break;
      bases[2 * i] = 0;
      bases[2 * i + 1] = counted->array_position + *count * counted->array_bits;
      counts[i] = *count;
    }
  }
  for (; i < n; ++i) {
    const std::uint64_t start = starts[i];
    const std::uint64_t limit = starts.limit(i, size);
    std::uint64_t* bases = &geometry.bases[i * geometry.segments];
    if (start > limit) {
      // Nothing of the packet is there: the fields before the first
      // variable array report it themselves, and the array does.
      bases[0] = 0;
      if (masking) continue;
      note_packet_failure(first, i, variables[0], std::nullopt);
      return i + 1;
    }
    auto failure = plan.measure(buffer.data(), start * 8, limit * 8, bases,
                                &geometry.counts[i * geometry.variables]);
    if (failure && !masking) {
      note_packet_failure(first, i, failure->item, std::move(failure->error));
      return i + 1;
    }
  }
  return n;
}

void fill_entry_offsets(const PacketGeometry& geometry, std::size_t item, std::size_t placed,
                        std::span<std::int64_t> offsets) {
  const std::size_t v = geometry.variable_of[item];
  const std::size_t n = offsets.size() - 1;
  offsets[0] = 0;
  for (std::size_t i = 0; i < n; ++i) {
    const std::uint64_t count = i < placed ? geometry.count(i, v) : 0;
    offsets[i + 1] = offsets[i] + static_cast<std::int64_t>(count);
  }
}

std::optional<ColumnFailure> decode_field_runs(ByteSpan buffer, const PacketStarts& starts,
                                               const PacketGeometry& geometry,
                                               const PlannedField& field, std::size_t item,
                                               std::size_t begin, std::size_t end, void* values,
                                               const std::int64_t* offsets, std::uint64_t origin,
                                               std::span<std::uint8_t> mask) {
  PacketRuns runs;
  if (!geometry.bases.empty()) {
    runs.bases = &geometry.bases[field.segment];
    runs.stride = geometry.segments;
  }
  runs.fixed_count = field.fixed_count();
  runs.origin = origin;
  if (field.shape.is_variable()) {
    const std::size_t v = geometry.variable_of[item];
    runs.array_ends = &geometry.bases[v + 1];
    runs.counts = &geometry.counts[v];
    runs.counts_stride = geometry.variables;
    runs.first_values = offsets;
  }
  return decode_runs(buffer, starts, begin, end, field, runs, values, mask);
}

bool single_at_fixed_place(const PlannedField& field) {
  return field.segment == 0 && field.shape.plain() && field.shape.kind == CountKind::Single;
}

bool field_never_fails(const PacketStarts& starts, const PlannedField& field) {
  return single_at_fixed_place(field) && !field.spec.is_text() && column_never_fails(starts, field);
}

void note_runs_failure(std::optional<PacketFailure>& first, std::optional<ColumnFailure> failure,
                       std::size_t item) {
  if (failure && !failure->unplaced) {
    note_packet_failure(first, failure->packet, item, std::move(failure->error));
  }
}

void decode_field_block(const Plan& plan, ByteSpan buffer, const PacketStarts& starts,
                        const PacketGeometry& geometry, std::size_t item, std::size_t begin,
                        std::size_t end, const FieldTarget& target,
                        std::optional<PacketFailure>& first) {
  const PlannedField& field = plan.fields()[item];
  if (single_at_fixed_place(field)) {
    if (auto failure =
            decode_column(buffer, starts, begin, end, field, target.values, target.mask)) {
      note_packet_failure(first, failure->packet, item, failure->error);
    }
    return;
  }
  note_runs_failure(first,
                    decode_field_runs(buffer, starts, geometry, field, item, begin, end,
                                      target.values, target.offsets, 0, target.mask),
                    item);
}

void decode_numeric_fields(const Plan& plan, ByteSpan buffer, const PacketStarts& starts,
                           const PacketGeometry& geometry, std::size_t placed, bool masking,
                           std::span<const FieldTarget> targets,
                           std::optional<PacketFailure>& first) {
  const std::size_t block = packets_per_block(starts, buffer.size());
  // Under errors="raise" nothing after the first failure matters.
  for (std::size_t begin = 0; begin < placed && !(first && !masking && first->packet < begin);
       begin += block) {
    const std::size_t end = std::min(placed, begin + block);
    for (std::size_t j = 0; j < targets.size(); ++j) {
      if (targets[j].decode_block != nullptr) {
        (*targets[j].decode_block)(begin, end, first);
      } else if (targets[j].values != nullptr) {
        decode_field_block(plan, buffer, starts, geometry, j, begin, end, targets[j], first);
      }
    }
  }
}

FieldBitOf field_bit_of(const Plan& plan, ByteSpan buffer, const PacketStarts& starts,
                        const PacketGeometry& geometry, std::size_t item) {
  const PlannedField& field = plan.fields()[item];
  // A value at a fixed place follows the flat rule: a field without width
  // needs only its start byte.
  if (single_at_fixed_place(field)) return fixed_field_bit(buffer.size(), starts, field);
  return [size = buffer.size(), &starts, &geometry,
          &field](std::size_t i) -> std::optional<std::uint64_t> {
    const std::uint64_t base = geometry.base(i, field.segment);
    const std::uint64_t start = starts[i];
    const std::uint64_t packet_end = starts.limit(i, size);
    std::uint64_t first_bit = 0, last_bit = 0;
    if (base == Plan::kUnplaced || start > packet_end ||
        __builtin_add_overflow(base, field.first_bit(), &first_bit) ||
        __builtin_add_overflow(first_bit, field.extent_bits(1), &last_bit) ||
        last_bit > (packet_end - start) * 8) {
      return std::nullopt;
    }
    return start * 8 + base + field.position;
  };
}

void decode_text_field(const Plan& plan, ByteSpan buffer, bool immutable,
                       const PacketStarts& starts, const PacketGeometry& geometry,
                       std::size_t limit, std::size_t item, Utf8Column& out,
                       std::span<std::uint8_t> mask, std::optional<PacketFailure>& first) {
  const PlannedField& field = plan.fields()[item];
  // A field at a fixed place through its own loop, without a call per packet.
  auto failure =
      single_at_fixed_place(field)
          ? decode_utf8_column_fixed(buffer, immutable, starts, limit, field, out, mask)
          : decode_utf8_column_at(buffer, immutable, limit, field,
                                  field_bit_of(plan, buffer, starts, geometry, item), out, mask);
  if (failure) note_packet_failure(first, failure->packet, item, std::move(failure->error));
}

ElementTime element_time_reader(const Plan& plan, ByteSpan buffer, const PacketStarts& starts,
                                const PacketGeometry& geometry, std::size_t item,
                                const TimeCodeFormat& format) {
  const PlannedField& field = plan.fields()[item];
  return [buffer, &starts, &geometry, &field, &format](
             std::size_t packet, std::uint64_t element) -> Result<Nanoseconds> {
    const std::uint64_t base = geometry.base(packet, field.segment);
    const std::uint64_t start = starts[packet];
    const std::uint64_t limit = starts.limit(packet, buffer.size());
    const std::uint64_t bits = field.spec.bits;
    std::uint64_t first = 0, end = 0;
    if (base == Plan::kUnplaced || start > limit ||
        __builtin_add_overflow(base, field.position + element * bits, &first) ||
        __builtin_add_overflow(first, bits, &end) || end > (limit - start) * 8) {
      return value_error("the time code lies outside its packet");
    }
    return decode_time_code(buffer.data(), start * 8 + first, format);
  };
}

std::string bounds_message(const Plan& plan, ByteSpan buffer, const PacketStarts& starts,
                           const PacketGeometry& geometry, const PacketFailure& failure) {
  const std::uint64_t start = starts[failure.packet];
  const std::uint64_t limit = starts.limit(failure.packet, buffer.size());
  const std::uint64_t packet_bits = start <= limit ? (limit - start) * 8 : 0;
  const PlannedField& field = plan.fields()[failure.item];
  const std::uint64_t first = geometry.base(failure.packet, field.segment) + field.first_bit();
  const std::uint64_t count = geometry.values_in(field, failure.item, failure.packet);
  return concat("the field needs bits ", first, " to ", first + field.extent_bits(count),
                " of the packet, which has ", packet_bits, " bits");
}

}  // namespace vantrel
