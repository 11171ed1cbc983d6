#!/usr/bin/env bash
# The codec's GoogleTest suite, with assertions on and warnings as errors.
set -euo pipefail
cd "$(dirname "$0")/.."
source scripts/common.sh

run_logged build/logs/cpp-configure.log \
    cmake -S . -B build/cpp -DCMAKE_BUILD_TYPE=Debug -DVELLUMARK_BUILD_TESTS=ON -DVELLUMARK_WERROR=ON
run_logged build/logs/cpp-build.log cmake --build build/cpp -j "$(nproc)"
run_logged build/logs/cpp-ctest.log ctest --test-dir build/cpp --output-on-failure -j "$(nproc)"
tail -n 3 build/logs/cpp-ctest.log
