#!/usr/bin/env bash
# Ordane's main job under Wine with simulated devices: installs what the build needs, builds
# Ordane.exe and its test programs, starts an HHP scanner and a 华视 card reader on pty-backed
# COM ports, runs the program and prints what the business application received.
# Screenshots go to build/demo (scripts/demo.sh --shots docs writes the ones the README shows;
# add --scale 200 for the 200 % ones, in a prefix of their own: ORDANE_WINEPREFIX=build/wineprefix-shots).
set -uo pipefail
cd "$(dirname "$0")/.."

. scripts/lib/env.sh
ordane_ready_for_wine || exit 1
python3 scripts/lib/demo.py "$@"
