"""Typical calls, written as a user with `mypy --strict` would write them.

tests/typing/test_typing.py type-checks this file (it must pass) and runs
`main()`, so the annotations describe what the module really does.
"""

from __future__ import annotations

from typing import TYPE_CHECKING, Any

import numpy as np
import numpy.typing as npt

import vantrel
from vantrel import RecipeItem

if TYPE_CHECKING:
    from vantrel import FramingRules, UnpackedValue


def housekeeping(temperature: int, mode: str) -> list[RecipeItem]:
    return [
        {
            "name": "apid",
            "encoding": "unsigned",
            "bits": 11,
            "byte_order": "big",
            "reverse_bits": False,
            "value": 0x2A5,
        },
        {
            "name": "temperature",
            "encoding": "twos_complement",
            "bits": 12,
            "byte_order": "big",
            "reverse_bits": False,
            "value": temperature,
        },
        {
            "name": "mode",
            "encoding": "utf8",
            "bits": 32,
            "byte_order": "little",
            "reverse_bits": False,
            "value": mode,
            "offset_bits": 32,
        },
    ]


def read_temperature(packet: bytes) -> int:
    values: dict[str, UnpackedValue] = vantrel.unpack_parameters(packet, 0, housekeeping(0, ""))
    temperature = values["temperature"]
    assert isinstance(temperature, int)
    return temperature


def codecs() -> None:
    pattern: int = vantrel.encode_twos_complement(-42, 12)
    assert vantrel.decode_twos_complement(pattern, 12) == -42
    assert (
        vantrel.decode_packed_bcd(vantrel.encode_packed_bcd(-123, 16, signed=True), 16, True)
        == -123
    )
    assert vantrel.decode_unpacked_bcd(value=0x010203, bits=24) == 123
    half: float = vantrel.decode_ieee754_f16(vantrel.encode_ieee754_f16(1.5))
    assert half == 1.5
    assert vantrel.encode_ieee754_f32(1) == 0x3F800000
    assert vantrel.decode_ieee754_f128(0x3FFF << 112) == 1.0
    text: str = vantrel.decode_windows_1252(vantrel.encode_windows_1252("€"))
    assert text == "€"
    assert vantrel.decode_utf16(vantrel.encode_utf16(text="A")) == "A"


def refused() -> str:
    try:
        vantrel.decode_ti_f32(0)
    except NotImplementedError as error:
        return str(error)


def short_packet() -> str:
    try:
        vantrel.unpack_parameters(b"", 0, housekeeping(0, ""))
    except Exception:
        raise
    except BaseException as fault:  # PanicException: a packet too short for its fields
        return type(fault).__name__
    return ""


def layout_usage(packets: bytes) -> float:
    layout = vantrel.Layout(housekeeping(0, ""))
    columns = layout.unpack_many(packets, stride=layout.size_bytes, errors="mask")
    # The first byte of each 8-byte packet is 0x54 (84): 84 - 76 = 8 bytes.
    offsets = vantrel.split_packets(packets, length_offset_bits=0, length_bits=8, length_adjust=-76)
    again = layout.pack_many({name: columns[name] for name in layout.names})
    one: dict[str, UnpackedValue] = layout.unpack(again[: layout.size_bytes])
    return float(len(offsets)) + len(layout.pack(one))


def spellings_and_index_types(packets: bytes) -> int:
    # Upper- and title-case names run, so they type-check too; integer
    # arguments take numpy integers (anything with __index__).
    recipe: list[RecipeItem] = [
        {
            "name": "a",
            "encoding": "UNSIGNED",
            "bits": 8,
            "byte_order": "Big",
            "reverse_bits": False,
        },
        {"name": "b", "encoding": "Utf8", "bits": 8, "byte_order": "LITTLE", "reverse_bits": False},
    ]
    layout = vantrel.Layout(recipe)
    masked: dict[str, np.ma.MaskedArray[Any, Any]] = layout.unpack_many(
        packets, count=np.int64(2), errors="mask"
    )
    plain: dict[str, npt.NDArray[Any]] = layout.unpack_many(packets, stride=np.uint8(2))
    one = layout.unpack(packets, offset_bits=np.int64(0))
    return len(masked["a"]) + len(plain["b"]) + len(one)


def damaged_stream(stream: bytes) -> int:
    rules: FramingRules = {
        "fields": [{"offset_bits": 0, "bits": 3, "values": [0]}],
        "min_length": 7,
        "max_length": 4096,
    }
    framed = vantrel.split_packets(
        stream, length_offset_bits=32, length_bits=16, length_adjust=7, errors="report", rules=rules
    )
    lost = sum(skipped.stop - skipped.start for skipped in framed.skipped)
    groups: dict[int, npt.NDArray[np.int64]] = vantrel.split_by_apid(stream, framed.offsets)
    header = vantrel.CCSDS_PRIMARY_HEADER.unpack_many(stream, offsets=framed.offsets)
    report = vantrel.check_sequence_counts(header["apid"], header["sequence_count"])
    return lost + len(groups) + len(report.gap_index) + int(framed.lengths.sum())


def main() -> None:
    packet = vantrel.pack_parameters(housekeeping(-42, "SAFE"))
    assert read_temperature(packet) == -42
    codecs()
    assert refused() == "TI f32 format not yet implemented"
    assert short_packet() == "PanicException"
    assert isinstance(vantrel.__version__, str)
    assert layout_usage(packet * 3) == 3 + len(packet)
    assert spellings_and_index_types(b"\x01A\x02B") == 2 + 2 + 2
    assert damaged_stream(bytes([8, 5, 0xC0, 0, 0, 0, 0xAA, 1])) == 1 + 1 + 7


if __name__ == "__main__":
    main()
