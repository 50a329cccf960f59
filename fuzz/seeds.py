"""Writes the seed corpora in fuzz/corpus/<harness>/: a few inputs each that
reach the main paths of each harness, from which the fuzzers start.

    python fuzz/seeds.py

The byte layouts follow each harness's reading order (see its
LLVMFuzzerTestOneInput)."""

import hashlib
import struct
from pathlib import Path

CORPUS = Path(__file__).resolve().parent / "corpus"


def u16(n):
    return struct.pack("<H", n)


def u64(n):
    return struct.pack("<Q", n & (2**64 - 1))


def f64(x):
    return struct.pack("<d", x)


def text_seeds():
    decode = b"\x01"  # odd first byte: the decoders on the rest
    mixed = "telemetry \u00e9t\u00e9 \u20ac \u4e2d\u6587 \U0001f680 end"
    yield decode + mixed.encode("utf-8")
    yield decode + b"\xfe\xff" + mixed.encode("utf-16-be")
    yield decode + b"\xff\xfe\x00\x00" + mixed.encode("utf-32-le")
    yield decode + b"\xef\xbb\xbf" + "caf\u00e9".encode("utf-8")
    yield decode + bytes(range(0x20, 0x100))
    yield decode + b"\xed\xa0\x80\xc0\xaf\xf4\x90\x80\x80"  # surrogate, overlong, too high
    yield decode + b"ASCII only, long enough for the word-at-a-time paths." * 3
    # Even first byte: the encoders on text made of selector bytes (a count,
    # then one selector per code point: ASCII, edge code points, Latin-1,
    # anything).
    yield b"\x00\x10" + b"Hello, world! " + bytes([0x80, 0x85, 0xA0, 0xB0])
    yield b"\x00\x08" + bytes([0xE0, 0x00, 0xF6, 0x01, 0x00, 0x41, 0xC8, 0x9C, 0x8B, 0x8F, 0x90])


def text_kernel_seeds():
    # A first byte of 224 or more: the whole-buffer kernels on raw units
    # (threshold, byte order, then units whose size the next byte picks).
    mixed = "kernels \u00e9t\u00e9 \u20ac \U0001f680 " * 4
    yield b"\xe0" + struct.pack("<I", 0x80) + b"\x01" + b"\x00" + mixed.encode("latin-1", "replace")
    yield (
        b"\xe1"
        + struct.pack("<I", 0x800)
        + b"\x00"
        + b"\x01"
        + mixed.encode("utf-16-le", "surrogatepass")
    )
    yield (
        b"\xe2"
        + struct.pack("<I", 0x10000)
        + b"\x01"
        + b"\x02\x00\x00\x00"
        + mixed.encode("utf-32-le")
    )


def decoder_seeds():
    for pattern, low, width in [
        (0xFF, 0, 8),
        (0x80, 0, 8),
        (0x8000000000000000, 0, 64),
        (0x12345678, 0, 32),
        (0x7E00, 0, 16),
        (0x7FC00001, 0, 32),
        (0x3FFF000000000000, 1, 128),
        (0x9876543210, 0, 40),
        (0xF1F2F3C4, 0, 32),
    ]:
        yield u64(pattern) + u64(low) + bytes([width]) + "\u00e9t\u00e9".encode("utf-16-le")
    yield u64(0) + u64(0) + bytes([230]) + struct.pack("<I", 100000) + b"text field bytes"


def encoder_seeds():
    for value, width, real in [
        (-1, 8, 1e-40),
        (127, 8, 65520.0),
        (-(2**63), 64, 3.4028235677973366e38),
        (9999, 16, 0.1),
        (-42, 12, -0.0),
        (12345678, 64, float("inf")),
        (5, 0, float("nan")),
    ]:
        yield u64(value) + bytes([width]) + f64(real) + b"\x06" + b"Temp\x80\x99\xe5\x00\x00\x10"
    yield u64(1) + bytes([210]) + struct.pack("<I", 2**31) + f64(2.0**-149)


def packet_bits_seeds():
    packet = bytes(range(1, 25))
    # Placement (odd first byte): packet, start, operation, operands.
    yield (
        b"\x01"
        + u16(len(packet))
        + packet
        + u16(5)
        + b"\x00"
        + u16(8)
        + b"\xa5\x5a\xff"
        + u16(3)
        + u16(20)
    )
    yield b"\x01" + u16(len(packet)) + packet + u16(190) + b"\x01" + u16(40)
    yield (
        b"\x01"
        + u16(len(packet))
        + packet
        + u16(13)
        + b"\x02"
        + u64(0x123456789ABCDEF)
        + bytes([61])
    )
    yield b"\x01" + u16(len(packet)) + packet + u16(3) + b"\x03" + u16(4) + b"ABCD" + u16(45)
    # Reading (even first byte): packet, start, byte order, mirroring, kind.
    yield b"\x00" + u16(len(packet)) + packet + u16(7) + b"\x01\x01\x01" + bytes([37])
    yield b"\x00" + u16(len(packet)) + packet + u16(11) + b"\x00\x01\x00" + u16(100)
    yield b"\x00" + u16(len(packet)) + packet + u16(0) + b"\x01\x00\x00" + u16(64)


