// Field values crossing into and out of the interpreter, shared by the
// packet functions and compiled layouts.
#pragma once

#include "binding/convert.hpp"
#include "placement/encoding_table.hpp"

namespace vantrel {

// Converts an item's value to what its encoding row packs; false with an
// exception set when it does not convert.
inline bool convert_value(ValueKind kind, PyObject* value, PackInput& input) {
  switch (kind) {
    case ValueKind::Unsigned: return to_u64(value, input.unsigned_value);
    case ValueKind::Signed: return to_i64(value, input.signed_value);
    case ValueKind::Real32: return to_f32(value, input.real32);
    case ValueKind::Real64: return to_f64(value, input.real64);
    case ValueKind::Text: return to_text(value, input.text);
    case ValueKind::NotPackable: break;
  }
  return false;
}

// A decoded value as an int, float or str (text the decoder wrote to `text`).
inline PyObject* field_value_to_python(const FieldValue& value, StrResult& text) {
  struct Converter {
    StrResult& text;
    PyObject* operator()(std::uint64_t v) const { return PyLong_FromUnsignedLongLong(v); }
    PyObject* operator()(std::int64_t v) const { return PyLong_FromLongLong(v); }
    PyObject* operator()(double v) const { return PyFloat_FromDouble(v); }
    PyObject* operator()(TextWritten) const { return text.release(); }
  };
  return std::visit(Converter{text}, value);
}

}  // namespace vantrel
