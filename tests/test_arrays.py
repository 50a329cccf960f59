"""Layout arrays: fixed, counted and rest-of-packet arrays, the fields after
them, packets bounded by their own length, permuted byte orders and bit
fields of little-endian words, ragged columns, and the stricter recipe
checks that layouts make."""

import gc
import pickle
import tracemalloc

import numpy as np
import pyarrow as pa
import pytest
from hypothesis import assume, given, settings
from hypothesis import strategies as st

import vantrel
from recipe_helpers import item

CCSDS_LENGTH = {"offset_bits": 32, "bits": 16, "adjust": 7}


def header():
    return [
        item("version", "unsigned", 3),
        item("type", "unsigned", 1),
        item("sec_hdr", "unsigned", 1),
        item("apid", "unsigned", 11),
        item("seq_flags", "unsigned", 2),
        item("seq_count", "unsigned", 14),
        item("length", "unsigned", 16),
    ]


VARIABLE = vantrel.Layout(
    [
        *header(),
        item("n", "unsigned", 8),
        item("samples", "twos_complement", 16, count="n"),
        item("status", "unsigned", 4),
        item("crc", "unsigned", 12),
    ],
    packet_length=CCSDS_LENGTH,
)


def ccsdsp(samples, status=3, crc=0xABC, apid=5):
    return VARIABLE.pack(
        {
            "version": 0,
            "type": 0,
            "sec_hdr": 0,
            "apid": apid,
            "seq_flags": 3,
            "seq_count": 1,
            "samples": samples,
            "status": status,
            "crc": crc,
        }
    )


# ---- A bit-by-bit model -------------------------------------------------------


def bits_of(buffer):
    return "".join(f"{byte:08b}" for byte in buffer)


def model_value(encoding, pattern, bits):
    if encoding == "unsigned":
        return pattern
    if bits and pattern >> (bits - 1):
        return pattern - (1 << bits)
    return pattern


