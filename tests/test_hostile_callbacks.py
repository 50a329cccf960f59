"""Callbacks into Python that mutate, empty or free what the binding is
reading: every entry point that converts a value while it walks a container
must give a clear error or a consistent result, never a crash or a read of
freed memory (the sanitizer stage runs these too)."""

import gc

import pytest

import vantrel
from recipe_helpers import item

np = pytest.importorskip("numpy")

FAILURES = (ValueError, TypeError, KeyError, OverflowError)


class Emptying:
    """An integer whose conversion empties (and collects) the containers
    given to it, then answers `value`."""

    def __init__(self, value, *containers):
        self.value = value
        self.containers = containers

    def _empty(self):
        for container in self.containers:
            container.clear()
        gc.collect()

    def __index__(self):
        self._empty()
        return self.value

    def __float__(self):
        self._empty()
        return float(self.value)

    def __bool__(self):
        self._empty()
        return False


class EmptyingName(str):
    """A key that empties a dict when it is compared or hashed."""

    target = None

    def __hash__(self):
        if self.target is not None:
            self.target.clear()
        return str.__hash__(self)

    def __eq__(self, other):
        if self.target is not None:
            self.target.clear()
        return str.__eq__(self, other)


def outcome(call):
    try:
        return ("ok", call())
    except FAILURES as error:
        return ("error", type(error).__name__)
    except BaseException as error:  # noqa: BLE001 - a packet too short faults
        if type(error).__name__ == "PanicException":
            return ("panic", None)
        raise


def hostile_recipes():
    """Recipes with one converted value that empties the recipe and its items."""
    for key in ("bits", "offset_bits", "value", "reverse_bits"):
        recipe = [item("a", bits=8, value=1), item("b", bits=8, value=2)]
        recipe[0][key] = Emptying(8 if key != "reverse_bits" else 0, recipe, recipe[0], recipe[1])
        yield key, recipe


@pytest.mark.parametrize(("key", "recipe"), list(hostile_recipes()))
def test_recipe_functions_and_layouts_survive_recipes_emptied_by_a_value(key, recipe):
    outcome(lambda: vantrel.pack_parameters(recipe))
    outcome(lambda: vantrel.unpack_parameters(bytes(4), 0, recipe))
    result = outcome(lambda: vantrel.Layout(recipe))
    if result[0] == "ok":
        assert result[1].names in (("a", "b"), ("a",), ())


def test_pack_survives_values_emptied_by_a_value_or_a_key():
    layout = vantrel.Layout([item("a", bits=16), item("b", bits=16), item("c", bits=16)])
    values = {"a": 1, "b": None, "c": 3}
    values["b"] = Emptying(2, values)
    assert outcome(lambda: layout.pack(values)) in (
        ("ok", b"\x00\x01\x00\x02\x00\x03"),
        ("error", "KeyError"),
    )
    keyed = {}
    name = EmptyingName("b")
    name.target = keyed
    keyed.update({"a": 1, name: 2, "c": 3})
    outcome(lambda: layout.pack(keyed))
    name.target = None


