"""Test harness for the end-to-end tests of Ordane.exe under Wine (standard library only).

What it offers (see README.md beside this file):

- `session()`: the shared `winctl.exe --server` that reads and drives windows; keeping it
  running keeps one Wine session alive for the whole run, so COM links stay put and every
  program start is quick.
- `Window`: a top-level window chosen by title, class, program path or handle, and its
  controls by ID (`text`, `enabled`, `click`, `select`, `items`, `checked`, `key`, ...).
- `Program`: Ordane.exe in a fresh folder with a chosen Setting.ini (and sdtapi.dll).
- `Target`: the fake business application, with what it received.
- `PtyPort`: a pseudo terminal that Windows programs see as COMn.
- `RegistrationServer`: the loopback registration server.
- `reg_get`, `reg_set`, `reg_delete`: the registry in the view Ordane sees (32- or 64-bit).
- `screenshot`: the virtual display, or one window of it.

Nothing here waits for a fixed time: every wait polls for a state with a deadline.
"""

from __future__ import annotations

import atexit
import http.server
import os
import select
import shutil
import subprocess
import tempfile
import termios
import threading
import time
import tty
import unittest
from pathlib import Path

REPO = Path(__file__).resolve().parents[2]

TARGET_TITLE = "EC79BF23-6763-4120-8143-A5FF53C87FEB"
MAIN_TITLE = "条码扫描仪/二代证Ordane"
SETTINGS_TITLE = "串口通讯设置"
REGISTRATION_HOST = "127.0.0.1"

UPLOAD_KEY = r"HKLM\Software\CardReader"
RUN_KEY = r"HKLM\Software\Microsoft\Windows\CurrentVersion\Run"
USER_RUN_KEY = r"HKCU\Software\Microsoft\Windows\CurrentVersion\Run"  # a portable copy's

VK_F9 = 0x78
WM_APP = 0x8000

# The program under test: "x86", the 32-bit one that ships, or "x64" where 32-bit programs
# cannot run (scripts/lib/env.sh chooses; ORDANE_ARCH=x64 forces it). Each has its own build,
# Wine loader (/usr/bin/wine would prefer the 32-bit one) and prefix.
ARCH = os.environ.get("ORDANE_ARCH") or "x86"
WINE_LOADER = "/usr/lib/wine/wine64" if ARCH == "x64" else "/usr/lib/wine/wine"
BUILD = "windows-x64" if ARCH == "x64" else "windows"


def needs_32bit_programs(reason: str, when: bool = True):
    """Skips a test that runs a 32-bit program where none can run (scripts/lib/env.sh
    finds out). `when`: whether it runs one with the program under test (the package's
    installer is 32-bit only in the 32-bit package: `when=ARCH == "x86"`)."""
    return unittest.skipIf(when and os.environ.get("ORDANE_RUNS_32BIT") == "no",
                           f"this machine cannot run 32-bit programs: {reason}")



# Control IDs of the windows under test.
def label_id(n: int) -> int:
    return 1000 + n


def check_id(n: int) -> int:
    return 1100 + n


def command_id(n: int) -> int:
    return 1200 + n


def frame_id(n: int) -> int:
    return 1300 + n


LIST_IDS = {
    "cbModel": 1401,
    "cbPort": 1402,
    "cbBaudRate": 1403,
    "cbByteSize": 1404,
    "cbStopBits": 1405,
    "cbParity": 1406,
    "cmCardModel": 1407,
    "cbPort2": 1408,
}


class HarnessError(Exception):
    pass


def wait_until(predicate, timeout=10.0, interval=0.05, what="the expected state"):
    """Polls `predicate` until it returns a true value, which is returned."""
    deadline = time.monotonic() + timeout
    last = None
    while True:
        last = predicate()
        if last:
            return last
        if time.monotonic() >= deadline:
            raise TimeoutError(f"no {what} within {timeout:g} s (last seen: {last!r})")
        time.sleep(interval)


def bin_dir() -> Path:
    """Folder of Ordane.exe and the helper programs: $ORDANE_BIN or build/windows/bin
    (build/windows-x64/bin for the 64-bit program)."""
    value = os.environ.get("ORDANE_BIN")
    path = Path(value) if value else REPO / "build" / BUILD / "bin"
    return path if path.is_absolute() else (REPO / path)


def registration_port() -> int:
    """The loopback port the Ordane.exe under test reports to, read from its build's cache
    (scripts/lib/env.sh gives each checkout its own)."""
    cache = bin_dir().parent / "CMakeCache.txt"
    if cache.exists():
        for line in cache.read_text(errors="replace").splitlines():
            if line.startswith("ORDANE_REGISTRATION_SERVER:"):
                return int(line.rsplit(":", 1)[1])
    return 18471


REGISTRATION_PORT = registration_port()


def bin_file(name: str) -> Path:
    path = bin_dir() / name
    if not path.exists():
        raise HarnessError(f"{path} is missing: build the windows preset (or set ORDANE_BIN)")
    return path


# ---------------------------------------------------------------------------------------
# Wine prefix


