// The signatures of the methods and of the functions beyond the function
// table, bound by the calling frame's binder.
#pragma once

#include <array>
#include <cstddef>
#include <string>
#include <string_view>

#include "binding/call_frame.hpp"

namespace vantrel {

struct MethodParameter {
  const char* name;
  bool required;                  // required parameters come first
  const char* default_text = "";  // an optional parameter's default, as Python writes it
};

// A parameter's name as a template argument: methods read their arguments
// by name, checked against their signature when they compile.
template <std::size_t N>
struct ParameterName {
  char text[N]{};
  consteval ParameterName(const char (&name)[N]) {
    for (std::size_t i = 0; i < N; ++i) text[i] = name[i];
  }
  constexpr std::string_view view() const { return {text, N - 1}; }
};

template <std::size_t N>
struct MethodSignature {
  const char* name;  // for messages: "unpack()"
  MethodParameter parameters[N];
  std::size_t positional;  // the first `positional` may come by position

  static constexpr std::size_t size() { return N; }
  // The slot of the parameter named `wanted`; no constant (so a compile
  // error) for a name the signature lacks.
  consteval std::size_t index_of(std::string_view wanted) const {
    for (std::size_t i = 0; i < N; ++i) {
      if (std::string_view(parameters[i].name) == wanted) return i;
    }
    throw "no parameter of that name";
  }
  constexpr std::size_t required() const {
    std::size_t count = 0;
    while (count < N && parameters[count].required) ++count;
    return count;
  }
};

// The "name($self, /, a, b=0, *, c=False)\n--\n\n" head of a docstring
// (without "$self, /, " for a module function), followed by `body`: the
// interpreter derives __text_signature__, and so inspect.signature, from
// the head. Parameters past the positional ones are keyword-only.
template <std::size_t N>
std::string signature_docstring(const MethodSignature<N>& signature, bool method,
                                const char* body) {
  std::string out = signature.name;
  out += method ? "($self, /" : "(";
  for (std::size_t i = 0; i < N; ++i) {
    if (i > 0 || method) out += ", ";
    if (i == signature.positional) out += "*, ";
    out += signature.parameters[i].name;
    if (!signature.parameters[i].required) {
      out += '=';
      out += signature.parameters[i].default_text;
    }
  }
  out += ")\n--\n\n";
  out += body;
  return out;
}

// The arguments of one call of the method `signature` describes, bound by
// the calling frame's binder and read by name: `arguments.get<"raw">()` is
// the object given, nullptr for an omitted parameter.
template <const auto& signature>
class MethodArguments {
 public:
  // False with TypeError set for a call that does not match.
  bool bind(PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    static_assert(kCount <= kMaxSignatureParameters);
    for (PyObject*& slot : slots_) slot = nullptr;
    // The common call, every required argument by position and nothing
    // else, needs no binder.
    if (kwnames == nullptr && nargs >= Py_ssize_t{kRequired} && nargs <= Py_ssize_t{kPositional}) {
      for (Py_ssize_t i = 0; i < nargs; ++i) slots_[i] = args[i];
      return true;
    }
    return bind_arguments(Signature{signature.name, kCount, kRequired, kPositional}, kNames.data(),
                          args, nargs, kwnames, slots_);
  }

  template <ParameterName name>
  PyObject* get() const {
    constexpr std::size_t index = signature.index_of(name.view());
    return slots_[index];
  }

 private:
  static constexpr std::size_t kCount = signature.size();
  static constexpr std::size_t kRequired = signature.required();
  static constexpr std::size_t kPositional = signature.positional;
  static constexpr std::array<const char*, kCount> kNames = [] {
    std::array<const char*, kCount> names{};
    for (std::size_t i = 0; i < kCount; ++i) names[i] = signature.parameters[i].name;
    return names;
  }();
  PyObject* slots_[kCount];
};

// ---- The signatures, one per method and function beyond the function table

// Layout.unpack, Layout.pack, Layout.unpack_many, Layout.pack_many.
inline constexpr MethodSignature<3> kUnpackSignature{
    "unpack", {{"packet", true}, {"offset_bits", false, "0"}, {"raw", false, "False"}}, 2};
inline constexpr MethodSignature<2> kPackSignature{
    "pack", {{"values", true}, {"raw", false, "False"}}, 1};
inline constexpr MethodSignature<9> kUnpackManySignature{"unpack_many",
                                                         {{"buffer", true},
                                                          {"stride", false, "None"},
                                                          {"offsets", false, "None"},
                                                          {"count", false, "None"},
                                                          {"errors", false, "'raise'"},
                                                          {"output", false, "'numpy'"},
                                                          {"text_dtype", false, "None"},
                                                          {"lengths", false, "None"},
                                                          {"raw", false, "False"}},
                                                         1};
inline constexpr MethodSignature<2> kPackManySignature{
    "pack_many", {{"columns", true}, {"raw", false, "False"}}, 1};

// split_packets, split_by_apid, check_sequence_counts.
inline constexpr MethodSignature<7> kSplitSignature{"split_packets",
                                                    {{"buffer", true},
                                                     {"length_offset_bits", true},
                                                     {"length_bits", true},
                                                     {"length_adjust", false, "0"},
                                                     {"byte_order", false, "'big'"},
                                                     {"errors", false, "'raise'"},
                                                     {"rules", false, "None"}},
                                                    1};
inline constexpr MethodSignature<4> kSplitByApidSignature{"split_by_apid",
                                                          {{"buffer", true},
                                                           {"offsets", false, "None"},
                                                           {"key_offset_bits", false, "5"},
                                                           {"key_bits", false, "11"}},
                                                          2};
inline constexpr MethodSignature<3> kSequenceSignature{
    "check_sequence_counts", {{"keys", true}, {"counts", true}, {"modulus", false, "16384"}}, 2};

}  // namespace vantrel
