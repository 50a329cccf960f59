// The calling frame shared by every exported function: a declarative
// function description, argument binding and conversion, and the adapter
// that calls a leaf routine and converts its result.
#pragma once

#include <array>
#include <cstdint>
#include <string>
#include <string_view>
#include <tuple>
#include <type_traits>

#include "binding/convert.hpp"
#include "binding/py_ref.hpp"
#include "common/error.hpp"
#include "common/types.hpp"

namespace vantrel {

enum class ArgKind : std::uint8_t {
  Signed64,
  Unsigned64,
  Unsigned32,
  Unsigned128,
  UnsignedSize,
  Float64,
  Float32,
  StrictBool,
  Text,
  ByteString,
  RecipeList,
};

// A recipe argument: the caller's sequence copied into a new list (owned by
// the frame for the call), so that code run during conversions cannot change
// which items are visited.
struct RecipeItems {
  PyObject* list;
};

// One converted argument; the member that is used depends on the kind. Kept
// trivial so that the frame does not clear it on every call.
struct ArgValue {
  union {
    std::int64_t i64;
    std::uint64_t u64;
    std::uint32_t u32;
    U128 u128;
    double f64;
    float f32;
    bool flag;
    struct {
      const void* data;
      std::size_t length;
      std::uint8_t unit_size;
      bool ascii;
    } text;
    struct {
      const std::uint8_t* data;
      std::size_t size;
    } bytes;
    PyObject* recipe;
  };
};

inline constexpr std::size_t kMaxParameters = 3;  // the binder copies at most three

struct Parameter {
  const char* name = nullptr;
  ArgKind kind = ArgKind::Signed64;
};

using Routine = PyObject* (*)(ArgValue* args);

struct FunctionSpec {
  const char* name;
  std::array<Parameter, kMaxParameters> parameters;
  std::uint8_t count;     // number of parameters
  std::uint8_t required;  // the leading `required` parameters have no default
  Routine routine;
  bool leaf_types_match;  // checked at compile time over the whole table
};

// ---- Extracting a leaf's argument of a given C++ type --------------------

template <class T>
T extract(ArgValue& arg);
template <>
inline std::int64_t extract(ArgValue& arg) {
  return arg.i64;
}
template <>
inline std::uint64_t extract(ArgValue& arg) {
  return arg.u64;
}
template <>
inline std::uint32_t extract(ArgValue& arg) {
  return arg.u32;
}
template <>
inline U128 extract(ArgValue& arg) {
  return arg.u128;
}
template <>
inline double extract(ArgValue& arg) {
  return arg.f64;
}
template <>
inline float extract(ArgValue& arg) {
  return arg.f32;
}
template <>
inline bool extract(ArgValue& arg) {
  return arg.flag;
}
template <>
inline TextView extract(ArgValue& arg) {
  return {arg.text.data, arg.text.length, arg.text.unit_size, arg.text.ascii};
}
template <>
inline ByteSpan extract(ArgValue& arg) {
  return {arg.bytes.data, arg.bytes.size};
}
template <>
inline RecipeItems extract(ArgValue& arg) {
  return {arg.recipe};
}

template <class T>
constexpr bool kind_holds(ArgKind kind) {
  if constexpr (std::is_same_v<T, std::int64_t>) return kind == ArgKind::Signed64;
  if constexpr (std::is_same_v<T, std::uint64_t>)
    return kind == ArgKind::Unsigned64 || kind == ArgKind::UnsignedSize;
  if constexpr (std::is_same_v<T, std::uint32_t>) return kind == ArgKind::Unsigned32;
  if constexpr (std::is_same_v<T, U128>) return kind == ArgKind::Unsigned128;
  if constexpr (std::is_same_v<T, double>) return kind == ArgKind::Float64;
  if constexpr (std::is_same_v<T, float>) return kind == ArgKind::Float32;
  if constexpr (std::is_same_v<T, bool>) return kind == ArgKind::StrictBool;
  if constexpr (std::is_same_v<T, TextView>) return kind == ArgKind::Text;
  if constexpr (std::is_same_v<T, ByteSpan>) return kind == ArgKind::ByteString;
  if constexpr (std::is_same_v<T, RecipeItems>) return kind == ArgKind::RecipeList;
  return false;
}

// ---- Converting a leaf's result ------------------------------------------

template <class T>
  requires std::is_integral_v<T>
PyObject* to_python(T value) {
  if constexpr (std::is_signed_v<T>)
    return PyLong_FromLongLong(value);
  else
    return PyLong_FromUnsignedLongLong(value);
}
inline PyObject* to_python(double value) { return PyFloat_FromDouble(value); }
inline PyObject* to_python(float value) { return PyFloat_FromDouble(value); }
inline PyObject* to_python(const std::string& bytes) {
  return PyBytes_FromStringAndSize(bytes.data(), static_cast<Py_ssize_t>(bytes.size()));
}
inline PyObject* to_python(ByteSpan bytes) {
  return PyBytes_FromStringAndSize(reinterpret_cast<const char*>(bytes.data()),
                                   static_cast<Py_ssize_t>(bytes.size()));
}
inline PyObject* to_python(PyObject* object) { return object; }
template <class T>
PyObject* to_python(const Result<T>& result) {
  if (!result) {
    raise_error(result.error());
    return nullptr;
  }
  return to_python(*result);
}

// ---- The adapter from converted arguments to a leaf routine --------------

// Leaves that write text or bytes take a sink as their last parameter; the
// frame passes one that writes straight into the object it returns.
template <class Sink>
struct ResultSink {
  using type = void;
};
template <>
struct ResultSink<ByteSink&> {
  using type = BytesResult;
};
template <>
struct ResultSink<TextSink&> {
  using type = StrResult;
};

template <class Signature>
struct LeafTraits;
template <class R, class... Params>
struct LeafTraits<R (*)(Params...)> {
  // The last parameter's type (void for a leaf without parameters).
  using Last = std::tuple_element_t<(sizeof...(Params) == 0 ? 0 : sizeof...(Params) - 1),
                                    std::tuple<Params..., void>>;
  using Sink = typename ResultSink<Last>::type;
  static constexpr bool writes_to_sink = !std::is_void_v<Sink>;
  static constexpr std::size_t arity = sizeof...(Params) - (writes_to_sink ? 1 : 0);

