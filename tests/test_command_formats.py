"""`vantrel decode -f arrow` and the columnar writers' options: the same
tables as Parquet, read back by pyarrow, polars and duckdb, in one process
and on dask."""

from pathlib import Path

import pytest

from command_helpers import ARCHIVE, DEFINITIONS, TABLES, run

pa = pytest.importorskip("pyarrow")
pq = pytest.importorskip("pyarrow.parquet")
ipc = pytest.importorskip("pyarrow.ipc")


@pytest.fixture(scope="module")
def parquet_tables(tmp_path_factory):
    out = tmp_path_factory.mktemp("parquet")
    assert run("decode", DEFINITIONS, ARCHIVE, "-o", out, "-q") == 0
    return {t: pq.read_table(out / f"{t}.parquet") for t in TABLES}


def read_arrow(path: Path):
    """An Arrow IPC file, or a folder of parts, as one table in stream order."""
    if path.is_dir():
        return pa.concat_tables(read_arrow(p) for p in sorted(path.iterdir()))
    with pa.memory_map(str(path)) as source:
        return ipc.open_file(source).read_all()


def test_arrow_files_hold_the_parquet_tables(tmp_path, parquet_tables):
    out = tmp_path / "arrow"
    assert run("decode", DEFINITIONS, ARCHIVE, "-o", out, "-q", "-f", "arrow") == 0
    assert sorted(p.name for p in out.iterdir()) == sorted(f"{t}.arrow" for t in TABLES)
    for name, expected in parquet_tables.items():
        table = read_arrow(out / f"{name}.arrow")
        assert table.schema.equals(expected.schema)
        assert table.equals(expected)


def test_polars_and_duckdb_read_the_arrow_files(tmp_path, parquet_tables):
    polars = pytest.importorskip("polars")
    duckdb = pytest.importorskip("duckdb")
    out = tmp_path / "arrow"
    assert run("decode", DEFINITIONS, ARCHIVE, "-o", out, "-q", "-f", "arrow") == 0
    expected = parquet_tables["housekeeping"]
    frame = polars.read_ipc(out / "housekeeping.arrow")
    assert frame.to_arrow().cast(expected.schema).equals(expected)
    mapped = read_arrow(out / "housekeeping.arrow")
    connection = duckdb.connect()
    connection.register("housekeeping", mapped)
    total, count = connection.execute(
        "select sum(temperature), count(*) from housekeeping"
    ).fetchone()
    assert count == expected.num_rows
    assert total == pa.compute.sum(expected.column("temperature")).as_py()


@pytest.mark.parametrize(
    "fmt, codec", [("parquet", "zstd"), ("parquet", "none"), ("arrow", "lz4"), ("arrow", "zstd")]
)
def test_compression_and_row_groups(tmp_path, parquet_tables, fmt, codec):
    out = tmp_path / "out"
    options = ["-f", fmt, "--compression", codec, "--row-group-size", "1000"]
    assert run("decode", DEFINITIONS, ARCHIVE, "-o", out, "-q", *options) == 0
    path = out / f"magnetometer.{fmt}"
    expected = parquet_tables["magnetometer"]
    if fmt == "parquet":
        metadata = pq.read_metadata(path)
        assert metadata.row_group(0).num_rows == 1000
        assert metadata.row_group(0).column(0).compression.lower() == (
            "uncompressed" if codec == "none" else codec
        )
        assert pq.read_table(path).equals(expected)
    else:
        with pa.memory_map(str(path)) as source:
            reader = ipc.open_file(source)
            assert reader.get_batch(0).num_rows == 1000
            assert reader.read_all().equals(expected)


@pytest.mark.parametrize(
    "options, message",
    [
        (["-f", "arrow", "--compression", "snappy"], "not one of arrow's: none, lz4, zstd"),
        (["-f", "csv", "--compression", "zstd"], "applies to parquet and arrow, not csv"),
        (["-f", "csv", "--row-group-size", "10"], "applies to parquet and arrow, not csv"),
    ],
)
def test_options_a_format_cannot_take_are_one_line(tmp_path, capsys, options, message):
    assert run("decode", DEFINITIONS, ARCHIVE, "-o", tmp_path / "out", "-q", *options) == 1
    err = capsys.readouterr().err
    assert message in err and err.count("\n") == 1
    assert not (tmp_path / "out").exists()


def test_arrow_parts_on_dask_are_the_one_process_tables(tmp_path, parquet_tables):
    distributed = pytest.importorskip("dask.distributed")
    with distributed.LocalCluster(
        n_workers=2, threads_per_worker=1, processes=False, dashboard_address=None
    ) as cluster:
        options = [
            "-q",
            "-f",
            "arrow",
            "--chunk-size",
            "100k",
            "--scheduler",
            cluster.scheduler_address,
        ]
        assert run("decode", DEFINITIONS, ARCHIVE, "-o", tmp_path / "out", *options) == 0
    for name, expected in parquet_tables.items():
        folder = tmp_path / "out" / f"{name}.arrow"
        assert folder.is_dir() and all(p.suffix == ".arrow" for p in folder.iterdir())
        assert read_arrow(folder).equals(expected)
        dataset = pytest.importorskip("pyarrow.dataset")
        assert dataset.dataset(folder, format="arrow").to_table().equals(expected)
