// Text fields of many packets without an interpreter object per packet:
// UTF-8 columns (one data buffer and one offsets buffer, as Arrow lays out
// strings), raw field bytes at a fixed width, and the table of recent
// distinct values that lets a column of repeating labels skip the decoder.
// Plain C++ over the buffer, so callers run it without the interpreter lock.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <functional>
#include <optional>
#include <span>
#include <vector>

#include "columns/aligned_buffer.hpp"
#include "columns/columns.hpp"

namespace vantrel {

// memcmp(a, b, size) == 0 and memcpy(out, from, size) for the short runs of
// text fields: 8 to 16 bytes as two overlapping words, no library call.
inline bool same_bytes(const std::uint8_t* a, const std::uint8_t* b, std::size_t size) {
  if (size >= 8 && size <= 16) {
    std::uint64_t a0, a1, b0, b1;
    std::memcpy(&a0, a, 8);
    std::memcpy(&b0, b, 8);
    std::memcpy(&a1, a + size - 8, 8);
    std::memcpy(&b1, b + size - 8, 8);
    return ((a0 ^ b0) | (a1 ^ b1)) == 0;
  }
  return size == 0 || std::memcmp(a, b, size) == 0;
}

inline void copy_bytes(std::uint8_t* out, const std::uint8_t* from, std::size_t size) {
  if (size >= 8 && size <= 16) {
    std::uint64_t first, last;
    std::memcpy(&first, from, 8);
    std::memcpy(&last, from + size - 8, 8);
    std::memcpy(out, &first, 8);
    std::memcpy(out + size - 8, &last, 8);
  } else if (size != 0) {
    std::memcpy(out, from, size);
  }
}

// A bounded table from field bytes to a value seen for them earlier in the
// column. It holds up to kEntries distinct keys of at most kMaxKey bytes;
// when full it starts again empty, so it keeps the values of the recent
// stretch of packets. Low-cardinality fields (modes, states, labels) then
// decode each distinct value once per stretch, whatever their order.
template <class Value>
class RecentValues {
 public:
  static constexpr std::size_t kMaxKey = 64;
  static constexpr std::size_t kEntries = 512;

  RecentValues() : keys_(kEntries * kMaxKey), entries_(kEntries), slots_(kSlots) {}

  // Whether a key of this many bytes can be held at all.
  static bool fits(std::size_t size) { return size <= kMaxKey; }

  // The value stored for `key` (fits(key.size())), or nullptr.
  const Value* find(ByteSpan key) const {
    std::size_t slot = hash(key) & (kSlots - 1);
    for (;;) {
      const Slot& s = slots_[slot];
      if (s.generation != generation_) return nullptr;
      const Entry& entry = entries_[s.entry];
      if (entry.size == key.size() &&
          same_bytes(&keys_[std::size_t{s.entry} * kMaxKey], key.data(), key.size())) {
        return &entry.value;
      }
      slot = (slot + 1) & (kSlots - 1);
    }
  }

  // Stores `value` for `key` (fits(key.size()), not present).
  void insert(ByteSpan key, const Value& value) {
    if (used_ == kEntries) clear();
    std::size_t slot = hash(key) & (kSlots - 1);
    while (slots_[slot].generation == generation_) slot = (slot + 1) & (kSlots - 1);
    const auto index = static_cast<std::uint16_t>(used_++);
    if (!key.empty()) std::memcpy(&keys_[std::size_t{index} * kMaxKey], key.data(), key.size());
    entries_[index] = Entry{value, static_cast<std::uint8_t>(key.size())};
    slots_[slot] = Slot{generation_, index};
  }

  void clear() {
    used_ = 0;
    if (++generation_ == 0) {  // a wrapped counter would revive stale slots
      for (Slot& slot : slots_) slot = Slot{};
      generation_ = 1;
    }
  }

 private:
  // Twice the entries: probe runs stay short at any fill.
  static constexpr std::size_t kSlots = 2 * kEntries;
  static_assert(kMaxKey <= 255 && kEntries <= 65536 && (kSlots & (kSlots - 1)) == 0);

  struct Entry {
    Value value{};
    std::uint8_t size = 0;
  };
  struct Slot {
    std::uint32_t generation = 0;
    std::uint16_t entry = 0;
  };

