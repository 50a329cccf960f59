"""The command's files: where outputs may go, what may be replaced, links,
interrupted and failing runs, and inputs that change or are outputs.

Every case runs the command on real files in a temporary folder and then
looks at the whole tree: what must stay must be byte for byte what it was.
"""

import json
import os
import signal
import subprocess
import sys
import time
from pathlib import Path

import pytest

from command_helpers import ARCHIVE, DEFINITIONS, TABLES, run, with_interrupts
from vantrel.command import engine
from vantrel.command.common import CommandError

pq = pytest.importorskip("pyarrow.parquet")


def tree(folder: Path) -> dict[str, bytes | None]:
    """Every path below `folder` (links not followed), with a file's bytes or a link's target."""
    out = {}
    for root, dirs, files in os.walk(folder):
        for name in dirs + files:
            path = Path(root) / name
            key = str(path.relative_to(folder))
            if path.is_symlink():
                out[key] = ("link", os.readlink(path))
            elif path.is_file():
                out[key] = path.read_bytes()
            else:
                out[key] = None
    return out


def day_document() -> dict:
    if sys.version_info >= (3, 11):
        import tomllib
    else:
        tomllib = pytest.importorskip("tomli")
    return tomllib.loads(DEFINITIONS.read_text())


def definitions_with_types(tmp_path: Path, names: list[str]) -> Path:
    """day.toml as JSON, its packet types renamed to `names` (in order)."""
    document = day_document()
    packets = list(document["packets"].values())
    document["packets"] = dict(zip(names, packets))
    path = tmp_path / "defs.json"
    path.write_text(json.dumps(document))
    return path


def no_staging_left(folder: Path) -> bool:
    return not [p for p in folder.iterdir() if p.name.startswith(".vantrel-staging-")]


class TestTypeNamesAreNotPaths:
    @pytest.mark.parametrize(
        "name",
        ["../escaped", "ABSOLUTE", "a/b", "..", ".", "a\\b", "nul\0name", "", " padded"],
    )
    def test_a_type_name_that_is_not_a_file_name_is_refused(self, tmp_path, capsys, name):
        if name == "ABSOLUTE":  # an absolute path, in this test's own folder
            name = str(tmp_path / "absolute")
        defs = definitions_with_types(tmp_path, [name, "event", "magnetometer"])
        out = tmp_path / "inner" / "out"
        before = tree(tmp_path)
        assert run("decode", defs, ARCHIVE, "-o", out, "-q") == 1
        err = capsys.readouterr().err
        assert err.count("\n") == 1 and "packet type" in err and repr(name) in err
        after = tree(tmp_path)
        # Nothing written anywhere, not even the output folder's tables.
        assert {k: v for k, v in after.items() if not k.startswith("inner")} == before

    @pytest.mark.parametrize(
        "names",
        [["hk", "HK", "event"], ["caf\u00e9", "cafe\u0301", "event"], ["a", "A", "b"]],
    )
    def test_names_that_one_file_system_may_take_for_one_file_are_refused(
        self, tmp_path, capsys, names
    ):
        defs = definitions_with_types(tmp_path, names)
        assert run("decode", defs, ARCHIVE, "-o", tmp_path / "out", "-q") == 1
        assert "differ only by case" in capsys.readouterr().err
        assert not (tmp_path / "out").exists() or not list((tmp_path / "out").iterdir())

    def test_plain_unusual_names_are_fine(self, tmp_path):
        names = ["house keeping", "évent-1", "mag.v2"]
        defs = definitions_with_types(tmp_path, names)
        assert run("decode", defs, ARCHIVE, "-o", tmp_path / "out", "-q") == 0
        assert sorted(p.name for p in (tmp_path / "out").iterdir()) == sorted(
            f"{n}.parquet" for n in names
        )


