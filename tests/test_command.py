"""The `vantrel` command: decode, split, inspect and plot on the shipped
example archive, definitions files (JSON, TOML, ccsdspy CSV) and their
errors, progress, scale-out on dask, and the package around the core."""

import io
import json
import subprocess
import sys
from pathlib import Path

import numpy as np
import pytest

import vantrel
from vantrel.command import definitions as definitions_module
from vantrel.command.main import main

pa = pytest.importorskip("pyarrow")
pq = pytest.importorskip("pyarrow.parquet")

EXAMPLE = Path(__file__).resolve().parents[1] / "examples" / "command"
ARCHIVE = EXAMPLE / "day.bin"
DEFINITIONS = EXAMPLE / "day.toml"


def run(*argv):
    return main([str(a) for a in argv])


def expected_columns(archive_bytes, definitions):
    """What decode must write: framing with the rules, grouping by APID, unpack_many."""
    framed = vantrel.split_packets(
        archive_bytes, **definitions.framing, errors="report", rules=definitions.rules
    )
    groups = vantrel.split_by_apid(archive_bytes, framed.offsets)
    out = {}
    for packet in definitions.packets:
        offsets = groups.get(packet.keys[0], np.empty(0, np.int64))
        out[packet.name] = packet.layout.unpack_many(archive_bytes, offsets=offsets)
    return out


@pytest.fixture(scope="module")
def example_definitions():
    return definitions_module.load(DEFINITIONS)


# The shipped example ---------------------------------------------------------


def test_the_shipped_archive_is_what_its_script_makes(tmp_path):
    subprocess.run(
        [sys.executable, str(EXAMPLE / "make_archive.py"), str(tmp_path / "day.bin")],
        check=True,
        capture_output=True,
    )
    assert (tmp_path / "day.bin").read_bytes() == ARCHIVE.read_bytes()
    assert ARCHIVE.stat().st_size <= 1 << 20


# decode --------------------------------------------------------------------


def test_decode_writes_one_parquet_table_per_type_equal_to_unpack_many(
    tmp_path, example_definitions, capsys
):
    assert run("decode", DEFINITIONS, ARCHIVE, "-o", tmp_path / "out") == 0
    expected = expected_columns(ARCHIVE.read_bytes(), example_definitions)
    assert sorted(p.name for p in (tmp_path / "out").iterdir()) == [
        "event.parquet",
        "housekeeping.parquet",
        "magnetometer.parquet",
    ]
    for name, columns in expected.items():
        table = pq.read_table(tmp_path / "out" / f"{name}.parquet")
        assert table.column_names == list(columns)
        assert table.num_rows == len(next(iter(columns.values()))) > 0
        for field, values in columns.items():
            assert table.column(field).to_pylist() == values.tolist(), (name, field)
        # Types as unpack_many gives them, not widened.
        assert table.schema.field("obt_seconds").type == pa.uint32()
    summary = capsys.readouterr()
    assert "magnetometer: 21,598 packets" in summary.out
    assert "2 damaged range(s), 23 bytes in no packet" in summary.err


def test_decode_exits_non_zero_on_damage_only_with_strict(tmp_path, capsys):
    assert run("decode", DEFINITIONS, ARCHIVE, "-o", tmp_path / "a", "--strict", "-q") == 3
    clean = tmp_path / "clean.bin"
    clean.write_bytes(ARCHIVE.read_bytes()[:212728])  # before the noise
    assert run("decode", DEFINITIONS, clean, "-o", tmp_path / "b", "--strict", "-q") == 0
    assert capsys.readouterr() == ("", "")


def test_decode_of_several_archives_appends_them_in_order(tmp_path):
    data = ARCHIVE.read_bytes()
    cut = 100_010  # a packet boundary
    assert vantrel.CCSDS_PRIMARY_HEADER.unpack(data[cut:])["apid"] in (677, 960)
    first, second = tmp_path / "1.bin", tmp_path / "2.bin"
    first.write_bytes(data[:cut])
    second.write_bytes(data[cut:])
    assert run("decode", DEFINITIONS, ARCHIVE, "-o", tmp_path / "whole", "-q") == 0
    assert run("decode", DEFINITIONS, first, second, "-o", tmp_path / "parts", "-q") == 0
    for name in ("housekeeping", "event", "magnetometer"):
        whole = pq.read_table(tmp_path / "whole" / f"{name}.parquet")
        assert pq.read_table(tmp_path / "parts" / f"{name}.parquet").equals(whole)


def test_chunking_does_not_change_the_tables(tmp_path):
    assert run("decode", DEFINITIONS, ARCHIVE, "-o", tmp_path / "one", "-q") == 0
    assert (
        run("decode", DEFINITIONS, ARCHIVE, "-o", tmp_path / "many", "-q", "--chunk-size", "10000")
        == 0
    )
    for name in ("housekeeping", "event", "magnetometer"):
        one = pq.read_table(tmp_path / "one" / f"{name}.parquet")
        many = pq.read_table(tmp_path / "many" / f"{name}.parquet")
        assert one.equals(many)
        assert pq.ParquetFile(tmp_path / "many" / f"{name}.parquet").num_row_groups > 1 or (
            name == "event"
        )


def test_decode_to_csv_reads_back_to_the_same_values(tmp_path, example_definitions):
    import csv

    assert run("decode", DEFINITIONS, ARCHIVE, "-o", tmp_path, "-f", "csv", "-q") == 0
    expected = expected_columns(ARCHIVE.read_bytes(), example_definitions)["housekeeping"]
    raw = (tmp_path / "housekeeping.csv").read_bytes()
    assert b"\r\n" not in raw  # LF line ends
    with open(tmp_path / "housekeeping.csv", newline="", encoding="utf-8") as file:
        rows = list(csv.reader(file))
    assert rows[0] == list(expected)
    assert len(rows) - 1 == len(expected["mode"])
    assert [r[rows[0].index("temperature")] for r in rows[1:]] == [
        str(v) for v in expected["temperature"].tolist()
    ]
    assert [r[rows[0].index("mode")] for r in rows[1:6]] == expected["mode"][:5].tolist()
    # float32 as the shortest text that reads back to the same float32.
    voltages = [r[rows[0].index("bus_voltage")] for r in rows[1:]]
    assert np.array(voltages, np.float32).tolist() == expected["bus_voltage"].tolist()
    assert all(np.float32(v) != np.float32(v[:-1] or "0") for v in voltages if "." in v)
    assert max(len(v) for v in voltages) <= 12


