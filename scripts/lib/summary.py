#!/usr/bin/env python3
"""Adds up the JUnit result files of the test runs (the three rings, the native unit tests run
under the sanitizers, and the fuzz targets) into one closing line, "N passed, M failed, K skipped", alone
on its line (CI reads it); the lines before give each ring's time (times.txt), name the tests
skipped because this machine cannot run 32-bit programs, and say which Ordane.exe was tested.

    summary.py RESULTS_DIR [x86|x64] [FAILED_STEP ...]

A failed step (a build) counts as one failure each. A test skipped because 32-bit programs
cannot run here counts as a failure unless ORDANE_SKIP_32BIT_TESTS=1 asked for the skip."""
import os
import sys
import xml.etree.ElementTree as ET
from pathlib import Path


NO_32BIT = "this machine cannot run 32-bit programs"  # the skip reason of tests/e2e/harness.py


def count(path, not_run_32bit):
    passed = failed = skipped = 0
    root = ET.parse(path).getroot()
    for case in root.iter("testcase"):
        status = case.get("status", "")
        skip = case.find("skipped")
        if case.find("failure") is not None or case.find("error") is not None:
            failed += 1
        elif skip is not None and (skip.text or "").startswith(NO_32BIT):
            not_run_32bit.append((case.get("name"), skip.text.split(": ", 1)[-1]))
        elif skip is not None or status in ("notrun", "disabled"):
            skipped += 1
        else:
            passed += 1
    return passed, failed, skipped


def main():
    results = Path(sys.argv[1])
    arch = sys.argv[2] if len(sys.argv) > 2 else "x86"
    totals = [0, 0, 0]
    not_run_32bit = []
    expected = ["asan.xml", "fuzz.xml", "windows.xml", "e2e.xml"]
    for name in expected:
        path = results / name
        if not path.exists() or path.stat().st_size == 0:
            print(f"{name}: no results (the ring did not run)")
            totals[1] += 1
            continue
        try:
            p, f, s = count(path, not_run_32bit)
        except ET.ParseError:
            print(f"{name}: unreadable results")
            totals[1] += 1
            continue
        print(f"{name}: {p} passed, {f} failed, {s} skipped")
        totals = [totals[0] + p, totals[1] + f, totals[2] + s]
    for step in sys.argv[3:]:
        print(f"failed step: {step}")
        totals[1] += 1
    times = results / "times.txt"
    if times.exists():
        for line in times.read_text().splitlines():
            name, _, seconds = line.partition("\t")
            print(f"time: {name}: {int(seconds) // 60} min {int(seconds) % 60:02d} s")
    error = os.environ.get("ORDANE_32BIT_ERROR", "")
    # scripts/lib/env.sh keeps in build/no-wine32.txt why the 32-bit Wine could not be
    # installed on a machine that runs 32-bit programs, and then tests the 64-bit build.
    no_wine32 = results.resolve().parent / "no-wine32.txt"
    if error and no_wine32.exists() and no_wine32.read_text().strip() == error:
        why = f"this machine runs 32-bit programs, but {error}"
    else:
        why = f"32-bit programs cannot run on this machine{f' ({error})' if error else ''}"
    if not_run_32bit:
        asked = os.environ.get("ORDANE_SKIP_32BIT_TESTS") == "1"
        print(f"{len(not_run_32bit)} tests of 32-bit programs not run: {why}; "
              + ("skipped as ORDANE_SKIP_32BIT_TESTS=1 asks:" if asked else
                 "each counts as failed (ORDANE_SKIP_32BIT_TESTS=1 accepts their skip):"))
        for name, reason in not_run_32bit:
            print(f"  {'skipped' if asked else 'FAILED, not run'}: {name} ({reason})")
        totals[2 if asked else 1] += len(not_run_32bit)
    bits = "64-bit" if arch == "x64" else "32-bit"
    print(f"tested the {bits} Ordane.exe ({arch}) and its package's installer")
    if arch == "x64" and os.environ.get("ORDANE_RUNS_32BIT") == "no":
        # What ships is the 32-bit package: say plainly that it was only built here.
        print(f"the 32-bit package (Ordane.exe and its installer) was built, not run: {why}, "
              "so the 64-bit build was tested")
    print(f"{totals[0]} passed, {totals[1]} failed, {totals[2]} skipped")
    return 1 if totals[1] else 0


if __name__ == "__main__":
    sys.exit(main())
