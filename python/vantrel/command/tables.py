"""The tables `vantrel decode` writes: Parquet, Arrow IPC or CSV, whole or in parts.

In one process each packet type gets one file, written chunk after chunk.
On dask, every worker writes the tables of its own chunks as part files, so
only small summaries travel back: Parquet and Arrow parts make a dataset
folder per type (`<type>.parquet/part-*.parquet`, `<type>.arrow/part-*.arrow`,
read back as one table in stream order by pyarrow, pandas, polars or dask),
and CSV parts are joined, in order, into the same `<type>.csv` one process
writes.
"""

from __future__ import annotations

import csv
import os
import shutil
from concurrent.futures import Future, ThreadPoolExecutor
from dataclasses import dataclass
from pathlib import Path
from typing import Any

from .common import CommandError
from .extras import need
from .outputs import OutputFolder

# Codecs each columnar format can write; None is the format's default.
COMPRESSIONS = {
    "parquet": ("none", "snappy", "gzip", "brotli", "lz4", "zstd"),
    "arrow": ("none", "lz4", "zstd"),
}
COLUMNAR = tuple(COMPRESSIONS)
FORMAT_NAMES = {"parquet": "Parquet output", "arrow": "Arrow IPC output"}


@dataclass(frozen=True)
class WriteOptions:
    """How the columnar tables are written; travels to dask workers with the parts."""

    format: str = "parquet"  # "parquet", "arrow" or "csv"
    compression: str | None = None  # None: the format's default (Parquet snappy, Arrow none)
    row_group_rows: int | None = None  # None: one row group (record batch) per chunk

    def check(self) -> WriteOptions:
        if self.compression is not None and self.format in COMPRESSIONS:
            if self.compression not in COMPRESSIONS[self.format]:
                known = ", ".join(COMPRESSIONS[self.format])
                raise CommandError(
                    f"--compression {self.compression!r} is not one of {self.format}'s: {known}"
                )
        elif self.compression is not None:
            raise CommandError(f"--compression applies to parquet and arrow, not {self.format}")
        if self.row_group_rows is not None and self.format not in COLUMNAR:
            raise CommandError(f"--row-group-size applies to parquet and arrow, not {self.format}")
        return self

    @property
    def columns(self) -> str:
        """What the decode hands the writer: pyarrow tables, or numpy columns for CSV."""
        return "arrow" if self.format in COLUMNAR else "numpy"


def parquet_options(schema) -> dict[str, Any]:
    """How every Parquet table of the command is written.

    Dictionaries pay off for text (labels, modes), rarely for numbers; the
    statistics of list values (one min and max over every sample of a row
    group) cost more to gather than a reader gains from them.
    """
    import pyarrow.types as kinds

    def is_list(kind) -> bool:
        return kinds.is_list(kind) or kinds.is_large_list(kind) or kinds.is_fixed_size_list(kind)

    return {
        "use_dictionary": [
            f.name for f in schema if kinds.is_string(f.type) or kinds.is_large_string(f.type)
        ],
        "write_statistics": [f.name for f in schema if not is_list(f.type)],
    }


class ColumnarWriter:
    """One Parquet or Arrow IPC file, written table after table."""

    def __init__(self, path: Path, schema, options: WriteOptions):
        self.options = options
        compression = options.compression
        if options.format == "parquet":
            import pyarrow.parquet

            self.writer = pyarrow.parquet.ParquetWriter(
                path,
                schema,
                compression=compression or "snappy",
                **parquet_options(schema),
            )
        else:
            import pyarrow.ipc

            ipc = pyarrow.ipc.IpcWriteOptions(
                compression=None if compression in (None, "none") else compression
            )
            self.writer = pyarrow.ipc.new_file(str(path), schema, options=ipc)

    def write(self, table) -> None:
        rows = self.options.row_group_rows
        if self.options.format == "parquet":
            self.writer.write_table(table, row_group_size=rows)
        else:
            self.writer.write_table(table, max_chunksize=rows)

    def close(self) -> None:
        self.writer.close()


def write_part(path: Path, table: Any, options: WriteOptions) -> None:
    """One chunk's table of one type, as a part file of its own."""
    if options.format in COLUMNAR:
        writer = ColumnarWriter(path, table.schema, options)
        try:
            writer.write(table)
        finally:
            writer.close()
        return
    with open(path, "w", newline="", encoding="utf-8") as file:
        write_rows(file, table)


def write_rows(file, columns: dict[str, Any]) -> None:
    """The rows of numpy columns as CSV lines, without a header."""
    rows = zip(*(_csv_values(column) for column in columns.values()))
    csv.writer(file).writerows(rows)


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


def empty_table(packet, options: WriteOptions) -> Any:
    """A packet type's table without rows: its columns and their types."""
    return decode_table(packet, b"", [], [], options.columns)


def output_names(definitions, output_format: str) -> list[str]:
    """The name of every table a decode writes in the output folder."""
    return [f"{packet.name}.{output_format}" for packet in definitions.packets]


