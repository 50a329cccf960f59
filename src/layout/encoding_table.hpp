// The encoding names a recipe item may use: one row per encoding, saying
// what the packer converts the item's value to, how the value becomes field
// content, and how a field read from a packet becomes a value again.
#pragma once

#include <cstdint>
#include <span>
#include <string>
#include <string_view>
#include <variant>

#include "common/error.hpp"
#include "common/sinks.hpp"
#include "common/text_view.hpp"
#include "common/types.hpp"

namespace vantrel {

// What the packer converts an item's `value` to; NotPackable rows are names
// that only the unpacker knows.
enum class ValueKind : std::uint8_t { NotPackable, Unsigned, Signed, Real32, Real64, Text };

// An item's value after conversion; the row's ValueKind says which field holds it.
struct PackInput {
  std::uint64_t unsigned_value = 0;
  std::int64_t signed_value = 0;
  float real32 = 0;
  double real64 = 0;
  TextView text;  // the str's own storage, valid while the value lives
};

// What a value turns into before it is placed: a right-aligned numeric
// pattern, text bytes the encoder made, or the bytes of ASCII text itself.
using FieldContent = std::variant<std::uint64_t, std::string, ByteSpan>;

// A field read from a packet: the pattern folded from its bytes (after byte
// order and mirroring), its width, and all of its bytes for text decoders.
struct FieldInput {
  std::uint64_t pattern = 0;
  std::uint32_t bits = 0;
  ByteSpan bytes;
};

// A decoded value; TextWritten says the value is text, written to the sink.
struct TextWritten {};
using FieldValue = std::variant<std::uint64_t, std::int64_t, double, TextWritten>;

// How a column of many packets decodes this encoding: a kernel written out
// for the common encodings, the row's decoder for the rest.
enum class ColumnKernel : std::uint8_t {
  RowDecoder,
  Unsigned,
  TwosComplement,
  Binary16,
  Binary32,
  Binary64
};

struct EncodingRow {
  std::string_view name;
  ValueKind value_kind;
  // Numeric rows make a right-aligned pattern, text rows their bytes; rows
  // that only decode have neither.
  Result<std::uint64_t> (*encode_pattern)(const PackInput& input, std::uint32_t bits);
  Result<FieldContent> (*encode_text)(const PackInput& input, std::uint32_t bits);
  Result<FieldValue> (*decode)(const FieldInput& field, TextSink& text);
  ColumnKernel column_kernel = ColumnKernel::RowDecoder;
  // Text rows whose decoder turns ASCII bytes into the same characters:
  // an all-ASCII field is its own UTF-8, and columns copy it as it is.
  bool ascii_is_itself = false;

  // Either encoder's result as field content (a packable row only).
  Result<FieldContent> encode(const PackInput& input, std::uint32_t bits) const {
    if (encode_pattern == nullptr) return encode_text(input, bits);
    const Result<std::uint64_t> pattern = encode_pattern(input, bits);
    if (!pattern) return std::unexpected(pattern.error());
    return FieldContent{*pattern};
  }
};

// Every row, in table order.
std::span<const EncodingRow> encoding_rows();

// Finds the row for an encoding name that is already lower-case, or whose
// only upper-case letters are ASCII (they are folded here, without
// allocating). Returns nullptr for an unknown name.
const EncodingRow* find_encoding(std::string_view name);

// True when `text`, with ASCII letters folded to lower case, equals `lower`.
bool equals_ascii_lowercase(std::string_view text, std::string_view lower);

inline bool is_ascii(std::string_view text) {
  for (const char c : text) {
    if (static_cast<unsigned char>(c) >= 0x80) return false;
  }
  return true;
}

}  // namespace vantrel
