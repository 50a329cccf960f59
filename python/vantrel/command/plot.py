"""`vantrel plot`: a quick look at parameters against packet time.

The command is three steps, each usable from Python:

- `resolve_fields(definitions, names)`: the (type, field) pairs that the
  names on the command line mean;
- `series(definitions, archive, wanted, ...)`: their values and times, one
  `Series` each, read from the archive as `decode` reads it;
- `draw(series_list, ...)`: a matplotlib `Figure` of them, one panel per
  field (or per unit), all panels of one time scale sharing their time axis.

What is drawn: numbers as lines, broken where a packet is missing (a time
step much longer than the type's usual one) or a value failed to decode;
state fields (enumerations, text) as steps with their names on the y axis;
array fields as an image, time across and element up.
"""

from __future__ import annotations

import os
from dataclasses import dataclass
from typing import Any

from . import definitions as definitions_module
from .common import CommandError, check_inputs
from .coverage import Coverage, describe
from .engine import DEFAULT_CHUNK_BYTES, Job
from .extras import need
from .outputs import OutputFolder
from .running import Progress, run

# Image formats by the output's suffix, and the metadata key each has for the traces.
IMAGE_FORMATS = {".png": "png", ".svg": "svg", ".pdf": "pdf"}
DESCRIPTION_KEY = {"png": "Description", "svg": "Description", "pdf": "Subject"}
# A time step longer than this many times a type's usual step means lost packets.
GAP_FACTOR = 1.5
# Columns of an array field's image at most; more packets are averaged into them.
IMAGE_COLUMNS = 4096
# States at most that get a tick each; more get a tick where the locator puts one.
STATE_TICKS = 24
DPI = 100


@dataclass
class Series:
    """One field of one packet type: its values and the time of each packet.

    `values` is a masked array: 1-D for a field of one value per packet
    (numbers, or str for states and text), 2-D (packets, elements) for an
    array field, shorter arrays masked at their end. `x` is the time axis:
    datetime64[ns] for a time code (`x_kind` "date"), numbers for another
    time field ("number"), the packet index without one ("index").
    """

    packet: str
    field: str
    x: Any
    values: Any
    x_label: str
    x_kind: str
    unit: str | None = None
    states: tuple[str, ...] | None = None  # the enumeration's names, by raw value
    time_scale: str | None = None  # "UTC" or "TAI" for dates

    @property
    def name(self) -> str:
        return f"{self.packet}.{self.field}"

    @property
    def kind(self) -> str:
        """ "image" for an array field, "states" for names, "line" for numbers."""
        if self.values.ndim == 2:
            return "image"
        return "states" if self.values.dtype.kind in "OUS" else "line"

    @property
    def axis_group(self) -> tuple[str, str]:
        """Panels of one group can share an x axis: one time scale, or one counter."""
        if self.x_kind == "index":
            return ("index", self.packet)  # packet indices of two types do not line up
        if self.x_kind == "date" and self.time_scale:
            return ("date", self.time_scale)
        return (self.x_kind, self.x_label)


def image_format(path: str) -> str:
    """The format of an output image, from its suffix."""
    suffix = os.path.splitext(path)[1].lower()
    if suffix not in IMAGE_FORMATS:
        raise CommandError(
            f"{path}: cannot write images of type {suffix or '(no suffix)'!r}; "
            "name the output .png, .svg or .pdf"
        )
    return IMAGE_FORMATS[suffix]


def resolve_fields(definitions, fields: list[str]) -> list[tuple[str, str]]:
    """(type, field) for each FIELD or TYPE.FIELD named on the command line.

    A bare field name that several packet types have means each of them, in
    the order of the definitions: `temperature` gives a panel for
    `housekeeping.temperature` and one for `magnetometer.temperature`.
    """
    resolved = []
    names = {p.name for p in definitions.packets}
    for named in fields:
        type_name, dot, field = named.rpartition(".")
        if dot and type_name in names:
            if field not in definitions.packet_type(type_name).layout.names:
                raise CommandError(f"{named}: packet type {type_name!r} has no field {field!r}")
            resolved.append((type_name, field))
            continue
        owners = [p.name for p in definitions.packets if named in p.layout.names]
        if owners:
            resolved.extend((owner, named) for owner in owners)
        elif dot:
            raise CommandError(f"{named}: no packet type {type_name!r} in {definitions.source}")
        else:
            raise CommandError(f"{named}: no packet type of {definitions.source} has this field")
    return list(dict.fromkeys(resolved))


