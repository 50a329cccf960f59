"""`vantrel plot`: a quick look at parameters against packet time."""

from __future__ import annotations

import os
from typing import Any

from . import definitions as definitions_module
from .common import CommandError, check_inputs
from .engine import DEFAULT_CHUNK_BYTES, Job, plan
from .extras import need
from .outputs import OutputFolder
from .running import Progress, run


def resolve_fields(definitions, fields: list[str]) -> list[tuple[str, str]]:
    """(type, field) for each FIELD or TYPE.FIELD named on the command line."""
    resolved = []
    for named in fields:
        type_name, dot, field = named.rpartition(".")
        if dot:
            try:
                packet = definitions.packet_type(type_name)
            except KeyError:
                raise CommandError(
                    f"{named}: no packet type {type_name!r} in {definitions.source}"
                ) from None
            if field not in packet.layout.names:
                raise CommandError(f"{named}: packet type {type_name!r} has no field {field!r}")
            resolved.append((type_name, field))
            continue
        owners = [p.name for p in definitions.packets if named in p.layout.names]
        if not owners:
            raise CommandError(f"{named}: no packet type of {definitions.source} has this field")
        if len(owners) > 1:
            raise CommandError(
                f"{named}: several packet types have this field; "
                f"name one: {', '.join(f'{o}.{named}' for o in owners)}"
            )
        resolved.append((owners[0], named))
    return resolved


def series(definitions, archive: str, wanted, chunk_bytes: int, quiet: bool):
    """x and y arrays for every (type, field), and the x axis label per type."""
    import numpy as np

    types = tuple(dict.fromkeys(t for t, _ in wanted))
    job = Job(definitions, output="numpy", types=types)
    work = plan([archive], definitions, chunk_bytes)
    progress = Progress(os.path.getsize(archive), "plot", enabled=not quiet)
    parts: dict[str, list[dict[str, Any]]] = {t: [] for t in types}
    try:
        for result in run(job, work, progress):
            for name, columns in result.tables.items():
                parts[name].append(columns)
    finally:
        progress.close()
    out = {}
    for type_name, field in wanted:
        packet = definitions.packet_type(type_name)
        pieces = parts[type_name]
        y = np.ma.concatenate([p[field] for p in pieces]) if pieces else np.ma.empty(0)
        if packet.time:
            x = np.ma.concatenate([p[packet.time] for p in pieces]) if pieces else np.ma.empty(0)
            # A packet whose time did not decode has no place on the axis.
            placed = ~np.ma.getmaskarray(x)
            x, y = np.ma.getdata(x)[placed], y[placed]
            label = packet.time + (f" ({packet.time_scale})" if packet.time_scale else "")
        else:
            x = np.arange(len(y))
            label = "packet index"
        out[(type_name, field)] = (x, y, label)
    return out


def draw(data, size: tuple[int, int], title: str):
    """A figure with one subplot per packet type and one trace per field."""
    need("matplotlib", "plot", "vantrel plot")
    import matplotlib

    matplotlib.use("Agg")
    from matplotlib.figure import Figure

    dpi = 100
    figure = Figure(figsize=(size[0] / dpi, size[1] / dpi), dpi=dpi)
    types = list(dict.fromkeys(t for t, _ in data))
    axes = figure.subplots(len(types), 1, squeeze=False, sharex=False)[:, 0]
    for axis, type_name in zip(axes, types):
        for (owner, field), (x, y, label) in data.items():
            if owner != type_name:
                continue
            axis.plot(x, y, label=f"{type_name}.{field}", linewidth=0.8)
            axis.set_xlabel(label)
        axis.set_title(type_name, fontsize="medium")
        axis.legend(loc="upper right", fontsize="small")
        axis.grid(True, alpha=0.3)
    figure.suptitle(title)
    figure.tight_layout()
    return figure


def plot_command(args) -> int:
    check_inputs([args.definitions, args.archive])
    need("matplotlib", "plot", "vantrel plot")
    # The image's folder is the output folder; its name is checked before any work.
    folder, name = os.path.split(args.output)
    with OutputFolder(folder or ".", overwrite=args.overwrite) as out:
        out.claim([name], inputs=[args.definitions, args.archive])
        definitions = definitions_module.load(args.definitions)
        wanted = resolve_fields(definitions, args.fields)
        data = series(
            definitions, args.archive, wanted, args.chunk_size or DEFAULT_CHUNK_BYTES, args.quiet
        )
        figure = draw(data, args.size, args.archive)
        traces = ", ".join(f"{t}.{f}" for t, f in wanted)
        figure.savefig(
            out.staging_path(name),
            dpi=100,
            format="png",
            metadata={"Title": f"vantrel plot of {args.archive}", "Description": traces},
        )
        out.commit()
    if not args.quiet:
        print(f"{traces} -> {args.output}")
    return 0
