"""Simulate day.bin, the archive that day.toml describes.

Three packet types multiplexed by APID (housekeeping every 4 s, a
magnetometer at 1 Hz, a few events), CCSDS space packets, with the damage a
real recording shows: a packet lost on the link, a few bytes of noise
between two packets, and a last packet cut short. Deterministic: the same
file every run.

Run with:  python examples/command/make_archive.py [OUTPUT]
"""

import sys
from pathlib import Path

import numpy as np

import vantrel.definitions as definitions

HERE = Path(__file__).resolve().parent
SECONDS = 6 * 3600  # six hours of telemetry


def header_columns(layout, apid, n):
    return {
        "version": np.zeros(n, np.uint8),
        "packet_type": np.zeros(n, np.uint8),
        "secondary_header": np.zeros(n, np.uint8),
        "apid": np.full(n, apid),
        "sequence_flags": np.full(n, 3),
        "sequence_count": np.arange(n) % 16384,
        "packet_length": np.full(n, layout.size_bytes - 7),
    }


def simulate(types):
    rng = np.random.default_rng(2026)
    hk, event, mag = types["housekeeping"], types["event"], types["magnetometer"]

    t = np.arange(0, SECONDS, 4)
    n = len(t)
    housekeeping = {
        **header_columns(hk.layout, hk.keys[0], n),
        "obt_seconds": t,
        "obt_subseconds": np.zeros(n, np.uint16),
        "temperature": (200 + 80 * np.sin(2 * np.pi * t / 5400)).astype(int)
        + rng.integers(-3, 4, n),
        "heater_on": (np.sin(2 * np.pi * t / 5400) < -0.5).astype(int),
        "relays": rng.integers(0, 8, n),
        "bus_voltage": rng.normal(28.0, 0.1, n).astype(np.float32),
        "uptime": t + 86400,
        "mode": np.where(t < 3600, "SAFE", "NOMINAL"),
    }
    t = np.arange(0, SECONDS, 1)
    n = len(t)
    field = 20000 * np.sin(2 * np.pi * t / 5400)
    magnetometer = {
        **header_columns(mag.layout, mag.keys[0], n),
        "obt_seconds": t,
        "range": np.full(n, 2),
        "bx": field.astype(int) + rng.integers(-50, 50, n),
        "by": (0.5 * field).astype(int) + rng.integers(-50, 50, n),
        "bz": np.full(n, -8000) + rng.integers(-50, 50, n),
        "temperature": rng.normal(12.0, 0.5, n).astype(np.float16),
    }
    t = np.sort(rng.choice(SECONDS, 40, replace=False))
    n = len(t)
    events = {
        **header_columns(event.layout, event.keys[0], n),
        "obt_seconds": t,
        "event_id": rng.integers(1, 40, n),
        "severity": rng.integers(0, 4, n),
        "text": [f"event {i}: {'heater cycle' if i % 2 else 'mode check'}" for i in range(n)],
    }
    streams = []
    for packet_type, columns in ((hk, housekeeping), (mag, magnetometer), (event, events)):
        data = packet_type.layout.pack_many(columns)
        size = packet_type.layout.size_bytes
        packets = [data[i : i + size] for i in range(0, len(data), size)]
        streams += zip(columns["obt_seconds"].tolist(), [packet_type.name] * len(packets), packets)
    streams.sort(key=lambda entry: entry[0])  # stable: housekeeping, magnetometer, event
    return streams


def main(output=HERE / "day.bin"):
    types = {p.name: p for p in definitions.load(HERE / "day.toml").packets}
    packets = [packet for _, _, packet in simulate(types)]
    del packets[5000]  # lost on the link: a gap in its APID's sequence counts
    packets[9000] = packets[9000] + bytes.fromhex("deadbeef0102")  # noise after a packet
    packets[-1] = packets[-1][:-5]  # the recording stops inside the last packet
    Path(output).write_bytes(b"".join(packets))
    print(f"{output}: {len(packets):,} packets, {Path(output).stat().st_size:,} bytes")


if __name__ == "__main__":
    main(*sys.argv[1:])
