#!/usr/bin/env bash
# The module built with clang 14 and its own C++ library, libc++ 14 (Debian
# 12's), with warnings as errors, then the Python suite against that build on
# one CPython: the sdist must build with the compilers users have, not only GCC 12.
set -euo pipefail
cd "$(dirname "$0")/.."
source scripts/common.sh

python=$(test_venv "$EXTRAS_PYTHON")
install_test_requirements "$python"
run_logged build/logs/clang-configure.log env CXX=clang++ cmake -S . -B build/clang -DCMAKE_BUILD_TYPE=Release \
    -DVELLUMARK_BUILD_MODULE=ON -DVELLUMARK_WERROR=ON -DCMAKE_CXX_FLAGS="-stdlib=libc++" -DPython_EXECUTABLE="$python"
run_logged build/logs/clang-build.log cmake --build build/clang -j "$(nproc)" --target vellumark _reader
echo "built with $(clang++ --version | head -n 1) and libc++"
PYTHONPATH=$PWD/build/clang "$python" -c 'import sys, vellumark; assert vellumark.__file__.startswith(sys.argv[1]), vellumark.__file__' "$PWD/build/clang"
PYTHONPATH=$PWD/build/clang:$PWD/python VELLUMARK_EXTRAS=test "$python" -m pytest -q -p no:cacheprovider -n "$(nproc)" "${BUILD_INDEPENDENT_TESTS[@]}" tests/python
