"""The Python surface under atheris: arbitrary recipes, values, buffers and
offsets through every packet entry point (pack_parameters, unpack_parameters,
Layout and its methods, unpack_many, pack_many, split_packets), recipes with
conversions ("convert", well formed or not), and arbitrary arguments through
the 62 codec functions. Only the documented exceptions may come out; any
other exception, a crash or a sanitizer report is a finding.

    python fuzz/fuzz_python.py -max_total_time=60 fuzz/corpus/fuzz_python

Entry points that only some versions of the module have (compiled layouts,
batch packing and unpacking, packet splitting) are driven when present: each
is one function in TARGETS, guarded by hasattr, so a new entry point is one
more function there.
"""

import ctypes
import math
import mmap
import operator
import pickle
import runpy
import sys
from pathlib import Path

import atheris

import vantrel

# The failures every entry point documents. MemoryError is the interpreter's
# own when a recipe asks for a packet larger than memory.
DOCUMENTED = (ValueError, TypeError, KeyError, OverflowError, NotImplementedError, MemoryError)


def _panic_exception_type():
    try:
        vantrel.unpack_parameters(b"", 0, [_item("x", "unsigned", 8)])
    except BaseException as exc:  # noqa: BLE001 - the type is what is wanted
        return type(exc)
    raise AssertionError("a packet too short for its field must fault")


def _item(name, encoding, bits, byte_order="big", reverse_bits=False, **extra):
    return {
        "name": name,
        "encoding": encoding,
        "bits": bits,
        "byte_order": byte_order,
        "reverse_bits": reverse_bits,
        **extra,
    }


PANIC = _panic_exception_type()


def _encoding_names():
    """The encoding table's names, as tools/encoding_names.py reads them."""
    path = Path(__file__).resolve().parents[1] / "tools" / "encoding_names.py"
    return runpy.run_path(str(path))["encoding_names"]


encoding_names = _encoding_names()

# Every name of the encoding table, other spellings, and one unknown name.
ENCODINGS = [*encoding_names(), "UTF8", "Unsigned", "no_such_encoding"]
WIDTHS = [0, 1, 7, 8, 9, 15, 16, 24, 31, 32, 33, 63, 64, 65, 80, 127, 128, 129, 2**32, -1, 2**64]
OFFSETS = [0, 1, 3, 8, 13, 64, 100, 2**61, 2**64 - 1, 2**64, -1]
NAMES = ["a", "b", "c", "temperature", "", "\u00e9t\u00e9", "\ud800"]


