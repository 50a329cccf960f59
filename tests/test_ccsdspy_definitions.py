"""ccsdspy CSV packet definitions read as ccsdspy reads them.

ccsdspy is the oracle: every CSV of its packaged test data, and CSVs written
here for variable arrays with fields after them, expand arrays with
trailers, byte-order and calibration columns, decode to the values ccsdspy
decodes from the same packets. The intended differences (docs/command.md)
are applied to ccsdspy's table before comparing, in `as_ccsdspy_gives`.
"""

import io
import itertools
import logging
from pathlib import Path

import numpy as np
import pyarrow as pa
import pytest

import vantrel
from vantrel.command import definitions as definitions_module

ccsdspy = pytest.importorskip("ccsdspy")
logging.getLogger("ccsdspy").setLevel(logging.ERROR)

CCSDSPY_DATA = Path(ccsdspy.__file__).parent / "tests" / "data"
OUR_DATA = Path(__file__).parent / "data" / "ccsdspy"
PACKAGED_CSVS = sorted(CCSDSPY_DATA.rglob("*.csv"))
LENGTH = {"offset_bits": 32, "bits": 16, "adjust": 7}


def ccsdspy_packet(path):
    """ccsdspy's packet for a CSV, as its user builds it; None when ccsdspy refuses it."""
    try:
        fields = ccsdspy.packet_types._get_fields_csv_file(str(path))
        variable = any(isinstance(field._array_shape, str) for field in fields)
        return (ccsdspy.VariableLength if variable else ccsdspy.FixedLength)(fields)
    except (ValueError, KeyError, TypeError):
        return None


class Imported:
    """Our reading of a CSV: its recipe and the layout of it."""

    def __init__(self, path, notes=None):
        self.recipe = definitions_module.read_ccsdspy_csv(path, notes=notes)
        self.layout = vantrel.Layout(self.recipe, packet_length=LENGTH)
        self.names = self.layout.names


def ours(path, notes=None):
    return Imported(path, notes)


