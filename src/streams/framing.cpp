#include "streams/framing.hpp"

#include <algorithm>
#include <bit>
#include <cstdio>
#include <cstring>

#include "common/bits.hpp"
#include "common/format.hpp"
#include "common/packet_bits.hpp"

namespace vantrel {

const char* skip_reason_name(SkipReason reason) {
  switch (reason) {
    case SkipReason::Truncated: return "truncated";
    case SkipReason::BadLength: return "bad length";
    case SkipReason::BadHeader: return "bad header";
    case SkipReason::BadNextHeader: return "bad next header";
    case SkipReason::BadCheck: return "bad check";
  }
  return "unknown";
}

namespace {

std::uint64_t bytes_through(std::uint64_t end_bit) { return end_bit / 8 + (end_bit % 8 != 0); }

enum class Verdict : std::uint8_t { Ok, ShortHeader, Truncated, BadLength, BadHeader, BadCheck };

// What the header at one position says.
struct HeaderCheck {
  Verdict verdict = Verdict::Ok;
  std::uint64_t field = 0;     // the length field's value
  __int128 total = 0;          // field + adjust
  std::size_t rule = 0;        // BadHeader: which rule
  std::uint64_t value = 0;     // BadHeader: the value it found; BadCheck: the check found
  std::uint64_t computed = 0;  // BadCheck: the check computed
};

class Framer {
 public:
  Framer(ByteSpan stream, const LengthField& length, const FramingRules* rules)
      : stream_(stream), length_(length), rules_(rules) {
    header_bytes_ = bytes_through(length.offset_bits + length.bits);
    length_reader_ = reader_of(length.offset_bits, length.bits);
    min_total_ = std::max<std::uint64_t>(header_bytes_, 1);
    if (rules != nullptr) {
      min_total_ = std::max(min_total_, rules->min_length);
      if (rules->max_length != UINT64_MAX) max_total_ = rules->max_length;
      for (const HeaderRule& rule : rules->fields) {
        rule_bytes_ = std::max(rule_bytes_, bytes_through(rule.offset_bits + rule.bits));
        tables_.push_back(allowed_value_table(rule));
        readers_.push_back(reader_of(rule.offset_bits, rule.bits));
      }
      // Rules that all lie in the first 8 bytes, with bit tables: tested on
      // one load of those bytes.
      header_word_tests_ = !rules->fields.empty();
      for (std::size_t k = 0; k < rules->fields.size(); ++k) {
        const HeaderRule& rule = rules->fields[k];
        header_word_tests_ =
            header_word_tests_ && !tables_[k].empty() && rule.offset_bits + rule.bits <= 64;
      }
      if (header_word_tests_) {
        for (std::size_t k = 0; k < rules->fields.size(); ++k) {
          const HeaderRule& rule = rules->fields[k];
          word_tests_.push_back({static_cast<unsigned>(64 - rule.offset_bits - rule.bits),
                                 low_mask(rule.bits), tables_[k].data()});
        }
      }
      // A packet holds the header fields its rules read.
      min_total_ = std::max(min_total_, rule_bytes_);
      if (rules->check) {
        check_ = &*rules->check;
        // A packet holds its check and at least one byte it covers.
        min_total_ = std::max(min_total_, check_->start + check_->bytes + 1);
      }
    }
    needed_bytes_ = std::max(header_bytes_, rule_bytes_);
  }

  // The packet's total length when it validates and fits in the stream, 0
  // otherwise (check() then says why): the per-packet work of framing.
  // Without `with_check` (or `with_rules`), the check (or the header rules)
  // is left to the caller.
  template <bool with_check = true, bool with_rules = true>
  [[gnu::always_inline]] std::uint64_t valid_total(std::uint64_t start) const {
    const std::uint64_t left = stream_.size() - start;
    if (needed_bytes_ > left) return 0;
    std::uint64_t field = length_value(start);
    if (length_.little_endian) {
      field = reverse_low_bytes(field, (length_.bits + 7) / 8) & low_mask(length_.bits);
    }
    const __int128 total = static_cast<__int128>(field) + length_.adjust;
    if (total < static_cast<__int128>(min_total_) || total > static_cast<__int128>(left) ||
        total > max_total_) {
      return 0;
    }
    if (with_rules && !tables_.empty() && !rules_allow(start)) return 0;
    if (with_check && check_ != nullptr && !check_holds(start, static_cast<std::uint64_t>(total))) {
      return 0;
    }
    return static_cast<std::uint64_t>(total);
  }

