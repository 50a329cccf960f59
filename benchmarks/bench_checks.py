"""Packet error control: check fields in unpack_many, framing with a check or
learned rules, and recovery of damaged streams.

Run with:  pip install ".[bench]" && python benchmarks/bench_checks.py [--keep-freed-memory]

Speed (best of interleaved rounds, one core):
- CRC-16/IBM-3740 over whole 256-byte packets in unpack_many, against the
  same layout without the check, and against crcmod (C extension) called
  per packet;
- CRC-32C over 4 KiB packets (the SSE4.2 path where the processor has it),
  against crcmod;
- a housekeeping layout of 30 fields in a 64-byte packet, with and without
  its check;
- split_packets with hand-written rules, with a check alone, and with
  learned rules, on one clean stream.

Recovery: streams of 200,000 space packets of one APID, three and 200,
damaged as bench_streams does (0.5% of length fields with a flipped bit,
0.2% of packets with a flipped bit elsewhere in them, garbage runs, packets
cut short); framed with hand-written rules, learned rules, a check, and no
rules. Reported: undamaged packets framed at their offsets, packets invented
(framed at no true packet's offset), and damaged bodies reported.
"""

import sys
from pathlib import Path

import crcmod.predefined
import numpy as np

import vantrel

sys.path.insert(0, str(Path(__file__).resolve().parent))
from allocator import choose_from_arguments  # noqa: E402
from bench_arrays import field  # noqa: E402
from bench_streams import interleaved  # noqa: E402

CCSDS = dict(length_offset_bits=32, length_bits=16, length_adjust=7)


def item(name, bits, encoding="unsigned", **extra):
    return field(name, encoding, bits, **extra)


# ---- Speed: check fields in unpack_many -----------------------------------------


def whole_packet_layouts(size, check, words=4):
    """A header, a few fields, a filler to `size - width` bytes, and the check."""
    width = 4 if "32" in check else 2
    body = [item("apid", 16), item("count", 16), item("length", 16)]
    body += [item(f"w{k}", 32) for k in range(words)]
    used = 6 + 4 * words
    body.append(item("filler", 8 * (size - width - used), "latin1"))
    plain = vantrel.Layout(
        body[:-1] + [item("filler_end", 8 * width, offset_bits=8 * (size - width))]
    )
    checked = vantrel.Layout(
        body[:-1] + [item("pec", 8 * width, check=check, offset_bits=8 * (size - width))]
    )
    return plain, checked


def packets_of(checked, plain, count, rng):
    """`count` packets of random field values, their checks computed."""
    data = rng.integers(0, 256, plain.size_bytes * count, dtype=np.uint8)
    columns = plain.unpack_many(data.tobytes())
    del columns[plain.names[-1]]
    return checked.pack_many(columns)


def gb_per_s(size, seconds):
    return f"{size / seconds / 1e9:6.2f} GB/s"


def whole_packet_check(check, size, count, oracle, rng):
    """One line: the check over whole packets, only the header and the check
    decoded (the check's own cost), against the same without the check and
    crcmod per packet."""
    plain, checked = whole_packet_layouts(size, check)
    width = 4 if "32" in check else 2
    header = [
        x for x in checked.__reduce__()[1][0] if x["name"] in ("apid", "count", "length", "pec")
    ]
    pec = {**header[-1], "check": {"algorithm": check, "start": 0, "stop": size - width}}
    slim_checked = vantrel.Layout(header[:-1] + [pec])
    slim_plain = vantrel.Layout([{k: v for k, v in x.items() if k != "check"} for x in header])
    data = packets_of(checked, plain, count, rng)
    crc = crcmod.predefined.mkCrcFun(oracle)
    views = [memoryview(data)[i * size : (i + 1) * size - width] for i in range(count)]
    times = interleaved(
        {
            "vantrel": lambda: slim_checked.unpack_many(data),
            "without": lambda: slim_plain.unpack_many(data),
            "crcmod": lambda: [crc(v) for v in views],
        }
    )
    return (
        f"  {check:16} {size:5} B packets: vantrel {gb_per_s(len(data), times['vantrel'])}"
        f"  (without the check {gb_per_s(len(data), times['without'])},"
        f" crcmod per packet {gb_per_s(len(data), times['crcmod'])}:"
        f" vantrel {times['crcmod'] / times['vantrel']:.1f}x crcmod)"
    )