class TestNothingReplacedUnasked:
    @pytest.mark.parametrize("fmt", ["parquet", "csv"])
    def test_an_existing_output_stops_the_run_before_anything_is_written(
        self, tmp_path, capsys, fmt
    ):
        out = tmp_path / "out"
        out.mkdir()
        mine = out / f"event.{fmt}"
        mine.write_bytes(b"the user's own file")
        assert run("decode", DEFINITIONS, ARCHIVE, "-o", out, "-q", "-f", fmt) == 1
        err = capsys.readouterr().err
        assert f"event.{fmt}" in err and "--overwrite" in err and err.count("\n") == 1
        assert tree(out) == {f"event.{fmt}": b"the user's own file"}

    @pytest.mark.parametrize("fmt", ["parquet", "csv"])
    def test_overwrite_replaces_outputs_and_leaves_other_files_alone(self, tmp_path, fmt):
        out = tmp_path / "out"
        out.mkdir()
        (out / f"event.{fmt}").write_bytes(b"old")
        (out / "notes.txt").write_text("keep me")
        assert run("decode", DEFINITIONS, ARCHIVE, "-o", out, "-q", "-f", fmt, "--overwrite") == 0
        assert (out / "notes.txt").read_text() == "keep me"
        assert (out / f"event.{fmt}").read_bytes() != b"old"
        assert sorted(p.name for p in out.iterdir()) == sorted(
            [f"{t}.{fmt}" for t in TABLES] + ["notes.txt"]
        )

    def test_a_folder_with_other_files_is_refused_before_any_type_is_touched(self, tmp_path):
        out = tmp_path / "out"
        assert run("decode", DEFINITIONS, ARCHIVE, "-o", out, "-q") == 0
        # housekeeping is checked first, event last: nothing may go before the refusal.
        (out / "magnetometer.parquet").unlink()
        (out / "magnetometer.parquet").mkdir()
        (out / "magnetometer.parquet" / "part-0-0.parquet").write_bytes(b"a part")
        (out / "magnetometer.parquet" / "mine.txt").write_text("mine")
        before = tree(out)
        assert run("decode", DEFINITIONS, ARCHIVE, "-o", out, "-q", "--overwrite") == 1
        assert tree(out) == before

    def test_a_folder_of_parts_alone_is_replaced(self, tmp_path):
        out = tmp_path / "out"
        assert run("decode", DEFINITIONS, ARCHIVE, "-o", out, "-q") == 0
        expected = pq.read_table(out / "event.parquet")
        (out / "event.parquet").unlink()
        (out / "event.parquet").mkdir()
        (out / "event.parquet" / "part-0-0.parquet").write_bytes(b"a stale part")
        assert run("decode", DEFINITIONS, ARCHIVE, "-o", out, "-q", "--overwrite") == 0
        assert (out / "event.parquet").is_file()
        assert pq.read_table(out / "event.parquet").equals(expected)

    def test_split_and_plot_refuse_to_replace_too(self, tmp_path, capsys):
        out = tmp_path / "split"
        out.mkdir()
        (out / "apid_0677.bin").write_bytes(b"mine")
        assert run("split", ARCHIVE, "-o", out, "-q") == 1
        assert (out / "apid_0677.bin").read_bytes() == b"mine" and len(list(out.iterdir())) == 1
        assert run("split", ARCHIVE, "-o", out, "-q", "--overwrite") == 0
        assert (out / "apid_0677.bin").read_bytes() != b"mine"
        pytest.importorskip("matplotlib")
        image = tmp_path / "look.png"
        image.write_bytes(b"mine")
        plot = ["plot", DEFINITIONS, ARCHIVE, "bx", "-o", image, "-q"]
        assert run(*plot) == 1
        assert image.read_bytes() == b"mine"
        assert run(*plot, "--overwrite") == 0
        assert image.read_bytes().startswith(b"\x89PNG")
        assert sorted(p.name for p in tmp_path.iterdir()) == ["look.png", "split"]


class TestLinks:
    def test_a_linked_output_file_is_not_written_through(self, tmp_path, capsys):
        outside = tmp_path / "outside.parquet"
        outside.write_bytes(b"precious")
        out = tmp_path / "out"
        out.mkdir()
        (out / "housekeeping.parquet").symlink_to(outside)
        for extra in ([], ["--overwrite"]):
            assert run("decode", DEFINITIONS, ARCHIVE, "-o", out, "-q", *extra) == 1
            assert "symbolic link" in capsys.readouterr().err
        assert outside.read_bytes() == b"precious"
        assert tree(out) == {"housekeeping.parquet": ("link", str(outside))}

    def test_a_linked_output_folder_keeps_its_contents(self, tmp_path):
        elsewhere = tmp_path / "dataset"
        elsewhere.mkdir()
        (elsewhere / "part-0-0.parquet").write_bytes(b"someone else's part")
        out = tmp_path / "out"
        out.mkdir()
        (out / "event.parquet").symlink_to(elsewhere, target_is_directory=True)
        assert run("decode", DEFINITIONS, ARCHIVE, "-o", out, "-q", "--overwrite") == 1
        assert tree(elsewhere) == {"part-0-0.parquet": b"someone else's part"}

    def test_split_never_writes_through_a_link(self, tmp_path):
        outside = tmp_path / "outside.bin"
        outside.write_bytes(b"precious")
        out = tmp_path / "out"
        out.mkdir()
        (out / "apid_0677.bin").symlink_to(outside)
        assert run("split", ARCHIVE, "-o", out, "-q", "--overwrite") == 1
        assert outside.read_bytes() == b"precious"


