// Compiled layouts over arbitrary recipes and packets: a plan built from
// arbitrary field descriptions (any encoding row, width, offset, byte order
// and mirroring), the one-check-per-packet bounds test against the field by
// field one, every field read from an exact-size packet when the plan says
// it fits (AddressSanitizer sees any byte read beyond it) and decoded by its
// row, and every field placed and read back. Shaped plans (fixed, counted
// and rest-of-packet arrays, fields after them, permuted byte orders): the
// per-packet placing never runs past the packet's end, and every value the
// placing admits is read from an exact-size packet. Conversions: time codes
// read from exact-size packets and, when they decode, written and read back
// to the same nanosecond; calibrations inside a table stay between its
// values; state look-ups agree with a plain search; polynomials and tables
// that pass the invertibility checks invert every raw value they calibrate
// back to one that calibrates as close; converted columns of arbitrary
// buffers (strides or offsets with packet ends, masked or not, state indices
// or state handles) never read outside them, and every entry they give
// equals the one-packet conversion of what the field holds. Packet bounds
// (strides, given lengths, length fields up to 64 bits with adjustments at
// the ends of int64): every end and cut packet equals an exact reference.
#include <algorithm>
#include <bit>
#include <cctype>
#include <cmath>
#include <cstdint>
#include <cstring>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "columns/columns.hpp"
#include "columns/packet_checks.hpp"
#include "common/bits.hpp"
#include "conversions/conversions.hpp"
#include "fuzz_support.hpp"
#include "layout/encoding_table.hpp"
#include "layout/field_io.hpp"
#include "layout/plan.hpp"
#include "layout/time_codes.hpp"
#include "streams/packet_bounds.hpp"

