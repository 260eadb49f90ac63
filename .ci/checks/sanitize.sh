#!/usr/bin/env bash
# Memory-safety run: the extension built with AddressSanitizer and
# UndefinedBehaviorSanitizer (Debug, gcc), and the whole test suite run under
# them. The interpreter's own allocator is switched off (PYTHONMALLOC=malloc)
# so that a use of a freed Python object is seen too. The first report stops
# the process, which fails the run. Leak detection is off: the interpreter
# keeps memory until exit by design (the refleak check hunts our leaks).
#
# Env: QUOREL_ROOT (repository root). Knob: QUOREL_SANITIZE_PYTHON (default
# python3).
source "$(dirname "${BASH_SOURCE[0]}")/../reliability.sh"

apt_install g++
python=${QUOREL_SANITIZE_PYTHON:-python3}
make_venv "$python" "$work/venv"
venv=$work/venv
build_into "$venv" cmake.define.QUOREL_SANITIZE=address,undefined cmake.build-type=Debug

module=$(compiled_module "$venv")
echo "module: $module"
libraries=$(ldd "$module")
grep -q libasan <<<"$libraries" || fail "$module is not built with AddressSanitizer"

# The sanitizer runtime must come first. The C++ runtime is preloaded after it
# because the runtime resolves its wrapper of C++ throw when it starts, and
# the interpreter itself does not load libstdc++.
asan=$(gcc -print-file-name=libasan.so)
cxx=$(gcc -print-file-name=libstdc++.so)
{ [ -f "$asan" ] && [ -f "$cxx" ]; } || fail "no libasan.so or libstdc++.so next to gcc"
export LD_PRELOAD="$asan $cxx"
export PYTHONMALLOC=malloc
export ASAN_OPTIONS=detect_leaks=0:abort_on_error=1:halt_on_error=1
export UBSAN_OPTIONS=halt_on_error=1:print_stacktrace=1

step "test suite under the sanitizers"
# --capture=sys leaves file descriptor 2 alone, so that a sanitizer report
# written there reaches the log even when it ends the process.
run_suite "$venv" -q --capture=sys
step "sanitizer check passed"
