#!/usr/bin/env bash
# The wheel we would publish, on every CPython: installs the repaired wheel
# from dist/ into an environment of each supported version and runs the whole
# Python suite there. scripts/build-dist.sh makes that wheel first, unless
# --dist says it has just run (as in scripts/test-all.sh). One environment also gets the examples'
# optional extras, Spark among them, so that their tests run instead of skipping.
set -euo pipefail
cd "$(dirname "$0")/.."
source scripts/common.sh

[[ ${1:-} == --dist ]] || bash scripts/build-dist.sh
wheel=$(ls dist/vellumark-*-manylinux*.whl)
echo "testing $(basename "$wheel")"

for version in "${SUPPORTED_PYTHONS[@]}"; do
    if [[ -z $(find_python "$version") ]]; then
        [[ ${CI:-} == true ]] && { echo "CPython $version is missing" >&2; exit 1; }
        note_skipped "the Python suite on CPython $version: not installed (pyenv install $version)"
        continue
    fi
    python=$(test_venv "$version")
    extras=test
    [[ $version == "$EXTRAS_PYTHON" ]] && extras="test progress spark"
    install_extra_requirements "$python" $extras
    [[ $version == "$EXTRAS_PYTHON" ]] && pip_run "$python" install -q "isal>=1.6"  # the benchmark's reference inflate
    pip_run "$python" install -q --force-reinstall --no-deps "$wheel"
    echo "-- CPython $version"
    # With CI=true, a test that skips for a dependency these extras install fails instead.
    VELLUMARK_EXTRAS=$extras "$python" -m pytest -q -p no:cacheprovider -n "$(nproc)" tests/python
done
