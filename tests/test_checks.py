"""Check fields ("check" in a layout recipe): the checksums against crcmod
and the catalogue's check values, and verification and computation in every
output: unpack, unpack_many (numpy and Arrow, both error modes), pack and
pack_many."""

import pickle

import crcmod
import crcmod.predefined
import numpy as np
import pytest
from hypothesis import given, settings
from hypothesis import strategies as st

import vantrel
from recipe_helpers import item

# Our catalogue names, and the crcmod definitions of the same algorithms:
# crcmod's own parameters, so a wrong row in our table shows here.
CRCMOD_NAMES = {
    "CRC-8/SMBUS": "crc-8",
    "CRC-8/DARC": "crc-8-darc",
    "CRC-8/I-432-1": "crc-8-itu",
    "CRC-8/MAXIM-DOW": "crc-8-maxim",
    "CRC-8/ROHC": "crc-8-rohc",
    "CRC-8/WCDMA": "crc-8-wcdma",
    "CRC-16/ARC": "crc-16",
    "CRC-16/UMTS": "crc-16-buypass",
    "CRC-16/DNP": "crc-16-dnp",
    "CRC-16/GENIBUS": "crc-16-genibus",
    "CRC-16/MCRF4XX": "crc-16-mcrf4xx",
    "CRC-16/USB": "crc-16-usb",
    "CRC-16/IBM-SDLC": "x-25",
    "CRC-16/XMODEM": "xmodem",
    "CRC-16/MODBUS": "modbus",
    "CRC-16/KERMIT": "kermit",
    "CRC-16/IBM-3740": "crc-ccitt-false",
    "CRC-16/SPI-FUJITSU": "crc-aug-ccitt",
    "CRC-24/OPENPGP": "crc-24",
    "CRC-32/ISO-HDLC": "crc-32",
    "CRC-32/BZIP2": "crc-32-bzip2",
    "CRC-32/ISCSI": "crc-32c",
    "CRC-32/BASE91-D": "crc-32d",
    "CRC-32/MPEG-2": "crc-32-mpeg",
    "CRC-32/CKSUM": "posix",
    "CRC-32/AIXM": "crc-32q",
    "CRC-32/JAMCRC": "jamcrc",
    "CRC-32/XFER": "xfer",
    "CRC-64/WE": "crc-64-we",
}

# The catalogue's check values over b"123456789", written out here.
CHECK_VALUES = {
    "CRC-3/GSM": 0x4,
    "CRC-4/G-704": 0x7,
    "CRC-5/USB": 0x19,
    "CRC-7/MMC": 0x75,
    "CRC-8/SMBUS": 0xF4,
    "CRC-8/AUTOSAR": 0xDF,
    "CRC-8/BLUETOOTH": 0x26,
    "CRC-8/SAE-J1850": 0x4B,
    "CRC-10/ATM": 0x199,
    "CRC-12/DECT": 0xF5B,
    "CRC-15/CAN": 0x059E,
    "CRC-16/IBM-3740": 0x29B1,
    "CRC-16/KERMIT": 0x2189,
    "CRC-16/XMODEM": 0x31C3,
    "CRC-32/ISO-HDLC": 0xCBF43926,
    "CRC-32C": 0xE3069283,
    "CRC-64/XZ": 0x995DC9BBDF1939FA,
    "CRC-64/ECMA-182": 0x6C40DF5F0B497347,
    "SUM-8": 0xDD,
    "SUM-16": 0x09D4,
    "SUM-8/TWOS-COMPLEMENT": 0x23,
    "ONES-SUM-16": 0x09D5,
    "INTERNET": 0xF62A,
    "FLETCHER-16": 0x1EDE,
    "ISO-1155": 0x31,
}

WIDTHS = {"CRC-3": 3, "CRC-4": 4, "CRC-5": 5, "CRC-7": 7, "CRC-10": 10, "CRC-12": 12, "CRC-15": 15}


def width_of(name):
    for prefix, width in WIDTHS.items():
        if name.startswith(prefix + "/"):
            return width
    if name in ("SUM-8", "SUM-8/TWOS-COMPLEMENT", "ISO-1155"):
        return 8
    if name in ("SUM-16", "ONES-SUM-16", "INTERNET", "FLETCHER-16"):
        return 16
    return int(name.split("-")[1].split("/")[0].rstrip("C"))


