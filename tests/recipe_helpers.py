"""Recipe items for tests, random recipes, and an independent bit-level model of a packet."""

import runpy
from pathlib import Path
from types import SimpleNamespace

from hypothesis import strategies as st


def repository_tool(name):
    """A script of the repository's tools/ folder, its globals as attributes."""
    path = Path(__file__).resolve().parents[1] / "tools" / f"{name}.py"
    return SimpleNamespace(**runpy.run_path(str(path)))


encoding_names = repository_tool("encoding_names").encoding_names


def item(name="x", encoding="unsigned", bits=8, byte_order="big", reverse_bits=False, **extra):
    return {
        "name": name,
        "encoding": encoding,
        "bits": bits,
        "byte_order": byte_order,
        "reverse_bits": reverse_bits,
        **extra,
    }


def one_type_document(layout, **defaults):
    """A definitions document of one packet type "hk", each packet framed by
    the 8-bit length of its first byte; `defaults` beside big-endian items."""
    return {
        "defaults": {"byte_order": "big", "reverse_bits": False, **defaults},
        "framing": {"length_offset_bits": 0, "length_bits": 8, "length_adjust": 0},
        "sequence": False,
        "packets": {"hk": {"layout": layout}},
    }


class BitWriter:
    """Places fields MSB-first at absolute bit positions, as a list of bits."""

    def __init__(self, size_bits):
        self.bits = [0] * size_bits

    def put(self, position, width, value):
        for j in range(width):
            index = position + j
            if index < len(self.bits):
                self.bits[index] = (value >> (width - 1 - j)) & 1

    def to_bytes(self):
        padded = self.bits + [0] * (-len(self.bits) % 8)
        return bytes(int("".join(map(str, padded[i : i + 8])), 2) for i in range(0, len(padded), 8))


def read_bits(packet, position, width):
    value = int.from_bytes(packet, "big") if packet else 0
    total = len(packet) * 8
    return (value >> (total - position - width)) & ((1 << width) - 1)


def mirror(value, width):
    return int(format(value, f"0{width}b")[::-1], 2) if width else 0


# Every name of the encoding table, and other spellings of two.
ENCODINGS = [*encoding_names(), "UTF8", "Twos_Complement"]


@st.composite
def fields(draw, names=("a", "b", "c", "d")):
    """One valid recipe item: any encoding name, widths 0 to 128 and a few larger,
    both byte orders, mirrored or not, with or without an offset."""
    entry = item(
        draw(st.sampled_from(names)),
        draw(st.sampled_from(ENCODINGS)),
        draw(st.one_of(st.integers(0, 128), st.sampled_from([136, 200]))),
        draw(st.sampled_from(["big", "little", "Little"])),
        draw(st.booleans()),
    )
    if draw(st.booleans()):
        entry["offset_bits"] = draw(st.integers(0, 160))
    return entry


def positions(recipe):
    """Where each field starts when the layout starts at bit 0."""
    running, out = 0, []
    for entry in recipe:
        position = entry.get("offset_bits", running)
        out.append(position)
        running = position + entry["bits"]
    return out


FLOAT_WIDTHS = {
    name: int(name.rsplit("_f", 1)[1])
    for name in ENCODINGS
    if "_f" in name and name.rsplit("_f", 1)[1].isdigit()
}


def layout_ready(recipe):
    """A random recipe as Layout takes it: the packet functions accept
    repeated names and float fields narrower than their format, layouts
    refuse both. Repeated names get a suffix, narrow float fields their
    format's width."""
    seen, out = set(), []
    for index, entry in enumerate(recipe):
        entry = dict(entry)
        if entry["name"] in seen:
            entry["name"] = f"{entry['name']}{index}"
        seen.add(entry["name"])
        width = FLOAT_WIDTHS.get(entry["encoding"].lower())
        if width is not None and entry["bits"] < width:
            entry["bits"] = width
        out.append(entry)
    return out
