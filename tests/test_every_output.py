"""Every feature in every output: layouts that put conversions, state names,
time codes, keep_raw and padded text on fixed, counted and rest-of-packet
arrays, after them, in packets bounded by their length, and on permuted byte
orders, decoded by Layout.unpack, unpack_many to numpy and to Arrow, and
packed back by Layout.pack and pack_many. The outputs agree value for value
and mask for mask; a fixed array agrees with its expanded recipe (every
element a field of its own)."""

import datetime as dt
import random

import pytest
from hypothesis import HealthCheck, given, settings
from hypothesis import strategies as st

import vantrel
import vantrel.definitions
from command_helpers import CCSDS_HEADER_TOML, run
from recipe_helpers import item

np = pytest.importorskip("numpy")
pa = pytest.importorskip("pyarrow")

UTC = dt.timezone.utc
EPOCH = dt.datetime(1970, 1, 1)
LENGTH = {"offset_bits": 0, "bits": 16, "adjust": 0}

# Element features: (recipe keys, (lowest, highest) raw value). Raw values that
# fail their conversion are drawn too: a table's raw values below 10, a
# state without a name, UTC before 1972.
FEATURES = {
    "plain": ({"encoding": "unsigned", "bits": 12}, (0, 4095)),
    "polynomial": (
        {
            "encoding": "twos_complement",
            "bits": 16,
            "convert": {"type": "polynomial", "coefficients": [-3.0, 0.25], "invert": True},
        },
        (-32768, 32767),
    ),
    "linear": (
        {
            "encoding": "unsigned",
            "bits": 12,
            "convert": {"type": "linear", "slope": 0.5, "intercept": -10.0},
        },
        (0, 4095),
    ),
    "table": (
        {
            "encoding": "unsigned",
            "bits": 8,
            "convert": {
                "type": "table",
                "points": [[10, 0.0], [100, 45.0], [255, 60.0]],
                "invert": True,
            },
        },
        (0, 255),
    ),
    "states": (
        {
            "encoding": "unsigned",
            "bits": 4,
            "convert": {"type": "enumeration", "states": {k: f"S{k}" for k in range(12)}},
        },
        (0, 15),
    ),
    "cuc": (
        {
            "encoding": "unsigned",
            "bits": 48,
            "convert": {"type": "cuc", "coarse_octets": 4, "fine_octets": 2, "scale": "TAI"},
        },
        (0, 2**48 - 1),
    ),
    "cuc_utc": (
        {
            "encoding": "unsigned",
            "bits": 32,
            "convert": {"type": "cuc", "coarse_octets": 4, "scale": "UTC"},
        },
        (0, 2**32 - 1),
    ),
    "permuted": (
        {
            "encoding": "unsigned",
            "bits": 32,
            "byte_order": "2143",
            "convert": {"type": "linear", "slope": 2.0},
        },
        (0, 2**32 - 1),
    ),
}
TEXT = st.text(alphabet="ABCXYZ az09", max_size=6)


def element(name, feature, keep_raw, **extra):
    keys, _ = FEATURES[feature]
    fields = {**keys, **extra}
    if keep_raw and "convert" in fields:
        fields["keep_raw"] = True
    return item(name, **fields)


def layout_of(shape, feature, keep_raw, trailing, bounded):
    """A layout: header fields, one array of `shape` (or a single field) of
    `feature`, then the trailing fields (text or features)."""
    recipe = [item("length", bits=16)] if bounded else []
    if shape == "counted":
        recipe.append(item("n", bits=8))
    count = {
        "fixed": {"count": 3},
        "counted": {"count": "n"},
        "rest": {"count": "*"},
        "single": {},
    }[shape]
    recipe.append(element("a", feature, keep_raw, **count))
    for k, kind in enumerate(trailing):
        if kind == "text":
            recipe.append(item(f"t{k}", "us_ascii", 48, pad="nul"))
        else:
            recipe.append(element(f"t{k}", kind, keep_raw))
    return vantrel.Layout(recipe, packet_length=LENGTH if bounded else None)


