#!/usr/bin/env bash
# A long run of Ordane.exe under Wine: [count] readings (10 000 unless given) through the
# scanner, cards and the Symbol link, every one checked at the business application; the
# program's handles and memory after the first 100 and at the end.
set -uo pipefail
cd "$(dirname "$0")/.."

. scripts/lib/env.sh
ordane_ready_for_wine || exit 1
python3 tests/e2e/soak.py --count "${1:-10000}"
