"""pack_parameters: sizing, placement, byte order, mirroring and error order."""

import pytest
from hypothesis import given, settings
from hypothesis import strategies as st

import vantrel
from recipe_helpers import BitWriter, item, mirror

pack = vantrel.pack_parameters


def pack_error(recipe):
    with pytest.raises(ValueError) as info:
        pack(recipe)
    return str(info.value)


PLACEMENTS = [
    ([item(bits=12, value=0xABC)], "abc0"),
    ([item(bits=12, value=0xABC, byte_order="little")], "c0a0"),
    ([item(bits=3, value=1, reverse_bits=True)], "80"),
    ([item(bits=4, value=0xA), item(bits=4, value=0xB)], "ab"),
    ([item(bits=3, value=5, offset_bits=6)], "0280"),
    ([item(bits=1, value=1)], "80"),
    ([item(bits=0, value=0)], ""),
    ([], ""),
    ([item(bits=32, encoding="utf8", value="AB")], "00004142"),
    ([item(bits=16, encoding="utf8", value="ABCDE")], "4445"),
    ([item(bits=12, encoding="utf8", value="AB")], "142"[0:0] + "1420"),
    ([item(bits=64, encoding="ieee754_f64", value=1.0)], "3ff0000000000000"),
    ([item(bits=16, byte_order="little", value=0x1234)], "3412"),
    ([item(bits=24, byte_order="little", value=0x123456)], "563412"),
    ([item(bits=8, byte_order="little", value=0x12)], "12"),
    ([item(bits=16, encoding="twos_complement", value=-2)], "fffe"),
    ([item(bits=8, encoding="ones_complement", value=-1)], "fe"),
    ([item(bits=8, encoding="sign_magnitude", value=-5)], "85"),
    ([item(bits=4, encoding="twos_complement", value=-1, offset_bits=2)], "3c"),
    # Backward offsets: the sizing pass places the third item after the largest end.
    (
        [
            item(bits=8, value=0xFF, offset_bits=16),
            item(bits=8, value=0x11, offset_bits=0),
            item(bits=8, value=0x22),
        ],
        "1122ff00",
    ),
    # A later field clears as well as sets.
    ([item(bits=16, value=0xFFFF), item(bits=8, value=0x00, offset_bits=4)], "f00f"),
    ([item(bits=8, value=0xFF), item(bits=4, value=0x5, offset_bits=2)], "d7"),
    # Numeric fields wider than their pattern carry leading zero bytes.
    ([item(bits=72, value=0x0102030405060708)], "000102030405060708"),
    ([item(bits=80, encoding="ieee754_f32", value=1.0)], "000000000000" + "3f800000"),
    # Reverse over a wide field: the pattern's mirror lands at the top.
    ([item(bits=72, value=1, reverse_bits=True)], "800000000000000000"),
    ([item(bits=72, value=0x0102030405060708, byte_order="little")], "080706050403020100"),
]


@pytest.mark.parametrize(("recipe", "expected"), PLACEMENTS)
def test_placements(recipe, expected):
    assert pack(recipe).hex() == expected


def test_text_shorter_than_field_is_padded_in_front():
    assert pack([item(encoding="utf8", bits=40, value="hi")]) == b"\x00\x00\x00hi"


def test_little_endian_width_not_multiple_of_eight_loses_top_bits():
    packet = pack([item(bits=12, value=0xABC, byte_order="little")])
    assert vantrel.unpack_parameters(packet, 0, [item(bits=12, byte_order="little")]) != {
        "x": 0xABC
    }


@pytest.mark.parametrize(
    ("bits", "value", "message"),
    [
        (0, 1, "ValueError: Value 1 is too large for 0 bits"),
        (63, 2**63, "ValueError: Value 9223372036854775808 is too large for 63 bits"),
        (8, 256, "ValueError: Value 256 is too large for 8 bits"),
    ],
)
def test_unsigned_range(bits, value, message):
    assert pack_error([item(bits=bits, value=value)]) == message


def test_unsigned_full_width():
    assert pack([item(bits=64, value=2**64 - 1)]) == b"\xff" * 8
    assert pack_error([item(bits=64, value=2**64)]).startswith("OverflowError: ")
    assert pack_error([item(bits=64, value=-1)]).startswith("OverflowError: ")


ERROR_ORDER = [
    # Missing value before an unsupported encoding of the same item.
    (
        [{"name": "n", "encoding": "nope", "bits": 8, "byte_order": "big", "reverse_bits": False}],
        "KeyError: \"Recipe item 'n' missing required field: 'value'\"",
    ),
    # A value that does not fit before an invalid byte order.
    ([item(value=300, byte_order="middle")], "ValueError: Value 300 is too large for 8 bits"),
    (
        [item(value=3, byte_order="Middle")],
        "ValueError: Invalid byte_order 'Middle': must be 'big' or 'little'",
    ),
    # reverse_bits must be a bool even where it has no effect.
    (
        [item(encoding="utf8", value="a", reverse_bits=1)],
        "TypeError: 'int' object cannot be cast as 'bool'",
    ),
    # The sizing pass reads `bits` of every item before any other key.
    ([{"bits": 8}, {"name": "second"}], "KeyError: \"Recipe missing required field: 'bits'\""),
    ([{"bits": 8}, item(value=1)], "KeyError: \"Recipe missing required field: 'name'\""),
    # Leaf errors pass through unchanged.
    (
        [item(encoding="twos_complement", value=128)],
        "ValueError: Value 128 out of range for 8 bits (range: -128 to 127)",
    ),
    (
        [item(encoding="sign_magnitude", bits=70, value=1)],
        "ValueError: bits must be between 2 and 64 for sign-magnitude encoding",
    ),
    ([item(value="7")], "TypeError: 'str' object cannot be interpreted as an integer"),
    ([item(encoding="utf8", value=b"bytes")], "TypeError: 'bytes' object cannot be cast as 'str'"),
    ([item(encoding="ieee754_f64", value="1.0")], "TypeError: must be real number, not str"),
]