def test_values_that_fail_to_decode_are_null_and_counted(tmp_path):
    bad_bcd = {
        "packets": {
            "readings": {
                "layout": [
                    {
                        "name": "header",
                        "encoding": "unsigned",
                        "bits": 48,
                        "byte_order": "big",
                        "reverse_bits": False,
                    },
                    {
                        "name": "reading",
                        "encoding": "packed_bcd",
                        "bits": 8,
                        "byte_order": "big",
                        "reverse_bits": False,
                    },
                ],
            }
        }
    }
    (tmp_path / "bcd.json").write_text(json.dumps(bad_bcd))
    packets = b"".join(
        bytes([0x08, 0x01, 0xC0, n, 0, 0, byte]) for n, byte in enumerate([0x12, 0x1F, 0x99])
    )
    (tmp_path / "bcd.bin").write_bytes(packets)
    assert run("decode", tmp_path / "bcd.json", tmp_path / "bcd.bin", "-o", tmp_path, "-q") == 0
    table = pq.read_table(tmp_path / "readings.parquet")
    assert table.column("reading").to_pylist() == [12, None, 99]
    assert (
        run(
            "decode",
            tmp_path / "bcd.json",
            tmp_path / "bcd.bin",
            "-o",
            tmp_path / "again",
            "-q",
            "--strict",
        )
        == 3
    )


# split and inspect ----------------------------------------------------------


def test_split_writes_each_apids_packets_in_stream_order(tmp_path, example_definitions):
    assert run("split", DEFINITIONS, ARCHIVE, "-o", tmp_path, "-q") == 0
    data = ARCHIVE.read_bytes()
    framed = vantrel.split_packets(
        data, **example_definitions.framing, errors="report", rules=example_definitions.rules
    )
    apids = vantrel.CCSDS_PRIMARY_HEADER.unpack_many(data, offsets=framed.offsets)["apid"]
    assert sorted(p.name for p in tmp_path.iterdir()) == [
        "apid_0257.bin",
        "apid_0677.bin",
        "apid_0960.bin",
    ]
    for apid in (257, 677, 960):
        mine = np.flatnonzero(apids == apid)
        want = b"".join(
            data[framed.offsets[i] : framed.offsets[i] + framed.lengths[i]] for i in mine
        )
        assert (tmp_path / f"apid_{apid:04d}.bin").read_bytes() == want


def many_apids_archive(path, apids=2048, packets=24_000, seed=11):
    """Packets of `apids` APIDs in random order and of random lengths, CCSDS framed."""
    rng = np.random.default_rng(seed)
    keys = rng.integers(0, apids, packets)
    keys[:apids] = np.arange(apids)  # every APID at least once
    rng.shuffle(keys)
    lengths = rng.integers(7, 80, packets)
    header = vantrel.CCSDS_PRIMARY_HEADER
    parts = []
    for apid, length, count in zip(keys.tolist(), lengths.tolist(), range(packets)):
        parts.append(
            header.pack(
                {
                    "version": 0,
                    "type": 0,
                    "secondary_header_flag": 1,
                    "apid": apid,
                    "sequence_flags": 3,
                    "sequence_count": count % 16384,
                    "packet_length": length - 7,
                }
            )
            + rng.bytes(length - 6)
        )
    path.write_bytes(b"".join(parts))
    return path


def reference_split(data):
    """Each APID's packets joined in stream order, by split_packets and split_by_apid."""
    offsets = vantrel.split_packets(data, **definitions_module.CCSDS_FRAMING)
    lengths = vantrel.CCSDS_PRIMARY_HEADER.unpack_many(data, offsets=offsets)["packet_length"]
    length_at = dict(zip(offsets.tolist(), (lengths.astype(np.int64) + 7).tolist()))
    return {
        apid: b"".join(data[o : o + length_at[o]] for o in mine.tolist())
        for apid, mine in vantrel.split_by_apid(data, offsets).items()
    }


def test_split_of_more_apids_than_open_files_equals_split_by_apid(tmp_path, monkeypatch):
    from vantrel.command import engine, split

    archive = many_apids_archive(tmp_path / "many.bin")
    data = archive.read_bytes()
    # Few files open at a time, and chunks that each hold most APIDs: files
    # are closed and appended to again, chunk after chunk.
    monkeypatch.setattr(split, "OPEN_FILES", 8)
    most_open = []
    write = split.AppendFiles.write

    def counted(self, path, piece):
        write(self, path, piece)
        most_open.append(len(self.open))

    monkeypatch.setattr(split.AppendFiles, "write", counted)
    passes = []
    key_runs = split.key_runs
    monkeypatch.setattr(split, "key_runs", lambda *a: passes.append(1) or key_runs(*a))
    assert run("split", archive, "-o", tmp_path / "out", "-q", "--chunk-size", "64k") == 0
    from vantrel.command.learning import learned_definitions

    # Without definitions, split frames with the rules it learns from the archive.
    framing, _ = learned_definitions(definitions_module.load_or_ccsds(None), [str(archive)])
    chunks = list(engine.plan([str(archive)], framing, 64 << 10))
    assert len(chunks) > 10 and len(passes) == len(chunks)  # one pass over each chunk
    assert max(most_open) == 8
    want = reference_split(data)
    assert len(want) == 2048
    assert sorted(p.name for p in (tmp_path / "out").iterdir()) == [
        f"apid_{apid:04d}.bin" for apid in sorted(want)
    ]
    for apid, packets in want.items():
        assert (tmp_path / "out" / f"apid_{apid:04d}.bin").read_bytes() == packets


@pytest.mark.skipif(sys.platform == "win32", reason="POSIX limits on open files")
def test_split_past_the_open_file_limit(tmp_path):
    import resource

    archive = many_apids_archive(tmp_path / "many.bin", packets=8000)
    soft, hard = resource.getrlimit(resource.RLIMIT_NOFILE)
    limit = 128 if hard == resource.RLIM_INFINITY else min(128, hard)

    def few_files():
        resource.setrlimit(resource.RLIMIT_NOFILE, (limit, hard))

    done = subprocess.run(
        [sys.executable, "-m", "vantrel", "split", str(archive), "-o", str(tmp_path / "out"), "-q"],
        capture_output=True,
        text=True,
        preexec_fn=few_files,
    )
    assert (done.returncode, done.stderr) == (0, "")
    want = reference_split(archive.read_bytes())
    assert len(list((tmp_path / "out").iterdir())) == len(want) == 2048 > limit
    for apid, packets in want.items():
        assert (tmp_path / "out" / f"apid_{apid:04d}.bin").read_bytes() == packets


def test_inspect_gives_damage_in_stream_offsets_whatever_the_chunk_size(capsys):
    def damage(*chunking):
        assert run("inspect", DEFINITIONS, ARCHIVE, *chunking) == 0
        out = capsys.readouterr().out
        return out[out.index("damaged ranges:") : out.index("time span:")]

    whole = damage()
    assert damage("--chunk-size", "64k") == whole
    assert damage("--chunk-size", "4k") == whole
    # Each range's detail names the packet where the range starts.
    assert "212,728  212,734      6  bad header  the packet at byte 212728 has 6" in whole
    assert "the packet at byte 638962 is truncated" in whole