namespace {

using vantrel::FieldSpec;
using vantrel::low_mask;

std::uint32_t fuzzed_width(fuzz::Input& input) {
  const std::uint8_t selector = input.byte();
  if (selector < 220) return selector % 140;
  if (selector < 250) return input.number<std::uint16_t>() % 4096;
  return input.number<std::uint32_t>();
}

std::optional<std::uint64_t> fuzzed_offset(fuzz::Input& input) {
  const std::uint8_t selector = input.byte();
  if (selector < 128) return std::nullopt;  // follows the previous field
  if (selector < 240) return input.number<std::uint16_t>() % 1200;
  return input.number<std::uint64_t>();
}

FieldSpec fuzzed_field(fuzz::Input& input) {
  const auto rows = vantrel::encoding_rows();
  FieldSpec field;
  const std::uint8_t row = input.byte();
  field.row = row < rows.size() ? &rows[row] : &rows[row % rows.size()];
  field.bits = fuzzed_width(input);
  field.offset = fuzzed_offset(input);
  field.little_endian = input.flag();
  field.reverse_bits = input.flag();
  return field;
}

struct ExactPacket {
  explicit ExactPacket(vantrel::ByteSpan contents)
      : size(contents.size()), data(new std::uint8_t[std::max<std::size_t>(size, 1)]) {
    std::copy(contents.begin(), contents.end(), data.get());
  }
  vantrel::ByteSpan span() const { return {data.get(), size}; }
  std::size_t size;
  std::unique_ptr<std::uint8_t[]> data;
};

// Reads and decodes every field of a plan that fits the packet.
void check_reading(const vantrel::Plan& plan, vantrel::ByteSpan contents,
                   std::uint64_t offset_bits) {
  const ExactPacket packet(contents);
  const bool fits = plan.fits(packet.size, offset_bits);
  const bool positions_ok = plan.check_positions(offset_bits).has_value();
  const bool inside = positions_ok && plan.check_bounds(packet.size, offset_bits).has_value();
  FUZZ_CHECK(fits == inside);
  if (!fits) return;
  vantrel::FieldScratch scratch;
  for (const vantrel::PlannedField& field : plan.fields()) {
    const vantrel::FieldInput input =
        vantrel::read_field_input(packet.span(), offset_bits + field.position, field.spec, scratch);
    FUZZ_CHECK(input.bits == field.spec.bits);
    if (field.spec.bits <= 64 && !field.spec.is_text()) {
      FUZZ_CHECK((input.pattern & ~low_mask(field.spec.bits)) == 0);
    }
    if (field.spec.is_text()) FUZZ_CHECK(input.bytes.size() == (field.spec.bits + 7ull) / 8);
    fuzz::CheckedTextSink sink;
    const auto value = field.spec.row->decode(input, sink);
    const bool text = value && std::holds_alternative<vantrel::TextWritten>(*value);
    FUZZ_CHECK(sink.allocated() == text);
    if (text) sink.code_points();
  }
}

// Places each field alone in a packet of the plan's packing size and reads
// it back: numeric patterns come back whole when the byte order keeps every
// bit (big-endian, or whole bytes), text as the bytes right-aligned in the
// field.
void check_placing(const vantrel::Plan& plan, fuzz::Input& input) {
  const auto& packed = plan.packed_size_bits();
  if (!packed || *packed > 8 * 4096) return;
  const std::size_t size = static_cast<std::size_t>((*packed + 7) / 8);
  for (const vantrel::PlannedField& field : plan.fields()) {
    if (!field.spec.offset) continue;  // packing places these after the largest end so far
    const FieldSpec& spec = field.spec;
    std::vector<std::uint8_t> packet(size, input.flag() ? 0xFF : 0x00);
    vantrel::FieldScratch scratch;
    if (spec.is_text()) {
      const vantrel::ByteSpan text = input.bytes(64);
      vantrel::place_field(packet, field.position, spec, vantrel::FieldContent{text});
      if (field.position + spec.bits > 8 * size) continue;
      const vantrel::FieldInput back =
          vantrel::read_field_input(packet, field.position, spec, scratch);
      // The field's bytes hold the text's tail (of the bytes reversed for
      // little-endian), NUL bytes in front when the text is shorter. A width
      // that is not whole bytes drops top bits, which little-endian moves
      // into the middle of the field: checked where the order keeps them.
      if (spec.little_endian && spec.bits % 8 != 0) continue;
      std::vector<std::uint8_t> ordered(text.begin(), text.end());
      if (spec.little_endian) std::reverse(ordered.begin(), ordered.end());
      std::vector<std::uint8_t> expected(back.bytes.size(), 0);
      const std::size_t kept = std::min(ordered.size(), expected.size());
      std::copy(ordered.end() - kept, ordered.end(), expected.end() - kept);
      if (spec.little_endian) std::reverse(expected.begin(), expected.end());
      if (!expected.empty())
        expected[0] &= static_cast<std::uint8_t>(low_mask((spec.bits + 7) % 8 + 1));
      FUZZ_CHECK(
          std::equal(back.bytes.begin(), back.bytes.end(), expected.begin(), expected.end()));
    } else {
      const std::uint64_t pattern = input.number<std::uint64_t>() & low_mask(spec.bits);
      vantrel::place_field(packet, field.position, spec, vantrel::FieldContent{pattern});
      if (field.position + spec.bits > 8 * size) continue;
      const vantrel::FieldInput back =
          vantrel::read_field_input(packet, field.position, spec, scratch);
      if (!spec.little_endian || spec.bits % 8 == 0) FUZZ_CHECK(back.pattern == pattern);
    }
  }
}

// ---- Columns: one field of many packets -----------------------------------

template <class Element>
void compare_column(const vantrel::PlannedField& field, vantrel::ByteSpan buffer,
                    const vantrel::PacketStarts& starts, std::size_t limit, bool masked) {
  std::vector<Element> column(limit, Element{});
  std::vector<std::uint8_t> mask(masked ? limit : 0, 0);
  const auto failure = vantrel::decode_column(buffer, starts, 0, limit, field, column.data(), mask);
  FUZZ_CHECK(!masked || !failure);
  vantrel::FieldScratch scratch;
  for (std::size_t i = 0; i < limit; ++i) {
    // What one packet's read and the row's decoder give.
    const std::uint64_t start = starts[i];
    std::optional<vantrel::Result<vantrel::FieldValue>> value;
    if (vantrel::inside(start, vantrel::bytes_needed(field), buffer.size())) {
      const vantrel::FieldInput input =
          vantrel::read_field_input(buffer, start * 8 + field.position, field.spec, scratch);
      fuzz::CheckedTextSink sink;
      value = field.spec.row->decode(input, sink);
    }
    const bool failed = !value || !*value;
    if (!masked) {
      if (failed) {
        // Stops at the first failure, with the decoder's error when it had one.
        FUZZ_CHECK(failure && failure->packet == i &&
                   failure->error.has_value() == value.has_value());
        return;
      }
    } else {
      FUZZ_CHECK(mask[i] == failed);
      if (failed) {
        FUZZ_CHECK(column[i] == Element{});
        continue;
      }
    }
    const vantrel::FieldValue& decoded = **value;
    if (const auto* u = std::get_if<std::uint64_t>(&decoded)) {
      // The column type holds every value of the width.
      FUZZ_CHECK(static_cast<std::uint64_t>(column[i]) == *u);
    } else if (const auto* s = std::get_if<std::int64_t>(&decoded)) {
      FUZZ_CHECK(static_cast<std::int64_t>(column[i]) == *s);
    } else {
      const double d = std::get<double>(decoded);
      const auto element = static_cast<double>(column[i]);
      FUZZ_CHECK((std::isnan(d) && std::isnan(element)) ||
                 std::bit_cast<std::uint64_t>(static_cast<double>(static_cast<Element>(d))) ==
                     std::bit_cast<std::uint64_t>(element));
    }
  }
  FUZZ_CHECK(!failure);
}

void check_columns(const vantrel::Plan& plan, fuzz::Input& input) {
  const vantrel::ByteSpan contents = input.bytes(2048);
  const ExactPacket buffer(contents);
  std::vector<std::int64_t> offsets;
  vantrel::PacketStarts starts;
  if (input.flag()) {
    offsets.resize(input.byte() % 24);
    for (auto& offset : offsets) {
      offset = input.byte() < 250 ? input.byte() % (contents.size() + 2)
                                  : input.number<std::int64_t>() & INT64_MAX;
    }
    starts.offsets = offsets.data();
    starts.count = offsets.size();
  } else {
    // At least one byte: unpack_many refuses a zero stride.
    starts.stride = input.byte() % 40 + 1 + (input.flag() ? 0 : plan.size_bits() / 8);
    starts.count = input.byte() % 32;
  }
  const bool masked = input.flag();
  for (const vantrel::PlannedField& field : plan.fields()) {
    switch (vantrel::column_type_of(field.spec)) {
      case vantrel::ColumnType::U8:
        compare_column<std::uint8_t>(field, buffer.span(), starts, starts.count, masked);
        break;
      case vantrel::ColumnType::U16:
        compare_column<std::uint16_t>(field, buffer.span(), starts, starts.count, masked);
        break;
      case vantrel::ColumnType::U32:
        compare_column<std::uint32_t>(field, buffer.span(), starts, starts.count, masked);
        break;
      case vantrel::ColumnType::U64:
        compare_column<std::uint64_t>(field, buffer.span(), starts, starts.count, masked);
        break;
      case vantrel::ColumnType::I8:
        compare_column<std::int8_t>(field, buffer.span(), starts, starts.count, masked);
        break;
      case vantrel::ColumnType::I16:
        compare_column<std::int16_t>(field, buffer.span(), starts, starts.count, masked);
        break;
      case vantrel::ColumnType::I32:
        compare_column<std::int32_t>(field, buffer.span(), starts, starts.count, masked);
        break;
      case vantrel::ColumnType::I64:
        compare_column<std::int64_t>(field, buffer.span(), starts, starts.count, masked);
        break;
      case vantrel::ColumnType::F32:
        compare_column<float>(field, buffer.span(), starts, starts.count, masked);
        break;
      case vantrel::ColumnType::F64:
        compare_column<double>(field, buffer.span(), starts, starts.count, masked);
        break;
      case vantrel::ColumnType::Text: break;  // built with the interpreter
    }
  }
}

// Encoding names as recipes spell them: a row's name with letters flipped
// to upper case, or arbitrary bytes; looked up against a plain comparison.
void check_name_lookup(fuzz::Input& input) {
  const auto rows = vantrel::encoding_rows();
  std::string name;
  if (input.flag()) {
    name = std::string(rows[input.byte() % rows.size()].name);
    const auto flips = input.number<std::uint64_t>();
    for (std::size_t i = 0; i < name.size() && i < 64; ++i) {
      if ((flips >> i) & 1) name[i] = static_cast<char>(std::toupper(name[i]));
    }
    if (input.flag()) name.push_back(static_cast<char>(input.byte()));
  } else {
    const vantrel::ByteSpan bytes = input.bytes(24);
    name.assign(bytes.begin(), bytes.end());
  }
  std::string lower = name;
  bool ascii = true;
  for (char& c : lower) {
    if (static_cast<unsigned char>(c) >= 0x80) ascii = false;
    if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
  }
  const vantrel::EncodingRow* expected = nullptr;
  for (const vantrel::EncodingRow& row : rows) {
    if (row.name == lower) expected = &row;
  }
  FUZZ_CHECK(vantrel::find_encoding(name) == expected);
  FUZZ_CHECK(vantrel::is_ascii(name) == ascii);
}

// A shaped plan as Layout admits it: numeric fields of 1 to 64 bits, counts
// naming an earlier unsigned single field, fields after a rest array with an
// offset or in its trailer (which Plan::build refuses to hold a variable
// array).
void check_shaped(fuzz::Input& input) {
  const auto rows = vantrel::encoding_rows();
  std::vector<vantrel::ShapedField> fields(input.byte() % 7 + 1);
  bool after_rest = false;
  for (std::size_t i = 0; i < fields.size(); ++i) {
    vantrel::ShapedField& field = fields[i];
    field.spec = fuzzed_field(input);
    if (field.spec.is_text()) field.spec.row = &rows[0];
    field.spec.bits = field.spec.bits % 64 + 1;
    if (field.spec.offset) *field.spec.offset %= 600;
    if (after_rest && !field.spec.offset && input.flag()) field.spec.offset = input.byte();
    after_rest = after_rest && !field.spec.offset;
    const std::uint8_t kind = input.byte() % 6;
    if (kind == 1) {
      field.shape.kind = vantrel::CountKind::Fixed;
      field.shape.fixed = input.byte() % 9;
    } else if (kind == 2 && i > 0 && !fields[i - 1].shape.is_array() &&
               fields[i - 1].spec.row->column_kernel == vantrel::ColumnKernel::Unsigned) {
      field.shape.kind = vantrel::CountKind::Counted;
      field.shape.count_item = i - 1;
    } else if (kind == 3) {
      field.shape.kind = vantrel::CountKind::Rest;
      after_rest = true;
    } else if (kind == 4 && field.spec.bits % 8 == 0) {
      const unsigned size = field.spec.bits / 8;
      field.shape.permuted_bytes = static_cast<std::uint8_t>(size);
      for (unsigned j = 0; j < size; ++j) field.shape.permutation[j] = static_cast<std::uint8_t>(j);
      for (unsigned j = size; j > 1; --j) {
        std::swap(field.shape.permutation[j - 1], field.shape.permutation[input.byte() % j]);
      }
    } else if (kind == 5) {
      // A bit field of a little-endian word, its word found by the plan or
      // given near the field.
      field.shape.word_bits = input.flag() ? 16 : 32;
      field.spec.bits = field.spec.bits % field.shape.word_bits + 1;
      field.spec.little_endian = true;
      if (input.flag()) {
        const std::uint64_t near = field.spec.offset.value_or(0);
        field.shape.word_start =
            near / 8 * 8 - std::min<std::uint64_t>(near / 8, input.byte() % 5) * 8;
      }
    }
  }
  const auto plan = vantrel::Plan::build(std::span<const vantrel::ShapedField>(fields));
  if (!plan) return;
  for (std::size_t i = 0; i < fields.size(); ++i) {
    // Every word holds its whole bit field, at the place its recipe item gives.
    const vantrel::PlannedField& field = plan->fields()[i];
    if (field.shape.word_bits == 0) continue;
    FUZZ_CHECK(field.shape.word_offset + field.spec.bits <= field.shape.word_bits);
    if (fields[i].shape.word_start) FUZZ_CHECK(field.first_bit() == *fields[i].shape.word_start);
  }
  const ExactPacket packet(input.bytes(300));
  const std::uint64_t packet_bits = packet.size * 8;
  std::vector<std::uint64_t> bases(plan->segment_count());
  std::vector<std::uint64_t> counts(plan->variable_items().size());
  (void)plan->measure(packet.span().data(), 0, packet_bits, bases.data(), counts.data());
  for (std::size_t v = 0; v < counts.size(); ++v) {
    // A rest array's trailer, once placed, ends with the packet.
    const vantrel::PlannedField& array = plan->fields()[plan->variable_items()[v]];
    if (array.shape.kind == vantrel::CountKind::Rest && bases[v + 1] != vantrel::Plan::kUnplaced) {
      FUZZ_CHECK(bases[v + 1] + plan->trailer_bits(v) == packet_bits);
      const std::uint64_t array_end =
          bases[array.segment] + array.position + counts[v] * array.spec.bits;
      FUZZ_CHECK(bases[v + 1] >= array_end);
    }
  }
  std::size_t variable = 0;
  for (const vantrel::PlannedField& field : plan->fields()) {
    const std::uint64_t count =
        field.shape.is_variable() ? counts[variable++] : field.fixed_count();
    const std::uint64_t base = bases[field.segment];
    if (base == vantrel::Plan::kUnplaced) continue;
    FUZZ_CHECK(base <= packet_bits);
    if (field.shape.is_variable() && bases[variable] != vantrel::Plan::kUnplaced) {
      FUZZ_CHECK(bases[variable] <= packet_bits);
    }
    std::uint64_t first = 0, last = 0;
    if (__builtin_add_overflow(base, field.first_bit(), &first) ||
        __builtin_add_overflow(first, field.extent_bits(count), &last) || last > packet_bits) {
      continue;
    }
    std::vector<std::uint64_t> values(count);  // room for the widest column type
    (void)vantrel::decode_elements(packet.span(), base + field.position, count, field,
                                   values.data());
  }
  // A check on the last field, wherever this packet puts it: placed, then
  // found holding; not placed exactly when it has no place.
  const std::size_t last = fields.size() - 1;
  const vantrel::FieldSpec& spec = plan->fields()[last].spec;
  const char* name = spec.bits == 8    ? "CRC-8/SMBUS"
                     : spec.bits == 16 ? "CRC-16/IBM-3740"
                     : spec.bits == 32 ? "CRC-32C"
                                       : nullptr;
  if (name == nullptr) return;
  const auto checksum = std::make_shared<const vantrel::Checksum>(*vantrel::check_by_name(name));
  const auto check = vantrel::resolve_check(*plan, last, checksum, std::nullopt, std::nullopt);
  if (!check) return;
  std::vector<std::uint8_t> bytes(packet.span().begin(), packet.span().end());
  const std::uint8_t given[] = {0};
  const auto unplaced =
      vantrel::place_checks(*plan, std::span(&*check, 1), given, std::span(bytes), bases.data());
  const auto place = vantrel::locate_check(*plan, *check, bases.data(), bytes.size());
  FUZZ_CHECK(unplaced.has_value() == !place.has_value());
  if (!place) return;
  FUZZ_CHECK(place->start == 0 && place->stop == place->field_byte);
  FUZZ_CHECK(vantrel::read_plain_pattern(bytes.data(), place->field_byte * 8, spec) ==
             checksum->compute(vantrel::ByteSpan(bytes).first(place->stop)));
}

}  // namespace