  // Each packet's header is read from the one before, so a walk over a
  // stream that is not in the cache waits on each: the lines a few packets
  // ahead are asked for early (two per packet, as packets of 100 bytes and
  // more span two).
  [[gnu::always_inline]] void prefetch_ahead(std::uint64_t at) const {
    constexpr std::uint64_t kAhead = 1024;
    const std::uint64_t last = stream_.size() - 1;
    __builtin_prefetch(stream_.data() + std::min(at + kAhead, last));
    __builtin_prefetch(stream_.data() + std::min(at + kAhead + 64, last));
  }

  // Takes the packets from `start` on for which valid_total holds,
  // appending their starts, and returns where the first one that does not
  // begins (or the stream's end): the work of framing a clean stream.
  std::uint64_t take_valid(std::uint64_t start, std::vector<std::uint64_t>& starts) const {
    const std::uint64_t size = stream_.size();
    if (check_ == nullptr) {
      while (start < size) {
        prefetch_ahead(start);
        const std::uint64_t total = valid_total(start);
        if (total == 0) break;
        starts.push_back(start);
        start += total;
      }
      return start;
    }
    // With a check: a batch of packets framed by their headers, then their
    // checks computed together (see Checksum::compute_many); the batch is
    // taken up to its first packet whose check fails. Where the checksum
    // computes four short ranges at once with no branch on their lengths,
    // packets are checked four by four as they are walked: that work then
    // runs while the walk waits on each header (only ranges too long for it
    // are left to compute_many). The header rules are tested with the
    // checks, after the walk, off its chain of dependent reads: a packet
    // they refuse ends the batch there, as it would have ended the walk.
    constexpr std::size_t kBatch = 1024;
    std::uint64_t walked_starts[kBatch], covered_sizes[kBatch], computed[kBatch];
    std::uint64_t later_starts[kBatch], later_sizes[kBatch], later_values[kBatch];
    std::uint16_t later[kBatch];
    const Checksum& checksum = *check_->checksum;
    const std::uint64_t least = checksum.four_at_once_least();
    const std::uint64_t covered_offset = check_->start;
    const std::uint64_t uncovered = check_->bytes + check_->start;
    const bool has_rules = !tables_.empty();
    // The walk's constants in locals (the stores of the walk could alias
    // the framer's members and have them read again for every packet), and
    // the length in 64-bit arithmetic where that is exact.
    const std::uint8_t* const bytes = stream_.data();
    const std::uint64_t needed = needed_bytes_;
    const RuleReader reader = length_reader_;
    const std::int64_t adjust = length_.adjust;
    const std::uint64_t min_total = min_total_;
    const auto max_total = static_cast<std::uint64_t>(std::min<__int128>(max_total_, UINT64_MAX));
    const bool plain_length = reader.in_window && !length_.little_endian && length_.bits <= 62 &&
                              adjust > -(std::int64_t{1} << 62) &&
                              adjust < (std::int64_t{1} << 62) &&
                              min_total < (std::uint64_t{1} << 62);
    const auto walk_total = [&](std::uint64_t at) -> std::uint64_t {
      if (!plain_length || at + reader.end_byte < 8) return valid_total<false, false>(at);
      const std::uint64_t left = size - at;
      if (needed > left) return 0;
      const auto total = static_cast<std::int64_t>(
                             read_window(bytes + at + reader.end_byte, reader.shift, reader.mask)) +
                         adjust;
      if (total < static_cast<std::int64_t>(min_total)) return 0;
      const auto fits = static_cast<std::uint64_t>(total);
      return fits > left || fits > max_total ? 0 : fits;
    };
    while (start < size) {
      std::size_t count = 0, left_later = 0;
      std::uint64_t at = start;
      bool walking = true;
      while (walking && count < kBatch && at < size) {
        // Up to four packets (a batch holds a whole number of fours).
        std::size_t walked = 0;
        const std::uint8_t* data[4];
        for (; walked < 4; ++walked) {
          prefetch_ahead(at);
          const std::uint64_t total = at < size ? walk_total(at) : 0;
          if (total == 0) {
            walking = false;
            break;
          }
          walked_starts[count + walked] = at;
          covered_sizes[count + walked] = total - uncovered;
          data[walked] = bytes + at + covered_offset;
          at += total;
        }
        const std::uint64_t* sizes = covered_sizes + count;
        if (walked == 4 && least != 0 &&
            std::max({sizes[0], sizes[1], sizes[2], sizes[3]}) <= Checksum::kFourAtOnceBytes &&
            std::min({sizes[0], sizes[1], sizes[2], sizes[3]}) >= least) {
          checksum.compute_four(data, sizes, computed + count);
        } else {
          for (std::size_t k = 0; k < walked; ++k) {
            later[left_later] = static_cast<std::uint16_t>(count + k);
            later_starts[left_later] = walked_starts[count + k] + covered_offset;
            later_sizes[left_later++] = sizes[k];
          }
        }
        count += walked;
      }
      if (count == 0) return start;
      if (left_later != 0) {
        checksum.compute_many(stream_, {later_starts, left_later}, {later_sizes, left_later},
                              {later_values, left_later});
        for (std::size_t k = 0; k < left_later; ++k) computed[later[k]] = later_values[k];
      }
      for (std::size_t k = 0; k < count; ++k) {
        const std::uint64_t packet = walked_starts[k];
        if ((has_rules && !rules_allow_quickly(packet)) ||
            check_found(packet, covered_sizes[k] + uncovered) != computed[k]) [[unlikely]] {
          starts.insert(starts.end(), walked_starts, walked_starts + k);
          return packet;
        }
      }
      starts.insert(starts.end(), walked_starts, walked_starts + count);
      start = at;
      if (!walking || at >= size) return start;
    }
    return start;
  }