def checked_layout(body_bytes, check, width, byte_order="big"):
    """A body of `body_bytes` latin-1 bytes followed by the check field."""
    return vantrel.Layout(
        [
            item("body", "latin1", 8 * body_bytes),
            item("pec", "unsigned", width, byte_order, check=check),
        ]
    )


def packed_check(layout, body):
    packet = layout.pack({"body": body.decode("latin-1")})
    return layout.unpack(packet)["pec"], packet


# ---- The checksums ------------------------------------------------------------


@pytest.mark.parametrize("name", sorted(CHECK_VALUES))
def test_catalogue_check_values(name):
    layout = checked_layout(9, name, width_of(name))
    assert packed_check(layout, b"123456789")[0] == CHECK_VALUES[name]


@pytest.mark.parametrize("name", sorted(CRCMOD_NAMES))
@settings(max_examples=25)
@given(body=st.binary(min_size=1, max_size=700), lead=st.integers(0, 15))
def test_named_crcs_match_crcmod(name, body, lead):
    oracle = crcmod.predefined.mkCrcFun(CRCMOD_NAMES[name])
    definition = crcmod.predefined.PredefinedCrc(CRCMOD_NAMES[name])
    layout = checked_layout(len(body), name, definition.digest_size * 8)
    value, packet = packed_check(layout, body)
    assert value == oracle(body)
    # Verified at any alignment in a larger buffer.
    buffer = bytes(lead) + packet + bytes(3)
    columns = layout.unpack_many(buffer, offsets=[lead], errors="mask")
    assert not columns["check_failed"][0]
    assert columns["pec"][0] == oracle(body)


@settings(max_examples=150)
@given(
    width=st.sampled_from([8, 16, 24, 32, 64]),
    data=st.data(),
    body=st.binary(min_size=1, max_size=300),
)
def test_crcs_by_parameters_match_crcmod(width, data, body):
    mask = (1 << width) - 1
    poly = data.draw(st.integers(0, mask)) | 1
    init = data.draw(st.integers(0, mask))
    xorout = data.draw(st.integers(0, mask))
    reflected = data.draw(st.booleans())
    # crcmod takes the CRC of no data: the start value (reflected for a
    # reflected CRC) xored with the final xor.
    start = int(f"{init:0{width}b}"[::-1], 2) if reflected else init
    oracle = crcmod.mkCrcFun(
        (1 << width) | poly, initCrc=start ^ xorout, rev=reflected, xorOut=xorout
    )
    check = {
        "width": width,
        "poly": poly,
        "init": init,
        "refin": reflected,
        "refout": reflected,
        "xorout": xorout,
    }
    layout = checked_layout(len(body), check, width)
    assert packed_check(layout, body)[0] == oracle(body)


def ones_sum(words, width):
    total = sum(words)
    while total >> width:
        total = (total & ((1 << width) - 1)) + (total >> width)
    return total


def words16(body):
    padded = body + bytes(len(body) % 2)
    return [int.from_bytes(padded[i : i + 2], "big") for i in range(0, len(padded), 2)]


def fletcher16(body):
    low = high = 0
    for byte in body:
        low = (low + byte) % 255
        high = (high + low) % 255
    return (high << 8) | low


SUMS = {
    "SUM-8": (8, lambda b: sum(b) & 0xFF),
    "SUM-16": (16, lambda b: sum(words16(b)) & 0xFFFF),
    "SUM-8/TWOS-COMPLEMENT": (8, lambda b: -sum(b) & 0xFF),
    "SUM-16/TWOS-COMPLEMENT": (16, lambda b: -sum(words16(b)) & 0xFFFF),
    "ONES-SUM-8": (8, lambda b: ones_sum(b, 8)),
    "ONES-SUM-16": (16, lambda b: ones_sum(words16(b), 16)),
    "ONES-SUM-16/COMPLEMENT": (16, lambda b: ~ones_sum(words16(b), 16) & 0xFFFF),
    "FLETCHER-16": (16, fletcher16),
    "ISO-1155": (8, lambda b: __import__("functools").reduce(lambda x, y: x ^ y, b, 0)),
}