class TestInputsAndOutputs:
    def test_an_archive_that_is_also_an_output_is_refused(self, tmp_path, capsys):
        out = tmp_path / "out"
        out.mkdir()
        inside = out / "housekeeping.parquet"
        inside.write_bytes(ARCHIVE.read_bytes())
        assert run("decode", DEFINITIONS, inside, "-o", out, "-q", "--overwrite") == 1
        assert "also an output" in capsys.readouterr().err
        assert inside.read_bytes() == ARCHIVE.read_bytes()
        # Through a hard link, the same file under another name.
        other = tmp_path / "other.bin"
        os.link(inside, other)
        assert run("decode", DEFINITIONS, other, "-o", out, "-q", "--overwrite") == 1
        assert other.read_bytes() == ARCHIVE.read_bytes()

    def test_an_archive_in_a_part_folder_being_replaced_is_refused(self, tmp_path):
        out = tmp_path / "out"
        (out / "event.parquet").mkdir(parents=True)
        part = out / "event.parquet" / "part-0-0.parquet"
        part.write_bytes(ARCHIVE.read_bytes())
        assert run("decode", DEFINITIONS, part, "-o", out, "-q", "--overwrite") == 1
        assert part.read_bytes() == ARCHIVE.read_bytes()

    def test_plot_onto_its_own_archive_is_refused(self, tmp_path):
        pytest.importorskip("matplotlib")
        archive = tmp_path / "day.png"
        archive.write_bytes(ARCHIVE.read_bytes())
        assert run("plot", DEFINITIONS, archive, "bx", "-o", archive, "-q", "--overwrite") == 1
        assert archive.read_bytes() == ARCHIVE.read_bytes()

    def test_a_file_that_shrinks_while_read_is_one_clear_error(self, tmp_path, capsys, monkeypatch):
        archive = tmp_path / "day.bin"
        archive.write_bytes(ARCHIVE.read_bytes())
        frame = engine.frame
        calls = []

        def frame_then_shrink(view, definitions):
            calls.append(1)
            if len(calls) == 2:
                with open(archive, "r+b") as f:
                    f.truncate(100_000)
            return frame(view, definitions)

        monkeypatch.setattr(engine, "frame", frame_then_shrink)
        out = tmp_path / "out"
        assert run("decode", DEFINITIONS, archive, "-o", out, "-q", "--chunk-size", "64k") == 1
        err = capsys.readouterr().err
        assert "changed size" in err and err.count("\n") == 1
        assert list(out.iterdir()) == []

    def test_a_read_that_comes_up_short_is_refused(self, tmp_path):
        path = tmp_path / "a.bin"
        path.write_bytes(bytes(1000))
        assert engine.read_range(str(path), 10, 1000, 1000) == bytes(990)
        with pytest.raises(CommandError, match="changed size from 2,000 to 1,000 bytes"):
            engine.read_range(str(path), 0, 1000, 2000)
        with pytest.raises(CommandError, match="changed size"):
            engine.read_range(str(path), 500, 1500)


class TestFailedRunsLeaveEarlierOutputs:
    @pytest.mark.parametrize("fmt", ["parquet", "csv"])
    def test_a_failure_midway_keeps_the_previous_tables(self, tmp_path, monkeypatch, fmt):
        out = tmp_path / "out"
        assert run("decode", DEFINITIONS, ARCHIVE, "-o", out, "-q", "-f", fmt) == 0
        before = tree(out)
        run_chunk = engine.run_chunk
        seen = []

        def fail_on_third_chunk(*args, **kwargs):
            seen.append(1)
            if len(seen) == 3:
                raise OSError(28, "No space left on device")
            return run_chunk(*args, **kwargs)

        monkeypatch.setattr("vantrel.command.running.run_chunk", fail_on_third_chunk)
        options = ["-q", "-f", fmt, "--chunk-size", "64k", "--overwrite"]
        assert run("decode", DEFINITIONS, ARCHIVE, "-o", out, *options) == 1
        assert tree(out) == before