def series(
    definitions,
    archive: str,
    wanted,
    chunk_bytes: int = DEFAULT_CHUNK_BYTES,
    quiet: bool = True,
    coverage: Coverage | None = None,
) -> list[Series]:
    """The values and times of every (type, field) of `wanted`, read from `archive`.

    `coverage`, when given, tallies what of the archive is packets of a defined type.
    """
    import numpy as np

    types = tuple(dict.fromkeys(t for t, _ in wanted))
    kept = {t: {f for owner, f in wanted if owner == t} for t in types}
    for type_name in types:
        time = definitions.packet_type(type_name).time
        if time:
            kept[type_name].add(time)
    job = Job(definitions, output="numpy", types=types)
    progress = Progress(os.path.getsize(archive), "plot", enabled=not quiet)
    parts: dict[str, list[dict[str, Any]]] = {t: [] for t in types}
    try:
        for result in run(job, [archive], chunk_bytes, progress):
            if coverage is not None:
                coverage.add_result(result)
            for name, columns in result.tables.items():
                # Only the columns drawn are kept past their chunk.
                parts[name].append({f: _masked(columns[f]) for f in kept[name]})
    finally:
        progress.close()
    out = []
    for type_name, field in wanted:
        packet = definitions.packet_type(type_name)
        pieces = parts[type_name]
        values = _joined([p[field] for p in pieces])
        if packet.time:
            x = _joined([p[packet.time] for p in pieces])
            # A packet whose time did not decode has no place on the axis.
            placed = ~np.ma.getmaskarray(x)
            x, values = np.ma.getdata(x)[placed], values[placed]
            if x.dtype.kind == "M":
                x_kind = "date"
                label = packet.time + (f" ({packet.time_scale})" if packet.time_scale else "")
                x = x.astype("datetime64[ns]")
            else:
                x_kind = "number"
                unit = packet.units.get(packet.time)
                label = packet.time + (f" [{unit}]" if unit else "")
        else:
            x, x_kind, label = np.arange(len(values)), "index", "packet index"
        states = packet.states.get(field)
        unit = packet.units.get(field)
        scale = packet.time_scale if x_kind == "date" else None
        out.append(Series(type_name, field, x, values, label, x_kind, unit, states, scale))
    return out


def _masked(column):
    """A decoded column as a masked array; a ragged one as (packets, longest), padded masked."""
    import numpy as np

    if isinstance(column, np.ma.MaskedArray):
        return column
    if isinstance(column, np.ndarray):
        return np.ma.MaskedArray(column)
    # A ragged column (counted or rest-of-packet array): values and offsets.
    values, offsets = np.asarray(column.values), np.asarray(column.offsets)
    lengths = np.diff(offsets)
    rows = len(lengths)
    width = int(lengths.max()) if rows else 0
    table = np.ma.masked_all((rows, width), dtype=values.dtype)
    row = np.repeat(np.arange(rows), lengths)
    place = np.arange(offsets[0], offsets[-1]) - np.repeat(offsets[:-1], lengths)
    table[row, place] = values[offsets[0] : offsets[-1]]
    failed = getattr(column, "mask", None)
    if failed is not None:
        table[np.asarray(failed, bool)] = np.ma.masked
    return table


def _joined(pieces):
    """The chunks' columns as one masked array (arrays padded to the widest)."""
    import numpy as np

    if not pieces:
        return np.ma.masked_all((0,))
    if pieces[0].ndim == 2:
        width = max(p.shape[1] for p in pieces)
        padded = []
        for piece in pieces:
            if piece.shape[1] < width:
                extra = np.ma.masked_all((piece.shape[0], width - piece.shape[1]), piece.dtype)
                piece = np.ma.concatenate([piece, extra], axis=1)
            padded.append(piece)
        pieces = padded
    return np.ma.concatenate(pieces)


# Drawing ---------------------------------------------------------------------


def _numbers(x):
    """Times as numbers that can be subtracted: nanoseconds for dates, floats else."""
    import numpy as np

    return x.astype(np.int64) if x.dtype.kind == "M" else np.asarray(x, np.float64)


