"""What the subcommands share: one-line failures, inputs and outputs."""

from __future__ import annotations

import os
from pathlib import Path

# Exit codes, one place for every subcommand (docs/command.md lists them).
EXIT_OK = 0
EXIT_ERROR = 1  # unreadable input, broken definitions, refused outputs, garbage
EXIT_USAGE = 2  # a wrong command line
EXIT_DAMAGE = 3  # damage found, with --strict
EXIT_INTERRUPTED = 130  # SIGINT
EXIT_SIGNAL_BASE = 128  # + the signal's number: SIGTERM 143, SIGHUP 129


class CommandError(Exception):
    """A failure the command reports in one line."""


def check_inputs(paths: list[str]) -> None:
    for path in paths:
        if not os.path.isfile(path):
            raise CommandError(f"{path}: no such file")


def output_dir(path: str) -> Path:
    directory = Path(path)
    try:
        directory.mkdir(parents=True, exist_ok=True)
    except OSError as error:
        raise CommandError(
            f"{path}: cannot create the output directory: {error.strerror}"
        ) from None
    return directory


def plural(count: int, noun: str) -> str:
    """`1 packet`, `2 packets`, `27,038 packets`."""
    return f"{count:,} {noun}{'' if count == 1 else 's'}"


def duration(seconds: float) -> str:
    """`0.42 s`, `12.3 s`, `2 min 05 s`."""
    if seconds < 10:
        return f"{seconds:.2f} s"
    if seconds < 60:
        return f"{seconds:.1f} s"
    minutes, rest = divmod(round(seconds), 60)
    return f"{minutes} min {rest:02d} s"
