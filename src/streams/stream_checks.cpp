#include "streams/stream_checks.hpp"

#include <algorithm>
#include <unordered_map>

#include "common/format.hpp"
#include "common/packet_bits.hpp"

namespace vantrel {

Result<PacketGroups> group_packets(ByteSpan stream, std::span<const std::int64_t> starts,
                                   std::uint64_t offset_bits, std::uint32_t bits) {
  const std::uint64_t end_bit = offset_bits + bits;
  const std::uint64_t needed = end_bit / 8 + (end_bit % 8 != 0);
  std::vector<std::uint32_t> keys(starts.size());
  std::uint32_t largest = 0;
  for (std::size_t i = 0; i < starts.size(); ++i) {
    const auto start = static_cast<std::uint64_t>(starts[i]);
    if (starts[i] < 0 || start > stream.size() || stream.size() - start < needed) {
      return value_error(concat("packet ", i, " at byte ", starts[i],
                                " does not hold its key field (", needed,
                                " bytes from its start) in the ", stream.size(), "-byte buffer"));
    }
    keys[i] = static_cast<std::uint32_t>(read_field(stream.data(), start * 8 + offset_bits, bits));
    largest = std::max(largest, keys[i]);
  }
  PacketGroups out;
  out.offsets.resize(starts.size());
  if (starts.empty()) {
    out.bounds.push_back(0);
    return out;
  }
  // A counting sort over the key range when it is small (APIDs: 2048), a
  // stable sort of positions otherwise.
  if (largest < (1u << 20)) {
    std::vector<std::size_t> slot(std::size_t{largest} + 2, 0);
    for (const std::uint32_t key : keys) ++slot[key + 1];
    for (std::size_t k = 0; k <= largest; ++k) {
      if (slot[k + 1] != 0) {
        out.keys.push_back(k);
        out.bounds.push_back(slot[k]);
      }
      slot[k + 1] += slot[k];
    }
    out.bounds.push_back(starts.size());
    for (std::size_t i = 0; i < starts.size(); ++i) out.offsets[slot[keys[i]]++] = starts[i];
    return out;
  }
  // Ties broken by position: stream order within a key (std::stable_sort
  // would do, but its buffer function is deprecated in some libraries).
  std::vector<std::size_t> order(starts.size());
  for (std::size_t i = 0; i < order.size(); ++i) order[i] = i;
  std::sort(order.begin(), order.end(), [&](std::size_t a, std::size_t b) {
    return keys[a] != keys[b] ? keys[a] < keys[b] : a < b;
  });
  for (std::size_t i = 0; i < order.size(); ++i) {
    out.offsets[i] = starts[order[i]];
    if (i == 0 || keys[order[i]] != keys[order[i - 1]]) {
      out.keys.push_back(keys[order[i]]);
      out.bounds.push_back(i);
    }
  }
  out.bounds.push_back(order.size());
  return out;
}

namespace {

// One key's counter: its last count (the modulus while the key has had no
// packet), and a packet whose count went back, until the key's next packet
// says whether it was late or the counter's new start.
struct KeyCounter {
  std::uint64_t last;
  std::int64_t back_index = -1;
  std::uint64_t back_count = 0;
};

template <class Counters>
SequenceFindings walk_counts(std::span<const std::uint64_t> keys,
                             std::span<const std::uint64_t> counts, std::uint64_t modulus,
                             Counters& counters) {
  SequenceFindings out;
  const std::uint64_t half = modulus / 2;
  const auto step = [modulus](std::uint64_t from, std::uint64_t to) {
    return (to + modulus - from) % modulus;
  };
  for (std::size_t i = 0; i < keys.size(); ++i) {
    KeyCounter& counter = counters[keys[i]];
    const std::uint64_t count = counts[i];
    if (counter.back_index >= 0) {
      if (step(counter.back_count, count) < step(counter.last, count)) {
        out.reset_index.push_back(counter.back_index);
        counter.last = counter.back_count;
      } else {
        out.out_of_order_index.push_back(counter.back_index);
      }
      counter.back_index = -1;
    }
    if (counter.last == modulus) {
      counter.last = count;
      continue;
    }
    const std::uint64_t forward = step(counter.last, count);
    if (forward == 1) {
      counter.last = count;
    } else if (forward == 0) {
      out.duplicate_index.push_back(static_cast<std::int64_t>(i));
    } else if (forward <= half) {
      out.gap_index.push_back(static_cast<std::int64_t>(i));
      out.gap_missing.push_back(static_cast<std::int64_t>(forward - 1));
      counter.last = count;
    } else {
      counter.back_index = static_cast<std::int64_t>(i);
      counter.back_count = count;
    }
  }
  // Nothing follows these: out of order. Decisions came late, so sorted.
  counters.for_each([&](const KeyCounter& counter) {
    if (counter.back_index >= 0) out.out_of_order_index.push_back(counter.back_index);
  });
  std::sort(out.out_of_order_index.begin(), out.out_of_order_index.end());
  std::sort(out.reset_index.begin(), out.reset_index.end());
  return out;
}

// Counters by key: a table when the keys are small, a map otherwise.
struct DenseCounters {
  std::vector<KeyCounter> counters;
  KeyCounter& operator[](std::uint64_t key) { return counters[key]; }
  template <class Visit>
  void for_each(Visit visit) const {
    for (const KeyCounter& counter : counters) visit(counter);
  }
};

struct SparseCounters {
  std::unordered_map<std::uint64_t, KeyCounter> counters;
  std::uint64_t modulus;
  KeyCounter& operator[](std::uint64_t key) {
    return counters.try_emplace(key, KeyCounter{modulus}).first->second;
  }
  template <class Visit>
  void for_each(Visit visit) const {
    for (const auto& entry : counters) visit(entry.second);
  }
};

}  // namespace

SequenceFindings check_sequence(std::span<const std::uint64_t> keys,
                                std::span<const std::uint64_t> counts, std::uint64_t modulus) {
  const std::uint64_t largest = keys.empty() ? 0 : *std::max_element(keys.begin(), keys.end());
  if (largest < (1u << 20)) {
    DenseCounters counters{std::vector<KeyCounter>(largest + 1, KeyCounter{modulus})};
    return walk_counts(keys, counts, modulus, counters);
  }
  SparseCounters counters{{}, modulus};
  return walk_counts(keys, counts, modulus, counters);
}

}  // namespace vantrel