@pytest.mark.parametrize("name", sorted(SUMS))
@settings(max_examples=40)
@given(body=st.binary(min_size=1, max_size=9000))
def test_sums_match_their_definitions(name, body):
    width, oracle = SUMS[name]
    assert packed_check(checked_layout(len(body), name, width), body)[0] == oracle(body)


def test_names_are_matched_loosely_and_unknown_names_refused():
    a = checked_layout(4, "crc_16/ccitt_false", 16)
    b = checked_layout(4, "CRC-16/IBM-3740", 16)
    assert a == b
    assert a.__reduce__()[1][0][1]["check"] == "CRC-16/IBM-3740"
    with pytest.raises(ValueError, match=r"recipe item 1 \('pec'\).*unknown check 'CRC-99'"):
        checked_layout(4, "CRC-99", 16)


# ---- Recipes ----------------------------------------------------------------------

HEADER = [
    item("apid", "unsigned", 16),
    item("count", "unsigned", 16),
    item("value", "twos_complement", 32),
    item("label", "utf8", 32),
]


def pec_layout(**check):
    spec = {"algorithm": "CRC-16/IBM-3740", **check} if check else "CRC-16/IBM-3740"
    return vantrel.Layout([*HEADER, item("pec", "unsigned", 16, check=spec)])


VALUES = {"apid": 0x7FF, "count": 9, "value": -5, "label": "SAFE"}


def test_refusals_name_the_item():
    with pytest.raises(ValueError, match=r"'pec'.*gives 16-bit values but the field has 8 bits"):
        vantrel.Layout([*HEADER, item("pec", "unsigned", 8, check="CRC-16/XMODEM")])
    with pytest.raises(ValueError, match=r"'pec'.*must be unsigned"):
        vantrel.Layout([*HEADER, item("pec", "twos_complement", 16, check="CRC-16/XMODEM")])
    with pytest.raises(ValueError, match=r"'pec'.*little-endian check field has whole bytes"):
        vantrel.Layout([*HEADER, item("pec", "unsigned", 5, "little", check="CRC-5/USB")])
    with pytest.raises(ValueError, match=r"'pec'.*start on a byte"):
        vantrel.Layout(
            [item("a", "unsigned", 4), item("pec", "unsigned", 16, check="CRC-16/XMODEM")]
        )
    with pytest.raises(ValueError, match=r"covers the check field itself"):
        pec_layout(start=0, stop=14)
    with pytest.raises(ValueError, match=r"passes the layout's end"):
        pec_layout(start=12, stop=40)
    with pytest.raises(ValueError, match=r"is empty"):
        pec_layout(start=4, stop=4)
    with pytest.raises(ValueError, match=r"unknown key 'begin'"):
        pec_layout(begin=2)
    with pytest.raises(ValueError, match=r"either 'algorithm' or the CRC's parameters"):
        pec_layout(width=16)
    with pytest.raises(ValueError, match=r"poly must be odd"):
        vantrel.Layout([*HEADER, item("pec", "unsigned", 16, check={"width": 16, "poly": 0x1020})])
    with pytest.raises(ValueError, match=r"no field may have that name"):
        vantrel.Layout([item("check_failed"), item("pec", "unsigned", 16, check="CRC-16/XMODEM")])
    with pytest.raises(ValueError, match=r"'pec'.*a check field is one value"):
        vantrel.Layout([item("pec", "unsigned", 16, count=2, check="CRC-16/XMODEM")])
    with pytest.raises(ValueError, match=r"'pec'.*a check field is one value"):
        vantrel.Layout(
            [item("a", bits=16), item("pec", "unsigned", 16, "21", check="CRC-16/XMODEM")]
        )
    with pytest.raises(ValueError, match=r"'pec'.*is empty"):
        vantrel.Layout(
            [
                item("n"),
                item("data", count="n"),
                item(
                    "pec",
                    "unsigned",
                    16,
                    check={"algorithm": "CRC-16/XMODEM", "start": 3, "stop": 1},
                ),
            ]
        )


