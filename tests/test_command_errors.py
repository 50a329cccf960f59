"""The `vantrel` command's failures: garbage is not success, and bad input,
bad definitions and signals end in one line on stderr and a documented exit
code, never a traceback."""

import copy
import json
import os
import re
import signal
import subprocess
import sys
import time
from pathlib import Path

import numpy as np
import pytest
from hypothesis import given, settings
from hypothesis import strategies as st

import vantrel
from command_helpers import ARCHIVE, DEFINITIONS, run, with_interrupts
from vantrel.command import coverage as coverage_module
from vantrel.command import definitions as definitions_module

pq = pytest.importorskip("pyarrow.parquet")


def one_line(capsys) -> str:
    """The run's stderr, which must be one line starting 'vantrel: '."""
    err = capsys.readouterr().err
    assert err.count("\n") == 1 and err.startswith("vantrel: "), err
    assert "Traceback" not in err
    return err.strip()


def outputs(folder: Path) -> list[str]:
    """What a run left in its output folder, hidden staging folders included."""
    return sorted(p.name for p in folder.iterdir()) if folder.exists() else []


def ccsds_archive(apids, lengths, seed=0) -> bytes:
    """CCSDS space packets of the given APIDs and total lengths, counters per APID."""
    rng = np.random.default_rng(seed)
    counters = {}
    packets = []
    for apid, length in zip(apids, lengths):
        count = counters.get(apid, 0)
        counters[apid] = (count + 1) % 16384
        header = vantrel.CCSDS_PRIMARY_HEADER.pack(
            {
                "version": 0,
                "type": 0,
                "secondary_header_flag": 0,
                "apid": apid,
                "sequence_flags": 3,
                "sequence_count": count,
                "packet_length": length - 7,
            }
        )
        packets.append(header + rng.bytes(length - 6))
    return b"".join(packets)


# Garbage is not success --------------------------------------------------------


@pytest.fixture(scope="module")
def random_megabyte(tmp_path_factory):
    path = tmp_path_factory.mktemp("garbage") / "random.bin"
    path.write_bytes(np.random.default_rng(27).bytes(1 << 20))
    return path


def test_random_bytes_do_not_decode_into_empty_tables(tmp_path, random_megabyte, capsys):
    for strict in ((), ("--strict",)):
        assert run("decode", DEFINITIONS, random_megabyte, "-o", tmp_path, "-q", *strict) == 1
        error = one_line(capsys)
        assert error.startswith(f"vantrel: {random_megabyte}: only 0.0% of its 1,048,576 bytes")
        assert "100.0% frame as no packet" in error and error.endswith("nothing was written")
        assert outputs(tmp_path) == []


def test_a_garbage_run_leaves_earlier_tables_as_they_were(tmp_path, random_megabyte, capsys):
    assert run("decode", DEFINITIONS, ARCHIVE, "-o", tmp_path, "-q") == 0
    before = {p.name: p.read_bytes() for p in tmp_path.iterdir()}
    assert run("decode", DEFINITIONS, random_megabyte, "-o", tmp_path, "-q", "--overwrite") == 1
    one_line(capsys)
    assert {p.name: p.read_bytes() for p in tmp_path.iterdir()} == before


def test_one_garbage_archive_among_good_ones_fails_the_decode(tmp_path, random_megabyte, capsys):
    assert run("decode", DEFINITIONS, ARCHIVE, random_megabyte, "-o", tmp_path, "-q") == 1
    assert one_line(capsys).startswith(f"vantrel: {random_megabyte}: only 0.0%")
    assert outputs(tmp_path) == []


