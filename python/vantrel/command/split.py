"""`vantrel split`: the packets of each APID (or key) in a file of their own."""

from __future__ import annotations

import os
import re
import sys
from collections import OrderedDict

from . import definitions as definitions_module
from .common import EXIT_DAMAGE, check_inputs
from .coverage import Coverage
from .engine import DEFAULT_CHUNK_BYTES, chunk_view, packet_keys, plan
from .learning import learned_definitions
from .outputs import OutputFolder
from .running import Progress

SPLIT_NAME = re.compile(r"apid_\d{4,}\.bin")
# Files kept open at once; the others are closed and reopened to append.
OPEN_FILES = 64
# Bytes gathered per step when a key's packets are not one run of bytes.
GATHER_BYTES = 1 << 20


def split_name(key: int) -> str:
    return f"apid_{key:04d}.bin"


class AppendFiles:
    """Files appended to, at most `limit` of them open at a time."""

    def __init__(self, limit: int | None = None):
        self.limit = OPEN_FILES if limit is None else limit
        self.open: OrderedDict[str, object] = OrderedDict()
        self.started: set[str] = set()

    def write(self, path, data) -> None:
        file = self.open.pop(path, None)
        if file is None:
            if len(self.open) >= self.limit:
                self.open.popitem(last=False)[1].close()
            file = open(path, "ab" if path in self.started else "xb")
            self.started.add(path)
        self.open[path] = file
        file.write(data)

    def close(self) -> None:
        while self.open:
            self.open.popitem()[1].close()


def key_runs(keys, offsets, lengths):
    """For each key, in ascending order, the byte runs [start, stop) of its packets.

    One sort per chunk: packets of one key keep their stream order, and
    packets that follow each other in the stream make one run.
    """
    import numpy as np

    if len(keys) == 0:  # a chunk of damage
        return
    order = np.argsort(keys, kind="stable")
    keys, starts = keys[order], offsets[order]
    stops = starts + lengths[order]
    # A new run where the key changes or a packet does not start where the last one ended.
    new = np.ones(len(keys), bool)
    new[1:] = (keys[1:] != keys[:-1]) | (starts[1:] != stops[:-1])
    first = np.flatnonzero(new)
    last = np.append(first[1:], len(keys)) - 1
    run_keys, run_starts, run_stops = keys[first], starts[first], stops[last]
    bounds = np.flatnonzero(run_keys[1:] != run_keys[:-1]) + 1
    for a, b in zip(np.append(0, bounds).tolist(), np.append(bounds, len(run_keys)).tolist()):
        yield int(run_keys[a]), run_starts[a:b], run_stops[a:b]


def gathered(data, starts, stops):
    """The bytes of runs, joined, in pieces of about GATHER_BYTES."""
    import numpy as np

    if len(starts) == 1:
        yield data[int(starts[0]) : int(stops[0])]
        return
    sizes = stops - starts
    ends = np.cumsum(sizes)
    first = 0
    while first < len(starts):
        # Runs whose bytes end within the next GATHER_BYTES (at least one run).
        base = int(ends[first - 1]) if first else 0
        last = max(first + 1, int(np.searchsorted(ends, base + GATHER_BYTES, "right")))
        piece_sizes = sizes[first:last]
        shift = np.repeat(starts[first:last] - (ends[first:last] - piece_sizes - base), piece_sizes)
        yield data[np.arange(int(piece_sizes.sum())) + shift]
        first = last


def split_command(args) -> int:
    import numpy as np

    check_inputs([args.archive] + ([args.definitions] if args.definitions else []))
    definitions = definitions_module.load_or_ccsds(args.definitions)
    definitions, _ = learned_definitions(definitions, [args.archive])
    with OutputFolder(args.output, overwrite=args.overwrite) as out:
        # The keys are found as the archive is read: every file of the split's
        # form already there may be replaced, and an input among them is refused.
        existing = sorted(n for n in os.listdir(out.root) if SPLIT_NAME.fullmatch(n))
        out.claim(
            existing, inputs=[args.archive] + ([args.definitions] if args.definitions else [])
        )
        work = plan([args.archive], definitions, args.chunk_size or DEFAULT_CHUNK_BYTES)
        progress = Progress(os.path.getsize(args.archive), "split", enabled=not args.quiet)
        files = AppendFiles()
        counts: dict[int, int] = {}
        skipped = 0
        # Every packet that holds a type field is split, of a defined type or not.
        coverage = Coverage([args.archive])
        try:
            for chunk, framed in work:
                skipped_here = sum(s.stop - s.start for s in framed.skipped)
                skipped += skipped_here
                view = chunk_view(chunk, framed)
                keys = np.asarray(packet_keys(view, definitions, framed))
                placed = keys >= 0
                coverage.add(args.archive, int(framed.lengths[placed].sum()), skipped_here)
                data = np.frombuffer(view, np.uint8)
                found, how_many = np.unique(keys[placed], return_counts=True)
                for key, n in zip(found.tolist(), how_many.tolist()):
                    counts[key] = counts.get(key, 0) + n
                for key, starts, stops in key_runs(
                    keys[placed], framed.offsets[placed], framed.lengths[placed]
                ):
                    name = split_name(key)
                    if name not in out.claimed:
                        out.claim([name], inputs=[args.archive])
                    path = out.staging_path(name)
                    for piece in gathered(data, starts, stops):
                        files.write(path, piece)
                progress.update(chunk.stop - chunk.start, len(framed.offsets))
        finally:
            files.close()
            progress.close()
        coverage.check(nothing_written=True)
        out.commit()
    if not args.quiet:
        for key in sorted(counts):
            print(f"  {key}: {counts[key]:,} packets -> {out.shown(split_name(key))}")
        if skipped:
            print(
                f"vantrel: {skipped:,} bytes in no packet were left out "
                "(vantrel inspect lists them)",
                file=sys.stderr,
            )
    return EXIT_DAMAGE if args.strict and skipped else 0
