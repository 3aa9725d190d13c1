"""Pieces shared by the serial tests under Wine: COM ports backed by ptys, and a Windows test
program driven one command line at a time.

The Wine prefix is the one in WINEPREFIX (scripts/lib/env.sh sets it), else the one
cmake/wine-run.sh would use.
"""
import os
import queue
import select
import subprocess
import tempfile
import termios
import threading
import time
import tty
from pathlib import Path

HERE = Path(__file__).resolve().parent
REPO = HERE.parents[2]
WINE_RUN = REPO / "cmake" / "wine-run.sh"
PREFIX = Path(os.environ.get("WINEPREFIX")
              or os.environ.get("ORDANE_WINEPREFIX")
              or Path.home() / ".cache" / "ordane" / "wineprefix")
DOSDEVICES = PREFIX / "dosdevices"


def free_port_numbers(count):
    """COM numbers from 10 to 16 that nothing is linked to in the prefix, 11 first."""
    DOSDEVICES.mkdir(parents=True, exist_ok=True)
    free = [n for n in (11, 12, 13, 14, 15, 16, 10)
            if not os.path.lexists(DOSDEVICES / f"com{n}")]
    if len(free) < count:
        raise RuntimeError(f"not enough free COM numbers 10-16 in {DOSDEVICES}")
    return free[:count]


class PtyCom:
    """A pty whose slave is COM<number> in the Wine prefix. This side holds the master in raw
    mode (what it writes arrives at the program) and keeps the slave open too, so that reading
    the master never fails while the program has the port closed."""

    def __init__(self, number):
        self.number = number
        self.master, self.slave = os.openpty()
        tty.setraw(self.master)
        self.slave_path = os.ttyname(self.slave)
        self.link = DOSDEVICES / f"com{number}"
        os.symlink(self.slave_path, self.link)

    def close(self):
        if self.link is not None and os.path.lexists(self.link):
            self.link.unlink()
        self.link = None
        for fd in (self.master, self.slave):
            if fd is not None:
                os.close(fd)
        self.master = self.slave = None

    def write(self, data):
        view = memoryview(bytes(data))
        while view:
            view = view[os.write(self.master, view):]

    def read(self, timeout=1.0, quiet=0.05):
        """What the program sent: waits up to timeout for a first byte, then collects until
        nothing more comes for quiet seconds. b"" when nothing came."""
        data = b""
        deadline = time.monotonic() + timeout
        while True:
            wait = deadline - time.monotonic() if not data else quiet
            if wait <= 0 and not data:
                return data
            ready, _, _ = select.select([self.master], [], [], max(wait, 0))
            if not ready:
                return data
            data += os.read(self.master, 4096)

    def read_exact(self, count, timeout=5.0):
        data = b""
        deadline = time.monotonic() + timeout
        while len(data) < count and time.monotonic() < deadline:
            data += self.read(deadline - time.monotonic(), quiet=0)
        return data

    def line_settings(self):
        """(termios speed constant, two stop bits) as the pty keeps them."""
        attrs = termios.tcgetattr(self.slave)
        return attrs[5], bool(attrs[2] & termios.CSTOPB)


class WineProgram:
    """A Windows console program under Wine that answers each command line with one line.
    Lines that begin with one of event_prefixes are events, kept apart from the replies."""

    def __init__(self, exe, name, event_prefixes=()):
        self.name = name
        self.event_prefixes = tuple(event_prefixes)
        self.log = tempfile.TemporaryFile()
        env = dict(os.environ, WINEPREFIX=str(PREFIX))
        self.process = subprocess.Popen([str(WINE_RUN), str(exe)], stdin=subprocess.PIPE,
                                        stdout=subprocess.PIPE, stderr=self.log, text=True,
                                        encoding="utf-8", errors="replace", env=env)
        self.replies = queue.Queue()
        self.events = queue.Queue()
        threading.Thread(target=self._pump, daemon=True).start()

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
        if line is None:
            raise self._failure(f"no reply to '{command}'")
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
