"""Running a job over chunks, here or on dask.distributed, with progress."""

from __future__ import annotations

import logging
import os
import sys
import time
from collections import deque
from collections.abc import Iterable, Iterator
from dataclasses import replace
from typing import Any

from .engine import Chunk, ChunkResult, Job, run_chunk
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
    work: Iterable[tuple[Chunk, Any]],
    progress: Progress,
    workers: int | None = None,
    scheduler: str | None = None,
) -> Iterator[ChunkResult]:
    """The results of every chunk of `work` (chunks and their framing), in order."""
    if workers is None and scheduler is None:
        for chunk, framed in work:
            result = run_chunk(job, chunk, framed)
            progress.update(chunk.stop - chunk.start, result.packets)
            yield result
        return
    yield from _run_on_dask(job, (chunk for chunk, _ in work), progress, workers, scheduler)


# The cluster --workers starts is this run's alone, without a dashboard.
# Nothing looks at the workers' profiles, whose sampling costs them about a
# tenth of their time. And glibc keeps its own trim threshold: the one dask
# sets by default (to hand freed memory back to the system at once) makes
# every chunk's large arrays fault in their pages afresh, a quarter more
# CPU time for the same chunks.
LOCAL_CLUSTER_CONFIG = {
    "distributed.worker.profile.enabled": False,
    "distributed.admin.system-monitor.gil.enabled": False,
    "distributed.nanny.pre-spawn-environ": {
        "OMP_NUM_THREADS": 1,
        "MKL_NUM_THREADS": 1,
        "OPENBLAS_NUM_THREADS": 1,
    },
}


def _run_on_dask(job, chunks, progress, workers, scheduler):
    """Chunks run on dask.distributed, a few per worker in flight at a time.

    Chunks are found as they are submitted, and only the chunk (a path and a
    byte range) travels to the worker, which frames it again.
    """
    distributed = need("dask.distributed", "dask", "--workers and --scheduler")
    if scheduler is not None:
        client = distributed.Client(scheduler)
        cluster = None
    else:
        import dask

        with dask.config.set(LOCAL_CLUSTER_CONFIG):
            cluster = distributed.LocalCluster(
                n_workers=workers,
                threads_per_worker=1,
                processes=True,
                dashboard_address=None,
                silence_logs=logging.ERROR,
            )
        client = distributed.Client(cluster)
    try:
        [shared_job] = client.scatter([job], broadcast=True)
        in_flight = max(2, 2 * len(client.scheduler_info()["workers"]))
        # Workers open the files themselves: absolute paths.
        remaining = (replace(c, path=os.path.abspath(c.path)) for c in chunks)
        pending = deque()
        for chunk in remaining:
            pending.append(client.submit(run_chunk, shared_job, chunk, pure=False))
            if len(pending) >= in_flight:
                break
        while pending:
            result = pending.popleft().result()
            next_chunk = next(remaining, None)
            if next_chunk is not None:
                pending.append(client.submit(run_chunk, shared_job, next_chunk, pure=False))
            progress.update(result.chunk.stop - result.chunk.start, result.packets)
            yield result
    finally:
        client.close()
        if cluster is not None:
            cluster.close()
