#!/usr/bin/env bash
# One abi3 wheel, every CPython: builds the wheel once with the oldest
# interpreter, audits it against the stable ABI, then installs it into a fresh
# environment of each supported version and runs the whole Python suite there.
set -euo pipefail
cd "$(dirname "$0")/.."
source scripts/common.sh

# Compiling against the oldest headers keeps newer-only API out of the wheel.
builder=$(test_venv "${SUPPORTED_PYTHONS[0]}")
rm -rf build/wheel && mkdir -p build/wheel
pip_run "$builder" wheel -q . --no-deps -w build/wheel -Ccmake.define.VELLUMARK_WERROR=ON
wheel=$(ls build/wheel/vellumark-*-cp39-abi3-*.whl)
unzip -l "$wheel" | grep -q ' vellumark\.abi3\.so$' || { echo "the wheel holds no vellumark.abi3.so" >&2; exit 1; }
echo "built $(basename "$wheel")"

auditor=$(test_venv 3.13)  # abi3audit runs on 3.10 and later
pip_run "$auditor" install -q abi3audit
"$auditor" -m abi3audit --strict --summary "$wheel"

for version in "${SUPPORTED_PYTHONS[@]}"; do
    if [[ -z $(find_python "$version") ]]; then
        [[ ${CI:-} == true ]] && { echo "CPython $version is missing" >&2; exit 1; }
        echo "skipping CPython $version: not installed"
        continue
    fi
    python=$(test_venv "$version")
    install_test_requirements "$python"
    pip_run "$python" install -q --force-reinstall --no-deps "$wheel"
    echo "== CPython $version"
    "$python" -m pytest -q -p no:cacheprovider tests/python
done
