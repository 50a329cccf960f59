#include "objects/layout_type.hpp"

#include <algorithm>
#include <cstring>
#include <memory>
#include <optional>
#include <string>
#include <string_view>

#include "binding/buffer_view.hpp"
#include "binding/call_frame.hpp"
#include "binding/method_args.hpp"
#include "binding/py_compat.hpp"
#include "common/format.hpp"
#include "decoder/decoders.hpp"
#include "objects/check_recipes.hpp"
#include "objects/conversion_recipes.hpp"
#include "objects/field_values.hpp"
#include "objects/layout_columns.hpp"
#include "objects/layout_data.hpp"
#include "objects/layout_packets.hpp"
#include "objects/layout_shapes.hpp"
#include "objects/packet_functions.hpp"
#include "objects/recipe_fields.hpp"

namespace vantrel {

namespace {

// ---- Reading the recipe ---------------------------------------------------

std::string item_context(std::size_t index, PyObject* name) {
  std::string context = concat("recipe item ", index);
  if (name != nullptr) {
    Ref quoted = Ref::steal(PyObject_Repr(name));
    Py_ssize_t size = 0;
    const char* text = quoted ? PyUnicode_AsUTF8AndSize(quoted.get(), &size) : nullptr;
    if (text == nullptr) {
      PyErr_Clear();
    } else {
      context += " (";
      context.append(text, static_cast<std::size_t>(size));
      context += ')';
    }
  }
  context += ": ";
  return context;
}

Ref exact_str(const TextField& field) {
  PyObject* copy =
      PyUnicode_FromStringAndSize(field.text.data(), static_cast<Py_ssize_t>(field.text.size()));
  if (copy != nullptr) PyUnicode_InternInPlace(&copy);
  return Ref::steal(copy);
}

bool refuse_unknown_encoding(std::string_view encoding, const LayoutItem& item) {
  std::vector<std::string_view> names;
  std::string known;
  for (const EncodingRow& row : encoding_rows()) {
    names.push_back(row.name);
    known += concat(known.empty() ? "" : ", ", row.name);
  }
  std::string message = concat("ValueError: Unsupported encoding type: ", encoding);
  const std::string_view nearest = nearest_name(encoding, names);
  if (!nearest.empty()) message += concat("; did you mean '", nearest, "'?");
  return refuse(item, concat(message, " (known: ", known, ")"));
}

// Reads one item with the checks, and in the order, of unpack_parameters.
// False with the failure raised as ValueError naming the item.
bool read_item(PyObject* object, std::size_t index, ShapedField& field, Ref& count_name,
               LayoutItem& item) {
  FieldSpec& spec = field.spec;
  RecipeItem reader;
  ItemFields fields;
  item.context = item_context(index, nullptr);
  if (PyDict_Check(object)) {
    // A misspelt key ("encodng") explains a missing one better than the
    // missing key does: keys are checked first.
    Ref named = Ref::borrow(PyDict_GetItemString(object, "name"));
    if (named && PyUnicode_Check(named.get())) item.context = item_context(index, named.get());
    if (!refuse_unknown_keys(object, item)) return false;
    item.context = item_context(index, nullptr);
  }
  if (!read_item_name(reader, object, fields)) {
    rewrap_engine_failure(item.context);
    return false;
  }
  item.name = exact_str(fields.name);
  if (!item.name) return false;
  item.context = item_context(index, item.name.get());

  ByteOrder byte_order = ByteOrder::Big;
  if (!read_item_placement(reader, fields)) {
    rewrap_engine_failure(item.context);
    return false;
  }
  // Layouts also take a byte order written as a permutation of the bytes.
  const bool permuted = is_permutation_text(fields.byte_order.text);
  const bool read = permuted || parse_byte_order(fields.byte_order, byte_order);
  spec.row = read ? resolve_encoding(fields.encoding) : nullptr;
  if (spec.row == nullptr && read && PyErr_ExceptionMatches(PyExc_ValueError)) {
    // The packet functions' message, with the names there are.
    PyErr_Clear();
    return refuse_unknown_encoding(fields.encoding.text, item);
  }
  if (spec.row == nullptr) {
    rewrap_engine_failure(item.context);
    return false;
  }
  spec.bits = fields.bits;
  spec.reverse_bits = fields.reverse_bits;
  spec.offset = fields.offset;
  spec.little_endian = byte_order == ByteOrder::Little;
  item.encoding_text = exact_str(fields.encoding);
  item.byte_order_text = exact_str(fields.byte_order);
  if (!item.encoding_text || !item.byte_order_text) return false;
  if (permuted && !read_permutation(fields.byte_order.text, spec.bits, item, field.shape)) {
    return false;
  }
  return read_layout_keys(object, item, field.shape, count_name) &&
         read_text_pad(object, spec, item, spec.pad) &&
         read_conversion(object, spec, item, item.conversion) && read_keep_raw(object, item) &&
         read_check(object, item, item.check);
}

// Appends the raw twin of recipe item `index`: the same field without its
// conversion, named name + "_raw".
bool add_raw_twin(std::size_t index, std::vector<ShapedField>& specs, std::vector<Ref>& count_names,
                  std::vector<LayoutItem>& items) {
  ShapedField twin = specs[index];
  twin.spec.twin = true;
  twin.spec.twin_of = static_cast<std::uint32_t>(index);
  twin.spec.offset.reset();
  Ref count_name = Ref::borrow(count_names[index].get());
  LayoutItem item;
  const LayoutItem& field = items[index];
  PyObject* name = PyUnicode_FromFormat("%U_raw", field.name.get());
  if (name == nullptr) return false;
  PyUnicode_InternInPlace(&name);
  item.name = Ref::steal(name);
  item.encoding_text = Ref::borrow(field.encoding_text.get());
  item.byte_order_text = Ref::borrow(field.byte_order_text.get());
  item.pad_unit = field.pad_unit;
  Ref quoted_name = Ref::steal(PyObject_Repr(item.name.get()));
  const char* text = quoted_name ? PyUnicode_AsUTF8(quoted_name.get()) : nullptr;
  if (text == nullptr) return false;
  // "recipe item 3 ('temp'), its keep_raw 'temp_raw': "
  item.context =
      concat(field.context.substr(0, field.context.size() - 2), ", its keep_raw ", text, ": ");
  specs.push_back(twin);
  count_names.push_back(std::move(count_name));
  items.push_back(std::move(item));
  return true;
}

// Resolves the items' "check" keys against the plan: where each check
// field is and the bytes it covers.
bool resolve_checks(LayoutData& data, const std::vector<ShapedField>& specs) {
  for (std::size_t i = 0; i < data.items.size(); ++i) {
    const LayoutItem& item = data.items[i];
    if (!item.check) continue;
    if (item.conversion) return refuse(item, "check: a check field has no conversion");
    if (specs[i].shape != FieldShape{}) return refuse(item, "check: a check field is one value");
    Result<PacketCheck> resolved =
        resolve_check(data.plan, i, item.check->checksum, item.check->start, item.check->stop);
    if (!resolved) return refuse(item, resolved.error().message);
    data.checks.push_back(std::move(*resolved));
  }
  if (data.checks.empty()) return true;
  for (const LayoutItem& item : data.items) {
    if (PyUnicode_CompareWithASCIIString(item.name.get(), kCheckFailedColumn) == 0) {
      return refuse(item, concat("a layout with a check gives unpack_many(errors='mask') a '",
                                 kCheckFailedColumn, "' column: no field may have that name"));
    }
  }
  return true;
}

LayoutData* build_layout(PyObject* recipe, PyObject* packet_length) {
  Ref items;
  if (!convert_recipe(recipe, items)) {
    prefix_argument_name("recipe");
    return nullptr;
  }
  const std::size_t recipe_items = static_cast<std::size_t>(PyList_GET_SIZE(items.get()));
  std::vector<ShapedField> specs;
  std::vector<Ref> count_names;
  auto data = std::make_unique<LayoutData>();
  if (!read_packet_length(packet_length, data->packet_length)) return nullptr;
  for (std::size_t i = 0; i < recipe_items; ++i) {
    // The list holds its own reference: user code run by a conversion may
    // shrink the caller's sequence, not this copy.
    Ref object = Ref::borrow(PyList_GET_ITEM(items.get(), static_cast<Py_ssize_t>(i)));
    specs.emplace_back();
    count_names.emplace_back();
    data->items.emplace_back();
    if (!read_item(object.get(), i, specs.back(), count_names.back(), data->items.back())) {
      return nullptr;
    }
  }
  // "keep_raw": the raw values too, as fields of their own (name_raw) after
  // the recipe's.
  for (std::size_t i = 0; i < recipe_items; ++i) {
    if (data->items[i].keep_raw && !add_raw_twin(i, specs, count_names, data->items)) {
      return nullptr;
    }
  }
  const std::size_t count = specs.size();
  data->packed_fields = recipe_items;
  data->names = Ref::steal(PyTuple_New(static_cast<Py_ssize_t>(count)));
  if (!data->names) return nullptr;
  for (std::size_t i = 0; i < count; ++i) {
    PyTuple_SET_ITEM(data->names.get(), static_cast<Py_ssize_t>(i),
                     Ref::borrow(data->items[i].name.get()).release());
  }
  if (!check_layout(specs, data->items, count_names)) return nullptr;
  const bool shaped = std::any_of(specs.begin(), specs.end(),
                                  [](const ShapedField& f) { return f.shape != FieldShape{}; });
  std::vector<FieldSpec> flat;
  if (!shaped) {
    for (const ShapedField& field : specs) flat.push_back(field.spec);
  }
  auto plan = shaped ? Plan::build(std::span<const ShapedField>(specs))
                     : Plan::build(std::span<const FieldSpec>(flat));
  if (!plan) {
    raise_item_failure(plan.error().error, data->items[plan.error().item]);
    return nullptr;
  }
  data->plan = std::move(*plan);
  // A time code's octets are read in order: a permuted or word byte order
  // does not suit it.
  for (std::size_t i = 0; i < count; ++i) {
    const LayoutItem& item = data->items[i];
    if (!item.conversion || item.conversion->conversion.kind != ConversionKind::TimeCode) continue;
    if (!specs[i].shape.plain()) {
      refuse(item,
             "convert: a time code's octets are read in order: a permuted or word byte "
             "order does not suit it");
      return nullptr;
    }
  }
  if (!resolve_checks(*data, specs)) return nullptr;
  return data.release();
}

// ---- The type's slots and methods -------------------------------------------

LayoutObject* as_layout(PyObject* self) { return reinterpret_cast<LayoutObject*>(self); }

PyObject* layout_new(PyTypeObject* type, PyObject* args, PyObject* kwargs) {
  return guarded([&]() -> PyObject* {
    static const char* keywords[] = {"recipe", "packet_length", nullptr};
    PyObject* recipe = nullptr;
    PyObject* packet_length = nullptr;
    if (!PyArg_ParseTupleAndKeywords(args, kwargs, "O|O:Layout", const_cast<char**>(keywords),
                                     &recipe, &packet_length)) {
      return nullptr;
    }
    std::unique_ptr<LayoutData> data(build_layout(recipe, packet_length));
    if (!data) return nullptr;
    PyObject* self = type->tp_alloc(type, 0);
    if (self == nullptr) return nullptr;
    as_layout(self)->data = data.release();
    return self;
  });
}

void layout_dealloc(PyObject* self) {
  PyTypeObject* type = Py_TYPE(self);
  delete as_layout(self)->data;
  type->tp_free(self);
  Py_DECREF(type);
}

PyObject* layout_unpack(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                        PyObject* kwnames) {
  return guarded([&]() -> PyObject* {
    MethodArguments<kUnpackSignature> arguments;
    if (!arguments.bind(args, nargs, kwnames)) return nullptr;
    BufferView packet;
    if (!packet.acquire(arguments.get<"packet">())) return nullptr;
    std::uint64_t offset_bits = 0;
    if (arguments.get<"offset_bits">() != nullptr &&
        !to_u64(arguments.get<"offset_bits">(), offset_bits))
      return nullptr;
    bool raw = false;
    if (!read_raw_flag(arguments.get<"raw">(), raw)) return nullptr;
    return unpack_packet(*as_layout(self)->data, packet.bytes(), offset_bits, packet.immutable(),
                         raw);
  });
}

PyObject* layout_pack(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  return guarded([&]() -> PyObject* {
    MethodArguments<kPackSignature> arguments;
    if (!arguments.bind(args, nargs, kwnames)) return nullptr;
    bool raw = false;
    if (!read_raw_flag(arguments.get<"raw">(), raw)) return nullptr;
    return pack_packet(*as_layout(self)->data, arguments.get<"values">(), raw);
  });
}

// The recipe the layout was built from (its own copy), for pickling.
PyObject* recipe_of(const LayoutData& data) {
  const std::span<const PlannedField> fields = data.plan.fields();
  Ref recipe = Ref::steal(PyList_New(0));
  if (!recipe) return nullptr;
  for (std::size_t i = 0; i < fields.size(); ++i) {
    const FieldSpec& spec = fields[i].spec;
    const LayoutItem& item = data.items[i];
    if (spec.twin) continue;  // the item's "keep_raw"
    Ref dict = Ref::steal(PyDict_New());
    Ref bits = Ref::steal(PyLong_FromUnsignedLong(spec.bits));
    if (!dict || !bits || PyDict_SetItemString(dict.get(), "name", item.name.get()) < 0 ||
        PyDict_SetItemString(dict.get(), "encoding", item.encoding_text.get()) < 0 ||
        PyDict_SetItemString(dict.get(), "bits", bits.get()) < 0 ||
        PyDict_SetItemString(dict.get(), "byte_order", item.byte_order_text.get()) < 0 ||
        PyDict_SetItemString(dict.get(), "reverse_bits", spec.reverse_bits ? Py_True : Py_False) <
            0) {
      return nullptr;
    }
    if (spec.offset) {
      Ref offset = Ref::steal(PyLong_FromUnsignedLongLong(*spec.offset));
      if (!offset || PyDict_SetItemString(dict.get(), "offset_bits", offset.get()) < 0) {
        return nullptr;
      }
    }
    const FieldShape& shape = fields[i].shape;
    Ref count;
    switch (shape.kind) {
      case CountKind::Single: break;
      case CountKind::Fixed: count = Ref::steal(PyLong_FromUnsignedLongLong(shape.fixed)); break;
      case CountKind::Counted: count = Ref::borrow(data.items[shape.count_item].name.get()); break;
      case CountKind::Rest: count = Ref::steal(PyUnicode_FromString("*")); break;
    }
    if (shape.kind != CountKind::Single &&
        (!count || PyDict_SetItemString(dict.get(), "count", count.get()) < 0)) {
      return nullptr;
    }
    if (shape.word_bits != 0) {
      Ref word = Ref::steal(PyLong_FromUnsignedLong(shape.word_bits));
      if (!word || PyDict_SetItemString(dict.get(), "word_bits", word.get()) < 0) return nullptr;
    }
    if (spec.pad != TextPad::None) {
      static constexpr const char* kPads[] = {"nul", "space", "leading_nul", "leading_space"};
      Ref pad = Ref::steal(PyUnicode_FromString(kPads[static_cast<int>(spec.pad) - 1]));
      if (!pad || PyDict_SetItemString(dict.get(), "pad", pad.get()) < 0) return nullptr;
    }
    if (item.conversion &&
        PyDict_SetItemString(dict.get(), "convert", item.conversion->canonical.get()) < 0) {
      return nullptr;
    }
    if (item.check && PyDict_SetItemString(dict.get(), "check", item.check->canonical.get()) < 0) {
      return nullptr;
    }
    if (item.keep_raw && PyDict_SetItemString(dict.get(), "keep_raw", Py_True) < 0) {
      return nullptr;
    }
    if (PyList_Append(recipe.get(), dict.get()) < 0) return nullptr;
  }
  return recipe.release();
}

PyObject* layout_reduce(PyObject* self, PyObject*) {
  return guarded([&]() -> PyObject* {
    const LayoutData& data = *as_layout(self)->data;
    Ref recipe = Ref::steal(recipe_of(data));
    if (!recipe) return nullptr;
    if (data.packet_length) {
      Ref length = Ref::steal(packet_length_dict(*data.packet_length));
      if (!length) return nullptr;
      return Py_BuildValue("(O(OO))", reinterpret_cast<PyObject*>(Py_TYPE(self)), recipe.get(),
                           length.get());
    }
    return Py_BuildValue("(O(O))", reinterpret_cast<PyObject*>(Py_TYPE(self)), recipe.get());
  });
}

// Layouts are immutable: a copy is the layout itself.
PyObject* layout_copy(PyObject* self, PyObject*) { return Ref::borrow(self).release(); }

bool same_conversion(const LayoutItem& a, const LayoutItem& b) {
  if (!a.conversion || !b.conversion) return !a.conversion && !b.conversion;
  return a.conversion->conversion == b.conversion->conversion;
}

bool same_check(const LayoutItem& a, const LayoutItem& b) {
  if (!a.check || !b.check) return !a.check && !b.check;
  const CheckAlgorithm& x = a.check->checksum->algorithm();
  const CheckAlgorithm& y = b.check->checksum->algorithm();
  return x.kind == y.kind && x.width == y.width && x.poly == y.poly && x.init == y.init &&
         x.refin == y.refin && x.refout == y.refout && x.xorout == y.xorout &&
         x.negate == y.negate && a.check->start == b.check->start && a.check->stop == b.check->stop;
}

bool same_fields(const LayoutData& a, const LayoutData& b) {
  const auto fa = a.plan.fields();
  const auto fb = b.plan.fields();
  if (fa.size() != fb.size()) return false;
  if (a.packet_length.has_value() != b.packet_length.has_value()) return false;
  if (a.packet_length) {
    const LengthField& x = *a.packet_length;
    const LengthField& y = *b.packet_length;
    if (x.offset_bits != y.offset_bits || x.bits != y.bits || x.adjust != y.adjust ||
        x.little_endian != y.little_endian) {
      return false;
    }
  }
  for (std::size_t i = 0; i < fa.size(); ++i) {
    const FieldSpec& x = fa[i].spec;
    const FieldSpec& y = fb[i].spec;
    if (x.row != y.row || x.bits != y.bits || x.offset != y.offset ||
        x.little_endian != y.little_endian || x.reverse_bits != y.reverse_bits || x.pad != y.pad ||
        fa[i].shape != fb[i].shape ||
        PyUnicode_Compare(a.items[i].name.get(), b.items[i].name.get()) != 0 ||
        !same_conversion(a.items[i], b.items[i]) || !same_check(a.items[i], b.items[i])) {
      return false;
    }
  }
  return true;
}

PyObject* layout_richcompare(PyObject* self, PyObject* other, int op) {
  if (Py_TYPE(other) != Py_TYPE(self) || (op != Py_EQ && op != Py_NE)) {
    Py_RETURN_NOTIMPLEMENTED;
  }
  const bool equal = same_fields(*as_layout(self)->data, *as_layout(other)->data);
  return Ref::borrow((equal == (op == Py_EQ)) ? Py_True : Py_False).release();
}

Py_hash_t layout_hash(PyObject* self) {
  const LayoutData& data = *as_layout(self)->data;
  const auto fields = data.plan.fields();
  std::uint64_t hash = 0xcbf29ce484222325ULL;
  auto mix = [&hash](std::uint64_t value) {
    hash ^= value + 0x9e3779b97f4a7c15ULL + (hash << 6) + (hash >> 2);
  };
  for (std::size_t i = 0; i < fields.size(); ++i) {
    const FieldSpec& spec = fields[i].spec;
    const Py_hash_t name_hash = PyObject_Hash(data.items[i].name.get());
    if (name_hash == -1) return -1;
    mix(static_cast<std::uint64_t>(name_hash));
    mix(static_cast<std::uint64_t>(spec.row - encoding_rows().data()));
    mix(spec.bits);
    mix(spec.offset ? *spec.offset + 1 : 0);
    mix((spec.little_endian ? 2u : 0u) | (spec.reverse_bits ? 1u : 0u));
    const FieldShape& shape = fields[i].shape;
    mix(static_cast<std::uint64_t>(shape.kind) | (std::uint64_t{shape.word_bits} << 8) |
        (std::uint64_t{shape.permuted_bytes} << 16));
    mix(shape.fixed ^ (shape.count_item << 20));
    const auto& conversion = data.items[i].conversion;
    mix(conversion ? static_cast<std::uint64_t>(conversion->conversion.kind) + 1 : 0);
    const auto& check = data.items[i].check;
    mix(check ? check->checksum->algorithm().poly + check->checksum->algorithm().width + 1 : 0);
  }
  if (data.packet_length) mix(data.packet_length->offset_bits ^ (data.packet_length->bits << 24));
  const auto result = static_cast<Py_hash_t>(hash);
  return result == -1 ? -2 : result;
}

PyObject* layout_repr(PyObject* self) {
  return guarded([&]() -> PyObject* {
    const LayoutData& data = *as_layout(self)->data;
    const auto fields = data.plan.fields();
    std::string text = concat("<vantrel.Layout: ", fields.size(), " field",
                              fields.size() == 1 ? "" : "s", ", ", data.plan.size_bits(), " bits");
    constexpr std::size_t kShown = 8;
    for (std::size_t i = 0; i < fields.size() && i < kShown; ++i) {
      const FieldSpec& spec = fields[i].spec;
      text += i == 0 ? ": " : ", ";
      Ref name = Ref::steal(PyObject_Repr(data.items[i].name.get()));
      const char* name_text = name ? PyUnicode_AsUTF8(name.get()) : nullptr;
      if (name_text == nullptr) return nullptr;
      text +=
          concat(name_text, " ", spec.row->name, " ", spec.bits, " bits at ", fields[i].position);
      switch (fields[i].shape.kind) {
        case CountKind::Single: break;
        case CountKind::Fixed: text += concat(" x", fields[i].shape.fixed); break;
        case CountKind::Counted:
          text +=
              concat(" x ", PyUnicode_AsUTF8(data.items[fields[i].shape.count_item].name.get()));
          break;
        case CountKind::Rest: text += " x rest"; break;
      }
      if (fields[i].segment != 0) text += " after the variable part";
      if (spec.little_endian) text += " little";
      if (spec.reverse_bits) text += " mirrored";
    }
    if (fields.size() > kShown) text += concat(", ... (", fields.size() - kShown, " more)");
    text += '>';
    return PyUnicode_FromStringAndSize(text.data(), static_cast<Py_ssize_t>(text.size()));
  });
}

PyObject* get_names(PyObject* self, void*) {
  return Ref::borrow(as_layout(self)->data->names.get()).release();
}
PyObject* get_size_bits(PyObject* self, void*) {
  return PyLong_FromUnsignedLongLong(as_layout(self)->data->plan.size_bits());
}
PyObject* get_size_bytes(PyObject* self, void*) {
  const std::uint64_t bits = as_layout(self)->data->plan.size_bits();
  return PyLong_FromUnsignedLongLong(bits / 8 + (bits % 8 != 0));
}

#define VANTREL_FASTCALL(function) \
  reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(function))

PyMethodDef layout_methods[] = {
    {"unpack", VANTREL_FASTCALL(layout_unpack), METH_FASTCALL | METH_KEYWORDS,
     "Decode one packet into a dict from field name to value.\n\n"
     "packet: any object with the buffer protocol (bytes, bytearray, memoryview,\n"
     "    mmap, a contiguous numpy uint8 array); it is read in place, not copied.\n"
     "offset_bits: where the layout starts in the packet, in bits from the most\n"
     "    significant bit of the first byte.\n\n"
     "Returns the same dict as unpack_parameters(packet, offset_bits, recipe).\n"
     "Raises ValueError when the packet is too short for the layout (naming its\n"
     "length, the bits needed and the first field outside it), or when a field\n"
     "does not decode (naming the recipe item and the decoder's message), or\n"
     "when a check field (\"check\" key) does not match its packet (naming\n"
     "the field, the value found and the value computed).\n"
     "Fields with a \"convert\" key give their engineering value (a float, a\n"
     "state name, a datetime); raw=True gives the field values instead."},
    {"pack", VANTREL_FASTCALL(layout_pack), METH_FASTCALL | METH_KEYWORDS,
     "Encode one packet from a mapping of field name to value.\n\n"
     "Returns the same bytes as pack_parameters(recipe) with each item's\n"
     "\"value\" taken from values[name]. Raises KeyError naming a field that\n"
     "values lacks, and ValueError naming the recipe item when a value cannot\n"
     "be encoded (with the message pack_parameters gives). Fields with a\n"
     "\"convert\" key take their engineering value where the conversion is\n"
     "invertible (time codes, state names, linear), else the raw value;\n"
     "raw=True takes raw values for every field. A check field (\"check\"\n"
     "key) left out of values, or given as None, is computed."},
    {"unpack_many", VANTREL_FASTCALL(layout_unpack_many), METH_FASTCALL | METH_KEYWORDS,
     kUnpackManyDoc},
    {"pack_many", VANTREL_FASTCALL(layout_pack_many), METH_FASTCALL | METH_KEYWORDS, kPackManyDoc},
    {"__reduce__", layout_reduce, METH_NOARGS, "Pickle support: rebuild from the recipe."},
    {"__copy__", layout_copy, METH_NOARGS, "A layout is immutable: its copy is itself."},
    {"__deepcopy__", layout_copy, METH_O, "A layout is immutable: its copy is itself."},
    {nullptr, nullptr, 0, nullptr},
};

PyGetSetDef layout_getset[] = {
    {"names", get_names, nullptr, "The field names, a tuple in recipe order.", nullptr},
    {"size_bits", get_size_bits, nullptr,
     "The smallest packet, in bits, that holds every field at offset 0.", nullptr},
    {"size_bytes", get_size_bytes, nullptr, "size_bits rounded up to whole bytes.", nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

constexpr const char* kLayoutDoc =
    "Layout(recipe, packet_length=None)\n--\n\n"
    "A recipe compiled once, to pack and unpack any number of packets.\n\n"
    "recipe is the list of dicts that pack_parameters and unpack_parameters\n"
    "take (\"value\" keys are ignored). It is read once and copied: later\n"
    "changes to the caller's list or dicts do not affect the layout. Every\n"
    "problem with the recipe is raised here, as the ValueError unpack_parameters\n"
    "gives, prefixed with the item's index and name, e.g.\n"
    "\"recipe item 3 ('temp'): KeyError: \\\"Recipe missing required field: 'bits'\\\"\".\n\n"
    "Layouts are immutable, compare equal when built from equal recipes, hash,\n"
    "pickle and copy, and may be shared between threads.";

}  // namespace

PyObject* create_layout_type() {
  // Each method's docstring opens with the signature its binder reads.
  static const std::string docs[] = {
      signature_docstring(kUnpackSignature, true, layout_methods[0].ml_doc),
      signature_docstring(kPackSignature, true, layout_methods[1].ml_doc),
      signature_docstring(kUnpackManySignature, true, layout_methods[2].ml_doc),
      signature_docstring(kPackManySignature, true, layout_methods[3].ml_doc),
  };
  for (std::size_t i = 0; i < std::size(docs); ++i) layout_methods[i].ml_doc = docs[i].c_str();
  PyType_Slot slots[] = {
      {Py_tp_new, reinterpret_cast<void*>(layout_new)},
      {Py_tp_dealloc, reinterpret_cast<void*>(layout_dealloc)},
      {Py_tp_repr, reinterpret_cast<void*>(layout_repr)},
      {Py_tp_hash, reinterpret_cast<void*>(layout_hash)},
      {Py_tp_richcompare, reinterpret_cast<void*>(layout_richcompare)},
      {Py_tp_methods, layout_methods},
      {Py_tp_getset, layout_getset},
      {Py_tp_doc, const_cast<char*>(kLayoutDoc)},
      {0, nullptr},
  };
  PyType_Spec spec = {"vantrel.Layout", sizeof(LayoutObject), 0, Py_TPFLAGS_DEFAULT, slots};
  return PyType_FromSpec(&spec);
}

}  // namespace vantrel