  static std::size_t hash(ByteSpan key) {
    std::uint64_t h = 0x9E3779B97F4A7C15ULL ^ key.size();
    std::size_t i = 0;
    for (; i + 8 <= key.size(); i += 8) {
      std::uint64_t word;
      std::memcpy(&word, key.data() + i, 8);
      h = (h ^ word) * 0xFF51AFD7ED558CCDULL;
      h ^= h >> 32;
    }
    if (i < key.size()) {
      std::uint64_t word = 0;
      std::memcpy(&word, key.data() + i, key.size() - i);
      h = (h ^ word) * 0xC4CEB9FE1A85EC53ULL;
      h ^= h >> 29;
    }
    return static_cast<std::size_t>(h ^ (h >> 17));
  }

  std::vector<std::uint8_t> keys_;
  std::vector<Entry> entries_;
  std::vector<Slot> slots_;
  std::size_t used_ = 0;
  std::uint32_t generation_ = 1;
};

// Whether the table pays for itself: a column whose text differs in nearly
// every packet skips it for a while, then tries again (the data may change).
class ReuseMeter {
 public:
  bool active() const { return pause_ == 0; }
  // Called once per packet.
  void count(bool hit) {
    if (pause_ != 0) {
      --pause_;
      return;
    }
    hits_ += hit;
    if (++seen_ == kWindow) {
      if (hits_ < kWindow / 8) pause_ = kPause;
      seen_ = hits_ = 0;
    }
  }

 private:
  static constexpr std::uint32_t kWindow = 1024;
  static constexpr std::uint32_t kPause = 15 * 1024;
  std::uint32_t seen_ = 0, hits_ = 0, pause_ = 0;
};

// A column of UTF-8 text: the offsets (Offset: int32_t or int64_t) of
// length + 1 positions into one data buffer.
struct Utf8Column {
  AlignedBuffer offsets;
  AlignedBuffer data;
  std::size_t length = 0;
  bool wide_offsets = false;  // int64 offsets
  bool ascii = true;          // every value is ASCII
  std::size_t longest = 0;    // bytes of the longest value

  std::string_view value(std::size_t i) const {
    std::uint64_t begin, end;
    if (wide_offsets) {
      const auto* o = reinterpret_cast<const std::int64_t*>(offsets.data());
      begin = static_cast<std::uint64_t>(o[i]);
      end = static_cast<std::uint64_t>(o[i + 1]);
    } else {
      const auto* o = reinterpret_cast<const std::int32_t*>(offsets.data());
      begin = static_cast<std::uint64_t>(o[i]);
      end = static_cast<std::uint64_t>(o[i + 1]);
    }
    return {reinterpret_cast<const char*>(data.data()) + begin,
            static_cast<std::size_t>(end - begin)};
  }
};

// Decodes the text field `field` of packets [0, limit) into `out` as UTF-8,
// through the field's own decoder, so every value is the text the decoder
// gives. `field_bit(i)` gives the absolute bit where packet i's field
// starts, or nullopt when the packet does not hold it. A buffer that is not
// `immutable` is read once per field, into a private copy that the decoder
// works on. With `mask` empty it stops at the first failure and returns it;
// otherwise it sets mask[i] for every packet that fails, stores an empty
// value there, and goes on.
using FieldBitOf = std::function<std::optional<std::uint64_t>(std::size_t packet)>;
std::optional<ColumnFailure> decode_utf8_column_at(ByteSpan buffer, bool immutable,
                                                   std::size_t limit, const PlannedField& field,
                                                   const FieldBitOf& field_bit, Utf8Column& out,
                                                   std::span<std::uint8_t> mask);
// The same for a field at a fixed place (fixed_field_bit), its place found
// inline rather than through a call per packet.
std::optional<ColumnFailure> decode_utf8_column_fixed(ByteSpan buffer, bool immutable,
                                                      const PacketStarts& starts, std::size_t limit,
                                                      const PlannedField& field, Utf8Column& out,
                                                      std::span<std::uint8_t> mask);

// The bytes each packet's field occupies once its byte order is undone, as
// the field's decoder receives them: `width` = (bits + 7) / 8 bytes per
// packet into `out`, read once, at the places `field_bit` gives. A packet
// that does not hold the field fails as above (zeros stored under a mask).
std::optional<ColumnFailure> copy_field_bytes_at(ByteSpan buffer, std::size_t limit,
                                                 const PlannedField& field,
                                                 const FieldBitOf& field_bit, std::uint8_t* out,
                                                 std::span<std::uint8_t> mask);

}  // namespace vantrel
