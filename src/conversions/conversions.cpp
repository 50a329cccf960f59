#include "conversions/conversions.hpp"

#include <algorithm>
#include <bit>
#include <cmath>
#include <cstring>
#include <iterator>
#include <limits>
#include <type_traits>

#include "common/bits.hpp"
#include "common/format.hpp"
#include "common/packet_bits.hpp"
#include "common/text_kernels.hpp"

namespace vantrel {

// ---- Enumerations ---------------------------------------------------------------

void Enumeration::index() {
  dense_.clear();
  if (states.empty()) return;
  // A direct table when the keys span at most 64 Ki values: one load per
  // packet instead of a search.
  const std::uint64_t low = states.front().first;
  const std::uint64_t span = states.back().first - low;
  if (span >= 65536) return;
  dense_base_ = low;
  dense_.assign(span + 1, fallback());
  for (const auto& [key, state] : states) dense_[key - low] = static_cast<std::int32_t>(state);
}

std::int32_t Enumeration::find_sorted(std::uint64_t key) const {
  const auto found = std::lower_bound(states.begin(), states.end(), key,
                                      [](const std::pair<std::uint64_t, std::uint32_t>& entry,
                                         std::uint64_t value) { return entry.first < value; });
  if (found != states.end() && found->first == key) return static_cast<std::int32_t>(found->second);
  return fallback();
}

Result<std::int32_t> enumerate(const Conversion& conversion, std::uint64_t key, bool is_signed) {
  const std::int32_t state = conversion.enumeration.find(key);
  if (state >= 0) return state;
  if (is_signed) {
    return value_error(concat("value ", static_cast<std::int64_t>(key ^ (std::uint64_t{1} << 63)),
                              " has no state name"));
  }
  return value_error(concat("value ", key, " has no state name"));
}

// ---- Calibrations ---------------------------------------------------------------

namespace {

// np.interp's formula, so that tables agree with it value for value.
double interpolate(const Conversion& conversion, std::size_t segment, double raw) {
  const double x0 = conversion.table_raw[segment];
  const double x1 = conversion.table_raw[segment + 1];
  const double y0 = conversion.table_values[segment];
  const double y1 = conversion.table_values[segment + 1];
  const double slope = (y1 - y0) / (x1 - x0);
  return slope * (raw - x0) + y0;
}

std::string number_text(double value) {
  char text[32];
  std::snprintf(text, sizeof text, "%.17g", value);
  return text;
}

Result<double> look_up(const Conversion& conversion, double raw) {
  const std::vector<double>& xs = conversion.table_raw;
  const std::size_t last = xs.size() - 1;
  if (std::isnan(raw)) return raw;
  if (raw < xs.front() || raw > xs[last]) {
    switch (conversion.outside) {
      case OutsideTable::Clamp:
        return raw < xs.front() ? conversion.table_values.front() : conversion.table_values[last];
      case OutsideTable::Extrapolate:
        return interpolate(conversion, raw < xs.front() ? 0 : last - 1, raw);
      case OutsideTable::Error: break;
    }
    return value_error(concat("raw value ", number_text(raw), " is outside the calibration table (",
                              number_text(xs.front()), " to ", number_text(xs[last]), ")"));
  }
  if (raw == xs[last]) return conversion.table_values[last];
  // The segment [xs[k], xs[k + 1]) that holds the value.
  const std::size_t k =
      static_cast<std::size_t>(std::upper_bound(xs.begin(), xs.end(), raw) - xs.begin()) - 1;
  if (raw == xs[k]) return conversion.table_values[k];
  return interpolate(conversion, k, raw);
}

}  // namespace

Result<double> calibrate(const Conversion& conversion, double raw) {
  if (conversion.kind == ConversionKind::Table) return look_up(conversion, raw);
  const std::vector<double>& c = conversion.coefficients;
  double value = c.back();
  for (std::size_t k = c.size() - 1; k-- > 0;) value = value * raw + c[k];
  return value;
}

Result<double> invert_linear(const Conversion& conversion, double value) {
  const double raw = (value - conversion.coefficients[0]) / conversion.coefficients[1];
  if (!std::isfinite(raw)) {
    return value_error(concat("the value ", number_text(value), " has no raw value"));
  }
  return raw;
}

// ---- Inverting calibrations -------------------------------------------------------

namespace {

double evaluate(const std::vector<double>& c, double x) {
  double value = c.back();
  for (std::size_t k = c.size() - 1; k-- > 0;) value = value * x + c[k];
  return value;
}

std::vector<double> derivative(const std::vector<double>& c) {
  std::vector<double> d;
  for (std::size_t k = 1; k < c.size(); ++k) d.push_back(c[k] * static_cast<double>(k));
  if (d.empty()) d.push_back(0);
  return d;
}

// The root of a polynomial between a and b, where it changes sign (or is 0
// at an end), by bisection to the last bit.
double bisect(const std::vector<double>& c, double a, double b) {
  double fa = evaluate(c, a);
  if (fa == 0) return a;
  for (int step = 0; step < 2100; ++step) {
    const double middle = a + (b - a) / 2;
    if (middle <= a || middle >= b) break;
    const double fm = evaluate(c, middle);
    if (fm == 0) return middle;
    if ((fm < 0) == (fa < 0)) {
      a = middle;
      fa = fm;
    } else {
      b = middle;
    }
  }
  return a + (b - a) / 2;
}

// The real roots of a polynomial inside (low, high), in order. Its
// derivative's roots cut the interval into pieces on which it is monotonic,
// so each piece holds at most one root, found where the sign changes.
std::vector<double> roots_inside(const std::vector<double>& c, double low, double high) {
  std::size_t degree = c.size() - 1;
  while (degree > 0 && c[degree] == 0) --degree;
  if (degree == 0) return {};
  const std::vector<double> trimmed(c.begin(), c.begin() + static_cast<std::ptrdiff_t>(degree + 1));
  std::vector<double> cuts{low};
  for (const double turn : roots_inside(derivative(trimmed), low, high)) cuts.push_back(turn);
  cuts.push_back(high);
  std::vector<double> roots;
  for (std::size_t k = 0; k + 1 < cuts.size(); ++k) {
    const double a = cuts[k];
    const double b = cuts[k + 1];
    const double fa = evaluate(trimmed, a);
    const double fb = evaluate(trimmed, b);
    double root = 0;
    if (fb == 0) {
      root = b;
    } else if (fa != 0 && (fa < 0) != (fb < 0)) {
      root = bisect(trimmed, a, b);
    } else {
      continue;
    }
    if (root > low && root < high && (roots.empty() || root > roots.back())) roots.push_back(root);
  }
  return roots;
}

Error outside_range(double value, double low_value, double high_value, const char* what) {
  return Error{ErrorKind::ValueError,
               concat("the value ", number_text(value), " is outside the ", what, " (",
                      number_text(std::min(low_value, high_value)), " to ",
                      number_text(std::max(low_value, high_value)), ")")};
}

// Doubles as integers in the same order (-0 and +0 both 0), so that the
// middle of two keys halves the doubles between them, not their distance.
std::int64_t order_key(double x) {
  const auto bits = std::bit_cast<std::int64_t>(x);
  return bits >= 0 ? bits : -(bits & std::numeric_limits<std::int64_t>::max());
}

double from_order_key(std::int64_t key) {
  return key >= 0 ? std::bit_cast<double>(key)
                  : -std::bit_cast<double>(-key);  // key > INT64_MIN: keys are of finite doubles
}

// How many doubles from a up to b (a <= b): under 2^64, so exact unsigned.
std::uint64_t doubles_between(double a, double b) {
  return static_cast<std::uint64_t>(order_key(b)) - static_cast<std::uint64_t>(order_key(a));
}

// The root of polynomial(raw) = value in [low, high], where the polynomial
// is monotonic and brackets the value: Newton steps while they stay inside
// the bracket and halve it, else a halving of the doubles between its ends.
// It ends when the ends are neighbouring doubles (at most about 128 steps:
// each step that does not halve the bracket is followed by one that does),
// with the end whose value lies closer; never with an unfinished root.
double newton_in_bracket(const std::vector<double>& c, double value, double low, double high) {
  const std::vector<double> slope = derivative(c);
  double a = low;
  double b = high;
  double ga = evaluate(c, a) - value;
  double gb = evaluate(c, b) - value;
  if (ga == 0) return a;
  if (gb == 0) return b;
  double x = a;
  double gx = ga;
  bool halve = true;  // the first step: from the middle
  while (doubles_between(a, b) > 1) {
    const std::uint64_t width = doubles_between(a, b);
    double next = 0;
    const double d = evaluate(slope, x);
    if (!halve && d != 0) next = x - gx / d;
    if (halve || !(next > a && next < b)) {
      next = from_order_key(
          static_cast<std::int64_t>(static_cast<std::uint64_t>(order_key(a)) + width / 2));
    }
    x = next;
    gx = evaluate(c, x) - value;
    if (gx == 0) return x;
    if ((gx < 0) == (ga < 0)) {
      a = x;
      ga = gx;
    } else {
      b = x;
      gb = gx;
    }
    halve = doubles_between(a, b) > width / 2;
  }
  return std::fabs(ga) <= std::fabs(gb) ? a : b;
}

// The integer near `root` whose calibration lies closest to `value`.
template <class Calibrate>
Result<double> nearest_integer(double root, double value, double low, double high,
                               Calibrate calibrate) {
  const double centre = std::nearbyint(root);
  double best = centre;
  double best_distance = std::numeric_limits<double>::infinity();
  // The rounded root first: it keeps a tie.
  for (const double candidate : {centre, centre - 1, centre + 1}) {
    if (candidate < low || candidate > high) continue;
    const Result<double> got = calibrate(candidate);
    if (!got) continue;
    const double distance = std::fabs(*got - value);
    if (distance < best_distance) {
      best = candidate;
      best_distance = distance;
    }
  }
  if (!std::isfinite(best_distance)) {
    return value_error(concat("the value ", number_text(value), " has no raw value"));
  }
  return best;
}

// For a value just past the calibrated range: the integer raw value at
// the nearer end when the value lies within half a step of its
// calibration (rounding may put a decoded value a bit past the end).
template <class Calibrate>
std::optional<double> end_within_half_step(double value, double first, double last,
                                           Calibrate calibrate) {
  if (!(first < last)) return std::nullopt;
  for (const auto& [end, inward] : {std::pair{first, first + 1}, std::pair{last, last - 1}}) {
    const Result<double> at_end = calibrate(end);
    const Result<double> next = calibrate(inward);
    if (at_end && next && std::fabs(value - *at_end) <= std::fabs(*at_end - *next) / 2) return end;
  }
  return std::nullopt;
}

Result<double> invert_polynomial(const Conversion& c, double value, bool integer_raw) {
  const double low = c.raw_low;
  const double high = c.raw_high;
  const double at_low = evaluate(c.coefficients, low);
  const double at_high = evaluate(c.coefficients, high);
  auto calibrate = [&](double raw) -> Result<double> { return evaluate(c.coefficients, raw); };
  if (!(value >= std::min(at_low, at_high) && value <= std::max(at_low, at_high))) {
    if (integer_raw) {
      if (const auto end =
              end_within_half_step(value, std::ceil(low), std::floor(high), calibrate)) {
        return *end;
      }
    }
    return std::unexpected(outside_range(
        value, at_low, at_high,
        concat("polynomial's values over raw values ", number_text(low), " to ", number_text(high))
            .c_str()));
  }
  const double root = newton_in_bracket(c.coefficients, value, low, high);
  if (!integer_raw) return root;
  return nearest_integer(root, value, std::ceil(low), std::floor(high), calibrate);
}

Result<double> invert_table(const Conversion& c, double value, bool integer_raw) {
  const std::vector<double>& xs = c.table_raw;
  const std::vector<double>& ys = c.table_values;
  const std::size_t last = ys.size() - 1;
  const bool increasing = ys[last] > ys[0];
  // Segment k runs from point k to point k + 1; values past the ends use
  // the end segments, continued, when the table extrapolates.
  auto before = [&](double a, double b) { return increasing ? a < b : a > b; };
  std::size_t k = 0;
  if (before(value, ys[0]) || before(ys[last], value)) {
    if (c.outside != OutsideTable::Extrapolate) {
      if (integer_raw) {
        if (const auto end =
                end_within_half_step(value, std::ceil(xs.front()), std::floor(xs[last]),
                                     [&](double raw) { return look_up(c, raw); })) {
          return *end;
        }
      }
      return std::unexpected(outside_range(value, ys[0], ys[last], "table's values"));
    }
    k = before(value, ys[0]) ? 0 : last - 1;
  } else {
    while (k + 1 < last && !before(value, ys[k + 1])) ++k;
  }
  const double root = xs[k] + (value - ys[k]) * (xs[k + 1] - xs[k]) / (ys[k + 1] - ys[k]);
  if (!integer_raw) return root;
  // Past the table's ends only an extrapolating table gives new values.
  const bool beyond = c.outside == OutsideTable::Extrapolate;
  const double infinity = std::numeric_limits<double>::infinity();
  return nearest_integer(root, value, beyond ? -infinity : std::ceil(xs.front()),
                         beyond ? infinity : std::floor(xs[last]),
                         [&](double raw) { return look_up(c, raw); });
}

}  // namespace

Result<void> check_invertible_polynomial(const std::vector<double>& coefficients, double low,
                                         double high) {
  // The turning points are found degree by degree: enough for any
  // calibration curve, bounded so that building a layout stays quick.
  if (coefficients.size() > kMostInvertibleCoefficients) {
    return value_error(concat("pack inverts polynomials of degree up to ",
                              kMostInvertibleCoefficients - 1, ", not ", coefficients.size() - 1));
  }
  if (!(low < high)) {
    return value_error(concat("raw_range must be (low, high) with low < high, not (",
                              number_text(low), ", ", number_text(high), ")"));
  }
  std::vector<double> cuts{low};
  for (const double turn : roots_inside(derivative(coefficients), low, high)) cuts.push_back(turn);
  cuts.push_back(high);
  std::vector<double> values;
  for (const double x : cuts) {
    values.push_back(evaluate(coefficients, x));
    if (!std::isfinite(values.back())) {
      return value_error(concat("the polynomial is not finite at raw value ", number_text(x)));
    }
  }
  const bool increasing = values.back() > values.front();
  for (std::size_t k = 1; k < values.size(); ++k) {
    if (increasing ? values[k] > values[k - 1] : values[k] < values[k - 1]) continue;
    const std::string range = concat(number_text(low), " to ", number_text(high));
    if (cuts.size() == 2) {
      return value_error(concat("the polynomial takes the same value at raw values ", range));
    }
    return value_error(concat("the polynomial is not one-to-one over raw values ", range,
                              ": it turns at ", number_text(cuts[std::max<std::size_t>(1, k - 1)]),
                              "; give a 'raw_range' where it only rises or only falls"));
  }
  return {};
}

Result<void> check_invertible_table(const Conversion& conversion) {
  const std::vector<double>& ys = conversion.table_values;
  const bool increasing = ys.back() > ys.front();
  for (std::size_t k = 1; k < ys.size(); ++k) {
    if (increasing ? ys[k] > ys[k - 1] : ys[k] < ys[k - 1]) continue;
    return value_error(concat(
        "a table inverts only when its values strictly increase or decrease (point ", k, ")"));
  }
  return {};
}

Result<double> invert_calibration(const Conversion& conversion, double value, bool integer_raw) {
  if (!std::isfinite(value)) {
    return value_error(concat("the value ", number_text(value), " has no raw value"));
  }
  if (conversion.kind == ConversionKind::Table) return invert_table(conversion, value, integer_raw);
  return invert_polynomial(conversion, value, integer_raw);
}

std::size_t converted_item_size(const Conversion& conversion, bool handles) {
  if (conversion.kind != ConversionKind::Enumeration) return 8;
  return handles ? sizeof(void*) : 4;
}

// ---- Columns --------------------------------------------------------------------

namespace {

// Packets decoded into the raw scratch at a time: small enough for the
// stack, large enough that the conversion loops run long.
constexpr std::size_t kChunk = 512;

template <class Raw>
void load_keys(const void* raw, std::size_t n, std::uint64_t* out) {
  const Raw* values = static_cast<const Raw*>(raw);
  for (std::size_t k = 0; k < n; ++k) {
    if constexpr (std::is_signed_v<Raw>) {
      out[k] = state_key(values[k]);
    } else {
      out[k] = values[k];
    }
  }
}

// The raw integers as keys (state_key order), or as time-code patterns.
void raw_keys(ColumnType type, const void* raw, std::size_t n, std::uint64_t* out) {
  const auto zeros = [&] { std::fill(out, out + n, std::uint64_t{0}); };
  with_element_type(
      type,
      [&](auto element) {
        using Raw = decltype(element);
        if constexpr (std::is_integral_v<Raw>) return load_keys<Raw>(raw, n, out);
        zeros();
      },
      zeros);
}

// ---- Calibrations of a run of values

// Horner's rule with the coefficients in registers: one pass over the
// values, which the compiler vectorises, for the usual low degrees.
template <class Raw, std::size_t Degree>
[[gnu::always_inline]] inline void polynomial_loop(const Raw* __restrict raw, std::size_t n,
                                                   const double* c, double* __restrict out) {
  double k[Degree + 1];
  for (std::size_t j = 0; j <= Degree; ++j) k[j] = c[j];
  for (std::size_t i = 0; i < n; ++i) {
    const double x = static_cast<double>(raw[i]);
    double value = k[Degree];
    for (std::size_t j = Degree; j-- > 0;) value = value * x + k[j];
    out[i] = value;
  }
}

template <class Raw, std::size_t Degree>
void polynomial_fixed(const Raw* __restrict raw, std::size_t n, const double* c,
                      double* __restrict out) {
  polynomial_loop<Raw, Degree>(raw, n, c, out);
}

#if defined(__x86_64__)
// The same loop four values wide. AVX2 without FMA: every product and sum
// rounds on its own, so the values are those of the plain loop (and of
// numpy.polyval).
template <class Raw, std::size_t Degree>
[[gnu::target("avx2")]] void polynomial_fixed_avx2(const Raw* __restrict raw, std::size_t n,
                                                   const double* c, double* __restrict out) {
  polynomial_loop<Raw, Degree>(raw, n, c, out);
}
#endif

template <class Raw, std::size_t Degree>
void polynomial_chosen(const Raw* __restrict raw, std::size_t n, const double* c,
                       double* __restrict out) {
#if defined(__x86_64__)
  if (kernels::avx2_in_use()) return polynomial_fixed_avx2<Raw, Degree>(raw, n, c, out);
#endif
  polynomial_fixed<Raw, Degree>(raw, n, c, out);
}

template <class Raw>
void polynomial_values(const Raw* __restrict raw, std::size_t n, const std::vector<double>& c,
                       double* __restrict out) {
  switch (c.size()) {
    case 1: return polynomial_chosen<Raw, 0>(raw, n, c.data(), out);
    case 2: return polynomial_chosen<Raw, 1>(raw, n, c.data(), out);
    case 3: return polynomial_chosen<Raw, 2>(raw, n, c.data(), out);
    case 4: return polynomial_chosen<Raw, 3>(raw, n, c.data(), out);
    default: break;
  }
  // Higher degrees: one coefficient at a time across the values, so each
  // step is still a loop that vectorises.
  for (std::size_t i = 0; i < n; ++i) out[i] = c.back();
  for (std::size_t j = c.size() - 1; j-- > 0;) {
    const double cj = c[j];
    for (std::size_t i = 0; i < n; ++i) out[i] = out[i] * static_cast<double>(raw[i]) + cj;
  }
}

void polynomial_column(ColumnType type, const void* raw, std::size_t n,
                       const std::vector<double>& c, double* out) {
  with_element_type(
      type,
      [&](auto element) {
        polynomial_values(static_cast<const decltype(element)*>(raw), n, c, out);
      },
      [] {});
}

double raw_double(ColumnType type, const void* raw, std::size_t k) {
  return with_element_type(
      type,
      [&](auto element) {
        return static_cast<double>(static_cast<const decltype(element)*>(raw)[k]);
      },
      [] { return 0.0; });
}

// ---- Time codes from their patterns

// TAI - UTC for a run of readings: the leap-second row found for one
// reading serves the next ones while they stay inside its span, which in a
// time-ordered archive is nearly always. False for a reading before the
// table (the caller asks decode_time_code for the failure).
class LeapCursor {
 public:
  explicit LeapCursor(const LeapSecondTable& table) : rows_(table.rows()) {}

