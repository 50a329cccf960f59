"""vantrel.Layout: a recipe compiled once must behave exactly like the packet
functions given the same recipe, and be a well-behaved immutable value."""

import copy
import mmap
import pickle
import sys
import threading

import pytest
from hypothesis import given, settings
from hypothesis import strategies as st

import vantrel
from recipe_helpers import fields, item, layout_ready

HOUSEKEEPING = [
    item("apid", "unsigned", 11),
    item("temperature", "twos_complement", 12),
    item("voltage", "ieee754_f32", 32, "little"),
    item("flags", "unsigned", 5, reverse_bits=True),
    item("mode", "utf8", 32, offset_bits=64),
]
HOUSEKEEPING_VALUES = {
    "apid": 0x2A5,
    "temperature": -42,
    "voltage": 28.125,
    "flags": 0b10110,
    "mode": "SAFE",
}


def outcome(call):
    """("ok", repr of the result) or (exception type, message): comparable,
    NaN-safe, and sensitive to int/float and key order."""
    try:
        result = call()
    except BaseException as exc:  # noqa: BLE001 - PanicException is a BaseException
        return type(exc), str(exc)
    if isinstance(result, dict):
        return "ok", repr(list(result.items()))
    return "ok", repr(result)


VALUES = st.one_of(
    st.integers(-(2**64), 2**64),
    st.integers(-100, 100),
    st.floats(width=32),
    st.floats(),
    st.text(max_size=6),
)


@settings(max_examples=400)
@given(
    recipe=st.lists(fields(), max_size=6),
    packet=st.binary(max_size=48),
    offset=st.integers(0, 40),
)
def test_unpack_matches_unpack_parameters(panic_exception_type, recipe, packet, offset):
    recipe = layout_ready(recipe)
    layout = vantrel.Layout(recipe)
    expected = outcome(lambda: vantrel.unpack_parameters(packet, offset, recipe))
    got = outcome(lambda: layout.unpack(packet, offset))
    if got[0] is ValueError and "is too short for the layout" in got[1]:
        # The one mend: the whole packet is checked first, and a short one is a
        # ValueError naming what is missing. The packet function faults on the
        # same fields once none of them fails to decode.
        assert f"packet of {len(packet)} bytes" in got[1]
        bounds_only = [dict(entry, encoding="unsigned") for entry in recipe]
        with pytest.raises(panic_exception_type):
            vantrel.unpack_parameters(packet, offset, bounds_only)
    elif expected[0] == "ok":
        assert got == expected
    else:
        assert got[0] is expected[0] and expected[1] in got[1]


@settings(max_examples=400)
@given(recipe=st.lists(fields(), max_size=6), data=st.data())
def test_pack_matches_pack_parameters(recipe, data):
    recipe = layout_ready(recipe)
    names = sorted({entry["name"] for entry in recipe})
    values = {name: data.draw(VALUES, label=name) for name in names}
    layout = vantrel.Layout(recipe)
    expected = outcome(
        lambda: vantrel.pack_parameters([dict(e, value=values[e["name"]]) for e in recipe])
    )
    got = outcome(lambda: layout.pack(values))
    if expected[0] == "ok":
        assert got == expected
    else:
        assert got[0] is expected[0] and expected[1] in got[1]


@pytest.mark.parametrize(
    ("recipe", "index", "name"),
    [
        ([item("a"), {"name": "temp", "encoding": "unsigned"}], 1, "'temp'"),
        ([item("a"), item("b"), 7], 2, None),
        ([item("a"), item("b", bits=-1)], 1, "'b'"),
        ([item("a", "uint8")], 0, "'a'"),
        ([item("a", byte_order="middle")], 0, "'a'"),
        ([item("a", reverse_bits=1)], 0, "'a'"),
        ([item("a", bits=8, offset_bits=2**64 - 4)], 0, "'a'"),
        ([{"encoding": "unsigned"}], 0, None),
    ],
)
def test_recipe_errors_name_the_item(recipe, index, name):
    with pytest.raises(ValueError) as from_packet_function:
        vantrel.unpack_parameters(bytes(64), 0, recipe)
    with pytest.raises(ValueError) as from_layout:
        vantrel.Layout(recipe)
    where = f"recipe item {index} ({name}): " if name else f"recipe item {index}: "
    expected = where + str(from_packet_function.value)
    if "Unsupported encoding type" in expected:  # Layout adds the names there are
        message, known = str(from_layout.value).split(" (known: ")
        assert message == expected
        assert_every_encoding(known.rstrip(")").split(", "))
    else:
        assert str(from_layout.value) == expected


