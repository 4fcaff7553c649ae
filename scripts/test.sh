#!/usr/bin/env bash
# The whole test suite: C++ unit tests through CTest, then pytest on the installed module.
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/setup.sh

cmake -S . -B build/cpp-tests -G Ninja -DCMAKE_BUILD_TYPE=Release \
  -DQUARNEL_BUILD_MODULE=OFF -DQUARNEL_BUILD_TESTS=ON >/dev/null
cmake --build build/cpp-tests -j "$(nproc)"
ctest --test-dir build/cpp-tests --output-on-failure -j "$(nproc)"

.venv/bin/python -m pytest -q tests/python "$@"
