"""IEEE 754 encoders and decoders, and the formats that refuse."""

import math
import struct
import sys
from fractions import Fraction

import numpy as np
import pytest
from hypothesis import example, given, settings
from hypothesis import strategies as st

import vantrel
from recipe_helpers import item, mirror, read_bits

FLT_MAX = struct.unpack(">f", bytes.fromhex("7f7fffff"))[0]
# Halfway between FLT_MAX and 2**128: from here on, binary32 rounding overflows.
FLT_OVERFLOW = 2.0**128 - 2.0**103
F32_INF = 0x7F800000
F16_INF = 0x7C00


def f64_bits(x):
    return int.from_bytes(struct.pack(">d", x), "big")


def f64_from_bits(bits):
    return struct.unpack(">d", bits.to_bytes(8, "big"))[0]


def f16_of_float32_numpy(values):
    """numpy's binary32 -> binary16 conversion (round to nearest even), as ints."""
    array = np.asarray(values, dtype=np.float32)
    with np.errstate(over="ignore"):
        return [int(h) for h in array.astype(np.float16).view(np.uint16)]


def f16_nan_rule(f32_bits):
    """A binary32 NaN as binary16: sign, top 10 fraction bits, quiet bit."""
    return ((f32_bits >> 16) & 0x8000) | 0x7E00 | ((f32_bits >> 13) & 0x3FF)


def is_nan16(pattern):
    return (pattern & 0x7C00) == 0x7C00 and (pattern & 0x3FF) != 0


# ---------------------------------------------------------------- binary16 encoding


@pytest.mark.parametrize(
    ("value", "pattern"),
    [
        (1.0, 0x3C00),
        (-2.5, 0xC100),
        (65504.0, 0x7BFF),
        (65519.0, 0x7BFF),
        (65520.0, F16_INF),
        (65536.0, F16_INF),
        (-65520.0, 0x8000 | F16_INF),
        (1e300, F16_INF),
        (math.inf, F16_INF),
        (-math.inf, 0xFC00),
        (0.0, 0x0000),
        (-0.0, 0x8000),
        (math.nan, 0x7E00),
        (-math.nan, 0xFE00),
        (2.0**-14, 0x0400),
        (2.0**-24, 0x0001),
        (-(2.0**-24), 0x8001),
        (2.0**-25, 0x0000),
        (-(2.0**-25), 0x8000),
        (2.0**-25 * (1 + 2.0**-23), 0x0001),
        (3 * 2.0**-25, 0x0002),
        (2.0**-14 - 2.0**-25, 0x0400),
        (2.0**-14 - 2.0**-24, 0x03FF),
        (1e-300, 0x0000),
        (1 + 2.0**-11, 0x3C00),
        (1 + 3 * 2.0**-11, 0x3C02),
    ],
)
def test_encode_f16_values(value, pattern):
    assert vantrel.encode_ieee754_f16(value) == pattern


def test_encode_f16_rounds_twice():
    x = 1 + 2.0**-11 + 2.0**-40
    # Rounded once, straight from the double, the value is above the tie...
    assert int(np.float64(x).astype(np.float16).view(np.uint16)) == 0x3C01
    # ...but binary32 rounding first lands exactly on it, and the tie goes even.
    assert float(np.float32(x)) == 1 + 2.0**-11
    assert vantrel.encode_ieee754_f16(x) == 15360


def _f16_boundaries():
    """Every binary16 rounding boundary: the binary32 midpoint between each
    pair of neighbouring finite values, and the binary32 values beside it."""
    halves = np.arange(0, 0x7C00, dtype=np.uint16)
    values = halves.view(np.float16).astype(np.float64)
    # The top pair's would-be neighbour is 65536, beyond the largest finite.
    upper = np.append(values[1:], 65536.0)
    middles = ((values + upper) / 2).astype(np.float32)  # exact in binary32
    below = np.nextafter(middles, np.float32(0))
    above = np.nextafter(middles, np.float32(np.inf))
    positive = np.concatenate([middles, below, above])
    return np.concatenate([positive, -positive])


def test_encode_f16_every_rounding_boundary_against_numpy():
    values = _f16_boundaries()
    expected = f16_of_float32_numpy(values)
    got = [vantrel.encode_ieee754_f16(float(v)) for v in values]
    mismatches = [(float(v), hex(g), hex(e)) for v, g, e in zip(values, got, expected) if g != e]
    assert mismatches == []