def layout_seeds():
    def field(row, width, offset=None, little=False, mirrored=False):
        placed = b"\x00" if offset is None else b"\xc8" + u16(offset)
        return bytes([row, width]) + placed + bytes([little, mirrored])

    packet = u16(24) + bytes(range(0x41, 0x59))
    yield (
        bytes([3])
        + field(0, 11)
        + field(1, 12, little=True)
        + field(11, 32, offset=32)
        + b"\x00"
        + u16(0)
        + packet
    )
    yield (
        bytes([2])
        + field(9, 32, mirrored=True)
        + field(12, 24, offset=64, little=True)
        + b"\x00"
        + u16(3)
        + packet
    )
    yield (
        bytes([4])
        + field(4, 16)
        + field(6, 24)
        + field(10, 64, little=True)
        + field(0, 0, offset=100)
        + b"\x00"
        + u16(1)
        + packet
    )
    yield (
        bytes([1])
        + field(0, 130, little=True, mirrored=True)
        + b"\x00"
        + u16(0)
        + packet
        + b"\x01" * 16
    )
    yield (
        bytes([2])
        + field(15, 40, offset=8)
        + field(19, 20, offset=2)
        + b"\x00"
        + u16(5)
        + packet
        + b"\x00"
        + u64(7)
        + u16(3)
        + b"abc"
    )


def layout_column_seeds():
    # A first byte from 200 to 239: the plan's fields decoded as columns of
    # many packets (buffer, then offsets or a stride, then masking).
    def field(row, width, offset=None, little=False, mirrored=False):
        placed = b"\x00" if offset is None else b"\xc8" + u16(offset)
        return bytes([row, width]) + placed + bytes([little, mirrored])

    buffer = u16(160) + bytes((i * 29 + 3) % 256 for i in range(160))
    fields = field(0, 11) + field(1, 12, little=True) + field(9, 32) + field(10, 64, mirrored=True)
    yield bytes([204]) + fields + b"\x00" + u16(0) + buffer + b"\x00\x0f\x01\x09\x00"
    yield (
        bytes([202])
        + field(4, 16)
        + field(8, 16, little=True)
        + b"\x00"
        + u16(0)
        + buffer
        + b"\x01\x06"
        + b"\x00\x00\x00\x07\x00\x20\x00\x9f\xfa\x01\x00\x03"
        + b"\x01"
    )


def layout_conversion_seeds():
    # A first byte from 215 to 224: conversions. 215 (and every third): a
    # converted column; 216: a time code read, written and read back; 217:
    # a table, state look-ups and inverted calibrations.
    unsigned16 = bytes([0, 16, 0, 0, 0])  # row 0 (unsigned), 16 bits, no offset, big, unmirrored
    buffer = u16(240) + bytes((i * 53 + 7) % 256 for i in range(240))
    stride = b"\x01" + bytes([25]) + u16(100)  # every 2 bytes, 100 packets
    # A quadratic over a stride, masked, and states with handles at offsets with ends.
    yield bytes([215]) + unsigned16 + b"\x00\x02\x04\x10\xff" + buffer + stride + b"\x01\x00"
    states = b"\x01\x00\x04" + bytes([0, 1, 2, 3, 4]) + b"\x01"
    offsets = b"\x00" + bytes([5]) + b"".join(u16(k * 7) + b"\x01\x03" for k in range(5))
    yield bytes([218]) + bytes([0, 8, 0, 0, 0]) + states + buffer + offsets + b"\x00\x01\x00"
    # A table, clamped, over a stride.
    table = b"\x02\x01" + bytes([0]) + b"\x02" + bytes([10, 5, 200, 9, 30, 7, 60, 1])
    yield bytes([221]) + unsigned16 + table + buffer + stride + b"\x00\x00"
    # CUC with a P-field and 2 fine octets, and CDS in UTC with microseconds.
    cuc = b"\x00\x01" + bytes([3, 2]) + b"\x00" + bytes([0]) + b"\x01" + b"\x00\x01"
    yield bytes([224]) + bytes([0, 8, 0, 0, 0]) + b"\x03" + cuc + buffer + stride + b"\x01\x00"
    cds = b"\x01\x00" + bytes([0, 0]) + b"\x00" + bytes([1]) + b"\x01" + b"\x01\x00"
    yield bytes([216]) + cds + b"\x01" + bytes(range(20))
    # Tables and states, then a polynomial to invert (raw range and coefficients).
    calibration = (
        bytes([2])
        + u16(0)
        + bytes([3])
        + b"".join(u16(5 * k) + bytes([9]) for k in range(1, 6))
        + u16(20)
    )
    enumeration = b"\x00\x04" + bytes([0, 1, 2, 3, 9]) + b"\x00" + bytes(range(16))
    inversion = (
        b"\x03" + bytes([16, 20, 6, 2]) + u16(0xFFF0) + b"\x20" + u16(900) + bytes(range(40, 80))
    )
    yield bytes([217]) + calibration + enumeration + inversion


