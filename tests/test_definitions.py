"""Definitions files (JSON, TOML): every Layout key and option written in a
file builds the layout the same recipe builds in Python, and definition
errors say what is wrong where."""

import datetime
import json
import sys

import pytest

import vantrel
from recipe_helpers import one_type_document
from vantrel.command import definitions as definitions_module

tomllib = pytest.importorskip("tomllib" if sys.version_info >= (3, 11) else "tomli")

BASE = {"byte_order": "big", "reverse_bits": False}


def field(name, encoding, bits, **extra):
    return {"name": name, "encoding": encoding, "bits": bits, **BASE, **extra}


# Every recipe key and every conversion, as Python writes them.
PYTHON_RECIPE = [
    field("length", "unsigned", 16),
    field("n", "unsigned", 8),
    field("fixed", "twos_complement", 12, count=3),
    field("counted", "unsigned", 16, count="n"),
    field("swapped", "unsigned", 32, byte_order="2143"),
    field("flag", "unsigned", 3, byte_order="little", word_bits=16, offset_bits=21,
          word_offset_bits=16),
    field("mirrored", "unsigned", 5, reverse_bits=True, offset_bits=32),
    field("spare", "unsigned", 3, value=0),
    field("mode", "unsigned", 8, convert={
        "type": "enumeration", "states": {0: "OFF", 31: "SAFE", 5: "ON"}, "default": "OTHER"}),
    field("delta", "twos_complement", 8, convert={
        "type": "enumeration", "states": {-1: "DOWN", 1: "UP"}}),
    field("temp", "unsigned", 12, convert={"type": "polynomial", "coefficients": [-40.0, 0.0625]}),
    field("volts", "twos_complement", 16, convert={"type": "linear", "slope": 0.001}),
    field("table", "unsigned", 8, convert={
        "type": "table", "points": [[0, 0.0], [255, 10.0]], "outside": "clamp"}),
    field("obt", "unsigned", 48, convert={
        "type": "cuc", "coarse_octets": 4, "fine_octets": 2, "scale": "UTC",
        "epoch": "2000-01-01T12:00:00", "epoch_scale": "TAI"}),
    field("day", "unsigned", 48, convert={"type": "cds", "scale": "TAI"}),
    field("label", "us_ascii", 32),
    field("rest", "unsigned", 8, count="*"),
    field("crc", "unsigned", 16),
]  # fmt: skip

TOML = """
defaults = { byte_order = "big", reverse_bits = false }
framing = { length_offset_bits = 0, length_bits = 16, length_adjust = 0 }
sequence = false

[packets.all]
header = false
options = { packet_length = { offset_bits = 0, bits = 16, adjust = 0 } }

[[packets.all.layout]]
name = "length"
encoding = "unsigned"
bits = 16

[[packets.all.layout]]
name = "n"
encoding = "unsigned"
bits = 8

[[packets.all.layout]]
name = "fixed"
encoding = "twos_complement"
bits = 12
count = 3

[[packets.all.layout]]
name = "counted"
encoding = "unsigned"
bits = 16
count = "n"

[[packets.all.layout]]
name = "swapped"
encoding = "unsigned"
bits = 32
byte_order = "2143"

[[packets.all.layout]]
name = "flag"
encoding = "unsigned"
bits = 3
byte_order = "little"
word_bits = 16
offset_bits = 21
word_offset_bits = 16

[[packets.all.layout]]
name = "mirrored"
encoding = "unsigned"
bits = 5
reverse_bits = true
offset_bits = 32

[[packets.all.layout]]
name = "spare"
encoding = "unsigned"
bits = 3
value = 0

[[packets.all.layout]]
name = "mode"
encoding = "unsigned"
bits = 8
[packets.all.layout.convert]
type = "enumeration"
states = { 0 = "OFF", "0x1F" = "SAFE", "5" = "ON" }
default = "OTHER"

[[packets.all.layout]]
name = "delta"
encoding = "twos_complement"
bits = 8
convert = { type = "enumeration", states = { "-1" = "DOWN", "+1" = "UP" } }

[[packets.all.layout]]
name = "temp"
encoding = "unsigned"
bits = 12
convert = { type = "polynomial", coefficients = [-40.0, 0.0625] }

[[packets.all.layout]]
name = "volts"
encoding = "twos_complement"
bits = 16
convert = { type = "linear", slope = 0.001 }

[[packets.all.layout]]
name = "table"
encoding = "unsigned"
bits = 8
convert = { type = "table", points = [[0, 0.0], [255, 10.0]], outside = "clamp" }

[[packets.all.layout]]
name = "obt"
encoding = "unsigned"
bits = 48
[packets.all.layout.convert]
type = "cuc"
coarse_octets = 4
fine_octets = 2
scale = "UTC"
epoch = 2000-01-01T12:00:00
epoch_scale = "TAI"

[[packets.all.layout]]
name = "day"
encoding = "unsigned"
bits = 48
convert = { type = "cds", scale = "TAI" }

[[packets.all.layout]]
name = "label"
encoding = "us_ascii"
bits = 32

[[packets.all.layout]]
name = "rest"
encoding = "unsigned"
bits = 8
count = "*"

[[packets.all.layout]]
name = "crc"
encoding = "unsigned"
bits = 16
"""


