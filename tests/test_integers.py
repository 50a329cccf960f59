"""Sign-magnitude, ones' complement and two's complement integers."""

import pytest
from hypothesis import given, settings
from hypothesis import strategies as st

import vantrel

ENCODED = [
    ("encode_sign_magnitude", -5, 8, 133),
    ("encode_sign_magnitude", 127, 8, 127),
    ("encode_sign_magnitude", 0, 2, 0),
    ("encode_sign_magnitude", -9223372036854775807, 64, 18446744073709551615),
    ("encode_ones_complement", -1, 8, 254),
    ("encode_ones_complement", -127, 8, 128),
    ("encode_ones_complement", 0, 1, 0),
    ("encode_ones_complement", -1, 64, 18446744073709551614),
    ("encode_ones_complement", 2**63 - 1, 64, 2**63 - 1),
    ("encode_twos_complement", -1, 8, 255),
    ("encode_twos_complement", -128, 8, 128),
    ("encode_twos_complement", -1, 64, 18446744073709551615),
    ("encode_twos_complement", -(2**63), 64, 2**63),
    ("encode_twos_complement", -1, 1, 1),
    ("encode_twos_complement", 0, 1, 0),
]


@pytest.mark.parametrize(("function", "value", "bits", "pattern"), ENCODED)
def test_encoders(function, value, bits, pattern):
    assert getattr(vantrel, function)(value, bits) == pattern


ENCODE_ERRORS = [
    ("encode_sign_magnitude", 128, 8, "Magnitude of 128 is too large for 8 bits"),
    ("encode_sign_magnitude", -128, 8, "Magnitude of -128 is too large for 8 bits"),
    (
        "encode_sign_magnitude",
        -(2**63),
        64,
        "Magnitude of -9223372036854775808 is too large for 64 bits",
    ),
    ("encode_sign_magnitude", 0, 1, "bits must be between 2 and 64 for sign-magnitude encoding"),
    ("encode_sign_magnitude", 0, 0, "bits must be between 2 and 64 for sign-magnitude encoding"),
    (
        "encode_sign_magnitude",
        10**6,
        65,
        "bits must be between 2 and 64 for sign-magnitude encoding",
    ),
    ("encode_ones_complement", -128, 8, "Value -128 is too large (magnitude) for 8 bits"),
    ("encode_ones_complement", 128, 8, "Value 128 is too large for 8 bits"),
    ("encode_ones_complement", 1, 1, "Value 1 is too large for 1 bits"),
    ("encode_ones_complement", -1, 1, "Value -1 is too large (magnitude) for 1 bits"),
    (
        "encode_ones_complement",
        -(2**63),
        64,
        "Value -9223372036854775808 is too large (magnitude) for 64 bits",
    ),
    ("encode_ones_complement", 10**6, 65, "bits must be <= 64 for ones' complement encoding"),
    ("encode_ones_complement", 5, 0, "bits must be between 1 and 64 for ones' complement encoding"),
    ("encode_ones_complement", 0, 0, "bits must be between 1 and 64 for ones' complement encoding"),
    ("encode_twos_complement", 128, 8, "Value 128 out of range for 8 bits (range: -128 to 127)"),
    ("encode_twos_complement", -129, 8, "Value -129 out of range for 8 bits (range: -128 to 127)"),
    ("encode_twos_complement", 1, 1, "Value 1 out of range for 1 bits (range: -1 to 0)"),
    (
        "encode_twos_complement",
        2**62,
        63,
        "Value 4611686018427387904 out of range for 63 bits "
        "(range: -4611686018427387904 to 4611686018427387903)",
    ),
    ("encode_twos_complement", 0, 65, "bits must be <= 64 for two's complement encoding"),
    ("encode_twos_complement", 5, 0, "bits must be between 1 and 64 for two's complement encoding"),
]


@pytest.mark.parametrize(("function", "value", "bits", "message"), ENCODE_ERRORS)
def test_encoder_errors(function, value, bits, message):
    with pytest.raises(ValueError) as info:
        getattr(vantrel, function)(value, bits)
    assert str(info.value) == message