  // As LeapSecondTable::utc_to_tai.
  bool to_tai(Nanoseconds& reading) {
    if (!(reading >= low_ && reading < high_)) {
      const auto row = std::upper_bound(
          rows_.begin(), rows_.end(), reading,
          [](Nanoseconds value, const LeapSecond& r) { return value < r.day * kNanosPerDay; });
      if (row == rows_.begin()) return false;
      low_ = std::prev(row)->day * kNanosPerDay;
      high_ = row != rows_.end() ? row->day * kNanosPerDay : kNever;
      offset_ = std::prev(row)->tai_minus_utc * kNanosPerSecond;
    }
    return !__builtin_add_overflow(reading, offset_, &reading);
  }

  // As LeapSecondTable::tai_to_utc: an instant inside an inserted second
  // stays at the last nanosecond before the next row's midnight.
  bool to_utc(Nanoseconds& reading) {
    if (!(reading >= low_ && reading < high_)) {
      auto start = [](const LeapSecond& r) {
        return r.day * kNanosPerDay + r.tai_minus_utc * kNanosPerSecond;
      };
      const auto row = std::upper_bound(
          rows_.begin(), rows_.end(), reading,
          [&](Nanoseconds value, const LeapSecond& r) { return value < start(r); });
      if (row == rows_.begin()) return false;
      low_ = start(*std::prev(row));
      high_ = row != rows_.end() ? start(*row) : kNever;
      offset_ = std::prev(row)->tai_minus_utc * kNanosPerSecond;
      midnight_ = row != rows_.end() ? row->day * kNanosPerDay : kNever;
    }
    reading -= offset_;
    if (reading >= midnight_) reading = midnight_ - 1;
    return true;
  }

