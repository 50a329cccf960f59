"""Recipe items for tests, and an independent bit-level model of a packet."""


def item(name="x", encoding="unsigned", bits=8, byte_order="big", reverse_bits=False, **extra):
    return {
        "name": name,
        "encoding": encoding,
        "bits": bits,
        "byte_order": byte_order,
        "reverse_bits": reverse_bits,
        **extra,
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