def test_an_empty_archive_says_so_in_every_subcommand(tmp_path, capsys):
    empty = tmp_path / "empty.bin"
    empty.write_bytes(b"")
    out = tmp_path / "out"
    assert run("decode", DEFINITIONS, empty, "-o", out) == 1
    assert one_line(capsys) == f"vantrel: {empty}: the archive is empty; nothing was written"
    assert run("split", empty, "-o", out, "-q") == 1
    assert one_line(capsys) == f"vantrel: {empty}: the archive is empty; nothing was written"
    assert run("plot", DEFINITIONS, empty, "bx", "-o", out / "look.png", "-q") == 1
    assert one_line(capsys) == f"vantrel: {empty}: the archive is empty; nothing was written"
    assert outputs(out) == []
    assert run("inspect", empty, "-q") == 1
    captured = capsys.readouterr()
    assert captured.err == f"vantrel: {empty}: the archive is empty\n"
    assert "0 bytes, 0 packets" in captured.out  # the report comes first


def test_inspect_reports_garbage_then_fails(random_megabyte, capsys):
    assert run("inspect", DEFINITIONS, random_megabyte) == 1
    captured = capsys.readouterr()
    assert "1,048,576 bytes, 0 packets, 1 damaged range(s)" in captured.out
    assert captured.err.startswith(f"vantrel: {random_megabyte}: only 0.0% of its")
    assert captured.err.count("\n") == 1


def test_split_with_framing_rules_refuses_random_bytes(tmp_path, random_megabyte, capsys):
    assert run("split", DEFINITIONS, random_megabyte, "-o", tmp_path, "-q") == 1
    assert one_line(capsys) == (
        f"vantrel: {random_megabyte}: only 0.0% of its 1,048,576 bytes frame as packets "
        "(at least 50% must; 100.0% frame as no packet); nothing was written"
    )
    assert outputs(tmp_path) == []


def test_packets_of_types_left_out_are_not_garbage(tmp_path, capsys):
    # Three APIDs; the definitions may name one of them, or none.
    def definitions(*keys):
        layout = [{"name": "x", "encoding": "unsigned", "bits": 8, "offset_bits": 48}]
        packets = {f"t{k}": {"key": k, "layout": layout} for k in keys}
        path = tmp_path / f"defs{'-'.join(map(str, keys))}.json"
        path.write_text(json.dumps({"defaults": BASE["defaults"], "packets": packets}))
        return path

    # 10 packets of APID 7 against 200 of APIDs 9 and 10: under 5% of the bytes.
    apids = [7] * 10 + [9, 10] * 100
    mixed = tmp_path / "mixed.bin"
    mixed.write_bytes(ccsds_archive(apids, [20] * len(apids)))
    assert run("decode", definitions(7), mixed, "-o", tmp_path / "a", "-q") == 0
    assert pq.read_metadata(tmp_path / "a" / "t7.parquet").num_rows == 10
    # An archive none of whose packets is of a defined type is an error.
    assert run("decode", definitions(11), mixed, "-o", tmp_path / "b", "-q") == 1
    error = one_line(capsys)
    assert "none of its packets (100.0% of its 4,200 bytes) are packets of a type" in error
    assert not (tmp_path / "b").exists() or outputs(tmp_path / "b") == []


def test_the_share_counts_bytes_that_frame_as_packets(tmp_path, capsys):
    layout = [{"name": "x", "encoding": "unsigned", "bits": 8, "offset_bits": 48}]
    path = tmp_path / "defs.json"
    rules = {"fields": [{"offset_bits": 5, "bits": 11, "values": [7]}], "max_length": 64}
    document = {
        "defaults": BASE["defaults"],
        "rules": rules,
        "packets": {"t": {"key": 7, "layout": layout}},
    }
    path.write_text(json.dumps(document))
    packets = ccsds_archive([7] * 50, [20] * 50)  # 1,000 bytes
    for name, noise, status in (("half.bin", 1000, 0), ("less.bin", 1250, 1)):
        archive = tmp_path / name
        archive.write_bytes(packets + bytes([0xFF]) * noise)
        assert run("decode", path, archive, "-o", tmp_path / f"out-{name}", "-q") == status
    assert "only 44.4% of its 2,250 bytes frame as packets (at least 50% must" in one_line(capsys)


