"""The type stub, checked three ways: `mypy --strict` accepts typical calls,
it reports every deliberate mistake, and stubtest compares the stub with the
built module."""

import os
import re
import subprocess
import sys
from pathlib import Path

import mypy.api
import pytest

import vantrel

HERE = Path(__file__).resolve().parent
# The stub as it is in the source tree, which is what the wheel installs; it
# comes first on mypy's search path, before any installed copy.
STUB_DIR = HERE.parents[1] / "src"


@pytest.fixture(scope="module")
def mypy_cache(tmp_path_factory):
    with pytest.MonkeyPatch.context() as patch:
        patch.setenv("MYPYPATH", str(STUB_DIR))
        yield tmp_path_factory.mktemp("mypy_cache")


def run_mypy(path, cache_dir):
    stdout, stderr, status = mypy.api.run(
        ["--strict", "--show-error-codes", "--cache-dir", str(cache_dir), str(path)]
    )
    return stdout + stderr, status


def test_typed_usage_passes_strict_mypy_and_runs(mypy_cache):
    output, status = run_mypy(HERE / "usage.py", mypy_cache)
    assert status == 0, output

    sys.path.insert(0, str(HERE))
    try:
        import usage
    finally:
        sys.path.remove(str(HERE))
    usage.main()


def test_readme_recipe_held_in_a_variable_passes_strict_mypy(mypy_cache, tmp_path):
    readme = (HERE.parents[1] / "README.md").read_text(encoding="utf-8")
    recipes = readme[readme.index("## Recipes") :]
    block = re.search(r"```python\n(.*?)```", recipes, re.S)
    assert block and "recipe: list[RecipeItem] = [" in block.group(1)
    example = tmp_path / "readme_recipe.py"
    example.write_text(block.group(1), encoding="utf-8")
    output, status = run_mypy(example, mypy_cache)
    assert status == 0, output


def test_every_mistake_is_reported(mypy_cache):
    source = HERE / "mistakes.py"
    expected = set()
    for number, line in enumerate(source.read_text(encoding="utf-8").splitlines(), 1):
        marked = re.search(r"# expect: ([\w-]+)", line)
        if marked:
            expected.add((number, marked.group(1)))

    output, status = run_mypy(source, mypy_cache)
    reported = {
        (int(number), code)
        for number, code in re.findall(r"mistakes\.py:(\d+): error: .*\[([\w-]+)\]$", output, re.M)
    }
    assert status == 1, output
    assert reported == expected, output


def test_stub_matches_the_module(tmp_path):
    completed = subprocess.run(
        [
            sys.executable,
            "-m",
            "mypy.stubtest",
            "vantrel",
            "--allowlist",
            str(HERE / "stubtest_allowlist.txt"),
        ],
        # The module these tests import, wherever it was built.
        env={
            **os.environ,
            "MYPYPATH": str(STUB_DIR),
            "PYTHONPATH": os.pathsep.join(
                # vantrel is a package: the directory that holds it.
                [str(Path(vantrel.__file__).parents[1]), os.environ.get("PYTHONPATH", "")]
            ),
        },
        cwd=tmp_path,
        stdout=subprocess.PIPE,
        stderr=subprocess.STDOUT,
        text=True,
        check=False,
    )
    assert completed.returncode == 0, completed.stdout
