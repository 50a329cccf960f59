"""Engineering values on layout fields: calibrations, state names and CCSDS time
codes, against values worked out independently with datetime, decimal and numpy."""

import datetime as dt
import pickle
from decimal import ROUND_HALF_EVEN, Decimal

import pytest
from hypothesis import given, settings
from hypothesis import strategies as st

import vantrel
from recipe_helpers import item

np = pytest.importorskip("numpy")

UNIX = dt.datetime(1970, 1, 1)
CCSDS_EPOCH = dt.datetime(1958, 1, 1)
UTC = dt.timezone.utc
# TAI - UTC around the leap second inserted at the end of 2016 (IERS Bulletin C 52).
BEFORE_2017, FROM_2017 = 36, 37


def ns_since_unix(moment, extra_ns=0):
    """Nanoseconds from 1970-01-01 of a naive datetime, with exact integers."""
    delta = moment - UNIX
    return (delta.days * 86400 + delta.seconds) * 10**9 + delta.microseconds * 1000 + extra_ns


def fraction_ns(numerator, denominator):
    """numerator / denominator seconds in nanoseconds, ties to even, by decimal."""
    value = Decimal(numerator) * 10**9 / Decimal(denominator)
    return int(value.quantize(Decimal(1), rounding=ROUND_HALF_EVEN))


def cuc(coarse_octets=4, fine_octets=2, p_field=False, **options):
    bits = 8 * (coarse_octets + fine_octets + p_field)
    convert = {
        "type": "cuc",
        "coarse_octets": coarse_octets,
        "fine_octets": fine_octets,
        "p_field": p_field,
        "scale": "TAI",
        **options,
    }
    return vantrel.Layout([item("t", bits=bits, convert=convert)])


def cuc_packet(coarse, fine, coarse_octets=4, fine_octets=2, p_field=None):
    head = bytes([p_field]) if p_field is not None else b""
    return (
        head
        + coarse.to_bytes(coarse_octets, "big")
        + (fine.to_bytes(fine_octets, "big") if fine_octets else b"")
    )


def cds(day_octets=2, sub_octets=0, p_field=False, **options):
    bits = 8 * (day_octets + 4 + sub_octets + p_field)
    convert = {
        "type": "cds",
        "day_octets": day_octets,
        "submillisecond_octets": sub_octets,
        "p_field": p_field,
        "scale": "TAI",
        **options,
    }
    return vantrel.Layout([item("t", bits=bits, convert=convert)])


def cds_packet(day, ms, sub=None, day_octets=2, sub_octets=0):
    tail = sub.to_bytes(sub_octets, "big") if sub_octets else b""
    return day.to_bytes(day_octets, "big") + ms.to_bytes(4, "big") + tail


def time_ns(layout, packet):
    return int(layout.unpack_many(packet)["t"].astype("int64")[0])


# ---- CUC ------------------------------------------------------------------------


class TestCuc:
    def test_worked_example_level_one_epoch_with_p_field(self):
        # 0x1E: CUC, 1958 epoch, 4 coarse and 2 fine octets.
        coarse, fine = 0x749E3F80, 0x8000
        assert coarse == (dt.datetime(2020, 1, 1) - CCSDS_EPOCH).days * 86400
        layout = cuc(p_field=True)
        packet = cuc_packet(coarse, fine, p_field=0x1E)
        expected = ns_since_unix(CCSDS_EPOCH + dt.timedelta(seconds=coarse), 500_000_000)
        assert time_ns(layout, packet) == expected
        assert layout.unpack(packet)["t"] == dt.datetime(2020, 1, 1, 0, 0, 0, 500000)

    @settings(max_examples=200, deadline=None)
    @given(
        coarse_octets=st.integers(1, 4),
        fine_octets=st.integers(0, 3),
        data=st.data(),
    )
    def test_every_format_against_decimal(self, coarse_octets, fine_octets, data):
        coarse = data.draw(st.integers(0, 256**coarse_octets - 1))
        fine = data.draw(st.integers(0, 256**fine_octets - 1))
        layout = cuc(coarse_octets, fine_octets)
        packet = cuc_packet(coarse, fine, coarse_octets, fine_octets)
        expected = ns_since_unix(CCSDS_EPOCH, coarse * 10**9 + fraction_ns(fine, 256**fine_octets))
        assert time_ns(layout, packet) == expected
        # Packing the decoded time gives back the same octets.
        column = layout.unpack_many(packet)
        assert layout.pack_many(column) == packet

    @pytest.mark.parametrize(
        ("fine", "fine_octets", "expected_ns"),
        [
            (64, 2, 976_562),  # 976562.5 ns: a tie, to the even neighbour
            (192, 2, 2_929_688),  # 2929687.5 ns: a tie, up to the even one
            (16384, 3, 976_562),  # 976562.5 ns with three fine octets
            (1, 3, 60),  # 59.6 ns
            (0xFFFFFF, 3, 999_999_940),  # 999999940.4 ns: never a whole second
        ],
    )
    def test_fine_time_rounds_to_the_nearest_nanosecond(self, fine, fine_octets, expected_ns):
        assert fraction_ns(fine, 256**fine_octets) == expected_ns
        packet = cuc_packet(0, fine, 4, fine_octets)
        assert time_ns(cuc(4, fine_octets), packet) == ns_since_unix(CCSDS_EPOCH, expected_ns)

    def test_agency_epoch(self):
        epoch = dt.datetime(2000, 1, 1, 11, 58, 55, 816000)
        layout = cuc(4, 1, p_field=True, epoch=epoch)
        # 0x2D: CUC, agency epoch, 4 coarse and 1 fine octet.
        packet = cuc_packet(86400, 0x40, 4, 1, p_field=0x2D)
        expected = ns_since_unix(epoch + dt.timedelta(days=1), 250_000_000)
        assert time_ns(layout, packet) == expected
        # The epoch may be a string too, and both give equal layouts.
        assert cuc(4, 1, p_field=True, epoch="2000-01-01T11:58:55.816") == layout

    def test_p_field_that_does_not_match_the_format(self):
        layout = cuc(p_field=True)
        packet = cuc_packet(5, 0, p_field=0x2E)
        with pytest.raises(ValueError, match=r"packet 0 at byte 0: .*'t'.*P-field 0x2E.*0x1E"):
            layout.unpack_many(packet)
        masked = layout.unpack_many(packet + cuc_packet(5, 0, p_field=0x1E), errors="mask")
        assert masked["t"].mask.tolist() == [True, False]


# ---- CDS ------------------------------------------------------------------------


