"""Packets with arrays: 100,000 CCSDS packets to numpy columns, vantrel against ccsdspy.

Run with:  pip install ".[bench]" && python benchmarks/bench_arrays.py [--keep-freed-memory]

(--keep-freed-memory: see allocator.py.)

Fixed:    the 6-byte primary header (7 fields), a 16-bit status word and a
          32-element int16 array; ccsdspy FixedLength with a PacketArray.
Variable: the primary header, an 8-bit count, 0 to 64 uint16 samples, then
          two fields after the array; ccsdspy VariableLength with
          PacketArray(array_shape="count"). vantrel's figure includes framing
          the stream with split_packets.
Per value: the variable path's time per decoded value against the fixed
          path's, with framing timed, then with the packets framed once
          beforehand (the fixed packets need no framing: they are at a
          stride).
Arrow:    both archives with output="arrow" into pyarrow.table (lists over
          one values buffer), against numpy output (when pyarrow is
          installed).
Converted: the same layouts with conversions on the arrays and the fields
          after them (calibrations, state names, 16-bit time codes), to
          Arrow, against the same layouts with raw=True (the goal: within
          1.5x).

The packets are generated here. Every figure is the best of several
repeats, taken in one run; lower times are better.
"""

import io
import logging
import sys
import time
from pathlib import Path

import numpy as np

import vantrel

sys.path.insert(0, str(Path(__file__).parent))
from allocator import choose_from_arguments  # noqa: E402

try:
    import ccsdspy
    from ccsdspy import PacketArray, PacketField
except ImportError:  # the comparison needs the bench extras
    sys.exit("pip install ccsdspy (or the bench extras) to run this benchmark")

logging.getLogger("ccsdspy").setLevel(logging.ERROR)
PACKETS = 100_000
REPEATS = 5

HEADER = [
    ("CCSDS_VERSION_NUMBER", 3),
    ("CCSDS_PACKET_TYPE", 1),
    ("CCSDS_SECONDARY_FLAG", 1),
    ("CCSDS_APID", 11),
    ("CCSDS_SEQUENCE_FLAG", 2),
    ("CCSDS_SEQUENCE_COUNT", 14),
    ("CCSDS_PACKET_LENGTH", 16),
]
LENGTH = {"offset_bits": 32, "bits": 16, "adjust": 7}


def field(name, encoding, bits, **extra):
    return {
        "name": name,
        "encoding": encoding,
        "bits": bits,
        "byte_order": "big",
        "reverse_bits": False,
        **extra,
    }


def header_recipe():
    return [field(name, "unsigned", bits) for name, bits in HEADER]


def best(call):
    times = []
    for _ in range(REPEATS):
        start = time.perf_counter()
        call()
        times.append(time.perf_counter() - start)
    return min(times)


def fixed_archive(rng):
    body = 2 + 64
    header = np.zeros((PACKETS, 6), np.uint8)
    header[:, 0] = 0x08  # APID high bits
    header[:, 1] = 0x01
    header[:, 2] = 0xC0
    header[:, 4] = (body - 1) >> 8
    header[:, 5] = (body - 1) & 0xFF
    status = rng.integers(0, 1 << 16, (PACKETS, 1)).astype(">u2").view(np.uint8)
    samples = rng.integers(-(1 << 15), 1 << 15, (PACKETS, 32)).astype(">i2").view(np.uint8)
    return np.hstack([header, status, samples]).tobytes()


