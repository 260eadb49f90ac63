#!/usr/bin/env bash
# Packaging checks:
#   1. the CI wheel is one cp39-abi3 wheel and uses nothing outside the
#      stable ABI (abi3audit);
#   2. `python -m build` makes an sdist (which must hold the sources, the
#      tests and what they read, and not the fuzz corpus, benchmark results
#      or CI scripts) and, from that sdist in an isolated
#      environment, exactly one abi3 wheel, which abi3audit also checks;
#   3. twine accepts the metadata of all three files;
#   4. the wheel built from the sdist, installed into a fresh venv, passes
#      the test suite shipped in the sdist.
#
# Env: QUOREL_WHEEL (path of the built wheel), QUOREL_ROOT (repository root).
set -euo pipefail
export PIP_NO_INPUT=1 PIP_DISABLE_PIP_VERSION_CHECK=1 PIP_PROGRESS_BAR=off
: "${QUOREL_WHEEL:?path of the built wheel}"
: "${QUOREL_ROOT:?repository root}"

work=$(mktemp -d "${TMPDIR:-/tmp}/quorel-packaging.XXXXXX")
trap 'rm -rf "$work"' EXIT

fail() { echo "FAIL: $*" >&2; exit 1; }

one_abi3_wheel() {
    case "$(basename "$1")" in
        quorel-*-cp39-abi3-*.whl) ;;
        *) fail "$(basename "$1") is not a quorel cp39-abi3 wheel" ;;
    esac
}

python3 -m venv "$work/tools"
tools="$work/tools/bin"
"$tools/python" -m pip install -q build twine abi3audit

echo "-- abi3audit: CI wheel"
one_abi3_wheel "$QUOREL_WHEEL"
"$tools/abi3audit" --strict --report "$QUOREL_WHEEL"

echo "-- python -m build (sdist, then a wheel from it)"
# Build from a clean export of the tree so that local build output cannot
# leak into the sdist.
mkdir "$work/src"
git -C "$QUOREL_ROOT" ls-files -z | (cd "$QUOREL_ROOT" && xargs -0 cp --parents -t "$work/src")
"$tools/python" -m build --outdir "$work/dist" "$work/src"
shopt -s nullglob
sdists=("$work"/dist/*.tar.gz)
wheels=("$work"/dist/*.whl)
shopt -u nullglob
[ "${#sdists[@]}" -eq 1 ] || fail "expected one sdist, got ${#sdists[@]}"
[ "${#wheels[@]}" -eq 1 ] || fail "expected one wheel, got ${#wheels[@]}"
one_abi3_wheel "${wheels[0]}"

echo "-- the sdist holds the sources and tests, not the fuzz corpus, results or CI"
"$tools/python" - "${sdists[0]}" <<'PY'
import sys, tarfile
names = {n.split("/", 1)[1] for n in tarfile.open(sys.argv[1]).getnames() if "/" in n}
needed = {"LICENSE", "README.md", "CMakeLists.txt", "pyproject.toml", "src/quorel/__init__.py",
          "tests/test_module.py", "docs/api.md", "examples/tour.py", "benchmarks/qbench/keys.py"}
unwanted = (".ci/", ".github/", "fuzz/corpus/", "benchmarks/results/")
problems = [f"missing {n}" for n in sorted(needed - names)]
problems += [f"holds {n}" for n in sorted(names) if n.startswith(unwanted)]
sys.exit("\n".join(problems) if problems else 0)
PY

echo "-- abi3audit: wheel from the sdist"
"$tools/abi3audit" --strict --report "${wheels[0]}"

echo "-- the stubs are in the wheel"
"$tools/python" - "${wheels[0]}" <<'PY'
import sys, zipfile
names = set(zipfile.ZipFile(sys.argv[1]).namelist())
missing = {"quorel/py.typed", "quorel/__init__.pyi", "quorel/quorel.pyi"} - names
sys.exit(f"missing from the wheel: {sorted(missing)}" if missing else 0)
PY

echo "-- twine check"
"$tools/twine" check --strict "$QUOREL_WHEEL" "${sdists[0]}" "${wheels[0]}"

echo "-- test suite against the wheel built from the sdist"
tar -xzf "${sdists[0]}" -C "$work"
sdist_name=$(basename "${sdists[0]}")
unpacked="$work/${sdist_name%.tar.gz}"
[ -d "$unpacked/tests" ] || fail "the sdist has no tests/"
python3 -m venv "$work/fresh"
"$work/fresh/bin/python" -m pip install -q "${wheels[0]}[test]"
mkdir "$work/run"
cp "$QUOREL_ROOT/.ci/installed_quorel.py" "$work/run/"
cd "$work/run"
"$work/fresh/bin/python" -m pytest -p no:cacheprovider -p installed_quorel -q "$unpacked/tests"
