#include "objects/arrow_objects.hpp"

#include <string>

#include "binding/call_frame.hpp"
#include "binding/module_state.hpp"
#include "common/format.hpp"

namespace vantrel {

namespace {

// ---- Capsules ----------------------------------------------------------------

// The PyCapsule names the Arrow PyCapsule interface prescribes.
constexpr const char* kSchemaCapsule = "arrow_schema";
constexpr const char* kArrayCapsule = "arrow_array";
constexpr const char* kStreamCapsule = "arrow_array_stream";

// A consumer that imported the struct marked it released; one that did not
// leaves it to the capsule, which releases it here.
template <class Struct>
void destroy_capsule(PyObject* capsule, const char* name) {
  if (!PyCapsule_IsValid(capsule, name)) return;
  auto* exported = static_cast<Struct*>(PyCapsule_GetPointer(capsule, name));
  if (exported->release != nullptr) exported->release(exported);
  delete exported;
}

void destroy_schema_capsule(PyObject* capsule) {
  destroy_capsule<ArrowSchema>(capsule, kSchemaCapsule);
}
void destroy_array_capsule(PyObject* capsule) {
  destroy_capsule<ArrowArray>(capsule, kArrayCapsule);
}
void destroy_stream_capsule(PyObject* capsule) {
  destroy_capsule<ArrowArrayStream>(capsule, kStreamCapsule);
}

// A capsule around a struct that `fill` exports into.
template <class Struct, class Fill>
PyObject* capsule(const char* name, PyCapsule_Destructor destructor, Fill&& fill) {
  auto exported = std::make_unique<Struct>();
  exported->release = nullptr;
  fill(exported.get());
  PyObject* result = PyCapsule_New(exported.get(), name, destructor);
  if (result == nullptr) {
    exported->release(exported.get());
    return nullptr;
  }
  exported.release();
  return result;
}

// The (schema, array) pair of __arrow_c_array__.
template <class Data>
PyObject* schema_and_array(const std::shared_ptr<const Data>& data,
                           void (*fill_schema)(const Data&, ArrowSchema*),
                           void (*fill_array)(std::shared_ptr<const Data>, ArrowArray*)) {
  Ref schema = Ref::steal(capsule<ArrowSchema>(kSchemaCapsule, destroy_schema_capsule,
                                               [&](ArrowSchema* out) { fill_schema(*data, out); }));
  if (!schema) return nullptr;
  Ref array = Ref::steal(capsule<ArrowArray>(kArrayCapsule, destroy_array_capsule,
                                             [&](ArrowArray* out) { fill_array(data, out); }));
  if (!array) return nullptr;
  return PyTuple_Pack(2, schema.get(), array.get());
}

// The interface lets a consumer ask for another schema; these columns have
// one form, which is returned whatever was asked (as the interface allows).
bool read_requested_schema(PyObject* args, PyObject* kwargs, const char* method) {
  static const char* keywords[] = {"requested_schema", nullptr};
  PyObject* requested = nullptr;
  const std::string format = concat("|O:", method);
  return PyArg_ParseTupleAndKeywords(args, kwargs, format.c_str(), const_cast<char**>(keywords),
                                     &requested) != 0;
}

PyObject* refuse_new(PyTypeObject* type, PyObject*, PyObject*) {
  PyErr_Format(PyExc_TypeError, "cannot create '%s' instances: Layout.unpack_many makes them",
               type->tp_name);
  return nullptr;
}

// ---- ArrowColumn ------------------------------------------------------------

struct ColumnObject {
  PyObject_HEAD std::shared_ptr<const ArrowColumnData>* column;
};

const ArrowColumnData& column_of(PyObject* self) {
  return **reinterpret_cast<ColumnObject*>(self)->column;
}

void column_dealloc(PyObject* self) {
  PyTypeObject* type = Py_TYPE(self);
  delete reinterpret_cast<ColumnObject*>(self)->column;
  type->tp_free(self);
  Py_DECREF(type);
}

PyObject* column_schema(PyObject* self, PyObject*) {
  return guarded([&] {
    return capsule<ArrowSchema>(kSchemaCapsule, destroy_schema_capsule, [&](ArrowSchema* out) {
      export_column_schema(column_of(self), out);
    });
  });
}

PyObject* column_array(PyObject* self, PyObject* args, PyObject* kwargs) {
  return guarded([&]() -> PyObject* {
    if (!read_requested_schema(args, kwargs, "__arrow_c_array__")) return nullptr;
    return schema_and_array(*reinterpret_cast<ColumnObject*>(self)->column, export_column_schema,
                            export_column_array);
  });
}

Py_ssize_t column_length(PyObject* self) { return static_cast<Py_ssize_t>(column_of(self).length); }

PyObject* column_repr(PyObject* self) {
  const ArrowColumnData& column = column_of(self);
  return PyUnicode_FromFormat(
      "<vantrel.ArrowColumn '%s': %zu values of Arrow format '%s', %zu null>", column.name.c_str(),
      column.length, column.format(), column.null_count);
}

PyObject* column_name(PyObject* self, void*) {
  const std::string& name = column_of(self).name;
  return PyUnicode_FromStringAndSize(name.data(), static_cast<Py_ssize_t>(name.size()));
}
PyObject* column_null_count(PyObject* self, void*) {
  return PyLong_FromSize_t(column_of(self).null_count);
}
PyObject* column_format(PyObject* self, void*) {
  return PyUnicode_FromString(column_of(self).format());
}

PyMethodDef column_methods[] = {
    {"__arrow_c_schema__", column_schema, METH_NOARGS,
     "The column's Arrow type, as a PyCapsule holding an ArrowSchema."},
    {"__arrow_c_array__", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(column_array)),
     METH_VARARGS | METH_KEYWORDS,
     "__arrow_c_array__($self, /, requested_schema=None)\n--\n\n"
     "The column as a pair of PyCapsules (ArrowSchema, ArrowArray), sharing\n"
     "its buffers. requested_schema is accepted and not used: the column has\n"
     "one form."},
    {nullptr, nullptr, 0, nullptr},
};

PyGetSetDef column_getset[] = {
    {"name", column_name, nullptr, "The field name.", nullptr},
    {"null_count", column_null_count, nullptr,
     "Entries that failed to decode under errors='mask' (Arrow nulls).", nullptr},
    {"format", column_format, nullptr,
     "The Arrow format string of the column's type: 'C', 'S', 'I', 'L' (uint8 to\n"
     "uint64), 'c', 's', 'i', 'l' (int8 to int64), 'f', 'g' (float32, float64),\n"
     "'u' (UTF-8 string) or 'U' (UTF-8 string with 64-bit offsets); an array\n"
     "field: '+w:N' (fixed-size list of N values) or '+L' (large list).",
     nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

constexpr const char* kColumnDoc =
    "One column of an ArrowColumns: Arrow data that pyarrow.array(column),\n"
    "polars.Series(column) and other Arrow consumers import without copying.";

// ---- ArrowColumns -------------------------------------------------------------

struct TableObject {
  PyObject_HEAD std::shared_ptr<const ArrowTableData>* table;
  PyObject* columns;  // dict: name -> ArrowColumn, in column order
};

TableObject* as_table(PyObject* self) { return reinterpret_cast<TableObject*>(self); }

void table_dealloc(PyObject* self) {
  PyTypeObject* type = Py_TYPE(self);
  delete as_table(self)->table;
  Py_XDECREF(as_table(self)->columns);
  type->tp_free(self);
  Py_DECREF(type);
}

PyObject* table_schema(PyObject* self, PyObject*) {
  return guarded([&] {
    return capsule<ArrowSchema>(kSchemaCapsule, destroy_schema_capsule, [&](ArrowSchema* out) {
      export_table_schema(**as_table(self)->table, out);
    });
  });
}

PyObject* table_array(PyObject* self, PyObject* args, PyObject* kwargs) {
  return guarded([&]() -> PyObject* {
    if (!read_requested_schema(args, kwargs, "__arrow_c_array__")) return nullptr;
    return schema_and_array(*as_table(self)->table, export_table_schema, export_table_array);
  });
}

PyObject* table_stream(PyObject* self, PyObject* args, PyObject* kwargs) {
  return guarded([&]() -> PyObject* {
    if (!read_requested_schema(args, kwargs, "__arrow_c_stream__")) return nullptr;
    const auto& shared = *as_table(self)->table;
    return capsule<ArrowArrayStream>(
        kStreamCapsule, destroy_stream_capsule,
        [&](ArrowArrayStream* out) { export_table_stream(shared, out); });
  });
}

Py_ssize_t table_length(PyObject* self) { return PyDict_Size(as_table(self)->columns); }

PyObject* table_subscript(PyObject* self, PyObject* key) {
  PyObject* column = PyDict_GetItemWithError(as_table(self)->columns, key);
  if (column == nullptr) {
    if (!PyErr_Occurred()) PyErr_SetObject(PyExc_KeyError, key);
    return nullptr;
  }
  return Ref::borrow(column).release();
}

int table_contains(PyObject* self, PyObject* key) {
  return PyDict_Contains(as_table(self)->columns, key);
}

PyObject* table_iter(PyObject* self) { return PyObject_GetIter(as_table(self)->columns); }

PyObject* table_keys(PyObject* self, PyObject*) { return PyDict_Keys(as_table(self)->columns); }
PyObject* table_values(PyObject* self, PyObject*) { return PyDict_Values(as_table(self)->columns); }
PyObject* table_items(PyObject* self, PyObject*) { return PyDict_Items(as_table(self)->columns); }

PyObject* table_num_rows(PyObject* self, void*) {
  return PyLong_FromSize_t((*as_table(self)->table)->length);
}

PyObject* table_repr(PyObject* self) {
  return PyUnicode_FromFormat("<vantrel.ArrowColumns: %zd columns of %zu rows>",
                              PyDict_Size(as_table(self)->columns),
                              (*as_table(self)->table)->length);
}

PyMethodDef table_methods[] = {
    {"__arrow_c_schema__", table_schema, METH_NOARGS,
     "The columns' Arrow schema (a struct type whose fields are the columns),\n"
     "as a PyCapsule holding an ArrowSchema."},
    {"__arrow_c_array__", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(table_array)),
     METH_VARARGS | METH_KEYWORDS,
     "__arrow_c_array__($self, /, requested_schema=None)\n--\n\n"
     "All columns as one record batch: PyCapsules (ArrowSchema, ArrowArray)\n"
     "of a struct array, sharing the columns' buffers."},
    {"__arrow_c_stream__",
     reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(table_stream)),
     METH_VARARGS | METH_KEYWORDS,
     "__arrow_c_stream__($self, /, requested_schema=None)\n--\n\n"
     "All columns as a PyCapsule holding an ArrowArrayStream of one record\n"
     "batch: what pyarrow.table(), polars.DataFrame() and duckdb read."},
    {"keys", table_keys, METH_NOARGS, "The column names, in recipe order."},
    {"values", table_values, METH_NOARGS, "The ArrowColumn objects, in recipe order."},
    {"items", table_items, METH_NOARGS, "(name, ArrowColumn) pairs, in recipe order."},
    {nullptr, nullptr, 0, nullptr},
};

PyGetSetDef table_getset[] = {
    {"num_rows", table_num_rows, nullptr, "The number of packets decoded.", nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

constexpr const char* kTableDoc =
    "The columns of Layout.unpack_many(..., output='arrow'): a read-only\n"
    "mapping from field name to ArrowColumn, in recipe order, that Arrow\n"
    "consumers read through the Arrow PyCapsule interface without copying:\n"
    "pyarrow.table(columns), polars.DataFrame(columns),\n"
    "duckdb.sql('SELECT * FROM columns'). The buffers belong to the columns\n"
    "and live as long as any export of them.";

}  // namespace

bool create_arrow_types(PyObject* module) {
  // Column buffers from the interpreter's raw allocator: safe without the
  // interpreter lock, and counted by tracemalloc as numpy's arrays are.
  buffer_allocator = BufferAllocator{PyMem_RawMalloc, PyMem_RawFree};
  PyType_Slot column_slots[] = {
      {Py_tp_new, reinterpret_cast<void*>(refuse_new)},
      {Py_tp_dealloc, reinterpret_cast<void*>(column_dealloc)},
      {Py_tp_repr, reinterpret_cast<void*>(column_repr)},
      {Py_tp_methods, column_methods},
      {Py_tp_getset, column_getset},
      {Py_sq_length, reinterpret_cast<void*>(column_length)},
      {Py_tp_doc, const_cast<char*>(kColumnDoc)},
      {0, nullptr},
  };
  PyType_Spec column_spec = {"vantrel.ArrowColumn", sizeof(ColumnObject), 0, Py_TPFLAGS_DEFAULT,
                             column_slots};
  PyType_Slot table_slots[] = {
      {Py_tp_new, reinterpret_cast<void*>(refuse_new)},
      {Py_tp_dealloc, reinterpret_cast<void*>(table_dealloc)},
      {Py_tp_repr, reinterpret_cast<void*>(table_repr)},
      {Py_tp_iter, reinterpret_cast<void*>(table_iter)},
      {Py_tp_methods, table_methods},
      {Py_tp_getset, table_getset},
      {Py_mp_length, reinterpret_cast<void*>(table_length)},
      {Py_mp_subscript, reinterpret_cast<void*>(table_subscript)},
      {Py_sq_contains, reinterpret_cast<void*>(table_contains)},
      {Py_tp_doc, const_cast<char*>(kTableDoc)},
      {0, nullptr},
  };
  PyType_Spec table_spec = {"vantrel.ArrowColumns", sizeof(TableObject), 0, Py_TPFLAGS_DEFAULT,
                            table_slots};
  Ref column_type = Ref::steal(PyType_FromSpec(&column_spec));
  Ref table_type = Ref::steal(PyType_FromSpec(&table_spec));
  if (!column_type || !table_type) return false;
  if (PyObject_SetAttrString(module, "ArrowColumn", column_type.get()) < 0 ||
      PyObject_SetAttrString(module, "ArrowColumns", table_type.get()) < 0) {
    return false;
  }
  module_state.arrow_column_type = column_type.release();
  module_state.arrow_columns_type = table_type.release();
  return true;
}

PyObject* make_arrow_columns(std::shared_ptr<const ArrowTableData> table, PyObject* names) {
  auto* column_type = reinterpret_cast<PyTypeObject*>(module_state.arrow_column_type);
  auto* table_type = reinterpret_cast<PyTypeObject*>(module_state.arrow_columns_type);
  Ref columns = Ref::steal(PyDict_New());
  if (!columns) return nullptr;
  for (std::size_t j = 0; j < table->columns.size(); ++j) {
    Ref column = Ref::steal(column_type->tp_alloc(column_type, 0));
    if (!column) return nullptr;
    reinterpret_cast<ColumnObject*>(column.get())->column =
        new std::shared_ptr<const ArrowColumnData>(table->columns[j]);
    PyObject* name = PyTuple_GET_ITEM(names, static_cast<Py_ssize_t>(j));
    if (PyDict_SetItem(columns.get(), name, column.get()) < 0) return nullptr;
  }
  Ref result = Ref::steal(table_type->tp_alloc(table_type, 0));
  if (!result) return nullptr;
  as_table(result.get())->table = new std::shared_ptr<const ArrowTableData>(std::move(table));
  as_table(result.get())->columns = columns.release();
  return result.release();
}

}  // namespace vantrel
