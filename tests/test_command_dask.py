"""Decoding on dask: the workers find their own chunks, and the tables are
the ones one process writes, on a cluster of the command's or the user's,
with the workers held to cores or not, and when a worker dies mid-run."""

import os
import signal
import sys
import threading
import time
from pathlib import Path

import pytest

from command_helpers import ARCHIVE, DEFINITIONS, TABLES, run
from vantrel.command import definitions as definitions_module
from vantrel.command import engine

pa = pytest.importorskip("pyarrow")
pq = pytest.importorskip("pyarrow.parquet")

SMALL_CHUNKS = ["--chunk-size", "64k"]


def tables(folder: Path, fmt: str = "parquet") -> dict:
    if fmt == "csv":
        return {t: (folder / f"{t}.csv").read_bytes() for t in TABLES}
    return {t: pq.read_table(folder / f"{t}.parquet") for t in TABLES}


def repeated(path: Path, times: int) -> Path:
    path.write_bytes(ARCHIVE.read_bytes() * times)
    return path


def worker_pids(address: str) -> dict[str, int]:
    import dask.distributed as distributed

    with distributed.Client(address) as client:
        return client.run(os.getpid)


def only_parts_and_tables(folder: Path) -> bool:
    """Nothing in the output folder but the tables and their part files."""
    names = {f"{t}.parquet" for t in TABLES}
    if {p.name for p in folder.iterdir()} != names:
        return False
    return all(
        p.name.startswith("part-") and p.suffix == ".parquet"
        for table in names
        for p in (folder / table).iterdir()
    )


# Spans without dask ------------------------------------------------------------------


def span_results(definitions, paths, chunk_bytes, again_calls, job=None):
    job = job or engine.Job(definitions, output="none")
    finished = ((s, engine.run_span(job, s)) for s in engine.spans(paths, definitions, chunk_bytes))

    def again(span):
        again_calls.append(span)
        return engine.run_span(job, span)

    return list(engine.in_order(job, finished, again))


@pytest.mark.parametrize("chunk_bytes", [4096, 20_000, 100_000])
def test_spans_that_find_their_own_start_make_the_chunks_of_one_process(chunk_bytes):
    definitions = definitions_module.load(DEFINITIONS)
    paths = [str(ARCHIVE), str(ARCHIVE)]  # a second archive starts again at byte 0
    again = []
    results = span_results(definitions, paths, chunk_bytes, again)
    chunks = [(c.path, c.start, c.stop) for c, _ in engine.plan(paths, definitions, chunk_bytes)]
    assert [(r.chunk.path, r.chunk.start, r.chunk.stop) for r in results] == chunks
    assert results[-1].chunk.stop == ARCHIVE.stat().st_size
    # The rules resynchronise within the margin: no span guessed wrong, even
    # by the damaged header at byte 212,728 and the truncated last packet.
    assert again == []
    assert sum(r.packets for r in results) == 2 * sum(
        len(f.offsets) for _, f in engine.plan([str(ARCHIVE)], definitions, 1 << 30)
    )


def test_spans_that_guess_wrong_are_run_again_from_where_the_previous_ended(tmp_path, monkeypatch):
    definitions = definitions_module.load(DEFINITIONS)
    chunks = [(c.start, c.stop) for c, _ in engine.plan([str(ARCHIVE)], definitions, 50_000)]
    # Every guess lands inside a packet: each span but the first is run again.
    monkeypatch.setattr(engine, "find_start", lambda span, definitions: span.cut_from - 1)
    parts = engine.Parts(str(tmp_path), engine.WriteOptions(), 1, 6)
    for name in TABLES:
        (tmp_path / f"{name}.parquet").mkdir()
    job = engine.Job(definitions, output="arrow", parts=parts)
    again = []
    results = span_results(definitions, [str(ARCHIVE)], 50_000, again, job)
    assert [(r.chunk.start, r.chunk.stop) for r in results] == chunks
    assert [s.cut_from for s in again] == list(range(50_000, ARCHIVE.stat().st_size, 50_000))
    # The wrong runs' parts are gone: one part per chunk and type with packets.
    written = sorted(
        str(p.relative_to(tmp_path)) for p in tmp_path.rglob("*.parquet") if p.is_file()
    )
    expected = sorted(
        f"{name}.parquet/{parts.path(name, r.chunk).name}"
        for r in results
        for name, rows in r.rows.items()
        if rows
    )
    assert written == expected and len(written) >= 3 * 12