def json_document():
    document = tomllib.loads(TOML)

    def plain(value):  # JSON has no dates: the epoch as its ISO text
        if isinstance(value, datetime.datetime):
            return value.isoformat()
        if isinstance(value, dict):
            return {k: plain(v) for k, v in value.items()}
        if isinstance(value, list):
            return [plain(v) for v in value]
        return value

    return plain(document)


@pytest.mark.parametrize("suffix", [".toml", ".json"])
def test_every_layout_key_and_option_works_in_a_file(tmp_path, suffix):
    path = tmp_path / f"all{suffix}"
    path.write_text(TOML if suffix == ".toml" else json.dumps(json_document()))
    layout = definitions_module.load(path).packets[0].layout
    expected = vantrel.Layout(
        PYTHON_RECIPE, packet_length={"offset_bits": 0, "bits": 16, "adjust": 0}
    )
    assert layout == expected
    values = {
        "fixed": [-1, 0, 1], "counted": [7, 8], "swapped": 0x01020304, "flag": 5,
        "mirrored": 3, "spare": 0, "mode": "SAFE", "delta": "DOWN", "temp": 1040, "volts": -0.02,
        "table": 128, "obt": datetime.datetime(2025, 1, 1, tzinfo=datetime.timezone.utc),
        "day": datetime.datetime(2025, 1, 2),
        "label": "SAFE", "rest": [1, 2, 3], "crc": 0xBEEF,
    }  # fmt: skip
    packet = layout.pack(values)
    assert packet == expected.pack(values)
    back = layout.unpack(packet)
    assert back["mode"] == "SAFE" and back["delta"] == "DOWN" and back["rest"] == [1, 2, 3]
    assert layout.unpack(packet, raw=True)["mode"] == 0x1F


@pytest.mark.parametrize(
    "key, message",
    [
        ("ON", "state value 'ON' is not an integer"),
        ("1.5", "state value '1.5' is not an integer"),
        ("0x", "state value '0x' is not an integer"),
    ],
)
def test_state_values_that_are_not_integers(tmp_path, key, message):
    document = {
        "defaults": BASE,
        "packets": {
            "hk": {
                "layout": [
                    {"name": "m", "encoding": "unsigned", "bits": 8,
                     "convert": {"type": "enumeration", "states": {key: "X"}}},
                ]
            }
        },
    }  # fmt: skip
    path = tmp_path / "bad.json"
    path.write_text(json.dumps(document))
    with pytest.raises(definitions_module.DefinitionsError) as raised:
        definitions_module.load(path)
    where = f"{path}: packet type 'hk': layout item 0: convert: "
    assert str(raised.value).startswith(where + message)


def load_error(tmp_path, document):
    path = tmp_path / "defs.json"
    path.write_text(json.dumps(document))
    with pytest.raises(definitions_module.DefinitionsError) as raised:
        definitions_module.load(path)
    message = str(raised.value)
    assert message.startswith(f"{path}: ")
    return message[len(f"{path}: ") :]


HEADER = [
    {"name": "apid", "encoding": "unsigned", "bits": 16},
    {"name": "length", "encoding": "unsigned", "bits": 16},
]


def test_a_misspelt_key_gets_a_suggestion(tmp_path):
    document = {
        "defaults": BASE,
        "packets": {"hk": {"layout": [{"name": "temp", "encodng": "unsigned", "bits": 8}]}},
    }
    assert load_error(tmp_path, document) == (
        "packet type 'hk': layout item 0 ('temp'): unknown key 'encodng'; did you mean 'encoding'?"
    )


