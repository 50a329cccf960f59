"""Packed BCD and unpacked (zoned) BCD codecs."""

import pytest
from hypothesis import given, settings
from hypothesis import strategies as st

import vantrel

INT64_MIN = -(2**63)
INT64_MAX = 2**63 - 1

enc_packed = vantrel.encode_packed_bcd
dec_packed = vantrel.decode_packed_bcd
enc_unpacked = vantrel.encode_unpacked_bcd
dec_unpacked = vantrel.decode_unpacked_bcd


# Independent oracles: decimal text read as hexadecimal gives packed BCD, and
# Python's EBCDIC codec gives the zoned digits.
def packed_oracle(value, signed):
    digits = int(str(abs(value)), 16)
    if not signed:
        return digits
    return (digits << 4) | (0xD if value < 0 else 0xC)


def unpacked_oracle(value, nbytes, signed):
    text = str(abs(value)).zfill(nbytes)
    if not signed:
        return int.from_bytes(bytes(int(d) for d in text), "big")
    zoned = bytearray(text.encode("cp037"))
    zoned[-1] = (0xD0 if value < 0 else 0xC0) | (zoned[-1] & 0x0F)
    return int.from_bytes(zoned, "big")


def value_error(fn, *args, **kwargs):
    with pytest.raises(ValueError) as info:
        fn(*args, **kwargs)
    return str(info.value)


# --- encoders ---------------------------------------------------------------


@pytest.mark.parametrize(
    "fn, value, bits, signed, expected",
    [
        (enc_packed, 0, 4, False, 0),
        (enc_packed, 9, 4, False, 9),
        (enc_packed, 1234, 16, False, 0x1234),
        (enc_packed, 123, 16, True, 0x123C),
        (enc_packed, -123, 16, True, 0x123D),
        (enc_packed, 0, 4, True, 0xC),
        (enc_packed, 0, 7, True, 0xC),
        (enc_packed, 9999999999999999, 64, False, 0x9999999999999999),
        (enc_packed, -999999999999999, 64, True, 0x999999999999999D),
        (enc_packed, 42, 11, False, 0x42),
        (enc_unpacked, 123, 24, False, 0x010203),
        (enc_unpacked, 123, 24, True, 0xF1F2C3),
        (enc_unpacked, -123, 24, True, 0xF1F2D3),
        (enc_unpacked, 0, 8, True, 0xC0),
        (enc_unpacked, 7, 15, True, 0xC7),
        (enc_unpacked, 12345678, 64, False, 0x0102030405060708),
        (enc_unpacked, -12345678, 64, True, 0xF1F2F3F4F5F6F7D8),
        # Wider than 64 bits: the digits above bit 63 are leading zeros.
        (enc_packed, 9999999999999999, 68, False, 0x9999999999999999),
        (enc_packed, -5, 2**32 - 1, True, 0x5D),
        (enc_unpacked, 99999999, 128, False, 0x0909090909090909),
        (enc_unpacked, -1234567, 71, True, 0xF0F1F2F3F4F5F6D7),
    ],
)
def test_encode(fn, value, bits, signed, expected):
    assert fn(value, bits, signed) == expected


