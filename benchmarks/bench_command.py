"""`vantrel decode` end to end: 1,000,000 mixed packets to Parquet.

Run with:  pip install ".[bench,cli,dask]" && python benchmarks/bench_command.py

The archive holds CCSDS space packets of three APIDs (housekeeping 38 bytes,
science 70 bytes, events 26 bytes), interleaved at random, defined by one
ccsdspy CSV file per APID; a vantrel definitions file names those same CSV
files. Three jobs read the archive and write one Parquet table per APID:

- vantrel decode (the command, in this process): frame, split, decode, write;
- ccsdspy: split_by_apid, load per APID, pandas to_parquet;
- unpack_many alone: split_packets, split_by_apid and unpack_many per APID
  into numpy columns, nothing written (the floor for the command).

Then the archive repeated to a few hundred MB is decoded in one process and
on 2 local dask.distributed workers. Every figure is the best of a few
repeats, taken in one run.
"""

import json
import logging
import os
import sys
import tempfile
import time
from pathlib import Path

import numpy as np

import vantrel
from vantrel.command import definitions as definitions_module
from vantrel.command.main import main as vantrel_main

try:
    import ccsdspy
    import pandas as pd
    import pyarrow  # noqa: F401
    from ccsdspy.utils import split_by_apid
except ImportError:
    sys.exit('pip install ".[bench,cli]" (ccsdspy, pandas, pyarrow) to run this benchmark')

logging.getLogger("ccsdspy").setLevel(logging.ERROR)
PACKETS = 1_000_000
BIG_REPEATS = 8

TYPES = {
    # name: (apid, share of the packets, ccsdspy CSV body)
    "housekeeping": (
        0x2A5,
        0.5,
        [
            ("SHCOARSE", "uint", 32),
            ("SHFINE", "uint", 16),
            ("TEMPERATURE", "int", 16),
            ("VOLTAGE", "float", 32),
            ("CURRENT", "int", 32),
            ("HEATERS", "uint", 8),
            ("MODE", "uint", 8),
            ("UPTIME", "uint", 64),
            ("SPARE", "uint", 48),
        ],
    ),
    "science": (
        0x3C0,
        0.3,
        [
            ("SHCOARSE", "uint", 32),
            ("SHFINE", "uint", 16),
            *[(f"CHANNEL_{i}", "uint", 16) for i in range(16)],
            ("GAIN", "float", 32),
            ("OFFSET", "float", 64),
        ],
    ),
    "event": (
        0x101,
        0.2,
        [
            ("SHCOARSE", "uint", 32),
            ("EVENT_ID", "uint", 16),
            ("SEVERITY", "uint", 8),
            ("LABEL", "str", 64),
            ("ARGUMENT", "uint", 32),
            ("SPARE", "uint", 8),
        ],
    ),
}


def write_definitions(directory: Path) -> Path:
    packets = {}
    for name, (apid, _, body) in TYPES.items():
        rows = ["name,data_type,bit_length"] + [f"{n},{t},{b}" for n, t, b in body]
        (directory / f"{name}.csv").write_text("\n".join(rows) + "\n")
        packets[name] = {"key": apid, "ccsdspy_csv": f"{name}.csv"}
    path = directory / "bench.json"
    path.write_text(json.dumps({"packets": packets}))
    return path


def simulate(definitions, packets: int) -> bytes:
    rng = np.random.default_rng(22)
    names = list(TYPES)
    kinds = rng.choice(len(names), packets, p=[TYPES[n][1] for n in names])
    sizes = np.array([definitions.packet_type(n).layout.size_bytes for n in names])
    starts = np.concatenate([[0], np.cumsum(sizes[kinds])[:-1]])
    out = np.empty(int(sizes[kinds].sum()), np.uint8)
    for k, name in enumerate(names):
        layout = definitions.packet_type(name).layout
        mine = np.flatnonzero(kinds == k)
        n = len(mine)
        columns = {}
        for field in layout.names:
            columns[field] = rng.integers(0, 250, n)
        columns.update(
            CCSDS_VERSION_NUMBER=np.zeros(n, int),
            CCSDS_PACKET_TYPE=np.zeros(n, int),
            CCSDS_SECONDARY_FLAG=np.ones(n, int),
            CCSDS_APID=np.full(n, TYPES[name][0]),
            CCSDS_SEQUENCE_FLAG=np.full(n, 3),
            CCSDS_SEQUENCE_COUNT=np.arange(n) % 16384,
            CCSDS_PACKET_LENGTH=np.full(n, layout.size_bytes - 7),
        )
        for field, kind, _ in TYPES[name][2]:
            if kind == "float":
                columns[field] = rng.normal(0, 100, n)
            elif kind == "str":
                columns[field] = np.array(["SAFE    ", "NOMINAL ", "SCIENCE "])[
                    rng.integers(0, 3, n)
                ]
        packed = np.frombuffer(layout.pack_many(columns), np.uint8).reshape(n, layout.size_bytes)
        out[starts[mine][:, None] + np.arange(layout.size_bytes)] = packed
    return out.tobytes()