class Prefix:
    """The Wine prefix the tests run in, set up by scripts/lib/env.sh (code page 936)."""

    def __init__(self, path: str | os.PathLike | None = None):
        value = path or os.environ.get("WINEPREFIX") or os.environ.get("ORDANE_WINEPREFIX")
        default = "wineprefix-x64" if ARCH == "x64" else "wineprefix"
        self.path = Path(value) if value else REPO / "build" / default
        if not (self.path / "system.reg").exists():
            raise HarnessError(
                f"no Wine prefix at {self.path}: source scripts/lib/env.sh; ordane_prepare_prefix"
            )

    @property
    def dosdevices(self) -> Path:
        return self.path / "dosdevices"

    @property
    def drive_c(self) -> Path:
        return self.path / "drive_c"

    def env(self, extra: dict | None = None) -> dict:
        if not os.environ.get("DISPLAY"):
            raise HarnessError("DISPLAY is not set: start a virtual display first")
        env = dict(os.environ)
        env.update(
            WINEPREFIX=str(self.path),
            LANG="zh_CN.UTF-8",
            LC_ALL="zh_CN.UTF-8",
            WINEDEBUG="-all",
            WINEDLLOVERRIDES="mscoree,mshtml=",
        )
        if ARCH == "x64":
            env["WINELOADER"] = WINE_LOADER
        if "/usr/lib/wine" not in env.get("PATH", "").split(":"):
            env["PATH"] = "/usr/lib/wine:" + env.get("PATH", "")
        env.update(extra or {})
        return env

    def windows_path(self, path: str | os.PathLike) -> str:
        """The name a Windows program in this prefix uses for a Linux path."""
        p = Path(path).resolve()
        try:
            rel = p.relative_to(self.drive_c.resolve())
            return "C:\\" + str(rel).replace("/", "\\").lstrip(".")
        except ValueError:
            return "Z:" + str(p).replace("/", "\\")

    def temp_dir(self, prefix: str = "run-") -> Path:
        """A fresh folder on drive C (short, plain names, as on a workstation)."""
        base = self.drive_c / "ordane-e2e"
        base.mkdir(exist_ok=True)
        return Path(tempfile.mkdtemp(prefix=prefix, dir=base))

    def wine(self, args, env_extra=None, **popen_kwargs) -> subprocess.Popen:
        cmd = [WINE_LOADER] + [str(a) for a in args]
        return subprocess.Popen(cmd, env=self.env(env_extra), **popen_kwargs)


_prefix: Prefix | None = None


def prefix() -> Prefix:
    global _prefix
    if _prefix is None:
        _prefix = Prefix()
    return _prefix


# ---------------------------------------------------------------------------------------
# winctl


class WinctlError(HarnessError):
    pass


def _quote(word: str) -> str:
    escaped = (
        word.replace("\\", "\\\\")
        .replace('"', '\\"')
        .replace("\n", "\\n")
        .replace("\r", "\\r")
        .replace("\t", "\\t")
    )
    return '"' + escaped + '"'


def _unescape(field: str) -> str:
    out = []
    i = 0
    while i < len(field):
        c = field[i]
        if c == "\\" and i + 1 < len(field):
            n = field[i + 1]
            out.append({"\\": "\\", "t": "\t", "n": "\n", "r": "\r"}.get(n, "\\" + n))
            i += 2
        else:
            out.append(c)
            i += 1
    return "".join(out)


class Winctl:
    """One `winctl.exe --server` process: a command per line, answered with records."""

    def __init__(self, pfx: Prefix | None = None, timeout: float = 30.0):
        self.prefix = pfx or prefix()
        self.timeout = timeout
        self._lock = threading.Lock()
        self._buffer = b""
        self._log = tempfile.TemporaryFile()
        self.process = self.prefix.wine(
            [bin_file("winctl.exe"), "--server"],
            stdin=subprocess.PIPE,
            stdout=subprocess.PIPE,
            stderr=self._log,
        )
        self.call("ping", timeout=60.0)  # the first start of a Wine session is slow

    def alive(self) -> bool:
        return self.process.poll() is None

    def _readline(self, deadline: float) -> str:
        fd = self.process.stdout.fileno()
        while b"\n" not in self._buffer:
            left = deadline - time.monotonic()
            if left <= 0:
                raise WinctlError("winctl did not answer in time")
            ready, _, _ = select.select([fd], [], [], left)
            if ready:
                chunk = os.read(fd, 65536)
                if not chunk:
                    raise WinctlError(f"winctl ended (code {self.process.poll()})")
                self._buffer += chunk
        line, _, self._buffer = self._buffer.partition(b"\n")
        return line.decode("utf-8", errors="replace")

    def call(self, command: str, *positional, timeout: float | None = None, **options):
        """Runs one command; returns its records (lists of fields). Options: key=value
        becomes --key value (underscores as dashes), True a bare flag, None is left out."""
        words = [command] + [str(p) for p in positional]
        for key, value in options.items():
            if value is None or value is False:
                continue
            words.append("--" + key.replace("_", "-"))
            if value is not True:
                words.append(str(value))
        line = " ".join(_quote(w) for w in words) + "\n"
        with self._lock:
            if not self.alive():
                raise WinctlError("winctl is not running")
            self.process.stdin.write(line.encode("utf-8"))
            self.process.stdin.flush()
            deadline = time.monotonic() + (timeout or self.timeout)
            records = []
            while True:
                try:
                    answer = self._readline(deadline)
                except WinctlError:
                    # A late answer would be taken for the next command's: start afresh.
                    self.process.kill()
                    self.process.wait()
                    raise
                if answer.startswith("|"):
                    records.append([_unescape(f) for f in answer[1:].split("\t")])
                elif answer == "OK":
                    return records
                elif answer.startswith("ERR"):
                    raise WinctlError(f"{command}: {_unescape(answer[4:])}")

    def value(self, command: str, *positional, **options) -> str | None:
        """The first field of the first record, or None when there was no record."""
        records = self.call(command, *positional, **options)
        return records[0][0] if records else None

    def close(self):
        if self.alive():
            try:
                self.process.stdin.write(b"quit\n")
                self.process.stdin.flush()
                self.process.wait(timeout=5)
            except (OSError, subprocess.TimeoutExpired):
                self.process.kill()
                self.process.wait()


