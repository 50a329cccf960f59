"""What the tests of the command share: the shipped example and a way to run it."""

import signal
from pathlib import Path

from vantrel.command.main import main

EXAMPLE = Path(__file__).resolve().parents[1] / "examples" / "command"
ARCHIVE = EXAMPLE / "day.bin"
DEFINITIONS = EXAMPLE / "day.toml"
TABLES = ("housekeeping", "event", "magnetometer")


def run(*argv) -> int:
    """The command, in this process, with every argument as text."""
    return main([str(a) for a in argv])


def with_interrupts() -> None:
    """For a child process: Ctrl-C as a terminal gives it, whatever this process
    inherited (a shell starts background jobs with SIGINT ignored, and a
    child keeps what it is started with)."""
    signal.signal(signal.SIGINT, signal.SIG_DFL)
