// Engineering values in the numpy columns of shaped layouts (arrays,
// permuted byte orders): the flat column, every element of every packet in
// packet order, that the shaped decoder fills with converted values block
// by block (converted_block_decoder), without a raw column between.
#pragma once

#include <cstdint>
#include <memory>

#include "binding/py_ref.hpp"
#include "conversions/conversions.hpp"
#include "objects/conversion_recipes.hpp"
#include "objects/numpy_support.hpp"
#include "objects/state_columns.hpp"

namespace vantrel {

class ConvertedColumn {
 public:
  // A new flat array of `total` elements for `conversion`'s values: float64,
  // int64 nanoseconds (time codes) or str objects (None until filled).
  // False with the exception set.
  bool create(const ItemConversion& conversion, std::uint64_t total);

  // Where the kernel writes (converted_item_size wide, pointer-sized with
  // handles), and the state handles of an enumeration (else null).
  void* data() const { return states_ ? states_->data() : view_.data(); }
  StateHandles* handles() { return states_ ? states_->handles() : nullptr; }

  // The filled array: float64, datetime64[ns] or str objects; null with
  // the exception set. Needs the GIL.
  Ref finish();

 private:
  ConversionKind kind_ = ConversionKind::None;
  Ref array_;
  WritableView view_;
  std::unique_ptr<StateObjectColumn> states_;
};

}  // namespace vantrel
