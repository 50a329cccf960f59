#include "columns/text_columns.hpp"

#include <algorithm>
#include <cstring>
#include <limits>
#include <type_traits>

#include "common/sinks.hpp"
#include "layout/field_io.hpp"

namespace vantrel {

namespace {

// Appends a decoder's text to a UTF-8 data buffer. ASCII text (the common
// case, and every value that only needs one-byte units below 0x80) is
// written by the decoder straight into the buffer; wider text goes through
// a unit scratch, then is encoded as UTF-8.
class Utf8Appender final : public TextSink {
 public:
  explicit Utf8Appender(AlignedBuffer& data) : data_(data) {}

  void begin() {
    length_ = 0;
    largest_ = 0;
  }

  void* allocate(std::size_t length, char32_t max_code_point) override {
    length_ = length;
    largest_ = max_code_point;
    if (max_code_point < 0x80) return data_.extend(length);
    const std::size_t unit = max_code_point < 0x100 ? 1 : max_code_point < 0x10000 ? 2 : 4;
    units_.resize(length * unit);
    return units_.data();
  }

  // Completes the value once the decoder succeeded; false when the value
  // holds a non-ASCII code point.
  bool finish() {
    if (largest_ < 0x80) return true;
    if (largest_ < 0x100) {
      encode(reinterpret_cast<const std::uint8_t*>(units_.data()));
    } else if (largest_ < 0x10000) {
      encode(reinterpret_cast<const char16_t*>(units_.data()));
    } else {
      encode(reinterpret_cast<const char32_t*>(units_.data()));
    }
    return false;
  }

 private:
  template <class Unit>
  void encode(const Unit* units) {
    std::size_t size = 0;
    for (std::size_t i = 0; i < length_; ++i) {
      const char32_t c = units[i];
      size += c < 0x80 ? 1 : c < 0x800 ? 2 : c < 0x10000 ? 3 : 4;
    }
    std::uint8_t* out = data_.extend(size);
    for (std::size_t i = 0; i < length_; ++i) {
      const char32_t c = units[i];
      if (c < 0x80) {
        *out++ = static_cast<std::uint8_t>(c);
      } else if (c < 0x800) {
        *out++ = static_cast<std::uint8_t>(0xC0 | (c >> 6));
        *out++ = static_cast<std::uint8_t>(0x80 | (c & 0x3F));
      } else if (c < 0x10000) {
        *out++ = static_cast<std::uint8_t>(0xE0 | (c >> 12));
        *out++ = static_cast<std::uint8_t>(0x80 | ((c >> 6) & 0x3F));
        *out++ = static_cast<std::uint8_t>(0x80 | (c & 0x3F));
      } else {
        *out++ = static_cast<std::uint8_t>(0xF0 | (c >> 18));
        *out++ = static_cast<std::uint8_t>(0x80 | ((c >> 12) & 0x3F));
        *out++ = static_cast<std::uint8_t>(0x80 | ((c >> 6) & 0x3F));
        *out++ = static_cast<std::uint8_t>(0x80 | (c & 0x3F));
      }
    }
  }