def test_inspect_reports_counts_gaps_damage_and_time_spans(capsys):
    assert run("inspect", DEFINITIONS, ARCHIVE) == 0
    out = capsys.readouterr().out
    lines = out.splitlines()
    assert lines[0].endswith(
        "638,979 bytes, 27,038 packets, 2 damaged range(s) (23 bytes in no packet)"
    )
    rows = {line.split()[0]: line.split() for line in lines if line[:5].strip().isdigit()}
    # apid, packets, bytes, min, max, gaps, missing, duplicates, out of order, type
    assert rows["960"] == [
        "960",
        "21,598",
        "475,156",
        "22",
        "22",
        "1",
        "1",
        "0",
        "0",
        "magnetometer",
    ]
    assert rows["677"] == [
        "677",
        "5,400",
        "162,000",
        "30",
        "30",
        "0",
        "0",
        "0",
        "0",
        "housekeeping",
    ]
    assert "damaged ranges: 1 bad header, 1 truncated" in out
    assert "638,962  638,979     17  truncated" in out
    assert [line.split() for line in lines if line.startswith("housekeeping  obt")] == [
        ["housekeeping", "obt_seconds", "0", "21596"]
    ]
    assert run("inspect", DEFINITIONS, ARCHIVE, "--strict", "-q") == 3


def test_inspect_without_definitions_frames_ccsdspackets_with_learned_rules(tmp_path, capsys):
    clean = tmp_path / "clean.bin"
    clean.write_bytes(ARCHIVE.read_bytes()[:212728])
    assert run("inspect", clean) == 0
    out = capsys.readouterr().out
    assert "9,001 packets, 0 damaged range(s)" in out and "time span" not in out
    assert [line.split() for line in out.splitlines()[3:6]] == [
        ["257", "14", "630", "45", "45", "0", "0", "0", "0", "-"],
        ["677", "1,798", "53,940", "30", "30", "0", "0", "0", "0", "-"],
        ["960", "7,189", "158,158", "22", "22", "1", "1", "0", "0", "-"],
    ]
    assert out.splitlines()[7:] == [
        "framing rules learned from the first 212,728 bytes:",
        "  header bits 0-15 hold one of 0x0101, 0x02A5, 0x03C0",
        "  total lengths 22 to 45 bytes",
    ]
    # The lost packet is damage too.
    assert run("inspect", clean, "--strict", "-q") == 3


# plot: tests/test_command_plot.py


# definitions files -----------------------------------------------------------


def test_json_and_toml_definitions_give_the_same_layouts(tmp_path, example_definitions):
    if sys.version_info >= (3, 11):
        import tomllib
    else:
        tomllib = pytest.importorskip("tomli")
    document = tomllib.loads(DEFINITIONS.read_text())
    (tmp_path / "day.json").write_text(json.dumps(document))
    from_json = definitions_module.load(tmp_path / "day.json")
    assert from_json.packets == example_definitions.packets
    assert from_json.rules == example_definitions.rules
    assert from_json.key == {"offset_bits": 5, "bits": 11}


def test_definition_items_pass_straight_to_layout():
    document = {
        "defaults": {"byte_order": "little", "reverse_bits": False},
        "packets": {
            "t": {
                "layout": [
                    {"name": "a", "encoding": "unsigned", "bits": 16},
                    {
                        "name": "b",
                        "encoding": "unsigned",
                        "bits": 8,
                        "byte_order": "big",
                        "offset_bits": 40,
                    },
                ]
            }
        },
    }
    packet = definitions_module.from_document(document, "x.json").packets[0]
    assert packet.layout == vantrel.Layout(
        [
            {
                "name": "a",
                "encoding": "unsigned",
                "bits": 16,
                "byte_order": "little",
                "reverse_bits": False,
            },
            {
                "name": "b",
                "encoding": "unsigned",
                "bits": 8,
                "byte_order": "big",
                "reverse_bits": False,
                "offset_bits": 40,
            },
        ]
    )
    assert packet.keys is None


ITEM = {"name": "x", "encoding": "unsigned", "bits": 8}
BROKEN = [
    (
        {"packets": {}, "colour": 1},
        "bad.json: unknown key 'colour' in the file (known: defaults, framing, header, packets, "
        "rules, sequence, type_field)",
    ),
    ({"packets": {}}, "bad.json: 'packets' must be a table of one or more packet types"),
    (
        {"packets": {"hk": {"key": 1}}},
        "bad.json: packet type 'hk': missing 'layout' (a list of items)",
    ),
    (
        {"packets": {"hk": {"key": 1, "layout": [ITEM], "colour": 2}}},
        "bad.json: packet type 'hk': unknown key 'colour' in the packet type (known: ccsdspy_csv, "
        "header, key, layout, options, time)",
    ),
    (
        {
            "defaults": {"byte_order": "big", "reverse_bits": False},
            "packets": {
                "hk": {"key": 1, "layout": [ITEM, {"name": "temp", "encoding": "unsigned"}]}
            },
        },
        "bad.json: packet type 'hk': layout item 1 ('temp'): KeyError: \"Recipe missing required "
        "field: 'bits'\"",
    ),
    (
        {
            "defaults": {"byte_order": "big", "reverse_bits": False},
            "packets": {"hk": {"key": 1, "layout": [{**ITEM, "encoding": "uint8"}]}},
        },
        "bad.json: packet type 'hk': layout item 0 ('x'): "
        "ValueError: Unsupported encoding type: uint8 (known: unsigned, ",
    ),
    (
        {"packets": {"hk": {"key": 1, "layout": ["x"]}}},
        "bad.json: packet type 'hk': layout item 0 must be a table (a JSON object)",
    ),
    (
        {
            "defaults": {"byte_order": "big", "reverse_bits": False},
            "packets": {"hk": {"key": 1, "layout": [ITEM], "time": "t"}},
        },
        "bad.json: packet type 'hk': 'time' names no field of the layout: 't'",
    ),
    (
        {
            "defaults": {"byte_order": "big", "reverse_bits": False},
            "packets": {"a": {"key": [1, 2], "layout": [ITEM]}, "b": {"key": 2, "layout": [ITEM]}},
        },
        "bad.json: packet type 'b': key 2 is already the key of packet type 'a'",
    ),
    (
        {"packets": {"hk": {"key": -1, "layout": [ITEM]}}},
        "bad.json: packet type 'hk': 'key' must be a non-negative integer or a list of them",
    ),
    (
        {"type_field": "apid", "packets": {"hk": {"layout": [ITEM]}}},
        "bad.json: type_field: 'apid' names no field of the header with a fixed position",
    ),
    (
        {"framing": {"length_bits": 0}, "packets": {"hk": {"layout": [ITEM]}}},
        "bad.json: framing or rules: ",
    ),
]


