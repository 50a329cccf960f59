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

import os
import shutil
import threading
from concurrent.futures import Future, ThreadPoolExecutor
from dataclasses import dataclass
from pathlib import Path
from typing import Any, Protocol

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
        """What the decode hands the writers: pyarrow tables."""
        return "arrow"


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
    """One chunk's table of one type, as a part file of its own.

    Written under a hidden temporary name and renamed when complete: a
    worker killed meanwhile leaves no part a reader would take for whole
    (`remove_unfinished` clears what it left).
    """
    temporary = path.with_name(f".{path.name}.{os.getpid()}-{threading.get_ident()}{UNFINISHED}")
    try:
        if options.format in COLUMNAR:
            writer = ColumnarWriter(temporary, table.schema, options)
            try:
                writer.write(table)
            finally:
                writer.close()
        else:
            with open(temporary, "wb") as file:
                write_rows(file, table)
        os.replace(temporary, path)
    except BaseException:
        temporary.unlink(missing_ok=True)
        raise


UNFINISHED = ".unfinished"


def remove_unfinished(folder: Path) -> None:
    """Remove the temporary part files killed workers left in `folder`."""
    for entry in folder.iterdir():
        if entry.name.startswith(".") and entry.name.endswith(UNFINISHED):
            entry.unlink(missing_ok=True)


def csv_table(table):
    """A table of what CSV cells can hold, computed column by column by Arrow.

    Times become ISO 8601 (`2026-01-01T00:00:01.500000000`), state names
    their text, and an array field's row one cell such as `[1, 2.5, 3]`:
    every number written as the shortest text that reads back to the same
    value of its own width (float32 as float32), as Arrow writes numbers.
    """
    import pyarrow as pa

    columns = [_csv_column(column) for column in table.columns]
    return pa.table(columns, names=table.column_names)


def _csv_column(column):
    import pyarrow as pa

    if isinstance(column, pa.ChunkedArray):
        return pa.chunked_array([_csv_column(c) for c in column.chunks], _csv_type(column.type))
    return _csv_array(column)


def _csv_type(kind):
    import pyarrow as pa
    import pyarrow.types as kinds

    if kinds.is_timestamp(kind) or kinds.is_dictionary(kind) or _is_list(kind):
        return pa.string()
    return kind


def _is_list(kind) -> bool:
    import pyarrow.types as kinds

    return kinds.is_list(kind) or kinds.is_large_list(kind) or kinds.is_fixed_size_list(kind)


def _csv_array(array):
    import numpy as np
    import pyarrow as pa
    import pyarrow.compute as compute
    import pyarrow.types as kinds

    kind = array.type
    if kinds.is_timestamp(kind):
        return compute.strftime(array, format="%Y-%m-%dT%H:%M:%S")
    if kinds.is_dictionary(kind):
        return compute.cast(array.dictionary_decode(), pa.string())
    if not _is_list(kind):
        return array
    if kinds.is_fixed_size_list(kind):
        values = _csv_array(array.flatten())
        offsets = pa.array(np.arange(len(array) + 1, dtype=np.int32) * kind.list_size)
        lists = pa.ListArray.from_arrays(offsets, values, mask=array.is_null())
    else:
        values = _csv_array(array.values)
        lists = type(array).from_arrays(array.offsets, values, mask=array.is_null())
    if not kinds.is_string(values.type):
        values = compute.cast(values, pa.string())
        lists = type(lists).from_arrays(lists.offsets, values, mask=array.is_null())
    joined = compute.binary_join(lists, ", ")
    return compute.binary_join_element_wise("[", joined, "]", "")


def write_rows(file, table, header: bool = False) -> None:
    """A table's rows as CSV lines (LF ends, quotes where needed) to a binary file."""
    import pyarrow.csv

    options = pyarrow.csv.WriteOptions(include_header=header, quoting_style="needed")
    pyarrow.csv.write_csv(csv_table(table), file, options)


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
        self.names = [packet.name for packet in definitions.packets]
        for name in self.names:
            out.staging_path(name + self.suffix).mkdir()

    def location(self, name: str) -> Path:
        return self.out.shown(name + self.suffix)

    def take(self, result) -> None:
        pass  # the worker wrote its parts

    def finish(self, packet) -> None:
        first = self.parts.path_at(packet.name, 0, 0)
        write_part(first, empty_table(packet, self.parts.options), self.parts.options)

    def close(self) -> None:
        for name in self.names:
            remove_unfinished(self.out.staging_path(name + self.suffix))


class CsvFiles:
    """One CSV file per packet type, written by Arrow's CSV writer.

    With `parts`, the workers wrote each chunk's rows to a part file of the
    staging folder: each is appended in turn, then removed.
    """

    def __init__(self, out: OutputFolder, definitions, parts=None):
        need("pyarrow.csv", "cli", "CSV output")
        self.out = out
        self.definitions = definitions
        self.parts = parts
        self.files: dict[str, Any] = {}
        if parts is not None:
            for packet in definitions.packets:
                (Path(parts.staging) / packet.name).mkdir(parents=True, exist_ok=True)

    def location(self, name: str) -> Path:
        return self.out.shown(f"{name}.csv")

    def _file(self, name: str, table: Any = None):
        file = self.files.get(name)
        if file is None:
            if table is None:
                table = empty_table(self.definitions.packet_type(name), WriteOptions("csv"))
            file = self.files[name] = open(self.out.staging_path(f"{name}.csv"), "xb")
            write_rows(file, table.slice(0, 0), header=True)
        return file

    def take(self, result) -> None:
        if self.parts is None:
            for name, table in result.tables.items():
                write_rows(self._file(name, table), table)
            return
        for name, rows in result.rows.items():
            if not rows:
                continue
            file = self._file(name)
            part = self.parts.path(name, result.chunk)
            with open(part, "rb") as source:
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
    table = pyarrow.table(columns)
    described = field_metadata(packet)
    if not described:
        return table
    schema = pyarrow.schema(
        [f.with_metadata(described[f.name]) if f.name in described else f for f in table.schema]
    )
    return pyarrow.Table.from_arrays(table.columns, schema=schema)


def field_metadata(packet) -> dict[str, dict[bytes, bytes]]:
    """What the schema says of each field beyond its type, for readers of the files.

    `unit` (the definitions' "unit" key, as text) and `states` (an
    enumeration's state names in the order of their raw values, as a JSON
    list) go into the field's metadata, which Parquet and Arrow IPC keep.
    """
    import json

    out: dict[str, dict[bytes, bytes]] = {}
    for name, unit in getattr(packet, "units", {}).items():
        out.setdefault(name, {})[b"unit"] = unit.encode()
    for name, states in getattr(packet, "states", {}).items():
        out.setdefault(name, {})[b"states"] = json.dumps(list(states)).encode()
    return out


class TableWriter(Protocol):
    """What a decode asks of the writer of its tables, whatever their format."""

    def location(self, name: str) -> Path:
        """Where packet type `name`'s table goes, as the user named the folder."""

    def take(self, result) -> None:
        """The tables of one chunk (`ChunkResult`), in stream order."""

    def finish(self, packet) -> None:
        """The (empty) table of a type that had no packets."""

    def close(self) -> None:
        """Every table written whole, in the staging folder."""


def table_writer(out: OutputFolder, definitions, options: WriteOptions, parts=None) -> TableWriter:
    """The writer of a format: in this process, or joining the parts dask workers wrote."""
    if options.format == "csv":
        return CsvFiles(out, definitions, parts)
    if parts is not None:
        return DatasetParts(out, definitions, parts)
    return ColumnarFiles(out, definitions, options)
