"""Text encodings: the ten encoders and decoders, checked against Python's own
codecs where they compute the same thing."""

import codecs
import sys
from pathlib import Path

import pytest
from hypothesis import given, settings
from hypothesis import strategies as st

import vantrel
from recipe_helpers import BitWriter, item, read_bits

# Third-party reference files; tests/data/README.md gives their origin and licence.
DATA = Path(__file__).resolve().parent / "data"
WINDOWS_1252_INDEX = DATA / "index-windows-1252.txt"
KUHN_STRESS_TEST = DATA / "UTF-8-test.txt"

# Bytes the windows-1252 index maps to C1 controls; Python's cp1252 leaves
# them undefined.
C1_BYTES = (0x81, 0x8D, 0x8F, 0x90, 0x9D)

LONE_SURROGATE = "Invalid UTF-16 sequence: invalid utf-16: lone surrogate found"
WINDOWS_1252_DECODE_FAILED = "Failed to decode Windows-1252 bytes"
WINDOWS_1252_ENCODE_FAILED = "Failed to encode to Windows-1252"

ENCODERS = [
    "encode_utf8",
    "encode_utf16",
    "encode_utf16be",
    "encode_utf16le",
    "encode_utf32",
    "encode_utf32be",
    "encode_utf32le",
    "encode_us_ascii",
    "encode_iso_8859_1",
    "encode_windows_1252",
]
DECODERS = [name.replace("encode_", "decode_") for name in ENCODERS]


def fresh_str(text):
    """A newly built copy: no cached UTF-8 form and no shared singleton."""
    return text.encode("utf-32-le").decode("utf-32-le")


def layout_size(text):
    """sys.getsizeof of a freshly built str holding `text`: fixed by its
    length, its widest character (1, 2 or 4 bytes a character) and whether it
    is ASCII."""
    largest = max(map(ord, text), default=0)
    sample, width = next(
        (sample, width)
        for limit, sample, width in ((0x80, "ab", 1), (0x100, "éé", 1), (0x10000, "ĀĀ", 2))
        + ((0x110000, "😀😀", 4),)
        if largest < limit
    )
    return sys.getsizeof(fresh_str(sample)) + (len(text) - 2) * width


def assert_same_str(actual, expected):
    """Equal text, built the way CPython builds it. A decoder that gets the
    code point count or the largest code point wrong gives a str of the wrong
    length, width or ASCII flag, which either compares unequal or has the
    wrong size."""
    assert type(actual) is str
    assert actual == expected
    assert sys.getsizeof(actual) == layout_size(expected)
    assert actual.isascii() == expected.isascii()


def outcome(function, argument):
    """('ok', result) or ('error', message) of a ValueError."""
    try:
        return ("ok", function(argument))
    except ValueError as error:
        return ("error", str(error))


def check_decoder(function, data, expected):
    """Compare a decoder with an expected ('ok', str) or ('error', message)."""
    kind, value = outcome(function, data)
    assert (kind, value) == expected
    if kind == "ok":
        assert_same_str(value, expected[1])


# ---- Oracles ----------------------------------------------------------------


def utf8_oracle(data):
    """Python's UTF-8 decoder reports the same first offence: the start of the
    maximal subpart, its length as end - start, and "unexpected end of data"
    for input that stops inside an acceptable sequence."""
    try:
        return ("ok", data.decode("utf-8"))
    except UnicodeDecodeError as error:
        if error.reason == "unexpected end of data":
            detail = f"incomplete utf-8 byte sequence from index {error.start}"
        else:
            detail = (
                f"invalid utf-8 sequence of {error.end - error.start} bytes "
                f"from index {error.start}"
            )
        return ("error", f"Invalid UTF-8 bytes: {detail}")


def utf16_oracle(data, codec):
    if len(data) % 2:
        return ("error", "UTF-16 requires an even number of bytes")
    try:
        return ("ok", data.decode(codec))
    except UnicodeDecodeError:
        return ("error", LONE_SURROGATE)


def utf32_oracle(data, codec):
    if len(data) % 4:
        return ("error", "UTF-32 requires a multiple of 4 bytes")
    try:
        return ("ok", data.decode(codec))
    except UnicodeDecodeError as error:
        unit = int.from_bytes(
            data[error.start : error.start + 4],
            codec[-2:].replace("le", "little").replace("be", "big"),
        )
        return ("error", f"Invalid UTF-32 codepoint: 0x{unit:08X}")


def utf16_marked_oracle(data):
    """decode_utf16: a mark picks the order and is dropped; big-endian without
    one (Python's own 'utf-16' would use the machine's order instead)."""
    if len(data) < 2 or len(data) % 2:
        return ("error", "UTF-16 requires an even number of bytes with at least 2 bytes")
    if data[:2] == b"\xfe\xff":
        return utf16_oracle(data[2:], "utf-16-be")
    if data[:2] == b"\xff\xfe":
        return utf16_oracle(data[2:], "utf-16-le")
    return utf16_oracle(data, "utf-16-be")


def utf32_marked_oracle(data):
    if len(data) < 4 or len(data) % 4:
        return ("error", "UTF-32 requires a multiple of 4 bytes with at least 4 bytes")
    if data[:4] == b"\x00\x00\xfe\xff":
        return utf32_oracle(data[4:], "utf-32-be")
    if data[:4] == b"\xff\xfe\x00\x00":
        return utf32_oracle(data[4:], "utf-32-le")
    return utf32_oracle(data, "utf-32-be")


def _c1_decode(error):
    byte = error.object[error.start]
    assert byte in C1_BYTES
    return chr(byte), error.start + 1


