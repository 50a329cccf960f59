#include "columns/arrow_export.hpp"

#include <cerrno>
#include <string>
#include <utility>

namespace vantrel {

void ArrowColumnData::set_fixed_lists(std::uint64_t size) {
  lists = ListKind::Fixed;
  list_size = size;
  list_format_ = "+w:" + std::to_string(size);
}

void ArrowColumnData::set_variable_lists() {
  lists = ListKind::Variable;
  list_format_ = "+L";
}

std::size_t ArrowColumnData::values_length() const {
  switch (lists) {
    case ListKind::None: break;
    case ListKind::Fixed: return static_cast<std::size_t>(length * list_size);
    case ListKind::Variable:
      return static_cast<std::size_t>(
          reinterpret_cast<const std::int64_t*>(list_offsets.data())[length]);
  }
  return length;
}

const char* ArrowColumnData::format() const {
  return is_list() ? list_format_.c_str() : value_format();
}

const char* ArrowColumnData::value_format() const {
  if (format_override != nullptr) return format_override;
  if (type != ColumnType::Text) return column_type_row(type).arrow_format;
  return text.wide_offsets ? "U" : "u";
}

void ArrowColumnData::set_nulls(std::span<const std::uint8_t> mask) {
  // Most columns have no null: eight flags at a time find that out. (A
  // local count: the member, reached through `this`, might alias the mask
  // and would be stored on every flag.)
  const std::uint8_t* const flags = mask.data();
  const std::size_t size = mask.size();
  std::uint64_t any = 0;
  std::size_t i = 0;
  for (; i + 8 <= size; i += 8) {
    std::uint64_t word;
    std::memcpy(&word, flags + i, sizeof word);
    any |= word;
  }
  for (; i < size; ++i) any |= flags[i];
  null_count = 0;
  if (any == 0) return;
  std::size_t nulls = 0;
  for (i = 0; i < size; ++i) nulls += flags[i] != 0;
  null_count = nulls;
  validity.resize((size + 7) / 8);
  std::uint8_t* const bits = validity.data();
  std::memset(bits, 0, validity.size());
  for (i = 0; i < size; ++i) {
    bits[i / 8] |= static_cast<std::uint8_t>((flags[i] == 0) << (i % 8));
  }
}

namespace {

// Releases the children a parent owns; a consumer that moved one out marked
// it released already.
template <class Struct>
void release_children(std::vector<Struct>& children) {
  for (Struct& child : children) {
    if (child.release != nullptr) child.release(&child);
  }
}

// ---- Schemas -----------------------------------------------------------------

struct SchemaPrivate {
  std::string name;
  std::vector<ArrowSchema> children;
  std::vector<ArrowSchema*> child_pointers;
  std::unique_ptr<ArrowSchema> dictionary;
};

void release_schema(ArrowSchema* schema) {
  auto* own = static_cast<SchemaPrivate*>(schema->private_data);
  release_children(own->children);
  if (own->dictionary && own->dictionary->release != nullptr) {
    own->dictionary->release(own->dictionary.get());
  }
  delete own;
  schema->release = nullptr;
}

void fill_schema(ArrowSchema* out, std::unique_ptr<SchemaPrivate> own, const char* format,
                 std::int64_t flags) {
  out->format = format;
  out->name = own->name.c_str();
  out->metadata = nullptr;
  out->flags = flags;
  out->n_children = static_cast<std::int64_t>(own->children.size());
  out->children = own->child_pointers.empty() ? nullptr : own->child_pointers.data();
  out->dictionary = own->dictionary.get();
  out->release = release_schema;
  out->private_data = own.release();
}

// The schema of the column's values: the column itself, or the one child
// of a list column. The dictionary belongs to the values.
void export_value_schema(const ArrowColumnData& column, const std::string& name, ArrowSchema* out) {
  auto own = std::make_unique<SchemaPrivate>();
  own->name = name;
  if (column.dictionary) {
    own->dictionary = std::make_unique<ArrowSchema>();
    export_column_schema(*column.dictionary, own->dictionary.get());
  }
  fill_schema(out, std::move(own), column.value_format(), ARROW_FLAG_NULLABLE);
}

// ---- Arrays ------------------------------------------------------------------

struct ColumnArrayPrivate {
  std::shared_ptr<const ArrowColumnData> column;
  const void* buffers[3] = {nullptr, nullptr, nullptr};
  std::unique_ptr<ArrowArray> dictionary;
  ArrowArray child{};  // a list column's values; release == nullptr: none
  ArrowArray* child_pointer = &child;
};

void release_column_array(ArrowArray* array) {
  auto* own = static_cast<ColumnArrayPrivate*>(array->private_data);
  if (own->dictionary && own->dictionary->release != nullptr) {
    own->dictionary->release(own->dictionary.get());
  }
  if (own->child.release != nullptr) own->child.release(&own->child);
  delete own;
  array->release = nullptr;
}

// The column's values as an array of their own: the column itself (with
// its validity), or a list column's child (every entry's values, none null).
void export_value_array(std::shared_ptr<const ArrowColumnData> column, ArrowArray* out) {
  auto own = std::make_unique<ColumnArrayPrivate>();
  const ArrowColumnData& c = *column;
  if (c.dictionary) {
    own->dictionary = std::make_unique<ArrowArray>();
    export_column_array(c.dictionary, own->dictionary.get());
  }
  const bool child = c.is_list();
  const std::size_t null_count = child ? 0 : c.null_count;
  own->buffers[0] = null_count != 0 ? c.validity.data() : nullptr;
  if (c.is_text()) {
    own->buffers[1] = c.text.offsets.data();
    own->buffers[2] = c.text.data.data();
  } else {
    own->buffers[1] = c.values.data();
  }
  out->length = static_cast<std::int64_t>(c.values_length());
  out->null_count = static_cast<std::int64_t>(null_count);
  out->offset = 0;
  out->n_buffers = c.is_text() ? 3 : 2;
  out->n_children = 0;
  out->buffers = own->buffers;
  out->children = nullptr;
  out->dictionary = own->dictionary.get();
  out->release = release_column_array;
  own->column = std::move(column);
  out->private_data = own.release();
}

struct TableArrayPrivate {
  std::shared_ptr<const ArrowTableData> table;
  std::vector<ArrowArray> children;
  std::vector<ArrowArray*> child_pointers;
  const void* buffers[1] = {nullptr};
};

void release_table_array(ArrowArray* array) {
  auto* own = static_cast<TableArrayPrivate*>(array->private_data);
  release_children(own->children);
  delete own;
  array->release = nullptr;
}

// ---- The stream ------------------------------------------------------------

struct StreamPrivate {
  std::shared_ptr<const ArrowTableData> table;
  bool delivered = false;
  std::string last_error;
};

// The callbacks return errno codes, as the stream interface asks; a failed
// allocation is ENOMEM, nothing else can fail.
int stream_schema(ArrowArrayStream* stream, ArrowSchema* out) {
  auto* own = static_cast<StreamPrivate*>(stream->private_data);
  try {
    export_table_schema(*own->table, out);
    return 0;
  } catch (const std::bad_alloc&) {
    own->last_error = "out of memory exporting the schema";
    return ENOMEM;
  }
}

int stream_next(ArrowArrayStream* stream, ArrowArray* out) {
  auto* own = static_cast<StreamPrivate*>(stream->private_data);
  if (own->delivered) {
    out->release = nullptr;  // the end of the stream
    return 0;
  }
  try {
    export_table_array(own->table, out);
    own->delivered = true;
    return 0;
  } catch (const std::bad_alloc&) {
    own->last_error = "out of memory exporting the columns";
    return ENOMEM;
  }
}

const char* stream_last_error(ArrowArrayStream* stream) {
  const auto* own = static_cast<const StreamPrivate*>(stream->private_data);
  return own->last_error.empty() ? nullptr : own->last_error.c_str();
}

void release_stream(ArrowArrayStream* stream) {
  delete static_cast<StreamPrivate*>(stream->private_data);
  stream->release = nullptr;
}

}  // namespace

void export_column_schema(const ArrowColumnData& column, ArrowSchema* out) {
  if (!column.is_list()) {
    export_value_schema(column, column.name, out);
    return;
  }
  auto own = std::make_unique<SchemaPrivate>();
  own->name = column.name;
  own->children.resize(1);
  own->child_pointers.push_back(&own->children[0]);
  export_value_schema(column, "item", &own->children[0]);
  fill_schema(out, std::move(own), column.format(), ARROW_FLAG_NULLABLE);
}

void export_column_array(std::shared_ptr<const ArrowColumnData> column, ArrowArray* out) {
  if (!column->is_list()) {
    export_value_array(std::move(column), out);
    return;
  }
  // A list array: the entries' validity and (large lists) their int64
  // offsets, over one child holding the values.
  auto own = std::make_unique<ColumnArrayPrivate>();
  const ArrowColumnData& c = *column;
  export_value_array(column, &own->child);
  const bool variable = c.lists == ListKind::Variable;
  own->buffers[0] = c.null_count != 0 ? c.validity.data() : nullptr;
  own->buffers[1] = variable ? c.list_offsets.data() : nullptr;
  out->length = static_cast<std::int64_t>(c.length);
  out->null_count = static_cast<std::int64_t>(c.null_count);
  out->offset = 0;
  out->n_buffers = variable ? 2 : 1;
  out->n_children = 1;
  out->buffers = own->buffers;
  out->children = &own->child_pointer;
  out->dictionary = nullptr;
  out->release = release_column_array;
  own->column = std::move(column);
  out->private_data = own.release();
}

void export_table_schema(const ArrowTableData& table, ArrowSchema* out) {
  auto own = std::make_unique<SchemaPrivate>();
  const std::size_t n = table.columns.size();
  own->children.resize(n);
  own->child_pointers.resize(n);
  std::size_t filled = 0;
  try {
    for (; filled < n; ++filled) {
      export_column_schema(*table.columns[filled], &own->children[filled]);
      own->child_pointers[filled] = &own->children[filled];
    }
  } catch (...) {
    for (std::size_t j = 0; j < filled; ++j) own->children[j].release(&own->children[j]);
    throw;
  }
  fill_schema(out, std::move(own), "+s", 0);
}

void export_table_array(std::shared_ptr<const ArrowTableData> table, ArrowArray* out) {
  auto own = std::make_unique<TableArrayPrivate>();
  const std::size_t n = table->columns.size();
  own->children.resize(n);
  own->child_pointers.resize(n);
  std::size_t filled = 0;
  try {
    for (; filled < n; ++filled) {
      export_column_array(table->columns[filled], &own->children[filled]);
      own->child_pointers[filled] = &own->children[filled];
    }
  } catch (...) {
    for (std::size_t j = 0; j < filled; ++j) own->children[j].release(&own->children[j]);
    throw;
  }
  out->length = static_cast<std::int64_t>(table->length);
  out->null_count = 0;
  out->offset = 0;
  out->n_buffers = 1;
  out->n_children = static_cast<std::int64_t>(n);
  out->buffers = own->buffers;
  out->children = own->child_pointers.empty() ? nullptr : own->child_pointers.data();
  out->dictionary = nullptr;
  out->release = release_table_array;
  own->table = std::move(table);
  out->private_data = own.release();
}

void export_table_stream(std::shared_ptr<const ArrowTableData> table, ArrowArrayStream* out) {
  auto own = std::make_unique<StreamPrivate>();
  own->table = std::move(table);
  out->get_schema = stream_schema;
  out->get_next = stream_next;
  out->get_last_error = stream_last_error;
  out->release = release_stream;
  out->private_data = own.release();
}

}  // namespace vantrel
