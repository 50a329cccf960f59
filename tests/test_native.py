"""Builds the C++ tests of the codec core in a scratch directory and runs them
with ctest, so that they run wherever pytest does.

The build alone takes longer than the rest of the quick run's slowest tests,
and the binary16 comparison sweeps all 2^32 binary32 patterns, so the whole
suite is marked slow: `python -m pytest -m slow` runs it (CI does)."""

import re
import shutil
import subprocess
import sys
from pathlib import Path

import pytest

pytestmark = pytest.mark.slow

SOURCE = Path(__file__).resolve().parents[1]
# Every C++ test that tests/cpp registers with ctest.
CPP_TESTS = {
    "binary16_software",
    "binary16_paths_agree",
    "field_io",
    "text_codecs",
    "float_environment",
    "length_masks_agree",
    "plan_decode",
    "checksums",
    "exact_values",
    "column_types",
    "column_kernels",
}


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


@pytest.fixture(scope="module")
def cpp_build(tmp_path_factory):
    """The C++ tests, configured and built once for this module."""
    cmake, ninja = _tool("cmake"), _tool("ninja")
    build = tmp_path_factory.mktemp("cpp") / "build"

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
    return build


def _run_ctest(build, name):
    status, output = _run(
        [_tool("ctest"), "--output-on-failure", "--no-tests=error", "-R", f"^{name}$"], cwd=build
    )
    assert status == 0, f"ctest failed:\n{output}"
    # Status lines look like "1/1 Test #1: binary16_software ....   Passed   0.01 sec".
    results = dict(re.findall(r"Test\s+#\d+: (\S+) \.+\**\s*(\w+)", output))
    assert set(results) == {name}, output
    return results[name], output


def test_every_cpp_test_is_run_here(cpp_build):
    status, output = _run([_tool("ctest"), "-N"], cwd=cpp_build)
    assert status == 0, output
    assert set(re.findall(r"Test\s+#\d+: (\S+)", output)) == set(CPP_TESTS), output


def test_binary16_software(cpp_build):
    result, output = _run_ctest(cpp_build, "binary16_software")
    assert result == "Passed", output


# Compares the two binary16 paths over all 2^32 binary32 patterns (about half
# a minute).
def test_binary16_paths_agree(cpp_build):
    result, output = _run_ctest(cpp_build, "binary16_paths_agree")
    if result == "Skipped":
        pytest.skip("the F16C comparison was skipped: this processor has no F16C")
    assert result == "Passed", output


def test_field_io(cpp_build):
    result, output = _run_ctest(cpp_build, "field_io")
    assert result == "Passed", output


def test_text_codecs(cpp_build):
    result, output = _run_ctest(cpp_build, "text_codecs")
    assert result == "Passed", output


def test_plan_decode(cpp_build):
    result, output = _run_ctest(cpp_build, "plan_decode")
    assert result == "Passed", output


# Every catalogued checksum against its check value, and the fast paths
# against the bit-at-a-time model.
def test_checksums(cpp_build):
    result, output = _run_ctest(cpp_build, "checksums")
    assert result == "Passed", output


# Packet lengths, inversions and time codes at the ends of their ranges.
def test_exact_values(cpp_build):
    result, output = _run_ctest(cpp_build, "exact_values")
    assert result == "Passed", output


# Each column type's dtype, Arrow format, size and sign, from its C++ type.
def test_column_types(cpp_build):
    result, output = _run_ctest(cpp_build, "column_types")
    assert result == "Passed", output


def test_length_masks_agree(cpp_build):
    result, output = _run_ctest(cpp_build, "length_masks_agree")
    if result == "Skipped":
        pytest.skip("the SSE2 comparison was skipped: this processor has no SSE2")
    assert result == "Passed", output


# The column kernels at offsets: every binary16 pattern, little-endian
# windows near the buffer's start, which columns can fail.
def test_column_kernels(cpp_build):
    result, output = _run_ctest(cpp_build, "column_kernels")
    assert result == "Passed", output
