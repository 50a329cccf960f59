#include "placement/plan.hpp"

#include <algorithm>
#include <cstdint>

#include "common/checked.hpp"
#include "common/format.hpp"

namespace vantrel {

Result<void> PackedSize::add(std::optional<std::uint64_t> offset, std::uint32_t bits) {
  const auto field_end = add_bit_positions(offset.value_or(end_bit_), bits);
  if (!field_end) return std::unexpected(field_end.error());
  end_bit_ = std::max(end_bit_, *field_end);
  return {};
}

Result<std::uint64_t> PackedSize::allocation_bytes(std::uint64_t bits) {
  const std::uint64_t bytes = bytes_for(bits);
  if (bytes > static_cast<std::uint64_t>(PTRDIFF_MAX) / 2) {
    return value_error(concat("Packet of ", bits, " bits is too large to allocate"));
  }
  return bytes;
}

namespace {

Result<std::uint64_t> measure_packed_size(std::span<const FieldSpec> fields) {
  PackedSize size;
  for (const FieldSpec& field : fields) {
    if (auto added = size.add(field.offset, field.bits); !added) {
      return std::unexpected(added.error());
    }
  }
  return size.bits();
}

}  // namespace

std::expected<Plan, ItemError> Plan::build(std::span<const FieldSpec> fields) {
  Plan plan;
  plan.fields_.reserve(fields.size());
  std::uint64_t running = 0;
  for (std::size_t i = 0; i < fields.size(); ++i) {
    const FieldSpec& field = fields[i];
    const std::uint64_t position = field.offset.value_or(running);
    const auto end = add_bit_positions(position, field.bits);
    if (!end) return std::unexpected(ItemError{i, end.error()});
    plan.fields_.push_back(PlannedField{field, position});
    plan.size_bits_ = std::max(plan.size_bits_, *end);
    if (field.bits == 0) {
      plan.has_zero_width_ = true;
      plan.last_start_ = std::max(plan.last_start_, position);
    } else {
      plan.last_end_ = std::max(plan.last_end_, *end);
    }
    running = *end;
  }
  plan.packed_size_bits_ = measure_packed_size(fields);
  return plan;
}

bool Plan::fits(std::uint64_t packet_size, std::uint64_t offset_bits) const {
  std::uint64_t end = 0;
  if (__builtin_add_overflow(offset_bits, size_bits_, &end)) return false;
  const std::uint64_t end_bytes =
      (offset_bits + last_end_) / 8 + ((offset_bits + last_end_) % 8 != 0);
  if (last_end_ != 0 && end_bytes > packet_size) return false;
  return !has_zero_width_ || (offset_bits + last_start_) / 8 <= packet_size;
}

std::expected<void, ItemError> Plan::check_positions(std::uint64_t offset_bits) const {
  std::uint64_t running = offset_bits;
  for (std::size_t i = 0; i < fields_.size(); ++i) {
    const FieldSpec& field = fields_[i].spec;
    std::uint64_t position = running;
    if (field.offset) {
      const auto absolute = add_bit_positions(offset_bits, *field.offset);
      if (!absolute) return std::unexpected(ItemError{i, absolute.error()});
      position = *absolute;
    }
    const auto end = add_bit_positions(position, field.bits);
    if (!end) return std::unexpected(ItemError{i, end.error()});
    running = *end;
  }
  return {};
}

std::expected<void, ItemError> Plan::check_bounds(std::uint64_t packet_size,
                                                  std::uint64_t offset_bits) const {
  for (std::size_t i = 0; i < fields_.size(); ++i) {
    const PlannedField& field = fields_[i];
    if (auto fault =
            field_outside_packet(offset_bits + field.position, field.spec.bits, packet_size)) {
      return std::unexpected(ItemError{i, Error{ErrorKind::ValueError, std::move(*fault)}});
    }
  }
  return {};
}

}  // namespace vantrel