def test_the_packet_functions_ignore_the_check_key():
    recipe = [*HEADER, item("pec", "unsigned", 16, check="CRC-16/IBM-3740")]
    packet = bytes(range(14))
    unpacked = vantrel.unpack_parameters(packet, 0, recipe)
    assert unpacked["pec"] == 0x0C0D  # read as a plain field, not verified


def test_pack_computes_an_omitted_check_and_keeps_a_given_one():
    layout = pec_layout()
    packet = layout.pack(VALUES)
    oracle = crcmod.predefined.mkCrcFun("crc-ccitt-false")
    assert int.from_bytes(packet[12:], "big") == oracle(packet[:12])
    assert layout.pack({**VALUES, "pec": None}) == packet
    forced = layout.pack({**VALUES, "pec": 0x1234})
    assert forced[12:] == b"\x12\x34"
    with pytest.raises(
        ValueError, match=r"packet fails|check failed: CRC-16/IBM-3740 over bytes 0 to 12"
    ):
        layout.unpack(forced)


def test_unpack_names_field_found_and_computed():
    layout = pec_layout()
    packet = bytearray(layout.pack(VALUES))
    good = int.from_bytes(packet[12:], "big")
    packet[5] ^= 0x10
    computed = crcmod.predefined.mkCrcFun("crc-ccitt-false")(bytes(packet[:12]))
    message = f"gives 0x{computed:04X} but the field holds 0x{good:04X}"
    with pytest.raises(ValueError, match=rf"recipe item 4 \('pec'\).*{message}"):
        layout.unpack(bytes(packet))
    # At a byte offset; a bit offset that is not a byte is refused.
    assert layout.unpack(b"\0\0" + layout.pack(VALUES), 16)["apid"] == 0x7FF
    with pytest.raises(ValueError, match="multiple of 8"):
        layout.unpack(b"\0\0" + layout.pack(VALUES), 12)


def test_a_range_and_two_checks_packed_in_dependency_order():
    # The packet check covers the header check's field, which comes later
    # in the recipe: it must be computed after it.
    layout = vantrel.Layout(
        [
            item("pec", "unsigned", 32, check={"algorithm": "CRC-32C", "start": 4, "stop": 14}),
            item("apid", "unsigned", 16),
            item("hec", "unsigned", 8, check={"algorithm": "CRC-8/SMBUS", "start": 4, "stop": 6}),
            item("data", "unsigned", 56),
        ]
    )
    packet = layout.pack({"apid": 0x123, "data": 0xABCDEF})
    assert packet[6] == crcmod.predefined.mkCrcFun("crc-8")(packet[4:6])
    assert int.from_bytes(packet[:4], "big") == crcmod.predefined.mkCrcFun("crc-32c")(packet[4:14])
    assert layout.unpack(packet)["data"] == 0xABCDEF
    assert pickle.loads(pickle.dumps(layout)) == layout
    assert layout != vantrel.Layout(
        [
            item("pec", "unsigned", 32, check={"algorithm": "CRC-32C", "start": 5, "stop": 14}),
            item("apid", "unsigned", 16),
            item("hec", "unsigned", 8, check={"algorithm": "CRC-8/SMBUS", "start": 4, "stop": 6}),
            item("data", "unsigned", 56),
        ]
    )


def test_little_endian_check_field():
    layout = checked_layout(5, "CRC-32/ISO-HDLC", 32, "little")
    value, packet = packed_check(layout, b"hello")
    assert packet[5:] == crcmod.predefined.mkCrcFun("crc-32")(b"hello").to_bytes(4, "little")
    assert value == crcmod.predefined.mkCrcFun("crc-32")(b"hello")


# ---- Archives ----------------------------------------------------------------------


