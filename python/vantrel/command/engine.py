"""Archives cut into chunks, and the work done on one chunk.

A chunk is a byte range of one archive file that starts and ends on packet
boundaries found by framing. Every subcommand walks the same chunks in the
same order, in this process or on dask workers (each worker reads its
own range), so the results are the same either way.
"""

from __future__ import annotations

import os
import re
import threading
from collections import Counter
from collections.abc import Callable, Iterable, Iterator
from dataclasses import dataclass, field, replace
from pathlib import Path
from typing import Any, NamedTuple

import vantrel

from .common import CommandError
from .definitions import Definitions, longest_packet
from .tables import WriteOptions, decode_table, write_part

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
    defined_bytes: int = 0  # bytes of the packets of a defined type
    check_failures: dict[str, int] = field(default_factory=dict)  # packets, per type


def read_range(path: str, start: int, stop: int, size: int | None = None) -> bytes:
    """Bytes [start, stop) of a file, read (not mapped), all of them or an error.

    A mapping of a file that shrinks meanwhile faults with SIGBUS; a read
    just comes up short, which is told as the one-line error it deserves.
    `size` is the file's size when the run began: a file that has changed
    size since is refused too.
    """
    with open(path, "rb") as file:
        _check_size(file, path, size)
        pieces = []
        offset = start
        while offset < stop:
            # One call reads at most about 2 GiB (into memory not zeroed first).
            piece = _pread(file, min(stop - offset, 1 << 30), offset)
            if not piece:
                raise CommandError(_changed(path, size, os.fstat(file.fileno()).st_size))
            pieces.append(piece)
            offset += len(piece)
    return pieces[0] if len(pieces) == 1 else b"".join(pieces)


def _pread(file, count: int, offset: int) -> bytes:
    if hasattr(os, "pread"):
        return os.pread(file.fileno(), count, offset)
    file.seek(offset)
    return file.read(count)


def _check_size(file, path: str, size: int | None) -> None:
    if size is not None and os.fstat(file.fileno()).st_size != size:
        raise CommandError(_changed(path, size, os.fstat(file.fileno()).st_size))


def read_into(view: memoryview, path: str, start: int, size: int | None = None) -> None:
    """Fills `view` with the file's bytes from `start`, as `read_range` reads them."""
    with open(path, "rb") as file:
        _check_size(file, path, size)
        done = 0
        while done < len(view):
            # One call reads at most about 2 GiB.
            count = _preadinto(file, view[done : done + (1 << 30)], start + done)
            if not count:
                raise CommandError(_changed(path, size, os.fstat(file.fileno()).st_size))
            done += count


def _preadinto(file, view: memoryview, offset: int) -> int:
    if hasattr(os, "preadv"):
        return os.preadv(file.fileno(), [view], offset)
    file.seek(offset)
    return file.readinto(view)


def _changed(path: str, size: int | None, now: int) -> str:
    was = f" from {size:,} to {now:,} bytes" if size is not None else f" (now {now:,} bytes)"
    return f"{path}: the file changed size{was} while it was read"


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
    data: Any = None  # the chunk's bytes, when the framing read them already


def lookahead(definitions: Definitions) -> int:
    """Bytes past a point that framing may read to decide a packet before it.

    A packet's length can reach this far, and after damage framing resumes
    only where `confirm` packets in a row validate.
    """
    longest = longest_packet(definitions.framing, definitions.rules)
    return ((definitions.rules or {}).get("confirm", 3) + 2) * max(longest, 1)


def _stop_by(framed, cut: int) -> tuple[int, bool]:
    """Where the chunk of a window ends, the window cut at `cut`, and whether
    its span ends there too.

    After the last packet that ends by the cut (the span's end); without
    one, before the first packet (a chunk of damage, and the span goes on
    from that packet), after it (one packet longer than the rest of the
    span), or at the cut. Framing read past the cut to decide every packet
    before it, so chunk after chunk frames as the whole archive at once.
    """
    offsets, lengths = framed.offsets, framed.lengths
    whole = _ending_by(framed, cut)
    if whole:
        return int(offsets[whole - 1] + lengths[whole - 1]), True
    if len(offsets):
        return (int(offsets[0]), False) if offsets[0] else (int(offsets[0] + lengths[0]), True)
    return cut, True


