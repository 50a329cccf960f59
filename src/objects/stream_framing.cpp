// split_packets: the start offsets of a stream of variable-length packets.
#include <cstring>
#include <optional>
#include <vector>

#include "binding/buffer_view.hpp"
#include "binding/call_frame.hpp"
#include "binding/convert.hpp"
#include "binding/method_args.hpp"
#include "objects/layout_columns.hpp"
#include "objects/numpy_support.hpp"
#include "placement/framing.hpp"

namespace vantrel {

namespace {

// ---- split_packets ----------------------------------------------------------

constexpr MethodSignature<5> kSplitSignature{"split_packets",
                                             {{"buffer", true},
                                              {"length_offset_bits", true},
                                              {"length_bits", true},
                                              {"length_adjust", false},
                                              {"byte_order", false}},
                                             1};

PyObject* split_packets(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  return guarded([&]() -> PyObject* {
    PyObject* slots[5];
    if (!bind(kSplitSignature, args, nargs, kwnames, slots)) return nullptr;
    LengthField length{};
    std::uint32_t bits = 0;
    if (!to_u64(slots[1], length.offset_bits)) {
      prefix_argument_name("length_offset_bits");
      return nullptr;
    }
    if (!to_u32(slots[2], bits)) {
      prefix_argument_name("length_bits");
      return nullptr;
    }
    if (bits < 1 || bits > 64) {
      PyErr_Format(PyExc_ValueError, "length_bits must be from 1 to 64, not %u", bits);
      return nullptr;
    }
    length.bits = bits;
    if (length.offset_bits > (std::uint64_t{1} << 60)) {
      PyErr_SetString(PyExc_ValueError, "length_offset_bits is beyond any packet");
      return nullptr;
    }
    if (slots[3] != nullptr && !to_i64(slots[3], length.adjust)) {
      prefix_argument_name("length_adjust");
      return nullptr;
    }
    if (slots[4] != nullptr) {
      const bool big =
          PyUnicode_Check(slots[4]) && PyUnicode_CompareWithASCIIString(slots[4], "big") == 0;
      length.little_endian =
          PyUnicode_Check(slots[4]) && PyUnicode_CompareWithASCIIString(slots[4], "little") == 0;
      if (!big && !length.little_endian) {
        PyErr_Format(PyExc_ValueError, "byte_order must be 'big' or 'little', not %R", slots[4]);
        return nullptr;
      }
    }
    if (numpy_module() == nullptr) return nullptr;
    BufferView view;
    if (!view.acquire(slots[0])) return nullptr;
    std::optional<Result<std::vector<std::uint64_t>>> framed;
    without_gil([&] { framed = split_stream(view.bytes(), length); });
    if (!*framed) {
      raise_error(framed->error());
      return nullptr;
    }
    const std::vector<std::uint64_t>& starts = **framed;
    Ref offsets = empty_array(starts.size(), "int64");
    WritableView out;
    if (!offsets || !out.acquire(offsets.get())) return nullptr;
    if (!starts.empty())
      std::memcpy(out.data(), starts.data(), starts.size() * sizeof(std::uint64_t));
    return offsets.release();
  });
}

PyMethodDef split_packets_definition = {
    "split_packets", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(&split_packets)),
    METH_FASTCALL | METH_KEYWORDS,
    "split_packets(buffer, *, length_offset_bits, length_bits, length_adjust=0, "
    "byte_order='big')\n--\n\n"
    "Find where each packet of a stream of variable-length packets starts.\n\n"
    "Every packet's total length in bytes is the unsigned field of length_bits\n"
    "bits at length_offset_bits from its first bit, plus length_adjust. For\n"
    "CCSDS space packets: length_offset_bits=32, length_bits=16, length_adjust=7.\n\n"
    "buffer: any object with the buffer protocol, read in place.\n"
    "byte_order: 'big' or 'little', the order of the length field's bytes.\n\n"
    "Returns a numpy int64 array of the packets' start offsets, for\n"
    "Layout.unpack_many(buffer, offsets=...). Packets multiplexed by an\n"
    "identifier are selected with numpy: decode the header of every packet\n"
    "with a header layout, then pass offsets[mask] to each packet type's layout.\n\n"
    "Raises ValueError naming the packet and its offset when the stream ends\n"
    "inside a packet (a truncated final packet is reported, not dropped) or a\n"
    "packet's total length is less than one byte. Needs numpy."};

}  // namespace

PyObject* create_split_packets(PyObject* module, PyObject* module_name) {
  return PyCFunction_NewEx(&split_packets_definition, module, module_name);
}

}  // namespace vantrel
