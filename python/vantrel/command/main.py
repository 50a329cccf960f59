"""`vantrel`: decode, split, inspect and plot packet archives from the shell.

Exit codes: 0 done; 1 an error (unreadable input, broken definitions, a
missing optional dependency, an output that exists or may not be written);
2 a wrong command line; 3 damage found with --strict (skipped bytes,
undecodable values, packets of no defined type); 130 interrupted (SIGINT);
128 + N ended by signal N (SIGTERM 143, SIGHUP 129). An interrupted run
leaves no output of its own behind.
"""

from __future__ import annotations

import argparse
import signal
import sys
import threading

import vantrel

from . import definitions as definitions_module
from .common import CommandError
from .extras import MissingExtra

EXIT_ERROR = 1
EXIT_USAGE = 2
EXIT_DAMAGE = 3
EXIT_INTERRUPTED = 130
EXIT_SIGNAL_BASE = 128


class Terminated(BaseException):
    """SIGTERM or SIGHUP: unwinds the run as Ctrl-C does, so that its outputs are removed."""

    def __init__(self, signum: int):
        super().__init__(signum)
        self.signum = signum


def _terminate(signum, frame):
    raise Terminated(signum)


def _overwrite(sub: argparse.ArgumentParser) -> None:
    sub.add_argument(
        "--overwrite",
        action="store_true",
        help="replace outputs that already exist (without it, the run stops before writing)",
    )


def _size(text: str) -> int:
    units = {"k": 1 << 10, "m": 1 << 20, "g": 1 << 30}
    text = text.strip().lower().rstrip("b")
    factor = units.get(text[-1:], 1)
    number = text[:-1] if text[-1:] in units else text
    try:
        value = int(float(number) * factor)
    except ValueError:
        raise argparse.ArgumentTypeError(f"not a size: {text!r} (e.g. 64M)") from None
    if value < 1:
        raise argparse.ArgumentTypeError("the size must be positive")
    return value


def _positive(text: str) -> int:
    try:
        value = int(text)
    except ValueError:
        raise argparse.ArgumentTypeError(f"not an integer: {text!r}") from None
    if value < 1:
        raise argparse.ArgumentTypeError("must be at least 1")
    return value


def _pixels(text: str) -> tuple[int, int]:
    try:
        width, height = (int(part) for part in text.lower().split("x"))
    except ValueError:
        raise argparse.ArgumentTypeError(
            f"not a size in pixels: {text!r} (e.g. 1200x800)"
        ) from None
    if width < 16 or height < 16:
        raise argparse.ArgumentTypeError("at least 16x16 pixels")
    return width, height