_session: Winctl | None = None


def session() -> Winctl:
    """The shared winctl server, started on first use and ended when Python exits."""
    global _session
    if _session is None or not _session.alive():
        first = _session is None
        if first:
            remove_stale_links(E2E_PORTS)
        _session = Winctl()
        if first:
            lift_stale_refusals(_session)
    return _session


@atexit.register
def _end_session():
    if _session is not None:
        _session.close()


# ---------------------------------------------------------------------------------------
# Windows


class Window:
    """A top-level window chosen by exact title, class, part of its program's path, Windows
    process id or handle (first match in Z order, looked up afresh on every call)."""

    def __init__(self, title=None, cls=None, exe=None, pid=None, hwnd=None):
        self._selector = {"title": title, "class": cls, "exe": exe, "pid": pid, "hwnd": hwnd}

    def _call(self, command, **options):
        merged = {k: v for k, v in self._selector.items() if v is not None}
        merged.update(options)
        return session().call(command, **merged)

    def _value(self, command, **options):
        records = self._call(command, **options)
        return records[0][0] if records else None

    def exists(self) -> bool:
        return self._value("exists") == "1"

    def usage(self) -> dict:
        """The owning program's handle count, committed (private) and working-set bytes, and
        the most its working set ever held."""
        f = self._call("usage")[0]
        return {"handles": int(f[0]), "private": int(f[1]), "working_set": int(f[2]),
                "peak_working_set": int(f[3])}

    def info(self, id=None) -> dict:
        """hwnd, pid, visible, enabled, class, title and program path of the window."""
        f = self._call("info", id=id)[0]
        return {
            "hwnd": int(f[0], 16),
            "pid": int(f[1]),
            "visible": f[2] == "1",
            "enabled": f[3] == "1",
            "class": f[4],
            "title": f[5],
            "exe": f[6],
        }

    def visible(self, id=None) -> bool:
        return self._value("visible", id=id) == "1"

    def text(self, id=None) -> str:
        return self._value("text", id=id)

    def enabled(self, id) -> bool:
        return self._value("enabled", id=id) == "1"

    def children(self) -> list[dict]:
        return [
            {"id": int(f[0]), "class": f[1], "visible": f[2] == "1", "enabled": f[3] == "1",
             "text": f[4]}
            for f in self._call("children")
        ]

    def click(self, id):
        """A click on a control: BM_CLICK for a button or check box, STN_CLICKED to the
        parent for a command label. Posted; wait for its effect."""
        self._call("click", id=id)

    def select(self, id, index=None, text=None):
        """Selects a list entry by index or exact text and notifies the parent."""
        if (index is None) == (text is None):
            raise ValueError("give index or text")
        self._call("select", id=id, index=index, text=text)

    def items(self, id) -> tuple[int, list[str]]:
        """(selected index or -1, entries) of a drop-down list."""
        records = self._call("items", id=id)
        return int(records[0][0]), [r[0] for r in records[1:]]

    def checked(self, id) -> int:
        """0 unchecked, 1 checked, 2 greyed."""
        return int(self._value("checked", id=id))

    def key(self, vk: int):
        self._call("key", vk=vk)

    def close(self):
        self._call("close")

    def tray(self, lparam: int = 0x202):
        """The notification-area icon's message, as the shell sends it (left button up)."""
        self._call("tray", lparam=lparam)

    def tray_icon(self, remove=False) -> bool:
        """Whether the shell holds this window's notification-area icon; `remove` takes it
        away first, as a restarting shell loses every icon (then the answer is whether there
        was one)."""
        return self._value("trayicon", remove=remove) == "1"

    def registered_message(self, name: str) -> int:
        """The number of a registered window message, such as "TaskbarCreated"."""
        return int(session().call("regmsg", name=name)[0][0])

    def post(self, msg: int, wparam: int = 0, lparam: int = 0, id=None):
        self._call("post", msg=msg, wparam=wparam, lparam=lparam, id=id)

    def settext(self, text: str, first_child=False, id=None) -> int:
        return int(self._value("settext", text=text, first_child=first_child, id=id))

    def rect(self, id=None, client=False) -> tuple[int, int, int, int]:
        """left, top, right, bottom on the screen."""
        return tuple(int(v) for v in self._call("rect", id=id, client=client)[0])

    def activate(self) -> bool:
        return self._value("activate") == "1"

    def wait_exists(self, timeout=15.0):
        wait_until(self.exists, timeout, what=f"window {self._selector}")

    def wait_gone(self, timeout=15.0):
        wait_until(lambda: not self.exists(), timeout, what=f"end of window {self._selector}")

    def wait_visible(self, visible=True, timeout=15.0):
        wait_until(lambda: self.visible() == visible, timeout,
                   what=f"window {'shown' if visible else 'hidden'}")

    def wait_text(self, id, text, timeout=15.0) -> str:
        """Waits for a control's text: equal to `text`, or for which `text(value)` is true."""
        test = text if callable(text) else (lambda v: v == text)
        last = [None]

        def check():
            try:
                last[0] = self.text(id)
            except WinctlError as e:  # window or control not there yet
                last[0] = f"<{e}>"
                return False
            return test(last[0])

        try:
            wait_until(check, timeout, what=f"text {text!r} in control {id}")
        except TimeoutError as e:
            raise TimeoutError(f"control {id} shows {last[0]!r}, not {text!r}") from e
        return last[0]

    def screenshot(self, path, id=None):
        screenshot(path, self.rect(id=id))


