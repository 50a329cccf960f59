"""split_packets(rules="learn"): identifiers and length bounds learned from
the stream's clean stretches, reported, and used to frame it."""

import random

import pytest
from hypothesis import given, settings
from hypothesis import strategies as st
from test_streams import covers_every_byte

import vantrel

np = pytest.importorskip("numpy")

CCSDS = dict(length_offset_bits=32, length_bits=16, length_adjust=7)


def space_packet(apid, count, data):
    first = (0b000_0_1 << 11 | apid).to_bytes(2, "big")
    return first + (0xC000 | count).to_bytes(2, "big") + (len(data) - 1).to_bytes(2, "big") + data


def stream_of(rng, count, apids, sizes=(1, 200)):
    packets, counters = [], {}
    for _ in range(count):
        apid = rng.choice(apids)
        counters[apid] = (counters.get(apid, -1) + 1) % 16384
        packets.append(
            bytearray(space_packet(apid, counters[apid], rng.randbytes(rng.randrange(*sizes))))
        )
    return packets


def assemble(packets, damaged=()):
    stream, truth = b"", set()
    for i, packet in enumerate(packets):
        if i not in damaged:
            truth.add(len(stream))
        stream += bytes(packet)
    return stream, truth


def test_a_clean_stream_learns_its_identifiers_and_bounds():
    packets = stream_of(random.Random(1), 2000, (0x2A5, 0x100, 0x3F0), sizes=(10, 60))
    stream, truth = assemble(packets)
    framed = vantrel.split_packets(stream, **CCSDS, errors="report", rules="learn")
    assert set(map(int, framed.offsets)) == truth and framed.skipped == []
    (word,) = framed.learned["fields"]
    assert (word["offset_bits"], word["bits"]) == (0, 16)
    assert word["values"] == sorted(0x0800 | apid for apid in (0x2A5, 0x100, 0x3F0))
    lengths = [len(p) for p in packets]
    assert (framed.learned["min_length"], framed.learned["max_length"]) == (
        min(lengths),
        max(lengths),
    )
    # What was learned is rules split_packets takes, and frames the same.
    again = vantrel.split_packets(stream, **CCSDS, errors="report", rules=framed.learned)
    assert list(again.offsets) == list(framed.offsets)
    # Without reporting, the learned rules frame strictly.
    assert set(map(int, vantrel.split_packets(stream, **CCSDS, rules="learn"))) == truth
    # Reports without learning carry no rules.
    assert vantrel.split_packets(stream, **CCSDS, errors="report").learned is None


@pytest.mark.parametrize("apids", [(0x2A5,), (0x2A5, 0x100, 0x3F0), tuple(range(3, 2000, 10))])
def test_damaged_lengths_are_repaired_with_learned_rules(apids):
    rng = random.Random(len(apids))
    packets = stream_of(rng, 6000, apids)
    damaged = set(rng.sample(range(1, 6000), 30))
    for i in damaged:
        packets[i][4 + rng.randrange(2)] ^= 1 << rng.randrange(8)
    stream, truth = assemble(packets, damaged)
    _, every_start = assemble(packets)
    framed = vantrel.split_packets(stream, **CCSDS, errors="report", rules="learn")
    covers_every_byte(framed, len(stream))
    found = set(map(int, framed.offsets))
    assert len(found & truth) >= 0.99 * len(truth)
    # A damaged packet may be framed where it starts (its wrong length cut
    # back to the next packet), as with hand-written rules: nothing else.
    assert found <= every_start
    unruled = vantrel.split_packets(stream, **CCSDS, errors="report")
    assert len(set(map(int, unruled.offsets)) & truth) < len(found & truth)


def test_a_counter_is_not_taken_for_an_identifier():
    # 200 APIDs, each counting 0..29 within the stream: the count word
    # repeats as often as the identifiers do, but not the same values
    # throughout.
    packets = stream_of(random.Random(3), 6000, tuple(range(200)), sizes=(5, 30))
    stream, truth = assemble(packets)
    framed = vantrel.split_packets(stream, **CCSDS, errors="report", rules="learn")
    assert [w["offset_bits"] for w in framed.learned["fields"]] in ([0], [])
    assert set(map(int, framed.offsets)) == truth


def test_an_identifier_missing_from_the_sample_is_added_when_it_recurs():
    rng = random.Random(4)
    packets = stream_of(rng, 3000, (0x2A5, 0x100), sizes=(10, 40))
    # A rare APID, a few packets among the others: not frequent enough to be
    # learned from the sample, but framed exactly between packets.
    for index in (400, 1400, 2400, 2900):
        packets.insert(index, bytearray(space_packet(0x7EE, index, rng.randbytes(20))))
    stream, truth = assemble(packets)
    framed = vantrel.split_packets(stream, **CCSDS, errors="report", rules="learn")
    assert 0x0800 | 0x7EE in framed.learned["fields"][0]["values"]
    assert set(map(int, framed.offsets)) == truth


@settings(max_examples=30, deadline=None)
@given(st.integers(0, 2**32), st.integers(1, 8))
def test_learned_framing_tiles_the_stream_and_invents_little(seed, garbage_runs):
    rng = random.Random(seed)
    packets = stream_of(rng, 800, (0x10, 0x20, 0x30))
    stream, truth = b"", set()
    before = set(rng.sample(range(1, 800), garbage_runs))
    for i, packet in enumerate(packets):
        if i in before:
            stream += rng.randbytes(rng.randrange(1, 300))
        truth.add(len(stream))
        stream += bytes(packet)
    framed = vantrel.split_packets(stream, **CCSDS, errors="report", rules="learn")
    covers_every_byte(framed, len(stream))
    found = set(map(int, framed.offsets))
    assert len(found - truth) <= 1
    assert len(found & truth) >= len(truth) - 3 * garbage_runs


def test_learn_refusals():
    with pytest.raises(ValueError, match="rules must be a dict, None or 'learn'"):
        vantrel.split_packets(b"", **CCSDS, rules="guess")
    # A stream too short to learn from frames by its lengths alone.
    framed = vantrel.split_packets(
        space_packet(1, 0, b"ab"), **CCSDS, errors="report", rules="learn"
    )
    assert list(framed.offsets) == [0] and framed.learned["fields"] == []


def test_a_check_ending_every_packet_is_learned_and_used():
    import crcmod.predefined

    crc = crcmod.predefined.mkCrcFun("crc-ccitt-false")
    rng = random.Random(8)
    packets = []
    for i in range(3000):
        body = space_packet(0x40 + i % 3, i, rng.randbytes(rng.randrange(4, 50)) + b"..")
        body = body[:-2]
        packets.append(bytearray(body + crc(body).to_bytes(2, "big")))
    packets[1500][20 if len(packets[1500]) > 21 else 7] ^= 0x10  # a damaged body
    stream, truth = assemble(packets, damaged={1500})
    framed = vantrel.split_packets(stream, **CCSDS, errors="report", rules="learn")
    assert framed.learned["check"] == {"algorithm": "CRC-16/IBM-3740", "byte_order": "big"}
    assert set(map(int, framed.offsets)) == truth
    assert [s.reason for s in framed.skipped] == ["bad check"]
