// A contiguous read-only view of any object with the buffer protocol
// (bytes, bytearray, memoryview, mmap, numpy arrays), released on every path.
#pragma once

#include "binding/py_ref.hpp"
#include "common/types.hpp"

namespace vantrel {

class BufferView {
 public:
  BufferView() = default;
  BufferView(const BufferView&) = delete;
  BufferView& operator=(const BufferView&) = delete;
  ~BufferView() {
    if (held_) PyBuffer_Release(&view_);
  }

  // False with TypeError or BufferError set when the object has no
  // contiguous buffer.
  bool acquire(PyObject* object) {
    if (PyObject_GetBuffer(object, &view_, PyBUF_SIMPLE) < 0) return false;
    held_ = true;
    return true;
  }

  // True when nothing can change the bytes while they are read: the exporter
  // is a bytes object. Anything else (bytearray, mmap, numpy, a memoryview
  // of any of them) may be written by another thread or process meanwhile.
  bool immutable() const { return held_ && view_.obj != nullptr && PyBytes_CheckExact(view_.obj); }

  ByteSpan bytes() const {
    return {static_cast<const std::uint8_t*>(view_.buf), static_cast<std::size_t>(view_.len)};
  }

 private:
  Py_buffer view_{};
  bool held_ = false;
};

// A C-contiguous view with its format, item size and shape, as the exporter
// gave them in one request, released on every path.
class TypedBufferView {
 public:
  TypedBufferView() = default;
  TypedBufferView(const TypedBufferView&) = delete;
  TypedBufferView& operator=(const TypedBufferView&) = delete;
  ~TypedBufferView() { release(); }

  // False with an exception set when the object has no such buffer, or
  // reports a shape that does not match its length.
  bool acquire(PyObject* object) {
    if (PyObject_GetBuffer(object, &view_, PyBUF_FORMAT | PyBUF_C_CONTIGUOUS) < 0) return false;
    held_ = true;
    if (view_.itemsize <= 0 || view_.len < 0 || view_.len % view_.itemsize != 0 ||
        (view_.ndim == 1 &&
         (view_.shape == nullptr || view_.shape[0] != view_.len / view_.itemsize))) {
      release();
      PyErr_SetString(PyExc_BufferError, "the buffer's shape does not match its length");
      return false;
    }
    return true;
  }
  void release() {
    if (held_) PyBuffer_Release(&view_);
    held_ = false;
  }

  int ndim() const { return view_.ndim; }
  const char* format() const { return view_.format != nullptr ? view_.format : "B"; }
  std::size_t item_size() const { return static_cast<std::size_t>(view_.itemsize); }
  std::size_t length() const { return static_cast<std::size_t>(view_.len / view_.itemsize); }
  ByteSpan bytes() const {
    return {static_cast<const std::uint8_t*>(view_.buf), static_cast<std::size_t>(view_.len)};
  }

 private:
  Py_buffer view_{};
  bool held_ = false;
};

}  // namespace vantrel
