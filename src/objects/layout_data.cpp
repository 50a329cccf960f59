#include "objects/layout_data.hpp"

#include <string>
#include <variant>

#include "binding/call_frame.hpp"
#include "binding/convert.hpp"
#include "common/format.hpp"

namespace vantrel {

bool refuse(const LayoutItem& item, const std::string& message) {
  const std::string text = item.context + message;
  PyErr_SetString(PyExc_ValueError, text.c_str());
  return false;
}

std::string quoted(PyObject* object) {
  Ref repr = Ref::steal(PyObject_Repr(object));
  const char* text = repr ? PyUnicode_AsUTF8(repr.get()) : nullptr;
  if (text == nullptr) {
    PyErr_Clear();
    return "?";
  }
  return text;
}

bool raise_item_failure(const Error& error, const LayoutItem& item) {
  raise_error(error);
  rewrap_engine_failure(item.context);
  return false;
}

bool place_padded(const PlannedField& field, const LayoutItem& item, const FieldContent& content,
                  std::span<std::uint8_t> packet) {
  ByteSpan text;
  if (const auto* owned = std::get_if<std::string>(&content)) {
    text = ByteSpan(reinterpret_cast<const std::uint8_t*>(owned->data()), owned->size());
  } else {
    text = std::get<ByteSpan>(content);
  }
  const std::uint64_t width = (std::uint64_t{field.spec.bits} + 7) / 8;
  if (text.size() >= width) {
    place_field(packet, field.position, field.spec, content);
    return true;
  }
  const std::string_view unit = item.pad_unit.view();
  const std::uint64_t room = width - text.size();
  if (room % unit.size() != 0) {
    return raise_item_failure(
        Error{ErrorKind::ValueError,
              concat("the text's ", text.size(), " bytes leave ", room, " of the field's ", width,
                     ", which pad characters of ", unit.size(), " bytes cannot fill")},
        item);
  }
  std::string padded;
  padded.reserve(width);
  const bool leads = pad_leads(field.spec.pad);
  if (!leads) padded.append(reinterpret_cast<const char*>(text.data()), text.size());
  for (std::uint64_t k = 0; k < room / unit.size(); ++k) padded += unit;
  if (leads) padded.append(reinterpret_cast<const char*>(text.data()), text.size());
  place_field(packet, field.position, field.spec, FieldContent{std::move(padded)});
  return true;
}

bool raise_not_packable(const LayoutItem& item) {
  return raise_item_failure(
      Error{ErrorKind::ValueError,
            concat("Unsupported encoding type: ", PyUnicode_AsUTF8(item.encoding_text.get()))},
      item);
}

// ---- One packet ------------------------------------------------------------

PyObject* raise_packet_too_short(const LayoutData& data, std::size_t packet_size,
                                 std::uint64_t offset_bits) {
  if (auto overflow = data.plan.check_positions(offset_bits); !overflow) {
    raise_error(overflow.error().error);
    return rewrap_engine_failure(data.items[overflow.error().item].context);
  }
  const std::uint64_t needed = offset_bits + data.plan.size_bits();
  std::string where;
  if (auto outside = data.plan.check_bounds(packet_size, offset_bits); !outside) {
    where = concat("; ", data.items[outside.error().item].context, outside.error().error.message);
  }
  raise_error(Error{ErrorKind::ValueError,
                    concat("packet of ", packet_size, " bytes (", std::uint64_t{packet_size} * 8,
                           " bits) is too short for the layout at bit offset ", offset_bits,
                           ": it needs ", needed, " bits", where)});
  return nullptr;
}

bool read_raw_flag(PyObject* object, bool& raw) {
  raw = false;
  if (object == nullptr) return true;
  if (!to_strict_bool(object, raw)) {
    prefix_argument_name("raw");
    return false;
  }
  return true;
}

}  // namespace vantrel