def _c1_encode(error):
    character = error.object[error.start]
    if ord(character) not in C1_BYTES:
        raise error
    return bytes([ord(character)]), error.start + 1


codecs.register_error("vantrel-test-c1", _c1_decode)
codecs.register_error("vantrel-test-c1-encode", _c1_encode)


def windows_1252_oracle(data):
    """Python's cp1252 plus the five C1 bytes, after the WHATWG mark sniffing."""
    if data[:3] == b"\xef\xbb\xbf":
        codec, rest = "utf-8", data[3:]
    elif data[:2] == b"\xff\xfe":
        codec, rest = "utf-16-le", data[2:]
    elif data[:2] == b"\xfe\xff":
        codec, rest = "utf-16-be", data[2:]
    else:
        return ("ok", data.decode("cp1252", "vantrel-test-c1"))
    try:
        return ("ok", rest.decode(codec))
    except UnicodeDecodeError:
        return ("error", WINDOWS_1252_DECODE_FAILED)


def windows_1252_encode_oracle(text):
    try:
        return ("ok", text.encode("cp1252", "vantrel-test-c1-encode"))
    except UnicodeEncodeError:
        return ("error", WINDOWS_1252_ENCODE_FAILED)


def single_byte_encode_oracle(text, codec, name):
    try:
        return ("ok", text.encode(codec))
    except UnicodeEncodeError as error:
        character = text[error.start]
        return ("error", f"Character '{character}' (U+{ord(character):04X}) is not valid {name}")


# ---- Input strategies -------------------------------------------------------

ascii_runs = st.text(alphabet=st.characters(max_codepoint=0x7F), min_size=1, max_size=24)
scalar_values = st.one_of(
    st.characters(max_codepoint=0x7F),
    st.characters(min_codepoint=0x80, max_codepoint=0x7FF),
    st.characters(min_codepoint=0x800, max_codepoint=0xFFFF, codec="utf-8"),
    st.characters(min_codepoint=0x10000),
)
# Texts that mix long ASCII runs (the word-at-a-time paths) with one- to
# four-byte characters.
texts = st.lists(st.one_of(ascii_runs, scalar_values), max_size=20).map("".join)

# Byte strings that are often almost UTF-8: encoded characters (surrogates
# included), truncated sequences, overlong forms, random bytes and ASCII runs.
any_code_point = st.integers(0, 0x10FFFF).map(chr)
utf8_pieces = st.one_of(
    ascii_runs.map(str.encode),
    any_code_point.map(lambda c: c.encode("utf-8", "surrogatepass")),
    st.characters(min_codepoint=0x80, codec="utf-8").map(lambda c: c.encode("utf-8")[:-1]),
    st.sampled_from(
        [b"\xc0\x80", b"\xc1\xbf", b"\xe0\x80\x80", b"\xe0\x9f\xbf", b"\xf0\x8f\xbf\xbf"]
        + [b"\xf4\x90\x80\x80", b"\xf5\x80\x80\x80", b"\xed\xbf\xbf", b"\xef\xbb\xbf"]
    ),
    st.binary(min_size=1, max_size=4),
)
utf8_like = st.lists(utf8_pieces, max_size=16).map(b"".join)

# Code units near the interesting values, for UTF-16 and UTF-32 inputs.
utf16_units = st.one_of(
    st.integers(0, 0xFFFF),
    st.integers(0xD800, 0xDFFF),
    st.sampled_from([0x0041, 0x00E9, 0x20AC, 0xFEFF, 0xFFFE, 0xD83D, 0xDE00]),
)
utf32_units = st.one_of(
    st.integers(0, 0x10FFFF),
    st.integers(0xD800, 0xDFFF),
    st.integers(0x110000, 0xFFFFFFFF),
    st.sampled_from([0x41, 0xFEFF, 0xFFFE0000, 0x0000FEFF, 0x10FFFF, 0x110000]),
)


def units_to_bytes(units, width, order):
    return b"".join(unit.to_bytes(width, order) for unit in units)


def utf16_bytes(order):
    return st.tuples(st.lists(utf16_units, max_size=12), st.sampled_from([b"", b"\x00"])).map(
        lambda pair: units_to_bytes(pair[0], 2, order) + pair[1]
    )


def utf32_bytes(order):
    return st.tuples(
        st.lists(utf32_units, max_size=8), st.sampled_from([b"", b"\x00", b"\x00\x00\x00"])
    ).map(lambda pair: units_to_bytes(pair[0], 4, order) + pair[1])


marks = st.sampled_from(
    [b"", b"\xef\xbb\xbf", b"\xff\xfe", b"\xfe\xff", b"\xef\xbb", b"\xef", b"\xff", b"\xfe"]
    + [b"\x00\x00\xfe\xff", b"\xff\xfe\x00\x00"]
)


# ---- Windows-1252 table ---------------------------------------------------


def read_windows_1252_index():
    mapping = {}
    for line in WINDOWS_1252_INDEX.read_text(encoding="utf-8").splitlines():
        if not line.strip() or line.startswith("#"):
            continue
        pointer, code_point = line.split("\t")[:2]
        mapping[0x80 + int(pointer)] = int(code_point, 16)
    return mapping


WINDOWS_1252 = {byte: byte for byte in range(0x80)} | read_windows_1252_index()


def test_index_file_covers_every_byte_and_maps_the_c1_bytes_to_controls():
    assert sorted(WINDOWS_1252) == list(range(256))
    assert {byte: WINDOWS_1252[byte] for byte in C1_BYTES} == {byte: byte for byte in C1_BYTES}


