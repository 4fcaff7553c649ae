#!/usr/bin/env bash
# Incremental developer build of the module and the C++ tests into build/<name>.
# Usage: scripts/dev_build.sh [name]   then: PYTHONPATH=build/<name> .venv/bin/python -m pytest tests/python
set -euo pipefail
cd "$(dirname "$0")/.."
name=${1:-dev}
cmake -S . -B "build/$name" -G Ninja -DCMAKE_BUILD_TYPE=${BUILD_TYPE:-Release} \
  -DQUARNEL_BUILD_MODULE=ON -DQUARNEL_BUILD_TESTS=ON ${SANITIZE:+-DQUARNEL_SANITIZE=ON} -DQUARNEL_UNITY_BUILD=${UNITY:-ON} \
  -DPython_EXECUTABLE="$PWD/.venv/bin/python" \
  -Dpybind11_DIR="$(.venv/bin/python -m pybind11 --cmakedir)" >/dev/null
cmake --build "build/$name" -j "${JOBS:-2}"