class Draw:
    """Typed draws from the fuzzer's bytes."""

    def __init__(self, data):
        self.fdp = atheris.FuzzedDataProvider(data)

    def pick(self, options):
        return options[self.fdp.ConsumeIntInRange(0, len(options) - 1)]

    def chance(self, percent):
        return self.fdp.ConsumeIntInRange(0, 99) < percent

    def small(self, limit):
        return self.fdp.ConsumeIntInRange(0, limit)

    def integer(self):
        kind = self.small(5)
        if kind == 0:
            return self.fdp.ConsumeIntInRange(-(2**64), 2**65)
        if kind == 1:
            return self.pick([0, 1, -1, 2**63 - 1, -(2**63), 2**64 - 1, 2**64, 10**20, 9999])
        return self.fdp.ConsumeIntInRange(-300, 70000)

    def real(self):
        if self.chance(20):
            return self.pick([0.0, -0.0, 1e-40, 65520.0, 3.5e38, math.inf, -math.inf, math.nan])
        return self.fdp.ConsumeRegularFloat()

    def text(self):
        return self.fdp.ConsumeUnicodeNoSurrogates(self.small(40))

    def value(self):
        kind = self.small(9)
        if kind <= 2:
            return self.integer()
        if kind <= 4:
            return self.real()
        if kind <= 6:
            return self.text()
        return self.pick([None, b"bytes", True, [1], {"v": 1}, "\ud800", 1 + 2j])

    def buffer(self):
        data = self.fdp.ConsumeBytes(self.small(64))
        kind = self.small(6)
        if kind == 0:
            return bytearray(data)
        if kind == 1:
            return memoryview(data)
        if kind == 2 and data:
            # Writable memory the caller can change: an anonymous map.
            block = mmap.mmap(-1, len(data))
            block.write(data)
            return block
        if kind == 3:
            import numpy as np

            return np.frombuffer(bytearray(data), dtype=np.uint8)
        return data

    def hostile(self, value):
        """`value` behind a conversion that first empties every container the
        current input has built (recipes, items, value dicts, columns,
        rules), as callback code that mutates what is being read would."""
        return Hostile(value)

    def field_value(self, key):
        """A recipe key's value: usually well formed, sometimes anything,
        sometimes hostile."""
        if self.chance(4):
            return self.hostile(self.plain_field_value(key))
        return self.plain_field_value(key)

    def plain_field_value(self, key):
        if self.chance(85):
            if key == "name":
                return self.pick(NAMES)
            if key == "encoding":
                return self.pick(ENCODINGS)
            if key == "bits":
                return self.pick(WIDTHS) if self.chance(30) else self.small(140)
            if key == "byte_order":
                return self.pick(["big", "little", "BIG", "Little", "middle"])
            if key == "reverse_bits":
                return self.chance(50)
            if key == "offset_bits":
                return self.pick(OFFSETS) if self.chance(20) else self.small(300)
            return self.value()
        return self.value()

    def conversion(self):
        """A "convert" dict: usually well formed, sometimes with a wrong key,
        a wrong type or a hostile number."""
        kind = self.pick(["polynomial", "linear", "table", "enumeration", "cuc", "cds", "spline"])
        number = self.real if self.chance(20) else (lambda: self.small(40) - 20)
        if kind == "polynomial":
            convert = {"coefficients": _built([number() for _ in range(self.small(5))])}
            if self.chance(40):
                convert["invert"] = self.pick([True, False, 1, None])
            if self.chance(30):
                convert["raw_range"] = _built([number(), number() + self.small(3000)])
        elif kind == "linear":
            convert = {"slope": self.pick([number(), 0, 0.5]), "intercept": number()}
        elif kind == "table":
            raw = sorted({self.small(300) for _ in range(self.small(6))})
            points = [_built([x, number()]) for x in raw]
            if self.chance(10):
                points.reverse()
            convert = {
                "points": _built(points),
                "outside": self.pick(["error", "clamp", "extrapolate", "x"]),
            }
            if self.chance(40):
                convert["invert"] = self.chance(80)
        elif kind == "enumeration":
            states = _built(
                {
                    self.integer() if self.chance(20) else self.small(9): self.pick(NAMES)
                    for _ in range(self.small(5))
                }
            )
            convert = {"states": states}
            if self.chance(30):
                convert["default"] = self.pick(["?", 3, None])
        else:
            convert = {"scale": self.pick(["TAI", "UTC", "utc", "GPS"]), "p_field": self.chance(30)}
            if kind == "cuc":
                convert["coarse_octets"] = self.small(5)
                convert["fine_octets"] = self.small(4)
            else:
                convert["day_octets"] = self.pick([2, 3, 4])
                convert["submillisecond_octets"] = self.pick([0, 2, 4, 1])
            if self.chance(30):
                convert["epoch"] = self.pick(["2000-01-01", "1958-01-01T00:00:00", "2000-13-01", 5])
            if self.chance(20):
                convert["epoch_scale"] = self.pick(["TAI", "UTC"])
            if self.chance(10):
                convert["leap_seconds"] = _built(
                    [_built(["1972-01-01", 10]), _built(["2030-01-01", self.small(40)])]
                )
        convert["type"] = kind
        if self.chance(5):
            convert[self.pick(["coeffs", "invert", "raw_range", "scale"])] = self.value()
        if self.chance(3):
            convert[self.pick(list(convert))] = self.hostile(self.small(9))
        return _built(convert)

    def converted_field(self, convert):
        kind = convert.get("type") if isinstance(convert, dict) else None
        if kind in ("cuc", "cds"):
            octets = (
                convert.get("coarse_octets", 4) + convert.get("fine_octets", 0)
                if kind == "cuc"
                else convert.get("day_octets", 2) + 4 + convert.get("submillisecond_octets", 0)
            )
            bits = 8 * (octets + bool(convert.get("p_field")))
            return {
                "encoding": "unsigned",
                "bits": bits,
                "byte_order": "big",
                "reverse_bits": False,
            }
        encoding = self.pick(["unsigned", "twos_complement", "ieee754_f32", "packed_bcd"])
        return {
            "encoding": encoding,
            "bits": self.pick([4, 8, 12, 16, 32, 64]),
            "reverse_bits": False,
        }

    def adjust(self):
        """A length adjustment: small, or at or near either end of int64
        (and now and then just past one)."""
        if self.chance(70):
            return self.small(9)
        return self.pick([-(2**63), 2**63 - 1, -(2**62), 2**62, -(2**63) - 1, 2**63]) + (
            self.small(4) - 2 if self.chance(50) else 0
        )

    def packet_length(self):
        if not self.chance(20):
            return None
        length = {
            "offset_bits": self.small(40),
            "bits": self.pick([8, 16, 0, 32, 48, 63, 64, 65]),
            "adjust": self.adjust(),
        }
        if self.chance(20):
            length["byte_order"] = self.pick(["big", "little", "middle"])
        return length

    def recipe(self):
        items = []
        for _ in range(self.small(6)):
            if self.chance(3):
                items.append(self.value())  # not a dict at all
                continue
            item = {}
            for key in ("name", "encoding", "bits", "byte_order", "reverse_bits"):
                if not self.chance(3):
                    item[key] = self.field_value(key)
            if self.chance(30):
                item["offset_bits"] = self.field_value("offset_bits")
            if self.chance(15):
                # Layout-only keys: a fixed count, an earlier field's name, the
                # rest of the packet, or anything; a word or a permutation.
                earlier = [i.get("name") for i in items if isinstance(i, dict)]
                item["count"] = self.pick(
                    [self.small(9), "*", self.pick(earlier or ["n"]), self.value()]
                )
            if self.chance(5):
                item["word_bits"] = self.pick([16, 32, 8, self.value()])
                if self.chance(40):
                    item["word_offset_bits"] = self.pick(
                        [self.small(9) * 8, self.field_value("offset_bits"), self.value()]
                    )
            if self.chance(5):
                item["byte_order"] = self.pick(["21", "2143", "4321", "78563412", "12", "11"])
            if self.chance(15):
                item["convert"] = self.conversion() if self.chance(95) else self.value()
                if self.chance(80):
                    # Usually a field that suits it, so that the layout is built.
                    item.update(self.converted_field(item["convert"]))
            if self.chance(80):
                item["value"] = self.field_value("value")
            items.append(_built(item))
        if self.chance(3):
            return tuple(items)
        return _built(items)


