#!/usr/bin/env bash
# The codec's GoogleTest suite, with assertions on and warnings as errors.
set -euo pipefail
cd "$(dirname "$0")/.."

cmake -S . -B build/cpp -DCMAKE_BUILD_TYPE=Debug -DVELLUMARK_BUILD_TESTS=ON -DVELLUMARK_WERROR=ON >/dev/null
cmake --build build/cpp -j "$(nproc)" | grep -Ev "^\[ *[0-9]+%\] (Building|Linking|Built)" || true
ctest --test-dir build/cpp --output-on-failure -j "$(nproc)" | tail -n 3
