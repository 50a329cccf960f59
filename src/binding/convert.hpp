// Conversions between interpreter objects and machine values, shared by the
// calling frame and the recipe walkers. Every `to_…` returns false with an
// interpreter exception set when the object does not convert.
#pragma once

#include <optional>

#include "binding/gil.hpp"
#include "binding/py_ref.hpp"
#include "common/error.hpp"
#include "common/sinks.hpp"
#include "common/text_view.hpp"
#include "common/types.hpp"

namespace vantrel {

bool to_i64(PyObject* object, std::int64_t& out);
bool to_u64(PyObject* object, std::uint64_t& out);
// Read as signed 64 first, then required to lie in 0..4294967295.
bool to_u32(PyObject* object, std::uint32_t& out);
bool to_u128(PyObject* object, U128& out);
bool to_f64(PyObject* object, double& out);
// Read as a double, then rounded to binary32 (ties to even, overflow to inf).
bool to_f32(PyObject* object, float& out);
// Exactly True or False, or a NumPy boolean scalar.
bool to_strict_bool(PyObject* object, bool& out);
// The str's UTF-8 form, leaving the str as it was: ASCII text is borrowed in
// place; other text is copied into a new bytes object kept in `owner`. Valid
// while both live.
bool to_utf8(PyObject* object, std::string_view& out, Ref& owner);
// Borrows the str's own storage; valid while the str lives. A str holding a
// surrogate fails with the interpreter's UnicodeEncodeError, as its UTF-8
// conversion does. The str is left as it was.
bool to_text(PyObject* object, TextView& out);
// Borrows the bytes object's buffer; valid while the object lives.
bool to_bytes(PyObject* object, ByteSpan& out);

// Raises TypeError "'{type}' object cannot be cast as '{target}'".
void raise_cast_error(PyObject* object, const char* target);

// Raises an error record as the exception it names.
void raise_error(const Error& error);

// Thrown when a sink cannot allocate its object; the interpreter's error is
// already set, and the entry point's guard returns it as it stands.
struct InterpreterErrorSet {};

// A bytes object that an encoder writes into in place.
class BytesResult final : public ByteSink {
 public:
  char* allocate(std::size_t size) override;
  PyObject* release() { return object_.release(); }

 private:
  // Long fills run without the global interpreter lock.
  void release_host() override { released_.emplace(); }
  void reacquire_host() override { released_.reset(); }

  Ref object_;
  std::optional<GilReleased> released_;
};

// A str that a decoder writes its code points into in place.
class StrResult final : public TextSink {
 public:
  void* allocate(std::size_t length, char32_t max_code_point) override;
  bool decode_natively(NativeCodec codec, ByteSpan bytes) override;
  PyObject* release() { return object_.release(); }

  // Inputs shorter than this are left to the caller's decoder.
  static constexpr std::size_t kNativeMinimum = 64;

 private:
  // Long fills run without the global interpreter lock.
  void release_host() override { released_.emplace(); }
  void reacquire_host() override { released_.reset(); }

  Ref object_;
  std::optional<GilReleased> released_;
};

// Takes the current exception out of the error indicator, normalised.
Ref fetch_exception();
// Puts an exception instance back as the current exception.
void restore_exception(Ref exception);

// The type's __qualname__, as the interpreter shows it in messages.
Ref qualified_type_name(PyObject* type);

}  // namespace vantrel