@pytest.mark.parametrize(
    "fn, value, bits, signed, message",
    [
        (enc_packed, 10, 4, False, "Value 10 has too many digits for 1 BCD digits"),
        (enc_packed, 5, 4, True, "Value 5 has too many digits for 0 BCD digits"),
        (enc_packed, -5, 7, True, "Value -5 has too many digits for 0 BCD digits"),
        # Width before sign, sign before digit count.
        (enc_packed, -5, 3, False, "bits must be >= 4 for packed BCD"),
        (enc_packed, -12345, 8, False, "Cannot encode negative value in unsigned BCD"),
        (enc_unpacked, -5, 7, False, "bits must be >= 8 for unpacked BCD"),
        (enc_unpacked, -1234, 24, False, "Cannot encode negative value in unsigned BCD"),
        (enc_unpacked, 1234, 24, False, "Value 1234 has too many digits for 3 BCD digits"),
        (enc_unpacked, -1234, 24, True, "Value -1234 has too many digits for 3 BCD digits"),
        (
            enc_packed,
            INT64_MIN,
            64,
            True,
            "Value -9223372036854775808 has too many digits for 15 BCD digits",
        ),
        (enc_packed, INT64_MIN, 0, True, "bits must be >= 4 for packed BCD"),
        # Wider than 64 bits with a significant digit above bit 63.
        (
            enc_packed,
            INT64_MAX,
            80,
            False,
            "Value 9223372036854775807 does not fit a 64-bit pattern as 80-bit packed BCD"
            " (at most 16 digits)",
        ),
        (
            enc_packed,
            -(10**15),
            68,
            True,
            "Value -1000000000000000 does not fit a 64-bit pattern as 68-bit packed BCD"
            " (at most 15 digits)",
        ),
        (
            enc_unpacked,
            123456789,
            72,
            False,
            "Value 123456789 does not fit a 64-bit pattern as 72-bit unpacked BCD"
            " (at most 8 digits)",
        ),
        # Zoned fields of 9+ bytes always need a zone above bit 63.
        (
            enc_unpacked,
            0,
            72,
            True,
            "Value 0 does not fit a 64-bit pattern as 72-bit zoned decimal (at most 8 zoned bytes)",
        ),
        (
            enc_unpacked,
            INT64_MIN,
            72,
            True,
            "Value -9223372036854775808 has too many digits for 9 BCD digits",
        ),
    ],
)
def test_encode_errors(fn, value, bits, signed, message):
    assert value_error(fn, value, bits, signed) == message


def test_encode_most_negative_value_in_wide_fields():
    # Its magnitude is taken without overflow: 19 digits, too many for a pattern.
    assert value_error(enc_packed, INT64_MIN, 80, True).startswith(
        "Value -9223372036854775808 does not fit a 64-bit pattern"
    )
    assert (
        value_error(enc_packed, INT64_MIN, 76, True)
        == "Value -9223372036854775808 has too many digits for 18 BCD digits"
    )


def test_arguments_by_keyword_and_strict_bool():
    assert enc_packed(value=-7, bits=8, signed=True) == 0x7D
    assert dec_unpacked(value=0xF1C2, bits=16, signed=True) == 12
    with pytest.raises(TypeError):
        enc_packed(1, 8, 1)


# --- decoders ---------------------------------------------------------------


@pytest.mark.parametrize("sign", range(16))
def test_packed_sign_nibbles(sign):
    pattern = 0x1230 | sign
    if sign < 0xA:
        assert (
            value_error(dec_packed, pattern, 16, True)
            == "Invalid BCD sign nibble: expected 0xA-0xF for signed packed BCD"
        )
    else:
        assert dec_packed(pattern, 16, True) == (-123 if sign in (0xB, 0xD) else 123)


@pytest.mark.parametrize(
    "fn, pattern, bits, signed, expected",
    [
        (dec_packed, 0x123D, 16, True, -123),
        (dec_packed, 0x9999999999999999, 64, False, 9999999999999999),
        (dec_packed, 0x999999999999999B, 64, True, -999999999999999),
        (dec_packed, 0xFFFF, 3, True, 0),
        (dec_packed, 0xFF, 7, True, 0),  # valid sign, no digits
        (dec_unpacked, 0xFFFF, 7, True, 0),
        (dec_unpacked, 0xFFFF, 7, False, 0),
        # Bits above the field are ignored.
        (dec_packed, 0x123, 10, False, 23),
        (dec_packed, 0xFFFFFFFFFFFFF42C, 12, True, 42),
        (dec_unpacked, 0xFFFF0102, 16, False, 12),
        (dec_unpacked, 0xAAF1D2, 23, True, -12),
        # ASCII and EBCDIC digits mix freely after the units byte.
        (dec_unpacked, 0x313233, 24, True, 123),
        (dec_unpacked, 0xF132D3, 24, True, -123),
        (dec_unpacked, 0x3938373635343332, 64, True, 98765432),
        # Wider than 64 bits: positions above bit 63 are leading zeros.
        (dec_packed, 0x9999999999999999, 200, False, 9999999999999999),
        (dec_packed, 0x12345C, 2**32 - 1, True, 12345),
        (dec_unpacked, 0x0102030405060708, 96, False, 12345678),
    ],
)
def test_decode(fn, pattern, bits, signed, expected):
    assert fn(pattern, bits, signed) == expected


