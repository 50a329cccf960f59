"""Framing rules learned from the archive when the definitions give none.

Every chunk must frame as the whole archive does, so the rules are learned
once, from the start of the first archive (`split_packets(rules="learn")`),
and the same rules frame every chunk, here or on dask workers.
"""

from __future__ import annotations

import dataclasses
import os

import vantrel

from .definitions import Definitions
from .engine import read_range

SAMPLE_BYTES = 4 << 20
NO_BOUND = (1 << 64) - 1


def learned_definitions(definitions: Definitions, paths: list[str]):
    """`definitions` with learned rules when it has none, and what was learned (or None).

    Learning that finds nothing (a sample of a few packets) leaves the
    definitions as they are.
    """
    if definitions.rules is not None or not paths:
        return definitions, None
    size = os.path.getsize(paths[0])
    sample = read_range(paths[0], 0, min(size, SAMPLE_BYTES), size)
    learned = vantrel.split_packets(
        sample, **definitions.framing, errors="report", rules="learn"
    ).learned
    if not learned["fields"] and learned["max_length"] == NO_BOUND:
        return definitions, None
    return dataclasses.replace(definitions, rules=learned), learned


def describe(learned: dict, sample_bytes: int) -> list[str]:
    """Lines saying what rules were learned, for inspect."""
    lines = [f"framing rules learned from the first {sample_bytes:,} bytes:"]
    for field in learned["fields"]:
        first, last = field["offset_bits"], field["offset_bits"] + field["bits"] - 1
        values = field["values"]
        shown = ", ".join(f"0x{v:0{(field['bits'] + 3) // 4}X}" for v in values[:8])
        more = f", ... ({len(values)} values)" if len(values) > 8 else ""
        lines.append(f"  header bits {first}-{last} hold one of {shown}{more}")
    if learned["max_length"] != NO_BOUND:
        lines.append(
            f"  total lengths {learned['min_length']:,} to {learned['max_length']:,} bytes"
        )
    if "check" in learned:
        check = learned["check"]
        lines.append(
            f"  every packet ends with its {check['algorithm']} ({check['byte_order']}-endian)"
        )
    return lines
