"""Garbage is not success: how much of each archive frames as packets, and of which types.

A run stops with an error, for an archive of which less than `MIN_SHARE`
of the bytes frame as packets at all, or none of whose packets is of a
type the definitions define (a packet whose type field is a packet type's
key; any framed packet when a type takes every packet, or when there are
no definitions): random bytes, an empty file or an archive of other
definitions give no tables, no files and no plot, but one line saying so,
and exit status 1. Packets of types the definitions leave out are not
garbage: a definitions file may name only the types a user wants.
"""

from __future__ import annotations

import os
from collections import Counter

from .common import CommandError

# At least half of an archive's bytes must frame as packets.
MIN_SHARE = 0.5


def known_keys(definitions) -> frozenset[int] | None:
    """The key values of the defined types; None when every framed packet counts."""
    if not definitions.packets or any(p.keys is None for p in definitions.packets):
        return None
    return frozenset(k for p in definitions.packets for k in p.keys)


def defined_bytes(keys, lengths, known: frozenset[int] | None) -> int:
    """Bytes of the packets (`keys`, `lengths`: one per packet) of a defined type."""
    import numpy as np

    if known is None:
        return int(lengths.sum())
    keys = np.asarray(keys)
    # Keys are unsigned (or int64 with -1 for packets without the field):
    # values the dtype cannot hold match no packet.
    if keys.dtype == object:  # 64-bit keys as Python ints
        return int(lengths[np.array([k in known for k in keys.tolist()], bool)].sum())
    limit = np.iinfo(keys.dtype).max if len(keys) else 0
    wanted = np.array(sorted(k for k in known if k <= limit), keys.dtype)
    return int(lengths[np.isin(keys, wanted)].sum())


class Coverage:
    """Per archive: its size, and the bytes of packets of a defined type and in no packet."""

    def __init__(self, paths: list[str], what: str = "packets"):
        self.sizes = {path: os.path.getsize(path) for path in paths}
        self.what = what  # "packets of a type defined in day.toml", say
        self.typed = what != "packets"  # whether some packets may be of no defined type
        self.defined: Counter = Counter()
        self.skipped: Counter = Counter()

    def add(self, path: str, defined: int, skipped: int) -> None:
        self.defined[path] += defined
        self.skipped[path] += skipped

    def add_result(self, result) -> None:
        """What a chunk's `ChunkResult` holds."""
        skipped = sum(stop - start for start, stop, _, _ in result.skipped)
        self.add(result.chunk.path, result.defined_bytes, skipped)

    def check(self, nothing_written: bool = False) -> None:
        """An error for the first archive that is mostly not packets, or has none of ours."""
        tail = "; nothing was written" if nothing_written else ""
        for path, size in self.sizes.items():
            if size == 0:
                raise CommandError(f"{path}: the archive is empty{tail}")
            skipped = self.skipped[path]
            framed = size - skipped
            if framed < MIN_SHARE * size:
                raise CommandError(
                    f"{path}: only {_percent(framed, size)} of its {size:,} bytes frame as "
                    f"packets (at least {MIN_SHARE:.0%} must; {_percent(skipped, size)} frame "
                    f"as no packet){tail}"
                )
            if self.typed and self.defined[path] == 0:
                raise CommandError(
                    f"{path}: none of its packets ({_percent(framed, size)} of its {size:,} "
                    f"bytes) are {self.what}{tail}"
                )


def describe(definitions) -> str:
    """What the bytes of an archive should be, for `Coverage` messages."""
    if not definitions.packets:
        return "packets"
    return f"packets of a type defined in {definitions.source}"


def _percent(part: int, whole: int) -> str:
    share = 100 * part / whole
    if 0 < share < 0.1:
        return "under 0.1%"
    return f"{share:.1f}%"
