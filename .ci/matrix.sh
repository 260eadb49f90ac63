#!/usr/bin/env bash
# Installs one wheel into a fresh venv of every CPython 3.9-3.13 found under
# pyenv and runs the test suite (tests/) against it.
#
#   bash .ci/matrix.sh WHEEL [SUMMARY_FILE]
#
# Prints one summary line per interpreter (and writes them to SUMMARY_FILE if
# given). Fails if no interpreter is found, if any interpreter's run fails,
# or if pytest collects no tests (its exit code 5).
#
# Which quorel the tests import: run from the repository root, `python -m
# pytest` puts the current directory first on sys.path, so `import quorel`
# would find the source folder quorel/, which has no compiled module. The
# -P flag / PYTHONSAFEPATH that prevent that exist only from 3.11 on. So
# pytest runs from an empty scratch directory instead, with the absolute
# path of tests/ (pytest still finds rootdir and its settings in
# pyproject.toml from there), and the plugin .ci/installed_quorel.py imports
# quorel from site-packages before any test module is collected, names the
# file in the header and stops the run if it is not the installed one.
#
# Knobs: QUOREL_PYTHONS (minor versions, default "3.9 3.10 3.11 3.12 3.13"),
# QUOREL_PYTEST_TIMEOUT (seconds per interpreter's test run, default 900),
# PYENV_ROOT (default ~/.pyenv).
set -uo pipefail
export LC_ALL=C PIP_NO_INPUT=1 PIP_DISABLE_PIP_VERSION_CHECK=1 PIP_PROGRESS_BAR=off

if [ $# -lt 1 ] || [ ! -f "$1" ]; then
    echo "usage: bash .ci/matrix.sh WHEEL [SUMMARY_FILE]" >&2
    exit 2
fi
wheel=$(realpath "$1")
summary_file=${2:-}
ROOT=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
pyenv_root=${PYENV_ROOT:-$HOME/.pyenv}
scratch=$(mktemp -d "${TMPDIR:-/tmp}/quorel-matrix.XXXXXX")
trap 'rm -rf "$scratch"' EXIT

# The newest patch release of a minor version; "3.13.0t" and the like are
# other builds and do not match.
find_python() {
    local minor=$1
    printf '%s\n' "$pyenv_root"/versions/"$minor".*/bin/python |
        grep -E "/versions/${minor//./\\.}\.[0-9]+/bin/python\$" |
        while read -r p; do [ -x "$p" ] && echo "$p"; done |
        sort -V | tail -n 1
}

# pytest's closing line, without the surrounding '='.
closing_line() {
    grep -E '^=+ .* in [0-9.]+s( \([0-9:]+\))? =+$' "$1" | tail -n 1 | sed -E 's/^=+ //; s/ =+$//'
}

run_one() {
    local py=$1 dir=$2 version
    version=$("$py" -c 'import platform; print(platform.python_version())') || return 1
    echo "python: $py ($version)"
    "$py" -m venv "$dir/venv" || return 1
    "$dir/venv/bin/python" -m pip install -q "${wheel}[test]" || return 1
    mkdir "$dir/run" && cp "$ROOT/.ci/installed_quorel.py" "$dir/run/" || return 1
    (cd "$dir/run" &&
        timeout --kill-after=30 "${QUOREL_PYTEST_TIMEOUT:-900}" \
            "$dir/venv/bin/python" -m pytest -p no:cacheprovider -p installed_quorel \
            -ra --durations=5 "$ROOT/tests" </dev/null) 2>&1 | tee "$dir/pytest.log"
    return "${PIPESTATUS[0]}"
}

lines=()
found=0
failed=0
for minor in ${QUOREL_PYTHONS:-3.9 3.10 3.11 3.12 3.13}; do
    py=$(find_python "$minor")
    if [ -z "$py" ]; then
        printf '\n---- CPython %s: not found under %s/versions ----\n' "$minor" "$pyenv_root"
        lines+=("skip  CPython $minor: not installed")
        continue
    fi
    found=$((found + 1))
    printf '\n---- CPython %s ----\n' "$minor"
    dir="$scratch/$minor"
    mkdir -p "$dir"
    t0=$SECONDS
    rc=0
    run_one "$py" "$dir" || rc=$?
    took=$((SECONDS - t0))
    result=$( [ -f "$dir/pytest.log" ] && closing_line "$dir/pytest.log" )
    case $rc in
        0) lines+=("ok    CPython $minor: ${result:-?} (${took}s)") ;;
        5) lines+=("FAIL  CPython $minor: no tests collected (${took}s)"); failed=1 ;;
        124) lines+=("FAIL  CPython $minor: timed out after ${QUOREL_PYTEST_TIMEOUT:-900}s"); failed=1 ;;
        *) lines+=("FAIL  CPython $minor: exit $rc${result:+, $result} (${took}s)"); failed=1 ;;
    esac
done
if [ "$found" -eq 0 ]; then
    lines+=("FAIL  no CPython 3.9-3.13 found under $pyenv_root/versions")
    failed=1
fi

printf '\n---- matrix summary ----\n'
printf '%s\n' "${lines[@]}"
[ -n "$summary_file" ] && printf '%s\n' "${lines[@]}" >"$summary_file"
exit "$failed"