def archive(count=40, damaged=(3, 17, 39)):
    layout = pec_layout()
    rng = np.random.default_rng(31)
    columns = {
        "apid": rng.integers(0, 2048, count),
        "count": np.arange(count),
        "value": rng.integers(-1000, 1000, count),
        "label": ["SAFE", "NOMI"] * (count // 2),
    }
    data = bytearray(layout.pack_many(columns))
    for index in damaged:
        data[index * 14 + 3] ^= 0x01  # a flipped bit in the body
    return layout, bytes(data), columns


def test_pack_many_computes_checks_as_pack_does():
    layout, data, columns = archive(damaged=())
    for i in range(0, 40, 7):
        values = {name: columns[name][i] for name in columns}
        values = {k: (v if isinstance(v, str) else int(v)) for k, v in values.items()}
        assert data[i * 14 : (i + 1) * 14] == layout.pack(values)
    with_given = layout.pack_many({**columns, "pec": np.zeros(40, "uint16")})
    assert with_given[12:14] == b"\0\0"


def test_unpack_many_raises_naming_the_packet():
    layout, data, _ = archive()
    with pytest.raises(ValueError, match=r"packet 3 at byte 42.*'pec'.*check failed"):
        layout.unpack_many(data)


@pytest.mark.parametrize("output", ["numpy", "arrow"])
def test_unpack_many_masks_failed_packets_whole(output):
    pa = pytest.importorskip("pyarrow") if output == "arrow" else None
    layout, data, columns = archive()
    result = layout.unpack_many(data, errors="mask", output=output)
    failed = [3, 17, 39]
    if output == "arrow":
        table = pa.table(result)
        assert table.column_names[-1] == "check_failed"
        assert table.schema.field("check_failed").type == pa.bool_()
        flags = table.column("check_failed").to_pylist()
        for name in ("apid", "count", "value", "label", "pec"):
            nulls = [i for i, v in enumerate(table.column(name).to_pylist()) if v is None]
            assert nulls == failed
        assert table.column("count").to_pylist()[4] == 4
    else:
        flags = list(result["check_failed"])
        for name in ("apid", "count", "value", "label", "pec"):
            assert list(np.flatnonzero(np.ma.getmaskarray(result[name]))) == failed
        assert result["count"][4] == 4
    assert [i for i, f in enumerate(flags) if f] == failed


def test_unpack_many_clean_archive_has_no_failures():
    layout, data, columns = archive(damaged=())
    result = layout.unpack_many(data, errors="mask")
    assert not result["check_failed"].any()
    assert list(result["count"]) == list(range(40))
    assert "check_failed" not in layout.unpack_many(data)


@settings(max_examples=60)
@given(flips=st.lists(st.integers(0, 40 * 14 * 8 - 1), max_size=6))
def test_every_single_bit_flip_is_found(flips):
    # CRC-16/IBM-3740 finds every error of up to 3 bits in a packet this short;
    # flipped bits in distinct packets are each found.
    layout, data, _ = archive(damaged=())
    damaged = bytearray(data)
    by_packet = {}
    for bit in flips:
        damaged[bit // 8] ^= 0x80 >> (bit % 8)
        by_packet.setdefault(bit // (14 * 8), set()).symmetric_difference_update({bit})
    expected = sorted(p for p, bits in by_packet.items() if 0 < len(bits) <= 3)
    result = layout.unpack_many(bytes(damaged), errors="mask")
    found = list(np.flatnonzero(result["check_failed"]))
    assert set(expected) <= set(found)
    assert set(found) <= {p for p, bits in by_packet.items() if bits}


# ---- Shaped layouts: arrays, word and permuted byte orders, packet_length -----------

CRC16 = crcmod.predefined.mkCrcFun("crc-ccitt-false")


def counted_layout(**pec):
    """A counted array, then a check after it: placed where the array ends."""
    return vantrel.Layout(
        [
            item("apid", "unsigned", 16),
            item("n", "unsigned", 8),
            item("samples", "unsigned", 16, count="n"),
            item("pec", "unsigned", 16, check="CRC-16/IBM-3740", **pec),
        ]
    )


@settings(max_examples=40)
@given(samples=st.lists(st.integers(0, 0xFFFF), max_size=30), apid=st.integers(0, 0xFFFF))
def test_a_check_after_a_counted_array_covers_the_packet_before_it(samples, apid):
    layout = counted_layout()
    packet = layout.pack({"apid": apid, "samples": samples})
    assert len(packet) == 3 + 2 * len(samples) + 2
    assert int.from_bytes(packet[-2:], "big") == CRC16(packet[:-2])
    assert layout.unpack(packet) == {
        "apid": apid,
        "n": len(samples),
        "samples": samples,
        "pec": CRC16(packet[:-2]),
    }
    assert layout.pack({"apid": apid, "samples": samples, "pec": None}) == packet
    damaged = bytearray(packet)
    damaged[-3 if samples else 0] ^= 0x20  # a sample bit, or the apid's
    end = len(packet) - 2
    with pytest.raises(
        ValueError,
        match=rf"recipe item 3 \('pec'\).*CRC-16/IBM-3740 over bytes 0 to {end} gives "
        rf"0x{CRC16(bytes(damaged[:-2])):04X}",
    ):
        layout.unpack(bytes(damaged))


def rest_layout():
    """A space packet whose data is a rest-of-packet array and whose trailer
    is a CRC placed from the packet's end, framed by its length field."""
    return vantrel.Layout(
        [
            item("apid", "unsigned", 16),
            item("count", "unsigned", 16),
            item("length", "unsigned", 16),
            item("data", "unsigned", 8, count="*"),
            item("pec", "unsigned", 16, check="CRC-16/IBM-3740"),
        ],
        packet_length={"offset_bits": 32, "bits": 16, "adjust": 7},
    )


def rest_archive(damaged=(2, 7)):
    layout = rest_layout()
    rng = np.random.default_rng(5)
    rows = [rng.integers(0, 256, int(rng.integers(0, 20))).tolist() for _ in range(12)]
    data = layout.pack_many({"apid": list(range(12)), "count": list(range(12)), "data": rows})
    packets, at = [], 0
    for row in rows:
        size = 6 + len(row) + 2
        packets.append(bytearray(data[at : at + size]))
        at += size
    for i in damaged:
        packets[i][6 if len(packets[i]) > 8 else 2] ^= 0x01
    return layout, packets, rows


def test_pack_many_of_a_shaped_layout_computes_checks_as_pack_does():
    layout, packets, rows = rest_archive(damaged=())
    for i, packet in enumerate(packets):
        assert CRC16(bytes(packet[:-2])) == int.from_bytes(packet[-2:], "big")
        assert bytes(packet) == layout.pack({"apid": i, "count": i, "data": rows[i]})
    given = layout.pack_many({"apid": [1], "count": [1], "data": [[5]], "pec": [0xBEEF]})
    assert given[-2:] == b"\xbe\xef"


@pytest.mark.parametrize("output", ["numpy", "arrow"])
def test_unpack_many_of_a_shaped_layout_masks_failed_packets_whole(output):
    pa = pytest.importorskip("pyarrow") if output == "arrow" else None
    layout, packets, rows = rest_archive()
    data = b"".join(map(bytes, packets))
    offsets = np.cumsum([0] + [len(p) for p in packets[:-1]])  # each packet's length field ends it
    with pytest.raises(ValueError, match=rf"packet 2 at byte {offsets[2]}.*'pec'.*check failed"):
        layout.unpack_many(data, offsets=offsets, output=output)
    result = layout.unpack_many(data, offsets=offsets, errors="mask", output=output)
    if output == "arrow":
        table = pa.table(result)
        assert table.column_names[-1] == "check_failed"
        flags = table.column("check_failed").to_pylist()
        for name in ("apid", "count", "data", "pec"):
            nulls = [i for i, v in enumerate(table.column(name).to_pylist()) if v is None]
            assert nulls == [2, 7]
        assert table.column("data").to_pylist()[3] == rows[3]
    else:
        flags = list(result["check_failed"])
        for name in ("apid", "count", "pec"):
            assert list(np.flatnonzero(np.ma.getmaskarray(result[name]))) == [2, 7]
        assert list(result["data"][3]) == rows[3]
    assert [i for i, f in enumerate(flags) if f] == [2, 7]
    clean_data = b"".join(map(bytes, rest_archive(damaged=())[1]))
    clean = layout.unpack_many(clean_data, offsets=offsets, errors="mask")
    assert not clean["check_failed"].any()


def test_a_check_beside_fixed_arrays_and_word_orders():
    layout = vantrel.Layout(
        [
            item("id", "unsigned", 32, "2143"),
            item("flags", "unsigned", 4, "little", word_bits=16),
            item("more", "unsigned", 12, "little", word_bits=16),
            item("temps", "twos_complement", 8, count=3),
            item("pec", "unsigned", 32, "little", check="CRC-32C"),
        ]
    )
    values = {"id": 0x12345678, "flags": 5, "more": 0x321, "temps": [-1, 0, 7]}
    packet = layout.pack(values)
    crc32c = crcmod.predefined.mkCrcFun("crc-32c")
    assert int.from_bytes(packet[-4:], "little") == crc32c(packet[:-4])
    assert {k: layout.unpack(packet)[k] for k in values} == values
    many = layout.pack_many({k: [v, v] for k, v in values.items()})
    assert many == packet * 2
    flipped = bytearray(many)
    flipped[len(packet) + 1] ^= 0x80
    result = layout.unpack_many(bytes(flipped), errors="mask")
    assert list(result["check_failed"]) == [False, True]
    assert np.ma.getmaskarray(result["temps"]).tolist() == [[False] * 3, [True] * 3]


def test_a_check_field_off_a_byte_in_one_packet_fails_that_packet():
    # 4-bit samples: an odd count leaves the check field half a byte along.
    layout = vantrel.Layout(
        [
            item("n", "unsigned", 8),
            item("nibbles", "unsigned", 4, count="n"),
            item("pec", "unsigned", 8, check="CRC-8/SMBUS"),
        ]
    )
    even = layout.pack({"nibbles": [1, 2]})
    assert layout.unpack(even)["pec"] == crcmod.predefined.mkCrcFun("crc-8")(even[:-1])
    with pytest.raises(ValueError, match=r"'pec'.*starts at bit 20 of this packet, not on a byte"):
        layout.pack({"nibbles": [1, 2, 3]})
    odd = bytes([3, 0x12, 0x30, 0x00])
    with pytest.raises(ValueError, match=r"'pec'.*not on a byte"):
        layout.unpack(odd)
    flags = layout.unpack_many(
        even + odd, offsets=[0, len(even)], lengths=[len(even), len(odd)], errors="mask"
    )
    assert list(flags["check_failed"]) == [False, True]


def test_a_given_range_in_a_shaped_layout():
    # The header's own check (bytes 0 to 3) before a counted array.
    layout = vantrel.Layout(
        [
            item("apid", "unsigned", 16),
            item("n", "unsigned", 8),
            item("hcrc", "unsigned", 8, check={"algorithm": "CRC-8/SMBUS", "start": 0, "stop": 3}),
            item("data", "unsigned", 8, count="n"),
            item("pec", "unsigned", 16, check="CRC-16/IBM-3740"),
        ]
    )
    packet = layout.pack({"apid": 7, "data": [1, 2, 3]})
    assert packet[3] == crcmod.predefined.mkCrcFun("crc-8")(packet[:3])
    assert int.from_bytes(packet[-2:], "big") == CRC16(packet[:-2])  # covers the header check
    assert layout.unpack(packet)["data"] == [1, 2, 3]


@pytest.mark.parametrize("shape", [{}, {"count": 3}], ids=["fixed fields", "fixed array"])
def test_pack_many_computes_a_check_given_as_none_per_row_as_pack_does(shape):
    """A check column may hold given values and None side by side: each None
    is computed for its own row, as pack computes a None, the others kept."""
    layout = vantrel.Layout(
        [item("apid", "unsigned", 16), item("data", "unsigned", 8, **shape)]
        + [item("pec", "unsigned", 16, check="CRC-16/IBM-3740")]
    )
    data = [[1, 2, 3], [4, 5, 6], [7, 8, 9]] if shape else [1, 4, 7]
    rows = {"apid": [10, 11, 12], "data": data, "pec": [None, 0xBEEF, None]}
    packed = layout.pack_many(rows)
    singles = [
        layout.pack({"apid": a, "data": d, "pec": p})
        for a, d, p in zip(rows["apid"], rows["data"], rows["pec"])
    ]
    assert packed == b"".join(singles)
    size = layout.size_bytes
    for row, packet in enumerate(packed[i : i + size] for i in range(0, len(packed), size)):
        found = int.from_bytes(packet[-2:], "big")
        assert found == (0xBEEF if row == 1 else CRC16(packet[:-2]))
