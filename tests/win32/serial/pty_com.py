"""Pieces shared by the serial tests under Wine: COM ports backed by ptys (the end-to-end
harness's PtyPort, on this ring's own COM numbers), and a Windows test program driven one
command line at a time.

The Wine prefix is the one in WINEPREFIX (scripts/lib/env.sh sets it), else the one
cmake/wine-run.sh would use.
"""
import os
import queue
import subprocess
import sys
import tempfile
import threading
from pathlib import Path

HERE = Path(__file__).resolve().parent
REPO = HERE.parents[2]
WINE_RUN = REPO / "cmake" / "wine-run.sh"
sys.path.insert(0, str(REPO / "tests" / "e2e"))
from harness import ARCH, WIN32_PORTS, Prefix, PtyPort, remove_stale_links  # noqa: E402

PREFIX = Path(os.environ.get("WINEPREFIX")
              or os.environ.get("ORDANE_WINEPREFIX")
              or Path.home() / ".cache" / "ordane" / ("wineprefix-x64" if ARCH == "x64"
                                                      else "wineprefix"))


def claim_ports(count):
    """`count` ports on this ring's COM numbers, and one number of the range left unlinked."""
    prefix = Prefix(PREFIX)
    remove_stale_links(WIN32_PORTS, prefix)
    ports = [PtyPort.claim(WIN32_PORTS, prefix) for _ in range(count)]
    missing = next((n for n in WIN32_PORTS if not (prefix.dosdevices / f"com{n}").is_symlink()),
                   None)
    if missing is None:
        raise RuntimeError(f"no COM number of {list(WIN32_PORTS)} left unlinked")
    return ports, missing


class WineProgram:
    """A Windows console program under Wine that answers each command line with one line.
    Lines that begin with one of event_prefixes are events, kept apart from the replies."""

    def __init__(self, exe, name, event_prefixes=()):
        self.exe = exe
        self.name = name
        self.event_prefixes = tuple(event_prefixes)
        self.answered = False
        self.restarted = False
        self._start()

    def _start(self):
        self.log = tempfile.TemporaryFile()
        env = dict(os.environ, WINEPREFIX=str(PREFIX))
        self.process = subprocess.Popen([str(WINE_RUN), str(self.exe)], stdin=subprocess.PIPE,
                                        stdout=subprocess.PIPE, stderr=self.log, text=True,
                                        encoding="utf-8", errors="replace", env=env)
        self.replies = queue.Queue()
        self.events = queue.Queue()
        threading.Thread(target=self._pump, daemon=True).start()

    def _never_started(self):
        """Wine itself, now and then, ends a program at its start with exit code 1 and not a
        word (seen once in CI, right after the first program of a fresh prefix). Before its
        first reply the program holds nothing, so one more start changes no check."""
        if self.answered or self.restarted:
            return False
        try:
            if self.process.wait(timeout=5) != 1:
                return False
        except subprocess.TimeoutExpired:
            return False
        self.log.seek(0)
        if self.log.read().strip():
            return False
        print(f"{self.name}: Wine ended it before it started (exit code 1, nothing said);"
              " starting it once more", flush=True)
        self.log.close()
        self.restarted = True
        self._start()
        return True

    def _pump(self):
        for line in self.process.stdout:
            line = line.rstrip("\r\n")
            if self.event_prefixes and line.startswith(self.event_prefixes):
                self.events.put(line)
            else:
                self.replies.put(line)
        self.replies.put(None)
        self.events.put(None)

    def _failure(self, what):
        self.log.seek(0)
        tail = self.log.read().decode(errors="replace").splitlines()[-5:]
        exit_code = self.process.poll()
        return RuntimeError(f"{self.name}: {what} (exit code {exit_code}); Wine said: {tail}")

    def send(self, command):
        self.process.stdin.write(command + "\n")
        self.process.stdin.flush()

    def reply(self, command, timeout=30.0):
        try:
            line = self.replies.get(timeout=timeout)
        except queue.Empty:
            line = None
        if line is None and self._never_started():
            return self.ask(command, timeout)
        if line is None:
            raise self._failure(f"no reply to '{command}'")
        self.answered = True
        return line

    def ask(self, command, timeout=30.0):
        self.send(command)
        return self.reply(command, timeout)

    def result(self, command, timeout=30.0):
        """The number in a reply such as "open 0"."""
        return int(self.ask(command, timeout).split()[1])

    def event(self, timeout=10.0):
        """The next event line, or None when none came in time."""
        try:
            line = self.events.get(timeout=timeout)
        except queue.Empty:
            return None
        if line is None:
            raise self._failure("ended while events were awaited")
        return line

    def close(self):
        if self.process.poll() is None:
            try:
                self.send("quit")
                self.process.stdin.close()
                self.process.wait(timeout=15)
            except (OSError, subprocess.TimeoutExpired):
                self.process.kill()
                self.process.wait()
        self.log.close()
