#include "columns/packet_checks.hpp"

#include <algorithm>
#include <bit>
#include <cinttypes>
#include <cstdio>
#include <cstring>
#include <vector>

#include "common/format.hpp"
#include "layout/shape.hpp"

namespace vantrel {

namespace {

// What a check field must be: unsigned, as wide as the check, whole bytes
// when little-endian, not mirrored, starting on a byte (of its segment).
Result<void> field_takes_check(const PlannedField& planned, const CheckAlgorithm& algorithm) {
  const FieldSpec& spec = planned.spec;
  if (spec.row == nullptr || spec.row->column_kernel != ColumnKernel::Unsigned) {
    return value_error("check: a check field must be unsigned");
  }
  if (spec.bits != algorithm.width) {
    return value_error(concat("check: ", algorithm.name, " gives ", algorithm.width,
                              "-bit values but the field has ", spec.bits, " bits"));
  }
  if (spec.little_endian && spec.bits % 8 != 0) {
    // Its bytes swapped, a field of part bytes does not hold every value.
    return value_error(
        concat("check: a little-endian check field has whole bytes, not ", spec.bits, " bits"));
  }
  if (spec.reverse_bits) return value_error("check: a check field is not mirrored");
  if (planned.position % 8 != 0) {
    return value_error(
        concat("check: a check field must start on a byte, not at bit ", planned.position));
  }
  return {};
}

}  // namespace

Result<PacketCheck> resolve_check(const Plan& plan, std::size_t field,
                                  std::shared_ptr<const Checksum> checksum,
                                  std::optional<std::uint64_t> start,
                                  std::optional<std::uint64_t> stop) {
  const PlannedField& planned = plan.fields()[field];
  if (planned.shape.is_array() || !planned.shape.plain()) {
    return value_error("check: a check field is one value in the big or little byte order");
  }
  if (auto takes = field_takes_check(planned, checksum->algorithm()); !takes) {
    return std::unexpected(takes.error());
  }
  PacketCheck check;
  check.field = field;
  check.checksum = std::move(checksum);
  check.start = start.value_or(0);
  if (plan.segment_count() > 1) {
    // Past a variable array the field, and so the bytes before it, move
    // from packet to packet: placed per packet.
    check.up_to_field = !stop.has_value();
    check.stop = stop.value_or(0);
    if (stop && check.start >= check.stop) {
      return value_error(
          concat("check: the range of bytes ", check.start, " to ", check.stop, " is empty"));
    }
    return check;
  }
  const std::uint64_t first = planned.position / 8;
  const std::uint64_t end = (planned.position + planned.spec.bits + 7) / 8;
  const std::uint64_t layout_bytes = (plan.size_bits() + 7) / 8;
  check.stop = stop.value_or(first);
  if (check.start >= check.stop) {
    return value_error(
        concat("check: the range of bytes ", check.start, " to ", check.stop, " is empty"));
  }
  if (check.stop > layout_bytes) {
    return value_error(concat("check: the range of bytes ", check.start, " to ", check.stop,
                              " passes the layout's end at byte ", layout_bytes));
  }
  if (check.start < end && first < check.stop) {
    return value_error(concat("check: the range of bytes ", check.start, " to ", check.stop,
                              " covers the check field itself (bytes ", first, " to ", end, ")"));
  }
  return check;
}

std::optional<CheckPlace> locate_check(const Plan& plan, const PacketCheck& check,
                                       const std::uint64_t* bases, std::uint64_t packet_bytes) {
  const PlannedField& field = plan.fields()[check.field];
  const std::uint64_t base = bases != nullptr ? bases[field.segment] : 0;
  if (base == Plan::kUnplaced) return std::nullopt;
  const std::uint64_t bit = base + field.position;
  if (bit % 8 != 0) return std::nullopt;
  CheckPlace place{bit / 8, check.start, check.up_to_field ? bit / 8 : check.stop};
  const std::uint64_t end = (bit + field.spec.bits + 7) / 8;
  if (end > packet_bytes || place.stop > packet_bytes || place.start >= place.stop ||
      (place.start < end && place.field_byte < place.stop)) {
    return std::nullopt;
  }
  return place;
}

std::string unplaced_check_message(const Plan& plan, const PacketCheck& check,
                                   const std::uint64_t* bases, std::uint64_t packet_bytes) {
  const PlannedField& field = plan.fields()[check.field];
  const std::uint64_t base = bases != nullptr ? bases[field.segment] : 0;
  if (base == Plan::kUnplaced) return "check: the field has no place in this packet";
  const std::uint64_t bit = base + field.position;
  if (bit % 8 != 0) {
    return concat("check: the check field starts at bit ", bit, " of this packet, not on a byte");
  }
  const std::uint64_t stop = check.up_to_field ? bit / 8 : check.stop;
  return concat("check: in this packet of ", packet_bytes, " bytes the check field at byte ",
                bit / 8, " and its range of bytes ", check.start, " to ", stop,
                " do not both fit apart");
}

std::uint64_t check_found(const Plan& plan, const PacketCheck& check, ByteSpan buffer,
                          std::uint64_t base) {
  const PlannedField& field = plan.fields()[check.field];
  return read_plain_pattern(buffer.data(), base * 8 + field.position, field.spec);
}

std::uint64_t check_computed(const PacketCheck& check, ByteSpan buffer, std::uint64_t base) {
  return check.checksum->compute(buffer.subspan(base + check.start, check.stop - check.start));
}

std::string check_mismatch_message(const PacketCheck& check, std::uint64_t found,
                                   std::uint64_t computed) {
  const int digits = static_cast<int>((check.checksum->algorithm().width + 3) / 4);
  char values[96];
  std::snprintf(values, sizeof values, " gives 0x%0*" PRIX64 " but the field holds 0x%0*" PRIX64,
                digits, computed, digits, found);
  return concat("check failed: ", check.checksum->algorithm().name, " over bytes ", check.start,
                " to ", check.stop, values);
}

namespace {

// A word of the stored byte order.
template <class Word>
[[gnu::always_inline]] inline std::uint64_t load_word(const std::uint8_t* at, bool little_endian) {
  Word value;
  std::memcpy(&value, at, sizeof value);
  if ((std::endian::native == std::endian::little) != little_endian) value = std::byteswap(value);
  return value;
}

// A check field's value: whole bytes at a byte (most check fields) loaded
// at once, others as any plain field.
[[gnu::always_inline]] inline std::uint64_t read_check_field(const std::uint8_t* buffer,
                                                             std::uint64_t bit,
                                                             const FieldSpec& spec) {
  switch (spec.bits) {
    case 16: return load_word<std::uint16_t>(buffer + bit / 8, spec.little_endian);
    case 32: return load_word<std::uint32_t>(buffer + bit / 8, spec.little_endian);
    default: return read_plain_pattern(buffer, bit, spec);
  }
}

}  // namespace

std::string packet_check_message(const Plan& plan, const PacketCheck& check,
                                 const std::uint64_t* bases, std::uint64_t packet_bytes,
                                 std::uint64_t found, std::uint64_t computed) {
  const std::optional<CheckPlace> place = locate_check(plan, check, bases, packet_bytes);
  if (!place) return unplaced_check_message(plan, check, bases, packet_bytes);
  PacketCheck located = check;
  located.start = place->start;
  located.stop = place->stop;
  return check_mismatch_message(located, found, computed);
}

void verify_packet_checks(const Plan& plan, std::span<const PacketCheck> checks, ByteSpan buffer,
                          const PacketStarts& starts, const PacketGeometry& geometry,
                          std::size_t placed, bool masking, std::vector<std::uint8_t>& failed,
                          std::optional<PacketFailure>& first) {
  if (checks.empty()) return;
  if (masking) failed.assign(starts.count, 0);
  const auto bases = [&](std::size_t i) -> const std::uint64_t* {
    return geometry.bases.empty() ? nullptr : &geometry.bases[i * geometry.segments];
  };
  // One packet's checks; false when the caller is to stop (errors="raise").
  const auto verify_one = [&](std::size_t i) {
    const std::uint64_t base = starts[i];
    const std::uint64_t limit = starts.limit(i, buffer.size());
    const std::uint64_t packet_bytes = base > limit ? 0 : limit - base;
    for (const PacketCheck& check : checks) {
      const std::optional<CheckPlace> place =
          base > limit ? std::nullopt : locate_check(plan, check, bases(i), packet_bytes);
      std::uint64_t found = 0, computed = 0;
      if (place) {
        const FieldSpec& spec = plan.fields()[check.field].spec;
        found = read_check_field(buffer.data(), (base + place->field_byte) * 8, spec);
        computed = check.checksum->compute(
            buffer.subspan(base + place->start, place->stop - place->start));
        if (found == computed) [[likely]]
          continue;
      }
      if (masking) {
        failed[i] = 1;
        return true;
      }
      note_packet_failure(
          first, i, check.field,
          Error{ErrorKind::ValueError,
                packet_check_message(plan, check, bases(i), packet_bytes, found, computed)});
      return false;
    }
    return true;
  };
  std::size_t i = 0;
  // One check over a short range at a fixed place: four packets at a time
  // where the checksum computes four at once (Checksum::compute_four); a
  // group with a packet that fails goes packet by packet to say which.
  const PacketCheck& only = checks[0];
  const std::uint64_t covered = only.stop - only.start;
  if (checks.size() == 1 && !only.up_to_field && geometry.bases.empty() &&
      only.checksum->four_at_once_least() != 0 && covered >= only.checksum->four_at_once_least() &&
      covered <= Checksum::kFourAtOnceBytes) {
    const PlannedField& field = plan.fields()[only.field];
    const std::uint64_t needed = std::max(only.stop, (field.position + field.spec.bits + 7) / 8);
    const std::size_t sizes[4] = {covered, covered, covered, covered};
    for (; i + 4 <= placed; i += 4) {
      const std::uint8_t* data[4];
      bool hold = true;
      for (std::size_t k = 0; k < 4; ++k) {
        const std::uint64_t base = starts[i + k];
        hold = hold && inside(base, needed, starts.limit(i + k, buffer.size()));
        data[k] = buffer.data() + base + only.start;
      }
      if (hold) {
        std::uint64_t computed[4];
        only.checksum->compute_four(data, sizes, computed, covered);
        for (std::size_t k = 0; k < 4; ++k) {
          hold = hold && read_check_field(buffer.data(), starts[i + k] * 8 + field.position,
                                          field.spec) == computed[k];
        }
      }
      if (hold) [[likely]]
        continue;
      for (std::size_t k = 0; k < 4; ++k) {
        if (!verify_one(i + k)) return;
      }
    }
  }
  for (; i < placed; ++i) {
    if (!verify_one(i)) return;
  }
}

std::optional<std::size_t> place_checks(const Plan& plan, std::span<const PacketCheck> checks,
                                        std::span<const std::uint8_t> given,
                                        std::span<std::uint8_t> packet,
                                        const std::uint64_t* bases) {
  // A check's value depends on the bytes of the checks its range covers:
  // computed in rounds, each placing the checks none of whose covered
  // checks are still pending. A cycle (each covering the other) is placed
  // as it stands.
  std::vector<std::optional<CheckPlace>> places(checks.size());
  for (std::size_t c = 0; c < checks.size(); ++c) {
    places[c] = locate_check(plan, checks[c], bases, packet.size());
    if (!places[c] && given[c] == 0) return c;
  }
  std::vector<bool> pending(checks.size());
  for (std::size_t c = 0; c < checks.size(); ++c) pending[c] = given[c] == 0;
  const auto covers = [&](std::size_t outer, std::size_t inner) {
    if (!places[outer] || !places[inner]) return false;
    const PlannedField& field = plan.fields()[checks[inner].field];
    const std::uint64_t first = places[inner]->field_byte;
    const std::uint64_t end = first + (field.spec.bits + 7) / 8;
    return places[outer]->start < end && first < places[outer]->stop;
  };
  const auto place = [&](std::size_t c) {
    const PlannedField& field = plan.fields()[checks[c].field];
    const CheckPlace& where = *places[c];
    place_pattern(packet, where.field_byte * 8, field.spec,
                  checks[c].checksum->compute(
                      ByteSpan(packet).subspan(where.start, where.stop - where.start)));
    pending[c] = false;
  };
  for (;;) {
    bool placed_any = false;
    bool left = false;
    for (std::size_t c = 0; c < checks.size(); ++c) {
      if (!pending[c]) continue;
      bool ready = true;
      for (std::size_t d = 0; d < checks.size() && ready; ++d) {
        ready = d == c || !pending[d] || !covers(c, d);
      }
      if (ready) {
        place(c);
        placed_any = true;
      } else {
        left = true;
      }
    }
    if (!left) return std::nullopt;
    if (!placed_any) {
      for (std::size_t c = 0; c < checks.size(); ++c) {
        if (pending[c]) place(c);
      }
      return std::nullopt;
    }
  }
}

}  // namespace vantrel