def test_a_span_that_starts_past_its_cut_has_no_chunks_and_ends_where_it_starts():
    definitions = definitions_module.load(DEFINITIONS)
    size = ARCHIVE.stat().st_size
    margin = engine.lookahead(definitions)
    job = engine.Job(definitions, output="none")
    # The previous span's window reached the end of the file: it took the rest.
    last = engine.Span(str(ARCHIVE), size - 100, size, size, margin)
    assert engine.find_start(last, definitions) == size
    for span in (last, engine.Span(str(ARCHIVE), 0, 1000, size, margin, start=1200)):
        result = engine.run_span(job, span)
        assert result.chunks == [] and result.start == result.stop == (span.start or size)


def test_a_window_buffer_is_reused_and_reads_what_read_range_reads():
    buffer = engine.WindowBuffer()
    first = buffer.read(str(ARCHIVE), 100, 5000)
    memory = buffer.memory
    assert bytes(first) == bytes(engine.read_range(str(ARCHIVE), 100, 5000))
    second = buffer.read(str(ARCHIVE), 7, 3000, ARCHIVE.stat().st_size)
    assert buffer.memory is memory and bytes(second) == ARCHIVE.read_bytes()[7:3000]
    with pytest.raises(engine.CommandError, match="changed size"):
        buffer.read(str(ARCHIVE), 0, 10, 11)


# On dask -----------------------------------------------------------------------------


@pytest.fixture(scope="module")
def one_process(tmp_path_factory):
    out = tmp_path_factory.mktemp("one")
    assert run("decode", DEFINITIONS, ARCHIVE, "-o", out, "-q") == 0
    return tables(out)


def pin_workers(address: str, cores: list[set[int]]) -> None:
    """Hold every thread of each worker to its cores."""
    for allowed, pid in zip(cores, sorted(worker_pids(address).values())):
        for thread in os.listdir(f"/proc/{pid}/task"):
            os.sched_setaffinity(int(thread), allowed)


@pytest.mark.parametrize("where", ["--workers", "--scheduler", "--scheduler, pinned"])
def test_tables_on_dask_are_the_one_process_tables(tmp_path, request, one_process, where):
    pytest.importorskip("dask.distributed")
    if where == "--workers":
        cluster = ["--workers", "2"]
    else:
        address = request.getfixturevalue("dask_cluster")
        cluster = ["--scheduler", address]
        if where.endswith("pinned"):
            if not hasattr(os, "sched_setaffinity") or not Path("/proc/self/task").is_dir():
                pytest.skip("no per-thread affinity here")
            cores = sorted(os.sched_getaffinity(0))
            pin_workers(address, [{cores[0]}, {cores[-1]}])
            request.addfinalizer(lambda: pin_workers(address, [set(cores)] * 2))
    out = tmp_path / "out"
    assert run("decode", DEFINITIONS, ARCHIVE, "-o", out, "-q", *SMALL_CHUNKS, *cluster) == 0
    got = tables(out)
    for name in TABLES:
        assert got[name].num_rows > 0 and got[name].equals(one_process[name]), name
        assert len(list((out / f"{name}.parquet").iterdir())) == 10  # 64k spans, one part each
    assert only_parts_and_tables(out)


def test_csv_and_arrow_on_a_users_cluster_are_the_one_process_files(tmp_path, dask_cluster):
    ipc = pytest.importorskip("pyarrow.ipc")
    on_dask = [*SMALL_CHUNKS, "--scheduler", dask_cluster]
    for fmt in ("csv", "arrow"):
        options = ["-q", "-f", fmt]
        assert run("decode", DEFINITIONS, ARCHIVE, "-o", tmp_path / fmt / "one", *options) == 0
        two = tmp_path / fmt / "two"
        assert run("decode", DEFINITIONS, ARCHIVE, "-o", two, *options, *on_dask) == 0
        for name in TABLES:
            one = tmp_path / fmt / "one" / f"{name}.{fmt}"
            if fmt == "csv":
                assert (two / f"{name}.csv").read_bytes() == one.read_bytes()
                continue
            parts = sorted((two / f"{name}.arrow").iterdir())
            joined = [ipc.open_file(str(p)).read_all() for p in parts]
            whole = ipc.open_file(str(one)).read_all()
            assert len(parts) == 10 and whole.num_rows > 0
            assert whole.equals(pa.concat_tables(joined))


