#!/usr/bin/env bash
# Address and undefined-behaviour sanitizer run: the C++ tests, then pytest
# against the instrumented module (the ASan runtime preloaded into Python).
set -euo pipefail
cd "$(dirname "$0")/.."
[ -x .venv/bin/python ] || bash scripts/setup.sh
# Every file compiled by itself here: in the unity batches of the other builds
# a missing #include can be hidden by an earlier file of the same batch.
SANITIZE=1 BUILD_TYPE=Debug UNITY=OFF bash scripts/dev_build.sh asan
# A result too large to hold must fail as MemoryError, as it does unsanitised,
# not end the process.
export ASAN_OPTIONS=detect_leaks=0:allocator_may_return_null=1 UBSAN_OPTIONS=print_stacktrace=1 QUARNEL_SLOW_BUILD=1
build/asan/quarnel_tests --gtest_brief=1
# The engines' own processes (Ray's raylet, Dask's and Spark's workers) would
# inherit the preloaded runtime; their tests check the engines' handling, and
# the calls they make run under the sanitizer in test_batch.py.
LD_PRELOAD="$(g++ -print-file-name=libasan.so):$(g++ -print-file-name=libubsan.so)" PYTHONPATH=build/asan:python \
  .venv/bin/python -m pytest -q -p no:cacheprovider tests/python \
  --ignore=tests/python/test_batch_ray.py --ignore=tests/python/test_batch_dask.py \
  --ignore=tests/python/test_batch_spark.py "$@"
