#include "streams/packet_bounds.hpp"

#include <algorithm>

#include "common/format.hpp"

namespace vantrel {

std::optional<std::string> length_past_buffer(const LengthField& length,
                                              const std::optional<DeclaredLength>& declared,
                                              std::uint64_t available_bits) {
  if (!declared) {
    return concat("the packet of ", available_bits / 8,
                  " bytes is too short for its length field (", length.bits, " bits at bit ",
                  length.offset_bits, ")");
  }
  if (declared->bytes > static_cast<__int128>(available_bits / 8)) {
    return concat("the packet's length field gives ", declared->bytes, " bytes (field ",
                  declared->field, " + adjust ", length.adjust, "), but the buffer holds ",
                  available_bits, " bits from the packet's start");
  }
  return std::nullopt;
}

PacketBounds bound_packets(ByteSpan buffer, const PacketStarts& starts, const std::int64_t* lengths,
                           const LengthField* length) {
  PacketBounds out;
  const std::uint64_t size = buffer.size();
  const bool at_stride = starts.offsets == nullptr;
  out.ends.resize(starts.count);
  const auto cut_at = [&](std::size_t i, std::string reason) {
    if (!out.cut.empty() && out.cut.back() == i) return;  // one reason per packet
    if (out.cut.empty()) out.first_cut_reason = std::move(reason);
    out.cut.push_back(i);
  };
  for (std::size_t i = 0; i < starts.count; ++i) {
    const std::uint64_t start = starts[i];
    std::uint64_t end = size;
    if (start <= size) {
      const std::uint64_t available = size - start;
      if (at_stride) end = start + std::min(starts.stride, available);
      if (lengths != nullptr) {
        const auto given = static_cast<std::uint64_t>(lengths[i]);
        if (given > available) {
          cut_at(i, concat("lengths gives the packet ", given, " bytes, but the buffer holds ",
                           available, " bytes from its start"));
        }
        end = std::min(end, start + std::min(given, available));
      }
      if (length != nullptr) {
        const auto declared = declared_length(*length, buffer.data(), size * 8, start * 8);
        if (auto refused = length_past_buffer(*length, declared, available * 8)) {
          cut_at(i, std::move(*refused));
        } else {
          const __int128 bytes = std::max<__int128>(declared->bytes, 0);
          end = std::min(end, start + static_cast<std::uint64_t>(bytes));
        }
      }
    }
    out.ends[i] = end;
  }
  return out;
}

std::optional<std::uint64_t> shortest_given(std::uint64_t buffer_size, const PacketStarts& starts,
                                            const std::int64_t* lengths) {
  std::uint64_t shortest = ~std::uint64_t{0};
  std::uint64_t furthest = 0;
  for (std::size_t i = 0; i < starts.count; ++i) {
    const auto start = static_cast<std::uint64_t>(starts.offsets[i]);
    const auto given = static_cast<std::uint64_t>(lengths[i]);
    // Non-negative offsets and lengths: their sum cannot wrap.
    furthest = std::max(furthest, start + given);
    shortest = std::min(shortest, given);
  }
  if (furthest > buffer_size) return std::nullopt;
  return starts.count == 0 ? 0 : shortest;
}

}  // namespace vantrel