class TestCds:
    def test_worked_example_with_microseconds(self):
        day, ms, us = 21915, 45_296_789, 123  # 2018-01-01 12:34:56.789123
        layout = cds(2, 2, p_field=True)
        packet = bytes([0x41]) + cds_packet(day, ms, us, 2, 2)
        expected = ns_since_unix(dt.datetime(2018, 1, 1, 12, 34, 56, 789123))
        assert (CCSDS_EPOCH + dt.timedelta(days=day)).date() == dt.date(2018, 1, 1)
        assert time_ns(layout, packet) == expected
        assert layout.unpack(packet)["t"] == dt.datetime(2018, 1, 1, 12, 34, 56, 789123)

    def test_24_bit_day_and_picoseconds_round_to_nanoseconds(self):
        layout = cds(3, 4)
        for ps, ns in [(1_500, 2), (2_500, 2), (999_999_499, 999_999), (999_999_999, 1_000_000)]:
            packet = cds_packet(1, 0, ps, 3, 4)
            assert time_ns(layout, packet) == ns_since_unix(CCSDS_EPOCH + dt.timedelta(days=1), ns)

    def test_segments_out_of_range(self):
        with pytest.raises(ValueError, match="millisecond of day 86400000 is over 86399999"):
            cds().unpack(cds_packet(0, 86_400_000))
        with pytest.raises(ValueError, match="microsecond of millisecond 1000 is over 999"):
            cds(2, 2).unpack(cds_packet(0, 0, 1000, 2, 2))

    def test_round_trip_through_pack(self):
        layout = cds(2, 4, p_field=True)
        moment = np.array(["1999-12-31T23:59:59.999999999", "2024-02-29T12:00:00.5"], "M8[ns]")
        packed = layout.pack_many({"t": moment})
        assert packed[0] == packed[11] == 0x42
        assert (layout.unpack_many(packed)["t"] == moment).all()


# ---- Time scales ----------------------------------------------------------------


class TestScales:
    def tai_clock(self, utc_moment, offset):
        """The TAI reading of a UTC time, as seconds since 1958 (the CUC count)."""
        return int((utc_moment - CCSDS_EPOCH).total_seconds()) + offset

    def test_last_second_before_a_leap_second(self):
        layout = cuc(4, 0, scale="UTC")
        last = dt.datetime(2016, 12, 31, 23, 59, 59)
        count = self.tai_clock(last, BEFORE_2017)
        packets = b"".join(cuc_packet(count + k, 0, 4, 0) for k in range(3))
        times = layout.unpack_many(packets)["t"]
        assert times[0] == np.datetime64("2016-12-31T23:59:59", "ns")
        # The inserted 23:59:60 has no value of its own: it stays just before midnight.
        assert times[1] == np.datetime64("2016-12-31T23:59:59.999999999", "ns")
        assert times[2] == np.datetime64("2017-01-01T00:00:00", "ns")
        assert count + 2 == self.tai_clock(dt.datetime(2017, 1, 1), FROM_2017)
        one = layout.unpack(cuc_packet(count, 0, 4, 0))["t"]
        assert one == last.replace(tzinfo=UTC) and one.tzinfo is UTC

    def test_tai_and_utc_differ_by_the_table(self):
        count = self.tai_clock(dt.datetime(2020, 6, 1), FROM_2017)
        packet = cuc_packet(count, 0, 4, 0)
        tai = time_ns(cuc(4, 0), packet)
        utc = time_ns(cuc(4, 0, scale="UTC"), packet)
        assert tai - utc == FROM_2017 * 10**9
        assert utc == ns_since_unix(dt.datetime(2020, 6, 1))

    def test_utc_before_1972_is_refused_not_guessed(self):
        layout = cuc(4, 0, scale="UTC")
        with pytest.raises(ValueError, match="UTC before 1972-01-01"):
            layout.unpack(cuc_packet(100, 0, 4, 0))
        column = layout.unpack_many(cuc_packet(100, 0, 4, 0), errors="mask")["t"]
        assert column.mask.tolist() == [True]

    def test_a_table_of_the_callers(self):
        rows = [("1972-01-01", 10), ("2030-01-01", 11)]
        layout = cuc(4, 0, scale="UTC", leap_seconds=rows)
        count = self.tai_clock(dt.datetime(2031, 1, 1), 11)
        assert time_ns(layout, cuc_packet(count, 0, 4, 0)) == ns_since_unix(dt.datetime(2031, 1, 1))
        assert pickle.loads(pickle.dumps(layout)) == layout
        assert layout != cuc(4, 0, scale="UTC")

    def test_cds_kept_in_utc_with_its_leap_second(self):
        layout = cds(epoch_scale="UTC", scale="TAI")
        day = (dt.datetime(2016, 12, 31) - CCSDS_EPOCH).days
        leap = time_ns(layout, cds_packet(day, 86_400_500))
        midnight = ns_since_unix(dt.datetime(2017, 1, 1), FROM_2017 * 10**9)
        assert leap == midnight - 500_000_000
        with pytest.raises(ValueError, match="ends without a leap second"):
            layout.unpack(cds_packet(day - 1, 86_400_500))

    def test_datetimes_carry_the_scale(self):
        tai, utc = cuc(4, 0), cuc(4, 0, scale="UTC")
        moment = dt.datetime(2021, 3, 4, 5, 6, 7)
        assert tai.unpack(tai.pack({"t": moment}))["t"] == moment
        aware = moment.replace(tzinfo=UTC)
        assert utc.unpack(utc.pack({"t": aware}))["t"] == aware
        with pytest.raises(TypeError, match="UTC time code takes an aware datetime"):
            utc.pack({"t": moment})
        with pytest.raises(TypeError, match="TAI time code takes a naive datetime"):
            tai.pack({"t": aware})

    def test_scale_is_required(self):
        with pytest.raises(ValueError, match="needs 'scale'"):
            vantrel.Layout([item("t", bits=32, convert={"type": "cuc"})])


# ---- Calibrations ---------------------------------------------------------------


def calibrated(convert, encoding="unsigned", bits=16):
    return vantrel.Layout([item("v", encoding, bits, convert=convert)])


def archive(raw_values, dtype=">u2"):
    return np.asarray(raw_values, dtype=dtype).tobytes()


