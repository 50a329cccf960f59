"""Packing and unpacking a 12-field telemetry frame: vantrel against bitstruct.

Run with:  pip install ".[bench]" && python benchmarks/bench_packets.py
Prints the best time per packet over several repeats.
"""

import timeit

import bitstruct
import bitstruct.c

import vantrel

# name, vantrel encoding, bits, bitstruct code, value
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
]

RECIPE = [
    {
        "name": name,
        "encoding": encoding,
        "bits": bits,
        "byte_order": "big",
        "reverse_bits": False,
        "value": value,
    }
    for name, encoding, bits, _, value in FIELDS
]
FORMAT = "".join(f"{code}{bits}" for _, _, bits, code, _ in FIELDS)
VALUES = [value for *_, value in FIELDS]
NAMES = [name for name, *_ in FIELDS]


CODES = {"unsigned": "u", "twos_complement": "s", "ieee754_f32": "f"}


def bitstruct_pack_recipe(recipe):
    """The same job done by hand: a format built from the recipe, then bitstruct.c."""
    fmt = "".join(CODES[item["encoding"]] + str(item["bits"]) for item in recipe)
    return bitstruct.c.pack(fmt, *[item["value"] for item in recipe])


def bitstruct_unpack_recipe(packet, recipe):
    fmt = "".join(CODES[item["encoding"]] + str(item["bits"]) for item in recipe)
    return dict(zip([item["name"] for item in recipe], bitstruct.c.unpack(fmt, packet)))


def best(statement, number=20_000, repeat=7, **names):
    seconds = min(timeit.repeat(statement, globals=names, number=number, repeat=repeat))
    return seconds / number * 1e6


def main():
    packet = vantrel.pack_parameters(RECIPE)
    assert packet == bitstruct.pack(FORMAT, *VALUES) == bitstruct_pack_recipe(RECIPE)
    compiled = bitstruct.c.compile(FORMAT, names=NAMES)
    unpacked = vantrel.unpack_parameters(packet, 0, RECIPE)
    assert unpacked == dict(zip(NAMES, VALUES)) == bitstruct_unpack_recipe(packet, RECIPE)

    rows = [
        (
            "pack",
            "vantrel.pack_parameters",
            best("pack(recipe)", pack=vantrel.pack_parameters, recipe=RECIPE),
        ),
        (
            "pack",
            "recipe -> format -> bitstruct.c.pack",
            best("pack(recipe)", pack=bitstruct_pack_recipe, recipe=RECIPE),
        ),
        (
            "pack",
            "bitstruct.c.pack",
            best("pack(fmt, *values)", pack=bitstruct.c.pack, fmt=FORMAT, values=VALUES),
        ),
        ("pack", "bitstruct.c compiled pack (dict)", best("c.pack(d)", c=compiled, d=unpacked)),
        (
            "pack",
            "bitstruct (pure Python)",
            best("pack(fmt, *values)", number=2000, pack=bitstruct.pack, fmt=FORMAT, values=VALUES),
        ),
        (
            "unpack",
            "vantrel.unpack_parameters",
            best("unpack(p, 0, recipe)", unpack=vantrel.unpack_parameters, p=packet, recipe=RECIPE),
        ),
        (
            "unpack",
            "recipe -> format -> bitstruct.c.unpack",
            best("unpack(p, recipe)", unpack=bitstruct_unpack_recipe, p=packet, recipe=RECIPE),
        ),
        (
            "unpack",
            "bitstruct.c.unpack",
            best("unpack(fmt, p)", unpack=bitstruct.c.unpack, fmt=FORMAT, p=packet),
        ),
        ("unpack", "bitstruct.c compiled unpack (dict)", best("c.unpack(p)", c=compiled, p=packet)),
        (
            "unpack",
            "bitstruct (pure Python)",
            best("unpack(fmt, p)", number=2000, unpack=bitstruct.unpack, fmt=FORMAT, p=packet),
        ),
    ]
    print(f"{len(FIELDS)} fields, {len(packet)} bytes per packet (best of 7, per packet)")
    for job, who, microseconds in rows:
        print(f"  {job:7} {who:42} {microseconds:7.2f} us")


if __name__ == "__main__":
    main()