def as_ccsdspy_gives(value, width=0):
    """One of our values as ccsdspy gives it: text as bytes without trailing
    NULs, and text of 3, 5, 6 or 7 bytes after the NULs that widen it to
    numpy's 4 or 8."""
    if isinstance(value, str):
        padding = {3: 1, 5: 3, 6: 2, 7: 1}.get(width // 8, 0)
        return (b"\0" * padding + value.encode("latin-1")).rstrip(b"\0")
    return value


def assert_tables_equal(imported, archive, theirs):
    layout = imported.layout
    offsets = vantrel.split_packets(archive, length_offset_bits=32, length_bits=16, length_adjust=7)
    ours_numpy = layout.unpack_many(archive, offsets=offsets, raw=True)
    arrow_table = pa.table(layout.unpack_many(archive, offsets=offsets, raw=True, output="arrow"))
    assert len(offsets) > 0
    for name in layout.names:
        # A calibrated field's raw twin holds ccsdspy's values; the field
        # itself, read raw here, too.
        expected = theirs[name[: -len("_raw")] if name not in theirs else name]
        if expected.dtype == object:  # ccsdspy's variable arrays: one array per packet
            expected = [list(entry) for entry in expected]
        else:
            expected = expected.reshape(len(expected), -1).tolist()
            expected = [
                row if len(row) > 1 or name in array_names(imported) else row[0] for row in expected
            ]
        column = ours_numpy[name]
        got = column.to_list() if isinstance(column, vantrel.RaggedColumn) else column
        items = {item["name"]: item for item in imported.recipe}
        width = (items[name] if name in items else items[name[: -len("_raw")]])["bits"]
        got = [as_ccsdspy_gives(v.tolist() if hasattr(v, "tolist") else v, width) for v in got]
        got = [list(v) if isinstance(v, (list, tuple)) else v for v in got]
        assert _equal_nan(got, expected), name
        arrow = [as_ccsdspy_gives(v, width) for v in arrow_table.column(name).to_pylist()]
        assert _equal_nan(arrow, got), name


def _equal_nan(a, b):
    return len(a) == len(b) and all(
        x == y or (x != x and y != y) or (isinstance(x, list) and _equal_nan(x, y))
        for x, y in zip(a, b)
    )


def array_names(imported):
    return {item["name"] for item in imported.recipe if "count" in item}


def random_packets(imported, rng, n=40):
    """n packets of random bytes, each with a CCSDS primary header of its length.

    A variable layout's packets are packed from random values instead, so
    that counts and arrays agree."""
    layout = imported.layout
    if not any(isinstance(item.get("count"), str) for item in imported.recipe):
        size = layout.size_bytes
        packets = []
        for i in range(n):
            body = bytearray(rng.integers(0, 256, size, dtype=np.uint8).tobytes())
            body[0:6] = (
                (0x0800 | 0x123).to_bytes(2, "big")
                + (0xC000 | i).to_bytes(2, "big")
                + (size - 7).to_bytes(2, "big")
            )
            packets.append(bytes(body))
        return b"".join(packets)
    values = []
    for i in range(n):
        packet = {
            "CCSDS_VERSION_NUMBER": 0,
            "CCSDS_PACKET_TYPE": 0,
            "CCSDS_SECONDARY_FLAG": 1,
            "CCSDS_APID": 0x123,
            "CCSDS_SEQUENCE_FLAG": 3,
            "CCSDS_SEQUENCE_COUNT": i,
        }
        counted = {item["count"] for item in imported.recipe if isinstance(item.get("count"), str)}
        for item in imported.recipe[7:]:
            if item["name"] in counted:
                continue
            count = item.get("count")
            number = (
                1 if count is None else count if isinstance(count, int) else int(rng.integers(0, 6))
            )
            one = lambda item=item: random_value(item, rng)  # noqa: E731
            packet[item["name"]] = one() if count is None else [one() for _ in range(number)]
        values.append(packet)
    return b"".join(layout.pack(v, raw=True) for v in values)


def random_value(item, rng):
    bits, encoding = item["bits"], item["encoding"]
    if encoding == "unsigned":
        return (
            int(rng.integers(0, 1 << bits, dtype=np.uint64))
            if bits < 64
            else int(rng.integers(0, 1 << 63))
        )
    if encoding == "twos_complement":
        return int(rng.integers(-(1 << (bits - 1)), 1 << (bits - 1)))
    if encoding.startswith("ieee754"):
        return float(np.float16(rng.normal(0, 100)))
    return "".join(chr(c) for c in rng.integers(65, 91, bits // 8))


@pytest.mark.parametrize("path", PACKAGED_CSVS, ids=lambda p: str(p.relative_to(CCSDSPY_DATA)))
def test_every_packaged_csv_reads_as_ccsdspy_reads_it(path):
    packet = ccsdspy_packet(path)
    if packet is None:  # not a packet definition (data, a spreadsheet's other pages)
        with pytest.raises(definitions_module.DefinitionsError, match="lacks the column"):
            ours(path)
        return
    try:
        imported = ours(path)
    except ValueError:
        # Only basic_csv_3col_with_all: an array counted by an expand array,
        # which ccsdspy accepts but cannot decode.
        assert path.name == "basic_csv_3col_with_all.csv"
        with pytest.raises(TypeError):
            packet.load(_one_packet_stream(120))
        return
    data = sorted(path.parent.glob("*.tlm"))
    archive = data[0].read_bytes() if data else random_packets(imported, np.random.default_rng(29))
    theirs = packet.load(io.BytesIO(archive), include_primary_header=True)
    assert_tables_equal(imported, archive, theirs)


def _one_packet_stream(size):
    return io.BytesIO(
        bytes([0x08, 0x01, 0xC0, 0, (size - 7) >> 8, (size - 7) & 0xFF]) + bytes(size - 6)
    )


@pytest.mark.parametrize(
    "definition, data, truth",
    [
        ("var_length_expand.csv", "var_length/var_length_packets.bin", {}),
        (
            "var_length_expand_footer.csv",
            "var_length/var_length_packets_with_footer.bin",
            {"footer": [1] * 10},
        ),
        (
            "var_length_two_arrays_footer.csv",
            "var_length/var_length_packets_double_varfield_with_footer.bin",
            {"footer": [1] * 10, "data2_len": [5, 7, 2, 8, 3, 41, 42, 1, 3, 4]},
        ),
        ("expanding_footer.csv", "europa_clipper/expanding_footer_packet.bin", {}),
    ],
)
def test_variable_arrays_and_the_fields_after_them(definition, data, truth):
    path = OUR_DATA / definition
    archive = (CCSDSPY_DATA / data).read_bytes()
    theirs = ccsdspy.VariableLength.from_file(str(path)).load(
        str(CCSDSPY_DATA / data), include_primary_header=True
    )
    imported = ours(path)
    assert_tables_equal(imported, archive, theirs)
    offsets = vantrel.split_packets(archive, length_offset_bits=32, length_bits=16, length_adjust=7)
    columns = imported.layout.unpack_many(archive, offsets=offsets)
    for name, expected in truth.items():  # what ccsdspy's own tests say of these files
        assert columns[name].tolist() == expected
    if definition == "expanding_footer.csv":
        assert [len(entry) for entry in columns["FGX_CHANNELS"]] == [1440] * len(offsets)


WRITTEN = {
    # A counted array and a field after it, then an expand array with a
    # trailer holding a fill and a fixed array. (ccsdspy reads no more
    # than one field between variable arrays, and only uint ones.)
    "counted_then_expand.csv": """name,data_type,bit_length
TIME,uint,32
N,uint,8
SAMPLES,uint(N),16
FLAGS,uint,8
REST,uint(expand),8
GAP,fill,16
TAIL,uint(2),8
CRC,uint,16
""",
    # Multi-dimensional and fixed arrays, text, floats, odd widths.
    "fixed.csv": """name, data_type, bit_length
A, uint, 3
B, int, 13
C, "uint(2, 3)", 8
D, float, 32
E, fill, 8
F, str, 40
G, float, 64
H, int(4), 12
""",
    # Offsets, some going back over earlier fields: ccsdspy's furthest end.
    "offsets.csv": """name,data_type,bit_length,bit_offset,notes
A,uint,16,48,first
B,uint,8,96,a gap before it
C,uint,4,64,back over the gap
D,uint,12,68,
E,uint(3),8,104,
""",
}


@pytest.mark.parametrize("name", sorted(WRITTEN))
def test_written_csvs_read_as_ccsdspy_reads_them(tmp_path, name):
    path = tmp_path / name
    path.write_text(WRITTEN[name])
    notes = []
    imported = ours(path, notes)
    archive = random_packets(imported, np.random.default_rng(28), n=60)
    theirs = ccsdspy_packet(path).load(io.BytesIO(archive), include_primary_header=True)
    assert_tables_equal(imported, archive, theirs)
    if name == "offsets.csv":
        assert notes == [f"{path}: offsets.csv: column(s) notes ignored, as ccsdspy ignores them"]


def test_a_fill_after_a_variable_array_keeps_its_place_as_a_column(tmp_path):
    path = tmp_path / "gap.csv"
    path.write_text(WRITTEN["counted_then_expand.csv"])
    notes = []
    assert "GAP" in ours(path, notes).names
    assert notes == [
        f"{path}: gap.csv line 7 ('GAP'): a fill after a variable array makes a column"
    ]


def test_permutation_strings_mean_what_ccsdspy_means(tmp_path):
    """Every permutation of 2, 3 and 4 bytes and a few of 8, in a byte_order
    column, against ccsdspy's PacketField with the same byte_order (ccsdspy's
    CSV reader drops the column)."""
    orders = (
        ["big", "little"]
        + ["".join(p) for n in (2, 3, 4) for p in itertools.permutations("1234"[:n])]
        + ["78563412", "12345678", "21436587", "56781234"]
    )
    rng = np.random.default_rng(5)
    for order in orders:
        n = len(order) if order.isdigit() else 4
        path = tmp_path / f"order_{order}.csv"
        path.write_text(
            f"name,data_type,bit_length,byte_order\nV,uint({n and 3}),{8 * n},{order}\n"
        )
        imported = ours(path)
        theirs_packet = ccsdspy.FixedLength(
            [
                ccsdspy.PacketArray(
                    name="V", data_type="uint", bit_length=8 * n, array_shape=3, byte_order=order
                )
            ]
        )
        archive = random_packets(imported, rng, n=30)
        theirs = theirs_packet.load(io.BytesIO(archive), include_primary_header=True)
        assert_tables_equal(imported, archive, theirs)


def test_the_issue_example_of_2341():
    assert definitions_module.ccsdspy_byte_order("2341") == "4123"
    item = {"name": "v", "encoding": "unsigned", "bits": 32, "reverse_bits": False}
    ccsdspy_reading = vantrel.Layout([{**item, "byte_order": "4123"}])
    assert ccsdspy_reading.unpack(bytes([1, 2, 3, 4]))["v"] == 0x04010203
    vantrel_reading = vantrel.Layout([{**item, "byte_order": "2341"}])
    assert vantrel_reading.unpack(bytes([1, 2, 3, 4]))["v"] == 0x02030401
    for mirror in ("21", "4321", "2143", "3412", "78563412"):
        assert definitions_module.ccsdspy_byte_order(mirror) == mirror


def test_shipped_byte_order_files_decode_to_their_values(tmp_path):
    """ccsdspy's byteorder_*.bin hold 80 values per packet in the byte
    order of the file's name; byteorder_*.csv hold the values."""
    for data in sorted((CCSDSPY_DATA / "byte_order").glob("byteorder_*.bin")):
        order = data.stem.split("_")[1]
        path = tmp_path / f"{data.stem}.csv"
        path.write_text(
            f"name,data_type,bit_length,byte_order\nbody,uint(80),{8 * len(order)},{order}\n"
        )
        archive = data.read_bytes()
        offsets = vantrel.split_packets(
            archive, length_offset_bits=32, length_bits=16, length_adjust=7
        )
        got = ours(path).layout.unpack_many(archive, offsets=offsets)["body"]
        expected = np.loadtxt(data.with_suffix(".csv"), delimiter=",", dtype=np.uint64, ndmin=2)
        assert got.tolist() == expected.tolist(), order


CALIBRATED = """name,data_type,bit_offset,bit_length,calibration
MODE,uint,48,8,"{""0"":""OFF"",""[1,3]"":""ON"",""0x10"":""SAFE""}"
TEMP,int,56,16,"{""0"":-40,""1"":0.5,""2"":0.001}"
VOLTS,float,72,32,"{""0"":1,""1"":2}"
WIDE,uint,104,32,"{""[0,4000000000]"":""LOW""}"
ODD,uint,136,8,"{""a"":""X""}"
"""


def test_calibration_columns_become_conversions(tmp_path):
    path = tmp_path / "cal.csv"
    path.write_text(CALIBRATED)
    notes = []
    imported = ours(path, notes)
    layout = imported.layout
    recipe = {item["name"]: item for item in imported.recipe}
    assert recipe["MODE"]["convert"] == {
        "type": "enumeration",
        "states": {0: "OFF", 1: "ON", 2: "ON", 3: "ON", 16: "SAFE"},
    }
    assert recipe["TEMP"]["convert"] == {"type": "polynomial", "coefficients": [-40.0, 0.5, 0.001]}
    assert recipe["VOLTS"]["convert"] == {"type": "polynomial", "coefficients": [1.0, 2.0]}
    assert "convert" not in recipe["WIDE"] and "convert" not in recipe["ODD"]
    assert notes == [
        f"{path}: cal.csv line 5 ('WIDE'): calibration not used: "
        "its ranges name more than 65,536 values",
        f"{path}: cal.csv line 6 ('ODD'): calibration not used: "
        "'a' is neither a value nor a [low, high] range",
    ]
    packet = layout.pack(
        {
            "MODE": 16,
            "TEMP": 1,
            "VOLTS": 3.0,
            "WIDE": 9,
            "ODD": 1,
            "CCSDS_VERSION_NUMBER": 0,
            "CCSDS_PACKET_TYPE": 0,
            "CCSDS_SECONDARY_FLAG": 0,
            "CCSDS_APID": 1,
            "CCSDS_SEQUENCE_FLAG": 3,
            "CCSDS_SEQUENCE_COUNT": 0,
        },
        raw=True,
    )
    raw = layout.unpack(packet, raw=True)
    assert (raw["MODE"], raw["TEMP"], raw["VOLTS"]) == (16, 1, 3.0)
    # ccsdspy ignores the column: its values are the raw ones.
    theirs = ccsdspy.FixedLength.from_file(str(path)).load(
        io.BytesIO(packet), include_primary_header=True
    )
    assert_tables_equal(imported, packet, theirs)
    engineering = layout.unpack(packet)
    assert engineering["MODE"] == "SAFE"
    assert engineering["TEMP"] == pytest.approx(-39.499) and engineering["VOLTS"] == 7.0


def test_hs_calibrations_name_states_of_real_packets():
    directory = CCSDSPY_DATA / "hs" / "apid035"
    archive = next(directory.glob("*.tlm")).read_bytes()
    layout = ours(directory / "defs.csv").layout
    offsets = vantrel.split_packets(archive, length_offset_bits=32, length_bits=16, length_adjust=7)
    columns = layout.unpack_many(archive, offsets=offsets, errors="mask")
    raw = layout.unpack_many(archive, offsets=offsets, raw=True)["pkt35_sine0status"].tolist()
    # The cell: {"0": "NEGATIVE", "1": "POSITIVE"}; both occur.
    names = ["NEGATIVE", "POSITIVE"]
    assert columns["pkt35_sine0status"].tolist() == [names[v] for v in raw]
    assert set(raw) == {0, 1}


def test_a_bit_offset_after_a_variable_array_is_refused(tmp_path):
    path = tmp_path / "late.csv"
    path.write_text(
        "name,data_type,bit_length,bit_offset\nN,uint,8,48\nA,uint(N),8,56\nB,uint,8,64\n"
    )
    with pytest.raises(
        definitions_module.DefinitionsError,
        match=r"line 4 \('B'\): a bit_offset after the variable array 'A'",
    ):
        ours(path)


def test_little_endian_integers_are_ccsdspys_values_or_refused(tmp_path):
    """A little-endian integer field in a byte_order column, at every width
    and bit offset, against ccsdspy's PacketField with that byte_order: the
    same values, or an error naming the field (never other values)."""
    rng = np.random.default_rng(31)
    reproduced = refused = 0
    for bits in (3, 4, 8, 9, 12, 16, 20, 24, 32):
        for shift in (0, 3, 4, 5, 8, 12):
            start, after = 56 + shift, 56 + shift + bits
            after += 8 - after % 8 if after % 8 else 8
            path = tmp_path / f"little_{bits}_{shift}.csv"
            path.write_text(
                "name,data_type,bit_length,bit_offset,byte_order\n"
                f"A,uint,8,48,big\nV,uint,{bits},{start},little\nZ,uint,8,{after},big\n"
            )
            try:
                imported = ours(path)
            except definitions_module.DefinitionsError as error:
                assert f"line 3 ('V'): ccsdspy reads a little-endian field of {bits} bits" in str(
                    error
                )
                refused += 1
                continue
            theirs_packet = ccsdspy.FixedLength(
                [
                    ccsdspy.PacketField(name="A", data_type="uint", bit_length=8, bit_offset=48),
                    ccsdspy.PacketField(
                        name="V", data_type="uint", bit_length=bits, bit_offset=start,
                        byte_order="little",
                    ),
                    ccsdspy.PacketField(name="Z", data_type="uint", bit_length=8, bit_offset=after),
                ]
            )  # fmt: skip
            archive = random_packets(imported, rng, n=20)
            theirs = theirs_packet.load(io.BytesIO(archive), include_primary_header=True)
            assert_tables_equal(imported, archive, theirs)
            reproduced += 1
    # Whole words on bytes and bits within a byte are read; the rest refused.
    assert (reproduced, refused) == (17, 37)
