// Field values crossing into and out of the interpreter, shared by the
// packet functions and compiled layouts.
#pragma once

#include "binding/convert.hpp"
#include "layout/encoding_table.hpp"
#include "layout/field_io.hpp"

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

// `text` (a new reference, stolen) without the padding `pad` on its side:
// the same object when there is none.
inline PyObject* strip_text_padding(PyObject* text, TextPad pad) {
  if (text == nullptr || pad == TextPad::None) return text;
  const Py_ssize_t length = PyUnicode_GET_LENGTH(text);
  const int kind = PyUnicode_KIND(text);
  const void* units = PyUnicode_DATA(text);
  const Py_UCS4 padding = pad_character(pad);
  Py_ssize_t begin = 0;
  Py_ssize_t end = length;
  if (pad_leads(pad)) {
    while (begin < end && PyUnicode_READ(kind, units, begin) == padding) ++begin;
  } else {
    while (end > begin && PyUnicode_READ(kind, units, end - 1) == padding) --end;
  }
  if (begin == 0 && end == length) return text;
  PyObject* stripped = PyUnicode_Substring(text, begin, end);
  Py_DECREF(text);
  return stripped;
}

// A decoded value as an int, float or str (text the decoder wrote to
// `text`, its padding `pad` stripped).
inline PyObject* field_value_to_python(const FieldValue& value, StrResult& text,
                                       TextPad pad = TextPad::None) {
  struct Converter {
    StrResult& text;
    TextPad pad;
    PyObject* operator()(std::uint64_t v) const { return PyLong_FromUnsignedLongLong(v); }
    PyObject* operator()(std::int64_t v) const { return PyLong_FromLongLong(v); }
    PyObject* operator()(double v) const { return PyFloat_FromDouble(v); }
    PyObject* operator()(TextWritten) const { return strip_text_padding(text.release(), pad); }
  };
  return std::visit(Converter{text, pad}, value);
}

}  // namespace vantrel
