#!/usr/bin/env bash
# Every test the project has: the C++ codec suite, then the Python suite on
# every supported CPython with one abi3 wheel.
set -euo pipefail
cd "$(dirname "$0")/.."

bash scripts/system-deps.sh
bash scripts/cpp-tests.sh
bash scripts/wheel-matrix.sh

# The benchmark's quick mode keeps the script working; it judges no speed.
source scripts/common.sh
python=$(test_venv 3.11)
"$python" bench/bench.py --quick >/dev/null
echo "bench/bench.py --quick ran"