@st.composite
def layouts_and_packets(draw, shapes=("fixed", "counted", "rest", "single")):
    """A layout (header fields, one array or single field, trailing fields)
    and the raw values of a few packets, packed with raw=True."""
    shape = draw(st.sampled_from(shapes))
    feature = draw(st.sampled_from(sorted(FEATURES)))
    bounded = draw(st.booleans())  # packet_length, or lengths=
    keep_raw = draw(st.booleans())
    trailing = draw(st.lists(st.sampled_from(["text", "states", "cuc", "linear"]), max_size=3))
    layout = layout_of(shape, feature, keep_raw, trailing, bounded)
    packets = []
    for _ in range(draw(st.integers(1, 4))):
        values = {}
        raw_values = st.integers(*FEATURES[feature][1])
        if shape == "single":
            values["a"] = draw(raw_values)
        else:
            size = 3 if shape == "fixed" else draw(st.integers(0, 4))
            values["a"] = draw(st.lists(raw_values, min_size=size, max_size=size))
        for k, kind in enumerate(trailing):
            values[f"t{k}"] = draw(TEXT if kind == "text" else st.integers(*FEATURES[kind][1]))
        packets.append(layout.pack(values, raw=True))
    return layout, packets, bounded


def framing(packets, bounded):
    offsets = np.cumsum([0] + [len(p) for p in packets[:-1]])
    if bounded:
        return {"offsets": offsets}
    return {"offsets": offsets, "lengths": [len(p) for p in packets]}


def micro(ns):
    """Nanoseconds to microseconds, ties to even, as unpack rounds a time."""
    q, r = divmod(ns, 1000)
    return q + (r > 500 or (r == 500 and q % 2 == 1))


