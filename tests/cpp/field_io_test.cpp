// Field placement and reading against a bit-by-bit model of the packet, and
// the positions and extents a compiled plan derives from its fields.
#include "layout/field_io.hpp"

#include <cstdint>
#include <cstdio>
#include <random>
#include <span>
#include <string>
#include <vector>

#include "common/bits.hpp"
#include "expect.hpp"
#include "layout/plan.hpp"

namespace {

using namespace vantrel;

using testing::expect;

bool bit_at(const std::vector<std::uint8_t>& packet, std::uint64_t k) {
  return (packet[k / 8] >> (7 - k % 8)) & 1;
}

const EncodingRow* row_named(std::string_view name) { return find_encoding(name); }

// The field content as packet bits, computed one bit at a time: the pattern
// mirrored, then its bytes reversed for little-endian.
std::vector<bool> model_bits(std::uint64_t pattern, std::uint32_t bits, bool little, bool mirror) {
  if (mirror) pattern = mirror_low_bits(pattern, bits);
  pattern &= low_mask(bits);
  const std::uint32_t bytes = (bits + 7) / 8;
  std::vector<bool> out(std::size_t{bytes} * 8);
  for (std::uint32_t i = 0; i < bytes * 8; ++i) out[i] = (pattern >> (bytes * 8 - 1 - i)) & 1;
  if (little) {
    std::vector<bool> reversed(out.size());
    for (std::uint32_t b = 0; b < bytes; ++b) {
      for (int i = 0; i < 8; ++i) reversed[b * 8 + i] = out[(bytes - 1 - b) * 8 + i];
    }
    out = reversed;
  }
  return {out.end() - bits, out.end()};  // the field is the last `bits` bits
}

void numeric_round_trips() {
  std::mt19937_64 random(12345);
  const EncodingRow* unsigned_row = row_named("unsigned");
  for (int trial = 0; trial < 200000; ++trial) {
    const std::uint32_t bits = static_cast<std::uint32_t>(random() % 65);
    const std::size_t size = 1 + random() % 24;
    if (std::uint64_t{bits} > size * 8) continue;
    const std::uint64_t position = random() % (size * 8 - bits + 1);
    const bool little = random() & 1;
    const bool mirror = random() & 2;
    // Little-endian fields are whole bytes in practice; odd widths still
    // have to round-trip.
    const std::uint64_t pattern = random() & low_mask(bits);
    std::vector<std::uint8_t> packet(size);
    for (auto& byte : packet) byte = static_cast<std::uint8_t>(random());
    const std::vector<std::uint8_t> before = packet;

    const FieldSpec field{unsigned_row, bits, std::nullopt, little, mirror};
    place_pattern(packet, position, field, pattern);

    const std::vector<bool> expected = model_bits(pattern, bits, little, mirror);
    bool same = true;
    for (std::uint64_t k = 0; k < size * 8; ++k) {
      const bool inside = k >= position && k < position + bits;
      same &= bit_at(packet, k) == (inside ? expected[k - position] : bit_at(before, k));
    }
    expect(same, "placed bits " + std::to_string(bits) + " at " + std::to_string(position));

    FieldScratch scratch;
    const FieldInput input = read_field_input(packet, position, field, scratch);
    if (!little || bits % 8 == 0) {
      expect(input.pattern == pattern, "read back " + std::to_string(bits) + " bits");
    }
  }
}

void text_padding_and_truncation() {
  const EncodingRow* utf8 = row_named("utf8");
  const std::string ab = "AB";
  const FieldContent content = ByteSpan(reinterpret_cast<const std::uint8_t*>(ab.data()), 2);

  // Shorter text, over bits that are already set: NUL bytes in front, every
  // bit around the field kept.
  std::vector<std::uint8_t> packet(6, 0xFF);
  place_field(packet, 3, FieldSpec{utf8, 32, std::nullopt, false, false}, content);
  const std::vector<std::uint8_t> padded = {0xE0, 0x00, 0x08, 0x28, 0x5F, 0xFF};
  expect(packet == padded, "padded text over set bits");

  // Longer text keeps its tail; little-endian reverses the bytes.
  std::vector<std::uint8_t> narrow(2, 0xFF);
  place_field(narrow, 4, FieldSpec{utf8, 8, std::nullopt, false, false}, content);
  expect(narrow == std::vector<std::uint8_t>{0xF4, 0x2F}, "truncated text keeps its tail");
  std::vector<std::uint8_t> reversed(2, 0);
  place_field(reversed, 0, FieldSpec{utf8, 16, std::nullopt, true, false}, content);
  expect(reversed == std::vector<std::uint8_t>{'B', 'A'}, "little-endian text");

  // Fields running past the packet's end are clipped there.
  std::vector<std::uint8_t> clipped(1, 0xFF);
  place_field(clipped, 4, FieldSpec{utf8, 16, std::nullopt, false, false}, content);
  expect(clipped == std::vector<std::uint8_t>{0xF4}, "clipped at the packet's end");
}

void plans() {
  const EncodingRow* row = row_named("unsigned");
  const std::vector<FieldSpec> fields = {
      {row, 8, 100, false, false},            // at 100
      {row, 8, 0, false, false},              // at 0
      {row, 16, std::nullopt, false, false},  // follows the previous field: at 8
      {row, 0, 50, false, false},             // zero width at 50
  };
  const auto plan = Plan::build(fields);
  expect(plan.has_value(), "plan builds");
  if (!plan) return;
  expect(plan->fields()[2].position == 8, "a field without offset follows the previous one");
  expect(plan->size_bits() == 108, "size is the largest end");
  // Packing measures a following field from the largest end so far.
  expect(plan->packed_size_bits() && *plan->packed_size_bits() == 124, "packed size");
  expect(plan->fits(14, 0) && !plan->fits(13, 0), "fits exactly the bytes it needs");
  const auto outside = plan->check_bounds(13, 0);
  expect(!outside && outside.error().item == 0, "the first field outside is named");
  expect(!plan->fits(30, ~std::uint64_t{0} - 50), "positions past 2^64 - 1 do not fit");
  const auto overflow = plan->check_positions(~std::uint64_t{0} - 50);
  expect(!overflow && overflow.error().item == 0 &&
             overflow.error().error.kind == ErrorKind::OverflowError,
         "the first overflowing position is named");

  const std::vector<FieldSpec> zero_width = {{row, 0, 200, false, false}};
  const auto empty_field = Plan::build(zero_width);
  expect(empty_field && empty_field->fits(25, 0) && !empty_field->fits(24, 0) &&
             !empty_field->fits(25, 8),
         "a zero-width field needs only its start byte");

  const std::vector<FieldSpec> too_far = {{row, 8, std::nullopt, false, false},
                                          {row, 16, ~std::uint64_t{0} - 4, false, false}};
  const auto failed = Plan::build(too_far);
  expect(!failed && failed.error().item == 1, "overflow while placing names the item");
}

}  // namespace

int main() {
  numeric_round_trips();
  text_padding_and_truncation();
  plans();
  return testing::report("field placement");
}