def test_windows_1252_decode_table_matches_index_file():
    for byte, code_point in WINDOWS_1252.items():
        assert_same_str(vantrel.decode_windows_1252(bytes([byte])), chr(code_point))
    everything = bytes(range(256))
    expected = "".join(chr(WINDOWS_1252[byte]) for byte in everything)
    assert_same_str(vantrel.decode_windows_1252(everything), expected)


def test_windows_1252_encode_table_matches_index_file():
    for byte, code_point in WINDOWS_1252.items():
        assert vantrel.encode_windows_1252(chr(code_point)) == bytes([byte])
    text = "".join(chr(WINDOWS_1252[byte]) for byte in range(256))
    assert vantrel.encode_windows_1252(text) == bytes(range(256))


def test_windows_1252_encode_refuses_every_code_point_outside_the_index():
    mapped = set(WINDOWS_1252.values())
    # Every code point up to just past U+2122 (the largest mapped one), then
    # a spread sample of the rest.
    candidates = list(range(0x80, 0x2200)) + list(range(0x2200, 0x110000, 0x3F1))
    for code_point in candidates:
        if code_point in mapped or 0xD800 <= code_point <= 0xDFFF:
            continue
        with pytest.raises(ValueError) as info:
            vantrel.encode_windows_1252("a" + chr(code_point))
        assert str(info.value) == WINDOWS_1252_ENCODE_FAILED


# ---- Fixed examples ---------------------------------------------------------


@pytest.mark.parametrize(
    ("function", "text", "expected"),
    [
        ("encode_utf16", "", "fe ff"),
        ("encode_utf16be", "", ""),
        ("encode_utf16le", "", ""),
        ("encode_utf32", "", "00 00 fe ff"),
        ("encode_utf32be", "", ""),
        ("encode_utf32le", "", ""),
        ("encode_utf8", "", ""),
        ("encode_us_ascii", "", ""),
        ("encode_iso_8859_1", "", ""),
        ("encode_windows_1252", "", ""),
        ("encode_utf16be", "A€😀", "00 41 20 ac d8 3d de 00"),
        ("encode_utf16le", "A€😀", "41 00 ac 20 3d d8 00 de"),
        ("encode_utf16", "A€😀", "fe ff 00 41 20 ac d8 3d de 00"),
        ("encode_utf32le", "😀", "00 f6 01 00"),
        ("encode_utf32be", "😀", "00 01 f6 00"),
        ("encode_utf32", "A", "00 00 fe ff 00 00 00 41"),
        ("encode_utf8", "\ufeffA", "ef bb bf 41"),
        ("encode_iso_8859_1", "café", "63 61 66 e9"),
        ("encode_us_ascii", "\x00\x7f", "00 7f"),
        ("encode_windows_1252", "€", "80"),
        ("encode_windows_1252", "\x81", "81"),
        ("encode_windows_1252", "Ÿ", "9f"),
        ("encode_windows_1252", "aé€™", "61 e9 80 99"),
    ],
)
def test_encode_edge_cases(function, text, expected):
    assert getattr(vantrel, function)(text) == bytes.fromhex(expected)


@pytest.mark.parametrize(
    ("function", "text", "message"),
    [
        ("encode_us_ascii", "café", "Character 'é' (U+00E9) is not valid US-ASCII"),
        ("encode_us_ascii", "x€y😀", "Character '€' (U+20AC) is not valid US-ASCII"),
        ("encode_us_ascii", "\x80", "Character '\x80' (U+0080) is not valid US-ASCII"),
        ("encode_us_ascii", "12345678😀", "Character '😀' (U+1F600) is not valid US-ASCII"),
        ("encode_iso_8859_1", "€", "Character '€' (U+20AC) is not valid ISO-8859-1"),
        ("encode_iso_8859_1", "ÿĀ", "Character 'Ā' (U+0100) is not valid ISO-8859-1"),
        ("encode_iso_8859_1", "é😀€", "Character '😀' (U+1F600) is not valid ISO-8859-1"),
        ("encode_windows_1252", "\x80", WINDOWS_1252_ENCODE_FAILED),
        ("encode_windows_1252", "\u0100", WINDOWS_1252_ENCODE_FAILED),
        ("encode_windows_1252", "abc€\u2123", WINDOWS_1252_ENCODE_FAILED),
        ("encode_windows_1252", "😀", WINDOWS_1252_ENCODE_FAILED),
    ],
)
def test_encode_errors(function, text, message):
    with pytest.raises(ValueError) as info:
        getattr(vantrel, function)(text)
    assert str(info.value) == message
    assert info.value.args == (message,)