vantrel::TimeCodeFormat fuzzed_time_code(fuzz::Input& input) {
  vantrel::TimeCodeFormat format;
  format.kind = input.flag() ? vantrel::TimeCodeKind::Cds : vantrel::TimeCodeKind::Cuc;
  format.p_field = input.flag();
  format.coarse_octets = static_cast<std::uint8_t>(input.byte() % 4 + 1);
  format.fine_octets = static_cast<std::uint8_t>(input.byte() % 4);
  format.day_octets = input.flag() ? 3 : 2;
  format.submillisecond_octets = static_cast<std::uint8_t>(input.byte() % 3 * 2);
  // Epochs from about 1700 to 2240, some at the CCSDS one.
  format.epoch = input.flag() ? vantrel::kCcsdsEpoch
                              : (input.number<std::int64_t>() % (270LL * 365 * 86400)) *
                                    vantrel::kNanosPerSecond;
  format.agency_epoch = format.epoch != vantrel::kCcsdsEpoch;
  format.code_scale = input.flag() ? vantrel::TimeScale::Utc : vantrel::TimeScale::Tai;
  format.scale = input.flag() ? vantrel::TimeScale::Utc : vantrel::TimeScale::Tai;
  format.leap_seconds = vantrel::LeapSecondTable::builtin();
  return format;
}

