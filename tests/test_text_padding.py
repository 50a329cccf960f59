"""Padded text fields ("pad"): read without their padding and packed with
it, the same in every output, with Python's codecs as the oracle of the
stored bytes. The packet functions ignore the key."""

import json

import numpy as np
import pyarrow as pa
import pytest
from hypothesis import given, settings
from hypothesis import strategies as st

import vantrel
from recipe_helpers import item, one_type_document
from vantrel.command import definitions as definitions_module

# Encodings in which every character stands alone, with their Python codec
# and bytes per character of the alphabet drawn below.
CODECS = {
    "us_ascii": ("ascii", 1),
    "iso_8859_1": ("latin-1", 1),
    "utf8": ("utf-8", 1),
    "utf16be": ("utf-16-be", 2),
    "utf16le": ("utf-16-le", 2),
    "utf32be": ("utf-32-be", 4),
}
PADS = {"nul": ("\0", False), "space": (" ", False), "leading_nul": ("\0", True),
        "leading_space": (" ", True)}  # fmt: skip


def stored(text, encoding, pad, width):
    """The field's bytes as the oracle makes them: the text, then (or
    before it) pad characters to the width."""
    codec, unit = CODECS[encoding]
    character, leads = PADS[pad]
    body = text.encode(codec)
    padding = character.encode(codec) * ((width - len(body)) // unit)
    return padding + body if leads else body + padding


@settings(max_examples=150, deadline=None)
@given(
    encoding=st.sampled_from(sorted(CODECS)),
    pad=st.sampled_from(sorted(PADS)),
    chars=st.integers(1, 6),
    texts=st.lists(st.text(alphabet="AZaz09-_\0 .", max_size=6), min_size=1, max_size=5),
    shaped=st.booleans(),
)
def test_padded_text_in_every_output(encoding, pad, chars, texts, shaped):
    codec, unit = CODECS[encoding]
    character, leads = PADS[pad]
    width = chars * unit
    texts = [t[:chars] for t in texts]
    # The padding's side holds no pad character of the text's own.
    texts = [t.lstrip(character) if leads else t.rstrip(character) for t in texts]
    recipe = [item("id", "unsigned", 8), item("label", encoding, 8 * width, pad=pad)]
    if shaped:  # an array: the other engine
        recipe.append(item("tail", "unsigned", 8, count=2))
    layout = vantrel.Layout(recipe)
    rows = [{"id": i, "label": t, "tail": [i, 1]} for i, t in enumerate(texts)]
    packets = [layout.pack(row) for row in rows]
    for packet, text in zip(packets, texts):
        assert packet[1 : 1 + width] == stored(text, encoding, pad, width)
        assert layout.unpack(packet)["label"] == text
    archive = b"".join(packets)
    stride = len(packets[0])
    columns = layout.unpack_many(archive, stride=stride)
    assert list(columns["label"]) == texts
    arrow = pa.table(layout.unpack_many(archive, stride=stride, output="arrow"))
    assert arrow.column("label").to_pylist() == texts
    if not shaped:
        string_dtype = layout.unpack_many(archive, stride=stride, text_dtype="T")["label"]
        assert string_dtype.tolist() == texts
    assert layout.pack_many(columns) == archive


def test_the_issue_example_reads_safe_and_packs_back():
    layout = vantrel.Layout([item("mode", "us_ascii", 64, pad="leading_nul")])
    packet = b"\0\0\0\0SAFE"
    assert layout.unpack(packet) == {"mode": "SAFE"}
    assert layout.pack({"mode": "SAFE"}) == packet
    column = layout.unpack_many(packet * 3, stride=8)["mode"]
    assert (column == "SAFE").all()


def test_only_the_padded_side_is_stripped():
    trailing = vantrel.Layout([item("t", "us_ascii", 64, pad="space")])
    assert trailing.unpack(b"  A B   ")["t"] == "  A B"
    leading = vantrel.Layout([item("t", "us_ascii", 64, pad="leading_nul")])
    assert leading.unpack(b"\0\0A\0B\0\0\0")["t"] == "A\0B\0\0\0"


def test_bytes_output_keeps_the_stored_bytes():
    layout = vantrel.Layout([item("t", "us_ascii", 32, pad="space")])
    column = layout.unpack_many(b"AB  CD  ", stride=4, text_dtype="S")["t"]
    assert column.tolist() == [b"AB  ", b"CD  "]


@pytest.mark.parametrize(
    "extra, message",
    [
        ({"pad": "zero"}, "pad must be 'nul', 'space', 'leading_nul' or 'leading_space'"),
        ({"pad": 0}, "pad must be 'nul', 'space', 'leading_nul' or 'leading_space', not 0"),
        ({"encoding": "unsigned", "pad": "nul"}, "pad is for text fields"),
        ({"encoding": "utf16", "pad": "nul"}, "utf16 has a byte order mark"),
    ],
)
def test_pad_refusals(extra, message):
    with pytest.raises(ValueError, match=message):
        vantrel.Layout([{**item("t", "us_ascii", 32), **extra}])


def test_text_the_pad_cannot_fill_is_refused():
    layout = vantrel.Layout([item("t", "utf16be", 40, pad="nul")])
    with pytest.raises(ValueError, match="leave 1 of the field's 5, which pad characters of 2"):
        layout.pack({"t": "ab"})


def test_packet_functions_ignore_pad():
    recipe = [item("t", "us_ascii", 64, pad="nul")]
    assert vantrel.unpack_parameters(b"SAFE\0\0\0\0", 0, recipe) == {"t": "SAFE\0\0\0\0"}
    assert vantrel.pack_parameters([{**recipe[0], "value": "SAFE"}]) == b"\0\0\0\0SAFE"


def test_layouts_with_pads_pickle_and_compare():
    import pickle

    padded = vantrel.Layout([item("t", "us_ascii", 32, pad="space")])
    assert pickle.loads(pickle.dumps(padded)) == padded
    assert padded != vantrel.Layout([item("t", "us_ascii", 32)])
    assert padded != vantrel.Layout([item("t", "us_ascii", 32, pad="nul")])


def test_definitions_set_a_default_pad_for_their_text_fields(tmp_path):
    document = one_type_document(
        [
            {"name": "length", "encoding": "unsigned", "bits": 8},
            {"name": "mode", "encoding": "us_ascii", "bits": 64},
            {"name": "note", "encoding": "us_ascii", "bits": 32, "pad": "space"},
        ],
        pad="nul",
    )
    path = tmp_path / "defs.json"
    path.write_text(json.dumps(document))
    layout = definitions_module.load(path).packets[0].layout
    packet = bytes([13]) + b"SAFE\0\0\0\0" + b"ok  "
    assert layout.unpack(packet) == {"length": 13, "mode": "SAFE", "note": "ok"}
    assert layout.pack({"length": 13, "mode": "SAFE", "note": "ok"}) == packet
    assert np.asarray(layout.unpack_many(packet, stride=13)["mode"]).tolist() == ["SAFE"]
