"""No silent wrong value from the library: where two features meet (packet
lengths and the buffer's end, conversions and packing, names and outputs,
datetime64 and time codes, counters across a reset), the result is the
sound value or a clear refusal."""

import datetime
import math
import struct
from pathlib import Path

import numpy as np
import pytest
from hypothesis import given, settings
from hypothesis import strategies as st

import vantrel
from recipe_helpers import item

CCSDS_LENGTH = {"offset_bits": 32, "bits": 16, "adjust": 7}


def header():
    return [
        item("apid", bits=16),
        item("seq", bits=16),
        item("length", bits=16),
    ]


def arrow_nulls(columns):
    pa = pytest.importorskip("pyarrow")
    table = pa.table(columns)
    return {
        name: [i for i, v in enumerate(table.column(name).to_pylist()) if v is None]
        for name in table.column_names
    }


def numpy_masked(columns):
    return {name: list(np.flatnonzero(np.ma.getmaskarray(c))) for name, c in columns.items()}


# ---- A packet's own length runs past the buffer ---------------------------


FLAT_WITH_LENGTH = vantrel.Layout(
    [*header(), item("value", bits=16), item("label", "us_ascii", 16)],
    packet_length=CCSDS_LENGTH,
)


def flat_archive():
    packets = [
        FLAT_WITH_LENGTH.pack({"apid": 1, "seq": k, "value": 10 * k, "label": f"L{k}"})
        for k in range(3)
    ]
    archive = b"".join(packets)
    offsets = vantrel.split_packets(archive, length_offset_bits=32, length_bits=16, length_adjust=7)
    return archive, offsets


class TestPacketsCutByTheBuffer:
    def test_a_cut_packet_fails_whole_in_every_output(self):
        archive, offsets = flat_archive()
        cut = archive[:-1]  # the last packet loses its label's last byte only
        with pytest.raises(ValueError, match="packet's length field gives 10 bytes"):
            FLAT_WITH_LENGTH.unpack(cut, 8 * int(offsets[2]))
        message = (
            r"packet 2 at byte 20: the packet's length field gives 10 bytes"
            r" \(field 3 \+ adjust 7\), but the buffer holds 72 bits from the packet's start"
        )
        for output in ("numpy", "arrow"):
            with pytest.raises(ValueError, match=message):
                FLAT_WITH_LENGTH.unpack_many(cut, offsets=offsets, output=output)
        expected = {name: [2] for name in ("apid", "seq", "length", "value", "label")}
        masked = FLAT_WITH_LENGTH.unpack_many(cut, offsets=offsets, errors="mask")
        assert numpy_masked(masked) == expected
        assert masked["value"][:2].tolist() == [0, 10]
        arrow = FLAT_WITH_LENGTH.unpack_many(cut, offsets=offsets, errors="mask", output="arrow")
        assert arrow_nulls(arrow) == expected
        # Whole, the same packets decode.
        whole = FLAT_WITH_LENGTH.unpack_many(archive, offsets=offsets)
        assert whole["value"].tolist() == [0, 10, 20]

    def test_a_packet_that_ends_before_its_length_field(self):
        archive, offsets = flat_archive()
        cut = archive[: int(offsets[2]) + 5]
        with pytest.raises(
            ValueError, match="packet 2 at byte 20: the packet of 5 bytes is too short"
        ):
            FLAT_WITH_LENGTH.unpack_many(cut, offsets=offsets)
        masked = FLAT_WITH_LENGTH.unpack_many(cut, offsets=offsets, errors="mask")
        assert all(list(np.ma.getmaskarray(c)) == [False, False, True] for c in masked.values())

    def test_an_earlier_failure_comes_first(self):
        archive, offsets = flat_archive()
        damaged = bytearray(archive[:-1])
        damaged[8] = 0xFF  # packet 0's label is not ASCII
        with pytest.raises(ValueError, match="packet 0 at byte 0: recipe item 4"):
            FLAT_WITH_LENGTH.unpack_many(bytes(damaged), offsets=offsets)

    @pytest.mark.parametrize("text_dtype", [None, "S", "T"])
    def test_given_lengths_past_the_buffer(self, text_dtype):
        if text_dtype == "T" and not hasattr(np.dtypes, "StringDType"):
            pytest.skip("numpy without StringDType")
        layout = vantrel.Layout([item("a", bits=8), item("name", "us_ascii", 16)])
        buffer = b"\x01AB\x02CD\x03EF"
        offsets, lengths = [0, 3, 6], [3, 3, 4]  # the last one claims a byte more than there is
        with pytest.raises(
            ValueError, match="packet 2 at byte 6: lengths gives the packet 4 bytes"
        ):
            layout.unpack_many(buffer, offsets=offsets, lengths=lengths, text_dtype=text_dtype)
        masked = layout.unpack_many(
            buffer, offsets=offsets, lengths=lengths, errors="mask", text_dtype=text_dtype
        )
        assert numpy_masked(masked) == {"a": [2], "name": [2]}
        arrow = layout.unpack_many(
            buffer, offsets=offsets, lengths=lengths, errors="mask", output="arrow"
        )
        assert arrow_nulls(arrow) == {"a": [2], "name": [2]}
        fine = layout.unpack_many(buffer, offsets=offsets, lengths=[3, 3, 3])
        assert fine["a"].tolist() == [1, 2, 3]

    def test_array_layouts_mask_the_cut_packet_in_every_column(self):
        layout = vantrel.Layout(
            [*header(), item("n", bits=8), item("samples", bits=8, count="n")],
            packet_length=CCSDS_LENGTH,
        )
        archive = b"".join(
            layout.pack({"apid": 3, "seq": k, "samples": list(range(k + 1))}) for k in range(3)
        )
        offsets = vantrel.split_packets(
            archive, length_offset_bits=32, length_bits=16, length_adjust=7
        )
        cut = archive[:-1]
        with pytest.raises(ValueError, match="packet 2 at byte 17: the packet's length field"):
            layout.unpack_many(cut, offsets=offsets)
        masked = layout.unpack_many(cut, offsets=offsets, errors="mask")
        assert list(masked["samples"].mask) == [False, False, True]
        assert list(np.ma.getmaskarray(masked["apid"])) == [False, False, True]
        arrow = layout.unpack_many(cut, offsets=offsets, errors="mask", output="arrow")
        assert all(nulls == [2] for nulls in arrow_nulls(arrow).values())