def test_plot_of_a_type_without_packets_writes_no_blank_image(tmp_path, capsys):
    pytest.importorskip("matplotlib")
    document = definitions_module._parse_toml(DEFINITIONS.read_bytes(), DEFINITIONS)
    document["packets"]["spare"] = {
        "key": 1,
        "layout": [{"name": "spare_value", "encoding": "unsigned", "bits": 8}],
    }
    document["rules"]["fields"][1]["values"].append(1)
    defs = tmp_path / "spare.json"
    defs.write_text(json.dumps(document))
    image = tmp_path / "look.png"
    assert run("plot", defs, ARCHIVE, "spare_value", "-o", image, "-q") == 1
    assert one_line(capsys).startswith(f"vantrel: {ARCHIVE}: no value of spare.spare_value to plot")
    assert not image.exists()
    # With one field that has values the plot is drawn.
    assert run("plot", defs, ARCHIVE, "spare_value", "bx", "-o", image, "-q") == 0
    assert image.stat().st_size > 0


def test_coverage_is_measured_as_the_decode_frames_the_archive(tmp_path):
    definitions = definitions_module.load(DEFINITIONS)
    data = ARCHIVE.read_bytes()
    framed = vantrel.split_packets(
        data, **definitions.framing, errors="report", rules=definitions.rules
    )
    keys = vantrel.CCSDS_PRIMARY_HEADER.unpack_many(data, offsets=framed.offsets)["apid"]
    known = coverage_module.known_keys(definitions)
    assert known == {0x2A5, 0x101, 0x3C0}
    expected = int(framed.lengths[np.isin(keys, list(known))].sum())
    assert coverage_module.defined_bytes(keys, framed.lengths, known) == expected
    assert coverage_module.defined_bytes(keys, framed.lengths, None) == framed.lengths.sum()
    assert coverage_module.defined_bytes(keys, framed.lengths, frozenset({1 << 70})) == 0
    assert expected == len(data) - 23  # the shipped example: all but its 23 damaged bytes


# One-line errors, never a traceback ---------------------------------------------

BASE = {
    "defaults": {"byte_order": "big", "reverse_bits": False},
    "packets": {"hk": {"key": 677, "layout": [{"name": "x", "encoding": "unsigned", "bits": 8}]}},
}


def changed(path, value):
    """BASE with the entry at `path` (a tuple of keys) set to `value`."""
    document = copy.deepcopy(BASE)
    target = document
    for key in path[:-1]:
        target = target[key]
    target[path[-1]] = value
    return document


REFUSED_DEFINITIONS = [
    (
        changed(("type_field",), {"offset_bits": 5, "bits": 0}),
        "type_field: 'bits' must be from 1 to 64, not 0",
    ),
    (
        changed(("type_field",), {"offset_bits": 0, "bits": 65}),
        "type_field: 'bits' must be from 1 to 64, not 65",
    ),
    (changed(("type_field",), {"offset_bits": 1 << 70, "bits": 8}), "type_field: "),
    (
        changed(("packets", "hk", "key"), 1 << 70),
        "packet type 'hk': key 1180591620717411303424 does not fit the type field of 11 bits",
    ),
    (changed(("packets", "hk", "key"), 2048), "key 2048 does not fit the type field of 11 bits"),
    (
        changed(("sequence",), {"offset_bits": 18, "bits": 14, "modulus": 0}),
        "sequence: 'modulus' must be an integer from 2 to 2**14 (the field's width), not 0",
    ),
    (
        changed(("sequence",), {"offset_bits": 0, "bits": 64}),
        "sequence: 'modulus' must be an integer from 2 to 2**62, not 18446744073709551616",
    ),
    (
        changed(("sequence",), {"offset_bits": 18, "bits": 14, "modulus": 2.5}),
        "'modulus' must be an integer",
    ),
    (
        changed(("packets", "a\0b"), BASE["packets"]["hk"] | {"key": 1}),
        "packet type 'a\\x00b' holds a NUL character",
    ),
    (
        changed(("packets", "hk", "layout", 0, "count"), 4_000_000_000),
        "packet type 'hk': its layout needs packets of at least 4,000,000,000 bytes, "
        "longer than the framing allows (65,542 bytes)",
    ),
    (changed(("packets", "hk", "layout", 0, "bits"), 1 << 70), "packet type 'hk': "),
]


