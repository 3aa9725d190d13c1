#!/usr/bin/env bash
# Every test: installs what the build needs, builds both presets, runs the native unit tests
# (also once under ASan and UBSan), each fuzz target for a few seconds, the Windows tests under
# Wine and the end-to-end tests of Ordane.exe, builds the release, and ends with one line
# "N passed, M failed, K skipped". Works as root on a fresh Debian 12 machine, and again.
# Tests the 32-bit Ordane.exe, or the 64-bit one where 32-bit programs cannot run (or with
# ORDANE_ARCH=x64).
set -uo pipefail
cd "$(dirname "$0")/.."
root=$(pwd)

. scripts/lib/env.sh
ordane_install_packages || exit 1
ordane_start_display || exit 1
ordane_prepare_prefix || exit 1

status=0
failed_steps=()
results="$root/build/results"
rm -rf "$results" && mkdir -p "$results"

# step name log command...: runs a step with its output in log; a failure is told and counted.
step() {
    local name=$1 log=$2
    shift 2
    "$@" >"$log" 2>&1 && return 0
    ordane_step_failed "$name" "$log"
    failed_steps+=("$name (log: $log)")
    status=1
    return 1
}

echo "== build (native)"
step "native build" "$results/build-native.log" \
    eval 'cmake --preset native && cmake --build --preset native'
echo "== build ($ordane_preset, $ORDANE_ARCH)"
step "$ordane_preset build" "$results/build-$ordane_preset.log" \
    eval 'ordane_configure_windows && cmake --build --preset "$ordane_preset"'
grep -E 'warning:' "$results"/build-*.log | sort -u | head -20

echo "== native unit tests"
ctest --preset native --output-junit "$results/native.xml" 2>&1 | tail -n 25 || true
echo "== native unit tests under ASan and UBSan (clang)"
if step "asan build" "$results/build-asan.log" \
    eval 'cmake --preset asan && cmake --build --preset asan'; then
    ctest --preset asan --output-junit "$results/asan.xml" 2>&1 | tail -n 5 || true
fi
echo "== fuzz targets, ${ORDANE_FUZZ_SECONDS:-6} s each (scripts/fuzz.sh runs them longer)"
scripts/fuzz.sh "${ORDANE_FUZZ_SECONDS:-6}" --seed 1 --seeds-only --junit "$results/fuzz.xml" 2>&1 | tail -n 15 || true
echo "== Windows tests under Wine ($ORDANE_ARCH)"
ctest --preset "$ordane_preset" --output-junit "$results/windows.xml" 2>&1 | tail -n 25 || true
echo "== end-to-end tests under Wine ($ORDANE_ARCH)"
python3 tests/e2e/run.py --results "$results/e2e.xml" 2>&1 | tail -n 60 || true
# What ships is the 32-bit program: its release build (compile and pack, no Wine) runs here
# whichever program was tested, into a folder of its own (dist/ is left alone).
echo "== release build (32-bit, scripts/release.sh)"
step "release build" "$results/release.log" \
    scripts/release.sh --server 203.0.113.7 --out "$results/dist" &&
    tail -n 3 "$results/release.log"

python3 scripts/lib/summary.py "$results" "$ORDANE_ARCH" "${failed_steps[@]}" || status=1
exit $status
