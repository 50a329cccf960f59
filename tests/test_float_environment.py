"""Float conversions give the same bits whatever the process's floating-point
environment: another library in the process may set flush-to-zero and
denormals-are-zero (shared libraries built with -ffast-math do when they load)
or change the rounding mode.

Each environment is set in a child interpreter, through a tiny C helper built
here and loaded with ctypes, and every float conversion's results are compared
with those of a child left in the default environment. numpy's own binary32
conversion runs beside them as a witness that the environment took effect."""

import ctypes.util
import json
import platform
import shutil
import subprocess
import sys
import textwrap

import pytest

import vantrel

HELPER_SOURCE = r"""
#include <fenv.h>
#if defined(__x86_64__) || defined(__i386__)
#include <xmmintrin.h>
#endif
int set_ftz_daz(void) {
#if defined(__x86_64__) || defined(__i386__)
  _mm_setcsr(_mm_getcsr() | 0x8040u);
  return 1;
#else
  return 0;
#endif
}
int set_rounding(int mode) { return fesetround(mode); }
int rounding_mode(const char* name) {
  switch (name[0]) {
    case 'u': return FE_UPWARD;
    case 'd': return FE_DOWNWARD;
    case 't': return FE_TOWARDZERO;
    default: return FE_TONEAREST;
  }
}
"""

CHILD = textwrap.dedent(
    """
    import ctypes, json, struct, sys
    import numpy as np
    import vantrel

    helper_path, ftz_daz, rounding = sys.argv[1], sys.argv[2] == "1", sys.argv[3]
    helper = ctypes.CDLL(helper_path)
    helper.rounding_mode.argtypes = [ctypes.c_char_p]
    if ftz_daz and not helper.set_ftz_daz():
        print(json.dumps(None))
        sys.exit(0)
    assert helper.set_rounding(helper.rounding_mode(rounding.encode())) == 0

    values = [0.0, -0.0, 0.1, 1 / 3, -2 / 3, 1e-40, -1e-40, 1.4e-45, 7.1e-46, 2.0**-149 * 1.5,
              2.0**-126 * (1 - 2.0**-24), 1 + 2.0**-24, 1 + 3 * 2.0**-24, 3.4028235677973366e38,
              3.4028235e38 * 1.0000001, 1e39, 65504.0, 65519.99, 65520.0, 6e-8, 2.0**-25,
              1e-310, 5e-324, float("inf"), float("-inf"), float("nan")]
    patterns = [0x0001, 0x03FF, 0x8001, 0x3C01, 0x00000001, 0x807FFFFF, 0x00400000,
                0x0000000000000001, 0x800FFFFFFFFFFFFF, 0x3FF0000000000001, 0x7FF4000000000000]
    float_kinds = ["ieee754_f16", "ieee754_f32", "ieee754_f64"]
    widths = {"ieee754_f16": 16, "ieee754_f32": 32, "ieee754_f64": 64}

    def bits(x):
        return struct.unpack("<Q", struct.pack("<d", x))[0]

    results = []
    for value in values:
        results.append(vantrel.encode_ieee754_f16(value))
        results.append(vantrel.encode_ieee754_f32(value))
        results.append(vantrel.encode_ieee754_f64(value))
        for kind in float_kinds:
            recipe = [{"name": "v", "encoding": kind, "bits": widths[kind], "byte_order": order,
                       "reverse_bits": False, "offset_bits": 3, "value": value}
                      for order in ("big", "little")]
            packet = vantrel.pack_parameters(recipe)
            results.append(packet.hex())
            results.append([bits(v) for v in vantrel.unpack_parameters(packet, 0, recipe).values()])
            if hasattr(vantrel, "Layout"):
                # Layouts want distinct names: the later field is the one "v" names.
                layout = vantrel.Layout([dict(e, name=f"v{i}") for i, e in enumerate(recipe)])
                packed = layout.pack({"v0": value, "v1": value})
                results.append(packed.hex())
                results.append(bits(layout.unpack(packed)["v1"]))
    for pattern in patterns:
        results.append(bits(vantrel.decode_ieee754_f16(pattern & 0xFFFF)))
        results.append(bits(vantrel.decode_ieee754_f32(pattern & 0xFFFFFFFF)))
        results.append(bits(vantrel.decode_ieee754_f64(pattern)))
        results.append(bits(vantrel.decode_ieee754_f128((0x3C01 << 112) | pattern)))
    if hasattr(vantrel, "Layout") and hasattr(vantrel.Layout, "pack_many"):
        # Columns: binary32 subnormals given by their bits (numpy's own
        # conversion would follow the environment), packed into every float
        # width and unpacked again.
        singles = np.array([0x00011642, 0x80000001, 0x007FFFFF, 0x3DCCCCCD, 0x7F7FFFFF, 0x7FC00001],
                           dtype=np.uint32).view(np.float32)
        doubles = np.array([bits(v) for v in values], dtype=np.uint64).view(np.float64)
        for kind in float_kinds:
            layout = vantrel.Layout([{"name": "v", "encoding": kind, "bits": widths[kind],
                                      "byte_order": "little", "reverse_bits": False}])
            for column in (singles, doubles):
                try:
                    packed = layout.pack_many({"v": column})
                except ValueError as error:
                    results.append(str(error))
                    continue
                results.append(packed.hex())
                unpacked = layout.unpack_many(packed)["v"]
                # Compared by bits: numpy's own widening would follow the environment.
                unsigned = np.uint32 if unpacked.dtype == np.float32 else np.uint64
                results.append(unpacked.view(unsigned).tolist())
    witness = [bits(float(np.float32(v))) for v in values if abs(v) < 3e38]
    witness += [bits(float(np.frombuffer(struct.pack("<I", p & 0xFFFFFFFF), np.float32)[0]))
                for p in patterns]
    print(json.dumps({"results": results, "witness": witness}))
    """
)

