"""Raw values beside engineering values ("keep_raw"): a converted field
also gives its raw values as name_raw, in every output, equal to what
raw=True gives; packing takes the engineering value and never the twin."""

import json
import pickle

import numpy as np
import pyarrow as pa
import pytest

import vantrel
from recipe_helpers import item, one_type_document
from vantrel.command import definitions as definitions_module

LINEAR = {"type": "linear", "slope": 0.5, "intercept": -1.0}
STATES = {"type": "enumeration", "states": {0: "OFF", 1: "ON"}}


def flat():
    return vantrel.Layout(
        [
            item("temp", "unsigned", 12, convert=LINEAR, keep_raw=True),
            item("mode", "unsigned", 4, convert=STATES, keep_raw=True),
            item("plain", "unsigned", 8),
        ]
    )


def shaped():
    return vantrel.Layout(
        [
            item("n", "unsigned", 8),
            item("samples", "unsigned", 8, count="n", convert=LINEAR, keep_raw=True),
            item("mode", "unsigned", 8, convert=STATES, keep_raw=True),
            item("rest", "unsigned", 8, count="*", convert=LINEAR, keep_raw=True),
            item("crc", "unsigned", 8),
        ]
    )


VALUES = {
    "flat": [{"temp": 1.0 + k, "mode": ["OFF", "ON"][k % 2], "plain": k} for k in range(4)],
    "shaped": [
        {"samples": [0.0, 1.0 * k], "mode": "ON", "rest": [2.0] * k, "crc": k} for k in range(4)
    ],
}


@pytest.mark.parametrize("kind", ["flat", "shaped"])
def test_raw_twins_in_every_output(kind):
    layout = flat() if kind == "flat" else shaped()
    converted = [name for name in layout.names if f"{name}_raw" in layout.names]
    assert layout.names[-len(converted) :] == tuple(f"{name}_raw" for name in converted)
    packets = [layout.pack(values) for values in VALUES[kind]]
    archive = b"".join(packets)
    offsets = np.cumsum([0] + [len(p) for p in packets[:-1]])
    lengths = [len(p) for p in packets]
    for packet, values in zip(packets, VALUES[kind]):
        one = layout.unpack(packet)
        raw = layout.unpack(packet, raw=True)
        for name in converted:
            assert one[name] == values[name]
            assert one[f"{name}_raw"] == raw[name]
        # What unpack gives packs back to the same packet: the twins are ignored.
        assert layout.pack(one) == packet
    columns = layout.unpack_many(archive, offsets=offsets, lengths=lengths)
    raw_columns = layout.unpack_many(archive, offsets=offsets, lengths=lengths, raw=True)
    for name in converted:
        ours, expected = columns[f"{name}_raw"], raw_columns[name]
        if isinstance(ours, vantrel.RaggedColumn):
            assert ours.offsets.tolist() == expected.offsets.tolist()
            ours, expected = ours.values, expected.values
        assert ours.dtype == expected.dtype and ours.tolist() == expected.tolist()
    arrow_raw = layout.unpack_many(
        archive, offsets=offsets, lengths=lengths, raw=True, output="arrow"
    )
    table = pa.table(arrow_raw)
    for name in converted:
        assert table.column(f"{name}_raw").to_pylist() == table.column(name).to_pylist()
    arrow = pa.table(layout.unpack_many(archive, offsets=offsets, lengths=lengths, output="arrow"))
    for name in converted:
        assert arrow.column(f"{name}_raw").to_pylist() == table.column(name).to_pylist()
        engineering = [np.asarray(v).tolist() for v in columns[name]]
        assert arrow.column(name).to_pylist() == engineering
    assert layout.pack_many(columns) == archive
    without_twins = {k: v for k, v in columns.items() if not k.endswith("_raw")}
    assert layout.pack_many(without_twins) == archive


def test_a_value_that_fails_to_convert_keeps_its_raw_value():
    layout = flat()
    packet = bytes([0x00, 0x17, 0x00])  # mode 7 has no state name
    columns = layout.unpack_many(packet, stride=3, errors="mask")
    assert np.ma.getmaskarray(columns["mode"]).tolist() == [True]
    assert columns["mode_raw"].tolist() == [7]


def test_keep_raw_survives_pickling_and_takes_part_in_equality():
    layout = flat()
    again = pickle.loads(pickle.dumps(layout))
    assert again == layout and again.names == layout.names
    assert layout != vantrel.Layout(
        [
            item("temp", "unsigned", 12, convert=LINEAR),
            item("mode", "unsigned", 4, convert=STATES, keep_raw=True),
            item("plain", "unsigned", 8),
        ]
    )


@pytest.mark.parametrize(
    "recipe, message",
    [
        ([item("a", keep_raw=True)], r"recipe item 0 \('a'\): keep_raw .* needs a convert"),
        ([item("a", convert=LINEAR, keep_raw=1)], "keep_raw must be true or false, not 1"),
        (
            [item("a", convert=LINEAR, keep_raw=True), item("a_raw")],
            r"recipe item 0 \('a'\), its keep_raw 'a_raw': the name is already the name of "
            r"recipe item 1",
        ),
    ],
)
def test_keep_raw_refusals(recipe, message):
    with pytest.raises(ValueError, match=message):
        vantrel.Layout(recipe)


def test_item_numbers_in_errors_stay_the_recipes():
    recipe = [
        item("a", convert=LINEAR, keep_raw=True),
        item("n"),
        item("s", count="*"),
        item("t", count="n"),
    ]
    with pytest.raises(ValueError, match=r"recipe item 3 \('t'\).*recipe item 2 without"):
        vantrel.Layout(recipe)


def test_definitions_keep_raw_by_default_for_converted_fields(tmp_path):
    document = one_type_document(
        [
            {"name": "length", "encoding": "unsigned", "bits": 8},
            {"name": "temp", "encoding": "unsigned", "bits": 8, "convert": LINEAR},
        ],
        keep_raw=True,
    )
    path = tmp_path / "defs.json"
    path.write_text(json.dumps(document))
    layout = definitions_module.load(path).packets[0].layout
    assert layout.names == ("length", "temp", "temp_raw")
    assert layout.unpack(bytes([2, 10])) == {"length": 2, "temp": 4.0, "temp_raw": 10}
