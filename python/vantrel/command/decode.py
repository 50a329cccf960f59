"""`vantrel decode`: one table per packet type, in Parquet, Arrow IPC or CSV.

The work is `vantrel.archives.decode_to_files`; this prints its summary.
"""

from __future__ import annotations

import sys

from ..archives import DecodeSummary, decode_to_files
from . import definitions as definitions_module
from .common import EXIT_DAMAGE, check_inputs, duration, plural
from .engine import DEFAULT_CHUNK_BYTES
from .learning import learned_definitions
from .tables import WriteOptions


def decode_command(args) -> int:
    check_inputs([args.definitions, *args.archives])
    # A wrong option is told before the definitions are read.
    WriteOptions(args.format, args.compression, args.row_group_size).check()
    definitions = definitions_module.load(args.definitions, keep_raw=args.raw)
    definitions, _ = learned_definitions(definitions, args.archives)
    for note in () if args.quiet else definitions.notes:
        print(f"vantrel: note: {note}", file=sys.stderr)
    summary = decode_to_files(
        definitions,
        args.archives,
        args.output,
        format=args.format,
        overwrite=args.overwrite,
        compression=args.compression,
        row_group_rows=args.row_group_size,
        workers=args.workers,
        scheduler=args.scheduler,
        chunk_size=args.chunk_size or DEFAULT_CHUNK_BYTES,
        progress=not args.quiet,
    )
    if not args.quiet:
        _summary(definitions, summary)
        _check_summary(summary.check_failures)
    return EXIT_DAMAGE if args.strict and summary.damaged else 0


def _summary(definitions, summary: DecodeSummary) -> None:
    out = sys.stdout
    rate = summary.bytes / (1 << 20) / max(summary.seconds, 1e-9)
    print(
        f"{plural(summary.packets, 'packet')}, {plural(summary.bytes, 'byte')} "
        f"in {duration(summary.seconds)} ({rate:,.1f} MiB/s)",
        file=out,
    )
    failed, unknown, skipped = summary.failed, summary.unknown_keys, summary.skipped
    for packet in definitions.packets:
        path = summary.locations[packet.name]
        note = f", {failed[packet.name]:,} values failed to decode" if failed[packet.name] else ""
        rows = summary.rows[packet.name]
        print(f"  {packet.name}: {plural(rows, 'packet')} -> {path}{note}", file=out)
    if unknown:
        keys = ", ".join(f"{k} ({n:,})" for k, n in sorted(unknown.items()))
        print(f"vantrel: packets of no defined type, by key: {keys}", file=sys.stderr)
    if skipped:
        nbytes = sum(stop - start for _, start, stop, _, _ in skipped)
        print(
            f"vantrel: {len(skipped)} damaged range(s), {nbytes:,} bytes in no packet "
            "(vantrel inspect lists them)",
            file=sys.stderr,
        )


def _check_summary(checks) -> None:
    """Packets whose check field failed: masked (nulls) in their tables."""
    if sum(checks.values()):
        per_type = ", ".join(f"{name} {n:,}" for name, n in checks.items() if n)
        print(
            f"vantrel: packets failing their check (every field null, check_failed true): "
            f"{per_type}",
            file=sys.stderr,
        )
