#!/usr/bin/env bash
# One set-up path for a new machine, CI and the README: system packages,
# a virtual environment in .venv, and the package installed with its test extra
# (QUARNEL_EXTRAS names other extras instead, comma-separated). With
# QUARNEL_CPP_TESTS=1 the same build also makes the C++ unit tests, linked
# against the core objects the installed module was linked from.
set -euo pipefail
cd "$(dirname "$0")/.."
say() { echo "setup: $* (${SECONDS}s)"; }

need=()
for pkg in libgtest-dev g++ cmake ninja-build; do
  dpkg -s "$pkg" >/dev/null 2>&1 || need+=("$pkg")
done
if [ ${#need[@]} -gt 0 ]; then
  say "installing the Debian packages ${need[*]}"
  export DEBIAN_FRONTEND=noninteractive
  apt-get update -qq
  apt-get install -y -qq "${need[@]}" >/dev/null
fi

PYTHON=${PYTHON:-python3}
if [ ! -x .venv/bin/python ]; then
  say "creating .venv"
  "$PYTHON" -m venv .venv
fi
say "installing the build tools into .venv"
.venv/bin/python -m pip install -q --upgrade pip
# Build tools live in the venv, and .venv has a build directory of its own,
# so that reinstalling after a change rebuilds only what changed.
.venv/bin/python -m pip install -q "scikit-build-core>=0.10" "pybind11>=2.13" "numpy>=2" "pytest>=7" "hypothesis>=6"

extras=${QUARNEL_EXTRAS:-test}
cpp_tests=OFF
[ "${QUARNEL_CPP_TESTS:-0}" = 1 ] && cpp_tests=ON
say "building quarnel_solver (C++ unit tests: $cpp_tests) and installing it with [$extras]"
mkdir -p build
log=build/setup-install.log
# pip -v prints every build step; the compile's progress is Ninja's [done/total] lines.
progress() {
  local line
  while IFS= read -r line; do
    if [[ $line =~ \[([0-9]+/[0-9]+)\]\ (Building|Linking)\ CXX\ [a-z\ ]+\ (.*)$ ]]; then
      local step=${BASH_REMATCH[1]} action=${BASH_REMATCH[2],,} what=${BASH_REMATCH[3]#CMakeFiles/}
      what=${what%.o}
      what=${what/.dir\//: }
      [[ $what =~ ^(.*)Unity/unity_([0-9]+)_cxx\.cxx$ ]] && what="${BASH_REMATCH[1]}batch ${BASH_REMATCH[2]} of its files"
      echo "setup:   [$step] $action $what"
    fi
  done
}
if ! .venv/bin/python -m pip install -v --no-build-isolation -C build-dir="build/venv-{wheel_tag}" \
  -C cmake.define.QUARNEL_BUILD_TESTS="$cpp_tests" ".[$extras]" 2>&1 | tee "$log" | progress; then
  tail -n 40 "$log" >&2
  echo "setup: the install failed; its whole output is in $log" >&2
  exit 1
fi
say "quarnel_solver $(.venv/bin/python -c 'import quarnel_solver as q; print(q.version())') installed in .venv"
