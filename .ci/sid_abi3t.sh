#!/usr/bin/env bash
# Inside Debian unstable (run by .ci/run through sid-run, from the repository mounted at
# /src): builds the wheel for the free-threaded stable ABI with pythonMINOR (3.15 or
# later), installs it with its test extras into a fresh venv and runs the README's test
# command there. scikit-build-core tags a wheel abi3.abi3t only on a free-threaded
# interpreter, so the abi3 tag it gets here is widened to both.
#
# Usage: sid_abi3t.sh MINOR LIMIT   (LIMIT: seconds the test run may take)
set -euo pipefail
minor=$1 limit=$2
# shellcheck source=suite.sh
. "$(dirname "${BASH_SOURCE[0]}")/suite.sh"

scratch=$(mktemp -d /tmp/quorel-ci.XXXXXX)
trap 'rm -rf "$scratch"' EXIT
"python$minor" -m venv "$scratch/build"
"$scratch/build/bin/python" -m pip install -q wheel
"$scratch/build/bin/python" -m pip wheel -q --no-deps -w "$scratch/dist" \
    -C cmake.define.QUOREL_ABI3T=ON -C wheel.py-api="cp${minor/./}" "$suite_root"
"$scratch/build/bin/python" -m wheel tags --remove --abi-tag abi3.abi3t "$scratch"/dist/*.whl
wheels=("$scratch"/dist/*-abi3.abi3t-*.whl)
[ -f "${wheels[0]}" ] || { echo "FAIL: no abi3.abi3t wheel in $scratch/dist" >&2; exit 1; }
echo "abi3t wheel: $(basename "${wheels[0]}")"
install_with_tests "python$minor" "${wheels[0]}" "$scratch/venv"
"$scratch/venv/bin/python" -c 'import quorel.quorel as m; assert m.__file__.endswith(".abi3t.so"), m.__file__'
readme_tests "$scratch/venv" "$limit"
