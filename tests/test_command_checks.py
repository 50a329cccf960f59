"""The command with check fields and learned framing: definitions with a
"check", inspect's count per type, decode's nulls and summary, --strict;
inspect and split without definitions on a damaged archive."""

import json

import crcmod.predefined
import numpy as np
import pytest

from vantrel.command.main import main

pq = pytest.importorskip("pyarrow.parquet")

CRC16 = crcmod.predefined.mkCrcFun("crc-ccitt-false")


def item(name, bits, **extra):
    return {"name": name, "encoding": "unsigned", "bits": bits, **extra}


DEFINITIONS = {
    "defaults": {"byte_order": "big", "reverse_bits": False},
    "header": [
        item("version", 3),
        item("type", 1),
        item("secondary", 1),
        item("apid", 11),
        item("flags", 2),
        item("count", 14),
        item("length", 16),
    ],
    "packets": {
        "status": {
            "key": 0x101,
            "layout": [item("mode", 16), item("pec", 16, check="CRC-16/IBM-3740")],
        },
        "plain": {"key": 0x102, "layout": [item("value", 32)]},
    },
}


def packet(apid, count, data, check=True):
    body = (0x0800 | apid).to_bytes(2, "big") + (0xC000 | count).to_bytes(2, "big")
    body += (len(data) + 2 * check - 1).to_bytes(2, "big") + data
    return body + (CRC16(body).to_bytes(2, "big") if check else b"")


def archive(tmp_path, damaged=(5, 77)):
    (tmp_path / "defs.json").write_text(json.dumps(DEFINITIONS))
    packets = []
    for i in range(300):
        if i % 3:
            packets.append(bytearray(packet(0x101, i, i.to_bytes(2, "big"))))
        else:
            packets.append(bytearray(packet(0x102, i, (i * 7).to_bytes(4, "big"), check=False)))
    for i in damaged:
        packets[i + (i % 3 == 0)][7] ^= 0x01  # a flipped bit in a status packet's mode
    path = tmp_path / "a.bin"
    path.write_bytes(b"".join(map(bytes, packets)))
    return path


def run(*argv):
    return main([str(a) for a in argv])


def test_decode_nulls_packets_failing_their_check_and_counts_them(tmp_path, capsys):
    path = archive(tmp_path)
    out = tmp_path / "out"
    assert run("decode", tmp_path / "defs.json", path, "-o", out) == 0
    captured = capsys.readouterr()
    assert "packets failing their check (every field null, check_failed true): status 2" in (
        captured.err
    )
    assert "values failed to decode" not in captured.out
    table = pq.read_table(out / "status.parquet")
    failed = table.column("check_failed").to_pylist()
    assert sum(failed) == 2 and len(failed) == 200
    for name in ("mode", "pec", "apid"):
        column = table.column(name).to_pylist()
        assert [i for i, v in enumerate(column) if v is None] == [
            i for i, f in enumerate(failed) if f
        ]
    assert "check_failed" not in pq.read_table(out / "plain.parquet").column_names
    assert run("decode", tmp_path / "defs.json", path, "-o", tmp_path / "o2", "-q", "--strict") == 3
    clean = archive(tmp_path, damaged=())
    assert (
        run("decode", tmp_path / "defs.json", clean, "-o", tmp_path / "o3", "-q", "--strict") == 0
    )


def test_inspect_counts_check_failures_per_type(tmp_path, capsys):
    path = archive(tmp_path)
    assert run("inspect", path, tmp_path / "defs.json", "-q") == 0
    out = capsys.readouterr().out
    assert "packets failing their check: status 2" in out
    assert run("inspect", path, tmp_path / "defs.json", "-q", "--strict") == 3


def test_inspect_and_split_without_definitions_learn_and_say_so(tmp_path, capsys):
    rng = np.random.default_rng(2)
    packets = [
        bytearray(packet(int(apid), i, bytes(rng.integers(0, 256, int(n), dtype=np.uint8)), False))
        for i, (apid, n) in enumerate(
            zip(rng.choice([0x10, 0x20, 0x30], 4000), rng.integers(4, 80, 4000))
        )
    ]
    packets[1000][4] ^= 0x40  # a length field, early
    data = b"".join(map(bytes, packets))
    data = data[:50_000] + b"\xee" * 300 + data[50_000:]  # and a garbage run
    path = tmp_path / "damaged.bin"
    path.write_bytes(data)
    assert run("inspect", path, "-q") == 0
    out = capsys.readouterr().out
    assert "3,998 packets" in out or "3,999 packets" in out
    assert "header bits 0-15 hold one of 0x0810, 0x0820, 0x0830" in out
    assert "framing lost sync 2 time(s) and resynchronised" in out
    assert run("split", path, "-o", tmp_path / "split", "-q") == 0
    sizes = {p.name: p.stat().st_size for p in (tmp_path / "split").iterdir()}
    assert sorted(sizes) == ["apid_0016.bin", "apid_0032.bin", "apid_0048.bin"]