@pytest.mark.parametrize("document, message", BROKEN)
def test_broken_definitions_name_the_file_type_and_item(
    tmp_path, capsys, monkeypatch, document, message
):
    monkeypatch.chdir(tmp_path)
    Path("bad.json").write_text(json.dumps(document))
    assert run("decode", "bad.json", ARCHIVE, "-o", "out") == 1
    err = capsys.readouterr().err
    assert err.startswith("vantrel: " + message), err
    assert err.count("\n") == 1


def test_unreadable_definitions_say_why(tmp_path, capsys):
    (tmp_path / "bad.toml").write_text("[packets\n")
    (tmp_path / "bad.json").write_text("{")
    (tmp_path / "bad.yaml").write_text("")
    for name, message in [
        ("bad.toml", "bad.toml: not valid TOML: "),
        ("bad.json", "bad.json: not valid JSON: "),
        (
            "bad.yaml",
            "bad.yaml: unknown definitions format '.yaml': use .json, .toml or a ccsdspy .csv",
        ),
    ]:
        assert run("inspect", tmp_path / name, ARCHIVE) == 1
        assert capsys.readouterr().err.startswith(f"vantrel: {tmp_path / message}")
    assert run("inspect", tmp_path / "missing.bin") == 1
    assert capsys.readouterr().err == f"vantrel: {tmp_path / 'missing.bin'}: no such file\n"


# ccsdspy CSV definitions -------------------------------------------------------


CCSDSPY_CSV = """name,data_type,bit_length
SHCOARSE,uint,32
SHFINE,uint,16
TEMPERATURE,int,16
VOLTAGE,float,32
FLAGS,uint,3
SPARE,fill,5
COUNTS,uint(4),12
LABEL,str,64
"""


def layouts_have_arrays():
    probe = {**ITEM, "byte_order": "big", "reverse_bits": False, "count": 2}
    return vantrel.Layout([probe]).size_bits == 16


@pytest.mark.parametrize("with_array", [False, True])
def test_ccsdspy_csv_definitions_decode_as_ccsdspy_decodes_them(tmp_path, with_array):
    ccsdspy = pytest.importorskip("ccsdspy")
    if with_array and not layouts_have_arrays():
        pytest.skip("layouts without array fields")
    lines = CCSDSPY_CSV.splitlines()
    csv_path = tmp_path / "science.csv"
    csv_path.write_text("\n".join(lines if with_array else lines[:-2] + lines[-1:]) + "\n")
    layout = vantrel.Layout(definitions_module.read_ccsdspy_csv(csv_path))
    rng = np.random.default_rng(7)
    n = 500
    columns = {
        "CCSDS_VERSION_NUMBER": np.zeros(n, int),
        "CCSDS_PACKET_TYPE": np.zeros(n, int),
        "CCSDS_SECONDARY_FLAG": np.ones(n, int),
        "CCSDS_APID": np.full(n, 0x123),
        "CCSDS_SEQUENCE_FLAG": np.full(n, 3),
        "CCSDS_SEQUENCE_COUNT": np.arange(n),
        "CCSDS_PACKET_LENGTH": np.full(n, layout.size_bytes - 7),
        "SHCOARSE": rng.integers(0, 2**32, n),
        "SHFINE": rng.integers(0, 2**16, n),
        "TEMPERATURE": rng.integers(-(2**15), 2**15, n),
        "VOLTAGE": rng.normal(5, 1, n).astype(np.float32),
        "FLAGS": rng.integers(0, 8, n),
        "LABEL": [f"LBL{i:05d}" for i in range(n)],
    }
    if with_array:
        columns["COUNTS"] = rng.integers(0, 4096, (n, 4))
    archive = tmp_path / "science.bin"
    archive.write_bytes(layout.pack_many(columns))

    theirs = ccsdspy.FixedLength.from_file(str(csv_path)).load(
        str(archive), include_primary_header=True
    )
    assert run("decode", csv_path, archive, "-o", tmp_path / "out", "-q") == 0
    ours = pq.read_table(tmp_path / "out" / "science.parquet")
    assert ours.column_names == [name for name in theirs if name != "SPARE"]  # fill: no column
    for name in ours.column_names:
        values = theirs[name].tolist()
        if name == "LABEL":
            values = [v.decode("latin-1") for v in values]
        assert ours.column(name).to_pylist() == values, name


def test_ccsdspy_csv_referenced_from_a_definitions_file_gets_its_key(tmp_path):
    (tmp_path / "hk.csv").write_text("name,data_type,bit_length,bit_offset\nA,uint,8,56\n")
    (tmp_path / "defs.json").write_text(
        json.dumps({"packets": {"hk": {"key": 0x42, "ccsdspy_csv": "hk.csv", "time": "A"}}})
    )
    packet = definitions_module.load(tmp_path / "defs.json").packets[0]
    assert packet.keys == (0x42,) and packet.time == "A"
    assert packet.layout.unpack(bytes(range(8)))["A"] == 7  # bit 56: the packet's eighth byte


def test_ccsdspy_csv_errors_name_the_line(tmp_path, capsys):
    (tmp_path / "a.csv").write_text("name,data_type,bit_length\nA,uint,8\nB,complex,8\n")
    assert run("inspect", tmp_path / "a.csv", ARCHIVE) == 1
    assert "a.csv line 3 ('B'): unknown data_type 'complex'" in capsys.readouterr().err
    (tmp_path / "b.csv").write_text("name,bit_length\nA,8\n")
    assert run("inspect", tmp_path / "b.csv", ARCHIVE) == 1
    assert "b.csv lacks the column(s) data_type" in capsys.readouterr().err


# progress ------------------------------------------------------------------------


def test_progress_is_silent_when_stderr_is_not_a_terminal(tmp_path):
    clean = tmp_path / "clean.bin"
    clean.write_bytes(ARCHIVE.read_bytes()[:212728])
    completed = subprocess.run(
        [
            sys.executable,
            "-m",
            "vantrel",
            "decode",
            str(DEFINITIONS),
            str(clean),
            "-o",
            str(tmp_path / "out"),
        ],
        capture_output=True,
        text=True,
        check=False,
    )
    assert completed.returncode == 0, completed.stderr
    assert completed.stderr == ""
    assert "housekeeping: 1,798 packets" in completed.stdout


class Terminal(io.StringIO):
    def isatty(self):
        return True