def test_wrong_guesses_on_dask_leave_only_the_right_parts(tmp_path, monkeypatch, one_process):
    distributed = pytest.importorskip("dask.distributed")

    # Workers in this process see the patch: every guess lands inside a packet.
    def inside_a_packet(span, definitions):
        return span.cut_from - 1

    monkeypatch.setattr(engine, "find_start", inside_a_packet)
    with distributed.LocalCluster(
        n_workers=2, threads_per_worker=1, processes=False, dashboard_address=None
    ) as cluster:
        out = tmp_path / "out"
        on_dask = [*SMALL_CHUNKS, "--scheduler", cluster.scheduler_address]
        assert run("decode", DEFINITIONS, ARCHIVE, "-o", out, "-q", *on_dask) == 0
    got = tables(out)
    for name in TABLES:
        assert got[name].equals(one_process[name]), name
    assert only_parts_and_tables(out)


def kill_a_busy_worker(address: str, out: Path, killed: list) -> None:
    """SIGKILL a worker process while it holds tasks of the run writing `out`."""
    import dask.distributed as distributed

    with distributed.Client(address) as client:
        pids = client.run(os.getpid)
        deadline = time.monotonic() + 60
        while time.monotonic() < deadline:
            busy = [w for w, keys in client.processing().items() if keys and w in pids]
            if busy and out.exists() and any(out.iterdir()):
                os.kill(pids[busy[0]], signal.SIGKILL)
                killed.append(pids[busy[0]])
                return
            time.sleep(0.01)


def run_while_killing(address: str, archive: Path, out: Path, *options) -> tuple[int, list]:
    killed: list = []
    killer = threading.Thread(target=kill_a_busy_worker, args=(address, out, killed))
    killer.start()
    try:
        status = run("decode", DEFINITIONS, archive, "-o", out, "-q", *options)
    finally:
        killer.join()
    return status, killed


@pytest.mark.skipif(sys.platform == "win32", reason="SIGKILL")
def test_a_worker_killed_mid_run_still_gives_complete_tables(tmp_path):
    distributed = pytest.importorskip("dask.distributed")
    archive = repeated(tmp_path / "day12.bin", 12)  # 7.7 MB: 118 spans of 64k
    assert run("decode", DEFINITIONS, archive, "-o", tmp_path / "one", "-q") == 0
    with distributed.LocalCluster(
        n_workers=2, threads_per_worker=1, processes=True, dashboard_address=None
    ) as cluster:
        out = tmp_path / "two"
        options = [*SMALL_CHUNKS, "--scheduler", cluster.scheduler_address]
        status, killed = run_while_killing(cluster.scheduler_address, archive, out, *options)
    assert killed, "the run ended before a worker could be killed"
    assert status == 0
    got, one = tables(out), tables(tmp_path / "one")
    for name in TABLES:
        assert got[name].equals(one[name]), name
    assert only_parts_and_tables(out)  # nothing half-written by the killed worker


@pytest.mark.skipif(sys.platform == "win32", reason="SIGKILL")
def test_workers_that_keep_dying_fail_the_run_in_one_line(tmp_path, capsys):
    import dask

    distributed = pytest.importorskip("dask.distributed")
    archive = repeated(tmp_path / "day12.bin", 12)
    out = tmp_path / "out"
    out.mkdir()
    (out / "mine.txt").write_text("kept")
    # No task may outlive a worker: the first death ends the run.
    with dask.config.set({"distributed.scheduler.allowed-failures": 0}):
        cluster = distributed.LocalCluster(
            n_workers=2, threads_per_worker=1, processes=True, dashboard_address=None
        )
    with cluster:
        options = [*SMALL_CHUNKS, "--scheduler", cluster.scheduler_address]
        capsys.readouterr()
        status, killed = run_while_killing(cluster.scheduler_address, archive, out, *options)
    assert killed, "the run ended before a worker could be killed"
    assert status == 1
    lines = [line for line in capsys.readouterr().err.splitlines() if line.startswith("vantrel:")]
    assert len(lines) == 1 and "dask workers died" in lines[0] and "nothing was written" in lines[0]
    assert sorted(p.name for p in out.iterdir()) == ["mine.txt"]