  // The check found at the end of the packet of `total` bytes at `start`,
  // and the one computed over it.
  std::uint64_t check_found(std::uint64_t start, std::uint64_t total) const {
    const std::uint8_t* end = stream_.data() + start + total;
    if (start + total >= 8) [[likely]] {
      // The 8 bytes that end the packet hold it.
      const unsigned bits = 8 * check_->bytes;
      if (!check_->little_endian) return load_big_endian_64(end - 8) & low_mask(bits);
      std::uint64_t word;
      std::memcpy(&word, end - 8, 8);
      if constexpr (std::endian::native == std::endian::big) word = std::byteswap(word);
      return word >> (64 - bits);
    }
    std::uint64_t value = 0;
    for (std::uint32_t k = 0; k < check_->bytes; ++k) {
      const auto back =
          static_cast<std::ptrdiff_t>(check_->little_endian ? k + 1 : check_->bytes - k);
      const std::uint8_t byte = end[-back];
      value = (value << 8) | byte;
    }
    return value;
  }
  std::uint64_t check_computed(std::uint64_t start, std::uint64_t total) const {
    return check_->checksum->compute(
        stream_.subspan(start + check_->start, total - check_->bytes - check_->start));
  }
  bool check_holds(std::uint64_t start, std::uint64_t total) const {
    // The bytes in order: the check read last, from the cache lines the
    // computation brought in.
    const std::uint64_t computed = check_computed(start, total);
    return check_found(start, total) == computed;
  }

  // rules_allow where the header word tests apply and 8 bytes remain.
  [[gnu::always_inline]] bool rules_allow_quickly(std::uint64_t start) const {
    if (!header_word_tests_ || stream_.size() - start < 8) return rules_allow(start);
    const std::uint64_t word = load_big_endian_64(stream_.data() + start);
    for (const WordTest& test : word_tests_) {
      const std::uint64_t value = (word >> test.shift) & test.mask;
      if ((test.table[value / 64] >> (value % 64) & 1) == 0) return false;
    }
    return true;
  }

  [[gnu::always_inline]] bool rules_allow(std::uint64_t start) const {
    for (std::size_t k = 0; k < rules_->fields.size(); ++k) {
      if (!rule_allows(k, rule_value(k, start))) return false;
    }
    return true;
  }

