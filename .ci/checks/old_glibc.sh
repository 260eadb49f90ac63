#!/usr/bin/env bash
# A build for glibc 2.17 (manylinux2014) made here with a cross toolchain from
# the package index: zig's clang targeting x86_64-linux-gnu.2.17, which links
# against that glibc's symbol set and its own static libc++. The module must
# need no glibc symbol version above 2.17 and no shared C++ runtime, and must
# pass the whole test suite on this host.
#
# Env: QUOREL_ROOT (repository root). Knob: QUOREL_ZIG_VERSION (the ziglang
# release from the package index; default below).
source "$(dirname "${BASH_SOURCE[0]}")/../reliability.sh"

[ "$(uname -m)" = x86_64 ] || fail "this check targets x86_64, not $(uname -m)"
make_venv python3 "$work/venv" "ziglang==${QUOREL_ZIG_VERSION:-0.17.1}"
venv=$work/venv

cat >"$work/zig-c++" <<EOF
#!/bin/sh
exec "$venv/bin/python" -m ziglang c++ -target x86_64-linux-gnu.2.17 "\$@"
EOF
chmod +x "$work/zig-c++"
# The first build also compiles zig's libc++ for the target: a few minutes.
CXX="$work/zig-c++" build_into "$venv"
module=$(compiled_module "$venv")
echo "module: $module"

step "symbol versions and libraries"
versions=$(objdump -T "$module" | grep -oE '\b(GLIBC|GLIBCXX|CXXABI)_[0-9.]+' | sort -uV)
echo "${versions//$'\n'/ }"
newest=$(grep -E '^GLIBC_' <<<"$versions" | sed 's/^GLIBC_//' | sort -V | tail -n 1)
[ "$(printf '%s\n' "$newest" 2.17 | sort -V | tail -n 1)" = 2.17 ] ||
    fail "the module needs GLIBC_$newest, newer than 2.17"
! grep -qE '^(GLIBCXX|CXXABI)_' <<<"$versions" || fail "the module needs a shared C++ runtime"
libraries=$(ldd "$module")
echo "$libraries"
! grep -qE 'libstdc\+\+|libc\+\+' <<<"$libraries" || fail "the module links a shared C++ runtime"

step "test suite against the glibc 2.17 build"
run_suite "$venv" -q
step "the glibc 2.17 build passes the suite"
