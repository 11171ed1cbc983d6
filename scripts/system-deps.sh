#!/usr/bin/env bash
# The system packages the tests need: GoogleTest, clang with libFuzzer, its
# sanitizer runtimes and libc++, a C compiler, binutils, unzip, Java (for
# Spark) and CMake. Installs
# what is missing when run as root. A CMake older than the build needs (Debian
# 12 has 3.25) gets a newer one from PyPI in build/tools, which the other
# scripts put first on their PATH.
set -euo pipefail
cd "$(dirname "$0")/.."
source scripts/common.sh

missing=()
[[ -f /usr/include/gtest/gtest.h ]] || missing+=(libgtest-dev)
command -v clang++ >/dev/null || missing+=(clang)
if ! command -v clang++ >/dev/null || [[ ! -f $(clang++ -print-file-name=libclang_rt.fuzzer-x86_64.a) ]]; then
    missing+=(libclang-rt-14-dev)
fi
[[ -f /usr/lib/llvm-14/include/c++/v1/vector ]] || missing+=(libc++-14-dev libc++abi-14-dev)
command -v cc >/dev/null || missing+=(gcc)
command -v unzip >/dev/null || missing+=(unzip)
command -v nm >/dev/null || missing+=(binutils)
command -v cmake >/dev/null || missing+=(cmake)
command -v java >/dev/null || missing+=(openjdk-17-jre-headless)  # Spark's, for the Spark job's test

if ((${#missing[@]})); then
    if [[ $(id -u) -ne 0 ]]; then
        echo "missing system packages; install them with: sudo apt-get install -y ${missing[*]}" >&2
        exit 1
    fi
    echo "installing ${missing[*]}"
    apt-get update -qq
    DEBIAN_FRONTEND=noninteractive apt-get install -y -qq "${missing[@]}" >/dev/null
fi

cmake_version() { cmake --version | sed -nE '1s/^cmake version ([0-9]+\.[0-9]+(\.[0-9]+)?).*/\1/p'; }
version_at_least() { [[ $(printf '%s\n%s\n' "$2" "$1" | sort -V | head -n 1) == "$2" ]]; }

found=$(cmake_version)
if ! version_at_least "$found" "$CMAKE_MINIMUM"; then
    echo "CMake $found is older than $CMAKE_MINIMUM: installing a newer one from PyPI into build/tools"
    python=$(require_python "${SUPPORTED_PYTHONS[0]}" "to install a newer CMake") || python=$(find_python "$EXTRAS_PYTHON")
    [[ -x build/venvs/cmake/bin/python ]] || "$python" -m venv build/venvs/cmake
    pip_run build/venvs/cmake/bin/python install -q "cmake>=$CMAKE_MINIMUM"
    mkdir -p "$TOOLS_BIN"
    ln -sf "$PWD/build/venvs/cmake/bin/cmake" "$PWD/build/venvs/cmake/bin/ctest" "$TOOLS_BIN/"
    PATH=$TOOLS_BIN:$PATH
    found=$(cmake_version)
    version_at_least "$found" "$CMAKE_MINIMUM" || { echo "still CMake $found after installing a newer one" >&2; exit 1; }
fi
echo "CMake $found ($(command -v cmake))"
