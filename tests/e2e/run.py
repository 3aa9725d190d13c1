#!/usr/bin/env python3
"""Runs the end-to-end tests (test_*.py beside this file) and writes a JUnit result file.

Expects the Windows build in build/windows/bin (build/windows-x64/bin with ORDANE_ARCH=x64), a
virtual display in DISPLAY and the Wine prefix in WINEPREFIX, as scripts/test.sh prepares them.
"""
import argparse
import sys
import time
import unittest
import xml.etree.ElementTree as ET
from pathlib import Path

HERE = Path(__file__).resolve().parent


class JUnitResult(unittest.TextTestResult):
    def __init__(self, *args, **kwargs):
        super().__init__(*args, **kwargs)
        self.cases = []
        self._started = {}

    def startTest(self, test):
        self._started[test.id()] = time.monotonic()
        super().startTest(test)

    def _record(self, test, kind, detail=""):
        elapsed = time.monotonic() - self._started.get(test.id(), time.monotonic())
        self.cases.append((test.id(), kind, detail, elapsed))

    def addSuccess(self, test):
        super().addSuccess(test)
        self._record(test, "passed")

    def addFailure(self, test, err):
        super().addFailure(test, err)
        self._record(test, "failure", self._exc_info_to_string(err, test))

    def addError(self, test, err):
        super().addError(test, err)
        self._record(test, "failure", self._exc_info_to_string(err, test))

    def addSkip(self, test, reason):
        super().addSkip(test, reason)
        self._record(test, "skipped", reason)


def write_junit(path, cases):
    suite = ET.Element("testsuite", name="e2e", tests=str(len(cases)))
    for name, kind, detail, elapsed in cases:
        case = ET.SubElement(suite, "testcase", name=name, time=f"{elapsed:.2f}")
        if kind == "failure":
            ET.SubElement(case, "failure").text = detail
        elif kind == "skipped":
            ET.SubElement(case, "skipped").text = detail
    ET.ElementTree(suite).write(path, encoding="utf-8", xml_declaration=True)


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--results", required=True)
    parser.add_argument("pattern", nargs="?", default="test_*.py")
    args = parser.parse_args()
    sys.path.insert(0, str(HERE))
    suite = unittest.defaultTestLoader.discover(str(HERE), pattern=args.pattern)
    runner = unittest.TextTestRunner(verbosity=2, resultclass=JUnitResult)
    result = runner.run(suite)
    write_junit(args.results, result.cases)
    return 0 if result.wasSuccessful() else 1


if __name__ == "__main__":
    sys.exit(main())