@pytest.mark.parametrize(
    ("function", "data", "expected"),
    [
        ("decode_utf16", "fe ff", ""),
        ("decode_utf16", "ff fe 41 00", "A"),
        ("decode_utf16", "00 41", "A"),
        ("decode_utf16", "fe ff d8 3d de 00", "😀"),
        ("decode_utf16", "ff fe ff fe", "\ufeff"),
        ("decode_utf16be", "", ""),
        ("decode_utf16le", "", ""),
        ("decode_utf16be", "fe ff 00 41", "\ufeffA"),
        ("decode_utf16le", "fe ff", "\ufffe"),
        ("decode_utf16be", "d8 3d de 00", "😀"),
        ("decode_utf16le", "3d d8 00 de", "😀"),
        ("decode_utf32", "ff fe 00 00 41 00 00 00", "A"),
        ("decode_utf32", "00 00 fe ff", ""),
        ("decode_utf32", "00 00 00 41", "A"),
        ("decode_utf32be", "", ""),
        ("decode_utf32le", "", ""),
        ("decode_utf32be", "00 00 fe ff", "\ufeff"),
        ("decode_utf32le", "ff fe 00 00", "\ufeff"),
        ("decode_utf32be", "00 10 ff ff", "\U0010ffff"),
        ("decode_utf8", "", ""),
        ("decode_utf8", "ef bb bf 41", "\ufeffA"),
        ("decode_utf8", "f4 8f bf bf", "\U0010ffff"),
        ("decode_utf8", "ed 9f bf ee 80 80", "\ud7ff\ue000"),
        ("decode_us_ascii", "", ""),
        ("decode_us_ascii", "00 41 7f", "\x00A\x7f"),
        ("decode_iso_8859_1", "", ""),
        ("decode_iso_8859_1", "e9", "é"),
        ("decode_iso_8859_1", "41 80 ff", "A\x80ÿ"),
        ("decode_windows_1252", "", ""),
        ("decode_windows_1252", "80 81 9f", "€\x81Ÿ"),
        ("decode_windows_1252", "ef bb bf c3 a9", "é"),
        ("decode_windows_1252", "ef bb bf", ""),
        ("decode_windows_1252", "ef bb", "ï»"),
        ("decode_windows_1252", "ff fe 41 00", "A"),
        ("decode_windows_1252", "fe ff 00 41", "A"),
        ("decode_windows_1252", "fe ff", ""),
        ("decode_windows_1252", "ff", "ÿ"),
        ("decode_windows_1252", "ef bb bf ef bb bf", "\ufeff"),
    ],
)
def test_decode_edge_cases(function, data, expected):
    assert_same_str(getattr(vantrel, function)(bytes.fromhex(data)), expected)


@pytest.mark.parametrize(
    ("function", "data", "message"),
    [
        ("decode_utf16", "", "UTF-16 requires an even number of bytes with at least 2 bytes"),
        ("decode_utf16", "00", "UTF-16 requires an even number of bytes with at least 2 bytes"),
        (
            "decode_utf16",
            "fe ff 00",
            "UTF-16 requires an even number of bytes with at least 2 bytes",
        ),
        ("decode_utf16", "ff fe 00 d8", LONE_SURROGATE),
        ("decode_utf16be", "00", "UTF-16 requires an even number of bytes"),
        ("decode_utf16le", "d8 00 00", "UTF-16 requires an even number of bytes"),
        ("decode_utf16be", "d8 00", LONE_SURROGATE),
        ("decode_utf16be", "dc 00 d8 00", LONE_SURROGATE),
        ("decode_utf16be", "d8 00 00 41", LONE_SURROGATE),
        ("decode_utf16be", "d8 00 d8 00 dc 00", LONE_SURROGATE),
        ("decode_utf16le", "00 dc", LONE_SURROGATE),
        ("decode_utf32", "00 00 00", "UTF-32 requires a multiple of 4 bytes with at least 4 bytes"),
        ("decode_utf32", "", "UTF-32 requires a multiple of 4 bytes with at least 4 bytes"),
        (
            "decode_utf32",
            "00 00 fe ff 00",
            "UTF-32 requires a multiple of 4 bytes with at least 4 bytes",
        ),
        ("decode_utf32", "00 00 fe ff 00 11 00 00", "Invalid UTF-32 codepoint: 0x00110000"),
        ("decode_utf32be", "00 00 00", "UTF-32 requires a multiple of 4 bytes"),
        ("decode_utf32be", "00 11 00 00", "Invalid UTF-32 codepoint: 0x00110000"),
        ("decode_utf32le", "00 d8 00 00", "Invalid UTF-32 codepoint: 0x0000D800"),
        ("decode_utf32le", "00 00 fe ff", "Invalid UTF-32 codepoint: 0xFFFE0000"),
        ("decode_utf32be", "ff fe 00 00", "Invalid UTF-32 codepoint: 0xFFFE0000"),
        ("decode_utf32be", "ff ff ff ff 00 d8 00 00", "Invalid UTF-32 codepoint: 0xFFFFFFFF"),
        ("decode_utf32be", "00 00 00 41 00 00 df ff", "Invalid UTF-32 codepoint: 0x0000DFFF"),
        (
            "decode_utf8",
            "ff",
            "Invalid UTF-8 bytes: invalid utf-8 sequence of 1 bytes from index 0",
        ),
        (
            "decode_utf8",
            "41 e2 82 41",
            "Invalid UTF-8 bytes: invalid utf-8 sequence of 2 bytes from index 1",
        ),
        (
            "decode_utf8",
            "e2 82",
            "Invalid UTF-8 bytes: incomplete utf-8 byte sequence from index 0",
        ),
        (
            "decode_utf8",
            "e0 80",
            "Invalid UTF-8 bytes: invalid utf-8 sequence of 1 bytes from index 0",
        ),
        (
            "decode_utf8",
            "ed a0 80",
            "Invalid UTF-8 bytes: invalid utf-8 sequence of 1 bytes from index 0",
        ),
        (
            "decode_utf8",
            "f0 9f 98 41",
            "Invalid UTF-8 bytes: invalid utf-8 sequence of 3 bytes from index 0",
        ),
        (
            "decode_utf8",
            "41 f0 9f 98",
            "Invalid UTF-8 bytes: incomplete utf-8 byte sequence from index 1",
        ),
        (
            "decode_utf8",
            "f4 90 80 80",
            "Invalid UTF-8 bytes: invalid utf-8 sequence of 1 bytes from index 0",
        ),
        (
            "decode_utf8",
            "c0 af",
            "Invalid UTF-8 bytes: invalid utf-8 sequence of 1 bytes from index 0",
        ),
        ("decode_utf8", "c3", "Invalid UTF-8 bytes: incomplete utf-8 byte sequence from index 0"),
        (
            "decode_utf8",
            "80",
            "Invalid UTF-8 bytes: invalid utf-8 sequence of 1 bytes from index 0",
        ),
        (
            "decode_utf8",
            "f8 88 80 80 80",
            "Invalid UTF-8 bytes: invalid utf-8 sequence of 1 bytes from index 0",
        ),
        (
            "decode_utf8",
            "c3 a9 ff c3",
            "Invalid UTF-8 bytes: invalid utf-8 sequence of 1 bytes from index 2",
        ),
        ("decode_us_ascii", "61 62 e9", "Invalid US-ASCII byte: 0xE9 (must be <= 0x7F)"),
        ("decode_us_ascii", "80 ff", "Invalid US-ASCII byte: 0x80 (must be <= 0x7F)"),
        ("decode_us_ascii", "ff", "Invalid US-ASCII byte: 0xFF (must be <= 0x7F)"),
        ("decode_windows_1252", "ef bb bf e9", WINDOWS_1252_DECODE_FAILED),
        ("decode_windows_1252", "ef bb bf e2 82", WINDOWS_1252_DECODE_FAILED),
        ("decode_windows_1252", "fe ff 00", WINDOWS_1252_DECODE_FAILED),
        ("decode_windows_1252", "ff fe 00", WINDOWS_1252_DECODE_FAILED),
        ("decode_windows_1252", "ff fe 00 d8", WINDOWS_1252_DECODE_FAILED),
        ("decode_windows_1252", "fe ff dc 00 00 41", WINDOWS_1252_DECODE_FAILED),
    ],
)
def test_decode_errors(function, data, message):
    with pytest.raises(ValueError) as info:
        getattr(vantrel, function)(bytes.fromhex(data))
    assert str(info.value) == message
    assert info.value.args == (message,)


