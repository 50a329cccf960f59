"""Columns without a Python object per packet: unpack_many(output="arrow")
through the Arrow PyCapsule interface, text_dtype StringDType and bytes, and
the reuse of recent text values in str columns."""

import gc
import io
import math
import sys
import threading
import tracemalloc

import pytest
from hypothesis import given, settings
from hypothesis import strategies as st

import vantrel
from recipe_helpers import ENCODINGS, fields, item, layout_ready

np = pytest.importorskip("numpy")

TEXT_ENCODINGS = [
    name
    for name in ENCODINGS
    if name.islower() and name.startswith(("utf", "us_", "iso", "latin", "windows"))
]


def expected_entries(column):
    """A numpy column (masked or not) as Python values, None where masked."""
    mask = np.ma.getmaskarray(column) if np.ma.isMaskedArray(column) else None
    data = np.ma.getdata(column)
    values = data.tolist()
    return [None if mask is not None and mask[i] else values[i] for i in range(len(values))]


def same(a, b):
    if isinstance(a, float) and isinstance(b, float):
        return a == b or (math.isnan(a) and math.isnan(b))
    return a == b


def mixed_layout(text_encoding):
    return vantrel.Layout(
        [
            item("count", "unsigned", 12),
            item("delta", "twos_complement", 20),
            item("bcd", "packed_bcd", 8),
            item("volts", "ieee754_f32", 32),
            item("wide", "unsigned", 64, "little"),
            item("label", text_encoding, 64),
        ]
    )


# Field bytes that the encoding refuses (None: it accepts every byte string).
BAD_TEXT = {
    "utf8": b"\xff" * 8,
    "utf16": b"\xd8\x00" * 4,
    "utf16be": b"\xdc\x00" * 4,
    "utf16le": b"\x00\xdc" * 4,
    "utf32": b"\xff\xff\xff\xff" * 2,
    "utf32be": b"\x00\x11\x00\x00" * 2,
    "utf32le": b"\x00\x00\x11\x00" * 2,
    "us_ascii": b"\x80" * 8,
    "iso_8859_1": None,
    "latin1": None,
    "windows_1252": b"\xef\xbb\xbf\xff\xff\xff\xff\xff",
}

LABELS = ["SAFE", "NOMINAL", "Ünïcödé", "", "A\x00B", "€uro", "x" * 2]


def archive_with_failures(text_encoding, packets=40):
    """Packed archive of the mixed layout; some labels and BCD bytes spoiled."""
    layout = mixed_layout(text_encoding)
    rng = np.random.default_rng(3)
    labels = []
    for i in range(packets):
        label = LABELS[i % len(LABELS)]
        try:
            vantrel.Layout([item("t", text_encoding, 64)]).pack({"t": label})
        except ValueError:
            label = "plain"
        labels.append(label)
    values = {
        "count": rng.integers(0, 4096, packets),
        "delta": rng.integers(-(2**19), 2**19, packets),
        "bcd": rng.integers(0, 100, packets),
        "volts": rng.normal(0, 1e3, packets).astype(np.float32),
        "wide": rng.integers(0, 2**63, packets, dtype=np.uint64),
        "label": labels,
    }
    archive = bytearray(layout.pack_many(values))
    stride = layout.size_bytes
    for i in range(0, packets, 7):
        archive[i * stride + 4] = 0xAB  # not a BCD digit
    if BAD_TEXT[text_encoding] is not None:
        for i in range(3, packets, 5):
            archive[i * stride + stride - 8 : (i + 1) * stride] = BAD_TEXT[text_encoding]
    return layout, bytes(archive)


# ---- Arrow export against the numpy columns ------------------------------------


@pytest.mark.parametrize("encoding", TEXT_ENCODINGS)
def test_arrow_export_matches_numpy_columns_with_nulls(encoding):
    pa = pytest.importorskip("pyarrow")
    layout, archive = archive_with_failures(encoding)
    # Offsets past the end make whole packets fail too.
    offsets = list(range(0, len(archive), layout.size_bytes)) + [len(archive) - 3, 10**6]
    expected = layout.unpack_many(archive, offsets=offsets, errors="mask")
    result = layout.unpack_many(archive, offsets=offsets, errors="mask", output="arrow")
    assert list(result) == list(expected) == list(layout.names)
    table = pa.table(result)
    assert table.num_rows == result.num_rows == len(offsets)
    for name, column in expected.items():
        entries = expected_entries(column)
        got = table.column(name).to_pylist()
        assert all(same(a, b) for a, b in zip(got, entries)), name
        assert (
            result[name].null_count
            == sum(e is None for e in entries)
            == table.column(name).null_count
        )
        assert pa.array(result[name]).type == table.schema.field(name).type
    assert table.column("label").null_count >= 2  # the two packets outside the buffer
    if BAD_TEXT[encoding] is not None:
        assert table.column("label").null_count > 2


