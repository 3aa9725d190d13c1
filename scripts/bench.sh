#!/usr/bin/env bash
# Scanner delivery latency (50 scans) and idle CPU (60 s) of Ordane.exe under Wine.
set -uo pipefail
cd "$(dirname "$0")/.."

. scripts/lib/env.sh
ordane_install_packages || exit 1
ordane_build_windows || exit 1
ordane_start_display || exit 1
ordane_prepare_prefix || exit 1
python3 tests/e2e/bench.py "$@"