  HeaderCheck check(std::uint64_t start) const {
    HeaderCheck out;
    const std::uint64_t left = stream_.size() - start;
    if (header_bytes_ > left || rule_bytes_ > left) {
      out.verdict = Verdict::ShortHeader;
      return out;
    }
    std::uint64_t field = read_field(stream_.data(), start * 8 + length_.offset_bits, length_.bits);
    // As a layout reads the same field: the bytes that hold it swapped, then
    // only its own width kept.
    if (length_.little_endian) {
      field = reverse_low_bytes(field, (length_.bits + 7) / 8) & low_mask(length_.bits);
    }
    out.field = field;
    out.total = static_cast<__int128>(field) + length_.adjust;
    if (out.total < static_cast<__int128>(min_total_) || out.total > max_total_) {
      out.verdict = Verdict::BadLength;
      return out;
    }
    if (rules_ != nullptr) {
      for (std::size_t k = 0; k < rules_->fields.size(); ++k) {
        const std::uint64_t value = rule_value(k, start);
        if (!rule_allows(k, value)) {
          out.verdict = Verdict::BadHeader;
          out.rule = k;
          out.value = value;
          return out;
        }
      }
    }
    if (out.total > static_cast<__int128>(left)) {
      out.verdict = Verdict::Truncated;
    } else if (check_ != nullptr) {
      const auto total = static_cast<std::uint64_t>(out.total);
      out.value = check_found(start, total);
      out.computed = check_computed(start, total);
      if (out.value != out.computed) out.verdict = Verdict::BadCheck;
    }
    return out;
  }

  // The length field's value (as stored): one load where the 8 bytes that
  // end with its last byte hold it, as a header rule's.
  [[gnu::always_inline]] std::uint64_t length_value(std::uint64_t start) const {
    if (length_reader_.in_window && start + length_reader_.end_byte >= 8) [[likely]] {
      return read_window(stream_.data() + start + length_reader_.end_byte, length_reader_.shift,
                         length_reader_.mask);
    }
    return read_field(stream_.data(), start * 8 + length_.offset_bits, length_.bits);
  }

  [[gnu::always_inline]] std::uint64_t rule_value(std::size_t k, std::uint64_t start) const {
    const RuleReader& reader = readers_[k];
    if (reader.in_window && start + reader.end_byte >= 8) [[likely]] {
      return read_window(stream_.data() + start + reader.end_byte, reader.shift, reader.mask);
    }
    const HeaderRule& rule = rules_->fields[k];
    return read_field(stream_.data(), start * 8 + rule.offset_bits, rule.bits);
  }

  [[gnu::always_inline]] bool rule_allows(std::size_t k, std::uint64_t value) const {
    return rule_allows_value(rules_->fields[k], tables_[k], value);
  }

  // The sentence saying why the packet at `start` is refused. `who` names
  // it ("packet 3 at byte 120").
  std::string describe(const HeaderCheck& check, std::uint64_t start,
                       const std::string& who) const {
    const std::uint64_t left = stream_.size() - start;
    switch (check.verdict) {
      case Verdict::Ok: break;
      case Verdict::ShortHeader:
        return concat(who, " is truncated: the stream ends ", left,
                      " bytes into it, before the end of its ",
                      header_bytes_ > left ? "length field at byte " : "checked header at byte ",
                      std::max(header_bytes_, rule_bytes_));
      case Verdict::Truncated:
        return concat(who, " is truncated: its length field gives ", check.total,
                      " bytes but only ", left, " remain in the stream");
      case Verdict::BadLength: {
        const std::string total =
            concat(who, " has a total length of ", check.total, " bytes (length field ",
                   check.field, " + adjust ", length_.adjust, ")");
        if (check.total < 1) return concat(total, ": a packet needs at least one byte");
        if (check.total < static_cast<__int128>(header_bytes_)) {
          return concat(total, ", which ends before the end of its length field at byte ",
                        header_bytes_);
        }
        return concat(total, ", outside the allowed ", min_total_, " to ", max_total_, " bytes");
      }
      case Verdict::BadHeader: {
        const HeaderRule& rule = rules_->fields[check.rule];
        return concat(who, " has ", check.value, " in header bits ", rule.offset_bits, " to ",
                      rule.offset_bits + rule.bits - 1, ", which the rules do not allow");
      }
      case Verdict::BadCheck: {
        char values[80];
        const int digits = static_cast<int>(check_->bytes * 2);
        std::snprintf(values, sizeof values, "0x%0*llX but its last %u bytes hold 0x%0*llX", digits,
                      static_cast<unsigned long long>(check.computed), check_->bytes, digits,
                      static_cast<unsigned long long>(check.value));
        return concat(who, " of ", check.total,
                      " bytes fails its check: ", check_->checksum->algorithm().name,
                      " over bytes ", check_->start, " to ", check.total - check_->bytes, " gives ",
                      values);
      }
    }
    return {};
  }