def _ending_by(framed, stop: int) -> int:
    """How many of the framed packets end by byte `stop`: a prefix of them.

    Packets never overlap (each ends by where the next starts), so all those
    that start by `stop` but the last end by it too: a binary search, not a
    pass over every packet.
    """
    import numpy as np

    offsets, lengths = framed.offsets, framed.lengths
    whole = int(np.searchsorted(offsets, stop, side="right"))
    while whole and int(offsets[whole - 1] + lengths[whole - 1]) > stop:
        whole -= 1
    return whole


def _chunk_framing(framed, stop: int, window: Any = None) -> Framing:
    """What of a window's framing lies before `stop` (and its bytes, from `window`)."""
    kept = _ending_by(framed, stop)
    skipped = [
        Skipped(s.start, min(s.stop, stop), s.reason, s.detail)
        for s in framed.skipped
        if s.start < stop
    ]
    data = None if window is None else window[:stop]
    return Framing(framed.offsets[:kept], framed.lengths[:kept], skipped, data)


@dataclass(frozen=True)
class Span:
    """The work of one task: an archive's chunks between two cuts.

    Cuts fall every `chunk_bytes` of the file; a span's chunks start at the
    packet boundary the previous span ended on and end on the last packet
    that ends by `cut` (the span whose window reaches the end of the file
    takes the rest of it). `start` is that first boundary when the caller
    knows it; without it (a span given to a dask worker before the previous
    one is done) the worker finds it by framing from a `margin` before
    `cut_from`, and the caller checks it against where the previous span
    ended. A span is a path and a few numbers: the client never reads the
    archive.
    """

    path: str
    cut_from: int
    cut: int
    size: int
    margin: int
    archive: int = 0
    start: int | None = None


@dataclass
class SpanResult:
    """Where a span's chunks began and ended, and each chunk's result."""

    span: Span
    start: int
    stop: int
    chunks: list[ChunkResult] = field(default_factory=list)


def spans(
    paths: list[str], definitions: Definitions, chunk_bytes: int = DEFAULT_CHUNK_BYTES
) -> Iterator[Span]:
    """The spans of the archives, in order: one per `chunk_bytes` of each file.

    Wide length fields without a `max_length` rule allow packets of
    gigabytes: the lookahead stops at a chunk (or 1 MiB), so that windows
    stay about the size asked for.
    """
    margin = min(lookahead(definitions), max(chunk_bytes, MIN_LOOKAHEAD_CAP))
    for archive, path in enumerate(paths):
        size = os.path.getsize(path)
        for cut_from in range(0, size, chunk_bytes):
            cut = min(size, cut_from + chunk_bytes)
            yield Span(path, cut_from, cut, size, margin, archive, 0 if cut_from == 0 else None)


def span_chunks(
    span: Span, definitions: Definitions, buffer: WindowBuffer | None = None
) -> Iterator[tuple[Chunk, Framing]]:
    """The chunks of a span, in order, each with its framing.

    Each window from a chunk's start to the cut, and the lookahead past it,
    is framed on its own; its chunk ends on a packet boundary by the cut
    (or takes the rest of the file when the window reaches its end), and
    the next chunk starts there. Framing read past the cut to decide every
    packet before it, so chunk after chunk frames as the whole archive at
    once. With a `buffer`, each window is read into it: a chunk's view is
    valid until the next is asked for.
    """
    start = find_start(span, definitions) if span.start is None else span.start
    window_stop = min(span.size, span.cut + span.margin)
    done = start >= span.cut
    while not done:
        if buffer is None:
            window = memoryview(read_range(span.path, start, window_stop, span.size))
        else:
            window = buffer.read(span.path, start, window_stop, span.size)
        framed = frame(window, definitions)
        if window_stop == span.size:
            stop, done = window_stop - start, True
        else:
            stop, done = _stop_by(framed, span.cut - start)
        chunk = Chunk(span.path, start, start + stop, window_stop, span.archive)
        yield chunk, _chunk_framing(framed, stop, window)
        start = chunk.stop


