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

#include "columns/aligned_buffer.hpp"
#include "columns/columns.hpp"
#include "columns/text_columns.hpp"
#include "common/arrow_abi.hpp"

namespace vantrel {

// How the entries of a column hold its values: one each, or a list of
// them (an array field): a fixed number each (Arrow's fixed-size list), or
// as many as int64 offsets say (Arrow's large list).
enum class ListKind : std::uint8_t { None, Fixed, Variable };

// One column: fixed-width values, or UTF-8 text (offsets and data), with a
// validity bitmap when any entry is null. A list column's entries are
// lists of the values, which form its one child array.
struct ArrowColumnData {
  std::string name;  // UTF-8
  ColumnType type = ColumnType::U8;
  std::size_t length = 0;
  std::size_t null_count = 0;
  AlignedBuffer validity;  // bit i set: entry i is valid; unused when null_count == 0
  AlignedBuffer values;    // numeric columns (a list column: every entry's values)
  Utf8Column text;         // text columns
  // A format other than the values' own type says (timestamps: "tsn:").
  const char* format_override = nullptr;
  // The values of a dictionary-encoded column, whose own values are int32
  // indices into it.
  std::shared_ptr<const ArrowColumnData> dictionary;
  // Lists: entry i holds values [i * list_size, (i + 1) * list_size) (Fixed)
  // or [list_offsets[i], list_offsets[i + 1]) of length + 1 int64 offsets
  // (Variable).
  ListKind lists = ListKind::None;
  std::uint64_t list_size = 0;
  AlignedBuffer list_offsets;

  bool is_text() const { return type == ColumnType::Text; }
  bool is_list() const { return lists != ListKind::None; }
  // Makes the column a list column of either kind.
  void set_fixed_lists(std::uint64_t size);
  void set_variable_lists();
  // The values a list column holds, all entries together.
  std::size_t values_length() const;
  // The Arrow format string: "C", "s", "f", "u" (32-bit offsets), "U", ...;
  // "+w:N" (fixed-size list) and "+L" (large list) for list columns.
  const char* format() const;
  // The format of one value (a list column: of its child).
  const char* value_format() const;
  // Turns a per-entry mask (1: null) into the validity bitmap.
  void set_nulls(std::span<const std::uint8_t> mask);

 private:
  std::string list_format_;
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
