#!/usr/bin/env bash
# The benchmark's quick mode, against the installed wheel: keeps the script working.
set -euo pipefail
cd "$(dirname "$0")/.."
source scripts/common.sh
python=$(test_venv "$EXTRAS_PYTHON")
"$python" bench/bench.py --quick >build/bench-quick.log || { cat build/bench-quick.log >&2; exit 1; }
tail -n 4 build/bench-quick.log