void check_time_code(fuzz::Input& input) {
  const vantrel::TimeCodeFormat format = fuzzed_time_code(input);
  const std::size_t size = format.bits() / 8;
  std::vector<std::uint8_t> contents(size);
  for (auto& b : contents) b = input.byte();
  if (format.p_field && input.flag()) contents[0] = format.p_field_value();
  const ExactPacket packet(vantrel::ByteSpan(contents.data(), size));
  const auto time = vantrel::decode_time_code(packet.data.get(), 0, format);
  if (!time) return;
  FUZZ_CHECK(*time != INT64_MIN);
  std::vector<std::uint8_t> written(size, 0xA5);
  const auto encoded = vantrel::encode_time_code(written.data(), size, 0, format, *time);
  // A time read in the code's own scale (without a leap second) is written
  // back exactly; one moved between scales may round at a leap second.
  if (format.scale != format.code_scale || format.code_scale == vantrel::TimeScale::Utc) return;
  FUZZ_CHECK(encoded.has_value());
  const auto again = vantrel::decode_time_code(written.data(), 0, format);
  FUZZ_CHECK(again.has_value() && *again == *time);
}

// pack's inversion: a polynomial (or the table) that the checks admit
// gives, for the calibration of any raw value in range, a raw value whose
// calibration is as close (the same value, or one equal to it); any value
// in range gives a raw value in range no farther than its neighbours.
void check_inversion(fuzz::Input& input, vantrel::Conversion table) {
  vantrel::Conversion polynomial;
  polynomial.kind = vantrel::ConversionKind::Polynomial;
  for (int k = input.byte() % 5 + 1; k > 0; --k) {
    polynomial.coefficients.push_back(input.number<std::int8_t>() / 8.0 *
                                      std::pow(0.01, polynomial.coefficients.size()));
  }
  polynomial.raw_low = input.number<std::int16_t>();
  polynomial.raw_high = polynomial.raw_low + input.byte() + input.number<std::uint16_t>() % 3000;
  polynomial.invert = true;
  table.invert = true;
  auto calibrated = [](const vantrel::Conversion& c, double raw) {
    return vantrel::calibrate(c, raw);
  };
  for (vantrel::Conversion* c : {&polynomial, &table}) {
    const bool admitted =
        c->kind == vantrel::ConversionKind::Table
            ? vantrel::check_invertible_table(*c).has_value()
            : vantrel::check_invertible_polynomial(c->coefficients, c->raw_low, c->raw_high)
                  .has_value();
    if (!admitted) continue;
    const double low =
        c->kind == vantrel::ConversionKind::Table ? c->table_raw.front() : c->raw_low;
    const double high =
        c->kind == vantrel::ConversionKind::Table ? c->table_raw.back() : c->raw_high;
    // Admitted means monotonic: calibrations of raw values in order are in order.
    const auto at_low = calibrated(*c, low);
    const auto at_high = calibrated(*c, high);
    FUZZ_CHECK(at_low && at_high && *at_low != *at_high);
    const bool rising = *at_high > *at_low;
    double previous = *at_low;
    for (int k = 1; k <= 8; ++k) {
      const auto value = calibrated(*c, low + (high - low) * k / 8);
      FUZZ_CHECK(value && (rising ? *value >= previous : *value <= previous));
      previous = *value;
    }
    for (int k = 0; k < 8; ++k) {
      const double raw = low + std::floor((high - low) * input.byte() / 255.0);
      const auto value = calibrated(*c, raw);
      FUZZ_CHECK(value.has_value());
      const auto back = vantrel::invert_calibration(*c, *value, true);
      FUZZ_CHECK(back.has_value() && *back >= std::ceil(low) - 1 && *back <= std::floor(high) + 1);
      const auto again = calibrated(*c, *back);
      FUZZ_CHECK(again && *again == *value);
      // A value between calibrations: its raw value is at least as close
      // as the ones beside it.
      const double between = std::clamp(*at_low + (*at_high - *at_low) * input.byte() / 255.0,
                                        std::min(*at_low, *at_high), std::max(*at_low, *at_high));
      const auto near = vantrel::invert_calibration(*c, between, true);
      if (!near) continue;
      const auto here = calibrated(*c, *near);
      FUZZ_CHECK(here.has_value());
      for (const double side : {*near - 1, *near + 1}) {
        if (side < std::ceil(low) || side > std::floor(high)) continue;
        const auto there = calibrated(*c, side);
        if (there) FUZZ_CHECK(std::fabs(*here - between) <= std::fabs(*there - between));
      }
      const auto real = vantrel::invert_calibration(*c, between, false);
      FUZZ_CHECK(real.has_value() && *real >= low - 1e-9 * std::fabs(low) - 1e-9 &&
                 *real <= high + 1e-9 * std::fabs(high) + 1e-9);
    }
  }
}