@pytest.mark.parametrize(("recipe", "message"), ERROR_ORDER)
def test_error_order_and_mapping(recipe, message):
    assert pack_error(recipe) == message


def test_positions_past_64_bits_fail_cleanly():
    assert pack_error([item(value=1, offset_bits=2**64 - 4)]).startswith("OverflowError: ")
    assert pack_error([item(value=1, offset_bits=2**64 - 8, bits=8), item(value=1)]).startswith(
        "OverflowError: "
    )


def test_packet_too_large_fails_before_touching_memory():
    # 2**61 bytes cannot be allocated: the interpreter's MemoryError, not a crash.
    with pytest.raises(MemoryError):
        pack([item(value=1, offset_bits=2**64 - 9)])
    # A bad item is reported before a huge packet is allocated.
    message = pack_error([item(value=1, offset_bits=2**40), item(value=-1)])
    assert message.startswith("OverflowError: ")


def test_exception_str_failure_is_reported():
    class Unprintable(Exception):
        def __str__(self):
            raise RuntimeError("no str")

    class Bad:
        def __index__(self):
            raise Unprintable()

    assert pack_error([item(value=Bad())]).endswith("Unprintable: <exception str() failed>")


def test_interrupts_are_not_rewrapped():
    class Interrupting:
        def __index__(self):
            raise KeyboardInterrupt

    with pytest.raises(KeyboardInterrupt):
        pack([item(value=Interrupting())])


class Mutator:
    """An __index__ that rewrites the recipe's dicts while packing runs."""

    def __init__(self, recipe, value, action):
        self.recipe, self.value, self.action = recipe, value, action

    def __index__(self):
        self.action(self.recipe)
        return self.value


HOSTILE_ACTIONS = [
    lambda recipe: recipe[0].clear(),
    lambda recipe: recipe[1].clear(),
    lambda recipe: recipe[0].update(name="renamed" * 100, encoding="x" * 50),
    lambda recipe: recipe[1].update(bits=4000, offset_bits=10**6),
    lambda recipe: recipe[1].update(value=None),
    lambda recipe: recipe.clear(),
    lambda recipe: [d.update({f"k{i}": i for i in range(500)}) for d in recipe],
]


@pytest.mark.parametrize("action", HOSTILE_ACTIONS)
def test_hostile_index_cannot_crash(action):
    recipe = [item(name="first", bits=16), item(name="second", bits=8, value=3)]
    recipe[0]["value"] = Mutator(recipe, 0x1234, action)
    try:
        packet = pack(recipe)
    except ValueError:
        return
    assert isinstance(packet, bytes)
    assert packet[:2] == b"\x12\x34"


def test_hostile_bits_index_runs_in_sizing_pass():
    recipe = [item(bits=8, value=1)]

    class Shrinking:
        def __index__(self):
            recipe[0]["bits"] = 64  # the writing pass now sees a wider field
            return 8

    recipe[0]["bits"] = Shrinking()
    # The packet is sized for 8 bits; the wider field is clipped, never written past the end.
    assert pack(recipe) == b"\x00"


def test_none_value_fails_the_conversion():
    assert pack_error([item(value=None)]) == (
        "TypeError: 'NoneType' object cannot be interpreted as an integer"
    )


@st.composite
def unsigned_recipes(draw):
    count = draw(st.integers(0, 8))
    recipe = []
    for index in range(count):
        bits = draw(st.integers(0, 64))
        value = draw(st.integers(0, (1 << bits) - 1)) if bits else 0
        entry = item(name=f"f{index}", bits=bits, value=value, reverse_bits=draw(st.booleans()))
        if draw(st.booleans()):
            entry["offset_bits"] = draw(st.integers(0, 200))
        if bits % 8 == 0 and draw(st.booleans()):
            entry["byte_order"] = "little"
        recipe.append(entry)
    return recipe


def model_pack(recipe):
    end = 0
    for entry in recipe:
        end = max(end, entry.get("offset_bits", end) + entry["bits"])
    writer = BitWriter(end)
    running = 0
    for entry in recipe:
        bits, value = entry["bits"], entry["value"]
        if entry["reverse_bits"]:
            value = mirror(value, bits)
        if entry["byte_order"] == "little":
            value = int.from_bytes(value.to_bytes(bits // 8, "big"), "little")
        position = entry.get("offset_bits", running)
        writer.put(position, bits, value)
        running = position + bits
    return writer.to_bytes()


@settings(max_examples=400, deadline=None)
@given(unsigned_recipes())
def test_packing_matches_a_bit_writer(recipe):
    assert pack(recipe) == model_pack(recipe)