def variable_archive(rng):
    layout = vantrel.Layout(
        [
            *header_recipe(),
            field("count", "unsigned", 8),
            field("samples", "unsigned", 16, count="count"),
            field("temperature", "unsigned", 16),
            field("flags", "unsigned", 8),
        ],
        packet_length=LENGTH,
    )
    counts = rng.integers(0, 65, PACKETS)
    samples = rng.integers(0, 1 << 16, int(counts.sum()), dtype=np.uint16)
    cuts = np.concatenate([[0], np.cumsum(counts)])
    rows = {
        "CCSDS_VERSION_NUMBER": np.zeros(PACKETS, int),
        "CCSDS_PACKET_TYPE": np.zeros(PACKETS, int),
        "CCSDS_SECONDARY_FLAG": np.zeros(PACKETS, int),
        "CCSDS_APID": np.full(PACKETS, 0x81),
        "CCSDS_SEQUENCE_FLAG": np.full(PACKETS, 3),
        "CCSDS_SEQUENCE_COUNT": np.arange(PACKETS) % (1 << 14),
        "samples": [samples[cuts[i] : cuts[i + 1]] for i in range(PACKETS)],
        "temperature": rng.integers(0, 1 << 16, PACKETS),
        "flags": rng.integers(0, 256, PACKETS),
    }
    return layout, layout.pack_many(rows), int(counts.sum())


