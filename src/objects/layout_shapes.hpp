// The keys only layouts read (arrays, permuted byte orders, bit fields of
// little-endian words), and the checks a layout makes of its recipe beyond
// those of the packet functions.
#pragma once

#include <cstdint>
#include <functional>
#include <optional>
#include <vector>

#include "common/bits.hpp"
#include "common/packet_bits.hpp"
#include "objects/layout_data.hpp"
#include "objects/recipe_fields.hpp"
#include "streams/packet_bounds.hpp"

namespace vantrel {

// The name of `names` nearest to `text` when it is a near miss (a typo),
// else empty.
std::string_view nearest_name(std::string_view text, std::span<const std::string_view> names);

// Refuses keys that no recipe item knows, suggesting the nearest known one.
// False with ValueError set.
bool refuse_unknown_keys(PyObject* object, const LayoutItem& item);

// Reads "count" and "word_bits" into `shape`. A count naming a field is left
// in `count_name` for check_layout to resolve. False with ValueError set.
bool read_layout_keys(PyObject* object, const LayoutItem& item, FieldShape& shape, Ref& count_name);

// Reads the "pad" key of a text field into `pad`, and into item.pad_unit
// the pad character's bytes in the field's encoding. False with ValueError
// set.
bool read_text_pad(PyObject* object, const FieldSpec& field, LayoutItem& item, TextPad& pad);

// Reads "keep_raw" (true or false; true only with a conversion) into
// item.keep_raw. False with ValueError set.
bool read_keep_raw(PyObject* object, LayoutItem& item);

// Whether a byte order is written as digits ("2143"): a layout-only form.
bool is_permutation_text(std::string_view text);
// Reads such a byte order for a field of `bits` bits into `shape`.
bool read_permutation(std::string_view text, std::uint32_t bits, const LayoutItem& item,
                      FieldShape& shape);

// The checks across a recipe's items: names, counts, float widths, what
// may follow a rest-of-packet array. Resolves count names to item indices.
bool check_layout(std::vector<ShapedField>& fields, const std::vector<LayoutItem>& items,
                  const std::vector<Ref>& count_names);

// Layout(recipe, packet_length={...}): where each packet's length is.
bool read_packet_length(PyObject* object, std::optional<LengthField>& out);
PyObject* packet_length_dict(const LengthField& length);

}  // namespace vantrel