def test_encode_f16_random_float32_patterns_against_numpy():
    rng = np.random.default_rng(20240607)
    patterns = rng.integers(0, 2**32, size=100_000, dtype=np.uint64).astype(np.uint32)
    values = patterns.view(np.float32)
    for bits, value, numpy_pattern in zip(
        patterns.tolist(), values.tolist(), f16_of_float32_numpy(values)
    ):
        got = vantrel.encode_ieee754_f16(value)
        if math.isnan(value):
            # numpy keeps a signalling NaN signalling; the rule quiets it.
            assert got == f16_nan_rule(bits | 0x400000), hex(bits)
        else:
            assert got == numpy_pattern, hex(bits)


@settings(max_examples=500)
@given(st.floats(width=32, allow_nan=False))
@example(FLT_MAX)
@example(-(2.0**-149))
def test_encode_f16_float32_values_match_numpy(value):
    assert vantrel.encode_ieee754_f16(value) == f16_of_float32_numpy([value])[0]


@settings(max_examples=500)
@given(st.floats(allow_nan=False))
def test_encode_f16_doubles_round_through_float32(value):
    with np.errstate(over="ignore"):
        single = np.float64(value).astype(np.float32)
    assert vantrel.encode_ieee754_f16(value) == f16_of_float32_numpy([single])[0]


@settings(max_examples=300)
@given(st.integers(0, 2**32 - 1).map(lambda b: b | 0x7F800001))
def test_encode_f16_nan_keeps_sign_and_top_payload(bits):
    value = struct.unpack(">f", bits.to_bytes(4, "big"))[0]
    assert math.isnan(value)
    # Going through a double quiets a signalling binary32 NaN; its top payload
    # bits stay, and the binary16 quiet bit is set either way.
    assert vantrel.encode_ieee754_f16(value) == f16_nan_rule(bits)


# ---------------------------------------------------------------- binary16 decoding


@pytest.mark.parametrize(
    ("pattern", "value"),
    [
        (15360, 1.0),
        (0xC100, -2.5),
        (0x7BFF, 65504.0),
        (1, 2.0**-24),
        (0x03FF, 1023 * 2.0**-24),
        (0x0400, 2.0**-14),
        (31744, math.inf),
        (0xFC00, -math.inf),
        (0x0000, 0.0),
        (80896, 1.0),
        (0xFFFF_FFFF_FFFF_3C00, 1.0),
    ],
)
def test_decode_f16_values(pattern, value):
    assert vantrel.decode_ieee754_f16(pattern) == value


@pytest.mark.parametrize("pattern", [0x8000, 0x18000])
def test_decode_f16_negative_zero(pattern):
    result = vantrel.decode_ieee754_f16(pattern)
    assert result == 0.0 and math.copysign(1.0, result) == -1.0


def test_decode_f16_every_pattern():
    patterns = np.arange(0, 2**16, dtype=np.uint32).astype(np.uint16)
    widened = patterns.view(np.float16).astype(np.float64).view(np.uint64)
    for pattern, numpy_bits in zip(patterns.tolist(), widened.tolist()):
        got = f64_bits(vantrel.decode_ieee754_f16(pattern))
        if is_nan16(pattern):
            # Sign and fraction kept, moved to the top, and quieted.
            sign = (pattern & 0x8000) << 48
            expected = sign | 0x7FF8_0000_0000_0000 | ((pattern & 0x3FF) << 42)
        else:
            expected = numpy_bits
        assert got == expected, hex(pattern)


def test_f16_decode_then_encode_is_identity():
    for pattern in range(2**16):
        back = vantrel.encode_ieee754_f16(vantrel.decode_ieee754_f16(pattern))
        assert back == (pattern | 0x200 if is_nan16(pattern) else pattern), hex(pattern)


# ---------------------------------------------------------------- binary32 encoding