@pytest.mark.parametrize("prefix", range(0, 20))
@pytest.mark.parametrize(
    ("bad", "detail"),
    [
        (b"\xff", "invalid utf-8 sequence of 1 bytes from index {i}"),
        (b"\xe2\x82!", "invalid utf-8 sequence of 2 bytes from index {i}"),
        (b"\xf0\x9f\x98", "incomplete utf-8 byte sequence from index {i}"),
    ],
)
def test_utf8_error_index_after_ascii_and_multibyte_runs(prefix, bad, detail):
    # Prefixes of every length cross the word-at-a-time boundaries; the index
    # counts bytes, not characters.
    for filler in ("a", "é"):
        head = (filler * prefix).encode()
        with pytest.raises(ValueError) as info:
            vantrel.decode_utf8(head + bad)
        assert str(info.value) == "Invalid UTF-8 bytes: " + detail.format(i=len(head))


@pytest.mark.parametrize("prefix", range(0, 20))
def test_first_offending_byte_or_character_after_runs(prefix):
    head = "a" * prefix
    with pytest.raises(ValueError, match=r"^Invalid US-ASCII byte: 0xC3 \(must be <= 0x7F\)$"):
        vantrel.decode_us_ascii(head.encode() + "éü".encode())
    with pytest.raises(ValueError) as info:
        vantrel.encode_us_ascii(head + "ü€")
    assert str(info.value) == "Character 'ü' (U+00FC) is not valid US-ASCII"
    with pytest.raises(ValueError) as info:
        vantrel.encode_iso_8859_1(head + "ü" * prefix + "ŁĀ")
    assert str(info.value) == "Character 'Ł' (U+0141) is not valid ISO-8859-1"


# ---- Oracle comparisons -----------------------------------------------------


@settings(max_examples=400)
@given(utf8_like)
def test_decode_utf8_matches_python(data):
    check_decoder(vantrel.decode_utf8, data, utf8_oracle(data))


@settings(max_examples=200)
@given(st.binary(max_size=40))
def test_decode_utf8_random_bytes_match_python(data):
    check_decoder(vantrel.decode_utf8, data, utf8_oracle(data))


def kuhn_stress_test():
    return KUHN_STRESS_TEST.read_bytes()


def test_decode_utf8_stress_test_lines_match_python():
    lines = kuhn_stress_test().split(b"\n")
    assert len(lines) > 200
    failures = 0
    for line in lines:
        expected = utf8_oracle(line)
        failures += expected[0] == "error"
        check_decoder(vantrel.decode_utf8, line, expected)
    assert failures > 50  # the file's malformed sections were exercised


def test_decode_utf8_stress_test_every_offence_matches_python():
    # Walk the whole file from one offence to the next: each remainder is
    # decoded whole, so every malformed sequence is reported in turn.
    data = kuhn_stress_test()
    offences = 0
    while True:
        expected = utf8_oracle(data)
        check_decoder(vantrel.decode_utf8, data, expected)
        if expected[0] == "ok":
            break
        offences += 1
        try:
            data.decode("utf-8")
        except UnicodeDecodeError as error:
            data = data[error.end :]
    assert offences > 100


@settings(max_examples=300)
@given(texts)
def test_utf8_round_trip(text):
    encoded = vantrel.encode_utf8(text)
    assert encoded == text.encode("utf-8")
    assert_same_str(vantrel.decode_utf8(encoded), text)


