# shellcheck shell=bash
# Shared by the checks that build or inspect the extension themselves
# (.ci/checks/refleak.sh, sanitize.sh, fuzz.sh, compilers.sh, manylinux.sh,
# build_identifiers.sh, old_glibc.sh); sourced, not run. Each installs what
# it needs, so it works on a fresh machine.
#
# Expects QUOREL_ROOT (repository root). Sets: work (a scratch folder removed
# on exit), and defines the helpers below.
set -euo pipefail
export LC_ALL=C PIP_NO_INPUT=1 PIP_DISABLE_PIP_VERSION_CHECK=1 PIP_PROGRESS_BAR=off
: "${QUOREL_ROOT:?repository root}"

work=$(mktemp -d "${TMPDIR:-/tmp}/quorel-reliability.XXXXXX")
trap 'rm -rf "$work"' EXIT
check_started=$SECONDS

step() { printf -- '-- %s (%ss)\n' "$*" "$((SECONDS - check_started))"; }
fail() { echo "FAIL: $*" >&2; exit 1; }

# apt_install PACKAGE...: installs the Debian packages that are missing.
apt_install() {
    local missing=() pkg
    for pkg in "$@"; do
        [ "$(dpkg-query -W -f='${Status}' "$pkg" 2>/dev/null)" = "install ok installed" ] || missing+=("$pkg")
    done
    [ "${#missing[@]}" -eq 0 ] && return 0
    step "apt-get install ${missing[*]}"
    export DEBIAN_FRONTEND=noninteractive
    apt-get update -q >"$work/apt.log" 2>&1 || { cat "$work/apt.log"; fail "apt-get update"; }
    apt-get install -y -q --no-install-recommends "${missing[@]}" >>"$work/apt.log" 2>&1 ||
        { tail -n 40 "$work/apt.log"; fail "apt-get install ${missing[*]}"; }
}

# make_venv PYTHON DIR PACKAGE...: a venv at DIR with the build tools, the
# test extras and the given packages.
make_venv() {
    local python=$1 dir=$2
    shift 2
    step "venv for $("$python" -c 'import sys; print(sys.version.split()[0], sys.abiflags or "")')"
    "$python" -m venv "$dir"
    {
        "$dir/bin/python" -m pip install --upgrade pip &&
            "$dir/bin/python" -m pip install scikit-build-core cmake ninja pytest hypothesis "$@"
    } >"$work/pip.log" 2>&1 || { tail -n 40 "$work/pip.log"; fail "pip install"; }
}

# build_into VENV SETTING...: builds the extension from QUOREL_ROOT with the
# venv's interpreter and installs it there. Each SETTING is a scikit-build-core
# config setting (key=value). Link-time optimisation is left out: these builds
# are for checking, and it only lengthens them. The build log is kept in
# $work/build.log.
build_into() {
    local venv=$1
    shift
    local settings=(--config-settings="build-dir=$work/build" --config-settings=cmake.define.QUOREL_LTO=OFF) setting
    for setting in "$@"; do
        settings+=(--config-settings="$setting")
    done
    step "build ($*)"
    "$venv/bin/python" -m pip install -v --no-deps --no-build-isolation "${settings[@]}" "$QUOREL_ROOT" \
        >"$work/build.log" 2>&1 || { tail -n 60 "$work/build.log"; fail "the build failed"; }
}

# compiled_module VENV: path of the installed compiled module, found without
# importing it (a sanitizer build loads only under its runtime).
compiled_module() {
    "$1/bin/python" -c '
import glob, sysconfig
found = glob.glob(sysconfig.get_paths()["platlib"] + "/quorel/quorel*.so")
assert len(found) == 1, found
print(found[0])'
}

# run_suite VENV PYTEST-ARG...: runs the test suite against the installed
# build, from a scratch folder so that the source package cannot shadow it.
# .ci/installed_quorel.py stops the run if quorel is not the installed one.
run_suite() {
    local venv=$1
    shift
    mkdir -p "$work/run"
    (cd "$work/run" &&
        PYTHONPATH="$QUOREL_ROOT/tests:$QUOREL_ROOT/.ci" \
            "$venv/bin/python" -m pytest -p no:cacheprovider -p installed_quorel "$@" "$QUOREL_ROOT/tests")
}
