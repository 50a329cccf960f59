"""Text codecs on long inputs: the str read in place in each of its storage
widths (and left as it was), the block-wise encoders against Python's codecs,
and the two decoding paths (the interpreter's own codec for well-formed input
of 64 bytes or more, vantrel's own for the rest and for every failure) giving
the same text and the same messages."""

import itertools
import sys
import threading

import pytest
import test_text as base
from hypothesis import given, settings
from hypothesis import strategies as st

import vantrel
from recipe_helpers import item

# Inputs at least this long are decoded by the interpreter's codec first.
NATIVE_MINIMUM = 64

# One sample of each storage the interpreter uses: ASCII and Latin-1 in one
# byte per character, the BMP in two, astral text in four.
SAMPLES = {
    "ascii": "telemetry packet ",
    "latin-1": "café naïve ÿ ",
    "bmp": "数据包 € Ā ",
    "astral": "😀 🚀 data ",
}

ENCODER_ORACLES = {
    "encode_utf8": lambda text: ("ok", text.encode("utf-8")),
    "encode_utf16": lambda text: ("ok", b"\xfe\xff" + text.encode("utf-16-be")),
    "encode_utf16be": lambda text: ("ok", text.encode("utf-16-be")),
    "encode_utf16le": lambda text: ("ok", text.encode("utf-16-le")),
    "encode_utf32": lambda text: ("ok", b"\x00\x00\xfe\xff" + text.encode("utf-32-be")),
    "encode_utf32be": lambda text: ("ok", text.encode("utf-32-be")),
    "encode_utf32le": lambda text: ("ok", text.encode("utf-32-le")),
    "encode_us_ascii": lambda text: base.single_byte_encode_oracle(text, "ascii", "US-ASCII"),
    "encode_iso_8859_1": lambda text: base.single_byte_encode_oracle(text, "latin-1", "ISO-8859-1"),
    "encode_windows_1252": base.windows_1252_encode_oracle,
}
assert sorted(ENCODER_ORACLES) == sorted(base.ENCODERS)


def fresh(text, repeat=1):
    """A new str holding `text` repeated: never a cached or interned object."""
    return base.fresh_str(text * repeat)


# ---- Arguments are read in place and left as they were ----------------------


@pytest.mark.parametrize("encoder", base.ENCODERS)
@pytest.mark.parametrize("storage", SAMPLES)
def test_encoders_leave_their_argument_unchanged(encoder, storage):
    text = fresh(SAMPLES[storage], 5000)
    size = sys.getsizeof(text)
    assert base.outcome(getattr(vantrel, encoder), text) == ENCODER_ORACLES[encoder](text)
    assert sys.getsizeof(text) == size


@pytest.mark.parametrize("encoding", ["utf8", "utf16le", "utf32be", "latin1", "windows_1252"])
@pytest.mark.parametrize("storage", SAMPLES)
def test_packing_leaves_text_values_unchanged(encoding, storage):
    text = fresh(SAMPLES[storage], 100)
    size = sys.getsizeof(text)
    recipe = [item("text", encoding, 8 * 4 * len(text) + 64, value=text)]
    try:
        vantrel.pack_parameters(recipe)
    except ValueError:
        assert storage in ("bmp", "astral")  # no byte for some characters
    assert sys.getsizeof(text) == size


@pytest.mark.parametrize("encoder", base.ENCODERS)
@pytest.mark.parametrize("position", [0, 1, 15, 16, 17, 255, 256, 4999])
@pytest.mark.parametrize("storage", ["bmp", "astral"])
def test_lone_surrogates_raise_the_interpreters_own_error(encoder, position, storage):
    characters = list(fresh(SAMPLES[storage], 1000)[:5000])
    characters[position] = "\udc80"
    text = "".join(characters)
    size = sys.getsizeof(text)
    with pytest.raises(UnicodeEncodeError) as ours:
        getattr(vantrel, encoder)(text)
    with pytest.raises(UnicodeEncodeError) as theirs:
        text.encode("utf-8")
    assert ours.value.args == theirs.value.args
    assert sys.getsizeof(text) == size


# ---- Encoders on long texts of every width ----------------------------------