@pytest.mark.parametrize(
    ("value", "pattern"),
    [
        (1.0, 1065353216),
        (1, 1065353216),
        (-2.5, 3223322624),
        (1e300, 2139095040),
        (-1e300, 0x80000000 | F32_INF),
        (math.inf, F32_INF),
        (FLT_MAX, 0x7F7FFFFF),
        (FLT_OVERFLOW, F32_INF),
        (math.nextafter(FLT_OVERFLOW, 0), 0x7F7FFFFF),
        (-FLT_OVERFLOW, 0xFF800000),
        (-math.nextafter(FLT_OVERFLOW, 0), 0xFF7FFFFF),
        (2.0**128, F32_INF),
        (1 + 2.0**-24, 0x3F800000),
        (1 + 3 * 2.0**-24, 0x3F800002),
        (2.0**-149, 0x00000001),
        (2.0**-150, 0x00000000),
        (2.0**-150 * (1 + 2.0**-52), 0x00000001),
        (3 * 2.0**-150, 0x00000002),
        (-(2.0**-150), 0x80000000),
        (-0.0, 0x80000000),
        (5e-324, 0x00000000),
    ],
)
def test_encode_f32_values(value, pattern):
    assert vantrel.encode_ieee754_f32(value) == pattern


@settings(max_examples=1000)
@given(st.floats(allow_nan=False))
@example(FLT_OVERFLOW)
@example(math.nextafter(FLT_OVERFLOW, 0))
def test_encode_f32_matches_struct(value):
    got = vantrel.encode_ieee754_f32(value)
    try:
        expected = int.from_bytes(struct.pack(">f", value), "big")
    except OverflowError:
        # struct refuses what rounds beyond binary32; the frame makes it infinite.
        expected = (0x80000000 if value < 0 else 0) | F32_INF
    assert got == expected


@settings(max_examples=300)
@given(st.integers(0, 2**64 - 1).map(lambda b: b | 0x7FF0_0000_0000_0001))
def test_encode_f32_nan_stays_quiet_nan_with_sign(bits):
    value = f64_from_bits(bits)
    assert math.isnan(value)
    got = vantrel.encode_ieee754_f32(value)
    assert got & 0x7FC00000 == 0x7FC00000
    assert got >> 31 == bits >> 63


# ---------------------------------------------------------------- binary64 encoding


@pytest.mark.parametrize(
    ("value", "pattern"),
    [
        (1.0, 4607182418800017408),
        (-0.0, 0x8000_0000_0000_0000),
        (5e-324, 1),
        (math.inf, 0x7FF0_0000_0000_0000),
        (2**1023, 0x7FE0_0000_0000_0000),
    ],
)
def test_encode_f64_values(value, pattern):
    assert vantrel.encode_ieee754_f64(value) == pattern


@settings(max_examples=500)
@given(st.integers(0, 2**64 - 1))
@example(0x7FF0_0000_0000_0001)  # a signalling NaN
@example(0xFFF4_0000_DEAD_BEEF)
def test_encode_f64_is_the_bit_pattern_nans_included(bits):
    assert vantrel.encode_ieee754_f64(f64_from_bits(bits)) == bits


# ---------------------------------------------------------------- binary32/64 decoding


@pytest.mark.parametrize(
    ("pattern", "value"),
    [
        (1065353216, 1.0),
        (5360320512, 1.0),
        (0xC0200000, -2.5),
        (0x00000001, 2.0**-149),
        (0x807FFFFF, -(2.0**-126 - 2.0**-149)),
        (0x7F7FFFFF, FLT_MAX),
        (F32_INF, math.inf),
    ],
)
def test_decode_f32_values(pattern, value):
    assert vantrel.decode_ieee754_f32(pattern) == value


@settings(max_examples=800)
@given(st.integers(0, 2**64 - 1))
@example(0x7F800001)
@example(0xFFBFFFFF)
@example(0x80000001)
def test_decode_f32_widens_exactly(pattern):
    got = f64_bits(vantrel.decode_ieee754_f32(pattern))
    low = np.array([pattern & 0xFFFFFFFF], dtype=np.uint32)
    # numpy widens in hardware: exact, NaNs quieted with sign and payload kept.
    with np.errstate(invalid="ignore"):
        expected = int(low.view(np.float32).astype(np.float64).view(np.uint64)[0])
    assert got == expected


def test_decode_f64_value():
    assert vantrel.decode_ieee754_f64(4607182418800017408) == 1.0


