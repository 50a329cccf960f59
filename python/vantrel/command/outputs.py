"""The files a run writes: inside the output folder, complete or not at all.

Every output of a subcommand goes through an `OutputFolder`:

- an output's name is one plain path component (a packet type's name, say),
  and its path is checked to lie inside the folder once resolved;
- nothing already there is replaced unless the run was given `--overwrite`,
  and the whole run's outputs are checked before anything is written;
- symbolic links are never written through nor emptied: an output whose
  name is a link is refused;
- each output is written under the run's staging folder (a hidden folder
  of the output folder, so that renames stay on one file system) and
  renamed to its name only when the whole run succeeded; a failure or a
  signal removes the staging folder, and earlier outputs stay as they were;
- a folder of part files (a run on dask) is replaced only when it holds
  nothing but vantrel's part files.
"""

from __future__ import annotations

import contextlib
import os
import shutil
import signal
import stat
import tempfile
import threading
import unicodedata
from collections.abc import Iterable
from pathlib import Path

from .common import CommandError

PART_PREFIX = "part-"
STAGING_PREFIX = ".vantrel-staging-"


def check_name(name: str, what: str) -> str:
    """`name` when it can name a file of the output folder, else an error saying why."""
    problem = None
    if not isinstance(name, str) or not name:
        problem = "is empty"
    elif "\0" in name:
        problem = "holds a NUL character"
    elif "/" in name or "\\" in name or os.sep in name or (os.altsep and os.altsep in name):
        problem = "holds a path separator"
    elif name in (".", ".."):
        problem = "is a relative folder name"
    elif any(unicodedata.category(c) == "Cc" for c in name):
        problem = "holds a control character"
    elif name != name.strip():
        problem = "starts or ends with white space"
    elif name.startswith("."):
        problem = "starts with '.', which hidden and temporary files use"
    if problem:
        raise CommandError(
            f"{what} {name!r} {problem}: it names an output file, so it must be a plain file name"
        )
    return name


def folded(name: str) -> str:
    """The form two names share when a file system may take them for one file."""
    return unicodedata.normalize("NFKC", name).casefold()


def check_distinct(names: Iterable[str], what: str) -> None:
    """Refuse two names that only case or Unicode normalisation tells apart."""
    seen: dict[str, str] = {}
    for name in names:
        key = folded(name)
        if key in seen:
            raise CommandError(
                f"{what} {name!r} and {seen[key]!r} differ only by case or Unicode "
                "normalisation: their output files could be one file"
            )
        seen[key] = name


def _is_parts_folder(path: Path) -> bool:
    """Whether a folder holds nothing but part files (the parts of a run on dask)."""
    with os.scandir(path) as entries:
        return all(
            entry.name.startswith(PART_PREFIX) and entry.is_file(follow_symlinks=False)
            for entry in entries
        )


def same_file(a: str | Path, b: str | Path) -> bool:
    try:
        return os.path.samefile(a, b)
    except OSError:
        return False


