#include "layout/plan.hpp"

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
    if (field.twin) continue;
    if (auto added = size.add(field.offset, field.bits); !added) {
      return std::unexpected(added.error());
    }
  }
  return size.bits();
}

// Finds the word of each bit field of a little-endian word. A word starts
// where its recipe item says (word_offset_bits), or at the first of a run of
// adjacent bit fields that follows the field before it (or starts its
// segment), the run filling words one after the other. A bit field placed
// anywhere else could belong to more than one word, and so could a field
// placed right after a word its run leaves unfinished: both are refused
// rather than read from a guessed word.
class WordPlacer {
 public:
  // `adjacent`: whether the field starts where the field before it ends, in
  // the same segment (or starts its segment).
  std::optional<ItemError> place(std::size_t item, PlannedField& field, bool adjacent) {
    const unsigned word_bits = field.shape.word_bits;
    const std::uint64_t position = field.position;
    const bool continues =
        open_ && adjacent && field.segment == segment_ && word_bits == word_bits_;
    if (open_ && adjacent && !continues && end_ < start_ + word_bits_) {
      return refuse(
          item, concat("the field is placed at bit ", position, ", inside the ", word_bits_,
                       "-bit word of recipe item ", first_item_, ", whose bit fields stop at bit ",
                       end_ - start_, " of it: give the rest of the word a field of its own"));
    }
    if (word_bits == 0) {
      open_ = false;
      return std::nullopt;
    }
    if (field.shape.word_start) {
      start_ = *field.shape.word_start;
      if (start_ > position || position - start_ + field.spec.bits > word_bits) {
        return refuse(item, concat("the bit field (bits ", position, " to ",
                                   position + field.spec.bits, ") is not inside the ", word_bits,
                                   "-bit word at word_offset_bits ", start_));
      }
      first_item_ = item;
    } else if (continues) {
      if (position - start_ == word_bits_) {
        start_ = position;  // the run's next word
        first_item_ = item;
      }
    } else if (!adjacent) {
      return refuse(item, concat("the bit field at bit ", position,
                                 " does not follow the field before it, so which ", word_bits,
                                 "-bit word holds it is ambiguous: give word_offset_bits, the bit "
                                 "where the word's stored bytes begin"));
    } else if (position % 8 != 0) {
      return refuse(item, concat("the bit field's word would start at bit ", position,
                                 ", not on a byte: give word_offset_bits, the bit where the "
                                 "word's stored bytes begin"));
    } else {
      start_ = position;
      first_item_ = item;
    }
    const std::uint64_t offset = position - start_;
    if (offset + field.spec.bits > word_bits) {
      return refuse(item, concat("the bit field (bits ", offset, " to ", offset + field.spec.bits,
                                 " of its ", word_bits, "-bit word) runs into the next word"));
    }
    field.shape.word_offset = static_cast<std::uint8_t>(offset);
    open_ = true;
    segment_ = field.segment;
    word_bits_ = word_bits;
    end_ = position + field.spec.bits;
    return std::nullopt;
  }

 private:
  static ItemError refuse(std::size_t item, std::string message) {
    return ItemError{item, Error{ErrorKind::ValueError, std::move(message)}};
  }

  bool open_ = false;  // whether the field before was a bit field of a word
  std::uint32_t segment_ = 0;
  unsigned word_bits_ = 0;
  std::uint64_t start_ = 0;  // where that field's word starts
  std::uint64_t end_ = 0;    // where that field ends
  std::size_t first_item_ = 0;
};

}  // namespace

