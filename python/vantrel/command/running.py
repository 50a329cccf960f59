"""Running a job over chunks, here or on dask.distributed, with progress."""

from __future__ import annotations

import logging
import os
import sys
import time
from collections.abc import Iterator
from typing import Any

from .common import CommandError
from .engine import (
    ChunkResult,
    Job,
    Span,
    SpanResult,
    in_order,
    keep_freed_memory,
    plan,
    run_chunk,
    run_span,
    spans,
)
from .extras import need


class Progress:
    """Bytes and packets per second with an ETA on stderr, through tqdm.

    Silent when stderr is not a terminal or when asked to be.
    """

    def __init__(self, total_bytes: int, label: str, enabled: bool):
        self.bar = None
        self.packets = 0
        self.started = time.perf_counter()
        if not enabled or not sys.stderr.isatty():
            return
        try:
            from tqdm import tqdm
        except ImportError:
            print(
                "vantrel: no progress display without tqdm (pip install 'vantrel[cli]')",
                file=sys.stderr,
            )
            return
        # Binary prefixes: "iB" after tqdm's K/M/G reads KiB, MiB, GiB (and MiB/s).
        self.bar = tqdm(
            total=total_bytes,
            desc=label,
            unit="iB",
            unit_scale=True,
            unit_divisor=1024,
            file=sys.stderr,
            dynamic_ncols=True,
            leave=False,
        )

    def update(self, nbytes: int, packets: int) -> None:
        self.packets += packets
        if self.bar is None:
            return
        elapsed = max(time.perf_counter() - self.started, 1e-9)
        self.bar.set_postfix_str(
            f"{self.packets:,} packets, {self.packets / elapsed:,.0f} packets/s", refresh=False
        )
        self.bar.update(nbytes)
        self.bar.refresh()  # once per chunk: cheap, and the last figures are always shown

    @property
    def elapsed(self) -> float:
        """Seconds since the work began."""
        return time.perf_counter() - self.started

    def close(self) -> None:
        if self.bar is not None:
            self.bar.close()


def run(
    job: Job,
    paths: list[str],
    chunk_bytes: int,
    progress: Progress,
    workers: int | None = None,
    scheduler: str | None = None,
) -> Iterator[ChunkResult]:
    """The results of every chunk of the archives, in order, here or on dask.

    Here, glibc is told to keep freed memory first (`keep_freed_memory`):
    each chunk's window, keys and columns then reuse the pages the last
    chunk's freed rather than fault in fresh ones, as dask tasks do.
    """
    if workers is None and scheduler is None:
        keep_freed_memory()
        for chunk, framed in plan(paths, job.definitions, chunk_bytes):
            result = run_chunk(job, chunk, framed)
            progress.update(chunk.stop - chunk.start, result.packets)
            yield result
        return
    # Workers open the files themselves: absolute paths.
    absolute = [os.path.abspath(p) for p in paths]
    work = spans(absolute, job.definitions, chunk_bytes)
    yield from _run_on_dask(job, work, progress, workers, scheduler)


# The cluster --workers starts is this run's alone, without a dashboard.
# Nothing looks at the workers' profiles, whose sampling costs them about a
# tenth of their time. (Each task sets glibc's thresholds itself, whatever
# the nanny put in the environment: `keep_freed_memory`.)
LOCAL_CLUSTER_CONFIG = {
    "distributed.worker.profile.enabled": False,
    "distributed.admin.system-monitor.gil.enabled": False,
    "distributed.nanny.pre-spawn-environ": {
        "OMP_NUM_THREADS": 1,
        "MKL_NUM_THREADS": 1,
        "OPENBLAS_NUM_THREADS": 1,
    },
}


def start_cluster(workers: int, config: dict | None = None):
    """A local cluster of `workers` processes of one thread each, as `--workers`
    starts it (`config`: other dask settings, {} for dask's own)."""
    import dask
    import dask.distributed as distributed

    with dask.config.set(LOCAL_CLUSTER_CONFIG if config is None else config):
        return distributed.LocalCluster(
            n_workers=workers,
            threads_per_worker=1,
            processes=True,
            dashboard_address=None,
            silence_logs=logging.ERROR,
        )


def _run_on_dask(job, work: Iterator[Span], progress, workers, scheduler):
    """Spans run on dask.distributed, a few per worker in flight at a time.

    Only a span (a path and a few numbers) travels to a worker, which finds
    where its chunks start, frames, decodes and writes them, and sends back
    a summary. Each span's start is checked against where the previous
    one ended (`in_order`).
    """
    distributed = need("dask.distributed", "dask", "--workers and --scheduler")
    cluster = None
    if scheduler is not None:
        client = distributed.Client(scheduler)
    else:
        cluster = start_cluster(workers)
        client = distributed.Client(cluster)
    try:
        [shared_job] = client.scatter([job], broadcast=True)
        in_flight = max(2, 2 * len(client.scheduler_info()["workers"]))

        def submit(span):
            return client.submit(run_span, shared_job, span, pure=False)

        def finished():
            """Spans and results in stream order. A span is handed out whenever
            any finishes, so one slow span holds up no worker (as many again
            as are in flight may wait to be taken in order)."""
            done = distributed.as_completed()
            order: dict[Any, tuple[int, Span]] = {}
            ready: dict[int, tuple[Span, SpanResult]] = {}
            handed = taken = 0

            def hand_out():
                nonlocal handed
                while len(order) < in_flight and len(order) + len(ready) < 2 * in_flight:
                    span = next(work, None)
                    if span is None:
                        return
                    future = submit(span)
                    order[future] = (handed, span)
                    done.add(future)
                    handed += 1

            hand_out()
            while taken < handed:
                while taken not in ready:
                    future = next(done)
                    index, span = order.pop(future)
                    ready[index] = (span, _finished(future))
                yield ready.pop(taken)
                taken += 1
                hand_out()

        def again(span):
            return _finished(submit(span))

        for result in in_order(job, finished(), again):
            progress.update(result.chunk.stop - result.chunk.start, result.packets)
            yield result
    finally:
        client.close()
        if cluster is not None:
            cluster.close()


def _finished(future) -> SpanResult:
    """A span's result; a span whose workers kept dying is told in one line."""
    from distributed import KilledWorker

    try:
        return future.result()
    except KilledWorker as error:
        raise CommandError(
            f"dask workers died while running a span of the archive ({error}); nothing was written"
        ) from None