# ---- Exact packet lengths ----------------------------------------------------


class TestExactPacketLengths:
    def test_a_length_beyond_two_to_the_sixty_with_a_large_negative_adjust(self):
        length = {"offset_bits": 0, "bits": 64, "adjust": -(2**62)}
        layout = vantrel.Layout([item("length", bits=64), item("v", bits=16)], packet_length=length)
        packet = struct.pack(">QH", 2**62 + 10, 0xBEEF)
        stream = packet * 3
        offsets = vantrel.split_packets(
            stream, length_offset_bits=0, length_bits=64, length_adjust=-(2**62)
        )
        assert list(offsets) == [0, 10, 20]
        columns = layout.unpack_many(stream, offsets=offsets, errors="mask")
        assert columns["v"].tolist() == [0xBEEF] * 3 and not np.ma.getmaskarray(columns["v"]).any()
        assert layout.unpack(packet) == {"length": 2**62 + 10, "v": 0xBEEF}
        assert layout.pack({"v": 0xBEEF}) == packet

    def test_the_extreme_adjustments(self):
        lowest = vantrel.Layout(
            [item("length", bits=64), item("v", bits=8)],
            packet_length={"offset_bits": 0, "bits": 64, "adjust": -(2**63)},
        )
        packet = lowest.pack({"v": 7})
        assert packet == struct.pack(">QB", 9 + 2**63, 7)
        assert lowest.unpack(packet) == {"length": 9 + 2**63, "v": 7}
        assert lowest.unpack_many(packet, offsets=[0])["v"].tolist() == [7]
        highest = vantrel.Layout(
            [item("length", bits=64), item("v", bits=8)],
            packet_length={"offset_bits": 0, "bits": 64, "adjust": 2**63 - 1},
        )
        with pytest.raises(
            ValueError, match="shorter than its length adjustment 9223372036854775807"
        ):
            highest.pack({"v": 7})
        # Any length field then gives more bytes than there are.
        stream = struct.pack(">QB", 2**64 - 1, 7)
        with pytest.raises(ValueError, match="gives 27670116110564327422 bytes"):
            highest.unpack(stream)
        with pytest.raises(ValueError, match="packet 0 at byte 0: the packet's length field gives"):
            highest.unpack_many(stream, offsets=[0])
        assert list(highest.unpack_many(stream, offsets=[0], errors="mask")["v"].mask) == [True]

    def test_a_length_the_field_cannot_hold_is_named(self):
        layout = vantrel.Layout(
            [item("length", bits=16), item("v", bits=8)],
            packet_length={"offset_bits": 0, "bits": 16, "adjust": -(2**63)},
        )
        with pytest.raises(
            ValueError,
            match=r"the packet of 3 bytes needs 9223372036854775811 in its length field .* "
            r"more than 16 bits hold",
        ):
            layout.pack({"v": 1})