def message_box(**selector) -> dict | None:
    """The visible message box (class #32770), optionally chosen by title, exe or pid:
    {"title", "text", "buttons", "pid"}, or None."""
    records = session().call("msgbox", **selector)
    if not records:
        return None
    f = records[0]
    return {"title": f[0], "text": f[1], "buttons": f[2], "pid": int(f[3])}


def press_message_box(button: int = 1, **selector):
    session().call("msgbox-press", button=button, **selector)


def foreground() -> dict:
    """The foreground window and the control holding the keyboard focus."""
    f = session().call("foreground")[0]
    return {"hwnd": int(f[0], 16), "title": f[1], "focus": int(f[2], 16), "focus_class": f[3]}


def windows(**selector) -> list[dict]:
    """Top-level windows of the prefix (hidden helper windows left out unless all=True)."""
    return [
        {"hwnd": int(f[0], 16), "pid": int(f[1]), "visible": f[2] == "1",
         "enabled": f[3] == "1", "class": f[4], "title": f[5], "exe": f[6]}
        for f in session().call("list", **selector)
    ]


def type_text(text: str) -> int:
    """Types into the focused window: characters as Unicode keys, CR as the Enter key."""
    return int(session().value("type", text=text))


def http_get(url: str, timeout_ms: int = 5000) -> tuple[int, bytes]:
    """A GET through WinINet from inside the prefix: (status, body). Raises WinctlError
    when the transfer fails."""
    records = session().call("http", url=url, timeout_ms=timeout_ms,
                             timeout=timeout_ms / 1000 * 3 + 10)
    status, body = records[0]
    return int(status), bytes.fromhex(body)


# ---------------------------------------------------------------------------------------
# Registry (through winctl, built as Ordane is, 32- or 64-bit: the same view as Ordane's)


def reg_get(key: str, value: str = "") -> str | int | bytes | None:
    """REG_SZ as str (a stored terminating NUL kept as "\\0"), REG_DWORD as int, else bytes;
    None when the key or value is missing."""
    records = session().call("regget", key=key, value=value)
    if not records:
        return None
    kind, data = records[0]
    if kind == "sz":
        return data
    if kind == "dword":
        return int(data)
    return bytes.fromhex(data)


def reg_set(key: str, value: str, data, kind: str = "sz"):
    """kind: "sz" (no terminating NUL), "sz0" (with one), "dword", or "multi" (a REG_MULTI_SZ
    of the lines of `data`)."""
    session().call("regset", key=key, value=value, data=data, type=kind)


def reg_delete(key: str, value: str | None = None):
    """Deletes a value, or without one the whole key; missing is fine."""
    session().call("regdel", key=key, value=value)


def keep_registry(test, key: str, value: str):
    """Puts the value back as it is now when `test` ends, whatever happens in between."""
    before = reg_get(key, value)

    def restore():
        if before is None:
            reg_delete(key, value)
        elif isinstance(before, int):
            reg_set(key, value, before, "dword")
        elif before.endswith("\0"):
            reg_set(key, value, before[:-1], "sz0")
        else:
            reg_set(key, value, before)

    test.addCleanup(restore)


def _refusals_file() -> Path:
    """Keys given a refusal, noted in the prefix before it is set."""
    return prefix().path / "ordane-e2e-refused-keys.txt"


def deny_registry_writes(test, key: str):
    """Refuses every account value writes and new subkeys in `key` until `test` ends, as a
    machine key refuses a standard user (Wine as root would otherwise allow anything). The
    refusal lives in the Wine session only; the prefix's registry files never hold it, but a
    run killed before the test ended leaves it for the next run in the same session, so the
    key is noted for `lift_stale_refusals`."""
    with open(_refusals_file(), "a", encoding="utf-8") as noted:
        noted.write(key + "\n")
    session().call("regdeny", key=key)
    test.addCleanup(lambda: session().call("regdeny", key=key, undo=True))


def lift_stale_refusals(winctl: "Winctl"):
    """Takes away the refusals an earlier run set and could not lift (it was killed)."""
    path = _refusals_file()
    if not path.exists():
        return
    for key in sorted(set(path.read_text(encoding="utf-8").splitlines()) - {""}):
        try:
            winctl.call("regdeny", key=key, undo=True)
        except WinctlError:
            pass  # the key is gone, and its refusal with it
    path.unlink()


# ---------------------------------------------------------------------------------------
# Screenshots


def screenshot(path, rect=None):
    """PNG of the virtual display, or of rect (left, top, right, bottom) on it."""
    cmd = ["import", "-display", os.environ["DISPLAY"], "-window", "root"]
    if rect:
        left, top, right, bottom = rect
        left, top = max(left, 0), max(top, 0)
        cmd += ["-crop", f"{right - left}x{bottom - top}+{left}+{top}", "+repage"]
    subprocess.run(cmd + [str(path)], check=True, timeout=30)


# ---------------------------------------------------------------------------------------
# COM ports


