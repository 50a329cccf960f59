// Packets of a shaped plan decoded into flat buffers: each packet's variable
// part placed, the values of a counted array and of the fields after it,
// failures masked, engineering values converted block by block; and the
// Arrow list export over such buffers, whose child a consumer may keep
// alone. (The Python tests compare every column and
// error against the numpy path.)
#include "columns/plan_decode.hpp"

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "columns/arrow_export.hpp"
#include "common/format.hpp"
#include "common/text_kernels.hpp"
#include "conversions/converted_blocks.hpp"
#include "expect.hpp"

namespace {

using namespace vantrel;

using testing::expect;

FieldSpec spec(const char* encoding, std::uint32_t bits) {
  return FieldSpec{find_encoding(encoding), bits, std::nullopt, false, false};
}

// n (8 bits), then n values of 16 bits, then an 8-bit field and a 16-bit
// text after them.
Plan counted_plan() {
  FieldShape counted;
  counted.kind = CountKind::Counted;
  counted.count_item = 0;
  const std::vector<ShapedField> fields = {
      {spec("unsigned", 8), {}},
      {spec("unsigned", 16), counted},
      {spec("unsigned", 8), {}},
      {spec("us_ascii", 16), {}},
  };
  return *Plan::build(fields);
}

// Three packets: two values, none, and a count of 5 that the packet cannot
// hold.
const std::vector<std::uint8_t> kBuffer = {2, 0, 1,   0,   2, 9, 'a', 'b',  // packet 0
                                           0, 7, 'c', 'd',                  // packet 1
                                           5, 1, 2};                        // packet 2
const std::int64_t kOffsets[] = {0, 8, 12};
const std::uint64_t kEnds[] = {8, 12, 15};

PacketStarts starts_of(std::size_t count) {
  PacketStarts starts;
  starts.offsets = kOffsets;
  starts.count = count;
  starts.ends = kEnds;
  return starts;
}

struct Decoded {
  PacketGeometry geometry;
  std::optional<PacketFailure> first;
  std::size_t placed = 0;
  std::vector<std::int64_t> offsets;
  std::vector<std::uint8_t> counts, after;
  std::vector<std::uint16_t> values;
  std::vector<std::vector<std::uint8_t>> masks;
  Utf8Column text;
};

Decoded decode(const PacketStarts& starts, bool masking) {
  const Plan plan = counted_plan();
  const ByteSpan buffer(kBuffer.data(), kBuffer.size());
  const std::size_t n = starts.count;
  Decoded d;
  d.placed = measure_packets(plan, buffer, starts, masking, d.geometry, d.first);
  d.offsets.resize(n + 1);
  fill_entry_offsets(d.geometry, 1, d.placed, d.offsets);
  d.counts.assign(n, 0xEE);
  d.after.assign(n, 0xEE);
  d.values.assign(static_cast<std::size_t>(d.offsets[n]), 0xEEEE);
  d.masks.assign(4, std::vector<std::uint8_t>(masking ? n : 0, 0));
  const std::vector<FieldTarget> targets = {
      {d.counts.data(), nullptr, 1, d.masks[0], {}},
      {reinterpret_cast<std::uint8_t*>(d.values.data()), d.offsets.data(), 2, d.masks[1], {}},
      {d.after.data(), nullptr, 1, d.masks[2], {}},
      {},
  };
  decode_numeric_fields(plan, buffer, starts, d.geometry, d.placed, masking, targets, d.first);
  decode_text_field(plan, buffer, true, starts, d.geometry, d.placed, 3, d.text, d.masks[3],
                    d.first);
  return d;
}

void masked_packets() {
  const Decoded d = decode(starts_of(3), true);
  expect(d.placed == 3 && !d.first, "masking places every packet and notes nothing");
  expect(d.offsets == std::vector<std::int64_t>{0, 2, 2, 2}, "entry offsets");
  expect(d.values == std::vector<std::uint16_t>{1, 2}, "the counted values");
  expect(d.counts == std::vector<std::uint8_t>{2, 0, 5}, "the count field");
  expect(d.after[0] == 9 && d.after[1] == 7 && d.after[2] == 0, "the field after the array");
  expect(d.masks[0] == std::vector<std::uint8_t>{0, 0, 0}, "the count field holds");
  expect(d.masks[1] == std::vector<std::uint8_t>{0, 0, 1}, "the failed array is masked");
  expect(d.masks[2] == std::vector<std::uint8_t>{0, 0, 1}, "so is the field after it");
  expect(d.masks[3] == std::vector<std::uint8_t>{0, 0, 1}, "and the text after it");
  expect(d.text.length == 3 && d.text.value(0) == "ab" && d.text.value(1) == "cd" &&
             d.text.value(2).empty(),
         "the text after the array");
}

void list_exports() {
  auto column = std::make_shared<ArrowColumnData>();
  column->type = ColumnType::U16;
  column->length = 3;
  column->set_variable_lists();
  column->list_offsets.resize(4 * sizeof(std::int64_t));
  const std::int64_t offsets[] = {0, 2, 2, 3};
  std::memcpy(column->list_offsets.data(), offsets, sizeof offsets);
  column->values.resize(3 * sizeof(std::uint16_t));
  const std::uint8_t mask[] = {0, 1, 0};
  column->set_nulls(mask);
  expect(std::string(column->format()) == "+L" && column->values_length() == 3, "large list");

  ArrowSchema schema{};
  export_column_schema(*column, &schema);
  expect(schema.n_children == 1 && std::string(schema.children[0]->format) == "S" &&
             std::string(schema.children[0]->name) == "item",
         "the list's child is the values");
  schema.release(&schema);

  ArrowArray array{};
  export_column_array(column, &array);
  expect(
      array.length == 3 && array.null_count == 1 && array.n_buffers == 2 && array.n_children == 1,
      "the list array");
  expect(array.buffers[1] == column->list_offsets.data() && array.buffers[0] != nullptr,
         "offsets and validity shared");
  const ArrowArray* child = array.children[0];
  expect(child->length == 3 && child->null_count == 0 && child->buffers[1] == column->values.data(),
         "the child shares the values");
  // A consumer may move the child out and keep it after the parent is gone.
  ArrowArray moved = *array.children[0];
  array.children[0]->release = nullptr;
  array.release(&array);
  expect(column.use_count() == 2, "the moved child still holds the columns");
  moved.release(&moved);
  expect(column.use_count() == 1, "releasing both frees every reference");

  ArrowColumnData fixed;
  fixed.type = ColumnType::I8;
  fixed.length = 2;
  fixed.set_fixed_lists(4);
  expect(std::string(fixed.format()) == "+w:4" && fixed.values_length() == 8, "fixed-size list");
}

// id (8 bits), a rest-of-packet array of 16-bit values, then its trailer:
// status (8 bits) and crc (16 bits), placed from each packet's end.
void trailer_after_a_rest_array() {
  FieldShape rest;
  rest.kind = CountKind::Rest;
  const std::vector<ShapedField> fields = {
      {spec("unsigned", 8), {}},
      {spec("unsigned", 16), rest},
      {spec("unsigned", 8), {}},
      {spec("unsigned", 16), {}},
  };
  const auto plan = Plan::build(fields);
  expect(plan && plan->trailer_bits(0) == 24, "the trailer needs 24 bits");
  if (!plan) return;
  // Two values; none, with a stray byte before the trailer; too short.
  const std::vector<std::uint8_t> buffer = {1, 0,    5, 0,    6,    7, 0xBE, 0xEF,  // packet 0
                                            2, 0xAA, 3, 0x12, 0x34,                 // packet 1
                                            9, 1};                                  // packet 2
  const std::int64_t offsets[] = {0, 8, 13};
  const std::uint64_t ends[] = {8, 13, 15};
  PacketStarts starts;
  starts.offsets = offsets;
  starts.count = 3;
  starts.ends = ends;
  PacketGeometry geometry;
  std::optional<PacketFailure> first;
  const ByteSpan bytes(buffer.data(), buffer.size());
  const std::size_t placed = measure_packets(*plan, bytes, starts, true, geometry, first);
  expect(placed == 3 && !first, "masking places every packet");
  expect(geometry.count(0, 0) == 2 && geometry.count(1, 0) == 0, "the arrays' lengths");
  expect(geometry.base(0, 1) == 40 && geometry.base(1, 1) == 16, "trailers end with the packet");
  expect(geometry.base(2, 1) == Plan::kUnplaced, "a packet too short for the trailer");
  std::vector<std::uint8_t> status(3, 0xEE);
  std::vector<std::uint16_t> crc(3, 0xEEEE);
  std::vector<std::vector<std::uint8_t>> masks(4, std::vector<std::uint8_t>(3, 0));
  const std::vector<FieldTarget> targets = {
      {},
      {},
      {status.data(), nullptr, 1, masks[2], {}},
      {reinterpret_cast<std::uint8_t*>(crc.data()), nullptr, 2, masks[3], {}},
  };
  decode_numeric_fields(*plan, bytes, starts, geometry, placed, true, targets, first);
  expect(status[0] == 7 && status[1] == 3, "status from the packet's end");
  expect(crc[0] == 0xBEEF && crc[1] == 0x1234, "crc from the packet's end");
  expect(masks[2][2] == 1 && masks[3][2] == 1, "the short packet's trailer is masked");
}

// Many packets of the counted plan, each with 0 to 6 values (and the
// occasional count its packet cannot hold), one after another.
struct Archive {
  std::vector<std::uint8_t> bytes;
  std::vector<std::int64_t> offsets;
  std::vector<std::uint64_t> ends;
};

Archive counted_archive(std::size_t packets) {
  Archive archive;
  std::uint32_t state = 12345;
  const auto next = [&state] { return state = state * 1103515245u + 12345u, state >> 16; };
  for (std::size_t i = 0; i < packets; ++i) {
    archive.offsets.push_back(static_cast<std::int64_t>(archive.bytes.size()));
    const std::uint8_t count = static_cast<std::uint8_t>(next() % 7);
    const bool short_packet = next() % 50 == 0;
    archive.bytes.push_back(short_packet ? 40 : count);
    for (std::uint8_t k = 0; k < count; ++k) {
      const std::uint32_t value = next() % 300;  // above 255: outside the table below
      archive.bytes.push_back(static_cast<std::uint8_t>(value >> 8));
      archive.bytes.push_back(static_cast<std::uint8_t>(value));
    }
    archive.bytes.push_back(static_cast<std::uint8_t>(next()));
    archive.bytes.push_back('x');
    archive.bytes.push_back('y');
    archive.ends.push_back(archive.bytes.size());
  }
  return archive;
}

// The engineering values of a converted target, decoded and converted block
// by block, are those of the raw column converted afterwards as a whole:
// values and masks, or (errors="raise") the first failure.
void converted_targets_match_a_second_pass() {
  const Plan plan = counted_plan();
  const Archive archive = counted_archive(3000);
  const ByteSpan buffer(archive.bytes.data(), archive.bytes.size());
  PacketStarts starts;
  starts.offsets = archive.offsets.data();
  starts.ends = archive.ends.data();
  starts.count = archive.offsets.size();
  const std::size_t n = starts.count;
  Conversion table;
  table.kind = ConversionKind::Table;
  table.table_raw = {0, 100, 255};
  table.table_values = {-1.0, 20.0, 30.0};
  Conversion linear;
  linear.kind = ConversionKind::Linear;
  linear.coefficients = {-5.0, 0.25};
  for (const bool avx2 : {false, true}) {
    kernels::use_avx2(avx2);
    for (const Conversion* conversion : {&table, &linear}) {
      for (const bool masking : {true, false}) {
        PacketGeometry geometry;
        std::optional<PacketFailure> first, second_first;
        const std::size_t placed = measure_packets(plan, buffer, starts, masking, geometry, first);
        second_first = first;
        std::vector<std::int64_t> offsets(n + 1);
        fill_entry_offsets(geometry, 1, placed, offsets);
        const auto total = static_cast<std::size_t>(offsets[n]);
        std::vector<std::uint8_t> mask(masking ? n : 0, 0), raw_mask = mask;
        std::vector<double> converted(total, -99.0), expected(total, -99.0);
        std::vector<std::uint16_t> raw(total, 0);
        // Values of field 1 only; the others are not decoded.
        std::vector<FieldTarget> targets(4);
        const BlockDecoder decoder =
            converted_block_decoder(plan, buffer, starts, geometry, 1,
                                    {conversion, reinterpret_cast<std::uint8_t*>(converted.data()),
                                     offsets.data(), mask, nullptr, nullptr});
        targets[1].decode_block = &decoder;
        decode_numeric_fields(plan, buffer, starts, geometry, placed, masking, targets, first);
        targets[1] = {reinterpret_cast<std::uint8_t*>(raw.data()), offsets.data(), 2, raw_mask, {}};
        decode_numeric_fields(plan, buffer, starts, geometry, placed, masking, targets,
                              second_first);
        const std::size_t limit =
            second_first && !masking ? std::min(placed, second_first->packet + 1) : placed;
        if (auto failure = convert_packet_elements(*conversion, ColumnType::U16, raw.data(), n,
                                                   limit, ElementRanges{offsets.data(), 1, 0},
                                                   expected.data(), raw_mask)) {
          note_packet_failure(second_first, failure->packet, 1, failure->error);
        }
        const std::string where =
            concat(conversion == &table ? "table" : "linear", masking ? ", masked" : ", raising",
                   avx2 && kernels::avx2_in_use() ? " (AVX2)" : "");
        expect(first.has_value() == second_first.has_value() &&
                   (!first ||
                    (first->packet == second_first->packet && first->item == second_first->item)),
               concat("the same first failure: ", where));
        if (!masking) continue;
        expect(mask == raw_mask, concat("the same masks: ", where));
        expect(std::count(mask.begin(), mask.end(), 1) > 20, concat("packets fail: ", where));
        expect(converted == expected, concat("the same values: ", where));
      }
    }
  }
  kernels::use_avx2(true);
}

}  // namespace

int main() {
  masked_packets();
  list_exports();
  trailer_after_a_rest_array();
  converted_targets_match_a_second_pass();
  return testing::report("shaped decode");
}