def single_value(value):
    """A value of Layout.unpack in the form of the column rows below."""
    if isinstance(value, list):
        return [single_value(v) for v in value]
    if isinstance(value, dt.datetime):
        start = EPOCH.replace(tzinfo=UTC) if value.tzinfo else EPOCH
        return ("us", (value - start) // dt.timedelta(microseconds=1))
    return value


def scalar(value):
    if isinstance(value, np.datetime64):
        return ("ns", int(value.astype("datetime64[ns]").astype("int64")))
    return value.item() if isinstance(value, np.generic) else value


def numpy_rows(column):
    """A numpy column as one entry per packet: None where masked."""
    if isinstance(column, vantrel.RaggedColumn):
        mask = column.mask
        return [
            None if mask is not None and mask[i] else [scalar(v) for v in column[i]]
            for i in range(len(column))
        ]
    data = np.ma.getdata(column)
    mask = np.ma.getmaskarray(column) if np.ma.isMaskedArray(column) else np.zeros(data.shape, bool)
    rows = []
    for i in range(data.shape[0]):
        if data.ndim == 2:
            assert mask[i].all() or not mask[i].any()  # a fixed array's row is masked whole
            rows.append(None if mask[i].all() else [scalar(v) for v in data[i]])
        else:
            rows.append(None if mask[i] else scalar(data[i]))
    return rows


def arrow_rows(column):
    array = pa.array(column)
    kind = array.type
    inner = (
        kind.value_type
        if pa.types.is_list(kind)
        or pa.types.is_large_list(kind)
        or pa.types.is_fixed_size_list(kind)
        else kind
    )
    if pa.types.is_timestamp(inner):
        ints = pa.int64()
        target = (
            pa.list_(ints, kind.list_size)
            if pa.types.is_fixed_size_list(kind)
            else pa.large_list(ints)
            if pa.types.is_large_list(kind)
            else ints
        )
        rows = array.cast(target).to_pylist()
        tag = lambda v: None if v is None else ("ns", v)  # noqa: E731
        return [
            None if r is None else [tag(v) for v in r] if isinstance(r, list) else tag(r)
            for r in rows
        ]
    return array.to_pylist()


def as_micro(row):
    if isinstance(row, list):
        return [as_micro(v) for v in row]
    if isinstance(row, tuple) and row[0] == "ns":
        return ("us", micro(row[1]))
    return row


def unpack_or_none(layout, packet, **options):
    try:
        return layout.unpack(packet, **options)
    except ValueError:
        return None


def check_every_output(layout, packets, bounded, raw_packs=True):
    """`raw_packs`: whether raw values pack back to the packets (not when a
    field is wider than 64 bits, whose raw value is its low 64 bits)."""
    data = b"".join(packets)
    where = framing(packets, bounded)
    for raw in (False, True):
        singles = [unpack_or_none(layout, p, raw=raw) for p in packets]
        numpy_columns = layout.unpack_many(data, errors="mask", raw=raw, **where)
        arrow_columns = layout.unpack_many(data, errors="mask", output="arrow", raw=raw, **where)
        assert list(numpy_columns) == list(arrow_columns) == list(layout.names)
        rows = {}
        for name in layout.names:
            rows[name] = numpy_rows(numpy_columns[name])
            assert rows[name] == arrow_rows(arrow_columns[name]), name
            column = numpy_columns[name]
            if isinstance(column, vantrel.RaggedColumn):
                # A ragged column's own Arrow export: the same lists.
                assert arrow_rows(column) == rows[name], name
        for i, single in enumerate(singles):
            if single is None:
                # One field at least fails where the packet does.
                assert any(rows[name][i] is None for name in layout.names)
                continue
            for name in layout.names:
                assert as_micro(rows[name][i]) == single_value(single[name]), (name, i)
            if raw_packs or not raw:
                assert layout.pack(single, raw=raw) == packets[i]
        failed = [i for i, s in enumerate(singles) if s is None]
        for output in ("numpy", "arrow"):
            if failed:
                with pytest.raises(ValueError, match=f"^packet {failed[0]} at byte "):
                    layout.unpack_many(data, output=output, raw=raw, **where)
        if not failed and (raw_packs or not raw):
            columns = layout.unpack_many(data, raw=raw, **where)
            assert layout.pack_many(columns, raw=raw) == data
    return numpy_columns


@settings(max_examples=150, deadline=None, suppress_health_check=[HealthCheck.too_slow])
@given(layouts_and_packets())
def test_every_output_gives_the_same_values_and_masks(case):
    check_every_output(*case)


# Archives of several blocks of packets (the column decoders convert each
# block as they decode it): failures anywhere, or only in late blocks.
CONVERTED = sorted(name for name, (keys, _) in FEATURES.items() if "convert" in keys)


@pytest.mark.parametrize("shape", ["fixed", "counted", "rest", "single"])
@pytest.mark.parametrize("feature", CONVERTED)
@pytest.mark.parametrize("clean_until", [0, 600])
def test_conversions_alike_across_blocks_of_packets(shape, feature, clean_until):
    rng = random.Random(f"{shape} {feature} {clean_until}")
    trailing = ["states", "cuc_utc", "linear"]
    bounded = clean_until == 0
    layout = layout_of(shape, feature, True, trailing, bounded)

    def raw_value(kind, i):
        low, high = FEATURES[kind][1]
        # The middle of every range converts.
        return (low + high) // 2 if i < clean_until else rng.randint(low, high)

    packets = []
    for i in range(800):
        size = {"fixed": 3, "single": None}.get(shape, rng.randint(0, 4))
        a = raw_value(feature, i) if size is None else [raw_value(feature, i) for _ in range(size)]
        values = {"a": a, **{f"t{k}": raw_value(kind, i) for k, kind in enumerate(trailing)}}
        packets.append(layout.pack(values, raw=True))
    check_every_output(layout, packets, bounded)
    columns = layout.unpack_many(b"".join(packets), errors="mask", **framing(packets, bounded))
    failed = [i for i in range(len(packets)) if numpy_rows(columns["t0"])[i] is None]
    assert failed and failed[0] >= clean_until  # some packets fail their conversion, late


@settings(max_examples=60, deadline=None, suppress_health_check=[HealthCheck.too_slow])
@given(layouts_and_packets(shapes=("fixed",)))
def test_a_fixed_array_is_its_expanded_recipe(case):
    layout, packets, bounded = case
    # The same recipe with each element of the array a field of its own.
    recipe = []
    for entry in recipe_of(layout):
        if entry.get("count") == 3:
            for k in range(3):
                recipe.append(
                    {**{key: v for key, v in entry.items() if key != "count"}, "name": f"a{k}"}
                )
        else:
            recipe.append(entry)
    expanded = vantrel.Layout(recipe, packet_length=LENGTH if bounded else None)
    data = b"".join(packets)
    where = framing(packets, bounded)
    for raw in (False, True):
        shaped = layout.unpack_many(data, errors="mask", raw=raw, **where)
        flat = expanded.unpack_many(data, errors="mask", raw=raw, **where)
        array_rows = numpy_rows(shaped["a"])
        elements = [numpy_rows(flat[f"a{k}"]) for k in range(3)]
        for i, row in enumerate(array_rows):
            if row is None:
                assert any(e[i] is None for e in elements)
            else:
                assert row == [e[i] for e in elements]
        for name in layout.names:
            if name == "a_raw":
                assert numpy_rows(shaped[name]) == [
                    list(r) for r in zip(*(numpy_rows(flat[f"a{k}_raw"]) for k in range(3)))
                ]
            elif name != "a":
                assert numpy_rows(shaped[name]) == numpy_rows(flat[name]), name
        for packet in packets:
            one = unpack_or_none(layout, packet, raw=raw)
            other = unpack_or_none(expanded, packet, raw=raw)
            assert (one is None) == (other is None)
            if one is not None:
                assert one["a"] == [other[f"a{k}"] for k in range(3)]


def recipe_of(layout):
    """The recipe a layout was built from, as it pickles it."""
    return layout.__reduce__()[1][0]


# ---- Time codes wider than 64 bits, on arrays and after them -----------------

WIDE = {"type": "cds", "day_octets": 3, "submillisecond_octets": 4, "p_field": True, "scale": "UTC"}


@pytest.mark.parametrize("count", [3, "n", "*", None])
@pytest.mark.parametrize("bounded", [False, True])
def test_wide_time_codes_in_every_shape(count, bounded):
    recipe = [item("length", bits=16)] if bounded else []
    recipe.append(item("n", bits=8))
    recipe.append(
        item(
            "w", bits=96, convert=WIDE, keep_raw=True, **({} if count is None else {"count": count})
        )
    )
    recipe.append(item("after", bits=96, convert=WIDE))
    layout = vantrel.Layout(recipe, packet_length=LENGTH if bounded else None)
    start = dt.datetime(2024, 2, 3, 4, 5, 6, 789012, tzinfo=UTC)
    packets = []
    for i, size in enumerate([3, 3, 3] if count == 3 else [2, 0, 3]):
        times = [start + dt.timedelta(days=i, seconds=k, microseconds=k) for k in range(size)]
        value = times if count is not None else times[0] if times else start
        values = {"w": value, "after": start - dt.timedelta(days=400 * i)}
        if count != "n":
            values["n"] = 7
        packets.append(layout.pack(values))
    columns = check_every_output(layout, packets, bounded, raw_packs=False)
    first = numpy_rows(columns["w_raw"])[0]  # raw: the code's low 64 bits
    assert first is not None
    # A code before UTC kept whole seconds fails in every output alike.
    early = bytearray(packets[0])
    early[-11:-8] = (1000).to_bytes(3, "big")  # day 1000 after 1958: 1960
    check_every_output(layout, [bytes(early), packets[1]], bounded, raw_packs=False)
    with pytest.raises(ValueError, match=r"^packet 0 at byte 0: recipe item \d+ \('after'\)"):
        layout.unpack_many(
            bytes(early) + packets[1], **framing([bytes(early), packets[1]], bounded)
        )


# ---- text_dtype on layouts with arrays ---------------------------------------


@pytest.mark.parametrize("count", [2, "n", "*"])
def test_text_dtype_after_arrays_and_with_packet_lengths(count):
    layout = vantrel.Layout(
        [
            item("length", bits=16),
            item("n", bits=8),
            item("a", bits=8, count=count),
            item("mode", "us_ascii", 48, pad="nul"),
            item("label", "utf8", 32, pad="nul"),
        ],
        packet_length=LENGTH,
    )
    rows = [([1, 2], "SAFE", "é!"), ([3, 4], "", "abcd"), ([5, 6], "ON", "xyz")]
    packets = [layout.pack({"a": a, "mode": m, "label": t, "n": 2}) for a, m, t in rows]
    bad = bytearray(packets[1])
    bad[-1] = 0xFF  # "label" of packet 1 is no UTF-8
    data = packets[0] + bytes(bad) + packets[2]
    offsets = [0, len(packets[0]), len(packets[0]) + len(bad)]
    objects = layout.unpack_many(data, offsets=offsets, errors="mask")
    strings = layout.unpack_many(data, offsets=offsets, errors="mask", text_dtype="T")
    stored = layout.unpack_many(data, offsets=offsets, errors="mask", text_dtype="S")
    arrow = pa.table(layout.unpack_many(data, offsets=offsets, errors="mask", output="arrow"))
    for name in ("mode", "label"):
        assert numpy_rows(objects[name]) == numpy_rows(strings[name]) == arrow[name].to_pylist()
        assert strings[name].dtype == np.dtypes.StringDType()
    assert numpy_rows(objects["label"]) == ["é!", None, "xyz"]
    # Bytes are the stored field, not decoded: nothing fails, padding kept
    # (numpy drops trailing NULs).
    assert stored["mode"].tolist() == [b"SAFE", b"", b"ON"]
    assert stored["label"].tolist() == ["é!".encode(), b"abc\xff", b"xyz"]
    assert np.ma.getmaskarray(stored["label"]).tolist() == [False] * 3
    with pytest.raises(
        ValueError, match=f"^packet 1 at byte {offsets[1]}: recipe item 4 .'label'."
    ):
        layout.unpack_many(data, offsets=offsets, text_dtype="T")
    with pytest.raises(TypeError, match="text_dtype applies to numpy output"):
        layout.unpack_many(data, offsets=offsets, output="arrow", text_dtype="T")


def test_text_dtype_of_a_permuted_layout_at_a_stride():
    layout = vantrel.Layout([item("w", bits=16, byte_order="21"), item("s", "us_ascii", 16)])
    data = b"\x01\x02ab\x03\x04cd"
    assert layout.unpack_many(data, text_dtype="T")["s"].tolist() == ["ab", "cd"]
    assert layout.unpack_many(data, text_dtype="S")["s"].tolist() == [b"ab", b"cd"]
    assert layout.unpack_many(data)["w"].tolist() == [0x0201, 0x0403]


# ---- The command: a counted array with conversions and a time code -----------

SCIENCE_TOML = (
    CCSDS_HEADER_TOML
    + """

[packets.science]
key = 0x42
time = "obt"

[[packets.science.layout]]
name = "obt"
encoding = "unsigned"
bits = 48
convert = { type = "cuc", fine_octets = 2, scale = "UTC" }

[[packets.science.layout]]
name = "n"
encoding = "unsigned"
bits = 8

[[packets.science.layout]]
name = "volts"
encoding = "unsigned"
bits = 12
count = "n"
convert = { type = "linear", slope = 0.5, intercept = -10 }
keep_raw = true

[[packets.science.layout]]
name = "modes"
encoding = "unsigned"
bits = 4
count = "n"
convert = { type = "enumeration", states = { 0 = "OFF", 1 = "ON", 2 = "SAFE" } }

[[packets.science.layout]]
name = "stamps"
encoding = "unsigned"
bits = 32
count = "n"
convert = { type = "cuc", scale = "TAI" }

[[packets.science.layout]]
name = "temperature"
encoding = "twos_complement"
bits = 16
convert = { type = "polynomial", coefficients = [-40.0, 0.0625] }

[[packets.science.layout]]
name = "label"
encoding = "us_ascii"
bits = 32
pad = "space"
"""
)


@pytest.mark.parametrize("fmt", ["parquet", "arrow", "csv"])
def test_the_command_decodes_arrays_with_conversions_and_time_codes(tmp_path, fmt):
    import vantrel.definitions

    definitions = tmp_path / "science.toml"
    definitions.write_text(SCIENCE_TOML, encoding="utf-8")
    layout = vantrel.definitions.load(definitions).packet_type("science").layout
    start = dt.datetime(2025, 3, 4, 5, 6, 7, tzinfo=UTC)
    packets = []
    for i, n in enumerate([2, 0, 3, 1]):
        values = {
            "version": 0,
            "packet_type": 0,
            "secondary_header": 0,
            "apid": 0x42,
            "sequence_flags": 3,
            "sequence_count": i,
            "packet_length": 0,
            "obt": start + dt.timedelta(seconds=10 * i),
            "volts": [0.5 * k for k in range(n)],
            "modes": ["OFF", "ON", "SAFE"][:n],
            "stamps": [dt.datetime(2000, 1, 1) + dt.timedelta(seconds=k + i) for k in range(n)],
            "temperature": 100 + i,
            "label": ["HI", "LOW", "", "MID"][i],
        }
        size = len(layout.pack(values))
        packets.append(layout.pack({**values, "packet_length": size - 7}))
    archive = tmp_path / "science.bin"
    archive.write_bytes(b"".join(packets))
    offsets = np.cumsum([0] + [len(p) for p in packets[:-1]])
    expected = pa.table(layout.unpack_many(archive.read_bytes(), offsets=offsets, output="arrow"))
    assert expected["modes"].to_pylist()[2] == ["OFF", "ON", "SAFE"]
    out = tmp_path / "out"
    assert run("decode", definitions, archive, "-o", out, "-q", "-f", fmt) == 0
    written = out / f"science.{fmt}"
    if fmt == "parquet":
        import pyarrow.parquet as pq

        table = pq.read_table(written)
    elif fmt == "arrow":
        import pyarrow.ipc as ipc

        with pa.memory_map(str(written)) as source:
            table = ipc.open_file(source).read_all()
    else:
        import csv

        rows = list(csv.reader(written.read_text(encoding="utf-8").splitlines()))
        assert rows[0] == expected.column_names and len(rows) == 1 + len(packets)
        third = dict(zip(rows[0], rows[3]))
        assert third["obt"] == "2025-03-04T05:06:27.000000000"
        assert third["volts"] == "[0, 0.5, 1]" and third["volts_raw"] == "[20, 21, 22]"
        assert third["modes"] == "[OFF, ON, SAFE]"
        assert third["stamps"] == (
            "[2000-01-01T00:00:02.000000000, 2000-01-01T00:00:03.000000000, "
            "2000-01-01T00:00:04.000000000]"
        )
        assert [dict(zip(rows[0], r))["label"] for r in rows[1:]] == ["HI", "LOW", "", "MID"]
        return
    for name in expected.column_names:
        got = table[name]
        want = expected[name]
        if pa.types.is_dictionary(want.type) or pa.types.is_large_list(want.type):
            assert got.to_pylist() == want.to_pylist(), name
        else:
            assert got.cast(want.type).to_pylist() == want.to_pylist(), name
    assert table["volts"].to_pylist()[2] == [0.0, 0.5, 1.0]
    assert table["volts_raw"].to_pylist()[2] == [20, 21, 22]
