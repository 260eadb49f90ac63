#!/usr/bin/env bash
# Fuzzing run: the three atheris targets in fuzz/ (operation sequences on a
# tree and on an AVLDict, checked against reference models; the pickle
# reconstruction function fed arbitrary pairs) against the extension built by clang with AddressSanitizer,
# UndefinedBehaviorSanitizer and libFuzzer's coverage instrumentation, each
# for a bounded time, starting from the corpus kept in fuzz/corpus/.
#
# Env: QUOREL_ROOT (repository root). Knob: QUOREL_FUZZ_SECONDS (per target,
# default 100).
source "$(dirname "${BASH_SOURCE[0]}")/../reliability.sh"

seconds=${QUOREL_FUZZ_SECONDS:-100}
# libclang-rt holds the sanitizers' ignore lists that clang reads when it compiles.
apt_install clang libclang-rt-14-dev g++
make_venv python3 "$work/venv" atheris
venv=$work/venv

# Every UndefinedBehaviorSanitizer check but vptr and function, which need the
# C++ half of its runtime; the runtime that atheris ships with libFuzzer does
# not carry it. (The sanitizer check, built by gcc, has them all.)
undefined=alignment,bool,builtin,bounds,enum,float-cast-overflow,integer-divide-by-zero
undefined+=,nonnull-attribute,null,object-size,pointer-overflow,return
undefined+=,returns-nonnull-attribute,shift,signed-integer-overflow,unreachable,vla-bound
CC=clang CXX=clang++ build_into "$venv" \
    "cmake.define.QUOREL_SANITIZE=address,fuzzer-no-link,$undefined" \
    cmake.build-type=Debug cmake.define.CMAKE_CXX_FLAGS=-O1

module=$(compiled_module "$venv")
echo "module: $module"
atheris_dir=$(cd "$work" && "$venv/bin/python" -c 'import atheris; print(atheris.path())')
cxx=$(clang++ -print-file-name=libstdc++.so)
[ -f "$cxx" ] || cxx=$(gcc -print-file-name=libstdc++.so)
# The sanitizer runtime (with libFuzzer) first; the C++ runtime after it, as
# the runtime resolves its wrapper of C++ throw when it starts.
export LD_PRELOAD="$atheris_dir/asan_with_fuzzer.so $cxx"
export PYTHONMALLOC=malloc
export ASAN_OPTIONS=detect_leaks=0:abort_on_error=1:halt_on_error=1
export UBSAN_OPTIONS=halt_on_error=1:print_stacktrace=1

total=0
for target in operations rebuild dict; do
    step "fuzz $target for ${seconds}s"
    # New inputs go to a scratch corpus; the kept one is only read.
    mkdir -p "$work/corpus-$target" "$work/artifacts-$target"
    rc=0
    (cd "$work" && "$venv/bin/python" "$QUOREL_ROOT/fuzz/fuzz_$target.py" \
        "$work/corpus-$target" "$QUOREL_ROOT/fuzz/corpus/$target" \
        -max_total_time="$seconds" -max_len=1024 -timeout=30 -rss_limit_mb=4096 -print_final_stats=1 \
        -artifact_prefix="$work/artifacts-$target/") >"$work/fuzz-$target.log" 2>&1 || rc=$?
    grep -E '^(stat::|Done )' "$work/fuzz-$target.log" || true
    if [ "$rc" -ne 0 ]; then
        tail -n 80 "$work/fuzz-$target.log"
        for crash in "$work/artifacts-$target"/*; do
            [ -f "$crash" ] && echo "input that failed ($(basename "$crash")), base64: $(base64 -w0 "$crash")"
        done
        fail "fuzz target $target found a fault (exit $rc)"
    fi
    runs=$(sed -n 's/^stat::number_of_executed_units: *//p' "$work/fuzz-$target.log")
    total=$((total + ${runs:-0}))
done
step "fuzz check passed: $total executions in all"