void check_calibration_and_states(fuzz::Input& input) {
  vantrel::Conversion table;
  table.kind = vantrel::ConversionKind::Table;
  table.outside = static_cast<vantrel::OutsideTable>(input.byte() % 3);
  double x = input.number<std::int16_t>();
  for (int k = input.byte() % 6 + 2; k > 0; --k) {
    table.table_raw.push_back(x);
    table.table_values.push_back(input.number<std::int16_t>());
    x += input.byte() + 1;
  }
  const double raw = input.number<std::int16_t>() * 1.5;
  const auto value = vantrel::calibrate(table, raw);
  const auto [low, high] =
      std::minmax_element(table.table_values.begin(), table.table_values.end());
  if (raw >= table.table_raw.front() && raw <= table.table_raw.back()) {
    FUZZ_CHECK(value.has_value() && *value >= *low - 1e-9 && *value <= *high + 1e-9);
  } else {
    FUZZ_CHECK(value.has_value() == (table.outside != vantrel::OutsideTable::Error));
  }

  vantrel::Conversion states;
  states.kind = vantrel::ConversionKind::Enumeration;
  std::vector<std::pair<std::uint64_t, std::uint32_t>>& entries = states.enumeration.states;
  const bool wide = input.flag();
  for (int k = input.byte() % 12 + 1; k > 0; --k) {
    const std::uint64_t key = wide ? input.number<std::uint64_t>() : input.byte();
    if (std::none_of(entries.begin(), entries.end(), [&](auto& e) { return e.first == key; })) {
      entries.emplace_back(key, static_cast<std::uint32_t>(entries.size()));
    }
  }
  std::sort(entries.begin(), entries.end());
  if (input.flag()) states.enumeration.default_state = 0;
  states.enumeration.index();
  for (int k = 0; k < 16; ++k) {
    const std::uint64_t key = wide && input.flag() ? input.number<std::uint64_t>() : input.byte();
    const auto found =
        std::find_if(entries.begin(), entries.end(), [&](auto& e) { return e.first == key; });
    const std::int32_t expected = found != entries.end()
                                      ? static_cast<std::int32_t>(found->second)
                                      : (states.enumeration.default_state ? 0 : -1);
    FUZZ_CHECK(states.enumeration.find(key) == expected);
  }
  check_inversion(input, table);
}

// The one-packet conversion of field `field` of the packet at byte `start`
// (which holds it): the converted element as converted_item_size bytes, or
// nullopt when the field or its conversion fails.
std::optional<std::uint64_t> converted_at(vantrel::ByteSpan buffer, std::uint64_t start,
                                          const vantrel::PlannedField& field,
                                          const vantrel::Conversion& conversion) {
  const std::uint64_t bit = start * 8 + field.position;
  if (conversion.kind == vantrel::ConversionKind::TimeCode) {
    const auto time = vantrel::decode_time_code(buffer.data(), bit, conversion.time);
    if (!time) return std::nullopt;
    return static_cast<std::uint64_t>(*time);
  }
  std::uint64_t raw[1] = {};
  if (vantrel::decode_elements(buffer, bit, 1, field, raw)) return std::nullopt;
  const vantrel::ColumnType type = vantrel::column_type_of(field.spec);
  if (conversion.kind == vantrel::ConversionKind::Enumeration) {
    std::uint64_t key = 0;
    switch (type) {
      case vantrel::ColumnType::I8:
        key = vantrel::state_key(std::bit_cast<std::int8_t>(static_cast<std::uint8_t>(raw[0])));
        break;
      case vantrel::ColumnType::I16:
        key = vantrel::state_key(std::bit_cast<std::int16_t>(static_cast<std::uint16_t>(raw[0])));
        break;
      case vantrel::ColumnType::I32:
        key = vantrel::state_key(std::bit_cast<std::int32_t>(static_cast<std::uint32_t>(raw[0])));
        break;
      case vantrel::ColumnType::I64:
        key = vantrel::state_key(static_cast<std::int64_t>(raw[0]));
        break;
      default:
        key = raw[0] & low_mask(8 * static_cast<std::uint32_t>(vantrel::column_item_size(type)));
        break;
    }
    const std::int32_t state = conversion.enumeration.find(key);
    if (state < 0) return std::nullopt;
    return static_cast<std::uint32_t>(state);
  }
  double x = 0;
  switch (type) {
    case vantrel::ColumnType::U8: x = static_cast<std::uint8_t>(raw[0]); break;
    case vantrel::ColumnType::U16: x = static_cast<std::uint16_t>(raw[0]); break;
    case vantrel::ColumnType::U32: x = static_cast<std::uint32_t>(raw[0]); break;
    case vantrel::ColumnType::U64: x = static_cast<double>(raw[0]); break;
    case vantrel::ColumnType::I8:
      x = std::bit_cast<std::int8_t>(static_cast<std::uint8_t>(raw[0]));
      break;
    case vantrel::ColumnType::I16:
      x = std::bit_cast<std::int16_t>(static_cast<std::uint16_t>(raw[0]));
      break;
    case vantrel::ColumnType::I32:
      x = std::bit_cast<std::int32_t>(static_cast<std::uint32_t>(raw[0]));
      break;
    case vantrel::ColumnType::I64:
      x = static_cast<double>(static_cast<std::int64_t>(raw[0]));
      break;
    case vantrel::ColumnType::F32:
      x = std::bit_cast<float>(static_cast<std::uint32_t>(raw[0]));
      break;
    case vantrel::ColumnType::F64: x = std::bit_cast<double>(raw[0]); break;
    case vantrel::ColumnType::Text: return std::nullopt;
  }
  const auto value = vantrel::calibrate(conversion, x);
  if (!value) return std::nullopt;
  return std::bit_cast<std::uint64_t>(*value);
}

