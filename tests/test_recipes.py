"""Recipe items: key lookups, conversions and encoding names, shared by both packet functions."""

import pytest
from hypothesis import given, settings
from hypothesis import strategies as st

import vantrel
from recipe_helpers import ENCODINGS, item

pack = vantrel.pack_parameters
unpack = vantrel.unpack_parameters


def pack_error(recipe):
    with pytest.raises(ValueError) as info:
        pack(recipe)
    return str(info.value)


def unpack_error(recipe, packet=b"\x00" * 8):
    with pytest.raises(ValueError) as info:
        unpack(packet, 0, recipe)
    return str(info.value)


@pytest.mark.parametrize("encoding", ["UNSIGNED", "Unsigned", "unSigned"])
@pytest.mark.parametrize("byte_order", ["BIG", "Big", "bIG"])
def test_names_are_case_insensitive(encoding, byte_order):
    recipe = [item(encoding=encoding, byte_order=byte_order, value=1)]
    assert pack(recipe) == b"\x01"
    assert unpack(b"\x01", 0, recipe) == {"x": 1}


def test_full_unicode_lower_casing():
    # U+212A KELVIN SIGN lower-cases to ASCII "k"; U+0130 lower-cases to two code points.
    recipe = [item(encoding="pac\u212aed_bcd", bits=8, value=42)]
    assert pack(recipe) == b"\x42"
    assert unpack(b"\x42", 0, recipe) == {"x": 42}
    assert pack_error([item(encoding="unsigned\u0130", value=1)]) == (
        "ValueError: Unsupported encoding type: unsigned\u0130"
    )
    assert pack([item(encoding="UTF16LE", bits=16, value="A")]) == b"A\x00"


@pytest.mark.parametrize("encoding", ["utf-8", " utf8", "utf8 ", "UTF_8", "", "uint8"])
def test_unsupported_names_are_quoted_as_written(encoding):
    message = f"ValueError: Unsupported encoding type: {encoding}"
    assert pack_error([item(encoding=encoding, value="a")]) == message
    assert unpack_error([item(encoding=encoding)]) == message


def test_latin1_is_iso_8859_1():
    assert pack([item(encoding="Latin1", value="\xe9")]) == b"\xe9"
    assert unpack(b"\xe9", 0, [item(encoding="latin1")]) == {"x": "\xe9"}


@pytest.mark.parametrize(
    "encoding",
    [
        "ieee754_f128",
        "ieee754_1985_f32",
        "ieee754_1985_f64",
        "ieee754_1985_f80",
        "mil_std_1750a_f32",
        "mil_std_1750a_f48",
        "ibm_f32",
        "ibm_f64",
        "ti_f32",
        "ti_f40",
        "dec_f32",
        "dec_f64",
    ],
)
def test_unpack_only_names_are_refused_by_packing(encoding):
    assert pack_error([item(encoding=encoding.upper(), value=1.0)]) == (
        f"ValueError: Unsupported encoding type: {encoding.upper()}"
    )


KEY_ERRORS = [
    ({"bits": None}, "TypeError: 'NoneType' object cannot be interpreted as an integer"),
    ({"bits": -1}, "OverflowError: out of range integral type conversion attempted"),
    ({"bits": 2**32}, "OverflowError: out of range integral type conversion attempted"),
    ({"bits": 2**70}, "OverflowError: ..."),
    ({"bits": 8.0}, "TypeError: 'float' object cannot be interpreted as an integer"),
    ({"offset_bits": None}, "TypeError: 'NoneType' object cannot be interpreted as an integer"),
    ({"offset_bits": -1}, "OverflowError: ..."),
    ({"offset_bits": 2**64}, "OverflowError: ..."),
    ({"reverse_bits": 0}, "TypeError: 'int' object cannot be cast as 'bool'"),
    ({"reverse_bits": 1}, "TypeError: 'int' object cannot be cast as 'bool'"),
    ({"reverse_bits": None}, "TypeError: 'NoneType' object cannot be cast as 'bool'"),
    ({"name": 5}, "TypeError: 'int' object cannot be cast as 'str'"),
    ({"encoding": b"unsigned"}, "TypeError: 'bytes' object cannot be cast as 'str'"),
    ({"byte_order": None}, "TypeError: 'NoneType' object cannot be cast as 'str'"),
    ({"name": "\ud800"}, "UnicodeEncodeError: ..."),
]


