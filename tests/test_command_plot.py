"""`vantrel plot`: which fields a name means, panels, labels and units, the
shared time axis, gaps, states as steps, arrays as images, date ticks and
the image formats, checked through matplotlib's objects (not pixels)."""

import json
import struct
import zlib
from pathlib import Path

import numpy as np
import pytest

from vantrel.command import definitions as definitions_module
from vantrel.command.main import main

pytest.importorskip("matplotlib")
pytest.importorskip("pyarrow")

from matplotlib.backends.backend_agg import FigureCanvasAgg  # noqa: E402
from matplotlib.dates import ConciseDateFormatter, num2date  # noqa: E402

from vantrel.command import plot  # noqa: E402

ROOT = Path(__file__).resolve().parents[1]
EXAMPLE = ROOT / "examples" / "command"
ARCHIVE = EXAMPLE / "day.bin"
DEFINITIONS = EXAMPLE / "day.toml"
START = np.datetime64("2026-10-13T06:00:00", "ns")
HK_LOST = (10, 11)  # housekeeping packets left out of the test archive


def run(*argv):
    return main([str(a) for a in argv])


def panels(figure):
    """The figure's panels, without its colour bars."""
    return [axis for axis in figure.get_axes() if axis.get_label() != "<colorbar>"]


def figure_of(definitions, archive, names, **options):
    wanted = plot.resolve_fields(definitions, names)
    return plot.draw(plot.series(definitions, str(archive), wanted, 1 << 20, True), **options)


@pytest.fixture(scope="module")
def day():
    return definitions_module.load(DEFINITIONS)


# A small archive of every kind of field -------------------------------------------


def item(name, bits, encoding="unsigned", **extra):
    return {"name": name, "encoding": encoding, "bits": bits, **extra}


def telemetry_document(states=True):
    """hk: a UTC time code every 4 s, a calibrated temperature, states, a fixed array
    and text; sci: a TAI time code every 1 s and a counted array. `states=False`
    leaves the enumeration out (a file cannot key its states by integers)."""
    cuc = {"type": "cuc", "coarse_octets": 4, "fine_octets": 2, "scale": "UTC"}
    mode = {"type": "enumeration", "states": {2: "SAFE", 0: "OFF", 1: "ON"}}
    hk = [
        item("obt", 48, convert=cuc),
        item("temp", 12, convert={"type": "linear", "slope": 0.0625, "intercept": -40}, unit="°C"),
        item("mode", 4, **({"convert": mode} if states else {})),
        item("volts", 16, "twos_complement", convert={"type": "linear", "slope": 0.001}, unit="V"),
        item("spectrum", 8, count=4, unit="counts"),
        item("label", 32, "us_ascii"),
    ]
    sci = [
        item("day", 48, convert={"type": "cds", "scale": "TAI"}),
        item("n", 8),
        item("samples", 16, "twos_complement", count="n", unit="nT"),
        item("bx", 16, "twos_complement", unit="nT"),
        item("by", 16, "twos_complement", unit="nT"),
    ]
    return {
        "defaults": {"byte_order": "big", "reverse_bits": False},
        "header": [item("ident", 16), item("sequence", 16), item("length", 16)],
        "packets": {
            "hk": {"key": 0x2A5, "layout": hk},
            "sci": {
                "key": 0x3C0,
                "layout": sci,
                "options": {"packet_length": {"offset_bits": 32, "bits": 16, "adjust": 7}},
            },
        },
    }


