"""Archives cut into chunks, and the work done on one chunk.

A chunk is a byte range of one archive file that starts and ends on packet
boundaries found by framing. Every subcommand walks the same chunks in the
same order, in this process or on dask workers (each worker memory-maps its
own range), so the results are the same either way.
"""

from __future__ import annotations

import mmap
import os
from collections import Counter
from collections.abc import Iterator
from contextlib import contextmanager
from dataclasses import dataclass, field
from typing import Any

import vantrel

from .definitions import Definitions

DEFAULT_CHUNK_BYTES = 16 << 20


@dataclass(frozen=True)
class Chunk:
    path: str
    start: int
    stop: int


@dataclass
class ChunkResult:
    """What one chunk holds: decoded tables per type and what went wrong."""

    chunk: Chunk
    packets: int = 0
    tables: dict[str, Any] = field(default_factory=dict)
    skipped: list[tuple[int, int, str, str]] = field(default_factory=list)  # absolute offsets
    unknown_keys: Counter = field(default_factory=Counter)
    failed_values: dict[str, int] = field(default_factory=dict)


@contextmanager
def mapped(path: str, start: int = 0, stop: int | None = None) -> Iterator[memoryview]:
    """A read-only view of bytes [start, stop) of a file, memory-mapped."""
    with open(path, "rb") as file:
        size = os.fstat(file.fileno()).st_size
        stop = size if stop is None else stop
        if stop <= start:
            yield memoryview(b"")
            return
        base = start - start % mmap.ALLOCATIONGRANULARITY
        with mmap.mmap(file.fileno(), stop - base, offset=base, access=mmap.ACCESS_READ) as m:
            with memoryview(m) as whole, whole[start - base :] as view:
                yield view


def chunks(
    path: str, definitions: Definitions, chunk_bytes: int = DEFAULT_CHUNK_BYTES
) -> list[Chunk]:
    """Cut a file into chunks of about `chunk_bytes`, each ending after a whole packet."""
    size = os.path.getsize(path)
    out = []
    start = 0
    while start < size:
        stop = min(size, start + chunk_bytes)
        if stop < size:
            with mapped(path, start, stop) as view:
                framed = vantrel.split_packets(
                    view, **definitions.framing, errors="report", rules=definitions.rules
                )
            if len(framed.offsets):
                # End after the last whole packet; what follows (a packet the
                # window cut) starts the next chunk.
                stop = start + int((framed.offsets + framed.lengths).max())
        out.append(Chunk(path, start, stop))
        start = stop
    return out


@dataclass(frozen=True)
class Job:
    """What a chunk's worker needs: the definitions and what to produce."""

    definitions: Definitions
    output: str = "arrow"  # "arrow" (pyarrow tables), "numpy" (dicts of arrays) or "none"
    types: tuple[str, ...] | None = None  # None: every type


def frame(view: memoryview, definitions: Definitions):
    return vantrel.split_packets(
        view, **definitions.framing, errors="report", rules=definitions.rules
    )


def group_offsets(view, definitions: Definitions, offsets) -> dict[int, Any]:
    key = definitions.key
    return vantrel.split_by_apid(
        view, offsets, key_offset_bits=key["offset_bits"], key_bits=key["bits"]
    )


def run_chunk(job: Job, chunk: Chunk) -> ChunkResult:
    """Frame one chunk, split it by packet type and decode each type."""
    import numpy as np

    result = ChunkResult(chunk)
    definitions = job.definitions
    with mapped(chunk.path, chunk.start, chunk.stop) as view:
        framed = frame(view, definitions)
        result.packets = len(framed.offsets)
        result.skipped = [
            (chunk.start + s.start, chunk.start + s.stop, s.reason, s.detail)
            for s in framed.skipped
        ]
        keyed = [p for p in definitions.packets if p.keys is not None]
        groups = group_offsets(view, definitions, framed.offsets) if keyed else {}
        if len(keyed) == len(definitions.packets):
            # No type takes every packet: count the keys no type claims.
            known = {k for p in keyed for k in p.keys}
            result.unknown_keys = Counter({k: len(v) for k, v in groups.items() if k not in known})
        for packet in definitions.packets:
            if job.types is not None and packet.name not in job.types:
                continue
            if packet.keys is None:
                offsets, lengths = framed.offsets, framed.lengths
            else:
                parts = [groups[k] for k in packet.keys if k in groups]
                offsets = (
                    np.sort(np.concatenate(parts))
                    if len(parts) > 1
                    else parts[0]
                    if parts
                    else np.empty(0, np.int64)
                )
                # Each packet ends where framing says: a field past its end fails.
                lengths = framed.lengths[np.searchsorted(framed.offsets, offsets)]
            if job.output == "none":
                continue
            if job.output == "arrow":
                import pyarrow

                columns = packet.layout.unpack_many(
                    view, offsets=offsets, lengths=lengths, errors="mask", output="arrow"
                )
                table = pyarrow.table(columns)
                result.failed_values[packet.name] = sum(c.null_count for c in table.columns)
            else:
                table = packet.layout.unpack_many(
                    view, offsets=offsets, lengths=lengths, errors="mask"
                )
                result.failed_values[packet.name] = sum(map(_failed, table.values()))
            result.tables[packet.name] = table
    return result


def _failed(column) -> int:
    """How many values of a numpy column (masked, or ragged) failed to decode."""
    import numpy as np

    if isinstance(column, np.ma.MaskedArray):
        return int(np.ma.count_masked(column))
    mask = getattr(column, "mask", None)  # a ragged column: one flag per packet
    return int(mask.sum()) if mask is not None else 0