def test_arrow_types_follow_numpy_dtypes():
    pa = pytest.importorskip("pyarrow")
    layout = mixed_layout("utf8")
    archive = layout.pack_many(
        {"count": [1], "delta": [-2], "bcd": [3], "volts": [0.5], "wide": [7], "label": ["é"]}
    )
    numpy_columns = layout.unpack_many(archive)
    table = pa.table(layout.unpack_many(archive, output="arrow"))
    for name, column in numpy_columns.items():
        if column.dtype == object:
            assert table.schema.field(name).type == pa.string()
        else:
            assert table.schema.field(name).type == pa.from_numpy_dtype(column.dtype)
    assert table.to_pylist() == [{k: v.tolist()[0] for k, v in numpy_columns.items()}]


@settings(max_examples=150, deadline=None)
@given(st.lists(fields(), min_size=1, max_size=4), st.binary(max_size=96), st.data())
def test_arrow_export_matches_numpy_for_any_recipe(recipe, buffer, data):
    pa = pytest.importorskip("pyarrow")
    recipe = layout_ready(recipe)
    layout = vantrel.Layout(recipe)
    offsets = data.draw(st.lists(st.integers(0, len(buffer) + 2), max_size=5))
    expected = layout.unpack_many(buffer, offsets=offsets, errors="mask")
    table = pa.table(layout.unpack_many(buffer, offsets=offsets, errors="mask", output="arrow"))
    assert table.column_names == list(expected)
    for name, column in expected.items():
        got = table.column(name).to_pylist()
        assert len(got) == len(column)
        assert all(same(a, b) for a, b in zip(got, expected_entries(column))), name
    # errors="raise" fails exactly when the numpy columns do, with the same message.
    try:
        layout.unpack_many(buffer, offsets=offsets)
    except ValueError as exc:
        with pytest.raises(ValueError) as arrow_exc:
            layout.unpack_many(buffer, offsets=offsets, output="arrow")
        assert str(arrow_exc.value) == str(exc)
    else:
        layout.unpack_many(buffer, offsets=offsets, output="arrow")


def test_arrow_output_raises_like_numpy_output():
    layout, archive = archive_with_failures("us_ascii")
    with pytest.raises(ValueError) as numpy_error:
        layout.unpack_many(archive)
    with pytest.raises(ValueError) as arrow_error:
        layout.unpack_many(archive, output="arrow")
    assert str(arrow_error.value) == str(numpy_error.value)
    assert "packet 0" in str(arrow_error.value) and "'bcd'" in str(arrow_error.value)


def test_arrow_columns_is_a_read_only_mapping_in_recipe_order():
    # Layouts refuse repeated names, so each field is one column.
    layout = vantrel.Layout([item("b"), item("a"), item("c", "twos_complement", 8)])
    result = layout.unpack_many(b"\x01\x02\xff", output="arrow")
    assert list(result) == list(result.keys()) == ["b", "a", "c"]
    assert len(result) == 3 and "a" in result and "d" not in result
    assert result["c"].format == "c" and len(result["c"]) == 1
    assert [name for name, _ in result.items()] == ["b", "a", "c"]
    assert result.num_rows == 1
    with pytest.raises(KeyError):
        result["d"]
    with pytest.raises(TypeError):
        vantrel.ArrowColumns()
    with pytest.raises(TypeError):
        vantrel.ArrowColumn()
    assert "3 columns of 1 rows" in repr(result)
    assert "'b'" in repr(result["b"])