# Characters of every UTF-8 length, ASCII runs long enough to fill whole
# blocks, and the Windows-1252 characters outside Latin-1.
long_pieces = st.one_of(
    st.text(alphabet=st.characters(max_codepoint=0x7F), min_size=1, max_size=40),
    st.characters(min_codepoint=0x80, max_codepoint=0xFF),
    st.characters(min_codepoint=0x100, max_codepoint=0xFFFF, codec="utf-8"),
    st.characters(min_codepoint=0x10000),
    st.sampled_from(["€", "Ÿ", "™", "\x81", "\x80"]),
)
long_texts = st.lists(long_pieces, min_size=10, max_size=120).map("".join)


@settings(max_examples=150)
@given(long_texts, st.sampled_from([0x7F, 0xFF, 0xFFFF, 0x10FFFF]))
def test_encoders_match_python_on_long_texts(text, widest):
    # The same text held in each narrower storage where it fits.
    text = fresh("".join(c for c in text if ord(c) <= widest))
    for encoder, oracle in ENCODER_ORACLES.items():
        assert base.outcome(getattr(vantrel, encoder), text) == oracle(text), encoder


# ---- The two decoding paths -------------------------------------------------

LEADS = [0x00, 0x7F, 0x80, 0xBF, 0xC0, 0xC1, 0xC2, 0xDF, 0xE0, 0xE1, 0xEC, 0xED, 0xEE, 0xEF]
LEADS += [0xF0, 0xF1, 0xF3, 0xF4, 0xF5, 0xF8, 0xFF]
SECONDS = [0x00, 0x41, 0x7F, 0x80, 0x8F, 0x90, 0x9F, 0xA0, 0xBF, 0xC0, 0xFF]
LATERS = [0x41, 0x80, 0xBF, 0xC0]


def utf8_sequences():
    """A lead byte of every class, a second byte on each side of every range
    a lead allows, and later bytes in and out of the continuation range."""
    for lead, second, third, fourth in itertools.product(LEADS, SECONDS, LATERS, LATERS):
        yield bytes([lead, second, third, fourth])


@pytest.mark.parametrize("head", ["", "a" * NATIVE_MINIMUM, "é" * 40, "😀" * 20])
def test_utf8_every_prefix_class_and_cut_on_both_paths(head):
    head = head.encode()
    tail = b"z" * NATIVE_MINIMUM
    for sequence in utf8_sequences():
        for cut in range(1, 5):
            for data in (head + sequence[:cut], head + sequence[:cut] + tail):
                base.check_decoder(vantrel.decode_utf8, data, base.utf8_oracle(data))


