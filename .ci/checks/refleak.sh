#!/usr/bin/env bash
# Reference-leak hunt: the extension built against Debian's debug interpreter
# (python3.11-dbg, which counts every reference in sys.gettotalrefcount), and
# the whole test suite run with each test repeated (tests/_refleak_plugin.py):
# a test whose total reference count grows in every measured run fails.
#
# Env: QUOREL_ROOT (repository root). Knobs: QUOREL_REFLEAK_WARMUPS,
# QUOREL_REFLEAK_RUNS (see the plugin), QUOREL_MODEL_EXAMPLES (the state
# machine's examples per run; default 60 here, as every test runs six times).
source "$(dirname "${BASH_SOURCE[0]}")/../reliability.sh"

apt_install python3.11-dbg libpython3.11-dbg python3.11-dev python3.11-venv g++
make_venv python3.11-dbg "$work/venv"
venv=$work/venv

# Debian's debug headers are symlinks into the release headers, and the
# compiler resolves "pyconfig.h" next to the link target, so the release
# configuration (without Py_DEBUG) would be used. Py_DEBUG is the only
# difference that matters: without it the module's reference operations are
# not counted and every test would seem to leak.
build_into "$venv" cmake.define.CMAKE_CXX_FLAGS=-DPy_DEBUG

step "check the debug build"
module=$(compiled_module "$venv")
echo "module: $module"
symbols=$(nm -D "$module")
grep -q ' U _Py_RefTotal$' <<<"$symbols" ||
    fail "$module does not count its references (built without Py_DEBUG)"
(cd "$work" && "$venv/bin/python" -c '
import sys, gc
from quorel import AVLTree
assert hasattr(sys, "gettotalrefcount"), "not a debug interpreter"
def churn():
    t = AVLTree(range(50), key=str)
    t.insert(-1); t.remove(3); list(t.range("10", "20")); repr(t)
churn(); gc.collect()
before = sys.gettotalrefcount()
for _ in range(200):
    churn()
gc.collect()
growth = sys.gettotalrefcount() - before
print(f"references after 200 rounds of churn: {growth:+d}")
assert abs(growth) < 50, growth
')

step "test suite, each test repeated"
export QUOREL_MODEL_EXAMPLES=${QUOREL_MODEL_EXAMPLES:-60}
run_suite "$venv" -q -p _refleak_plugin
step "refleak check passed"