@pytest.mark.parametrize(
    ("encoder", "prefix", "codec"),
    [
        ("encode_utf16", b"\xfe\xff", "utf-16-be"),
        ("encode_utf16be", b"", "utf-16-be"),
        ("encode_utf16le", b"", "utf-16-le"),
        ("encode_utf32", b"\x00\x00\xfe\xff", "utf-32-be"),
        ("encode_utf32be", b"", "utf-32-be"),
        ("encode_utf32le", b"", "utf-32-le"),
    ],
)
@settings(max_examples=150)
@given(text=texts)
def test_utf16_utf32_encoders_match_python(encoder, prefix, codec, text):
    encoded = getattr(vantrel, encoder)(text)
    assert encoded == prefix + text.encode(codec)
    decoder = getattr(vantrel, encoder.replace("encode_", "decode_"))
    assert_same_str(decoder(encoded), text)


@pytest.mark.parametrize(
    ("decoder", "codec"), [("decode_utf16be", "utf-16-be"), ("decode_utf16le", "utf-16-le")]
)
@settings(max_examples=200)
@given(data=st.data())
def test_utf16_decoders_match_python(decoder, codec, data):
    raw = data.draw(utf16_bytes(codec[-2:].replace("be", "big").replace("le", "little")))
    check_decoder(getattr(vantrel, decoder), raw, utf16_oracle(raw, codec))


@pytest.mark.parametrize(
    ("decoder", "codec"), [("decode_utf32be", "utf-32-be"), ("decode_utf32le", "utf-32-le")]
)
@settings(max_examples=200)
@given(data=st.data())
def test_utf32_decoders_match_python(decoder, codec, data):
    raw = data.draw(utf32_bytes(codec[-2:].replace("be", "big").replace("le", "little")))
    check_decoder(getattr(vantrel, decoder), raw, utf32_oracle(raw, codec))


@settings(max_examples=300)
@given(marks, st.sampled_from(["big", "little"]), st.data())
def test_marked_utf16_and_utf32_decoders_match_python(mark, order, data):
    raw16 = mark + data.draw(utf16_bytes(order))
    check_decoder(vantrel.decode_utf16, raw16, utf16_marked_oracle(raw16))
    raw32 = mark + data.draw(utf32_bytes(order))
    check_decoder(vantrel.decode_utf32, raw32, utf32_marked_oracle(raw32))


@pytest.mark.parametrize(
    ("encoder", "codec", "name"),
    [("encode_us_ascii", "ascii", "US-ASCII"), ("encode_iso_8859_1", "latin-1", "ISO-8859-1")],
)
@settings(max_examples=200)
@given(text=st.one_of(texts, st.text(alphabet=st.characters(max_codepoint=0x17F))))
def test_single_byte_encoders_match_python(encoder, codec, name, text):
    expected = single_byte_encode_oracle(text, codec, name)
    assert outcome(getattr(vantrel, encoder), text) == expected


@settings(max_examples=300)
@given(st.binary(max_size=40))
def test_single_byte_decoders_match_python(data):
    check_decoder(vantrel.decode_iso_8859_1, data, ("ok", data.decode("latin-1")))
    try:
        expected = ("ok", data.decode("ascii"))
    except UnicodeDecodeError as error:
        bad = data[error.start]
        expected = ("error", f"Invalid US-ASCII byte: 0x{bad:02X} (must be <= 0x7F)")
    check_decoder(vantrel.decode_us_ascii, data, expected)


windows_1252_texts = st.one_of(
    texts,
    st.text(alphabet=st.sampled_from([chr(c) for c in WINDOWS_1252.values()] + ["\u0100"])),
)


@settings(max_examples=300)
@given(windows_1252_texts)
def test_encode_windows_1252_matches_python(text):
    assert outcome(vantrel.encode_windows_1252, text) == windows_1252_encode_oracle(text)


@settings(max_examples=400)
@given(
    marks, st.one_of(st.binary(max_size=40), utf8_like, utf16_bytes("big"), utf16_bytes("little"))
)
def test_decode_windows_1252_matches_python(mark, rest):
    data = mark + rest
    check_decoder(vantrel.decode_windows_1252, data, windows_1252_oracle(data))


@settings(max_examples=200)
@given(st.binary(max_size=64))
def test_windows_1252_round_trip_without_mark(data):
    if data[:2] in (b"\xff\xfe", b"\xfe\xff") or data[:3] == b"\xef\xbb\xbf":
        data = b"A" + data
    text = vantrel.decode_windows_1252(data)
    assert vantrel.encode_windows_1252(text) == data


@settings(max_examples=200)
@given(st.binary(max_size=64))
def test_iso_8859_1_round_trip(data):
    assert vantrel.encode_iso_8859_1(vantrel.decode_iso_8859_1(data)) == data


@pytest.mark.parametrize("size", [0, 1, 7, 8, 9, 15, 16, 17, 1000])
@pytest.mark.parametrize("tail", ["", "é", "€", "😀", "Ÿ"])
def test_long_texts_round_trip_through_every_encoding(size, tail):
    # ASCII runs around the word size followed by one wider character, so
    # the fast paths hand over to the per-character paths at each offset.
    text = "".join(chr(0x20 + i % 0x5F) for i in range(size)) + tail
    for encoder, decoder in zip(ENCODERS, DECODERS):
        try:
            encoded = getattr(vantrel, encoder)(text)
        except ValueError:
            continue
        assert_same_str(getattr(vantrel, decoder)(encoded), text)
    assert vantrel.encode_utf16le(text) == text.encode("utf-16-le")
    assert vantrel.encode_utf32be(text) == text.encode("utf-32-be")


# ---- Arguments --------------------------------------------------------------


