"""Damaged and mixed streams: framing that reports and resynchronises,
grouping by APID, sequence-count checks, and the CCSDS primary header."""

import random

import pytest
from hypothesis import given, settings
from hypothesis import strategies as st

import vantrel

np = pytest.importorskip("numpy")

CCSDS = dict(length_offset_bits=32, length_bits=16, length_adjust=7)
APIDS = (0x2A5, 0x100, 0x3F0)
RULES = {
    "fields": [
        {"offset_bits": 0, "bits": 3, "values": [0]},
        {"offset_bits": 5, "bits": 11, "values": list(APIDS)},
    ],
    "min_length": 7,
    "max_length": 300,
}


def space_packet(apid, count, data):
    first = (0b000_0_1 << 11 | apid).to_bytes(2, "big")
    return first + (0xC000 | count).to_bytes(2, "big") + (len(data) - 1).to_bytes(2, "big") + data


def mixed_stream(rng, count):
    """Packets of three APIDs with their own sizes, and their true offsets."""
    packets, offsets, position = [], [], 0
    counters = dict.fromkeys(APIDS, 0)
    for _ in range(count):
        apid = rng.choice(APIDS)
        size = {0x2A5: 20, 0x100: rng.randrange(1, 200), 0x3F0: 30}[apid]
        packets.append(space_packet(apid, counters[apid], rng.randbytes(size)))
        counters[apid] = (counters[apid] + 1) % 16384
        offsets.append(position)
        position += len(packets[-1])
    return packets, offsets


def covers_every_byte(framed, size):
    """Packets and skipped ranges tile the stream in order, without overlap."""
    pieces = [(int(o), int(o) + int(n)) for o, n in zip(framed.offsets, framed.lengths)]
    pieces += [(s.start, s.stop) for s in framed.skipped]
    pieces.sort()
    position = 0
    for start, stop in pieces:
        assert start == position and stop > start
        position = stop
    assert position == size


def report(stream, rules=None):
    framed = vantrel.split_packets(stream, **CCSDS, errors="report", rules=rules)
    covers_every_byte(framed, len(stream))
    return framed


# ---- Reporting and resynchronising -------------------------------------------


def test_a_clean_stream_frames_the_same_in_both_modes():
    packets, offsets = mixed_stream(random.Random(1), 300)
    stream = b"".join(packets)
    framed = report(stream, RULES)
    assert list(framed.offsets) == offsets == list(vantrel.split_packets(stream, **CCSDS))
    assert list(framed.lengths) == [len(p) for p in packets]
    assert framed.skipped == []
    assert isinstance(framed, vantrel.FramedStream)


def test_a_truncated_tail_is_reported_with_where_it_was_cut():
    packets, offsets = mixed_stream(random.Random(2), 20)
    stream = b"".join(packets)[:-5]
    with pytest.raises(ValueError, match=f"packet 19 at byte {offsets[19]} is truncated"):
        vantrel.split_packets(stream, **CCSDS)
    framed = report(stream)
    assert list(framed.offsets) == offsets[:19]
    (cut,) = framed.skipped
    assert (cut.start, cut.stop, cut.reason) == (offsets[19], len(stream), "truncated")
    assert "only" in cut.detail and str(len(packets[19])) in cut.detail


DAMAGES = ["flip length bit", "insert bytes", "delete bytes", "garbage run"]