@pytest.mark.parametrize("document, message", REFUSED_DEFINITIONS)
def test_definitions_out_of_range_are_refused_when_read(tmp_path, capsys, document, message):
    path = tmp_path / "defs.json"
    path.write_text(json.dumps(document))
    with pytest.raises(definitions_module.DefinitionsError, match=re.escape(message)):
        definitions_module.load(path)
    for argv in (("decode", path, ARCHIVE, "-o", tmp_path / "out"), ("inspect", path, ARCHIVE)):
        assert run(*argv) == 1
        assert message in one_line(capsys)
    assert outputs(tmp_path / "out") == []


def test_the_widest_type_field_is_read_by_inspect_and_split(tmp_path, capsys):
    # A 64-bit type field after the primary header: values past 2**63 must
    # neither wrap nor fail.
    values = [5, 1 << 63, (1 << 64) - 1]
    chosen = np.random.default_rng(1).integers(0, 3, 300)
    packets = ccsds_archive([100] * len(chosen), [20] * len(chosen))
    archive = bytearray(packets)
    for place, which in enumerate(chosen.tolist()):
        archive[place * 20 + 6 : place * 20 + 14] = values[which].to_bytes(8, "big")
    path = tmp_path / "wide.bin"
    path.write_bytes(bytes(archive))
    defs = tmp_path / "wide.json"
    defs.write_text(
        json.dumps(
            {
                "type_field": {"offset_bits": 48, "bits": 64},
                "packets": {"all": {"layout": []}},
            }
        )
    )
    assert run("inspect", defs, path, "-q") == 0
    report = capsys.readouterr().out.split("\n\n")[1].splitlines()  # the table of keys
    assert report[0].split()[:2] == ["apid", "packets"]
    rows = {int(line.split()[0]): int(line.split()[1].replace(",", "")) for line in report[1:]}
    assert rows == {v: int((chosen == i).sum()) for i, v in enumerate(values)}
    assert run("split", defs, path, "-o", tmp_path / "split", "-q") == 0
    for which, value in enumerate(values):
        mine = np.flatnonzero(chosen == which)
        want = b"".join(bytes(archive[i * 20 : i * 20 + 20]) for i in mine.tolist())
        assert (tmp_path / "split" / f"apid_{value:04d}.bin").read_bytes() == want


@pytest.mark.parametrize(
    "suffix, text", [(".json", "[" * 100_000), (".toml", "a = " + "[" * 100_000)]
)
def test_deeply_nested_definitions_are_one_line(tmp_path, capsys, suffix, text):
    path = tmp_path / f"deep{suffix}"
    path.write_text(text + "]" * 100_000)
    assert run("inspect", path, ARCHIVE) == 1
    assert one_line(capsys).startswith(f"vantrel: {path}: not valid")


@pytest.mark.parametrize("size", ["inf", "nan", "1e30", "-inf", "2T", "0.5"])
def test_chunk_sizes_that_are_no_size_are_usage_errors(capsys, size):
    with pytest.raises(SystemExit) as ended:
        run("inspect", ARCHIVE, f"--chunk-size={size}")
    assert ended.value.code == 2
    assert "argument --chunk-size" in capsys.readouterr().err


@pytest.mark.parametrize("command", ["decode", "split", "plot"])
def test_an_empty_output_path_is_a_usage_error(tmp_path, capsys, monkeypatch, command):
    monkeypatch.chdir(tmp_path)  # where an empty path would have written
    argv = {
        "decode": ("decode", DEFINITIONS, ARCHIVE),
        "split": ("split", ARCHIVE),
        "plot": ("plot", DEFINITIONS, ARCHIVE, "bx"),
    }[command]
    with pytest.raises(SystemExit) as ended:
        run(*argv, "-o", "", "-q")
    assert ended.value.code == 2
    assert "argument -o/--output: an empty path" in capsys.readouterr().err
    assert outputs(tmp_path) == []


