"""Text columns without a Python object per packet: unpack_many's outputs
against ccsdspy on 100,000 packets of the 17-field housekeeping layout.

Run with:  pip install ".[bench,test]" && python benchmarks/bench_columns.py [--keep-freed-memory]

(--keep-freed-memory: see allocator.py.)

The layout and packets are those of bench_archive.py (39 bytes, 16 numeric
fields and an 8-byte US-ASCII text field). Two archives: labels drawn from a
set of 100, changing every packet, and text unique in every packet. Each row
times one output form of unpack_many against ccsdspy FixedLength.load on the
same archive; every figure is the best of several repeats, all taken in one
run. The memory row is tracemalloc's peak while pyarrow.table() imports the
Arrow output of the numeric fields, against the bytes of those columns.
"""

import gc
import io
import sys
import tracemalloc
from pathlib import Path

import numpy as np

sys.path.insert(0, str(Path(__file__).parent))
import bench_archive as archive  # noqa: E402
from allocator import choose_from_arguments  # noqa: E402

try:
    import pyarrow as pa
except ImportError:
    sys.exit("pip install pyarrow (or the test extras) to run this benchmark")

PACKETS = archive.PACKETS


def label_values(rng):
    labels = [f"L{i:03d}".ljust(8) for i in range(100)]
    return [labels[k] for k in rng.integers(0, 100, PACKETS)]


def main():
    setting = choose_from_arguments()
    rng = np.random.default_rng(7)
    layout = archive.vantrel.Layout(archive.recipe(archive.HEADER + archive.BODY + [archive.TEXT]))
    numeric = archive.vantrel.Layout(archive.recipe(archive.HEADER + archive.BODY))
    values = archive.columns(rng)
    archives = {
        "labels from 100, changing every packet": layout.pack_many(
            dict(values, mode=label_values(rng))
        ),
        "text unique in every packet": layout.pack_many(
            dict(values, mode=[f"M{i:07d}" for i in range(PACKETS)])
        ),
    }
    peer = archive.ccsdspy_definition(archive.BODY + [archive.TEXT])
    forms = [
        ("default (object str)", {}),
        ("output='arrow'", {"output": "arrow"}),
        ("pyarrow.table(output='arrow')", None),
        ("text_dtype=StringDType", {"text_dtype": "T"}),
        ("text_dtype='S' (raw bytes)", {"text_dtype": "S"}),
    ]
    version = archive.ccsdspy.__version__
    print(
        f"{PACKETS:,} packets of {layout.size_bytes} bytes, 17 fields; ccsdspy {version}; {setting}"
    )
    calls = {}
    for title, data in archives.items():
        # The outputs must agree before they are timed.
        expected = layout.unpack_many(data)
        table = pa.table(layout.unpack_many(data, output="arrow"))
        assert table.column("mode").to_pylist() == expected["mode"].tolist()
        strings = layout.unpack_many(data, text_dtype="T")["mode"]
        assert strings.tolist() == expected["mode"].tolist()
        theirs = peer.load(io.BytesIO(data), include_primary_header=True)
        assert [raw.decode() for raw in theirs["mode"]] == expected["mode"].tolist()
        calls[title, "ccsdspy"] = lambda data=data: peer.load(
            io.BytesIO(data), include_primary_header=True
        )
        for name, kwargs in forms:
            if kwargs is None:
                calls[title, name] = lambda data=data: pa.table(
                    layout.unpack_many(data, output="arrow")
                )
            else:
                calls[title, name] = lambda data=data, kw=kwargs: layout.unpack_many(data, **kw)
    # Every call takes its turn, round after round, so that a busy moment of
    # the machine or the allocator's warm-up falls on all of them alike.
    best = dict.fromkeys(calls, float("inf"))
    for _ in range(15):
        for key, call in calls.items():
            best[key] = min(best[key], archive.best(call, repeat=1 if key[1] == "ccsdspy" else 3))
    for title in archives:
        t_peer = best[title, "ccsdspy"]
        print(f"\n{title}: ccsdspy FixedLength.load {t_peer * 1e3:.2f} ms")
        for name, _ in forms:
            t = best[title, name]
            print(f"  {name:32} {t * 1e3:7.2f} ms   {t_peer / t:5.1f}x ccsdspy")

    data = next(iter(archives.values()))
    columns_bytes = sum(column.nbytes for column in numeric.unpack_many(data, stride=39).values())
    pa.table(numeric.unpack_many(data[:390], stride=39, output="arrow"))
    gc.collect()
    tracemalloc.start()
    table = pa.table(numeric.unpack_many(data, stride=39, output="arrow"))
    peak = tracemalloc.get_traced_memory()[1]
    tracemalloc.stop()
    assert table.num_rows == PACKETS
    print(
        f"\nArrow export of the 16 numeric columns: tracemalloc peak {peak / 1e6:.2f} MB, "
        f"columns {columns_bytes / 1e6:.2f} MB ({peak / columns_bytes:.2f}x)"
    )


if __name__ == "__main__":
    main()
