"""A new user's packet type, written from docs/command.md alone: a time code,
a calibrated field with a unit, an enumeration, padded text and a counted
array with a conversion, decoded to every table format and plotted, each
value equal to what was packed."""

import csv
import json

import numpy as np
import pytest

import vantrel.definitions
from command_helpers import CCSDS_HEADER_TOML
from vantrel.command.main import main

pa = pytest.importorskip("pyarrow")
pq = pytest.importorskip("pyarrow.parquet")
ipc = pytest.importorskip("pyarrow.ipc")

DEFINITIONS = (
    CCSDS_HEADER_TOML
    + """

[packets.science]
key = 0x123

[[packets.science.layout]]
name = "time"
encoding = "unsigned"
bits = 48
convert = { type = "cuc", coarse_octets = 4, fine_octets = 2, scale = "UTC" }

[[packets.science.layout]]
name = "temperature"
encoding = "twos_complement"
bits = 16
unit = "degC"
convert = { type = "linear", slope = 0.25, intercept = -40 }

[[packets.science.layout]]
name = "mode"
encoding = "unsigned"
bits = 8
convert = { type = "enumeration", states = { "0" = "OFF", "1" = "ON", "0x2" = "SAFE" } }

[[packets.science.layout]]
name = "label"
encoding = "us_ascii"
bits = 64
pad = "nul"

[[packets.science.layout]]
name = "n"
encoding = "unsigned"
bits = 8

[[packets.science.layout]]
name = "samples"
encoding = "unsigned"
bits = 16
count = "n"
unit = "V"
convert = { type = "linear", slope = 0.5, intercept = 0 }
"""
)

EPOCH = np.datetime64("1958-01-01T00:00:00", "ns")
STATES = ["OFF", "ON", "SAFE"]


@pytest.fixture(scope="module")
def scenario(tmp_path_factory):
    """The definitions file, an archive packed from raw values, and those values."""
    folder = tmp_path_factory.mktemp("scenario")
    definitions = folder / "science.toml"
    definitions.write_text(DEFINITIONS)
    layout = vantrel.definitions.load(definitions).packet_type("science").layout
    rng = np.random.default_rng(5)
    rows = 40
    counts = rng.integers(0, 5, rows)
    raw = {
        "version": [0] * rows,
        "packet_type": [0] * rows,
        "secondary_header": [0] * rows,
        "apid": [0x123] * rows,
        "sequence_flags": [3] * rows,
        "sequence_count": list(range(rows)),
        "time": [(2_000_000_000 + 16 * i) << 16 | (i * 4096) for i in range(rows)],
        "temperature": rng.integers(-2000, 2000, rows).tolist(),
        "mode": rng.integers(0, 3, rows).tolist(),
        "label": [STATES[i % 3].encode() for i in range(rows)],
        "n": counts.tolist(),
        "samples": [rng.integers(0, 65536, c).tolist() for c in counts],
    }
    sizes = 6 + 2 + 1 + 8 + 1 + 2 * counts
    raw["packet_length"] = (6 + sizes - 7).tolist()
    text = {**raw, "label": [STATES[i % 3] for i in range(rows)]}
    archive = folder / "science.bin"
    archive.write_bytes(layout.pack_many(text, raw=True))
    return definitions, archive, raw


def expected(raw):
    """The engineering values a user expects of the raw values packed."""
    seconds = np.array(raw["time"]) >> 16
    fraction = np.array(raw["time"]) & 0xFFFF
    # The code counts TAI seconds from 1958; in UTC, 2021 is 37 leap seconds behind.
    nanoseconds = (seconds - 37) * 10**9 + (fraction * 10**9) // 65536
    return {
        "time": (EPOCH + nanoseconds.astype("timedelta64[ns]")).tolist(),
        "temperature": [t * 0.25 - 40 for t in raw["temperature"]],
        "mode": [STATES[m] for m in raw["mode"]],
        "label": [STATES[i % 3] for i in range(len(raw["mode"]))],
        "samples": [[s * 0.5 for s in row] for row in raw["samples"]],
    }


def run(*argv):
    return main([str(a) for a in argv])


@pytest.mark.parametrize("fmt", ["parquet", "arrow"])
def test_columnar_tables_hold_the_engineering_values(tmp_path, scenario, fmt):
    definitions, archive, raw = scenario
    assert run("decode", definitions, archive, "-o", tmp_path, "-q", "-f", fmt) == 0
    path = tmp_path / f"science.{fmt}"
    if fmt == "parquet":
        table = pq.read_table(path)
    else:
        with pa.memory_map(str(path)) as source:
            table = ipc.open_file(source).read_all()
    want = expected(raw)
    time = table.column("time")
    assert time.type == pa.timestamp("ns", "UTC")
    assert [v.value for v in time] == [
        np.datetime64(t, "ns").astype(np.int64) for t in want["time"]
    ]
    for name in ("temperature", "mode", "label", "samples"):
        assert table.column(name).to_pylist() == want[name], name
    schema = table.schema
    assert schema.field("temperature").metadata == {b"unit": b"degC"}
    assert schema.field("samples").metadata == {b"unit": b"V"}
    assert json.loads(schema.field("mode").metadata[b"states"]) == STATES


def test_csv_holds_the_same_values_as_text(tmp_path, scenario):
    definitions, archive, raw = scenario
    assert run("decode", definitions, archive, "-o", tmp_path, "-q", "-f", "csv") == 0
    with open(tmp_path / "science.csv", newline="", encoding="utf-8") as file:
        rows = list(csv.DictReader(file))
    want = expected(raw)
    assert [r["time"] for r in rows] == [str(np.datetime64(t, "ns")) for t in want["time"]]
    assert [float(r["temperature"]) for r in rows] == want["temperature"]
    assert [r["mode"] for r in rows] == want["mode"]
    assert [r["label"] for r in rows] == want["label"]
    assert [json.loads(r["samples"]) for r in rows] == want["samples"]


def test_raw_values_beside_the_engineering_ones(tmp_path, scenario):
    definitions, archive, raw = scenario
    assert run("decode", definitions, archive, "-o", tmp_path, "-q", "--raw") == 0
    table = pq.read_table(tmp_path / "science.parquet")
    assert table.column("temperature_raw").to_pylist() == raw["temperature"]
    assert table.column("samples_raw").to_pylist() == raw["samples"]
    assert table.column("mode").to_pylist() == expected(raw)["mode"]


def test_the_plot_of_every_kind_of_field(tmp_path, scenario):
    pytest.importorskip("matplotlib")
    definitions, archive, _ = scenario
    image = tmp_path / "look.svg"
    fields = ["temperature", "mode", "label", "samples"]
    assert run("plot", definitions, archive, *fields, "-o", image, "-q") == 0
    assert image.read_bytes().lstrip().startswith((b"<?xml", b"<svg"))
