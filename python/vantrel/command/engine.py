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
from pathlib import Path
from typing import Any, NamedTuple

import vantrel

from .definitions import Definitions
from .tables import decode_table, write_part

DEFAULT_CHUNK_BYTES = 16 << 20
MIN_LOOKAHEAD_CAP = 1 << 20


@dataclass(frozen=True)
class Chunk:
    """Bytes [start, stop) of an archive, framed as part of [start, window_stop).

    `archive` is the file's place among the archives of the command line.
    Only this, a path and four numbers, travels to a dask worker.
    """

    path: str
    start: int
    stop: int
    window_stop: int
    archive: int = 0


@dataclass
class ChunkResult:
    """What one chunk holds: rows per type, their tables, and what went wrong.

    `tables` is empty when the job wrote them to part files itself.
    """

    chunk: Chunk
    packets: int = 0
    rows: dict[str, int] = field(default_factory=dict)
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


def frame(view: memoryview, definitions: Definitions):
    return vantrel.split_packets(
        view, **definitions.framing, errors="report", rules=definitions.rules
    )


class Skipped(NamedTuple):
    start: int
    stop: int
    reason: str
    detail: str


@dataclass
class Framing:
    """The packets and skipped ranges of one chunk, offsets from its first byte."""

    offsets: Any
    lengths: Any
    skipped: list[Skipped]


def lookahead(definitions: Definitions) -> int:
    """Bytes past a point that framing may read to decide a packet before it.

    A packet's length can reach this far, and after damage framing resumes
    only where `confirm` packets in a row validate.
    """
    framing = definitions.framing
    rules = definitions.rules or {}
    longest = rules.get("max_length") or (
        (1 << framing["length_bits"]) - 1 + framing.get("length_adjust", 0)
    )
    return (rules.get("confirm", 3) + 2) * max(longest, 1)


def _stop_by(framed, cut: int) -> int:
    """Where the chunk of a window ends, the window cut at `cut`.

    After the last packet that ends by the cut; without one, before the
    first packet (a chunk of damage), after it (one packet longer than a
    chunk), or at the cut. Framing read past the cut to decide every packet
    before it, so chunk after chunk frames as the whole archive at once.
    """
    offsets, lengths = framed.offsets, framed.lengths
    ends = offsets + lengths
    whole = int((ends <= cut).sum())  # ends ascend: a prefix
    if whole:
        return int(ends[whole - 1])
    if len(offsets):
        return int(offsets[0]) or int(ends[0])
    return cut


def _chunk_framing(framed, stop: int) -> Framing:
    """What of a window's framing lies before `stop`."""
    kept = int((framed.offsets + framed.lengths <= stop).sum())
    skipped = [
        Skipped(s.start, min(s.stop, stop), s.reason, s.detail)
        for s in framed.skipped
        if s.start < stop
    ]
    return Framing(framed.offsets[:kept], framed.lengths[:kept], skipped)


def plan(
    paths: list[str], definitions: Definitions, chunk_bytes: int = DEFAULT_CHUNK_BYTES
) -> Iterator[tuple[Chunk, Framing]]:
    """The chunks of the archives, in order, each with its framing.

    Each window of `chunk_bytes`, and the lookahead past it, is framed on its
    own; its chunk ends on a packet boundary by the window's cut (or takes
    the rest of the file when the window reaches its end), and the next
    window starts there. Chunks are found as they are asked for, so work on
    the first ones can start at once.
    """
    # Wide length fields without a `max_length` rule allow packets of
    # gigabytes: the lookahead stops at a chunk (or 1 MiB), so that windows
    # stay about the size asked for.
    margin = min(lookahead(definitions), max(chunk_bytes, MIN_LOOKAHEAD_CAP))
    for archive, path in enumerate(paths):
        size = os.path.getsize(path)
        start = 0
        while start < size:
            window_stop = min(size, start + chunk_bytes + margin)
            with mapped(path, start, window_stop) as window:
                framed = frame(window, definitions)
            stop = window_stop - start if window_stop == size else _stop_by(framed, chunk_bytes)
            chunk = Chunk(path, start, start + stop, window_stop, archive)
            yield chunk, _chunk_framing(framed, stop)
            start = chunk.stop


def frame_chunk(chunk: Chunk, definitions: Definitions) -> Framing:
    """Frame a chunk's window again, as `plan` did, and keep the chunk's part."""
    with mapped(chunk.path, chunk.start, chunk.window_stop) as window:
        framed = frame(window, definitions)
    return _chunk_framing(framed, chunk.stop - chunk.start)


@dataclass(frozen=True)
class Parts:
    """Where a job writes its tables itself: one part file per chunk and type.

    Parquet parts go to `<type>.parquet/part-A-OFFSET.parquet` (A the
    archive's place, OFFSET the chunk's first byte, both zero-padded so that
    names sort in stream order); CSV parts, rows only, to
    `<staging>/<type>/part-A-OFFSET.csv`, for the command to join.
    """

    directory: str
    format: str  # "parquet" or "csv"
    archive_digits: int
    offset_digits: int
    staging: str = ""

    def path(self, type_name: str, chunk: Chunk) -> Path:
        return self.path_at(type_name, chunk.archive, chunk.start)

    def path_at(self, type_name: str, archive: int, start: int) -> Path:
        """The part of the chunk at byte `start` of archive number `archive`."""
        stem = f"part-{archive:0{self.archive_digits}d}-{start:0{self.offset_digits}d}"
        if self.format == "parquet":
            return Path(self.directory) / f"{type_name}.parquet" / f"{stem}.parquet"
        return Path(self.staging) / type_name / f"{stem}.csv"