def test_output_and_text_dtype_arguments_are_checked():
    layout = vantrel.Layout([item("t", "utf8", 16)])
    with pytest.raises(ValueError, match="output must be 'numpy' or 'arrow'"):
        layout.unpack_many(b"ab", output="pandas")
    with pytest.raises(TypeError, match="text_dtype applies to numpy output"):
        layout.unpack_many(b"ab", output="arrow", text_dtype="T")
    with pytest.raises(ValueError, match="text_dtype must be"):
        layout.unpack_many(b"ab", text_dtype="U")
    with pytest.raises(TypeError, match="text_dtype"):
        layout.unpack_many(b"ab", text_dtype="no such dtype")
    assert layout.unpack_many(b"ab", text_dtype=object)["t"][0] == "ab"
    assert layout.unpack_many(b"ab", text_dtype=None)["t"].dtype == object


# ---- Consumers ------------------------------------------------------------------


def sample():
    layout = mixed_layout("utf8")
    values = {
        "count": np.arange(1000) % 4096,
        "delta": np.arange(1000) - 500,
        "bcd": np.arange(1000) % 100,
        "volts": np.linspace(-1, 1, 1000, dtype=np.float32),
        "wide": np.arange(1000, dtype=np.uint64) * 2**40,
        "label": [LABELS[i % len(LABELS)] for i in range(1000)],
    }
    archive = layout.pack_many(values)
    return layout, archive, layout.unpack_many(archive)


def test_round_trip_through_pyarrow_and_parquet():
    pa = pytest.importorskip("pyarrow")
    pq = pytest.importorskip("pyarrow.parquet")
    layout, archive, expected = sample()
    table = pa.table(layout.unpack_many(archive, output="arrow"))
    sink = io.BytesIO()
    pq.write_table(table, sink)
    back = pq.read_table(io.BytesIO(sink.getvalue()))
    assert back.equals(table)
    for name, column in expected.items():
        assert back.column(name).to_pylist() == column.tolist()
    batch = pa.record_batch(layout.unpack_many(archive, output="arrow"))
    assert batch.num_rows == 1000 and batch.schema == table.schema


def test_round_trip_through_polars():
    pl = pytest.importorskip("polars")
    layout, archive, expected = sample()
    result = layout.unpack_many(archive, output="arrow")
    frame = pl.DataFrame(result)
    assert frame.columns == list(expected)
    for name, column in expected.items():
        assert frame[name].to_list() == column.tolist()
    # from_arrow reads any Arrow PyCapsule object as one Series (here a struct).
    assert pl.from_arrow(result).struct.unnest().equals(frame)
    assert frame["count"].dtype == pl.UInt16 and frame["label"].dtype == pl.String
    series = pl.Series(result["label"])
    assert series.to_list() == expected["label"].tolist()


def test_round_trip_through_duckdb():
    duckdb = pytest.importorskip("duckdb")
    layout, archive, expected = sample()
    result = layout.unpack_many(archive, output="arrow")  # noqa: F841 (duckdb finds it by name)
    rows = duckdb.sql("SELECT label, count(*) AS n FROM result GROUP BY label").fetchall()
    counts = {label: n for label, n in rows}
    assert counts == {
        label: expected["label"].tolist().count(label) for label in set(expected["label"])
    }
    total = duckdb.sql("SELECT sum(delta), max(wide) FROM result").fetchall()[0]
    assert total == (int(expected["delta"].sum()), int(expected["wide"].max()))


def test_round_trip_through_pandas():
    pa = pytest.importorskip("pyarrow")
    pytest.importorskip("pandas")
    layout, archive, expected = sample()
    frame = pa.table(layout.unpack_many(archive, output="arrow")).to_pandas()
    for name, column in expected.items():
        assert frame[name].tolist() == column.tolist()


# ---- Zero copy, lifetime and memory ----------------------------------------------


def test_numeric_buffers_are_shared_not_copied():
    pa = pytest.importorskip("pyarrow")
    layout, archive, _ = sample()
    result = layout.unpack_many(archive, output="arrow")
    first = pa.table(result)
    second = pa.table(result)
    by_column = pa.array(result["volts"])
    for name in ("count", "delta", "volts", "wide"):
        address = first.column(name).chunks[0].buffers()[1].address
        assert address == second.column(name).chunks[0].buffers()[1].address
        assert address % 64 == 0
    assert by_column.buffers()[1].address == first.column("volts").chunks[0].buffers()[1].address
    # Text: one offsets buffer and one data buffer, shared as well.
    label = first.column("label").chunks[0]
    assert len(label.buffers()) == 3
    assert label.buffers()[2].address == second.column("label").chunks[0].buffers()[2].address