def test_pack_many_survives_columns_that_change_while_read():
    layout = vantrel.Layout([item("a", bits=8), item("b", bits=8)])

    class Shrinking:
        """A sequence whose items shrink it."""

        def __init__(self):
            self.items = list(range(100))

        def __len__(self):
            return len(self.items)

        def __getitem__(self, index):
            value = self.items[index]
            del self.items[len(self.items) // 2 :]
            return value

    outcome(lambda: layout.pack_many({"a": Shrinking(), "b": Shrinking()}))

    class Mapping(dict):
        def __getitem__(self, key):
            value = dict.__getitem__(self, key)
            self.clear()
            gc.collect()
            return value

    columns = Mapping(a=[1, 2], b=[3, 4])
    assert outcome(lambda: layout.pack_many(columns))[0] in ("ok", "error")
    column = [1, 2, 3]
    column[1] = Emptying(5, column)
    assert layout.pack_many({"a": column, "b": [0, 0, 0]}) == b"\x01\x00\x05\x00\x03\x00"


def test_offsets_and_framing_rules_survive_mutation():
    layout = vantrel.Layout([item("a", bits=8)])
    offsets = [0, 1, 2]
    offsets[1] = Emptying(1, offsets)
    assert outcome(lambda: layout.unpack_many(b"abc", offsets=offsets))[0] in ("ok", "error")

    values = [0, 1, 2]
    fields = [{"offset_bits": 0, "bits": 3, "values": values}]
    rules = {"fields": fields, "min_length": Emptying(7, fields, values)}
    values.append(Emptying(3, values, fields, rules))
    result = outcome(
        lambda: vantrel.split_packets(
            bytes(12), length_offset_bits=32, length_bits=16, length_adjust=7, rules=rules
        )
    )
    assert result[0] in ("ok", "error")


def test_buffer_exporters_and_codec_functions_with_hostile_arguments():
    emptied = []
    assert vantrel.encode_twos_complement(Emptying(-1, emptied), Emptying(8, emptied)) == 255
    assert vantrel.decode_twos_complement(Emptying(255, emptied), 8) == -1
    assert vantrel.encode_ieee754_f32(Emptying(1, emptied)) == 0x3F800000

    class Exporter:
        """Hands out a different buffer at every request (3.12's __buffer__)."""

        sizes = [8, 1]

        def __buffer__(self, flags):
            return memoryview(bytearray(self.sizes.pop(0) if self.sizes else 0))

    layout = vantrel.Layout([item("a", bits=16)])
    for call in (
        lambda: layout.unpack(Exporter()),
        lambda: layout.unpack_many(Exporter(), count=2),
        lambda: layout.pack_many({"a": Exporter()}),
        lambda: vantrel.split_packets(Exporter(), length_offset_bits=0, length_bits=8),
    ):
        outcome(call)


class EmptyingInt(int):
    """An integer key whose hashing or comparing empties the containers given to it."""

    containers = ()

    def __hash__(self):
        for container in self.containers:
            container.clear()
        gc.collect()
        return int.__hash__(self)

    def __eq__(self, other):
        for container in self.containers:
            container.clear()
        return int.__eq__(self, other)


def test_layout_keys_survive_dicts_emptied_while_read():
    """The newer item keys (states, check, pad, keep_raw) read dicts that a
    key's own hash or comparison empties: a layout or a clean refusal."""
    states = {}
    converted = item("s", bits=8)
    converted["convert"] = {"type": "enumeration", "states": states}
    converted["keep_raw"] = True
    EmptyingInt.containers = (states, converted["convert"], converted)
    states.update({EmptyingInt(0): "OFF", EmptyingInt(1): "ON"})
    result = outcome(lambda: vantrel.Layout([converted]))
    if result[0] == "ok":
        assert result[1].unpack(b"\x01")["s"] in ("ON", 1)

    check = {}
    name = EmptyingName("algorithm")
    name.target = check
    check[name] = "CRC-16/IBM-3740"
    checked = [item("body", bits=16), item("crc", bits=16)]
    checked[1]["check"] = check
    result = outcome(lambda: vantrel.Layout(checked))
    if result[0] == "ok":
        packed = result[1].pack({"body": 0x3132})
        assert result[1].unpack(packed)["body"] == 0x3132

    padded = item("t", encoding="us_ascii", bits=32)
    key = EmptyingName("pad")
    key.target = padded
    padded[key] = "nul"
    result = outcome(lambda: vantrel.Layout([padded]))
    if result[0] == "ok":
        assert result[1].unpack(b"\0\0AB")["t"] in ("AB", "\0\0AB")
    EmptyingInt.containers = ()


def test_shaped_packing_with_checks_and_words_survives_values_emptied_while_read():
    """Arrays, word fields and a computed check packed from values whose
    conversion empties the sample list and the values dict: the packet of
    the values as they were read, or a clean error."""
    recipe = [
        item("n"),
        item("s", bits=16, count="n"),
        item("mode", "unsigned", 4, "little", word_bits=16),
        item("rest", "unsigned", 12, "little", word_bits=16),
        item("crc", bits=16, check="CRC-16/IBM-3740"),
    ]
    layout = vantrel.Layout(recipe)
    expected = layout.pack({"n": 3, "s": [1, 7, 3], "mode": 1, "rest": 2})
    samples = [1, None, 3]
    values = {"n": 3, "s": samples, "mode": 1, "rest": 2}
    samples[1] = Emptying(7, samples, values)
    assert outcome(lambda: layout.pack(values)) in (("ok", expected), ("error", "KeyError"))
    column = [[1, 7, 3], [1, 7, 3]]
    column[1] = [1, Emptying(7, column), 3]
    columns = {"n": [3, 3], "s": column, "mode": [1, 1], "rest": [2, 2]}
    result = outcome(lambda: layout.pack_many(columns))
    assert result[0] in ("ok", "error")
    if result[0] == "ok":
        assert result[1] == expected * 2

    word = item("w", "unsigned", 4, "little", word_bits=16, offset_bits=12)
    key = EmptyingName("word_offset_bits")
    key.target = word
    word[key] = 8
    result = outcome(lambda: vantrel.Layout([item("a", bits=8), word]))
    if result[0] == "ok":
        assert result[1].unpack(b"\x00\x34\x12")["w"] == 0x2
