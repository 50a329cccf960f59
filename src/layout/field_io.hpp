// Placing one field into a packet and reading one back, from a plain field
// description. Both packet functions and compiled layouts go through these,
// so a field is written and read in one place.
#pragma once

#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <vector>

#include "common/bits.hpp"
#include "common/packet_bits.hpp"
#include "common/types.hpp"
#include "layout/encoding_table.hpp"

namespace vantrel {

// How a layout's text field is padded to its width: with NULs or spaces,
// after the text (trailing) or before it (leading). Reading strips that
// character from that side of the decoded text; packing fills the field
// with it. The packet functions know no padding (None).
enum class TextPad : std::uint8_t { None, TrailingNul, TrailingSpace, LeadingNul, LeadingSpace };

// The pad's character, a code point that is also its one UTF-8 byte.
inline char32_t pad_character(TextPad pad) {
  return pad == TextPad::TrailingSpace || pad == TextPad::LeadingSpace ? U' ' : U'\0';
}
inline bool pad_leads(TextPad pad) {
  return pad == TextPad::LeadingNul || pad == TextPad::LeadingSpace;
}

// One recipe item, resolved: which encoding, how wide, where (an absolute
// offset or "follows the previous field"), byte order and bit mirroring.
struct FieldSpec {
  const EncodingRow* row = nullptr;  // nullptr: a name no row has
  std::uint32_t bits = 0;
  std::optional<std::uint64_t> offset;
  bool little_endian = false;
  bool reverse_bits = false;
  TextPad pad = TextPad::None;  // text fields of layouts only
  // A layout's raw twin of field `twin_of` ("keep_raw"): read at that
  // field's place, with its shape, and never packed. Twins follow every
  // field of the recipe, so the recipe's items keep their numbers.
  bool twin = false;
  std::uint32_t twin_of = 0;

  bool is_text() const { return row != nullptr && row->value_kind == ValueKind::Text; }
};

// Room for the bytes of a field that cannot be borrowed from the packet:
// inline for the usual short fields, so that reading one allocates nothing.
class FieldScratch {
 public:
  std::uint8_t* room(std::size_t size) {
    if (size <= sizeof(inline_)) return inline_;
    heap_.resize(size);
    return heap_.data();
  }

 private:
  std::uint8_t inline_[32];
  std::vector<std::uint8_t> heap_;
};

// The packet bytes a field at `position` of `bits` bits occupies: from
// position / 8 up to the byte that holds its last bit (a zero-width field
// occupies nothing at position / 8). Returns the message of the slice
// fault when the packet of `packet_size` bytes does not hold them.
std::optional<std::string> field_outside_packet(std::uint64_t position, std::uint32_t bits,
                                                std::uint64_t packet_size);

// The field's input for its decoder: the pattern (byte order undone, then
// mirrored or limited to the width) for numeric encodings, the right-aligned
// field bytes for text. Text bytes are borrowed from the packet when the
// field is byte-aligned big-endian and `borrow_text` allows it, else built in
// `scratch`. Memory that another thread or process may write while the text
// is decoded must not be borrowed: decoders measure the text, then fill the
// result in a second pass, and both passes must see the same bytes. The
// caller has checked the bounds.
FieldInput read_field_input(ByteSpan packet, std::uint64_t position, const FieldSpec& field,
                            FieldScratch& scratch, bool borrow_text = true);

// Writes encoded content at `position`: a numeric pattern mirrored and
// byte-ordered as the field asks, or text bytes right-aligned in the field
// (NUL bytes in front when shorter, the tail kept when longer). Every field
// bit is set or cleared; bits past the packet's end are dropped.
void place_field(std::span<std::uint8_t> packet, std::uint64_t position, const FieldSpec& field,
                 const FieldContent& content);

// The numeric case of place_field.
void place_wide_pattern(std::span<std::uint8_t> packet, std::uint64_t position,
                        const FieldSpec& field, std::uint64_t pattern);
inline void place_pattern(std::span<std::uint8_t> packet, std::uint64_t position,
                          const FieldSpec& field, std::uint64_t pattern) {
  const std::uint32_t bits = field.bits;
  if (bits > 64) {
    place_wide_pattern(packet, position, field, pattern);
    return;
  }
  if (field.reverse_bits) pattern = mirror_low_bits(pattern, bits);
  if (field.little_endian) pattern = reverse_low_bytes(pattern, (bits + 7) / 8);
  write_field(packet.data(), packet.size(), position, pattern & low_mask(bits), bits);
}

}  // namespace vantrel
