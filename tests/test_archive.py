"""Whole archives: unpack_many and pack_many against the per-packet methods,
and split_packets on variable-length streams."""

import math
import subprocess
import sys
import textwrap
import threading

import pytest
from hypothesis import given, settings
from hypothesis import strategies as st

import vantrel
from recipe_helpers import FLOAT_WIDTHS, fields, item, layout_ready, positions

np = pytest.importorskip("numpy")
try:
    import pyarrow as pa
except ImportError:
    pa = None


def same_value(element, value):
    if isinstance(value, float):
        return float(element) == value or (math.isnan(float(element)) and math.isnan(value))
    return element == value and type(value)(element) == value


def single_field_outcome(entry, position, buffer, start):
    """The value of one field decoded on its own, or None when it fails."""
    alone = vantrel.Layout([dict(entry, offset_bits=position)])
    try:
        return ("ok", alone.unpack(buffer, 8 * start)[entry["name"]])
    except ValueError:
        return None


@st.composite
def archives(draw):
    recipe = layout_ready(
        draw(st.lists(fields(names=("a", "b", "c", "d", "e")), min_size=1, max_size=5))
    )
    layout = vantrel.Layout(recipe)
    if draw(st.booleans()):
        stride = draw(st.integers(max(layout.size_bytes, 1), layout.size_bytes + 4))
        count = draw(st.integers(0, 6))
        buffer = draw(st.binary(min_size=stride * count, max_size=stride * count))
        starts = [i * stride for i in range(count)]
        call = {"stride": stride}
    else:
        buffer = draw(st.binary(max_size=64))
        starts = draw(st.lists(st.integers(0, len(buffer) + 2), max_size=6))
        call = {"offsets": starts}
    return recipe, layout, buffer, starts, call


@settings(max_examples=300)
@given(archives())
def test_unpack_many_matches_unpack(archive):
    recipe, layout, buffer, starts, call = archive
    per_packet = []
    for start in starts:
        try:
            per_packet.append(layout.unpack(buffer, 8 * start))
        except ValueError as exc:
            per_packet.append(exc)
    failures = [i for i, result in enumerate(per_packet) if isinstance(result, ValueError)]
    if failures:
        first = failures[0]
        with pytest.raises(ValueError) as info:
            layout.unpack_many(buffer, **call)
        assert str(info.value) == f"packet {first} at byte {starts[first]}: {per_packet[first]}"
        assert isinstance(info.value.__cause__, ValueError)
    else:
        columns = layout.unpack_many(buffer, **call)
        assert list(columns) == list(dict.fromkeys(entry["name"] for entry in recipe))
        for name, column in columns.items():
            assert len(column) == len(starts)
            for element, values in zip(column, per_packet):
                assert same_value(element, values[name])

    # errors="mask": an entry is masked exactly when its field fails on its own.
    masked = layout.unpack_many(buffer, errors="mask", **call)
    last_item = {entry["name"]: (entry, pos) for entry, pos in zip(recipe, positions(recipe))}
    for name, (entry, position) in last_item.items():
        column = masked[name]
        assert isinstance(column, np.ma.MaskedArray)
        for i, start in enumerate(starts):
            alone = single_field_outcome(entry, position, buffer, start)
            assert bool(np.ma.getmaskarray(column)[i]) == (alone is None)
            if alone is not None:
                assert same_value(column.data[i], alone[1])


NUMERIC = ["unsigned", "twos_complement", "ieee754_f16", "ieee754_f32", "ieee754_f64"]


@st.composite
def packets_with_lengths(draw):
    """Numeric fields of either byte order at any bit, in packets at offsets
    with lengths: most packets hold the layout, some may not, and a length
    may run past the buffer."""
    recipe = []
    for name in ("a", "b", "c", "d"):
        encoding = draw(st.sampled_from(NUMERIC))
        width = FLOAT_WIDTHS.get(encoding)
        bits = width or draw(st.integers(1, 64))
        order = draw(st.sampled_from(["big", "little"]))
        recipe.append(item(name, encoding, bits, order, offset_bits=draw(st.integers(0, 40))))
    layout = vantrel.Layout(recipe)
    buffer = draw(st.binary(min_size=0, max_size=120))
    starts = draw(st.lists(st.integers(0, len(buffer) + 1), max_size=8))
    lengths = [
        draw(st.integers(0, len(buffer) - start + 2))
        if draw(st.integers(0, 3)) == 0
        else max(layout.size_bytes, draw(st.integers(0, 20)))
        for start in starts
    ]
    return recipe, layout, buffer, starts, lengths


