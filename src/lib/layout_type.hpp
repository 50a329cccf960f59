// vantrel.Layout: a recipe read once into a plan, then used for any number
// of packets.
#pragma once

#include <string>
#include <vector>

#include "layout/plan.hpp"
#include "lib/py_ref.hpp"

namespace vantrel {

// What the interpreter side keeps of one recipe item.
struct LayoutItem {
  Ref name;             // interned exact str: the result key and the key pack() looks up
  Ref encoding_text;    // as the recipe wrote it, for messages and pickling
  Ref byte_order_text;  // likewise
  std::string context;  // "recipe item 3 ('temp'): ", the prefix of this item's errors
};

// Immutable once built, so layouts are shared between threads freely.
struct LayoutData {
  Plan plan;
  std::vector<LayoutItem> items;
  Ref names;  // tuple of the items' names, in recipe order
};

struct LayoutObject {
  PyObject_HEAD LayoutData* data;
};

// Creates the type; nullptr with an exception set on failure.
PyObject* create_layout_type();

// The plan of a Layout instance (the caller has checked the type).
inline const LayoutData& layout_data(PyObject* layout) {
  return *reinterpret_cast<LayoutObject*>(layout)->data;
}

}  // namespace vantrel