def find_start(span: Span, definitions: Definitions) -> int:
    """Where the previous span ended, found by framing the bytes around `cut_from`.

    Framing from a margin before the cut finds the packets there as the
    whole archive's framing does once it has met `confirm` sound packets
    in a row; the caller checks the answer all the same.
    """
    if span.cut_from == 0:
        return 0
    if span.cut_from + span.margin >= span.size:
        return span.size  # the previous span's window reached the end: it took the rest
    begin = max(0, span.cut_from - span.margin)
    end = min(span.size, span.cut_from + span.margin)
    framed = frame(memoryview(read_range(span.path, begin, end, span.size)), definitions)
    return begin + _stop_by(framed, span.cut_from - begin)[0]


def plan(
    paths: list[str], definitions: Definitions, chunk_bytes: int = DEFAULT_CHUNK_BYTES
) -> Iterator[tuple[Chunk, Framing]]:
    """The chunks of the archives, in order, each with its framing, in this process.

    Chunks are found as they are asked for, so work on the first ones can
    start at once.
    """
    start = 0
    for span in spans(paths, definitions, chunk_bytes):
        start = 0 if span.start == 0 else start
        for chunk, framing in span_chunks(replace(span, start=start), definitions):
            yield chunk, framing
            start = chunk.stop


def run_span(job: Job, span: Span) -> SpanResult:
    """Every chunk of a span, framed, split, decoded and written: a dask task.

    Windows are read into this thread's buffer, and glibc is told once per
    process to keep freed memory (see `keep_freed_memory`), so that a
    worker's cost per byte depends on neither its environment nor how many
    spans it has run.
    """
    keep_freed_memory()
    start = find_start(span, job.definitions) if span.start is None else span.start
    found = replace(span, start=start)
    chunks = [run_chunk(job, c, f) for c, f in span_chunks(found, job.definitions, _buffer())]
    return SpanResult(span, start, chunks[-1].chunk.stop if chunks else start, chunks)


def in_order(
    job: Job,
    finished: Iterable[tuple[Span, SpanResult]],
    again: Callable[[Span], SpanResult],
) -> Iterator[ChunkResult]:
    """The chunk results of spans run side by side, checked and in stream order.

    `finished` gives each span with its result, in order. A span that found
    its start itself must start where the previous one ended; one that
    guessed wrong (damage by the cut, a stream without rules to
    resynchronise on) is run again by `again` from the right place, and
    the part files of its wrong run are removed first.
    """
    start = 0
    for span, result in finished:
        if span.start is None and result.start != start:
            _discard(job, result)
            result = again(replace(span, start=start))
        start = result.stop
        yield from result.chunks


def _discard(job: Job, result: SpanResult) -> None:
    if job.parts is None:
        return
    for chunk_result in result.chunks:
        for name, rows in chunk_result.rows.items():
            if rows:
                job.parts.path(name, chunk_result.chunk).unlink(missing_ok=True)


class WindowBuffer:
    """One reusable buffer for windows read from files, grown as needed.

    A fresh buffer per window would fault in its pages again whenever the
    allocator has handed the last one back to the system.
    """

    def __init__(self):
        self.memory = bytearray()

    def read(self, path: str, start: int, stop: int, size: int | None = None) -> memoryview:
        if len(self.memory) < stop - start:
            self.memory = bytearray(stop - start)
        view = memoryview(self.memory)[: stop - start]
        read_into(view, path, start, size)
        return view


_THREAD_STATE = threading.local()