@settings(max_examples=500)
@given(st.integers(0, 2**64 - 1))
@example(0x7FF0_0000_0000_0001)
def test_decode_f64_is_the_bit_pattern_nans_included(bits):
    assert f64_bits(vantrel.decode_ieee754_f64(bits)) == bits


# ---------------------------------------------------------------- binary128 decoding


@pytest.mark.parametrize(
    ("pattern", "value"),
    [
        (0x3FFF0000000000000000000000000000, 1.0),
        (0xC0000000000000000000000000000000, -2.0),
        (0x7FFF0000000000000000000000000000, math.inf),
        (0xFFFF0000000000000000000000000000, -math.inf),
        (0x80000000000000000000000000000001, -0.0),
        (0x00000000000000000000000000000000, 0.0),
        (0x0000FFFFFFFFFFFFFFFFFFFFFFFFFFFF, 0.0),
        (0x3C010000000000000000000000000000, 2.0**-1022),
        (0xBC010000000000000000000000000000, -(2.0**-1022)),
        (0x3C00FFFFFFFFFFFFFFFFFFFFFFFFFFFF, 0.0),
        (0xBC00FFFFFFFFFFFFFFFFFFFFFFFFFFFF, -0.0),
        (0x43FF0000000000000000000000000000, math.inf),
        (0xC3FF0000000000000000000000000000, -math.inf),
        (0x43FEFFFFFFFFFFFFFFFFFFFFFFFFFFFF, sys.float_info.max),
        (0x3FFF0000000000001810000000000000, 1 + 2.0**-52),
        (0x3FFF0000000000000FFFFFFFFFFFFFFF, 1.0),
        (0x3FFF8000000000000000000000000000, 1.5),
        (0x4000921FB54442D18469898CC51701B8, 3.141592653589793),
    ],
)
def test_decode_f128_values(pattern, value):
    result = vantrel.decode_ieee754_f128(pattern)
    assert result == value
    assert math.copysign(1.0, result) == math.copysign(1.0, value)


@pytest.mark.parametrize(
    "pattern",
    [
        0xFFFF8000000000000000000000000000,
        0x7FFF8000000000000000000000000000,
        0x7FFF0000000000000000000000000001,
        0xFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFF,
        0x7FFF0001000000000000000000000000,
    ],
)
def test_decode_f128_nan_is_always_the_positive_quiet_nan(pattern):
    assert f64_bits(vantrel.decode_ieee754_f128(pattern)) == 0x7FF8_0000_0000_0000


@settings(max_examples=400)
@given(
    st.integers(0, 1),
    st.integers(15361, 17406),
    st.integers(0, 2**112 - 1),
)
@example(0, 17406, 2**112 - 1)
@example(1, 15361, 0)
def test_decode_f128_truncates_toward_zero(sign, exponent, fraction):
    pattern = (sign << 127) | (exponent << 112) | fraction
    result = vantrel.decode_ieee754_f128(pattern)
    exact = Fraction(2**112 + fraction, 2**112) * Fraction(2) ** (exponent - 16383)
    magnitude = abs(result)
    # The largest double not above the exact value: never rounded up. Above
    # the largest finite double the next step would be 2**1024.
    following = math.nextafter(magnitude, math.inf)
    upper = Fraction(following) if math.isfinite(following) else Fraction(2) ** 1024
    assert Fraction(magnitude) <= exact < upper
    assert math.copysign(1.0, result) == (-1.0 if sign else 1.0)


@settings(max_examples=200)
@given(
    st.integers(0, 1),
    st.one_of(st.integers(1, 15360), st.integers(17407, 32766)),
    st.integers(0, 2**112 - 1),
)
def test_decode_f128_out_of_range_flushes_or_overflows(sign, exponent, fraction):
    result = vantrel.decode_ieee754_f128((sign << 127) | (exponent << 112) | fraction)
    assert result == (math.inf if exponent > 16383 else 0.0) * (-1.0 if sign else 1.0)
    assert math.copysign(1.0, result) == (-1.0 if sign else 1.0)


# ---------------------------------------------------------------- arguments


