#!/usr/bin/env bash
# Every test: installs what the build needs, builds both presets, runs the native unit tests
# (also once under ASan and UBSan), each fuzz target for a few seconds, the Windows tests under
# Wine and the end-to-end tests of Ordane.exe, and ends with one line
# "N passed, M failed, K skipped". Works as root on a fresh Debian 12 machine, and again.
set -uo pipefail
cd "$(dirname "$0")/.."
root=$(pwd)

. scripts/lib/env.sh
ordane_install_packages || exit 1
ordane_start_display || exit 1
ordane_prepare_prefix || exit 1

status=0
results="$root/build/results"
rm -rf "$results" && mkdir -p "$results"

echo "== build (native)"
{ cmake --preset native >/dev/null && cmake --build --preset native; } >"$results/build-native.log" 2>&1 \
    || { tail -40 "$results/build-native.log"; echo "native build failed"; status=1; }
echo "== build (windows)"
{ ordane_configure_windows && cmake --build --preset windows; } >"$results/build-windows.log" 2>&1 \
    || { tail -40 "$results/build-windows.log"; echo "windows build failed"; status=1; }
grep -E 'warning:' "$results"/build-*.log | sort -u | head -20

echo "== native unit tests"
ctest --preset native --output-junit "$results/native.xml" 2>&1 | tail -n 25 || true
echo "== native unit tests under ASan and UBSan (clang)"
if { cmake --preset asan >/dev/null && cmake --build --preset asan; } >"$results/build-asan.log" 2>&1; then
    ctest --preset asan --output-junit "$results/asan.xml" 2>&1 | tail -n 5 || true
else
    tail -40 "$results/build-asan.log"; echo "asan build failed"; status=1
fi
echo "== fuzz targets, ${ORDANE_FUZZ_SECONDS:-6} s each (scripts/fuzz.sh runs them longer)"
scripts/fuzz.sh "${ORDANE_FUZZ_SECONDS:-6}" --seed 1 --seeds-only --junit "$results/fuzz.xml" 2>&1 | tail -n 15 || true
echo "== Windows tests under Wine"
ctest --preset windows --output-junit "$results/windows.xml" 2>&1 | tail -n 25 || true
echo "== end-to-end tests under Wine"
python3 tests/e2e/run.py --results "$results/e2e.xml" 2>&1 | tail -n 60 || true

python3 scripts/lib/summary.py "$results" || status=1
exit $status
