#include "objects/conversion_recipes.hpp"

#include <algorithm>
#include <cmath>
#include <cstring>
#include <limits>
#include <optional>
#include <string>
#include <string_view>
#include <unordered_map>

#include "binding/convert.hpp"
#include "common/binary32.hpp"
#include "common/bits.hpp"
#include "common/format.hpp"
#include "objects/layout_data.hpp"
#include "objects/numpy_support.hpp"

namespace vantrel {

namespace {

// ---- Reading the "convert" dict -------------------------------------------------

bool refuse_conversion(const LayoutItem& item, const std::string& message) {
  return refuse(item, concat("convert: ", message));
}

// The keys each kind takes; any other key is refused, so a misspelt option
// is never silently ignored.
constexpr std::string_view kPolynomialKeys[] = {"type", "coefficients", "invert", "raw_range"};
constexpr std::string_view kLinearKeys[] = {"type", "slope", "intercept"};
constexpr std::string_view kTableKeys[] = {"type", "points", "outside", "invert"};
constexpr std::string_view kEnumerationKeys[] = {"type", "states", "default"};
constexpr std::string_view kCucKeys[] = {"type",  "coarse_octets", "fine_octets", "p_field",
                                         "epoch", "epoch_scale",   "scale",       "leap_seconds"};
constexpr std::string_view kCdsKeys[] = {"type",    "day_octets",  "submillisecond_octets",
                                         "p_field", "epoch",       "epoch_scale",
                                         "scale",   "leap_seconds"};

bool check_keys(PyObject* dict, std::span<const std::string_view> known, const LayoutItem& item,
                std::string_view kind) {
  Py_ssize_t cursor = 0;
  PyObject* key = nullptr;
  PyObject* value = nullptr;
  while (PyDict_Next(dict, &cursor, &key, &value)) {
    const char* text = PyUnicode_Check(key) ? PyUnicode_AsUTF8(key) : nullptr;
    if (text == nullptr) PyErr_Clear();
    if (text != nullptr && std::find(known.begin(), known.end(), text) != known.end()) continue;
    std::string allowed;
    for (const std::string_view name : known) {
      allowed += allowed.empty() ? "'" : ", '";
      allowed += name;
      allowed += "'";
    }
    return refuse_conversion(item, concat("unknown key ", quoted(key), " for a ", kind,
                                          " conversion; it takes ", allowed));
  }
  return true;
}

Ref get(PyObject* dict, const char* key) { return Ref::borrow(PyDict_GetItemString(dict, key)); }

bool finite_number(PyObject* object, const LayoutItem& item, const char* what, double& out) {
  if (PyBool_Check(object) || PyUnicode_Check(object) || !PyNumber_Check(object) ||
      !to_f64(object, out)) {
    PyErr_Clear();
    return refuse_conversion(item, concat(what, " must be a number, not ", quoted(object)));
  }
  if (!std::isfinite(out)) {
    return refuse_conversion(item, concat(what, " must be finite, not ", quoted(object)));
  }
  return true;
}

bool small_int(PyObject* dict, const char* key, long fallback, const LayoutItem& item,
               std::initializer_list<long> allowed, long& out) {
  Ref value = get(dict, key);
  out = fallback;
  if (!value) return true;
  std::string choices;
  for (const long a : allowed) choices += concat(choices.empty() ? "" : ", ", a);
  if (!PyBool_Check(value.get()) && PyLong_Check(value.get())) {
    out = PyLong_AsLong(value.get());
    if (out == -1 && PyErr_Occurred()) PyErr_Clear();
    if (std::find(allowed.begin(), allowed.end(), out) != allowed.end()) return true;
  }
  return refuse_conversion(item,
                           concat(key, " must be one of ", choices, ", not ", quoted(value.get())));
}

Ref sequence_tuple(PyObject* object, const LayoutItem& item, const char* what) {
  if (PyUnicode_Check(object) || PyBytes_Check(object) || PyDict_Check(object) ||
      !PySequence_Check(object)) {
    refuse_conversion(item, concat(what, " must be a list, not ", quoted(object)));
    return {};
  }
  return Ref::steal(PySequence_Tuple(object));
}

bool read_polynomial(PyObject* dict, const LayoutItem& item, Conversion& out) {
  Ref given = get(dict, "coefficients");
  if (!given) return refuse_conversion(item, "a polynomial needs 'coefficients' (c0, c1, ... cn)");
  Ref items = sequence_tuple(given.get(), item, "coefficients");
  if (!items) return false;
  const Py_ssize_t count = PyTuple_GET_SIZE(items.get());
  if (count == 0) return refuse_conversion(item, "coefficients must hold at least one number");
  for (Py_ssize_t k = 0; k < count; ++k) {
    double c = 0;
    if (!finite_number(PyTuple_GET_ITEM(items.get(), k), item, "a coefficient", c)) return false;
    out.coefficients.push_back(c);
  }
  return true;
}

bool read_linear(PyObject* dict, const LayoutItem& item, Conversion& out) {
  Ref slope = get(dict, "slope");
  Ref intercept = get(dict, "intercept");
  if (!slope) return refuse_conversion(item, "a linear conversion needs 'slope'");
  double a = 0, b = 0;
  if (!finite_number(slope.get(), item, "slope", a)) return false;
  if (intercept && !finite_number(intercept.get(), item, "intercept", b)) return false;
  if (a == 0)
    return refuse_conversion(item, "slope must not be 0: the raw value could not be recovered");
  out.coefficients = {b, a};
  return true;
}

bool read_table(PyObject* dict, const LayoutItem& item, Conversion& out) {
  Ref given = get(dict, "points");
  if (!given)
    return refuse_conversion(item, "a table needs 'points', a list of (raw, value) pairs");
  Ref points = sequence_tuple(given.get(), item, "points");
  if (!points) return false;
  const Py_ssize_t count = PyTuple_GET_SIZE(points.get());
  if (count < 2) return refuse_conversion(item, "a table needs at least two points");
  for (Py_ssize_t k = 0; k < count; ++k) {
    Ref pair = sequence_tuple(PyTuple_GET_ITEM(points.get(), k), item, "each point");
    if (!pair) return false;
    if (PyTuple_GET_SIZE(pair.get()) != 2) {
      return refuse_conversion(item, concat("point ", k, " must be a (raw, value) pair"));
    }
    double x = 0, y = 0;
    if (!finite_number(PyTuple_GET_ITEM(pair.get(), 0), item, "a raw value", x) ||
        !finite_number(PyTuple_GET_ITEM(pair.get(), 1), item, "an engineering value", y)) {
      return false;
    }
    if (!out.table_raw.empty() && x <= out.table_raw.back()) {
      return refuse_conversion(item,
                               concat("the table's raw values must increase (point ", k, ")"));
    }
    out.table_raw.push_back(x);
    out.table_values.push_back(y);
  }
  out.outside = OutsideTable::Error;
  if (Ref outside = get(dict, "outside")) {
    const char* text = PyUnicode_Check(outside.get()) ? PyUnicode_AsUTF8(outside.get()) : nullptr;
    if (text == nullptr) PyErr_Clear();
    const std::string_view policy = text != nullptr ? text : "";
    if (policy == "clamp") {
      out.outside = OutsideTable::Clamp;
    } else if (policy == "extrapolate") {
      out.outside = OutsideTable::Extrapolate;
    } else if (policy != "error") {
      return refuse_conversion(
          item,
          concat("outside must be 'error', 'clamp' or 'extrapolate', not ", quoted(outside.get())));
    }
  }
  return true;
}

// "invert" (and a polynomial's "raw_range"): whether pack inverts the
// calibration, checked here to be one-to-one where it is searched.
bool read_inversion(PyObject* dict, const FieldSpec& placed, const LayoutItem& item,
                    Conversion& out) {
  Ref invert = get(dict, "invert");
  Ref range = get(dict, "raw_range");
  if (invert && !PyBool_Check(invert.get())) {
    return refuse_conversion(item,
                             concat("invert must be True or False, not ", quoted(invert.get())));
  }
  out.invert = invert && invert.get() == Py_True;
  if (out.kind == ConversionKind::Table) {
    if (!out.invert) return true;
    const Result<void> checked = check_invertible_table(out);
    return checked || refuse_conversion(item, checked.error().message);
  }
  if (range && !out.invert) {
    return refuse_conversion(item, "raw_range is the range pack searches: it goes with invert");
  }
  if (!out.invert) return true;
  const ValueKind kind = placed.row->value_kind;
  // An integer field's own raw values: the range searched by default, and
  // the one a given range is clipped to (a turn outside it does not matter).
  const bool integer =
      kind == ValueKind::Unsigned || (kind == ValueKind::Signed && placed.bits >= 1);
  double field_low = 0;
  double field_high = 0;
  if (kind == ValueKind::Unsigned) {
    field_high = static_cast<double>(low_mask(placed.bits));
  } else if (integer) {
    field_high = static_cast<double>(low_mask(placed.bits - 1));
    field_low = -field_high - 1;
  }
  if (range) {
    Ref pair = sequence_tuple(range.get(), item, "raw_range");
    if (!pair) return false;
    if (PyTuple_GET_SIZE(pair.get()) != 2) {
      return refuse_conversion(item, "raw_range must be a (low, high) pair");
    }
    if (!finite_number(PyTuple_GET_ITEM(pair.get(), 0), item, "raw_range's low", out.raw_low) ||
        !finite_number(PyTuple_GET_ITEM(pair.get(), 1), item, "raw_range's high", out.raw_high)) {
      return false;
    }
    if (integer && out.raw_low < out.raw_high) {
      if (out.raw_high < field_low || out.raw_low > field_high) {
        return refuse_conversion(
            item, concat("raw_range (", quoted(PyTuple_GET_ITEM(pair.get(), 0)), ", ",
                         quoted(PyTuple_GET_ITEM(pair.get(), 1)), ") holds no raw value of the ",
                         placed.bits, "-bit field"));
      }
      out.raw_low = std::max(out.raw_low, field_low);
      out.raw_high = std::min(out.raw_high, field_high);
    }
  } else if (integer) {
    out.raw_low = field_low;
    out.raw_high = field_high;
  } else {
    return refuse_conversion(item,
                             "inverting a polynomial of a float field needs 'raw_range' (low, "
                             "high): the raw values to search");
  }
  const Result<void> checked =
      check_invertible_polynomial(out.coefficients, out.raw_low, out.raw_high);
  return checked || refuse_conversion(item, checked.error().message);
}

// The state names seen so far, by their UTF-8 text (views into the str
// objects the conversion keeps), with their state indices.
using StateNameIndex = std::unordered_map<std::string_view, std::uint32_t>;

// The state index of `name`, adding it when it is new: one str per name,
// found by hashing its text, so that a table of n states builds in O(n).
// A name must have a UTF-8 form, the one every output gives (Arrow's
// dictionary, the numpy str): a lone surrogate is refused.
std::optional<std::uint32_t> state_index(ItemConversion& out, StateNameIndex& known, PyObject* name,
                                         const LayoutItem& item) {
  Ref copy = Ref::steal(PyUnicode_FromObject(name));
  if (!copy) return std::nullopt;
  Py_ssize_t size = 0;
  const char* text = PyUnicode_AsUTF8AndSize(copy.get(), &size);
  if (text == nullptr) {
    PyErr_Clear();
    refuse_conversion(item, concat("state name ", quoted(copy.get()),
                                   " has no UTF-8 form (it holds a lone surrogate)"));
    return std::nullopt;
  }
  if (const auto found = known.find(std::string_view(text, static_cast<std::size_t>(size)));
      found != known.end()) {
    return found->second;
  }
  PyObject* interned = copy.release();
  PyUnicode_InternInPlace(&interned);
  Ref kept = Ref::steal(interned);
  // The kept object's own text (an equal str interned earlier may be it).
  const char* kept_text = PyUnicode_AsUTF8AndSize(kept.get(), &size);
  if (kept_text == nullptr) return std::nullopt;
  const auto index = static_cast<std::uint32_t>(out.state_names.size());
  out.conversion.enumeration.names.emplace_back(kept_text, static_cast<std::size_t>(size));
  known.emplace(std::string_view(kept_text, static_cast<std::size_t>(size)), index);
  out.state_names.push_back(std::move(kept));
  return index;
}

bool read_enumeration(PyObject* dict, const FieldSpec& placed, const LayoutItem& item,
                      ItemConversion& out) {
  const ColumnType type = column_type_of(placed);
  if (type == ColumnType::F32 || type == ColumnType::F64 || type == ColumnType::Text) {
    return refuse_conversion(item, "state names need an integer field");
  }
  const bool is_signed = column_type_row(type).is_signed;
  Ref states = get(dict, "states");
  if (!states || !PyDict_Check(states.get()) || PyDict_GET_SIZE(states.get()) == 0) {
    return refuse_conversion(
        item, "an enumeration needs 'states', a non-empty dict from raw value to name");
  }
  // A private copy, walked in place: no tuple per state (a million of them
  // would also wake the cycle collector), and nothing a conversion or a
  // comparison runs can reach it to change it.
  Ref entries = Ref::steal(PyDict_Copy(states.get()));
  out.state_raw = Ref::steal(PyDict_New());
  if (!entries || !out.state_raw) return false;
  StateNameIndex known;
  known.reserve(static_cast<std::size_t>(PyDict_GET_SIZE(entries.get())));
  Enumeration& enumeration = out.conversion.enumeration;
  enumeration.states.reserve(static_cast<std::size_t>(PyDict_GET_SIZE(entries.get())));
  std::vector<PyObject*> smallest_raw;  // by state index, borrowed from `entries`
  Py_ssize_t cursor = 0;
  PyObject* raw = nullptr;
  PyObject* name = nullptr;
  while (PyDict_Next(entries.get(), &cursor, &raw, &name)) {
    if (PyBool_Check(raw) || !PyLong_Check(raw)) {
      return refuse_conversion(item, concat("state values must be integers, not ", quoted(raw)));
    }
    if (!PyUnicode_Check(name)) {
      return refuse_conversion(item, concat("state names must be str, not ", quoted(name)));
    }
    std::uint64_t key = 0;
    if (is_signed) {
      std::int64_t value = 0;
      if (!to_i64(raw, value)) {
        PyErr_Clear();
        return refuse_conversion(item,
                                 concat("state ", quoted(raw), " does not fit a 64-bit field"));
      }
      key = state_key(value);
    } else if (!to_u64(raw, key) || (placed.bits < 64 && (key >> placed.bits) != 0)) {
      PyErr_Clear();
      return refuse_conversion(
          item, concat("state ", quoted(raw), " cannot occur in an unsigned field of ", placed.bits,
                       " bits"));
    }
    const std::optional<std::uint32_t> found = state_index(out, known, name, item);
    if (!found) return false;
    const std::uint32_t index = *found;
    enumeration.states.emplace_back(key, index);
    // Packing a name gives its smallest raw value.
    if (index == smallest_raw.size()) {
      smallest_raw.push_back(raw);
    } else {
      const int smaller = PyObject_RichCompareBool(raw, smallest_raw[index], Py_LT);
      if (smaller < 0) return false;
      if (smaller == 1) smallest_raw[index] = raw;
    }
  }
  for (std::size_t k = 0; k < smallest_raw.size(); ++k) {
    if (PyDict_SetItem(out.state_raw.get(), out.state_names[k].get(), smallest_raw[k]) < 0) {
      return false;
    }
  }
  std::sort(enumeration.states.begin(), enumeration.states.end());
  if (Ref fallback = get(dict, "default")) {
    if (!PyUnicode_Check(fallback.get())) {
      return refuse_conversion(item, concat("default must be a str, not ", quoted(fallback.get())));
    }
    enumeration.default_state = state_index(out, known, fallback.get(), item);
    if (!enumeration.default_state) return false;
  }
  enumeration.index();
  return true;
}

bool read_scale(PyObject* dict, const char* key, std::optional<TimeScale> fallback,
                const LayoutItem& item, TimeScale& out) {
  Ref value = get(dict, key);
  if (!value) {
    if (fallback) {
      out = *fallback;
      return true;
    }
    return refuse_conversion(item, concat("a time code needs '", key,
                                          "': 'TAI' or 'UTC', the scale its times are given in"));
  }
  const char* text = PyUnicode_Check(value.get()) ? PyUnicode_AsUTF8(value.get()) : nullptr;
  if (text == nullptr) PyErr_Clear();
  if (text != nullptr && equals_ascii_lowercase(text, "tai")) {
    out = TimeScale::Tai;
    return true;
  }
  if (text != nullptr && equals_ascii_lowercase(text, "utc")) {
    out = TimeScale::Utc;
    return true;
  }
  return refuse_conversion(item, concat(key, " must be 'TAI' or 'UTC', not ", quoted(value.get())));
}

// A str, or a naive datetime.date / datetime.datetime, as a calendar reading.
bool read_time_text(PyObject* value, const LayoutItem& item, const char* what, Nanoseconds& out) {
  Ref text;
  if (PyUnicode_Check(value)) {
    text = Ref::borrow(value);
  } else {
    Ref offset = PyObject_HasAttrString(value, "utcoffset")
                     ? Ref::steal(PyObject_CallMethod(value, "utcoffset", nullptr))
                     : Ref::borrow(Py_None);
    if (!offset) PyErr_Clear();
    if (offset && offset.get() != Py_None) {
      return refuse_conversion(item, concat(what, " must be naive: its scale is given separately"));
    }
    if (PyObject_HasAttrString(value, "isoformat")) {
      text = Ref::steal(PyObject_CallMethod(value, "isoformat", nullptr));
    }
    if (!text || !PyUnicode_Check(text.get())) {
      PyErr_Clear();
      return refuse_conversion(
          item, concat(what, " must be an ISO date str or a datetime, not ", quoted(value)));
    }
  }
  const char* utf8 = PyUnicode_AsUTF8(text.get());
  if (utf8 == nullptr) return false;
  const Result<Nanoseconds> reading = parse_iso_time(utf8);
  if (!reading) return refuse_conversion(item, concat(what, ": ", reading.error().message));
  out = *reading;
  return true;
}

bool read_leap_seconds(PyObject* dict, const LayoutItem& item, ItemConversion& out) {
  Ref given = get(dict, "leap_seconds");
  if (!given) {
    out.conversion.time.leap_seconds = LeapSecondTable::builtin();
    return true;
  }
  Ref rows = sequence_tuple(given.get(), item, "leap_seconds");
  if (!rows) return false;
  std::vector<LeapSecond> table;
  for (Py_ssize_t k = 0; k < PyTuple_GET_SIZE(rows.get()); ++k) {
    Ref pair = sequence_tuple(PyTuple_GET_ITEM(rows.get(), k), item, "each leap-second row");
    if (!pair) return false;
    if (PyTuple_GET_SIZE(pair.get()) != 2) {
      return refuse_conversion(item,
                               concat("leap-second row ", k, " must be a (date, TAI - UTC) pair"));
    }
    Nanoseconds start = 0;
    if (!read_time_text(PyTuple_GET_ITEM(pair.get(), 0), item, "a leap-second date", start)) {
      return false;
    }
    if (start % kNanosPerDay != 0) {
      return refuse_conversion(item, concat("leap-second row ", k, " must start at midnight"));
    }
    PyObject* offset = PyTuple_GET_ITEM(pair.get(), 1);
    std::int64_t seconds = 0;
    if (PyBool_Check(offset) || !PyLong_Check(offset) || !to_i64(offset, seconds) ||
        seconds < INT32_MIN || seconds > INT32_MAX) {
      PyErr_Clear();
      return refuse_conversion(
          item, concat("TAI - UTC must be a whole number of seconds, not ", quoted(offset)));
    }
    table.push_back({start / kNanosPerDay, static_cast<std::int32_t>(seconds)});
  }
  Result<LeapSecondTable> made = LeapSecondTable::make(std::move(table));
  if (!made) return refuse_conversion(item, made.error().message);
  out.conversion.time.leap_seconds = std::move(*made);
  out.custom_leap_seconds = true;
  return true;
}

bool read_time_code(PyObject* dict, TimeCodeKind kind, const FieldSpec& placed,
                    const LayoutItem& item, ItemConversion& out) {
  TimeCodeFormat& time = out.conversion.time;
  time.kind = kind;
  long a = 0, b = 0;
  if (kind == TimeCodeKind::Cuc) {
    if (!small_int(dict, "coarse_octets", 4, item, {1, 2, 3, 4}, a) ||
        !small_int(dict, "fine_octets", 0, item, {0, 1, 2, 3}, b)) {
      return false;
    }
    time.coarse_octets = static_cast<std::uint8_t>(a);
    time.fine_octets = static_cast<std::uint8_t>(b);
  } else {
    if (!small_int(dict, "day_octets", 2, item, {2, 3}, a) ||
        !small_int(dict, "submillisecond_octets", 0, item, {0, 2, 4}, b)) {
      return false;
    }
    time.day_octets = static_cast<std::uint8_t>(a);
    time.submillisecond_octets = static_cast<std::uint8_t>(b);
  }
  if (Ref p_field = get(dict, "p_field")) {
    if (!PyBool_Check(p_field.get())) {
      return refuse_conversion(
          item, concat("p_field must be True or False, not ", quoted(p_field.get())));
    }
    time.p_field = p_field.get() == Py_True;
  }
  time.epoch = kCcsdsEpoch;
  if (Ref epoch = get(dict, "epoch")) {
    if (!read_time_text(epoch.get(), item, "epoch", time.epoch)) return false;
  }
  if (!read_scale(dict, "epoch_scale", TimeScale::Tai, item, time.code_scale) ||
      !read_scale(dict, "scale", std::nullopt, item, time.scale) ||
      !read_leap_seconds(dict, item, out)) {
    return false;
  }
  time.agency_epoch = time.epoch != kCcsdsEpoch || time.code_scale != TimeScale::Tai;
  const EncodingRow* unsigned_row = find_encoding("unsigned");
  if (placed.row != unsigned_row || placed.little_endian || placed.reverse_bits) {
    return refuse_conversion(
        item,
        "a time code field must be 'unsigned', big-endian and not mirrored: its octets "
        "are read in order");
  }
  if (placed.bits != time.bits()) {
    return refuse_conversion(
        item, concat("the time code has ", time.bits(), " bits but the field has ", placed.bits));
  }
  return true;
}

// ---- The canonical form, for pickling -------------------------------------------

Ref float_list(const std::vector<double>& values) {
  Ref list = Ref::steal(PyList_New(static_cast<Py_ssize_t>(values.size())));
  if (!list) return {};
  for (std::size_t k = 0; k < values.size(); ++k) {
    PyObject* number = PyFloat_FromDouble(values[k]);
    if (number == nullptr) return {};
    PyList_SET_ITEM(list.get(), static_cast<Py_ssize_t>(k), number);
  }
  return list;
}

const char* scale_name(TimeScale scale) { return scale == TimeScale::Tai ? "TAI" : "UTC"; }

Ref canonical_form(PyObject* given, const ItemConversion& conversion, const char* type) {
  const Conversion& c = conversion.conversion;
  switch (c.kind) {
    case ConversionKind::Polynomial: {
      Ref coefficients = float_list(c.coefficients);
      if (!coefficients) return {};
      if (c.invert) {
        return Ref::steal(Py_BuildValue("{s:s,s:O,s:O,s:[dd]}", "type", type, "coefficients",
                                        coefficients.get(), "invert", Py_True, "raw_range",
                                        c.raw_low, c.raw_high));
      }
      return Ref::steal(
          Py_BuildValue("{s:s,s:O}", "type", type, "coefficients", coefficients.get()));
    }
    case ConversionKind::Linear:
      return Ref::steal(Py_BuildValue("{s:s,s:d,s:d}", "type", type, "slope", c.coefficients[1],
                                      "intercept", c.coefficients[0]));
    case ConversionKind::Table: {
      Ref points = Ref::steal(PyList_New(static_cast<Py_ssize_t>(c.table_raw.size())));
      if (!points) return {};
      for (std::size_t k = 0; k < c.table_raw.size(); ++k) {
        PyObject* pair = Py_BuildValue("[dd]", c.table_raw[k], c.table_values[k]);
        if (pair == nullptr) return {};
        PyList_SET_ITEM(points.get(), static_cast<Py_ssize_t>(k), pair);
      }
      const char* outside = c.outside == OutsideTable::Clamp         ? "clamp"
                            : c.outside == OutsideTable::Extrapolate ? "extrapolate"
                                                                     : "error";
      return Ref::steal(Py_BuildValue("{s:s,s:O,s:s,s:O}", "type", type, "points", points.get(),
                                      "outside", outside, "invert", c.invert ? Py_True : Py_False));
    }
    case ConversionKind::Enumeration: {
      Ref states = Ref::steal(PyDict_Copy(get(given, "states").get()));
      Ref dict = states
                     ? Ref::steal(Py_BuildValue("{s:s,s:O}", "type", type, "states", states.get()))
                     : Ref{};
      if (!dict) return {};
      if (c.enumeration.default_state &&
          PyDict_SetItemString(dict.get(), "default",
                               conversion.state_names[*c.enumeration.default_state].get()) < 0) {
        return {};
      }
      return dict;
    }
    case ConversionKind::TimeCode: {
      const TimeCodeFormat& t = c.time;
      const std::string epoch = format_iso_time(t.epoch);
      Ref dict =
          t.kind == TimeCodeKind::Cuc
              ? Ref::steal(Py_BuildValue("{s:s,s:i,s:i}", "type", type, "coarse_octets",
                                         int{t.coarse_octets}, "fine_octets", int{t.fine_octets}))
              : Ref::steal(Py_BuildValue("{s:s,s:i,s:i}", "type", type, "day_octets",
                                         int{t.day_octets}, "submillisecond_octets",
                                         int{t.submillisecond_octets}));
      Ref rest = Ref::steal(Py_BuildValue(
          "{s:O,s:s,s:s,s:s}", "p_field", t.p_field ? Py_True : Py_False, "epoch", epoch.c_str(),
          "epoch_scale", scale_name(t.code_scale), "scale", scale_name(t.scale)));
      if (!dict || !rest || PyDict_Update(dict.get(), rest.get()) < 0) return {};
      if (conversion.custom_leap_seconds) {
        Ref rows = Ref::steal(PyList_New(0));
        if (!rows) return {};
        for (const LeapSecond& row : t.leap_seconds.rows()) {
          const std::string date = format_iso_time(row.day * kNanosPerDay).substr(0, 10);
          Ref pair = Ref::steal(Py_BuildValue("[si]", date.c_str(), row.tai_minus_utc));
          if (!pair || PyList_Append(rows.get(), pair.get()) < 0) return {};
        }
        if (PyDict_SetItemString(dict.get(), "leap_seconds", rows.get()) < 0) return {};
      }
      return dict;
    }
    case ConversionKind::None: break;
  }
  return {};
}

}  // namespace

bool read_conversion(PyObject* object, const FieldSpec& placed, const LayoutItem& item,
                     std::shared_ptr<const ItemConversion>& out) {
  Ref given = Ref::borrow(PyDict_GetItemString(object, "convert"));
  if (!given) return true;
  if (!PyDict_Check(given.get())) {
    return refuse_conversion(item,
                             concat("must be a dict with a 'type' key, not ", quoted(given.get())));
  }
  // A private copy: converting a number may run user code that changes the
  // caller's dict.
  Ref dict = Ref::steal(PyDict_Copy(given.get()));
  if (!dict) return false;
  Ref type_object = get(dict.get(), "type");
  const char* type = type_object && PyUnicode_Check(type_object.get())
                         ? PyUnicode_AsUTF8(type_object.get())
                         : nullptr;
  if (type == nullptr) PyErr_Clear();
  const std::string_view kind = type != nullptr ? type : "";
  if (placed.is_text()) return refuse_conversion(item, "text fields have no conversions");
  auto conversion = std::make_shared<ItemConversion>();
  Conversion& c = conversion->conversion;
  bool read = false;
  if (kind == "polynomial") {
    c.kind = ConversionKind::Polynomial;
    read = check_keys(dict.get(), kPolynomialKeys, item, kind) &&
           read_polynomial(dict.get(), item, c) && read_inversion(dict.get(), placed, item, c);
  } else if (kind == "linear") {
    c.kind = ConversionKind::Linear;
    read = check_keys(dict.get(), kLinearKeys, item, kind) && read_linear(dict.get(), item, c);
  } else if (kind == "table") {
    c.kind = ConversionKind::Table;
    read = check_keys(dict.get(), kTableKeys, item, kind) && read_table(dict.get(), item, c) &&
           read_inversion(dict.get(), placed, item, c);
  } else if (kind == "enumeration") {
    c.kind = ConversionKind::Enumeration;
    read = check_keys(dict.get(), kEnumerationKeys, item, kind) &&
           read_enumeration(dict.get(), placed, item, *conversion);
  } else if (kind == "cuc" || kind == "cds") {
    c.kind = ConversionKind::TimeCode;
    read = check_keys(dict.get(),
                      kind == "cuc" ? std::span<const std::string_view>(kCucKeys)
                                    : std::span<const std::string_view>(kCdsKeys),
                      item, kind) &&
           read_time_code(dict.get(), kind == "cuc" ? TimeCodeKind::Cuc : TimeCodeKind::Cds, placed,
                          item, *conversion);
  } else {
    return refuse_conversion(item,
                             concat("type must be 'polynomial', 'linear', 'table', 'enumeration', "
                                    "'cuc' or 'cds', not ",
                                    type_object ? quoted(type_object.get()) : "missing"));
  }
  if (!read) return false;
  conversion->canonical = canonical_form(dict.get(), *conversion, type);
  if (!conversion->canonical) return false;
  out = std::move(conversion);
  return true;
}

// ---- One packet -----------------------------------------------------------------

PyObject* datetime_from_reading(Nanoseconds reading, TimeScale scale) {
  std::int64_t days = reading / kNanosPerDay;
  Nanoseconds within = reading % kNanosPerDay;
  if (within < 0) {
    within += kNanosPerDay;
    --days;
  }
  std::uint64_t micros = divide_round_even(static_cast<std::uint64_t>(within), 1000);
  if (micros == 86'400'000'000ULL) {
    micros = 0;
    ++days;
  }
  std::int64_t year = 0;
  unsigned month = 0, day = 0;
  civil_from_days(days, year, month, day);
  Ref module = Ref::steal(PyImport_ImportModule("datetime"));
  Ref type = module ? Ref::steal(PyObject_GetAttrString(module.get(), "datetime")) : Ref{};
  if (!type) return nullptr;
  Ref zone;
  if (scale == TimeScale::Utc) {
    Ref timezone = Ref::steal(PyObject_GetAttrString(module.get(), "timezone"));
    zone = timezone ? Ref::steal(PyObject_GetAttrString(timezone.get(), "utc")) : Ref{};
    if (!zone) return nullptr;
  } else {
    zone = Ref::borrow(Py_None);
  }
  const std::uint64_t seconds = micros / 1'000'000;
  return PyObject_CallFunction(
      type.get(), "LIIIIIIO", static_cast<long long>(year), month, day,
      static_cast<unsigned>(seconds / 3600), static_cast<unsigned>(seconds / 60 % 60),
      static_cast<unsigned>(seconds % 60), static_cast<unsigned>(micros % 1'000'000), zone.get());
}

PyObject* unpack_converted(const ItemConversion& conversion, const PlannedField& field,
                           const LayoutItem& item, ByteSpan packet, std::uint64_t bit,
                           bool packet_immutable) {
  const Conversion& c = conversion.conversion;
  if (c.kind == ConversionKind::TimeCode) {
    const Result<Nanoseconds> time = decode_time_code(packet.data(), bit, c.time);
    if (!time) {
      raise_item_failure(time.error(), item);
      return nullptr;
    }
    return datetime_from_reading(*time, c.time.scale);
  }
  FieldScratch scratch;
  const FieldInput input =
      read_shaped_input(packet, bit, field.spec, field.shape, scratch, packet_immutable);
  StrResult text;
  const Result<FieldValue> decoded = field.spec.row->decode(input, text);
  if (!decoded) {
    raise_item_failure(decoded.error(), item);
    return nullptr;
  }
  if (c.kind == ConversionKind::Enumeration) {
    const std::int64_t* as_signed = std::get_if<std::int64_t>(&*decoded);
    const std::uint64_t key =
        as_signed != nullptr ? state_key(*as_signed) : std::get<std::uint64_t>(*decoded);
    const Result<std::int32_t> state = enumerate(c, key, as_signed != nullptr);
    if (!state) {
      raise_item_failure(state.error(), item);
      return nullptr;
    }
    return Ref::borrow(conversion.state_names[static_cast<std::size_t>(*state)].get()).release();
  }
  const double raw = std::visit(
      [](auto value) -> double {
        if constexpr (std::is_same_v<decltype(value), TextWritten>) {
          return 0;
        } else {
          return static_cast<double>(value);
        }
      },
      *decoded);
  const Result<double> value = calibrate(c, raw);
  if (!value) {
    raise_item_failure(value.error(), item);
    return nullptr;
  }
  return PyFloat_FromDouble(*value);
}

// ---- Packing --------------------------------------------------------------------

namespace {

bool raise_time_type(PyObject* value, TimeScale scale, const LayoutItem& item) {
  const std::string text =
      concat(item.context, "a ", scale_name(scale), " time code takes ",
             scale == TimeScale::Utc ? "an aware datetime.datetime (tzinfo set)"
                                     : "a naive datetime.datetime (no tzinfo)",
             " or a numpy.datetime64, not ", quoted(value));
  PyErr_SetString(PyExc_TypeError, text.c_str());
  return false;
}

// A datetime or numpy.datetime64 as nanoseconds of the field's scale.
bool reading_of(PyObject* value, TimeScale scale, const LayoutItem& item, Nanoseconds& out) {
  Ref module = Ref::steal(PyImport_ImportModule("datetime"));
  Ref type = module ? Ref::steal(PyObject_GetAttrString(module.get(), "datetime")) : Ref{};
  if (!type) return false;
  const int is_datetime = PyObject_IsInstance(value, type.get());
  if (is_datetime < 0) return false;
  if (is_datetime == 1) {
    Ref offset = Ref::steal(PyObject_CallMethod(value, "utcoffset", nullptr));
    if (!offset) return false;
    const bool aware = offset.get() != Py_None;
    if (aware != (scale == TimeScale::Utc)) return raise_time_type(value, scale, item);
    Ref zone = aware ? Ref::steal(PyObject_GetAttrString(module.get(), "timezone")) : Ref{};
    Ref utc = zone ? Ref::steal(PyObject_GetAttrString(zone.get(), "utc")) : Ref::borrow(Py_None);
    if (!utc) return false;
    Ref base = Ref::steal(
        PyObject_CallFunction(type.get(), "iiiiiiiO", 1970, 1, 1, 0, 0, 0, 0, utc.get()));
    Ref delta = base ? Ref::steal(PyNumber_Subtract(value, base.get())) : Ref{};
    if (!delta) return false;
    std::int64_t parts[3] = {0, 0, 0};
    const char* names[3] = {"days", "seconds", "microseconds"};
    for (int k = 0; k < 3; ++k) {
      Ref part = Ref::steal(PyObject_GetAttrString(delta.get(), names[k]));
      if (!part || !to_i64(part.get(), parts[k])) return false;
    }
    // Python's datetimes span years 1-9999: days * 86400e9 fits in int64
    // only near 1970, so the sum is checked.
    Nanoseconds ns = 0;
    if (__builtin_mul_overflow(parts[0], kNanosPerDay, &ns) ||
        __builtin_add_overflow(ns, parts[1] * kNanosPerSecond + parts[2] * 1000, &ns)) {
      PyErr_Format(PyExc_ValueError, "%s%R is outside the range of datetime64[ns]",
                   item.context.c_str(), value);
      return false;
    }
    out = ns;
    return true;
  }
  // numpy's scalar, when numpy is already loaded: packing never imports it.
  Ref numpy_name = Ref::steal(PyUnicode_FromString("numpy"));
  Ref numpy = numpy_name ? Ref::steal(PyImport_GetModule(numpy_name.get())) : Ref{};
  if (!numpy) {
    if (PyErr_Occurred()) return false;
    return raise_time_type(value, scale, item);
  }
  Ref datetime64 = Ref::steal(PyObject_GetAttrString(numpy.get(), "datetime64"));
  if (!datetime64) return false;
  const int is_datetime64 = PyObject_IsInstance(value, datetime64.get());
  if (is_datetime64 < 0) return false;
  if (is_datetime64 == 0) return raise_time_type(value, scale, item);
  std::string outside;
  std::size_t outside_at = 0;
  Ref as_int = datetime64_nanoseconds(value, outside, outside_at);
  if (!as_int) return false;
  if (!outside.empty()) {
    PyErr_Format(PyExc_ValueError, "%s%s is outside the range of datetime64[ns]",
                 item.context.c_str(), outside.c_str());
    return false;
  }
  if (!to_i64(as_int.get(), out)) return false;
  if (out == std::numeric_limits<std::int64_t>::min()) {
    PyErr_Format(PyExc_ValueError, "%sNaT is not a time", item.context.c_str());
    return false;
  }
  return true;
}

}  // namespace

bool pack_time(const ItemConversion& conversion, const PlannedField& field, const LayoutItem& item,
               Nanoseconds time, std::span<std::uint8_t> packet) {
  const Result<void> written = encode_time_code(packet.data(), packet.size(), field.position,
                                                conversion.conversion.time, time);
  if (!written) return raise_item_failure(written.error(), item);
  return true;
}

bool converted_input(const ItemConversion& conversion, const FieldSpec& spec,
                     const LayoutItem& item, PyObject* value, PackInput& input) {
  const Conversion& c = conversion.conversion;
  const ValueKind kind = spec.row->value_kind;
  if (kind == ValueKind::NotPackable) return raise_not_packable(item);
  Ref raw_object = Ref::borrow(value);
  switch (c.kind) {
    case ConversionKind::Polynomial:
    case ConversionKind::Table:
      if (!c.invert) break;
      [[fallthrough]];
    case ConversionKind::Linear: {
      double engineering = 0;
      if (!to_f64(value, engineering)) {
        rewrap_engine_failure(item.context);
        return false;
      }
      const bool integer_raw = kind == ValueKind::Unsigned || kind == ValueKind::Signed;
      const Result<double> raw = c.kind == ConversionKind::Linear
                                     ? invert_linear(c, engineering)
                                     : invert_calibration(c, engineering, integer_raw);
      if (!raw) return raise_item_failure(raw.error(), item);
      // Integers round to the nearest raw value, ties to even.
      const double rounded = std::nearbyint(*raw);
      const bool fits = kind == ValueKind::Unsigned
                            ? rounded >= 0 && rounded < 18446744073709551616.0
                            : rounded >= -9223372036854775808.0 && rounded < 9223372036854775808.0;
      if (integer_raw && !fits) {
        return raise_item_failure(
            Error{ErrorKind::ValueError,
                  concat("the value ", quoted(value), " needs a raw value outside the field")},
            item);
      }
      if (kind == ValueKind::Unsigned) {
        input.unsigned_value = static_cast<std::uint64_t>(rounded);
      } else if (kind == ValueKind::Signed) {
        input.signed_value = static_cast<std::int64_t>(rounded);
      } else {
        input.real32 = binary32_from_double(*raw);
        input.real64 = *raw;
      }
      return true;
    }
    case ConversionKind::Enumeration: {
      if (!PyUnicode_Check(value)) break;
      PyObject* raw = PyDict_GetItemWithError(conversion.state_raw.get(), value);
      if (raw == nullptr) {
        if (PyErr_Occurred()) return false;
        return raise_item_failure(
            Error{ErrorKind::ValueError, concat(quoted(value), " is not a state name")}, item);
      }
      raw_object = Ref::borrow(raw);
      break;
    }
    case ConversionKind::TimeCode:
    case ConversionKind::None: break;
  }
  if (!convert_value(kind, raw_object.get(), input)) {
    rewrap_engine_failure(item.context);
    return false;
  }
  return true;
}

bool pack_converted(const ItemConversion& conversion, const PlannedField& field,
                    const LayoutItem& item, PyObject* value, std::span<std::uint8_t> packet) {
  const Conversion& c = conversion.conversion;
  if (c.kind == ConversionKind::TimeCode) {
    Nanoseconds time = 0;
    if (!reading_of(value, c.time.scale, item, time)) return false;
    return pack_time(conversion, field, item, time, packet);
  }
  PackInput input;
  return converted_input(conversion, field.spec, item, value, input) &&
         pack_input(field, item, input, packet);
}

}  // namespace vantrel
