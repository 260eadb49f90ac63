#!/usr/bin/env bash
# The release build's targets: `cibuildwheel --print-build-identifiers`, read
# from pyproject.toml's [tool.cibuildwheel] for linux, macos and windows, must
# list exactly one identifier per CPython 3.9 to 3.15 and per free-threaded
# CPython 3.14t and 3.15t, on each intended platform: manylinux and musllinux
# on x86_64 and aarch64, macOS on x86_64 and arm64, Windows on AMD64; no
# 32-bit, PyPy or GraalPy ones. Each platform's one abi3 wheel is built on 3.9
# and tested on all the others; each free-threaded one has a wheel of its own.
#
# cibuildwheel is pinned to the release workflow's version; a newer one may
# know more interpreters, so bump both together with the lists below.
#
# Env: QUOREL_ROOT (repository root).
source "$(dirname "${BASH_SOURCE[0]}")/../reliability.sh"

CIBUILDWHEEL_VERSION=4.3.5
PYTHONS="39 310 311 312 313 314 315 314t 315t"

python3 -m venv "$work/tools"
"$work/tools/bin/python" -m pip install -q "cibuildwheel==$CIBUILDWHEEL_VERSION"

# expected PLATFORM-SUFFIX...: the identifiers of every CPython on those platforms.
expected() {
    local suffix version
    for suffix in "$@"; do
        for version in $PYTHONS; do
            echo "cp$version-$suffix"
        done
    done | sort
}

failed=0
compare() {
    local platform=$1
    shift
    local listed
    listed=$(cd "$QUOREL_ROOT" &&
        "$work/tools/bin/cibuildwheel" --platform "$platform" --print-build-identifiers) ||
        fail "cibuildwheel --platform $platform --print-build-identifiers failed"
    listed=$(sort <<<"$listed")
    step "$platform: $(wc -l <<<"$listed") identifiers"
    echo "$listed" | tr '\n' ' '
    echo
    if ! diff -u <(expected "$@") - <<<"$listed" >"$work/diff.txt"; then
        echo "FAIL: $platform identifiers differ from the intended ones (- intended, + listed):" >&2
        cat "$work/diff.txt" >&2
        failed=1
    fi
}

# CIBW_* variables in the environment would change what is printed.
unset "${!CIBW_@}"
compare linux manylinux_x86_64 manylinux_aarch64 musllinux_x86_64 musllinux_aarch64
compare macos macosx_x86_64 macosx_arm64
compare windows win_amd64
[ "$failed" -eq 0 ] || fail "the cibuildwheel configuration does not list the intended builds"
step "every platform lists the intended builds"
