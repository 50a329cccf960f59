# ruff: noqa: E501 - one mistake a line, each with its marker
"""Calls that are wrong, each marked with the mypy error code it must raise.

tests/typing/test_typing.py checks that `mypy --strict` reports exactly these
lines, so the stub keeps catching them. Never executed.
"""

import vantrel

vantrel.decode_twos_complement("oops", 12)  # expect: arg-type
vantrel.encode_twos_complement(1.5, 8)  # expect: arg-type
vantrel.encode_packed_bcd(5, 8, signed=1)  # expect: arg-type
vantrel.decode_utf8("text")  # expect: arg-type
vantrel.encode_utf8(b"bytes")  # expect: arg-type
vantrel.encode_sign_magnitude(1)  # expect: call-arg
vantrel.encode_ieee754_f32("1.0")  # expect: arg-type
vantrel.unpack_parameters(b"", 0)  # expect: call-arg
vantrel.pack_parameters("recipe")  # expect: arg-type
# fmt: off
vantrel.pack_parameters([{"name": "x", "encoding": "unsigned", "bits": 8}])  # expect: typeddict-item
vantrel.pack_parameters([
    {"name": "x", "encoding": "utf-8", "bits": 8, "byte_order": "big", "reverse_bits": False},  # expect: typeddict-item
    {"name": "x", "encoding": "utf8", "bits": 8, "byte_order": "middle", "reverse_bits": False},  # expect: typeddict-item
    {"name": "x", "encoding": "utf8", "bits": 8, "byte_order": "big", "reverse_bits": 0},  # expect: typeddict-item
])
# fmt: on
result: int = vantrel.decode_utf8(b"")  # expect: assignment
value: int = vantrel.unpack_parameters(b"", 0, [])["x"]  # expect: assignment
vantrel.encode_twos_complement_typo(1, 8)  # expect: attr-defined
