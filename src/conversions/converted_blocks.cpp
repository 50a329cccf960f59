#include "conversions/converted_blocks.hpp"

#include <algorithm>
#include <vector>

namespace vantrel {

namespace {

void decode_converted_block(const Plan& plan, ByteSpan buffer, const PacketStarts& starts,
                            const PacketGeometry& geometry, std::size_t item, std::size_t begin,
                            std::size_t end, const ConvertedTarget& target,
                            std::vector<std::uint64_t>& scratch,
                            std::optional<PacketFailure>& first) {
  const PlannedField& field = plan.fields()[item];
  const Conversion& conversion = *target.conversion;
  if (single_at_fixed_place(field)) {
    if (auto failure = decode_converted_column(buffer, starts, begin, end, field, conversion,
                                               target.values, target.mask, target.handles)) {
      note_packet_failure(first, failure->packet, item, std::move(failure->error));
    }
    return;
  }
  const std::uint64_t per_packet = field.fixed_count();
  const auto element = [&](std::size_t packet) {
    return target.offsets != nullptr ? static_cast<std::uint64_t>(target.offsets[packet])
                                     : packet * per_packet;
  };
  const std::uint64_t origin = element(begin);
  const ColumnType raw_type = column_type_of(field.spec);
  const std::uint64_t raw_bytes = (element(end) - origin) * column_item_size(raw_type);
  scratch.resize(std::max<std::uint64_t>(1, (raw_bytes + 7) / 8));
  std::optional<ColumnFailure> failure =
      decode_field_runs(buffer, starts, geometry, field, item, begin, end, scratch.data(),
                        target.offsets, origin, target.mask);
  // Under errors="raise" the failing packet's values are not decoded.
  const std::size_t decoded = failure ? failure->packet - begin : end - begin;
  note_runs_failure(first, std::move(failure), item);

  ElementTime block_time;
  if (target.element_time != nullptr) {
    block_time = [&element_time = *target.element_time, begin](std::size_t packet,
                                                               std::uint64_t e) {
      return element_time(begin + packet, e);
    };
  }
  const ElementRanges ranges{target.offsets != nullptr ? target.offsets + begin : nullptr,
                             per_packet, origin};
  const std::size_t out_size = converted_item_size(conversion, target.handles != nullptr);
  const auto converted = convert_packet_elements(
      conversion, raw_type, scratch.data(), end - begin, decoded, ranges,
      target.values + origin * out_size,
      target.mask.empty() ? target.mask : target.mask.subspan(begin, end - begin), target.handles,
      target.element_time != nullptr ? &block_time : nullptr);
  if (converted) note_packet_failure(first, begin + converted->packet, item, converted->error);
}

}  // namespace

BlockDecoder converted_block_decoder(const Plan& plan, ByteSpan buffer, const PacketStarts& starts,
                                     const PacketGeometry& geometry, std::size_t item,
                                     const ConvertedTarget& target) {
  // The block's raw values, reused from block to block.
  return [&plan, buffer, &starts, &geometry, item, target, scratch = std::vector<std::uint64_t>()](
             std::size_t begin, std::size_t end, std::optional<PacketFailure>& first) mutable {
    decode_converted_block(plan, buffer, starts, geometry, item, begin, end, target, scratch,
                           first);
  };
}

}  // namespace vantrel
