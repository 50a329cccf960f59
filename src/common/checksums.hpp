// Packet error control: CRCs of the Rocksoft model (any width from 3 to 64
// bits, by catalogue name or by parameters) and the simple sums, computed
// over byte spans. A `Checksum` is compiled once (its tables built) and then
// used for any number of packets, from any thread.
#pragma once

#include <array>
#include <cstdint>
#include <memory>
#include <optional>
#include <span>
#include <string>
#include <string_view>

#include "common/error.hpp"
#include "common/types.hpp"

namespace vantrel {

enum class CheckKind : std::uint8_t {
  Crc,         // Rocksoft model
  Sum,         // two's complement (modular) sum of 8- or 16-bit big-endian words
  OnesSum,     // ones' complement (end-around carry) sum of 8- or 16-bit big-endian words
  Fletcher16,  // Fletcher's checksum over bytes, sums modulo 255: (sum2 << 8) | sum1
  Xor8,        // ISO 1155 longitudinal parity: the exclusive or of every byte
};

// One algorithm: the CRC's parameters, or a sum's width and whether its
// result is complemented (ones' complement) or negated (two's complement)
// so that the data and its check together sum to zero.
struct CheckAlgorithm {
  CheckKind kind = CheckKind::Crc;
  std::uint32_t width = 16;  // bits of the check value
  std::uint64_t poly = 0;    // CRCs: the generator polynomial, top bit implicit
  std::uint64_t init = 0;
  bool refin = false;
  bool refout = false;
  std::uint64_t xorout = 0;  // also for the sums: xored into the result
  bool negate = false;       // sums: two's complement of the sum
  std::string name;          // the catalogue name, or a description of the parameters
};

// The catalogue row of one named algorithm, with its check value over the
// nine bytes "123456789".
struct NamedCheck {
  std::string_view name;
  CheckAlgorithm (*make)();
  std::uint64_t check;
};

// Every named algorithm, catalogue order. Names are matched without regard
// to case, and "_" matches "-".
std::span<const NamedCheck> named_checks();

// The algorithm of a catalogue name (or one of its aliases), or a
// ValueError listing a few names.
Result<CheckAlgorithm> check_by_name(std::string_view name);

// A CRC from its parameters; a ValueError says which one is out of range.
Result<CheckAlgorithm> crc_from_parameters(std::uint32_t width, std::uint64_t poly,
                                           std::uint64_t init, bool refin, bool refout,
                                           std::uint64_t xorout);

struct CrcTables;

// A compiled algorithm: tables built once, the fastest update the processor
// supports chosen at compile time of the checksum (run time of the process).
class Checksum {
 public:
  // Narrow: no 512-bit folding even where the processor has it (so that
  // the tests hold both folds to the model on one machine).
  enum class Vectors : std::uint8_t { Widest, Narrow };
  explicit Checksum(CheckAlgorithm algorithm, Vectors vectors = Vectors::Widest);
  ~Checksum();
  Checksum(const Checksum&) = delete;
  Checksum& operator=(const Checksum&) = delete;

  const CheckAlgorithm& algorithm() const { return algorithm_; }

  // The check value of `data` (below 2^width).
  std::uint64_t compute(ByteSpan data) const;

  // values[i] = compute(data.subspan(starts[i], sizes[i])) for every i: the
  // checks of many packets at once, faster than one by one when their
  // lengths vary (every range must lie inside `data`).
  void compute_many(ByteSpan data, std::span<const std::uint64_t> starts,
                    std::span<const std::uint64_t> sizes, std::span<std::uint64_t> values) const;

  // values[k] = compute({data[k], sizes[k]}) for four ranges of
  // four_at_once_least() to `longest` bytes (at most kFourAtOnceBytes), with
  // no branch on their lengths where four_at_once_least() is not zero: for
  // a caller that computes checks as it finds ranges of unlike lengths
  // (framing), or many of one length.
  static constexpr std::size_t kFourAtOnceBytes = 256;
  void compute_four(const std::uint8_t* const data[4], const std::size_t sizes[4],
                    std::uint64_t values[4], std::size_t longest = kFourAtOnceBytes) const;
  // The shortest range compute_four folds that way, 0 where it does not.
  std::size_t four_at_once_least() const { return wide_folding_ ? (algorithm_.width + 7) / 8 : 0; }

  // The bit-at-a-time reference the tables are checked against (slow).
  std::uint64_t compute_reference(ByteSpan data) const;

  // The slice-by-8 table path, whatever the processor supports (for tests).
  std::uint64_t compute_tables(ByteSpan data) const;

  // Whether compute() uses the SSE4.2 crc32 instruction (CRC-32C only).
  bool uses_hardware() const { return hardware_; }
  // Whether compute() folds data of 64 bytes and more by carry-less
  // multiplication (PCLMULQDQ), for the CRCs other than CRC-32C.
  bool uses_folding() const { return folding_; }
  // Whether compute() and compute_many() fold four blocks to an
  // instruction (VPCLMULQDQ on 512-bit vectors) for data up to 1 KiB.
  bool uses_wide_folding() const { return wide_folding_; }

 private:
  CheckAlgorithm algorithm_;
  std::unique_ptr<CrcTables> tables_;
  bool hardware_ = false;
  bool folding_ = false;
  bool wide_folding_ = false;
};

// True when the processor has the SSE4.2 crc32 instruction.
bool crc32c_hardware_available();

}  // namespace vantrel
