"""`vantrel inspect`: counts and sizes per APID, sequence gaps, damaged ranges
and time spans, as a readable table."""

from __future__ import annotations

import io
import json
import os
import sys
from typing import Any

import vantrel

from . import definitions as definitions_module
from .common import EXIT_DAMAGE, check_inputs
from .coverage import Coverage, defined_bytes, describe, known_keys
from .engine import (
    DEFAULT_CHUNK_BYTES,
    Job,
    chunk_view,
    in_stream,
    packet_keys,
    plan,
    run_chunk,
)
from .learning import SAMPLE_BYTES, learned_definitions
from .learning import describe as describe_learned
from .running import Progress

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


def sequence_report(ids, counts, modulus: int):
    """check_sequence_counts over the packets whose counter is below the modulus.

    Its indices are into all packets; also how many packets held a count
    of the modulus or more (damage, left out of the check).
    """
    import numpy as np

    present = ~np.ma.getmaskarray(counts)
    values = np.ma.getdata(counts)
    held = np.flatnonzero(present & (values < modulus))
    report = vantrel.check_sequence_counts(ids[held], values[held], modulus=modulus)
    report = type(report)(
        (
            held[report.gap_index],
            report.gap_missing,
            held[report.duplicate_index],
            held[report.out_of_order_index],
        )
    )
    return report, int(present.sum()) - len(held)


def _plain(value: Any) -> Any:
    """A figure of the report as JSON holds it (numpy numbers as Python ones)."""
    return value.item() if hasattr(value, "item") else value


def has_check(layout: vantrel.Layout) -> bool:
    """Whether a layout has a check field (its recipe, as pickling gives it)."""
    return any("check" in item for item in layout.__reduce__()[1][0])


def inspect_command(args) -> int:
    import numpy as np

    check_inputs([args.archive] + ([args.definitions] if args.definitions else []))
    definitions = definitions_module.load_or_ccsds(args.definitions)
    definitions, learned = learned_definitions(definitions, [args.archive])
    work = plan([args.archive], definitions, args.chunk_size or DEFAULT_CHUNK_BYTES)
    size = os.path.getsize(args.archive)
    progress = Progress(size, "inspect", enabled=not args.quiet)
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
            # A packet too short for the type field has key -1; one too short
            # for the counter, a masked count.
            keys.append(packet_keys(view, definitions, framed))
            lengths.append(framed.lengths)
            if sequence_layout is not None:
                counts.append(
                    sequence_layout.unpack_many(
                        view, offsets=framed.offsets, lengths=framed.lengths, errors="mask"
                    )["count"]
                )
            skipped += in_stream(framed.skipped, chunk.start)
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
    # One small number per key value (type fields may be 64 bits wide).
    values, ids = np.unique(keys, return_inverse=True)
    ids = ids.reshape(-1)
    report, past_modulus = None, 0
    if counts:
        modulus = definitions.sequence["modulus"]
        report, past_modulus = sequence_report(ids, np.ma.concatenate(counts), modulus)

    names = {}
    for packet in definitions.packets:
        for key in packet.keys or ():
            names[key] = packet.name

    def per_key(index=None, weights=None):
        chosen = ids if index is None else ids[index]
        return np.bincount(chosen, weights, minlength=len(values)).astype(np.int64).tolist()

    columns = [per_key(), per_key(None, lengths)]
    if len(ids):
        order = np.argsort(ids, kind="stable")
        firsts = np.searchsorted(ids[order], np.arange(len(values)))
        columns += [
            np.minimum.reduceat(lengths[order], firsts).tolist(),
            np.maximum.reduceat(lengths[order], firsts).tolist(),
        ]
    else:
        columns += [[], []]
    if report is not None:
        columns += [
            per_key(report.gap_index),
            per_key(report.gap_index, report.gap_missing),
            per_key(report.duplicate_index),
            per_key(report.out_of_order_index),
        ]
    rows = []
    per_key_rows = []
    counted = ["packets", "bytes", "min_length", "max_length"]
    if report is not None:
        counted += ["gaps", "missing", "duplicates", "out_of_order"]
    for place, key in enumerate(values.tolist()):
        packets, nbytes, *rest = (column[place] for column in columns)
        name = names.get(key, "" if args.definitions else "-")
        # Packets too short to hold the type field are counted as such.
        rows.append([key if key >= 0 else "short", f"{packets:,}", f"{nbytes:,}", *rest, name])
        figures = dict(zip(counted, [packets, nbytes, *rest]))
        per_key_rows.append({"key": key if key >= 0 else None, **figures, "type": name or None})

    # The report is drawn whole; --json prints its figures instead.
    out = io.StringIO()
    shown_ranges = None if args.all else SHOWN_RANGES
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
        for line in describe_learned(learned, min(size, SAMPLE_BYTES)):
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
            for a, b, reason, detail in skipped[:shown_ranges]
        ]
        print(
            table(["start", "stop", "bytes", "reason", "detail"], shown, right={0, 1, 2}), file=out
        )
        if shown_ranges is not None and len(skipped) > shown_ranges:
            print(f"... and {len(skipped) - shown_ranges} more (--all shows them)", file=out)
    if check_failures:
        print(file=out)
        print(
            "packets failing their check: "
            + ", ".join(f"{name} {n:,}" for name, n in check_failures.items()),
            file=out,
        )
    if past_modulus:
        print(file=out)
        print(
            f"{past_modulus:,} packet(s) with a sequence count of {modulus:,} or more "
            "(the modulus), left out of the sequence check",
            file=out,
        )
    span_rows = []
    if spans:
        print(file=out)
        print("time span:", file=out)
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
        or bool(past_modulus)
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
    if args.json:
        document = {
            "archive": args.archive,
            "bytes": size,
            "packets": len(keys),
            "damaged_bytes": damaged_bytes,
            "keys": per_key_rows,
            "damaged_ranges": [
                {"start": a, "stop": b, "reason": reason, "detail": detail}
                for a, b, reason, detail in skipped
            ],
            "learned_rules": learned,
            "check_failures": check_failures,
            "counts_past_modulus": past_modulus,
            "time_spans": [
                {"type": t, "field": f, "first": _plain(a), "last": _plain(b)}
                for t, f, a, b in span_rows
            ],
            "damaged": bool(damaged),
        }
        json.dump(document, sys.stdout, indent=2)
        print()
    else:
        sys.stdout.write(out.getvalue())
    # After the report, which says what the archive holds: too little of it
    # is packets of a defined type.
    coverage = Coverage([args.archive], describe(definitions))
    coverage.add(args.archive, defined_bytes(keys, lengths, known_keys(definitions)), damaged_bytes)
    coverage.check()
    return EXIT_DAMAGE if args.strict and damaged else 0
