// Engineering values in the columns of shaped layouts (arrays, permuted
// byte orders): the shaped column paths decode a field's raw values into one
// flat array, every element of every packet in packet order, and this
// second pass converts that array as a whole, without the interpreter lock.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>

#include "binding/py_ref.hpp"
#include "common/error.hpp"
#include "conversions/conversions.hpp"
#include "layout/plan.hpp"
#include "objects/conversion_recipes.hpp"

namespace vantrel {

using ShapedConversionFailure = PacketConversionFailure;

// The engineering values of field `field`'s flat raw column `raw` (of
// column_type_of(field.spec)) for `packets` packets: a new flat numpy
// array of float64, datetime64[ns] or str objects, or null with the
// exception set. Packets from `limit` on, and masked ones, are not
// converted (zeros, None). A packet any of whose elements fails is masked
// when `mask` is given; otherwise the first such packet and its error are
// left in `failure`, for the caller to order among its other failures.
// `element_time`: see convert_packet_elements.
Ref convert_shaped_column(const ItemConversion& conversion, const PlannedField& field,
                          const void* raw, std::size_t packets, std::size_t limit,
                          const ElementRanges& ranges, std::span<std::uint8_t> mask,
                          std::optional<ShapedConversionFailure>& failure,
                          const ElementTime* element_time = nullptr);

}  // namespace vantrel
