"""Pack and unpack a housekeeping telemetry packet.

The packet starts with a CCSDS-style primary header (bit fields that do not
line up with bytes), followed by a payload mixing signed integers, a
little-endian counter, an IEEE 754 float, a packed-BCD day number and a
short ASCII status text.
"""

import vantrel


def field(name, encoding, bits, value=None, byte_order="big", reverse_bits=False, **extra):
    item = {
        "name": name,
        "encoding": encoding,
        "bits": bits,
        "byte_order": byte_order,
        "reverse_bits": reverse_bits,
        **extra,
    }
    if value is not None:
        item["value"] = value
    return item


def housekeeping_recipe(values=None):
    values = values or {}
    layout = [
        ("version", "unsigned", 3, {}),
        ("packet_type", "unsigned", 1, {}),
        ("secondary_header", "unsigned", 1, {}),
        ("apid", "unsigned", 11, {}),
        ("sequence_flags", "unsigned", 2, {}),
        ("sequence_count", "unsigned", 14, {}),
        ("packet_length", "unsigned", 16, {}),
        ("board_temperature", "twos_complement", 12, {}),
        ("heater_current", "sign_magnitude", 12, {}),
        ("uptime_ticks", "unsigned", 32, {"byte_order": "little"}),
        ("bus_voltage", "ieee754_f32", 32, {}),
        ("day_of_year", "packed_bcd", 12, {}),
        ("status_flags", "unsigned", 4, {"reverse_bits": True}),
        ("mode", "us_ascii", 48, {}),
    ]
    return [field(name, enc, bits, values.get(name), **extra) for name, enc, bits, extra in layout]


def main():
    telemetry = {
        "version": 0,
        "packet_type": 0,
        "secondary_header": 1,
        "apid": 0x2A5,
        "sequence_flags": 3,
        "sequence_count": 1234,
        "packet_length": 18,
        "board_temperature": -42,
        "heater_current": -7,
        "uptime_ticks": 86_400_123,
        "bus_voltage": 28.125,
        "day_of_year": 341,
        "status_flags": 0b0011,
        "mode": "SAFE01",
    }
    packet = vantrel.pack_parameters(housekeeping_recipe(telemetry))
    print(f"packed {len(packet)} bytes: {packet.hex(' ')}")

    decoded = vantrel.unpack_parameters(packet, 0, housekeeping_recipe())
    for name, value in decoded.items():
        print(f"  {name:18} {value!r}")
    assert decoded == telemetry, "the packet did not read back as it was packed"
    print("round trip ok")


if __name__ == "__main__":
    main()