def usual_step(x) -> float | None:
    """A series' usual time step (the median of its steps forward), in `_numbers` units."""
    import numpy as np

    if len(x) < 2:
        return None
    steps = np.diff(_numbers(x))
    forward = steps[steps > 0]
    return float(np.median(forward)) if len(forward) else None


def gaps(x, step: float | None):
    """Indices i where a line must not join packet i to packet i + 1.

    A step longer than GAP_FACTOR usual steps means packets were lost; a
    step back in time (a reset, a packet out of order) is no trend either.
    """
    import numpy as np

    if step is None:
        return np.empty(0, np.int64)
    steps = np.diff(_numbers(x))
    return np.flatnonzero((steps > GAP_FACTOR * step) | (steps < 0))


def broken(x, y, step: float | None):
    """x and y with a point of no value after each gap, one usual step past its last packet.

    A line stops there, and a step drawing holds its last state for one
    usual step before it stops. y becomes floats with NaN for no value
    (times, NaT).
    """
    import numpy as np

    y = np.ma.asarray(y)
    nothing = np.datetime64("NaT", "ns") if y.dtype.kind == "M" else np.nan
    y = np.ma.filled(y.astype("datetime64[ns]" if y.dtype.kind == "M" else np.float64), nothing)
    after = gaps(x, step)
    if not len(after):
        return x, y
    numbers = _numbers(x)
    where = after + 1
    ends = numbers[after] + (round(step) if x.dtype.kind == "M" else step)
    filled = np.insert(numbers, where, ends)
    x = filled.astype(x.dtype) if x.dtype.kind == "M" else filled
    return x, np.insert(y, where, nothing)


def state_codes(values, states: tuple[str, ...] | None):
    """The names a state field takes, and each packet's place among them (NaN if masked)."""
    import numpy as np

    present = ~np.ma.getmaskarray(values)
    data = np.ma.getdata(values)
    seen, inverse = np.unique(data[present].astype(str), return_inverse=True)
    names = list(states or ())
    names += [name for name in seen.tolist() if name not in names]
    place = {name: i for i, name in enumerate(names)}
    codes = np.full(len(values), np.nan)
    codes[present] = np.array([place[name] for name in seen.tolist()], np.float64)[inverse]
    return names, codes


def _shown(name: str) -> str:
    # Fixed-width text keeps its NUL padding; a font has no glyph for it.
    return name.strip("\x00") or repr(name)


def draw(
    series_list: list[Series],
    size: tuple[int, int] = (1200, 800),
    title: str = "",
    panels: str = "field",
):
    """A matplotlib Figure of the series: one panel per field, or per unit.

    With `panels="unit"` the number fields of one unit (and one time axis)
    share a panel; states, arrays and fields without a unit keep a panel
    of their own. Panels whose time axes are of one kind (one time scale,
    or one counter field) share it; the time ticks of a shared axis are
    shown under its last panel.
    """
    need("matplotlib", "plot", "vantrel plot")
    if panels not in ("field", "unit"):
        raise ValueError(f"panels must be 'field' or 'unit', not {panels!r}")
    # A Figure of its own, not pyplot's: no backend is chosen or changed for the caller.
    from matplotlib.figure import Figure

    groups = _panels(series_list, panels)
    images = any(s.kind == "image" for group in groups for s in group)
    figure = Figure(figsize=(size[0] / DPI, size[1] / DPI), dpi=DPI, layout="constrained")
    # Colour bars get a narrow column of their own, so that every panel has the same width.
    grid = figure.add_gridspec(
        max(len(groups), 1), 2 if images else 1, width_ratios=[60, 1] if images else None
    )
    shared: dict[tuple[str, str], Any] = {}
    axes = []
    for row, group in enumerate(groups):
        key = group[0].axis_group
        axis = figure.add_subplot(grid[row, 0], sharex=shared.get(key))
        shared.setdefault(key, axis)
        axis.set_label(", ".join(s.name for s in group))
        _draw_panel(figure, axis, group, grid[row, 1] if images else None, panels)
        axes.append(axis)
    labels: list[str] = []  # the time fields of the run of panels above, sharing an axis
    for row, (axis, group) in enumerate(zip(axes, groups)):
        labels += [s.x_label for s in group]
        below = groups[row + 1][0].axis_group if row + 1 < len(groups) else None
        shown = below != group[0].axis_group
        _time_axis(axis, group[0], ", ".join(dict.fromkeys(labels)) if shown else None)
        if shown:
            labels = []
    if title:
        figure.suptitle(title)
    return figure


