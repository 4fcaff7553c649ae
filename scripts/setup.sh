#!/usr/bin/env bash
# One set-up path for a new machine, CI and the README: system packages,
# a virtual environment in .venv, and the package installed with its test extra
# (QUARNEL_EXTRAS names other extras instead, comma-separated).
set -euo pipefail
cd "$(dirname "$0")/.."

need=()
for pkg in libgtest-dev g++ cmake ninja-build; do
  dpkg -s "$pkg" >/dev/null 2>&1 || need+=("$pkg")
done
if [ ${#need[@]} -gt 0 ]; then
  echo "setup: installing ${need[*]}"
  export DEBIAN_FRONTEND=noninteractive
  apt-get update -qq
  apt-get install -y -qq "${need[@]}" >/dev/null
fi

PYTHON=${PYTHON:-python3}
if [ ! -x .venv/bin/python ]; then
  "$PYTHON" -m venv .venv
fi
.venv/bin/python -m pip install -q --upgrade pip
# Build tools live in the venv, and .venv has a build directory of its own,
# so that reinstalling after a change rebuilds only what changed.
.venv/bin/python -m pip install -q "scikit-build-core>=0.10" "pybind11>=2.13" "numpy>=2" "pytest>=7" "hypothesis>=6"
.venv/bin/python -m pip install -q --no-build-isolation -C build-dir="build/venv-{wheel_tag}" \
  ".[${QUARNEL_EXTRAS:-test}]"
echo "setup: quarnel_solver $(.venv/bin/python -c 'import quarnel_solver as q; print(q.version())') installed in .venv"
