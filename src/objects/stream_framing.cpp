// The stream functions: split_packets (framing, strict or reporting, with
// validity rules), split_by_apid (offsets grouped by an identifier field)
// and check_sequence_counts (continuity of per-identifier counters), and the
// named tuples they return.
#include <algorithm>
#include <array>
#include <cstring>
#include <optional>
#include <string>
#include <vector>

#include "binding/buffer_view.hpp"
#include "binding/call_frame.hpp"
#include "binding/convert.hpp"
#include "binding/method_args.hpp"
#include "binding/module_state.hpp"
#include "common/format.hpp"
#include "objects/check_recipes.hpp"
#include "objects/layout_columns.hpp"
#include "objects/numpy_support.hpp"
#include "streams/framing.hpp"
#include "streams/framing_learning.hpp"
#include "streams/stream_checks.hpp"

namespace vantrel {

namespace {

// ---- Arguments ---------------------------------------------------------------

// An int64 numpy array holding `values`.
template <class Integer>
Ref int64_array(const std::vector<Integer>& values) {
  static_assert(sizeof(Integer) == sizeof(std::int64_t));
  Ref array = empty_array(values.size(), "int64");
  WritableView out;
  if (!array || !out.acquire(array.get())) return {};
  if (!values.empty()) std::memcpy(out.data(), values.data(), values.size() * sizeof(Integer));
  return array;
}

// One of the words `choices` (nullptr-terminated); the first when omitted.
bool read_choice(PyObject* object, const char* name, const char* const* choices, int& out) {
  out = 0;
  if (object == nullptr) return true;
  for (int i = 0; choices[i] != nullptr; ++i) {
    if (PyUnicode_Check(object) && PyUnicode_CompareWithASCIIString(object, choices[i]) == 0) {
      out = i;
      return true;
    }
  }
  std::string expected;
  for (int i = 0; choices[i] != nullptr; ++i) {
    expected += i == 0 ? "" : (choices[i + 1] == nullptr ? " or " : ", ");
    expected += concat("'", choices[i], "'");
  }
  PyErr_Format(PyExc_ValueError, "%s must be %s, not %R", name, expected.c_str(), object);
  return false;
}

// The entries of a dict taken at once (no user code runs while they are
// read), refusing keys other than `known`.
bool dict_entries(PyObject* object, const std::string& where, std::span<const char* const> known,
                  std::vector<Ref>& out) {
  if (!PyDict_Check(object)) {
    PyErr_Format(PyExc_TypeError, "%s must be a dict, not '%s'", where.c_str(),
                 Py_TYPE(object)->tp_name);
    return false;
  }
  out.clear();
  out.resize(known.size());
  Py_ssize_t cursor = 0;
  PyObject* key = nullptr;
  PyObject* value = nullptr;
  std::vector<Ref> unknown_key;
  while (PyDict_Next(object, &cursor, &key, &value)) {
    bool found = false;
    for (std::size_t k = 0; k < known.size() && PyUnicode_Check(key); ++k) {
      if (PyUnicode_CompareWithASCIIString(key, known[k]) == 0) {
        out[k] = Ref::borrow(value);
        found = true;
      }
    }
    if (!found && unknown_key.empty()) unknown_key.push_back(Ref::borrow(key));
  }
  if (!unknown_key.empty()) {
    std::string names;
    for (const char* name : known) names += concat(names.empty() ? "" : ", ", "'", name, "'");
    PyErr_Format(PyExc_ValueError, "%s has an unknown key %R (known keys: %s)", where.c_str(),
                 unknown_key[0].get(), names.c_str());
    return false;
  }
  return true;
}

bool read_rule_u64(PyObject* object, const std::string& where, std::uint64_t& out) {
  if (to_u64(object, out)) return true;
  prefix_argument_name(where.c_str());
  return false;
}

constexpr const char* kRuleKeys[] = {"fields", "min_length", "max_length", "confirm", "check"};
constexpr const char* kRuleFieldKeys[] = {"offset_bits", "bits", "values"};

bool read_header_rule(PyObject* object, const std::string& where, HeaderRule& rule) {
  std::vector<Ref> entries;
  if (!dict_entries(object, where, kRuleFieldKeys, entries)) return false;
  for (std::size_t k = 0; k < entries.size(); ++k) {
    if (!entries[k]) {
      PyErr_Format(PyExc_ValueError, "%s needs the key '%s'", where.c_str(), kRuleFieldKeys[k]);
      return false;
    }
  }
  std::uint64_t bits = 0;
  if (!read_rule_u64(entries[0].get(), where + "['offset_bits']", rule.offset_bits) ||
      !read_rule_u64(entries[1].get(), where + "['bits']", bits)) {
    return false;
  }
  if (bits < 1 || bits > 64 || rule.offset_bits > (std::uint64_t{1} << 60)) {
    PyErr_Format(PyExc_ValueError,
                 "%s must have 1 to 64 bits within the first 2**60 bits of a packet",
                 where.c_str());
    return false;
  }
  rule.bits = static_cast<std::uint32_t>(bits);
  if (PyUnicode_Check(entries[2].get()) || !PySequence_Check(entries[2].get())) {
    PyErr_Format(PyExc_TypeError, "%s['values'] must be a sequence of allowed values",
                 where.c_str());
    return false;
  }
  Ref values = Ref::steal(PySequence_Tuple(entries[2].get()));
  if (!values) return false;
  for (Py_ssize_t i = 0; i < PyTuple_GET_SIZE(values.get()); ++i) {
    std::uint64_t value = 0;
    const std::string name = concat(where, "['values'][", i, "]");
    if (!read_rule_u64(PyTuple_GET_ITEM(values.get(), i), name, value)) return false;
    if (bits < 64 && value >> bits != 0) {
      PyErr_Format(PyExc_ValueError, "%s is %llu, too large for %u bits", name.c_str(),
                   static_cast<unsigned long long>(value), rule.bits);
      return false;
    }
    rule.allowed.push_back(value);
  }
  if (rule.allowed.empty()) {
    PyErr_Format(PyExc_ValueError, "%s['values'] allows no value", where.c_str());
    return false;
  }
  std::sort(rule.allowed.begin(), rule.allowed.end());
  rule.allowed.erase(std::unique(rule.allowed.begin(), rule.allowed.end()), rule.allowed.end());
  return true;
}

// rules["check"]: a name, or a dict naming the algorithm (or giving a CRC's
// parameters) with optionally "start" (the first byte covered, default 0)
// and "byte_order" of the check at the packet's end (default "big").
bool read_rule_check(PyObject* object, std::optional<TrailingCheck>& out) {
  TrailingCheck check;
  Ref algorithm = Ref::borrow(object);
  if (PyDict_Check(object)) {
    Ref copy = Ref::steal(PyDict_Copy(object));
    if (!copy) return false;
    PyObject* start = PyDict_GetItemString(copy.get(), "start");
    if (start != nullptr) {
      if (!read_rule_u64(start, "rules['check']['start']", check.start)) return false;
      if (PyDict_DelItemString(copy.get(), "start") < 0) return false;
    }
    PyObject* order = PyDict_GetItemString(copy.get(), "byte_order");
    if (order != nullptr) {
      const bool big =
          PyUnicode_Check(order) && PyUnicode_CompareWithASCIIString(order, "big") == 0;
      check.little_endian =
          PyUnicode_Check(order) && PyUnicode_CompareWithASCIIString(order, "little") == 0;
      if (!big && !check.little_endian) {
        PyErr_Format(PyExc_ValueError,
                     "rules['check']['byte_order'] must be 'big' or 'little', not %R", order);
        return false;
      }
      if (PyDict_DelItemString(copy.get(), "byte_order") < 0) return false;
    }
    algorithm = std::move(copy);
  }
  std::optional<std::uint64_t> unused_start, unused_stop;
  Ref canonical;
  if (!read_check_algorithm(algorithm.get(), "rules['check']: ", false, check.checksum,
                            unused_start, unused_stop, canonical)) {
    return false;
  }
  const std::uint32_t width = check.checksum->algorithm().width;
  if (width % 8 != 0) {
    PyErr_Format(PyExc_ValueError,
                 "rules['check']: the check ends the packet in whole bytes: %s has %u bits",
                 check.checksum->algorithm().name.c_str(), width);
    return false;
  }
  if (check.start > (std::uint64_t{1} << 60)) {
    PyErr_SetString(PyExc_ValueError, "rules['check']['start'] is beyond any packet");
    return false;
  }
  check.bytes = width / 8;
  out = std::move(check);
  return true;
}

bool read_rules(PyObject* object, FramingRules& rules) {
  if (object == nullptr || object == Py_None) return true;
  std::vector<Ref> entries;
  if (!dict_entries(object, "rules", kRuleKeys, entries)) return false;
  if (entries[0]) {
    if (PyUnicode_Check(entries[0].get()) || !PySequence_Check(entries[0].get())) {
      PyErr_SetString(PyExc_TypeError, "rules['fields'] must be a sequence of dicts");
      return false;
    }
    Ref fields = Ref::steal(PySequence_Tuple(entries[0].get()));
    if (!fields) return false;
    rules.fields.resize(static_cast<std::size_t>(PyTuple_GET_SIZE(fields.get())));
    for (std::size_t k = 0; k < rules.fields.size(); ++k) {
      if (!read_header_rule(PyTuple_GET_ITEM(fields.get(), static_cast<Py_ssize_t>(k)),
                            concat("rules['fields'][", k, "]"), rules.fields[k])) {
        return false;
      }
    }
  }
  std::uint64_t confirm = rules.confirm;
  if ((entries[1] && !read_rule_u64(entries[1].get(), "rules['min_length']", rules.min_length)) ||
      (entries[2] && !read_rule_u64(entries[2].get(), "rules['max_length']", rules.max_length)) ||
      (entries[3] && !read_rule_u64(entries[3].get(), "rules['confirm']", confirm))) {
    return false;
  }
  if (rules.min_length > rules.max_length) {
    PyErr_Format(PyExc_ValueError, "rules['min_length'] %llu is more than rules['max_length'] %llu",
                 static_cast<unsigned long long>(rules.min_length),
                 static_cast<unsigned long long>(rules.max_length));
    return false;
  }
  if (confirm < 1 || confirm > 64) {
    PyErr_SetString(PyExc_ValueError, "rules['confirm'] must be from 1 to 64");
    return false;
  }
  rules.confirm = static_cast<std::uint32_t>(confirm);
  if (!entries[4]) return true;
  if (!read_rule_check(entries[4].get(), rules.check)) return false;
  // Two packets whose checks hold are as unlikely by chance as billions of
  // header values: with a check, two in a row confirm unless told otherwise.
  if (!entries[3]) rules.confirm = 2;
  return true;
}

// ---- split_packets ----------------------------------------------------------

constexpr const char* kSplitErrors[] = {"raise", "report", nullptr};

bool read_length_field(const MethodArguments<kSplitSignature>& arguments, LengthField& length) {
  length = LengthField{};
  std::uint32_t bits = 0;
  if (!to_u64(arguments.get<"length_offset_bits">(), length.offset_bits)) {
    prefix_argument_name("length_offset_bits");
    return false;
  }
  if (!to_u32(arguments.get<"length_bits">(), bits)) {
    prefix_argument_name("length_bits");
    return false;
  }
  if (bits < 1 || bits > 64) {
    PyErr_Format(PyExc_ValueError, "length_bits must be from 1 to 64, not %u", bits);
    return false;
  }
  length.bits = bits;
  if (length.offset_bits > (std::uint64_t{1} << 60)) {
    PyErr_SetString(PyExc_ValueError, "length_offset_bits is beyond any packet");
    return false;
  }
  if (arguments.get<"length_adjust">() != nullptr &&
      !to_i64(arguments.get<"length_adjust">(), length.adjust)) {
    prefix_argument_name("length_adjust");
    return false;
  }
  if (PyObject* byte_order = arguments.get<"byte_order">(); byte_order != nullptr) {
    const bool big =
        PyUnicode_Check(byte_order) && PyUnicode_CompareWithASCIIString(byte_order, "big") == 0;
    length.little_endian =
        PyUnicode_Check(byte_order) && PyUnicode_CompareWithASCIIString(byte_order, "little") == 0;
    if (!big && !length.little_endian) {
      PyErr_Format(PyExc_ValueError, "byte_order must be 'big' or 'little', not %R", byte_order);
      return false;
    }
  }
  return true;
}

Ref skipped_list(const std::vector<SkippedRange>& skipped) {
  Ref list = Ref::steal(PyList_New(static_cast<Py_ssize_t>(skipped.size())));
  if (!list) return {};
  for (std::size_t i = 0; i < skipped.size(); ++i) {
    const SkippedRange& range = skipped[i];
    Ref entry = Ref::steal(PyStructSequence_New(module_state.skipped_bytes_type));
    if (!entry) return {};
    PyObject* fields[] = {
        PyLong_FromUnsignedLongLong(range.start), PyLong_FromUnsignedLongLong(range.stop),
        PyUnicode_FromString(skip_reason_name(range.reason)),
        PyUnicode_DecodeUTF8(range.detail.data(), static_cast<Py_ssize_t>(range.detail.size()),
                             "replace")};
    bool complete = true;
    for (Py_ssize_t k = 0; k < 4; ++k) {
      complete = complete && fields[k] != nullptr;
      PyStructSequence_SET_ITEM(entry.get(), k, fields[k]);  // a null slot is skipped on free
    }
    if (!complete) return {};
    PyList_SET_ITEM(list.get(), static_cast<Py_ssize_t>(i), entry.release());
  }
  return list;
}

// `learned`: what rules="learn" learned, or null (None).
Ref framed_result(const FramedStream& framed, std::uint64_t stream_size, Ref learned = {}) {
  Ref offsets = int64_array(framed.starts);
  Ref lengths = offsets ? empty_array(framed.starts.size(), "int64") : Ref{};
  WritableView lengths_view;
  if (!lengths || !lengths_view.acquire(lengths.get())) return {};
  packet_lengths(framed, stream_size,
                 {static_cast<std::int64_t*>(lengths_view.data()), framed.starts.size()});
  lengths_view.release();
  Ref skipped = skipped_list(framed.skipped);
  if (!skipped) return {};
  Ref result = Ref::steal(PyStructSequence_New(module_state.framed_stream_type));
  if (!result) return {};
  PyStructSequence_SET_ITEM(result.get(), 0, offsets.release());
  PyStructSequence_SET_ITEM(result.get(), 1, lengths.release());
  PyStructSequence_SET_ITEM(result.get(), 2, skipped.release());
  PyStructSequence_SET_ITEM(result.get(), 3,
                            learned ? learned.release() : Ref::borrow(Py_None).release());
  return result;
}

// What rules="learn" learned, as a rules dict that split_packets takes.
Ref learned_rules_dict(const LearnedRules& learned) {
  const FramingRules& rules = learned.rules;
  Ref fields = Ref::steal(PyList_New(0));
  if (!fields) return {};
  for (const HeaderRule& rule : rules.fields) {
    Ref values = Ref::steal(PyList_New(0));
    if (!values) return {};
    for (const std::uint64_t value : rule.allowed) {
      Ref number = Ref::steal(PyLong_FromUnsignedLongLong(value));
      if (!number || PyList_Append(values.get(), number.get()) < 0) return {};
    }
    Ref entry = Ref::steal(Py_BuildValue("{s:K,s:I,s:O}", "offset_bits",
                                         static_cast<unsigned long long>(rule.offset_bits), "bits",
                                         rule.bits, "values", values.get()));
    if (!entry || PyList_Append(fields.get(), entry.get()) < 0) return {};
  }
  Ref dict = Ref::steal(
      Py_BuildValue("{s:O,s:K,s:K,s:I}", "fields", fields.get(), "min_length",
                    static_cast<unsigned long long>(rules.min_length), "max_length",
                    static_cast<unsigned long long>(rules.max_length), "confirm", rules.confirm));
  if (dict && rules.check) {
    Ref check = Ref::steal(
        Py_BuildValue("{s:s,s:s}", "algorithm", rules.check->checksum->algorithm().name.c_str(),
                      "byte_order", rules.check->little_endian ? "little" : "big"));
    if (!check || PyDict_SetItemString(dict.get(), "check", check.get()) < 0) return {};
  }
  return dict;
}

PyObject* split_packets(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  return guarded([&]() -> PyObject* {
    MethodArguments<kSplitSignature> arguments;
    if (!arguments.bind(args, nargs, kwnames)) return nullptr;
    PyObject* const rules_argument = arguments.get<"rules">();
    LengthField length{};
    int mode = 0;
    FramingRules rules;
    const bool learn = rules_argument != nullptr && PyUnicode_Check(rules_argument) &&
                       PyUnicode_CompareWithASCIIString(rules_argument, "learn") == 0;
    const bool has_rules = rules_argument != nullptr && rules_argument != Py_None;
    if (rules_argument != nullptr && PyUnicode_Check(rules_argument) && !learn) {
      PyErr_Format(PyExc_ValueError, "rules must be a dict, None or 'learn', not %R",
                   rules_argument);
      return nullptr;
    }
    if (!read_length_field(arguments, length) ||
        !read_choice(arguments.get<"errors">(), "errors", kSplitErrors, mode) ||
        (!learn && !read_rules(rules_argument, rules))) {
      return nullptr;
    }
    if (numpy_module() == nullptr) return nullptr;
    BufferView view;
    if (!view.acquire(arguments.get<"buffer">())) return nullptr;
    if (learn) {
      // Learned in report mode; a strict split then applies what was learned.
      LearnedFraming framing =
          without_gil([&] { return frame_learning(view.bytes(), length, rules.confirm); });
      if (mode == 1) {
        Ref learned = learned_rules_dict(framing.learned);
        if (!learned) return nullptr;
        return framed_result(framing.framed, view.bytes().size(), std::move(learned)).release();
      }
      rules = std::move(framing.learned.rules);
    }
    if (mode == 1) {
      const FramedStream framed =
          without_gil([&] { return frame_stream(view.bytes(), length, rules); });
      return framed_result(framed, view.bytes().size()).release();
    }
    auto framed = without_gil(
        [&] { return split_stream(view.bytes(), length, has_rules ? &rules : nullptr); });

    if (!framed) {
      raise_error(framed.error());
      return nullptr;
    }
    return int64_array(*framed).release();
  });
}

// ---- split_by_apid ----------------------------------------------------------

PyObject* split_by_apid(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  return guarded([&]() -> PyObject* {
    MethodArguments<kSplitByApidSignature> arguments;
    if (!arguments.bind(args, nargs, kwnames)) return nullptr;
    std::uint64_t key_offset_bits = 5;
    std::uint32_t key_bits = 11;
    if (arguments.get<"key_offset_bits">() != nullptr &&
        !to_u64(arguments.get<"key_offset_bits">(), key_offset_bits)) {
      prefix_argument_name("key_offset_bits");
      return nullptr;
    }
    if (arguments.get<"key_bits">() != nullptr && !to_u32(arguments.get<"key_bits">(), key_bits)) {
      prefix_argument_name("key_bits");
      return nullptr;
    }
    if (key_bits < 1 || key_bits > 32 || key_offset_bits > (std::uint64_t{1} << 60)) {
      PyErr_SetString(PyExc_ValueError,
                      "the key field must have 1 to 32 bits within the first 2**60 bits");
      return nullptr;
    }
    if (numpy_module() == nullptr) return nullptr;
    Int64Values offsets;
    std::vector<std::uint64_t> framed;
    BufferView view;
    if (!view.acquire(arguments.get<"buffer">())) return nullptr;
    std::span<const std::int64_t> starts;
    if (arguments.get<"offsets">() != nullptr && arguments.get<"offsets">() != Py_None) {
      if (!read_nonnegative_int64(arguments.get<"offsets">(), "offsets", "byte offsets",
                                  "past the end of any buffer", offsets)) {
        return nullptr;
      }
      starts = offsets.values;
    } else {
      // CCSDS space packets: total length = the 16-bit field at bit 32 + 7.
      const LengthField ccsds{32, 16, 7, false};
      auto split = without_gil([&] { return split_stream(view.bytes(), ccsds); });
      if (!split) {
        raise_error(split.error());
        return nullptr;
      }
      framed = std::move(*split);
      starts = {reinterpret_cast<const std::int64_t*>(framed.data()), framed.size()};
    }
    auto groups =
        without_gil([&] { return group_packets(view.bytes(), starts, key_offset_bits, key_bits); });
    if (!groups) {
      raise_error(groups.error());
      return nullptr;
    }
    Ref result = Ref::steal(PyDict_New());
    if (!result) return nullptr;
    for (std::size_t k = 0; k < groups->keys.size(); ++k) {
      const std::size_t begin = groups->bounds[k];
      const std::size_t end = groups->bounds[k + 1];
      Ref array = empty_array(end - begin, "int64");
      WritableView out;
      Ref key = Ref::steal(PyLong_FromUnsignedLongLong(groups->keys[k]));
      if (!array || !key || !out.acquire(array.get())) return nullptr;
      std::memcpy(out.data(), groups->offsets.data() + begin, (end - begin) * sizeof(std::int64_t));
      out.release();
      if (PyDict_SetItem(result.get(), key.get(), array.get()) < 0) return nullptr;
    }
    return result.release();
  });
}

// ---- check_sequence_counts -------------------------------------------------

PyObject* check_sequence_counts(PyObject*, PyObject* const* args, Py_ssize_t nargs,
                                PyObject* kwnames) {
  return guarded([&]() -> PyObject* {
    MethodArguments<kSequenceSignature> arguments;
    if (!arguments.bind(args, nargs, kwnames)) return nullptr;
    std::uint64_t modulus = 16384;
    if (arguments.get<"modulus">() != nullptr && !to_u64(arguments.get<"modulus">(), modulus)) {
      prefix_argument_name("modulus");
      return nullptr;
    }
    if (modulus < 2 || modulus > (std::uint64_t{1} << 62)) {
      PyErr_SetString(PyExc_ValueError, "modulus must be from 2 to 2**62");
      return nullptr;
    }
    if (numpy_module() == nullptr) return nullptr;
    Int64Values keys, counts;
    if (!read_nonnegative_int64(arguments.get<"keys">(), "keys", "keys", "too large", keys) ||
        !read_nonnegative_int64(arguments.get<"counts">(), "counts", "counts", "too large",
                                counts)) {
      return nullptr;
    }
    if (keys.values.size() != counts.values.size()) {
      PyErr_Format(PyExc_ValueError,
                   "keys has %zu entries but counts has %zu: one of each per packet",
                   keys.values.size(), counts.values.size());
      return nullptr;
    }
    // Copied: the arrays may be the caller's, written meanwhile.
    std::vector<std::uint64_t> key_values(keys.values.begin(), keys.values.end());
    std::vector<std::uint64_t> count_values(counts.values.begin(), counts.values.end());
    for (std::size_t i = 0; i < count_values.size(); ++i) {
      if (count_values[i] >= modulus) {
        PyErr_Format(PyExc_ValueError, "counts[%zu] is %llu: not below the modulus %llu", i,
                     static_cast<unsigned long long>(count_values[i]),
                     static_cast<unsigned long long>(modulus));
        return nullptr;
      }
    }
    const SequenceFindings findings =
        without_gil([&] { return check_sequence(key_values, count_values, modulus); });
    Ref result = Ref::steal(PyStructSequence_New(module_state.sequence_report_type));
    if (!result) return nullptr;
    const std::vector<std::int64_t>* parts[] = {
        &findings.gap_index, &findings.gap_missing, &findings.duplicate_index,
        &findings.out_of_order_index, &findings.reset_index};
    for (Py_ssize_t k = 0; k < 5; ++k) {
      Ref array = int64_array(*parts[k]);
      if (!array) return nullptr;
      PyStructSequence_SET_ITEM(result.get(), k, array.release());
    }
    return result.release();
  });
}

// ---- The definitions ----------------------------------------------------------

PyMethodDef split_packets_definition = {
    "split_packets", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(&split_packets)),
    METH_FASTCALL | METH_KEYWORDS,
    "Find where each packet of a stream of variable-length packets starts.\n\n"
    "Every packet's total length in bytes is the unsigned field of length_bits\n"
    "bits at length_offset_bits from its first bit, plus length_adjust. For\n"
    "CCSDS space packets: length_offset_bits=32, length_bits=16, length_adjust=7.\n\n"
    "buffer: any object with the buffer protocol, read in place.\n"
    "byte_order: 'big' or 'little', the order of the length field's bytes.\n"
    "rules: what a valid packet looks like, a dict with any of 'fields' (a\n"
    "    list of {'offset_bits', 'bits', 'values'}: header fields that must hold\n"
    "    one of the values), 'min_length' and 'max_length' (total bytes), and\n"
    "    'confirm' (packets that must validate in a row to resume, default 3),\n"
    "    and 'check': the CRC or checksum in the last bytes of every packet (a\n"
    "    name such as 'CRC-16/IBM-3740', or a dict with 'algorithm' or CRC\n"
    "    parameters, 'start' and 'byte_order'); a packet whose check fails is\n"
    "    no packet, and is skipped as 'bad check' (with a check, 'confirm'\n"
    "    defaults to 2). rules='learn' learns the\n"
    "    header words that hold identifiers and the length bounds from the\n"
    "    stream's clean stretches and frames with them; the report's 'learned'\n"
    "    attribute holds the rules learned.\n"
    "errors: 'raise' (default) returns a numpy int64 array of the packets'\n"
    "    start offsets and raises ValueError naming the packet and its offset\n"
    "    at the first one that is truncated, shorter than its length field or\n"
    "    refused by the rules. 'report' frames what can be framed and returns\n"
    "    FramedStream(offsets, lengths, skipped): skipped lists every byte\n"
    "    range in no packet as SkippedBytes(start, stop, reason, detail); after\n"
    "    damage framing resumes where 'confirm' packets validate in a row.\n\n"
    "Needs numpy."};

PyMethodDef split_by_apid_definition = {
    "split_by_apid", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(&split_by_apid)),
    METH_FASTCALL | METH_KEYWORDS,
    "Group the packets of a stream by their APID (or another header field).\n\n"
    "offsets: the packets' start offsets (from split_packets); by default the\n"
    "    buffer is framed as CCSDS space packets, strictly.\n"
    "key_offset_bits, key_bits: the identifier field, unsigned big-endian\n"
    "    (default: the CCSDS APID, 11 bits at bit 5).\n\n"
    "Returns a dict from identifier to the int64 offsets of its packets, in\n"
    "stream order, identifiers ascending. Needs numpy."};

