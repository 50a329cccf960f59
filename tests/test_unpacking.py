"""unpack_parameters: reading fields by recipe, bounds faults and error mapping."""

import pytest
from hypothesis import given, settings
from hypothesis import strategies as st

import vantrel
from recipe_helpers import item, mirror, read_bits

unpack = vantrel.unpack_parameters


def unpack_error(packet, offset, recipe):
    with pytest.raises(ValueError) as info:
        unpack(packet, offset, recipe)
    return str(info.value)


READS = [
    (b"\xab", 0, [item(name="a", bits=4), item(name="b", bits=4)], {"a": 10, "b": 11}),
    (b"\x34\x12", 0, [item(bits=16, byte_order="little")], {"x": 0x1234}),
    (b"\x34\x12", 0, [item(bits=16, byte_order="Little")], {"x": 0x1234}),
    (b"\x34\x12", 0, [item(bits=16, byte_order="BIG")], {"x": 0x3412}),
    (b"\x01", 0, [item(reverse_bits=True)], {"x": 128}),
    (b"\xff", 0, [item(encoding="twos_complement")], {"x": -1}),
    (b"\xff", 0, [item(encoding="ones_complement")], {"x": 0}),
    (b"\x81", 0, [item(encoding="sign_magnitude")], {"x": -1}),
    (b"\x80", 0, [item(encoding="Sign_Magnitude")], {"x": 0}),
    (b"\xff" * 8, 0, [item(bits=64)], {"x": 2**64 - 1}),
    (b"\xff" * 8, 0, [item(bits=64, encoding="twos_complement")], {"x": -1}),
    (b"\xff" * 8, 0, [item(bits=64, encoding="ones_complement")], {"x": 0}),
    (b"\x3f\x80\x00\x00", 0, [item(bits=32, encoding="ieee754_f32")], {"x": 1.0}),
    (b"\x3f\xf0" + bytes(6), 0, [item(bits=64, encoding="ieee754_f64")], {"x": 1.0}),
    (b"\x00\x00\x05", 8, [item(offset_bits=8)], {"x": 5}),
    (b"", 0, [], {}),
    (b"", 10**6, [], {}),
    # Zero-width fields give 0 / "" and do not move the running position.
    (
        b"\x07",
        0,
        [item(name="z", bits=0), item(name="u", encoding="utf8", bits=0), item()],
        {"z": 0, "u": "", "x": 7},
    ),
    (b"\x07", 8, [item(bits=0)], {"x": 0}),
    # A field straddling bytes, and one read after an item with its own offset.
    (b"\x02\x80\xf0", 0, [item(bits=3, offset_bits=6), item(name="y", bits=4)], {"x": 5, "y": 0}),
    # Duplicate names: the first key's position, the last item's value.
    (
        b"\x01\x02",
        0,
        [item(name="a"), item(name="b"), item(name="a", offset_bits=8)],
        {"a": 2, "b": 2},
    ),
    # Integer fields wider than 64 bits read their last 8 bytes.
    (bytes(2) + (7).to_bytes(8, "big"), 0, [item(bits=80)], {"x": 7}),
    (bytes(2) + (7).to_bytes(8, "big"), 0, [item(bits=80, encoding="twos_complement")], {"x": 7}),
]


@pytest.mark.parametrize(("packet", "offset", "recipe", "expected"), READS)
def test_reads(packet, offset, recipe, expected):
    result = unpack(packet, offset, recipe)
    assert result == expected
    assert list(result) == list(expected)


def test_item_offset_moves_the_running_position():
    packet = bytes([0, 0, 0x11, 0x22])
    assert unpack(packet, 8, [item(offset_bits=8), item(name="next")]) == {"x": 0x11, "next": 0x22}


def test_wide_field_with_reverse_round_trips():
    recipe = [
        item(bits=100, value=0x0123456789ABCDEF, reverse_bits=True),
        item(name="y", bits=72, value=2**64 - 2, byte_order="little"),
    ]
    packet = vantrel.pack_parameters(recipe)
    assert unpack(packet, 0, recipe) == {"x": 0x0123456789ABCDEF, "y": 2**64 - 2}


