#!/usr/bin/env bash
# Fuzzes the codec for SECONDS (default 60) with libFuzzer, ASan and UBSan,
# starting from generated seeds and the corpus of earlier runs.
#   bash scripts/fuzz.sh [SECONDS] [--coverage]
# --coverage then replays the corpus through a coverage build and prints the
# codec's line and branch coverage.
set -euo pipefail
cd "$(dirname "$0")/.."
seconds=${1:-60}
python=$(command -v python3)

CXX=clang++ cmake -S . -B build/fuzz -DCMAKE_BUILD_TYPE=Debug -DCMAKE_CXX_FLAGS_DEBUG="-O1 -g" \
    -DVELLUMARK_BUILD_FUZZER=ON -DVELLUMARK_SANITIZE=ON -DVELLUMARK_WERROR=ON >/dev/null
cmake --build build/fuzz -j "$(nproc)" --target fuzz_codec >/dev/null

"$python" fuzz/make_seeds.py build/fuzz/seeds
mkdir -p build/fuzz/corpus build/fuzz/artifacts
build/fuzz/fuzz_codec build/fuzz/corpus build/fuzz/seeds \
    -dict=fuzz/warc.dict -max_len=65536 -max_total_time="$seconds" -print_final_stats=1 \
    -artifact_prefix=build/fuzz/artifacts/ 2>&1 |
    grep --line-buffered -E "^(#[0-9]+[[:space:]]+(pulse|DONE)|stat::number_of_executed_units|stat::peak_rss|INFO: seed corpus|==[0-9]+==|invariant|SUMMARY)" || true
# grep streams the periodic progress lines and hides the rest; a crash still
# fails the run through the exit code
test "${PIPESTATUS[0]}" -eq 0

if [[ ${2:-} == --coverage ]]; then
    CXX=clang++ cmake -S . -B build/fuzz-cov -DCMAKE_BUILD_TYPE=Debug -DVELLUMARK_BUILD_FUZZER=ON \
        -DVELLUMARK_COVERAGE=ON >/dev/null
    cmake --build build/fuzz-cov -j "$(nproc)" --target fuzz_codec >/dev/null
    LLVM_PROFILE_FILE=build/fuzz-cov/replay.profraw build/fuzz-cov/fuzz_codec -runs=0 build/fuzz/corpus >/dev/null 2>&1
    llvm-profdata merge -o build/fuzz-cov/replay.profdata build/fuzz-cov/replay.profraw
    llvm-cov report build/fuzz-cov/fuzz_codec -instr-profile=build/fuzz-cov/replay.profdata src/error src/record src/writer
fi
