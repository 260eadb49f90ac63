#!/usr/bin/env bash
# Inside Debian unstable (run by .ci/run through sid-run, from the repository mounted at
# /src): installs the CI wheel dist/WHEEL with its test extras into a fresh venv of
# pythonMINOR and runs the README's test command there.
#
# Usage: sid_wheel.sh MINOR WHEEL LIMIT   (LIMIT: seconds the test run may take)
set -euo pipefail
minor=$1 wheel=$2 limit=$3
# shellcheck source=suite.sh
. "$(dirname "${BASH_SOURCE[0]}")/suite.sh"

scratch=$(mktemp -d /tmp/quorel-ci.XXXXXX)
trap 'rm -rf "$scratch"' EXIT
install_with_tests "python$minor" "$suite_root/dist/$wheel" "$scratch/venv"
readme_tests "$scratch/venv" "$limit"