def assert_every_encoding(names):
    """`names` are the 34 encoding names, each once, each one the packet
    functions know."""
    assert len(names) == len(set(names)) == 34
    for name in names:
        probe = {**item("x", name, 128), "byte_order": "big"}
        try:
            vantrel.unpack_parameters(bytes(16), 0, [probe])
        except ValueError as error:
            assert "Unsupported encoding type" not in str(error), name


def test_misspelt_keys_and_encodings_get_a_suggestion():
    with pytest.raises(ValueError, match=r"recipe item 0 \('a'\): unknown key 'encodng'; did"):
        vantrel.Layout([{"name": "a", "encodng": "unsigned", "bits": 8}])
    with pytest.raises(ValueError, match=r"^recipe item 0: unknown key 'nme'; did you mean 'name'"):
        vantrel.Layout([{"nme": "a", "encoding": "unsigned", "bits": 8}])
    with pytest.raises(ValueError, match=r"unsignd; did you mean 'unsigned'\? \(known: unsigned, "):
        vantrel.Layout([item("a", "unsignd")])


def test_recipe_must_be_a_sequence_of_dicts():
    with pytest.raises(TypeError, match="argument 'recipe'"):
        vantrel.Layout("abc")
    with pytest.raises(TypeError):
        vantrel.Layout()


def test_layout_keeps_its_own_copy_of_the_recipe():
    recipe = [dict(entry) for entry in HOUSEKEEPING]
    layout = vantrel.Layout(recipe)
    packet = layout.pack(HOUSEKEEPING_VALUES)
    before = layout.unpack(packet)
    recipe[0]["bits"] = 3
    recipe[1]["name"] = "renamed"
    del recipe[2]["encoding"]
    recipe.append(item("extra"))
    assert layout.unpack(packet) == before == HOUSEKEEPING_VALUES
    assert layout.names == ("apid", "temperature", "voltage", "flags", "mode")


def test_attributes_and_repr():
    layout = vantrel.Layout(HOUSEKEEPING)
    assert layout.names == tuple(entry["name"] for entry in HOUSEKEEPING)
    assert (layout.size_bits, layout.size_bytes) == (96, 12)
    assert len(layout.pack(HOUSEKEEPING_VALUES)) == layout.size_bytes
    text = repr(layout)
    assert text.startswith("<vantrel.Layout: 5 fields, 96 bits")
    assert "'mode' utf8 32 bits at 64" in text
    assert vantrel.Layout([]).size_bits == 0
    # A zero-width field needs only its start byte, as unpack_parameters has it.
    assert vantrel.Layout([item("z", bits=0, offset_bits=20)]).unpack(b"\x00\x00") == {"z": 0}
    assert "Layout" not in vantrel.__all__ and len(vantrel.__all__) == 62


def test_equality_hashing_pickling_and_copies():
    layout = vantrel.Layout(HOUSEKEEPING)
    spelled_differently = [dict(e, encoding=e["encoding"].upper()) for e in HOUSEKEEPING]
    assert vantrel.Layout(spelled_differently) == layout
    assert hash(vantrel.Layout(spelled_differently)) == hash(layout)
    assert vantrel.Layout(HOUSEKEEPING[:-1]) != layout
    assert vantrel.Layout([dict(HOUSEKEEPING[0], name="other")] + HOUSEKEEPING[1:]) != layout
    assert layout != HOUSEKEEPING
    for clone in (pickle.loads(pickle.dumps(layout)), copy.copy(layout), copy.deepcopy(layout)):
        assert clone == layout and hash(clone) == hash(layout)
        assert clone.pack(HOUSEKEEPING_VALUES) == layout.pack(HOUSEKEEPING_VALUES)
    assert {layout, pickle.loads(pickle.dumps(layout))} == {layout}