class TestCalibrations:
    @settings(max_examples=50, deadline=None)
    @given(
        st.lists(st.floats(-1e3, 1e3), min_size=1, max_size=6),
        st.lists(st.integers(0, 65535), min_size=1, max_size=50),
    )
    def test_polynomial_against_polyval(self, coefficients, raw):
        layout = calibrated({"type": "polynomial", "coefficients": coefficients})
        got = layout.unpack_many(archive(raw))["v"]
        expected = np.polyval(coefficients[::-1], np.asarray(raw, dtype=np.float64))
        np.testing.assert_allclose(got, expected, rtol=1e-12, atol=1e-9)
        assert got.dtype == np.float64
        assert layout.unpack(archive(raw[:1]))["v"] == pytest.approx(got[0], rel=1e-15)

    def test_polynomial_of_a_signed_field(self):
        layout = calibrated(
            {"type": "polynomial", "coefficients": [-273.15, 0.01, 1e-6]}, "twos_complement", 12
        )
        raw = np.arange(-2048, 2048)
        packed = layout.pack_many({"v": raw}, raw=True)
        expected = np.polyval([1e-6, 0.01, -273.15], raw.astype(float))
        np.testing.assert_allclose(layout.unpack_many(packed)["v"], expected, rtol=1e-14)

    @pytest.mark.parametrize("outside", ["clamp", "extrapolate", "error"])
    def test_table_against_interp(self, outside):
        points = [[10, -5.0], [100, 20.0], [1000, 25.0], [2000, 100.0]]
        layout = calibrated({"type": "table", "points": points, "outside": outside})
        xs, ys = np.array(points).T
        inside = np.arange(10, 2001, 7)
        np.testing.assert_allclose(
            layout.unpack_many(archive(inside))["v"], np.interp(inside, xs, ys), rtol=1e-15
        )
        below_above = archive([0, 3000])
        if outside == "clamp":
            assert layout.unpack_many(below_above)["v"].tolist() == [-5.0, 100.0]
        elif outside == "extrapolate":
            got = layout.unpack_many(below_above)["v"]
            np.testing.assert_allclose(got, [-5.0 - 10 * 25 / 90, 100.0 + 1000 * 75 / 1000])
        else:
            with pytest.raises(
                ValueError, match=r"packet 0 .*raw value 0 is outside the calibration"
            ):
                layout.unpack_many(below_above)
            masked = layout.unpack_many(below_above + archive([10]), errors="mask")["v"]
            assert masked.mask.tolist() == [True, True, False]

    def test_linear_round_trip_within_rounding(self):
        layout = calibrated({"type": "linear", "slope": 0.1, "intercept": -40}, bits=12)
        values = np.linspace(-40, 369.5, 997)
        packed = layout.pack_many({"v": values})
        back = layout.unpack_many(packed)["v"]
        assert np.max(np.abs(back - values)) <= 0.05 + 1e-9
        raw = layout.unpack_many(packed, raw=True)["v"]
        np.testing.assert_array_equal(raw, np.rint((values + 40) / 0.1))
        with pytest.raises(ValueError, match="needs a raw value outside the field"):
            layout.pack({"v": -41})

    def test_polynomial_packs_raw_values(self):
        layout = calibrated({"type": "polynomial", "coefficients": [1, 2]})
        assert layout.pack({"v": 7}) == layout.pack({"v": 7}, raw=True) == b"\x00\x07"


class TestInversion:
    """pack inverts polynomials and tables that say "invert": the raw value
    whose calibration lies closest to the value, as a search of every raw
    value with numpy finds it."""

    @settings(max_examples=40, deadline=None)
    @given(
        st.floats(-100, 100),
        st.floats(1e-3, 1.0),
        st.floats(0, 1e-4),
        st.floats(0, 1e-8),
        st.booleans(),
        st.lists(st.floats(-1, 1), min_size=5, max_size=5),
    )
    def test_monotonic_polynomial_against_a_search(self, c0, c1, c2, c3, falling, probes):
        coefficients = [c0, c1, c2, c3]
        if falling:
            coefficients = [-c for c in coefficients]
        layout = calibrated({"type": "polynomial", "coefficients": coefficients, "invert": True})
        raw = np.arange(4096)
        values = np.polyval(coefficients[::-1], raw.astype(np.float64))
        # Every engineering value packs back to its own raw value.
        packed = layout.pack_many({"v": layout.unpack_many(archive(raw))["v"]})
        np.testing.assert_array_equal(layout.unpack_many(packed, raw=True)["v"], raw)
        # A value between two of them packs to the nearer one.
        low, high = min(values), max(values)
        for probe in probes:
            value = low + (probe + 1) / 2 * (high - low)
            nearest = int(np.argmin(np.abs(values - value)))
            got = layout.unpack(layout.pack({"v": value}), raw=True)["v"]
            assert abs(values[got] - value) <= abs(values[nearest] - value) + 1e-9

    def test_raw_range_and_float_fields(self):
        # x^2 - 4x turns at 2: invertible on [2, 1000] only.
        convert = {"type": "polynomial", "coefficients": [0, -4, 1], "invert": True}
        with pytest.raises(
            ValueError, match="not one-to-one over raw values 0 to 65535: it turns at 2"
        ):
            calibrated(convert)
        layout = calibrated({**convert, "raw_range": [2, 1000]})
        assert layout.unpack(layout.pack({"v": 5.0}), raw=True)["v"] == 5  # 25 - 20
        assert layout.unpack(layout.pack({"v": 5.2}), raw=True)["v"] == 5
        with pytest.raises(
            ValueError, match="outside the polynomial's values over raw values 2 to 1000"
        ):
            layout.pack({"v": -4.6})  # f(2) = -4, f(3) = -3: more than half a step below
        assert layout.unpack(layout.pack({"v": -4.4}), raw=True)["v"] == 2
        floats = calibrated({**convert, "raw_range": [2, 1e6]}, "ieee754_f64", 64)
        raw = floats.unpack(floats.pack({"v": 1234.5}), raw=True)["v"]
        assert raw == pytest.approx(2 + np.sqrt(4 + 1234.5), rel=1e-15)
        with pytest.raises(ValueError, match="float field needs 'raw_range'"):
            calibrated(convert, "ieee754_f64", 64)
        with pytest.raises(ValueError, match="takes the same value"):
            calibrated({"type": "polynomial", "coefficients": [3], "invert": True})
        with pytest.raises(ValueError, match="polynomials of degree up to 15, not 16"):
            calibrated({"type": "polynomial", "coefficients": [0, 1] + [0] * 15, "invert": True})
        with pytest.raises(ValueError, match="raw_range is the range pack searches"):
            calibrated({"type": "polynomial", "coefficients": [3, 1], "raw_range": [0, 1]})

    def test_signed_field_searches_its_whole_range(self):
        layout = calibrated(
            {"type": "polynomial", "coefficients": [0, 0.5, 0, 1e-9], "invert": True},
            "twos_complement",
            16,
        )
        raw = np.arange(-32768, 32768, 17)
        packed = layout.pack_many({"v": np.polyval([1e-9, 0, 0.5, 0], raw.astype(float))})
        np.testing.assert_array_equal(layout.unpack_many(packed, raw=True)["v"], raw)

    @pytest.mark.parametrize("outside", ["error", "clamp", "extrapolate"])
    @pytest.mark.parametrize(
        "points", [[[0, -5.0], [1000, 20.0], [4095, 30.0]], [[100, 9.0], [200, 1.0], [300, -7.0]]]
    )
    def test_tables_against_interp(self, points, outside):
        layout = calibrated(
            {"type": "table", "points": points, "outside": outside, "invert": True}, bits=12
        )
        xs, ys = np.array(points).T
        raw = np.arange(int(xs[0]), int(xs[-1]) + 1)
        values = np.interp(raw, xs, ys)
        packed = layout.pack_many({"v": values})
        np.testing.assert_array_equal(layout.unpack_many(packed, raw=True)["v"], raw)
        for value in np.linspace(min(ys), max(ys), 37):
            nearest = raw[np.argmin(np.abs(values - value))]
            got = layout.unpack(layout.pack({"v": value}), raw=True)["v"]
            assert (
                abs(np.interp(got, xs, ys) - value)
                <= abs(np.interp(nearest, xs, ys) - value) + 1e-12
            )
        beyond = ys[-1] + (ys[-1] - ys[-2]) * 10 / (xs[-1] - xs[-2])  # 10 raw steps past the end
        if outside == "extrapolate" and xs[-1] + 10 < 4096:
            assert layout.unpack(layout.pack({"v": beyond}), raw=True)["v"] == xs[-1] + 10
        elif outside != "extrapolate":
            with pytest.raises(ValueError, match=r"row 0: .*outside the table's values"):
                layout.pack_many({"v": [beyond]})

    def test_tables_that_turn_are_refused(self):
        with pytest.raises(ValueError, match=r"convert: a table inverts only when .* \(point 2\)"):
            calibrated({"type": "table", "points": [[0, 1], [5, 2], [9, 2]], "invert": True})

    def test_inversion_is_part_of_the_layout(self):
        convert = {"type": "polynomial", "coefficients": [1, 2], "invert": True}
        layout = calibrated(convert)
        assert pickle.loads(pickle.dumps(layout)) == layout
        assert layout != calibrated({"type": "polynomial", "coefficients": [1, 2]})
        assert layout.pack({"v": 15}) == b"\x00\x07"
        assert layout.pack({"v": 15}, raw=True) == b"\x00\x0f"


