// The "check" key of layout recipe items: a packet error control field,
// read once into the checksum it names and the bytes it covers.
#pragma once

#include <memory>
#include <optional>

#include "binding/py_ref.hpp"
#include "common/checksums.hpp"
#include "layout/plan.hpp"

namespace vantrel {

struct LayoutItem;

struct ItemCheck {
  std::shared_ptr<const Checksum> checksum;
  std::optional<std::uint64_t> start;  // bytes from the layout's first byte
  std::optional<std::uint64_t> stop;
  Ref canonical;  // the "check" value as the layout keeps it (recipe, pickling)
};

// The name of the boolean column unpack_many(errors="mask") adds to the
// result of a layout with checks: True for the packets that failed one.
inline constexpr const char* kCheckFailedColumn = "check_failed";

// Reads item `object`'s "check" key, if it has one: a catalogue name, or a
// dict with "algorithm" (a name) or CRC parameters ("width", "poly",
// "init", "refin", "refout", "xorout"), and optionally "start"/"stop".
// False with ValueError naming the item when the key is malformed.
bool read_check(PyObject* object, const LayoutItem& item, std::shared_ptr<const ItemCheck>& out);

// The checksum a "check" value names (a str or a dict, the range keys
// allowed or not): shared with split_packets' rules. False with
// ValueError, its message prefixed by `context`.
bool read_check_algorithm(PyObject* value, const std::string& context, bool allow_range,
                          std::shared_ptr<const Checksum>& checksum,
                          std::optional<std::uint64_t>& start, std::optional<std::uint64_t>& stop,
                          Ref& canonical);

}  // namespace vantrel
