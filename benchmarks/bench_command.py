"""`vantrel decode` end to end: 1,000,000 mixed packets to Parquet, and on dask.

Run with:  pip install ".[bench,cli,dask]" && python benchmarks/bench_command.py

The archive holds CCSDS space packets of three APIDs, interleaved at random
and defined by one ccsdspy CSV file per APID, which a vantrel definitions
file names:

- housekeeping (half the packets): 32 bytes of integers and a float;
- science (three in ten): a sample count, then that many 16-bit samples
  (0 to 48: a variable-length array, `uint(NSAMPLES)` in the CSV);
- event (one in five): integers and an 8-character label.

Three jobs read the archive and write one Parquet table per APID:

- vantrel decode (the command, in this process): frame, split, decode, write;
- ccsdspy: split_by_apid, load per APID (FixedLength, and VariableLength for
  the science packets), pandas to_parquet;
- unpack_many alone: split_packets, split_by_apid and unpack_many per APID
  into numpy columns, nothing written (the floor for the command).

Then the archive repeated to a few hundred MB is decoded in one process and
on 2 local dask.distributed worker processes (one thread each): once on a
cluster already running (the decode alone) and once with `--workers 2`,
which starts and stops its own cluster (what a user waits for). Every figure
is the best of a few repeats, taken in one run.
"""

import json
import logging
import os
import shutil
import sys
import tempfile
import time
from pathlib import Path

import numpy as np

import vantrel
import vantrel.definitions as definitions_module
from vantrel.command.main import main as vantrel_main
from vantrel.command.running import LOCAL_CLUSTER_CONFIG

try:
    import ccsdspy
    import pandas as pd
    import pyarrow  # noqa: F401
    from ccsdspy.utils import split_by_apid
except ImportError:
    sys.exit('pip install ".[bench,cli]" (ccsdspy, pandas, pyarrow) to run this benchmark')

logging.getLogger("ccsdspy").setLevel(logging.ERROR)
PACKETS = int(os.environ.get("BENCH_PACKETS", 1_000_000))
BIG_REPEATS = 8
MAX_SAMPLES = 48

