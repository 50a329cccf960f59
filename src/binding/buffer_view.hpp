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

  ByteSpan bytes() const {
    return {static_cast<const std::uint8_t*>(view_.buf), static_cast<std::size_t>(view_.len)};
  }

 private:
  Py_buffer view_{};
  bool held_ = false;
};

}  // namespace vantrel
