#include "placement/packet_checks.hpp"

#include <cinttypes>
#include <cstdio>
#include <vector>

#include "common/format.hpp"
#include "placement/shape.hpp"

namespace vantrel {

Result<PacketCheck> resolve_check(const Plan& plan, std::size_t field,
                                  std::shared_ptr<const Checksum> checksum,
                                  std::optional<std::uint64_t> start,
                                  std::optional<std::uint64_t> stop) {
  const PlannedField& planned = plan.fields()[field];
  const FieldSpec& spec = planned.spec;
  const CheckAlgorithm& algorithm = checksum->algorithm();
  if (spec.row == nullptr || spec.row->column_kernel != ColumnKernel::Unsigned) {
    return value_error("check: a check field must be unsigned");
  }
  if (spec.bits != algorithm.width) {
    return value_error(concat("check: ", algorithm.name, " gives ", algorithm.width,
                              "-bit values but the field has ", spec.bits, " bits"));
  }
  if (spec.little_endian && spec.bits % 8 != 0) {
    // Its bytes swapped, a field of part bytes does not hold every value.
    return value_error(concat("check: a little-endian check field has whole bytes, not ",
                              spec.bits, " bits"));
  }
  if (spec.reverse_bits) return value_error("check: a check field is not mirrored");
  if (planned.position % 8 != 0) {
    return value_error(concat("check: a check field must start on a byte, not at bit ",
                              planned.position));
  }
  const std::uint64_t first = planned.position / 8;
  const std::uint64_t end = (planned.position + spec.bits + 7) / 8;
  const std::uint64_t layout_bytes = (plan.size_bits() + 7) / 8;
  PacketCheck check;
  check.field = field;
  check.checksum = std::move(checksum);
  check.start = start.value_or(0);
  check.stop = stop.value_or(first);
  if (check.start >= check.stop) {
    return value_error(concat("check: the range of bytes ", check.start, " to ", check.stop,
                              " is empty"));
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

std::optional<CheckMismatch> verify_checks(const Plan& plan, std::span<const PacketCheck> checks,
                                           ByteSpan buffer, const PacketStarts& starts,
                                           std::span<std::uint8_t> failed) {
  const std::uint64_t layout_bytes = (plan.size_bits() + 7) / 8;
  std::optional<CheckMismatch> first;
  for (std::size_t i = 0; i < starts.count; ++i) {
    const std::uint64_t base = starts[i];
    if (!inside(base, layout_bytes, starts.limit(i, buffer.size()))) {
      if (!failed.empty()) failed[i] = 1;
      continue;
    }
    for (std::size_t c = 0; c < checks.size(); ++c) {
      const std::uint64_t found = check_found(plan, checks[c], buffer, base);
      const std::uint64_t computed = check_computed(checks[c], buffer, base);
      if (found == computed) [[likely]]
        continue;
      if (!first) first = CheckMismatch{i, c, found, computed};
      if (failed.empty()) return first;
      failed[i] = 1;
      break;
    }
  }
  return first;
}

void place_checks(const Plan& plan, std::span<const PacketCheck> checks,
                  std::span<const std::uint8_t> given, std::span<std::uint8_t> packet) {
  // A check's value depends on the bytes of the checks its range covers:
  // computed in rounds, each placing the checks none of whose covered
  // checks are still pending. A cycle (each covering the other) is placed
  // as it stands.
  std::vector<bool> pending(checks.size());
  for (std::size_t c = 0; c < checks.size(); ++c) pending[c] = given[c] == 0;
  const auto covers = [&](const PacketCheck& outer, const PacketCheck& inner) {
    const PlannedField& field = plan.fields()[inner.field];
    const std::uint64_t first = field.position / 8;
    const std::uint64_t end = (field.position + field.spec.bits + 7) / 8;
    return outer.start < end && first < outer.stop;
  };
  const auto place = [&](std::size_t c) {
    const PlannedField& field = plan.fields()[checks[c].field];
    place_pattern(packet, field.position, field.spec, check_computed(checks[c], packet, 0));
    pending[c] = false;
  };
  for (;;) {
    bool placed_any = false;
    bool left = false;
    for (std::size_t c = 0; c < checks.size(); ++c) {
      if (!pending[c]) continue;
      bool ready = true;
      for (std::size_t d = 0; d < checks.size() && ready; ++d) {
        ready = d == c || !pending[d] || !covers(checks[c], checks[d]);
      }
      if (ready) {
        place(c);
        placed_any = true;
      } else {
        left = true;
      }
    }
    if (!left) return;
    if (!placed_any) {
      for (std::size_t c = 0; c < checks.size(); ++c) {
        if (pending[c]) place(c);
      }
      return;
    }
  }
}

}  // namespace vantrel