def test_a_typo_in_defaults_is_blamed_on_defaults(tmp_path):
    document = {
        "defaults": {"byte_order": "big", "reverse_bit": False},
        "header": HEADER,
        "packets": {"hk": {"layout": [{"name": "temp", "encoding": "unsigned", "bits": 8}]}},
    }
    assert load_error(tmp_path, document) == (
        "defaults: unknown key 'reverse_bit'; did you mean 'reverse_bits'?"
    )


def test_item_numbers_count_the_header_and_the_layout_apart(tmp_path):
    layout = [
        {"name": "a", "encoding": "unsigned", "bits": 8},
        {"name": "s", "encoding": "unsigned", "bits": 8, "count": "*"},
        {"name": "n", "encoding": "unsigned", "bits": 8, "count": "a"},
    ]
    document = {"defaults": BASE, "header": HEADER, "packets": {"hk": {"layout": layout}}}
    assert load_error(tmp_path, document) == (
        "packet type 'hk': layout item 2 ('n'): ValueError: a variable array cannot follow the "
        "rest-of-packet array of layout item 1 without an offset_bits: the fields after that "
        "array are placed from the packet's end"
    )
    bad_header = [HEADER[0], {**HEADER[1], "encoding": "uint16"}]
    document = {"defaults": BASE, "header": bad_header, "packets": {"hk": {"layout": layout[:1]}}}
    assert load_error(tmp_path, document).startswith(
        "packet type 'hk': header item 1 ('length'): ValueError: Unsupported encoding type: uint16"
    )


def test_an_unknown_encoding_lists_the_names(tmp_path):
    document = {
        "defaults": BASE,
        "packets": {"hk": {"layout": [{"name": "t", "encoding": "unsignd", "bits": 8}]}},
    }
    message = load_error(tmp_path, document)
    assert message.startswith(
        "packet type 'hk': layout item 0 ('t'): ValueError: Unsupported encoding type: unsignd; "
        "did you mean 'unsigned'? (known: unsigned, twos_complement, "
    )
    assert "us_ascii" in message and "ieee754_f32" in message


def test_decode_raw_writes_raw_columns_beside_engineering_ones(tmp_path):
    pq = pytest.importorskip("pyarrow.parquet")
    from vantrel.command.main import main

    document = one_type_document([
        {"name": "length", "encoding": "unsigned", "bits": 8},
        {"name": "temp", "encoding": "unsigned", "bits": 8,
         "convert": {"type": "linear", "slope": 0.5}},
        {"name": "mode", "encoding": "unsigned", "bits": 8,
         "convert": {"type": "enumeration", "states": {"0": "OFF", "1": "ON"}}},
    ])  # fmt: skip
    (tmp_path / "defs.json").write_text(json.dumps(document))
    (tmp_path / "day.bin").write_bytes(bytes([3, 10, 1, 3, 11, 0]))
    argv = ["decode", "defs.json", "day.bin", "-q", "-o"]
    with pytest.MonkeyPatch.context() as patch:
        patch.chdir(tmp_path)
        assert main([*argv, "plain"]) == 0
        assert main([*argv, "raw", "--raw"]) == 0
    plain = pq.read_table(tmp_path / "plain" / "hk.parquet")
    assert plain.column_names == ["length", "temp", "mode"]
    raw = pq.read_table(tmp_path / "raw" / "hk.parquet")
    assert raw.column_names == ["length", "temp", "mode", "temp_raw", "mode_raw"]
    assert raw.column("temp").to_pylist() == [5.0, 5.5]
    assert raw.column("temp_raw").to_pylist() == [10, 11]
    assert raw.column("mode").to_pylist() == ["ON", "OFF"]
    assert raw.column("mode_raw").to_pylist() == [1, 0]


def test_a_unit_in_defaults_is_the_files_own_key(tmp_path):
    layout = [{"name": "volts", "encoding": "unsigned", "bits": 8}]
    path = tmp_path / "defs.json"
    path.write_text(json.dumps(one_type_document(layout, unit="V")))
    packet = definitions_module.load(path).packets[0]
    assert packet.units == {"volts": "V"} and packet.layout.names == ("volts",)
