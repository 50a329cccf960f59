"""Quick-look plots of archives, from Python: what `vantrel plot` draws.

```python sketch
import vantrel.plots

figure = vantrel.plots.plot("day.toml", "day.bin", ["bx", "temperature"])
figure.savefig("look.svg")  # or show it in a notebook, or look into its axes
```

`plot` reads the fields' values and times from the archive as the decode
does, and draws them as `vantrel plot` does (docs/command.md, "Plots"):
one panel per field, or per unit, on a shared time axis, lost packets as
gaps, states as steps, array fields as images. It returns a matplotlib
`Figure` made without pyplot, so no backend is chosen for the caller.
`resolve_fields`, `series` and `draw` are its three steps. Needs the `plot`
extra (matplotlib, with the `cli` extra's numpy).
"""

from __future__ import annotations

import os

from .command import definitions as definitions_module
from .command.common import check_inputs
from .command.engine import DEFAULT_CHUNK_BYTES
from .command.plot import Series, draw, resolve_fields, series

__all__ = ["Series", "draw", "plot", "resolve_fields", "series"]


def plot(
    definitions,
    archive: str | os.PathLike,
    fields: list[str],
    *,
    panels: str = "field",
    size: tuple[int, int] = (1200, 800),
    title: str = "",
    chunk_size: int = DEFAULT_CHUNK_BYTES,
    progress: bool = False,
):
    """A matplotlib Figure of `fields` of `archive`, against their time axes.

    `definitions` is a definitions file's path or `vantrel.definitions.load`'s
    result; each of `fields` is a field name (every packet type that has it)
    or TYPE.FIELD. `panels` is "field" (one panel each) or "unit" (number
    fields of one unit share a panel); `size` is in pixels, at 100 an inch.
    """
    if not isinstance(definitions, definitions_module.Definitions):
        check_inputs([str(definitions)])
        definitions = definitions_module.load(definitions)
    check_inputs([str(archive)])
    wanted = resolve_fields(definitions, list(fields))
    data = series(definitions, str(archive), wanted, chunk_size, quiet=not progress)
    return draw(data, size, title, panels)