FAULTS = [
    (b"\x00\x00", 0, [item(bits=24)], "range end index 3 out of range for slice of length 2"),
    (b"\x00\x00", 40, [item()], "range start index 5 out of range for slice of length 2"),
    (b"\x00", 1, [item()], "range end index 2 out of range for slice of length 1"),
    (b"", 0, [item(bits=1)], "range end index 1 out of range for slice of length 0"),
    (b"\x00", 16, [item(bits=0)], "range start index 2 out of range for slice of length 1"),
    # The bounds fault comes before byte order and encoding checks.
    (
        b"\x00",
        0,
        [item(bits=9, byte_order="sideways", encoding="nope")],
        "range end index 2 out of range for slice of length 1",
    ),
]


@pytest.mark.parametrize(("packet", "offset", "recipe", "message"), FAULTS)
def test_short_packet_faults(packet, offset, recipe, message, panic_exception_type):
    with pytest.raises(panic_exception_type) as info:
        unpack(packet, offset, recipe)
    assert str(info.value) == message
    assert not isinstance(info.value, Exception)


def test_packet_short_by_one_bit(panic_exception_type):
    recipe = [item(bits=7), item(name="y", bits=10)]
    with pytest.raises(panic_exception_type):
        unpack(b"\x00\x00", 0, recipe)
    assert unpack(b"\x00\x00\x00", 0, recipe) == {"x": 0, "y": 0}


ERRORS = [
    (
        [item(byte_order="middle")],
        "ValueError: Invalid byte_order 'middle': must be 'big' or 'little'",
    ),
    (
        [item(byte_order="middle", encoding="nope")],
        "ValueError: Invalid byte_order 'middle': must be 'big' or 'little'",
    ),
    ([item(encoding="Nope")], "ValueError: Unsupported encoding type: Nope"),
    ([item(encoding="ti_f32")], "NotImplementedError: TI f32 format not yet implemented"),
    ([item(encoding="TI_F40")], "NotImplementedError: TI f40 format not yet implemented"),
    ([item(encoding="dec_f32")], "NotImplementedError: DEC f32 format not yet implemented"),
    ([item(encoding="dec_f64")], "NotImplementedError: DEC f64 format not yet implemented"),
    ([item(encoding="ibm_f32")], "NotImplementedError: IBM f32 format not yet implemented"),
    ([item(encoding="ibm_f64")], "NotImplementedError: IBM f64 format not yet implemented"),
    (
        [item(encoding="ieee754_1985_f32")],
        "NotImplementedError: IEEE 754-1985 f32 format not yet implemented",
    ),
    (
        [item(encoding="ieee754_1985_f64")],
        "NotImplementedError: IEEE 754-1985 f64 format not yet implemented",
    ),
    (
        [item(encoding="ieee754_1985_f80")],
        "NotImplementedError: IEEE 754-1985 f80 format not yet implemented",
    ),
    (
        [item(encoding="mil_std_1750a_f32")],
        "NotImplementedError: MIL-STD-1750A f32 format not yet implemented",
    ),
    (
        [item(encoding="mil_std_1750a_f48")],
        "NotImplementedError: MIL-STD-1750A f48 format not yet implemented",
    ),
    (
        [item(encoding="ieee754_f128", bits=64)],
        "ValueError: IEEE 754 f128 requires a 128-bit field, got 64 bits",
    ),
    (
        [item(encoding="ieee754_f128", bits=0)],
        "ValueError: IEEE 754 f128 requires a 128-bit field, got 0 bits",
    ),
    (
        [item(encoding="ieee754_f128", bits=128)],
        "ValueError: IEEE 754 f128 requires special handling for >64 bits (not yet implemented "
        "in process_recipe)",
    ),
    (
        [{"name": "a", "encoding": "unsigned", "bits": 8, "byte_order": "big"}],
        "KeyError: \"Recipe missing required field: 'reverse_bits'\"",
    ),
    ([item(), 7], "TypeError: 'int' object cannot be cast as 'dict'"),
]


@pytest.mark.parametrize(("recipe", "message"), ERRORS)
def test_errors_are_wrapped(recipe, message):
    assert unpack_error(bytes(16), 0, recipe) == message


def test_errors_carry_no_cause():
    with pytest.raises(ValueError) as info:
        unpack(b"\x00", 0, [item(encoding="ti_f32")])
    assert info.value.__cause__ is None


