"""Damaged and mixed streams: recovery and speed of split_packets, and the
APID split and sequence check on a million CCSDS packets.

Run with:  pip install ".[bench]" && python benchmarks/bench_streams.py

The stream holds 1,000,000 space packets of three APIDs (housekeeping of 26
bytes, science of 7 to 206, events of 36). For recovery, 0.1% of the packets
get one flipped bit in their length field and a few runs of random bytes are
inserted between packets; framing then runs with validity rules (version 0,
the three APIDs, lengths 7 to 206) and without. Speed is measured on the
clean stream; every time is the best of rounds that run each call in turn,
all in one run.
"""

import time

import numpy as np

import vantrel

PACKETS = 1_000_000
APIDS = np.array([0x2A5, 0x100, 0x3F0])
CCSDS = dict(length_offset_bits=32, length_bits=16, length_adjust=7)
RULES = {
    "fields": [
        {"offset_bits": 0, "bits": 3, "values": [0]},
        {"offset_bits": 5, "bits": 11, "values": APIDS.tolist()},
    ],
    "min_length": 7,
    "max_length": 206,
}


def interleaved(functions, rounds=11):
    """The best time of each function over rounds that run them all in turn,
    so that a busy machine slows every one alike."""
    best = dict.fromkeys(functions, float("inf"))
    for _ in range(rounds):
        for name, function in functions.items():
            started = time.perf_counter()
            function()
            best[name] = min(best[name], time.perf_counter() - started)
    return best


def clean_stream(rng):
    apids = rng.choice(APIDS, PACKETS)
    data = np.where(apids == 0x2A5, 20, np.where(apids == 0x3F0, 30, 0))
    data = np.where(data == 0, rng.integers(1, 201, PACKETS), data)
    totals = data + 6
    offsets = np.concatenate([[0], np.cumsum(totals)[:-1]])
    stream = rng.integers(0, 256, int(totals.sum()), dtype=np.uint8)
    counts = np.zeros(PACKETS, dtype=np.int64)
    for apid in APIDS:
        mine = apids == apid
        counts[mine] = np.arange(mine.sum()) % 16384
    stream[offsets] = 0b0000_1000 | (apids >> 8)
    stream[offsets + 1] = apids & 0xFF
    stream[offsets + 2] = 0xC0 | (counts >> 8)
    stream[offsets + 3] = counts & 0xFF
    stream[offsets + 4] = (data - 1) >> 8
    stream[offsets + 5] = (data - 1) & 0xFF
    return stream, offsets, totals


def damaged_stream(rng, stream, offsets, totals):
    """0.1% of length fields with a flipped bit, and garbage runs inserted;
    the true offsets of the undamaged packets and the damaged byte ranges."""
    stream = stream.copy()
    hit = rng.choice(np.arange(1, PACKETS), PACKETS // 1000, replace=False)
    bit = rng.integers(0, 16, hit.size)
    byte = offsets[hit] + 4 + bit // 8
    stream[byte] ^= (1 << (bit % 8)).astype(np.uint8)
    undamaged = np.ones(PACKETS, dtype=bool)
    undamaged[hit] = False
    # Garbage runs before a few packets shift everything after them.
    before = np.sort(rng.choice(np.arange(1, PACKETS), 8, replace=False))
    pieces, shift, position, runs = [], np.zeros(PACKETS, dtype=np.int64), 0, []
    for index in before:
        run = rng.integers(0, 256, int(rng.integers(1, 2000)), dtype=np.uint8)
        start = int(offsets[index])
        pieces += [stream[position:start], run]
        runs.append((start + int(shift[index]), start + int(shift[index]) + run.size))
        shift[index:] += run.size
        position = start
    pieces.append(stream[position:])
    true_offsets = offsets + shift
    damaged = [(int(true_offsets[i]), int(true_offsets[i] + totals[i])) for i in hit] + runs
    return np.concatenate(pieces), true_offsets, undamaged, damaged


def recovery(stream, true_offsets, undamaged, damaged, rules):
    framed = vantrel.split_packets(stream, **CCSDS, errors="report", rules=rules)
    found = framed.offsets
    good = true_offsets[undamaged]
    recovered = np.isin(good, found).mean()
    false = (~np.isin(found, true_offsets)).sum()
    starts = np.array([s.start for s in framed.skipped], dtype=np.int64)
    stops = np.array([s.stop for s in framed.skipped], dtype=np.int64)
    covered = 0
    for a, b in damaged:
        covered += bool(np.any((starts < b) & (a < stops))) or bool(np.isin(a, found))
    return recovered, false, len(found), covered, len(framed.skipped)


def main():
    rng = np.random.default_rng(7)
    stream, offsets, totals = clean_stream(rng)
    megabytes = stream.size / 1e6
    print(f"{PACKETS:,} packets, {megabytes:.0f} MB, three APIDs")

    bad, true_offsets, undamaged, damaged = damaged_stream(rng, stream, offsets, totals)
    print(f"\nrecovery: {len(damaged)} damaged regions, {undamaged.sum():,} undamaged packets")
    for label, rules in [("with rules", RULES), ("without rules", None)]:
        recovered, false, framed, covered, skipped = recovery(
            bad, true_offsets, undamaged, damaged, rules
        )
        print(
            f"  {label:14} undamaged framed at their offsets {100 * recovered:.3f}%, "
            f"false packets {false} of {framed:,} ({100 * false / framed:.4f}%), "
            f"damaged regions reported {covered}/{len(damaged)}, skipped ranges {skipped}"
        )

    found = vantrel.split_packets(stream, **CCSDS)
    reader = vantrel.CCSDS_PRIMARY_HEADER

    def sequence():
        h = reader.unpack_many(stream, offsets=found)
        return vantrel.check_sequence_counts(h["apid"], h["sequence_count"])

    times = interleaved(
        {
            "split": lambda: vantrel.split_packets(stream, **CCSDS),
            "report": lambda: vantrel.split_packets(stream, **CCSDS, errors="report"),
            "ruled": lambda: vantrel.split_packets(stream, **CCSDS, errors="report", rules=RULES),
            "by_apid": lambda: vantrel.split_by_apid(stream, found),
            "sequence": sequence,
        }
    )
    split, report, ruled = times["split"], times["report"], times["ruled"]
    by_apid, checked = times["by_apid"], times["sequence"]
    print("\nspeed on the clean stream (best of 11 interleaved rounds)")
    print(
        f"  split_packets, raising:          {1e3 * split:7.1f} ms  "
        f"{megabytes / split / 1e3:.2f} GB/s"
    )
    print(
        f"  split_packets, reporting:        {1e3 * report:7.1f} ms  {report / split:.2f}x raising"
    )
    print(f"  split_packets, reporting, rules: {1e3 * ruled:7.1f} ms  {ruled / split:.2f}x raising")
    print(
        f"  split_by_apid (given offsets):   {1e3 * by_apid:7.1f} ms  {by_apid / split:.2f}x split"
    )
    print(
        f"  header + check_sequence_counts:  {1e3 * checked:7.1f} ms  {checked / split:.2f}x split"
    )
    assert len(sequence().gap_index) == 0


if __name__ == "__main__":
    main()