# ---- Enumerations ---------------------------------------------------------------

STATES = {0: "OFF", 1: "ON", 2: "SAFE", 7: "SAFE"}


class TestEnumerations:
    def layout(self, **options):
        convert = {"type": "enumeration", "states": STATES, **options}
        return vantrel.Layout([item("mode", bits=4), item("n", bits=4, convert=convert)])

    def test_names_one_object_each(self):
        raw = [0, 1, 2, 7] * 50
        column = self.layout().unpack_many(bytes(raw))["n"]
        assert column.dtype == object
        assert column.tolist() == [STATES[r] for r in raw]
        assert len({id(name) for name in column}) == 3

    def test_unknown_values_raise(self):
        with pytest.raises(
            ValueError, match=r"packet 2 at byte 2: recipe item 1 \('n'\).*value 5 "
        ):
            self.layout().unpack_many(bytes([0, 1, 5, 6]))
        with pytest.raises(ValueError, match="value 5 has no state name"):
            self.layout().unpack(bytes([5]))

    def test_unknown_values_masked(self):
        column = self.layout().unpack_many(bytes([0, 5, 2, 6]), errors="mask")["n"]
        assert column.mask.tolist() == [False, True, False, True]
        assert column.compressed().tolist() == ["OFF", "SAFE"]

    def test_unknown_values_default(self):
        layout = self.layout(default="UNKNOWN")
        assert layout.unpack_many(bytes([5, 1]))["n"].tolist() == ["UNKNOWN", "ON"]
        assert layout.unpack(bytes([9]))["n"] == "UNKNOWN"

    def test_signed_field_and_wide_keys(self):
        states = {-1: "MINUS", 0: "ZERO", 1 << 40: "FAR"}
        layout = vantrel.Layout(
            [item("s", "twos_complement", 64, convert={"type": "enumeration", "states": states})]
        )
        packed = layout.pack_many({"s": ["MINUS", "FAR", "ZERO"]})
        assert layout.unpack_many(packed, raw=True)["s"].tolist() == [-1, 1 << 40, 0]
        assert layout.unpack_many(packed)["s"].tolist() == ["MINUS", "FAR", "ZERO"]

    def test_pack_names_and_raw_values(self):
        layout = self.layout()
        assert layout.pack({"mode": 3, "n": "SAFE"}) == bytes([0x32])  # the smallest raw of SAFE
        assert layout.pack({"mode": 3, "n": 7}) == bytes([0x37])
        with pytest.raises(ValueError, match="'LOST' is not a state name"):
            layout.pack({"mode": 0, "n": "LOST"})

    def test_arrow_dictionary(self):
        pa = pytest.importorskip("pyarrow")
        table = pa.table(self.layout().unpack_many(bytes([0, 5, 7]), output="arrow", errors="mask"))
        column = table.column("n")
        assert column.type == pa.dictionary(pa.int32(), pa.string())
        assert column.to_pylist() == ["OFF", None, "SAFE"]


# ---- Whole columns --------------------------------------------------------------

# The leap seconds to the end of 2016 (IERS Bulletin C): (year, month, TAI - UTC).
IERS = [(1972, 1, 10), (1972, 7, 11)] + [
    (year, month, offset)
    for offset, (year, month) in enumerate(
        [(1973, 1), (1974, 1), (1975, 1), (1976, 1), (1977, 1), (1978, 1), (1979, 1), (1980, 1)]
        + [(1981, 7), (1982, 7), (1983, 7), (1985, 7), (1988, 1), (1990, 1), (1991, 1)]
        + [(1992, 7), (1993, 7), (1994, 7), (1996, 1), (1997, 7), (1999, 1), (2006, 1)]
        + [(2009, 1), (2012, 7), (2015, 7), (2017, 1)],
        start=12,
    )
]
DAY_NS = 86400 * 10**9


def leap_rows():
    return [
        ((dt.date(y, m, 1) - UNIX.date()).days * DAY_NS, offset * 10**9) for y, m, offset in IERS
    ]


def utc_to_tai(utc):
    """None before the table, else the TAI reading."""
    rows = [row for row in leap_rows() if row[0] <= utc]
    return utc + rows[-1][1] if rows else None


def tai_to_utc(tai):
    rows = leap_rows()
    started = [k for k, (day, offset) in enumerate(rows) if day + offset <= tai]
    if not started:
        return None
    k = started[-1]
    utc = tai - rows[k][1]
    if k + 1 < len(rows) and utc >= rows[k + 1][0]:
        return rows[k + 1][0] - 1  # inside the inserted second
    return utc


def leap_day(utc_day_start):
    """Whether the UTC day starting there ends with an inserted second."""
    return any(day == utc_day_start + DAY_NS for day, _ in leap_rows()[1:])


