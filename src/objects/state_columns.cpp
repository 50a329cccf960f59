#include "objects/state_columns.hpp"

#include "objects/numpy_support.hpp"

namespace vantrel {

namespace {

// `count` more references to `object` at once. Builds that count
// references atomically (free-threaded) or keep a total of them (debug)
// take them one at a time.
void add_references(PyObject* object, std::uint64_t count) {
#if defined(Py_GIL_DISABLED) || defined(Py_REF_DEBUG)
  for (std::uint64_t k = 0; k < count; ++k) Py_INCREF(object);
#else
  if (count != 0) Py_SET_REFCNT(object, Py_REFCNT(object) + static_cast<Py_ssize_t>(count));
#endif
}

// `count` fewer references to an object that keeps others beyond them
// (None, which the array held).
void drop_references(PyObject* object, std::uint64_t count) {
#if !defined(Py_GIL_DISABLED) && !defined(Py_REF_DEBUG)
  if (Py_REFCNT(object) > static_cast<Py_ssize_t>(count)) {
    if (count != 0) Py_SET_REFCNT(object, Py_REFCNT(object) - static_cast<Py_ssize_t>(count));
    return;
  }
#endif
  for (std::uint64_t k = 0; k < count; ++k) Py_DECREF(object);
}

}  // namespace

bool StateObjectColumn::create(const ItemConversion& conversion, std::size_t count) {
  array_ = empty_array(count, "object");  // every element None
  if (!array_) return false;
  // numpy lends no buffer of objects: the array's own data pointer.
  Ref interface = Ref::steal(PyObject_GetAttrString(array_.get(), "__array_interface__"));
  PyObject* data = interface && PyDict_Check(interface.get())
                       ? PyDict_GetItemString(interface.get(), "data")
                       : nullptr;
  if (data == nullptr || !PyTuple_Check(data) || PyTuple_GET_SIZE(data) < 1) {
    if (!PyErr_Occurred()) PyErr_SetString(PyExc_TypeError, "numpy gave no object array data");
    return false;
  }
  slots_ = PyLong_AsVoidPtr(PyTuple_GET_ITEM(data, 0));
  if (slots_ == nullptr && PyErr_Occurred()) return false;
  names_.clear();
  by_state_.clear();
  for (const Ref& name : conversion.state_names) {
    names_.push_back(Ref::borrow(name.get()));
    by_state_.push_back(name.get());
  }
  handles_.by_state = by_state_;
  handles_.none = Py_None;
  handles_.reset();
  settled_ = false;
  return true;
}

void StateObjectColumn::settle() {
  if (settled_) return;
  settled_ = true;
  for (std::size_t s = 0; s < names_.size(); ++s)
    add_references(names_[s].get(), handles_.written[s]);
  add_references(Py_None, handles_.written[names_.size()]);
  drop_references(Py_None, handles_.overwritten_none);
}

}  // namespace vantrel