def test_progress_on_a_terminal_shows_bytes_and_packets_per_second(tmp_path, monkeypatch):
    pytest.importorskip("tqdm")
    terminal = Terminal()
    monkeypatch.setattr(sys, "stderr", terminal)
    assert run("decode", DEFINITIONS, ARCHIVE, "-o", tmp_path, "--chunk-size", "64k") == 0
    shown = terminal.getvalue()
    assert "packets/s" in shown and "B/s" in shown and "27,038 packets" in shown
    terminal.truncate(0)
    assert run("decode", DEFINITIONS, ARCHIVE, "-o", tmp_path, "--quiet", "--overwrite") == 0
    assert terminal.getvalue() == ""


def test_a_missing_extra_says_how_to_install_it(tmp_path, capsys, monkeypatch):
    monkeypatch.setitem(sys.modules, "pyarrow.parquet", None)
    assert run("decode", DEFINITIONS, ARCHIVE, "-o", tmp_path) == 1
    assert capsys.readouterr().err == (
        "vantrel: Parquet output needs pyarrow, which is not installed: "
        "pip install 'vantrel[cli]'\n"
    )


# dask --------------------------------------------------------------------------------


def test_decode_on_two_dask_workers_writes_parts_equal_to_one_process(tmp_path):
    pytest.importorskip("dask.distributed")
    pd = pytest.importorskip("pandas")
    import pyarrow.dataset

    small = ["-q", "--chunk-size", "100k"]
    assert run("decode", DEFINITIONS, ARCHIVE, "-o", tmp_path / "one", *small) == 0
    assert (
        run("decode", DEFINITIONS, ARCHIVE, "-o", tmp_path / "two", *small, "--workers", "2") == 0
    )
    for name in ("housekeeping", "event", "magnetometer"):
        one = pq.read_table(tmp_path / "one" / f"{name}.parquet")
        folder = tmp_path / "two" / f"{name}.parquet"
        parts = sorted(p.name for p in folder.iterdir())
        # Named by archive and first byte, so that they sort in stream order.
        assert all(p.startswith("part-0-") and p.endswith(".parquet") for p in parts)
        assert len(parts) == 7  # one per chunk of 100k
        assert one.num_rows > 0
        assert pq.read_table(folder).equals(one)
        assert pyarrow.dataset.dataset(folder).to_table().equals(one)
        assert pd.read_parquet(folder).equals(one.to_pandas())


def test_decode_on_dask_replaces_the_output_of_either_kind(tmp_path, dask_cluster):
    on_dask = ["--scheduler", dask_cluster]
    out = tmp_path / "out"
    hk = out / "housekeeping.parquet"
    again = ["-o", out, "-q", "--overwrite"]
    assert run("decode", DEFINITIONS, ARCHIVE, "-o", out, "-q") == 0
    whole = pq.read_table(hk)
    assert run("decode", DEFINITIONS, ARCHIVE, *again, *on_dask) == 0
    assert hk.is_dir() and pq.read_table(hk).equals(whole)
    # Fewer, larger chunks: no part of the previous run is left to be read twice.
    assert run("decode", DEFINITIONS, ARCHIVE, *again, "--chunk-size", "64k", *on_dask) == 0
    assert run("decode", DEFINITIONS, ARCHIVE, *again, *on_dask) == 0
    assert len(list(hk.iterdir())) == 1 and pq.read_table(hk).equals(whole)
    assert run("decode", DEFINITIONS, ARCHIVE, *again) == 0
    assert hk.is_file() and pq.read_table(hk).equals(whole)
    (out / "event.parquet").unlink()
    (out / "event.parquet").mkdir()
    (out / "event.parquet" / "notes.txt").write_text("mine")
    before = hk.read_bytes()
    assert run("decode", DEFINITIONS, ARCHIVE, *again, *on_dask) == 1
    # Refused before anything was written: the other types' tables are untouched too.
    assert (out / "event.parquet" / "notes.txt").read_text() == "mine"
    assert hk.is_file() and hk.read_bytes() == before
    assert sorted(p.name for p in out.iterdir()) == [
        "event.parquet",
        "housekeeping.parquet",
        "magnetometer.parquet",
    ]


def test_csv_on_dask_workers_is_the_file_one_process_writes(tmp_path, dask_cluster):
    options = ["-q", "-f", "csv", "--chunk-size", "50k"]
    assert run("decode", DEFINITIONS, ARCHIVE, "-o", tmp_path / "one", *options) == 0
    assert (
        run(
            "decode",
            DEFINITIONS,
            ARCHIVE,
            "-o",
            tmp_path / "two",
            *options,
            "--scheduler",
            dask_cluster,
        )
        == 0
    )
    for name in ("housekeeping", "event", "magnetometer"):
        one = (tmp_path / "one" / f"{name}.csv").read_bytes()
        assert (tmp_path / "two" / f"{name}.csv").read_bytes() == one and one.count(b"\n") > 1
    assert sorted(p.name for p in (tmp_path / "two").iterdir()) == [
        "event.csv",
        "housekeeping.csv",
        "magnetometer.csv",
    ]


# the package ---------------------------------------------------------------------------


def test_command_entry_points_and_usage_errors(tmp_path):
    for command in (
        [sys.executable, "-m", "vantrel"],
        [str(Path(sys.executable).with_name("vantrel"))],
    ):
        version = subprocess.run(command + ["--version"], capture_output=True, text=True)
        assert version.returncode == 0 and version.stdout == f"vantrel {vantrel.__version__}\n"
    usage = subprocess.run(
        [sys.executable, "-m", "vantrel", "decode", "x.json"], capture_output=True, text=True
    )
    assert usage.returncode == 2 and "-o/--output" in usage.stderr


def test_the_package_keeps_the_modules_surface():
    import pickle

    assert len(vantrel.__all__) == 62 and vantrel.__doc__ == ""
    assert not hasattr(vantrel, "PanicException") and not hasattr(vantrel, "_core")
    assert all(getattr(vantrel, name).__doc__ is None for name in vantrel.__all__)
    assert vantrel.Layout.__module__ == "vantrel"
    assert pickle.loads(pickle.dumps(vantrel.CCSDS_PRIMARY_HEADER)) == vantrel.CCSDS_PRIMARY_HEADER
    assert pickle.loads(pickle.dumps(vantrel.encode_utf8)) is vantrel.encode_utf8
    fresh = subprocess.run(
        [
            sys.executable,
            "-c",
            "import sys, vantrel; print(sorted(m for m in ('numpy', 'pyarrow', 'vantrel.command')"
            " if m in sys.modules))",
        ],
        capture_output=True,
        text=True,
        check=True,
    )
    assert fresh.stdout == "[]\n"