PyMethodDef check_sequence_counts_definition = {
    "check_sequence_counts",
    reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(&check_sequence_counts)),
    METH_FASTCALL | METH_KEYWORDS,
    "Find where per-identifier sequence counters do not step by one.\n\n"
    "keys, counts: one entry per packet in stream order (APIDs and the 14-bit\n"
    "    CCSDS sequence counts, say), non-negative integers; counts are below\n"
    "    modulus and wrap at it.\n\n"
    "Returns SequenceReport(gap_index, gap_missing, duplicate_index,\n"
    "out_of_order_index) and its attribute reset_index, int64 arrays of packet\n"
    "indices. Each discontinuity is one event: a step of 2 up to modulus // 2\n"
    "from the identifier's previous count is a gap of step - 1 missing packets\n"
    "before gap_index[i]; a step of 0 a duplicate. A count that goes back (a\n"
    "larger step) is a reset when the identifier's next packet follows on from\n"
    "it (a shorter step on from it than from the count before): the counter\n"
    "restarted or jumped there, and goes on from it. Otherwise, or when no\n"
    "packet of the identifier follows, the packet is out of order: it came\n"
    "after later ones, and does not move the identifier's count.\n"
    "Needs numpy."};

PyStructSequence_Field skipped_bytes_fields[] = {
    {"start", "first byte of the range"},
    {"stop", "one past its last byte"},
    {"reason", "'truncated', 'bad length', 'bad header' or 'bad next header'"},
    {"detail", "what was wrong with the packet at start"},
    {nullptr, nullptr}};
