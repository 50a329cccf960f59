"""Package metadata that the build derives from pyproject.toml."""

import re
from pathlib import Path

import vantrel

PYPROJECT = Path(__file__).resolve().parents[1] / "pyproject.toml"


def test_version_comes_from_pyproject():
    declared = re.search(r'^version = "([^"]+)"$', PYPROJECT.read_text(encoding="utf-8"), re.M)
    assert declared is not None
    assert vantrel.__version__ == declared.group(1)
    assert "__version__" not in vantrel.__all__