def test_exports_outlive_the_buffer_and_the_columns():
    pa = pytest.importorskip("pyarrow")
    layout, archive, expected = sample()
    buffer = bytearray(archive)
    result = layout.unpack_many(buffer, output="arrow")
    table = pa.table(result)
    column = pa.array(result["label"])
    schema_capsule = result.__arrow_c_schema__()
    stream_capsule = result.__arrow_c_stream__()
    del result
    buffer[:] = bytes(len(buffer))  # the packets change; the exports must not
    del buffer
    gc.collect()
    assert table.column("label").to_pylist() == expected["label"].tolist()
    assert column.to_pylist() == expected["label"].tolist()
    reader = pa.RecordBatchReader._import_from_c_capsule(stream_capsule)
    assert reader.read_all().equals(table)
    assert pa.schema(type("S", (), {"__arrow_c_schema__": lambda self: schema_capsule})()) == (
        table.schema
    )


def test_unconsumed_capsules_release_everything():
    layout, archive, _ = sample()
    gc.collect()
    tracemalloc.start()
    try:
        for _ in range(20):
            result = layout.unpack_many(archive, output="arrow")
            result.__arrow_c_stream__()
            result["label"].__arrow_c_array__()
            result.__arrow_c_array__()
            del result
        gc.collect()
        current, _ = tracemalloc.get_traced_memory()
    finally:
        tracemalloc.stop()
    assert current < 64 * 1024  # one set of columns is about 25 KB


def test_released_exports_free_the_columns():
    pa = pytest.importorskip("pyarrow")
    layout, archive, _ = sample()
    pa.table(layout.unpack_many(archive, output="arrow"))  # imports done before tracing
    gc.collect()
    tracemalloc.start()
    try:
        tables = [pa.table(layout.unpack_many(archive, output="arrow")) for _ in range(10)]
        held, _ = tracemalloc.get_traced_memory()
        del tables
        gc.collect()
        released, _ = tracemalloc.get_traced_memory()
    finally:
        tracemalloc.stop()
    assert held > 10 * 20_000  # the columns are counted while held
    assert released < held / 10


def test_arrow_export_allocates_no_second_copy_of_numeric_columns():
    pa = pytest.importorskip("pyarrow")
    layout = vantrel.Layout([item("a", "unsigned", 64), item("b", "ieee754_f32", 32)])
    archive = bytes(12 * 50_000)
    pa.table(layout.unpack_many(archive[:12], output="arrow"))
    gc.collect()
    tracemalloc.start()
    try:
        table = pa.table(layout.unpack_many(archive, output="arrow"))
        _, peak = tracemalloc.get_traced_memory()
    finally:
        tracemalloc.stop()
    assert table.num_rows == 50_000
    assert peak <= 1.1 * 12 * 50_000


def test_arrow_decode_runs_without_the_gil():
    layout, archive, expected = sample()
    big = archive * 50
    results = []
    threads = [
        threading.Thread(target=lambda: results.append(layout.unpack_many(big, output="arrow")))
        for _ in range(3)
    ]
    for thread in threads:
        thread.start()
    for thread in threads:
        thread.join()
    assert [r.num_rows for r in results] == [50_000] * 3


# ---- numpy StringDType and bytes columns ------------------------------------------

needs_string_dtype = pytest.mark.skipif(
    not hasattr(np, "dtypes") or not hasattr(np.dtypes, "StringDType"),
    reason="numpy.dtypes.StringDType needs numpy 2",
)


@needs_string_dtype
@pytest.mark.parametrize("encoding", TEXT_ENCODINGS)
def test_string_dtype_columns_equal_str_columns(encoding):
    whole, archive = archive_with_failures(encoding)
    stride = whole.size_bytes
    layout = vantrel.Layout([item("label", encoding, 64, offset_bits=8 * (stride - 8))])
    expected = layout.unpack_many(archive, stride=stride, errors="mask")["label"]
    got = layout.unpack_many(archive, stride=stride, errors="mask", text_dtype="T")["label"]
    assert got.dtype == np.dtypes.StringDType()
    assert np.array_equal(np.ma.getmaskarray(got), np.ma.getmaskarray(expected))
    keep = ~np.ma.getmaskarray(expected)
    assert np.ma.getdata(got)[keep].tolist() == np.ma.getdata(expected)[keep].tolist()


