"""Builds the C++ tests of the codec core in a scratch directory and runs them
with ctest, so that they run wherever pytest does."""

import re
import shutil
import subprocess
import sys
from pathlib import Path

import pytest

SOURCE = Path(__file__).resolve().parents[1]
# Every C++ test, and whether it may be skipped (it needs F16C).
CPP_TESTS = {"binary16_software": False, "binary16_paths_agree": True, "text_codecs": False}


def _tool(name):
    """A build tool from PATH, or beside this interpreter (a virtual environment
    with the cmake and ninja packages)."""
    found = shutil.which(name) or shutil.which(name, path=str(Path(sys.executable).parent))
    if found is None:
        pytest.fail(f"{name} is needed to build the C++ tests (pip install cmake ninja)")
    return found


def _run(command, cwd=None):
    completed = subprocess.run(
        [str(part) for part in command],
        cwd=cwd,
        stdout=subprocess.PIPE,
        stderr=subprocess.STDOUT,
        text=True,
        check=False,
    )
    return completed.returncode, completed.stdout


def test_cpp_suite(tmp_path):
    cmake, ctest, ninja = _tool("cmake"), _tool("ctest"), _tool("ninja")
    build = tmp_path / "build"

    status, output = _run(
        [
            cmake,
            "-S",
            SOURCE,
            "-B",
            build,
            "-G",
            "Ninja",
            f"-DCMAKE_MAKE_PROGRAM={ninja}",
            "-DCMAKE_BUILD_TYPE=Release",
            "-DVANTREL_STRICT=ON",
            "-DVANTREL_BUILD_MODULE=OFF",
            "-DVANTREL_BUILD_TESTS=ON",
        ]
    )
    assert status == 0, f"configure failed:\n{output}"
    status, output = _run([cmake, "--build", build, "-j", "2"])
    assert status == 0, f"build failed:\n{output}"

    status, output = _run([ctest, "--output-on-failure", "--no-tests=error"], cwd=build)
    assert status == 0, f"ctest failed:\n{output}"

    # Status lines look like "1/2 Test #1: binary16_software ....   Passed   0.01 sec".
    results = dict(re.findall(r"Test\s+#\d+: (\S+) \.+\**\s*(\w+)", output))
    assert set(results) == set(CPP_TESTS), output
    for name, may_skip in CPP_TESTS.items():
        assert results[name] == "Passed" or (may_skip and results[name] == "Skipped"), output
    if "Skipped" in results.values():
        pytest.skip("the F16C comparison was skipped: this processor has no F16C")
