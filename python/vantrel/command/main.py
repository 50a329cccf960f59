"""`vantrel`: decode, split, inspect and plot packet archives from the shell.

Exit codes: 0 done; 1 an error (unreadable input, broken definitions, a
missing optional dependency, an output that exists or may not be written,
out of memory, or an archive of which less than half the bytes are packets
of a defined type: random bytes, an empty file; see coverage.MIN_SHARE);
2 a wrong command line; 3 damage found with --strict (skipped bytes,
undecodable values, packets of no defined type); 130 interrupted (SIGINT);
128 + N ended by signal N (SIGTERM 143, SIGHUP 129). An interrupted or
failed run leaves no output of its own behind.
"""

from __future__ import annotations

import argparse
import math
import os
import signal
import sys
import threading

import vantrel

from . import definitions as definitions_module
from .common import (
    EXIT_ERROR,
    EXIT_INTERRUPTED,
    EXIT_SIGNAL_BASE,
    CommandError,
)
from .extras import MissingExtra


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


MAX_CHUNK_BYTES = 1 << 40  # a chunk is read into memory whole
MAX_PIXELS = 8192  # per side of a plot: 256 MiB of pixels at most


def _size(text: str) -> int:
    units = {"k": 1 << 10, "m": 1 << 20, "g": 1 << 30, "t": 1 << 40}
    text = text.strip().lower().rstrip("b")
    factor = units.get(text[-1:], 1)
    number = text[:-1] if text[-1:] in units else text
    try:
        size = float(number) * factor
    except ValueError:
        raise argparse.ArgumentTypeError(f"not a size: {text!r} (e.g. 64M)") from None
    if not math.isfinite(size):
        raise argparse.ArgumentTypeError(f"not a size: {text!r} (e.g. 64M)")
    if size < 1:
        raise argparse.ArgumentTypeError("the size must be positive")
    if size > MAX_CHUNK_BYTES:
        raise argparse.ArgumentTypeError("at most 1T")
    return int(size)


def _path(text: str) -> str:
    # An empty path would quietly mean the current folder.
    if not text:
        raise argparse.ArgumentTypeError("an empty path (give . for the current folder)")
    return text


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
    if width > MAX_PIXELS or height > MAX_PIXELS:
        raise argparse.ArgumentTypeError(f"at most {MAX_PIXELS}x{MAX_PIXELS} pixels")
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
        type=_path,
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
        "split",
        help="write the packets of each APID to a file of their own",
        description="Frame the archive and write the packets of each APID (or type field "
        "value) to OUT/apid_NNNN.bin, in stream order; bytes in no packet are left out.",
    )
    split.add_argument(
        "definitions",
        metavar="DEFINITIONS",
        nargs="?",
        help="framing, rules and type field from a definitions file (default: CCSDS)",
    )
    split.add_argument("archive", metavar="ARCHIVE", help="archive file")
    split.add_argument(
        "-o",
        "--output",
        required=True,
        type=_path,
        metavar="OUT",
        help="directory for the files (created if needed)",
    )
    split.add_argument(
        "-d",
        dest="old_definitions",
        metavar="DEFINITIONS",
        help=argparse.SUPPRESS,  # the old form of DEFINITIONS, kept for one release
    )
    split.add_argument(
        "--strict", action="store_true", help="exit with status 3 when bytes were in no packet"
    )
    _overwrite(split)
    common(split)

    inspect = commands.add_parser(
        "inspect",
        help="what an archive holds and what looks wrong",
        description="Count packets, bytes and lengths per APID, sequence gaps, duplicates "
        "and packets out of order, damaged byte ranges and each type's time span.",
    )
    inspect.add_argument(
        "definitions",
        metavar="DEFINITIONS",
        nargs="?",
        help="definitions file: framing, rules, types and time axes (default: CCSDS)",
    )
    inspect.add_argument("archive", metavar="ARCHIVE", help="archive file")
    inspect.add_argument(
        "--strict", action="store_true", help="exit with status 3 when the archive shows damage"
    )
    inspect.add_argument(
        "--all", action="store_true", help="list every damaged range (default: the first 20)"
    )
    inspect.add_argument(
        "--json",
        action="store_true",
        help="print the report as one JSON document (every damaged range) instead of tables",
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
        type=_path,
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


DEFINITION_SUFFIXES = (".json", ".toml", ".csv")


def _is_definitions(path: str | None) -> bool:
    return path is not None and os.path.splitext(path)[1].lower() in DEFINITION_SUFFIXES


def _definitions_first(parser: argparse.ArgumentParser, args) -> None:
    """Every subcommand takes DEFINITIONS first, archives after.

    The older forms (`inspect ARCHIVE DEFINITIONS`, `split -d DEFINITIONS`)
    still work for a release, with a note; arguments in an order that
    matches neither are told as such.
    """
    name = args.command
    old = getattr(args, "old_definitions", None)
    if old is not None:
        if args.definitions is not None:
            parser.error("give the definitions once: split DEFINITIONS ARCHIVE -o OUT")
        args.definitions = old
        _note(f"'split -d DEFINITIONS' is the old form: write 'vantrel split {old} ARCHIVE ...'")
    if name == "inspect" and args.definitions is not None:
        if not _is_definitions(args.definitions) and _is_definitions(args.archive):
            args.definitions, args.archive = args.archive, args.definitions
            _note(
                "'inspect ARCHIVE DEFINITIONS' is the old order: write "
                f"'vantrel inspect {args.definitions} {args.archive}'"
            )
    if args.definitions is not None and not _is_definitions(args.definitions):
        archives = getattr(args, "archives", None) or [getattr(args, "archive", None)]
        swapped = next((a for a in archives if _is_definitions(a)), None)
        if swapped is None:
            return  # the definitions' reader says what it cannot read
        usage = {
            "decode": "decode DEFINITIONS ARCHIVE... -o OUT",
            "plot": "plot DEFINITIONS ARCHIVE FIELD... -o IMAGE",
            "split": "split [DEFINITIONS] ARCHIVE -o OUT",
            "inspect": "inspect [DEFINITIONS] ARCHIVE",
        }[name]
        raise CommandError(
            f"{args.definitions!r} is not a definitions file (.json, .toml or a ccsdspy .csv); "
            f"{swapped!r} is: the definitions come first: vantrel {usage}"
        )


def _note(text: str) -> None:
    print(f"vantrel: note: {text}", file=sys.stderr)


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
        _definitions_first(parser, args)
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
    except MemoryError:
        print("vantrel: out of memory (a smaller --chunk-size needs less)", file=sys.stderr)
        return EXIT_ERROR
    except KeyboardInterrupt:
        print("vantrel: interrupted", file=sys.stderr)
        return EXIT_INTERRUPTED
    except Terminated as ended:
        print(f"vantrel: ended by {signal.Signals(ended.signum).name}", file=sys.stderr)
        return EXIT_SIGNAL_BASE + ended.signum
    finally:
        for signum, handler in previous.items():
            signal.signal(signum, handler)


def entry(prog: str | None = None) -> int:
    """The `vantrel` console script and `python -m vantrel`: main, for a process of its own.

    Once main has returned, the run's outcome is decided: a signal while
    the interpreter winds down must not report a finished run as killed.
    """
    status = main(prog=prog)
    for name in ("SIGINT", "SIGTERM", "SIGHUP"):
        if hasattr(signal, name):
            signal.signal(getattr(signal, name), signal.SIG_IGN)
    return status


if __name__ == "__main__":  # pragma: no cover
    sys.exit(main())
