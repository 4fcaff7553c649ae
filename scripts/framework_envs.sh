#!/usr/bin/env bash
# The adapters in real pipelines of their frameworks, offline, at the lowest
# versions the extras declare: a virtual environment of its own holding every
# framework at its floor. The newest releases need no environment of their own
# in CI: test.sh's fresh .venv and build_wheel.sh's fresh venv install them
# through the test extra and run the same tests. `framework_envs.sh lowest
# latest` builds a latest environment here too, for checking by hand. The
# package is compiled once: a wheel from the .venv's persistent build directory
# (scripts/setup.sh made it) goes into each environment.
set -euo pipefail
cd "$(dirname "$0")/.."
out=$PWD/build/frameworks
PYTHON=${PYTHON:-python3}
extras=(langchain haystack llama-index)
levels=("$@")
[ ${#levels[@]} -gt 0 ] || levels=(lowest)
step() { echo "framework_envs: $* (${SECONDS}s)"; }

[ -x .venv/bin/python ] || bash scripts/setup.sh
rm -rf "$out"
mkdir -p "$out/wheel"
step "wheel from the .venv build"
.venv/bin/python -m pip wheel -q --no-build-isolation --no-deps -C build-dir="build/venv-{wheel_tag}" \
  -w "$out/wheel" .
wheel=$(ls "$out"/wheel/quarnel_solver-*.whl)

# Each extra's "package>=floor", from pyproject.toml.
requirements=$(.venv/bin/python - "${extras[@]}" <<'PY'
import re, sys, pathlib
text = pathlib.Path("pyproject.toml").read_text()
for name in sys.argv[1:]:
    extra = re.search(r"^%s = \[(.*?)\]" % re.escape(name), text, re.M | re.S)
    print(re.findall(r'"([^"]+)"', extra.group(1))[0])
PY
)
lowest=$(sed 's/>=/==/' <<<"$requirements" | tr '\n' ' ')
# The newest of each; langchain-classic too, for ContextualCompressionRetriever
# (it needs langchain-core 1, so the lowest environment goes without it).
latest="$(sed 's/>=.*//' <<<"$requirements" | tr '\n' ' ') langchain-classic"
joined=$(IFS=,; echo "${extras[*]}")

# Installing is network-bound: the environments side by side, one log each.
for which in "${levels[@]}"; do
  pins=${!which}
  (
    "$PYTHON" -m venv "$out/$which" &&
      "$out/$which/bin/python" -m pip install -q "$wheel[$joined]" $pins "pytest>=7"
  ) >"$out/$which.log" 2>&1 &
  eval "pid_$which=$!"
done
step "installing ${levels[*]}: lowest is $lowest"
for which in "${levels[@]}"; do
  pid="pid_$which"
  if ! wait "${!pid}"; then
    echo "framework_envs: installing the $which environment failed:" >&2
    grep -v "is ignored" "$out/$which.log" >&2
    exit 1
  fi
done

for which in "${levels[@]}"; do
  python=$out/$which/bin/python
  step "$which: $("$python" -m pip list 2>/dev/null | tr -s ' ' |
    grep -i -E "^(langchain-core|langchain-classic|haystack-ai|llama-index-core|pydantic|numpy) " | paste -sd, -)"
  # An adapter that cannot load fails here, rather than letting its tests skip.
  "$python" -c "import quarnel.langchain, quarnel.haystack, quarnel.llama_index"
  HAYSTACK_TELEMETRY_ENABLED=False "$python" -m pytest -q -p no:cacheprovider \
    tests/python/test_layer_adapters.py tests/python/test_layer_docs.py -k "not typed"
done
step "done"