ENVIRONMENTS = [
    ("FTZ+DAZ", True, "nearest"),
    ("upward", False, "upward"),
    ("downward", False, "downward"),
    ("toward zero", False, "toward_zero"),
    ("downward+FTZ+DAZ", True, "downward"),
]


@pytest.fixture(scope="module")
def helper_library(tmp_path_factory):
    compiler = shutil.which("cc") or shutil.which("gcc") or shutil.which("clang")
    if compiler is None:
        pytest.skip("no C compiler to build the environment helper")
    directory = tmp_path_factory.mktemp("fenv")
    source = directory / "fenv_helper.c"
    source.write_text(HELPER_SOURCE)
    library = directory / "fenv_helper.so"
    libm = ["-lm"] if ctypes.util.find_library("m") else []
    subprocess.run(
        [compiler, "-shared", "-fPIC", "-O1", str(source), "-o", str(library), *libm], check=True
    )
    return library


def run_child(library, ftz_daz, rounding):
    completed = subprocess.run(
        [sys.executable, "-c", CHILD, str(library), "1" if ftz_daz else "0", rounding],
        capture_output=True,
        text=True,
        check=False,
    )
    assert completed.returncode == 0, completed.stderr
    return json.loads(completed.stdout)


@pytest.fixture(scope="module")
def default_results(helper_library):
    return run_child(helper_library, False, "nearest")


@pytest.mark.parametrize(
    ("name", "ftz_daz", "rounding"), ENVIRONMENTS, ids=[e[0] for e in ENVIRONMENTS]
)
def test_conversions_ignore_the_environment(
    helper_library, default_results, name, ftz_daz, rounding
):
    altered = run_child(helper_library, ftz_daz, rounding)
    if altered is None:
        pytest.skip(f"{platform.machine()} has no MXCSR to set")
    assert altered["witness"] != default_results["witness"], f"{name} had no effect on numpy"
    assert altered["results"] == default_results["results"]


def test_default_results_are_the_exact_ones(default_results):
    # Spot checks of the default child against known patterns, so that the
    # comparison above is against correct bits.
    results = default_results["results"]
    per_value = 3 + 3 * (4 if hasattr(vantrel, "Layout") else 2)
    one_e_minus_40 = 5 * per_value
    assert results[one_e_minus_40 : one_e_minus_40 + 2] == [0, 71362]
    assert results[one_e_minus_40 + per_value + 1] == 0x80000000 | 71362