def test_plot_sizes_are_bounded(tmp_path, capsys):
    for size in ("100000x100000", "8193x100", "100x8193", "15x100"):
        with pytest.raises(SystemExit) as ended:
            run("plot", DEFINITIONS, ARCHIVE, "bx", "-o", tmp_path / "a.png", "--size", size)
        assert ended.value.code == 2
        assert "argument --size" in capsys.readouterr().err
    assert outputs(tmp_path) == []


def test_a_converted_array_type_decodes_to_parquet(tmp_path):
    # Once "output='arrow' needs raw=True" ended the decode with a traceback.
    pq = pytest.importorskip("pyarrow.parquet")
    item = {"name": "x", "encoding": "unsigned", "bits": 8, "offset_bits": 48, "count": 4}
    item["convert"] = {"type": "polynomial", "coefficients": [0, 2]}
    document = changed(("packets", "hk", "layout", 0), item)
    document["packets"]["hk"]["key"] = 960
    document["packets"]["rest"] = {"key": [257, 677], "layout": []}
    # The example's rules: without them, framing goes astray after its damage.
    document["rules"] = definitions_module.load(DEFINITIONS).rules
    path = tmp_path / "arrays.json"
    path.write_text(json.dumps(document))
    assert run("decode", path, ARCHIVE, "-o", tmp_path / "out", "-q") == 0
    definitions = definitions_module.load(path)
    data = ARCHIVE.read_bytes()
    framed = vantrel.split_packets(
        data, **definitions.framing, errors="report", rules=definitions.rules
    )
    offsets = vantrel.split_by_apid(data, framed.offsets)[960]
    want = definitions.packet_type("hk").layout.unpack_many(data, offsets=offsets)["x"]
    table = pq.read_table(tmp_path / "out" / "hk.parquet")
    assert table.column("x").to_pylist() == want.tolist()


def test_out_of_memory_is_one_line(tmp_path, capsys, monkeypatch):
    from vantrel.command import engine

    def no_memory(*args, **kwargs):
        raise MemoryError

    monkeypatch.setattr(engine, "read_range", no_memory)
    assert run("inspect", DEFINITIONS, ARCHIVE) == 1
    assert one_line(capsys) == "vantrel: out of memory (a smaller --chunk-size needs less)"


def big_archive(directory: Path, megabytes: int) -> Path:
    """Packets of 50 bytes and 512 APIDs, made with numpy (a loop would take seconds)."""
    length = 50
    count = (megabytes << 20) // length
    rng = np.random.default_rng(3)
    packets = np.frombuffer(rng.bytes(count * length), np.uint8).reshape(count, length).copy()
    apids = rng.integers(0, 512, count)
    counts = np.arange(count) % 16384
    packets[:, 0] = apids >> 8
    packets[:, 1] = apids & 0xFF
    packets[:, 2] = 0xC0 | counts >> 8
    packets[:, 3] = counts & 0xFF
    packets[:, 4], packets[:, 5] = 0, length - 7
    path = directory / "big.bin"
    path.write_bytes(packets.tobytes())
    return path


def staged_files(out: Path) -> bool:
    """Whether a run has written into its staging folder in `out` yet."""
    try:
        return any(
            any(p.iterdir()) for p in out.iterdir() if p.name.startswith(".vantrel-staging-")
        )
    except FileNotFoundError:  # the folder went as it was looked at
        return False


def test_ctrl_c_during_split_exits_130_and_leaves_no_file(tmp_path):
    archive = big_archive(tmp_path, 24)
    out = tmp_path / "out"
    out.mkdir()
    (out / "apid_0001.bin").write_bytes(b"earlier")  # replaced only by a complete run
    env = dict(os.environ, PYTHONPATH=str(Path(vantrel.__file__).parents[1]))
    command = [sys.executable, "-m", "vantrel", "split", str(archive), "-o", str(out)]
    process = subprocess.Popen(
        # Small chunks: a split of many steps, which the signal finds under way.
        command + ["--overwrite", "--chunk-size", "16k", "-q"],
        env=env,
        preexec_fn=with_interrupts,
        stderr=subprocess.PIPE,
        text=True,
    )
    # Interrupt once the split has written into its staging folder.
    deadline = time.monotonic() + 60
    while time.monotonic() < deadline and process.poll() is None and not staged_files(out):
        time.sleep(0.005)
    assert process.poll() is None, "the split ended before it could be interrupted"
    process.send_signal(signal.SIGINT)
    _, err = process.communicate(timeout=60)
    assert process.returncode == 130
    assert err == "vantrel: interrupted\n"
    assert outputs(out) == ["apid_0001.bin"]
    assert (out / "apid_0001.bin").read_bytes() == b"earlier"