def speed_of_checks(rng):
    print("check fields in unpack_many (best of 11 interleaved rounds)")
    print(whole_packet_check("CRC-16/IBM-3740", 256, 40_000, "crc-ccitt-false", rng))
    print(whole_packet_check("CRC-32C", 4096, 2_500, "crc-32c", rng))

    # A housekeeping packet: 30 fields in 64 bytes, checked or not.
    fields = [item("apid", 16), item("count", 16), item("length", 16)]
    fields += [item(f"t{k}", 12, "twos_complement") for k in range(16)]
    fields += [item(f"f{k}", 3) for k in range(8)]
    fields += [item("volts", 32, "ieee754_f32"), item("mode", 8)]
    bits = sum(f["bits"] for f in fields)
    fields.append(item("pad", 8 * 62 - bits))
    plain = vantrel.Layout(fields + [item("pec", 16)])
    checked = vantrel.Layout(fields + [item("pec", 16, check="CRC-16/IBM-3740")])
    data = packets_of(checked, plain, 100_000, rng)
    times = interleaved(
        {
            "checked": lambda: checked.unpack_many(data),
            "plain": lambda: plain.unpack_many(data),
            "arrow checked": lambda: checked.unpack_many(data, output="arrow"),
            "arrow plain": lambda: plain.unpack_many(data, output="arrow"),
        }
    )
    arrow = times["arrow checked"] / times["arrow plain"]
    print(
        f"  housekeeping, {len(fields) + 1} fields in 64 B: with the check "
        f"{1e3 * times['checked']:.1f} ms, without {1e3 * times['plain']:.1f} ms: "
        f"{times['checked'] / times['plain']:.2f}x (Arrow: {arrow:.2f}x)"
    )


# ---- Streams ---------------------------------------------------------------------------

CRC16 = crcmod.predefined.mkCrcFun("crc-ccitt-false")


def make_stream(rng, count, apids, check):
    """Space packets of `apids` with 1 to 200 data bytes, their data ending
    with a CRC-16/IBM-3740 when `check`; the stream and each packet's bytes."""
    chosen = rng.choice(apids, count)
    sizes = rng.integers(1, 201, count)
    packets = []
    counters = {}
    for apid, size in zip(chosen.tolist(), sizes.tolist()):
        counters[apid] = (counters.get(apid, -1) + 1) % 16384
        data = rng.integers(0, 256, size, dtype=np.uint8).tobytes()
        length = size + (2 if check else 0) - 1
        head = (0x0800 | apid).to_bytes(2, "big") + (0xC000 | counters[apid]).to_bytes(2, "big")
        packet = head + length.to_bytes(2, "big") + data
        packets.append(bytearray(packet + (CRC16(packet).to_bytes(2, "big") if check else b"")))
    return packets


def damage(rng, packets):
    """Flipped length bits (0.5%), flipped bits elsewhere (0.2%), garbage
    runs (0.05%) and cut packets (0.05%); the stream, the true offsets, which
    packets are intact, and which have a flipped bit in their body."""
    count = len(packets)
    kinds = rng.random(count)
    body_flipped = np.zeros(count, bool)
    intact = np.ones(count, bool)
    garbage_before = {}
    for i in range(1, count):
        k = kinds[i]
        if k < 0.005:
            packets[i][4 + int(rng.integers(2))] ^= 1 << int(rng.integers(8))
            intact[i] = False
        elif k < 0.007:
            at = int(rng.integers(6, len(packets[i])))
            packets[i][at] ^= 1 << int(rng.integers(8))
            intact[i] = False
            body_flipped[i] = True
        elif k < 0.0075:
            garbage_before[i] = rng.integers(
                0, 256, int(rng.integers(1, 500)), dtype=np.uint8
            ).tobytes()
        elif k < 0.008:
            del packets[i][int(rng.integers(1, len(packets[i]))) :]
            intact[i] = False
    pieces, offsets, position = [], [], 0
    for i, packet in enumerate(packets):
        run = garbage_before.get(i, b"")
        pieces.append(run)
        position += len(run)
        offsets.append(position)
        pieces.append(bytes(packet))
        position += len(packet)
    return b"".join(pieces), np.array(offsets), intact, body_flipped