# ---- State names, the same in every output --------------------------------------


class TestStateNames:
    def test_a_nul_in_a_name_is_kept_in_every_output(self):
        states = {0: "A\0B", 1: "ON", 2: "x\0"}
        layout = vantrel.Layout([item("s", convert={"type": "enumeration", "states": states})])
        buffer = bytes([0, 1, 2, 0])
        expected = ["A\0B", "ON", "x\0", "A\0B"]
        assert layout.unpack_many(buffer)["s"].tolist() == expected
        assert [layout.unpack(bytes([b]))["s"] for b in buffer] == expected
        pa = pytest.importorskip("pyarrow")
        arrow = pa.table(layout.unpack_many(buffer, output="arrow"))
        assert arrow.column("s").to_pylist() == expected
        assert layout.pack({"s": "x\0"}) == b"\x02"

    @pytest.mark.parametrize("where", ["states", "default"])
    def test_a_name_without_utf8_is_refused_naming_the_field(self, where):
        convert = {"type": "enumeration", "states": {0: "OK"}}
        if where == "states":
            convert["states"][1] = "bad\ud800"
        else:
            convert["default"] = "\udfff"
        with pytest.raises(
            ValueError,
            match=r"recipe item 1 \('mode'\): convert: state name .* "
            r"has no UTF-8 form",
        ):
            vantrel.Layout([item("a"), item("mode", convert=convert)])

    def test_a_table_of_a_million_states_builds(self):
        count = 2**20
        states = {k: f"S{k}" for k in range(count)}
        layout = vantrel.Layout(
            [item("s", bits=32, convert={"type": "enumeration", "states": states})]
        )
        raw = np.array([0, 1, count - 1, 77777], dtype=">u4")
        assert layout.unpack_many(raw.tobytes())["s"].tolist() == [
            "S0",
            "S1",
            f"S{count - 1}",
            "S77777",
        ]
        assert layout.pack({"s": f"S{count - 2}"}) == (count - 2).to_bytes(4, "big")

    def test_names_shared_by_many_values_stay_one_state_each(self):
        states = {k: ("EVEN" if k % 2 == 0 else "ODD") for k in range(1000)}
        layout = vantrel.Layout(
            [item("s", bits=16, convert={"type": "enumeration", "states": states})]
        )
        pa = pytest.importorskip("pyarrow")
        column = pa.table(layout.unpack_many(bytes(4), output="arrow")).column("s")
        assert column.chunk(0).dictionary.to_pylist() == ["EVEN", "ODD"]
        assert layout.pack({"s": "ODD"}) == b"\x00\x01"


# ---- datetime64 outside the nanosecond range ---------------------------------


CUC = vantrel.Layout(
    [
        item(
            "t",
            bits=48,
            convert={"type": "cuc", "coarse_octets": 4, "fine_octets": 2, "scale": "TAI"},
        )
    ]
)


class TestDatetime64Range:
    @pytest.mark.parametrize(
        "value",
        [
            np.datetime64("2585-01-01"),
            np.datetime64("1500-06-01T00:00", "m"),
            np.datetime64(3000, "Y"),
        ],
    )
    def test_pack_refuses_what_datetime64_ns_cannot_hold(self, value):
        with pytest.raises(ValueError, match=r"is outside the range of datetime64\[ns\]"):
            CUC.pack({"t": value})
        with pytest.raises(ValueError, match=r"row 1: .* is outside the range of datetime64\[ns\]"):
            CUC.pack_many({"t": np.array([np.datetime64("2000-01-01"), value])})
        # As a datetime of that year is.
        as_datetime = datetime.datetime(value.astype("datetime64[Y]").astype(int) + 1970, 1, 1)
        with pytest.raises(ValueError, match=r"outside the range of datetime64\[ns\]"):
            CUC.pack({"t": as_datetime})

    def test_values_in_range_of_any_unit_pack_as_their_datetime(self):
        for value in [np.datetime64("2020-02-29"), np.datetime64("2040-05-06T07:08:09.123456789")]:
            as_datetime = datetime.datetime.fromisoformat(str(value)[:26])
            packed = CUC.pack({"t": value})
            assert CUC.pack_many({"t": np.array([value])}) == packed
            assert abs(CUC.unpack(packed)["t"] - as_datetime) <= datetime.timedelta(microseconds=16)
        assert CUC.pack({"t": np.datetime64(5, "ps")}) == CUC.pack(
            {"t": np.datetime64("1970-01-01")}
        )

    def test_the_latest_nanosecond_is_too_late_not_before_the_epoch(self):
        latest = np.datetime64(np.iinfo(np.int64).max, "ns")
        with pytest.raises(ValueError, match="is too late for 4 octets of coarse time"):
            CUC.pack({"t": latest})
        late_epoch = {"type": "cuc", "coarse_octets": 4, "epoch": "2200-01-01", "scale": "TAI"}
        late = vantrel.Layout([item("t", bits=32, convert=late_epoch)])
        elapsed = int(latest.astype(np.int64)) - int(
            np.datetime64("2200-01-01", "ns").astype(np.int64)
        )
        assert late.unpack(late.pack({"t": latest}), raw=True)["t"] == round(elapsed / 10**9)