// A converted column of an arbitrary buffer, at a stride or at offsets with
// packet ends: every entry the mask leaves equals the one-packet conversion
// of what its field holds, every masked entry fails there, and without a
// mask the first failure is the first packet that fails.
void check_converted_column(fuzz::Input& input) {
  vantrel::Conversion conversion;
  FieldSpec placed = fuzzed_field(input);
  switch (input.byte() % 4) {
    case 0:
      conversion.kind = vantrel::ConversionKind::Polynomial;
      for (int k = input.byte() % 6 + 1; k > 0; --k) {
        conversion.coefficients.push_back(input.number<std::int8_t>() * 0.25);
      }
      break;
    case 1: {
      conversion.kind = vantrel::ConversionKind::Enumeration;
      auto& states = conversion.enumeration.states;
      const bool wide = input.flag();
      for (int k = input.byte() % 8 + 1; k > 0; --k) {
        const std::uint64_t key = wide ? input.number<std::uint64_t>() : input.byte() % 16;
        if (std::none_of(states.begin(), states.end(), [&](auto& e) { return e.first == key; })) {
          states.emplace_back(key, static_cast<std::uint32_t>(states.size()));
        }
      }
      states.emplace_back(vantrel::state_key(-1), static_cast<std::uint32_t>(states.size()));
      std::sort(states.begin(), states.end());
      states.erase(std::unique(states.begin(), states.end(),
                               [](auto& a, auto& b) { return a.first == b.first; }),
                   states.end());
      if (input.flag()) conversion.enumeration.default_state = 0;
      conversion.enumeration.index();
      break;
    }
    case 2: {
      conversion.kind = vantrel::ConversionKind::Table;
      conversion.outside = static_cast<vantrel::OutsideTable>(input.byte() % 3);
      double x = input.number<std::int8_t>();
      for (int k = input.byte() % 5 + 2; k > 0; --k) {
        conversion.table_raw.push_back(x);
        conversion.table_values.push_back(input.number<std::int8_t>());
        x += input.byte() % 40 + 1;
      }
      break;
    }
    default:
      conversion.kind = vantrel::ConversionKind::TimeCode;
      conversion.time = fuzzed_time_code(input);
      placed.row = vantrel::find_encoding("unsigned");
      placed.bits = conversion.time.bits();
      placed.little_endian = false;
      placed.reverse_bits = false;
      break;
  }
  const vantrel::ColumnType raw_type = vantrel::column_type_of(placed);
  if (raw_type == vantrel::ColumnType::Text || placed.bits == 0 ||
      (placed.bits > 64 && conversion.kind != vantrel::ConversionKind::TimeCode) ||
      (conversion.kind == vantrel::ConversionKind::Enumeration &&
       (raw_type == vantrel::ColumnType::F32 || raw_type == vantrel::ColumnType::F64))) {
    return;
  }
  const auto plan = vantrel::Plan::build(std::span<const FieldSpec>(&placed, 1));
  if (!plan) return;
  const vantrel::PlannedField& field = plan->fields()[0];
  const ExactPacket buffer(input.bytes(2048));
  vantrel::PacketStarts starts;
  std::vector<std::int64_t> offsets;
  std::vector<std::uint64_t> ends;
  if (input.flag()) {
    starts.stride = input.byte() % 24 + 1;
    starts.count = input.number<std::uint16_t>() % 1200;
  } else {
    for (int k = input.byte() % 40; k > 0; --k) {
      offsets.push_back(input.number<std::uint16_t>() % (buffer.size + 8));
      if (input.flag()) {
        ends.push_back(std::min<std::uint64_t>(offsets.back() + input.byte() % 16, buffer.size));
      }
    }
    starts.offsets = offsets.data();
    starts.count = offsets.size();
    if (!ends.empty()) {
      ends.resize(offsets.size(), buffer.size);
      starts.ends = ends.data();
    }
  }
  const bool masked = input.flag();
  const bool with_handles = conversion.kind == vantrel::ConversionKind::Enumeration && input.flag();
  std::vector<std::uint8_t> mask(starts.count, 0);
  // Handles: the address of each state's slot in a small table, and of a
  // none; the slots start as none, as a new object array holds None.
  std::uint32_t state_count = 0;
  for (const auto& entry : conversion.enumeration.states) {
    state_count = std::max(state_count, entry.second + 1);
  }
  std::vector<std::uint8_t> targets(state_count + 1);
  vantrel::StateHandles handles;
  std::vector<const void*> by_state;
  for (std::uint32_t s = 0; s < state_count; ++s) by_state.push_back(&targets[s + 1]);
  handles.by_state = by_state;
  handles.none = &targets[0];
  handles.reset();
  const std::size_t item = vantrel::converted_item_size(conversion, with_handles);
  std::vector<std::uint8_t> column(starts.count * item + 8);
  if (with_handles) {
    for (std::size_t i = 0; i < starts.count; ++i)
      std::memcpy(&column[i * item], &handles.none, item);
  }
  const std::size_t begin = starts.count == 0 ? 0 : input.byte() % (starts.count + 1);
  const auto failure = vantrel::decode_converted_column(
      buffer.span(), starts, begin, starts.count, field, conversion, column.data(),
      masked ? std::span<std::uint8_t>(mask) : std::span<std::uint8_t>(),
      with_handles ? &handles : nullptr);
  FUZZ_CHECK(!masked || !failure.has_value());
  const std::size_t checked = failure ? failure->packet : starts.count;
  if (failure) FUZZ_CHECK(failure->packet >= begin && failure->packet < starts.count);
  const std::uint64_t needed = vantrel::bytes_needed(field);
  std::uint64_t written_total = 0;
  for (std::size_t i = begin; i < checked + (failure ? 1 : 0) && i < starts.count; ++i) {
    const std::uint64_t start = starts[i];
    const bool holds = vantrel::inside(start, needed, starts.limit(i, buffer.size));
    const auto expected =
        holds ? converted_at(buffer.span(), start, field, conversion) : std::nullopt;
    if (i == checked) {  // the reported failure
      FUZZ_CHECK(!expected.has_value());
      break;
    }
    if (masked && mask[i] != 0) {
      FUZZ_CHECK(!expected.has_value());
      continue;
    }
    FUZZ_CHECK(expected.has_value());
    if (with_handles) {
      const void* got = nullptr;
      std::memcpy(&got, &column[i * item], item);
      FUZZ_CHECK(got == by_state[*expected]);
      ++written_total;
    } else if (item == 4) {
      std::uint32_t got = 0;
      std::memcpy(&got, &column[i * item], 4);
      FUZZ_CHECK(got == static_cast<std::uint32_t>(*expected));
    } else {
      std::uint64_t got = 0;
      std::memcpy(&got, &column[i * item], 8);
      // Calibrations compare as doubles: a NaN raw value gives NaN.
      const double a = std::bit_cast<double>(got), b = std::bit_cast<double>(*expected);
      FUZZ_CHECK(got == *expected || (conversion.kind != vantrel::ConversionKind::TimeCode &&
                                      std::isnan(a) && std::isnan(b)));
    }
  }
  if (with_handles && !failure) {
    // Every slot written is counted once, as its state or as none.
    std::uint64_t counted = 0;
    for (const std::uint64_t n : handles.written) counted += n;
    FUZZ_CHECK(counted == starts.count - begin);
    FUZZ_CHECK(handles.overwritten_none == starts.count - begin);
    FUZZ_CHECK(written_total <= counted);
  }
}

