#!/usr/bin/env python3
"""Runs the end-to-end tests (test_*.py beside this file) and writes a JUnit result file.

Expects the Windows build in build/windows/bin (build/windows-x64/bin with ORDANE_ARCH=x64), a
virtual display in DISPLAY and the Wine prefix in WINEPREFIX, as scripts/test.sh prepares them.

Most of a test's time is spent waiting on the program's own timers, so the tests run in
parallel workers (--workers, default ORDANE_E2E_WORKERS or 4). Each worker has a network
namespace of its own (`unshare -n`, as root), so the registration server's port and the browser
bridge's never collide, not even with another checkout's run; a virtual display of its own;
and a Wine prefix of its own (a copy of WINEPREFIX in build/e2e-<arch>-<n>), so that COM links
and registry values are its own. The longest tests go first (their times of the last run,
build/e2e-times.json, or times.json beside this file); a test case or a class with class fixtures is the unit handed out. A
worker that gives no result within ORDANE_E2E_BOUND seconds (600) is ended and its test fails
with its name. Without namespaces (not root) the tests run one after another in this process.
"""
import argparse
import json
import os
import select
import shutil
import subprocess
import sys
import time
import unittest
import xml.etree.ElementTree as ET
from pathlib import Path

HERE = Path(__file__).resolve().parent
REPO = HERE.parents[1]
TIMES = REPO / "build" / "e2e-times.json"
FIRST_TIMES = HERE / "times.json"  # measured once, for a first run on a fresh machine


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


def flatten(suite):
    for item in suite:
        if isinstance(item, unittest.TestSuite):
            yield from flatten(item)
        else:
            yield item


def units(suite):
    """Test ids grouped into what one worker runs at a time: a whole class when it has class
    fixtures (set up once for its cases), else each case alone. A module that failed to import
    is a case of its own and fails in the worker with its error."""
    groups = {}
    for test in flatten(suite):
        cls = type(test)
        shared = cls.setUpClass.__func__ is not unittest.TestCase.setUpClass.__func__
        key = f"{cls.__module__}.{cls.__qualname__}" if shared else test.id()
        groups.setdefault(key, []).append(test.id())
    return groups


# ---------------------------------------------------------------------------------------
# A worker: its own network namespace, display and prefix; runs what it is sent on stdin.


def start_display(log):
    for n in range(140, 240):
        if os.path.exists(f"/tmp/.X{n}-lock"):
            continue
        xvfb = subprocess.Popen(["Xvfb", f":{n}", "-screen", "0", "1024x768x24", "-nolisten",
                                 "tcp"], stdout=log, stderr=log)
        for _ in range(50):
            if os.path.exists(f"/tmp/.X11-unix/X{n}") or xvfb.poll() is not None:
                break
            time.sleep(0.1)
        if xvfb.poll() is None:
            return xvfb, f":{n}"
    raise RuntimeError("no free display for Xvfb between :140 and :239")


def own_prefix(base: Path, n: int) -> Path:
    """The worker's copy of the prepared prefix, made afresh when the prefix was made or
    updated again (by wineboot, which stamps it: the tests' own registry writes do not count)."""
    arch = os.environ.get("ORDANE_ARCH") or "x86"
    path = REPO / "build" / f"e2e-{arch}-{n}"
    stamp = path / ".copied-from"
    made = base / ".update-timestamp"
    origin = f"{base.resolve()} {made.stat().st_mtime_ns if made.exists() else 0}"
    if not stamp.exists() or stamp.read_text() != origin:
        shutil.rmtree(path, ignore_errors=True)
        subprocess.run(["cp", "-a", str(base), str(path)], check=True)
        stamp.write_text(origin)
    return path


def worker(n: int):
    out = os.fdopen(os.dup(1), "w", buffering=1)
    os.dup2(2, 1)  # what tests print goes to the worker's log, not into the answers
    xvfb, display = start_display(sys.stderr)
    os.environ["DISPLAY"] = display
    base = Path(os.environ["WINEPREFIX"])
    os.environ["WINEPREFIX"] = os.environ["ORDANE_WINEPREFIX"] = str(own_prefix(base, n))
    sys.path.insert(0, str(HERE))
    loader = unittest.defaultTestLoader
    try:
        for line in sys.stdin:
            ids = json.loads(line)
            result = JUnitResult(unittest.runner._WritelnDecorator(sys.stderr), True, 2)
            suite = unittest.TestSuite(loader.loadTestsFromName(i) for i in ids)
            suite.run(result)
            # A class's fixture error is recorded under the class, not a case.
            for error in result.errors + result.failures:
                if error[0].id() not in [c[0] for c in result.cases]:
                    result.cases.append((error[0].id(), "failure", error[1], 0.0))
            out.write(json.dumps(result.cases) + "\n")
    finally:
        subprocess.run(["wineserver", "-k"], stderr=subprocess.DEVNULL)
        xvfb.terminate()
        xvfb.wait()


# ---------------------------------------------------------------------------------------
# The parent: hands out the units, longest first, and collects the results.


def namespaces_work() -> bool:
    try:
        return subprocess.run(["unshare", "-n", "true"], stderr=subprocess.DEVNULL,
                              timeout=10).returncode == 0
    except (OSError, subprocess.TimeoutExpired):
        return False


