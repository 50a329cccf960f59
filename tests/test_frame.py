"""The calling frame: module layout, argument binding and conversion, error mapping."""

import importlib.util
import subprocess
import sys

import numpy as np
import pytest

import vantrel

EXPECTED_SIGNATURES = {
    "unpack_parameters": "(packet_bytes, offset_bits, recipe)",
    "pack_parameters": "(recipe)",
    "decode_ones_complement": "(value, bits)",
    "decode_unpacked_bcd": "(value, bits, signed=False)",
    "decode_ieee754_f128": "(value)",
    "decode_ti_f40": "(_value)",
    "decode_utf32be": "(bytes)",
    "encode_packed_bcd": "(value, bits, signed=False)",
    "encode_ieee754_f16": "(value)",
    "encode_ti_f40": "(_value)",
    "encode_utf32be": "(text)",
}


def test_module_layout():
    names = vantrel.__all__
    assert len(names) == 62 == len(set(names))
    assert names[:3] == ["unpack_parameters", "pack_parameters", "decode_ones_complement"]
    assert names[-1] == "encode_utf32be"
    assert names.index("decode_utf32be") == 31 and names.index("encode_ones_complement") == 32
    assert vantrel.__doc__ == ""
    assert not hasattr(vantrel, "encoder") and not hasattr(vantrel, "PanicException")
    for name in names:
        function = getattr(vantrel, name)
        assert function.__name__ == name
        assert function.__module__ == "vantrel"
        assert function.__self__ is vantrel
        assert function.__doc__ is None


@pytest.mark.parametrize(("name", "signature"), EXPECTED_SIGNATURES.items())
def test_text_signatures(name, signature):
    assert getattr(vantrel, name).__text_signature__ == signature


def test_every_signature_lists_its_parameters():
    for name in vantrel.__all__:
        signature = getattr(vantrel, name).__text_signature__
        assert signature.startswith("(") and signature.endswith(")")
        if name.startswith("decode_utf") or name.startswith("decode_") and "ascii" in name:
            assert signature == "(bytes)"


f = vantrel.encode_twos_complement
bcd = vantrel.encode_packed_bcd

BINDING_ERRORS = [
    (lambda: f(1, 8, 9), "encode_twos_complement() takes 2 positional arguments but 3 were given"),
    (
        lambda: vantrel.pack_parameters([], []),
        "pack_parameters() takes 1 positional arguments but 2 were given",
    ),
    (
        lambda: bcd(1, 8, True, 0),
        "encode_packed_bcd() takes from 2 to 3 positional arguments but 4 were given",
    ),
    (lambda: f(1, value=2), "encode_twos_complement() got multiple values for argument 'value'"),
    (
        lambda: f(1, 8, width=3),
        "encode_twos_complement() got an unexpected keyword argument 'width'",
    ),
    (
        lambda: vantrel.encode_sign_magnitude(1),
        "encode_sign_magnitude() missing 1 required positional argument: 'bits'",
    ),
    (
        lambda: f(),
        "encode_twos_complement() missing 2 required positional arguments: 'value' and 'bits'",
    ),
    (
        lambda: vantrel.unpack_parameters(),
        "unpack_parameters() missing 3 required positional arguments: "
        "'packet_bytes', 'offset_bits', and 'recipe'",
    ),
    (
        lambda: bcd(signed=True),
        "encode_packed_bcd() missing 2 required positional arguments: 'value' and 'bits'",
    ),
    (
        lambda: vantrel.encode_ti_f32(),
        "encode_ti_f32() missing 1 required positional argument: '_value'",
    ),
]


@pytest.mark.parametrize(("call", "message"), BINDING_ERRORS)
def test_binding_errors(call, message):
    with pytest.raises(TypeError) as info:
        call()
    assert str(info.value) == message


class Index:
    def __init__(self, value):
        self.value = value

    def __index__(self):
        return self.value


class Boom(Exception):
    pass


class ExplodingIndex:
    def __index__(self):
        raise Boom("no index")


CONVERSION_ERRORS = [
    # (call, exception type, exact message or prefix ending in "...")
    (lambda: f(1, 4294967296), OverflowError, "out of range integral type conversion attempted"),
    (lambda: f(1, -1), OverflowError, "out of range integral type conversion attempted"),
    (lambda: f(2**63, 8), OverflowError, None),
    (lambda: vantrel.decode_twos_complement(-1, 8), OverflowError, None),
    (lambda: vantrel.decode_twos_complement(2**64, 8), OverflowError, None),
    (lambda: vantrel.decode_ieee754_f128(-1), OverflowError, None),
    (lambda: vantrel.decode_ieee754_f128(2**128), OverflowError, None),
    (
        lambda: f(1.5, 8),
        TypeError,
        "argument 'value': 'float' object cannot be interpreted as an integer",
    ),
    (lambda: f("1", 8), TypeError, "argument 'value': ..."),
    (lambda: f(1, None), TypeError, "argument 'bits': ..."),
    (
        lambda: bcd(5, 8, signed=1),
        TypeError,
        "argument 'signed': 'int' object cannot be cast as 'bool'",
    ),
    (
        lambda: bcd(5, 8, None),
        TypeError,
        "argument 'signed': 'NoneType' object cannot be cast as 'bool'",
    ),
    (
        lambda: vantrel.decode_utf8(bytearray(b"a")),
        TypeError,
        "argument 'bytes': 'bytearray' object cannot be cast as 'bytes'",
    ),
    (
        lambda: vantrel.decode_utf8(memoryview(b"a")),
        TypeError,
        "argument 'bytes': 'memoryview' object cannot be cast as 'bytes'",
    ),
    (
        lambda: vantrel.encode_utf8(b"a"),
        TypeError,
        "argument 'text': 'bytes' object cannot be cast as 'str'",
    ),
    (lambda: vantrel.encode_utf8("\ud800"), UnicodeEncodeError, None),
    (lambda: vantrel.encode_ti_f32("x"), TypeError, "argument '_value': ..."),
    (lambda: vantrel.encode_ieee754_f64(10**400), OverflowError, None),
    (
        lambda: vantrel.pack_parameters("abc"),
        TypeError,
        "argument 'recipe': Can't extract `str` to `Vec`",
    ),
    (
        lambda: vantrel.pack_parameters(5),
        TypeError,
        "argument 'recipe': 'int' object cannot be cast as 'Sequence'",
    ),
    (
        lambda: vantrel.pack_parameters({"a": 1}),
        TypeError,
        "argument 'recipe': 'dict' object cannot be cast as 'Sequence'",
    ),
    (lambda: vantrel.unpack_parameters(b"", -1, []), OverflowError, None),
    (
        lambda: vantrel.unpack_parameters(bytearray(), 0, []),
        TypeError,
        "argument 'packet_bytes': 'bytearray' object cannot be cast as 'bytes'",
    ),
    (lambda: f(ExplodingIndex(), 8), Boom, "no index"),
]


