#include "layout/time_codes.hpp"

#include <algorithm>
#include <cstdio>
#include <limits>

#include "common/format.hpp"
#include "common/packet_bits.hpp"

namespace vantrel {

// ---- Calendar ---------------------------------------------------------------

// Howard Hinnant's days-from-civil algorithms, valid for every int64 year
// that this code can reach.
std::int64_t days_from_civil(std::int64_t year, unsigned month, unsigned day) {
  year -= month <= 2;
  const std::int64_t era = (year >= 0 ? year : year - 399) / 400;
  const auto year_of_era = static_cast<unsigned>(year - era * 400);
  const unsigned day_of_year = (153 * (month + (month > 2 ? -3 : 9)) + 2) / 5 + day - 1;
  const unsigned day_of_era = year_of_era * 365 + year_of_era / 4 - year_of_era / 100 + day_of_year;
  return era * 146097 + static_cast<std::int64_t>(day_of_era) - 719468;
}

void civil_from_days(std::int64_t days, std::int64_t& year, unsigned& month, unsigned& day) {
  days += 719468;
  const std::int64_t era = (days >= 0 ? days : days - 146096) / 146097;
  const auto day_of_era = static_cast<unsigned>(days - era * 146097);
  const unsigned year_of_era =
      (day_of_era - day_of_era / 1460 + day_of_era / 36524 - day_of_era / 146096) / 365;
  const unsigned day_of_year =
      day_of_era - (365 * year_of_era + year_of_era / 4 - year_of_era / 100);
  const unsigned mp = (5 * day_of_year + 2) / 153;
  day = day_of_year - (153 * mp + 2) / 5 + 1;
  month = mp < 10 ? mp + 3 : mp - 9;
  year = static_cast<std::int64_t>(year_of_era) + era * 400 + (month <= 2);
}

namespace {

bool read_digits(std::string_view text, std::size_t& at, std::size_t count, unsigned& out) {
  out = 0;
  for (std::size_t k = 0; k < count; ++k, ++at) {
    if (at >= text.size() || text[at] < '0' || text[at] > '9') return false;
    out = out * 10 + static_cast<unsigned>(text[at] - '0');
  }
  return true;
}

bool expect(std::string_view text, std::size_t& at, char c) {
  if (at >= text.size() || text[at] != c) return false;
  ++at;
  return true;
}

unsigned days_in_month(std::int64_t year, unsigned month) {
  static constexpr unsigned kDays[] = {31, 28, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31};
  const bool leap = (year % 4 == 0 && year % 100 != 0) || year % 400 == 0;
  return month == 2 && leap ? 29 : kDays[month - 1];
}

}  // namespace

Result<Nanoseconds> parse_iso_time(std::string_view text) {
  auto refuse = [&] {
    return value_error(concat("'", text,
                              "' is not a time of the form YYYY-MM-DD or "
                              "YYYY-MM-DDTHH:MM:SS[.fffffffff]"));
  };
  std::size_t at = 0;
  unsigned year = 0, month = 0, day = 0, hour = 0, minute = 0, second = 0;
  if (!read_digits(text, at, 4, year) || !expect(text, at, '-') ||
      !read_digits(text, at, 2, month) || !expect(text, at, '-') ||
      !read_digits(text, at, 2, day)) {
    return refuse();
  }
  Nanoseconds fraction = 0;
  if (at < text.size()) {
    if (text[at] != 'T' && text[at] != ' ') return refuse();
    ++at;
    if (!read_digits(text, at, 2, hour) || !expect(text, at, ':') ||
        !read_digits(text, at, 2, minute) || !expect(text, at, ':') ||
        !read_digits(text, at, 2, second)) {
      return refuse();
    }
    if (at < text.size()) {
      if (!expect(text, at, '.') || at == text.size()) return refuse();
      Nanoseconds scale = kNanosPerSecond;
      for (; at < text.size(); ++at) {
        if (text[at] < '0' || text[at] > '9' || scale == 1) return refuse();
        scale /= 10;
        fraction += (text[at] - '0') * scale;
      }
    }
  }
  if (month < 1 || month > 12 || day < 1 || day > days_in_month(year, month) || hour > 23 ||
      minute > 59 || second > 59) {
    return value_error(concat("'", text, "' is not a valid date and time"));
  }
  const std::int64_t days = days_from_civil(year, month, day);
  Nanoseconds reading = 0;
  if (__builtin_mul_overflow(days, kNanosPerDay, &reading) ||
      __builtin_add_overflow(
          reading, (hour * 3600 + minute * 60 + second) * kNanosPerSecond + fraction, &reading)) {
    return value_error(concat("'", text, "' is outside the range of datetime64[ns]"));
  }
  return reading;
}

std::string format_iso_time(Nanoseconds reading) {
  std::int64_t days = reading / kNanosPerDay;
  Nanoseconds within = reading % kNanosPerDay;
  if (within < 0) {
    within += kNanosPerDay;
    --days;
  }
  std::int64_t year = 0;
  unsigned month = 0, day = 0;
  civil_from_days(days, year, month, day);
  const Nanoseconds seconds = within / kNanosPerSecond;
  char text[64];
  std::snprintf(text, sizeof text, "%04lld-%02u-%02uT%02lld:%02lld:%02lld.%09lld",
                static_cast<long long>(year), month, day, static_cast<long long>(seconds / 3600),
                static_cast<long long>(seconds / 60 % 60), static_cast<long long>(seconds % 60),
                static_cast<long long>(within % kNanosPerSecond));
  return text;
}

// ---- Leap seconds -------------------------------------------------------------

namespace {

LeapSecondTable make_builtin() {
  struct Row {
    int year;
    unsigned month;
    int offset;
  };
  static constexpr Row kRows[] = {
      {1972, 1, 10}, {1972, 7, 11}, {1973, 1, 12}, {1974, 1, 13}, {1975, 1, 14}, {1976, 1, 15},
      {1977, 1, 16}, {1978, 1, 17}, {1979, 1, 18}, {1980, 1, 19}, {1981, 7, 20}, {1982, 7, 21},
      {1983, 7, 22}, {1985, 7, 23}, {1988, 1, 24}, {1990, 1, 25}, {1991, 1, 26}, {1992, 7, 27},
      {1993, 7, 28}, {1994, 7, 29}, {1996, 1, 30}, {1997, 7, 31}, {1999, 1, 32}, {2006, 1, 33},
      {2009, 1, 34}, {2012, 7, 35}, {2015, 7, 36}, {2017, 1, 37},
  };
  std::vector<LeapSecond> rows;
  for (const Row& row : kRows)
    rows.push_back({days_from_civil(row.year, row.month, 1), row.offset});
  return *LeapSecondTable::make(std::move(rows));
}

constexpr std::int64_t kFirstUtcDay = 730;  // 1972-01-01

Error before_table() {
  return Error{ErrorKind::ValueError,
               "UTC before 1972-01-01 is outside the leap-second table (UTC did not yet keep "
               "whole SI seconds); decode in TAI instead"};
}

}  // namespace

const LeapSecondTable& LeapSecondTable::builtin() {
  static const LeapSecondTable table = make_builtin();
  return table;
}

Result<LeapSecondTable> LeapSecondTable::make(std::vector<LeapSecond> rows) {
  if (rows.empty()) return value_error("the leap-second table has no rows");
  for (std::size_t i = 0; i < rows.size(); ++i) {
    if (rows[i].day < kFirstUtcDay) {
      return value_error("the leap-second table starts before 1972-01-01");
    }
    if (i > 0 && rows[i].day <= rows[i - 1].day) {
      return value_error("the leap-second table's dates must increase");
    }
    if (rows[i].tai_minus_utc < 0 || rows[i].tai_minus_utc > 3600) {
      return value_error(concat("TAI - UTC of ", rows[i].tai_minus_utc, " s is not plausible"));
    }
  }
  LeapSecondTable table;
  table.rows_ = std::move(rows);
  return table;
}

Result<Nanoseconds> LeapSecondTable::utc_to_tai(Nanoseconds utc) const {
  const auto row = std::upper_bound(
      rows_.begin(), rows_.end(), utc,
      [](Nanoseconds value, const LeapSecond& r) { return value < r.day * kNanosPerDay; });
  if (row == rows_.begin()) return std::unexpected(before_table());
  Nanoseconds tai = 0;
  if (__builtin_add_overflow(utc, std::prev(row)->tai_minus_utc * kNanosPerSecond, &tai)) {
    return value_error("the time is past the range of datetime64[ns]");
  }
  return tai;
}

Result<Nanoseconds> LeapSecondTable::tai_to_utc(Nanoseconds tai) const {
  // Where each row begins, on the TAI clock.
  auto start = [](const LeapSecond& r) {
    return r.day * kNanosPerDay + r.tai_minus_utc * kNanosPerSecond;
  };
  const auto row =
      std::upper_bound(rows_.begin(), rows_.end(), tai,
                       [&](Nanoseconds value, const LeapSecond& r) { return value < start(r); });
  if (row == rows_.begin()) return std::unexpected(before_table());
  const Nanoseconds utc = tai - std::prev(row)->tai_minus_utc * kNanosPerSecond;
  // Inside an inserted second the reading would pass the next row's
  // midnight: it stays at the last nanosecond before it.
  if (row != rows_.end() && utc >= row->day * kNanosPerDay) return row->day * kNanosPerDay - 1;
  return utc;
}

// ---- Time codes ---------------------------------------------------------------

std::uint32_t TimeCodeFormat::bits() const {
  const std::uint32_t octets = kind == TimeCodeKind::Cuc ? coarse_octets + fine_octets
                                                         : day_octets + 4u + submillisecond_octets;
  return 8 * (octets + (p_field ? 1 : 0));
}

std::uint8_t TimeCodeFormat::p_field_value() const {
  if (kind == TimeCodeKind::Cuc) {
    const unsigned id = agency_epoch ? 0b010 : 0b001;
    return static_cast<std::uint8_t>((id << 4) | ((coarse_octets - 1u) << 2) | fine_octets);
  }
  const unsigned resolution = submillisecond_octets / 2;  // 0, 1: microseconds, 2: picoseconds
  return static_cast<std::uint8_t>((0b100u << 4) | (agency_epoch ? 0b1000u : 0u) |
                                   (day_octets == 3 ? 0b100u : 0u) | resolution);
}

namespace {

std::string hex_octet(unsigned value) {
  char text[8];
  std::snprintf(text, sizeof text, "0x%02X", value & 0xFFu);
  return text;
}

Error out_of_range() {
  return Error{ErrorKind::ValueError,
               "the time is outside the range of datetime64[ns] (years 1678 to 2261)"};
}

}  // namespace

Result<Nanoseconds> decode_time_code(const std::uint8_t* packet, std::uint64_t bit,
                                     const TimeCodeFormat& format) {
  if (format.p_field) {
    const auto p_field = static_cast<unsigned>(read_field(packet, bit, 8));
    if (p_field != format.p_field_value()) {
      return value_error(concat("P-field ", hex_octet(p_field),
                                " does not describe the layout's time code (expected ",
                                hex_octet(format.p_field_value()), ")"));
    }
    bit += 8;
  }
  Nanoseconds elapsed = 0;  // since the epoch, on the code's clock
  bool leap_second = false;
  Nanoseconds day_start = 0;
  if (format.kind == TimeCodeKind::Cuc) {
    const std::uint32_t coarse_bits = 8u * format.coarse_octets;
    const std::uint32_t fine_bits = 8u * format.fine_octets;
    const std::uint64_t coarse = read_field(packet, bit, coarse_bits);
    const std::uint64_t fine =
        fine_bits == 0 ? 0 : read_field(packet, bit + coarse_bits, fine_bits);
    // At most (2^32 - 1) s and a fraction below 1 s: inside int64. The
    // fraction's denominator is a power of two: shifts, not a division.
    const std::uint64_t scaled = fine * kNanosPerSecond;
    std::uint64_t fine_ns = scaled >> fine_bits;
    const std::uint64_t rest = scaled - (fine_ns << fine_bits);
    const std::uint64_t half = fine_bits == 0 ? 1 : std::uint64_t{1} << (fine_bits - 1);
    fine_ns += rest > half || (rest == half && (fine_ns & 1) != 0);
    elapsed =
        static_cast<Nanoseconds>(coarse) * kNanosPerSecond + static_cast<Nanoseconds>(fine_ns);
  } else {
    const std::uint32_t day_bits = 8u * format.day_octets;
    const std::uint64_t day = read_field(packet, bit, day_bits);
    const std::uint64_t ms = read_field(packet, bit + day_bits, 32);
    std::uint64_t sub_ns = 0;
    if (format.submillisecond_octets == 2) {
      const std::uint64_t us = read_field(packet, bit + day_bits + 32, 16);
      if (us > 999) return value_error(concat("microsecond of millisecond ", us, " is over 999"));
      sub_ns = us * 1000;
    } else if (format.submillisecond_octets == 4) {
      const std::uint64_t ps = read_field(packet, bit + day_bits + 32, 32);
      if (ps > 999'999'999) {
        return value_error(concat("picosecond of millisecond ", ps, " is over 999999999"));
      }
      sub_ns = divide_round_even(ps, 1000);
    }
    if (ms >= 86'400'000) {
      // Only a UTC day that ends with an inserted second has more.
      if (format.code_scale != TimeScale::Utc || ms >= 86'401'000) {
        return value_error(concat("millisecond of day ", ms, " is over 86399999"));
      }
      leap_second = true;
    }
    Nanoseconds days_ns = 0;
    if (__builtin_mul_overflow(static_cast<Nanoseconds>(day), kNanosPerDay, &days_ns)) {
      return std::unexpected(out_of_range());
    }
    day_start = days_ns;
    elapsed = static_cast<Nanoseconds>(ms) * 1'000'000 + static_cast<Nanoseconds>(sub_ns);
    if (__builtin_add_overflow(elapsed, days_ns, &elapsed)) return std::unexpected(out_of_range());
  }
  Nanoseconds reading = 0;
  if (__builtin_add_overflow(format.epoch, elapsed, &reading)) {
    return std::unexpected(out_of_range());
  }
  if (format.code_scale == TimeScale::Utc) {
    const LeapSecondTable& table = format.leap_seconds;
    if (leap_second) {
      // 23:59:60.x: one second after 23:59:59.x on the TAI clock, on a day
      // that the table ends with an inserted second.
      const auto before = table.utc_to_tai(reading - kNanosPerSecond);
      const auto after = table.utc_to_tai(reading);
      if (!before) return std::unexpected(before.error());
      if (!after || *after != *before + 2 * kNanosPerSecond) {
        return value_error(concat("millisecond of day ", (elapsed - day_start) / 1'000'000,
                                  " on a day that ends without a leap second"));
      }
      if (format.scale == TimeScale::Tai) return *before + kNanosPerSecond;
      reading = format.epoch + day_start + kNanosPerDay - 1;
    } else if (format.scale == TimeScale::Tai) {
      const auto tai = table.utc_to_tai(reading);
      if (!tai) return std::unexpected(tai.error());
      reading = *tai;
    }
  } else if (format.scale == TimeScale::Utc) {
    const auto utc = format.leap_seconds.tai_to_utc(reading);
    if (!utc) return std::unexpected(utc.error());
    reading = *utc;
  }
  if (reading == std::numeric_limits<Nanoseconds>::min()) return std::unexpected(out_of_range());
  return reading;
}

Result<void> encode_time_code(std::uint8_t* packet, std::uint64_t packet_size, std::uint64_t bit,
                              const TimeCodeFormat& format, Nanoseconds time) {
  Nanoseconds reading = time;
  if (format.scale != format.code_scale) {
    const auto converted = format.scale == TimeScale::Utc ? format.leap_seconds.utc_to_tai(time)
                                                          : format.leap_seconds.tai_to_utc(time);
    if (!converted) return std::unexpected(converted.error());
    reading = *converted;
  }
  // Exact: any two int64 readings lie at most 2^64 - 1 ns apart, so a
  // reading after the epoch always has its span, too late or not.
  const __int128 elapsed = static_cast<__int128>(reading) - format.epoch;
  if (elapsed < 0) {
    return value_error(concat("the time ", format_iso_time(time), " is before the epoch ",
                              format_iso_time(format.epoch)));
  }
  const auto span = static_cast<std::uint64_t>(elapsed);
  if (format.p_field) {
    write_field(packet, packet_size, bit, format.p_field_value(), 8);
    bit += 8;
  }
  auto too_late = [&](const char* segment, std::uint32_t octets) {
    return value_error(concat("the time ", format_iso_time(time), " is too late for ", octets,
                              " octet", octets == 1 ? "" : "s", " of ", segment));
  };
  if (format.kind == TimeCodeKind::Cuc) {
    const std::uint32_t coarse_bits = 8u * format.coarse_octets;
    const std::uint32_t fine_bits = 8u * format.fine_octets;
    const std::uint64_t units = std::uint64_t{1} << fine_bits;
    std::uint64_t coarse = span / kNanosPerSecond;
    std::uint64_t fine = divide_round_even(span % kNanosPerSecond * units, kNanosPerSecond);
    if (fine == units) {
      ++coarse;
      fine = 0;
    }
    if (coarse_bits < 64 && (coarse >> coarse_bits) != 0) {
      return too_late("coarse time", format.coarse_octets);
    }
    write_field(packet, packet_size, bit, coarse, coarse_bits);
    if (fine_bits != 0) write_field(packet, packet_size, bit + coarse_bits, fine, fine_bits);
    return {};
  }
  const std::uint32_t day_bits = 8u * format.day_octets;
  std::uint64_t day = span / kNanosPerDay;
  const std::uint64_t within = span % kNanosPerDay;
  std::uint64_t ms = within / 1'000'000;
  std::uint64_t sub = 0;
  switch (format.submillisecond_octets) {
    case 0: ms = divide_round_even(within, 1'000'000); break;
    case 2: {
      const std::uint64_t us = divide_round_even(within, 1000);
      ms = us / 1000;
      sub = us % 1000;
      break;
    }
    default: sub = within % 1'000'000 * 1000; break;
  }
  if (ms == 86'400'000) {
    ++day;
    ms = 0;
  }
  if ((day >> day_bits) != 0) return too_late("days", format.day_octets);
  write_field(packet, packet_size, bit, day, day_bits);
  write_field(packet, packet_size, bit + day_bits, ms, 32);
  if (format.submillisecond_octets != 0) {
    write_field(packet, packet_size, bit + day_bits + 32, sub, 8u * format.submillisecond_octets);
  }
  return {};
}

}  // namespace vantrel
