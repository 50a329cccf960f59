#include "placement/arrow_export.hpp"

#include <cerrno>
#include <utility>

namespace vantrel {

const char* ArrowColumnData::format() const {
  switch (type) {
    case ColumnType::U8: return "C";
    case ColumnType::U16: return "S";
    case ColumnType::U32: return "I";
    case ColumnType::U64: return "L";
    case ColumnType::I8: return "c";
    case ColumnType::I16: return "s";
    case ColumnType::I32: return "i";
    case ColumnType::I64: return "l";
    case ColumnType::F32: return "f";
    case ColumnType::F64: return "g";
    case ColumnType::Text: break;
  }
  return text.wide_offsets ? "U" : "u";
}

void ArrowColumnData::set_nulls(std::span<const std::uint8_t> mask) {
  null_count = 0;
  for (const std::uint8_t masked : mask) null_count += masked;
  if (null_count == 0) return;
  validity.resize((mask.size() + 7) / 8);
  std::uint8_t* bits = validity.data();
  std::memset(bits, 0, validity.size());
  for (std::size_t i = 0; i < mask.size(); ++i) {
    bits[i / 8] |= static_cast<std::uint8_t>((mask[i] == 0) << (i % 8));
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
};

void release_schema(ArrowSchema* schema) {
  auto* own = static_cast<SchemaPrivate*>(schema->private_data);
  release_children(own->children);
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
  out->dictionary = nullptr;
  out->release = release_schema;
  out->private_data = own.release();
}

std::unique_ptr<SchemaPrivate> column_schema_private(const ArrowColumnData& column) {
  auto own = std::make_unique<SchemaPrivate>();
  own->name = column.name;
  return own;
}

// ---- Arrays ------------------------------------------------------------------

struct ColumnArrayPrivate {
  std::shared_ptr<const ArrowColumnData> column;
  const void* buffers[3] = {nullptr, nullptr, nullptr};
};

void release_column_array(ArrowArray* array) {
  delete static_cast<ColumnArrayPrivate*>(array->private_data);
  array->release = nullptr;
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
  fill_schema(out, column_schema_private(column), column.format(), ARROW_FLAG_NULLABLE);
}

void export_column_array(std::shared_ptr<const ArrowColumnData> column, ArrowArray* out) {
  auto own = std::make_unique<ColumnArrayPrivate>();
  const ArrowColumnData& c = *column;
  own->buffers[0] = c.null_count != 0 ? c.validity.data() : nullptr;
  if (c.is_text()) {
    own->buffers[1] = c.text.offsets.data();
    own->buffers[2] = c.text.data.data();
  } else {
    own->buffers[1] = c.values.data();
  }
  out->length = static_cast<std::int64_t>(c.length);
  out->null_count = static_cast<std::int64_t>(c.null_count);
  out->offset = 0;
  out->n_buffers = c.is_text() ? 3 : 2;
  out->n_children = 0;
  out->buffers = own->buffers;
  out->children = nullptr;
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