// Check fields: a body of fuzzed fields, then a check over a fuzzed range
// (a catalogue algorithm or a CRC by fuzzed parameters). The checksum
// agrees with its bit-at-a-time model; a packed packet's check verifies,
// in place and in an archive at fuzzed offsets; a flipped bit in the range
// of a CRC is found.
void check_check_fields(fuzz::Input& input) {
  vantrel::CheckAlgorithm algorithm;
  if (input.flag()) {
    const auto named = vantrel::named_checks();
    algorithm = named[input.byte() % named.size()].make();
  } else {
    const std::uint32_t width = input.byte() % 62 + 3;
    const std::uint64_t mask = width == 64 ? ~0ull : (1ull << width) - 1;
    auto made = vantrel::crc_from_parameters(width, (input.number<std::uint64_t>() & mask) | 1,
                                             input.number<std::uint64_t>() & mask, input.flag(),
                                             input.flag(), input.number<std::uint64_t>() & mask);
    FUZZ_CHECK(made.has_value());
    algorithm = std::move(*made);
  }
  auto checksum = std::make_shared<const vantrel::Checksum>(algorithm);
  const vantrel::ByteSpan sample = input.bytes(input.byte() * 4);
  FUZZ_CHECK(checksum->compute(sample) == checksum->compute_reference(sample));
  FUZZ_CHECK(checksum->compute_tables(sample) == checksum->compute_reference(sample));

  const std::uint64_t body_bytes = input.byte() % 200 + 1;
  std::vector<FieldSpec> fields(2);
  fields[0].row = vantrel::find_encoding("unsigned");
  fields[0].bits = static_cast<std::uint32_t>(std::min<std::uint64_t>(8 * body_bytes, 64));
  fields[0].offset = 0;
  fields[1].row = vantrel::find_encoding("unsigned");
  fields[1].bits = algorithm.width;
  fields[1].offset = 8 * body_bytes;
  fields[1].little_endian = input.flag();
  const auto plan = vantrel::Plan::build(fields);
  FUZZ_CHECK(plan.has_value());
  std::optional<std::uint64_t> start, stop;
  if (input.flag()) start = input.byte() % (body_bytes + 1);
  if (input.flag()) stop = input.byte() % (body_bytes + 2);
  const auto resolved = vantrel::resolve_check(*plan, 1, checksum, start, stop);
  if (!resolved) {
    FUZZ_CHECK(!resolved.error().message.empty());
    return;
  }
  FUZZ_CHECK(resolved->start < resolved->stop && resolved->stop <= body_bytes);
  const std::uint64_t packet_bytes = (plan->size_bits() + 7) / 8;
  const std::size_t count = input.byte() % 8 + 1;
  const std::uint64_t gap = input.byte() % 5;
  std::vector<std::uint8_t> archive((packet_bytes + gap) * count);
  std::vector<std::int64_t> offsets;
  for (std::size_t i = 0; i < count; ++i) {
    const std::uint64_t at = i * (packet_bytes + gap);
    offsets.push_back(static_cast<std::int64_t>(at));
    const vantrel::ByteSpan random = input.bytes(packet_bytes);
    std::copy(random.begin(), random.end(), archive.begin() + static_cast<std::ptrdiff_t>(at));
    const std::uint8_t given[] = {0};
    vantrel::place_checks(*plan, std::span(&*resolved, 1), given,
                          std::span(archive.data() + at, packet_bytes));
    const vantrel::ByteSpan buffer(archive);
    FUZZ_CHECK(vantrel::check_found(*plan, *resolved, buffer, at) ==
               vantrel::check_computed(*resolved, buffer, at));
  }
  vantrel::PacketStarts starts;
  starts.offsets = offsets.data();
  starts.count = count;
  vantrel::PacketGeometry geometry;
  std::optional<vantrel::PacketFailure> unmeasured;
  const std::size_t placed =
      vantrel::measure_packets(*plan, archive, starts, true, geometry, unmeasured);
  const auto verify = [&](bool masking, std::vector<std::uint8_t>& failed) {
    std::optional<vantrel::PacketFailure> first;
    vantrel::verify_packet_checks(*plan, std::span(&*resolved, 1), archive, starts, geometry,
                                  placed, masking, failed, first);
    return first;
  };
  std::vector<std::uint8_t> failed;
  FUZZ_CHECK(!verify(false, failed) && !verify(true, failed));
  FUZZ_CHECK(std::all_of(failed.begin(), failed.end(), [](std::uint8_t f) { return f == 0; }));
  if (algorithm.kind == vantrel::CheckKind::Crc) {
    const std::size_t victim = input.byte() % count;
    const std::uint64_t bit =
        input.number<std::uint16_t>() % ((resolved->stop - resolved->start) * 8);
    archive[static_cast<std::size_t>(offsets[victim]) + resolved->start + bit / 8] ^=
        static_cast<std::uint8_t>(0x80u >> (bit % 8));
    const auto mismatch = verify(false, failed);
    FUZZ_CHECK(mismatch && mismatch->packet == victim && mismatch->error);
    verify(true, failed);
    for (std::size_t i = 0; i < count; ++i) FUZZ_CHECK(failed[i] == (i == victim));
  }
}

