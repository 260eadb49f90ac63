#!/usr/bin/env bash
# The sources against a second compiler and standard library:
#   0. no compiler built-in or POSIX header outside the portability headers
#      (memory_hints.hpp for the engine, page_mapping.hpp for support's mapped
#      temporaries, sleeper.hpp for threads that wait);
#   1. a wheel built by clang with libc++ (the compiler and standard library of
#      macOS) and -Werror, so that any -Wall -Wextra -Wpedantic warning fails,
#      and with UndefinedBehaviorSanitizer's checks compiled in as traps (no
#      runtime needed), which also catch what gcc's checks let pass, such as a
#      pointer formed outside its array; the whole test suite runs against
#      that wheel;
#   2. a gcc/libstdc++ build with the same warnings made errors (the CI wheel
#      itself is built without -Werror), against the headers of the newest
#      CPython under pyenv, where new deprecations of the C API would show.
#
# Env: QUOREL_ROOT (repository root). Knobs: QUOREL_CLANG_PYTHON (the one
# interpreter the clang wheel is tested on; default python3),
# QUOREL_HEADERS_PYTHON (the interpreter whose headers the gcc build uses).
source "$(dirname "${BASH_SOURCE[0]}")/../reliability.sh"

step "compiler built-ins and system headers only behind the portability header"
# MSVC has neither; src/python_tree/memory_hints.hpp gives each a fallback.
if grep -rnE '__builtin_|__attribute__|<sys/|<unistd\.h>' "$QUOREL_ROOT/src" --include='*.[ch]pp' |
    grep -vE '^[^:]*/(memory_hints|page_mapping)\.hpp:'; then
    fail "use the portable forms of src/python_tree/memory_hints.hpp (or C++20's <bit>) instead"
fi

apt_install clang libc++-dev libc++abi-dev g++
python=${QUOREL_CLANG_PYTHON:-python3}
make_venv "$python" "$work/venv"
venv=$work/venv

step "clang with libc++ and trapping undefined-behaviour checks: build the wheel"
mkdir "$work/wheel"
flags="-stdlib=libc++ -Werror -fsanitize=undefined -fsanitize-trap=undefined"
CC=clang CXX=clang++ CXXFLAGS="$flags" LDFLAGS="-stdlib=libc++" \
    "$venv/bin/python" -m pip wheel -v --no-deps --no-build-isolation \
    --config-settings="build-dir=$work/build-clang" -w "$work/wheel" "$QUOREL_ROOT" \
    >"$work/build.log" 2>&1 || { tail -n 60 "$work/build.log"; fail "the clang build failed"; }
grep -q 'The CXX compiler identification is Clang' "$work/build.log" ||
    fail "the wheel was not compiled by clang"
grep -qxF "CMAKE_CXX_FLAGS:STRING=$flags" "$work/build-clang/CMakeCache.txt" ||
    fail "the clang build did not take $flags"
wheel=$(echo "$work"/wheel/quorel-*-cp39-abi3-*.whl)
[ -f "$wheel" ] || fail "no cp39-abi3 wheel in $work/wheel"
"$venv/bin/python" -m pip install -q --no-deps "$wheel"
module=$(compiled_module "$venv")
libraries=$(ldd "$module")
grep -q 'libc++\.so' <<<"$libraries" || fail "$module is not linked against libc++"

step "clang with libc++: test suite"
run_suite "$venv" -q

headers_python=${QUOREL_HEADERS_PYTHON:-$(printf '%s\n' "${PYENV_ROOT:-$HOME/.pyenv}"/versions/3.*/bin/python |
    grep -E '/versions/3\.[0-9]+\.[0-9]+/bin/python$' | sort -V | tail -n 1)}
[ -x "$headers_python" ] || fail "no CPython under pyenv for the gcc build (set QUOREL_HEADERS_PYTHON)"
step "gcc with libstdc++: build with warnings as errors, $("$headers_python" --version) headers"
PATH="$venv/bin:$PATH" CC=gcc CXX=g++ CXXFLAGS="-Werror" cmake -S "$QUOREL_ROOT" -B "$work/build-gcc" -G Ninja \
    -DCMAKE_BUILD_TYPE=Release -DQUOREL_LTO=OFF -DPython_EXECUTABLE="$headers_python" \
    >"$work/gcc.log" 2>&1 || { tail -n 40 "$work/gcc.log"; fail "gcc configuration failed"; }
"$venv/bin/cmake" --build "$work/build-gcc" >>"$work/gcc.log" 2>&1 ||
    { tail -n 60 "$work/gcc.log"; fail "the gcc build failed"; }
grep -q '^CMAKE_CXX_FLAGS:STRING=-Werror$' "$work/build-gcc/CMakeCache.txt" ||
    fail "the gcc build did not take -Werror"
step "both compilers build without warnings; the clang wheel passes the suite"