def _panels(series_list: list[Series], panels: str) -> list[list[Series]]:
    if panels == "field":
        return [[s] for s in series_list]
    groups: dict[Any, list[Series]] = {}
    for index, s in enumerate(series_list):
        alone = s.kind != "line" or not s.unit
        groups.setdefault(index if alone else (s.unit, s.axis_group), []).append(s)
    return list(groups.values())


def _draw_panel(figure, axis, group: list[Series], colour_cell, panels: str) -> None:
    import numpy as np

    first = group[0]
    if not any(np.ma.count(s.values) for s in group):
        axis.text(0.5, 0.5, "no values", ha="center", va="center", transform=axis.transAxes)
    if first.kind == "image":
        _draw_image(figure, axis, first, colour_cell)
    elif first.kind == "states":
        _draw_states(axis, first)
    else:
        for s in group:
            x, y = broken(s.x, s.values, usual_step(s.x))
            axis.plot(x, y, linewidth=0.8, label=s.name)
        if first.values.dtype.kind == "M":  # a time code's values
            date_ticks(axis.yaxis)
        if len(group) > 1 or panels == "unit":
            axis.set_ylabel(first.unit or first.field)
            axis.legend(loc="upper right", fontsize="small")
        else:
            axis.set_ylabel(_with_unit(first.field, first.unit))
    if axis.get_legend() is None:
        axis.set_title(first.packet, loc="left", fontsize="small")
    if first.kind != "image":
        axis.grid(True, alpha=0.3)


def _with_unit(text: str, unit: str | None) -> str:
    return f"{text} [{unit}]" if unit else text


def _draw_states(axis, s: Series) -> None:
    from matplotlib.ticker import FuncFormatter, MaxNLocator

    names, codes = state_codes(s.values, s.states)
    x, y = broken(s.x, codes, usual_step(s.x))
    axis.plot(x, y, drawstyle="steps-post", linewidth=1.0, label=s.name)
    shown = [_shown(n) for n in names]
    if len(names) <= STATE_TICKS:
        axis.set_yticks(range(len(names)), shown)
    else:
        axis.yaxis.set_major_locator(MaxNLocator(integer=True))
        axis.yaxis.set_major_formatter(
            FuncFormatter(lambda v, _: shown[int(v)] if 0 <= v < len(shown) else "")
        )
    axis.set_ylim(-0.5, max(len(names), 1) - 0.5)
    axis.set_ylabel(s.field)


def _draw_image(figure, axis, s: Series, colour_cell) -> None:
    import numpy as np
    from matplotlib.ticker import MaxNLocator

    values = s.values
    names = None
    if values.dtype.kind in "OUS":  # an array of states: each element's place among the names
        names, codes = state_codes(values.ravel(), s.states)
        values = np.ma.masked_invalid(codes.reshape(values.shape))
    if s.x_kind == "date":
        axis.xaxis_date()
    axis.set_ylabel(f"{s.field} element")
    axis.yaxis.set_major_locator(MaxNLocator(integer=True))
    if not len(s.x) or not values.shape[1]:
        return  # nothing to place on the time axis (the panel says "no values")
    grid, (left, right) = image_grid(s.x, values)
    elements = grid.shape[1]
    extent = (left, right, -0.5, elements - 0.5)
    image = axis.imshow(
        grid.T,
        aspect="auto",
        interpolation="nearest",
        origin="lower",
        extent=extent,
        cmap="viridis",
    )
    # Labelled as matplotlib labels the colour bars it places itself.
    bar = figure.colorbar(image, cax=figure.add_subplot(colour_cell, label="<colorbar>"))
    bar.set_label(_with_unit(s.field, s.unit))
    if names is not None:
        bar.set_ticks(range(len(names)), labels=[_shown(n) for n in names])