PyStructSequence_Desc skipped_bytes_desc = {
    "vantrel.SkippedBytes", "A byte range of a stream that is in no framed packet, and why.",
    skipped_bytes_fields, 4};

PyStructSequence_Field framed_stream_fields[] = {
    {"offsets", "int64 array: the start of every framed packet"},
    {"lengths", "int64 array: its total length in bytes"},
    {"skipped", "list of SkippedBytes, in stream order"},
    {"learned", "with rules='learn': the rules learned, a dict split_packets takes; else None"},
    {nullptr, nullptr}};
PyStructSequence_Desc framed_stream_desc = {
    "vantrel.FramedStream",
    "What split_packets(errors='report') framed, and every byte range it skipped.",
    framed_stream_fields, 3};

PyStructSequence_Field sequence_report_fields[] = {
    {"gap_index", "int64 array: packets with missing packets just before them"},
    {"gap_missing", "int64 array: how many are missing before each"},
    {"duplicate_index", "int64 array: packets repeating the previous count"},
    {"out_of_order_index", "int64 array: packets that came after later ones"},
    {"reset_index",
     "int64 array: packets where the counter starts again from a count further back"},
    {nullptr, nullptr}};
// reset_index came later: an attribute only, so that the report still
// unpacks into the four arrays it always held.
PyStructSequence_Desc sequence_report_desc = {
    "vantrel.SequenceReport", "Where per-identifier sequence counters do not step by one.",
    sequence_report_fields, 4};