def length_field(offset, bits, adjust_kind, adjust_bytes=b"", little=False):
    """fuzzed_length_field's reading order: a selector (below 240: a near
    offset), the offset, a flag for 64 bits (else the width - 1), the
    adjustment's kind (0: int8, 1: INT64_MIN + n, 2: INT64_MAX - n, 3:
    +-2^62 + n - 8, 4: any), its nudge n and its bytes, the byte order."""
    width = b"\x01" if bits == 64 else b"\x00" + bytes([bits - 1])
    return bytes([0, offset]) + width + bytes([adjust_kind]) + adjust_bytes + bytes([little])


def framing_seeds():
    # The length field, no rules (count, no minimum, no maximum, confirm),
    # then the stream: CCSDS-like packets (16-bit length at bit 32, + 7).
    def packet(data_length):
        return bytes(4) + (data_length - 1).to_bytes(2, "big") + bytes(data_length)

    no_rules = bytes(4)
    ccsds = length_field(32, 16, 0, b"\x00\x07")
    stream = packet(3) + packet(10) + packet(1)
    yield ccsds + no_rules + stream
    yield ccsds + no_rules + stream[:-2]
    yield length_field(5, 12, 0, b"\x00\xfe", little=True) + no_rules + bytes(range(64))
    # 64-bit length fields with adjustments at the ends of int64 and near
    # -2^62: lengths past 2^60 that frame exactly.
    yield length_field(0, 64, 1, b"\x00") + no_rules + struct.pack(">QH", 2**63 + 10, 0xBEEF) * 2
    yield length_field(0, 64, 2, b"\x00") + no_rules + struct.pack(">QH", 0, 0)
    yield length_field(0, 64, 3, b"\x00\x01") + no_rules + struct.pack(">QH", 2**62 + 18, 7) * 3


def packet_bounds_seeds():
    # A first byte of 225 to 231: packet bounds. The length field, the
    # buffer, offsets (count, then each: u16, a flag, a length byte), whether
    # lengths are given and the field used, then a field to decode.
    def seed(selector, adjust_kind, adjust_bytes, buffer, rest):
        field = length_field(0, 64, adjust_kind, adjust_bytes)
        return bytes([selector]) + field + u16(len(buffer)) + buffer + rest

    packets = struct.pack(">QH", 2**63 + 10, 1) + struct.pack(">QH", 2**63 + 12, 2) + b"\x03\x04"
    offsets = b"\x00\x02" + u16(0) + b"\x01\x0a" + u16(10) + b"\x01\x0c"
    yield seed(225, 1, b"\x00", packets[:-1], offsets)
    yield seed(226, 1, b"\x00", packets[:-1], offsets + b"\x01\x00")
    yield seed(227, 2, b"\x03", packets, b"\x01\x05\x04")


def layout_name_seeds():
    # A first byte of 240 or more: encoding-name lookup.
    yield b"\xf0\x01\x0c" + u64(0b1010101) + b"\x00"
    yield b"\xf0\x00" + u16(8) + b"UTF16_BE"
    yield b"\xf0\x00" + u16(6) + "lat\u00efn".encode()


def python_seeds():
    # atheris reads its draws from the input's end as well as its start; a
    # few varied byte strings are enough to start from.
    yield bytes(range(256))
    yield b"\x00" * 64
    yield b"\xff" * 64
    yield bytes((i * 37 + 11) % 256 for i in range(200))
    yield b"unsigned twos_complement utf8 ieee754_f32 big little" * 2


def main():
    for harness, seeds in [
        ("fuzz_text", text_seeds),
        ("fuzz_text", text_kernel_seeds),
        ("fuzz_decoders", decoder_seeds),
        ("fuzz_encoders", encoder_seeds),
        ("fuzz_packet_bits", packet_bits_seeds),
        ("fuzz_layout", layout_seeds),
        ("fuzz_layout", layout_name_seeds),
        ("fuzz_layout", layout_column_seeds),
        ("fuzz_layout", layout_conversion_seeds),
        ("fuzz_layout", packet_bounds_seeds),
        ("fuzz_framing", framing_seeds),
        ("fuzz_python", python_seeds),
    ]:
        directory = CORPUS / harness
        directory.mkdir(parents=True, exist_ok=True)
        for seed in seeds():
            (directory / f"seed-{hashlib.sha1(seed).hexdigest()[:12]}").write_bytes(seed)


if __name__ == "__main__":
    main()
