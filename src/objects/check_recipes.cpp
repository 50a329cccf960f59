#include "objects/check_recipes.hpp"

#include <algorithm>
#include <array>
#include <string_view>

#include "binding/call_frame.hpp"
#include "binding/convert.hpp"
#include "common/format.hpp"
#include "objects/layout_data.hpp"

namespace vantrel {

namespace {

constexpr std::array<std::string_view, 9> kCheckKeys = {
    "algorithm", "width", "poly", "init", "refin", "refout", "xorout", "start", "stop"};

bool fail_with(const std::string& context, const std::string& message) {
  const std::string text = context + message;
  PyErr_SetString(PyExc_ValueError, text.c_str());
  return false;
}

bool algorithm_by_name(PyObject* name, const std::string& context, CheckAlgorithm& out) {
  const char* text = PyUnicode_Check(name) ? PyUnicode_AsUTF8(name) : nullptr;
  if (text == nullptr) {
    PyErr_Clear();
    return fail_with(context, concat("check: the algorithm must be a name such as "
                                     "'CRC-16/IBM-3740', not ",
                                     quoted(name)));
  }
  Result<CheckAlgorithm> found = check_by_name(text);
  if (!found) return fail_with(context, concat("check: ", found.error().message));
  out = std::move(*found);
  return true;
}

bool read_u64(PyObject* dict, const char* key, const std::string& context,
              std::optional<std::uint64_t>& out) {
  PyObject* value = PyDict_GetItemString(dict, key);
  if (value == nullptr) return true;
  std::uint64_t number = 0;
  if (PyBool_Check(value) || !PyLong_Check(value) || !to_u64(value, number)) {
    PyErr_Clear();
    return fail_with(context,
                     concat("check: '", key, "' must be an unsigned integer, not ", quoted(value)));
  }
  out = number;
  return true;
}

bool read_flag(PyObject* dict, const char* key, const std::string& context, bool& out) {
  PyObject* value = PyDict_GetItemString(dict, key);
  if (value == nullptr) return true;
  if (!PyBool_Check(value)) {
    return fail_with(context,
                     concat("check: '", key, "' must be True or False, not ", quoted(value)));
  }
  out = value == Py_True;
  return true;
}

}  // namespace

bool read_check_algorithm(PyObject* value, const std::string& context, bool allow_range,
                          std::shared_ptr<const Checksum>& checksum,
                          std::optional<std::uint64_t>& start, std::optional<std::uint64_t>& stop,
                          Ref& canonical) {
  CheckAlgorithm algorithm;
  if (PyUnicode_Check(value)) {
    if (!algorithm_by_name(value, context, algorithm)) return false;
    canonical = Ref::steal(PyUnicode_FromString(algorithm.name.c_str()));
    if (!canonical) return false;
    checksum = std::make_shared<const Checksum>(std::move(algorithm));
    return true;
  }
  if (!PyDict_Check(value)) {
    return fail_with(context,
                     concat("check must be an algorithm's name or a dict, not ", quoted(value)));
  }
  // A private copy: nothing the caller does to the dict later changes it.
  Ref dict = Ref::steal(PyDict_Copy(value));
  if (!dict) return false;
  Py_ssize_t cursor = 0;
  PyObject* key = nullptr;
  PyObject* entry = nullptr;
  while (PyDict_Next(dict.get(), &cursor, &key, &entry)) {
    const char* text = PyUnicode_Check(key) ? PyUnicode_AsUTF8(key) : nullptr;
    if (text == nullptr) PyErr_Clear();
    const bool known =
        text != nullptr &&
        std::find(kCheckKeys.begin(), kCheckKeys.end(), std::string_view(text)) !=
            kCheckKeys.end() &&
        (allow_range || (std::string_view(text) != "start" && std::string_view(text) != "stop"));
    if (!known) {
      return fail_with(context,
                       concat("check: unknown key ", quoted(key),
                              allow_range ? "; a check takes 'algorithm' or 'width', 'poly', "
                                            "'init', 'refin', 'refout', 'xorout', and 'start', "
                                            "'stop'"
                                          : "; a check takes 'algorithm' or 'width', 'poly', "
                                            "'init', 'refin', 'refout', 'xorout'"));
    }
  }
  PyObject* name = PyDict_GetItemString(dict.get(), "algorithm");
  PyObject* width_object = PyDict_GetItemString(dict.get(), "width");
  Ref out = Ref::steal(PyDict_New());
  if (!out) return false;
  if (name != nullptr) {
    for (const char* key : {"width", "poly", "init", "refin", "refout", "xorout"}) {
      if (PyDict_GetItemString(dict.get(), key) != nullptr) {
        return fail_with(context, concat("check: give either 'algorithm' or the CRC's "
                                         "parameters, not both ('",
                                         key, "')"));
      }
    }
    if (!algorithm_by_name(name, context, algorithm)) return false;
    Ref text = Ref::steal(PyUnicode_FromString(algorithm.name.c_str()));
    if (!text || PyDict_SetItemString(out.get(), "algorithm", text.get()) < 0) return false;
  } else {
    if (width_object == nullptr || PyDict_GetItemString(dict.get(), "poly") == nullptr) {
      return fail_with(context,
                       "check: a dict names its 'algorithm' or gives a CRC's 'width' and "
                       "'poly' (and 'init', 'refin', 'refout', 'xorout')");
    }
    std::optional<std::uint64_t> width, poly, init, xorout;
    bool refin = false;
    bool refout = false;
    if (!read_u64(dict.get(), "width", context, width) ||
        !read_u64(dict.get(), "poly", context, poly) ||
        !read_u64(dict.get(), "init", context, init) ||
        !read_u64(dict.get(), "xorout", context, xorout) ||
        !read_flag(dict.get(), "refin", context, refin) ||
        !read_flag(dict.get(), "refout", context, refout)) {
      return false;
    }
    if (*width > 64) {
      return fail_with(context, concat("check: a CRC's width must be 3 to 64 bits, not ", *width));
    }
    Result<CheckAlgorithm> made =
        crc_from_parameters(static_cast<std::uint32_t>(*width), *poly, init.value_or(0), refin,
                            refout, xorout.value_or(0));
    if (!made) return fail_with(context, concat("check: ", made.error().message));
    algorithm = std::move(*made);
    Ref row = Ref::steal(Py_BuildValue("{s:I,s:K,s:K,s:O,s:O,s:K}", "width", algorithm.width,
                                       "poly", static_cast<unsigned long long>(algorithm.poly),
                                       "init", static_cast<unsigned long long>(algorithm.init),
                                       "refin", algorithm.refin ? Py_True : Py_False, "refout",
                                       algorithm.refout ? Py_True : Py_False, "xorout",
                                       static_cast<unsigned long long>(algorithm.xorout)));
    if (!row || PyDict_Update(out.get(), row.get()) < 0) return false;
  }
  if (allow_range) {
    if (!read_u64(dict.get(), "start", context, start) ||
        !read_u64(dict.get(), "stop", context, stop)) {
      return false;
    }
    for (const char* key : {"start", "stop"}) {
      PyObject* given = PyDict_GetItemString(dict.get(), key);
      if (given != nullptr && PyDict_SetItemString(out.get(), key, given) < 0) return false;
    }
  }
  canonical = std::move(out);
  checksum = std::make_shared<const Checksum>(std::move(algorithm));
  return true;
}

bool read_check(PyObject* object, const LayoutItem& item, std::shared_ptr<const ItemCheck>& out) {
  Ref given = Ref::borrow(PyDict_GetItemString(object, "check"));
  if (!given) return true;
  auto check = std::make_shared<ItemCheck>();
  if (!read_check_algorithm(given.get(), item.context, true, check->checksum, check->start,
                            check->stop, check->canonical)) {
    return false;
  }
  out = std::move(check);
  return true;
}

}  // namespace vantrel
