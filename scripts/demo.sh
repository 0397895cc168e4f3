#!/usr/bin/env bash
# Sets up a fresh machine and runs the main job on the bundled sample model.
set -euo pipefail
cd "$(dirname "$0")/.."

bash scripts/setup.sh
.venv/bin/halvorn optimize samples/tiny-llama.gguf "$@"