def _buffer() -> WindowBuffer:
    buffer = getattr(_THREAD_STATE, "buffer", None)
    if buffer is None:
        buffer = _THREAD_STATE.buffer = WindowBuffer()
    return buffer


_KEPT = []


def keep_freed_memory() -> bool:
    """Tells glibc, once per process, to keep freed memory for the next allocation.

    A decode frees and allocates columns of megabytes per chunk. glibc
    alone soon keeps such blocks (its thresholds rise with the blocks it
    frees), but `MALLOC_TRIM_THRESHOLD_` in the environment (dask's nanny
    sets it) pins them low: every chunk's columns are then mapped afresh
    and fault in their pages again, a quarter more CPU time. The setting
    here is where glibc's own thresholds end up: blocks up to 32 MiB come
    from the heap, and up to 256 MiB of freed heap stays with the process.
    False where the C library is not glibc.
    """
    if not _KEPT:
        _KEPT.append(_glibc_keeps_freed_memory())
    return _KEPT[0]


def _glibc_keeps_freed_memory() -> bool:
    import ctypes

    try:
        libc = ctypes.CDLL("libc.so.6")
        mallopt = libc.mallopt
    except (OSError, AttributeError):
        return False
    m_trim_threshold, m_mmap_threshold = -1, -3
    return bool(mallopt(m_mmap_threshold, 32 << 20) and mallopt(m_trim_threshold, 256 << 20))


# Where framing's details name a stream offset ("the packet at byte 120").
_PACKET_AT = re.compile(r"(the packet at byte )(\d+)")


def in_stream(skipped: list[Skipped], base: int) -> list[tuple[int, int, str, str]]:
    """Skipped ranges of a chunk that starts at byte `base`, in stream offsets.

    Framing saw the chunk as a stream of its own: its details' offsets are
    moved to the archive's too.
    """

    def moved(match: re.Match) -> str:
        return f"{match[1]}{int(match[2]) + base}"

    return [
        (
            base + s.start,
            base + s.stop,
            s.reason,
            _PACKET_AT.sub(moved, s.detail) if base else s.detail,
        )
        for s in skipped
    ]


@dataclass(frozen=True)
class Parts:
    """Where a job writes its tables itself: one part file per chunk and type.

    Parquet (Arrow) parts go to `<type>.parquet/part-A-OFFSET.parquet`
    (`.arrow`; A the archive's place, OFFSET the chunk's first byte, both
    zero-padded so that names sort in stream order); CSV parts, rows only,
    to `<staging>/<type>/part-A-OFFSET.csv`, for the command to join.
    """

    directory: str
    options: WriteOptions
    archive_digits: int
    offset_digits: int
    staging: str = ""

    @property
    def format(self) -> str:
        return self.options.format

    def path(self, type_name: str, chunk: Chunk) -> Path:
        return self.path_at(type_name, chunk.archive, chunk.start)

    def path_at(self, type_name: str, archive: int, start: int) -> Path:
        """The part of the chunk at byte `start` of archive number `archive`."""
        stem = f"part-{archive:0{self.archive_digits}d}-{start:0{self.offset_digits}d}"
        if self.format == "csv":
            return Path(self.staging) / type_name / f"{stem}.csv"
        suffix = f".{self.format}"
        return Path(self.directory) / (type_name + suffix) / (stem + suffix)


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
    the field, Python ints if the field's values pass int64), so that
    grouping sorts them by radix.
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
    if key["bits"] == 64 and np.ma.max(column) >= 1 << 63:
        # Keys past int64 stay exact as Python ints beside the -1s.
        return np.ma.filled(column.astype(object), -1)
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


FEW_KEYS = 16  # up to this many distinct keys, one pass per key beats a sort