@settings(max_examples=300)
@given(packets_with_lengths())
def test_packets_with_lengths_decode_as_each_packet_alone(archive):
    """Each packet given a length is its own bytes: a field past its end, or a
    packet past the buffer's end, is masked; numpy and Arrow agree."""
    recipe, layout, buffer, starts, lengths = archive
    masked = layout.unpack_many(buffer, offsets=starts, lengths=lengths, errors="mask")
    arrow = layout.unpack_many(
        buffer, offsets=starts, lengths=lengths, errors="mask", output="arrow"
    )
    table = pa.table(arrow) if pa is not None else None
    for entry, position in zip(recipe, positions(recipe)):
        name = entry["name"]
        for i, (start, length) in enumerate(zip(starts, lengths)):
            packet = buffer[start : start + length]
            whole = start + length <= len(buffer)
            alone = single_field_outcome(entry, position, packet, 0) if whole else None
            assert bool(np.ma.getmaskarray(masked[name])[i]) == (alone is None)
            value = table.column(name)[i].as_py() if table is not None else None
            if alone is None:
                assert table is None or value is None
            else:
                assert same_value(masked[name].data[i], alone[1])
                assert table is None or same_value(value, alone[1])


def test_column_types():
    layout = vantrel.Layout(
        [
            item("u3", "unsigned", 3),
            item("u9", "unsigned", 9),
            item("u33", "unsigned", 33),
            item("s8", "twos_complement", 8),
            item("s17", "sign_magnitude", 17),
            item("bcd", "packed_bcd", 16),
            item("h", "ieee754_f16", 16),
            item("f", "ieee754_f32", 32),
            item("d", "ieee754_f64", 64),
            item("t", "latin1", 16),
        ]
    )
    columns = layout.unpack_many(b"")
    assert {name: str(column.dtype) for name, column in columns.items()} == {
        "u3": "uint8",
        "u9": "uint16",
        "u33": "uint64",
        "s8": "int8",
        "s17": "int32",
        "bcd": "int16",
        "h": "float32",
        "f": "float32",
        "d": "float64",
        "t": "object",
    }
    assert all(len(column) == 0 for column in columns.values())


LAYOUT = vantrel.Layout(
    [
        item("apid", "unsigned", 11),
        item("temperature", "twos_complement", 13),
        item("reading", "packed_bcd", 8),
        item("voltage", "ieee754_f32", 32, "little"),
        item("mode", "us_ascii", 32),
    ]
)
ROWS = {
    "apid": np.array([1, 2, 2047, 0], dtype=np.uint16),
    "temperature": [-4096, -1, 0, 4095],
    "reading": np.array([0, 12, 99, 45]),
    "voltage": np.array([1.5, -0.0, float("inf"), 3.25], dtype=np.float32),
    "mode": ["SAFE", "SAFE", "OPS", ""],
}


def test_pack_many_is_pack_of_each_row_and_round_trips():
    archive = LAYOUT.pack_many(ROWS)
    rows = [{name: values[i] for name, values in ROWS.items()} for i in range(4)]
    assert archive == b"".join(LAYOUT.pack(row) for row in rows)
    columns = LAYOUT.unpack_many(archive)
    for name, values in ROWS.items():
        expected = [value.rjust(4, "\0") for value in values] if name == "mode" else values
        assert list(columns[name]) == list(expected)


