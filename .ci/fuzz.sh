#!/usr/bin/env bash
# Fuzz stage: every libFuzzer harness in fuzz/ (built with clang,
# -fsanitize=fuzzer,address,undefined) and the atheris harness of the Python
# surface, each for a bounded time from its seed corpus. Any finding (a crash,
# a sanitizer report, a wrong result, an undocumented exception) fails the
# stage and leaves its reproducer in the artifacts directory printed below.
#
#   bash .ci/fuzz.sh                                    # CI: ~40 s per harness
#   FUZZ_SECONDS=3600 FUZZ_PYTHON_SECONDS=3600 bash .ci/fuzz.sh   # an hour each
#
# Needs clang with libFuzzer (Debian: clang-19 libclang-rt-19-dev) and, for
# the Python harness, atheris in the active environment and the module
# importable.
set -euo pipefail
cd "$(dirname "$0")/.."

seconds="${FUZZ_SECONDS:-40}"
python_seconds="${FUZZ_PYTHON_SECONDS:-60}"
cxx="${FUZZ_CXX:-clang++-19}"
cc="${FUZZ_CC:-clang-19}"
build=build-fuzz
work="${FUZZ_WORK:-}"
keep_work=1
if [ -z "$work" ]; then
  work="$(mktemp -d)"
  keep_work=0
fi
mkdir -p "$work/artifacts"

CC="$cc" CXX="$cxx" cmake -S . -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo \
  -DVANTREL_STRICT=ON -DVANTREL_BUILD_MODULE=OFF -DVANTREL_BUILD_FUZZERS=ON \
  -DVANTREL_FUZZ_COVERAGE=OFF >/dev/null
cmake --build "$build" -j 2

export UBSAN_OPTIONS="halt_on_error=1:print_stacktrace=1"
export ASAN_OPTIONS="detect_leaks=1:halt_on_error=1"

status=0
summary=""
run_harness() {
  # name, log, command...: runs one harness, records its executions.
  local name="$1" log="$2"
  shift 2
  mkdir -p "$work/$name"
  local started=$SECONDS rc=0
  "$@" -print_final_stats=1 -rss_limit_mb=2048 -timeout=30 \
    -artifact_prefix="$work/artifacts/$name-" "$work/$name" "fuzz/corpus/$name" >"$log" 2>&1 || rc=$?
  local runs
  runs="$(grep -o 'stat::number_of_executed_units: *[0-9]*' "$log" | grep -o '[0-9]*$' || echo 0)"
  local result=passed
  if [ "$rc" -ne 0 ]; then
    result="FAILED (exit $rc)"
    status=1
    echo "---- $name: last lines of its log ----"
    tail -n 60 "$log"
  fi
  summary+="$(printf '%-18s %12s executions %5ss  %s' "$name" "$runs" "$((SECONDS - started))" "$result")"$'\n'
}

for harness in "$build"/fuzz/fuzz_*; do
  [ -x "$harness" ] || continue
  name="$(basename "$harness")"
  run_harness "$name" "$work/$name.log" "$harness" -max_total_time="$seconds"
done

# The Python surface, on the module the environment imports (in CI the one
# the README's command installed). atheris's coverage comes from libFuzzer's
# hooks, which a preloaded gcc ASan runtime would take over, so this runs
# unsanitized: a crash still ends it, and the sanitized build meets the same
# native code in the C++ harnesses and the sanitized test suite.
python -c "import vantrel; print('fuzz_python drives', vantrel.__file__)"
run_harness fuzz_python "$work/fuzz_python.log" python fuzz/fuzz_python.py \
  -max_total_time="$python_seconds"

echo "== fuzzing: executions per harness =="
printf '%s' "$summary"
if [ "$status" -ne 0 ]; then
  echo "fuzz stage FAILED; reproducers in $work/artifacts:"
  ls -l "$work/artifacts"
  exit 1
fi
[ "$keep_work" -eq 1 ] || rm -rf "$work"
echo "fuzz stage passed"
