import sys

from vantrel.command.main import main

sys.exit(main(prog="python -m vantrel"))
