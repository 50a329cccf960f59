"""Every ```python block of README.md and docs/ runs as shown.

The blocks of one page run in order in one namespace, as a reader would type
them, in a scratch directory. A block that is a sketch (it names files or
recipes the page does not define) is tagged ```python sketch and is only
required to parse."""

import ast
import re
from pathlib import Path

import pytest

ROOT = Path(__file__).resolve().parents[1]
PAGES = [ROOT / "README.md", *sorted((ROOT / "docs").glob("*.md"))]
FENCE = re.compile(r"^```([^\n`]*)\n(.*?)^```\s*$", re.M | re.S)


def python_blocks(page):
    """(info string, first line number, code) of every block tagged python."""
    text = page.read_text(encoding="utf-8")
    for match in FENCE.finditer(text):
        info = match.group(1).strip()
        if info.split()[:1] == ["python"]:
            line = text.count("\n", 0, match.start(2)) + 1
            yield info, line, match.group(2)


@pytest.mark.parametrize("page", PAGES, ids=lambda page: page.name)
def test_documented_python_runs(page, tmp_path, monkeypatch):
    pytest.importorskip("numpy")
    monkeypatch.chdir(tmp_path)
    namespace = {"__name__": "__doc_example__"}
    for info, line, code in python_blocks(page):
        where = f"{page.relative_to(ROOT)}:{line}"
        tree = compile(code, where, "exec", flags=ast.PyCF_ONLY_AST)
        if info == "python sketch":
            continue
        assert info == "python", f"{where}: unknown tag {info!r}"
        exec(compile(tree, where, "exec"), namespace)


def test_pages_have_runnable_examples():
    # The scan itself must find the examples: a changed fence style would
    # otherwise pass the test above vacuously.
    runnable = [b for page in PAGES for b in python_blocks(page) if b[0] == "python"]
    assert len(runnable) >= 5
