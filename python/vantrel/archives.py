"""Whole archives of packets into tables, from Python: what `vantrel decode` does.

```python sketch
import vantrel.archives
import vantrel.definitions

types = vantrel.definitions.load("day.toml")          # packet types and their Layouts
tables = vantrel.archives.decode(types, ["day.bin"])  # {"housekeeping": pyarrow.Table, ...}
frames = vantrel.archives.decode("day.toml", ["day.bin"], output="pandas")
summary = vantrel.archives.decode_to_files("day.toml", ["day.bin"], "tables/")
summary.rows["housekeeping"], summary.locations["housekeeping"]
```

Both frame every archive (repairing damage with the definitions' rules),
split the packets by type and decode each type with its layout, chunk by
chunk; `decode` keeps the tables in memory, `decode_to_files` writes one
Parquet, Arrow IPC or CSV table per type with the command's file rules
(nothing outside the folder, nothing replaced without `overwrite=True`,
complete tables or none). Values that fail to decode are nulls; damage is
counted in the summary, not raised. Needs the `cli` extra (numpy, pyarrow).
"""

from __future__ import annotations

import os
from collections import Counter
from dataclasses import dataclass, field
from pathlib import Path
from typing import Any

from .command import definitions as definitions_module
from .command.common import CommandError, check_inputs
from .command.coverage import Coverage, describe
from .command.engine import DEFAULT_CHUNK_BYTES, Job, Parts
from .command.outputs import OutputFolder
from .command.running import Progress, run
from .command.tables import (
    WriteOptions,
    output_names,
    table_writer,
)

__all__ = ["DecodeSummary", "decode", "decode_to_files", "CommandError"]

OUTPUTS = ("arrow", "pandas")


@dataclass
class DecodeSummary:
    """What a decode found: packets and rows per type, and the damage.

    `skipped` lists the byte ranges that framed as no packet, as (archive,
    start, stop, reason, detail); `unknown_keys` counts packets whose type
    field no packet type claims, by value; `failed` counts the values that
    failed to decode (nulls), by type; `check_failures` the packets that
    failed a check field (every field null), by type; `locations` is where
    each type's table was written (decode_to_files only).
    """

    packets: int = 0
    bytes: int = 0
    rows: Counter = field(default_factory=Counter)
    failed: Counter = field(default_factory=Counter)
    check_failures: Counter = field(default_factory=Counter)
    unknown_keys: Counter = field(default_factory=Counter)
    skipped: list[tuple[str, int, int, str, str]] = field(default_factory=list)
    locations: dict[str, Path] = field(default_factory=dict)
    seconds: float = 0.0  # the whole decode's wall-clock time

    @property
    def damaged(self) -> bool:
        """Whether any byte was skipped, any value or check failed or any packet had no type."""
        return bool(
            self.skipped
            or self.unknown_keys
            or sum(self.failed.values())
            or sum(self.check_failures.values())
        )

    def add(self, result) -> None:
        self.packets += result.packets
        self.skipped += [(result.chunk.path, *s) for s in result.skipped]
        self.unknown_keys.update(result.unknown_keys)
        self.failed.update(result.failed_values)
        self.check_failures.update(result.check_failures)
        self.rows.update(result.rows)


def _definitions(definitions) -> definitions_module.Definitions:
    if isinstance(definitions, definitions_module.Definitions):
        return definitions
    check_inputs([str(definitions)])
    return definitions_module.load(definitions)


def _archives(archives) -> list[str]:
    single = isinstance(archives, (str, os.PathLike))
    paths = [str(archives)] if single else [str(p) for p in archives]
    if not paths:
        raise CommandError("no archive to decode")
    check_inputs(paths)
    return paths