  AlignedBuffer& data_;
  std::vector<char32_t> units_;  // any unit size fits its alignment
  std::size_t length_ = 0;
  char32_t largest_ = 0;
};

// Drops the padding of the UTF-8 value data[mark, size()): the pad's byte
// stands for its character alone in UTF-8.
void strip_padding(AlignedBuffer& data, std::size_t mark, TextPad pad) {
  const auto padding = static_cast<std::uint8_t>(pad_character(pad));
  std::uint8_t* const value = data.data() + mark;
  std::size_t size = data.size() - mark;
  if (pad_leads(pad)) {
    std::size_t lead = 0;
    while (lead < size && value[lead] == padding) ++lead;
    if (lead == 0) return;
    std::memmove(value, value + lead, size - lead);
    size -= lead;
  } else {
    while (size > 0 && value[size - 1] == padding) --size;
  }
  data.shrink(mark + size);
}

bool all_ascii(ByteSpan bytes) {
  std::uint64_t high = 0;
  std::size_t i = 0;
  for (; i + 8 <= bytes.size(); i += 8) {
    std::uint64_t word;
    std::memcpy(&word, bytes.data() + i, 8);
    high |= word;
  }
  for (; i < bytes.size(); ++i) high |= bytes[i];
  return (high & 0x8080808080808080u) == 0;
}

// Where a value already in the data buffer lies.
struct StoredText {
  std::uint64_t offset = 0;
  std::uint64_t size = 0;
};

// `field_bit(i)`: the absolute bit of packet i's field, or nullopt when the
// packet does not hold it.
template <class Offset, class FieldBit>
std::optional<ColumnFailure> decode_utf8_into(ByteSpan buffer, bool immutable, std::size_t limit,
                                              const PlannedField& field, FieldBit&& field_bit,
                                              Utf8Column& out, std::span<std::uint8_t> mask) {
  const std::size_t width = (std::size_t{field.spec.bits} + 7) / 8;
  out.offsets.resize((limit + 1) * sizeof(Offset));
  auto* const offsets = reinterpret_cast<Offset*>(out.offsets.data());
  AlignedBuffer& data = out.data;
  data.resize(0);
  data.reserve(limit * width);  // exact for ASCII text
  offsets[0] = 0;
  FieldScratch scratch;
  Utf8Appender appender(data);
  RecentValues<StoredText> recent;
  ReuseMeter meter;
  const bool copies_ascii = field.spec.row->ascii_is_itself;
  // Whole bytes in stored order: an ASCII value is its own field bytes.
  const bool bytes_in_place = copies_ascii && field.spec.bits % 8 == 0 &&
                              !field.spec.little_endian && !field.spec.reverse_bits;
  std::size_t i = 0;
  // Under a mask a failed packet holds an empty value and the column goes on.
  const auto fail = [&]() -> bool {
    if (mask.empty()) return false;
    mask[i] = 1;
    offsets[i + 1] = static_cast<Offset>(data.size());
    return true;
  };
  if (bytes_in_place && width != 0 && field.spec.pad == TextPad::None) {
    // While every value is ASCII, the column is the fields' bytes end to
    // end: each copied, checked in the copy, and its end known.
    data.resize(limit * width);
    std::uint8_t* const values = data.data();
    for (; i < limit; ++i) {
      // The column is decoded after the numeric ones, in a pass of its own:
      // packets of one type lie apart in a mixed stream, where the
      // processor does not fetch ahead by itself. (Fields at a fixed place
      // only: a moving field's place costs a call.)
      if constexpr (!std::is_same_v<std::decay_t<FieldBit>, FieldBitOf>) {
        if (i + 16 < limit) {
          if (const std::optional<std::uint64_t> ahead = field_bit(i + 16)) {
            __builtin_prefetch(buffer.data() + *ahead / 8);
          }
        }
      }
      const std::optional<std::uint64_t> bit = field_bit(i);
      if (!bit || *bit % 8 != 0) break;
      std::uint8_t* const copy = values + i * width;
      copy_bytes(copy, buffer.data() + *bit / 8, width);
      if (!all_ascii(ByteSpan(copy, width))) break;
      offsets[i + 1] = static_cast<Offset>((i + 1) * width);
    }
    data.resize(i * width);
    if (i != 0) out.longest = width;
  }
  // Ends the value that starts at `mark`, its padding stripped: the data's new end.
  const auto end_value = [&](std::size_t mark) -> std::size_t {
    if (field.spec.pad != TextPad::None) strip_padding(data, mark, field.spec.pad);
    return data.size();
  };
  for (; i < limit; ++i) {
    const std::optional<std::uint64_t> bit = field_bit(i);
    if (!bit) {
      if (!fail()) return ColumnFailure{i, std::nullopt};
      continue;
    }
    const std::size_t start = data.size();
    if (bytes_in_place && *bit % 8 == 0) {
      // Copied first and checked in the copy, so that bytes changing
      // meanwhile cannot make the value anything but its copy.
      std::uint8_t* copy = data.extend(width);
      copy_bytes(copy, buffer.data() + *bit / 8, width);
      if (all_ascii(ByteSpan(copy, width))) [[likely]] {
        out.longest = std::max(out.longest, width);
        offsets[i + 1] = static_cast<Offset>(end_value(start));
        continue;
      }
      data.shrink(data.size() - width);
    }
    // Bytes that may change meanwhile are copied once; everything below
    // reads the copy.
    const FieldInput input = read_field_input(buffer, *bit, field.spec, scratch, immutable);
    if (copies_ascii && all_ascii(input.bytes)) {
      std::uint8_t* copy = data.extend(input.bytes.size());
      copy_bytes(copy, input.bytes.data(), input.bytes.size());
      out.longest = std::max(out.longest, input.bytes.size());
      offsets[i + 1] = static_cast<Offset>(end_value(start));
      continue;
    }
    const bool reuse = meter.active() && RecentValues<StoredText>::fits(input.bytes.size());
    if (reuse) {
      if (const StoredText* seen = recent.find(input.bytes)) {
        std::uint8_t* copy = data.extend(seen->size);
        copy_bytes(copy, data.data() + seen->offset, seen->size);
        offsets[i + 1] = static_cast<Offset>(data.size());
        meter.count(true);
        continue;
      }
    }
    const std::size_t mark = data.size();
    appender.begin();
    const Result<FieldValue> decoded = field.spec.row->decode(input, appender);
    if (!decoded) {
      data.shrink(mark);
      if (!fail()) return ColumnFailure{i, decoded.error()};
      continue;
    }
    out.ascii &= appender.finish();
    const std::size_t size = end_value(mark) - mark;
    out.longest = std::max(out.longest, size);
    if (reuse) recent.insert(input.bytes, StoredText{mark, size});
    meter.count(false);
    offsets[i + 1] = static_cast<Offset>(data.size());
  }
  return std::nullopt;
}

// No text encoding yields more than three UTF-8 bytes per field byte
// (Windows-1252's 0x80 is U+20AC): 32-bit offsets when they surely do.
template <class FieldBit>
std::optional<ColumnFailure> decode_utf8(ByteSpan buffer, bool immutable, std::size_t limit,
                                         const PlannedField& field, FieldBit&& field_bit,
                                         Utf8Column& out, std::span<std::uint8_t> mask) {
  const std::uint64_t width = (std::uint64_t{field.spec.bits} + 7) / 8;
  const bool wide =
      width != 0 &&
      limit > static_cast<std::uint64_t>(std::numeric_limits<std::int32_t>::max()) / (3 * width);
  out.length = limit;
  out.wide_offsets = wide;
  return wide
             ? decode_utf8_into<std::int64_t>(buffer, immutable, limit, field, field_bit, out, mask)
             : decode_utf8_into<std::int32_t>(buffer, immutable, limit, field, field_bit, out,
                                              mask);
}

}  // namespace

std::optional<ColumnFailure> decode_utf8_column_at(ByteSpan buffer, bool immutable,
                                                   std::size_t limit, const PlannedField& field,
                                                   const FieldBitOf& field_bit, Utf8Column& out,
                                                   std::span<std::uint8_t> mask) {
  return decode_utf8(buffer, immutable, limit, field, field_bit, out, mask);
}

std::optional<ColumnFailure> decode_utf8_column_fixed(ByteSpan buffer, bool immutable,
                                                      const PacketStarts& starts, std::size_t limit,
                                                      const PlannedField& field, Utf8Column& out,
                                                      std::span<std::uint8_t> mask) {
  return decode_utf8(buffer, immutable, limit, field, fixed_field_bit(buffer.size(), starts, field),
                     out, mask);
}

namespace {

template <class FieldBit>
std::optional<ColumnFailure> copy_bytes_at(ByteSpan buffer, std::size_t limit,
                                           const PlannedField& field, const FieldBit& field_bit,
                                           std::uint8_t* out, std::span<std::uint8_t> mask) {
  const std::size_t width = (std::size_t{field.spec.bits} + 7) / 8;
  FieldScratch scratch;
  for (std::size_t i = 0; i < limit; ++i, out += width) {
    const std::optional<std::uint64_t> bit = field_bit(i);
    if (!bit) {
      if (mask.empty()) return ColumnFailure{i, std::nullopt};
      mask[i] = 1;
      if (width != 0) std::memset(out, 0, width);
      continue;
    }
    const FieldInput input =
        read_field_input(buffer, *bit, field.spec, scratch, /*borrow_text=*/true);
    if (width != 0) std::memcpy(out, input.bytes.data(), width);
  }
  return std::nullopt;
}

}  // namespace

std::optional<ColumnFailure> copy_field_bytes_at(ByteSpan buffer, std::size_t limit,
                                                 const PlannedField& field,
                                                 const FieldBitOf& field_bit, std::uint8_t* out,
                                                 std::span<std::uint8_t> mask) {
  return copy_bytes_at(buffer, limit, field, field_bit, out, mask);
}

}  // namespace vantrel