def best(function, repeats=3):
    times = []
    for _ in range(repeats):
        started = time.perf_counter()
        function()
        times.append(time.perf_counter() - started)
    return min(times)


def ccsdspy_job(archive: Path, directory: Path, out: Path):
    with open(archive, "rb") as file:
        streams = split_by_apid(file)
    for name, (apid, _, _) in TYPES.items():
        definition = ccsdspy.FixedLength.from_file(str(directory / f"{name}.csv"))
        columns = definition.load(streams[apid], include_primary_header=True)
        # ccsdspy's arrays are big-endian, which Arrow refuses: native order first.
        native = {k: v.astype(v.dtype.newbyteorder("=")) for k, v in columns.items()}
        pd.DataFrame(native).to_parquet(out / f"{name}.parquet")


def unpack_many_job(archive: Path, definitions):
    data = archive.read_bytes()
    offsets = vantrel.split_packets(data, length_offset_bits=32, length_bits=16, length_adjust=7)
    groups = vantrel.split_by_apid(data, offsets)
    for packet in definitions.packets:
        packet.layout.unpack_many(data, offsets=groups[packet.keys[0]])


def main():
    with tempfile.TemporaryDirectory() as temporary:
        directory = Path(temporary)
        definitions_path = write_definitions(directory)
        definitions = definitions_module.load(definitions_path)
        archive = directory / "mixed.bin"
        archive.write_bytes(simulate(definitions, PACKETS))
        size = archive.stat().st_size
        print(f"{PACKETS:,} packets, {size / 1e6:.1f} MB, three APIDs, to Parquet")

        out = directory / "out"
        out.mkdir()
        command = best(
            lambda: vantrel_main(
                ["decode", str(definitions_path), str(archive), "-o", str(out), "-q"]
            )
        )
        theirs = best(lambda: ccsdspy_job(archive, directory, out), repeats=2)
        floor = best(lambda: unpack_many_job(archive, definitions))
        rate = PACKETS / command / 1e6
        print(
            f"  vantrel decode     {command:7.3f} s  ({rate:.2f} M packets/s, "
            f"{size / command / 1e6:.0f} MB/s)"
        )
        print(
            f"  ccsdspy + pandas   {theirs:7.3f} s  "
            f"vantrel decode is {theirs / command:.1f}x faster"
        )
        print(
            f"  unpack_many alone  {floor:7.3f} s  "
            f"vantrel decode takes {command / floor:.2f}x as long"
        )

        try:
            import dask.distributed as distributed
        except ImportError:
            print('dask.distributed missing: pip install ".[dask]" for the scale-out figures')
            return
        data = archive.read_bytes()
        big = directory / "big.bin"
        with open(big, "wb") as file:
            for _ in range(BIG_REPEATS):
                file.write(data)
        del data
        big_size = big.stat().st_size
        print(
            f"{PACKETS * BIG_REPEATS:,} packets, {big_size / 1e6:.0f} MB, "
            f"{os.cpu_count()} cores on this machine"
        )
        args = ["decode", str(definitions_path), str(big), "-o", str(out), "-q"]
        single = best(lambda: vantrel_main(args), repeats=2)
        started = time.perf_counter()
        with distributed.LocalCluster(
            n_workers=2, threads_per_worker=1, dashboard_address=None, silence_logs=logging.ERROR
        ) as cluster:
            startup = time.perf_counter() - started
            scheduler = ["--scheduler", cluster.scheduler_address]
            two = best(lambda: vantrel_main(args + scheduler), repeats=2)
        whole = best(lambda: vantrel_main(args + ["--workers", "2"]), repeats=1)
        print(f"  one process        {single:7.3f} s  ({big_size / single / 1e6:.0f} MB/s)")
        print(
            f"  2 dask workers     {two:7.3f} s  ({big_size / two / 1e6:.0f} MB/s, "
            f"{single / two:.2f}x one process; cluster already running)"
        )
        print(
            f"  --workers 2        {whole:7.3f} s  ({single / whole:.2f}x one process, "
            f"starting its own cluster, about {startup:.1f} s)"
        )


if __name__ == "__main__":
    main()
