#!/usr/bin/env bash
# The system packages the tests need: GoogleTest, clang with libFuzzer, its
# sanitizer runtimes and libc++, a C compiler, and binutils. Installs what is
# missing when run as root.
set -euo pipefail

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

if ((${#missing[@]})); then
    if [[ $(id -u) -ne 0 ]]; then
        echo "missing system packages; install them with: sudo apt-get install -y ${missing[*]}" >&2
        exit 1
    fi
    echo "installing ${missing[*]}"
    apt-get update -qq
    DEBIAN_FRONTEND=noninteractive apt-get install -y -qq "${missing[@]}" >/dev/null
fi