_SPEEDS = {
    getattr(termios, f"B{n}"): n
    for n in (50, 75, 110, 134, 150, 200, 300, 600, 1200, 1800, 2400, 4800, 9600, 19200,
              38400, 57600, 115200, 230400)
    if hasattr(termios, f"B{n}")
}


# COM numbers each ring links in the prefix, so that the rings never share one: the
# end-to-end tests 2 to 11, the Windows tests of the serial library 12 to 16 (Wine points com1
# back at /dev/ttyS0 whenever a new Wine session starts).
E2E_PORTS = (*range(2, 12), 20)  # COM20: a port above the sixteen listed always
WIN32_PORTS = range(12, 17)


def remove_stale_links(numbers, pfx: Prefix | None = None):
    """Removes the comN links of `numbers` whose pty is gone (left by a run that was killed)."""
    for n in numbers:
        link = (pfx or prefix()).dosdevices / f"com{n}"
        if link.is_symlink() and not link.exists():
            link.unlink(missing_ok=True)


class PtyPort:
    """A pseudo terminal that Windows programs in the prefix open as COMn (\\\\.\\COMn).

    The test holds the master side in raw mode: what it writes arrives at the program, what
    the program sends can be read here; it keeps the slave open too, so reads never fail while
    the program has the port closed. PtyPort(n) takes a number of E2E_PORTS and replaces its
    link in one step; PtyPort.claim(numbers) takes the first number that has no link."""

    def __init__(self, n: int, pfx: Prefix | None = None, _exclusive: bool = False):
        if not _exclusive:
            if n not in E2E_PORTS:
                raise ValueError(f"COM{n}: the end-to-end tests use {E2E_PORTS}")
            session()  # the Wine session must be up before the link is made (see above)
        self.prefix = pfx or prefix()
        self.number = n
        self.master, self.slave = os.openpty()
        tty.setraw(self.master)
        tty.setraw(self.slave)
        self.device = os.ttyname(self.slave)
        self.link = self.prefix.dosdevices / f"com{n}"
        try:
            if _exclusive:
                os.symlink(self.device, self.link)  # fails when the number is taken
            else:
                part = self.link.with_name(f".com{n}.{os.getpid()}")
                part.unlink(missing_ok=True)
                os.symlink(self.device, part)
                os.replace(part, self.link)
        except OSError:
            os.close(self.master)
            os.close(self.slave)
            raise
        self._closed = False

    @classmethod
    def claim(cls, numbers, pfx: Prefix | None = None) -> "PtyPort":
        """A port on the first of `numbers` that no link in the prefix holds, taken atomically."""
        for n in numbers:
            try:
                return cls(n, pfx, _exclusive=True)
            except FileExistsError:
                continue
        raise HarnessError(f"every COM number of {list(numbers)} is linked")

    @property
    def name(self) -> str:
        return f"COM{self.number}"

    def write(self, data: bytes):
        view = memoryview(bytes(data))
        while view:
            n = os.write(self.master, view)
            view = view[n:]

    def read(self, timeout: float = 1.0, quiet: float = 0.05) -> bytes:
        """What the program sent: waits up to `timeout` for a first byte, then collects
        until nothing more comes for `quiet` seconds. b"" when nothing came."""
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

    def read_exact(self, count: int, timeout: float = 5.0) -> bytes:
        data = b""
        deadline = time.monotonic() + timeout
        while len(data) < count:
            left = deadline - time.monotonic()
            if left <= 0:
                break
            data += self.read(left, quiet=0)
        return data

    def termios(self) -> dict:
        """The line as the program left it: speed (bit/s), two stop bits, raw attributes.
        A pty keeps no data bits or parity of its own: it always reports 8 and none."""
        attrs = termios.tcgetattr(self.slave)
        return {
            "speed": _SPEEDS.get(attrs[5], attrs[5]),
            "cstopb": bool(attrs[2] & termios.CSTOPB),
            "attrs": attrs,
        }

    def close(self):
        if self._closed:
            return
        self._closed = True
        try:
            if self.link.is_symlink() and os.readlink(self.link) == self.device:
                self.link.unlink()
        finally:
            os.close(self.master)
            os.close(self.slave)

    def __enter__(self):
        return self

    def __exit__(self, *exc):
        self.close()


# ---------------------------------------------------------------------------------------
# Setting.ini

SETTING_KEYS = ("Scanner", "Port", "BaudRate", "Bits", "Parity", "StopBits", "AddEnter",
                "UsePort2", "UsePort1", "Port2", "CardReader")


def settings(**values) -> dict:
    """A complete [BCINFO] section in the order the program writes it: scanner "HHP" on
    COM3 at 9600 8N1 with Enter, card reader "华视" on port 1 not in use. A value None
    leaves the key out."""
    result = {"Scanner": "HHP", "Port": 3, "BaudRate": 3, "Bits": 3, "Parity": 0,
              "StopBits": 0, "AddEnter": 1, "UsePort2": 0, "UsePort1": 1, "Port2": 1,
              "CardReader": "华视"}
    result.update(values)
    return {k: v for k, v in result.items() if v is not None}


def ini_bytes(content) -> bytes:
    """Setting.ini as the program reads it: GBK, CRLF. `content` is a dict of [BCINFO]
    keys, or the whole file as text (line ends become CRLF), or bytes taken as they are."""
    if isinstance(content, bytes):
        return content
    if isinstance(content, dict):
        lines = ["[BCINFO]"] + [f"{k}={v}" for k, v in content.items()]
        text = "\r\n".join(lines) + "\r\n"
    else:
        text = content.replace("\r\n", "\n").replace("\n", "\r\n")
    return text.encode("gbk")