 private:
  static constexpr Nanoseconds kNever = std::numeric_limits<Nanoseconds>::max();
  std::span<const LeapSecond> rows_;
  Nanoseconds low_ = 0;
  Nanoseconds high_ = 0;  // empty span: the first reading searches
  Nanoseconds offset_ = 0;
  Nanoseconds midnight_ = kNever;
};

// decode_time_code for one pattern: the pattern stored as the last
// format.bits() bits of 8 bytes.
Result<Nanoseconds> time_from_pattern(std::uint64_t pattern, const TimeCodeFormat& format) {
  std::uint8_t bytes[8];
  store_big_endian_64(bytes, pattern);
  return decode_time_code(bytes, 64 - format.bits(), format);
}

// The readings of CUC patterns on the code's own clock, with the fine
// octets fixed so that every shift is a constant. True when any of them
// needs the slow path: a P-field that differs, or a reading past int64 or
// at its lowest value (numpy's NaT).
template <unsigned FineOctets, bool Checked, bool PField>
bool cuc_loop(const std::uint64_t* __restrict patterns, std::size_t n, const TimeCodeFormat& format,
              Nanoseconds* __restrict out) {
  constexpr unsigned kFineBits = 8 * FineOctets;
  constexpr std::uint64_t kFineMask = low_mask(kFineBits);
  // Rounding to nearest, ties to even: add half less one, plus the
  // truncated quotient's last bit. Without fine time everything is 0.
  constexpr std::uint64_t kHalfLessOne =
      kFineBits == 0 ? 0 : (std::uint64_t{1} << kFineBits) / 2 - 1;
  const std::uint32_t code_bits = 8u * format.coarse_octets + kFineBits;
  const std::uint64_t coarse_mask = low_mask(8u * format.coarse_octets);
  // A pattern is a code when the bits above it are the P-field (or
  // nothing): pattern - those bits is then at most the code's mask.
  const std::uint64_t above =
      format.p_field ? std::uint64_t{format.p_field_value()} << code_bits : 0;
  const std::uint64_t code_mask = low_mask(code_bits);
  const Nanoseconds epoch = format.epoch;
  bool any = false;
  for (std::size_t k = 0; k < n; ++k) {
    const std::uint64_t pattern = patterns[k];
    const std::uint64_t coarse = (pattern >> kFineBits) & coarse_mask;
    // The fraction's denominator is a power of two: a product and a shift.
    const std::uint64_t scaled = (pattern & kFineMask) * kNanosPerSecond;
    const std::uint64_t fine_ns =
        (scaled + kHalfLessOne + ((scaled >> kFineBits) & 1)) >> kFineBits;
    const Nanoseconds elapsed =
        static_cast<Nanoseconds>(coarse) * kNanosPerSecond + static_cast<Nanoseconds>(fine_ns);
    Nanoseconds reading = 0;
    if constexpr (Checked) {
      any |= __builtin_add_overflow(epoch, elapsed, &reading) ||
             reading == std::numeric_limits<Nanoseconds>::min();
    } else {
      reading = epoch + elapsed;
    }
    // Without a P-field the pattern is the code: nothing lies above it.
    if constexpr (PField) any |= pattern - above > code_mask;
    out[k] = reading;
  }
  return any;
}

template <bool Checked, bool PField>
bool cuc_loop(const std::uint64_t* patterns, std::size_t n, const TimeCodeFormat& format,
              Nanoseconds* out) {
  switch (format.fine_octets) {
    case 0: return cuc_loop<0, Checked, PField>(patterns, n, format, out);
    case 1: return cuc_loop<1, Checked, PField>(patterns, n, format, out);
    case 2: return cuc_loop<2, Checked, PField>(patterns, n, format, out);
    default: return cuc_loop<3, Checked, PField>(patterns, n, format, out);
  }
}

template <bool Checked>
bool cuc_loop(const std::uint64_t* patterns, std::size_t n, const TimeCodeFormat& format,
              Nanoseconds* out) {
  return format.p_field ? cuc_loop<Checked, true>(patterns, n, format, out)
                        : cuc_loop<Checked, false>(patterns, n, format, out);
}

bool cuc_readings(const std::uint64_t* patterns, std::size_t n, const TimeCodeFormat& format,
                  Nanoseconds* out) {
  // The latest reading a code can give: when it cannot pass int64, and the
  // epoch is not int64's lowest value, no reading needs checking.
  const Nanoseconds longest =
      static_cast<Nanoseconds>(low_mask(8u * format.coarse_octets)) * kNanosPerSecond +
      kNanosPerSecond;
  Nanoseconds latest = 0;
  if (format.epoch != std::numeric_limits<Nanoseconds>::min() &&
      !__builtin_add_overflow(format.epoch, longest, &latest)) {
    return cuc_loop<false>(patterns, n, format, out);
  }
  return cuc_loop<true>(patterns, n, format, out);
}

// The same for CDS codes of at most 64 bits (no picoseconds). Segments out
// of range, including a leap second's millisecond, are left to the slow
// path.
bool cds_readings(const std::uint64_t* __restrict patterns, std::size_t n,
                  const TimeCodeFormat& format, Nanoseconds* __restrict out) {
  const std::uint32_t sub_bits = 8u * format.submillisecond_octets;
  const std::uint32_t day_shift = sub_bits + 32;
  const std::uint32_t code_bits = day_shift + 8u * format.day_octets;
  const std::uint64_t day_mask = low_mask(8u * format.day_octets);
  const std::uint64_t sub_mask = low_mask(sub_bits);
  const std::uint64_t above =
      format.p_field ? std::uint64_t{format.p_field_value()} << code_bits : 0;
  const std::uint64_t code_mask = low_mask(code_bits);
  const Nanoseconds epoch = format.epoch;
  bool any = false;
  for (std::size_t k = 0; k < n; ++k) {
    const std::uint64_t pattern = patterns[k];
    const std::uint64_t day = (pattern >> day_shift) & day_mask;
    const std::uint64_t ms = (pattern >> sub_bits) & 0xFFFF'FFFFu;
    const std::uint64_t us = pattern & sub_mask;
    Nanoseconds days_ns = 0;
    Nanoseconds reading = 0;
    any |= __builtin_mul_overflow(static_cast<Nanoseconds>(day), kNanosPerDay, &days_ns) ||
           __builtin_add_overflow(
               epoch, days_ns + static_cast<Nanoseconds>(ms * 1'000'000 + us * 1000), &reading);
    any |= pattern - above > code_mask || ms >= 86'400'000 || us > 999 ||
           reading == std::numeric_limits<Nanoseconds>::min();
    out[k] = reading;
  }
  return any;
}

// out[k] = value(k) for each of n elements not already masked (masked ones
// and failures hold 0). A failure masks its element, or, without a mask,
// ends the run as the failure of element k.
template <class T, class Value>
std::optional<ElementFailure> fill_unmasked(std::size_t n, T* out, std::span<std::uint8_t> mask,
                                            Value&& value) {
  for (std::size_t k = 0; k < n; ++k) {
    out[k] = 0;
    if (!mask.empty() && mask[k] != 0) continue;
    const auto result = value(k);
    if (result) {
      out[k] = *result;
      continue;
    }
    if (mask.empty()) return ElementFailure{k, result.error()};
    mask[k] = 1;
  }
  return std::nullopt;
}

// Time codes of at most 64 bits: the readings computed from the patterns
// and moved to the result's scale. A chunk in which any code needs more
// (a failure, a leap second, a time outside the table) is decoded again
// code by code by decode_time_code, which gives the same values and the
// failures.
std::optional<ElementFailure> time_values(const TimeCodeFormat& format,
                                          const std::uint64_t* patterns, std::size_t n,
                                          Nanoseconds* readings, std::span<std::uint8_t> mask) {
  bool slow = format.kind == TimeCodeKind::Cuc ? cuc_readings(patterns, n, format, readings)
                                               : cds_readings(patterns, n, format, readings);
  if (format.code_scale != format.scale && !slow) {
    LeapCursor cursor(format.leap_seconds);
    if (format.scale == TimeScale::Utc) {
      for (std::size_t k = 0; k < n && !slow; ++k) slow = !cursor.to_utc(readings[k]);
    } else {
      for (std::size_t k = 0; k < n && !slow; ++k) slow = !cursor.to_tai(readings[k]);
    }
  }
  if (!slow) {
    for (std::size_t k = 0; k < n && !mask.empty(); ++k) {
      if (mask[k] != 0) readings[k] = 0;
    }
    return std::nullopt;
  }
  return fill_unmasked(n, readings, mask,
                       [&](std::size_t k) { return time_from_pattern(patterns[k], format); });
}

// ---- State names of a run of values

// The states of raw values (an array of Raw), inlining the direct table's
// look-up; returns the smallest state found (negative: some value has none).
template <class Raw>
std::int32_t find_states(const Enumeration& enumeration, const Raw* __restrict raw, std::size_t n,
                         std::int32_t* __restrict states) {
  auto key_of = [](Raw value) -> std::uint64_t {
    if constexpr (std::is_signed_v<Raw>) {
      return state_key(value);
    } else {
      return value;
    }
  };
  std::int32_t lowest = 0;
  const std::span<const std::int32_t> dense = enumeration.dense();
  if (!dense.empty()) {
    const std::uint64_t base = enumeration.dense_base();
    const std::int32_t missing = enumeration.fallback();
    for (std::size_t k = 0; k < n; ++k) {
      const std::uint64_t slot = key_of(raw[k]) - base;
      const std::int32_t state = slot < dense.size() ? dense[slot] : missing;
      states[k] = state;
      lowest = std::min(lowest, state);
    }
    return lowest;
  }
  for (std::size_t k = 0; k < n; ++k) {
    states[k] = enumeration.find(key_of(raw[k]));
    lowest = std::min(lowest, states[k]);
  }
  return lowest;
}

std::int32_t find_states(const Enumeration& enumeration, ColumnType type, const void* raw,
                         std::size_t n, std::int32_t* states) {
  const auto fallback = [&] {  // enumerated fields are integers
    std::fill(states, states + n, enumeration.fallback());
    return enumeration.fallback();
  };
  return with_element_type(
      type,
      [&](auto element) {
        using Raw = decltype(element);
        if constexpr (std::is_integral_v<Raw>) {
          return find_states(enumeration, static_cast<const Raw*>(raw), n, states);
        }
        return fallback();
      },
      fallback);
}

// Four interleaved tallies of handle slots (lane i at counts() + i * width),
// on the stack for up to 64 slots; settle() adds them to the handles'
// written counts.
class HandleTallies {
 public:
  explicit HandleTallies(std::size_t width) : width_(width) {
    if (4 * width > std::size(tally_)) {
      wide_.assign(4 * width, 0);
    } else {
      std::fill(tally_, tally_ + 4 * width, std::uint64_t{0});
    }
  }
  std::uint64_t* counts() { return wide_.empty() ? tally_ : wide_.data(); }
  void settle(StateHandles& handles, std::uint64_t overwritten) {
    const std::uint64_t* const lanes = counts();
    const std::size_t width = width_;
    // written[] lists the states first and none last.
    for (std::size_t slot = 0; slot < width; ++slot) {
      handles.written[slot == 0 ? width - 1 : slot - 1] +=
          lanes[slot] + lanes[width + slot] + lanes[2 * width + slot] + lanes[3 * width + slot];
    }
    handles.overwritten_none += overwritten;
  }