# Fuzzing the definitions: an error of its own kind, or definitions ---------------

json_values = st.recursive(
    st.none()
    | st.booleans()
    | st.integers(-(1 << 70), 1 << 70)
    | st.floats(allow_nan=True)
    | st.text(max_size=6),
    lambda inner: (
        st.lists(inner, max_size=4) | st.dictionaries(st.text(max_size=6), inner, max_size=4)
    ),
    max_leaves=12,
)
ITEM_KEYS = ["bits", "offset_bits", "count", "byte_order", "convert", "states", "reverse_bits"]
ENCODINGS = ["unsigned", "twos_complement", "ieee754_f32", "utf8", "us_ascii", "bcd", "bogus"]


def mostly(valid, wild):
    """Values near the schema, now and then anything."""
    return st.one_of(valid, valid, valid, wild)


names = mostly(st.text("abxyz_09", min_size=1, max_size=4), st.text(max_size=5))
widths = mostly(st.integers(1, 64), st.one_of(st.integers(-(1 << 70), 1 << 70), json_values))
positions = st.fixed_dictionaries(
    {"offset_bits": mostly(st.integers(0, 80), json_values), "bits": widths},
    optional={"modulus": mostly(st.integers(-1, 1 << 70), json_values)},
)


@st.composite
def items(draw):
    item = {
        "name": draw(names),
        "encoding": draw(st.sampled_from(ENCODINGS)),
        "bits": draw(widths),
        "byte_order": draw(st.sampled_from(["big", "little", "middle"])),
        "reverse_bits": False,
    }
    for key in draw(st.lists(st.sampled_from(ITEM_KEYS), max_size=2)):
        item[key] = draw(widths if key in ("bits", "offset_bits", "count") else json_values)
    return item


@st.composite
def definition_documents(draw):
    """Documents near the schema: the right keys, values of every kind and size."""
    optional = {
        "type_field": mostly(st.one_of(positions, names), json_values),
        "sequence": mostly(st.one_of(positions, names, st.just(False)), json_values),
        "framing": mostly(
            st.fixed_dictionaries(
                {"length_offset_bits": widths, "length_bits": widths, "length_adjust": widths}
            ),
            json_values,
        ),
        "rules": mostly(
            st.fixed_dictionaries(
                {},
                optional={
                    "max_length": widths,
                    "min_length": widths,
                    "confirm": widths,
                    "fields": st.lists(
                        st.fixed_dictionaries(
                            {"offset_bits": widths, "bits": widths, "values": st.lists(widths)}
                        ),
                        max_size=2,
                    ),
                },
            ),
            json_values,
        ),
        "header": mostly(st.lists(items(), max_size=3), json_values),
        "defaults": mostly(st.just({"byte_order": "big"}), json_values),
    }
    document = {}
    for key in draw(st.lists(st.sampled_from(sorted(optional)), max_size=4, unique=True)):
        document[key] = draw(optional[key])
    packets = {}
    for _ in range(draw(st.integers(0, 3))):
        entry = {"layout": draw(mostly(st.lists(items(), max_size=3), json_values))}
        if draw(st.booleans()):
            entry["key"] = draw(mostly(st.integers(0, 4096), st.lists(widths, max_size=3)))
        for extra in draw(st.lists(st.sampled_from(["time", "options", "header"]), max_size=2)):
            entry[extra] = draw(mostly(names, json_values))
        packets[draw(names)] = entry
    if packets or draw(st.booleans()):
        document["packets"] = packets
    return document