@settings(max_examples=40, deadline=None)
@given(st.lists(st.sampled_from(DAMAGES), min_size=1, max_size=4), st.integers(0, 2**32))
def test_planted_damage_is_reported_and_the_rest_recovered(damages, seed):
    rng = random.Random(seed)
    packets, _ = mixed_stream(rng, 120)
    packets = [bytearray(p) for p in packets]
    original = {bytes(p) for p in packets}
    damaged = set()  # indices of packets whose bytes were changed
    extra = {}  # garbage inserted before packet i
    for damage in damages:
        i = rng.randrange(1, len(packets) - 1)
        if damage == "flip length bit":
            packets[i][4 + rng.randrange(2)] ^= 1 << rng.randrange(8)
            damaged.add(i)
        elif damage == "insert bytes":
            # Inside the packet: bytes in front of it would be a garbage run.
            position = rng.randrange(1, len(packets[i]) + 1)
            packets[i][position:position] = rng.randbytes(rng.randrange(1, 9))
            damaged.add(i)
        elif damage == "delete bytes":
            position = rng.randrange(len(packets[i]))
            del packets[i][position : position + rng.randrange(1, 5)]
            damaged.add(i)
        else:
            extra[i] = rng.randbytes(rng.randrange(1, 400))
    stream, truth, regions = b"", {}, []
    for i, packet in enumerate(packets):
        if i in extra:
            regions.append((len(stream), len(stream) + len(extra[i])))
            stream += extra[i]
        if i in damaged:
            regions.append((len(stream), len(stream) + len(packet)))
        else:
            truth[len(stream)] = i
        stream += bytes(packet)

    framed = report(stream, RULES)
    found = set(map(int, framed.offsets))
    # Undamaged packets are framed where they are, except near a damaged
    # region: a damaged length that the rules accept frames a packet of up
    # to max_length bytes over the packets after it (nothing can tell such
    # a length from a real one), and resynchronising may cost a neighbour
    # before. Nothing framed is invented.
    reach = RULES["max_length"]
    for lost in truth.keys() - found:
        assert any(start - reach <= lost < stop + reach for start, stop in regions), lost
    # Bytes inserted after a packet's first byte that end with that byte
    # leave the whole packet after them: framing it there invents nothing.
    for offset, length in zip(map(int, framed.offsets), map(int, framed.lengths)):
        placed = offset in truth or any(offset == start for start, _ in regions)
        assert placed or stream[offset : offset + length] in original, offset
    for start, stop in regions:
        assert any(s.start < stop and start < s.stop for s in framed.skipped) or start in found

    # Without rules something still shows.
    unruled = report(stream)
    assert unruled.skipped or list(unruled.offsets) != sorted(truth)


def test_rules_refuse_in_raise_mode_and_name_the_packet():
    packets, offsets = mixed_stream(random.Random(3), 10)
    packets[4] = space_packet(0x7FF, 0, b"abc")
    stream = b"".join(packets)
    with pytest.raises(ValueError, match=r"packet 4 at byte \d+ has 2047 in header bits 5 to 15"):
        vantrel.split_packets(stream, **CCSDS, rules=RULES)
    assert len(vantrel.split_packets(stream, **CCSDS)) == 10
    long = b"".join(packets[:4]) + space_packet(0x100, 0, bytes(400))
    with pytest.raises(ValueError, match="outside the allowed 7 to 300 bytes"):
        vantrel.split_packets(long, **CCSDS, rules=RULES)


@pytest.mark.parametrize(
    ("rules", "error", "message"),
    [
        ({"field": []}, ValueError, r"rules has an unknown key 'field' \(known keys: 'fields'"),
        ({"fields": [{"offset_bits": 0, "bits": 3}]}, ValueError, "needs the key 'values'"),
        ({"fields": [{"offset_bits": 0, "bits": 3, "values": [8]}]}, ValueError, "too large"),
        ({"fields": [{"offset_bits": 0, "bits": 0, "values": [0]}]}, ValueError, "1 to 64 bits"),
        ({"fields": [{"offset_bits": 0, "bits": 3, "values": []}]}, ValueError, "allows no value"),
        ({"fields": "abc"}, TypeError, "sequence of dicts"),
        ({"min_length": 9, "max_length": 8}, ValueError, "more than"),
        ({"confirm": 0}, ValueError, "confirm"),
        ([1], TypeError, "rules must be a dict"),
    ],
)
def test_rule_refusals(rules, error, message):
    with pytest.raises(error, match=message):
        vantrel.split_packets(b"", **CCSDS, rules=rules)
    with pytest.raises(ValueError, match="errors must be 'raise' or 'report'"):
        vantrel.split_packets(b"", **CCSDS, errors="ignore")


# ---- CCSDS conveniences ---------------------------------------------------------


def test_primary_header_layout_reads_every_field():
    header = vantrel.CCSDS_PRIMARY_HEADER
    packet = bytes([0b001_1_1_010, 0xA5, 0b10 << 6 | 0x3F, 0xFF, 0x12, 0x34]) + bytes(0x1235)
    assert header.unpack(packet) == {
        "version": 1,
        "type": 1,
        "secondary_header_flag": 1,
        "apid": 0x2A5,
        "sequence_flags": 2,
        "sequence_count": 0x3FFF,
        "packet_length": 0x1234,
    }
    assert header.size_bytes == 6