@pytest.mark.parametrize("function", ENCODERS)
@pytest.mark.parametrize(
    ("argument", "type_name"), [(b"a", "bytes"), (None, "NoneType"), (1, "int"), (["a"], "list")]
)
def test_encoders_refuse_non_str(function, argument, type_name):
    with pytest.raises(TypeError) as info:
        getattr(vantrel, function)(argument)
    assert str(info.value) == f"argument 'text': '{type_name}' object cannot be cast as 'str'"


@pytest.mark.parametrize("function", DECODERS)
@pytest.mark.parametrize(
    ("argument", "type_name"),
    [
        (bytearray(b"a"), "bytearray"),
        (memoryview(b"a"), "memoryview"),
        ("a", "str"),
        (None, "NoneType"),
    ],
)
def test_decoders_refuse_non_bytes(function, argument, type_name):
    with pytest.raises(TypeError) as info:
        getattr(vantrel, function)(argument)
    assert str(info.value) == f"argument 'bytes': '{type_name}' object cannot be cast as 'bytes'"


@pytest.mark.parametrize("function", ENCODERS)
@pytest.mark.parametrize("text", ["\ud800", "a\udfffb", "😀\udc00"])
def test_encoders_pass_on_unicode_encode_error_for_lone_surrogates(function, text):
    with pytest.raises(UnicodeEncodeError) as info:
        getattr(vantrel, function)(text)
    assert type(info.value) is UnicodeEncodeError
    assert info.value.object == text


class StrSubclass(str):
    pass


class BytesSubclass(bytes):
    pass


@pytest.mark.parametrize(("encoder", "decoder"), list(zip(ENCODERS, DECODERS)))
def test_keywords_and_subclasses_are_accepted(encoder, decoder):
    encoded = getattr(vantrel, encoder)(text=StrSubclass("abc"))
    assert encoded == getattr(vantrel, encoder)("abc")
    assert_same_str(getattr(vantrel, decoder)(bytes=BytesSubclass(encoded)), "abc")
    assert getattr(vantrel, encoder).__text_signature__ == "(text)"
    assert getattr(vantrel, decoder).__text_signature__ == "(bytes)"


# ---- Text fields in recipes -------------------------------------------------

# The content bytes each recipe encoding name gives a str, computed with
# Python's codecs.
RECIPE_CONTENT = {
    "utf8": lambda text: text.encode("utf-8"),
    "utf16": lambda text: b"\xfe\xff" + text.encode("utf-16-be"),
    "utf16be": lambda text: text.encode("utf-16-be"),
    "utf16le": lambda text: text.encode("utf-16-le"),
    "utf32": lambda text: b"\x00\x00\xfe\xff" + text.encode("utf-32-be"),
    "utf32be": lambda text: text.encode("utf-32-be"),
    "utf32le": lambda text: text.encode("utf-32-le"),
    "us_ascii": lambda text: text.encode("ascii"),
    "iso_8859_1": lambda text: text.encode("latin-1"),
    "latin1": lambda text: text.encode("latin-1"),
    "windows_1252": lambda text: text.encode("cp1252", "vantrel-test-c1-encode"),
}
RECIPE_ENCODINGS = sorted(RECIPE_CONTENT)

WINDOWS_1252_CHARACTERS = [chr(code_point) for code_point in WINDOWS_1252.values()]


def recipe_texts(encoding):
    """Texts that the encoding can hold."""
    if encoding == "us_ascii":
        return st.text(alphabet=st.characters(max_codepoint=0x7F), max_size=24)
    if encoding in ("iso_8859_1", "latin1"):
        return st.text(alphabet=st.characters(max_codepoint=0xFF), max_size=24)
    if encoding == "windows_1252":
        return st.text(alphabet=st.sampled_from(WINDOWS_1252_CHARACTERS), max_size=24)
    return texts


def reads_as_mark(content):
    """Windows-1252 bytes that decoding takes for a byte order mark."""
    return content[:3] == b"\xef\xbb\xbf" or content[:2] in (b"\xff\xfe", b"\xfe\xff")


@pytest.mark.parametrize(
    ("encoding", "text", "bits", "byte_order", "packet"),
    [
        # Shorter content: zero bits in front.
        ("utf16le", "A", 32, "big", "00 00 41 00"),
        ("latin1", "é", 16, "big", "00 e9"),
        ("windows_1252", "€", 12, "big", "08 00"),
        ("us_ascii", "", 8, "big", "00"),
        # Longer content: its last bits.
        ("utf32be", "AB", 32, "big", "00 00 00 42"),
        ("utf8", "é", 12, "big", "3a 90"),
        ("utf16", "AB", 16, "big", "00 42"),
        # "little" reverses all content bytes before the field is cut.
        ("utf16", "AB", 48, "little", "42 00 41 00 ff fe"),
        ("utf32le", "A", 24, "little", "00 00 41"),
        ("iso_8859_1", "ab", 8, "little", "61"),
    ],
)
def test_recipe_text_field_placement(encoding, text, bits, byte_order, packet):
    recipe = [item(encoding=encoding, bits=bits, byte_order=byte_order, value=text)]
    assert vantrel.pack_parameters(recipe) == bytes.fromhex(packet)