@settings(max_examples=300)
@given(definition_documents())
def test_malformed_definitions_are_a_definitions_error_or_definitions(document):
    try:
        definitions = definitions_module.from_document(document, "fuzz.json")
    except definitions_module.DefinitionsError:
        return
    # What is accepted is usable: every type's key fits the type field.
    for packet in definitions.packets:
        assert all(0 <= k < 1 << definitions.key["bits"] for k in packet.keys or ())


def test_inspect_of_packets_too_short_for_the_type_field_and_counter(tmp_path, capsys):
    # One-bit length fields frame packets of one and two bytes: the key and
    # the counter lie past most of them.
    path = tmp_path / "short.json"
    framing = {"length_offset_bits": 3, "length_bits": 1, "length_adjust": 1}
    path.write_text(json.dumps({"framing": framing, "packets": {"all": {"layout": []}}}))
    assert run("inspect", path, ARCHIVE, "-q") == 0
    out = capsys.readouterr().out
    framed = vantrel.split_packets(ARCHIVE.read_bytes(), **framing, errors="report")
    short = int((framed.lengths < 2).sum())  # the APID ends in the second byte
    rows = [line.split() for line in out.splitlines() if line.strip().startswith("short")]
    assert short and rows == [["short", f"{short:,}", f"{short:,}", "1", "1", "0", "0", "0", "0"]]


def test_counts_past_a_modulus_below_the_fields_width_are_damage(tmp_path, capsys):
    # A 14-bit counter declared to wrap at 1,000, in archives that count to
    # 999 (sound) and to 1,499 (500 counts past the modulus).
    path = tmp_path / "wraps.json"
    path.write_text(
        json.dumps(
            {
                "sequence": {"offset_bits": 18, "bits": 14, "modulus": 1000},
                "packets": {"all": {"layout": []}},
            }
        )
    )
    for packets, past in ((1000, 0), (1500, 500)):
        archive = tmp_path / f"count{packets}.bin"
        archive.write_bytes(ccsds_archive([5] * packets, [12] * packets))
        assert run("inspect", path, archive, "-q") == 0
        out = capsys.readouterr().out
        assert ("500 packet(s) with a sequence count of 1,000 or more" in out) == bool(past)
        assert run("inspect", path, archive, "-q", "--strict") == (3 if past else 0)


@settings(max_examples=20)
@given(definition_documents())
def test_accepted_definitions_run_every_subcommand_to_an_exit_code(tmp_path_factory, document):
    try:
        definitions_module.from_document(document, "fuzz.json")
        text = json.dumps(document)
    except (definitions_module.DefinitionsError, ValueError):
        return
    folder = tmp_path_factory.mktemp("fuzz")
    path = folder / "defs.json"
    path.write_text(text)
    for argv in (
        ("inspect", path, ARCHIVE, "-q"),
        ("decode", path, ARCHIVE, "-o", folder / "parquet", "-q"),
        ("decode", path, ARCHIVE, "-o", folder / "csv", "-q", "-f", "csv"),
        ("split", path, ARCHIVE, "-o", folder / "split", "-q"),
    ):
        assert run(*argv) in (0, 1, 3)


# One argument order ---------------------------------------------------------------


def test_every_subcommand_takes_the_definitions_first(tmp_path, capsys):
    assert run("inspect", DEFINITIONS, ARCHIVE, "-q") == 0
    assert capsys.readouterr().err == ""
    assert run("split", DEFINITIONS, ARCHIVE, "-o", tmp_path / "new", "-q") == 0
    assert capsys.readouterr().err == ""


def test_the_old_orders_still_work_with_a_note(tmp_path, capsys):
    assert run("inspect", ARCHIVE, DEFINITIONS, "-q") == 0
    note = capsys.readouterr().err
    assert note == (
        "vantrel: note: 'inspect ARCHIVE DEFINITIONS' is the old order: write "
        f"'vantrel inspect {DEFINITIONS} {ARCHIVE}'\n"
    )
    assert run("split", ARCHIVE, "-o", tmp_path / "old", "-d", DEFINITIONS, "-q") == 0
    assert "'split -d DEFINITIONS' is the old form" in capsys.readouterr().err
    new = tmp_path / "new"
    assert run("split", DEFINITIONS, ARCHIVE, "-o", new, "-q") == 0
    for path in new.iterdir():
        assert (tmp_path / "old" / path.name).read_bytes() == path.read_bytes()