@settings(max_examples=30, deadline=None)
@given(st.integers(0, 2**32), st.integers(0, 200))
def test_split_by_apid_against_numpy(seed, count):
    packets, offsets = mixed_stream(random.Random(seed), count)
    stream = b"".join(packets)
    groups = vantrel.split_by_apid(stream)
    apids = vantrel.CCSDS_PRIMARY_HEADER.unpack_many(stream, offsets=offsets)["apid"]
    offsets = np.array(offsets, dtype=np.int64)
    assert list(groups) == sorted(set(apids.tolist()))
    for apid, found in groups.items():
        assert found.dtype == np.int64 and list(found) == list(offsets[apids == apid])
    assert vantrel.split_by_apid(stream, offsets[::2]).keys() <= groups.keys()
    sequence = vantrel.split_by_apid(stream, offsets, key_offset_bits=18, key_bits=14)
    assert sum(len(v) for v in sequence.values()) == len(offsets)
    # Keys too wide for a counting sort: sorted, stream order kept within a key.
    wide = vantrel.split_by_apid(stream, offsets, key_offset_bits=16, key_bits=32)
    keys = [int.from_bytes(stream[o + 2 : o + 6], "big") for o in offsets]
    assert list(wide) == sorted(set(keys))
    for key, found in wide.items():
        assert list(found) == [o for o, k in zip(offsets, keys) if k == key]


def test_split_by_apid_refuses_offsets_outside_the_buffer():
    with pytest.raises(ValueError, match="packet 1 at byte 5 does not hold its key field"):
        vantrel.split_by_apid(bytes(6), [0, 5])


def reference_sequence(keys, counts, modulus):
    """The documented rule, packet by packet: a count that goes back is a
    reset when the key's next packet is a shorter step on from it than from
    the count before it, else (or with no next packet) out of order."""
    last, gaps, missing, duplicates, late, resets = {}, [], [], [], [], []
    for i, (key, count) in enumerate(zip(keys, counts)):
        if key not in last:
            last[key] = count
            continue
        step = (count - last[key]) % modulus
        if step == 1:
            last[key] = count
        elif step == 0:
            duplicates.append(i)
        elif step <= modulus // 2:
            gaps.append(i)
            missing.append(step - 1)
            last[key] = count
        else:
            following = [k for k in range(i + 1, len(keys)) if keys[k] == key][:1]
            nxt = counts[following[0]] if following else None
            if nxt is not None and (nxt - count) % modulus < (nxt - last[key]) % modulus:
                resets.append(i)
                last[key] = count
            else:
                late.append(i)
    return gaps, missing, duplicates, late, resets


@settings(max_examples=60)
@given(st.data())
def test_sequence_check_against_a_reference(data):
    modulus = data.draw(st.sampled_from([16384, 8, 2]))
    keys, counts, next_count = [], [], {}
    for _ in range(data.draw(st.integers(0, 80))):
        key = data.draw(st.sampled_from([3, 7, 2047]))
        count = next_count.get(key, data.draw(st.integers(0, modulus - 1)))
        event = data.draw(st.sampled_from(["next"] * 6 + ["gap", "repeat", "back"]))
        if event == "gap":
            count = (count + data.draw(st.integers(1, 3))) % modulus
        elif event == "repeat":
            count = (count - 1) % modulus
        elif event == "back":
            count = (count - data.draw(st.integers(2, 4))) % modulus
        keys.append(key)
        counts.append(count)
        next_count[key] = (count + 1) % modulus
    found = vantrel.check_sequence_counts(keys, np.array(counts, dtype=np.uint16), modulus=modulus)
    expected = reference_sequence(keys, counts, modulus)
    assert [list(part) for part in found] == [list(part) for part in expected[:4]]
    assert list(found.reset_index) == expected[4]


def test_sequence_check_of_a_wrapping_counter():
    counts = [16382, 16383, 0, 1, 3, 3, 2, 4]
    found = vantrel.check_sequence_counts([5] * len(counts), counts)
    assert list(found.gap_index) == [4] and list(found.gap_missing) == [1]
    assert list(found.duplicate_index) == [5] and list(found.out_of_order_index) == [6]
    with pytest.raises(ValueError, match=r"counts\[0\] is 16384: not below the modulus 16384"):
        vantrel.check_sequence_counts([1], [16384])
    with pytest.raises(ValueError, match="keys has 2 entries but counts has 1"):
        vantrel.check_sequence_counts([1, 2], [0])