@pytest.mark.parametrize(
    "fn, pattern, bits, signed, message",
    [
        (dec_packed, 0x1A34, 16, False, "Invalid BCD digit: 10 (must be 0-9)"),
        # Digits are checked units first; the sign nibble before any digit.
        (dec_packed, 0xF0B0, 16, False, "Invalid BCD digit: 11 (must be 0-9)"),
        (dec_packed, 0x1E3C, 16, True, "Invalid BCD digit: 14 (must be 0-9)"),
        (
            dec_packed,
            0xA239,
            16,
            True,
            "Invalid BCD sign nibble: expected 0xA-0xF for signed packed BCD",
        ),
        (dec_packed, 0xF000000000000000, 64, False, "Invalid BCD digit: 15 (must be 0-9)"),
        (dec_unpacked, 0x313233, 24, False, "Invalid BCD digit: 51 (must be 0-9)"),
        (dec_unpacked, 0xFF0A00, 24, False, "Invalid BCD digit: 10 (must be 0-9)"),
        (dec_unpacked, 0x8000000000000000, 64, False, "Invalid BCD digit: 128 (must be 0-9)"),
        (
            dec_unpacked,
            0xF1F2A3,
            24,
            True,
            "Invalid zoned decimal signed byte: 0xA3"
            " (expected 0x30-0x39, 0xC0-0xC9, 0xD0-0xD9, or 0xF0-0xF9)",
        ),
        (
            dec_unpacked,
            0xC1C2C3,
            24,
            True,
            "Invalid zoned decimal byte: 0xC2 (expected ASCII 0x30-0x39 or EBCDIC 0xF0-0xF9)",
        ),
        # A ninth byte lies above bit 63 and reads as 0x00.
        (
            dec_unpacked,
            0xF1F2F3F4F5F6F7C8,
            72,
            True,
            "Invalid zoned decimal byte: 0x00 (expected ASCII 0x30-0x39 or EBCDIC 0xF0-0xF9)",
        ),
    ],
)
def test_decode_errors(fn, pattern, bits, signed, message):
    assert value_error(fn, pattern, bits, signed) == message


def test_zoned_byte_classes_exhaustive():
    for byte in range(256):
        zone, digit = byte >> 4, byte & 0xF
        units_ok = digit <= 9 and zone in (0x3, 0xC, 0xD, 0xF)
        if units_ok:
            expected = -(10 + digit) if zone == 0xD else 10 + digit
            assert dec_unpacked(0xF100 | byte, 16, True) == expected, hex(byte)
        else:
            assert value_error(dec_unpacked, 0xF100 | byte, 16, True).startswith(
                f"Invalid zoned decimal signed byte: 0x{byte:02X} "
            )
        later_ok = digit <= 9 and zone in (0x3, 0xF)
        if later_ok:
            assert dec_unpacked((byte << 8) | 0xC5, 16, True) == 10 * digit + 5, hex(byte)
        else:
            assert value_error(dec_unpacked, (byte << 8) | 0xC5, 16, True).startswith(
                f"Invalid zoned decimal byte: 0x{byte:02X} "
            )