def build_parser(prog: str | None = None) -> argparse.ArgumentParser:
    parser = argparse.ArgumentParser(
        prog=prog or "vantrel",
        description="Decode, split, inspect and plot archives of telemetry packets.",
        epilog="Exit codes: 0 done, 1 error, 2 wrong command line, 3 damage found with --strict.",
    )
    parser.add_argument("--version", action="version", version=f"vantrel {vantrel.__version__}")
    commands = parser.add_subparsers(dest="command", metavar="COMMAND", required=True)

    def common(sub: argparse.ArgumentParser) -> None:
        sub.add_argument("-q", "--quiet", action="store_true", help="no progress and no summary")
        sub.add_argument(
            "--chunk-size",
            type=_size,
            default=None,
            metavar="BYTES",
            help="bytes per chunk of work (default 16M)",
        )

    decode = commands.add_parser(
        "decode",
        help="decode every packet type into one table each",
        description="Frame the archives, split them by packet type and write one table per type.",
    )
    decode.add_argument(
        "definitions",
        metavar="DEFINITIONS",
        help="definitions file (.json, .toml, or a ccsdspy .csv)",
    )
    decode.add_argument("archives", metavar="ARCHIVE", nargs="+", help="archive files, in order")
    decode.add_argument(
        "-o",
        "--output",
        required=True,
        metavar="OUT",
        help="directory for the tables (created if needed)",
    )
    decode.add_argument(
        "-f",
        "--format",
        choices=("parquet", "arrow", "csv"),
        default="parquet",
        help="parquet (default), arrow (Arrow IPC files, read without decoding) or csv",
    )
    decode.add_argument(
        "--compression",
        metavar="CODEC",
        help="parquet: none, snappy (default), gzip, brotli, lz4, zstd; "
        "arrow: none (default), lz4, zstd",
    )
    decode.add_argument(
        "--row-group-size",
        type=_positive,
        metavar="ROWS",
        help="rows per Parquet row group or Arrow record batch (default: one per chunk)",
    )
    decode.add_argument(
        "--strict", action="store_true", help="exit with status 3 when the archive shows damage"
    )
    decode.add_argument(
        "--raw", action="store_true", help="beside each converted field, its raw values: NAME_raw"
    )
    decode.add_argument(
        "--workers",
        type=_positive,
        metavar="N",
        help="run on N local dask.distributed worker processes",
    )
    decode.add_argument(
        "--scheduler", metavar="ADDRESS", help="run on the dask.distributed scheduler at ADDRESS"
    )
    _overwrite(decode)
    common(decode)

    split = commands.add_parser(
        "split", help="write the packets of each APID to a file of their own"
    )
    split.add_argument("archive", metavar="ARCHIVE")
    split.add_argument("-o", "--output", required=True, metavar="DIR")
    split.add_argument(
        "-d",
        "--definitions",
        metavar="DEFINITIONS",
        help="framing, rules and key field from a definitions file (default CCSDS)",
    )
    _overwrite(split)
    common(split)

    inspect = commands.add_parser("inspect", help="what an archive holds and what looks wrong")
    inspect.add_argument("archive", metavar="ARCHIVE")
    inspect.add_argument("definitions", metavar="DEFINITIONS", nargs="?")
    inspect.add_argument(
        "--strict", action="store_true", help="exit with status 3 when the archive shows damage"
    )
    common(inspect)

    plot = commands.add_parser(
        "plot",
        help="a quick-look plot of parameters against packet time",
        description="Draw fields of an archive against their packet type's time axis: one "
        "panel per field, sharing the time axis; lost packets leave gaps, states are steps "
        "with their names, array fields an image of time and element.",
    )
    plot.add_argument(
        "definitions",
        metavar="DEFINITIONS",
        help="definitions file (.json, .toml, or a ccsdspy .csv)",
    )
    plot.add_argument("archive", metavar="ARCHIVE", help="archive file")
    plot.add_argument(
        "fields",
        metavar="FIELD",
        nargs="+",
        help="field name (every packet type that has it), or TYPE.FIELD for one type's",
    )
    plot.add_argument(
        "-o",
        "--output",
        required=True,
        metavar="IMAGE",
        help="the image to write: .png, .svg or .pdf, by its suffix",
    )
    plot.add_argument(
        "--panels",
        choices=("field", "unit"),
        default="field",
        help="one panel per field (default), or per unit: number fields of one unit share one",
    )
    plot.add_argument(
        "--size",
        type=_pixels,
        default=(1200, 800),
        metavar="WxH",
        help="image size in pixels (default 1200x800; SVG and PDF at 100 pixels an inch)",
    )
    _overwrite(plot)
    common(plot)
    return parser


def main(argv: list[str] | None = None, prog: str | None = None) -> int:
    parser = build_parser(prog)
    args = parser.parse_args(argv)
    if getattr(args, "workers", None) and getattr(args, "scheduler", None):
        parser.error("give --workers or --scheduler, not both")
    # Handlers can be set from the main thread only (a test may call main from another).
    handled = [s for s in (signal.SIGTERM, getattr(signal, "SIGHUP", None)) if s is not None]
    in_main = threading.current_thread() is threading.main_thread()
    previous = {s: signal.signal(s, _terminate) for s in handled} if in_main else {}
    try:
        if args.command == "decode":
            from .decode import decode_command as run
        elif args.command == "split":
            from .split import split_command as run
        elif args.command == "inspect":
            from .inspect import inspect_command as run
        else:
            from .plot import plot_command as run
        return run(args)
    except (definitions_module.DefinitionsError, MissingExtra) as error:
        print(f"vantrel: {error}", file=sys.stderr)
        return EXIT_ERROR
    except OSError as error:
        where = f"{error.filename}: " if error.filename else ""
        print(f"vantrel: {where}{error.strerror or error}", file=sys.stderr)
        return EXIT_ERROR
    except CommandError as error:
        print(f"vantrel: {error}", file=sys.stderr)
        return EXIT_ERROR
    except KeyboardInterrupt:
        print("vantrel: interrupted", file=sys.stderr)
        return EXIT_INTERRUPTED
    except Terminated as ended:
        print(f"vantrel: ended by {signal.Signals(ended.signum).name}", file=sys.stderr)
        return EXIT_SIGNAL_BASE + ended.signum
    finally:
        if argv is None and in_main:
            # The process's own command line: its outcome is decided, and a
            # signal while the interpreter winds down must not report a
            # finished run as killed.
            for signum in (signal.SIGINT, *handled):
                signal.signal(signum, signal.SIG_IGN)
        else:
            for signum, handler in previous.items():
                signal.signal(signum, handler)


if __name__ == "__main__":  # pragma: no cover
    sys.exit(main())