DECODED = [
    ("decode_twos_complement", 255, 8, -1),
    ("decode_twos_complement", 128, 8, -128),
    ("decode_twos_complement", 511, 8, -1),
    ("decode_twos_complement", 256, 8, 256),
    ("decode_twos_complement", 2**64 - 1, 64, -1),
    ("decode_twos_complement", 2**64 - 1, 100, -1),
    ("decode_twos_complement", 1, 1, -1),
    ("decode_ones_complement", 255, 8, 0),
    ("decode_ones_complement", 254, 8, -1),
    ("decode_ones_complement", 2**64 - 1, 64, 0),
    ("decode_ones_complement", 2**64 - 2, 70, -1),
    ("decode_ones_complement", 0x1FE, 8, 0x1FE - 255),
    ("decode_sign_magnitude", 133, 8, -5),
    ("decode_sign_magnitude", 128, 8, 0),
    ("decode_sign_magnitude", 511, 8, -127),
    ("decode_sign_magnitude", 2**64 - 1, 64, -(2**63 - 1)),
    ("decode_sign_magnitude", 2**64 - 1, 65, -(2**63 - 1)),
    ("decode_sign_magnitude", 1, 1, 0),
]


@pytest.mark.parametrize(("function", "pattern", "bits", "value"), DECODED)
def test_decoders(function, pattern, bits, value):
    assert getattr(vantrel, function)(pattern, bits) == value


@pytest.mark.parametrize(
    "function", ["decode_twos_complement", "decode_ones_complement", "decode_sign_magnitude"]
)
@pytest.mark.parametrize("pattern", [0, 1, 2**63, 2**64 - 1])
def test_zero_width_decodes_to_zero(function, pattern):
    assert getattr(vantrel, function)(pattern, 0) == 0


def test_width_is_checked_before_value():
    with pytest.raises(ValueError, match="^bits must be"):
        vantrel.encode_twos_complement(10**9, 70)
    with pytest.raises(ValueError, match="^bits must be"):
        vantrel.encode_sign_magnitude(10**9, 1)


# Independent models of the three representations.
def model_twos(value, bits):
    return value % (1 << bits)


def model_ones(value, bits):
    return value if value >= 0 else (1 << bits) - 1 + value


def model_sign_magnitude(value, bits):
    return abs(value) | ((1 << (bits - 1)) if value < 0 else 0)


REPRESENTATIONS = {
    "twos_complement": (1, lambda w: (-(1 << (w - 1)), (1 << (w - 1)) - 1), model_twos),
    "ones_complement": (1, lambda w: (-((1 << (w - 1)) - 1), (1 << (w - 1)) - 1), model_ones),
    "sign_magnitude": (
        2,
        lambda w: (-((1 << (w - 1)) - 1), (1 << (w - 1)) - 1),
        model_sign_magnitude,
    ),
}


@st.composite
def width_and_value(draw, representation):
    low_width, value_range, _ = REPRESENTATIONS[representation]
    bits = draw(st.integers(low_width, 64))
    low, high = value_range(bits)
    value = draw(st.one_of(st.integers(low, high), st.sampled_from([low, high, 0])))
    return bits, value


@pytest.mark.parametrize("representation", sorted(REPRESENTATIONS))
@settings(max_examples=400, deadline=None)
@given(data=st.data())
def test_decoding_inverts_encoding(representation, data):
    bits, value = data.draw(width_and_value(representation))
    encode = getattr(vantrel, f"encode_{representation}")
    decode = getattr(vantrel, f"decode_{representation}")
    pattern = encode(value, bits)
    assert pattern == REPRESENTATIONS[representation][2](value, bits)
    assert pattern < (1 << bits)
    assert decode(pattern, bits) == value


@pytest.mark.parametrize("representation", sorted(REPRESENTATIONS))
@settings(max_examples=200, deadline=None)
@given(bits=st.integers(2, 63), data=st.data())
def test_values_just_outside_the_range_fail(representation, bits, data):
    low, high = REPRESENTATIONS[representation][1](bits)
    value = data.draw(st.sampled_from([low - 1, high + 1]))
    with pytest.raises(ValueError):
        getattr(vantrel, f"encode_{representation}")(value, bits)