 private:
  std::size_t width_;
  std::uint64_t tally_[4 * 64];
  std::vector<std::uint64_t> wide_;
};

// One handle per state index (by_slot[state + 1]; the none handle at 0),
// counted per state in four interleaved tallies so that a run of one state
// does not wait on one counter.
void write_handles(const std::int32_t* __restrict states, std::size_t n, StateHandles& handles,
                   const void** __restrict slots) {
  const void* const* by_slot = handles.by_slot.data();
  const std::size_t width = handles.by_slot.size();
  HandleTallies tallies(width);
  std::uint64_t* const counts = tallies.counts();
  const void* const none = handles.none;
  std::uint64_t overwritten = 0;
  for (std::size_t k = 0; k < n; ++k) {
    const auto slot = static_cast<std::size_t>(states[k] + 1);
    overwritten += slots[k] == none;
    slots[k] = by_slot[slot];
    ++counts[(k & 3) * width + slot];
  }
  tallies.settle(handles, overwritten);
}

// The common case in one pass: a direct table, no mask, handles. Each raw
// value's state, its handle written and counted (four tallies, one per
// lane of an unrolled loop, so that runs of one state do not wait on one
// counter). Returns the smallest state (negative: some value has none,
// written as none).
template <class Raw>
std::int32_t dense_handles(const Enumeration& enumeration, const Raw* __restrict raw, std::size_t n,
                           StateHandles& handles, const void** __restrict slots) {
  const std::span<const std::int32_t> dense = enumeration.dense();
  const std::uint64_t base = enumeration.dense_base();
  const std::int32_t missing = enumeration.fallback();
  const void* const* by_slot = handles.by_slot.data();
  const std::size_t width = handles.by_slot.size();
  HandleTallies tallies(width);
  std::uint64_t* const counts = tallies.counts();
  const void* const none = handles.none;
  std::uint64_t overwritten = 0;
  std::int32_t lowest = 0;
  auto one = [&](std::size_t k, std::uint64_t* lane) {
    std::uint64_t key = 0;
    if constexpr (std::is_signed_v<Raw>) {
      key = state_key(raw[k]);
    } else {
      key = raw[k];
    }
    const std::uint64_t at = key - base;
    const std::int32_t state = at < dense.size() ? dense[at] : missing;
    lowest = std::min(lowest, state);
    const auto slot = static_cast<std::size_t>(state + 1);
    overwritten += slots[k] == none;
    slots[k] = by_slot[slot];
    ++lane[slot];
  };
  std::size_t k = 0;
  for (; k + 4 <= n; k += 4) {
    one(k, counts);
    one(k + 1, counts + width);
    one(k + 2, counts + 2 * width);
    one(k + 3, counts + 3 * width);
  }
  for (; k < n; ++k) one(k, counts);
  tallies.settle(handles, overwritten);
  return lowest;
}

std::int32_t dense_handles(const Enumeration& enumeration, ColumnType type, const void* raw,
                           std::size_t n, StateHandles& handles, const void** slots) {
  return with_element_type(
      type,
      [&](auto element) {
        using Raw = decltype(element);
        if constexpr (std::is_integral_v<Raw>) {
          return dense_handles(enumeration, static_cast<const Raw*>(raw), n, handles, slots);
        }
        return -1;
      },
      [] { return -1; });
}

std::optional<ElementFailure> state_values(const Conversion& conversion, ColumnType raw_type,
                                           const void* raw, std::size_t n, void* out,
                                           std::span<std::uint8_t> mask, StateHandles* handles) {
  const Enumeration& enumeration = conversion.enumeration;
  if (handles != nullptr && mask.empty() && !enumeration.dense().empty()) {
    // Every value is written (a value without a state as none, counted);
    // the first of those is the failure.
    auto** slots = static_cast<const void**>(out);
    if (dense_handles(enumeration, raw_type, raw, n, *handles, slots) >= 0) return std::nullopt;
    for (std::size_t k = 0; k < n; ++k) {
      if (slots[k] != handles->none) continue;
      std::uint64_t key = 0;
      raw_keys(raw_type, static_cast<const std::uint8_t*>(raw) + k * column_item_size(raw_type), 1,
               &key);
      if (enumeration.find(key) >= 0) continue;  // a state whose handle is none's: not here
      return ElementFailure{
          k, enumerate(conversion, key, column_type_row(raw_type).is_signed).error()};
    }
    return std::nullopt;
  }
  const std::size_t item = column_item_size(raw_type);
  std::int32_t indices[kChunk];
  for (std::size_t begin = 0; begin < n; begin += kChunk) {
    const std::size_t m = std::min(kChunk, n - begin);
    const void* const values = static_cast<const std::uint8_t*>(raw) + begin * item;
    std::int32_t* const states =
        handles == nullptr ? static_cast<std::int32_t*>(out) + begin : indices;
    const std::int32_t lowest = find_states(enumeration, raw_type, values, m, states);
    std::optional<ElementFailure> failure;
    std::size_t done = m;
    if (lowest < 0 || !mask.empty()) {
      for (std::size_t k = 0; k < m; ++k) {
        const std::size_t at = begin + k;
        if (!mask.empty() && mask[at] != 0) {
          states[k] = -1;
        } else if (states[k] < 0) {
          if (mask.empty()) {
            std::uint64_t key = 0;
            raw_keys(raw_type, static_cast<const std::uint8_t*>(values) + k * item, 1, &key);
            failure = ElementFailure{
                at, enumerate(conversion, key, column_type_row(raw_type).is_signed).error()};
            done = k;
            break;
          }
          mask[at] = 1;
        }
      }
    }
    if (handles != nullptr) {
      write_handles(states, done, *handles, static_cast<const void**>(out) + begin);
    }
    if (failure) return failure;
  }
  return std::nullopt;
}

// Table look-ups of a run of values.
std::optional<ElementFailure> table_values(const Conversion& conversion, ColumnType raw_type,
                                           const void* raw, std::size_t n, double* out,
                                           std::span<std::uint8_t> mask) {
  return fill_unmasked(n, out, mask, [&](std::size_t k) {
    return look_up(conversion, raw_double(raw_type, raw, k));
  });
}

// Time codes wider than 64 bits (CDS with long segments), decoded from
// their octets packet by packet.
std::optional<ColumnFailure> decode_wide_time_column(ByteSpan buffer, const PacketStarts& starts,
                                                     std::size_t begin, std::size_t end,
                                                     const PlannedField& field,
                                                     const TimeCodeFormat& format, Nanoseconds* out,
                                                     std::span<std::uint8_t> mask) {
  const std::uint64_t needed = bytes_needed(field);
  for (std::size_t i = begin; i < end; ++i) {
    const std::uint64_t start = starts[i];
    std::optional<ColumnFailure> failure;
    if (!inside(start, needed, starts.limit(i, buffer.size()))) {
      failure = ColumnFailure{i, std::nullopt};
    } else {
      const Result<Nanoseconds> time =
          decode_time_code(buffer.data(), start * 8 + field.position, format);
      if (time) {
        out[i] = *time;
        continue;
      }
      failure = ColumnFailure{i, time.error()};
    }
    if (mask.empty()) return failure;
    mask[i] = 1;
    out[i] = 0;
  }
  return std::nullopt;
}

}  // namespace

std::optional<ElementFailure> convert_values(const Conversion& conversion, ColumnType raw_type,
                                             const void* raw, std::size_t count, void* out,
                                             std::span<std::uint8_t> mask, StateHandles* handles) {
  switch (conversion.kind) {
    case ConversionKind::Polynomial:
    case ConversionKind::Linear: {
      auto* values = static_cast<double*>(out);
      polynomial_column(raw_type, raw, count, conversion.coefficients, values);
      if (!mask.empty()) {
        for (std::size_t k = 0; k < count; ++k) {
          if (mask[k] != 0) values[k] = 0;
        }
      }
      return std::nullopt;
    }
    case ConversionKind::Table:
      return table_values(conversion, raw_type, raw, count, static_cast<double*>(out), mask);
    case ConversionKind::Enumeration:
      return state_values(conversion, raw_type, raw, count, out, mask, handles);
    case ConversionKind::TimeCode: {
      std::uint64_t widened[kChunk];
      const std::size_t item = column_item_size(raw_type);
      for (std::size_t begin = 0; begin < count; begin += kChunk) {
        const std::size_t m = std::min(kChunk, count - begin);
        const void* const values = static_cast<const std::uint8_t*>(raw) + begin * item;
        const std::uint64_t* patterns = static_cast<const std::uint64_t*>(values);
        if (raw_type != ColumnType::U64) {
          raw_keys(raw_type, values, m, widened);
          patterns = widened;
        }
        auto failure =
            time_values(conversion.time, patterns, m, static_cast<Nanoseconds*>(out) + begin,
                        mask.empty() ? mask : mask.subspan(begin, m));
        if (failure) {
          failure->index += begin;
          return failure;
        }
      }
      return std::nullopt;
    }
    case ConversionKind::None: break;
  }
  return std::nullopt;
}

std::optional<ColumnFailure> decode_converted_column(ByteSpan buffer, const PacketStarts& starts,
                                                     std::size_t begin, std::size_t end,
                                                     const PlannedField& field,
                                                     const Conversion& conversion, void* column,
                                                     std::span<std::uint8_t> mask,
                                                     StateHandles* handles) {
  const std::size_t item_size = converted_item_size(conversion, handles != nullptr);
  if (conversion.kind == ConversionKind::TimeCode && field.spec.bits > 64) {
    return decode_wide_time_column(buffer, starts, begin, end, field, conversion.time,
                                   static_cast<Nanoseconds*>(column), mask);
  }
  const ColumnType raw_type = column_type_of(field.spec);
  alignas(8) std::uint8_t raw[kChunk * 8];
  std::uint64_t chunk_ends[kChunk];
  for (std::size_t first = begin; first < end; first += kChunk) {
    const std::size_t n = std::min(kChunk, end - first);
    // The chunk's packets numbered from 0: their starts, and for a stride
    // the buffer from the chunk's first packet (or its end, when the chunk
    // starts past it: every packet then fails as outside).
    PacketStarts chunk = starts;
    ByteSpan chunk_buffer = buffer;
    chunk.count = n;
    if (starts.offsets != nullptr) {
      chunk.offsets = starts.offsets + first;
      if (starts.ends != nullptr) chunk.ends = starts.ends + first;
    } else {
      const std::uint64_t skip = static_cast<std::uint64_t>(first) * starts.stride;
      chunk_buffer = buffer.subspan(std::min<std::uint64_t>(skip, buffer.size()));
      if (skip > buffer.size()) chunk.stride = 0;
      if (starts.ends != nullptr) {
        // The packets' ends, measured from the chunk's buffer as well.
        for (std::size_t k = 0; k < n; ++k) {
          const std::uint64_t packet_end = starts.ends[first + k];
          chunk_ends[k] = packet_end > skip ? packet_end - skip : 0;
        }
        chunk.ends = chunk_ends;
      }
    }
    const std::span<std::uint8_t> chunk_mask = mask.empty() ? mask : mask.subspan(first, n);
    void* const out = static_cast<std::uint8_t*>(column) + first * item_size;
    if (starts.offsets == nullptr && chunk.stride == 0) {
      // Past the buffer's end: every packet is outside it.
      if (mask.empty()) return ColumnFailure{first, std::nullopt};
      std::fill(chunk_mask.begin(), chunk_mask.end(), std::uint8_t{1});
      std::memset(raw, 0, n * column_item_size(raw_type));
      convert_values(conversion, raw_type, raw, n, out, chunk_mask, handles);
      continue;
    }
    std::optional<ColumnFailure> failure =
        decode_column(chunk_buffer, chunk, 0, n, field, raw, chunk_mask);
    const std::size_t valid = failure ? failure->packet : n;
    if (failure) failure->packet += first;
    const auto converted =
        convert_values(conversion, raw_type, raw, valid, out, chunk_mask, handles);
    if (converted) return ColumnFailure{first + converted->index, converted->error};
    if (failure) return failure;
  }
  return std::nullopt;
}

namespace {

// convert_packet_elements of codes read by `element_time`, packet by packet.
std::optional<PacketConversionFailure> convert_element_times(const ElementTime& element_time,
                                                             std::size_t packets, std::size_t limit,
                                                             const ElementRanges& ranges,
                                                             Nanoseconds* out,
                                                             std::span<std::uint8_t> packet_mask) {
  std::fill(out, out + ranges.begin(packets), Nanoseconds{0});
  for (std::size_t i = 0; i < limit; ++i) {
    if (!packet_mask.empty() && packet_mask[i] != 0) continue;
    const std::uint64_t begin = ranges.begin(i);
    for (std::uint64_t e = begin; e < ranges.begin(i + 1); ++e) {
      const Result<Nanoseconds> time = element_time(i, e - begin);
      if (time) {
        out[e] = *time;
        continue;
      }
      if (packet_mask.empty()) return PacketConversionFailure{i, time.error()};
      packet_mask[i] = 1;
      std::fill(out + begin, out + e, Nanoseconds{0});
      break;
    }
  }
  return std::nullopt;
}

}  // namespace

std::optional<PacketConversionFailure> convert_packet_elements(
    const Conversion& conversion, ColumnType raw_type, const void* raw, std::size_t packets,
    std::size_t limit, const ElementRanges& ranges, void* out, std::span<std::uint8_t> packet_mask,
    StateHandles* handles, const ElementTime* element_time) {
  const std::uint64_t total = ranges.begin(packets);
  limit = std::min(limit, packets);
  if (element_time != nullptr)
    return convert_element_times(*element_time, packets, limit, ranges,
                                 static_cast<Nanoseconds*>(out), packet_mask);
  // The common column: every packet converted and none failing, which needs
  // no bookkeeping per element. Handles count what they write, so they are
  // written once, below.
  const bool every_packet = limit == packets && std::find(packet_mask.begin(), packet_mask.end(),
                                                          std::uint8_t{1}) == packet_mask.end();
  if (every_packet && handles == nullptr &&
      !convert_values(conversion, raw_type, raw, total, out, {}, nullptr)) {
    return std::nullopt;
  }
  // One byte per element: 1 where it is not converted (a masked packet, or
  // one past the limit), and where its conversion fails.
  std::vector<std::uint8_t> failed(total, 0);
  for (std::size_t i = 0; i < packets; ++i) {
    if (i >= limit || (!packet_mask.empty() && packet_mask[i] != 0)) {
      std::fill(failed.begin() + static_cast<std::ptrdiff_t>(ranges.begin(i)),
                failed.begin() + static_cast<std::ptrdiff_t>(ranges.begin(i + 1)), 1);
    }
  }
  const std::vector<std::uint8_t> skipped = failed;
  // Converting with a mask goes on past failures, marking them.
  if (total != 0) convert_values(conversion, raw_type, raw, total, out, failed, handles);

  const std::size_t item = column_item_size(raw_type);
  for (std::size_t i = 0; i < limit; ++i) {
    const std::uint64_t begin = ranges.begin(i);
    const std::uint64_t end = ranges.begin(i + 1);
    bool bad = false;
    for (std::uint64_t e = begin; e < end && !bad; ++e) bad = failed[e] != 0 && skipped[e] == 0;
    if (!bad) continue;
    if (!packet_mask.empty()) {
      packet_mask[i] = 1;
      continue;
    }
    // The packet's error, from its elements converted again on their own.
    std::vector<std::uint64_t> scratch(end - begin);
    const auto element =
        convert_values(conversion, raw_type, static_cast<const std::uint8_t*>(raw) + begin * item,
                       end - begin, scratch.data(), {});
    if (element) return PacketConversionFailure{i, element->error};
    break;
  }
  return std::nullopt;
}

}  // namespace vantrel
