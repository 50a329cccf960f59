#include "streams/framing_learning.hpp"

#include <algorithm>
#include <cmath>
#include <unordered_map>
#include <vector>

#include "common/packet_bits.hpp"

namespace vantrel {

namespace {

// The header words that may hold identifiers: the 16-bit words (an 8-bit
// one at the end) that lie wholly before the length field, within the
// first 32 bytes.
std::vector<HeaderRule> candidate_words(const LengthField& length) {
  std::vector<HeaderRule> words;
  std::uint64_t bit = 0;
  const std::uint64_t end = std::min<std::uint64_t>(length.offset_bits, 256);
  while (bit + 8 <= end) {
    HeaderRule word;
    word.offset_bits = bit;
    word.bits = bit + 16 <= end ? 16 : 8;
    words.push_back(word);
    bit += word.bits;
  }
  return words;
}

// A header field of whole bytes, big-endian, as read_field reads it: the
// 8- and 16-bit words learning reads from every packet of its sample.
inline std::uint64_t field_value(ByteSpan stream, std::uint64_t start, std::uint64_t offset_bits,
                                 std::uint32_t bits) {
  if (offset_bits % 8 == 0 && (bits == 16 || bits == 8)) [[likely]] {
    const std::uint8_t* at = stream.data() + start + offset_bits / 8;
    return bits == 8 ? at[0] : std::uint64_t{at[0]} << 8 | at[1];
  }
  return read_field(stream.data(), start * 8 + offset_bits, bits);
}

// Learning reads a field of every packet of a sample of megabytes, each
// header far from the last: the header a few packets ahead is asked for
// early, so that those reads do not wait on memory one after the other.
inline void prefetch_header(ByteSpan stream, const std::vector<std::uint64_t>& starts,
                            std::size_t i) {
  constexpr std::size_t kAhead = 16;
  if (i + kAhead < starts.size()) __builtin_prefetch(stream.data() + starts[i + kAhead]);
}

inline std::uint64_t word_value(ByteSpan stream, std::uint64_t start, const HeaderRule& word) {
  return field_value(stream, start, word.offset_bits, word.bits);
}

inline std::uint64_t declared_total(ByteSpan stream, std::uint64_t start,
                                    const LengthField& length) {
  std::uint64_t field = field_value(stream, start, length.offset_bits, length.bits);
  if (length.little_endian) {
    field = reverse_low_bytes(field, (length.bits + 7) / 8) & low_mask(length.bits);
  }
  const __int128 total = static_cast<__int128>(field) + length.adjust;
  return total < 0 ? 0 : static_cast<std::uint64_t>(std::min<__int128>(total, UINT64_MAX));
}

// Per-value counts of a header word: a table for words of up to 16 bits
// (every header word a stream offers), a map otherwise.
class ValueCounts {
 public:
  explicit ValueCounts(std::uint32_t bits) {
    if (bits <= 16) table_.assign(std::size_t{1} << bits, 0);
  }
  void add(std::uint64_t value) {
    if (!table_.empty()) {
      if (table_[value]++ == 0) touched_.push_back(value);
    } else {
      ++map_[value];
    }
  }
  std::uint32_t operator[](std::uint64_t value) const {
    if (!table_.empty()) return table_[value];
    const auto found = map_.find(value);
    return found == map_.end() ? 0 : found->second;
  }
  // Every value counted, in no particular order.
  template <class Visit>
  void for_each(Visit visit) const {
    if (table_.empty()) {
      for (const auto& [value, count] : map_) visit(value, count);
      return;
    }
    for (const std::uint64_t value : touched_) visit(value, table_[value]);
  }
  // Back to no value counted, for the next word of the same width (the
  // table kept: learning tries several words over the same packets).
  void clear() {
    for (const std::uint64_t value : touched_) table_[value] = 0;
    touched_.clear();
    map_.clear();
  }

 private:
  std::vector<std::uint32_t> table_;
  std::vector<std::uint64_t> touched_;  // the values whose count is not zero
  std::unordered_map<std::uint64_t, std::uint32_t> map_;
};

// What learn_identifier reuses from word to word: the words' values and
// their counts, by width.
struct IdentifierScratch {
  std::vector<std::uint64_t> values;
  std::unordered_map<std::uint32_t, std::pair<ValueCounts, ValueCounts>> counts;  // by bits

