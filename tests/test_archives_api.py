"""The library under the command: `vantrel.definitions` and `vantrel.archives`
give in Python what `vantrel decode` writes to files."""

import pytest

import vantrel
import vantrel.archives
import vantrel.definitions
from command_helpers import ARCHIVE, DEFINITIONS, TABLES, run

pa = pytest.importorskip("pyarrow")
pq = pytest.importorskip("pyarrow.parquet")


@pytest.fixture(scope="module")
def written(tmp_path_factory):
    out = tmp_path_factory.mktemp("tables")
    assert run("decode", DEFINITIONS, ARCHIVE, "-o", out, "-q") == 0
    return {t: pq.read_table(out / f"{t}.parquet") for t in TABLES}


def test_definitions_load_gives_packet_types_with_layouts():
    types = vantrel.definitions.load(DEFINITIONS)
    assert [p.name for p in types.packets] == list(TABLES)
    housekeeping = types.packet_type("housekeeping")
    assert isinstance(housekeeping.layout, vantrel.Layout)
    assert housekeeping.keys == (0x2A5,) and housekeeping.time == "obt_seconds"
    with pytest.raises(vantrel.definitions.DefinitionsError, match="'packets' must be a table"):
        vantrel.definitions.from_document({"packets": {}}, "inline")


def test_decode_in_memory_equals_the_files_the_command_writes(written):
    tables = vantrel.archives.decode(DEFINITIONS, ARCHIVE)
    assert list(tables) == list(TABLES)
    for name, table in tables.items():
        assert table.equals(written[name])
    types = vantrel.definitions.load(DEFINITIONS)
    frames = vantrel.archives.decode(types, [ARCHIVE], output="pandas", types=["event"])
    assert list(frames) == ["event"]
    assert frames["event"].equals(written["event"].to_pandas())


def test_chunks_and_several_archives_join_in_stream_order(tmp_path, written):
    data = ARCHIVE.read_bytes()
    first, second = tmp_path / "1.bin", tmp_path / "2.bin"
    first.write_bytes(data[:100_010])  # a packet boundary
    second.write_bytes(data[100_010:])
    tables = vantrel.archives.decode(DEFINITIONS, [first, second], chunk_size=20_000)
    for name, table in tables.items():
        assert table.equals(written[name])


def test_decode_to_files_reports_what_it_wrote(tmp_path, written):
    summary = vantrel.archives.decode_to_files(DEFINITIONS, [ARCHIVE], tmp_path / "out")
    assert summary.packets == sum(t.num_rows for t in written.values())
    assert dict(summary.rows) == {t: written[t].num_rows for t in TABLES}
    assert summary.damaged and summary.skipped  # the example archive has a little damage
    for name in TABLES:
        assert pq.read_table(summary.locations[name]).equals(written[name])
    with pytest.raises(vantrel.archives.CommandError, match="--overwrite"):
        vantrel.archives.decode_to_files(DEFINITIONS, [ARCHIVE], tmp_path / "out")
    again = vantrel.archives.decode_to_files(
        DEFINITIONS, ARCHIVE, tmp_path / "out", overwrite=True, format="arrow"
    )
    assert again.locations["event"].name == "event.arrow"


@pytest.mark.parametrize(
    "call, error",
    [
        (lambda: vantrel.archives.decode(DEFINITIONS, ARCHIVE, output="excel"), ValueError),
        (lambda: vantrel.archives.decode(DEFINITIONS, ARCHIVE, types=["nothing"]), KeyError),
        (lambda: vantrel.archives.decode(DEFINITIONS, []), vantrel.archives.CommandError),
        (
            lambda: vantrel.archives.decode(DEFINITIONS, "missing.bin"),
            vantrel.archives.CommandError,
        ),
    ],
)
def test_wrong_calls_are_refused(call, error):
    with pytest.raises(error):
        call()