def parse_ini(data: bytes, section: str = "BCINFO") -> dict:
    """Keys and values of one section of a GBK profile file."""
    values = {}
    current = None
    for raw in data.decode("gbk", errors="replace").splitlines():
        line = raw.strip()
        if line.startswith("[") and line.endswith("]"):
            current = line[1:-1]
        elif current is not None and current.lower() == section.lower() and "=" in line:
            key, _, value = line.partition("=")
            values[key.strip()] = value
    return values


# ---------------------------------------------------------------------------------------
# Programs


class Program:
    """Ordane.exe copied into a fresh folder on drive C and started with Wine.

    settings: None (no Setting.ini), a dict of [BCINFO] keys, text or bytes (see ini_bytes).
    sdtapi: False, True (the simulated sdtapi.dll from the bin folder) or a path.
    reader: keys for the simulated library's state.ini (see fake_sdtapi/README.md).
    folder_prefix: the start of the program folder's name.
    installed: the folder of an installed Ordane.exe to run instead of a fresh copy (kept at
    the end; its windows are told apart by the name of the folder above it)."""

    def __init__(self, settings=None, sdtapi=False, reader=None, exe="Ordane.exe",
                 pfx: Prefix | None = None, folder_prefix="ordane-",
                 installed: Path | None = None):
        self.prefix = pfx or prefix()
        self.installed = installed is not None
        self.folder = Path(installed) if installed else self.prefix.temp_dir(folder_prefix)
        self.exe = self.folder / "Ordane.exe"
        if not self.installed:
            shutil.copy2(bin_file(exe), self.exe)
        if sdtapi:
            source = bin_file("sdtapi.dll") if sdtapi is True else Path(sdtapi)
            shutil.copy2(source, self.folder / "sdtapi.dll")
        if settings is not None:
            self.write_settings(settings)
        if reader is not None:
            self.set_reader(**reader)
        self.process: subprocess.Popen | None = None
        self._output = None
        # Windows of this copy only: the folder name is unique.
        self.match = self.folder.parent.name if self.installed else self.folder.name
        self.main = Window(title=MAIN_TITLE, exe=self.match)
        self.dialog = Window(title=SETTINGS_TITLE, exe=self.match)

    # -- files beside the program

    @property
    def settings_path(self) -> Path:
        return self.folder / "Setting.ini"

    def write_settings(self, content):
        self.settings_path.write_bytes(ini_bytes(content))

    def read_settings(self) -> dict | None:
        """[BCINFO] as the program left it, or None without a file."""
        if not self.settings_path.exists():
            return None
        return parse_ini(self.settings_path.read_bytes())

    def set_reader(self, **keys):
        """Replaces the simulated card reader's state.ini (atomically)."""
        text = "".join(f"{k}={v}\n" for k, v in keys.items() if v is not None)
        partial = self.folder / "state.ini.part"
        partial.write_bytes(text.encode("utf-8"))
        os.replace(partial, self.folder / "state.ini")

    def reader_calls(self) -> list[str]:
        """Lines of the simulated library's calls.log."""
        path = self.folder / "calls.log"
        if not path.exists():
            return []
        return path.read_bytes().decode("gbk", errors="replace").splitlines()

    def reader_anomalies(self, since: int = 0) -> list[str]:
        """Calls from the `since`-th on that the simulated library refused as out of turn (a
        step the program should not have taken after the status before) or made with a state
        value it could not take."""
        return [c for c in self.reader_calls()[since:]
                if c.endswith(" out-of-turn") or " bad-state=" in c]

    # -- process

    def start(self, wait_window=True, timeout=20.0) -> "Program":
        session()
        # Beside an installed folder, not in it: the uninstaller's result is looked at.
        log_folder = self.folder.parent if self.installed else self.folder
        self._output = open(log_folder / "wine-output.log", "ab" if self.installed else "wb")
        self.process = self.prefix.wine([self.exe], cwd=self.folder, stdout=self._output,
                                        stderr=subprocess.STDOUT)
        if wait_window:
            self.wait_window(timeout)
        return self

    def start_again(self) -> subprocess.Popen:
        """Starts the same executable once more (for the second-instance check); the caller
        waits for and ends the returned process."""
        return self.prefix.wine([self.exe], cwd=self.folder, stdout=subprocess.DEVNULL,
                                stderr=subprocess.DEVNULL)

    def running(self) -> bool:
        return self.process is not None and self.process.poll() is None

    @property
    def returncode(self):
        return self.process.poll() if self.process else None

    def wait_window(self, timeout=20.0):
        """Waits for the main window with its controls (they are made just after it)."""
        def ready():
            if not self.running():
                raise HarnessError(
                    f"Ordane.exe ended (code {self.returncode}) before its window appeared")
            try:
                self.main.text(id=label_id(6))
                return True
            except WinctlError:
                return False

        wait_until(ready, timeout, what="main window of Ordane.exe")

    def wait_exit(self, timeout=15.0) -> int:
        """Waits for the process to end; kills it and raises when it does not."""
        try:
            return self.process.wait(timeout=timeout)
        except subprocess.TimeoutExpired:
            self.kill()
            raise TimeoutError(f"Ordane.exe did not end within {timeout:g} s; killed")

    def exit(self, timeout=15.0) -> int:
        """The Exit command (Label6), then waits for the process to end; raises unless it
        ended with code 0 (a crash while a port or link shuts down ends otherwise)."""
        self.click(6)
        code = self.wait_exit(timeout)
        if code != 0:
            raise HarnessError(f"Ordane.exe ended with code {code:#x} after Exit")
        return code

    def close(self):
        """Closes the main window (WM_CLOSE), as the window's close box would."""
        self.main.close()

    def kill(self):
        if self.running():
            self.process.kill()
            self.process.wait()

    # -- main window

    def label(self, n: int) -> str:
        return self.main.text(id=label_id(n))

    def labels(self) -> dict:
        """The status and device lines: {1: text, 2: ..., 3, 7, 10, 11, 12, 13}."""
        return {n: self.label(n) for n in (1, 2, 3, 7, 10, 11, 12, 13)}

    def wait_label(self, n: int, text, timeout=15.0) -> str:
        return self.main.wait_text(label_id(n), text, timeout)

    def visible(self) -> bool:
        return self.main.visible()

    def pass_turns(self, turns: int = 20, spacing: float = 0.06):
        """Proves that the program had its chances before an absence is checked: its window
        answers a message `turns` times, each more than its 50 ms scanner timer after the one
        before, so a due timer tick could run in between however slow the machine is."""
        for _ in range(turns):
            time.sleep(spacing)
            self.main._call("send", msg=0)  # WM_NULL, answered by the window's own thread

    def click(self, label: int):
        """A click on a command label (Label4 hide, Label5 settings, Label6 exit)."""
        self.main.click(label_id(label))

    def command_enabled(self, label: int) -> bool:
        return self.main.enabled(label_id(label))

    def key(self, vk: int):
        self.main.key(vk)

    def tray_click(self):
        self.main.tray(0x202)

    def message_box(self) -> dict | None:
        return message_box(exe=self.match)

    def screenshot(self, path):
        self.main.screenshot(path)

    def cleanup(self):
        self.kill()
        if self._output:
            self._output.close()
            self._output = None
        if not os.environ.get("ORDANE_E2E_KEEP") and not self.installed:
            shutil.rmtree(self.folder, ignore_errors=True)

    def __enter__(self):
        if self.process is None:
            self.start()
        return self

    def __exit__(self, *exc):
        self.cleanup()


