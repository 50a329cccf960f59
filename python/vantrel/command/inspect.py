"""`vantrel inspect`: counts and sizes per APID, sequence gaps, damaged ranges
and time spans, as a readable table."""

from __future__ import annotations

import os
import sys
from typing import Any

import vantrel

from . import definitions as definitions_module
from .common import check_inputs
from .engine import DEFAULT_CHUNK_BYTES, Job, chunk_view, plan, run_chunk
from .learning import SAMPLE_BYTES, describe, learned_definitions
from .running import Progress

EXIT_DAMAGE = 3
SHOWN_RANGES = 20
# Time spans are given to the second, or to the finest unit they need.
TIME_UNITS = (("s", 10**9), ("ms", 10**6), ("us", 10**3), ("ns", 1))


def field_layout(name: str, position: dict[str, int], byte_order: str) -> vantrel.Layout:
    return vantrel.Layout(
        [
            {
                "name": name,
                "encoding": "unsigned",
                "bits": position["bits"],
                "byte_order": byte_order,
                "reverse_bits": False,
                "offset_bits": position["offset_bits"],
            }
        ]
    )


def has_check(layout: vantrel.Layout) -> bool:
    """Whether a layout has a check field (its recipe, as pickling gives it)."""
    return any("check" in item for item in layout.__reduce__()[1][0])


def table(headers: list[str], rows: list[list[Any]], right: set[int]) -> str:
    cells = [headers] + [[str(c) for c in row] for row in rows]
    widths = [max(len(row[i]) for row in cells) for i in range(len(headers))]
    lines = []
    for row in cells:
        parts = [
            c.rjust(w) if i in right else c.ljust(w) for i, (c, w) in enumerate(zip(row, widths))
        ]
        lines.append("  ".join(parts).rstrip())
    return "\n".join(lines)


