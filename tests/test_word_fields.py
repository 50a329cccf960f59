"""Bit fields of little-endian words wherever the word lies: where the word
starts comes from the fields before it or from word_offset_bits, never from a
guess, and every output reads and writes the same word."""

import numpy as np
import pyarrow as pa
import pytest
from hypothesis import given, settings
from hypothesis import strategies as st

import vantrel
from recipe_helpers import item


def word_value(packet, byte, word_bits):
    return int.from_bytes(packet[byte : byte + word_bits // 8], "little")


def bit_field(word, word_bits, offset, bits):
    """Bits `offset` to `offset + bits` of the word's value, most significant first."""
    return (word >> (word_bits - offset - bits)) & ((1 << bits) - 1)


# A housekeeping packet: 13 bytes of other fields, a 16-bit word at byte 13
# and a 32-bit word at byte 18, neither on a word boundary from the start.
HOUSEKEEPING = [
    item("time", "unsigned", 64),
    item("head", "unsigned", 40),
    item("mode", "unsigned", 3, "little", word_bits=16),
    item("gain", "unsigned", 5, "little", word_bits=16),
    item("level", "unsigned", 8, "little", word_bits=16),
    item("pad", "unsigned", 24),
    item("hi", "unsigned", 12, "little", word_bits=32),
    item("lo", "unsigned", 20, "little", word_bits=32),
]
HOUSEKEEPING_FIELDS = {  # name: (word's byte, word bits, offset in the word, bits)
    "mode": (13, 16, 0, 3),
    "gain": (13, 16, 3, 5),
    "level": (13, 16, 8, 8),
    "hi": (18, 32, 0, 12),
    "lo": (18, 32, 12, 20),
}


def expected_housekeeping(packet):
    return {
        name: bit_field(word_value(packet, byte, word_bits), word_bits, offset, bits)
        for name, (byte, word_bits, offset, bits) in HOUSEKEEPING_FIELDS.items()
    }


class TestWordsOffTheLayoutsWordGrid:
    def packets(self, n=40):
        return np.random.default_rng(7).integers(0, 256, (n, 22), dtype=np.uint8)

    def test_every_output_reads_the_word_that_starts_after_the_fields_before(self):
        layout = vantrel.Layout(HOUSEKEEPING)
        packets = self.packets()
        columns = layout.unpack_many(packets.tobytes())
        table = pa.table(layout.unpack_many(packets.tobytes(), output="arrow"))
        for k, row in enumerate(packets):
            packet = row.tobytes()
            expected = expected_housekeeping(packet)
            one = layout.unpack(packet)
            for name, value in expected.items():
                assert one[name] == value, (k, name)
                assert columns[name][k] == value, (k, name)
                assert table[name][k].as_py() == value, (k, name)

    def test_pack_writes_the_same_words(self):
        layout = vantrel.Layout(HOUSEKEEPING)
        packets = self.packets(8)
        rows = [layout.unpack(row.tobytes()) for row in packets]
        assert [layout.pack(row) for row in rows] == [row.tobytes() for row in packets]
        columns = layout.unpack_many(packets.tobytes())
        assert layout.pack_many(columns) == packets.tobytes()

    def test_word_offset_bits_places_a_word_its_fields_do_not_fill(self):
        # Only bits 4 to 10 of the 16-bit word at byte 13 are defined, with
        # explicit offsets (the value's bit 4 is bit 104 + 4).
        recipe = [
            item("time", "unsigned", 64),
            item("head", "unsigned", 40),
            item("flag", "unsigned", 2, "little", word_bits=16, offset_bits=108,
                 word_offset_bits=104),
            item("code", "unsigned", 5, "little", word_bits=16),
            item("tail", "unsigned", 8, offset_bits=120),
        ]  # fmt: skip
        layout = vantrel.Layout(recipe)
        packet = bytes(range(13)) + bytes([0x5A, 0xC3, 0x77])
        word = word_value(packet, 13, 16)
        values = layout.unpack(packet)
        assert values["flag"] == bit_field(word, 16, 4, 2)
        assert values["code"] == bit_field(word, 16, 6, 5)
        assert values["tail"] == 0x77
        columns = layout.unpack_many(packet * 3)
        assert columns["code"].tolist() == [bit_field(word, 16, 6, 5)] * 3
        # Packing writes those bits of that word and leaves its others zero.
        packed = layout.pack(values)
        assert bit_field(word_value(packed, 13, 16), 16, 4, 7) == bit_field(word, 16, 4, 7)
        assert word_value(packed, 13, 16) & ~(0x7F << 5) == 0

    def test_words_after_a_variable_array_start_where_it_ends(self):
        recipe = [
            item("n", "unsigned", 8),
            item("samples", "unsigned", 8, count="n"),
            item("mode", "unsigned", 4, "little", word_bits=16),
            item("rest", "unsigned", 12, "little", word_bits=16),
        ]
        layout = vantrel.Layout(recipe)
        packets = [bytes([n]) + bytes(range(n)) + bytes([0x34, 0x12]) for n in (0, 1, 3)]
        for packet in packets:
            assert layout.unpack(packet)["mode"] == 0x1
            assert layout.unpack(packet)["rest"] == 0x234
            assert layout.pack(layout.unpack(packet)) == packet
        archive = b"".join(packets)
        offsets = np.cumsum([0] + [len(p) for p in packets[:-1]])
        lengths = [len(p) for p in packets]
        columns = layout.unpack_many(archive, offsets=offsets, lengths=lengths)
        assert columns["rest"].tolist() == [0x234] * 3


@pytest.mark.parametrize(
    ("recipe", "message"),
    [
        (
            # Bit 21 lies in the word at bit 8 or in the one at bit 16.
            [item("a", "unsigned", 16), item("f", "unsigned", 3, "little", word_bits=16,
                                              offset_bits=21)],
            r"recipe item 1 \('f'\).*bit 21 does not follow the field before it, so which "
            r"16-bit word holds it is ambiguous: give word_offset_bits",
        ),
        (
            [item("a", "unsigned", 3, "little", word_bits=16), item("b", "unsigned", 8)],
            r"recipe item 1 \('b'\).*placed at bit 3, inside the 16-bit word of recipe item 0, "
            r"whose bit fields stop at bit 3 of it",
        ),
        (
            [item("a", "unsigned", 4), item("f", "unsigned", 4, "little", word_bits=16)],
            r"recipe item 1 \('f'\).*word would start at bit 4, not on a byte",
        ),
        (
            [item("f", "unsigned", 4, "little", word_bits=16, offset_bits=20,
                  word_offset_bits=0)],
            r"bits 20 to 24\) is not inside the 16-bit word at word_offset_bits 0",
        ),
        (
            [item("f", "unsigned", 4, "little", word_offset_bits=0)],
            r"word_offset_bits is for bit fields of words: give word_bits",
        ),
        (
            [item("f", "unsigned", 4, "little", word_bits=16, word_offset_bits=4)],
            r"word_offset_bits must be a bit offset on a byte boundary, not 4",
        ),
    ],
)  # fmt: skip
def test_a_word_that_could_be_elsewhere_is_refused(recipe, message):
    with pytest.raises(ValueError, match=message):
        vantrel.Layout(recipe)


@st.composite
def word_layouts(draw):
    """A recipe of some whole bytes, one word split into bit fields (placed
    in sequence or with offsets and word_offset_bits), and a last byte;
    with each field's word byte, word bits and offset in the word."""
    head_bytes = draw(st.integers(0, 7))
    word_bits = draw(st.sampled_from([16, 32]))
    cuts = sorted(draw(st.sets(st.integers(1, word_bits - 1), max_size=5)))
    edges = [0, *cuts, word_bits]
    explicit = draw(st.booleans())
    recipe = [item("head", "unsigned", 8 * head_bytes)] if head_bytes else []
    fields = {}
    for k, (start, end) in enumerate(zip(edges, edges[1:])):
        extra = {"word_bits": word_bits}
        if explicit:
            extra.update(offset_bits=8 * head_bytes + start, word_offset_bits=8 * head_bytes)
        recipe.append(item(f"w{k}", "unsigned", end - start, "little", **extra))
        fields[f"w{k}"] = (head_bytes, word_bits, start, end - start)
    recipe.append(item("last", "unsigned", 8))
    return recipe, fields, head_bytes + word_bits // 8 + 1


@settings(max_examples=150, deadline=None)
@given(word_layouts(), st.data())
def test_every_word_layout_reads_its_word_in_every_output(layout_and_fields, data):
    recipe, fields, size = layout_and_fields
    layout = vantrel.Layout(recipe)
    packets = [data.draw(st.binary(min_size=size, max_size=size)) for _ in range(3)]
    columns = layout.unpack_many(b"".join(packets))
    table = pa.table(layout.unpack_many(b"".join(packets), output="arrow"))
    for k, packet in enumerate(packets):
        one = layout.unpack(packet)
        assert one["last"] == packet[-1]
        for name, (byte, word_bits, offset, bits) in fields.items():
            expected = bit_field(word_value(packet, byte, word_bits), word_bits, offset, bits)
            assert one[name] == columns[name][k] == table[name][k].as_py() == expected
        assert layout.pack(one) == packet
    assert layout.pack_many(columns) == b"".join(packets)