class TestWholeColumns:
    """Thousands of packets at once, across the kernels' blocks, against
    per-value oracles: what one packet gives, every packet of a column gives."""

    def times_near(self, rng, count, code_scale):
        """Seconds since 1958 on the code's clock: near the 2016 leap second,
        inside 2020, and before 1972."""
        leap = (dt.datetime(2016, 12, 31, 23, 59, 59) - CCSDS_EPOCH).days * 86400 + 86399
        leap += BEFORE_2017 if code_scale == "TAI" else 0
        centres = np.array([leap, leap + 400 * 86400, 5 * 86400])
        return centres[rng.integers(0, 3, count)] + rng.integers(-3, 4, count)

    def oracle(self, elapsed_ns, epoch_ns, code_scale, scale):
        reading = epoch_ns + elapsed_ns
        if code_scale == scale:
            return reading
        return tai_to_utc(reading) if scale == "UTC" else utc_to_tai(reading)

    @pytest.mark.parametrize(
        ("fine_octets", "p_field", "scale"),
        [(2, True, "UTC"), (3, False, "TAI"), (0, True, "UTC"), (1, False, "UTC")],
    )
    def test_cuc_column_against_the_oracle(self, fine_octets, p_field, scale):
        rng = np.random.default_rng(fine_octets)
        count = 1500
        coarse = self.times_near(rng, count, "TAI")
        fine = rng.integers(0, 256**fine_octets, count) if fine_octets else np.zeros(count, int)
        p_fields = np.full(count, 0x1C | fine_octets)
        p_fields[rng.integers(0, count, 20)] = 0x2E  # codes that fail
        layout = cuc(4, fine_octets, p_field, scale=scale)
        data = b"".join(
            cuc_packet(int(c), int(f), 4, fine_octets, int(p) if p_field else None)
            for c, f, p in zip(coarse, fine, p_fields)
        )
        column = layout.unpack_many(data, errors="mask")["t"]
        mask = np.ma.getmaskarray(column)
        epoch = ns_since_unix(CCSDS_EPOCH)
        for k in range(count):
            elapsed = int(coarse[k]) * 10**9 + fraction_ns(int(fine[k]), 256**fine_octets)
            expected = self.oracle(elapsed, epoch, "TAI", scale)
            if p_field and p_fields[k] != (0x1C | fine_octets):
                expected = None
            if expected is None:
                assert mask[k], k
            else:
                assert not mask[k] and int(column.data[k].astype("int64")) == expected, k
        failed = np.flatnonzero(np.ma.getmaskarray(column))
        assert len(failed) > 0 or (not p_field and scale == "TAI")
        if len(failed) > 0:
            with pytest.raises(ValueError, match=f"packet {failed[0]} at byte"):
                layout.unpack_many(data)

    @pytest.mark.parametrize(
        ("sub_octets", "code_scale", "scale"),
        [(2, "UTC", "TAI"), (0, "UTC", "UTC"), (2, "TAI", "UTC"), (0, "TAI", "TAI")],
    )
    def test_cds_column_against_the_oracle(self, sub_octets, code_scale, scale):
        rng = np.random.default_rng(sub_octets + 7)
        count = 1300
        seconds = self.times_near(rng, count, code_scale)
        days, second_of_day = np.divmod(seconds, 86400)
        ms = second_of_day * 1000 + rng.integers(0, 1000, count)
        # Milliseconds 86400000 and up: an inserted second, on a day that has one.
        ms[rng.integers(0, count, 40)] = 86_400_000 + rng.integers(0, 1000, 40)
        us = rng.integers(0, 1000, count)
        us[rng.integers(0, count, 5)] = 1000  # out of range
        layout = cds(2, sub_octets, epoch_scale=code_scale, scale=scale)
        data = b"".join(
            cds_packet(int(d), int(m), int(u), 2, sub_octets) for d, m, u in zip(days, ms, us)
        )
        column = layout.unpack_many(data, errors="mask")["t"]
        mask = np.ma.getmaskarray(column)
        epoch = ns_since_unix(CCSDS_EPOCH)
        for k in range(count):
            sub = int(us[k]) if sub_octets else 0
            day_start = epoch + int(days[k]) * DAY_NS
            elapsed = int(days[k]) * DAY_NS + int(ms[k]) * 10**6 + sub * 1000
            if sub > 999:
                expected = None
            elif ms[k] < 86_400_000:
                expected = self.oracle(elapsed, epoch, code_scale, scale)
            elif code_scale == "UTC" and leap_day(day_start):
                before = utc_to_tai(epoch + elapsed - 10**9)
                expected = before + 10**9 if scale == "TAI" else day_start + DAY_NS - 1
            else:
                expected = None
            if expected is None:
                assert mask[k], k
            else:
                assert not mask[k] and int(column.data[k].astype("int64")) == expected, k

    def test_state_names_keep_their_reference_counts(self):
        import sys

        names = ["IDLE", "RUN", "HALT"]
        states = {k: "".join(name) for k, name in enumerate(names)}  # fresh str objects
        layout = vantrel.Layout(
            [item("s", bits=8, convert={"type": "enumeration", "states": states})]
        )
        # The layout keeps one str per name: find them through a decoded value.
        held = {v: layout.unpack(bytes([k]))["s"] for k, v in states.items()}

        def references():
            return {v: sys.getrefcount(name) for v, name in held.items()}

        raw = np.random.default_rng(3).integers(0, 3, 5000).astype(np.uint8)

        def decode_all(check):
            column = layout.unpack_many(raw.tobytes())["s"]
            check(column)
            masked = layout.unpack_many(raw.tobytes() + bytes([9]), errors="mask")["s"]
            assert masked.mask.tolist()[-2:] == [False, True]
            with pytest.raises(ValueError, match="packet 5000 .*value 9 has no state name"):
                layout.unpack_many(raw.tobytes() + bytes([9, 1]))

        # Once first, so that what the calls load on first use (numpy.ma, the
        # error's regular expression) is loaded before the counts are taken:
        # the test then sees only what the decoding itself keeps or drops.
        decode_all(lambda column: None)
        before = references()
        none_before = sys.getrefcount(None)

        def one_reference_per_slot(column):
            assert references() == {v: before[v] + int(np.sum(raw == k)) for k, v in states.items()}

        # Ten rounds: a reference to None gained or lost per call shows.
        for _ in range(10):
            decode_all(one_reference_per_slot)
            assert references() == before
        assert abs(sys.getrefcount(None) - none_before) < 10

    @pytest.mark.parametrize(
        ("encoding", "bits", "dtype"),
        [
            ("unsigned", 8, ">u1"),
            ("unsigned", 32, ">u4"),
            ("unsigned", 64, ">u8"),
            ("twos_complement", 16, ">i2"),
            ("ieee754_f32", 32, ">f4"),
            ("ieee754_f64", 64, ">f8"),
        ],
    )
    @pytest.mark.parametrize("degree", [0, 1, 2, 3, 4, 6])
    def test_polynomials_of_every_degree_and_raw_type(self, encoding, bits, dtype, degree):
        rng = np.random.default_rng(degree)
        coefficients = list(rng.uniform(-2, 2, degree + 1))
        info = np.iinfo(dtype) if dtype[1] in "iu" else None
        raw = (
            rng.integers(max(info.min, -1000), min(info.max, 1000), 1200, endpoint=True)
            if info
            else rng.uniform(-1000, 1000, 1200)
        ).astype(dtype)
        layout = calibrated({"type": "polynomial", "coefficients": coefficients}, encoding, bits)
        got = layout.unpack_many(raw.tobytes())["v"]
        expected = np.polyval(coefficients[::-1], raw.astype(np.float64))
        np.testing.assert_allclose(got, expected, rtol=1e-13, atol=1e-9)
        assert layout.unpack(raw[:1].tobytes())["v"] == got[0]

    def test_packet_lengths_hold_in_every_block(self):
        # Packets of 4 bytes whose given lengths cut some short: a converted
        # field fails where its raw one would, in the first block and later.
        layout = vantrel.Layout(
            [
                item("head", bits=16),
                item("v", bits=16, convert={"type": "linear", "slope": 2.0}),
            ]
        )
        count = 3000
        offsets = np.arange(count) * 4
        lengths = np.full(count, 4)
        short = np.random.default_rng(1).integers(0, count, 60)
        lengths[short] = 3
        data = np.arange(2 * count, dtype=">u2").tobytes()
        raw = layout.unpack_many(data, offsets=offsets, lengths=lengths, errors="mask", raw=True)
        converted = layout.unpack_many(data, offsets=offsets, lengths=lengths, errors="mask")
        np.testing.assert_array_equal(converted["v"].mask, raw["v"].mask)
        assert raw["v"].mask.sum() == len(set(short.tolist()))
        np.testing.assert_array_equal(converted["v"].compressed(), 2.0 * raw["v"].compressed())


