"""Decode a day of housekeeping telemetry into numpy columns.

Writes an archive of CCSDS space packets of two kinds (housekeeping and
events, multiplexed by APID) to a file, then decodes it the way an archive
is read on the ground: memory-map the file, find where every packet starts,
pick each kind's packets by APID, and decode every kind into one numpy array
per parameter.

Run with:  pip install ".[numpy]" && python examples/archive.py [packets]
"""

import mmap
import os
import sys
import tempfile
import time

import numpy as np

import vantrel


def field(name, encoding, bits, byte_order="big", **extra):
    return {
        "name": name,
        "encoding": encoding,
        "bits": bits,
        "byte_order": byte_order,
        "reverse_bits": False,
        **extra,
    }


PRIMARY_HEADER = [
    field("version", "unsigned", 3),
    field("packet_type", "unsigned", 1),
    field("secondary_header", "unsigned", 1),
    field("apid", "unsigned", 11),
    field("sequence_flags", "unsigned", 2),
    field("sequence_count", "unsigned", 14),
    field("packet_length", "unsigned", 16),
]
HOUSEKEEPING = vantrel.Layout(
    PRIMARY_HEADER
    + [
        field("temperature", "twos_complement", 12),
        field("heater_on", "unsigned", 1),
        field("relays", "unsigned", 3),
        field("bus_voltage", "ieee754_f32", 32),
        field("uptime", "unsigned", 32, "little"),
        field("day_of_year", "packed_bcd", 12),
        field("spare", "unsigned", 4),
        field("mode", "us_ascii", 64),
    ]
)
EVENT = vantrel.Layout(
    PRIMARY_HEADER + [field("event_id", "unsigned", 16), field("text", "utf8", 128)]
)
HOUSEKEEPING_APID, EVENT_APID = 0x2A5, 0x101
HEADER = vantrel.Layout(PRIMARY_HEADER)


def housekeeping_columns(packets, seed=2026):
    """Simulated values for `packets` housekeeping packets, one array per field."""
    rng = np.random.default_rng(seed)
    n = packets
    return {
        "version": np.zeros(n, np.uint8),
        "packet_type": np.zeros(n, np.uint8),
        "secondary_header": np.zeros(n, np.uint8),
        "apid": np.full(n, HOUSEKEEPING_APID),
        "sequence_flags": np.full(n, 3),
        "sequence_count": np.arange(n) % 16384,
        "packet_length": np.full(n, HOUSEKEEPING.size_bytes - 7),
        "temperature": rng.integers(-300, 900, n),
        "heater_on": rng.integers(0, 2, n),
        "relays": rng.integers(0, 8, n),
        "bus_voltage": rng.normal(28.0, 0.2, n).astype(np.float32),
        "uptime": np.arange(n, dtype=np.uint32) * 4,
        "day_of_year": np.full(n, 341),
        "spare": np.zeros(n, np.uint8),
        "mode": ["SAFE" if i < n // 10 else "NOMINAL" for i in range(n)],
    }


def simulate(path, packets):
    """Writes `packets` housekeeping packets with an event after every 100th."""
    n = packets
    housekeeping = HOUSEKEEPING.pack_many(housekeeping_columns(n))
    size = HOUSEKEEPING.size_bytes
    event_values = {name: 0 for name in EVENT.names}
    event_values.update(apid=EVENT_APID, sequence_flags=3, packet_length=EVENT.size_bytes - 7)
    with open(path, "wb") as out:
        for i in range(n):
            out.write(housekeeping[i * size : (i + 1) * size])
            if i % 100 == 99:
                event_values.update(event_id=i // 100, text=f"heater {i // 100}")
                out.write(EVENT.pack(event_values))


def decode(path):
    """Every packet kind of the archive, as columns."""
    with open(path, "rb") as file, mmap.mmap(file.fileno(), 0, access=mmap.ACCESS_READ) as data:
        offsets = vantrel.split_packets(
            data, length_offset_bits=32, length_bits=16, length_adjust=7
        )
        apids = HEADER.unpack_many(data, offsets=offsets)["apid"]
        columns = {
            "housekeeping": HOUSEKEEPING.unpack_many(
                data, offsets=offsets[apids == HOUSEKEEPING_APID]
            ),
            "events": EVENT.unpack_many(data, offsets=offsets[apids == EVENT_APID]),
        }
        return len(data), columns


def main():
    packets = int(sys.argv[1]) if len(sys.argv) > 1 else 200_000
    with tempfile.TemporaryDirectory() as folder:
        path = os.path.join(folder, "housekeeping.bin")
        simulate(path, packets)
        start = time.perf_counter()
        size, columns = decode(path)
        seconds = time.perf_counter() - start
    housekeeping, events = columns["housekeeping"], columns["events"]
    print(f"decoded {size:,} bytes in {seconds * 1e3:.1f} ms:")
    print(f"  {len(housekeeping['apid']):,} housekeeping packets, {len(events['apid']):,} events")
    temperature = housekeeping["temperature"]
    print(f"  temperature {temperature.min()} .. {temperature.max()} (raw counts)")
    print(f"  bus voltage mean {housekeeping['bus_voltage'].mean():.3f} V")
    modes, counts = np.unique(housekeeping["mode"], return_counts=True)
    print("  modes: " + ", ".join(f"{m.strip(chr(0))} x{c:,}" for m, c in zip(modes, counts)))
    print(f"  last event: {events['event_id'][-1]} {events['text'][-1].strip(chr(0))!r}")


if __name__ == "__main__":
    main()