def test_the_readmes_first_command_decodes_the_shipped_archive(tmp_path):
    readme = (EXAMPLE.parents[1] / "README.md").read_text(encoding="utf-8")
    first = readme.split("```sh\n", 1)[1].split("\n```", 1)[0]
    *installs, command = first.split(" && ")
    assert installs[-1] == 'pip install --no-build-isolation ".[cli]"'
    assert command.startswith("vantrel decode ")
    argv = command.split()[1:]
    argv[argv.index("-o") + 1] = str(tmp_path / "tables")
    completed = subprocess.run(
        [str(Path(sys.executable).with_name("vantrel")), *argv],
        cwd=EXAMPLE.parents[1],
        capture_output=True,
        text=True,
        check=False,
    )
    assert completed.returncode == 0, completed.stderr
    assert sorted(p.name for p in (tmp_path / "tables").iterdir()) == [
        "event.parquet",
        "housekeeping.parquet",
        "magnetometer.parquet",
    ]


def test_variable_length_packets_decode_to_parquet_and_csv(tmp_path):
    if not layouts_have_arrays():
        pytest.skip("layouts without array fields")
    import csv

    def item(name, bits, **extra):
        return {"name": name, "encoding": "unsigned", "bits": bits, **extra}

    document = {
        "defaults": {"byte_order": "big", "reverse_bits": False},
        "header": [item("ident", 16, offset_bits=0), item("length", 16, offset_bits=32)],
        "packets": {
            "samples": {
                "key": 0x2A5,
                "layout": [
                    item("n", 8, offset_bits=48),
                    item("s", 16, count="n"),
                    item("rest", 8, count="*"),
                ],
            }
        },
    }
    (tmp_path / "v.json").write_text(json.dumps(document))
    packets = []
    for k in range(5):
        body = bytes([k]) + b"".join(i.to_bytes(2, "big") for i in range(k)) + bytes(range(k % 3))
        packets.append(
            (0x0800 | 0x2A5).to_bytes(2, "big")
            + (0xC000 | k).to_bytes(2, "big")
            + (len(body) - 1).to_bytes(2, "big")
            + body
        )
    (tmp_path / "v.bin").write_bytes(b"".join(packets))
    assert run("decode", tmp_path / "v.json", tmp_path / "v.bin", "-o", tmp_path, "-q") == 0
    table = pq.read_table(tmp_path / "samples.parquet")
    assert table.column("s").to_pylist() == [list(range(k)) for k in range(5)]
    assert table.column("rest").to_pylist() == [list(range(k % 3)) for k in range(5)]
    assert (
        run(
            "decode",
            tmp_path / "v.json",
            tmp_path / "v.bin",
            "-o",
            tmp_path,
            "-q",
            "-f",
            "csv",
            "--strict",
        )
        == 0
    )
    with open(tmp_path / "samples.csv", newline="") as file:
        rows = list(csv.DictReader(file))
    assert [row["s"] for row in rows] == [str(list(range(k))) for k in range(5)]


# variable-length packets ------------------------------------------------------------

MIXED_CSV = {
    # ccsdspy CSV definitions: a counted array, and a fixed packet after it.
    "samples": "name,data_type,bit_length\nTIME,uint,32\nNSAMPLES,uint,8\nS,uint(NSAMPLES),16\n",
    "status": "name,data_type,bit_length\nTIME,uint,32\nMODE,uint,4\nVOLTS,float,32\n",
    "silent": "name,data_type,bit_length\nTIME,uint,32\n",  # no packets: an empty table
}
MIXED_KEYS = {"samples": 0x2A5, "status": 0x101, "silent": 0x3FF}


def mixed_archive(directory, packets=3000, seed=5, rules=None):
    """Both types interleaved at random, the counted arrays 0 to 40 long."""
    for name, text in MIXED_CSV.items():
        (directory / f"{name}.csv").write_text(text)
    document = {
        "packets": {n: {"key": k, "ccsdspy_csv": f"{n}.csv"} for n, k in MIXED_KEYS.items()}
    }
    if rules is not None:
        document["rules"] = rules
    (directory / "mixed.json").write_text(json.dumps(document))
    definitions = definitions_module.load(directory / "mixed.json")
    rng = np.random.default_rng(seed)
    kinds = rng.integers(0, 2, packets)
    out = []
    for kind, index in zip(kinds.tolist(), range(packets)):
        name = ("samples", "status")[kind]
        layout = definitions.packet_type(name).layout
        values = {"TIME": index, "MODE": index % 16, "VOLTS": float(index) / 8}
        if name == "samples":
            values = {"TIME": index, "S": rng.integers(0, 4096, rng.integers(0, 41)).tolist()}
            values["NSAMPLES"] = len(values["S"])
        size = layout.size_bytes + 2 * len(values.get("S", ()))
        header = {
            "CCSDS_VERSION_NUMBER": 0,
            "CCSDS_PACKET_TYPE": 0,
            "CCSDS_SECONDARY_FLAG": 0,
            "CCSDS_APID": MIXED_KEYS[name],
            "CCSDS_SEQUENCE_FLAG": 3,
            "CCSDS_SEQUENCE_COUNT": index % 16384,
            "CCSDS_PACKET_LENGTH": size - 7,
        }
        packet = layout.pack({**header, **values})
        out.append(packet + bytes(size - len(packet)))
    archive = directory / "mixed.bin"
    archive.write_bytes(b"".join(out))
    return definitions, archive


def unpack_many_by_type(definitions, data):
    framed = vantrel.split_packets(data, **definitions.framing)
    header = vantrel.CCSDS_PRIMARY_HEADER.unpack_many(data, offsets=framed)
    lengths = header["packet_length"].astype(np.int64) + 7
    out = {}
    for packet in definitions.packets:
        mine = header["apid"] == packet.keys[0]
        out[packet.name] = packet.layout.unpack_many(
            data, offsets=framed[mine], lengths=lengths[mine]
        )
    return out


def column_lists(column):
    if hasattr(column, "to_list"):  # ragged
        return [row.tolist() for row in column.to_list()]
    return column.tolist()


@pytest.mark.parametrize("where", ["here", "dask"])
def test_variable_length_types_decode_in_chunks_as_unpack_many_does(tmp_path, where, request):
    if not layouts_have_arrays():
        pytest.skip("layouts without array fields")
    # Rules bound the packets' length, and so the framing's lookahead past a
    # chunk's end: many chunks in a small archive.
    definitions, archive = mixed_archive(tmp_path, rules={"max_length": 96})
    extra = ["--scheduler", request.getfixturevalue("dask_cluster")] if where == "dask" else []
    out = tmp_path / "out"
    assert (
        run(
            "decode",
            tmp_path / "mixed.json",
            archive,
            "-o",
            out,
            "-q",
            "--chunk-size",
            "20k",
            *extra,
        )
        == 0
    )
    expected = unpack_many_by_type(definitions, archive.read_bytes())
    assert len(expected["samples"]["S"]) > 1000
    for name, columns in expected.items():
        table = pq.read_table(out / f"{name}.parquet")
        assert table.column_names == list(columns)
        for field, values in columns.items():
            assert table.column(field).to_pylist() == column_lists(values), (name, field)


