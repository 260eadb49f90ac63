#!/usr/bin/env bash
# Type checks against the built wheel:
#   1. mypy's stubtest compares the shipped stubs (quorel/*.pyi) with the
#      installed package and its compiled submodule;
#      typing/stubtest-allowlist.txt lists, with a reason each, what stubs
#      cannot express;
#   2. mypy --strict checks typing/example.py and the programs in examples/
#      against the installed stubs, then typing/example.py is run.
#
# Env: QUOREL_WHEEL (path of the built wheel), QUOREL_ROOT (repository root).
set -euo pipefail
export PIP_NO_INPUT=1 PIP_DISABLE_PIP_VERSION_CHECK=1 PIP_PROGRESS_BAR=off
: "${QUOREL_WHEEL:?path of the built wheel}"
: "${QUOREL_ROOT:?repository root}"

MYPY_VERSION=2.4.1
work=$(mktemp -d "${TMPDIR:-/tmp}/quorel-typing.XXXXXX")
trap 'rm -rf "$work"' EXIT

python3 -m venv "$work/venv"
py="$work/venv/bin/python"
"$py" -m pip install -q "$QUOREL_WHEEL" "mypy==$MYPY_VERSION"

# Work from an empty directory: the repository's quorel/ source folder must
# not stand in for the installed package.
mkdir "$work/run"
cd "$work/run"

echo "-- stubtest"
"$py" -m mypy.stubtest quorel \
    --allowlist "$QUOREL_ROOT/typing/stubtest-allowlist.txt"

echo "-- mypy --strict"
"$py" -m mypy --strict --no-incremental \
    "$QUOREL_ROOT/typing/example.py" "$QUOREL_ROOT"/examples/*.py

echo "-- typed example at run time"
"$py" "$QUOREL_ROOT/typing/example.py"
