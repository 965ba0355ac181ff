#!/usr/bin/env bash
# Builds everything and runs the demo. File paths given as arguments are played
# instead of the generated tracks.
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/setup.sh
exec node examples/demo.js "$@"