class Target:
    """fake_target.exe: a window titled like the business application's whose first child
    records every window text it is given and whose edit control records every key."""

    REFOCUS = WM_APP + 1

    def __init__(self, title=TARGET_TITLE, stall_settext_ms=0, controls=False,
                 pfx: Prefix | None = None, drop_faster_ms=0, mark_packets=False):
        self.prefix = pfx or prefix()
        self.dir = Path(tempfile.mkdtemp(prefix="ordane-target-"))
        self.text_log = self.dir / "texts.log"
        self.key_log = self.dir / "keys.log"
        self.events_log = self.dir / "events.log"
        self.ready = self.dir / "ready"
        self.title = title
        args = [bin_file("fake_target.exe"), self.prefix.windows_path(self.text_log),
                self.prefix.windows_path(self.key_log), "--title", title,
                "--ready", self.prefix.windows_path(self.ready),
                "--events", self.prefix.windows_path(self.events_log)]
        if stall_settext_ms:
            args += ["--stall-settext", str(int(stall_settext_ms))]
        if controls:
            args.append("--controls")
        if drop_faster_ms:
            args += ["--drop-faster", str(int(drop_faster_ms))]
        if mark_packets:
            args.append("--mark-packets")  # "<P>" before a character typed as a packet
        self._args = args
        self.process: subprocess.Popen | None = None
        self.window: Window | None = None
        self.pid = None

    def start(self, timeout=20.0) -> "Target":
        session()
        self.process = self.prefix.wine(self._args, stdout=subprocess.DEVNULL,
                                        stderr=subprocess.DEVNULL)

        def ready():
            if self.process.poll() is not None:
                raise HarnessError(f"fake_target.exe ended (code {self.process.poll()})")
            return self.ready.exists()

        wait_until(ready, timeout, what="fake_target.exe ready")
        pid, hwnd = self.ready.read_text().split()
        self.pid, self.hwnd = int(pid), int(hwnd)
        self.window = Window(hwnd=hex(self.hwnd))
        return self

    # -- what arrived

    def texts(self) -> list[str]:
        """Every window text its first child received, oldest first."""
        if not self.text_log.exists():
            return []
        lines = self.text_log.read_bytes().decode("utf-8").split("\n")[:-1]
        return [_unescape(line) for line in lines]

    def typed(self) -> str:
        """Every character typed into it; "<ENTER>" for the Enter key."""
        return self.key_log.read_bytes().decode("utf-8") if self.key_log.exists() else ""

    def events(self) -> list[str]:
        """Commands, keys and tray messages its top-level window received."""
        if not self.events_log.exists():
            return []
        return self.events_log.read_text(encoding="utf-8").splitlines()

    def wait_texts(self, count: int, timeout=10.0) -> list[str]:
        return wait_until(lambda: len(self.texts()) >= count and self.texts(), timeout,
                          what=f"{count} window texts")

    def wait_typed(self, text: str, timeout=10.0) -> str:
        """Waits until exactly `text` has been typed so far."""
        last = []

        def check():
            last[:] = [self.typed()]
            return last[0] == text

        try:
            wait_until(check, timeout, what=f"typed {text!r}")
        except TimeoutError as e:
            raise TimeoutError(f"typed so far {last[0]!r}, expected {text!r}") from e
        return last[0]

    # -- focus

    def has_focus(self) -> bool:
        """In the foreground with the keyboard focus on its edit control."""
        now = foreground()
        return now["hwnd"] == self.hwnd and now["focus_class"].lower() == "edit"

    def focus(self, timeout=10.0):
        """Takes the foreground and puts the focus back on its edit control. Asked again each
        second: a window the program shows just after may take the foreground back."""
        deadline = time.monotonic() + timeout
        while True:
            self.window.post(self.REFOCUS)
            try:
                wait_until(self.has_focus, min(1.0, max(0.0, deadline - time.monotonic())),
                           what="fake target in the foreground")
                return
            except TimeoutError:
                if time.monotonic() >= deadline:
                    raise

    def close(self, timeout=10.0):
        if self.process is None:
            return
        if self.process.poll() is None:
            try:
                self.window.close()
                self.process.wait(timeout=timeout)
            except (HarnessError, subprocess.TimeoutExpired):
                self.process.kill()
                self.process.wait()
        shutil.rmtree(self.dir, ignore_errors=True)

    def __enter__(self):
        if self.process is None:
            self.start()
        return self

    def __exit__(self, *exc):
        self.close()