def test_packet_is_any_contiguous_buffer():
    np = pytest.importorskip("numpy")
    layout = vantrel.Layout(HOUSEKEEPING)
    packet = layout.pack(HOUSEKEEPING_VALUES)
    shared = mmap.mmap(-1, len(packet))
    shared.write(packet)
    buffers = [
        bytearray(packet),
        memoryview(packet),
        shared,
        np.frombuffer(packet, dtype=np.uint8),
        b"\xff" + packet,
    ]
    for buffer in buffers:
        offset = 8 if len(buffer) > len(packet) else 0
        assert layout.unpack(buffer, offset) == HOUSEKEEPING_VALUES
    shared.close()
    with pytest.raises(BufferError):
        layout.unpack(memoryview(bytes(48))[::2])
    with pytest.raises(ValueError, match="contiguous"):
        layout.unpack(np.zeros(48, dtype=np.uint8)[::2])
    with pytest.raises(TypeError):
        layout.unpack("not bytes")
    with pytest.raises(OverflowError):
        layout.unpack(packet, -1)


def test_short_packet_names_length_and_bits():
    layout = vantrel.Layout(HOUSEKEEPING)
    with pytest.raises(ValueError) as info:
        layout.unpack(bytes(12), offset_bits=4)
    message = str(info.value)
    assert "packet of 12 bytes (96 bits)" in message and "needs 100 bits" in message
    assert "recipe item 4 ('mode')" in message


def test_pack_errors_name_the_field():
    layout = vantrel.Layout(HOUSEKEEPING)
    with pytest.raises(KeyError) as missing:
        layout.pack({k: v for k, v in HOUSEKEEPING_VALUES.items() if k != "voltage"})
    assert missing.value.args == ("voltage",)
    with pytest.raises(ValueError) as too_large:
        layout.pack(dict(HOUSEKEEPING_VALUES, apid=4096))
    assert str(too_large.value) == (
        "recipe item 0 ('apid'): ValueError: Value 4096 is too large for 11 bits"
    )
    with pytest.raises(ValueError, match=r"recipe item 1 \('temperature'\): TypeError"):
        layout.pack(dict(HOUSEKEEPING_VALUES, temperature="hot"))
    with pytest.raises(TypeError, match="mapping"):
        layout.pack([1, 2, 3])
    unpack_only = vantrel.Layout([item("x", "IBM_F32", 32)])
    with pytest.raises(ValueError, match="Unsupported encoding type: IBM_F32"):
        unpack_only.pack({"x": 1.0})


def test_pack_takes_any_mapping():
    class Values(dict):
        def __missing__(self, key):
            return 0 if key == "flags" else super().__missing__(key)

    layout = vantrel.Layout(HOUSEKEEPING)
    partial = Values({k: v for k, v in HOUSEKEEPING_VALUES.items() if k != "flags"})
    assert layout.unpack(layout.pack(partial))["flags"] == 0


def test_a_layout_is_shared_between_threads():
    layout = vantrel.Layout(HOUSEKEEPING)
    packet = layout.pack(HOUSEKEEPING_VALUES)
    failures = []

    def work():
        for _ in range(2000):
            if layout.unpack(packet) != HOUSEKEEPING_VALUES:
                failures.append("unpack")
            if layout.pack(HOUSEKEEPING_VALUES) != packet:
                failures.append("pack")

    threads = [threading.Thread(target=work) for _ in range(4)]
    for thread in threads:
        thread.start()
    for thread in threads:
        thread.join()
    assert failures == []


def test_layouts_do_not_grow_the_callers_strings():
    name = "température"  # not ASCII: its UTF-8 form is not its storage
    text = "é" * 100_000
    recipe = [item(name, "utf16le", 16 * len(text))]
    sizes = (sys.getsizeof(name), sys.getsizeof(text))
    layout = vantrel.Layout(recipe)
    packet = layout.pack({name: text})
    assert layout.unpack(packet) == {name: text}
    assert (sys.getsizeof(name), sys.getsizeof(text)) == sizes