def main():
    setting = choose_from_arguments()
    rng = np.random.default_rng(7)
    print(f"{PACKETS:,} packets, best of {REPEATS}; {setting}\n")

    # ---- Fixed arrays -----------------------------------------------------
    archive = fixed_archive(rng)
    fixed = vantrel.Layout(
        [
            *header_recipe(),
            field("status", "unsigned", 16),
            field("samples", "twos_complement", 16, count=32),
        ]
    )
    ccsds_fixed = ccsdspy.FixedLength(
        [
            PacketField("status", "uint", 16),
            PacketArray(name="samples", data_type="int", bit_length=16, array_shape=32),
        ]
    )
    ours = fixed.unpack_many(archive)
    theirs = ccsds_fixed.load(io.BytesIO(archive))
    assert (ours["samples"] == theirs["samples"]).all()
    assert (ours["status"] == theirs["status"]).all()
    vantrel_fixed = best(lambda: fixed.unpack_many(archive))
    ccsdspy_fixed = best(lambda: ccsds_fixed.load(io.BytesIO(archive)))
    fixed_values = PACKETS * (len(HEADER) + 1 + 32)
    print("Fixed: header, status and a 32-element int16 array")
    print(f"  vantrel unpack_many        {vantrel_fixed * 1e3:8.2f} ms")
    print(f"  ccsdspy FixedLength        {ccsdspy_fixed * 1e3:8.2f} ms")
    print(f"  ratio                      {ccsdspy_fixed / vantrel_fixed:8.1f}x\n")

    # ---- Variable arrays ----------------------------------------------------
    variable, stream, sample_count = variable_archive(rng)
    ccsds_variable = ccsdspy.VariableLength(
        [
            PacketField("count", "uint", 8),
            PacketArray(name="samples", data_type="uint", bit_length=16, array_shape="count"),
            PacketField("temperature", "uint", 16),
            PacketField("flags", "uint", 8),
        ]
    )

    def vantrel_variable_decode():
        offsets = vantrel.split_packets(
            stream, length_offset_bits=32, length_bits=16, length_adjust=7
        )
        return variable.unpack_many(stream, offsets=offsets)

    ours = vantrel_variable_decode()
    theirs = ccsds_variable.load(io.BytesIO(stream))
    assert all(np.array_equal(a, b) for a, b in zip(ours["samples"].to_list(), theirs["samples"]))
    assert (ours["temperature"] == theirs["temperature"]).all()
    assert (ours["flags"] == theirs["flags"]).all()
    vantrel_variable = best(vantrel_variable_decode)
    framed = vantrel.split_packets(stream, length_offset_bits=32, length_bits=16, length_adjust=7)
    vantrel_unframed = best(lambda: variable.unpack_many(stream, offsets=framed))
    ccsdspy_variable = best(lambda: ccsds_variable.load(io.BytesIO(stream)))
    variable_values = PACKETS * (len(HEADER) + 3) + sample_count
    print("Variable: header, count, 0-64 uint16 samples, two fields after them")
    print(f"  vantrel split + unpack_many {vantrel_variable * 1e3:7.2f} ms")
    print(f"  ccsdspy VariableLength      {ccsdspy_variable * 1e3:7.2f} ms")
    print(f"  ratio                       {ccsdspy_variable / vantrel_variable:7.1f}x\n")

    # ---- Per value ----------------------------------------------------------
    fixed_per_value = vantrel_fixed / fixed_values * 1e9
    variable_per_value = vantrel_variable / variable_values * 1e9
    unframed_per_value = vantrel_unframed / variable_values * 1e9
    print("Per decoded value (vantrel)")
    print(f"  fixed path                 {fixed_per_value:8.2f} ns")
    print(f"  variable path              {variable_per_value:8.2f} ns")
    print(f"  variable / fixed           {variable_per_value / fixed_per_value:8.2f}x")
    print(f"  variable path, framed once {unframed_per_value:8.2f} ns")
    print(f"  variable / fixed           {unframed_per_value / fixed_per_value:8.2f}x")

    # ---- Arrow output -------------------------------------------------------
    try:
        import pyarrow
    except ImportError:
        return
    offsets = vantrel.split_packets(stream, length_offset_bits=32, length_bits=16, length_adjust=7)
    fixed_arrow = pyarrow.table(fixed.unpack_many(archive, output="arrow"))
    assert (
        fixed_arrow.column("samples").to_pylist()[:3]
        == fixed.unpack_many(archive)["samples"][:3].tolist()
    )
    variable_arrow = pyarrow.table(variable.unpack_many(stream, offsets=offsets, output="arrow"))
    assert variable_arrow.column("samples").combine_chunks().values.to_numpy().tolist() == (
        variable.unpack_many(stream, offsets=offsets)["samples"].values.tolist()
    )
    rows = [
        (
            "fixed",
            lambda: fixed.unpack_many(archive),
            lambda: pyarrow.table(fixed.unpack_many(archive, output="arrow")),
        ),
        (
            "variable",
            lambda: variable.unpack_many(stream, offsets=offsets),
            lambda: pyarrow.table(variable.unpack_many(stream, offsets=offsets, output="arrow")),
        ),
    ]
    print("\nArrow output (framing not timed): numpy columns against pyarrow.table")
    for name, numpy_call, arrow_call in rows:
        numpy_time, arrow_time = best(numpy_call), best(arrow_call)
        print(
            f"  {name:9} numpy {numpy_time * 1e3:7.2f} ms   arrow {arrow_time * 1e3:7.2f} ms"
            f"   arrow / numpy {arrow_time / numpy_time:5.2f}x"
        )

    # ---- Arrow output with conversions ----------------------------------------
    def converted(layout, conversions):
        recipe = layout.__reduce__()[1][0]
        items = [{**entry, **conversions.get(entry["name"], {})} for entry in recipe]
        return vantrel.Layout(items, packet_length=LENGTH if layout is variable else None)

    linear = {"convert": {"type": "linear", "slope": 0.01, "intercept": -5.0}}
    fixed_converted = converted(
        fixed,
        {
            "samples": {"convert": {"type": "polynomial", "coefficients": [1.0, 0.5, 1e-6]}},
            "status": {"convert": {"type": "cuc", "coarse_octets": 2, "scale": "TAI"}},
        },
    )
    variable_converted = converted(
        variable,
        {
            "samples": linear,
            "temperature": {"convert": {"type": "cuc", "coarse_octets": 2, "scale": "TAI"}},
            "flags": {
                "convert": {"type": "enumeration", "states": {k: f"S{k}" for k in range(256)}}
            },
        },
    )
    rows = [
        ("fixed", fixed_converted, archive, {}),
        ("variable", variable_converted, stream, {"offsets": offsets}),
    ]
    print("\nArrow output with conversions against raw=True (pyarrow.table)")
    for name, layout, data, where in rows:

        def to_arrow(raw, layout=layout, data=data, where=where):
            return pyarrow.table(layout.unpack_many(data, output="arrow", raw=raw, **where))

        raw_time, converted_time = best(lambda: to_arrow(True)), best(lambda: to_arrow(False))
        print(
            f"  {name:9} raw {raw_time * 1e3:7.2f} ms   converted {converted_time * 1e3:7.2f} ms"
            f"   converted / raw {converted_time / raw_time:5.2f}x"
        )


if __name__ == "__main__":
    main()
