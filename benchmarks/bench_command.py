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

With `--pinned`, scale-out is measured with every process held to its own
core instead (see `pinned`), on the shipped example archive repeated:

    python benchmarks/bench_command.py --pinned [--megabytes 768] [--startup-megabytes 1536]

With `--mixed`, the decode itself of the shipped example archive repeated
(see `mixed`): nanoseconds per value of each stage the command runs (read,
frame, split by type, unpack_many to Arrow), then `decode -f arrow` against
`decode -f parquet` end to end:

    python benchmarks/bench_command.py --mixed [--megabytes 200] [--rounds 5]
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
from vantrel.command.running import start_cluster

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

        def decode():
            # A run that failed (an output left from the last) would time nothing.
            shutil.rmtree(out, ignore_errors=True)
            assert vantrel_main(args) == 0

        decode()  # imports
        best_of = race(
            {
                "command": decode,
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
    cluster = start_cluster(2)  # the cluster --workers starts
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


# --pinned ----------------------------------------------------------------------------

EXAMPLE = Path(__file__).resolve().parent.parent / "examples" / "command"


def default_cluster(workers: int):
    """A local cluster as a user starts it: dask's defaults, one thread per worker."""
    return start_cluster(workers, config={})


def pin(pid: int, core: int) -> None:
    """Hold every thread of process `pid` to `core` (threads it starts later inherit it)."""
    for thread in os.listdir(f"/proc/{pid}/task"):
        os.sched_setaffinity(int(thread), {core})


def worker_cpu() -> tuple[int, float]:
    """This worker process's id and CPU seconds (run on each worker)."""
    return os.getpid(), cpu_seconds()


def serve() -> None:
    """A process that runs commands sent as JSON lines and answers with their costs.

    It imports once, so a timing holds the run alone. With "pin_workers",
    the cluster a run starts (`--workers`) has each worker held to its own
    core as soon as it is up; the start-up is part of the run's time.
    """
    from vantrel.command import running

    start_cluster = running.start_cluster

    def pinned_cluster(workers):
        cluster = start_cluster(workers)
        import dask.distributed as distributed

        with distributed.Client(cluster) as client:
            pids = sorted(pid for pid, _ in client.run(worker_cpu).values())
        for core, pid in enumerate(pids):
            pin(pid, core % os.cpu_count())
        return cluster

    for line in sys.stdin:
        request = json.loads(line)
        running.start_cluster = pinned_cluster if request.get("pin_workers") else start_cluster
        shutil.rmtree(request["out"], ignore_errors=True)
        before = os.times()
        started = time.perf_counter()
        status = vantrel_main(request["argv"])
        seconds = time.perf_counter() - started
        after = os.times()
        answer = {
            "status": status,
            "seconds": seconds,
            "cpu": after.user + after.system - before.user - before.system,
            "children": after.children_user
            + after.children_system
            - before.children_user
            - before.children_system,
        }
        print(json.dumps(answer), flush=True)


class Server:
    """A `serve` process, held to `cores`."""

    def __init__(self, cores: set[int]):
        import subprocess

        # Started with -c, so that the workers a run spawns do not import
        # this script (and ccsdspy, pandas) as their main module.
        here = str(Path(__file__).resolve().parent)
        code = (
            f"import sys; sys.path.insert(0, {here!r}); import bench_command; bench_command.serve()"
        )
        self.process = subprocess.Popen(
            [sys.executable, "-c", code],
            stdin=subprocess.PIPE,
            stdout=subprocess.PIPE,
            text=True,
            preexec_fn=lambda: os.sched_setaffinity(0, cores),
        )

    def run(self, argv, out, pin_workers=False) -> dict:
        request = {"argv": [str(a) for a in argv], "out": str(out), "pin_workers": pin_workers}
        self.process.stdin.write(json.dumps(request) + "\n")
        self.process.stdin.flush()
        answer = json.loads(self.process.stdout.readline())
        assert answer["status"] == 0, answer
        return answer

    def close(self):
        self.process.stdin.close()
        self.process.wait()


def repeat_example(path: Path, megabytes: int) -> int:
    data = (EXAMPLE / "day.bin").read_bytes()
    with open(path, "wb") as file:
        for _ in range(max(1, megabytes * 1_000_000 // len(data))):
            file.write(data)
    return path.stat().st_size


def pinned(megabytes: int, startup_megabytes: int, rounds: int) -> None:
    """One process on one core against two dask workers, each on a core of its own.

    The archive is the shipped example (day.toml, three packet types)
    repeated. The running cluster is dask's default LocalCluster, as a user
    would start it (the nanny's MALLOC_TRIM_THRESHOLD_ and the profiler
    left on), started before any timing; the command that uses it runs in
    a process of its own on either core. With start-up, `--workers 2` starts
    and stops its own cluster within the run. The runs take turns; CPU
    seconds are the command's process's, and the workers' as they count
    them (the running cluster), or the cluster's processes once ended (with
    start-up).
    """
    import dask.distributed as distributed

    definitions = EXAMPLE / "day.toml"
    with tempfile.TemporaryDirectory(dir="/tmp") as temporary:
        directory = Path(temporary)
        archive, large = directory / "day-repeated.bin", directory / "day-large.bin"
        size = repeat_example(archive, megabytes)
        large_size = repeat_example(large, startup_megabytes)
        out = directory / "out"
        decode = ["decode", definitions, archive, "-o", out, "-q"]
        decode_large = ["decode", definitions, large, "-o", out, "-q"]
        print(
            f"the example archive repeated to {size / 1e6:.0f} MB and {large_size / 1e6:.0f} MB "
            f"(free disk {shutil.disk_usage(directory).free / 1e9:.0f} GB); "
            f"load average {os.getloadavg()[0]:.1f} on {os.cpu_count()} cores"
        )
        one_core = Server({0})
        command = Server(set(range(os.cpu_count())))
        started = time.perf_counter()
        cluster = default_cluster(2)
        client = distributed.Client(cluster)
        startup = time.perf_counter() - started
        for core, pid in enumerate(sorted(pid for pid, _ in client.run(worker_cpu).values())):
            pin(pid, core % os.cpu_count())
        on_cluster = ["--scheduler", cluster.scheduler_address]
        one_core.run(decode, out)  # warm the page cache and the imports
        command.run([*decode, *on_cluster], out)
        runs = {"one": [], "two": [], "one large": [], "startup": []}
        try:
            for _ in range(rounds):
                runs["one"].append(one_core.run(decode, out))
                before = sum(cpu for _, cpu in client.run(worker_cpu).values())
                answer = command.run([*decode, *on_cluster], out)
                answer["workers"] = sum(cpu for _, cpu in client.run(worker_cpu).values()) - before
                runs["two"].append(answer)
                runs["one large"].append(one_core.run(decode_large, out))
                runs["startup"].append(
                    command.run([*decode_large, "--workers", "2"], out, pin_workers=True)
                )
            spans = {}
            for _ in range(rounds):
                for chunk in SPAN_SIZES:
                    sized = [*decode, "--chunk-size", f"{chunk}m"]
                    one = one_core.run(sized, out)
                    spans.setdefault(("one", chunk), []).append(one["cpu"])
                    before = sum(cpu for _, cpu in client.run(worker_cpu).values())
                    two = command.run([*sized, *on_cluster], out)
                    workers = sum(cpu for _, cpu in client.run(worker_cpu).values()) - before
                    spans.setdefault(("workers", chunk), []).append(workers)
                    spans.setdefault(("client", chunk), []).append(two["cpu"])
        finally:
            client.close()
            cluster.close()
            one_core.close()
            command.close()
        report_pinned(runs, size, large_size, startup)
        report_spans(spans, size)
        environments(definitions, archive, size, out, rounds)


def environments(definitions: Path, archive: Path, size: int, out: Path, rounds: int) -> None:
    """CPU seconds of the same decode: one process, its spans run in turn in
    this process, and one worker of a default cluster and of the cluster
    `--workers` starts (no profiler), held to no core, taking turns."""
    import dask.distributed as distributed

    from vantrel.command import engine
    from vantrel.command.tables import WriteOptions

    loaded = definitions_module.load(definitions)
    decode = ["decode", definitions, archive, "-o", out, "-q"]

    def spans_here():
        shutil.rmtree(out, ignore_errors=True)
        for name in ("housekeeping", "event", "magnetometer"):
            (out / f"{name}.parquet").mkdir(parents=True)
        parts = engine.Parts(str(out), WriteOptions(), 1, len(str(size)))
        job = engine.Job(loaded, output="arrow", parts=parts)
        for span in engine.spans([str(archive)], loaded, engine.DEFAULT_CHUNK_BYTES):
            engine.run_span(job, span)

    default = default_cluster(1)
    configured = start_cluster(1)
    clusters = {"one worker, dask's defaults": default, "one worker, as --workers": configured}
    clients = {name: distributed.Client(c) for name, c in clusters.items()}
    cpu = {}
    try:
        for _ in range(rounds):
            shutil.rmtree(out, ignore_errors=True)
            before = cpu_seconds()
            vantrel_main([str(a) for a in decode])
            cpu.setdefault("one process", []).append(cpu_seconds() - before)
            before = cpu_seconds()
            spans_here()
            cpu.setdefault("its spans in turn, here", []).append(cpu_seconds() - before)
            for name, client in clients.items():
                shutil.rmtree(out, ignore_errors=True)
                before = sum(c for _, c in client.run(worker_cpu).values())
                on = ["--scheduler", clusters[name].scheduler_address]
                vantrel_main([str(a) for a in decode + on])
                cpu.setdefault(name, []).append(
                    sum(c for _, c in client.run(worker_cpu).values()) - before
                )
    finally:
        for client in clients.values():
            client.close()
        for cluster in clusters.values():
            cluster.close()
    print(
        f"CPU seconds of the {size / 1e6:.0f} MB decode, best of {rounds} in turns, "
        "on no core in particular"
    )
    base = min(cpu["one process"])
    for name, values in cpu.items():
        print(
            f"  {name:30} {min(values):6.2f} s  {min(values) / size * 1e9:5.2f} ns/byte  "
            f"{min(values) / base:.2f}x one process"
        )


SPAN_SIZES = (2, 32)  # MiB


def report_spans(cpu: dict, size: int) -> None:
    """What a span costs beyond its bytes: CPU at small spans less CPU at large ones."""
    small, large = SPAN_SIZES
    count = {c: -(-size // (c << 20)) for c in SPAN_SIZES}
    print(
        f"per span: CPU at {small} MiB spans less CPU at {large} MiB, over the extra spans "
        "(best of each)"
    )
    for who in ("one", "workers", "client"):
        extra = min(cpu[(who, small)]) - min(cpu[(who, large)])
        print(
            f"  {who:8} {min(cpu[(who, small)]):6.2f} s at {count[small]} spans, "
            f"{min(cpu[(who, large)]):6.2f} s at {count[large]}: "
            f"{extra / (count[small] - count[large]) * 1e3:6.2f} ms per span"
        )


def report_pinned(runs: dict, size: int, large_size: int, startup: float) -> None:
    def seconds(name):
        times = sorted(r["seconds"] for r in runs[name])
        return times[0], times[len(times) // 2]

    def per_byte(name, key, nbytes):
        return min(r[key] for r in runs[name]) / nbytes * 1e9  # ns per byte

    one, two = seconds("one"), seconds("two")
    one_large, whole = seconds("one large"), seconds("startup")
    one_cpu = per_byte("one", "cpu", size)
    workers_cpu, client_cpu = per_byte("two", "workers", size), per_byte("two", "cpu", size)
    print(f"load average {os.getloadavg()[0]:.1f} after {len(runs['one'])} rounds; best / median")
    print(
        f"  {size / 1e6:.0f} MB, one process on core 0    {one[0]:6.2f} / {one[1]:6.2f} s  "
        f"CPU {one_cpu:5.2f} ns/byte"
    )
    print(
        f"  {size / 1e6:.0f} MB, 2 workers, running       {two[0]:6.2f} / {two[1]:6.2f} s  "
        f"{one[0] / two[0]:.2f}x / {one[1] / two[1]:.2f}x; workers CPU {workers_cpu:5.2f} ns/byte "
        f"({workers_cpu / one_cpu:.2f}x one process), client {client_cpu:5.3f} ns/byte"
    )
    large_cpu = per_byte("one large", "cpu", large_size)
    cluster_cpu = per_byte("startup", "children", large_size)
    print(
        f"  {large_size / 1e6:.0f} MB, one process on core 0   {one_large[0]:6.2f} / "
        f"{one_large[1]:6.2f} s  CPU {large_cpu:5.2f} ns/byte"
    )
    print(
        f"  {large_size / 1e6:.0f} MB, --workers 2 (start-up)  "
        f"{whole[0]:6.2f} / {whole[1]:6.2f} s  "
        f"{one_large[0] / whole[0]:.2f}x / {one_large[1] / whole[1]:.2f}x; cluster processes CPU "
        f"{cluster_cpu:5.2f} ns/byte ({cluster_cpu / large_cpu:.2f}x one process), client "
        f"{per_byte('startup', 'cpu', large_size):5.3f} ns/byte"
    )
    print(f"  a LocalCluster of 2 workers took {startup:.1f} s to start here")


# --mixed -----------------------------------------------------------------------------


class StageClock:
    """Seconds spent in the command's stages, taken by wrapping the engine's
    functions where `run_chunk` and the chunk planner look them up."""

    def __init__(self, engine):
        self.engine = engine
        self.seconds = {"read": 0.0, "frame": 0.0, "unpack": 0.0}
        self.saved = {}

    def _timed(self, stage, function):
        seconds = self.seconds

        def timed(*args, **kwargs):
            started = time.perf_counter()
            try:
                return function(*args, **kwargs)
            finally:
                seconds[stage] += time.perf_counter() - started

        return timed

    def __enter__(self):
        for name, stage in (
            ("read_range", "read"),
            ("read_into", "read"),
            ("frame", "frame"),
            ("decode_table", "unpack"),
        ):
            self.saved[name] = getattr(self.engine, name)
            setattr(self.engine, name, self._timed(stage, self.saved[name]))
        return self

    def __exit__(self, *exc):
        for name, function in self.saved.items():
            setattr(self.engine, name, function)


def mixed_decode(definitions, archive: Path) -> tuple[float, dict, int]:
    """The command's decode of `archive` in one process (its own loop,
    `running.run`), writing nothing: wall seconds, seconds per stage, and
    the values decoded (packets times columns, summed over the types)."""
    from vantrel.command import engine, running

    values = 0
    job = engine.Job(definitions, output="arrow")
    planning = 0.0
    plan = running.plan

    def timed_plan(*args, **kwargs):
        nonlocal planning
        chunks = plan(*args, **kwargs)
        while True:
            before = time.perf_counter()
            item = next(chunks, None)
            planning += time.perf_counter() - before
            if item is None:
                return
            yield item

    running.plan = timed_plan
    try:
        with StageClock(engine) as clock:
            started = time.perf_counter()
            progress = running.Progress(0, "decode", enabled=False)
            for result in running.run(job, [str(archive)], engine.DEFAULT_CHUNK_BYTES, progress):
                values += sum(t.num_rows * t.num_columns for t in result.tables.values())
            total = time.perf_counter() - started
    finally:
        running.plan = plan
    stages = dict(clock.seconds)
    # Whatever the planner does beyond reading and framing (cutting chunks)
    # counts as framing; whatever run_chunk does beyond decode_table is the split.
    stages["frame"] = planning - stages["read"]
    stages["split"] = total - planning - stages["unpack"]
    return total, stages, values


def mixed(megabytes: int, rounds: int) -> None:
    """The decode of the example archive (day.toml, three packet types) repeated.

    Stages as `vantrel decode` runs them in one process, chunk by chunk:
    read (pread), frame (split_packets with the definitions' rules, chunks
    cut on packet boundaries), split (the type field of every packet, the
    packets grouped by type) and unpack (`unpack_many(errors="mask",
    output="arrow")` per type, into a pyarrow table). Values are packets
    times columns, summed over the types. Then `decode -f arrow` against
    `decode -f parquet` end to end. Best of `rounds`, the jobs in turns.
    """
    definitions_path = EXAMPLE / "day.toml"
    definitions = definitions_module.load(definitions_path)
    with tempfile.TemporaryDirectory(dir="/tmp") as temporary:
        directory = Path(temporary)
        archive = directory / "day-repeated.bin"
        size = repeat_example(archive, megabytes)
        out = directory / "out"

        def command(output_format):
            def run():
                argv = ["decode", str(definitions_path), str(archive), "-o", str(out), "-q"]
                assert vantrel_main([*argv, "-f", output_format]) == 0
                # The tables are removed after the timing, not in it.
                started, cpu_before = time.perf_counter(), cpu_seconds()
                shutil.rmtree(out)
                return time.perf_counter() - started, cpu_seconds() - cpu_before

            return run

        print(
            f"the example archive repeated to {size / 1e6:.0f} MB; "
            f"load average {os.getloadavg()[0]:.1f} on {os.cpu_count()} cores"
        )
        mixed_decode(definitions, archive)  # the page cache and the imports
        command("arrow")()
        runs = []
        jobs = {
            "decode": lambda: runs.append(mixed_decode(definitions, archive)),
            "arrow": command("arrow"),
            "parquet": command("parquet"),
        }
        times = {name: [] for name in jobs}
        cpu = {name: [] for name in jobs}
        for _ in range(rounds):  # in turns, as race() runs them
            for name, function in jobs.items():
                started, cpu_before = time.perf_counter(), cpu_seconds()
                untimed, untimed_cpu = function() or (0.0, 0.0)
                times[name].append(time.perf_counter() - started - untimed)
                cpu[name].append(cpu_seconds() - cpu_before - untimed_cpu)
        best_of = {name: min(values) for name, values in times.items()}
        least_cpu = {name: min(values) for name, values in cpu.items()}
    total, stages, values = min(runs, key=lambda run: run[0])
    print(
        f"decode writing nothing, best of {rounds}: {total:.3f} s, {values:,} values, "
        f"{total / values * 1e9:.2f} ns per value"
    )
    for stage in ("read", "frame", "split", "unpack"):
        seconds = stages[stage]
        print(
            f"  {stage:7} {seconds:7.3f} s  {seconds / values * 1e9:5.2f} ns per value  "
            f"{seconds / total:4.0%}  (least of any run {min(r[1][stage] for r in runs):.3f} s)"
        )
    decode = total - stages["read"]
    print(
        f"  frame, split and unpack (the best run less its reads): {decode:.3f} s, "
        f"{decode / values * 1e9:.2f} ns per value"
    )
    arrow, parquet = best_of["arrow"], best_of["parquet"]
    # CPU seconds: every thread's (the writers encode on the other core).
    print(
        f"decode -f arrow    {arrow:7.3f} s  {size / arrow / 1e6:6.0f} MB/s  "
        f"CPU {least_cpu['arrow']:.3f} s"
    )
    print(
        f"decode -f parquet  {parquet:7.3f} s  {size / parquet / 1e6:6.0f} MB/s  "
        f"CPU {least_cpu['parquet']:.3f} s  (arrow {parquet / arrow:.2f}x its throughput, "
        f"{least_cpu['parquet'] / least_cpu['arrow']:.2f}x per CPU second)"
    )


def option(name: str, default: int) -> int:
    arguments = sys.argv[1:]
    return int(arguments[arguments.index(name) + 1]) if name in arguments else default


if __name__ == "__main__":
    if "--mixed" in sys.argv[1:]:
        mixed(option("--megabytes", 200), option("--rounds", 5))
    elif "--pinned" in sys.argv[1:]:
        pinned(
            option("--megabytes", 768), option("--startup-megabytes", 1536), option("--rounds", 3)
        )
    else:
        main()