def group_indices(keys, expected: Iterable[int] = ()) -> dict[int, Any]:
    """For each key value, the indices of its packets, ascending (keys in order).

    The `expected` keys (the defined types') are found by one comparison
    pass each; only when packets are left over are the other keys counted
    or sorted, among those packets alone.
    """
    import numpy as np

    if len(keys) == 0:
        return {}
    groups: dict[int, Any] = {}
    if keys.dtype.kind in "ui" and expected:
        limits = np.iinfo(keys.dtype)
        for key in sorted({int(k) for k in expected if limits.min <= k <= limits.max}):
            index = np.flatnonzero(keys == key)
            if len(index):
                groups[key] = index
        found = sum(map(len, groups.values()))
        if found == len(keys):
            return groups
        if found:
            rest = np.flatnonzero(~np.isin(keys, list(groups)))
            others = _grouped(keys[rest])
            groups.update({k: rest[index] for k, index in others.items()})
            return dict(sorted(groups.items()))
    return _grouped(keys)


def _grouped(keys) -> dict[int, Any]:
    """group_indices without expected keys: every key counted, or sorted."""
    import numpy as np

    if len(keys) == 0:
        return {}
    if keys.dtype.kind == "u" and keys.dtype.itemsize <= 2:
        # Counted at once: archives hold a few packet types, found by one
        # comparison pass each.
        present = np.flatnonzero(np.bincount(keys))
        if len(present) <= FEW_KEYS:
            return {int(k): np.flatnonzero(keys == k) for k in present.tolist()}
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


def run_chunk(job: Job, chunk: Chunk, framed: Framing) -> ChunkResult:
    """Frame one chunk, split it by packet type and decode each type.

    `framed` is the chunk's framing (`plan`, `span_chunks`).
    """
    import numpy as np

    result = ChunkResult(chunk)
    definitions = job.definitions
    result.skipped = in_stream(framed.skipped, chunk.start)
    result.packets = len(framed.offsets)
    view = chunk_view(chunk, framed)
    keyed = [p for p in definitions.packets if p.keys is not None]
    known = {k for p in keyed for k in p.keys}
    groups = group_indices(packet_keys(view, definitions, framed), known) if keyed else {}
    if len(keyed) == len(definitions.packets):
        # No type takes every packet: count the keys no type claims.
        unknown = {k: index for k, index in groups.items() if k not in known}
        result.unknown_keys = Counter({k: len(index) for k, index in unknown.items()})
        result.defined_bytes = int(framed.lengths.sum()) - sum(
            int(framed.lengths[index].sum()) for index in unknown.values()
        )
    else:
        result.defined_bytes = int(framed.lengths.sum())
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
        _count_check_failures(result, packet.name, table, job.output)
        if job.parts is None:
            result.tables[packet.name] = table
        elif len(offsets):
            write_part(job.parts.path(packet.name, chunk), table, job.parts.options)
    return result


def _count_check_failures(result: ChunkResult, name: str, table, output: str) -> None:
    """Packets that failed a check field: counted apart from the values that
    failed to decode (a failed check masks every field of its packet)."""
    import numpy as np

    names = table.column_names if output == "arrow" else list(table)
    if "check_failed" not in names:
        return
    column = table.column("check_failed") if output == "arrow" else table["check_failed"]
    flags = np.asarray(column.to_numpy(zero_copy_only=False) if output == "arrow" else column)
    failures = int(flags.sum())
    result.check_failures[name] = failures
    result.failed_values[name] -= failures * (len(names) - 1)


def chunk_view(chunk: Chunk, framed: Framing) -> memoryview:
    """The bytes of a chunk, as its framing read them (or read now)."""
    if framed.data is not None:
        return framed.data
    return memoryview(read_range(chunk.path, chunk.start, chunk.stop))


def _failed(column) -> int:
    """How many values of a numpy column (masked, or ragged) failed to decode."""
    import numpy as np

    if isinstance(column, np.ma.MaskedArray):
        return int(np.ma.count_masked(column))
    mask = getattr(column, "mask", None)  # a ragged column: one flag per packet
    return int(mask.sum()) if mask is not None else 0
