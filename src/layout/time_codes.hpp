// CCSDS unsegmented (CUC) and day-segmented (CDS) time codes, read from and
// written to packet bits, and the two time scales they may be kept in.
//
// Times are held as nanoseconds since 1970-01-01T00:00:00 on a clock whose
// days all have 86400 seconds: the calendar reading of a scale, the value a
// numpy datetime64[ns] holds. For TAI that reading is exact (TAI has no leap
// seconds); for UTC it is the POSIX reading, in which an inserted leap second
// has no value of its own.
#pragma once

#include <cstdint>
#include <functional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "common/error.hpp"

namespace vantrel {

using Nanoseconds = std::int64_t;

inline constexpr Nanoseconds kNanosPerSecond = 1'000'000'000;
inline constexpr Nanoseconds kNanosPerDay = 86'400 * kNanosPerSecond;

enum class TimeScale : std::uint8_t { Tai, Utc };

// Days since 1970-01-01 of a proleptic Gregorian date, and back.
std::int64_t days_from_civil(std::int64_t year, unsigned month, unsigned day);
void civil_from_days(std::int64_t days, std::int64_t& year, unsigned& month, unsigned& day);

// "YYYY-MM-DD" or "YYYY-MM-DDTHH:MM:SS" with up to nine fraction digits (a
// space may stand for the T), as a calendar reading in nanoseconds.
Result<Nanoseconds> parse_iso_time(std::string_view text);
// The reading as "YYYY-MM-DDTHH:MM:SS.fffffffff": parse_iso_time's inverse.
std::string format_iso_time(Nanoseconds reading);

// One row of the leap-second table: from UTC day `day` (days since
// 1970-01-01) on, TAI - UTC is `tai_minus_utc` seconds.
struct LeapSecond {
  std::int64_t day = 0;
  std::int32_t tai_minus_utc = 0;
  bool operator==(const LeapSecond&) const = default;
};

class LeapSecondTable {
 public:
  // The table built into this version: every leap second announced up to
  // the one inserted at the end of 2016 (TAI - UTC = 37 s from 2017-01-01).
  static const LeapSecondTable& builtin();
  // A table of the caller's: rows in increasing day order, from 1972-01-01 on.
  static Result<LeapSecondTable> make(std::vector<LeapSecond> rows);

  std::span<const LeapSecond> rows() const { return rows_; }

  // The TAI reading of a UTC reading; fails before the table's first day,
  // when UTC did not yet keep to whole SI seconds.
  Result<Nanoseconds> utc_to_tai(Nanoseconds utc) const;
  // The UTC reading of a TAI reading. An instant inside an inserted leap
  // second (23:59:60 UTC) has no UTC reading of its own: it is given as the
  // last nanosecond before midnight, so readings never go backwards.
  Result<Nanoseconds> tai_to_utc(Nanoseconds tai) const;

  bool operator==(const LeapSecondTable& other) const { return rows_ == other.rows_; }

 private:
  std::vector<LeapSecond> rows_;
};

enum class TimeCodeKind : std::uint8_t { Cuc, Cds };

// One time code's format and meaning.
struct TimeCodeFormat {
  TimeCodeKind kind = TimeCodeKind::Cuc;
  bool p_field = false;  // a one-octet preamble field precedes the code
  // CUC: octets of whole seconds (1-4) and of binary fractions (0-3).
  std::uint8_t coarse_octets = 4;
  std::uint8_t fine_octets = 0;
  // CDS: octets of the day count (2 or 3) and of the sub-millisecond part
  // (0, 2: microseconds, 4: picoseconds).
  std::uint8_t day_octets = 2;
  std::uint8_t submillisecond_octets = 0;
  // The epoch: a calendar reading in `code_scale`, the scale the code counts
  // in; `agency_epoch` when it is not 1958-01-01 (the P-field says so).
  Nanoseconds epoch = 0;
  bool agency_epoch = false;
  TimeScale code_scale = TimeScale::Tai;
  // The scale the decoded times are given in.
  TimeScale scale = TimeScale::Tai;
  LeapSecondTable leap_seconds;

  bool operator==(const TimeCodeFormat&) const = default;

  // The code's width, P-field included.
  std::uint32_t bits() const;
  // The P-field that describes this format.
  std::uint8_t p_field_value() const;
};

// 1958-01-01T00:00:00, the epoch of both codes unless an agency gives one.
inline constexpr Nanoseconds kCcsdsEpoch = -4383 * kNanosPerDay;

// Reads the code whose first bit is `bit` of `packet` (the caller has
// checked that format.bits() bits lie inside) as a time in format.scale. Fails
// on a P-field that is not the expected one, segments out of range, UTC
// outside the leap-second table, or a time past datetime64[ns].
Result<Nanoseconds> decode_time_code(const std::uint8_t* packet, std::uint64_t bit,
                                     const TimeCodeFormat& format);

// Writes `time` (in format.scale) as the code at `bit` of `packet`, rounded
// to the nearest unit of the code's finest segment. Fails when the time is
// before the epoch or too far after it for the code's segments.
Result<void> encode_time_code(std::uint8_t* packet, std::uint64_t packet_size, std::uint64_t bit,
                              const TimeCodeFormat& format, Nanoseconds time);

// num / den rounded to the nearest integer, ties to the even one.
constexpr std::uint64_t divide_round_even(std::uint64_t num, std::uint64_t den) {
  const std::uint64_t q = num / den;
  const std::uint64_t r = num % den;
  return q + (r > den - r || (r == den - r && (q & 1) != 0));
}

// The time of element `element` of packet `packet`, read from the packet
// itself: for time codes wider than 64 bits, whose raw column keeps only
// their low 64 bits.
using ElementTime = std::function<Result<Nanoseconds>(std::size_t packet, std::uint64_t element)>;

}  // namespace vantrel
