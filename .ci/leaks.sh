#!/usr/bin/env bash
# Leak and thread stage: tests/test_reliability.py at ten times its default
# counts, on the module the environment imports (in CI the one the README's
# command installed). Every exported function and Layout method is called
# thousands of times returning and raising with sys.getallocatedblocks()
# flat, and threads pack and unpack with shared recipes and layouts while
# another thread mutates the recipes, for ten seconds.
set -euo pipefail
cd "$(dirname "$0")/.."
python -c "import vantrel; print('leak and thread stage on', vantrel.__file__)"
VANTREL_RELIABILITY_SCALE="${VANTREL_RELIABILITY_SCALE:-10}" \
  python -m pytest -q -p no:cacheprovider tests/test_reliability.py
