"""What the subcommands share: one-line failures, inputs and outputs."""

from __future__ import annotations

import os
from pathlib import Path


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
