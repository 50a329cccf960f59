#!/usr/bin/env bash
# Share of the core (src/encoder, src/decoder, src/common, src/layout, src/columns, src/conversions, src/streams) that
# the corpora reach: the C++ harnesses built with clang's source-based
# coverage, run once over every input (-runs=0), then llvm-cov's report of
# functions, regions, lines and branches per file and in total.
#
#   bash fuzz/coverage.sh                    # the checked-in seed corpora
#   bash fuzz/coverage.sh /tmp/fuzz-work     # plus corpora a fuzz run grew
#                                            # (FUZZ_WORK of .ci/fuzz.sh)
set -euo pipefail
cd "$(dirname "$0")/.."

build=build-fuzz-coverage
out="$(mktemp -d)"
CC="${FUZZ_CC:-clang-19}" CXX="${FUZZ_CXX:-clang++-19}" cmake -S . -B "$build" -G Ninja \
  -DCMAKE_BUILD_TYPE=Debug -DVANTREL_BUILD_MODULE=OFF -DVANTREL_BUILD_FUZZERS=ON \
  -DVANTREL_FUZZ_COVERAGE=ON >/dev/null
cmake --build "$build" -j 2

objects=()
for harness in "$build"/fuzz/fuzz_*; do
  [ -x "$harness" ] || continue
  name="$(basename "$harness")"
  corpora=("fuzz/corpus/$name")
  for root in "$@"; do
    [ -d "$root/$name" ] && corpora+=("$root/$name")
  done
  LLVM_PROFILE_FILE="$out/$name.profraw" "$harness" -runs=0 "${corpora[@]}" >"$out/$name.log" 2>&1
  echo "$name: $(grep -o 'INITED.*corp: [0-9]*' "$out/$name.log" | grep -o 'corp: [0-9]*') inputs"
  objects+=(-object "$harness")
done

llvm-profdata-19 merge -sparse "$out"/*.profraw -o "$out/all.profdata"
# The first -object is positional for llvm-cov.
llvm-cov-19 report "${objects[@]:1}" -instr-profile "$out/all.profdata" \
  src/encoder src/decoder src/common src/layout src/columns src/conversions src/streams
rm -rf "$out"
