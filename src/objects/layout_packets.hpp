// One packet through a layout: Layout.unpack and Layout.pack, and the one
// packet of each row that Layout.pack_many packs.
#pragma once

#include <cstdint>
#include <functional>
#include <span>
#include <vector>

#include "binding/py_ref.hpp"
#include "common/types.hpp"
#include "objects/layout_data.hpp"

namespace vantrel {

// Layout.unpack: the fields of the packet whose layout starts at bit
// `offset_bits`; `raw` skips the conversions.
PyObject* unpack_packet(const LayoutData& data, ByteSpan packet, std::uint64_t offset_bits,
                        bool packet_immutable, bool raw = false);

// Layout.pack: one packet from a mapping of field names to values.
PyObject* pack_packet(const LayoutData& data, PyObject* values, bool raw = false);

// Packs a field that is not a plain single value (or whose value is not
// given, `missing` set): a check field whose value is omitted or None is
// left to be computed (`computed` set), a converted field, an array, a
// permuted or word byte order, each at its fixed place in `packet` (an
// empty `packet` only checks the value). False with the failure raised,
// KeyError for a missing value.
bool pack_field_value(const PlannedField& field, const LayoutItem& item, const Ref& value,
                      bool missing, std::span<std::uint8_t> packet, bool raw,
                      std::uint8_t& computed);

// Computes the checks whose field computed[j] flags and places them (the
// segments start at `bases`). False with ValueError when one has no place.
bool place_computed_checks(const LayoutData& data, const std::vector<std::uint8_t>& computed,
                           std::span<std::uint8_t> packet, const std::uint64_t* bases);

// Packs one packet and appends it to `archive`, its size measured from the
// values first (array lengths, count and length fields). `value_of(j,
// missing)` gives item j's value; it sets `missing` (no exception) when
// the values have none, so that count and length fields can be filled in.
using ValueSource = std::function<Ref(std::size_t item, bool& missing)>;
bool pack_measured(const LayoutData& data, const ValueSource& value_of,
                   std::vector<std::uint8_t>& archive, bool raw = false);

}  // namespace vantrel