# ---- Inverted polynomials: exact or refused ------------------------------------------


def closest_double(coefficients, raw, value):
    """Whether no neighbour of `raw` calibrates closer to `value`."""

    def f(x):
        return float(np.polynomial.polynomial.polyval(x, coefficients))

    here = abs(f(raw) - value)
    return all(
        here <= abs(f(x) - value)
        for x in (math.nextafter(raw, -math.inf), math.nextafter(raw, math.inf))
    )


def f64_field(coefficients, low, high):
    convert = {
        "type": "polynomial",
        "coefficients": coefficients,
        "invert": True,
        "raw_range": [low, high],
    }
    return vantrel.Layout([item("r", "ieee754_f64", 64, convert=convert)])


class TestInvertedPolynomials:
    def test_a_line_over_a_huge_range(self):
        layout = f64_field([0.0, 1.0], 0, 1e300)
        assert layout.unpack(layout.pack({"r": 5.0}), raw=True)["r"] == 5.0
        assert layout.unpack(layout.pack({"r": 1e299}), raw=True)["r"] == 1e299

    def test_a_steep_curve_over_a_huge_range(self):
        coefficients = [1.0, 1e-290, 3e-300]
        layout = f64_field(coefficients, 0, 1e300)
        for value in [5.0, 1.5, 3e299]:
            raw = layout.unpack(layout.pack({"r": value}), raw=True)["r"]
            assert closest_double(coefficients, raw, value), (value, raw)

    @settings(max_examples=80, deadline=None)
    @given(
        st.lists(st.floats(0.001, 1000), min_size=1, max_size=4),
        st.floats(-100, 100),
        st.integers(0, 200),
        st.floats(0, 1),
    )
    def test_the_root_is_the_closest_double(self, rising, constant, exponent, where):
        # Odd powers with positive weights, and a constant: rising everywhere.
        coefficients = [constant]
        for weight in rising:
            coefficients += [weight, 0.0]
        high = 10.0 ** (exponent / 10)
        layout = f64_field(coefficients, -high, high)
        value = float(np.polynomial.polynomial.polyval(-high + 2 * high * where, coefficients))
        raw = layout.unpack(layout.pack({"r": value}), raw=True)["r"]
        assert -high <= raw <= high
        assert closest_double(coefficients, raw, value)

    def test_an_integer_field_clips_a_wider_raw_range(self):
        convert = {
            "type": "polynomial",
            "coefficients": [0.0, 0.0, 1.0],
            "invert": True,
            "raw_range": [-1000, 1000],
        }
        layout = vantrel.Layout([item("r", bits=8, convert=convert)])
        assert layout.pack({"r": 100.0}) == bytes([10])
        assert layout.pack({"r": 0.0}) == bytes([0])
        # (raw - 500)^2 turns at 500, outside the raw values of 8 signed bits.
        turning = {**convert, "coefficients": [250000.0, -1000.0, 1.0]}
        signed = vantrel.Layout([item("r", "twos_complement", 8, convert=turning)])
        assert signed.pack({"r": 505.0**2}) == (-5).to_bytes(1, "big", signed=True)
        assert signed.unpack(signed.pack({"r": 373.0**2}), raw=True) == {"r": 127}
        with pytest.raises(
            ValueError, match=r"raw_range \(300, 400\) holds no raw value of the 8-bit"
        ):
            vantrel.Layout([item("r", bits=8, convert={**convert, "raw_range": [300, 400]})])


# ---- Filled count and length fields are raw ----------------------------------------