@pytest.mark.parametrize("rules", [None, {"max_length": 96}])
def test_chunks_frame_as_the_whole_archive_does(tmp_path, rules):
    from vantrel.command import engine

    definitions, archive = mixed_archive(tmp_path, packets=1000, rules=rules)
    data = bytearray(archive.read_bytes() * 14)  # 390 kB: more than the lookahead
    for at in (250_017, 100_000, 5003):  # noise, and without rules long bogus packets
        data[at:at] = b"\xff" * 5
    del data[-3:]  # the last packet cut short
    archive.write_bytes(bytes(data))
    whole = engine.frame(memoryview(bytes(data)), definitions)
    plan = list(engine.plan([str(archive)], definitions, 20_000))
    assert len(plan) > (2 if rules is None else 15)
    assert [c.start for c, _ in plan[1:]] == [c.stop for c, _ in plan[:-1]]
    assert plan[-1][0].stop == len(data)
    offsets = np.concatenate([framing.offsets + c.start for c, framing in plan])
    assert offsets.tolist() == whole.offsets.tolist()
    skipped = [(c.start + s.start, c.start + s.stop, s.reason) for c, f in plan for s in f.skipped]
    assert skipped == [(s.start, s.stop, s.reason) for s in whole.skipped]
    assert len(skipped) >= (1 if rules is None else 4) and skipped[-1][2] == "truncated"


def test_a_wide_length_field_does_not_make_one_chunk_of_the_archive(tmp_path):
    from vantrel.command import engine

    # 32-bit lengths allow packets of 4 GB: the lookahead stops at a chunk.
    # Chunks end after the last packet that ends by each MiB of the file.
    document = {
        "framing": {"length_offset_bits": 0, "length_bits": 32, "length_adjust": 0},
        "packets": {"all": {"layout": [{**ITEM, "byte_order": "big", "reverse_bits": False}]}},
    }
    (tmp_path / "wide.json").write_text(json.dumps(document))
    definitions = definitions_module.load(tmp_path / "wide.json")
    packet = (100).to_bytes(4, "big") + bytes(96)
    (tmp_path / "wide.bin").write_bytes(packet * 50_000)  # 5 MB
    plan = list(engine.plan([str(tmp_path / "wide.bin")], definitions, 1 << 20))
    assert [c.start for c, _ in plan] == [0, 1048500, 2097100, 3145700]
    # A window: from a chunk's start (a packet before its cut at most) to a MiB past the cut.
    assert max(c.window_stop - c.start for c, _ in plan) == (2 << 20) + 76
    assert sum(len(framing.offsets) for _, framing in plan) == 50_000


def test_variable_length_csv_definitions_decode_as_ccsdspy_decodes_them(tmp_path):
    ccsdspy = pytest.importorskip("ccsdspy")
    if not layouts_have_arrays():
        pytest.skip("layouts without array fields")
    _, archive = mixed_archive(tmp_path, packets=400)
    assert run("decode", tmp_path / "mixed.json", archive, "-o", tmp_path / "out", "-q") == 0
    streams = ccsdspy.utils.split_by_apid(str(archive))
    theirs = ccsdspy.VariableLength.from_file(str(tmp_path / "samples.csv")).load(
        streams[MIXED_KEYS["samples"]], include_primary_header=True
    )
    ours = pq.read_table(tmp_path / "out" / "samples.parquet")
    assert ours.column("S").to_pylist() == [a.tolist() for a in theirs["S"]]
    assert ours.column("TIME").to_pylist() == theirs["TIME"].tolist()


# time axes ----------------------------------------------------------------------------


def timed_definitions(directory, **time_keys):
    """Two types whose time is a CUC (UTC) and a CDS (TAI) time code."""

    def item(name, bits, **extra):
        return {"name": name, "encoding": "unsigned", "bits": bits, **extra}

    cuc = {"type": "cuc", "coarse_octets": 4, "fine_octets": 2, "scale": "UTC"}
    layouts = {
        "hk": [item("count", 16), item("obt", 48, convert=cuc), item("temp", 16)],
        "mag": [item("day", 48, convert={"type": "cds", "scale": "TAI"}), item("bx", 16)],
    }
    document = {
        "defaults": {"byte_order": "big", "reverse_bits": False},
        "header": [item("ident", 16), item("sequence", 16), item("length", 16)],
        "packets": {
            name: {"key": key, "layout": layouts[name], **time_keys.get(name, {})}
            for name, key in (("hk", 0x2A5), ("mag", 0x3C0))
        },
    }
    (directory / "timed.json").write_text(json.dumps(document))
    return definitions_module.load(directory / "timed.json")


def timed_archive(directory, definitions, packets=40):
    start = np.datetime64("2026-10-13T06:00:00", "ns")
    out = b""
    for name, key, step in (("hk", 0x2A5, 4), ("mag", 0x3C0, 1)):
        layout = definitions.packet_type(name).layout
        times = start + np.arange(packets) * np.timedelta64(step, "s")
        columns = {
            "ident": np.full(packets, 0x0800 | key),
            "sequence": 0xC000 | np.arange(packets),
            "length": np.full(packets, layout.size_bytes - 7),
            "count": np.arange(packets),
            "obt": times,
            "temp": np.arange(packets) * 2,
            "day": times,
            "bx": np.arange(packets),
        }
        out += layout.pack_many({k: v for k, v in columns.items() if k in layout.names})
    (directory / "timed.bin").write_bytes(out)
    return directory / "timed.bin"


def test_the_time_axis_is_the_first_time_code_unless_the_file_says(tmp_path):
    automatic = timed_definitions(tmp_path)
    assert [(p.time, p.time_scale) for p in automatic.packets] == [("obt", "UTC"), ("day", "TAI")]
    chosen = timed_definitions(tmp_path, hk={"time": "count"}, mag={"time": False})
    assert [(p.time, p.time_scale) for p in chosen.packets] == [("count", None), (None, None)]


def test_inspect_gives_the_time_span_of_time_codes(tmp_path, capsys):
    archive = timed_archive(tmp_path, timed_definitions(tmp_path))
    assert run("inspect", tmp_path / "timed.json", archive) == 0
    spans = capsys.readouterr().out.split("time span:\n")[1].splitlines()
    assert [line.split() for line in spans] == [
        ["type", "field", "first", "last"],
        ["hk", "obt", "2026-10-13T06:00:00", "UTC", "2026-10-13T06:02:36", "UTC"],
        ["mag", "day", "2026-10-13T06:00:00", "TAI", "2026-10-13T06:00:39", "TAI"],
    ]