# ---- Arrays ---------------------------------------------------------------------

LINEAR = {"type": "linear", "slope": 0.5, "intercept": -10}
MODES = {"type": "enumeration", "states": {0: "OFF", 1: "ON", 2: "SAFE"}}


def science(**length):
    """A counted array of states, a fixed array of calibrated counts and a
    word-swapped calibrated field, then a trailer after the variable part."""
    return vantrel.Layout(
        [
            item("n", bits=8),
            item("modes", bits=8, count="n", convert=MODES),
            item("volts", bits=16, count=3, convert=LINEAR),
            item("temp", bits=32, byte_order="2143", convert=LINEAR),
            item("status", bits=8, convert={"type": "enumeration", "states": {7: "GOOD"}}),
        ],
        **length,
    )


def science_packet(modes, volts, temp, status=7):
    temp_bytes = temp.to_bytes(4, "big")
    return (
        bytes([len(modes), *modes])
        + np.asarray(volts, ">u2").tobytes()
        + bytes(temp_bytes[k] for k in (1, 0, 3, 2))  # byte order "2143"
        + bytes([status])
    )


class TestArrays:
    """Numeric calibrations and states convert each element of fixed and
    counted arrays, in unpack, unpack_many (2-D and ragged columns) and pack."""

    def packets(self):
        rng = np.random.default_rng(11)
        rows = []
        for _ in range(700):
            modes = rng.integers(0, 3, rng.integers(0, 5)).tolist()
            rows.append((modes, rng.integers(0, 65536, 3).tolist(), int(rng.integers(0, 2**32))))
        return rows

    @staticmethod
    def as_lists(column):
        """A numpy output column as one Python value (or None) per packet."""
        if hasattr(column, "to_list"):  # a ragged column
            rows = column.to_list()
            mask = column.mask
            return [
                None if (mask is not None and mask[i]) or row is None else row.tolist()
                for i, row in enumerate(rows)
            ]
        mask = np.ma.getmaskarray(column)
        data = np.ma.getdata(column)
        if data.ndim > 1:
            return [None if m.any() else row.tolist() for row, m in zip(data, mask)]
        return [None if m else v for v, m in zip(data.tolist(), mask)]

    @pytest.mark.parametrize("errors", ["mask", "raise"])
    def test_arrow_output_of_converted_arrays_equals_numpy(self, errors):
        pa = pytest.importorskip("pyarrow")
        rows = self.packets()[:200]
        # Mode 9 and status 3 have no state: their packets fail.
        rows[17] = ([0, 9], rows[17][1], rows[17][2])
        packets = [science_packet(*row) for row in rows]
        packets[40] = science_packet(*rows[40], status=3)
        data = b"".join(packets)
        offsets = np.cumsum([0] + [len(p) for p in packets[:-1]])
        layout = science()
        if errors == "raise":
            with pytest.raises(ValueError) as numpy_error:
                layout.unpack_many(data, offsets=offsets)
            with pytest.raises(ValueError) as arrow_error:
                layout.unpack_many(data, offsets=offsets, output="arrow")
            assert str(arrow_error.value) == str(numpy_error.value)
            assert "packet 17" in str(arrow_error.value)
            return
        numpy_columns = layout.unpack_many(data, offsets=offsets, errors="mask")
        table = pa.table(layout.unpack_many(data, offsets=offsets, errors="mask", output="arrow"))
        assert table.column("volts").type == pa.list_(pa.float64(), 3)
        assert table.column("modes").type == pa.large_list(pa.dictionary(pa.int32(), pa.string()))
        for name, column in numpy_columns.items():
            assert table.column(name).to_pylist() == self.as_lists(column), name
        assert table.column("modes")[17].as_py() is None
        assert table.column("status")[40].as_py() is None
        raw = pa.table(layout.unpack_many(data, offsets=offsets, output="arrow", raw=True))
        assert raw.column("modes")[5].as_py() == rows[5][0]

    def test_columns_against_numpy(self):
        rows = self.packets()
        layout = science()
        data = b"".join(science_packet(*row) for row in rows)
        offsets = np.cumsum([0] + [len(science_packet(*row)) for row in rows[:-1]])
        columns = layout.unpack_many(data, offsets=offsets)
        raw = layout.unpack_many(data, offsets=offsets, raw=True)
        names = np.array(["OFF", "ON", "SAFE"], dtype=object)
        np.testing.assert_array_equal(raw["volts"], [row[1] for row in rows])
        np.testing.assert_array_equal(columns["volts"], raw["volts"] * 0.5 - 10)
        assert columns["volts"].shape == (700, 3) and columns["volts"].dtype == np.float64
        np.testing.assert_array_equal(columns["temp"], np.array([r[2] for r in rows]) * 0.5 - 10)
        np.testing.assert_array_equal(columns["modes"].offsets, raw["modes"].offsets)
        assert columns["modes"].values.tolist() == names[raw["modes"].values].tolist()
        assert len({id(v) for v in columns["modes"].values}) == 3
        assert columns["modes"][5].tolist() == [names[m] for m in rows[5][0]]
        assert columns["status"].tolist() == ["GOOD"] * 700
        # One packet gives lists of the same values; raw=True the counts.
        one = layout.unpack(science_packet(*rows[5]))
        assert one["modes"] == [names[m] for m in rows[5][0]]
        assert one["volts"] == columns["volts"][5].tolist()
        assert layout.unpack(science_packet(*rows[5]), raw=True)["volts"] == rows[5][1]

    def test_pack_round_trips(self):
        rows = self.packets()[:50]
        layout = science()
        data = b"".join(science_packet(*row) for row in rows)
        offsets = np.cumsum([0] + [len(science_packet(*row)) for row in rows[:-1]])
        columns = layout.unpack_many(data, offsets=offsets)
        assert layout.pack_many(columns) == data
        raw = layout.unpack_many(data, offsets=offsets, raw=True)
        assert layout.pack_many(raw, raw=True) == data
        engineering = layout.unpack(science_packet(*rows[3]))
        assert layout.pack(engineering) == science_packet(*rows[3])
        with pytest.raises(ValueError, match=r"recipe item 1 \('modes'\).*'LOST' is not a state"):
            layout.pack({**engineering, "n": 2, "modes": ["ON", "LOST"]})

    def test_failing_elements_mask_their_packet(self):
        layout = science()
        good = science_packet([0, 1], [20, 40, 60], 100)
        unknown_state = science_packet([1, 9, 2], [20, 40, 60], 100)
        bad_status = science_packet([2], [20, 40, 60], 100, status=3)
        data = good + unknown_state + bad_status + good
        offsets = np.cumsum([0, len(good), len(unknown_state), len(bad_status)])
        masked = layout.unpack_many(data, offsets=offsets, errors="mask")
        assert masked["modes"].mask.tolist() == [False, True, False, False]
        assert masked["modes"][1] is None and masked["modes"][3].tolist() == ["OFF", "ON"]
        assert masked["status"].mask.tolist() == [False, False, True, False]
        assert masked["volts"].mask.any(axis=1).tolist() == [False] * 4
        with pytest.raises(
            ValueError, match=r"packet 1 at byte 14: recipe item 1 \('modes'\).*value 9"
        ):
            layout.unpack_many(data, offsets=offsets)
        # In one packet the earlier item is named first.
        both = science_packet([9], [0, 0, 0], 0, status=3)
        with pytest.raises(ValueError, match=r"packet 0 at byte 0: recipe item 1 .*value 9"):
            layout.unpack_many(both, offsets=[0])

    def test_fixed_arrays_of_tables_and_states(self):
        layout = vantrel.Layout(
            [
                item(
                    "t",
                    bits=8,
                    count=4,
                    convert={"type": "table", "points": [[10, 0.0], [200, 19.0]]},
                ),
                item(
                    "s",
                    bits=4,
                    count=2,
                    convert={"type": "enumeration", "states": {1: "A"}, "default": "?"},
                ),
            ]
        )
        raw = np.array([[10, 20, 200, 105], [9, 10, 10, 10], [100, 100, 100, 100]], np.uint8)
        states = np.array([0x11, 0x1F, 0x00], np.uint8)
        data = np.concatenate([raw, states[:, None]], axis=1).tobytes()
        columns = layout.unpack_many(data, errors="mask")
        np.testing.assert_array_equal(
            columns["t"].mask.all(axis=1), [False, True, False]
        )  # raw 9 is below the table: its whole row is masked
        np.testing.assert_allclose(columns["t"][0], np.interp(raw[0], [10, 200], [0, 19]))
        assert columns["s"].tolist() == [["A", "A"], ["A", "?"], ["?", "?"]]

    def test_time_codes_in_layouts_with_arrays(self):
        layout = vantrel.Layout(
            [
                item("time", bits=48, convert={"type": "cuc", "fine_octets": 2, "scale": "UTC"}),
                item("n", bits=8),
                item("x", bits=16, count="n", convert=LINEAR),
                item("crc", bits=16),
            ]
        )
        times = np.array(["2024-01-02T03:04:05.5", "2024-01-02T03:04:06.25"], "M8[ns]")
        columns = {"time": times, "x": [[0.0, 5.0], [10.0]], "crc": [1, 2]}
        data = layout.pack_many(columns)
        back = layout.unpack_many(data, offsets=[0, 13])
        np.testing.assert_array_equal(back["time"], times)
        assert back["x"].values.tolist() == [0.0, 5.0, 10.0]
        assert layout.unpack(data[:13])["time"] == dt.datetime(
            2024, 1, 2, 3, 4, 5, 500000, tzinfo=UTC
        )
        with pytest.raises(ValueError, match="permuted or word byte order does not suit"):
            vantrel.Layout(
                [item("t", bits=32, byte_order="2143", convert={"type": "cuc", "scale": "TAI"})]
            )
        wide = {"type": "cds", "day_octets": 3, "submillisecond_octets": 4, "scale": "TAI"}
        both = vantrel.Layout([item("t", bits=88, convert=wide), item("a", bits=8, count=2)])
        moment = np.datetime64("2024-01-02T03:04:05.123456789", "ns")
        packed = both.pack_many({"t": np.array([moment] * 2), "a": [[1, 2], [3, 4]]})
        np.testing.assert_array_equal(both.unpack_many(packed)["t"], np.array([moment] * 2))

    def test_packet_length_layouts_convert(self):
        # Packets bounded by their own length field: a converted field fails
        # where its raw one would, in every block of packets.
        layout = vantrel.Layout(
            [item("length", bits=16), item("v", bits=16, convert={"type": "linear", "slope": 2.0})],
            packet_length={"offset_bits": 0, "bits": 16, "adjust": 0},
        )
        count = 3000
        lengths = np.full(count, 4)
        short = np.random.default_rng(1).integers(0, count, 60)
        lengths[short] = 3
        words = np.arange(2 * count, dtype=">u2")
        words[0::2] = lengths
        data = words.tobytes()
        raw = layout.unpack_many(data, stride=4, errors="mask", raw=True)
        converted = layout.unpack_many(data, stride=4, errors="mask")
        np.testing.assert_array_equal(converted["v"].mask, raw["v"].mask)
        assert raw["v"].mask.sum() == len(set(short.tolist()))
        np.testing.assert_array_equal(converted["v"].compressed(), 2.0 * raw["v"].compressed())
        assert layout.unpack(data[:4]) == {"length": 4, "v": 2.0}
        assert layout.pack({"v": 2.0}) == data[:4]

    def test_state_names_in_ragged_columns_keep_their_reference_counts(self):
        import sys

        layout = science()
        names = [layout.unpack(science_packet([k], [0, 0, 0], 0))["modes"][0] for k in range(3)]

        def references():
            return [sys.getrefcount(name) for name in names]

        before = references()
        good = science_packet([0, 1, 1], [0, 0, 0], 0)
        bad = science_packet([2, 9], [0, 0, 0], 0)
        data = (good + bad) * 300
        offsets = np.cumsum([0] + [len(good), len(bad)] * 300)[:-1]
        masked = layout.unpack_many(data, offsets=offsets, errors="mask")
        assert masked["modes"].mask.sum() == 300
        with pytest.raises(ValueError, match="packet 1 "):
            layout.unpack_many(data, offsets=offsets)
        del masked
        assert references() == before

    def test_ragged_arrow_export(self):
        pa = pytest.importorskip("pyarrow")
        rows = self.packets()[:20]
        data = b"".join(science_packet(*row) for row in rows)
        offsets = np.cumsum([0] + [len(science_packet(*row)) for row in rows[:-1]])
        columns = science().unpack_many(data, offsets=offsets)
        arrow = pa.table(science().unpack_many(data, offsets=offsets, output="arrow"))
        # State names export as lists of strings: the Arrow output's names.
        assert pa.array(columns["modes"]).to_pylist() == arrow["modes"].to_pylist()
        assert pa.array(columns["modes"]).type == pa.large_list(pa.large_string())
        raw = science().unpack_many(data, offsets=offsets, raw=True)
        assert pa.array(raw["modes"]).to_pylist() == [row[0] for row in rows]


