#!/usr/bin/env bash
# Scanner delivery latency (50 scans), long codes at line speed and idle CPU (60 s) of
# Ordane.exe under Wine.
set -uo pipefail
cd "$(dirname "$0")/.."

. scripts/lib/env.sh
ordane_ready_for_wine || exit 1
python3 scripts/lib/bench.py "$@"