def check_pack_parameters(draw):
    recipe = draw.recipe()
    packet = vantrel.pack_parameters(recipe)
    assert isinstance(packet, bytes)


def check_unpack_parameters(draw):
    recipe = draw.recipe()
    offset = draw.pick(OFFSETS) if draw.chance(20) else draw.small(80)
    buffer = draw.buffer()
    try:
        values = vantrel.unpack_parameters(buffer, offset, recipe)
    except PANIC:
        return  # a packet too short for a field
    assert isinstance(values, dict)


def check_round_trip(draw):
    recipe = draw.recipe()
    packet = vantrel.pack_parameters(recipe)
    try:
        vantrel.unpack_parameters(packet, 0, recipe)
    except PANIC:
        # Packing sizes the packet by the largest end; a zero-width field
        # past every other field may still start beyond it.
        pass


def check_codec_function(draw):
    name = draw.pick(vantrel.__all__)
    function = getattr(vantrel, name)
    arguments = []
    for _ in range(draw.small(3)):
        kind = draw.small(5)
        if kind == 0:
            arguments.append(draw.buffer())
        elif kind == 1:
            arguments.append(draw.text())
        elif kind == 2:
            arguments.append(draw.real())
        elif kind == 3:
            arguments.append(draw.chance(50))
        else:
            arguments.append(draw.integer())
    try:
        function(*arguments)
    except PANIC:
        if name != "unpack_parameters":
            raise


