#include "objects/ragged_column.hpp"

#include <cstring>
#include <memory>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "binding/buffer_view.hpp"
#include "binding/call_frame.hpp"
#include "binding/gil.hpp"
#include "binding/module_state.hpp"
#include "common/arrow_abi.hpp"
#include "common/format.hpp"

namespace vantrel {

namespace {

struct RaggedObject {
  PyObject_HEAD PyObject* values;
  PyObject* offsets;
  PyObject* mask;  // nullptr: no entry masked
  Py_ssize_t length;
};

RaggedObject* as_ragged(PyObject* self) { return reinterpret_cast<RaggedObject*>(self); }

// The bounds of entry i, read from the offsets array.
bool entry_bounds(const RaggedObject* column, Py_ssize_t i, std::int64_t& begin,
                  std::int64_t& end) {
  BufferView view;
  if (!view.acquire(column->offsets)) return false;
  const auto* offsets = reinterpret_cast<const std::int64_t*>(view.bytes().data());
  begin = offsets[i];
  end = offsets[i + 1];
  return true;
}

bool entry_masked(const RaggedObject* column, Py_ssize_t i, bool& masked) {
  masked = false;
  if (column->mask == nullptr) return true;
  BufferView view;
  if (!view.acquire(column->mask)) return false;
  masked = view.bytes()[static_cast<std::size_t>(i)] != 0;
  return true;
}

// Entry i as a view of the values, or None when it is masked.
PyObject* entry(const RaggedObject* column, Py_ssize_t i) {
  bool masked = false;
  if (!entry_masked(column, i, masked)) return nullptr;
  if (masked) Py_RETURN_NONE;
  std::int64_t begin = 0, end = 0;
  if (!entry_bounds(column, i, begin, end)) return nullptr;
  Ref start = Ref::steal(PyLong_FromLongLong(begin));
  Ref stop = Ref::steal(PyLong_FromLongLong(end));
  Ref slice = start && stop ? Ref::steal(PySlice_New(start.get(), stop.get(), nullptr)) : Ref{};
  return slice ? PyObject_GetItem(column->values, slice.get()) : nullptr;
}

Py_ssize_t ragged_length(PyObject* self) { return as_ragged(self)->length; }

PyObject* ragged_item(PyObject* self, Py_ssize_t i) {
  return guarded([&]() -> PyObject* {
    const RaggedObject* column = as_ragged(self);
    if (i < 0 || i >= column->length) {
      PyErr_SetString(PyExc_IndexError, "RaggedColumn index out of range");
      return nullptr;
    }
    return entry(column, i);
  });
}

PyObject* ragged_to_list(PyObject* self, PyObject*) {
  return guarded([&]() -> PyObject* {
    const RaggedObject* column = as_ragged(self);
    Ref list = Ref::steal(PyList_New(column->length));
    if (!list) return nullptr;
    for (Py_ssize_t i = 0; i < column->length; ++i) {
      PyObject* item = entry(column, i);
      if (item == nullptr) return nullptr;
      PyList_SET_ITEM(list.get(), i, item);
    }
    return list.release();
  });
}

// ---- Arrow export -----------------------------------------------------------

// The Arrow format of the values' element type; nullptr for interpreter
// objects (state names), which have no fixed-width form.
const char* arrow_format(const Py_buffer& view) {
  const char* code = view.format != nullptr ? view.format : "B";
  if (*code == '=' || *code == '<' || *code == '@') ++code;
  switch (*code) {
    case 'O': return nullptr;
    case 'f': return "f";
    case 'd': return "g";
    case 'b':
    case 'h':
    case 'i':
    case 'l':
    case 'q':
      switch (view.itemsize) {
        case 1: return "c";
        case 2: return "s";
        case 4: return "i";
        default: return "l";
      }
    default:
      switch (view.itemsize) {
        case 1: return "C";
        case 2: return "S";
        case 4: return "I";
        default: return "L";
      }
  }
}

// Drops a reference from whatever thread the consumer releases on.
void drop_reference(PyObject* object) {
  if (object == nullptr || !Py_IsInitialized()) return;
  const PyGILState_STATE state = PyGILState_Ensure();
  Py_DECREF(object);
  PyGILState_Release(state);
}

struct ValuesData {
  PyObject* values;  // owns the values' memory
  const void* buffers[2];
};

void release_values(ArrowArray* array) {
  auto* data = static_cast<ValuesData*>(array->private_data);
  drop_reference(data->values);
  delete data;
  array->release = nullptr;
}

// str values (state names) as an Arrow large string array: UTF-8 copied
// once, int64 offsets.
struct TextValuesData {
  std::vector<std::int64_t> offsets;
  std::string data;
  const void* buffers[3];
};

void release_text_values(ArrowArray* array) {
  delete static_cast<TextValuesData*>(array->private_data);
  array->release = nullptr;
}

// The UTF-8 of `count` values, str objects or None (an element of a
// masked entry: empty). False with TypeError for anything else.
bool copy_text_values(PyObject* const* values, std::size_t count, TextValuesData& out) {
  out.offsets.assign(count + 1, 0);
  for (std::size_t k = 0; k < count; ++k) {
    if (values[k] != Py_None) {
      if (!PyUnicode_Check(values[k])) {
        PyErr_Format(PyExc_TypeError, "RaggedColumn value %zu is %.100s, not str", k,
                     Py_TYPE(values[k])->tp_name);
        return false;
      }
      Py_ssize_t size = 0;
      const char* text = PyUnicode_AsUTF8AndSize(values[k], &size);
      if (text == nullptr) return false;
      out.data.append(text, static_cast<std::size_t>(size));
    }
    out.offsets[k + 1] = static_cast<std::int64_t>(out.data.size());
  }
  out.buffers[0] = nullptr;
  out.buffers[1] = out.offsets.data();
  out.buffers[2] = out.data.data();
  return true;
}

struct ListData {
  PyObject* offsets;  // owns the offsets' memory
  std::vector<std::uint8_t> validity;
  const void* buffers[2];
  ArrowArray child;
  ArrowArray* children[1];
};

void release_list(ArrowArray* array) {
  auto* data = static_cast<ListData*>(array->private_data);
  // The consumer may have moved the child out and released it already.
  if (data->child.release != nullptr) data->child.release(&data->child);
  drop_reference(data->offsets);
  delete data;
  array->release = nullptr;
}

struct SchemaData {
  std::string child_format;
  ArrowSchema child;
  ArrowSchema* children[1];
};

void release_child_schema(ArrowSchema* schema) { schema->release = nullptr; }

void release_schema(ArrowSchema* schema) {
  auto* data = static_cast<SchemaData*>(schema->private_data);
  if (data->child.release != nullptr) data->child.release(&data->child);
  delete data;
  schema->release = nullptr;
}

// Releases what a capsule exports unless the consumer took it, then frees
// the structure itself.
template <class Exported>
void capsule_destructor(PyObject* capsule, const char* name) {
  auto* exported = static_cast<Exported*>(PyCapsule_GetPointer(capsule, name));
  if (exported == nullptr) {
    PyErr_Clear();
    return;
  }
  if (exported->release != nullptr) exported->release(exported);
  delete exported;
}

void schema_capsule_destructor(PyObject* capsule) {
  capsule_destructor<ArrowSchema>(capsule, "arrow_schema");
}

void array_capsule_destructor(PyObject* capsule) {
  capsule_destructor<ArrowArray>(capsule, "arrow_array");
}

// The values to export: datetime64 values as their int64 view, with
// `format` set to the Arrow timestamp of their unit; others as they are.
Ref timestamp_values(PyObject* values, std::string& format) {
  Ref dtype = Ref::steal(PyObject_GetAttrString(values, "dtype"));
  Ref name = dtype ? Ref::steal(PyObject_GetAttrString(dtype.get(), "name")) : Ref{};
  const char* text = name ? PyUnicode_AsUTF8(name.get()) : nullptr;
  if (text == nullptr) return {};
  const std::string_view dtype_name = text;
  if (!dtype_name.starts_with("datetime64")) return Ref::borrow(values);
  constexpr std::pair<std::string_view, const char*> kUnits[] = {{"datetime64[s]", "tss:"},
                                                                 {"datetime64[ms]", "tsm:"},
                                                                 {"datetime64[us]", "tsu:"},
                                                                 {"datetime64[ns]", "tsn:"}};
  for (const auto& [unit, arrow] : kUnits) {
    if (dtype_name == unit) {
      format = arrow;
      return Ref::steal(PyObject_CallMethod(values, "view", "s", "int64"));
    }
  }
  PyErr_Format(PyExc_TypeError, "Arrow has no timestamp of the unit of %s", text);
  return {};
}

PyObject* ragged_arrow_c_array(PyObject* self, PyObject* args, PyObject* kwargs) {
  return guarded([&]() -> PyObject* {
    static const char* keywords[] = {"requested_schema", nullptr};
    PyObject* requested = nullptr;  // the list type is the one natural form: not converted
    if (!PyArg_ParseTupleAndKeywords(args, kwargs, "|O:__arrow_c_array__",
                                     const_cast<char**>(keywords), &requested)) {
      return nullptr;
    }
    const RaggedObject* column = as_ragged(self);
    // Times (datetime64, which lends no buffer) go as Arrow timestamps of
    // their unit, through their int64 view.
    std::string format;
    Ref exported = timestamp_values(column->values, format);
    if (!exported) return nullptr;
    Py_buffer values_view;
    if (PyObject_GetBuffer(exported.get(), &values_view, PyBUF_C_CONTIGUOUS | PyBUF_FORMAT) < 0) {
      return nullptr;
    }
    const char* const child_format = arrow_format(values_view);
    const void* values_data = values_view.buf;
    // State names: str objects, copied as UTF-8 (the values array is the
    // column's own, read-only, and reading a str runs no Python code).
    std::unique_ptr<TextValuesData> text;
    if (child_format == nullptr) {
      text = std::make_unique<TextValuesData>();
      const bool copied =
          copy_text_values(static_cast<PyObject* const*>(values_view.buf),
                           static_cast<std::size_t>(values_view.len / values_view.itemsize), *text);
      PyBuffer_Release(&values_view);
      if (!copied) return nullptr;
      format = "U";
    } else {
      PyBuffer_Release(&values_view);
    }
    if (format.empty()) format = child_format;
    BufferView offsets_view;
    if (!offsets_view.acquire(column->offsets)) return nullptr;
    const auto* offsets = reinterpret_cast<const std::int64_t*>(offsets_view.bytes().data());
    const std::int64_t length = column->length;

    auto schema_data = std::make_unique<SchemaData>();
    schema_data->child_format = format;
    schema_data->child = ArrowSchema{schema_data->child_format.c_str(),
                                     "item",
                                     nullptr,
                                     ARROW_FLAG_NULLABLE,
                                     0,
                                     nullptr,
                                     nullptr,
                                     release_child_schema,
                                     nullptr};
    schema_data->children[0] = &schema_data->child;
    auto schema = std::make_unique<ArrowSchema>();
    *schema = ArrowSchema{"+L",           "",     nullptr, ARROW_FLAG_NULLABLE, 1, nullptr, nullptr,
                          release_schema, nullptr};
    schema->children = schema_data->children;
    schema->private_data = schema_data.release();

    auto list = std::make_unique<ListData>();
    std::int64_t null_count = 0;
    if (column->mask != nullptr) {
      BufferView mask_view;
      if (!mask_view.acquire(column->mask)) {
        release_schema(schema.get());
        return nullptr;
      }
      list->validity.assign(static_cast<std::size_t>((length + 7) / 8), 0);
      for (std::int64_t i = 0; i < length; ++i) {
        if (mask_view.bytes()[static_cast<std::size_t>(i)] != 0) {
          ++null_count;
        } else {
          list->validity[static_cast<std::size_t>(i / 8)] |= std::uint8_t(1u << (i % 8));
        }
      }
    }
    if (text) {
      list->child = ArrowArray{offsets[length],     0,      0, 3, 0, nullptr, nullptr, nullptr,
                               release_text_values, nullptr};
      list->child.buffers = text->buffers;
      list->child.private_data = text.release();
    } else {
      auto values = std::make_unique<ValuesData>();
      values->values = exported.release();
      values->buffers[0] = nullptr;
      values->buffers[1] = values_data;
      list->child = ArrowArray{offsets[length], 0,      0, 2, 0, nullptr, nullptr, nullptr,
                               release_values,  nullptr};
      list->child.buffers = values->buffers;
      list->child.private_data = values.release();
    }
    list->children[0] = &list->child;
    list->offsets = Ref::borrow(column->offsets).release();
    list->buffers[0] = null_count != 0 ? list->validity.data() : nullptr;
    list->buffers[1] = offsets;
    auto array = std::make_unique<ArrowArray>();
    *array =
        ArrowArray{length, null_count, 0, 2, 1, nullptr, nullptr, nullptr, release_list, nullptr};
    array->buffers = list->buffers;
    array->children = list->children;
    array->private_data = list.release();

    Ref schema_capsule =
        Ref::steal(PyCapsule_New(schema.get(), "arrow_schema", schema_capsule_destructor));
    if (!schema_capsule) {
      release_schema(schema.get());
      release_list(array.get());
      return nullptr;
    }
    schema.release();
    Ref array_capsule =
        Ref::steal(PyCapsule_New(array.get(), "arrow_array", array_capsule_destructor));
    if (!array_capsule) {
      release_list(array.get());
      return nullptr;
    }
    array.release();
    return PyTuple_Pack(2, schema_capsule.get(), array_capsule.get());
  });
}

// ---- Attributes and the type ------------------------------------------------

PyObject* get_values(PyObject* self, void*) {
  return Ref::borrow(as_ragged(self)->values).release();
}
PyObject* get_offsets(PyObject* self, void*) {
  return Ref::borrow(as_ragged(self)->offsets).release();
}
PyObject* get_mask(PyObject* self, void*) {
  PyObject* mask = as_ragged(self)->mask;
  return Ref::borrow(mask != nullptr ? mask : Py_None).release();
}

PyObject* ragged_repr(PyObject* self) {
  const RaggedObject* column = as_ragged(self);
  Ref dtype = Ref::steal(PyObject_GetAttrString(column->values, "dtype"));
  Ref size = Ref::steal(PyObject_GetAttrString(column->values, "size"));
  if (!dtype || !size) return nullptr;
  return PyUnicode_FromFormat("<vantrel.RaggedColumn: %zd entries, %S values of %S>",
                              column->length, size.get(), dtype.get());
}

void ragged_dealloc(PyObject* self) {
  PyTypeObject* type = Py_TYPE(self);
  RaggedObject* column = as_ragged(self);
  Py_XDECREF(column->values);
  Py_XDECREF(column->offsets);
  Py_XDECREF(column->mask);
  type->tp_free(self);
  Py_DECREF(type);
}

PyMethodDef ragged_methods[] = {
    {"to_list", ragged_to_list, METH_NOARGS,
     "to_list($self, /)\n--\n\nThe entries as a list of 1-D arrays (views of values); None for "
     "a masked entry."},
    {"__arrow_c_array__",
     reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(ragged_arrow_c_array)),
     METH_VARARGS | METH_KEYWORDS,
     "__arrow_c_array__($self, /, requested_schema=None)\n--\n\n"
     "The column as an Arrow large list array (Arrow PyCapsule interface); the values are "
     "shared, not copied (state names are copied as UTF-8). Masked entries are nulls."},
    {nullptr, nullptr, 0, nullptr},
};

PyGetSetDef ragged_getset[] = {
    {"values", get_values, nullptr, "Every value of every entry, in one read-only 1-D array.",
     nullptr},
    {"offsets", get_offsets, nullptr,
     "int64 array of len(self) + 1 entries: entry i is values[offsets[i]:offsets[i + 1]].",
     nullptr},
    {"mask", get_mask, nullptr, "bool array, True where an entry failed; None when none did.",
     nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

PyObject* ragged_new(PyTypeObject*, PyObject*, PyObject*) {
  PyErr_SetString(PyExc_TypeError,
                  "RaggedColumn objects are made by Layout.unpack_many, not constructed");
  return nullptr;
}

// Makes a numpy array read-only: views and exports share its memory.
bool freeze(PyObject* array) {
  Ref flags = Ref::steal(PyObject_GetAttrString(array, "flags"));
  return flags && PyObject_SetAttrString(flags.get(), "writeable", Py_False) == 0;
}

}  // namespace

PyObject* create_ragged_type() {
  PyType_Slot slots[] = {
      {Py_tp_new, reinterpret_cast<void*>(ragged_new)},
      {Py_tp_dealloc, reinterpret_cast<void*>(ragged_dealloc)},
      {Py_tp_repr, reinterpret_cast<void*>(ragged_repr)},
      {Py_sq_length, reinterpret_cast<void*>(ragged_length)},
      {Py_sq_item, reinterpret_cast<void*>(ragged_item)},
      {Py_tp_methods, ragged_methods},
      {Py_tp_getset, ragged_getset},
      {Py_tp_doc,
       const_cast<char*>("The column of a variable-length array field: values, cut into one "
                         "entry per packet by offsets.")},
      {0, nullptr},
  };
  PyType_Spec spec = {"vantrel.RaggedColumn", sizeof(RaggedObject), 0, Py_TPFLAGS_DEFAULT, slots};
  return PyType_FromSpec(&spec);
}

PyObject* make_ragged_column(PyObject* values, PyObject* offsets, PyObject* mask) {
  if (!freeze(values) || !freeze(offsets) || (mask != nullptr && !freeze(mask))) return nullptr;
  Ref length = Ref::steal(PyObject_GetAttrString(offsets, "size"));
  if (!length) return nullptr;
  auto* type = reinterpret_cast<PyTypeObject*>(module_state.ragged_type);
  PyObject* self = type->tp_alloc(type, 0);
  if (self == nullptr) return nullptr;
  RaggedObject* column = as_ragged(self);
  column->values = Ref::borrow(values).release();
  column->offsets = Ref::borrow(offsets).release();
  column->mask = mask != nullptr ? Ref::borrow(mask).release() : nullptr;
  column->length = PyLong_AsSsize_t(length.get()) - 1;
  return self;
}

}  // namespace vantrel
