// numpy object columns of state names, filled by the column kernels
// without the interpreter lock: the kernel writes one borrowed pointer per
// value and counts them, and the references are settled afterwards, one
// step per state instead of one per value.
#pragma once

#include <cstddef>
#include <vector>

#include "binding/py_ref.hpp"
#include "conversions/conversions.hpp"
#include "objects/conversion_recipes.hpp"

namespace vantrel {

class StateObjectColumn {
 public:
  StateObjectColumn() = default;
  StateObjectColumn(const StateObjectColumn&) = delete;
  StateObjectColumn& operator=(const StateObjectColumn&) = delete;
  ~StateObjectColumn() { settle(); }

  // A new object array of `count` elements (None) for `conversion`'s names.
  // False with the exception set.
  bool create(const ItemConversion& conversion, std::size_t count);

  // The array's element pointers, for the kernel (as void*: the kernel
  // does not know the interpreter).
  void* data() const { return slots_; }
  StateHandles* handles() { return &handles_; }

  // Gives each name and None the references the kernel wrote and takes
  // back None's that it overwrote; the array is then an ordinary object
  // array. Returns it. Needs the GIL; called again it does nothing.
  Ref finish() {
    settle();
    return std::move(array_);
  }

 private:
  void settle();

  std::vector<Ref> names_;  // the names, held while the array is filled
  std::vector<const void*> by_state_;
  Ref array_;  // released before the names
  void* slots_ = nullptr;
  StateHandles handles_;
  bool settled_ = true;
};

}  // namespace vantrel
