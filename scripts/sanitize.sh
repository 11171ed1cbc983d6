#!/usr/bin/env bash
# The Python suite against a module built with AddressSanitizer and UBSan.
# Tests that measure memory or exhaust it skip themselves under the sanitizers.
set -euo pipefail
cd "$(dirname "$0")/.."
source scripts/common.sh

python=$(test_venv 3.11)
install_test_requirements "$python"
run_logged build/logs/asan-configure.log cmake -S . -B build/asan -DCMAKE_BUILD_TYPE=Debug -DVELLUMARK_BUILD_MODULE=ON \
    -DVELLUMARK_SANITIZE=ON -DVELLUMARK_WERROR=ON -DPython_EXECUTABLE="$python"
run_logged build/logs/asan-build.log cmake --build build/asan -j "$(nproc)" --target vellumark _reader

# libstdc++ is preloaded with libasan: with libasan alone the first C++ throw aborts.
# PYTHONMALLOC=malloc lets ASan see every allocation; CPython's own exit-time
# allocations would drown a leak report, so leaks are tested separately.
export LD_PRELOAD="$(g++ -print-file-name=libasan.so) $(g++ -print-file-name=libstdc++.so)"
export PYTHONMALLOC=malloc ASAN_OPTIONS=detect_leaks=0 UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1
export PYTHONPATH=$PWD/build/asan:$PWD/python VELLUMARK_SANITIZED=1  # the module built here, and the tools package from the tree
export VELLUMARK_EXTRAS=test  # with CI=true, a test that skips for what this extra installs fails instead
"$python" -c 'import sys, vellumark; assert vellumark.__file__.startswith(sys.argv[1]), vellumark.__file__' "$PWD/build/asan"
"$python" -m pytest -q -p no:cacheprovider -n "$(nproc)" "${BUILD_INDEPENDENT_TESTS[@]}" tests/python