@pytest.mark.parametrize(("call", "kind", "message"), CONVERSION_ERRORS)
def test_conversion_errors(call, kind, message):
    with pytest.raises(BaseException) as info:
        call()
    assert type(info.value) is kind
    if message is None:
        return
    if message.endswith("..."):
        assert str(info.value).startswith(message[:-3])
    else:
        assert str(info.value) == message


def test_prefixed_type_error_keeps_the_original_cause():
    class CausedIndex:
        def __index__(self):
            try:
                raise KeyError("root")
            except KeyError as root:
                raise TypeError("bad index") from root

    with pytest.raises(TypeError) as info:
        f(CausedIndex(), 8)
    assert str(info.value) == "argument 'value': bad index"
    assert isinstance(info.value.__cause__, KeyError)


def test_first_failing_argument_stops_conversion():
    seen = []

    class Tracking:
        def __index__(self):
            seen.append("bits")
            return 8

    with pytest.raises(TypeError, match="argument 'value'"):
        f("x", Tracking())
    assert seen == []


@pytest.mark.parametrize(
    ("value", "accepted"),
    [
        (True, True),
        (False, True),
        (np.bool_(True), True),
        (np.bool_(False), True),
        (1, False),
        (0, False),
        (None, False),
        ("True", False),
        (np.int64(1), False),
    ],
)
def test_strict_bool(value, accepted):
    if accepted:
        assert bcd(5, 8, signed=value) == (0x5C if bool(value) else 5)
    else:
        with pytest.raises(TypeError, match="^argument 'signed': "):
            bcd(5, 8, signed=value)


def test_keywords_and_defaults():
    assert f(value=-1, bits=8) == 255
    assert f(bits=8, value=-1) == 255
    assert bcd(5, 8) == bcd(5, 8, False) == bcd(5, bits=8, signed=False)


@pytest.mark.parametrize("value", [True, np.int64(-3), np.uint8(200), Index(-5)])
def test_integer_arguments_accept_index(value):
    assert vantrel.decode_twos_complement(f(value, 16), 16) == int(value)


def test_subclasses_of_bytes_and_str_are_accepted():
    class Text(str):
        pass

    class Blob(bytes):
        pass

    assert vantrel.encode_utf8(Text("abc")) == b"abc"
    assert vantrel.unpack_parameters(Blob(b""), 0, []) == {}


def test_float_arguments():
    assert vantrel.encode_ieee754_f32(1) == 0x3F800000
    assert vantrel.encode_ieee754_f64(Index(2)) == 0x4000000000000000

    class Real:
        def __float__(self):
            return 0.5

    assert vantrel.encode_ieee754_f64(Real()) == 0x3FE0000000000000


def test_panic_is_not_an_exception(panic_exception_type):
    assert issubclass(panic_exception_type, BaseException)
    assert not issubclass(panic_exception_type, Exception)
    assert panic_exception_type.__bases__ == (BaseException,)
    item = {
        "name": "x",
        "encoding": "unsigned",
        "bits": 9,
        "byte_order": "big",
        "reverse_bits": False,
    }
    caught = None
    try:
        try:
            vantrel.unpack_parameters(b"\x00", 0, [item])
        except Exception:  # noqa: BLE001 - must not catch the panic
            pytest.fail("PanicException was caught by an Exception handler")
    except BaseException as exc:  # noqa: BLE001
        caught = exc
    assert type(caught) is panic_exception_type
    assert caught.args == ("range end index 2 out of range for slice of length 1",)
    # The module keeps working after a fault.
    assert vantrel.unpack_parameters(b"\x07", 0, [dict(item, bits=8)]) == {"x": 7}


def test_second_initialisation_fails():
    script = (
        "import sys, importlib.util, vantrel\n"
        "found = importlib.util.find_spec('vantrel')\n"
        "del sys.modules['vantrel']\n"
        "try:\n"
        "    importlib.util.module_from_spec(found)\n"
        "except ImportError as exc:\n"
        "    print('ImportError', exc)\n"
    )
    assert importlib.util.find_spec("vantrel") is not None
    result = subprocess.run(
        [sys.executable, "-c", script], capture_output=True, text=True, check=True
    )
    assert result.stdout.startswith("ImportError")
