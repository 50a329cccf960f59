"""Decode a fixed-length packet archive with dask, one byte range per task.

Each task memory-maps its own byte range of the file and decodes it with
Layout.unpack_many; dask concatenates the chunks into one dask array per
parameter. The same code runs on a laptop's threads or a cluster (layouts
pickle, so tasks ship to worker processes).

Run with:  pip install ".[numpy]" dask && python examples/dask_archive.py [packets]
"""

import os
import sys
import tempfile

import dask
import dask.array as da
import numpy as np
from archive import HOUSEKEEPING, housekeeping_columns


def decode_range(path, layout, first_byte, packets):
    """One task: the columns of `packets` packets from `first_byte` of the file."""
    data = np.memmap(
        path, dtype=np.uint8, mode="r", offset=first_byte, shape=(packets * layout.size_bytes,)
    )
    return layout.unpack_many(data)


def decode_with_dask(path, layout, packets_per_chunk=100_000):
    """A dict of dask arrays, one per field, over every packet of the file."""
    stride = layout.size_bytes
    size = os.path.getsize(path)
    if size % stride:
        raise ValueError(f"{path} holds {size} bytes, not whole packets of {stride} bytes")
    total = size // stride
    dtypes = {name: column.dtype for name, column in layout.unpack_many(b"").items()}
    chunks = {name: [] for name in dtypes}
    for first in range(0, total, packets_per_chunk):
        count = min(packets_per_chunk, total - first)
        part = dask.delayed(decode_range)(path, layout, first * stride, count)
        for name, dtype in dtypes.items():
            chunks[name].append(da.from_delayed(part[name], shape=(count,), dtype=dtype))
    return {name: da.concatenate(parts) for name, parts in chunks.items()}


def main():
    packets = int(sys.argv[1]) if len(sys.argv) > 1 else 1_000_000
    with tempfile.TemporaryDirectory() as folder:
        path = os.path.join(folder, "housekeeping.bin")
        with open(path, "wb") as out:
            out.write(HOUSEKEEPING.pack_many(housekeeping_columns(packets)))
        columns = decode_with_dask(path, HOUSEKEEPING, packets_per_chunk=max(1, packets // 8))
        temperature = columns["temperature"]
        print(f"{packets:,} packets in {temperature.npartitions} chunks")
        low, high, voltage = dask.compute(
            temperature.min(), temperature.max(), columns["bus_voltage"].mean()
        )
        print(f"temperature {low} .. {high}, mean bus voltage {voltage:.3f} V")


if __name__ == "__main__":
    main()