  std::pair<ValueCounts, ValueCounts>& counts_of(std::uint32_t bits) {
    auto found = counts.find(bits);
    if (found == counts.end()) {
      found = counts.emplace(bits, std::pair{ValueCounts(bits), ValueCounts(bits)}).first;
    }
    found->second.first.clear();
    found->second.second.clear();
    return found->second;
  }
};

// Whether a word holds an identifier, and which values: the values seen at
// least three times must be few (at most 4096, and on average seen 32
// times, so that a value the sample holds rarely is unlikely to be missing
// from it), hold 99 packets in 100 (rules that refuse more would refuse
// sound packets), and be stable: the packets of the sample's second half
// that hold one of them hold, nine times in ten, one the first half holds
// too. A counter fails the last test, random bytes the first.
bool learn_identifier(ByteSpan stream, const std::vector<std::uint64_t>& starts, HeaderRule& word,
                      IdentifierScratch& scratch) {
  const std::size_t n = starts.size();
  if (n < 16) return false;
  auto& [counts, first_half] = scratch.counts_of(word.bits);
  std::vector<std::uint64_t>& values = scratch.values;
  values.resize(n);
  for (std::size_t i = 0; i < n; ++i) {
    prefetch_header(stream, starts, i);
    values[i] = word_value(stream, starts[i], word);
    counts.add(values[i]);
    if (i < n / 2) first_half.add(values[i]);
  }
  std::vector<std::uint64_t> frequent;
  std::uint64_t covered = 0;
  counts.for_each([&](std::uint64_t value, std::uint32_t count) {
    if (count >= 3) {
      frequent.push_back(value);
      covered += count;
    }
  });
  if (frequent.empty() || frequent.size() > 4096 || frequent.size() * 32 > n) return false;
  if (covered * 100 < n * 99) return false;
  std::sort(frequent.begin(), frequent.end());
  std::uint64_t later = 0, seen_before = 0;
  for (std::size_t i = n / 2; i < n; ++i) {
    const std::uint64_t value = values[i];
    if (counts[value] < 3) continue;  // not among the frequent values
    ++later;
    seen_before += first_half[value] != 0;
  }
  if (later < 8 || seen_before * 10 < later * 9) return false;
  word.allowed = std::move(frequent);
  return true;
}

// Whether header fields hold values their rules allow (through their
// allowed_value_table).
class AllowedValues {
 public:
  explicit AllowedValues(const std::vector<HeaderRule>& rules) : rules_(rules) {
    for (const HeaderRule& rule : rules) tables_.push_back(allowed_value_table(rule));
  }
  bool allow(ByteSpan stream, std::uint64_t start) const {
    for (std::size_t k = 0; k < rules_.size(); ++k) {
      if (!rule_allows_value(rules_[k], tables_[k], word_value(stream, start, rules_[k])))
        return false;
    }
    return true;
  }

