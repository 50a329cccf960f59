// Decoded columns as Arrow data: the C data interface (ArrowSchema,
// ArrowArray) and the C stream interface (ArrowArrayStream) filled from
// buffers this library owns. Every exported struct holds a shared reference
// to the columns, so an export stays valid however long its consumer keeps
// it, after every other reference is gone; its release callback frees what
// the export allocated and drops that reference. The callbacks touch no
// interpreter object and may run on any thread.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "common/arrow_abi.hpp"
#include "placement/aligned_buffer.hpp"
#include "placement/columns.hpp"
#include "placement/text_columns.hpp"

namespace vantrel {

// One column: fixed-width values, or UTF-8 text (offsets and data), with a
// validity bitmap when any entry is null.
struct ArrowColumnData {
  std::string name;  // UTF-8
  ColumnType type = ColumnType::U8;
  std::size_t length = 0;
  std::size_t null_count = 0;
  AlignedBuffer validity;  // bit i set: entry i is valid; unused when null_count == 0
  AlignedBuffer values;    // numeric columns
  Utf8Column text;         // text columns

  bool is_text() const { return type == ColumnType::Text; }
  // The Arrow format string: "C", "s", "f", "u" (32-bit offsets), "U", ...
  const char* format() const;
  // Turns a per-entry mask (1: null) into the validity bitmap.
  void set_nulls(std::span<const std::uint8_t> mask);
};

// The columns of one decode, in recipe order, all of one length.
struct ArrowTableData {
  std::vector<std::shared_ptr<const ArrowColumnData>> columns;
  std::size_t length = 0;
};

// Fill `out` (a struct the caller owns, not yet filled) with a new export.
// Each throws std::bad_alloc before filling anything when memory runs out.
void export_column_schema(const ArrowColumnData& column, ArrowSchema* out);
void export_column_array(std::shared_ptr<const ArrowColumnData> column, ArrowArray* out);
// The whole set as one struct type ("+s") whose children are the columns.
void export_table_schema(const ArrowTableData& table, ArrowSchema* out);
void export_table_array(std::shared_ptr<const ArrowTableData> table, ArrowArray* out);
// A stream of one record batch: the whole set.
void export_table_stream(std::shared_ptr<const ArrowTableData> table, ArrowArrayStream* out);

}  // namespace vantrel