std::expected<Plan, ItemError> Plan::build(std::span<const FieldSpec> fields) {
  Plan plan;
  plan.fields_.reserve(fields.size());
  std::uint64_t running = 0;
  for (std::size_t i = 0; i < fields.size(); ++i) {
    const FieldSpec& field = fields[i];
    if (field.twin) {
      plan.fields_.push_back(PlannedField{field, plan.fields_[field.twin_of].position});
      plan.variable_of_.push_back(kNotVariable);
      continue;
    }
    const std::uint64_t position = field.offset.value_or(running);
    const auto end = add_bit_positions(position, field.bits);
    if (!end) return std::unexpected(ItemError{i, end.error()});
    plan.fields_.push_back(PlannedField{field, position});
    plan.variable_of_.push_back(kNotVariable);
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
    if (field.twin) continue;  // at the place of the field before it
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

namespace vantrel {

std::expected<Plan, ItemError> Plan::build(std::span<const ShapedField> fields) {
  Plan plan;
  WordPlacer words;
  plan.fields_.reserve(fields.size());
  // The smallest start of each segment: every variable array empty.
  std::vector<std::uint64_t> least_base{0};
  std::uint32_t segment = 0;
  std::uint64_t running = 0;
  for (std::size_t i = 0; i < fields.size(); ++i) {
    const ShapedField& field = fields[i];
    if (field.spec.twin) {
      // An earlier field, read again: no place, count or segment of its own.
      PlannedField twin = plan.fields_[field.spec.twin_of];
      twin.spec = field.spec;
      plan.fields_.push_back(twin);
      plan.variable_of_.push_back(plan.variable_of_[field.spec.twin_of]);
      continue;
    }
    std::uint64_t position = running;
    const std::uint32_t running_segment = segment;
    if (field.spec.offset) {
      segment = 0;
      position = *field.spec.offset;
    }
    PlannedField planned{field.spec, position, field.shape, segment};
    const bool adjacent = position == running && segment == running_segment;
    if (auto refused = words.place(i, planned, adjacent)) return std::unexpected(*refused);
    plan.shaped_ = plan.shaped_ || field.shape != FieldShape{};
    const std::uint64_t count = field.shape.is_variable() ? 0 : planned.fixed_count();
    std::uint64_t bits = 0;
    std::uint64_t end = 0, extent_end = 0, least_end = 0;
    const bool overflow =
        __builtin_mul_overflow(count, std::uint64_t{field.spec.bits}, &bits) ||
        __builtin_add_overflow(position, bits, &end) ||
        __builtin_add_overflow(planned.first_bit(), planned.extent_bits(count), &extent_end) ||
        __builtin_add_overflow(least_base[segment], extent_end, &least_end);
    if (overflow) {
      return std::unexpected(
          ItemError{i, Error{ErrorKind::ValueError, "the field's end passes bit 2^64 - 1"}});
    }
    plan.size_bits_ = std::max(plan.size_bits_, least_end);
    plan.fields_.push_back(planned);
    if (segment != 0 &&
        plan.fields_[plan.variable_items_[segment - 1]].shape.kind == CountKind::Rest) {
      if (field.shape.is_variable()) {
        return std::unexpected(ItemError{
            i, Error{ErrorKind::ValueError,
                     concat("a variable array cannot follow the rest-of-packet array of recipe "
                            "item ",
                            plan.variable_items_[segment - 1],
                            " without an offset_bits: the fields after that array are placed "
                            "from the packet's end")}});
      }
      // Within the trailer no sum passes the segment's least end, checked above.
      std::uint64_t& trailer = plan.trailer_bits_[segment - 1];
      trailer = std::max(trailer, planned.first_bit() + planned.extent_bits(count));
    }
    plan.variable_of_.push_back(field.shape.is_variable() ? plan.variable_items_.size()
                                                          : kNotVariable);
    if (field.shape.is_variable()) {
      plan.variable_items_.push_back(i);
      plan.trailer_bits_.push_back(0);
      least_base.push_back(least_base[segment] + position);
      segment = static_cast<std::uint32_t>(plan.variable_items_.size());
      running = 0;
    } else {
      running = end;
    }
  }
  plan.last_end_ = plan.size_bits_;
  plan.packed_size_bits_ = plan.size_bits_;
  if (plan.variable_items_.size() == 1) {
    const PlannedField& array = plan.fields_[plan.variable_items_[0]];
    if (array.shape.kind == CountKind::Counted && array.segment == 0) {
      const PlannedField& counter = plan.fields_[array.shape.count_item];
      if (counter.segment == 0 && counter.shape.plain() && counter.spec.bits != 0 &&
          counter.spec.bits <= 64) {
        plan.counted_array_ =
            CountedArray{counter.position, counter.spec, array.position, array.spec.bits};
      }
    }
  }
  return plan;
}

std::optional<ItemError> Plan::measure_general(const std::uint8_t* buffer, std::uint64_t packet_bit,
                                               std::uint64_t end_bit, std::uint64_t* bases,
                                               std::uint64_t* counts) const {
  std::optional<ItemError> first;
  auto fail = [&](std::size_t item, std::string message) {
    if (!first) first = ItemError{item, Error{ErrorKind::ValueError, std::move(message)}};
  };
  const std::uint64_t packet_bits = end_bit - packet_bit;
  bases[0] = 0;
  for (std::size_t v = 0; v < variable_items_.size(); ++v) {
    const std::size_t item = variable_items_[v];
    const PlannedField& field = fields_[item];
    bases[v + 1] = kUnplaced;
    counts[v] = 0;
    const std::uint64_t base = bases[field.segment];
    if (base == kUnplaced) continue;
    std::uint64_t start = 0;  // from packet_bit
    if (__builtin_add_overflow(base, field.position, &start) || start > packet_bits) {
      fail(item, concat("the array starts past the end of the packet of ", packet_bits, " bits"));
      continue;
    }
    const std::uint64_t room_bits = packet_bits - start;
    if (field.shape.kind == CountKind::Rest) {
      const std::uint64_t trailer = trailer_bits_[v];
      if (trailer > room_bits) {
        fail(item,
             concat("the fields after the rest-of-packet array need ", trailer, " bits from bit ",
                    start, ", past the end of the packet of ", packet_bits, " bits"));
        continue;
      }
      counts[v] = (room_bits - trailer) / field.spec.bits;
      // The trailer ends with the packet, whatever whole values the array holds.
      bases[v + 1] = packet_bits - trailer;
      continue;
    }
    const PlannedField& counter = fields_[field.shape.count_item];
    const std::uint64_t counter_base = bases[counter.segment];
    if (counter_base == kUnplaced) continue;
    std::uint64_t counter_end = 0;
    if (__builtin_add_overflow(counter_base, counter.first_bit() + counter.extent_bits(1),
                               &counter_end) ||
        counter_end > packet_bits) {
      fail(item, concat("its count field (recipe item ", field.shape.count_item,
                        ") runs past the end of the packet of ", packet_bits, " bits"));
      continue;
    }
    const std::uint64_t counter_bit = packet_bit + counter_base + counter.position;
    const std::uint64_t count =
        counter.shape.plain()
            ? read_plain_pattern(buffer, counter_bit, counter.spec)
            : read_shaped_pattern(buffer, counter_bit, counter.spec, counter.shape);
    // A product, not a division per packet, checked for overflow.
    std::uint64_t count_bits = 0;
    if (__builtin_mul_overflow(count, std::uint64_t{field.spec.bits}, &count_bits) ||
        count_bits > room_bits) {
      fail(item, concat(count, " values of ", field.spec.bits, " bits from bit ", start,
                        " run past the end of the packet of ", packet_bits, " bits"));
      continue;
    }
    counts[v] = count;
    bases[v + 1] = start + count * field.spec.bits;
  }
  return first;
}

}  // namespace vantrel