  template <std::size_t I>
  using Param = std::remove_cvref_t<std::tuple_element_t<I, std::tuple<Params...>>>;

  template <std::size_t... I>
  static constexpr bool match(const std::array<Parameter, kMaxParameters>& parameters,
                              std::index_sequence<I...>) {
    return (kind_holds<Param<I>>(parameters[I].kind) && ...);
  }

  template <auto Leaf, std::size_t... I>
  static PyObject* call(ArgValue* args, std::index_sequence<I...>) {
    if constexpr (writes_to_sink) {
      Sink sink;
      if constexpr (std::is_void_v<R>) {
        Leaf(extract<Param<I>>(args[I])..., sink);
      } else {
        const R written = Leaf(extract<Param<I>>(args[I])..., sink);
        if (!written) {
          raise_error(written.error());
          return nullptr;
        }
      }
      return sink.release();
    } else {
      return to_python(Leaf(extract<Param<I>>(args[I])...));
    }
  }
};

// A routine calls its leaf with the first `arity` converted arguments; leaves
// that refuse every input take none and ignore the argument.
template <auto Leaf>
PyObject* call_leaf(ArgValue* args) {
  using Traits = LeafTraits<decltype(Leaf)>;
  return Traits::template call<Leaf>(args, std::make_index_sequence<Traits::arity>{});
}

template <auto Leaf>
constexpr FunctionSpec function(const char* name, std::initializer_list<Parameter> parameters) {
  using Traits = LeafTraits<decltype(Leaf)>;
  FunctionSpec spec{name, {}, 0, 0, &call_leaf<Leaf>, false};
  for (const Parameter& parameter : parameters) {
    spec.parameters[spec.count++] = parameter;
    // Only `signed` has a default; it is always the last parameter.
    if (std::string_view(parameter.name) != "signed") spec.required = spec.count;
  }
  spec.leaf_types_match = Traits::arity <= spec.count &&
                          Traits::match(spec.parameters, std::make_index_sequence<Traits::arity>{});
  return spec;
}

// ---- Argument conversion, one kind at a time ------------------------------

// Copies a recipe sequence (any sequence but str) into a new list.
bool convert_recipe(PyObject* object, Ref& out);

template <ArgKind Kind>
bool convert_as(PyObject* object, ArgValue& out, Ref& owned) {
  if constexpr (Kind == ArgKind::Signed64) {
    return to_i64(object, out.i64);
  } else if constexpr (Kind == ArgKind::Unsigned64 || Kind == ArgKind::UnsignedSize) {
    return to_u64(object, out.u64);
  } else if constexpr (Kind == ArgKind::Unsigned32) {
    return to_u32(object, out.u32);
  } else if constexpr (Kind == ArgKind::Unsigned128) {
    return to_u128(object, out.u128);
  } else if constexpr (Kind == ArgKind::Float64) {
    return to_f64(object, out.f64);
  } else if constexpr (Kind == ArgKind::Float32) {
    return to_f32(object, out.f32);
  } else if constexpr (Kind == ArgKind::StrictBool) {
    return to_strict_bool(object, out.flag);
  } else if constexpr (Kind == ArgKind::Text) {
    TextView text;
    if (!to_text(object, text)) return false;
    out.text = {text.data, text.length, text.unit_size, text.ascii};
    return true;
  } else if constexpr (Kind == ArgKind::ByteString) {
    ByteSpan bytes;
    if (!to_bytes(object, bytes)) return false;
    out.bytes = {bytes.data(), bytes.size()};
    return true;
  } else {
    static_assert(Kind == ArgKind::RecipeList);
    if (!convert_recipe(object, owned)) return false;
    out.recipe = owned.get();
    return true;
  }
}

// The same for a kind known only at run time.
bool convert_argument(ArgKind kind, PyObject* object, ArgValue& out, Ref& owned);

// After a failed conversion: a TypeError is re-raised naming the parameter.
void prefix_argument_name(const char* name);

// The common call, every argument by position: with the function known at
// compile time, each conversion and the routine are direct calls.
template <const FunctionSpec& Spec, std::size_t... P>
PyObject* run_positional(PyObject* const* args, std::index_sequence<P...>) {
  ArgValue values[kMaxParameters];
  Ref owned;  // the copied recipe list, released when the call returns
  std::size_t failed = 0;
  const bool converted =
      ((convert_as<Spec.parameters[P].kind>(args[P], values[P], owned) || (failed = P, false)) &&
       ...);
  if (!converted) {
    prefix_argument_name(Spec.parameters[failed].name);
    return nullptr;
  }
  return Spec.routine(values);
}

// ---- The argument binder of every function and method ---------------------

// The interpreter's messages for wrong calls, one wording for the exported
// functions and the methods alike.
inline constexpr std::size_t kMaxSignatureParameters = 9;
struct Signature {
  const char* function;    // for messages: "unpack" gives "unpack() ..."
  std::size_t count;       // parameters, at most kMaxSignatureParameters
  std::size_t required;    // the leading `required` ones have no default
  std::size_t positional;  // the leading `positional` ones may come by position
};

// Places positional and keyword arguments into `slots` (cleared by the
// caller) in parameter order. False with TypeError set for a call that does
// not match.
bool bind_arguments(const Signature& signature, const char* const* names, PyObject* const* args,
                    Py_ssize_t nargs, PyObject* kwnames, PyObject** slots);

// Binds, converts and calls: the body of every exported function.
PyObject* run_frame(const FunctionSpec& spec, PyObject* const* args, Py_ssize_t nargs,
                    PyObject* kwnames);

// Runs an entry point so that no C++ exception reaches the interpreter; an
// internal fault is raised as PanicException.
template <class Body>
PyObject* guarded(Body&& body) noexcept;

void raise_panic(const char* message) noexcept;

struct ModuleState;
// Creates PanicException into the state; false with an exception set.
bool create_panic_type(ModuleState& state);

template <class Body>
PyObject* guarded(Body&& body) noexcept {
  try {
    return body();
  } catch (const InterpreterErrorSet&) {
    return nullptr;
  } catch (const std::bad_alloc&) {
    return PyErr_NoMemory();
  } catch (const std::exception& fault) {
    raise_panic(fault.what());
  } catch (...) {
    raise_panic(nullptr);
  }
  return nullptr;
}

}  // namespace vantrel