@settings(max_examples=300)
@given(st.integers(0, 2**64 - 1), st.integers(4, 80), st.booleans())
def test_packed_decode_matches_hex_reading(pattern, bits, signed):
    nibbles = min(bits // 4, 16)
    field = pattern & ((1 << (4 * nibbles)) - 1)
    text = f"{field:0{nibbles}x}"
    sign, digits = (text[-1], text[:-1]) if signed else ("", text)
    if signed and sign in "0123456789":
        expected = None
    elif any(c in "abcdef" for c in digits):
        expected = None
    else:
        magnitude = int(digits) if digits else 0
        expected = -magnitude if sign in ("b", "d") else magnitude
    if expected is None:
        with pytest.raises(ValueError):
            dec_packed(pattern, bits, signed)
    else:
        assert dec_packed(pattern, bits, signed) == expected


# --- inverse properties -----------------------------------------------------


@st.composite
def fitting_values(draw, unit, min_bits):
    bits = draw(st.integers(min_bits, 64))
    signed = draw(st.booleans())
    digits = bits // unit - (1 if signed and unit == 4 else 0)
    limit = min(10**digits - 1, INT64_MAX)
    value = draw(st.integers(-limit if signed else 0, limit))
    return value, bits, signed


@settings(max_examples=400)
@given(fitting_values(4, 4))
def test_packed_round_trip(case):
    value, bits, signed = case
    pattern = enc_packed(value, bits, signed)
    assert pattern == packed_oracle(value, signed)
    assert dec_packed(pattern, bits, signed) == value


@settings(max_examples=400)
@given(fitting_values(8, 8))
def test_unpacked_round_trip(case):
    value, bits, signed = case
    pattern = enc_unpacked(value, bits, signed)
    assert pattern == unpacked_oracle(value, bits // 8, signed)
    assert dec_unpacked(pattern, bits, signed) == value


@settings(max_examples=200)
@given(st.integers(INT64_MIN, INT64_MAX), st.integers(4, 64), st.booleans())
def test_packed_encode_accepts_exactly_the_fitting_values(value, bits, signed):
    digits = bits // 4 - (1 if signed else 0)
    if value < 0 and not signed:
        assert value_error(enc_packed, value, bits, signed).startswith("Cannot encode")
    elif len(str(abs(value)).lstrip("0")) > digits:
        assert "has too many digits" in value_error(enc_packed, value, bits, signed)
    else:
        assert enc_packed(value, bits, signed) == packed_oracle(value, signed)


DECIMAL_ENCODINGS = {
    "packed_bcd": (4, False),
    "packed_bcd_signed": (4, True),
    "unpacked_bcd": (8, False),
    "unpacked_bcd_signed": (8, True),
}


@st.composite
def decimal_recipes(draw):
    recipe, values, position = [], {}, draw(st.integers(0, 7))
    for index in range(draw(st.integers(1, 6))):
        encoding = draw(st.sampled_from(sorted(DECIMAL_ENCODINGS)))
        unit, signed = DECIMAL_ENCODINGS[encoding]
        bits = draw(st.integers(unit, 64))
        digits = min(bits // unit - (1 if signed and unit == 4 else 0), 18)
        limit = 10**digits - 1 if digits else 0
        value = draw(st.integers(-limit if signed else 0, limit))
        position += draw(st.integers(0, 5))
        name = f"d{index}"
        recipe.append(
            {
                "name": name,
                "encoding": encoding.upper(),
                "bits": bits,
                "byte_order": "big",
                "reverse_bits": draw(st.booleans()),
                "offset_bits": position,
                "value": value,
            }
        )
        values[name] = value
        position += bits
    return recipe, values


@settings(max_examples=300, deadline=None)
@given(decimal_recipes())
def test_decimal_recipes_round_trip_at_unaligned_offsets(case):
    recipe, values = case
    packet = vantrel.pack_parameters(recipe)
    assert vantrel.unpack_parameters(packet, 0, recipe) == values


def test_decimal_recipe_errors_are_wrapped():
    item = {
        "name": "d",
        "encoding": "unpacked_bcd",
        "bits": 8,
        "byte_order": "big",
        "reverse_bits": False,
        "value": -1,
    }
    with pytest.raises(ValueError) as info:
        vantrel.pack_parameters([item])
    assert str(info.value) == "ValueError: Cannot encode negative value in unsigned BCD"
    with pytest.raises(ValueError) as info:
        vantrel.unpack_parameters(b"\x0a", 0, [item])
    assert str(info.value) == "ValueError: Invalid BCD digit: 10 (must be 0-9)"
