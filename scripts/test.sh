#!/usr/bin/env bash
# Builds everything and runs every test: the C++ suite through ctest, then the
# script suite through node:test. Fails when either fails.
set -uo pipefail
cd "$(dirname "$0")/.."
bash scripts/setup.sh || exit 1

status=0
ctest --test-dir build --output-on-failure -j 2 || status=1
node --test --test-concurrency=1 test/ || status=1
exit $status