@pytest.mark.parametrize(("override", "message"), KEY_ERRORS)
def test_key_conversion_errors(override, message):
    recipe = [dict(item(value=1), **override)]
    for got in (pack_error(recipe), unpack_error(recipe)):
        if message.endswith("..."):
            assert got.startswith(message[:-3])
        else:
            assert got == message


@pytest.mark.parametrize("missing", ["name", "encoding", "bits", "byte_order", "reverse_bits"])
def test_missing_required_key(missing):
    recipe = [item(value=1)]
    del recipe[0][missing]
    message = f"KeyError: \"Recipe missing required field: '{missing}'\""
    assert pack_error(recipe) == message
    assert unpack_error(recipe) == message


def test_keys_are_read_in_order():
    # Every key wrong: the first in reading order is reported.
    bad = {
        "name": 1,
        "encoding": 2,
        "bits": "x",
        "byte_order": 3,
        "reverse_bits": 4,
        "offset_bits": "y",
    }
    assert unpack_error([bad]) == "TypeError: 'int' object cannot be cast as 'str'"
    # Packing sizes first, so `bits` is reported before `name`.
    assert pack_error([bad]).startswith(
        "TypeError: 'str' object cannot be interpreted as an integer"
    )


def test_item_must_be_a_dict():
    assert pack_error([[1, 2]]) == "TypeError: 'list' object cannot be cast as 'dict'"
    assert unpack_error([("a",)]) == "TypeError: 'tuple' object cannot be cast as 'dict'"


def test_dict_subclass_with_extra_keys():
    class Item(dict):
        def __getitem__(self, key):  # never consulted: lookups are dict-level
            raise AssertionError("subclass lookup used")

        def __missing__(self, key):
            raise AssertionError("subclass lookup used")

    recipe = [Item(item(value=0x5A, comment="extra", units="V"))]
    assert pack(recipe) == b"\x5a"
    assert unpack(b"\x5a", 0, recipe) == {"x": 0x5A}
    del recipe[0]["value"]
    assert pack_error(recipe) == ("KeyError: \"Recipe item 'x' missing required field: 'value'\"")


def test_any_sequence_is_a_recipe():
    one = item(value=7)
    assert pack((one,)) == pack([one]) == b"\x07"
    assert unpack(b"\x07", 0, range(0)) == {}

    class Recipe:
        def __len__(self):
            return 1

        def __getitem__(self, index):
            if index:
                raise IndexError(index)
            return one

    assert pack(Recipe()) == b"\x07"


def test_numpy_bool_is_accepted_for_reverse_bits():
    np = pytest.importorskip("numpy")
    assert pack([item(bits=3, value=1, reverse_bits=np.bool_(True))]) == b"\x80"


ENCODING_NAMES = [*ENCODINGS, "nope"]
ANY_VALUE = st.one_of(
    st.none(),
    st.booleans(),
    # Widths between 1000 and 2**32 would only make large packets.
    st.integers(-(2**70), 1000),
    st.integers(2**32, 2**70),
    st.floats(),
    st.text(max_size=12),
    st.binary(max_size=12),
)


@st.composite
def loose_items(draw):
    entry = {
        "name": draw(st.one_of(st.text(max_size=4), ANY_VALUE)),
        "encoding": draw(st.one_of(st.sampled_from(ENCODING_NAMES), ANY_VALUE)),
        "bits": draw(st.one_of(st.integers(0, 200), ANY_VALUE)),
        "byte_order": draw(st.sampled_from(["big", "little", "LITTLE", "middle", 1])),
        "reverse_bits": draw(st.one_of(st.booleans(), ANY_VALUE)),
        "value": draw(ANY_VALUE),
    }
    if draw(st.booleans()):
        entry["offset_bits"] = draw(st.one_of(st.integers(0, 300), ANY_VALUE))
    for key in draw(st.sets(st.sampled_from(sorted(entry)), max_size=2)):
        del entry[key]
    return entry


@settings(max_examples=500, deadline=None)
@given(
    recipe=st.lists(loose_items(), max_size=5),
    packet=st.binary(max_size=40),
    offset=st.integers(0, 64),
)
def test_arbitrary_recipes_fail_cleanly(panic_exception_type, recipe, packet, offset):
    """Whatever a recipe holds, the packet functions return or raise a clean error."""
    try:
        packed = pack(recipe)
    except ValueError as exc:
        assert ": " in str(exc)
    else:
        assert isinstance(packed, bytes)
    try:
        values = unpack(packet, offset, recipe)
    except (ValueError, panic_exception_type) as exc:
        assert str(exc)
    else:
        assert isinstance(values, dict) and all(type(key) is str for key in values)