def model_pattern(stream, bit, entry):
    """One value as the model reads it: the stored bits, the byte order
    undone (big, little or a permutation), then mirrored."""
    bits = entry["bits"]
    raw = stream[bit : bit + bits]
    order = entry["byte_order"]
    if order == "little" and bits:
        padded = raw.zfill((bits + 7) // 8 * 8)
        raw = "".join(padded[i : i + 8] for i in reversed(range(0, len(padded), 8)))
    elif order.isdigit():
        stored = [raw[i : i + 8] for i in range(0, bits, 8)]
        raw = "".join(stored[int(digit) - 1] for digit in order)
    pattern = int(raw, 2) if raw else 0
    if entry["reverse_bits"]:
        pattern = int(f"{pattern:0{bits}b}"[::-1], 2) if bits else 0
    return pattern & ((1 << bits) - 1)


def model_unpack(recipe, buffer, packet_bits):
    """Reads a recipe with arrays the slow way; None when a field runs past
    the packet's end."""
    stream = bits_of(buffer)[:packet_bits]
    values, running = {}, 0
    for index, entry in enumerate(recipe):
        start = entry.get("offset_bits", running)
        count = entry.get("count")
        if count is None:
            n = 1
        elif count == "*":
            # The fields after it end with the packet.
            trailer = sum(e["bits"] * e.get("count", 1) for e in recipe[index + 1 :])
            if start + trailer > packet_bits:
                return None
            n = (packet_bits - start - trailer) // entry["bits"]
        elif isinstance(count, str):
            n = values[count]
        else:
            n = count
        end = start + n * entry["bits"]
        if end > packet_bits:
            return None
        if count == "*":
            end = packet_bits - trailer
        decoded = [
            model_value(
                entry["encoding"],
                model_pattern(stream, start + k * entry["bits"], entry),
                entry["bits"],
            )
            for k in range(n)
        ]
        values[entry["name"]] = decoded if count is not None else decoded[0]
        running = end
    return values


ORDERS = {
    8: ["big", "little"],
    16: ["big", "little", "21"],
    32: ["big", "little", "2143", "3412", "4231"],
}


@st.composite
def array_recipes(draw, text=False):
    """Random recipes: scalars of odd widths, a count field, fixed arrays,
    one counted array, fields after it, sometimes a rest-of-packet array
    near the end with fixed fields after it; with `text`, text fields among them."""
    recipe, names = [], iter(f"f{i}" for i in range(100))
    counted = False
    for _ in range(draw(st.integers(1, 5))):
        kind = draw(st.sampled_from(["scalar", "fixed", "counted"] + ["text"] * text))
        if kind == "text":
            encoding = draw(st.sampled_from(["utf8", "us_ascii", "utf16be"]))
            recipe.append(item(next(names), encoding, draw(st.sampled_from([8, 16, 32]))))
            continue
        bits = draw(st.sampled_from([1, 3, 7, 8, 12, 16, 32]))
        encoding = draw(st.sampled_from(["unsigned", "twos_complement"]))
        order = draw(st.sampled_from(ORDERS.get(bits, ["big"])))
        entry = item(next(names), encoding, bits, order, draw(st.booleans()))
        if kind == "fixed":
            entry["count"] = draw(st.integers(0, 4))
        elif kind == "counted" and not counted:
            counted = True
            count_name = next(names)
            recipe.append(item(count_name, "unsigned", draw(st.sampled_from([3, 8]))))
            entry["count"] = count_name
        recipe.append(entry)
    if draw(st.booleans()):
        recipe.append(item(next(names), "unsigned", draw(st.sampled_from([4, 8, 16])), count="*"))
        # A trailer (a footer, a CRC), placed from the packet's end.
        for _ in range(draw(st.integers(0, 2))):
            bits = draw(st.sampled_from([3, 8, 16]))
            entry = item(
                next(names), "unsigned", bits, draw(st.sampled_from(ORDERS.get(bits, ["big"])))
            )
            if draw(st.booleans()):
                entry["count"] = draw(st.integers(0, 2))
            recipe.append(entry)
    return recipe


@settings(max_examples=300, deadline=None)
@given(recipe=array_recipes(), data=st.data())
def test_unpack_matches_the_model(recipe, data):
    layout = vantrel.Layout(recipe)
    packet = data.draw(st.binary(max_size=40))
    expected = model_unpack(recipe, packet, len(packet) * 8)
    if expected is None:
        with pytest.raises(ValueError, match="of the packet|past the end|too short"):
            layout.unpack(packet)
    else:
        assert layout.unpack(packet) == expected


@settings(max_examples=200, deadline=None)
@given(recipe=array_recipes(), data=st.data())
def test_unpack_many_matches_unpack(recipe, data):
    layout = vantrel.Layout(recipe)
    packets = data.draw(st.lists(st.binary(max_size=24), min_size=1, max_size=6))
    buffer = b"".join(packets)
    offsets = np.cumsum([0] + [len(p) for p in packets[:-1]])
    lengths = [len(p) for p in packets]
    singles = []
    for packet in packets:
        try:
            singles.append(layout.unpack(packet))
        except ValueError:
            singles.append(None)
    masked = layout.unpack_many(buffer, offsets=offsets, lengths=lengths, errors="mask")
    for name in layout.names:
        column = masked[name]
        for i, single in enumerate(singles):
            if isinstance(column, vantrel.RaggedColumn):
                entry = column[i]
                if single is not None:
                    assert entry is not None and list(entry) == single[name]
            elif single is not None and not np.ma.getmaskarray(column)[i].any():
                got = column[i].tolist()
                assert got == single[name]
    if all(single is not None for single in singles):
        plain = layout.unpack_many(buffer, offsets=offsets, lengths=lengths)
        for name in layout.names:
            column = plain[name]
            got = column.to_list() if isinstance(column, vantrel.RaggedColumn) else column.tolist()
            assert [list(v) if isinstance(v, np.ndarray) else v for v in got] == [
                s[name] for s in singles
            ]
    else:
        first = singles.index(None)
        with pytest.raises(ValueError, match=f"^packet {first} at byte {offsets[first]}: "):
            layout.unpack_many(buffer, offsets=offsets, lengths=lengths)


@settings(max_examples=200, deadline=None)
@given(recipe=array_recipes(), data=st.data())
def test_pack_unpack_round_trip(recipe, data):
    layout = vantrel.Layout(recipe)
    try:
        values = layout.unpack(data.draw(st.binary(min_size=64, max_size=64)))
    except ValueError:
        assume(False)
    counts = {e["count"] for e in recipe if isinstance(e.get("count"), str) and e["count"] != "*"}
    rest = [e["name"] for e in recipe if e.get("count") == "*"]
    for name in rest:
        values[name] = values[name][: data.draw(st.integers(0, len(values[name])))]
    for name in counts:
        del values[name]  # filled from the array
    packet = layout.pack(values)
    again = layout.unpack(packet)
    for name, value in values.items():
        if name in rest:
            assert again[name][: len(value)] == value
        else:
            assert again[name] == value


# ---- One packet -----------------------------------------------------------------


def test_variable_array_and_the_fields_after_it():
    packet = ccsdsp([1, -2, 3])
    assert len(packet) == 6 + 1 + 6 + 2
    values = VARIABLE.unpack(packet)
    assert values["n"] == 3 and values["samples"] == [1, -2, 3]
    assert values["status"] == 3 and values["crc"] == 0xABC
    assert values["length"] == len(packet) - 7


def test_count_field_that_disagrees_with_the_array():
    layout = vantrel.Layout([item("n", "unsigned", 8), item("s", "unsigned", 8, count="n")])
    assert layout.pack({"s": [7, 8]}) == bytes([2, 7, 8])
    assert layout.pack({"n": 2, "s": [7, 8]}) == bytes([2, 7, 8])
    with pytest.raises(ValueError, match="has 2 values but its count field 'n' is 3"):
        layout.pack({"n": 3, "s": [7, 8]})


def test_fixed_array_takes_exactly_its_count():
    layout = vantrel.Layout([item("s", "unsigned", 8, count=3)])
    assert layout.size_bytes == 3
    assert layout.unpack(b"\x01\x02\x03") == {"s": [1, 2, 3]}
    with pytest.raises(ValueError, match="takes 3 values, not 2"):
        layout.pack({"s": [1, 2]})
    with pytest.raises(ValueError, match="takes a sequence"):
        layout.pack({"s": 5})


def test_count_zero_and_counts_larger_than_the_packet():
    layout = vantrel.Layout(
        [item("n", "unsigned", 8), item("s", "unsigned", 16, count="n"), item("t", "unsigned", 8)]
    )
    assert layout.unpack(bytes([0, 9])) == {"n": 0, "s": [], "t": 9}
    with pytest.raises(ValueError, match="5 values of 16 bits from bit 8 run past the end"):
        layout.unpack(bytes([5, 1, 2, 3]))
    archive = bytes([0, 9]) + bytes([5, 1, 2, 3]) + bytes([1, 0, 4, 6])
    offsets, lengths = [0, 2, 6], [2, 4, 4]
    with pytest.raises(ValueError, match="^packet 1 at byte 2: recipe item 1 \\('s'\\)"):
        layout.unpack_many(archive, offsets=offsets, lengths=lengths)
    columns = layout.unpack_many(archive, offsets=offsets, lengths=lengths, errors="mask")
    assert columns["s"].mask.tolist() == [False, True, False]
    assert columns["s"][1] is None and list(columns["s"][2]) == [4]
    assert np.ma.getmaskarray(columns["t"]).tolist() == [False, True, False]
    assert columns["t"][2] == 6


def test_rest_of_packet_array():
    layout = vantrel.Layout([item("id", "unsigned", 8), item("s", "unsigned", 16, count="*")])
    assert layout.unpack(bytes([1, 0, 2, 0, 3, 9])) == {"id": 1, "s": [2, 3]}
    archive = bytes([1, 0, 2, 0, 3]) + bytes([2, 0, 4])
    columns = layout.unpack_many(archive, offsets=[0, 5], lengths=[5, 3])
    assert columns["s"].to_list()[0].tolist() == [2, 3]
    assert columns["s"].offsets.tolist() == [0, 2, 3]
    with pytest.raises(ValueError, match="needs each packet's length"):
        layout.unpack_many(archive, offsets=[0, 5])
    strided = layout.unpack_many(bytes([1, 0, 2, 2, 0, 4]), stride=3)
    assert strided["s"].values.tolist() == [2, 4]


def test_fields_after_a_rest_of_packet_array_are_placed_from_the_packets_end():
    recipe = [
        item("length", "unsigned", 8),
        item("s", "unsigned", 16, count="*"),
        item("status", "unsigned", 4),
        item("crc", "unsigned", 12),
    ]
    layout = vantrel.Layout(recipe, packet_length={"offset_bits": 0, "bits": 8, "adjust": 0})
    packet = layout.pack({"s": [7, 8], "status": 5, "crc": 0xABC})
    assert packet == bytes([7, 0, 7, 0, 8, 0x5A, 0xBC])
    assert layout.unpack(packet) == {"length": 7, "s": [7, 8], "status": 5, "crc": 0xABC}
    # The packet's length, not the buffer's end, says where the trailer is.
    assert layout.unpack(packet + b"\xff\xff")["crc"] == 0xABC
    archive = packet + layout.pack({"s": [], "status": 1, "crc": 2}) + packet
    offsets = vantrel.split_packets(archive, length_offset_bits=0, length_bits=8, length_adjust=0)
    columns = layout.unpack_many(archive, offsets=offsets)
    assert columns["s"].offsets.tolist() == [0, 2, 2, 4]
    assert columns["crc"].tolist() == [0xABC, 2, 0xABC]
    assert columns["status"].tolist() == [5, 1, 5]
    arrow = pa.table(layout.unpack_many(archive, offsets=offsets, output="arrow"))
    assert arrow.column("crc").to_pylist() == [0xABC, 2, 0xABC]
    assert arrow.column("s").to_pylist() == [[7, 8], [], [7, 8]]
    assert layout.pack_many(columns) == archive
    # Without a length field: each packet's lengths=, a stride, or one packet's buffer.
    plain = vantrel.Layout(recipe[1:])
    body = bytes([0, 1, 0, 2, 0, 3, 0x91, 0x23])
    assert plain.unpack(body) == {"s": [1, 2, 3], "status": 9, "crc": 0x123}
    by_length = plain.unpack_many(body + body[4:], offsets=[0, 8], lengths=[8, 4])
    assert by_length["s"].to_list()[1].tolist() == [3]
    assert by_length["crc"].tolist() == [0x123, 0x123]
    assert plain.unpack_many(body * 2, stride=8)["status"].tolist() == [9, 9]
    # Bits the array's whole values leave over lie between the array and the trailer.
    odd = vantrel.Layout([item("s", "unsigned", 16, count="*"), item("crc", "unsigned", 8)])
    assert odd.unpack(bytes([0, 1, 0xEE, 0x42])) == {"s": [1], "crc": 0x42}
    with pytest.raises(
        ValueError,
        match=r"recipe item 1 \('s'\): the fields after the rest-of-packet array need 16 bits",
    ):
        layout.unpack(bytes([2, 0]))
    with pytest.raises(ValueError, match=r"^packet 1 at byte 8: recipe item 0 \('s'\)"):
        plain.unpack_many(body + body[:1], offsets=[0, 8], lengths=[8, 1])


# ---- Packet lengths -------------------------------------------------------------


TWO = bytes([0, 1, 0xC0, 0, 0, 0, 0xAA]) + bytes([0, 1, 0xC0, 1, 0, 0, 0xBB])


def test_fields_past_their_packet_are_never_read_from_the_next():
    offsets = vantrel.split_packets(TWO, length_offset_bits=32, length_bits=16, length_adjust=7)
    bounded = vantrel.Layout(
        [item("x", "unsigned", 16, offset_bits=48)], packet_length=CCSDS_LENGTH
    )
    with pytest.raises(ValueError, match="^packet 0 at byte 0: packet of 7 bytes"):
        bounded.unpack_many(TWO, offsets=offsets[:1])
    assert bounded.unpack_many(TWO, offsets=offsets[:1], errors="mask")["x"].mask.tolist() == [True]
    plain = vantrel.Layout([item("x", "unsigned", 16, offset_bits=48)])
    with pytest.raises(ValueError, match="packet of 7 bytes"):
        plain.unpack_many(TWO, offsets=offsets[:1], lengths=[7])
    with pytest.raises(ValueError, match="length field gives 7 bytes"):
        bounded.unpack(TWO[:6])
    # Both packets are 7 bytes long: neither holds the field.
    assert bounded.unpack_many(TWO, offsets=offsets, errors="mask")["x"].mask.tolist() == [True] * 2
    # A packet whose length field says 8 bytes does.
    longer = TWO[:4] + bytes([0, 1]) + TWO[6:7] + bytes([0xCC])
    assert bounded.unpack(longer)["x"] == 0xAACC


def test_truncated_packets_in_both_modes():
    archive = b"".join(ccsdsp(list(range(k))) for k in (2, 0, 3))
    offsets = vantrel.split_packets(archive, length_offset_bits=32, length_bits=16, length_adjust=7)
    cut = archive[:-3]
    with pytest.raises(ValueError, match="^packet 2 at byte"):
        VARIABLE.unpack_many(cut, offsets=offsets)
    columns = VARIABLE.unpack_many(cut, offsets=offsets, errors="mask")
    assert columns["samples"].mask.tolist() == [False, False, True]
    assert np.ma.getmaskarray(columns["crc"]).tolist() == [False, False, True]
    assert columns["samples"].to_list()[0].tolist() == [0, 1]


def test_stride_shorter_than_the_layout_is_refused():
    layout = vantrel.Layout([item("a", "unsigned", 32)])
    with pytest.raises(ValueError, match="stride 3 is shorter than the layout's 4 bytes"):
        layout.unpack_many(bytes(12), stride=3)


def test_lengths_must_match_offsets():
    layout = vantrel.Layout([item("a", "unsigned", 8)])
    with pytest.raises(ValueError, match="lengths has 1 entries but offsets has 2"):
        layout.unpack_many(bytes(4), offsets=[0, 1], lengths=[1])
    with pytest.raises(TypeError, match="lengths goes with offsets"):
        layout.unpack_many(bytes(4), stride=1, lengths=[1])


# ---- Columns --------------------------------------------------------------------


def test_fixed_array_column_is_two_dimensional():
    layout = vantrel.Layout([item("h", "unsigned", 16), item("x", "twos_complement", 16, count=4)])
    rows = np.array([[1, -2, 3, -4], [5, 6, 7, -8]], dtype=np.int16)
    archive = layout.pack_many({"h": [1, 2], "x": rows})
    columns = layout.unpack_many(archive)
    assert columns["x"].shape == (2, 4) and columns["x"].dtype == np.int16
    assert (columns["x"] == rows).all()
    masked = layout.unpack_many(archive + b"\x00\x03\x00", count=3, errors="mask")
    assert np.ma.getmaskarray(masked["x"]).tolist()[2] == [True] * 4


def test_ragged_column_and_its_arrow_export():
    pyarrow = pytest.importorskip("pyarrow")
    archive = b"".join(ccsdsp(list(range(k))) for k in (3, 0, 2))
    offsets = vantrel.split_packets(archive, length_offset_bits=32, length_bits=16, length_adjust=7)
    column = VARIABLE.unpack_many(archive, offsets=offsets)["samples"]
    assert len(column) == 3 and column.offsets.dtype == np.int64
    assert column.offsets.tolist() == [0, 3, 3, 5]
    assert column[-1].tolist() == [0, 1] and column[1].size == 0
    assert [a.tolist() for a in column] == [[0, 1, 2], [], [0, 1]]
    assert not column.values.flags.writeable
    array = pyarrow.array(column)
    assert array.type == pyarrow.large_list(pyarrow.int16())
    assert array.to_pylist() == [[0, 1, 2], [], [0, 1]]
    # The values are shared, not copied, and outlive the column.
    address = column.values.__array_interface__["data"][0]
    assert array.values.buffers()[1].address == address
    del column
    assert array.to_pylist() == [[0, 1, 2], [], [0, 1]]
    with pytest.raises(TypeError):
        vantrel.RaggedColumn()


def test_masked_ragged_entries_are_arrow_nulls():
    pyarrow = pytest.importorskip("pyarrow")
    archive = b"".join(ccsdsp(list(range(k))) for k in (2, 3))
    offsets = vantrel.split_packets(archive, length_offset_bits=32, length_bits=16, length_adjust=7)
    column = VARIABLE.unpack_many(archive[:-4], offsets=offsets, errors="mask")["samples"]
    assert pyarrow.array(column).to_pylist() == [[0, 1], None]


def test_pack_many_round_trips_ragged_columns():
    archive = b"".join(ccsdsp(list(range(k))) for k in (3, 0, 2))
    offsets = vantrel.split_packets(archive, length_offset_bits=32, length_bits=16, length_adjust=7)
    columns = VARIABLE.unpack_many(archive, offsets=offsets)
    columns.pop("n")
    columns.pop("length")
    assert VARIABLE.pack_many(columns) == archive


# ---- Word orders ----------------------------------------------------------------


def test_permuted_byte_orders_name_the_stored_byte_of_each_significance():
    packet = bytes([1, 2, 3, 4, 5, 6, 7, 8])
    layout = vantrel.Layout(
        [
            item("a", "unsigned", 32, "2143"),
            item("b", "unsigned", 32, "2341"),
        ]
    )
    # Digit m says where the byte of significance m is stored (ccsdspy's
    # "2341" would give 0x08050607: it reads the string mirrored).
    assert layout.unpack(packet) == {"a": 0x02010403, "b": 0x06070805}
    assert layout.pack(layout.unpack(packet)) == packet
    wide = vantrel.Layout([item("w", "unsigned", 64, "78563412")])
    assert wide.unpack(packet)["w"] == 0x0708050603040102
    column = wide.unpack_many(packet * 3)["w"]
    assert column.tolist() == [0x0708050603040102] * 3


def test_bit_fields_of_little_endian_words():
    layout = vantrel.Layout(
        [
            item("hi", "unsigned", 4, "little", word_bits=16),
            item("mid", "unsigned", 8, "little", word_bits=16),
            item("lo", "unsigned", 4, "little", word_bits=16),
        ]
    )
    # The word 0xABCD stored little-endian.
    assert layout.unpack(bytes([0xCD, 0xAB])) == {"hi": 0xA, "mid": 0xBC, "lo": 0xD}
    assert layout.pack({"hi": 0xA, "mid": 0xBC, "lo": 0xD}) == bytes([0xCD, 0xAB])
    assert layout.unpack_many(bytes([0xCD, 0xAB, 0x34, 0x12]))["mid"].tolist() == [0xBC, 0x23]


# ---- Refusals --------------------------------------------------------------------


@pytest.mark.parametrize(
    ("recipe", "message"),
    [
        (
            [item("a", offset_bit=3)],
            r"recipe item 0 \('a'\): unknown key 'offset_bit'; did you mean 'offset_bits'\?",
        ),
        ([item("a", colour="red")], r"unknown key 'colour'$"),
        (
            [item("a"), item("a")],
            r"recipe item 1 \('a'\): the name is already the name of recipe item 0",
        ),
        ([item("a", "ieee754_f32", 16)], r"a ieee754_f32 field needs 32 bits, not 16"),
        ([item("a", "ieee754_f16", 8)], r"a ieee754_f16 field needs 16 bits, not 8"),
        ([item("a", count=-1)], r"count must be a number of values"),
        ([item("a", count=1.5)], r"count must be a number of values"),
        ([item("a", count="n")], r"count 'n' names no earlier field"),
        ([item("a", count="a")], r"count 'a' names no earlier field"),
        (
            [item("n", "twos_complement"), item("a", count="n")],
            r"count 'n' must name an unsigned field",
        ),
        ([item("n", count=2), item("a", count="n")], r"count 'n' must name an unsigned field"),
        ([item("t", "us_ascii", 16, count=2)], r"a text field cannot have a count"),
        ([item("a", bits=0, count=2)], r"the values of an array need at least 1 bit"),
        (
            [item("n"), item("a", count="*"), item("b", count="n")],
            r"recipe item 2 \('b'\).*variable array cannot follow the rest-of-packet array",
        ),
        (
            [item("a", "unsigned", 32, "2135")],
            r"byte_order '2135' must be 'big', 'little' or a permutation",
        ),
        ([item("a", "unsigned", 16, "1123")], r"must be 'big', 'little' or a permutation"),
        (
            [item("a", "unsigned", 24, "21")],
            r"byte_order '21' orders 2 bytes, but the field has 24 bits",
        ),
        ([item("a", "us_ascii", 16, "21")], r"a text field cannot have a permuted byte_order"),
        ([item("a", "unsigned", 4, word_bits=8)], r"word_bits must be 16 or 32, not 8"),
        ([item("a", "unsigned", 4, word_bits=16)], r"word_bits needs byte_order 'little'"),
        ([item("a", "unsigned", 24, "little", word_bits=16)], r"does not fit a 16-bit word"),
        (
            [
                item("a", "unsigned", 12, "little", word_bits=16),
                item("b", "unsigned", 8, "little", word_bits=16),
            ],
            r"recipe item 1 \('b'\).*bits 12 to 20 of its 16-bit word\) runs into the next word",
        ),
    ],
)
def test_layout_refusals(recipe, message):
    with pytest.raises(ValueError, match=message):
        vantrel.Layout(recipe)


def test_packet_functions_keep_accepting_what_layouts_refuse():
    recipe = [item("a", offset_bit=3, value=1), item("a", "ieee754_f32", 16, value=1.0)]
    packed = vantrel.pack_parameters(recipe)
    assert list(vantrel.unpack_parameters(packed, 0, recipe)) == ["a"]


@pytest.mark.parametrize(
    ("length", "message"),
    [
        ({"offset_bits": 32}, "needs 'offset_bits' and 'bits'"),
        ({"offset_bits": 32, "bits": 0}, r"packet_length\['bits'\] must be from 1 to 64"),
        ({"offset_bits": 32, "bits": 16, "adjst": 7}, "unknown key 'adjst'"),
        ({"offset_bits": 32, "bits": 16, "byte_order": "middle"}, "must be 'big' or 'little'"),
    ],
)
def test_packet_length_refusals(length, message):
    with pytest.raises(ValueError, match=message):
        vantrel.Layout([item("a")], packet_length=length)


def test_shaped_layouts_pickle_compare_and_hash():
    again = pickle.loads(pickle.dumps(VARIABLE))
    assert again == VARIABLE and hash(again) == hash(VARIABLE)
    assert again.unpack(ccsdsp([4, 5])) == VARIABLE.unpack(ccsdsp([4, 5]))
    other = vantrel.Layout([item("n", "unsigned", 8), item("s", "unsigned", 8, count=2)])
    assert other != vantrel.Layout([item("n", "unsigned", 8), item("s", "unsigned", 8, count="n")])
    assert "x2" in repr(other)


def test_arrow_output_bounds_packets_and_array_layouts_take_text_dtype():
    pytest.importorskip("pyarrow")
    offsets = vantrel.split_packets(TWO, length_offset_bits=32, length_bits=16, length_adjust=7)
    bounded = vantrel.Layout(
        [item("t", "us_ascii", 16, offset_bits=48)], packet_length=CCSDS_LENGTH
    )
    with pytest.raises(ValueError, match="^packet 0 at byte 0: packet of 7 bytes"):
        bounded.unpack_many(TWO, offsets=offsets, output="arrow")
    # VARIABLE has no text field: text_dtype leaves its numeric columns as they are.
    plain = VARIABLE.unpack_many(ccsdsp([1]), offsets=[0])
    as_bytes = VARIABLE.unpack_many(ccsdsp([1]), offsets=[0], text_dtype="S")
    assert as_bytes["samples"].values.tolist() == plain["samples"].values.tolist() == [1]
    assert VARIABLE.unpack_many(ccsdsp([1]), offsets=[0], output="arrow")["samples"].format == "+L"


def test_a_packet_past_the_buffer_fails_a_rest_of_packet_array():
    # Nothing of packet 1 is in the buffer: an error, not an empty array.
    layout = vantrel.Layout([item("s", "unsigned", 8, count="*")])
    for output in ("numpy", "arrow"):
        with pytest.raises(ValueError, match="^packet 1 at byte 10: recipe item 0"):
            layout.unpack_many(b"abc", offsets=[0, 10], lengths=[3, 1], output=output)
    masked = layout.unpack_many(b"abc", offsets=[0, 10], lengths=[3, 1], errors="mask")
    assert masked["s"].mask.tolist() == [False, True]


# ---- Arrow output ----------------------------------------------------------------

MIXED = vantrel.Layout(
    [
        *header(),
        item("mode", "us_ascii", 32),
        item("gains", "ieee754_f32", 32, count=2),
        item("word", "unsigned", 32, "2143"),
        item("n", "unsigned", 8),
        item("digits", "packed_bcd", 8, count="n"),
        item("label", "utf8", 16),
        item("flag", "unsigned", 3, "little", word_bits=16),
        item("spare", "unsigned", 13, "little", word_bits=16),
        item("tail", "unsigned", 8, count="*"),
    ],
    packet_length=CCSDS_LENGTH,
)
DIGITS_AT = 23  # the byte where "digits" starts in each packet


def mixed_archive(damage=()):
    """Six packets of MIXED with arrays of several lengths, their offsets,
    and the archive with the named kinds of damage done to it."""
    packets = []
    for k in range(6):
        values = {"version": 0, "type": 0, "sec_hdr": 0, "apid": 7, "seq_flags": 3}
        values.update(seq_count=k, mode="SAFE" if k % 2 else "SCI ", gains=[0.5 * k, -2.0])
        values.update(word=0x01020304 + k, digits=list(range(10 + k, 10 + 3 * k)))
        values.update(label=f"L{k}", flag=k, spare=100 * k, tail=list(range(k % 5)))
        packets.append(bytearray(MIXED.pack(values)))
    if "bcd" in damage:
        packets[1][DIGITS_AT] = 0xAB  # not a decimal digit: one value fails
    if "utf8" in damage:
        packets[2][DIGITS_AT + 4 : DIGITS_AT + 6] = b"\xff\xff"  # 4 digits, then the label
    if "count" in damage:
        packets[3][DIGITS_AT - 1] = 250  # more digits than the packet holds
    archive = b"".join(packets)
    offsets = vantrel.split_packets(archive, length_offset_bits=32, length_bits=16, length_adjust=7)
    if "cut" in damage:
        archive = archive[:-3]  # the last packet loses its label's last byte and its word
    return archive, offsets


def numpy_entries(column):
    """A numpy column as Arrow's to_pylist gives it: None where masked, a
    list per entry of an array field."""
    if isinstance(column, vantrel.RaggedColumn):
        return [None if entry is None else entry.tolist() for entry in column]
    mask = np.ma.getmaskarray(column)
    rows = np.ma.getdata(column).tolist()
    if column.ndim == 2:
        mask = mask.any(axis=1) if column.shape[1] else np.zeros(len(rows), bool)
    return [None if masked else row for row, masked in zip(rows, mask)]


def arrow_type_of(column):
    pa = pytest.importorskip("pyarrow")
    if isinstance(column, vantrel.RaggedColumn):
        return pa.large_list(pa.from_numpy_dtype(column.values.dtype))
    if column.dtype == object:
        return pa.string()
    if column.ndim == 2:
        return pa.list_(pa.from_numpy_dtype(column.dtype), column.shape[1])
    return pa.from_numpy_dtype(column.dtype)


def assert_arrow_equals_numpy(layout, buffer, **where):
    """output="arrow" against numpy output, value for value, in both modes."""
    pa = pytest.importorskip("pyarrow")
    expected = layout.unpack_many(buffer, errors="mask", **where)
    table = pa.table(layout.unpack_many(buffer, errors="mask", output="arrow", **where))
    assert table.column_names == list(expected)
    for name, column in expected.items():
        assert table.schema.field(name).type == arrow_type_of(column), name
        got, entries = table.column(name).to_pylist(), numpy_entries(column)
        if getattr(column, "shape", (0,))[1:] == (0,):
            got = [[] if entry is None else entry for entry in got]  # numpy cannot mask them
        assert got == entries, name
    try:
        plain = layout.unpack_many(buffer, **where)
    except ValueError as error:
        with pytest.raises(ValueError) as arrow_error:
            layout.unpack_many(buffer, output="arrow", **where)
        assert str(arrow_error.value) == str(error)
    else:
        arrow = pa.table(layout.unpack_many(buffer, output="arrow", **where))
        assert arrow.to_pydict() == {name: numpy_entries(c) for name, c in plain.items()}
    return table


def test_arrow_output_of_array_layouts_matches_numpy_columns():
    pa = pytest.importorskip("pyarrow")
    archive, offsets = mixed_archive(damage={"bcd", "utf8", "count", "cut"})
    table = assert_arrow_equals_numpy(MIXED, archive, offsets=offsets)
    assert table.schema.field("gains").type == pa.list_(pa.float32(), 2)
    assert table.schema.field("digits").type == pa.large_list(pa.int8())
    assert table.schema.field("tail").type == pa.large_list(pa.uint8())
    # Each kind of damage nulls what it reaches, the whole entry of an array;
    # the cut packet (its length runs past the buffer) is null in every column.
    nulls = {
        name: [i for i, v in enumerate(table.column(name).to_pylist()) if v is None]
        for name in table.column_names
    }
    assert nulls["digits"] == [1, 3, 5]
    assert nulls["label"] == [2, 3, 5]
    assert nulls["flag"] == nulls["spare"] == [3, 5]
    assert nulls["tail"] == [3, 5]
    assert nulls["gains"] == nulls["word"] == nulls["n"] == nulls["apid"] == [5]
    assert table.column("digits").to_pylist()[4] == list(range(14, 22))
    assert table.column("gains").to_pylist()[3] == [1.5, -2.0]
    assert table.column("word").to_pylist()[1] == 0x01020305
    assert archive[offsets[1] + 18 : offsets[1] + 22] == bytes([2, 1, 5, 3])  # stored "2143"
    assert table.column("mode").to_pylist()[:2] == ["SCI ", "SAFE"]
    for damage in ("bcd", "utf8", "count", "cut"):  # raised alone, as numpy raises it
        assert_arrow_equals_numpy(MIXED, *mixed_archive(damage={damage})[:1], offsets=offsets)


@settings(max_examples=200, deadline=None)
@given(recipe=array_recipes(text=True), data=st.data())
def test_arrow_output_equals_numpy_output_for_any_array_layout(recipe, data):
    pytest.importorskip("pyarrow")
    layout = vantrel.Layout(recipe)
    packets = data.draw(st.lists(st.binary(max_size=24), max_size=6))
    buffer = b"".join(packets)
    offsets = np.cumsum([0] + [len(p) for p in packets])[:-1].tolist()
    lengths = [len(p) for p in packets]
    if data.draw(st.booleans()):  # and a packet that starts past the buffer
        offsets.append(len(buffer) + data.draw(st.integers(0, 3)))
        lengths.append(2)
    assert_arrow_equals_numpy(layout, buffer, offsets=offsets, lengths=lengths)


def test_array_values_are_shared_not_copied():
    pa = pytest.importorskip("pyarrow")
    archive, offsets = mixed_archive()
    result = MIXED.unpack_many(archive, offsets=offsets, output="arrow")
    first, second = pa.table(result), pa.table(result)
    assert pa.record_batch(result).schema == first.schema  # the struct array export
    for name in ("gains", "digits", "tail"):
        lists = first.column(name).chunks[0]
        address = lists.values.buffers()[1].address
        assert address == second.column(name).chunks[0].values.buffers()[1].address
        assert address == pa.array(result[name]).values.buffers()[1].address
        assert address % 64 == 0
    offsets_buffer = first.column("digits").chunks[0].buffers()[1]
    assert offsets_buffer.address == pa.array(result["digits"]).buffers()[1].address
    assert np.frombuffer(offsets_buffer, np.int64)[:7].tolist() == [0, 0, 2, 6, 12, 20, 30]


def test_array_exports_outlive_the_buffer_and_the_columns():
    pa = pytest.importorskip("pyarrow")
    archive, offsets = mixed_archive()
    expected = MIXED.unpack_many(archive, offsets=offsets)
    buffer = bytearray(archive)
    result = MIXED.unpack_many(buffer, offsets=offsets, output="arrow")
    table = pa.table(result)
    digits = pa.array(result["digits"]).values  # the child alone, its parent gone
    gains = pa.array(result["gains"])
    del result
    buffer[:] = bytes(len(buffer))
    del buffer
    gc.collect()
    assert table.column("digits").to_pylist() == numpy_entries(expected["digits"])
    assert digits.to_pylist() == expected["digits"].values.tolist()
    assert gains.to_pylist() == expected["gains"].tolist()


def test_unconsumed_array_exports_release_everything():
    archive, offsets = mixed_archive()
    many = archive * 50
    starts = np.concatenate([offsets + k * len(archive) for k in range(50)])
    gc.collect()
    tracemalloc.start()
    try:
        for _ in range(20):
            result = MIXED.unpack_many(many, offsets=starts, output="arrow", errors="mask")
            result.__arrow_c_stream__()
            result["digits"].__arrow_c_array__()
            result["gains"].__arrow_c_schema__()
            result.__arrow_c_array__()
            del result
        gc.collect()
        current, _ = tracemalloc.get_traced_memory()
    finally:
        tracemalloc.stop()
    assert current < 16 * 1024  # one set of columns is about 40 KB


def test_ragged_column_into_polars_and_duckdb():
    pl = pytest.importorskip("polars")
    duckdb = pytest.importorskip("duckdb")
    archive, offsets = mixed_archive(damage={"bcd"})
    expected = MIXED.unpack_many(archive, offsets=offsets, errors="mask")
    result = MIXED.unpack_many(archive, offsets=offsets, errors="mask", output="arrow")
    frame = pl.DataFrame(result)
    assert frame["digits"].dtype == pl.List(pl.Int8)
    assert frame["gains"].dtype == pl.Array(pl.Float32, 2)
    assert frame["digits"].to_list() == numpy_entries(expected["digits"])
    assert frame["digits"].list.len().to_list()[2:] == [4, 6, 8, 10]
    assert pl.Series(result["tail"]).to_list() == numpy_entries(expected["tail"])
    rows = duckdb.sql(
        "SELECT seq_count, len(digits), coalesce(list_sum(digits), 0) FROM result "
        "ORDER BY seq_count"
    ).fetchall()
    sums = [None if e is None else (len(e), sum(e)) for e in numpy_entries(expected["digits"])]
    assert [None if n is None else (n, total) for _, n, total in rows] == sums
    unnested = duckdb.sql("SELECT count(*) FROM (SELECT unnest(tail) FROM result)").fetchall()[0]
    assert unnested[0] == len(expected["tail"].values)


def test_a_fixed_array_layout_reports_the_first_bad_value_in_recipe_order():
    """Layouts whose size the values cannot change pack in recipe order, so
    the first missing or bad value is the one reported, arrays or not."""
    for shape in ({}, {"count": 2}):
        layout = vantrel.Layout(
            [item("a", "unsigned", 8, **shape), item("b", "unsigned", 8), item("c", "unsigned", 8)]
        )
        bad = [300, 1] if shape else 300
        with pytest.raises(ValueError, match="recipe item 0 \\('a'\\)"):
            layout.pack({"a": bad, "c": 1})  # 'b' is missing too, later
        with pytest.raises(KeyError, match="'b'"):
            layout.pack({"a": [1, 2] if shape else 1, "c": 300})
        with pytest.raises(ValueError, match="^row 1: recipe item 0"):
            layout.pack_many({"a": [[1, 2], bad] if shape else [1, bad], "b": [1, 1], "c": [1, 1]})