@pytest.mark.parametrize(
    ("function", "argument", "error"),
    [
        ("decode_ieee754_f128", -1, OverflowError),
        ("decode_ieee754_f128", 2**128, OverflowError),
        ("decode_ieee754_f16", -1, OverflowError),
        ("decode_ieee754_f16", 2**64, OverflowError),
        ("decode_ieee754_f32", 2**64, OverflowError),
        ("decode_ieee754_f64", -1, OverflowError),
        ("encode_ieee754_f64", 10**400, OverflowError),
        ("encode_ieee754_f16", 10**400, OverflowError),
        ("encode_ieee754_f16", "1.0", TypeError),
        ("encode_ieee754_f32", None, TypeError),
        ("decode_ieee754_f32", 1.0, TypeError),
        ("decode_ieee754_f128", 1.0, TypeError),
    ],
)
def test_argument_refused_by_frame(function, argument, error):
    with pytest.raises(error) as caught:
        getattr(vantrel, function)(argument)
    assert type(caught.value) is error
    if error is TypeError:
        assert str(caught.value).startswith("argument 'value': ")


def test_largest_f128_pattern_is_accepted():
    assert math.isnan(vantrel.decode_ieee754_f128(2**128 - 1))


class _Real:
    def __float__(self):
        return 2.5


class _Index:
    def __index__(self):
        return 0x3C00


@pytest.mark.parametrize(
    ("function", "argument", "expected"),
    [
        ("encode_ieee754_f16", _Real(), 0x4100),
        ("encode_ieee754_f32", _Real(), 0x40200000),
        ("encode_ieee754_f64", _Real(), 0x4004_0000_0000_0000),
        ("encode_ieee754_f16", True, 0x3C00),
        ("encode_ieee754_f64", 2**53 + 1, 0x4340_0000_0000_0000),
        ("decode_ieee754_f16", _Index(), 1.0),
        ("decode_ieee754_f128", True, 0.0),
    ],
)
def test_argument_conversions(function, argument, expected):
    assert getattr(vantrel, function)(argument) == expected


def test_keyword_argument():
    assert vantrel.encode_ieee754_f16(value=1.0) == 0x3C00
    assert vantrel.decode_ieee754_f128(value=0x3FFF << 112) == 1.0


# ---------------------------------------------------------------- refusing formats

REFUSALS = [
    ("encode_ieee754_f128", "float64", "IEEE 754 f128 encoding not yet implemented"),
    ("encode_ieee754_1985_f32", "float32", "IEEE 754-1985 f32 encoding not yet implemented"),
    ("encode_ieee754_1985_f64", "float64", "IEEE 754-1985 f64 encoding not yet implemented"),
    ("encode_ieee754_1985_f80", "float64", "IEEE 754-1985 f80 encoding not yet implemented"),
    ("encode_mil_std_1750a_f32", "float32", "MIL-STD-1750A f32 encoding not yet implemented"),
    ("encode_mil_std_1750a_f48", "float64", "MIL-STD-1750A f48 encoding not yet implemented"),
    ("encode_dec_f32", "float32", "DEC f32 encoding not yet implemented"),
    ("encode_dec_f64", "float64", "DEC f64 encoding not yet implemented"),
    ("encode_ibm_f32", "float32", "IBM f32 encoding not yet implemented"),
    ("encode_ibm_f64", "float64", "IBM f64 encoding not yet implemented"),
    ("encode_ti_f32", "float32", "TI f32 encoding not yet implemented"),
    ("encode_ti_f40", "float64", "TI f40 encoding not yet implemented"),
    ("decode_ieee754_1985_f32", "u64", "IEEE 754-1985 f32 format not yet implemented"),
    ("decode_ieee754_1985_f64", "u64", "IEEE 754-1985 f64 format not yet implemented"),
    ("decode_ieee754_1985_f80", "u64", "IEEE 754-1985 f80 format not yet implemented"),
    ("decode_mil_std_1750a_f32", "u64", "MIL-STD-1750A f32 format not yet implemented"),
    ("decode_mil_std_1750a_f48", "u64", "MIL-STD-1750A f48 format not yet implemented"),
    ("decode_dec_f32", "u64", "DEC f32 format not yet implemented"),
    ("decode_dec_f64", "u64", "DEC f64 format not yet implemented"),
    ("decode_ibm_f32", "u64", "IBM f32 format not yet implemented"),
    ("decode_ibm_f64", "u64", "IBM f64 format not yet implemented"),
    ("decode_ti_f32", "u64", "TI f32 format not yet implemented"),
    ("decode_ti_f40", "u64", "TI f40 format not yet implemented"),
]

