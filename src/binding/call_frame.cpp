#include "binding/call_frame.hpp"

#include <cstdio>
#include <cstdlib>
#include <string>

#include "binding/module_state.hpp"

namespace vantrel {

bool create_panic_type(ModuleState& state) {
  state.panic_type = PyErr_NewExceptionWithDoc(
      "vantrel.PanicException",
      "An internal fault inside vantrel. It derives from BaseException so that "
      "handlers for Exception do not swallow it.",
      PyExc_BaseException, nullptr);
  return state.panic_type != nullptr;
}

namespace {

// "'a'", "'a' and 'b'", "'a', 'b', and 'c'".
std::string quoted_list(const char* const* names, std::size_t count) {
  std::string out;
  for (std::size_t i = 0; i < count; ++i) {
    if (i > 0) out += count == 2 ? " and " : (i + 1 == count ? ", and " : ", ");
    out += '\'';
    out += names[i];
    out += '\'';
  }
  return out;
}

}  // namespace

bool bind_arguments(const Signature& signature, const char* const* names, PyObject* const* args,
                    Py_ssize_t nargs, PyObject* kwnames, PyObject** slots) {
  const char* function = signature.function;
  if (nargs < 0 || static_cast<std::size_t>(nargs) > signature.positional) {
    const char* verb = nargs == 1 ? "was" : "were";
    if (signature.required == signature.positional) {
      PyErr_Format(PyExc_TypeError, "%s() takes %d positional arguments but %zd %s given", function,
                   static_cast<int>(signature.positional), nargs, verb);
    } else {
      PyErr_Format(PyExc_TypeError,
                   "%s() takes from %d to %d positional arguments but %zd %s given", function,
                   static_cast<int>(signature.required), static_cast<int>(signature.positional),
                   nargs, verb);
    }
    return false;
  }
  // Copied one by one (a generic copy loop becomes a slow block move for two
  // pointers).
  switch (nargs) {
    case 3: slots[2] = args[2]; [[fallthrough]];
    case 2: slots[1] = args[1]; [[fallthrough]];
    case 1: slots[0] = args[0]; break;
    case 0: break;
    default:
      for (Py_ssize_t i = 0; i < nargs; ++i) slots[i] = args[i];
      break;
  }

  const Py_ssize_t keyword_count = kwnames == nullptr ? 0 : PyTuple_GET_SIZE(kwnames);
  for (Py_ssize_t k = 0; k < keyword_count; ++k) {
    PyObject* keyword = PyTuple_GET_ITEM(kwnames, k);
    std::size_t index = 0;
    while (index < signature.count &&
           PyUnicode_CompareWithASCIIString(keyword, names[index]) != 0) {
      ++index;
    }
    if (index == signature.count) {
      PyErr_Format(PyExc_TypeError, "%s() got an unexpected keyword argument '%U'", function,
                   keyword);
      return false;
    }
    if (slots[index] != nullptr) {
      PyErr_Format(PyExc_TypeError, "%s() got multiple values for argument '%s'", function,
                   names[index]);
      return false;
    }
    slots[index] = args[nargs + k];
  }

  const char* missing[kMaxSignatureParameters];
  std::size_t missing_count = 0;
  for (std::size_t i = 0; i < signature.required; ++i) {
    if (slots[i] == nullptr) missing[missing_count++] = names[i];
  }
  if (missing_count > 0) {
    PyErr_Format(PyExc_TypeError, "%s() missing %zu required positional %s: %s", function,
                 missing_count, missing_count == 1 ? "argument" : "arguments",
                 quoted_list(missing, missing_count).c_str());
    return false;
  }
  return true;
}

bool convert_recipe(PyObject* object, Ref& out) {
  if (PyUnicode_Check(object)) {
    PyErr_SetString(PyExc_TypeError, "Can't extract `str` to `Vec`");
    return false;
  }
  if (!PySequence_Check(object)) {
    raise_cast_error(object, "Sequence");
    return false;
  }
  out = Ref::steal(PySequence_List(object));
  return static_cast<bool>(out);
}

bool convert_argument(ArgKind kind, PyObject* object, ArgValue& out, Ref& owned) {
  switch (kind) {
    case ArgKind::Signed64: return convert_as<ArgKind::Signed64>(object, out, owned);
    case ArgKind::Unsigned64: return convert_as<ArgKind::Unsigned64>(object, out, owned);
    case ArgKind::Unsigned32: return convert_as<ArgKind::Unsigned32>(object, out, owned);
    case ArgKind::Unsigned128: return convert_as<ArgKind::Unsigned128>(object, out, owned);
    case ArgKind::UnsignedSize: return convert_as<ArgKind::UnsignedSize>(object, out, owned);
    case ArgKind::Float64: return convert_as<ArgKind::Float64>(object, out, owned);
    case ArgKind::Float32: return convert_as<ArgKind::Float32>(object, out, owned);
    case ArgKind::StrictBool: return convert_as<ArgKind::StrictBool>(object, out, owned);
    case ArgKind::Text: return convert_as<ArgKind::Text>(object, out, owned);
    case ArgKind::ByteString: return convert_as<ArgKind::ByteString>(object, out, owned);
    case ArgKind::RecipeList: return convert_as<ArgKind::RecipeList>(object, out, owned);
  }
  return false;
}

// A TypeError from a conversion is re-raised naming the parameter; the new
// error takes over the first one's cause. Other failures pass unchanged.
void prefix_argument_name(const char* name) {
  Ref error = fetch_exception();
  if (!error) return;
  if (Py_TYPE(error.get()) != reinterpret_cast<PyTypeObject*>(PyExc_TypeError)) {
    restore_exception(std::move(error));
    return;
  }
  Ref message = Ref::steal(PyObject_Str(error.get()));
  if (!message) return;
  Ref text = Ref::steal(PyUnicode_FromFormat("argument '%s': %U", name, message.get()));
  if (!text) return;
  Ref renamed = Ref::steal(PyObject_CallOneArg(PyExc_TypeError, text.get()));
  if (!renamed) return;
  if (PyObject* cause = PyException_GetCause(error.get())) {
    PyException_SetCause(renamed.get(), cause);  // steals the new reference
  }
  restore_exception(std::move(renamed));
}

void raise_panic(const char* message) noexcept {
  try {
    // Before the state is filled (a fault while the module is created) the
    // fault is reported as SystemError.
    PyObject* type =
        module_state.panic_type != nullptr ? module_state.panic_type : PyExc_SystemError;
    PyErr_SetString(type, message != nullptr ? message : "vantrel internal fault");
  } catch (...) {
    std::fputs("uncaught panic at ffi boundary\n", stderr);
    std::abort();
  }
}

PyObject* run_frame(const FunctionSpec& spec, PyObject* const* args, Py_ssize_t nargs,
                    PyObject* kwnames) {
  PyObject* slots[kMaxParameters] = {nullptr, nullptr, nullptr};
  const char* names[kMaxParameters];
  for (std::size_t i = 0; i < kMaxParameters; ++i) names[i] = spec.parameters[i].name;
  const Signature signature{spec.name, spec.count, spec.required, spec.count};
  if (!bind_arguments(signature, names, args, nargs, kwnames, slots)) return nullptr;

  ArgValue values[kMaxParameters];
  Ref owned;  // the copied recipe list, released when the call returns
  for (std::size_t i = 0; i < spec.count; ++i) {
    if (slots[i] == nullptr) {
      values[i].flag = false;  // an omitted `signed`
      continue;
    }
    if (!convert_argument(spec.parameters[i].kind, slots[i], values[i], owned)) {
      prefix_argument_name(spec.parameters[i].name);
      return nullptr;
    }
  }
  return spec.routine(values);
}

}  // namespace vantrel