@needs_string_dtype
def test_string_dtype_keeps_nul_characters_and_the_callers_dtype():
    layout = vantrel.Layout([item("t", "utf16be", 64)])
    texts = ["\x00\x00ab", "ab\x00\x00", "\x00\x00\x00\x00", "é€\x00\x00", "wxyz"]
    archive = b"".join(t.encode("utf-16-be") for t in texts)
    assert layout.unpack_many(archive)["t"].tolist() == texts
    got = layout.unpack_many(archive, text_dtype="T")["t"]
    assert got.tolist() == texts
    with_na = np.dtypes.StringDType(na_object=None)
    assert layout.unpack_many(archive, text_dtype=with_na)["t"].dtype == with_na


@needs_string_dtype
def test_string_dtype_of_mutable_buffers_and_many_distinct_values():
    layout = vantrel.Layout([item("t", "us_ascii", 64)])
    texts = [f"M{i:07d}" for i in range(5000)] + ["LABEL   "] * 100
    buffer = bytearray(b"".join(t.encode() for t in texts))
    assert layout.unpack_many(buffer, text_dtype="T")["t"].tolist() == texts
    assert layout.unpack_many(memoryview(buffer))["t"].tolist() == texts


def test_bytes_columns_hold_the_field_bytes():
    layout = vantrel.Layout([item("n"), item("t", "utf16le", 48), item("m", "utf8", 16, "little")])
    packets = [b"\x01" + "abc".encode("utf-16-le") + b"xy", b"\x02" + b"\x00\xdc" * 3 + b"\x00z"]
    archive = b"".join(packets)
    got = layout.unpack_many(archive, text_dtype="S")
    assert got["t"].dtype == np.dtype("S6")
    # numpy drops trailing NUL bytes when it hands out an element.
    assert got["t"].tolist() == [packets[0][1:7].rstrip(b"\0"), b"\x00\xdc" * 3]
    assert got["t"].tobytes()[:6] == packets[0][1:7]
    # The byte order is undone, as the decoder receives the field.
    assert got["m"].tolist() == [b"yx", b"z"]  # numpy drops the trailing NUL of b"z\x00"
    # The str column refuses the lone surrogates that the bytes column keeps.
    with pytest.raises(ValueError, match="packet 1 .*'t'"):
        layout.unpack_many(archive)
    masked = layout.unpack_many(archive + b"\x03", count=3, errors="mask", text_dtype="S")
    assert masked["t"].mask.tolist() == [False, False, True]


# ---- Reuse of recent values in str columns --------------------------------------


def test_str_columns_share_one_object_per_recent_value():
    layout = vantrel.Layout([item("t", "us_ascii", 64)])
    labels = [f"L{i:03d}    " for i in range(100)]
    rng = np.random.default_rng(1)
    texts = [labels[k] for k in rng.integers(0, 100, 5000)]
    column = layout.unpack_many(b"".join(t.encode() for t in texts))["t"]
    assert column.tolist() == texts
    assert len({id(value) for value in column}) == 100


def test_str_columns_stay_exact_beyond_the_table():
    layout = vantrel.Layout([item("t", "utf8", 8 * 80)])
    # More distinct values than the table holds, values longer than its keys,
    # and values that return after the table was emptied.
    texts = [f"{i % 700:>80}" for i in range(3000)] + ["é" * 40] * 3
    column = layout.unpack_many(b"".join(t.encode() for t in texts))["t"]
    assert column.tolist() == texts
    short = vantrel.Layout([item("t", "utf8", 8 * 12)])
    texts = [f"{i % 700:>12}" for i in range(3000)]
    assert short.unpack_many(b"".join(t.encode() for t in texts))["t"].tolist() == texts


def test_str_columns_of_mutable_buffers_share_values():
    layout = vantrel.Layout([item("t", "utf8", 64)])
    buffer = bytearray(("é" * 4).encode() * 300 + b"SAFE    " * 300)
    column = layout.unpack_many(buffer)["t"]
    assert column.tolist() == ["é" * 4] * 300 + ["SAFE    "] * 300
    assert sys.getrefcount(column[0]) > 300  # one shared str