class OutputFolder:
    """The output folder of one run, with its staging folder.

    Use: `claim` every output name first, then write each to `staging_path`,
    and `commit` once the run has succeeded (or `discard` when it fails);
    as a context manager, an exception discards.
    """

    def __init__(self, path: str | Path, overwrite: bool = False):
        self.named = str(path)
        self.overwrite = overwrite
        folder = Path(path)
        try:
            folder.mkdir(parents=True, exist_ok=True)
        except FileExistsError:
            raise CommandError(f"{path}: exists and is not a directory") from None
        except OSError as error:
            raise CommandError(
                f"{path}: cannot create the output directory: {error.strerror}"
            ) from None
        self.root = folder.resolve()
        if not self.root.is_dir():
            raise CommandError(f"{path}: exists and is not a directory")
        self.claimed: dict[str, bool] = {}  # name -> whether it is a folder of parts
        self.staging: Path | None = None
        self.lock = threading.Lock()

    # -- before writing -------------------------------------------------------

    def final_path(self, name: str) -> Path:
        """Where output `name` ends up; refused if it would not lie in the folder."""
        check_name(name, "output")
        path = self.root / name
        # A plain name cannot leave the (resolved) folder; the check stays as the rule's statement.
        if path.parent != self.root:
            raise CommandError(f"{name!r}: the output would lie outside {self.named}")
        return path

    def shown(self, name: str) -> Path:
        """Output `name` as the user would write it: in the folder they named."""
        return Path(self.named) / name

    def claim(self, names: Iterable[str], inputs: Iterable[str | Path] = ()) -> None:
        """Check every output the run will write, before any is written.

        Existing outputs stop the run unless it may overwrite, links are
        refused, and so is an input that is also an output (or lies in one).
        """
        names = list(names)
        check_distinct(names, "output")
        existing, refused = [], []
        for name in names:
            path = self.final_path(name)
            try:
                info = os.lstat(path)
            except FileNotFoundError:
                self.claimed[name] = False
                continue
            if stat.S_ISLNK(info.st_mode):
                refused.append(f"{path} is a symbolic link (vantrel does not write through links)")
            elif stat.S_ISDIR(info.st_mode):
                if not _is_parts_folder(path):
                    refused.append(
                        f"{path} is a folder holding files other than vantrel's part files"
                    )
                existing.append(name)
            elif stat.S_ISREG(info.st_mode):
                existing.append(name)
            else:
                refused.append(f"{path} is not a regular file")
            self.claimed[name] = True
        if refused:
            raise CommandError(f"{refused[0]}; nothing was written")
        for source in inputs:
            for name in names:
                path = self.root / name
                if same_file(source, path) or _inside(Path(source), path):
                    raise CommandError(
                        f"{source}: is also an output of this run ({path}); "
                        "write the outputs to another folder"
                    )
        if existing and not self.overwrite:
            shown = ", ".join(existing[:5]) + (
                f" and {len(existing) - 5} more" if len(existing) > 5 else ""
            )
            raise CommandError(
                f"{self.named}: already holds {shown}; give --overwrite to replace "
                f"{'it' if len(existing) == 1 else 'them'}, or another output folder"
            )

    # -- writing ----------------------------------------------------------------

    def stage(self) -> Path:
        """The run's staging folder, made on first use (writer threads may ask at once)."""
        with self.lock:
            if self.staging is None:
                self.staging = Path(tempfile.mkdtemp(prefix=STAGING_PREFIX, dir=self.root))
            return self.staging

    def staging_path(self, name: str) -> Path:
        """Where output `name` is written until the run commits it."""
        if name not in self.claimed:
            raise RuntimeError(f"output {name!r} was not claimed")  # a bug of the caller
        return self.stage() / name

    def commit(self) -> None:
        """Rename every written output to its name, replacing what it may replace.

        Signals wait until the renames are done, so that an interrupted run
        leaves all of its outputs or none of them.
        """
        if self.staging is None:
            return
        with _signals_held():
            try:
                self._rename_all()
            finally:
                self.discard()

    def _rename_all(self) -> None:
        retired = self.staging / ".retired"
        for name in self.claimed:
            written = self.staging / name
            if not os.path.lexists(written):
                continue
            final = self.final_path(name)
            if os.path.lexists(final):
                self._retire(final, name, retired)
            os.rename(written, final)

    def _retire(self, final: Path, name: str, retired: Path) -> None:
        """Move an output being replaced out of the way (into the staging folder)."""
        info = os.lstat(final)
        if stat.S_ISLNK(info.st_mode) or not (
            stat.S_ISDIR(info.st_mode) or stat.S_ISREG(info.st_mode)
        ):
            raise CommandError(f"{final}: changed into a link or special file during the run")
        if stat.S_ISDIR(info.st_mode) and not _is_parts_folder(final):
            raise CommandError(f"{final}: now holds files other than vantrel's part files")
        if not self.overwrite:
            raise CommandError(f"{final}: appeared during the run; give --overwrite to replace it")
        retired.mkdir(exist_ok=True)
        os.rename(final, retired / name)

    def discard(self) -> None:
        """Remove the staging folder: what this run wrote and did not commit."""
        with self.lock:
            staging, self.staging = self.staging, None
        if staging is not None:
            # A signal meanwhile waits: a half-removed staging folder would
            # keep outputs, or the replaced ones, under hidden names.
            with _signals_held():
                shutil.rmtree(staging, ignore_errors=True)

    def __enter__(self) -> OutputFolder:
        return self

    def __exit__(self, kind, value, traceback) -> None:
        self.discard()


@contextlib.contextmanager
def _signals_held():
    """Holds SIGINT, SIGTERM and SIGHUP back until the block ends, then delivers them.

    Python runs signal handlers in the main thread, whichever thread the
    system interrupts: a handler that only notes the signal holds it back.
    """
    if threading.current_thread() is not threading.main_thread():
        yield
        return
    names = ("SIGINT", "SIGTERM", "SIGHUP")
    held = [getattr(signal, n) for n in names if hasattr(signal, n)]
    arrived: list[int] = []
    previous = {s: signal.signal(s, lambda signum, frame: arrived.append(signum)) for s in held}
    try:
        yield
    finally:
        for signum, handler in previous.items():
            signal.signal(signum, handler)
        for signum in dict.fromkeys(arrived):
            signal.raise_signal(signum)


def _inside(path: Path, folder: Path) -> bool:
    """Whether `path` lies in `folder` (a folder of part files being replaced)."""
    try:
        return (
            folder.is_dir()
            and not folder.is_symlink()
            and path.resolve().is_relative_to(folder.resolve())
        )
    except OSError:
        return False
