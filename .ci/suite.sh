# shellcheck shell=bash
# The README's test command, shared by .ci/run and the scripts it runs inside Debian
# unstable (.ci/sid_wheel.sh, .ci/sid_abi3t.sh); sourced, not run.

suite_root=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)

# install_with_tests PYTHON PACKAGE VENV: a fresh venv of PYTHON at VENV with PACKAGE (a
# wheel or a source folder) and its test extras installed.
install_with_tests() {
    local python=$1 package=$2 venv=$3
    "$python" -m venv "$venv" && "$venv/bin/python" -m pip install -q "${package}[test]"
}

# readme_tests VENV LIMIT [VAR=VALUE...]: `python -m pytest tests` from the repository
# root with the venv active and the given variables set, stopped after LIMIT seconds.
# The package sources live in src/quorel, so this imports the installed package; the
# plugin .ci/installed_quorel.py checks that and names the imported file in pytest's
# header. Returns pytest's exit status (5: no tests collected).
readme_tests() {
    local venv=$1 limit=$2
    shift 2
    (
        # shellcheck disable=SC1091
        . "$venv/bin/activate"
        cd "$suite_root" || exit
        python --version
        env PYTHONPATH="$suite_root/.ci" PYTEST_ADDOPTS="-p no:cacheprovider -p installed_quorel -ra" "$@" \
            timeout --kill-after=30 "$limit" python -m pytest tests </dev/null
    )
}
