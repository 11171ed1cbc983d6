#!/usr/bin/env bash
# Every test the project has: the C++ codec suite; the Python suite on every
# supported CPython with one abi3 wheel; the suite again under ASan and UBSan;
# a fuzzing run of FUZZ_SECONDS (default 60); the benchmark's quick mode.
set -euo pipefail
cd "$(dirname "$0")/.."

bash scripts/system-deps.sh
bash scripts/cpp-tests.sh
bash scripts/wheel-matrix.sh
echo "== AddressSanitizer and UBSan"
bash scripts/sanitize.sh
echo "== fuzzing for ${FUZZ_SECONDS:-60} s"
bash scripts/fuzz.sh "${FUZZ_SECONDS:-60}"

# The benchmark's quick mode keeps the script working; it judges no speed.
source scripts/common.sh
python=$(test_venv 3.11)
"$python" bench/bench.py --quick >/dev/null
echo "bench/bench.py --quick ran"