def check_layout(draw):
    recipe = draw.recipe()
    layout = vantrel.Layout(recipe)
    names, size = layout.names, layout.size_bytes
    assert isinstance(names, tuple) and size == (layout.size_bits + 7) // 8
    assert pickle.loads(pickle.dumps(layout)) == layout
    hash(layout)
    values = _built({})
    for item in recipe if isinstance(recipe, list) else []:
        if isinstance(item, dict) and "value" in item and isinstance(item.get("name"), str):
            values[item["name"]] = item["value"]
    raw = draw.chance(20)
    if draw.chance(50):
        packet = layout.pack(values, raw=raw)
        assert isinstance(packet, bytes)
    else:
        offset = draw.pick(OFFSETS) if draw.chance(20) else draw.small(40)
        assert isinstance(layout.unpack(draw.buffer(), offset, raw=raw), dict)


def check_unpack_many(draw):
    layout = vantrel.Layout(draw.recipe(), packet_length=draw.packet_length())
    buffer = draw.buffer()
    keywords = {}
    if draw.chance(20):
        keywords["lengths"] = [draw.small(40) for _ in range(draw.small(6))]
    if draw.chance(40):
        keywords["stride"] = (
            draw.pick([0, 1, 3, 8, 64, -1, 2**63]) if draw.chance(30) else draw.small(20)
        )
    if draw.chance(40):
        keywords["offsets"] = _built(
            [
                draw.pick([0, -1, 2**63, 2**64]) if draw.chance(10) else draw.small(70)
                for _ in range(draw.small(6))
            ]
        )
        if keywords["offsets"] and draw.chance(10):
            keywords["offsets"][0] = draw.hostile(keywords["offsets"][0])
    if draw.chance(30):
        keywords["count"] = draw.pick([0, -1, 2**40]) if draw.chance(20) else draw.small(10)
    if draw.chance(40):
        keywords["errors"] = draw.pick(["raise", "mask", "ignore"])
    if draw.chance(20):
        keywords["raw"] = draw.pick([True, False, 1])
    if draw.chance(10):
        keywords["output"] = "arrow"
    columns = layout.unpack_many(buffer, **keywords)
    if keywords.get("output") == "arrow":
        assert len(columns) == len(set(layout.names))
        return
    assert isinstance(columns, dict)
    for column in columns.values():
        if isinstance(column, vantrel.RaggedColumn):
            entries = column.to_list()
            assert len(entries) == len(column) == column.offsets.size - 1
            schema, array = column.__arrow_c_array__()
            del column, schema, array  # the capsules release what they export


def check_packet_length_extremes(draw):
    """Packets whose length field is wide and whose adjustment lies near an
    end of int64: what pack writes, split_packets frames and unpack_many and
    unpack read whole; a buffer cut anywhere masks exactly the cut packets."""
    bits = draw.pick([64, 63, 48, 33, 16, 8])
    # Either anywhere, or so that length fields near the top of the field's
    # range give short packets.
    adjust = draw.adjust() if draw.chance(50) else -(2**bits) + 64 + draw.small(16)
    adjust = max(-(2**63), min(2**63 - 1, adjust))
    byte_order = draw.pick(["big", "little"]) if bits % 8 == 0 else "big"
    layout = vantrel.Layout(
        [_item("length", "unsigned", bits, byte_order), _item("data", "unsigned", 8, count="*")],
        packet_length={"offset_bits": 0, "bits": bits, "adjust": adjust, "byte_order": byte_order},
    )
    packets, values = [], []
    for _ in range(draw.small(4)):
        data = list(draw.fdp.ConsumeBytes(draw.small(6)))
        try:
            packets.append(layout.pack({"data": data}))
        except ValueError:
            continue  # a length this field and adjustment cannot express
        values.append(data)
    stream = b"".join(packets)
    framed = vantrel.split_packets(
        stream, length_offset_bits=0, length_bits=bits, length_adjust=adjust, byte_order=byte_order
    )
    starts = [0]
    for packet in packets:
        starts.append(starts[-1] + len(packet))
    assert list(framed) == starts[:-1]
    columns = layout.unpack_many(stream, offsets=framed, errors="mask")
    for k, packet in enumerate(packets):
        assert columns["data"][k].tolist() == list(layout.unpack(packet)["data"])
        assert columns["data"][k].tolist() == values[k]
    assert columns["data"].mask is None
    if stream:
        kept = draw.small(len(stream) - 1)
        cut = layout.unpack_many(stream[:kept], offsets=framed, errors="mask")
        whole = [start + len(p) <= kept for start, p in zip(starts, packets)]
        mask = cut["data"].mask
        assert [bool(m) for m in (mask if mask is not None else [False] * len(whole))] == [
            not w for w in whole
        ]