# ---------------------------------------------------------------------------------------
# Registration server


REDIRECT_PATH = "/elsewhere"


class RegistrationServer:
    """The registration server on 127.0.0.1:REGISTRATION_PORT (the address the Windows test build fixes
    into Ordane.exe). Records every request path and answers with `reply` (bytes, status
    200 unless `status`), or with mode "close" drops the connection unanswered, or with mode
    "stall" holds it until `stall_s` passes or the server stops. Mode "redirect" answers a
    report with 302 to REDIRECT_PATH, which answers `reply`; mode "trickle" sends the whole
    answer one byte every `stall_s`; mode "raw" sends `reply` as the whole answer and closes."""

    def __init__(self, reply: bytes | str = b"SUCCESS", mode: str = "reply", status: int = 200,
                 stall_s: float = 60.0, port: int = REGISTRATION_PORT):
        self.port = port
        self.requests: list[str] = []
        self._cond = threading.Condition()
        self._release = threading.Event()
        self.set_reply(reply, mode, status, stall_s)
        self._server = None
        self._thread = None

    def set_reply(self, reply: bytes | str = b"SUCCESS", mode: str = "reply", status: int = 200,
                  stall_s: float = 60.0):
        if mode not in ("reply", "close", "stall", "redirect", "trickle", "raw"):
            raise ValueError(mode)
        self.reply = reply.encode("gbk") if isinstance(reply, str) else reply
        self.mode, self.status, self.stall_s = mode, status, stall_s

    def start(self) -> "RegistrationServer":
        owner = self

        class Handler(http.server.BaseHTTPRequestHandler):
            protocol_version = "HTTP/1.0"

            def do_GET(self):
                with owner._cond:
                    owner.requests.append(self.path)
                    owner._cond.notify_all()
                if owner.mode == "close":
                    self.close_connection = True
                    return
                if owner.mode == "stall":
                    owner._release.wait(owner.stall_s)
                    self.close_connection = True
                    return
                if owner.mode == "redirect" and self.path != REDIRECT_PATH:
                    self.send_response(302)
                    self.send_header("Location", REDIRECT_PATH)
                    self.send_header("Content-Length", "0")
                    self.end_headers()
                    return
                if owner.mode == "raw":  # `reply` is the whole answer, status line and all
                    try:
                        self.wfile.write(owner.reply)
                    except OSError:
                        pass
                    self.close_connection = True
                    return
                if owner.mode == "trickle":
                    answer = (f"HTTP/1.0 {owner.status} OK\r\nContent-Length: "
                              f"{len(owner.reply)}\r\n\r\n").encode() + owner.reply
                    for byte in answer:
                        if owner._release.wait(owner.stall_s):
                            return
                        try:
                            self.wfile.write(bytes([byte]))
                            self.wfile.flush()
                        except OSError:  # the client gave up
                            return
                    return
                self.send_response(owner.status)
                self.send_header("Content-Type", "text/plain")
                self.send_header("Content-Length", str(len(owner.reply)))
                self.end_headers()
                self.wfile.write(owner.reply)

            def log_message(self, *args):
                pass

        class Server(http.server.ThreadingHTTPServer):
            allow_reuse_address = True
            daemon_threads = True

        self._server = Server((REGISTRATION_HOST, self.port), Handler)
        self._thread = threading.Thread(target=self._server.serve_forever, daemon=True)
        self._thread.start()
        return self

    def wait_requests(self, count: int = 1, timeout: float = 15.0) -> list[str]:
        with self._cond:
            if not self._cond.wait_for(lambda: len(self.requests) >= count, timeout):
                raise TimeoutError(f"{len(self.requests)} of {count} requests within "
                                   f"{timeout:g} s: {self.requests}")
            return list(self.requests)

    def wait_request(self, timeout: float = 15.0) -> str:
        return self.wait_requests(1, timeout)[0]

    def stop(self):
        self._release.set()
        if self._server:
            self._server.shutdown()
            self._server.server_close()
            self._server = None

    def __enter__(self):
        return self.start()

    def __exit__(self, *exc):
        self.stop()