TYPES = {
    # name: (apid, share of the packets, ccsdspy CSV rows)
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
            ("GAIN", "float", 32),
            ("NSAMPLES", "uint", 16),
            ("SAMPLES", "uint(NSAMPLES)", 16),
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
VARIABLE = {"science"}


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
    """The packets of every type, packed by their layouts and interleaved at random."""
    rng = np.random.default_rng(22)
    names = list(TYPES)
    kinds = rng.choice(len(names), packets, p=[TYPES[n][1] for n in names])
    sizes = np.empty(packets, np.int64)
    packed = {}
    for k, name in enumerate(names):
        layout = definitions.packet_type(name).layout
        n = int((kinds == k).sum())
        columns = {
            field: rng.integers(0, 250, n) for field, kind, _ in TYPES[name][2] if kind != "str"
        }
        for field, kind, _ in TYPES[name][2]:
            if kind == "float":
                columns[field] = rng.normal(0, 100, n)
            elif kind == "str":
                labels = np.array(["SAFE    ", "NOMINAL ", "SCIENCE "])
                columns[field] = labels[rng.integers(0, 3, n)]
        size = np.full(n, layout.size_bytes)
        if name in VARIABLE:
            counts = rng.integers(0, MAX_SAMPLES + 1, n)
            flat = rng.integers(0, 4096, int(counts.sum()))
            columns["NSAMPLES"] = counts
            columns["SAMPLES"] = np.split(flat, np.cumsum(counts)[:-1])
            size = size + 2 * counts
        columns.update(
            CCSDS_VERSION_NUMBER=np.zeros(n, int),
            CCSDS_PACKET_TYPE=np.zeros(n, int),
            CCSDS_SECONDARY_FLAG=np.ones(n, int),
            CCSDS_APID=np.full(n, TYPES[name][0]),
            CCSDS_SEQUENCE_FLAG=np.full(n, 3),
            CCSDS_SEQUENCE_COUNT=np.arange(n) % 16384,
            CCSDS_PACKET_LENGTH=size - 7,
        )
        sizes[kinds == k] = size
        packed[k] = np.frombuffer(layout.pack_many(columns), np.uint8)
    starts = np.concatenate([[0], np.cumsum(sizes)[:-1]])
    out = np.empty(int(sizes.sum()), np.uint8)
    for k, data in packed.items():
        mine = kinds == k
        mine_sizes = sizes[mine]
        # Byte j of the type's packed stream goes to its packet's start plus
        # its place within the packet.
        within = np.concatenate([[0], np.cumsum(mine_sizes)[:-1]])
        out[np.repeat(starts[mine] - within, mine_sizes) + np.arange(len(data))] = data
    return out.tobytes()


def best(function, repeats=3):
    times = []
    for _ in range(repeats):
        started = time.perf_counter()
        function()
        times.append(time.perf_counter() - started)
    return min(times)


def race(jobs: dict, rounds: int) -> dict:
    """The best time of each job, the jobs taking turns round after round.

    On a machine shared with other work, taking turns gives every job the
    same chances of a quiet moment.
    """
    times = {name: [] for name in jobs}
    for _ in range(rounds):
        for name, function in jobs.items():
            started = time.perf_counter()
            function()
            times[name].append(time.perf_counter() - started)
    return {name: min(values) for name, values in times.items()}


def ccsdspy_job(archive: Path, directory: Path, out: Path):
    with open(archive, "rb") as file:
        streams = split_by_apid(file)
    for name, (apid, _, _) in TYPES.items():
        kind = ccsdspy.VariableLength if name in VARIABLE else ccsdspy.FixedLength
        definition = kind.from_file(str(directory / f"{name}.csv"))
        columns = definition.load(streams[apid], include_primary_header=True)
        # ccsdspy's arrays are big-endian, which Arrow refuses: native order
        # first (a variable-length field is an object array of arrays).
        native = {
            k: (
                v.astype(v.dtype.newbyteorder("="))
                if v.dtype != object
                else [a.astype(a.dtype.newbyteorder("=")) for a in v]
            )
            for k, v in columns.items()
        }
        pd.DataFrame(native).to_parquet(out / f"{name}.parquet")


def unpack_many_job(archive: Path, definitions):
    data = archive.read_bytes()
    offsets = vantrel.split_packets(data, length_offset_bits=32, length_bits=16, length_adjust=7)
    groups = vantrel.split_by_apid(data, offsets)
    for packet in definitions.packets:
        offsets = groups[packet.keys[0]]
        lengths = None
        if packet.name in VARIABLE:
            lengths = vantrel.CCSDS_PRIMARY_HEADER.unpack_many(data, offsets=offsets)
            lengths = lengths["packet_length"].astype(np.int64) + 7
        packet.layout.unpack_many(data, offsets=offsets, lengths=lengths)


def cpu_seconds():
    times = os.times()
    return times.user + times.system


def main():
    with tempfile.TemporaryDirectory() as temporary:
        directory = Path(temporary)
        definitions_path = write_definitions(directory)
        definitions = definitions_module.load(definitions_path)
        archive = directory / "mixed.bin"
        archive.write_bytes(simulate(definitions, PACKETS))
        size = archive.stat().st_size
        print(
            f"{PACKETS:,} packets, {size / 1e6:.1f} MB, three APIDs "
            f"(one with 0-{MAX_SAMPLES} samples per packet), to Parquet; "
            f"load average {os.getloadavg()[0]:.1f} on {os.cpu_count()} cores"
        )

        out = directory / "out"
        args = ["decode", str(definitions_path), str(archive), "-o", str(out), "-q"]
        vantrel_main(args)  # imports
        best_of = race(
            {
                "command": lambda: vantrel_main(args),
                "floor": lambda: unpack_many_job(archive, definitions),
            },
            rounds=5,
        )
        command, floor = best_of["command"], best_of["floor"]
        theirs = best(lambda: ccsdspy_job(archive, directory, directory), repeats=1)
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
        scale_out(directory, definitions_path, archive)


def scale_out(directory: Path, definitions_path: Path, archive: Path):
    try:
        import dask
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
        f"{PACKETS * BIG_REPEATS:,} packets, {big_size / 1e6:.0f} MB; "
        f"load average {os.getloadavg()[0]:.1f} on {os.cpu_count()} cores"
    )
    out = directory / "big-out"

    def decode(*extra):
        shutil.rmtree(out, ignore_errors=True)
        assert (
            vantrel_main(
                ["decode", str(definitions_path), str(big), "-o", str(out), "-q"] + list(extra)
            )
            == 0
        )

    started = time.perf_counter()
    with dask.config.set(LOCAL_CLUSTER_CONFIG):  # the cluster --workers starts
        cluster = distributed.LocalCluster(
            n_workers=2,
            threads_per_worker=1,
            processes=True,
            dashboard_address=None,
            silence_logs=logging.ERROR,
        )
    with cluster, distributed.Client(cluster) as client:
        startup = time.perf_counter() - started
        on_cluster = ["--scheduler", cluster.scheduler_address]
        decode(*on_cluster)  # the workers import what they need
        cpu = {"one": 0.0, "two": 0.0}

        def counted(name, *extra):
            def run():
                before = cpu_seconds() + sum(client.run(cpu_seconds).values())
                decode(*extra)
                cpu[name] += cpu_seconds() + sum(client.run(cpu_seconds).values()) - before

            return run

        rounds = 3
        best_of = race({"one": counted("one"), "two": counted("two", *on_cluster)}, rounds)
    single, two = best_of["one"], best_of["two"]
    whole = best(lambda: decode("--workers", "2"), repeats=1)
    print(
        f"  one process        {single:7.3f} s  ({big_size / single / 1e6:.0f} MB/s; "
        f"{cpu['one'] / rounds:.1f} CPU seconds a run)"
    )
    print(
        f"  2 dask workers     {two:7.3f} s  ({big_size / two / 1e6:.0f} MB/s, "
        f"{single / two:.2f}x one process; cluster already running; "
        f"{cpu['two'] / rounds:.1f} CPU seconds a run, workers and command)"
    )
    print(
        f"  --workers 2        {whole:7.3f} s  ({big_size / whole / 1e6:.0f} MB/s, "
        f"{single / whole:.2f}x one process; starting and stopping its own "
        f"cluster, which took {startup:.1f} s to start here)"
    )


if __name__ == "__main__":
    main()
