# Shared by the scripts in this directory: source it, don't run it.

# The CPython interpreters the one abi3 wheel must serve.
SUPPORTED_PYTHONS=(3.9 3.10 3.11 3.12 3.13)

# Path of the interpreter for a version such as 3.9 (pyenv first, then PATH), or nothing.
find_python() {
    local version=$1 root candidate
    root=${PYENV_ROOT:-$HOME/.pyenv}
    for candidate in "$root"/versions/"$version".*/bin/python; do
        [[ -x $candidate ]] && { echo "$candidate"; return; }
    done
    command -v "python$version" || true
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
    python=$(find_python "$version")
    [[ -n $python ]] || { echo "no CPython $version found" >&2; return 1; }
    venv=build/venvs/$version
    if [[ ! -x $venv/bin/python ]]; then
        "$python" -m venv "$venv" >&2
        pip_run "$venv/bin/python" install -q --upgrade pip >&2
    fi
    echo "$PWD/$venv/bin/python"
}

# Installs the test needs of the project, its "test" extra, into an environment
# (without building the project itself).
install_test_requirements() {
    local python=$1
    mkdir -p build
    "$python" - >build/test-requirements.txt <<'PY'
import re, pathlib
text = pathlib.Path("pyproject.toml").read_text()
block = re.search(r'^test = \[(.*?)\]', text, re.M | re.S).group(1)
print("\n".join(re.findall(r'"([^"]+)"', block)))
PY
    pip_run "$python" install -q -r build/test-requirements.txt
}
