#!/usr/bin/env bash
# Every test: installs what the build needs, builds Ordane.exe with its tests and the core with
# clang under ASan and UBSan, runs the native unit tests (under ASan and UBSan), each fuzz target
# for a fixed number of executions from its committed seeds, the Windows tests under Wine and
# the end-to-end tests of Ordane.exe (in parallel workers), compiles the other architecture's package (no Wine run), builds the
# release, and ends with the time of each ring and one line "N passed, M failed, K skipped".
# Works as root on a fresh Debian 12 machine, and again.
# Tests the 32-bit Ordane.exe, or the 64-bit one where 32-bit programs cannot run (or with
# ORDANE_ARCH=x64), each with its own package's installer (a program of the same bitness). A
# test that still needs a 32-bit program where none can run (ORDANE_ARCH=x86 forced there) fails
# the run unless ORDANE_SKIP_32BIT_TESTS=1 asks for its skip, and the run's last lines name it.
set -uo pipefail
cd "$(dirname "$0")/.."
root=$(pwd)

. scripts/lib/env.sh
ordane_install_packages || exit 1
ordane_start_display || exit 1
if [ "$ORDANE_RUNS_32BIT" = no ] && [ "$ORDANE_ARCH" = x86 ] &&
    [ "${ORDANE_SKIP_32BIT_TESTS:-}" != 1 ]; then
    echo "== the tests of 32-bit programs (the 32-bit package's installer) cannot run here:" \
        "this run fails unless ORDANE_SKIP_32BIT_TESTS=1 asks for their skip"
fi

status=0
failed_steps=()
results="$root/build/results"
rm -rf "$results" && mkdir -p "$results"
times="$results/times.txt"

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
# timed name command...: runs a command and notes how long it took in times.txt.
timed() {
    local name=$1 start=$SECONDS rc
    shift
    "$@"
    rc=$?
    echo "$name	$((SECONDS - start))" >>"$times"
    return $rc
}

# The release: where the signed release's test runs (it builds the 32-bit release), that is
# the run's release build; elsewhere this script builds it.
release_in_e2e=no
[ "$ORDANE_RUNS_32BIT" = yes ] && [ "$ORDANE_ARCH" = x86 ] && release_in_e2e=yes

# What needs no Wine runs beside the Windows and end-to-end rings (they mostly wait on the
# program's timers): the native unit tests under the sanitizers, the fuzz targets, the other
# architecture and the release, on idle processor time, with their output in files; started
# before the Windows build, so that they take what that build leaves too.
beside() {
    failed_steps=()
    # Only the processor time the Windows build and the Wine rings leave: the Wine rings' timing
    # checks must not feel it, and the Windows build they wait for must not be slowed.
    chrt --idle -p 0 $BASHPID 2>/dev/null || renice -n 19 $BASHPID >/dev/null
    # The unit tests are built once, with clang under ASan and UBSan, in the tree that builds the
    # fuzz targets from the same compiled core (the asan preset): gcc compiles the core in the
    # Windows build, and the native preset stays the developers' quick one.
    echo "== native unit tests under ASan and UBSan (clang), and the fuzz targets' build"
    local built=no
    timed "build (asan, with the fuzz targets)" step "asan build" "$results/build-asan.log" \
        eval 'cmake --preset asan && cmake --build --preset asan &&
        cmake --build --preset fuzz' && built=yes
    # A fuzz target takes one processor: they run while the rest below takes the other.
    timed "fuzz targets" scripts/fuzz.sh 600 --runs each --seed 1 --seeds-only \
        --junit "$results/fuzz.xml" >"$results/fuzz.log" 2>&1 &
    local fuzz_job=$!
    if [ $built = yes ]; then
        timed "native unit tests under ASan and UBSan" \
            ctest --preset asan --output-junit "$results/asan.xml" 2>&1 | tail -n 5
    fi
    # The other architecture's package is compiled too (not run), so that a compile error in
    # the package not tested here cannot land: the 32-bit one is the release build below.
    if [ "$ORDANE_ARCH" = x86 ]; then
        echo "== build (windows-x64 package, the other architecture: compiled, not run)"
        timed "build (windows-x64 package, not run)" step "windows-x64 package build" \
            "$results/build-windows-x64.log" eval 'cmake --preset windows-x64 &&
            cmake --build --preset windows-x64 --target Ordane ordane_setup_tool setup'
    fi
    if [ $release_in_e2e = yes ]; then
        echo "== release build: by the signed release's test (test_installer.py)"
    else
        # What ships is the 32-bit program: its release build (compile and pack, no Wine) runs
        # here whichever program was tested, into a folder of its own (dist/ is left alone).
        echo "== release build (32-bit, scripts/release.sh; the other architecture's compile" \
            "where the 64-bit program is tested)"
        timed "release build" step "release build" "$results/release.log" \
            scripts/release.sh --server 203.0.113.7 --out "$results/dist" &&
            tail -n 3 "$results/release.log"
    fi
    wait $fuzz_job
    echo "== fuzz targets, a fixed number of executions each from the committed seeds" \
        "(tests/fuzz/<target>.runs, else 20 000; scripts/fuzz.sh runs them longer)"
    tail -n 15 "$results/fuzz.log"
    printf '%s\n' "${failed_steps[@]}" >"$results/failed-beside.txt"
}
beside >"$results/beside.log" 2>&1 &
beside_job=$!

# The Wine prefix is prepared while Ordane.exe and the Windows tests build.
ordane_prepare_prefix >"$results/prefix.log" 2>&1 &
prefix_job=$!
echo "== build ($ordane_preset, $ORDANE_ARCH)"
timed "build ($ordane_preset)" step "$ordane_preset build" "$results/build-$ordane_preset.log" \
    eval 'ordane_configure_windows && cmake --build --preset "$ordane_preset"'
if ! wait $prefix_job; then
    cat "$results/prefix.log"
    wait $beside_job
    exit 1
fi
grep -E 'warning:' "$results/build-$ordane_preset.log" | sort -u | head -20

echo "== Windows tests under Wine ($ORDANE_ARCH)"
timed "Windows tests under Wine" ctest --preset "$ordane_preset" \
    --output-junit "$results/windows.xml" 2>&1 | tail -n 25
echo "== end-to-end tests under Wine ($ORDANE_ARCH)"
timed "end-to-end tests under Wine" python3 tests/e2e/run.py --results "$results/e2e.xml" 2>&1 |
    grep -v ' \.\.\. ok (' | tail -n 60
wait $beside_job
cat "$results/beside.log"
grep -E 'warning:' "$results/build-asan.log" 2>/dev/null | sort -u | head -20
while IFS= read -r failed; do
    [ -n "$failed" ] && failed_steps+=("$failed") && status=1
done <"$results/failed-beside.txt"

python3 scripts/lib/summary.py "$results" "$ORDANE_ARCH" "${failed_steps[@]}" || status=1
exit $status
