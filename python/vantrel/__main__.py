import sys

try:
    from vantrel.command.main import entry
except KeyboardInterrupt:  # Ctrl-C while the command's modules load
    print("vantrel: interrupted", file=sys.stderr)
    sys.exit(130)

sys.exit(entry(prog="python -m vantrel"))