// Packet bounds from a stride, given lengths and a length field (64 bits
// wide and adjustments at the ends of int64 often): each end and each cut
// packet against a reference that reads the field one bit at a time and
// sums exactly; then a column over those bounds, masked, reads nothing
// outside the buffer and masks every cut packet.
void check_packet_bounds(fuzz::Input& input) {
  const vantrel::LengthField length = fuzz::fuzzed_length_field(input);
  const ExactPacket buffer(input.bytes(600));
  const std::uint64_t size = buffer.size;
  vantrel::PacketStarts starts;
  std::vector<std::int64_t> offsets;
  std::vector<std::int64_t> lengths;
  if (input.flag()) {
    starts.stride = input.byte() % 24 + 1;
    starts.count = input.byte() % 40;
  } else {
    for (int k = input.byte() % 40; k > 0; --k) {
      offsets.push_back(input.number<std::uint16_t>() % (size + 8));
      lengths.push_back(input.flag() ? input.byte() % 32
                                     : input.number<std::int64_t>() & INT64_MAX);
    }
    starts.offsets = offsets.data();
    starts.count = offsets.size();
  }
  const bool given = !lengths.empty() && input.flag();
  const bool own = !given || input.flag();
  const vantrel::PacketBounds bounds = vantrel::bound_packets(
      buffer.span(), starts, given ? lengths.data() : nullptr, own ? &length : nullptr);
  FUZZ_CHECK(bounds.ends.size() == starts.count);
  FUZZ_CHECK(bounds.cut.empty() == bounds.first_cut_reason.empty());
  std::size_t listed = 0;
  for (std::size_t i = 0; i < starts.count; ++i) {
    const std::uint64_t start = starts[i];
    std::uint64_t end = size;
    bool cut = false;
    if (start <= size) {
      const std::uint64_t available = size - start;
      if (starts.offsets == nullptr) end = start + std::min(starts.stride, available);
      if (given) {
        const auto wanted = static_cast<std::uint64_t>(lengths[i]);
        cut = wanted > available;
        end = std::min(end, start + std::min(wanted, available));
      }
      if (own) {
        const auto field = fuzz::reference_length_value(buffer.span(), start * 8, length);
        const __int128 total = field ? static_cast<__int128>(*field) + length.adjust : 0;
        if (!field || total > static_cast<__int128>(available)) {
          cut = true;
        } else if (total > 0) {
          end = std::min(end, start + static_cast<std::uint64_t>(total));
        } else {
          end = std::min(end, start);
        }
      }
    }
    FUZZ_CHECK(bounds.ends[i] == end && end <= size);
    const bool in_list = listed < bounds.cut.size() && bounds.cut[listed] == i;
    if (in_list) ++listed;
    FUZZ_CHECK(in_list == cut);
  }
  FUZZ_CHECK(listed == bounds.cut.size());

  starts.ends = bounds.ends.data();
  starts.cut = bounds.cut;
  vantrel::measure_shortest(starts, size);
  FieldSpec spec = fuzzed_field(input);
  if (spec.is_text() || spec.bits == 0 || spec.bits > 64) return;
  const auto plan = vantrel::Plan::build(std::span<const FieldSpec>(&spec, 1));
  if (!plan) return;
  std::vector<std::uint64_t> column(starts.count);  // room for the widest column type
  std::vector<std::uint8_t> mask(starts.count, 0);
  (void)vantrel::decode_column(buffer.span(), starts, 0, starts.count, plan->fields()[0],
                               column.data(), mask);
  vantrel::mask_cut_packets(starts, mask);
  for (const std::size_t i : bounds.cut) FUZZ_CHECK(mask[i] == 1);
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  fuzz::Input input(data, size);
  const std::uint8_t shape = input.byte();
  if (shape >= 210 && shape < 215) {
    check_check_fields(input);
    return 0;
  }
  if (shape >= 240) {
    check_name_lookup(input);
    return 0;
  }
  if (shape >= 232) {
    check_shaped(input);
    return 0;
  }
  if (shape >= 225) {
    check_packet_bounds(input);
    return 0;
  }
  if (shape >= 215) {
    switch (shape % 3) {
      case 0: check_time_code(input); break;
      case 1: check_calibration_and_states(input); break;
      default: check_converted_column(input); break;
    }
    return 0;
  }
  std::vector<FieldSpec> fields(shape % 9);
  for (FieldSpec& field : fields) field = fuzzed_field(input);
  const auto plan = vantrel::Plan::build(fields);
  if (!plan) {
    FUZZ_CHECK(plan.error().item < fields.size());
    return 0;
  }
  FUZZ_CHECK(plan->fields().size() == fields.size());
  const std::uint64_t offset_bits =
      input.byte() < 240 ? input.number<std::uint16_t>() % 64 : input.number<std::uint64_t>();
  if (shape >= 200) {
    check_columns(*plan, input);
    return 0;
  }
  check_reading(*plan, input.bytes(600), offset_bits);
  check_placing(*plan, input);
  return 0;
}
