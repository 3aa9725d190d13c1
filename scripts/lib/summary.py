#!/usr/bin/env python3
"""Adds up the JUnit result files of the test runs (the three rings, the unit tests under the
sanitizers and the fuzz targets) into one closing line, "N passed, M failed, K skipped", alone
on its line (CI reads it); the line before says which Ordane.exe was tested.

    summary.py RESULTS_DIR [x86|x64] [FAILED_STEP ...]

A failed step (a build) counts as one failure each."""
import sys
import xml.etree.ElementTree as ET
from pathlib import Path


def count(path):
    passed = failed = skipped = 0
    root = ET.parse(path).getroot()
    for case in root.iter("testcase"):
        status = case.get("status", "")
        if case.find("failure") is not None or case.find("error") is not None:
            failed += 1
        elif case.find("skipped") is not None or status in ("notrun", "disabled"):
            skipped += 1
        else:
            passed += 1
    return passed, failed, skipped


def main():
    results = Path(sys.argv[1])
    arch = sys.argv[2] if len(sys.argv) > 2 else "x86"
    totals = [0, 0, 0]
    expected = ["native.xml", "asan.xml", "fuzz.xml", "windows.xml", "e2e.xml"]
    for name in expected:
        path = results / name
        if not path.exists() or path.stat().st_size == 0:
            print(f"{name}: no results (the ring did not run)")
            totals[1] += 1
            continue
        try:
            p, f, s = count(path)
        except ET.ParseError:
            print(f"{name}: unreadable results")
            totals[1] += 1
            continue
        print(f"{name}: {p} passed, {f} failed, {s} skipped")
        totals = [totals[0] + p, totals[1] + f, totals[2] + s]
    for step in sys.argv[3:]:
        print(f"failed step: {step}")
        totals[1] += 1
    bits = "64-bit" if arch == "x64" else "32-bit"
    print(f"tested the {bits} Ordane.exe ({arch})")
    print(f"{totals[0]} passed, {totals[1]} failed, {totals[2]} skipped")
    return 1 if totals[1] else 0


if __name__ == "__main__":
    sys.exit(main())
