// The "convert" key of layout recipe items: read once into a Conversion
// that the column kernels apply, plus what the interpreter side needs to
// give and take engineering values one packet at a time.
#pragma once

#include <memory>
#include <vector>

#include "binding/py_ref.hpp"
#include "conversions/conversions.hpp"
#include "layout/plan.hpp"

namespace vantrel {

struct LayoutItem;

struct ItemConversion {
  Conversion conversion;
  std::vector<Ref> state_names;  // interned str by state index
  Ref state_raw;                 // dict: state name -> raw value, for packing
  Ref canonical;                 // the "convert" dict as the layout keeps it
  bool custom_leap_seconds = false;
};

// Reads item `object`'s "convert" key, if it has one, for the field it describes.
// False with ValueError naming the item when the key is malformed or does
// not suit the field.
bool read_conversion(PyObject* object, const FieldSpec& spec, const LayoutItem& item,
                     std::shared_ptr<const ItemConversion>& out);

// The engineering value of one value of a field (an array's element too)
// at `bit` of `packet` (bounds checked): a float, a state name or a
// datetime. nullptr with the failure raised.
PyObject* unpack_converted(const ItemConversion& conversion, const PlannedField& field,
                           const LayoutItem& item, ByteSpan packet, std::uint64_t bit,
                           bool packet_immutable);

// Packs an engineering value: inverts time codes, state names, linear
// calibrations and the polynomials and tables whose recipe asks for it
// ("invert"); other polynomials and tables take the raw value.
bool pack_converted(const ItemConversion& conversion, const PlannedField& field,
                    const LayoutItem& item, PyObject* value, std::span<std::uint8_t> packet);

// The raw value to encode for an engineering value, for every conversion
// but time codes (which pack_converted writes itself): what pack_converted
// encodes, for the writers of array elements and permuted or word orders.
bool converted_input(const ItemConversion& conversion, const FieldSpec& spec,
                     const LayoutItem& item, PyObject* value, PackInput& input);

// A time code from nanoseconds of the field's scale, for pack_many's
// datetime64 columns.
bool pack_time(const ItemConversion& conversion, const PlannedField& field, const LayoutItem& item,
               Nanoseconds time, std::span<std::uint8_t> packet);

// A reading as datetime.datetime, rounded to the microsecond (ties to
// even); aware (UTC) for the UTC scale, naive for TAI.
PyObject* datetime_from_reading(Nanoseconds reading, TimeScale scale);

}  // namespace vantrel