@dataclass(frozen=True)
class Job:
    """What a chunk's worker needs: the definitions and what to produce."""

    definitions: Definitions
    output: str = "arrow"  # "arrow" (pyarrow tables), "numpy" (dicts of arrays) or "none"
    types: tuple[str, ...] | None = None  # None: every type
    parts: Parts | None = None  # write the tables there instead of returning them


def packet_keys(view, definitions: Definitions, framed) -> Any:
    """The type field of every framed packet; -1 where a packet is too short for it.

    Unsigned integers as the field decodes (int64 only when a packet lacks
    the field), so that grouping sorts them by radix.
    """
    import numpy as np

    key, framing = definitions.key, definitions.framing
    layout = _key_layout(key["offset_bits"], key["bits"])
    if key["offset_bits"] + key["bits"] <= framing["length_offset_bits"] + framing["length_bits"]:
        # Framing refuses packets that end inside their own length field.
        return layout.unpack_many(view, offsets=framed.offsets)["key"]
    column = layout.unpack_many(
        view, offsets=framed.offsets, lengths=framed.lengths, errors="mask"
    )["key"]
    if not np.ma.is_masked(column):
        return np.ma.getdata(column)
    return np.ma.filled(column.astype(np.int64), -1)


_KEY_LAYOUTS: dict[tuple[int, int], vantrel.Layout] = {}


def _key_layout(offset_bits: int, bits: int) -> vantrel.Layout:
    layout = _KEY_LAYOUTS.get((offset_bits, bits))
    if layout is None:
        item = {
            "name": "key",
            "encoding": "unsigned",
            "bits": bits,
            "byte_order": "big",
            "reverse_bits": False,
            "offset_bits": offset_bits,
        }
        layout = _KEY_LAYOUTS[(offset_bits, bits)] = vantrel.Layout([item])
    return layout


def group_indices(keys) -> dict[int, Any]:
    """For each key value, the indices of its packets, ascending."""
    import numpy as np

    if len(keys) == 0:
        return {}
    # A stable sort keeps each key's packets in stream order.
    order = np.argsort(keys, kind="stable")
    ordered = keys[order]
    bounds = np.flatnonzero(ordered[1:] != ordered[:-1]) + 1
    starts = np.concatenate([[0], bounds])
    stops = np.concatenate([bounds, [len(keys)]])
    return {int(ordered[a]): order[a:b] for a, b in zip(starts.tolist(), stops.tolist())}


def group_offsets(view, definitions: Definitions, framed) -> dict[int, Any]:
    """For each type field value, the offsets of its packets in stream order."""
    groups = group_indices(packet_keys(view, definitions, framed))
    return {k: framed.offsets[index] for k, index in groups.items() if k >= 0}


def run_chunk(job: Job, chunk: Chunk, framed: Any = None) -> ChunkResult:
    """Frame one chunk, split it by packet type and decode each type.

    `framed` is the chunk's framing when the caller has it.
    """
    import numpy as np

    result = ChunkResult(chunk)
    definitions = job.definitions
    if framed is None:
        framed = frame_chunk(chunk, definitions)
    result.skipped = [
        (chunk.start + s.start, chunk.start + s.stop, s.reason, s.detail) for s in framed.skipped
    ]
    result.packets = len(framed.offsets)
    with mapped(chunk.path, chunk.start, chunk.stop) as view:
        keyed = [p for p in definitions.packets if p.keys is not None]
        groups = group_indices(packet_keys(view, definitions, framed)) if keyed else {}
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
                index = (
                    np.sort(np.concatenate(parts))
                    if len(parts) > 1
                    else parts[0]
                    if parts
                    else np.empty(0, np.int64)
                )
                # Each packet ends where framing says: a field past its end fails.
                offsets, lengths = framed.offsets[index], framed.lengths[index]
            result.rows[packet.name] = len(offsets)
            if job.output == "none":
                continue
            table = decode_table(packet, view, offsets, lengths, job.output)
            if job.output == "arrow":
                result.failed_values[packet.name] = sum(c.null_count for c in table.columns)
            else:
                result.failed_values[packet.name] = sum(map(_failed, table.values()))
            if job.parts is None:
                result.tables[packet.name] = table
            elif len(offsets):
                write_part(job.parts.path(packet.name, chunk), table, job.parts.format)
    return result


def _failed(column) -> int:
    """How many values of a numpy column (masked, or ragged) failed to decode."""
    import numpy as np

    if isinstance(column, np.ma.MaskedArray):
        return int(np.ma.count_masked(column))
    mask = getattr(column, "mask", None)  # a ragged column: one flag per packet
    return int(mask.sum()) if mask is not None else 0
