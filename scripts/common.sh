# Shared by the scripts in this directory: source it, don't run it.

# The CPython interpreters the one abi3 wheel must serve.
SUPPORTED_PYTHONS=(3.9 3.10 3.11 3.12 3.13)
# The one whose environment also gets the examples' optional extras (python-isal for the benchmark,
# tqdm, pyspark) and serves the clang and sanitizer runs.
EXTRAS_PYTHON=3.11

# The tests of these scripts' own rules and of the type stubs: the same
# whatever compiler or sanitizer built the module, so the stages that rebuild
# it leave them to the wheel's run on every CPython.
BUILD_INDEPENDENT_TESTS=(--ignore tests/python/test_suite.py --ignore tests/python/test_typing.py)

# CMake 3.26 is the first with FindPython's stable-ABI module support. A
# newer one installed by scripts/system-deps.sh (when the system's is older,
# as Debian 12's 3.25 is) lives here and comes first on the PATH.
CMAKE_MINIMUM=3.26
TOOLS_BIN=$PWD/build/tools/bin
[[ -d $TOOLS_BIN ]] && PATH=$TOOLS_BIN:$PATH

# Records something a run left out, for the summary at the end of scripts/test-all.sh.
note_skipped() {
    echo "skipping $1"
    [[ -n ${VELLUMARK_SKIPPED_FILE:-} ]] && echo "$1" >>"$VELLUMARK_SKIPPED_FILE"
    return 0
}

# Path of the interpreter for a version such as 3.9 (pyenv first, then PATH), or nothing.
find_python() {
    local version=$1 root candidate
    root=${PYENV_ROOT:-$HOME/.pyenv}
    for candidate in "$root"/versions/"$version".*/bin/python; do
        [[ -x $candidate ]] && { echo "$candidate"; return; }
    done
    command -v "python$version" || true
}

# The interpreter for a version, or a failure that says which one is missing,
# why it is needed and where to get it.
require_python() {
    local version=$1 why=$2 python
    python=$(find_python "$version")
    if [[ -z $python ]]; then
        echo "CPython $version is needed $why, and none was found under ${PYENV_ROOT:-$HOME/.pyenv}/versions or as python$version on the PATH: install it with 'pyenv install $version' (or your system's python$version package)" >&2
        return 1
    fi
    echo "$python"
}

# Runs a command with its output in a log file; on failure shows the end of
# the log and fails, so that no error hides behind a filter.
run_logged() {
    local log=$1
    shift
    mkdir -p "$(dirname "$log")"
    if ! "$@" >"$log" 2>&1; then
        echo "failed: $* (whole log: $log); its last lines:" >&2
        tail -n 80 "$log" >&2
        return 1
    fi
}

# pip, without the warnings this machine's pip configuration prints about
# local index folders that do not exist.
pip_run() {
    local python=$1
    shift
    "$python" -m pip "$@" 2> >(grep -v "is ignored: it is neither a file nor a directory" >&2)
}

# A virtual environment under build/venvs with the wheel's test needs, made once.
# Prints the path of its python.
test_venv() {
    local version=$1 python venv
    python=$(require_python "$version" "${2:-for this stage}") || return 1
    venv=build/venvs/$version
    if [[ ! -x $venv/bin/python ]]; then
        "$python" -m venv "$venv" >&2
        pip_run "$venv/bin/python" install -q --upgrade pip >&2
    fi
    echo "$PWD/$venv/bin/python"
}

# Installs the requirements of the project's optional extras (by name, such as
# "test" or "spark") into an environment, without building the project itself.
install_extra_requirements() {
    local python=$1
    shift
    mkdir -p build
    "$python" - "$@" >build/extra-requirements.txt <<'PY'
import pathlib, re, sys
text = pathlib.Path("pyproject.toml").read_text()
block = re.search(r"^\[project\.optional-dependencies\]\n(.*?)^\[", text, re.M | re.S).group(1)
for extra in sys.argv[1:]:
    found = re.search(rf"^{re.escape(extra)} = \[(.*?)\]", block, re.M | re.S)
    if found is None:
        sys.exit(f"pyproject.toml has no extra named {extra!r}")
    print("\n".join(re.findall(r'"([^"]+)"', found.group(1))))
PY
    pip_run "$python" install -q -r build/extra-requirements.txt
}

# The test needs of the project: its "test" extra.
install_test_requirements() { install_extra_requirements "$1" test; }