class ColumnarFiles:
    """One Parquet or Arrow IPC file per packet type, a row group per chunk.

    Each type's file is written by a thread of its own (pyarrow encodes
    without the GIL), so the types are encoded side by side and the next
    chunk is decoded meanwhile; at most two chunks per type wait. Files are
    written in the output folder's staging folder, and named by its commit.
    """

    def __init__(self, out: OutputFolder, definitions, options: WriteOptions):
        need("pyarrow.parquet", "cli", FORMAT_NAMES[options.format])
        self.out = out
        self.options = options
        self.suffix = f".{options.format}"
        self.writers: dict[str, Any] = {}
        self.threads: dict[str, ThreadPoolExecutor] = {}
        self.pending: dict[str, list[Future]] = {}

    def location(self, name: str) -> Path:
        return self.out.shown(name + self.suffix)

    def take(self, result) -> None:
        for name, table in result.tables.items():
            if table.num_rows:
                self.write(name, table)

    def write(self, name: str, table: Any) -> None:
        if name not in self.threads:
            self.threads[name] = ThreadPoolExecutor(1, thread_name_prefix=f"writer-{name}")
            self.pending[name] = []
        pending = self.pending[name]
        pending.append(self.threads[name].submit(self._write, name, table))
        while len(pending) > 2:
            pending.pop(0).result()

    def _write(self, name: str, table: Any) -> None:
        writer = self.writers.get(name)
        if writer is None:
            path = self.out.staging_path(name + self.suffix)
            writer = self.writers[name] = ColumnarWriter(path, table.schema, self.options)
        writer.write(table)

    def finish(self, packet) -> None:
        """The table of a type that had no packets."""
        self.write(packet.name, empty_table(packet, self.options))

    def close(self) -> None:
        """Wait for every write and close the files (their footers written)."""
        try:
            for pending in self.pending.values():
                for future in pending:
                    future.result()
        finally:
            for pending in self.pending.values():
                for future in pending:
                    future.cancel()
            for thread in self.threads.values():
                thread.shutdown(wait=True)
            for writer in self.writers.values():
                writer.close()
            self.threads.clear()
            self.pending.clear()
            self.writers.clear()


class DatasetParts:
    """A dataset folder per packet type, filled with part files by the workers.

    The workers write into the staging folder (`parts.directory`); the
    commit renames each type's folder into place.
    """

    def __init__(self, out: OutputFolder, definitions, parts):
        need("pyarrow.parquet", "cli", FORMAT_NAMES[parts.options.format])
        self.out = out
        self.parts = parts
        self.suffix = f".{parts.options.format}"
        for packet in definitions.packets:
            out.staging_path(packet.name + self.suffix).mkdir()

    def location(self, name: str) -> Path:
        return self.out.shown(name + self.suffix)

    def take(self, result) -> None:
        pass  # the worker wrote its parts

    def finish(self, packet) -> None:
        first = self.parts.path_at(packet.name, 0, 0)
        write_part(first, empty_table(packet, self.parts.options), self.parts.options)

    def close(self) -> None:
        pass


class CsvFiles:
    """One CSV file per packet type, written with the standard library.

    With `parts`, the workers wrote each chunk's rows to a part file of the
    staging folder: each is appended in turn, then removed.
    """

    def __init__(self, out: OutputFolder, definitions, parts=None):
        self.out = out
        self.definitions = definitions
        self.parts = parts
        self.files: dict[str, Any] = {}
        if parts is not None:
            for packet in definitions.packets:
                (Path(parts.staging) / packet.name).mkdir(parents=True, exist_ok=True)

    def location(self, name: str) -> Path:
        return self.out.shown(f"{name}.csv")

    def _file(self, name: str, columns: dict[str, Any] | None = None):
        file = self.files.get(name)
        if file is None:
            if columns is None:
                columns = empty_table(self.definitions.packet_type(name), WriteOptions("csv"))
            path = self.out.staging_path(f"{name}.csv")
            file = self.files[name] = open(path, "x", newline="", encoding="utf-8")
            csv.writer(file).writerow(columns)
        return file

    def take(self, result) -> None:
        if self.parts is None:
            for name, columns in result.tables.items():
                write_rows(self._file(name, columns), columns)
            return
        for name, rows in result.rows.items():
            if not rows:
                continue
            file = self._file(name)
            part = self.parts.path(name, result.chunk)
            with open(part, newline="", encoding="utf-8") as source:
                shutil.copyfileobj(source, file)
            os.unlink(part)

    def finish(self, packet) -> None:
        self._file(packet.name)

    def close(self) -> None:
        for file in self.files.values():
            file.close()
        self.files.clear()


def decode_table(packet, view, offsets, lengths, output: str):
    """A packet type's packets as a table: a pyarrow table, or numpy columns."""
    layout = packet.layout
    if output != "arrow":
        return layout.unpack_many(view, offsets=offsets, lengths=lengths, errors="mask")
    import pyarrow

    columns = layout.unpack_many(
        view, offsets=offsets, lengths=lengths, errors="mask", output="arrow"
    )
    return pyarrow.table(columns)