@pytest.mark.parametrize(
    "argv, usage",
    [
        (
            ["decode", ARCHIVE, DEFINITIONS, "-o", "out"],
            "vantrel decode DEFINITIONS ARCHIVE... -o OUT",
        ),
        (["plot", ARCHIVE, DEFINITIONS, "bx", "-o", "x.png"], "vantrel plot DEFINITIONS ARCHIVE"),
    ],
)
def test_swapped_arguments_say_what_was_found_and_expected(tmp_path, capsys, argv, usage):
    assert run(*argv) == 1
    error = one_line(capsys)
    assert f"{str(ARCHIVE)!r} is not a definitions file" in error
    assert f"{str(DEFINITIONS)!r} is: the definitions come first" in error and usage in error


def test_split_takes_strict_as_the_others_do(tmp_path, capsys):
    assert run("split", DEFINITIONS, ARCHIVE, "-o", tmp_path / "s", "-q", "--strict") == 3
    assert run("split", DEFINITIONS, ARCHIVE, "-o", tmp_path / "t", "-q") == 0


@pytest.mark.parametrize("sub", ["decode", "split", "inspect", "plot"])
def test_every_subcommand_explains_itself(capsys, sub):
    import argparse

    from vantrel.command.main import build_parser

    parser = build_parser()
    [commands] = [a for a in parser._actions if isinstance(a, argparse._SubParsersAction)]
    subparser = commands.choices[sub]
    assert len(subparser.description or "") > 40
    unexplained = [a.dest for a in subparser._actions if not a.help and a.dest not in ("help",)]
    assert unexplained == []
    with pytest.raises(SystemExit) as done:
        run(sub, "--help")
    assert done.value.code == 0 and subparser.description.split()[0] in capsys.readouterr().out


# inspect's whole report ------------------------------------------------------------


def damaged_archive(tmp_path, ranges: int):
    """The example archive with `ranges` runs of noise between its packets."""
    data = ARCHIVE.read_bytes()
    offsets = vantrel.split_packets(
        data[:100_000], length_offset_bits=32, length_bits=16, length_adjust=7, errors="report"
    ).offsets
    cuts = offsets[10 : 10 * ranges + 1 : 10].tolist()  # far enough apart to resynchronise
    pieces, last = [], 0
    for cut in cuts:
        pieces += [data[last:cut], b"\xff" * 5]
        last = cut
    path = tmp_path / "noisy.bin"
    path.write_bytes(b"".join(pieces) + data[last:])
    return path


def test_inspect_lists_every_damaged_range_when_asked(tmp_path, capsys):
    archive = damaged_archive(tmp_path, 30)
    assert run("inspect", DEFINITIONS, archive, "-q") == 0
    short = capsys.readouterr().out
    assert "... and 12 more (--all shows them)" in short  # 30 + the 2 of day.bin, 20 shown
    assert run("inspect", DEFINITIONS, archive, "-q", "--all") == 0
    whole = capsys.readouterr().out
    assert "more (--all" not in whole
    assert whole.count("bad header") + whole.count("bad length") >= 32


def test_inspect_json_holds_the_report_s_figures(tmp_path, capsys):
    archive = damaged_archive(tmp_path, 30)
    assert run("inspect", DEFINITIONS, archive, "-q", "--json") == 0
    document = json.loads(capsys.readouterr().out)
    assert document["packets"] == sum(k["packets"] for k in document["keys"]) == 27_038
    assert len(document["damaged_ranges"]) == 32 and document["damaged"] is True
    assert {k["type"] for k in document["keys"]} == {"housekeeping", "event", "magnetometer"}
    assert document["damaged_bytes"] == sum(
        r["stop"] - r["start"] for r in document["damaged_ranges"]
    )
    spans = {s["type"]: s for s in document["time_spans"]}
    assert set(spans) == {"housekeeping", "event", "magnetometer"}