class Worker:
    def __init__(self, n, logs: Path):
        self.n = n
        self.log_path = logs / f"e2e-worker-{n}.log"
        self.log = open(self.log_path, "wb")
        command = ("ip link set lo up && exec python3 -u " + str(Path(__file__).resolve())
                   + f" --worker {n}")
        self.process = subprocess.Popen(["unshare", "-n", "sh", "-c", command],
                                        stdin=subprocess.PIPE, stdout=subprocess.PIPE,
                                        stderr=self.log, start_new_session=True)
        self.unit = None
        self.since = 0.0
        self.buffer = b""

    def give(self, key, ids):
        self.unit, self.since = (key, ids), time.monotonic()
        self.process.stdin.write((json.dumps(ids) + "\n").encode())
        self.process.stdin.flush()

    def end(self, kill=False):
        if kill:
            try:
                os.killpg(self.process.pid, 9)
            except ProcessLookupError:
                pass
        else:
            self.process.stdin.close()
        try:
            self.process.wait(timeout=30)
        except subprocess.TimeoutExpired:
            os.killpg(self.process.pid, 9)
            self.process.wait()
        self.log.close()

    def tail(self) -> str:
        lines = self.log_path.read_bytes().decode("utf-8", "replace").splitlines()
        return "\n".join(lines[-30:])


def run_parallel(groups, count, logs: Path):
    times = json.loads((TIMES if TIMES.exists() else FIRST_TIMES).read_text())
    todo = sorted(groups.items(), key=lambda g: -sum(times.get(i, 30.0) for i in g[1]))
    bound = float(os.environ.get("ORDANE_E2E_BOUND", "600"))
    workers = [Worker(n, logs) for n in range(1, min(count, len(todo)) + 1)]
    cases = []

    def report(worker, got):
        for name, kind, detail, elapsed in got:
            shown = {"passed": "ok", "skipped": "skipped", "failure": "FAIL"}[kind]
            print(f"{name} ... {shown} ({elapsed:.1f} s, worker {worker.n})", flush=True)
        cases.extend(got)

    def lost(worker, why):
        key, ids = worker.unit
        detail = f"{why}; the end of the worker's log ({worker.log_path}):\n{worker.tail()}"
        report(worker, [(i, "failure", detail, time.monotonic() - worker.since) for i in ids])
        worker.unit = None
        worker.end(kill=True)
        workers.remove(worker)

    for worker in list(workers):
        if todo:
            worker.give(*todo.pop(0))
    while any(w.unit for w in workers):
        busy = [w for w in workers if w.unit]
        ready, _, _ = select.select([w.process.stdout for w in busy], [], [], 5)
        for worker in busy:
            if worker.process.stdout in ready:
                chunk = os.read(worker.process.stdout.fileno(), 1 << 20)
                if not chunk:
                    lost(worker, "the worker ended without a result")
                    continue
                worker.buffer += chunk
                while b"\n" in worker.buffer:
                    line, _, worker.buffer = worker.buffer.partition(b"\n")
                    report(worker, [tuple(c) for c in json.loads(line)])
                    worker.unit = None
                    if todo:
                        worker.give(*todo.pop(0))
            elif time.monotonic() - worker.since > bound:
                lost(worker, f"no result within {bound:g} s (ORDANE_E2E_BOUND): it hung")
        if not workers and todo:  # every worker was lost
            for key, ids in todo:
                cases.extend((i, "failure", "not run: every worker was lost", 0.0) for i in ids)
            todo = []
    for worker in workers:
        worker.end()
    for worker in workers:
        if worker.process.returncode:
            print(f"worker {worker.n} ended with code {worker.process.returncode}:\n"
                  f"{worker.tail()}")
    return cases


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--results")
    parser.add_argument("--workers", type=int,
                        default=int(os.environ.get("ORDANE_E2E_WORKERS", "4")))
    parser.add_argument("--worker", type=int, help=argparse.SUPPRESS)
    parser.add_argument("pattern", nargs="?", default="test_*.py")
    args = parser.parse_args()
    if args.worker:
        return worker(args.worker)
    if not args.results:
        parser.error("--results is required")
    sys.path.insert(0, str(HERE))
    suite = unittest.defaultTestLoader.discover(str(HERE), pattern=args.pattern)
    started = time.monotonic()
    if args.workers > 1 and namespaces_work():
        groups = units(suite)
        # A module that failed to import: its error is the result, told here.
        broken = unittest.TestSuite(t for t in flatten(suite)
                                    if "_FailedTest" in t.id() and groups.pop(t.id(), None))
        print(f"== {len(groups)} units in {min(args.workers, len(groups))} workers, each in a "
              "network namespace with its own display and Wine prefix", flush=True)
        logs = Path(args.results).resolve().parent
        cases = run_parallel(groups, args.workers, logs)
        result = JUnitResult(unittest.runner._WritelnDecorator(sys.stdout), True, 2)
        broken.run(result)
        cases += result.cases
        failed = [c for c in cases if c[1] == "failure"]
        for name, _, detail, _ in failed:
            print("=" * 70 + f"\nFAIL: {name}\n" + "-" * 70 + f"\n{detail}")
        print(f"Ran {len(cases)} tests in {time.monotonic() - started:.1f} s: "
              f"{len(failed)} failed")
    else:
        runner = unittest.TextTestRunner(verbosity=2, resultclass=JUnitResult)
        result = runner.run(suite)
        cases = result.cases
        failed = [c for c in cases if c[1] == "failure"]
    write_junit(args.results, cases)
    if args.pattern == "test_*.py":
        TIMES.parent.mkdir(exist_ok=True)
        TIMES.write_text(json.dumps({c[0]: round(c[3], 1) for c in cases}, indent=0))
    return 1 if failed else 0


if __name__ == "__main__":
    sys.exit(main())