 private:
  const std::vector<HeaderRule>& rules_;
  std::vector<std::vector<std::uint64_t>> tables_;
};

// The packets of a framing that have framed packets right before and after
// them: no damage next to them.
template <class Visit>
void clean_packets(const FramedStream& framed, ByteSpan stream, Visit visit) {
  std::vector<std::int64_t> lengths(framed.starts.size());
  packet_lengths(framed, stream.size(), lengths);
  for (std::size_t i = 1; i + 1 < framed.starts.size(); ++i) {
    prefetch_header(stream, framed.starts, i);
    const bool joined_before =
        framed.starts[i - 1] + static_cast<std::uint64_t>(lengths[i - 1]) == framed.starts[i];
    const bool joined_after =
        framed.starts[i] + static_cast<std::uint64_t>(lengths[i]) == framed.starts[i + 1];
    if (joined_before && joined_after)
      visit(framed.starts[i], static_cast<std::uint64_t>(lengths[i]));
  }
}

// A check that ends the clean packets of the sample (`packets`: start and
// total length of the first 1024 whose length field gives that length):
// the common CRCs, in either byte order, holding in 99 of 100 of them.
std::optional<TrailingCheck> learn_check(
    ByteSpan sample, const std::vector<std::pair<std::uint64_t, std::uint64_t>>& packets) {
  if (packets.size() < 16) return std::nullopt;
  for (const char* name :
       {"CRC-16/IBM-3740", "CRC-16/KERMIT", "CRC-16/XMODEM", "CRC-32/ISO-HDLC", "CRC-32/ISCSI"}) {
    auto checksum = std::make_shared<const Checksum>(*check_by_name(name));
    const std::uint32_t bytes = checksum->algorithm().width / 8;
    for (const bool little : {false, true}) {
      std::size_t holding = 0;
      for (const auto& [start, total] : packets) {
        if (total <= bytes) continue;
        std::uint64_t found = 0;
        for (std::uint32_t k = 0; k < bytes; ++k) {
          const std::uint8_t byte =
              little ? sample[start + total - 1 - k] : sample[start + total - bytes + k];
          found = (found << 8) | byte;
        }
        holding += found == checksum->compute(sample.subspan(start, total - bytes));
      }
      if (holding * 100 >= packets.size() * 99) {
        TrailingCheck check;
        check.checksum = std::move(checksum);
        check.bytes = bytes;
        check.little_endian = little;
        return check;
      }
    }
  }
  return std::nullopt;
}

// The framing of `data` with `rules`, given its framing `known` with other
// rules. The packets of `known` before its first skipped range run from the
// first byte, one after the other; as long as `fits` (start, total) says
// `rules` take them too, they are taken alike, and framing goes on from the
// last of them as it would from a stream starting there (what follows a
// packet never changes what came before it but that packet). So only the
// rest is framed again: learning tries rules on a clean sample without
// framing all of it each time. Framing stops past `skip_limit` skipped
// bytes, as frame_stream does.
template <class Fits>
FramedStream reframe(ByteSpan data, const LengthField& length, const FramingRules& rules,
                     const FramedStream& known, std::uint64_t skip_limit, Fits fits) {
  const std::uint64_t first_skip = known.skipped.empty() ? data.size() : known.skipped[0].start;
  std::size_t kept = 0;
  if (!known.starts.empty() && known.starts[0] == 0) {
    while (kept < known.starts.size() && known.starts[kept] < first_skip) {
      prefetch_header(data, known.starts, kept);
      const bool last = kept + 1 == known.starts.size();
      const std::uint64_t end = last ? first_skip : std::min(known.starts[kept + 1], first_skip);
      if (!fits(known.starts[kept], end - known.starts[kept])) break;
      ++kept;
    }
  }
  if (kept == 0) return frame_stream(data, length, rules, 0, skip_limit);
  FramedStream out = frame_stream(data, length, rules, known.starts[kept - 1], skip_limit);
  out.starts.insert(out.starts.begin(), known.starts.begin(), known.starts.begin() + (kept - 1));
  return out;
}

}  // namespace

LearnedFraming frame_learning(ByteSpan stream, const LengthField& length, std::uint32_t confirm,
                              std::uint64_t sample_limit) {
  LearnedFraming out;
  LearnedRules& learned = out.learned;
  FramingRules& rules = learned.rules;
  rules.confirm = confirm;
  const ByteSpan sample = stream.first(std::min<std::uint64_t>(stream.size(), sample_limit));
  learned.sample_bytes = sample.size();

  // 1. Identifiers, from the sample framed by its lengths and a provisional
  //    bound: the smallest power of two under which framing the first
  //    256 KiB still covers nine tenths of what no bound covers (found by
  //    bisection over 2^6 to 2^20).
  //    After damage, framing resumes where four packets in a row are that
  //    short, which random bytes seldom are.
  FramingRules rough_rules;
  rough_rules.confirm = 4;
  {
    const ByteSpan prefix = sample.first(std::min<std::uint64_t>(sample.size(), 1u << 18));
    const auto covered = [&](const FramedStream& framed) {
      std::uint64_t skipped = 0;
      for (const SkippedRange& range : framed.skipped) skipped += range.stop - range.start;
      return prefix.size() - skipped;
    };
    FramingRules trial;
    trial.confirm = 4;
    const FramedStream unbounded = frame_stream(prefix, length, trial);
    const std::uint64_t widest = covered(unbounded);
    // Enough: skipping at most `most` bytes (framing stops past that).
    const std::uint64_t most = (prefix.size() * 10 - widest * 9) / 10;
    const auto enough = [&](unsigned power) {
      const std::uint64_t bound = std::uint64_t{1} << power;
      trial.max_length = bound;
      const FramedStream framed =
          reframe(prefix, length, trial, unbounded, most,
                  [&](std::uint64_t, std::uint64_t total) { return total <= bound; });
      return covered(framed) * 10 >= widest * 9;
    };
    // Coverage grows with the bound: the smallest power that is enough.
    unsigned low = 6, high = 20;
    if (enough(high)) {
      while (low < high) {
        const unsigned middle = (low + high) / 2;
        if (enough(middle)) {
          high = middle;
        } else {
          low = middle + 1;
        }
      }
      rough_rules.max_length = std::uint64_t{1} << high;
    }
  }
  const FramedStream rough = frame_stream(sample, length, rough_rules);
  IdentifierScratch scratch;
  for (HeaderRule word : candidate_words(length)) {
    if (learn_identifier(sample, rough.starts, word, scratch))
      rules.fields.push_back(std::move(word));
  }

  // 2. Length bounds, from the clean stretches of the sample framed with
  //    the identifiers (and the provisional bound).
  FramingRules provisional = rules;
  provisional.max_length = rough_rules.max_length;
  const FramedStream ruled =
      reframe(sample, length, provisional, rough, UINT64_MAX,
              [&, allowed = AllowedValues(rules.fields)](std::uint64_t start, std::uint64_t) {
                return allowed.allow(sample, start);
              });
  std::uint64_t shortest = UINT64_MAX, longest = 0;
  std::vector<std::pair<std::uint64_t, std::uint64_t>> first_clean;  // a check is learned from them
  clean_packets(ruled, sample, [&](std::uint64_t start, std::uint64_t total) {
    if (declared_total(sample, start, length) != total) return;
    shortest = std::min(shortest, total);
    longest = std::max(longest, total);
    ++learned.clean_packets;
    if (first_clean.size() < 1024) first_clean.emplace_back(start, total);
  });
  if (learned.clean_packets >= 16) {
    rules.min_length = shortest;
    rules.max_length = longest;
    rules.check = learn_check(sample, first_clean);
  }

  // 3. The whole stream. A packet the rules refused but whose length leads
  //    exactly to the next framed packet is real when its kind recurs: an
  //    identifier or a length the sample did not show. Two such packets
  //    widen the rules, and the stream is framed again.
  out.framed = frame_stream(stream, length, rules);
  std::vector<std::unordered_map<std::uint64_t, std::uint32_t>> refused(rules.fields.size());
  std::uint64_t refused_shorter = 0, refused_longer = 0;
  std::uint64_t new_min = rules.min_length, new_max = rules.max_length;
  for (const SkippedRange& skipped : out.framed.skipped) {
    if (skipped.reason != SkipReason::BadHeader && skipped.reason != SkipReason::BadLength)
      continue;
    const std::uint64_t header = (length.offset_bits + length.bits + 7) / 8;
    if (skipped.stop - skipped.start < header) continue;
    const std::uint64_t total = declared_total(stream, skipped.start, length);
    if (total != skipped.stop - skipped.start) continue;
    const bool ends_the_stream = skipped.stop == stream.size();
    const bool before_packet =
        std::binary_search(out.framed.starts.begin(), out.framed.starts.end(), skipped.stop);
    if (!ends_the_stream && !before_packet) continue;
    std::size_t failing = 0, which = 0;
    for (std::size_t k = 0; k < rules.fields.size(); ++k) {
      const HeaderRule& rule = rules.fields[k];
      if (!std::binary_search(rule.allowed.begin(), rule.allowed.end(),
                              word_value(stream, skipped.start, rule))) {
        ++failing;
        which = k;
      }
    }
    const bool length_fits = total >= rules.min_length && total <= rules.max_length;
    if (failing == 1 && length_fits) {
      ++refused[which][word_value(stream, skipped.start, rules.fields[which])];
    } else if (failing == 0 && !length_fits) {
      (total < rules.min_length ? refused_shorter : refused_longer) += 1;
      new_min = std::min(new_min, total);
      new_max = std::max(new_max, total);
    }
  }
  bool widened = false;
  for (std::size_t k = 0; k < rules.fields.size(); ++k) {
    for (const auto& [value, count] : refused[k]) {
      if (count < 2) continue;
      std::vector<std::uint64_t>& allowed = rules.fields[k].allowed;
      allowed.insert(std::upper_bound(allowed.begin(), allowed.end(), value), value);
      ++learned.added_values;
      widened = true;
    }
  }
  if (refused_shorter >= 2 || refused_longer >= 2) {
    rules.min_length = refused_shorter >= 2 ? new_min : rules.min_length;
    rules.max_length = refused_longer >= 2 ? new_max : rules.max_length;
    learned.widened_lengths = true;
    widened = true;
  }
  if (widened) out.framed = frame_stream(stream, length, rules);
  return out;
}

}  // namespace vantrel
