#!/usr/bin/env bash
# Runs every fuzz target of the core (tests/fuzz) for as long as asked, one after the other.
#   scripts/fuzz.sh [seconds] [--runs N|each] [--seed N] [--seeds-only] [--junit FILE] [target ...]
# seconds: per target (default 10); --runs N: also stop a target after N executions (each: the
# number in tests/fuzz/<target>.runs, else 20000: what test.sh runs, so that a loaded machine
# does not change what is tested; the seconds are then only a bound, and a target they stop
# first fails); --seed N:
# libFuzzer's random seed, so that a short run from the committed seeds tries the same inputs
# on every machine (test.sh uses it: a finding must come from a long run). Each target
# first replays its saved inputs (tests/fuzz/regressions/<target>: inputs of findings), then
# fuzzes from its seed corpus (tests/fuzz/corpus/<target>, with tests/fuzz/<target>.dict when
# present, and the libFuzzer flags in tests/fuzz/<target>.options), keeping what it learns in
# build/fuzz/corpus/<target>; with --seeds-only it starts from the committed seeds alone and keeps
# nothing (what test.sh runs: a corpus left by an earlier long run must not decide the result).
# A finding stops the target and leaves its input in
# build/fuzz/findings/<target>. Ends with a line per target (executions, result); --junit writes
# one test case per target.
set -uo pipefail
cd "$(dirname "$0")/.."
root=$(pwd)

seconds=10
runs=""
seed=""
junit=""
seeds_only=""
targets=()
while [ $# -gt 0 ]; do
    case "$1" in
        --runs) runs="$2"; shift 2 ;;
        --seed) seed="$2"; shift 2 ;;
        --junit) junit="$2"; shift 2 ;;
        --seeds-only) seeds_only=1; shift ;;
        [0-9]*) seconds="$1"; shift ;;
        *) targets+=("$1"); shift ;;
    esac
done

# The targets are built in the sanitizer tree of the unit tests (build/asan, whose core is
# compiled for both); what fuzzing keeps and finds stays in build/fuzz.
bin_dir="$root/build/asan/bin"
build="$root/build/fuzz"
mkdir -p "$build"
{ cmake --preset asan >/dev/null && cmake --build --preset fuzz; } >"$root/build/fuzz-build.log" 2>&1 || {
    tail -30 "$root/build/fuzz-build.log"
    echo "fuzz build failed (log: $root/build/fuzz-build.log)"
    exit 1
}
if [ ${#targets[@]} -eq 0 ]; then
    for f in tests/fuzz/*_fuzz.cpp; do
        name=$(basename "$f" _fuzz.cpp)
        targets+=("$name")
    done
fi

mkdir -p "$build/logs"
cases=""
failed=0
for t in "${targets[@]}"; do
    bin="$bin_dir/fuzz_$t"
    corpus="$build/corpus/$t"
    # libFuzzer writes what it learns into the first corpus folder: a fresh one, thrown away.
    [ -n "$seeds_only" ] && corpus=$(mktemp -d "$build/seeds-only.XXXXXX")
    findings="$build/findings/$t"
    log="$build/logs/$t.log"
    mkdir -p "$corpus" "$findings" "tests/fuzz/corpus/$t"
    start=$(date +%s)
    result=passed
    detail=""
    executions=0
    for input in tests/fuzz/regressions/"$t"/*; do
        [ -e "$input" ] || continue
        if ! "$bin" "$input" >"$log.replay" 2>&1; then
            result=failed
            detail+="saved finding $(basename "$input") fails again: $(grep -m1 -E 'oracle failed|ERROR:|runtime error' "$log.replay"). "
        fi
    done
    dict=()
    [ -f "tests/fuzz/$t.dict" ] && dict=(-dict="tests/fuzz/$t.dict")
    options=()
    [ -f "tests/fuzz/$t.options" ] && read -r -a options <"tests/fuzz/$t.options"
    target_runs=$runs
    if [ "$runs" = each ]; then
        target_runs=20000
        [ -f "tests/fuzz/$t.runs" ] && target_runs=$(cat "tests/fuzz/$t.runs")
    fi
    if [ $result = passed ]; then
        "$bin" "$corpus" "tests/fuzz/corpus/$t" "${dict[@]}" "${options[@]}" -max_total_time="$seconds" ${target_runs:+-runs=$target_runs} ${seed:+-seed=$seed} \
            -timeout=20 -rss_limit_mb=2048 -print_final_stats=1 -artifact_prefix="$findings/" \
            >"$log" 2>&1
        code=$?
        executions=$(sed -n 's/^stat::number_of_executed_units: *//p' "$log" | tail -1)
        if [ $code -ne 0 ]; then
            result=failed
            detail="$(grep -m1 -E 'oracle failed|ERROR:|runtime error' "$log"); input: $(sed -n 's/.*Test unit written to //p' "$log" | tail -1)"
        elif [ "$runs" = each ] && ! grep -q "^Done $target_runs runs" "$log"; then
            result=failed
            detail="stopped by the bound of $seconds s before its $target_runs executions"
        fi
    fi
    [ -n "$seeds_only" ] && rm -rf "$corpus"
    elapsed=$(($(date +%s) - start))
    printf '%-20s %12s executions %5ss  %s %s\n' "$t" "${executions:-0}" "$elapsed" "$result" "$detail"
    [ $result = failed ] && failed=$((failed + 1))
    detail_xml=$(printf '%s' "$detail" | sed -e 's/&/\&amp;/g' -e 's/</\&lt;/g' -e 's/>/\&gt;/g' -e 's/"/\&quot;/g')
    cases+="  <testcase classname=\"fuzz\" name=\"$t\" time=\"$elapsed\">"
    [ $result = failed ] && cases+="<failure message=\"$detail_xml\"/>"
    cases+="<system-out>${executions:-0} executions</system-out></testcase>"$'\n'
done

if [ -n "$junit" ]; then
    mkdir -p "$(dirname "$junit")"
    {
        echo '<?xml version="1.0" encoding="UTF-8"?>'
        echo "<testsuite name=\"fuzz\" tests=\"${#targets[@]}\" failures=\"$failed\">"
        printf '%s' "$cases"
        echo '</testsuite>'
    } >"$junit"
fi
echo "fuzz: ${#targets[@]} targets, $failed failed"
[ $failed -eq 0 ]
