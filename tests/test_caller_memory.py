"""Reading what callers can change: buffers written while they are decoded,
typed columns of any item size and byte order, lists emptied by their own
values, framing arithmetic, and exceptions that must not be rewrapped."""

import ctypes
import mmap
import os
import random
import subprocess
import sys
import textwrap
import threading

import pytest
from hypothesis import given, settings
from hypothesis import strategies as st

import vantrel
from recipe_helpers import item

np = pytest.importorskip("numpy")


# ---- Text decoded from memory that another writer changes -----------------


def consistent_text(value):
    """A str whose flags agree with its characters (isascii is computed from
    the flags the decoder set, max() from the characters themselves)."""
    return value.isascii() == (not value or max(value) < "\x80")


@pytest.mark.parametrize("encoding", ["us_ascii", "iso_8859_1", "windows_1252", "utf8"])
def test_text_read_while_a_thread_writes_the_buffer(encoding):
    size = 1 << 17  # long enough to be filled with the interpreter lock released
    layout = vantrel.Layout([item("t", encoding, 8 * size)])
    buffer = bytearray(b"A" * size)
    stop = threading.Event()

    def writer():
        while not stop.is_set():
            buffer[-1] = 0xC3
            buffer[size // 2] = 0xA9
            buffer[-1] = 0x41
            buffer[size // 2] = 0x41

    thread = threading.Thread(target=writer)
    thread.start()
    try:
        for _ in range(40):
            for read in (
                lambda: layout.unpack(buffer)["t"],
                lambda: layout.unpack_many(buffer, errors="mask")["t"][0],
            ):
                try:
                    value = read()
                except ValueError:
                    continue  # a torn read may be malformed: refused, never corrupt
                if value is np.ma.masked:
                    continue
                assert len(value) <= size and consistent_text(value)
    finally:
        stop.set()
        thread.join()


WRITER = textwrap.dedent(
    """
    import mmap, random, sys
    with open(sys.argv[1], "r+b") as f, mmap.mmap(f.fileno(), 0) as m:
        sys.stdout.write("ready\\n"); sys.stdout.flush()
        rng = random.Random(1)
        while True:
            i = rng.randrange(len(m))
            m[i] = rng.choice(b"AZ\\xc3\\xa9\\xe2\\x82\\xac\\xf0\\x9f\\xff")
    """
)


def test_archive_read_while_another_process_writes_the_file(tmp_path):
    """A recorder still writing the file that unpack_many maps."""
    width, count = 24, 4000
    layout = vantrel.Layout([item("label", "utf8", 8 * width), item("n", "unsigned", 8)])
    path = tmp_path / "recording.bin"
    path.write_bytes(b"\xc3\xa9" * (width // 2 * count) + bytes(count))
    stride = width + 1
    writer = subprocess.Popen(
        [sys.executable, "-c", WRITER, str(path)], stdout=subprocess.PIPE, text=True
    )
    try:
        assert writer.stdout.readline() == "ready\n"
        with open(path, "rb") as f, mmap.mmap(f.fileno(), 0, access=mmap.ACCESS_READ) as data:
            for _ in range(30):
                labels = layout.unpack_many(data, stride=stride, count=count - 1, errors="mask")
                for value in labels["label"].compressed():
                    assert len(value.encode("utf-8")) == width and consistent_text(value)
    finally:
        writer.kill()
        writer.wait()


# ---- pack_many's columns ----------------------------------------------------


class PyBuffer(ctypes.Structure):
    _fields_ = [
        ("buf", ctypes.c_void_p),
        ("obj", ctypes.c_void_p),
        ("len", ctypes.c_ssize_t),
        ("itemsize", ctypes.c_ssize_t),
        ("readonly", ctypes.c_int),
        ("ndim", ctypes.c_int),
        ("format", ctypes.c_char_p),
        ("shape", ctypes.POINTER(ctypes.c_ssize_t)),
        ("strides", ctypes.POINTER(ctypes.c_ssize_t)),
        ("suboffsets", ctypes.c_void_p),
        ("internal", ctypes.c_void_p),
    ]


def exporter(raw, format, itemsize):
    """A memoryview exporting `raw` with any format and item size, as a
    foreign exporter (numpy on Windows: int32 as 'l' of 4 bytes) may."""
    memory = ctypes.create_string_buffer(bytes(raw), len(raw))
    shape = (ctypes.c_ssize_t * 1)(len(raw) // itemsize)
    strides = (ctypes.c_ssize_t * 1)(itemsize)
    view = PyBuffer(
        ctypes.addressof(memory), None, len(raw), itemsize, 1, 1, format, shape, strides, None, None
    )
    make = ctypes.pythonapi.PyMemoryView_FromBuffer
    make.restype, make.argtypes = ctypes.py_object, [ctypes.POINTER(PyBuffer)]
    result = make(ctypes.byref(view))
    keep = (memory, shape, strides, format)  # the memoryview does not own them
    return result, keep


WIDE = vantrel.Layout([item("v", "twos_complement", 64)])


@pytest.mark.parametrize(
    ("raw", "format", "itemsize", "values"),
    [
        (np.array([1, 2, -3], "<i4").tobytes(), b"<l", 4, [1, 2, -3]),
        (np.array([1, 2, -3], ">i4").tobytes(), b">l", 4, [1, 2, -3]),
        (np.array([1, 2, 65535], ">u2").tobytes(), b">H", 2, [1, 2, 65535]),
        (np.array([7, -1], "<i8").tobytes(), b"<q", 8, [7, -1]),
        (np.array([7, 2**31], "<u4").tobytes(), b"=L", 4, [7, 2**31]),
    ],
)
def test_typed_columns_are_read_by_item_size_and_byte_order(raw, format, itemsize, values):
    column, _keep = exporter(raw, format, itemsize)
    assert WIDE.pack_many({"v": column}) == WIDE.pack_many({"v": values})


@pytest.mark.parametrize("dtype", [">u2", ">i4", "<i2", ">f4", ">f8", "f2", "bool", "u1"])
def test_every_numpy_dtype_packs_like_a_list_of_its_values(dtype):
    values = np.arange(-3, 5).astype(dtype)
    for encoding, bits in [("ieee754_f64", 64), ("ieee754_f32", 32), ("twos_complement", 16)]:
        layout = vantrel.Layout([item("v", encoding, bits)])
        as_list = [v.item() for v in values]
        try:
            expected = layout.pack_many({"v": as_list})
        except ValueError as error:
            with pytest.raises(ValueError, match="row 0"):
                layout.pack_many({"v": values})
            assert "row" in str(error)
            continue
        assert layout.pack_many({"v": values}) == expected


def test_columns_must_be_sequences_or_arrays():
    layout = vantrel.Layout([item("a", "unsigned", 8)])
    for column in ["abc", {1, 2}, (i for i in range(3)), {1: 2}]:
        with pytest.raises(TypeError, match="column 'a' must be a sequence of values"):
            layout.pack_many({"a": column})
    assert layout.pack_many({"a": (1, 2)}) == layout.pack_many({"a": b"\x01\x02"}) == b"\x01\x02"


def test_a_value_that_empties_its_own_column():
    layout = vantrel.Layout([item("a", "unsigned", 8)])
    column = []

    class Emptying:
        def __index__(self):
            column.clear()
            return 1

    column.extend([Emptying()] + [2] * 1000)
    assert layout.pack_many({"a": column}) == b"\x01" + b"\x02" * 1000


@pytest.mark.parametrize("raised", [KeyboardInterrupt, SystemExit, MemoryError])
def test_interrupts_pass_through_pack_many_unwrapped(raised):
    class Raising:
        def __index__(self):
            raise raised

    layout = vantrel.Layout([item("a", "unsigned", 8)])
    for call in (
        lambda: layout.pack_many({"a": [1, Raising()]}),
        lambda: layout.pack({"a": Raising()}),
        lambda: vantrel.pack_parameters([item("a", "unsigned", 8, value=Raising())]),
    ):
        with pytest.raises(raised):
            call()


# ---- Framing arithmetic -----------------------------------------------------


def little_endian_header(bits, offset, length, junk):
    """Header bits whose little-endian field of `bits` bits at `offset` reads
    as `length`, with `junk` in the bits above the width that the swap brings
    in (they must be dropped, as a layout drops them)."""
    size = (bits + 7) // 8
    swapped = int.from_bytes((length | junk << bits).to_bytes(size, "little"), "big")
    assert swapped < 2**bits
    return swapped


@settings(max_examples=60, deadline=None)
@given(st.integers(9, 63), st.integers(0, 7), st.randoms(use_true_random=False))
def test_little_endian_length_fields_frame_as_a_layout_reads_them(bits, offset, rng):
    field = vantrel.Layout([item("n", "unsigned", bits, byte_order="little", offset_bits=offset)])
    header = (offset + bits + 7) // 8
    size = (bits + 7) // 8
    # Lengths whose low byte fits in the top byte the field has.
    top = 2 ** (bits - 8 * (size - 1))
    lengths = [n for n in range(header, min(header + 1100, 2**bits)) if n % 256 < top]
    stream = b""
    while len(stream) < 3000:
        total = rng.choice(lengths)
        junk = rng.randrange(2 ** (8 * size - bits))
        pattern = little_endian_header(bits, offset, total, junk)
        head = int.from_bytes(rng.randbytes(header), "big")
        shift = 8 * header - offset - bits
        head = head & ~((2**bits - 1) << shift) | pattern << shift
        packet = head.to_bytes(header, "big") + rng.randbytes(total - header)
        assert field.unpack(packet)["n"] == total
        stream += packet
    starts = vantrel.split_packets(
        stream, length_offset_bits=offset, length_bits=bits, byte_order="little"
    )
    walked, position = [], 0
    while position < len(stream):
        walked.append(position)
        position += field.unpack(stream, 8 * position)["n"]
    assert list(starts) == walked


def test_framing_refuses_what_it_cannot_frame_and_says_so_unwrapped():
    packet = bytes([0x01, 0x10]) + bytes(254)
    starts = vantrel.split_packets(
        packet * 17, length_offset_bits=0, length_bits=12, byte_order="little"
    )
    assert list(starts) == [256 * i for i in range(17)]
    with pytest.raises(ValueError, match="total length of 1 bytes .* ends before the end of its"):
        vantrel.split_packets(bytes([0, 1, 5, 0, 0, 0]), length_offset_bits=8, length_bits=8)
    with pytest.raises(ValueError, match="gives 23058430092136939519 bytes but only 8 remain"):
        vantrel.split_packets(
            b"\xff" * 8, length_offset_bits=0, length_bits=64, length_adjust=2**62
        )


def test_offsets_and_strides_are_checked_before_they_can_mislead():
    layout = vantrel.Layout([item("a", "unsigned", 8)])
    with pytest.raises(ValueError, match=r"offsets\[1\] is 9223372036854775808: past the end"):
        layout.unpack_many(b"ab", offsets=np.array([0, 2**63], dtype=np.uint64))
    with pytest.raises(ValueError, match=r"^stride must be at least 1 byte$"):
        layout.unpack_many(b"ab", stride=0)
    empty = vantrel.Layout([item("a", "unsigned", 0)])
    with pytest.raises(ValueError, match="the layout has no size of its own"):
        empty.unpack_many(b"ab")
    assert list(layout.unpack_many(b"ab", offsets=np.array([1], dtype=np.uint64))["a"]) == [98]


def test_random_writes_never_break_unpack_many_on_mutable_numpy_memory():
    """Numeric columns may be decoded without the lock; text columns copy."""
    layout = vantrel.Layout([item("n", "unsigned", 16), item("t", "utf16", 32)])
    data = np.frombuffer(bytearray(os.urandom(6 * 500)), dtype=np.uint8)
    rng = random.Random(3)
    for _ in range(20):
        data[rng.randrange(data.size)] = rng.randrange(256)
        columns = layout.unpack_many(data, errors="mask")
        assert all(consistent_text(v) for v in columns["t"].compressed())
