"""The written parts of the stub: the entries of the 23 refusing functions,
from one table, and the encoding name literals, from the module's encoding
table (tools/encoding_names.py).

Every refusing function has the same documentation but for its format and
direction, so src/vantrel.pyi holds them between marker lines and this
script writes them:

    python tools/refusal_stubs.py           # rewrite the marked blocks and literals
    python tools/refusal_stubs.py --check   # exit 1 when they are out of date

tests/test_encoding_names.py runs the check and compares every message with
what the module raises.
"""

import pathlib
import runpy
import sys

STUB = pathlib.Path(__file__).resolve().parent.parent / "src" / "vantrel.pyi"

# (function name without its direction, the format as messages name it)
DECODERS = [
    ("ieee754_1985_f32", "IEEE 754-1985 f32"),
    ("ieee754_1985_f64", "IEEE 754-1985 f64"),
    ("ieee754_1985_f80", "IEEE 754-1985 f80"),
    ("mil_std_1750a_f32", "MIL-STD-1750A f32"),
    ("mil_std_1750a_f48", "MIL-STD-1750A f48"),
    ("dec_f32", "DEC f32"),
    ("dec_f64", "DEC f64"),
    ("ibm_f32", "IBM f32"),
    ("ibm_f64", "IBM f64"),
    ("ti_f32", "TI f32"),
    ("ti_f40", "TI f40"),
]
ENCODERS = [("ieee754_f128", "IEEE 754 f128")] + DECODERS

DECODER = '''def decode_{name}(_value: SupportsIndex) -> NoReturn:
    """Not implemented: always raises NotImplementedError.

    The {label} format has no decoder yet. The argument is still checked first.

    Args:
        _value: A pattern, 0 to 2**64 - 1 (unused).

    Raises:
        NotImplementedError: Always, "{message}".
        TypeError: _value is not an int.
        OverflowError: _value is negative or above 2**64 - 1.
    """
'''

ENCODER = '''def encode_{name}(_value: SupportsFloat | SupportsIndex) -> NoReturn:
    """Not implemented: always raises NotImplementedError.

    The {label} format has no encoder yet. The argument is still checked first.

    Args:
        _value: A number (unused).

    Raises:
        NotImplementedError: Always, "{message}".
        TypeError: _value is not a number.
        OverflowError: _value is an int too large for a float.
    """
'''


def decoder_message(label):
    return f"{label} format not yet implemented"


def encoder_message(label):
    return f"{label} encoding not yet implemented"


def refusals():
    """(function name, the message it raises) for every refusing function."""
    return [(f"decode_{n}", decoder_message(label)) for n, label in DECODERS] + [
        (f"encode_{n}", encoder_message(label)) for n, label in ENCODERS
    ]


def block(template, entries, message):
    return "\n".join(
        template.format(name=name, label=label, message=message(label)) for name, label in entries
    )


def marked(direction):
    return (
        f"# ---- refusing {direction} (written by tools/refusal_stubs.py) ----\n",
        f"# ---- end of refusing {direction} ----\n",
    )


def render(text):
    for direction, template, entries, message in [
        ("decoders", DECODER, DECODERS, decoder_message),
        ("encoders", ENCODER, ENCODERS, encoder_message),
    ]:
        begin, end = marked(direction)
        head, found, rest = text.partition(begin)
        if not found:
            raise SystemExit(f"{STUB}: no line {begin.strip()!r}")
        _, found, tail = rest.partition(end)
        if not found:
            raise SystemExit(f"{STUB}: no line {end.strip()!r}")
        text = head + begin + "\n" + block(template, entries, message) + "\n" + end + tail
    return text


def encoding_literals(text):
    """The stub with its PackEncoding and Encoding literals written from the table."""
    path = pathlib.Path(__file__).resolve().parent / "encoding_names.py"
    return runpy.run_path(str(path))["written_stub"](text)


def main(argv):
    current = STUB.read_text(encoding="utf-8")
    wanted = encoding_literals(render(current))
    if "--check" in argv:
        if wanted != current:
            print(f"{STUB} is out of date: run python tools/refusal_stubs.py", file=sys.stderr)
            return 1
        return 0
    STUB.write_text(wanted, encoding="utf-8")
    return 0


if __name__ == "__main__":
    sys.exit(main(sys.argv[1:]))