def repeated_archive(path: Path, megabytes: int) -> Path:
    data = ARCHIVE.read_bytes()
    with open(path, "wb") as f:
        for _ in range(megabytes * (1 << 20) // len(data) + 1):
            f.write(data)
    return path


def staging_appears(out: Path, process, timeout: float = 120.0) -> float:
    """Waits until the run has made its staging folder (its imports done, its
    work begun); the time that took, or -1 if the process ended first."""
    started = time.perf_counter()
    while time.perf_counter() - started < timeout:
        if out.is_dir() and not no_staging_left(out):
            return time.perf_counter() - started
        if process.poll() is not None:
            return -1
        time.sleep(0.002)
    raise AssertionError("the decode made no staging folder")


def interrupt_decodes(tmp_path: Path, megabytes: int, fractions: list[float]) -> None:
    """Decode a large archive, interrupted by SIGINT or SIGTERM part of the way through.

    Each fraction is of the time an uninterrupted run spent working (from
    its staging folder's appearance to its end). After each run, the output
    folder holds the earlier complete tables (byte for byte) or, when the
    run finished first, complete new ones.
    """
    archive = repeated_archive(tmp_path / "big.bin", megabytes)
    out = tmp_path / "out"
    command = [sys.executable, "-m", "vantrel", "decode", str(DEFINITIONS), str(archive)]
    command += ["-o", str(out), "-q", "--overwrite"]
    process = subprocess.Popen(
        command, stderr=subprocess.PIPE, text=True, preexec_fn=with_interrupts
    )
    staged = staging_appears(out, process)
    started = time.perf_counter()
    _, err = process.communicate(timeout=300)
    working = time.perf_counter() - started
    assert process.returncode == 0 and staged >= 0, err
    complete = tree(out)
    rows = {t: pq.read_metadata(out / f"{t}.parquet").num_rows for t in TABLES}
    interrupted = 0
    for number, fraction in enumerate(fractions):
        signum = (signal.SIGINT, signal.SIGTERM)[number % 2]
        process = subprocess.Popen(
            command, stderr=subprocess.PIPE, text=True, preexec_fn=with_interrupts
        )
        if staging_appears(out, process) >= 0:
            time.sleep(fraction * working)
            process.send_signal(signum)
        _, err = process.communicate(timeout=300)
        if process.returncode == 0:  # finished before the signal
            assert {t: pq.read_metadata(out / f"{t}.parquet").num_rows for t in TABLES} == rows
            complete = tree(out)
            continue
        interrupted += 1
        expected = 130 if signum == signal.SIGINT else 128 + signal.SIGTERM
        assert process.returncode == expected, err
        assert err.strip().count("\n") == 0 and err.startswith("vantrel: ")
        assert tree(out) == complete
    assert interrupted, "every run finished before its signal: nothing was tested"


def test_signals_during_a_decode_leave_complete_tables_only(tmp_path):
    interrupt_decodes(tmp_path, 24, [0.1, 0.4, 0.6, 0.8])


@pytest.mark.slow
def test_signals_at_random_points_of_a_large_decode(tmp_path):
    import random

    interrupt_decodes(tmp_path, 300, [random.uniform(0.0, 1.0) for _ in range(8)])


def test_a_signal_during_the_renames_waits_for_them(tmp_path, monkeypatch):
    """All of a run's outputs are renamed, or none: a signal waits for the renames."""
    from vantrel.command import outputs

    out = outputs.OutputFolder(tmp_path / "out")
    out.claim(["a.csv", "b.csv"])
    for name in ("a.csv", "b.csv"):
        out.staging_path(name).write_text(name)
    rename = os.rename
    calls = []

    def rename_then_interrupt(source, target):
        rename(source, target)
        calls.append(target)
        if len(calls) == 1:
            os.kill(os.getpid(), signal.SIGINT)

    monkeypatch.setattr(os, "rename", rename_then_interrupt)
    # Ctrl-C raises here even where this process was started with SIGINT ignored.
    previous = signal.signal(signal.SIGINT, signal.default_int_handler)
    try:
        with pytest.raises(KeyboardInterrupt):
            out.commit()
    finally:
        signal.signal(signal.SIGINT, previous)
    assert len(calls) == 2
    assert sorted(p.name for p in (tmp_path / "out").iterdir()) == ["a.csv", "b.csv"]