@settings(max_examples=300)
@given(
    data=st.data(),
    encoding=st.sampled_from(RECIPE_ENCODINGS),
    byte_order=st.sampled_from(["big", "little"]),
)
def test_recipe_text_field_is_the_last_bits_of_its_content(data, encoding, byte_order):
    text = data.draw(recipe_texts(encoding))
    content = RECIPE_CONTENT[encoding](text)
    if byte_order == "little":
        content = content[::-1]
    bits = data.draw(st.integers(0, 8 * len(content) + 20))
    packet = vantrel.pack_parameters(
        [item(encoding=encoding, bits=bits, byte_order=byte_order, value=text)]
    )
    model = BitWriter(bits)
    model.put(0, bits, int.from_bytes(content, "big") & ((1 << bits) - 1))
    assert packet == model.to_bytes()


@settings(max_examples=300)
@given(
    data=st.data(),
    encoding=st.sampled_from(RECIPE_ENCODINGS),
    lead_bits=st.integers(0, 12),
    byte_order=st.sampled_from(["big", "little", "Little"]),
    reverse_bits=st.booleans(),
)
def test_recipe_text_round_trips_at_its_exact_size(
    data, encoding, lead_bits, byte_order, reverse_bits
):
    text = data.draw(recipe_texts(encoding))
    content = RECIPE_CONTENT[encoding](text)
    if encoding == "windows_1252" and reads_as_mark(content):
        text = "A" + text
        content = b"A" + content
    bits = 8 * len(content)
    lead = (1 << lead_bits) - 1
    recipe = [
        item(name="lead", bits=lead_bits, value=lead),
        # The name as a caller might write it: matched case-insensitively.
        item(
            name="text",
            encoding=encoding.upper(),
            bits=bits,
            byte_order=byte_order,
            reverse_bits=reverse_bits,
            value=text,
        ),
        item(name="tail", bits=5, value=0b10110),
    ]
    packet = vantrel.pack_parameters(recipe)
    placed = content if byte_order == "big" else content[::-1]
    assert read_bits(packet, lead_bits, bits) == int.from_bytes(placed, "big")
    for entry in recipe:
        del entry["value"]
    values = vantrel.unpack_parameters(packet, 0, recipe)
    assert values == {"lead": lead, "text": text, "tail": 0b10110}
    assert_same_str(values["text"], text)


def test_recipe_windows_1252_text_that_begins_like_a_mark_does_not_round_trip():
    # The encoder writes ÿþ as FF FE; the decoder takes FF FE for a UTF-16LE
    # mark, as standalone decode_windows_1252 does.
    recipe = [item(name="t", encoding="windows_1252", bits=32, value="ÿþA\x00")]
    packet = vantrel.pack_parameters(recipe)
    assert packet == bytes.fromhex("ff fe 41 00")
    del recipe[0]["value"]
    assert vantrel.unpack_parameters(packet, 0, recipe) == {"t": "A"}


@pytest.mark.parametrize(
    ("encoding", "packet", "bits", "byte_order", "text"),
    [
        ("latin1", "e9", 8, "big", "é"),
        ("utf8", "61 62", 16, "little", "ba"),
        ("utf8", "", 0, "big", ""),
        ("utf16be", "", 0, "big", ""),
        ("windows_1252", "80 81", 16, "big", "€\x81"),
        ("windows_1252", "ef bb bf c3 a9", 40, "big", "é"),
        ("utf16", "41 00 ff fe", 32, "little", "A"),
        ("utf32", "41 00 00 00 ff fe 00 00", 64, "little", "A"),
        ("us_ascii", "04 10", 12, "big", "\x00A"),
    ],
)
def test_recipe_text_unpacking(encoding, packet, bits, byte_order, text):
    recipe = [item(name="t", encoding=encoding, bits=bits, byte_order=byte_order)]
    values = vantrel.unpack_parameters(bytes.fromhex(packet), 0, recipe)
    assert values == {"t": text}
    assert_same_str(values["t"], text)


@pytest.mark.parametrize(
    ("encoding", "value", "message"),
    [
        ("us_ascii", "café", "Character 'é' (U+00E9) is not valid US-ASCII"),
        ("latin1", "€", "Character '€' (U+20AC) is not valid ISO-8859-1"),
        ("windows_1252", "\u0100", WINDOWS_1252_ENCODE_FAILED),
    ],
)
def test_recipe_text_encoding_errors(encoding, value, message):
    with pytest.raises(ValueError) as info:
        vantrel.pack_parameters([item(encoding=encoding, bits=32, value=value)])
    assert str(info.value) == f"ValueError: {message}"


@pytest.mark.parametrize(
    ("encoding", "packet", "bits", "message"),
    [
        ("utf8", "ff", 8, "Invalid UTF-8 bytes: invalid utf-8 sequence of 1 bytes from index 0"),
        (
            "utf8",
            "41 e2 82",
            24,
            "Invalid UTF-8 bytes: incomplete utf-8 byte sequence from index 1",
        ),
        ("utf16", "", 0, "UTF-16 requires an even number of bytes with at least 2 bytes"),
        ("utf16le", "00 d8", 16, LONE_SURROGATE),
        ("utf32", "00 00 41", 24, "UTF-32 requires a multiple of 4 bytes with at least 4 bytes"),
        ("utf32be", "00 11 00 00", 32, "Invalid UTF-32 codepoint: 0x00110000"),
        ("us_ascii", "80", 8, "Invalid US-ASCII byte: 0x80 (must be <= 0x7F)"),
        ("windows_1252", "fe ff 00", 24, WINDOWS_1252_DECODE_FAILED),
    ],
)
def test_recipe_text_decoding_errors(encoding, packet, bits, message):
    with pytest.raises(ValueError) as info:
        vantrel.unpack_parameters(bytes.fromhex(packet), 0, [item(encoding=encoding, bits=bits)])
    assert str(info.value) == f"ValueError: {message}"
