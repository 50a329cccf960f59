"""What the tests of the command share: the shipped example and a way to run it."""

import signal
from pathlib import Path

from vantrel.command.main import main

EXAMPLE = Path(__file__).resolve().parents[1] / "examples" / "command"
ARCHIVE = EXAMPLE / "day.bin"
DEFINITIONS = EXAMPLE / "day.toml"
TABLES = ("housekeeping", "event", "magnetometer")

# The start of a TOML definitions file: big-endian items after the CCSDS
# primary header, packet types told apart by the APID.
CCSDS_HEADER_TOML = """
defaults = { byte_order = "big", reverse_bits = false }
header = [
  { name = "version", encoding = "unsigned", bits = 3 },
  { name = "packet_type", encoding = "unsigned", bits = 1 },
  { name = "secondary_header", encoding = "unsigned", bits = 1 },
  { name = "apid", encoding = "unsigned", bits = 11 },
  { name = "sequence_flags", encoding = "unsigned", bits = 2 },
  { name = "sequence_count", encoding = "unsigned", bits = 14 },
  { name = "packet_length", encoding = "unsigned", bits = 16 },
]
type_field = "apid"
"""


def run(*argv) -> int:
    """The command, in this process, with every argument as text."""
    return main([str(a) for a in argv])


def with_interrupts() -> None:
    """For a child process: Ctrl-C as a terminal gives it, whatever this process
    inherited (a shell starts background jobs with SIGINT ignored, and a
    child keeps what it is started with)."""
    signal.signal(signal.SIGINT, signal.SIG_DFL)