# ---- The whole layout -------------------------------------------------------------


def housekeeping():
    return vantrel.Layout(
        [
            item("time", bits=48, convert={"type": "cuc", "fine_octets": 2, "scale": "UTC"}),
            item("temp", bits=12, convert={"type": "polynomial", "coefficients": [-50, 0.05]}),
            item("mode", bits=4, convert={"type": "enumeration", "states": {0: "A", 1: "B"}}),
            item("count", bits=16),
        ]
    )


class TestLayouts:
    def test_raw_is_the_layout_without_conversions(self):
        layout = housekeeping()
        plain = vantrel.Layout(
            [
                {k: v for k, v in entry.items() if k != "convert"}
                for entry in pickle.loads(pickle.dumps(layout)).__reduce__()[1][0]
            ]
        )
        rng = np.random.default_rng(5)
        data = rng.integers(0, 256, size=10 * 10, dtype=np.uint8).tobytes()
        data = bytearray(data)
        for k in range(10):
            data[k * 10 + 6] &= 0xF1  # mode 0 or 1
        raw = layout.unpack_many(bytes(data), raw=True)
        expected = plain.unpack_many(bytes(data))
        for name in layout.names:
            np.testing.assert_array_equal(raw[name], expected[name])
            assert raw[name].dtype == expected[name].dtype
        assert layout.unpack(bytes(data[:10]), raw=True) == plain.unpack(bytes(data[:10]))

    def test_round_trip_of_the_engineering_columns(self):
        layout = housekeeping()
        columns = {
            "time": np.array(["2023-05-06T07:08:09.5", "2024-01-01T00:00:00"], "M8[ns]"),
            "temp": [10, 4000],
            "mode": np.array(["B", "A"], dtype=object),
            "count": [1, 2],
        }
        packed = layout.pack_many(columns)
        back = layout.unpack_many(packed)
        np.testing.assert_array_equal(back["time"], columns["time"])
        assert back["mode"].tolist() == ["B", "A"]
        np.testing.assert_array_equal(back["temp"], [-49.5, 150.0])

    def test_arrow_types(self):
        pa = pytest.importorskip("pyarrow")
        packed = housekeeping().pack_many(
            {"time": np.array(["2023-05-06"], "M8[ns]"), "temp": [0], "mode": ["A"], "count": [1]}
        )
        schema = pa.table(housekeeping().unpack_many(packed, output="arrow")).schema
        assert schema.field("time").type == pa.timestamp("ns", tz="UTC")
        assert schema.field("temp").type == pa.float64()
        assert schema.field("count").type == pa.uint16()

    def test_layouts_are_values(self):
        layout = housekeeping()
        assert pickle.loads(pickle.dumps(layout)) == layout == housekeeping()
        assert hash(layout) == hash(housekeeping())
        other = vantrel.Layout([dict(item("count", bits=16))])
        assert layout != other

    def test_array_layouts_take_time_codes_on_arrays(self):
        # Every element of an array of time codes is converted, as for
        # calibrations and states (see TestArrays).
        polynomial = {"type": "polynomial", "coefficients": [0, 1]}
        cuc32 = {"type": "cuc", "scale": "TAI"}
        layout = vantrel.Layout([item("v", bits=32, count=4, convert=cuc32)])
        packet = bytes(range(16))
        assert layout.unpack(packet)["v"][1] == dt.datetime(1958, 1, 1) + dt.timedelta(
            seconds=0x04050607
        )
        with pytest.raises(ValueError, match="unknown key 'convrt'; did you mean 'convert'"):
            vantrel.Layout([item("v", bits=8, convrt=polynomial)])

    def test_packet_functions_ignore_convert(self):
        recipe = [item("v", bits=8, convert={"type": "polynomial", "coefficients": [1, 2]})]
        assert vantrel.unpack_parameters(b"\x05", 0, recipe) == {"v": 5}

    @pytest.mark.parametrize(
        ("entry", "message"),
        [
            (item(convert={"type": "poly"}), "type must be 'polynomial'"),
            (item(convert={"type": "linear", "slope": 1, "ofset": 2}), "unknown key 'ofset'"),
            (item(convert={"type": "linear", "slope": 0}), "slope must not be 0"),
            (item(convert={"type": "table", "points": [[1, 2], [1, 3]]}), "must increase"),
            (item(convert={"type": "enumeration", "states": {256: "X"}}), "cannot occur"),
            (
                item("f", "ieee754_f32", 32, convert={"type": "enumeration", "states": {1: "X"}}),
                "need an integer field",
            ),
            (item("s", "us_ascii", 8, convert={"type": "linear", "slope": 1}), "text fields"),
            (
                item(bits=40, convert={"type": "cuc", "scale": "TAI"}),
                "has 32 bits but the field has 40",
            ),
            (
                item(bits=32, byte_order="little", convert={"type": "cuc", "scale": "TAI"}),
                "big-endian",
            ),
            (item(bits=32, convert={"type": "cuc", "scale": "GPS"}), "must be 'TAI' or 'UTC'"),
            (
                item(bits=32, convert={"type": "cuc", "scale": "TAI", "epoch": "2000-13-01"}),
                "not a valid date",
            ),
        ],
    )
    def test_recipe_errors_name_the_item(self, entry, message):
        with pytest.raises(ValueError, match=r"recipe item 0 \('\w'\): convert: .*" + message):
            vantrel.Layout([entry])