class TestFilledCounts:
    def test_an_omitted_count_with_a_conversion_is_the_raw_count(self):
        layout = vantrel.Layout(
            [
                item("n", bits=8, convert={"type": "linear", "slope": 2.0}),
                item("data", bits=8, count="n"),
            ]
        )
        packet = layout.pack({"data": [1, 2, 3, 4]})
        assert packet == bytes([4, 1, 2, 3, 4])
        assert layout.unpack(packet) == {"n": 8.0, "data": [1, 2, 3, 4]}
        # A count given is its engineering value, checked through the conversion.
        assert layout.pack({"n": 8.0, "data": [1, 2, 3, 4]}) == packet
        with pytest.raises(ValueError, match="the array has 4 values but its count field 'n' is 2"):
            layout.pack({"n": 4.0, "data": [1, 2, 3, 4]})
        assert layout.pack_many({"data": [[5], [6, 7]]}) == bytes([1, 5, 2, 6, 7])

    def test_an_omitted_length_with_a_conversion_is_the_raw_length(self):
        layout = vantrel.Layout(
            [
                item("length", bits=8, convert={"type": "linear", "slope": 0.5, "intercept": 1.0}),
                item("data", bits=8, count="*"),
            ],
            packet_length={"offset_bits": 0, "bits": 8, "adjust": 1},
        )
        packet = layout.pack({"data": [9, 8, 7]})
        assert packet == bytes([3, 9, 8, 7])
        assert layout.unpack(packet) == {"length": 2.5, "data": [9, 8, 7]}


# ---- Sequence counters: one discontinuity, one event -------------------------------


class TestSequenceEvents:
    def test_one_counter_reset_is_one_event(self):
        report = vantrel.check_sequence_counts([7] * 8, [0, 1, 2, 3, 0, 1, 2, 3])
        assert list(report.reset_index) == [4]
        assert not len(report.out_of_order_index) and not len(report.duplicate_index)
        assert not len(report.gap_index)
        gaps, missing, duplicates, late = report  # still the four arrays it was
        assert len(report) == 4 and late is report.out_of_order_index

    def test_a_late_packet_is_still_out_of_order(self):
        report = vantrel.check_sequence_counts([1] * 5, [5, 6, 8, 7, 9])
        assert list(report.gap_index) == [2] and list(report.gap_missing) == [1]
        assert list(report.out_of_order_index) == [3] and not len(report.reset_index)
        # A last packet that goes back has nothing after it: out of order.
        report = vantrel.check_sequence_counts([1] * 4, [5, 6, 7, 2])
        assert list(report.out_of_order_index) == [3] and not len(report.reset_index)

    def test_a_stream_joined_to_itself_fifty_times(self):
        rng = np.random.default_rng(27)
        keys = rng.choice([3, 100, 2047], 5400)
        counts = np.zeros(len(keys), np.int64)
        for key in (3, 100, 2047):
            mine = keys == key
            counts[mine] = (np.arange(mine.sum()) + 16000) % 16384  # wraps inside the stream
        joined_keys, joined_counts = np.tile(keys, 50), np.tile(counts, 50)
        report = vantrel.check_sequence_counts(joined_keys, joined_counts)
        assert not len(report.out_of_order_index) and not len(report.duplicate_index)
        assert not len(report.gap_index)
        firsts = [int(np.flatnonzero(keys == key)[0]) for key in (3, 100, 2047)]
        assert list(report.reset_index) == sorted(
            j * len(keys) + f for j in range(1, 50) for f in firsts
        )

    def test_the_shipped_archive_joined_fifty_times(self):
        archive = (
            Path(__file__).resolve().parents[1] / "examples" / "command" / "day.bin"
        ).read_bytes()
        framed = vantrel.split_packets(
            archive, length_offset_bits=32, length_bits=16, length_adjust=7, errors="report"
        )
        header = vantrel.CCSDS_PRIMARY_HEADER.unpack_many(archive, offsets=framed.offsets)
        keys, counts = np.asarray(header["apid"]), np.asarray(header["sequence_count"])
        once = vantrel.check_sequence_counts(keys, counts)
        joined = vantrel.check_sequence_counts(np.tile(keys, 50), np.tile(counts, 50))
        # Each counter that runs on through the archive restarts once per join.
        running = [k for k in np.unique(keys) if (keys == k).sum() > 2]
        n = len(keys)
        restarts = [
            j * n + int(np.flatnonzero(keys == k)[0]) for j in range(1, 50) for k in running
        ]
        in_copies = [j * n + int(i) for j in range(50) for i in once.reset_index]
        assert list(joined.reset_index) == sorted(restarts + in_copies)
        # Not the old flood of packets out of order: at most one per join.
        assert len(joined.out_of_order_index) <= 49 + 50 * len(once.out_of_order_index)
