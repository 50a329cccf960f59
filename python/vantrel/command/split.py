"""`vantrel split`: the packets of each APID (or key) in a file of their own."""

from __future__ import annotations

import os
import sys

from . import definitions as definitions_module
from .common import check_inputs, output_dir
from .engine import DEFAULT_CHUNK_BYTES, group_offsets, mapped, plan
from .running import Progress


def split_command(args) -> int:
    import numpy as np

    check_inputs([args.archive] + ([args.definitions] if args.definitions else []))
    definitions = definitions_module.load_or_ccsds(args.definitions)
    directory = output_dir(args.output)
    work = plan([args.archive], definitions, args.chunk_size or DEFAULT_CHUNK_BYTES)
    progress = Progress(os.path.getsize(args.archive), "split", enabled=not args.quiet)
    files = {}
    counts: dict[int, int] = {}
    skipped = 0
    try:
        for chunk, framed in work:
            skipped += sum(s.stop - s.start for s in framed.skipped)
            with mapped(chunk.path, chunk.start, chunk.stop) as view:
                groups = group_offsets(view, definitions, framed)
                data = np.frombuffer(view, np.uint8)
                for key, offsets in groups.items():
                    index = np.searchsorted(framed.offsets, offsets)
                    # Mark every byte of the group's packets: +1 where a packet
                    # starts, -1 where it ends (packets never overlap).
                    edges = np.zeros(len(data) + 1, np.int8)
                    edges[offsets] = 1
                    edges[offsets + framed.lengths[index]] -= 1
                    selected = np.cumsum(edges[:-1], dtype=np.int8).view(bool)
                    file = files.get(key)
                    if file is None:
                        file = files[key] = open(directory / f"apid_{key:04d}.bin", "wb")
                    file.write(data[selected].tobytes())
                    counts[key] = counts.get(key, 0) + len(offsets)
                del data
            progress.update(chunk.stop - chunk.start, len(framed.offsets))
    finally:
        for file in files.values():
            file.close()
        progress.close()
    if not args.quiet:
        for key in sorted(counts):
            print(f"  {key}: {counts[key]:,} packets -> {directory / f'apid_{key:04d}.bin'}")
        if skipped:
            print(
                f"vantrel: {skipped:,} bytes in no packet were left out "
                "(vantrel inspect lists them)",
                file=sys.stderr,
            )
    return 0