def test_pack_many_errors_name_row_and_field():
    with pytest.raises(KeyError) as missing:
        LAYOUT.pack_many({name: v for name, v in ROWS.items() if name != "reading"})
    assert missing.value.args == ("reading",)
    with pytest.raises(ValueError, match="column 'mode' has 3 values"):
        LAYOUT.pack_many(dict(ROWS, mode=["A", "B", "C"]))
    with pytest.raises(ValueError) as bad:
        LAYOUT.pack_many(dict(ROWS, apid=np.array([1, 2, 4096, 0])))
    assert str(bad.value) == (
        "row 2: recipe item 0 ('apid'): ValueError: Value 4096 is too large for 11 bits"
    )
    assert isinstance(bad.value.__cause__, ValueError)
    with pytest.raises(ValueError, match="row 1: recipe item 0 .* OverflowError"):
        LAYOUT.pack_many(dict(ROWS, apid=np.array([1, -2, 3, 0])))
    with pytest.raises(ValueError, match="row 0: recipe item 4 .* TypeError"):
        LAYOUT.pack_many(dict(ROWS, mode=[1, 2, 3, 4]))


@settings(max_examples=100)
@given(st.data())
def test_pack_many_typed_and_object_columns_agree(data):
    """Typed arrays take a fast path; lists go through the objects' own conversions."""
    count = data.draw(st.integers(0, 5))
    signed = data.draw(st.lists(st.integers(-(2**12), 2**12 - 1), min_size=count, max_size=count))
    floats = data.draw(
        st.lists(st.floats(width=32), min_size=count, max_size=count), label="floats"
    )
    layout = vantrel.Layout([item("s", "twos_complement", 13), item("f", "ieee754_f32", 32)])
    as_lists = layout.pack_many({"s": signed, "f": floats})
    for int_type in (np.int16, np.int32, np.int64):
        typed = {"s": np.array(signed, dtype=int_type), "f": np.array(floats, dtype=np.float32)}
        assert layout.pack_many(typed) == as_lists


def test_buffer_sizes_counts_and_offsets():
    archive = LAYOUT.pack_many(ROWS)
    size = LAYOUT.size_bytes
    with pytest.raises(ValueError, match=r"4 whole packets of 12 bytes and 3 bytes left over"):
        LAYOUT.unpack_many(archive + b"abc")
    assert list(LAYOUT.unpack_many(archive + b"abc", count=4)["apid"]) == [1, 2, 2047, 0]
    assert list(LAYOUT.unpack_many(bytearray(archive), count=2)["apid"]) == [1, 2]
    offsets = np.array([3 * size, 0], dtype=np.uint32)
    assert list(LAYOUT.unpack_many(memoryview(archive), offsets=offsets)["apid"]) == [0, 1]
    assert list(LAYOUT.unpack_many(archive, offsets=[])["apid"]) == []
    padded = b"".join(archive[i * size : (i + 1) * size] + b"\xee" for i in range(4))
    assert list(LAYOUT.unpack_many(padded, stride=size + 1)["reading"]) == [0, 12, 99, 45]
    with pytest.raises(ValueError, match="cannot be negative"):
        LAYOUT.unpack_many(archive, offsets=[0, -1])
    with pytest.raises(TypeError, match="integer byte offsets"):
        LAYOUT.unpack_many(archive, offsets=[0.5])
    with pytest.raises(TypeError, match="cannot be combined"):
        LAYOUT.unpack_many(archive, offsets=[0], stride=3)
    with pytest.raises(ValueError, match="'raise' or 'mask'"):
        LAYOUT.unpack_many(archive, errors="ignore")
    with pytest.raises(ValueError, match="packet 1 at byte 40: packet of 48 bytes"):
        LAYOUT.unpack_many(archive, offsets=[0, 40])


def test_mask_keeps_the_rest_of_a_corrupt_packet():
    archive = bytearray(LAYOUT.pack_many(ROWS))
    archive[LAYOUT.size_bytes + 3] = 0xAB  # packet 1's BCD byte: not a decimal digit
    with pytest.raises(ValueError) as info:
        LAYOUT.unpack_many(archive)
    assert str(info.value).startswith("packet 1 at byte 12: recipe item 2 ('reading'): ValueError")
    columns = LAYOUT.unpack_many(archive, errors="mask")
    assert list(np.ma.getmaskarray(columns["reading"])) == [False, True, False, False]
    assert not np.ma.getmaskarray(columns["apid"]).any()
    assert list(columns["apid"]) == [1, 2, 2047, 0]