_BUILT = []  # the containers of the current input, for Hostile to empty


def _built(container):
    _BUILT.append(container)
    return container


class Hostile:
    """A value whose conversions (__index__, __float__, __str__, __bool__,
    __len__) empty every container of the current input first."""

    def __init__(self, value):
        self.value = value

    def _empty(self):
        for container in _BUILT:
            container.clear()

    def __index__(self):
        self._empty()
        return operator.index(self.value)

    def __float__(self):
        self._empty()
        return float(self.value)

    def __str__(self):
        self._empty()
        return str(self.value)

    def __bool__(self):
        self._empty()
        return bool(self.value)

    def __len__(self):
        self._empty()
        return len(self.value)


class _PyBuffer(ctypes.Structure):
    _fields_ = [
        ("buf", ctypes.c_void_p),
        ("obj", ctypes.c_void_p),
        ("len", ctypes.c_ssize_t),
        ("itemsize", ctypes.c_ssize_t),
        ("readonly", ctypes.c_int),
        ("ndim", ctypes.c_int),
        ("format", ctypes.c_char_p),
        ("shape", ctypes.POINTER(ctypes.c_ssize_t)),
        ("strides", ctypes.POINTER(ctypes.c_ssize_t)),
        ("suboffsets", ctypes.c_void_p),
        ("internal", ctypes.c_void_p),
    ]


_KEEP_ALIVE = []  # memory behind the foreign columns of the current input


def foreign_column(draw, rows):
    """A memoryview with any format letter and item size, as exporters other
    than numpy give them ('<l' of 4 bytes, say)."""
    itemsize = draw.pick([1, 2, 4, 8])
    fmt = draw.pick(["<", ">", "=", "@", "!", ""]).encode() + draw.pick(
        [bytes([c]) for c in b"bBhHiIlLqQefd?x"]
    )
    raw = draw.fdp.ConsumeBytes(rows * itemsize).ljust(rows * itemsize, b"\0")
    memory = ctypes.create_string_buffer(raw, max(len(raw), 1))
    shape = (ctypes.c_ssize_t * 1)(rows)
    strides = (ctypes.c_ssize_t * 1)(itemsize)
    view = _PyBuffer(
        ctypes.addressof(memory), None, len(raw), itemsize, 1, 1, fmt, shape, strides, None, None
    )
    make = ctypes.pythonapi.PyMemoryView_FromBuffer
    make.restype, make.argtypes = ctypes.py_object, [ctypes.POINTER(_PyBuffer)]
    _KEEP_ALIVE.extend([memory, shape, strides, fmt])
    return make(ctypes.byref(view))