# An argument each kind accepts, and one it refuses with OverflowError.
GOOD_ARGUMENT = {"float32": 1.0, "float64": -2.5, "u64": 2**64 - 1}
OVERFLOWING_ARGUMENT = {"float32": 10**400, "float64": 10**400, "u64": -1}


WORKING = {
    "encode_ieee754_f16",
    "encode_ieee754_f32",
    "encode_ieee754_f64",
    "decode_ieee754_f16",
    "decode_ieee754_f32",
    "decode_ieee754_f64",
    "decode_ieee754_f128",
}
FLOAT_FAMILIES = ("ieee754_", "mil_std_1750a_", "dec_f", "ibm_f", "ti_f")


def test_refusal_table_covers_every_refusing_function():
    floats = {name for name in vantrel.__all__ if any(f in name for f in FLOAT_FAMILIES)}
    assert WORKING <= floats
    assert floats - WORKING == {name for name, _, _ in REFUSALS}
    assert len(REFUSALS) == 23


@pytest.mark.parametrize(("function", "kind", "message"), REFUSALS)
def test_refusal_message(function, kind, message):
    with pytest.raises(NotImplementedError) as caught:
        getattr(vantrel, function)(GOOD_ARGUMENT[kind])
    assert type(caught.value) is NotImplementedError
    assert caught.value.args == (message,)
    with pytest.raises(NotImplementedError, match="^" + message + "$"):
        getattr(vantrel, function)(_value=GOOD_ARGUMENT[kind])


@pytest.mark.parametrize(("function", "kind", "message"), REFUSALS)
def test_refusal_converts_its_argument_first(function, kind, message):
    with pytest.raises(TypeError) as caught:
        getattr(vantrel, function)("x")
    assert type(caught.value) is TypeError
    assert str(caught.value).startswith("argument '_value': ")
    with pytest.raises(OverflowError):
        getattr(vantrel, function)(OVERFLOWING_ARGUMENT[kind])


@pytest.mark.parametrize(("function", "kind", "message"), REFUSALS)
def test_refusal_signature(function, kind, message):
    assert getattr(vantrel, function).__text_signature__ == "(_value)"
    with pytest.raises(TypeError, match="unexpected keyword argument 'value'"):
        getattr(vantrel, function)(value=1)


@pytest.mark.parametrize("function", sorted(WORKING))
def test_working_function_signature(function):
    assert getattr(vantrel, function).__text_signature__ == "(value)"


# ---------------------------------------------------------------- inside recipes

RECIPE_FORMATS = {
    # encoding: (natural width, leaf encoder, leaf decoder)
    "ieee754_f16": (16, vantrel.encode_ieee754_f16, vantrel.decode_ieee754_f16),
    "ieee754_f32": (32, vantrel.encode_ieee754_f32, vantrel.decode_ieee754_f32),
    "ieee754_f64": (64, vantrel.encode_ieee754_f64, vantrel.decode_ieee754_f64),
}


