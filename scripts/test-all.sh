#!/usr/bin/env bash
# Every test the project has, stage by stage, each with its time: the system
# packages; the C++ codec suite; the distribution (sdist, the wheel built from
# it twice, auditwheel, abi3audit, twine); the Python suite on every supported
# CPython against that wheel; the module built with clang 14 and libc++; the
# suite under ASan and UBSan; fuzzing for FUZZ_SECONDS (default 60); the
# benchmark's quick mode. With CI=true a missing interpreter fails the run,
# and so does a test that skips for a dependency CI installs; otherwise they
# are skipped. Every skip (the Python suite writes its own) is listed after
# its stage and again at the end.
set -euo pipefail
cd "$(dirname "$0")/.."
source scripts/common.sh

STAGES=(
    "system packages|bash scripts/system-deps.sh"
    "C++ codec tests (GoogleTest)|bash scripts/cpp-tests.sh"
    "distribution: sdist, wheel from it, auditwheel, abi3audit, twine|bash scripts/build-dist.sh"
    "Python suite on CPython ${SUPPORTED_PYTHONS[*]} against the built wheel|bash scripts/wheel-matrix.sh --dist"
    "module built with clang 14 and libc++, Python suite|bash scripts/clang-suite.sh"
    "Python suite under AddressSanitizer and UBSan|bash scripts/sanitize.sh"
    "fuzzing for ${FUZZ_SECONDS:-60} s|bash scripts/fuzz.sh ${FUZZ_SECONDS:-60}"
    "benchmark, quick mode (keeps the script working; judges no speed)|bash scripts/bench-quick.sh"
)

minutes() { printf '%d min %d s' $(($1 / 60)) $(($1 % 60)); }

mkdir -p build
export VELLUMARK_SKIPPED_FILE=$PWD/build/skipped.txt
: >"$VELLUMARK_SKIPPED_FILE"
start=$SECONDS
for i in "${!STAGES[@]}"; do
    name=${STAGES[$i]%%|*}
    command=${STAGES[$i]#*|}
    echo
    echo "== stage $((i + 1))/${#STAGES[@]}: $name"
    stage_start=$SECONDS
    skips_before=$(wc -l <"$VELLUMARK_SKIPPED_FILE")
    if ! $command; then
        echo "stage $((i + 1))/${#STAGES[@]} failed after $(minutes $((SECONDS - stage_start))): $name"
        exit 1
    fi
    echo "-- stage $((i + 1)) passed in $(minutes $((SECONDS - stage_start)))"
    tail -n +$((skips_before + 1)) "$VELLUMARK_SKIPPED_FILE" | sed 's/^/   skipped: /'
done

if [[ -s $VELLUMARK_SKIPPED_FILE ]]; then
    echo
    echo "skipped in this run:"
    sed 's/^/  - /' "$VELLUMARK_SKIPPED_FILE"
fi
echo "all ${#STAGES[@]} stages passed in $(minutes $((SECONDS - start)))"