def test_positions_past_64_bits_fail_cleanly():
    assert unpack_error(b"\x00", 2**64 - 1, [item(offset_bits=1)]).startswith("OverflowError: ")
    assert unpack_error(b"\x00", 2**64 - 4, [item()]).startswith("OverflowError: ")


def test_value_key_is_ignored():
    assert unpack(b"\x05", 0, [item(value="anything")]) == {"x": 5}


def test_name_keys_are_plain_str():
    class Name(str):
        def __hash__(self):
            return 1

    result = unpack(b"\x05", 0, [item(name=Name("k"))])
    assert result == {"k": 5}
    assert type(next(iter(result))) is str


def test_hostile_index_during_unpacking():
    first_name = "".join(["fi", "rst"])  # a str only the recipe holds
    recipe = [item(name=first_name), item(name="second")]

    class Mutating:
        def __index__(self):
            recipe[0]["name"] = "renamed"
            recipe[0]["encoding"] = "twos_complement"
            recipe[1]["bits"] = 4
            return 8

    recipe[0]["bits"] = Mutating()
    del first_name
    # Keys already read stay as they were read; later items see the change.
    assert unpack(b"\xff\x20", 0, recipe) == {"first": 255, "second": 2}

    recipe = [item(name="first"), item(name="second")]

    class Clearing:
        def __index__(self):
            recipe[0].clear()
            recipe[1].clear()
            return 8

    recipe[0]["bits"] = Clearing()
    assert unpack_error(b"\x01\x02", 0, recipe) == (
        "KeyError: \"Recipe missing required field: 'byte_order'\""
    )


@st.composite
def integer_recipes(draw):
    recipe, values = [], {}
    for index in range(draw(st.integers(1, 8))):
        encoding = draw(
            st.sampled_from(["unsigned", "twos_complement", "ones_complement", "sign_magnitude"])
        )
        low_bits = {"unsigned": 0, "twos_complement": 1, "ones_complement": 1, "sign_magnitude": 2}[
            encoding
        ]
        bits = draw(st.integers(low_bits, 64))
        if encoding == "unsigned":
            value = draw(st.integers(0, (1 << bits) - 1)) if bits else 0
        elif encoding == "twos_complement":
            value = draw(st.integers(-(1 << (bits - 1)), (1 << (bits - 1)) - 1))
        else:
            value = draw(st.integers(-((1 << (bits - 1)) - 1), (1 << (bits - 1)) - 1))
        byte_order = "little" if bits % 8 == 0 and draw(st.booleans()) else "big"
        name = f"p{index}"
        entry = item(
            name=name,
            encoding=encoding,
            bits=bits,
            byte_order=byte_order,
            reverse_bits=draw(st.booleans()),
            value=value,
        )
        if draw(st.booleans()):
            # Offsets past every earlier field keep fields from overlapping.
            entry["offset_bits"] = sum(e["bits"] for e in recipe) + draw(st.integers(0, 20))
            entry["offset_bits"] += sum(e.get("offset_bits", 0) for e in recipe)
        recipe.append(entry)
        values[name] = value
    return recipe, values


@settings(max_examples=300, deadline=None)
@given(integer_recipes(), st.integers(0, 40))
def test_integer_recipes_round_trip(recipe_and_values, shift):
    recipe, values = recipe_and_values
    packet = vantrel.pack_parameters(recipe)
    assert unpack(packet, 0, recipe) == values
    # The same packet shifted right by `shift` bits, read at call offset `shift`.
    total = len(packet) * 8
    shifted_value = int.from_bytes(packet, "big") << (-(total + shift) % 8)
    shifted = shifted_value.to_bytes((total + shift + 7) // 8, "big")
    assert unpack(shifted, shift, recipe) == values


@settings(max_examples=300, deadline=None)
@given(st.binary(min_size=1, max_size=24), st.data())
def test_reading_matches_a_bit_model(packet, data):
    total = len(packet) * 8
    position = data.draw(st.integers(0, total))
    bits = data.draw(st.integers(0, min(64, total - position)))
    reverse = data.draw(st.booleans())
    expected = read_bits(packet, position, bits)
    if reverse:
        expected = mirror(expected, bits)
    got = unpack(packet, 0, [item(bits=bits, offset_bits=position, reverse_bits=reverse)])
    assert got == {"x": expected}