def check_pack_many(draw):
    import numpy as np

    recipe = draw.recipe()
    layout = vantrel.Layout(recipe)
    rows = draw.small(5)
    columns = {}
    for name in layout.names:
        kind = draw.small(4)
        if kind == 0:
            columns[name] = _built(
                [
                    draw.hostile(draw.value()) if draw.chance(5) else draw.value()
                    for _ in range(rows)
                ]
            )
        elif kind == 1 and draw.chance(30):
            columns[name] = foreign_column(draw, rows)
        elif kind == 1:
            dtype = draw.pick(
                ["uint8", "int16", "int64", "uint64", "float32", "float64", "bool"]
                + [">u2", ">i4", "<f2", ">f8", ">u8", "int8"]
            )
            columns[name] = np.frombuffer(
                draw.fdp.ConsumeBytes(rows * np.dtype(dtype).itemsize).ljust(
                    rows * np.dtype(dtype).itemsize, b"\0"
                ),
                dtype=dtype,
            )
        elif kind == 2:
            columns[name] = np.array([draw.text() for _ in range(rows)], dtype=object)
        # kind 3: the column is missing
    if draw.chance(10):
        columns["unknown"] = [1] * rows
    packed = layout.pack_many(columns, raw=draw.chance(20))
    assert isinstance(packed, bytes)


def framing_rules(draw):
    """Validity rules, usually well formed, sometimes not, sometimes hostile."""
    fields = _built([])
    for _ in range(draw.small(2)):
        values = _built([draw.small(7) if draw.chance(90) else draw.value() for _ in range(3)])
        field = _built({"offset_bits": draw.small(40), "bits": draw.small(17), "values": values})
        if draw.chance(10):
            field[draw.pick(["bits", "offset_bits"])] = draw.hostile(draw.small(16))
        fields.append(field)
    rules = _built({"fields": fields})
    for key in ("min_length", "max_length", "confirm"):
        if draw.chance(40):
            rules[key] = draw.small(300) if draw.chance(90) else draw.hostile(draw.small(9))
    if draw.chance(5):
        rules[draw.pick(["field", "maximum"])] = 1
    return rules


def check_split_packets(draw):
    stream = draw.buffer() if draw.chance(50) else draw.fdp.ConsumeBytes(draw.small(400))
    if draw.chance(50):
        framed = vantrel.split_packets(
            stream,
            length_offset_bits=draw.small(40),
            length_bits=draw.small(32),
            length_adjust=draw.small(10) - 3,
            byte_order=draw.pick(["big", "little"]),
            errors=draw.pick(["report", "report", "raise", "keep"]),
            rules=framing_rules(draw) if draw.chance(70) else None,
        )
        if isinstance(framed, tuple):
            pieces = sorted(
                [(int(o), int(o) + int(n)) for o, n in zip(framed.offsets, framed.lengths)]
                + [(s.start, s.stop) for s in framed.skipped]
            )
            position = 0
            for start, stop in pieces:
                assert start == position and stop > start
                position = stop
            assert position == len(memoryview(stream).cast("B"))
        return
    offsets = vantrel.split_packets(
        stream,
        length_offset_bits=draw.pick([0, 32, 2**63, -1]) if draw.chance(10) else draw.small(40),
        length_bits=draw.pick([0, 65, 2**32, -1]) if draw.chance(10) else draw.small(32),
        length_adjust=draw.pick([-(2**63), 2**63, -1]) if draw.chance(10) else draw.small(10) - 3,
        byte_order=draw.pick(["big", "little", "middle"]),
    )
    assert len(offsets) == 0 or (int(offsets[0]) == 0 and all(offsets[1:] > offsets[:-1]))


TARGETS = [check_pack_parameters, check_unpack_parameters, check_round_trip, check_codec_function]
if hasattr(vantrel, "Layout"):
    TARGETS.append(check_layout)
    if hasattr(vantrel.Layout, "unpack_many"):
        TARGETS += [check_unpack_many, check_pack_many]
if hasattr(vantrel, "split_packets"):
    TARGETS.append(check_split_packets)
    if hasattr(vantrel, "Layout"):
        TARGETS.append(check_packet_length_extremes)


def TestOneInput(data):
    _KEEP_ALIVE.clear()
    _BUILT.clear()
    draw = Draw(data)
    target = draw.pick(TARGETS)
    try:
        target(draw)
    except DOCUMENTED:
        pass


def main():
    # Coverage of this harness's own branches (which recipe shapes and
    # outcomes were reached) guides the search; the module is native code.
    atheris.instrument_all()
    atheris.Setup(sys.argv, TestOneInput)
    atheris.Fuzz()


if __name__ == "__main__":
    main()