def test_threads_decode_halves_of_one_archive():
    rows = {name: list(values) * 500 for name, values in ROWS.items()}
    archive = LAYOUT.pack_many(rows)
    half = len(archive) // 2
    results = {}

    def decode(part):
        view = memoryview(archive)[part * half : (part + 1) * half]
        results[part] = LAYOUT.unpack_many(view)

    threads = [threading.Thread(target=decode, args=(part,)) for part in (0, 1)]
    for thread in threads:
        thread.start()
    for thread in threads:
        thread.join()
    whole = LAYOUT.unpack_many(archive)
    for name in ROWS:
        assert list(np.concatenate([results[0][name], results[1][name]])) == list(whole[name])


def space_packet(apid, data):
    header = (apid & 0x7FF).to_bytes(2, "big") + b"\xc0\x00" + (len(data) - 1).to_bytes(2, "big")
    return header + data


def test_split_packets_on_a_space_packet_stream():
    packets = [space_packet(5, b"\x01"), space_packet(6, bytes(300)), space_packet(5, b"ab")]
    stream = b"".join(packets)
    offsets = vantrel.split_packets(stream, length_offset_bits=32, length_bits=16, length_adjust=7)
    assert offsets.dtype == np.int64
    assert list(offsets) == [0, 7, 7 + 306]
    header = vantrel.Layout([item("apid", "unsigned", 11, offset_bits=5)])
    apids = header.unpack_many(stream, offsets=offsets)["apid"]
    assert list(offsets[apids == 5]) == [0, 313]
    assert list(vantrel.split_packets(b"", length_offset_bits=32, length_bits=16)) == []

    little = b"".join(p[:4] + p[4:6][::-1] + p[6:] for p in packets)
    assert list(
        vantrel.split_packets(
            little, length_offset_bits=32, length_bits=16, length_adjust=7, byte_order="little"
        )
    ) == list(offsets)


@pytest.mark.parametrize(
    ("tail", "message"),
    [
        (
            space_packet(1, b"abcd")[:-1],
            "packet 1 at byte 7 is truncated: its length field gives 10 bytes but only 9 remain",
        ),
        (b"\x00\x01\x02", "packet 1 at byte 7 is truncated: the stream ends 3 bytes into it"),
    ],
)
def test_split_packets_reports_truncated_packets(tail, message):
    stream = space_packet(1, b"\x00") + tail
    with pytest.raises(ValueError, match=message):
        vantrel.split_packets(stream, length_offset_bits=32, length_bits=16, length_adjust=7)


def test_split_packets_refuses_empty_packets_and_bad_arguments():
    with pytest.raises(ValueError, match="total length of 0 bytes"):
        vantrel.split_packets(bytes(6), length_offset_bits=32, length_bits=16)
    with pytest.raises(ValueError, match="length_bits must be from 1 to 64"):
        vantrel.split_packets(bytes(6), length_offset_bits=32, length_bits=0)
    with pytest.raises(ValueError, match="byte_order"):
        vantrel.split_packets(bytes(6), length_offset_bits=0, length_bits=8, byte_order="mid")
    with pytest.raises(TypeError):
        vantrel.split_packets(bytes(6), 32, 16)
    assert "split_packets" not in vantrel.__all__


def test_the_62_functions_work_without_numpy():
    script = textwrap.dedent(
        """
        import sys
        sys.modules["numpy"] = None  # makes "import numpy" fail
        import vantrel
        assert vantrel.encode_twos_complement(-5, 8) == 251
        layout = vantrel.Layout([{"name": "x", "encoding": "unsigned", "bits": 8,
                                 "byte_order": "big", "reverse_bits": False}])
        assert layout.unpack(b"\\x07") == {"x": 7}
        try:
            layout.unpack_many(b"\\x07")
        except ImportError as exc:
            print(exc)
        """
    )
    completed = subprocess.run(
        [sys.executable, "-c", script], capture_output=True, text=True, check=True
    )
    assert "need numpy: pip install numpy" in completed.stdout
