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


@pytest.fixture(scope="module")
def dask_cluster():
    """The address of a cluster as a user starts it, with dask's defaults
    (the nanny's trim setting and the profiler too): 2 worker processes."""
    distributed = pytest.importorskip("dask.distributed")
    with distributed.LocalCluster(
        n_workers=2, threads_per_worker=1, processes=True, dashboard_address=None
    ) as cluster:
        yield cluster.scheduler_address