def test_pack_finds_values_whatever_the_dict_order_and_key_objects():
    layout = vantrel.Layout(HOUSEKEEPING)
    expected = layout.pack(HOUSEKEEPING_VALUES)
    fresh_keys = {"".join(list(name)): value for name, value in HOUSEKEEPING_VALUES.items()}
    reordered = dict(reversed(list(HOUSEKEEPING_VALUES.items())))
    interleaved = {}
    for name, value in HOUSEKEEPING_VALUES.items():
        interleaved[name + "_other"] = -1
        interleaved[name] = value
    for values in (fresh_keys, reordered, interleaved, layout.unpack(expected)):
        assert layout.pack(values) == expected

    class Mutating:
        """An int-like value that empties the dict it is read from."""

        def __index__(self):
            values.clear()
            return 7

    values = dict(HOUSEKEEPING_VALUES, apid=Mutating())
    with pytest.raises(KeyError, match="temperature"):
        layout.pack(values)


def test_methods_report_wrong_calls_as_the_functions_do():
    layout = vantrel.Layout(HOUSEKEEPING)
    calls = [
        (lambda: layout.unpack(), "unpack() missing 1 required positional argument: 'packet'"),
        (
            lambda: layout.unpack(b"", 0, 1),
            "unpack() takes from 1 to 2 positional arguments but 3 were given",
        ),
        (lambda: layout.pack({}, 1), "pack() takes 1 positional arguments but 2 were given"),
        (lambda: layout.unpack(b"", mode=1), "unpack() got an unexpected keyword argument 'mode'"),
        (
            lambda: layout.unpack(b"", packet=b""),
            "unpack() got multiple values for argument 'packet'",
        ),
        (
            lambda: vantrel.split_packets(b""),
            "split_packets() missing 2 required positional arguments: "
            "'length_offset_bits' and 'length_bits'",
        ),
        # The same wording as a function of the table.
        (
            lambda: vantrel.encode_twos_complement(1, 8, 9),
            "encode_twos_complement() takes 2 positional arguments but 3 were given",
        ),
    ]
    for call, message in calls:
        with pytest.raises(TypeError) as raised:
            call()
        assert str(raised.value) == message


def test_method_signatures_are_the_ones_their_binders_read():
    """inspect.signature of every Layout method and stream function is the
    signature its arguments are bound by: each parameter passed by name at
    its stated default gives what the plain call gives, and keyword-only
    parameters are refused by position."""
    import inspect

    import numpy as np

    layout = vantrel.Layout([item("a", "unsigned", 8), item("b", "unsigned", 8)])
    archive = bytes([1, 2, 3, 4])
    stream = bytes([0, 1, 0, 0, 0, 0, 9, 0, 2, 0, 1, 0, 0, 7])  # two 7-byte space packets
    calls = {
        layout.unpack: ((archive,), lambda r: r),
        layout.pack: (({"a": 1, "b": 2},), lambda r: r),
        layout.unpack_many: ((archive,), lambda r: {k: v.tolist() for k, v in r.items()}),
        layout.pack_many: (({"a": [1], "b": [2]},), lambda r: r),
        vantrel.split_packets: ((stream,), lambda r: r.tolist()),
        vantrel.split_by_apid: ((stream, [0, 7]), lambda r: {k: v.tolist() for k, v in r.items()}),
        vantrel.check_sequence_counts: (([1, 1], [0, 1]), lambda r: [a.tolist() for a in r]),
    }
    required = {
        vantrel.split_packets: {"length_offset_bits": 32, "length_bits": 16, "length_adjust": 7},
    }
    for function, (args, normal) in calls.items():
        signature = inspect.signature(function)
        given = required.get(function, {})
        plain = normal(function(*args, **given))
        named = list(signature.parameters.values())[len(args) :]
        defaults = {
            p.name: p.default
            for p in named
            if p.default is not inspect.Parameter.empty and p.name not in given
        }
        assert defaults, function
        assert normal(function(*args, **given, **defaults)) == plain, function
        keyword_only = [
            p
            for p in signature.parameters.values()
            if p.kind is p.KEYWORD_ONLY and p.name not in given
        ]
        if keyword_only:
            with pytest.raises(TypeError):
                function(*args, *[np.int64(0)] * (len(signature.parameters) - len(args)), **given)