  // True when `confirm` packets from `start` validate one after the other,
  // or at least one does and the stream ends (or is cut) after them.
  bool confirmed_at(std::uint64_t start, std::uint32_t confirm) const {
    std::uint64_t at = start;
    for (std::uint32_t k = 0; k < confirm; ++k) {
      if (at == stream_.size()) return k > 0;
      const HeaderCheck next = check(at);
      if (next.verdict == Verdict::Ok) {
        at += static_cast<std::uint64_t>(next.total);
        continue;
      }
      return k > 0 && (next.verdict == Verdict::Truncated || next.verdict == Verdict::ShortHeader);
    }
    return true;
  }

 private:
  ByteSpan stream_;
  LengthField length_;
  const FramingRules* rules_;
  std::uint64_t header_bytes_ = 0;
  std::uint64_t rule_bytes_ = 0;
  std::uint64_t needed_bytes_ = 0;  // the larger of the two
  std::uint64_t min_total_ = 1;
  // Without a maximum, a length past the end of the stream is a truncation.
  __int128 max_total_ = static_cast<__int128>(1) << 100;
  std::vector<std::vector<std::uint64_t>> tables_;  // per rule; empty: search `allowed`
  struct RuleReader {
    std::uint64_t end_byte;  // one past the field's last byte, from the packet's first
    unsigned shift;          // the field's bits above the end of that byte
    std::uint64_t mask;
    bool in_window;  // the 8 bytes that end with that byte hold the field
  };
  std::vector<RuleReader> readers_;  // per rule
  RuleReader length_reader_{};
  // Every rule in the packet's first 8 bytes and looked up in a table.
  bool header_word_tests_ = false;
  struct WordTest {
    unsigned shift;  // of the field's last bit from the end of the 8 bytes
    std::uint64_t mask;
    const std::uint64_t* table;  // tables_[k]
  };
  std::vector<WordTest> word_tests_;