def inspect_command(args) -> int:
    import numpy as np

    check_inputs([args.archive] + ([args.definitions] if args.definitions else []))
    definitions = definitions_module.load_or_ccsds(args.definitions)
    definitions, learned = learned_definitions(definitions, [args.archive])
    work = plan([args.archive], definitions, args.chunk_size or DEFAULT_CHUNK_BYTES)
    size = os.path.getsize(args.archive)
    progress = Progress(size, "inspect", enabled=not args.quiet)
    key_layout = field_layout("key", definitions.key, "big")
    sequence_layout = (
        field_layout("count", definitions.sequence, "big") if definitions.sequence else None
    )
    timed = [p for p in definitions.packets if p.time]
    checked = [p for p in definitions.packets if has_check(p.layout)]
    decoded = tuple(p.name for p in definitions.packets if p in timed or p in checked)
    time_job = Job(definitions, output="numpy", types=decoded)
    check_failures = {p.name: 0 for p in checked}
    keys, lengths, counts, skipped = [], [], [], []
    spans: dict[str, list[Any]] = {}
    try:
        for chunk, framed in work:
            view = chunk_view(chunk, framed)
            keys.append(key_layout.unpack_many(view, offsets=framed.offsets)["key"])
            lengths.append(framed.lengths)
            if sequence_layout is not None:
                counts.append(sequence_layout.unpack_many(view, offsets=framed.offsets)["count"])
            skipped += [
                (chunk.start + s.start, chunk.start + s.stop, s.reason, s.detail)
                for s in framed.skipped
            ]
            if decoded:
                result = run_chunk(time_job, chunk, framed)
                for name, failures in result.check_failures.items():
                    check_failures[name] += failures
                for name, columns in result.tables.items():
                    if definitions.packet_type(name).time is None:
                        continue
                    times = columns[definitions.packet_type(name).time]
                    times = times.compressed() if isinstance(times, np.ma.MaskedArray) else times
                    if len(times):
                        spans.setdefault(name, []).extend([times.min(), times.max()])
            progress.update(chunk.stop - chunk.start, len(framed.offsets))
    finally:
        progress.close()
    keys = np.concatenate(keys) if keys else np.empty(0, np.int64)
    lengths = np.concatenate(lengths) if lengths else np.empty(0, np.int64)
    report = None
    if counts:
        report = vantrel.check_sequence_counts(
            keys, np.concatenate(counts), modulus=definitions.sequence["modulus"]
        )

    names = {}
    for packet in definitions.packets:
        for key in packet.keys or ():
            names[key] = packet.name
    rows = []
    for key in np.unique(keys):
        mine = keys == key
        row = [
            int(key),
            f"{int(mine.sum()):,}",
            f"{int(lengths[mine].sum()):,}",
            int(lengths[mine].min()),
            int(lengths[mine].max()),
        ]
        if report is not None:

            def count_in(index, weights=None, mine=mine):
                hit = mine[index]
                return int(hit.sum() if weights is None else weights[hit].sum())

            row += [
                count_in(report.gap_index),
                count_in(report.gap_index, report.gap_missing),
                count_in(report.duplicate_index),
                count_in(report.out_of_order_index),
            ]
        row.append(names.get(int(key), "" if args.definitions else "-"))
        rows.append(row)

    out = sys.stdout
    damaged_bytes = sum(stop - start for start, stop, _, _ in skipped)
    print(
        f"{args.archive}: {size:,} bytes, {len(keys):,} packets, "
        f"{len(skipped)} damaged range(s) ({damaged_bytes:,} bytes in no packet)",
        file=out,
    )
    print(file=out)
    headers = ["apid", "packets", "bytes", "min length", "max length"]
    if report is not None:
        headers += ["gaps", "missing", "duplicates", "out of order"]
    headers.append("type")
    print(table(headers, rows, right=set(range(len(headers) - 1))), file=out)
    if learned is not None:
        print(file=out)
        for line in describe(learned, min(size, SAMPLE_BYTES)):
            print(line, file=out)
    if skipped:
        print(file=out)
        rules = definitions.rules or {}
        print(
            f"framing lost sync {len(skipped)} time(s) and resynchronised where "
            f"{rules.get('confirm', 3)} packets in a row validate"
            + (" (their checks holding)" if "check" in rules else "")
            + (" under the learned rules" if learned is not None else ""),
            file=out,
        )
        by_reason: dict[str, int] = {}
        for _, _, reason, _ in skipped:
            by_reason[reason] = by_reason.get(reason, 0) + 1
        print(
            "damaged ranges: " + ", ".join(f"{n} {r}" for r, n in sorted(by_reason.items())),
            file=out,
        )
        shown = [
            [f"{a:,}", f"{b:,}", f"{b - a:,}", reason, detail]
            for a, b, reason, detail in skipped[:SHOWN_RANGES]
        ]
        print(
            table(["start", "stop", "bytes", "reason", "detail"], shown, right={0, 1, 2}), file=out
        )
        if len(skipped) > SHOWN_RANGES:
            print(f"... and {len(skipped) - SHOWN_RANGES} more", file=out)
    if check_failures:
        print(file=out)
        print(
            "packets failing their check: "
            + ", ".join(f"{name} {n:,}" for name, n in check_failures.items()),
            file=out,
        )
    if spans:
        print(file=out)
        print("time span:", file=out)
        span_rows = []
        for name, values in spans.items():
            packet = definitions.packet_type(name)
            first, last = min(values), max(values)
            if packet.time_scale:  # a time code: ISO 8601, to the digit that matters
                both = np.array([first, last], "datetime64[ns]")
                ticks = both.astype(np.int64)
                unit = next(u for u, n in TIME_UNITS if not (ticks % n).any())
                text = np.datetime_as_string(both, unit=unit)
                first, last = (f"{t} {packet.time_scale}" for t in text)
            span_rows.append([name, packet.time, first, last])
        print(table(["type", "field", "first", "last"], span_rows, right=set()), file=out)
    damaged = (
        bool(skipped)
        or bool(sum(check_failures.values()))
        or (
            report is not None
            and (
                len(report.gap_index)
                or len(report.duplicate_index)
                or len(report.out_of_order_index)
            )
        )
    )
    return EXIT_DAMAGE if args.strict and damaged else 0
