"""`vantrel decode`: one table per packet type, in Parquet or CSV."""

from __future__ import annotations

import os
import sys
from collections import Counter

from . import definitions as definitions_module
from .common import check_inputs
from .engine import DEFAULT_CHUNK_BYTES, Job, Parts, plan
from .learning import learned_definitions
from .outputs import OutputFolder
from .running import Progress, run
from .tables import ColumnarFiles, CsvFiles, DatasetParts, WriteOptions, output_names

EXIT_DAMAGE = 3


def decode_command(args) -> int:
    check_inputs([args.definitions, *args.archives])
    write_options(args)  # a wrong option is told before the definitions are read
    definitions = definitions_module.load(args.definitions)
    definitions, _ = learned_definitions(definitions, args.archives)
    with OutputFolder(args.output, overwrite=args.overwrite) as out:
        out.claim(output_names(definitions, args.format), inputs=[args.definitions, *args.archives])
        return _decode(args, definitions, out)


def write_options(args) -> WriteOptions:
    compression = getattr(args, "compression", None)
    rows = getattr(args, "row_group_size", None)
    return WriteOptions(args.format, compression, rows).check()


def _decode(args, definitions, out: OutputFolder) -> int:
    options = write_options(args)
    job = Job(definitions, output=options.columns)
    if args.workers or args.scheduler:
        # The workers write the tables into the staging folder: absolute
        # paths, which a remote cluster must see as this machine does.
        staging = out.stage()
        parts = Parts(
            directory=str(staging),
            options=options,
            archive_digits=len(str(len(args.archives) - 1)),
            offset_digits=len(str(max(os.path.getsize(p) for p in args.archives))),
            staging="" if options.format != "csv" else str(staging / ".csv-parts"),
        )
        job = Job(definitions, output=job.output, parts=parts)
        tables = (
            CsvFiles(out, definitions, parts)
            if options.format == "csv"
            else DatasetParts(out, definitions, parts)
        )
    elif options.format == "csv":
        tables = CsvFiles(out, definitions)
    else:
        tables = ColumnarFiles(out, definitions, options)
    work = plan(args.archives, definitions, args.chunk_size or DEFAULT_CHUNK_BYTES)
    total = sum(os.path.getsize(path) for path in args.archives)
    progress = Progress(total, "decode", enabled=not args.quiet)
    packets = Counter()
    failed = Counter()
    checks = Counter()
    unknown = Counter()
    skipped = []
    total_packets = 0
    try:
        for result in run(job, work, progress, args.workers, args.scheduler):
            total_packets += result.packets
            skipped += [(result.chunk.path, *s) for s in result.skipped]
            unknown.update(result.unknown_keys)
            failed.update(result.failed_values)
            checks.update(result.check_failures)
            packets.update(result.rows)
            tables.take(result)
        # A type with no packets still gets its (empty) table.
        for packet in definitions.packets:
            if packets[packet.name] == 0:
                tables.finish(packet)
    finally:
        tables.close()
        progress.close()
    out.commit()
    damaged = bool(skipped or unknown or sum(failed.values()) or sum(checks.values()))
    if not args.quiet:
        _summary(definitions, tables, packets, failed, unknown, skipped, total_packets, total)
        _check_summary(checks)
    return EXIT_DAMAGE if args.strict and damaged else 0


def _summary(definitions, tables, packets, failed, unknown, skipped, total_packets, total):
    out = sys.stdout
    print(f"{total_packets:,} packets, {total:,} bytes", file=out)
    for packet in definitions.packets:
        path = tables.location(packet.name)
        note = f", {failed[packet.name]:,} values failed to decode" if failed[packet.name] else ""
        print(f"  {packet.name}: {packets[packet.name]:,} packets -> {path}{note}", file=out)
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


def _check_summary(checks: Counter) -> None:
    """Packets whose check field failed: masked (nulls) in their tables."""
    if sum(checks.values()):
        per_type = ", ".join(f"{name} {n:,}" for name, n in checks.items() if n)
        print(
            f"vantrel: packets failing their check (every field null, check_failed true): "
            f"{per_type}",
            file=sys.stderr,
        )
