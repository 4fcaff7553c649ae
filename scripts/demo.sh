#!/usr/bin/env bash
# The main job: set up, then select context for a query from an offline corpus.
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/setup.sh >/dev/null
exec .venv/bin/python examples/select_context.py "$@"
