"""Packing and unpacking a 16-field telemetry packet: vantrel against bitstruct.

Run with:  pip install ".[bench]" && python benchmarks/bench_packets.py

Every figure is the best time per packet over several repeats, taken in one
run; "ratio" is vantrel's time over the faster compiled peer's (below 1.0
means vantrel is faster). The peers compile their format once and return or
take a dict, as a Layout does.
"""

import timeit

import bitstruct
import bitstruct.c
import cbitstruct

import vantrel

# name, vantrel encoding, bits, bitstruct code, value. Fields are not
# byte-aligned from `temperature` on.
FIELDS = [
    ("version", "unsigned", 3, "u", 0),
    ("packet_type", "unsigned", 1, "u", 1),
    ("secondary_header", "unsigned", 1, "u", 1),
    ("apid", "unsigned", 11, "u", 0x2A5),
    ("sequence_flags", "unsigned", 2, "u", 3),
    ("sequence_count", "unsigned", 14, "u", 1234),
    ("packet_length", "unsigned", 16, "u", 17),
    ("temperature", "twos_complement", 12, "s", -42),
    ("current", "twos_complement", 13, "s", 1000),
    ("uptime", "unsigned", 32, "u", 86_400_123),
    ("voltage", "ieee754_f32", 32, "f", 28.125),
    ("flags", "unsigned", 6, "u", 0b101101),
    ("mode", "utf8", 64, "t", "NOMINAL1"),
    ("gain", "ieee754_f16", 16, "f", 1.5),
    ("counter", "unsigned", 40, "u", 123_456_789_012),
    ("timestamp", "unsigned", 64, "u", 1_700_000_000_123_456_789),
]


def recipe_of(fields, copies=1):
    """The recipe for `copies` repetitions of the fields, with distinct names."""
    return [
        {
            "name": f"{name}_{copy}" if copies > 1 else name,
            "encoding": encoding,
            "bits": bits,
            "byte_order": "big",
            "reverse_bits": False,
        }
        for copy in range(copies)
        for name, encoding, bits, _, _ in fields
    ]


def format_of(fields, copies=1):
    return "".join(f"{code}{bits}" for _, _, bits, code, _ in fields) * copies


def values_of(recipe, fields):
    by_position = [value for *_, value in fields]
    return {item["name"]: by_position[i % len(fields)] for i, item in enumerate(recipe)}


def best(statement, number=20_000, repeat=7, **names):
    seconds = min(timeit.repeat(statement, globals=names, number=number, repeat=repeat))
    return seconds / number * 1e6


def compare(copies):
    """Times for the recipe repeated `copies` times; checks the peers agree first."""
    recipe = recipe_of(FIELDS, copies)
    names = [item["name"] for item in recipe]
    fmt = format_of(FIELDS, copies)
    values = values_of(recipe, FIELDS)
    layout = vantrel.Layout(recipe)
    peer_b = bitstruct.c.compile(fmt, names=names)
    peer_c = cbitstruct.compile(fmt, names=names)
    packet = layout.pack(values)
    with_values = [dict(item, value=values[item["name"]]) for item in recipe]
    assert packet == peer_b.pack(values) == peer_c.pack(values)
    assert packet == vantrel.pack_parameters(with_values)
    assert layout.unpack(packet) == peer_b.unpack(packet) == peer_c.unpack(packet) == values
    number = max(2_000, 40_000 // copies)
    return {
        "unpack": {
            "vantrel Layout.unpack": best("l.unpack(p)", number, l=layout, p=packet),
            "vantrel unpack_parameters": best(
                "u(p, 0, r)", number, u=vantrel.unpack_parameters, p=packet, r=recipe
            ),
            "bitstruct.c compiled unpack (dict)": best("c.unpack(p)", number, c=peer_b, p=packet),
            "cbitstruct compiled unpack (dict)": best("c.unpack(p)", number, c=peer_c, p=packet),
        },
        "pack": {
            "vantrel Layout.pack": best("l.pack(v)", number, l=layout, v=values),
            "vantrel pack_parameters": best(
                "p(r)", number, p=vantrel.pack_parameters, r=with_values
            ),
            "bitstruct.c compiled pack (dict)": best("c.pack(v)", number, c=peer_b, v=values),
            "cbitstruct compiled pack (dict)": best("c.pack(v)", number, c=peer_c, v=values),
        },
    }, len(packet)


def main():
    results, size = compare(1)
    print(f"{len(FIELDS)} fields, {size} bytes per packet; best of 7, microseconds per packet")
    print(
        "(lower is better; ratio = time / the faster compiled peer's, below 1.0 = vantrel faster)"
    )
    for job, rows in results.items():
        peer = min(t for who, t in rows.items() if "bitstruct" in who)
        for who, microseconds in rows.items():
            print(f"  {job:7} {who:38} {microseconds:7.3f} us   ratio {microseconds / peer:5.2f}")

    print("\nns per field as the layout grows (lower is better; flat is the goal)")
    print(f"  {'fields':>6} {'Layout.unpack':>14} {'Layout.pack':>12} {'cbitstruct unpack':>18}")
    for copies in (1, 4, 16):
        results, _ = compare(copies)
        fields = copies * len(FIELDS)
        per_field = {
            job: {who: t * 1000 / fields for who, t in rows.items()}
            for job, rows in results.items()
        }
        print(
            f"  {fields:6} {per_field['unpack']['vantrel Layout.unpack']:14.1f}"
            f" {per_field['pack']['vantrel Layout.pack']:12.1f}"
            f" {per_field['unpack']['cbitstruct compiled unpack (dict)']:18.1f}"
        )


if __name__ == "__main__":
    main()