def image_grid(x, values):
    """An array field's values on a regular time grid: (columns, elements), and its ends.

    Each column spans one usual time step (or more, when that would give
    more than IMAGE_COLUMNS columns: the packets of a column are averaged);
    a column without a packet is masked, so lost packets leave a gap.
    The ends are in the axis' units (matplotlib's date numbers for dates).
    """
    import numpy as np

    position = _axis_numbers(x)
    columns_of = np.ma.filled(np.ma.asarray(values, np.float64), np.nan)
    first, last = float(position.min()), float(position.max())
    step = usual_step(position)
    if step is None:
        step = 1.0 if x.dtype.kind != "M" else 1 / 86400  # one second of date numbers
    count = int(round((last - first) / step)) + 1
    if count > IMAGE_COLUMNS:
        count = IMAGE_COLUMNS
        step = (last - first) / (count - 1)
    column = np.clip(np.rint((position - first) / step).astype(np.int64), 0, count - 1)
    present = ~np.isnan(columns_of)
    sums = np.zeros((count, values.shape[1]))
    hits = np.zeros((count, values.shape[1]))
    np.add.at(sums, column, np.where(present, columns_of, 0.0))
    np.add.at(hits, column, present)
    with np.errstate(invalid="ignore", divide="ignore"):
        grid = np.ma.masked_where(hits == 0, sums / hits)
    return grid, (first - step / 2, first + (count - 0.5) * step)


def _axis_numbers(x):
    """Positions on a matplotlib axis: date numbers (days) for dates."""
    import numpy as np

    if x.dtype.kind == "M":
        from matplotlib.dates import date2num

        return np.asarray(date2num(x), np.float64)
    return np.asarray(x, np.float64)


def _time_axis(axis, s: Series, label: str | None) -> None:
    """Dates with the year and month in every view; ticks and `label` only where given."""
    if s.x_kind == "date":
        date_ticks(axis.xaxis)
    if label is not None:
        axis.set_xlabel(label)
    else:
        axis.tick_params(labelbottom=False)
        axis.xaxis.offsetText.set_visible(False)


def date_ticks(axis) -> None:
    """Ticks of dates that show the year and the month in any view.

    The ticks give what changes (hours, days, months); the offset at the
    axis' end names what they leave out, in ISO 8601 as elsewhere.
    """
    from matplotlib.dates import AutoDateLocator, ConciseDateFormatter

    locator = AutoDateLocator()
    axis.set_major_locator(locator)
    axis.set_major_formatter(
        ConciseDateFormatter(
            locator,
            offset_formats=["", "%Y", "%Y-%m", "%Y-%m-%d", "%Y-%m-%d", "%Y-%m-%d %H:%M"],
        )
    )


def save(figure, path, image_type: str, description: str, title: str) -> None:
    """Write the figure as PNG, SVG or PDF, the traces named in its metadata."""
    figure.savefig(
        path,
        dpi=DPI,
        format=image_type,
        metadata={"Title": title, DESCRIPTION_KEY[image_type]: description},
    )


def _check_values(data: list[Series], archive: str) -> None:
    import numpy as np

    if not any(np.ma.count(s.values) for s in data):
        names = ", ".join(f"{s.packet}.{s.field}" for s in data)
        raise CommandError(
            f"{archive}: no value of {names} to plot (no packet of the type, "
            "or none with a value that decodes); nothing was written"
        )


def plot_command(args) -> int:
    image_type = image_format(args.output)
    check_inputs([args.definitions, args.archive])
    need("matplotlib", "plot", "vantrel plot")
    # The image's folder is the output folder; its name is checked before any work.
    folder, name = os.path.split(args.output)
    with OutputFolder(folder or ".", overwrite=args.overwrite) as out:
        out.claim([name], inputs=[args.definitions, args.archive])
        definitions = definitions_module.load(args.definitions)
        wanted = resolve_fields(definitions, args.fields)
        coverage = Coverage([args.archive], describe(definitions))
        chunk_bytes = args.chunk_size or DEFAULT_CHUNK_BYTES
        data = series(definitions, args.archive, wanted, chunk_bytes, args.quiet, coverage)
        # Garbage, or fields without a value, would make an image that passes for a plot.
        coverage.check(nothing_written=True)
        _check_values(data, args.archive)
        figure = draw(data, args.size, args.archive, args.panels)
        traces = ", ".join(f"{t}.{f}" for t, f in wanted)
        save(figure, out.staging_path(name), image_type, traces, f"vantrel plot of {args.archive}")
        out.commit()
    if not args.quiet:
        print(f"{traces} -> {args.output}")
    return 0
