#!/usr/bin/env bash
# Data-race run: the extension built by clang with ThreadSanitizer for a free-threaded
# CPython 3.14 that is itself built with it (../shared/tools/free-threaded-python --tsan),
# and the thread and wait tests (tests/test_threads.py, tests/test_waits.py) run there with
# the GIL off. Every report is collected; the
# check fails if any of them points into quorel (the interpreter's own are listed only).
# The interpreter is built once per machine (about 7 minutes) and kept.
#
# Env: QUOREL_ROOT (repository root). Knob: QUOREL_TOOLS (folder of free-threaded-python,
# default ../shared/tools beside the repository).
source "$(dirname "${BASH_SOURCE[0]}")/../reliability.sh"

tools=${QUOREL_TOOLS:-$QUOREL_ROOT/../shared/tools}
step "free-threaded CPython with ThreadSanitizer"
python=$("$tools/free-threaded-python" --tsan) || fail "$tools/free-threaded-python --tsan"
"$python" -c 'import sys, sysconfig
assert sysconfig.get_config_var("Py_GIL_DISABLED"), "not a free-threaded build"
assert "-fsanitize=thread" in sysconfig.get_config_var("CONFIG_ARGS") + sysconfig.get_config_var("PY_CFLAGS"), "not built with ThreadSanitizer"'

# The interpreter carries the sanitizer runtime; the module must come from the same
# compiler and keep its symbols, so that reports name its functions.
make_venv "$python" "$work/venv"
CC=clang CXX=clang++ build_into "$work/venv" cmake.define.QUOREL_SANITIZE=thread \
    cmake.build-type=RelWithDebInfo install.strip=false
module=$(compiled_module "$work/venv")
echo "module: $module"
nm -D -u "$module" | grep -q __tsan_ || fail "$module is not built with ThreadSanitizer"

step "the thread and wait tests under ThreadSanitizer, GIL off"
mkdir -p "$work/run" "$work/tsan"
rc=0
(cd "$work/run" &&
    PYTHON_GIL=0 TSAN_OPTIONS="halt_on_error=0 exitcode=0 log_path=$work/tsan/report" \
        PYTHONPATH="$QUOREL_ROOT/tests:$QUOREL_ROOT/.ci" \
        "$work/venv/bin/python" -m pytest -p no:cacheprovider -p installed_quorel -q \
        "$QUOREL_ROOT/tests/test_threads.py" "$QUOREL_ROOT/tests/test_waits.py") || rc=$?
[ "$rc" -eq 0 ] || fail "the thread tests failed under ThreadSanitizer (exit $rc)"

# One report runs from its WARNING line to the next line of '=' signs.
shopt -s nullglob
reports=("$work/tsan"/report.*)
shopt -u nullglob
ours=0 others=0
for log in "${reports[@]}"; do
    while IFS= read -r -d '' report; do
        # A frame in the module: its functions or its file (paths of this machine may
        # hold the word quorel too).
        if grep -qE 'quorel::|\(quorel\.cpython-[^ )]*\.so\+' <<<"$report"; then
            ours=$((ours + 1))
            echo "$report"
        else
            others=$((others + 1))
            head -n 3 <<<"$report"
        fi
    done < <(awk '/^WARNING: ThreadSanitizer:/ {on = 1} on {print} /^={10,}$/ && on {on = 0; printf "%c", 0}' "$log")
done
step "ThreadSanitizer: $ours report(s) in quorel, $others in the interpreter only"
[ "$ours" -eq 0 ] || fail "ThreadSanitizer reports races in quorel"
step "thread sanitizer check passed"