def field_bits(pattern, width, byte_order, reverse):
    """The bits a numeric field holds: mirrored first, then byte-swapped."""
    if reverse:
        pattern = mirror(pattern, width)
    if byte_order.lower() == "little":
        pattern = int.from_bytes(pattern.to_bytes(width // 8, "big"), "little")
    return pattern


@pytest.mark.parametrize(
    ("encoding", "bits", "byte_order", "value", "packet"),
    [
        ("ieee754_f16", 16, "big", 1.0, "3c00"),
        ("ieee754_f16", 16, "little", 1.0, "003c"),
        ("IEEE754_F16", 16, "big", -2.5, "c100"),
        ("ieee754_f16", 16, "big", 1 + 2.0**-11 + 2.0**-40, "3c00"),
        ("ieee754_f16", 16, "big", 65520, "7c00"),
        ("ieee754_f16", 24, "big", 1.0, "003c00"),
        ("ieee754_f32", 32, "big", 1.0, "3f800000"),
        ("ieee754_f32", 32, "little", 1.0, "0000803f"),
        ("ieee754_f32", 32, "big", FLT_OVERFLOW, "7f800000"),
        ("ieee754_f32", 32, "big", math.nextafter(FLT_OVERFLOW, 0), "7f7fffff"),
        ("ieee754_f32", 40, "big", 1.0, "003f800000"),
        ("ieee754_f32", 16, "big", 1 + 0x12AB * 2.0**-23, "12ab"),
        ("ieee754_f32", 16, "little", 1 + 0x12AB * 2.0**-23, "ab12"),
        ("ieee754_f64", 64, "big", 1.0, "3ff0000000000000"),
        ("ieee754_f64", 64, "little", 1.0, "000000000000f03f"),
        ("ieee754_f64", 72, "big", -2.0, "00c000000000000000"),
    ],
)
def test_pack_float_fields(encoding, bits, byte_order, value, packet):
    recipe = [item(encoding=encoding, bits=bits, byte_order=byte_order, value=value)]
    assert vantrel.pack_parameters(recipe).hex() == packet


@pytest.mark.parametrize(
    ("packet", "encoding", "bits", "expected"),
    [
        ("3c00", "ieee754_f16", 16, 1.0),
        ("013c00", "ieee754_f16", 24, 1.0),  # bits above the low 16 ignored
        ("01", "ieee754_f16", 8, 2.0**-24),
        ("3f800000", "ieee754_f32", 32, 1.0),
        ("ff3f800000", "ieee754_f32", 40, 1.0),
        ("0001", "ieee754_f32", 16, 2.0**-149),
        ("3ff0000000000000", "ieee754_f64", 64, 1.0),
        ("bff0000000000000", "IEEE754_F64", 64, -1.0),
    ],
)
def test_unpack_float_fields(packet, encoding, bits, expected):
    recipe = [item(encoding=encoding, bits=bits)]
    result = vantrel.unpack_parameters(bytes.fromhex(packet), 0, recipe)["x"]
    assert f64_bits(result) == f64_bits(expected)


@settings(max_examples=400)
@given(
    encoding=st.sampled_from(sorted(RECIPE_FORMATS)),
    raw=st.integers(0, 2**64 - 1),
    offset=st.integers(0, 40),
    absolute=st.booleans(),
    byte_order=st.sampled_from(["big", "little", "Little"]),
    reverse=st.booleans(),
    prefix=st.integers(0, 3),
)
def test_float_fields_round_trip_bit_for_bit(
    encoding, raw, offset, absolute, byte_order, reverse, prefix
):
    width, encode, decode = RECIPE_FORMATS[encoding]
    # A value the format can carry; a NaN is chosen by its pattern.
    value = decode(raw & ((1 << width) - 1))
    field = item(encoding=encoding, bits=width, byte_order=byte_order, reverse_bits=reverse)
    if absolute:
        recipe = [{**field, "offset_bits": offset, "value": value}]
    else:
        # Placed by the running position, behind a field of `offset` bits.
        recipe = [item(name="pad", bits=offset, value=0), {**field, "value": value}]

    packet = vantrel.pack_parameters(recipe)

    assert len(packet) == (offset + width + 7) // 8
    expected_bits = field_bits(encode(value), width, byte_order, reverse)
    assert read_bits(packet, offset, width) == expected_bits
    # Read back from behind some leading bytes, through the call's offset.
    result = vantrel.unpack_parameters(b"\xa5" * prefix + packet, 8 * prefix, recipe)
    assert f64_bits(result["x"]) == f64_bits(value)


@pytest.mark.parametrize(
    ("encoding", "pattern"),
    [
        ("ieee754_f16", 0x7E01),
        ("ieee754_f16", 0xFFFF),
        ("ieee754_f32", 0x7FC12345),
        ("ieee754_f32", 0xFFFFFFFF),
        ("ieee754_f64", 0x7FF0_0000_0000_0001),  # signalling: binary64 is carried as is
        ("ieee754_f64", 0xFFF8_DEAD_BEEF_0001),
    ],
)
def test_nan_payloads_survive_recipes(encoding, pattern):
    width, _, decode = RECIPE_FORMATS[encoding]
    value = decode(pattern)
    packet = vantrel.pack_parameters(
        [item(encoding=encoding, bits=width, offset_bits=5, value=value)]
    )
    assert read_bits(packet, 5, width) == pattern
    result = vantrel.unpack_parameters(
        packet, 0, [item(encoding=encoding, bits=width, offset_bits=5)]
    )
    assert f64_bits(result["x"]) == f64_bits(value)
