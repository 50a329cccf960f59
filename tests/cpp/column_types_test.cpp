// The column type table against the C++ element type each row dispatches
// to: size, sign, numpy's name and Arrow's format letter derived from that
// type independently of the table; and column_type_of against the width rule.
#include <cstdint>
#include <string>
#include <type_traits>

#include "columns/columns.hpp"
#include "expect.hpp"
#include "layout/encoding_table.hpp"

namespace {

using namespace vantrel;

using testing::expect;

template <class T>
std::string numpy_name() {
  if constexpr (std::is_floating_point_v<T>) return "float" + std::to_string(sizeof(T) * 8);
  return std::string(std::is_signed_v<T> ? "int" : "uint") + std::to_string(sizeof(T) * 8);
}

template <class T>
std::string arrow_letter() {
  if constexpr (std::is_same_v<T, float>) return "f";
  if constexpr (std::is_same_v<T, double>) return "g";
  const char letter = "csil"[sizeof(T) == 1 ? 0 : sizeof(T) == 2 ? 1 : sizeof(T) == 4 ? 2 : 3];
  return std::string(1, std::is_signed_v<T> ? letter : static_cast<char>(letter - 'a' + 'A'));
}

void table_matches_element_types() {
  for (std::size_t i = 0; i < std::size(kColumnTypes); ++i) {
    const auto type = static_cast<ColumnType>(i);
    const ColumnTypeRow& row = column_type_row(type);
    const std::string where = "column type " + std::to_string(i);
    const bool numeric = with_element_type(
        type,
        [&](auto element) {
          using T = decltype(element);
          expect(row.item_size == sizeof(T), where + ": item size");
          expect(row.is_signed == (std::is_integral_v<T> && std::is_signed_v<T>), where + ": sign");
          expect(row.dtype == numpy_name<T>(), where + ": numpy dtype " + row.dtype);
          expect(row.arrow_format != nullptr && row.arrow_format == arrow_letter<T>(),
                 where + ": Arrow format");
          return true;
        },
        [] { return false; });
    expect(numeric == (type != ColumnType::Text), where + ": only Text has no element type");
  }
  expect(std::string(column_type_row(ColumnType::Text).dtype) == "object", "text is object");
}

void widths_pick_the_smallest_type() {
  const EncodingRow* unsigned_row = find_encoding("unsigned");
  const EncodingRow* signed_row = find_encoding("twos_complement");
  expect(unsigned_row != nullptr && signed_row != nullptr, "both encodings are in the table");
  if (unsigned_row == nullptr || signed_row == nullptr) return;
  for (std::uint32_t bits = 1; bits <= 64; ++bits) {
    for (const EncodingRow* row : {unsigned_row, signed_row}) {
      const ColumnTypeRow& column =
          column_type_row(column_type_of(FieldSpec{row, bits, std::nullopt, false, false}));
      const std::size_t smallest = bits <= 8 ? 1 : bits <= 16 ? 2 : bits <= 32 ? 4 : 8;
      const std::string where =
          std::string(row == signed_row ? "signed " : "unsigned ") + std::to_string(bits) + " bits";
      expect(column.item_size == smallest, where + ": smallest integer");
      expect(column.is_signed == (row == signed_row), where + ": sign");
    }
  }
}

}  // namespace

int main() {
  table_matches_element_types();
  widths_pick_the_smallest_type();
  return testing::report("column types");
}