def test_plot_draws_against_the_time_code_without_being_told(tmp_path):
    pytest.importorskip("matplotlib")
    from matplotlib.dates import num2date

    from vantrel.command import plot

    definitions = timed_definitions(tmp_path)
    archive = timed_archive(tmp_path, definitions)
    wanted = plot.resolve_fields(definitions, ["temp", "bx"])
    figure = plot.draw(
        plot.series(definitions, str(archive), wanted, 1 << 20, True), (800, 600), "t"
    )
    hk, mag = figure.get_axes()
    assert (hk.get_xlabel(), mag.get_xlabel()) == ("obt (UTC)", "day (TAI)")
    line = hk.get_lines()[0]
    x = line.get_xdata()
    assert str(np.asarray(x).dtype) == "datetime64[ns]"
    assert x[-1] == np.datetime64("2026-10-13T06:02:36", "ns")
    assert line.get_ydata().tolist() == list(range(0, 80, 2))
    ticks = [num2date(t).year for t in hk.get_xticks()]
    assert set(ticks) == {2026}  # a time axis, not nanoseconds since 1970
    assert run("plot", tmp_path / "timed.json", archive, "bx", "-o", tmp_path / "x.png", "-q") == 0


def test_the_summary_counts_in_words_and_says_how_long_it_took(tmp_path, capsys):
    data = ARCHIVE.read_bytes()
    length = vantrel.CCSDS_PRIMARY_HEADER.unpack(data)["packet_length"] + 7
    (tmp_path / "one.bin").write_bytes(data[:length])  # the first packet alone
    assert run("decode", DEFINITIONS, tmp_path / "one.bin", "-o", tmp_path / "out") == 0
    first = capsys.readouterr().out.splitlines()[0]
    assert first.startswith(f"1 packet, {length} bytes in ") and first.endswith(" MiB/s)")


@pytest.mark.parametrize("dtype", ["uint8", "uint16", "int64"])
def test_packets_grouped_by_key_keep_stream_order(dtype):
    from hypothesis import given, settings
    from hypothesis import strategies as st

    from vantrel.command import engine

    low = -1 if dtype == "int64" else 0  # -1: a packet too short for the type field
    high = np.iinfo(dtype).max

    # A few keys (counted, one pass each) or many (sorted): the same groups.
    @settings(max_examples=60, deadline=None)
    @given(
        st.integers(1, 40).flatmap(
            lambda kinds: st.lists(st.integers(0, kinds - 1), min_size=0, max_size=300).map(
                lambda picks: (kinds, picks)
            )
        ),
        st.integers(low, high),
        st.lists(st.integers(low - 3, high + 3), max_size=5),
    )
    def check(kinds_picks, base, defined):
        kinds, picks = kinds_picks
        keys = (np.array(picks, np.int64) * 7 + base).clip(low, high).astype(dtype)
        expected = {int(k): np.flatnonzero(keys == k) for k in np.unique(keys).tolist()}
        # Told the defined types' keys (some absent, some out of the dtype's
        # range, some packets of no defined type): the same groups, in order.
        for groups in (engine.group_indices(keys), engine.group_indices(keys, defined)):
            assert list(groups) == list(expected)
            for key, index in groups.items():
                assert index.tolist() == expected[key].tolist()

    check()


def test_a_chunk_ends_after_the_last_packet_that_ends_by_its_cut():
    """The packets that end by a byte, found by a binary search, are those a
    comparison of every packet's end finds."""
    from hypothesis import given, settings
    from hypothesis import strategies as st

    from vantrel.command import engine

    @settings(max_examples=200, deadline=None)
    @given(
        st.lists(st.tuples(st.integers(0, 5), st.integers(1, 9)), max_size=30),
        st.integers(0, 300),
    )
    def check(gaps_and_lengths, cut):
        offsets, lengths, at = [], [], 0
        for gap, length in gaps_and_lengths:  # packets apart by skipped bytes
            offsets.append(at + gap)
            lengths.append(length)
            at += gap + length
        framed = engine.Framing(np.array(offsets, np.int64), np.array(lengths, np.int64), [])
        ends = framed.offsets + framed.lengths
        kept = engine._chunk_framing(framed, cut)
        assert len(kept.offsets) == int((ends <= cut).sum())
        whole = int((ends <= cut).sum())
        stop, ends_span = engine._stop_by(framed, cut)
        if whole:
            assert (stop, ends_span) == (int(ends[whole - 1]), True)
        elif offsets:
            assert (stop, ends_span) == ((offsets[0], False) if offsets[0] else (ends[0], True))
        else:
            assert (stop, ends_span) == (cut, True)

    check()


def test_type_field_values_past_int64_keep_their_packets(tmp_path, capsys):
    """A 64-bit type field read where some packet is too short for it: the
    keys of 2^63 and above stay whole in decode, inspect and split."""
    item = lambda name, bits: {"name": name, "encoding": "unsigned", "bits": bits}  # noqa: E731
    high = 2**64 - 2
    document = {
        "defaults": {"byte_order": "big", "reverse_bits": False},
        "framing": {"length_offset_bits": 0, "length_bits": 8, "length_adjust": 0},
        "type_field": {"offset_bits": 8, "bits": 64},
        "sequence": False,
        "header": [item("length", 8), item("kind", 64)],
        "packets": {"high": {"key": high, "layout": [item("v", 8)]},
                    "low": {"key": 5, "layout": [item("v", 8)]}},
    }  # fmt: skip
    definitions = tmp_path / "defs.json"
    definitions.write_text(json.dumps(document))
    packets = b"".join(bytes([10]) + k.to_bytes(8, "big") + bytes([i]) for i in range(6)
                       for k in (high, 5))  # fmt: skip
    archive = tmp_path / "a.bin"
    archive.write_bytes(packets + bytes([2, 0]) + packets)  # a packet too short for the key
    assert run("decode", str(definitions), str(archive), "-o", str(tmp_path / "out")) == 0
    for name in ("high", "low"):
        assert pq.read_table(tmp_path / "out" / f"{name}.parquet")["v"].to_pylist() == [
            *range(6),
            *range(6),
        ]
    assert run("split", str(definitions), str(archive), "-o", str(tmp_path / "split")) == 0
    assert (tmp_path / "split" / f"apid_{high}.bin").read_bytes() == b"".join(
        packets[k : k + 10] for k in range(0, len(packets), 20)
    ) * 2
    capsys.readouterr()
    run("inspect", str(definitions), str(archive))
    assert f"{high}       12" in capsys.readouterr().out