bool add_type(PyObject* module, PyStructSequence_Desc& desc, PyTypeObject*& out) {
  out = PyStructSequence_NewType(&desc);
  if (out == nullptr) return false;
  const char* dot = std::strrchr(desc.name, '.');
  return PyObject_SetAttrString(module, dot + 1, reinterpret_cast<PyObject*>(out)) == 0;
}

// The CCSDS primary header, as a layout: six bytes of seven fields.
bool add_ccsds_header(PyObject* module) {
  static constexpr struct {
    const char* name;
    int bits;
  } kFields[] = {{"version", 3},       {"type", 1},           {"secondary_header_flag", 1},
                 {"apid", 11},         {"sequence_flags", 2}, {"sequence_count", 14},
                 {"packet_length", 16}};
  Ref recipe = Ref::steal(PyList_New(0));
  if (!recipe) return false;
  for (const auto& field : kFields) {
    Ref item = Ref::steal(Py_BuildValue("{s:s,s:s,s:i,s:s,s:O}", "name", field.name, "encoding",
                                        "unsigned", "bits", field.bits, "byte_order", "big",
                                        "reverse_bits", Py_False));
    if (!item || PyList_Append(recipe.get(), item.get()) < 0) return false;
  }
  Ref layout_type = Ref::steal(PyObject_GetAttrString(module, "Layout"));
  Ref layout =
      layout_type ? Ref::steal(PyObject_CallOneArg(layout_type.get(), recipe.get())) : Ref{};
  return layout && PyObject_SetAttrString(module, "CCSDS_PRIMARY_HEADER", layout.get()) == 0;
}

}  // namespace

std::array<PyMethodDef*, 3> stream_functions() {
  // Each docstring opens with the signature its binder reads.
  static const std::string docs[] = {
      signature_docstring(kSplitSignature, false, split_packets_definition.ml_doc),
      signature_docstring(kSplitByApidSignature, false, split_by_apid_definition.ml_doc),
      signature_docstring(kSequenceSignature, false, check_sequence_counts_definition.ml_doc),
  };
  split_packets_definition.ml_doc = docs[0].c_str();
  split_by_apid_definition.ml_doc = docs[1].c_str();
  check_sequence_counts_definition.ml_doc = docs[2].c_str();
  return {&split_packets_definition, &split_by_apid_definition, &check_sequence_counts_definition};
}

bool add_stream_types(PyObject* module) {
  return add_type(module, skipped_bytes_desc, module_state.skipped_bytes_type) &&
         add_type(module, framed_stream_desc, module_state.framed_stream_type) &&
         add_type(module, sequence_report_desc, module_state.sequence_report_type) &&
         add_ccsds_header(module);
}

}  // namespace vantrel
