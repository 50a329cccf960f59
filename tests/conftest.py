import pytest
from hypothesis import settings

import vantrel

# Timing varies on shared machines; a slow example is not a failure here.
settings.register_profile("vantrel", deadline=None)
settings.load_profile("vantrel")


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