  // Where a field lies in the 8 bytes that end with its last byte, one load
  // reads it: the shift and mask worked out once.
  static RuleReader reader_of(std::uint64_t offset_bits, std::uint32_t bits) {
    const std::uint64_t end_bit = offset_bits + bits;
    const std::uint64_t end_byte = bytes_through(end_bit);
    return {end_byte, static_cast<unsigned>(end_byte * 8 - end_bit), low_mask(bits),
            end_byte - offset_bits / 8 <= 8};
  }
  const TrailingCheck* check_ = nullptr;
};

SkipReason reason_of(Verdict verdict) {
  switch (verdict) {
    case Verdict::ShortHeader:
    case Verdict::Truncated: return SkipReason::Truncated;
    case Verdict::BadHeader: return SkipReason::BadHeader;
    case Verdict::BadCheck: return SkipReason::BadCheck;
    case Verdict::Ok:
    case Verdict::BadLength: break;
  }
  return SkipReason::BadLength;
}

}  // namespace

std::vector<std::uint64_t> allowed_value_table(const HeaderRule& rule) {
  std::vector<std::uint64_t> table;
  if (rule.bits <= 16) {
    table.assign((std::size_t{1} << rule.bits) / 64 + 1, 0);
    for (const std::uint64_t value : rule.allowed) {
      table[value / 64] |= std::uint64_t{1} << (value % 64);
    }
  }
  return table;
}

Result<std::vector<std::uint64_t>> split_stream(ByteSpan stream, const LengthField& length,
                                                const FramingRules* rules) {
  const Framer framer(stream, length, rules);
  std::vector<std::uint64_t> starts;
  const std::uint64_t size = stream.size();
  std::uint64_t start = 0;
  while (start < size) {
    start = framer.take_valid(start, starts);
    if (start >= size) break;
    const HeaderCheck check = framer.check(start);
    if (check.verdict != Verdict::Ok) {
      return value_error(
          framer.describe(check, start, concat("packet ", starts.size(), " at byte ", start)));
    }
    starts.push_back(start);
    start += static_cast<std::uint64_t>(check.total);
  }
  return starts;
}

FramedStream frame_stream(ByteSpan stream, const LengthField& length, const FramingRules& rules,
                          std::uint64_t from, std::uint64_t skip_limit) {
  const Framer framer(stream, length, &rules);
  const std::uint32_t confirm = std::max<std::uint32_t>(rules.confirm, 1);
  FramedStream out;
  const std::uint64_t size = stream.size();
  // The first byte after `from` where packets validate again.
  const auto resynchronise = [&](std::uint64_t from) {
    for (;;) {
      while (from < size && !framer.confirmed_at(from, confirm)) ++from;
      if (!rules.check || from >= size) return from;
      // A check holds by chance once in 2^width candidates, and a false
      // packet of random length may end on a real one, which confirms it.
      // Real packets confirmed inside it show it false: resume at them.
      const std::uint64_t end = from + framer.valid_total(from);
      std::uint64_t inside = from + 1;
      while (inside < end && !framer.confirmed_at(inside, confirm)) ++inside;
      if (inside >= end) return from;
      from = inside;
    }
  };
  std::uint64_t start = from;
  // Whether `start` was reached by the length of the last packet taken:
  // that packet is only confirmed once the header at `start` validates.
  bool after_packet = false;
  std::uint64_t skipped_bytes = 0;
  while (start < size && skipped_bytes <= skip_limit) {
    const std::size_t taken = out.starts.size();
    start = framer.take_valid(start, out.starts);
    if (out.starts.size() != taken) after_packet = true;
    if (start >= size) break;
    const std::size_t ranges = out.skipped.size();
    const HeaderCheck check = framer.check(start);  // not Ok: valid_total said so
    // With a check, a packet is only taken when what follows it is a packet
    // (or nothing): a check that holds by chance over a corrupt length
    // (1 in 65536 for a CRC-16) is then caught by the bytes after it.
    const bool bad_header =
        check.verdict == Verdict::BadLength || check.verdict == Verdict::BadHeader ||
        (rules.check &&
         (check.verdict == Verdict::BadCheck || check.verdict == Verdict::Truncated));
    std::string detail = framer.describe(check, start, concat("the packet at byte ", start));
    if (after_packet && bad_header) {
      // Either the last packet's length is wrong, or this header is
      // damaged. Where packets validate again tells which: a packet that
      // runs past that point has a bad length. One that ends before it is
      // kept, unless two packets in a row validate inside it: then its
      // length is the likelier fault, and it would hide them.
      const std::uint64_t previous = out.starts.back();
      const std::uint64_t resume = resynchronise(previous + 1);
      bool hides_packets = false;
      for (std::uint64_t inside = previous + 1; inside < start && inside < resume && !hides_packets;
           ++inside) {
        hides_packets = framer.confirmed_at(inside, 2);
      }
      if (start <= resume && !hides_packets) {
        if (start < resume)
          out.skipped.push_back({start, resume, reason_of(check.verdict), std::move(detail)});
      } else {
        out.starts.pop_back();
        out.skipped.push_back(
            {previous, resume, SkipReason::BadNextHeader,
             concat("the packet at byte ", previous, " gives a total length of ", start - previous,
                    " bytes, but what follows it is no packet: ", detail)});
      }
      start = resume;
    } else {
      // A length past the end of the stream is a cut stream, or a corrupt
      // length field when packets validate again before the end.
      const std::uint64_t resume =
          check.verdict == Verdict::ShortHeader ? size : resynchronise(start + 1);
      SkipReason reason = reason_of(check.verdict);
      if (reason == SkipReason::Truncated && resume < size) reason = SkipReason::BadLength;
      out.skipped.push_back({start, resume, reason, std::move(detail)});
      start = resume;
    }
    after_packet = false;
    if (out.skipped.size() != ranges) {  // one range at most
      skipped_bytes += out.skipped.back().stop - out.skipped.back().start;
    }
  }
  return out;
}

void packet_lengths(const FramedStream& framed, std::uint64_t stream_size,
                    std::span<std::int64_t> out) {
  const std::vector<std::uint64_t>& starts = framed.starts;
  if (starts.empty()) return;
  // Packets run into each other but where a skipped range lies between.
  for (std::size_t i = 0; i + 1 < starts.size(); ++i) {
    out[i] = static_cast<std::int64_t>(starts[i + 1] - starts[i]);
  }
  out[starts.size() - 1] = static_cast<std::int64_t>(stream_size - starts.back());
  for (const SkippedRange& skipped : framed.skipped) {
    const auto after = std::upper_bound(starts.begin(), starts.end(), skipped.start);
    if (after == starts.begin()) continue;
    // Only the first range after a packet ends it.
    const std::size_t before = static_cast<std::size_t>(after - starts.begin()) - 1;
    out[before] = std::min(out[before], static_cast<std::int64_t>(skipped.start - starts[before]));
  }
}

}  // namespace vantrel
