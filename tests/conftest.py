import pytest

import vantrel


@pytest.fixture(scope="session")
def panic_exception_type():
    """The PanicException type, which the module does not export."""
    try:
        vantrel.unpack_parameters(
            b"",
            0,
            [
                {
                    "name": "x",
                    "encoding": "unsigned",
                    "bits": 8,
                    "byte_order": "big",
                    "reverse_bits": False,
                }
            ],
        )
    except BaseException as exc:  # noqa: BLE001 - the type is what we want
        return type(exc)
    raise AssertionError("a packet too short for its field must fault")
