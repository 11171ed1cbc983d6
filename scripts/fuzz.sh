#!/usr/bin/env bash
# Fuzzes with libFuzzer, ASan and UBSan for SECONDS in all (default 60): half
# of them the codec (fuzz_codec) and, at the same time on the other core, half
# the tools' reader (fuzz_reader: the scanner fed in random splits, the gzip
# member inflater), each starting from generated seeds and the corpus of its
# earlier runs.
#   bash scripts/fuzz.sh [SECONDS] [--coverage]
# --coverage then replays the corpus through a coverage build and prints the
# codec's line and branch coverage.
set -euo pipefail
cd "$(dirname "$0")/.."
source scripts/common.sh
seconds=${1:-60}
python=$(command -v python3)

run_logged build/logs/fuzz-configure.log env CC=clang CXX=clang++ cmake -S . -B build/fuzz -DCMAKE_BUILD_TYPE=Debug \
    -DCMAKE_CXX_FLAGS_DEBUG="-O1 -g" -DVELLUMARK_BUILD_FUZZER=ON -DVELLUMARK_SANITIZE=ON -DVELLUMARK_WERROR=ON
run_logged build/logs/fuzz-build.log cmake --build build/fuzz -j "$(nproc)" --target fuzz_codec fuzz_reader

"$python" fuzz/make_seeds.py build/fuzz/seeds
"$python" fuzz/make_seeds.py build/fuzz/reader-seeds --reader
mkdir -p build/fuzz/corpus build/fuzz/reader-corpus build/fuzz/artifacts
# The whole output goes to a log; the progress lines are shown as they come.
# sed prints what matches and always succeeds, so with pipefail the status of
# the pipeline is the fuzzer's: a crash or a broken invariant fails the stage.
fuzz() {  # TARGET CORPUS SEEDS SECONDS
    local log=build/logs/$1.log
    echo "-- $1 for $4 s"
    if ! "build/fuzz/$1" "$2" "$3" -dict=fuzz/warc.dict -max_len=65536 -max_total_time="$4" -print_final_stats=1 \
        -artifact_prefix=build/fuzz/artifacts/ 2>&1 | tee "$log" |
        sed -nEu "/^(#[0-9]+[[:space:]]+(pulse|DONE)|stat::number_of_executed_units|stat::peak_rss|INFO: seed corpus)/s/^/$1: /p"; then
        echo "$1 failed (whole log: $log); its last lines:" >&2
        tail -n 60 "$log" >&2
        return 1
    fi
}
fuzz fuzz_codec build/fuzz/corpus build/fuzz/seeds $((seconds - seconds / 2)) &
codec=$!
status=0
fuzz fuzz_reader build/fuzz/reader-corpus build/fuzz/reader-seeds $((seconds / 2)) || status=1
wait $codec || status=1
[[ $status == 0 ]] || exit 1

if [[ ${2:-} == --coverage ]]; then
    run_logged build/logs/fuzz-cov-configure.log env CC=clang CXX=clang++ cmake -S . -B build/fuzz-cov \
        -DCMAKE_BUILD_TYPE=Debug -DVELLUMARK_BUILD_FUZZER=ON -DVELLUMARK_COVERAGE=ON
    run_logged build/logs/fuzz-cov-build.log cmake --build build/fuzz-cov -j "$(nproc)" --target fuzz_codec fuzz_reader
    LLVM_PROFILE_FILE=build/fuzz-cov/replay.profraw build/fuzz-cov/fuzz_codec -runs=0 build/fuzz/corpus >/dev/null 2>&1
    LLVM_PROFILE_FILE=build/fuzz-cov/reader.profraw build/fuzz-cov/fuzz_reader -runs=0 build/fuzz/reader-corpus >/dev/null 2>&1
    llvm-profdata merge -o build/fuzz-cov/replay.profdata build/fuzz-cov/replay.profraw build/fuzz-cov/reader.profraw
    llvm-cov report build/fuzz-cov/fuzz_codec -object build/fuzz-cov/fuzz_reader \
        -instr-profile=build/fuzz-cov/replay.profdata src/error src/record src/writer src/reader
fi
