"""`vantrel decode`: one table per packet type, in Parquet or CSV."""

from __future__ import annotations

import csv
import sys
from collections import Counter
from concurrent.futures import Future, ThreadPoolExecutor
from pathlib import Path
from typing import Any

from . import definitions as definitions_module
from .common import check_inputs, output_dir
from .engine import DEFAULT_CHUNK_BYTES, Job, chunks
from .extras import need
from .running import Progress, run

EXIT_DAMAGE = 3


class ParquetTables:
    """One Parquet file per packet type, one row group per chunk.

    Each type's file is written by a thread of its own (pyarrow encodes
    without the GIL), so the types are encoded side by side and the next
    chunk is decoded meanwhile; at most two chunks per type wait.
    """

    suffix = ".parquet"

    def __init__(self, directory: Path):
        self.parquet = need("pyarrow.parquet", "cli", "Parquet output")
        self.directory = directory
        self.writers: dict[str, Any] = {}
        self.threads: dict[str, ThreadPoolExecutor] = {}
        self.pending: dict[str, list[Future]] = {}

    def write(self, name: str, table: Any) -> None:
        if name not in self.threads:
            self.threads[name] = ThreadPoolExecutor(1, thread_name_prefix=f"parquet-{name}")
            self.pending[name] = []
        pending = self.pending[name]
        pending.append(self.threads[name].submit(self._write, name, table))
        while len(pending) > 2:
            pending.pop(0).result()

    def _write(self, name: str, table: Any) -> None:
        writer = self.writers.get(name)
        if writer is None:
            # Dictionaries pay off for text (labels, modes), rarely for numbers.
            text = [f.name for f in table.schema if str(f.type) in ("string", "large_string")]
            writer = self.parquet.ParquetWriter(
                self.directory / f"{name}.parquet", table.schema, use_dictionary=text
            )
            self.writers[name] = writer
        writer.write_table(table)

    def close(self) -> None:
        try:
            for pending in self.pending.values():
                for future in pending:
                    future.result()
        finally:
            for thread in self.threads.values():
                thread.shutdown(wait=True)
            for writer in self.writers.values():
                writer.close()
            self.threads.clear()
            self.pending.clear()
            self.writers.clear()


class CsvTables:
    """One CSV file per packet type, written with the standard library."""

    suffix = ".csv"

    def __init__(self, directory: Path):
        self.directory = directory
        self.files: dict[str, Any] = {}

    def write(self, name: str, columns: dict[str, Any]) -> None:
        entry = self.files.get(name)
        if entry is None:
            file = open(self.directory / f"{name}.csv", "w", newline="", encoding="utf-8")
            writer = csv.writer(file)
            writer.writerow(columns)
            entry = self.files[name] = (file, writer)
        rows = zip(*(_csv_values(column) for column in columns.values()))
        entry[1].writerows(rows)

    def close(self) -> None:
        for file, _ in self.files.values():
            file.close()


def _csv_values(column: Any) -> list[Any]:
    # Masked entries (values that failed to decode) become empty cells; an
    # array field's row is one cell holding its values as a list.
    import numpy as np

    if isinstance(column, np.ma.MaskedArray):
        if column.ndim > 1:
            rows = column.filled(0).tolist()
            return [None if m else r for r, m in zip(rows, np.ma.getmaskarray(column).any(1))]
        return column.astype(object).filled(None).tolist()
    if hasattr(column, "to_list"):  # a ragged column: one array (or None) per packet
        return [None if row is None else row.tolist() for row in column.to_list()]
    return column.tolist()


def decode_command(args) -> int:
    check_inputs([args.definitions, *args.archives])
    definitions = definitions_module.load(args.definitions)
    directory = output_dir(args.output)
    tables = ParquetTables(directory) if args.format == "parquet" else CsvTables(directory)
    job = Job(definitions, output="arrow" if args.format == "parquet" else "numpy")
    work = [
        c
        for path in args.archives
        for c in chunks(path, definitions, args.chunk_size or DEFAULT_CHUNK_BYTES)
    ]
    total = sum(c.stop - c.start for c in work)
    progress = Progress(total, "decode", enabled=not args.quiet)
    packets = Counter()
    failed = Counter()
    unknown = Counter()
    skipped = []
    total_packets = 0
    try:
        for result in run(job, work, progress, args.workers, args.scheduler):
            total_packets += result.packets
            skipped += [(result.chunk.path, *s) for s in result.skipped]
            unknown.update(result.unknown_keys)
            failed.update(result.failed_values)
            for name, table in result.tables.items():
                count = table.num_rows if args.format == "parquet" else _rows(table)
                packets[name] += count
                if count:
                    tables.write(name, table)
        # A type with no packets still gets its (empty) table.
        for packet in definitions.packets:
            if packets[packet.name] == 0:
                _write_empty(tables, packet, args.format)
    finally:
        tables.close()
        progress.close()
    damaged = bool(skipped or unknown or sum(failed.values()))
    if not args.quiet:
        _summary(definitions, tables, packets, failed, unknown, skipped, total_packets, total)
    return EXIT_DAMAGE if args.strict and damaged else 0


def _rows(columns: dict[str, Any]) -> int:
    return len(next(iter(columns.values()))) if columns else 0


def _write_empty(tables, packet, output_format: str) -> None:
    if output_format == "parquet":
        import pyarrow

        columns = packet.layout.unpack_many(b"", offsets=[], output="arrow")
        tables.write(packet.name, pyarrow.table(columns))
    else:
        tables.write(packet.name, packet.layout.unpack_many(b"", offsets=[]))


def _summary(definitions, tables, packets, failed, unknown, skipped, total_packets, total):
    out = sys.stdout
    print(f"{total_packets:,} packets, {total:,} bytes", file=out)
    for packet in definitions.packets:
        path = tables.directory / f"{packet.name}{tables.suffix}"
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