def long_units(units, width):
    return st.lists(units, min_size=NATIVE_MINIMUM // width, max_size=200)


@pytest.mark.parametrize("order", ["big", "little"])
@settings(max_examples=150)
@given(data=st.data())
def test_utf16_and_utf32_long_inputs_on_both_paths(order, data):
    suffix = "be" if order == "big" else "le"
    raw16 = base.units_to_bytes(data.draw(long_units(base.utf16_units, 2)), 2, order)
    raw16 += data.draw(st.sampled_from([b"", b"\x00"]))
    base.check_decoder(
        getattr(vantrel, f"decode_utf16{suffix}"),
        raw16,
        base.utf16_oracle(raw16, f"utf-16-{suffix}"),
    )
    raw32 = base.units_to_bytes(data.draw(long_units(base.utf32_units, 4)), 4, order)
    base.check_decoder(
        getattr(vantrel, f"decode_utf32{suffix}"),
        raw32,
        base.utf32_oracle(raw32, f"utf-32-{suffix}"),
    )
    mark = data.draw(base.marks)
    base.check_decoder(vantrel.decode_utf16, mark + raw16, base.utf16_marked_oracle(mark + raw16))
    base.check_decoder(vantrel.decode_utf32, mark + raw32, base.utf32_marked_oracle(mark + raw32))
    base.check_decoder(
        vantrel.decode_windows_1252, mark + raw16, base.windows_1252_oracle(mark + raw16)
    )


@settings(max_examples=150)
@given(st.lists(base.utf8_pieces, min_size=20, max_size=60).map(b"".join), base.marks)
def test_utf8_and_windows_1252_long_inputs_on_both_paths(data, mark):
    base.check_decoder(vantrel.decode_utf8, data, base.utf8_oracle(data))
    base.check_decoder(
        vantrel.decode_windows_1252, mark + data, base.windows_1252_oracle(mark + data)
    )


@pytest.mark.parametrize("storage", SAMPLES)
@pytest.mark.parametrize(
    ("encoder", "decoder", "codec"),
    [
        ("encode_utf8", "decode_utf8", "utf-8"),
        ("encode_utf16le", "decode_utf16le", "utf-16-le"),
        ("encode_utf16be", "decode_utf16be", "utf-16-be"),
        ("encode_utf32le", "decode_utf32le", "utf-32-le"),
        ("encode_utf32be", "decode_utf32be", "utf-32-be"),
    ],
)
def test_both_paths_give_the_same_text_at_the_threshold(storage, encoder, decoder, codec):
    # Lengths either side of the threshold, so that each path runs.
    text = SAMPLES[storage] * 10
    for length in range(len(text) + 1):
        encoded = getattr(vantrel, encoder)(text[:length])
        base.assert_same_str(getattr(vantrel, decoder)(encoded), text[:length])
        assert encoded == text[:length].encode(codec)


def test_unpacking_decodes_long_text_fields_on_both_paths():
    for text in (SAMPLES["bmp"] * 40, SAMPLES["astral"] * 3):
        for encoding, codec in (
            ("utf8", "utf-8"),
            ("utf16be", "utf-16-be"),
            ("utf32be", "utf-32-be"),
        ):
            recipe = [item("text", encoding, 8 * len(text.encode(codec)), value=text)]
            packet = vantrel.pack_parameters(recipe)
            assert packet == text.encode(codec)
            base.assert_same_str(vantrel.unpack_parameters(packet, 0, recipe)["text"], text)


@pytest.mark.parametrize("storage", ["latin-1", "bmp", "astral"])
def test_recipe_keys_are_left_unchanged(storage):
    # Non-ASCII names, encodings and byte orders are read as UTF-8 copies.
    name = fresh(SAMPLES[storage])
    encoding = fresh("UTF16LE" + SAMPLES[storage])
    byte_order = fresh("BİG")  # lower-cases to "bi̇g", which is no byte order
    sizes = [sys.getsizeof(text) for text in (name, encoding, byte_order)]
    good = item(name, "utf16le", 16, value="a")
    assert vantrel.unpack_parameters(vantrel.pack_parameters([good]), 0, [good]) == {name: "a"}
    with pytest.raises(ValueError, match="^ValueError: Unsupported encoding type: UTF16LE"):
        vantrel.pack_parameters([item(name, encoding, 16, value="a")])
    with pytest.raises(ValueError, match="^ValueError: Invalid byte_order 'BİG'"):
        vantrel.pack_parameters([item(name, "utf8", 8, byte_order, value="a")])
    assert [sys.getsizeof(text) for text in (name, encoding, byte_order)] == sizes


@pytest.mark.parametrize(
    ("decoder", "codec"),
    [
        ("decode_utf8", "utf-8"),
        ("decode_utf16le", "utf-16-le"),
        ("decode_utf16be", "utf-16-be"),
        ("decode_utf32le", "utf-32-le"),
        ("decode_utf32be", "utf-32-be"),
    ],
)
def test_explicit_order_decoders_keep_a_leading_mark_on_both_paths(decoder, codec):
    for length in (1, NATIVE_MINIMUM):
        text = "\ufeff" + "a" * length
        base.assert_same_str(getattr(vantrel, decoder)(text.encode(codec)), text)


def test_long_results_are_right_while_other_threads_run():
    # Long fills let other threads run: several threads encoding and decoding
    # at once must each get their own exact results.
    texts = [fresh(sample, 20000) for sample in SAMPLES.values()]
    failures = []

    def work(text):
        for _ in range(5):
            for encoder, decoder, codec in (
                ("encode_utf16le", "decode_utf16le", "utf-16-le"),
                ("encode_utf32be", "decode_utf32be", "utf-32-be"),
                ("encode_utf8", "decode_utf8", "utf-8"),
            ):
                encoded = getattr(vantrel, encoder)(text)
                if encoded != text.encode(codec) or getattr(vantrel, decoder)(encoded) != text:
                    failures.append((encoder, len(text)))
            latin = text.encode("latin-1", "replace").decode("latin-1")
            if vantrel.decode_iso_8859_1(vantrel.encode_iso_8859_1(latin)) != latin:
                failures.append(("iso_8859_1", len(text)))

    threads = [threading.Thread(target=work, args=(text,)) for text in texts * 2]
    for thread in threads:
        thread.start()
    for thread in threads:
        thread.join()
    assert failures == []