def decode(
    definitions,
    archives,
    *,
    output: str = "arrow",
    types: list[str] | None = None,
    chunk_size: int = DEFAULT_CHUNK_BYTES,
    progress: bool = False,
) -> dict[str, Any]:
    """The packets of each type as one table, in memory, in stream order.

    `definitions` is a definitions file's path or `vantrel.definitions.load`'s
    result; `archives` one path or several, decoded in order. `output` is
    "arrow" (pyarrow Tables, one column per field as
    `Layout.unpack_many(errors="mask", output="arrow")` gives it) or "pandas"
    (DataFrames); `types` limits the decode to those packet types.
    """
    if output not in OUTPUTS:
        raise ValueError(f"output must be one of {', '.join(OUTPUTS)}, not {output!r}")
    definitions = _definitions(definitions)
    paths = _archives(archives)
    wanted = tuple(types) if types is not None else tuple(p.name for p in definitions.packets)
    for name in wanted:
        definitions.packet_type(name)  # KeyError for a type the definitions lack
    job = Job(definitions, output="arrow", types=wanted)
    pieces: dict[str, list[Any]] = {name: [] for name in wanted}
    total = sum(os.path.getsize(p) for p in paths)
    bar = Progress(total, "decode", enabled=progress)
    try:
        for result in run(job, paths, chunk_size, bar):
            for name, table in result.tables.items():
                pieces[name].append(table)
    finally:
        bar.close()
    return {
        name: _joined(definitions.packet_type(name), parts, output)
        for name, parts in pieces.items()
    }


def _joined(packet, parts: list[Any], output: str) -> Any:
    import pyarrow

    from .command.tables import empty_table

    table = pyarrow.concat_tables(parts) if parts else empty_table(packet, WriteOptions())
    return table.to_pandas() if output == "pandas" else table


def decode_to_files(
    definitions,
    archives,
    directory,
    *,
    format: str = "parquet",
    overwrite: bool = False,
    compression: str | None = None,
    row_group_rows: int | None = None,
    workers: int | None = None,
    scheduler: str | None = None,
    chunk_size: int = DEFAULT_CHUNK_BYTES,
    progress: bool = False,
) -> DecodeSummary:
    """Write one table per packet type to `directory`: `<type>.parquet`,
    `<type>.arrow` or `<type>.csv` (on dask, Parquet and Arrow tables are
    folders of part files). Raises CommandError, before writing anything,
    for outputs that exist (unless `overwrite`), links and inputs that are
    outputs; a run that fails leaves no table of its own behind. So does
    an archive of which less than half the bytes are packets of a defined
    type (random bytes, an empty file, another mission's archive): a
    CommandError says how much, and nothing is written.
    """
    options = WriteOptions(format, compression, row_group_rows).check()
    definitions = _definitions(definitions)
    paths = _archives(archives)
    inputs = [*paths] + ([definitions.source] if os.path.isfile(definitions.source) else [])
    with OutputFolder(directory, overwrite=overwrite) as out:
        out.claim(output_names(definitions, format), inputs=inputs)
        summary = _write(definitions, paths, out, options, workers, scheduler, chunk_size, progress)
        out.commit()
    return summary


def _write(definitions, paths, out, options, workers, scheduler, chunk_size, progress):
    job = Job(definitions, output=options.columns)
    if workers or scheduler:
        # The workers write the tables into the staging folder: absolute
        # paths, which a remote cluster must see as this machine does.
        staging = out.stage()
        parts = Parts(
            directory=str(staging),
            options=options,
            archive_digits=len(str(len(paths) - 1)),
            offset_digits=len(str(max(os.path.getsize(p) for p in paths))),
            staging="" if options.format != "csv" else str(staging / ".csv-parts"),
        )
        job = Job(definitions, output=job.output, parts=parts)
    tables = table_writer(out, definitions, options, job.parts)
    summary = DecodeSummary(bytes=sum(os.path.getsize(p) for p in paths))
    coverage = Coverage(paths, describe(definitions))
    bar = Progress(summary.bytes, "decode", enabled=progress)
    try:
        for result in run(job, paths, chunk_size, bar, workers, scheduler):
            summary.add(result)
            coverage.add_result(result)
            tables.take(result)
        # A type with no packets still gets its (empty) table.
        for packet in definitions.packets:
            if summary.rows[packet.name] == 0:
                tables.finish(packet)
    finally:
        tables.close()
        bar.close()
    summary.seconds = bar.elapsed
    # An archive of garbage (or of other definitions) makes no tables.
    coverage.check(nothing_written=True)
    summary.locations = {p.name: tables.location(p.name) for p in definitions.packets}
    return summary