def hand_rules(apids, check=False):
    rules = {
        "fields": [
            {"offset_bits": 0, "bits": 3, "values": [0]},
            {"offset_bits": 5, "bits": 11, "values": sorted(apids)},
        ],
        "min_length": 7 + (2 if check else 0),
        "max_length": 206 + (2 if check else 0),
    }
    return rules


def recovery():
    print("\nrecovery: 200,000 packets per stream; damage: 0.5% length bits, 0.2% body bits,")
    print("0.05% garbage runs, 0.05% cut packets")
    for label, apids in [
        ("1 APID", [0x2A5]),
        ("3 APIDs", [0x2A5, 0x100, 0x3F0]),
        ("200 APIDs", list(range(3, 2000, 10))),
    ]:
        for check in (False, True):
            rng = np.random.default_rng(len(apids) * 2 + check)
            packets = make_stream(rng, 200_000, np.array(apids), check)
            stream, offsets, intact, body_flipped = damage(rng, packets)
            cases = [
                ("hand-written rules", hand_rules(apids, check)),
                ("learned rules", "learn"),
                ("no rules", None),
            ]
            if check:
                cases.insert(0, ("check alone", {"check": "CRC-16/IBM-3740"}))
            print(f"  {label}, {'with' if check else 'without'} a CRC-16 ending each packet:")
            for name, rules in cases:
                framed = vantrel.split_packets(stream, **CCSDS, errors="report", rules=rules)
                found = framed.offsets
                kept = np.isin(offsets[intact], found).mean()
                invented = int((~np.isin(found, offsets)).sum())
                # A damaged body is reported when its packet is not framed
                # (its bytes lie in a skipped range).
                reported = (
                    (~np.isin(offsets[body_flipped], found)).mean() if body_flipped.any() else 1.0
                )
                share = 100 * invented / max(len(found), 1)
                print(
                    f"    {name:19} intact kept {100 * kept:7.3f}%  invented {invented:5}"
                    f" ({share:.4f}%)  flipped bodies not framed {100 * reported:6.2f}%"
                )


def framing_speed():
    rng = np.random.default_rng(11)
    apids = [0x2A5, 0x100, 0x3F0]
    stream = b"".join(map(bytes, make_stream(rng, 300_000, np.array(apids), True)))
    megabytes = len(stream) / 1e6
    hand = hand_rules(apids, True)
    checked = {"check": "CRC-16/IBM-3740"}
    both = {**hand, **checked}
    times = interleaved(
        {
            "hand": lambda: vantrel.split_packets(stream, **CCSDS, errors="report", rules=hand),
            "check": lambda: vantrel.split_packets(stream, **CCSDS, errors="report", rules=checked),
            "both": lambda: vantrel.split_packets(stream, **CCSDS, errors="report", rules=both),
            "learn": lambda: vantrel.split_packets(stream, **CCSDS, errors="report", rules="learn"),
        }
    )
    print(f"\nframing a clean stream of 300,000 packets ({megabytes:.0f} MB), errors='report'")
    base = times["hand"]
    for name, label in [
        ("hand", "hand-written rules"),
        ("check", "a check alone"),
        ("both", "hand-written rules and a check"),
        ("learn", "learned rules"),
    ]:
        t = times[name]
        print(
            f"  {label:31} {1e3 * t:7.1f} ms  {megabytes / t / 1e3:5.2f} GB/s"
            f"  {t / base:.2f}x hand-written"
        )


def main():
    print(choose_from_arguments())
    flags = Path("/proc/cpuinfo").read_text() if Path("/proc/cpuinfo").exists() else ""
    print(f"processor: SSE4.2 {'sse4_2' in flags}, PCLMULQDQ {'pclmulqdq' in flags}\n")
    rng = np.random.default_rng(31)
    speed_of_checks(rng)
    framing_speed()
    recovery()


if __name__ == "__main__":
    main()