def telemetry_archive(path, definitions, hk_packets=40, sci_packets=30):
    hk = definitions.packet_type("hk").layout
    kept = np.setdiff1d(np.arange(hk_packets), HK_LOST)
    columns = {
        "ident": np.full(len(kept), 0x0800 | 0x2A5),
        "sequence": 0xC000 | kept,
        "length": np.full(len(kept), hk.size_bytes - 7),
        "obt": START + kept * np.timedelta64(4, "s"),
        "temp": 20.0 + kept * 0.5,
        "mode": np.array(["OFF", "ON", "SAFE"], dtype=object)[kept // 10 % 3],
        "volts": kept * 0.001,
        "spectrum": np.stack([kept % 7, kept % 5, kept % 3, kept % 2], axis=1),
        "label": np.where(kept < 20, "OPEN", "SHUT"),
    }
    if "mode" in hk.names and definitions.packet_type("hk").states.get("mode") is None:
        columns["mode"] = kept // 10 % 3
    data = hk.pack_many(columns)
    sci = definitions.packet_type("sci").layout
    index = np.arange(sci_packets)
    data += sci.pack_many(
        {
            "ident": np.full(sci_packets, 0x0800 | 0x3C0),
            "sequence": 0xC000 | index,
            "day": START + index * np.timedelta64(1, "s"),
            "samples": [list(range(1, 1 + i % 3 + 1)) for i in index],
            "bx": index * 10,
            "by": -index,
        }
    )
    Path(path).write_bytes(data)
    return path


@pytest.fixture(scope="module")
def telemetry(tmp_path_factory):
    folder = tmp_path_factory.mktemp("telemetry")
    definitions = definitions_module.from_document(telemetry_document(), "telemetry.json")
    return definitions, telemetry_archive(folder / "telemetry.bin", definitions)


# Which fields a name means ------------------------------------------------------


def test_a_name_several_types_have_means_each_of_them_in_definitions_order(day):
    assert plot.resolve_fields(day, ["bx", "temperature", "magnetometer.bx"]) == [
        ("magnetometer", "bx"),
        ("housekeeping", "temperature"),
        ("magnetometer", "temperature"),
    ]
    assert plot.resolve_fields(day, ["magnetometer.temperature"]) == [
        ("magnetometer", "temperature")
    ]


def test_unknown_fields_and_types_are_one_line_errors(tmp_path, capsys):
    out = tmp_path / "x.png"
    assert run("plot", DEFINITIONS, ARCHIVE, "housekeeping.bx", "-o", out) == 1
    assert capsys.readouterr().err == (
        "vantrel: housekeeping.bx: packet type 'housekeeping' has no field 'bx'\n"
    )
    assert run("plot", DEFINITIONS, ARCHIVE, "satellite.bx", "-o", out) == 1
    assert capsys.readouterr().err == (
        f"vantrel: satellite.bx: no packet type 'satellite' in {DEFINITIONS}\n"
    )
    assert run("plot", DEFINITIONS, ARCHIVE, "colour", "-o", out) == 1
    assert "colour: no packet type of" in capsys.readouterr().err
    assert not out.exists()


def test_the_readme_and_command_docs_plot_example_runs(tmp_path, monkeypatch, capsys):
    documented = "vantrel plot day.toml day.bin bx temperature -o look.png"
    for page in (ROOT / "README.md", ROOT / "docs" / "command.md"):
        assert documented in page.read_text(encoding="utf-8"), page.name
    monkeypatch.chdir(tmp_path)
    for name in ("day.toml", "day.bin"):
        (tmp_path / name).write_bytes((EXAMPLE / name).read_bytes())
    assert run(*documented.split()[1:]) == 0
    assert capsys.readouterr().out == (
        "magnetometer.bx, housekeeping.temperature, magnetometer.temperature -> look.png\n"
    )
    assert (tmp_path / "look.png").read_bytes()[:8] == b"\x89PNG\r\n\x1a\n"


# Panels, labels, units, the shared time axis ---------------------------------------


def test_one_panel_per_field_labelled_with_field_unit_and_type(day):
    figure = figure_of(day, ARCHIVE, ["bx", "temperature"])
    axes = panels(figure)
    assert [a.get_ylabel() for a in axes] == ["bx [nT]", "temperature", "temperature [°C]"]
    assert [a.get_title(loc="left") for a in axes] == [
        "magnetometer",
        "housekeeping",
        "magnetometer",
    ]
    assert [[line.get_label() for line in a.get_lines()] for a in axes] == [
        ["magnetometer.bx"],
        ["housekeeping.temperature"],
        ["magnetometer.temperature"],
    ]


def test_panels_share_one_time_axis_labelled_under_the_last(day):
    figure = figure_of(day, ARCHIVE, ["bx", "temperature"])
    top, middle, bottom = panels(figure)
    shared = top.get_shared_x_axes()
    assert shared.joined(top, middle) and shared.joined(top, bottom)
    assert [a.get_xlabel() for a in (top, middle, bottom)] == ["", "", "obt_seconds [s]"]
    FigureCanvasAgg(figure).draw()
    shown = [any(t.get_visible() for t in a.get_xticklabels()) for a in (top, middle, bottom)]
    assert shown == [False, False, True]
    middle.set_xlim(100, 200)  # zooming one panel zooms them all
    assert top.get_xlim() == bottom.get_xlim() == (100, 200)


def test_time_axes_of_different_scales_are_not_shared(telemetry):
    definitions, archive = telemetry
    figure = figure_of(definitions, archive, ["temp", "volts", "bx"])
    temp, volts, bx = panels(figure)
    shared = temp.get_shared_x_axes()
    assert shared.joined(temp, volts) and not shared.joined(volts, bx)
    assert [a.get_xlabel() for a in (temp, volts, bx)] == ["", "obt (UTC)", "day (TAI)"]


def test_panels_per_unit_put_the_fields_of_one_unit_together(telemetry):
    definitions, archive = telemetry
    figure = figure_of(
        definitions, archive, ["bx", "volts", "by", "temp", "mode", "sci.n"], panels="unit"
    )
    axes = panels(figure)
    assert [[line.get_label() for line in a.get_lines()] for a in axes] == [
        ["sci.bx", "sci.by"],
        ["hk.volts"],
        ["hk.temp"],
        ["hk.mode"],
        ["sci.n"],
    ]
    assert [a.get_ylabel() for a in axes] == ["nT", "V", "°C", "mode", "n"]
    legend = axes[0].get_legend()
    assert [text.get_text() for text in legend.get_texts()] == ["sci.bx", "sci.by"]


def test_units_come_from_the_items_and_are_not_given_to_the_layout(telemetry):
    definitions, _ = telemetry
    hk = definitions.packet_type("hk")
    assert hk.units == {"temp": "°C", "volts": "V", "spectrum": "counts"}
    assert hk.states == {"mode": ("OFF", "ON", "SAFE")}
    assert "unit" not in str(hk.layout.names)
    document = telemetry_document()
    document["packets"]["hk"]["layout"][1]["unit"] = 5
    with pytest.raises(definitions_module.DefinitionsError) as error:
        definitions_module.from_document(document, "t.json")
    assert str(error.value) == (
        "t.json: packet type 'hk': field 'temp': 'unit' must be a non-empty string, not 5"
    )


# Gaps ----------------------------------------------------------------------------


def test_a_lost_packet_breaks_the_line(day):
    # day.bin lost one magnetometer packet on the link: the line stops there.
    (bx,) = panels(figure_of(day, ARCHIVE, ["bx"]))[0].get_lines()
    x, y = np.asarray(bx.get_xdata()), np.asarray(bx.get_ydata())
    (hole,) = np.flatnonzero(np.isnan(y))
    assert x[hole + 1] - x[hole - 1] == 2  # one second lost of a 1 Hz series
    assert x[hole] == x[hole - 1] + 1  # the break one usual step after the last packet
    assert len(y) == 21_598 + 1


def test_gaps_in_time_codes_are_nan_breaks_at_each_lost_run(telemetry):
    definitions, archive = telemetry
    (temp,) = panels(figure_of(definitions, archive, ["temp"]))[0].get_lines()
    x, y = np.asarray(temp.get_xdata()), np.asarray(temp.get_ydata())
    assert x.dtype == np.dtype("datetime64[ns]")
    (hole,) = np.flatnonzero(np.isnan(y))
    assert x[hole - 1] == START + np.timedelta64(4 * 9, "s")
    assert x[hole + 1] == START + np.timedelta64(4 * 12, "s")
    assert np.isfinite(np.delete(y, hole)).all()


def test_gaps_are_found_from_the_usual_step():
    x = np.array([0, 10, 20, 30, 60, 70, 65, 75], dtype=float)
    step = plot.usual_step(x)
    assert step == 10
    assert plot.gaps(x, step).tolist() == [3, 5]  # 30 s lost; a step back in time
    x2, y2 = plot.broken(x, np.ma.masked_array(np.arange(8.0), mask=[0, 0, 1, 0, 0, 0, 0, 0]), step)
    assert x2.tolist() == [0, 10, 20, 30, 40, 60, 70, 80, 65, 75]
    assert np.isnan(y2).tolist() == [
        False,
        False,
        True,
        False,
        True,
        False,
        False,
        True,
        False,
        False,
    ]
    assert plot.gaps(np.array([5.0]), plot.usual_step(np.array([5.0]))).tolist() == []


# States and text as steps --------------------------------------------------------


def test_states_are_steps_with_their_names_on_the_axis_by_raw_value(telemetry):
    definitions, archive = telemetry
    (axis,) = panels(figure_of(definitions, archive, ["mode"]))
    (line,) = axis.get_lines()
    assert line.get_drawstyle() == "steps-post"
    assert [t.get_text() for t in axis.get_yticklabels()] == ["OFF", "ON", "SAFE"]
    assert axis.get_yticks().tolist() == [0, 1, 2]
    y = np.asarray(line.get_ydata())
    kept = np.setdiff1d(np.arange(40), HK_LOST)
    expected = (kept // 10 % 3).astype(float)
    assert np.array_equal(y[~np.isnan(y)], expected)
    assert np.isnan(y).sum() == 1  # the lost packets


def test_text_fields_are_steps_of_their_values(day):
    (axis,) = panels(figure_of(day, ARCHIVE, ["mode"]))
    (line,) = axis.get_lines()
    assert line.get_drawstyle() == "steps-post"
    names = [t.get_text() for t in axis.get_yticklabels()]
    assert sorted(names) == ["NOMINAL", "SAFE"]
    y = np.asarray(line.get_ydata())
    first = names.index("SAFE")
    assert y[0] == first and y[-1] == 1 - first  # SAFE for the first hour, then NOMINAL


# Arrays as images ------------------------------------------------------------------


def test_a_fixed_array_is_an_image_of_time_and_element_with_the_gap_masked(telemetry):
    definitions, archive = telemetry
    figure = figure_of(definitions, archive, ["spectrum"])
    (axis,) = panels(figure)
    (image,) = axis.get_images()
    grid = image.get_array()
    assert grid.shape == (4, 40)  # elements up, one column per 4 s
    kept = np.setdiff1d(np.arange(40), HK_LOST)
    assert grid.mask[:, list(HK_LOST)].all() and not grid.mask[:, kept].any()
    assert grid[0, kept].tolist() == (kept % 7).tolist()
    assert grid[3, kept].tolist() == (kept % 2).tolist()
    assert axis.get_ylabel() == "spectrum element"
    (bar,) = [a for a in figure.get_axes() if a.get_label() == "<colorbar>"]
    assert bar.get_ylabel() == "spectrum [counts]"
    left, right = (num2date(v) for v in image.get_extent()[:2])
    assert (left.isoformat(), right.isoformat()) == (
        "2026-10-13T05:59:58+00:00",
        "2026-10-13T06:02:38+00:00",
    )


def test_a_counted_array_is_an_image_with_short_packets_masked(telemetry):
    definitions, archive = telemetry
    (axis,) = panels(figure_of(definitions, archive, ["samples", "bx"]))[:1]
    (image,) = axis.get_images()
    grid = image.get_array()
    assert grid.shape == (3, 30)
    lengths = np.arange(30) % 3 + 1
    assert (~grid.mask).sum(axis=0).tolist() == lengths.tolist()
    assert grid[:, 2].tolist() == [1, 2, 3]


def test_an_array_field_plots_from_the_command(tmp_path):
    document = telemetry_document(states=False)
    (tmp_path / "t.json").write_text(json.dumps(document))
    definitions = definitions_module.load(tmp_path / "t.json")
    archive = telemetry_archive(tmp_path / "t.bin", definitions)
    out = tmp_path / "arrays.png"
    assert (
        run("plot", tmp_path / "t.json", archive, "spectrum", "samples", "mode", "-o", out, "-q")
        == 0
    )
    assert out.read_bytes()[:8] == b"\x89PNG\r\n\x1a\n"


def test_many_packets_are_averaged_into_the_columns_of_an_image():
    x = np.arange(10_000, dtype=float)
    values = np.ma.masked_array(np.stack([x, -x], axis=1))
    grid, (left, right) = plot.image_grid(x, values)
    assert grid.shape == (plot.IMAGE_COLUMNS, 2)
    assert grid[:, 0].sum() == pytest.approx(x.sum() / len(x) * plot.IMAGE_COLUMNS, rel=1e-3)
    assert (left, right) == pytest.approx((-1.22, 9_999 + 1.22), abs=0.01)


# Dates ---------------------------------------------------------------------------


def test_date_axes_show_year_month_and_day_besides_the_time(telemetry):
    definitions, archive = telemetry
    figure = figure_of(definitions, archive, ["temp", "volts"])
    FigureCanvasAgg(figure).draw()
    upper, lower = panels(figure)
    formatter = lower.xaxis.get_major_formatter()
    assert isinstance(formatter, ConciseDateFormatter)
    # Ticks every 30 s of a 2.5-minute span: the date and the hour are the offset's.
    assert formatter.get_offset() == "2026-10-13 06:02"
    assert lower.xaxis.offsetText.get_visible() and not upper.xaxis.offsetText.get_visible()
    ticks = [t.get_text() for t in lower.get_xticklabels() if t.get_text()]
    assert "06:01" in ticks and "30" in ticks
    assert {num2date(t).date().isoformat() for t in lower.get_xticks()} == {"2026-10-13"}


def date_axis(start, stop, unit):
    times = np.arange(start, stop, np.timedelta64(1, unit), dtype="datetime64[ns]")
    values = np.ma.masked_array(np.arange(len(times), dtype=float))
    figure = plot.draw([plot.Series("hk", "temp", times, values, "obt (UTC)", "date")])
    FigureCanvasAgg(figure).draw()
    (axis,) = panels(figure)
    ticks = [t.get_text() for t in axis.get_xticklabels() if t.get_text()]
    return ticks, axis.xaxis.get_major_formatter().get_offset()


@pytest.mark.parametrize(
    "start, stop, unit, tick, offset",
    [
        ("2026-10-13T00:00", "2026-10-13T12:00", "m", "02:00", "2026-10-13"),
        ("2026-10-01", "2026-10-20", "h", "03", "2026-10"),
        ("2026-02-01", "2026-07-01", "D", "Mar", "2026"),
        ("2025-11-01", "2026-05-01", "D", "2026", ""),  # the year is a tick of its own
    ],
)
def test_every_date_axis_shows_the_year_and_month(start, stop, unit, tick, offset):
    ticks, shown = date_axis(start, stop, unit)
    assert tick in ticks and shown == offset


# Formats and files -----------------------------------------------------------------


def png_facts(path):
    """Width, height and text chunks of a PNG, read with the standard library."""
    data = Path(path).read_bytes()
    assert data[:8] == b"\x89PNG\r\n\x1a\n"
    width, height = struct.unpack(">II", data[16:24])
    texts, position = {}, 8
    while position < len(data):
        (length,) = struct.unpack(">I", data[position : position + 4])
        kind = data[position + 4 : position + 8]
        body = data[position + 8 : position + 8 + length]
        if kind == b"tEXt":
            key, _, value = body.partition(b"\0")
            texts[key.decode()] = value.decode("latin-1")
        elif kind == b"zTXt":
            key, _, rest = body.partition(b"\0")
            texts[key.decode()] = zlib.decompress(rest[1:]).decode("latin-1")
        position += 12 + length
    return width, height, texts


def test_png_of_the_size_asked_names_its_traces(tmp_path):
    out = tmp_path / "look.png"
    argv = ["plot", DEFINITIONS, ARCHIVE, "bx", "housekeeping.temperature", "-o", out]
    assert run(*argv, "--size", "640x480", "-q") == 0
    width, height, texts = png_facts(out)
    assert (width, height) == (640, 480)
    assert texts["Description"] == "magnetometer.bx, housekeeping.temperature"


def test_svg_by_its_suffix(tmp_path):
    out = tmp_path / "look.svg"
    assert run("plot", DEFINITIONS, ARCHIVE, "bx", "-o", out, "-q") == 0
    text = out.read_text(encoding="utf-8")
    assert text.startswith("<?xml") and "<svg" in text[:1000]
    assert "<dc:description>magnetometer.bx</dc:description>" in text


def test_pdf_by_its_suffix(tmp_path):
    out = tmp_path / "LOOK.PDF"
    assert run("plot", DEFINITIONS, ARCHIVE, "bx", "-o", out, "-q") == 0
    data = out.read_bytes()
    assert data.startswith(b"%PDF-") and data.rstrip().endswith(b"%%EOF")
    assert b"/Subject (magnetometer.bx)" in data


@pytest.mark.parametrize("name", ["look.jpg", "look", "look.png.txt"])
def test_other_suffixes_are_refused_in_one_line_before_any_work(tmp_path, capsys, name):
    out = tmp_path / "out" / name
    assert run("plot", DEFINITIONS, ARCHIVE, "bx", "-o", out, "-q") == 1
    err = capsys.readouterr().err
    assert err.count("\n") == 1 and err.endswith("name the output .png, .svg or .pdf\n")
    assert not (tmp_path / "out").exists()  # not even the output folder was made


# Fields without values, times as values ---------------------------------------------


def test_a_type_without_packets_gets_an_empty_panel_saying_so(tmp_path, telemetry):
    definitions, archive = telemetry
    only_hk = tmp_path / "hk.bin"
    data = archive.read_bytes()
    only_hk.write_bytes(data[: definitions.packet_type("hk").layout.size_bytes * 38])
    figure = figure_of(definitions, only_hk, ["temp", "bx", "samples", "mode"])
    temp, bx, samples, mode = panels(figure)
    assert len(temp.get_lines()[0].get_xdata()) == 38 + 1  # and the gap
    for axis in (bx, samples):
        assert [t.get_text() for t in axis.texts] == ["no values"]
    assert not samples.get_images()
    assert len(temp.texts) == len(mode.texts) == 0
    FigureCanvasAgg(figure).draw()


def test_a_time_code_as_values_is_a_date_axis_with_gaps(telemetry):
    definitions, archive = telemetry
    (axis,) = panels(figure_of(definitions, archive, ["obt"]))
    (line,) = axis.get_lines()
    y = np.asarray(line.get_ydata())
    assert y.dtype == np.dtype("datetime64[ns]") and np.isnat(y).sum() == 1
    assert isinstance(axis.yaxis.get_major_formatter(), ConciseDateFormatter)
    FigureCanvasAgg(axis.figure).draw()


def test_an_empty_panel_leaves_the_shared_time_axis_where_the_data_is():
    times = START + np.arange(10) * np.timedelta64(1, "s")
    full = plot.Series("a", "x", times, np.ma.masked_array(np.arange(10.0)), "t (UTC)", "date")
    empty = [
        plot.Series("b", field, times[:0], values, "u (UTC)", "date", time_scale="UTC")
        for field, values in (("y", np.ma.masked_all((0,))), ("z", np.ma.masked_all((0, 3))))
    ]
    full.time_scale = "UTC"
    figure = plot.draw([full, *empty])
    first, *others = panels(figure)
    assert all(first.get_shared_x_axes().joined(first, other) for other in others)
    left, right = (num2date(v) for v in first.get_xlim())
    assert left.year == right.year == 2026


# The library ---------------------------------------------------------------------


def test_the_library_draws_what_the_command_draws(day):
    import vantrel.plots
    from vantrel.command.common import CommandError

    by_path = vantrel.plots.plot(DEFINITIONS, ARCHIVE, ["bx", "temperature"], panels="unit")
    by_object = vantrel.plots.plot(day, ARCHIVE, ["bx", "temperature"], panels="unit")
    for figure in (by_path, by_object):
        assert [a.get_ylabel() for a in panels(figure)] == ["nT", "temperature", "°C"]
    with pytest.raises(CommandError, match="colour: no packet type of"):
        vantrel.plots.plot(day, ARCHIVE, ["colour"])
    with pytest.raises(CommandError, match="no such file"):
        vantrel.plots.plot(day, ARCHIVE.with_name("absent.bin"), ["bx"])


def test_a_shared_axis_names_every_time_field_of_its_panels():
    times = START + np.arange(10) * np.timedelta64(1, "s")
    values = np.ma.masked_array(np.arange(10.0))
    figure = plot.draw(
        [
            plot.Series("a", "x", times, values, "obt (UTC)", "date", time_scale="UTC"),
            plot.Series("b", "y", times, values, "time (UTC)", "date", time_scale="UTC"),
            plot.Series("c", "z", times, values, "obt (UTC)", "date", time_scale="UTC"),
            plot.Series("d", "w", times, values, "day (TAI)", "date", time_scale="TAI"),
        ]
    )
    assert [a.get_xlabel() for a in panels(figure)] == [
        "",
        "",
        "obt (UTC), time (UTC)",
        "day (TAI)",
    ]


def test_many_states_get_ticks_by_a_locator_with_their_names():
    names = np.array([f"S{i:02d}" for i in range(40)], dtype=object)
    series = plot.Series("hk", "mode", np.arange(40.0), np.ma.masked_array(names), "t", "number")
    figure = plot.draw([series])
    FigureCanvasAgg(figure).draw()
    (axis,) = panels(figure)
    ticks = zip(axis.get_yticks(), (t.get_text() for t in axis.get_yticklabels()))
    shown = {int(tick): label for tick, label in ticks if 0 <= tick < 40}
    assert 2 <= len(shown) <= 12
    assert all(label == names[tick] for tick, label in shown.items())


def test_ragged_columns_become_tables_padded_and_masked():
    class Ragged:  # what a RaggedColumn offers: values, offsets, mask
        values = np.array([9, 1, 2, 3, 4, 5, 6, 9])
        offsets = np.array([1, 3, 3, 6, 7])
        mask = np.array([False, False, True, False])

    table = plot._masked(Ragged())
    assert table.shape == (4, 3)
    assert table.tolist() == [[1, 2, None], [None] * 3, [None] * 3, [6, None, None]]
