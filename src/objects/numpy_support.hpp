// numpy from C++ without its headers: imported on first use, arrays made
// through its Python API and filled through the buffer protocol.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>
#include <string>

#include "binding/buffer_view.hpp"
#include "binding/gil.hpp"
#include "binding/py_ref.hpp"

namespace vantrel {

// The numpy module (borrowed), or nullptr with ImportError set saying that
// the archive methods need it.
PyObject* numpy_module();

// numpy.<function>(argument, dtype=dtype).
Ref call_numpy(const char* function, PyObject* argument, const char* dtype);

// A numpy datetime64 scalar or array as an int64 array of nanoseconds, and
// `outside`: the repr of the first element (in flat order, at `outside_at`)
// that datetime64[ns] cannot hold, empty when every element fits. numpy's
// own conversion wraps such values silently (year 2585 in days becomes a
// date in 2000), so each is converted back to its unit and compared.
Ref datetime64_nanoseconds(PyObject* value, std::string& outside, std::size_t& outside_at);

// numpy.empty(length, dtype=dtype).
Ref empty_array(std::size_t length, const char* dtype);

// A writable view of a new array's memory, released on every path.
class WritableView {
 public:
  WritableView() = default;
  WritableView(const WritableView&) = delete;
  WritableView& operator=(const WritableView&) = delete;
  WritableView(WritableView&& other) noexcept : view_(other.view_), held_(other.held_) {
    other.held_ = false;
  }
  ~WritableView() { release(); }
  bool acquire(PyObject* array) {
    if (PyObject_GetBuffer(array, &view_, PyBUF_WRITABLE | PyBUF_C_CONTIGUOUS) < 0) return false;
    held_ = true;
    return true;
  }
  void* data() const { return held_ ? view_.buf : nullptr; }
  void release() {
    if (held_) PyBuffer_Release(&view_);
    held_ = false;
  }

 private:
  Py_buffer view_{};
  bool held_ = false;
};

// A new object array of `length` entries, filled in place: numpy makes it
// with None in every slot (references it owns), and set() swaps a slot's
// reference for one the caller gives up. numpy lends no buffer of objects,
// so the slots are found through the array's __array_interface__; this
// skips numpy's per-element conversion of a list.
class ObjectColumn {
 public:
  bool create(std::size_t length);
  // Stores `owned` (a new reference) at slot i and releases the old one.
  void set(std::size_t i, PyObject* owned) {
    PyObject* old = slots_[i];
    slots_[i] = owned;
    Py_DECREF(old);
  }
  PyObject* array() const { return array_.get(); }
  Ref release() {
    slots_ = nullptr;
    return std::move(array_);
  }

 private:
  Ref array_;
  PyObject** slots_ = nullptr;
};

// A one-dimensional integer sequence or array as int64 values, all
// non-negative, held for the rest of the call.
struct Int64Values {
  Ref array;
  BufferView view;
  std::span<const std::int64_t> values;
};

// False with TypeError when `object` is not one-dimensional integers, or
// ValueError naming the entry ("offsets[3] is -1: byte offsets cannot be
// negative"; unsigned entries of 2**63 and above: "... is N: {too_large}").
bool read_nonnegative_int64(PyObject* object, const char* name, const char* noun,
                            const char* too_large, Int64Values& out);

// Replaces the current exception with ValueError "{where}: {its text}",
// caused by it; exceptions that are not Exception subclasses, and
// MemoryError, pass through unchanged.
void raise_with_location(const std::string& where);

}  // namespace vantrel
