"""Serial barcode scanner simulator: answers a brand's identification query and sends scans.

Works on any port object with `read(timeout, quiet)` and `write(bytes)` (harness.PtyPort).
Runs in its own thread; replies go out within milliseconds of the query's last byte, well
inside the waits of the program's checks (Metrologic and NewLand read after about 0.2 s).

    with PtyPort(3) as port, ScannerSim(port, "HHP"):          # answers as an IT4600
        ...
    ScannerSim(port, "Denso", answer="wrong")                   # answers, but no model marker
    ScannerSim(port, "NewLand", answer="silent")                # never answers
    ScannerSim(port, "HHP", reply=b"xx it4600-050 yy")           # exactly these bytes
    ScannerSim(port, "HHP", wakes_after_s=6)                    # powering up: deaf for 6 s
"""

from __future__ import annotations

import subprocess
import sys
import threading
import time

try:
    from .device import PortDevice
except ImportError:  # run as a script from this folder
    from device import PortDevice

try:
    from .vectors import vector
except ImportError:  # run as a script from this folder
    from vectors import vector

# Identification queries, as the scanners expect them.
QUERIES = {
    "HHP": [vector("hhp.query")],
    "DataLogic": [vector("datalogic.query")],
    "Metrologic": [vector("metrologic.query")],
    "NewLand": [vector("newland.query")],
    "Denso": [vector(f"denso.query.{step}") for step in range(1, 7)],
}

# Replies of each brand's models as the scanners send them, by the marker they hold.
MODELS = {
    "HHP": {"IT4600-050": vector("hhp.reply.IT4600Q"), "IT4800-050": vector("hhp.reply.IT4800Q")},
    "DataLogic": {"D432": vector("datalogic.reply.LYNX-D432")},
    "Metrologic": {"Metrologic012": vector("metrologic.reply.Focus-1690")},
    "NewLand": {"NLSHR103": vector("newland.reply.NLS-HR-103")},
    "Denso": {"GT10QU": vector("denso.reply.GT10QU"), "496810": vector("denso.reply.496810")},
}

# Replies of other models of the brand, without any marker.
WRONG = {brand: vector(f"{brand.lower()}.reply.other") for brand in MODELS}

BRANDS = tuple(QUERIES)

# Writes stdin to the pty master named by argv[1] at the pace of a line of argv[2] bit/s, in
# pieces of argv[3] bytes, and prints the monotonic time of its last write and its longest
# pause. It runs as a process of its own at real-time priority where the system allows it: a
# pause of more than 200 ms ends a reading, so neither this interpreter's other threads nor a
# loaded machine may hold the sender that long.
_PACED_SENDER = """
import os, sys, time
fd, baud, piece = (int(a) for a in sys.argv[1:4])
try:
    os.sched_setscheduler(0, os.SCHED_FIFO, os.sched_param(10))
except (AttributeError, OSError):
    pass
data = sys.stdin.buffer.read()
start = last = time.monotonic()
longest = 0.0
for at in range(0, len(data), piece):
    time.sleep(max(0.0, start + at * 10 / baud - time.monotonic()))
    view = memoryview(data)[at:at + piece]
    while view:
        view = view[os.write(fd, view):]
    now = time.monotonic()
    longest, last = max(longest, now - last), now
print(last, longest, flush=True)
"""


class ScannerSim(PortDevice):
    """A scanner of one brand on a port.

    answer: "right" (the model's reply), "wrong" (a reply without the marker) or "silent".
    model: which model answers (HHP "IT4600-050"/"IT4800-050", Denso "GT10QU"/"496810").
    reply: exact reply bytes, overriding answer and model.
    denso_step: which of Denso's six commands (1..6) is answered; the others stay silent.
    reply_delay_s: time between the query's last byte and the reply.
    wakes_after_s: how long after its creation the scanner is still powering up and ignores
    what it receives."""

    def __init__(self, port, brand: str, answer: str = "right", model: str | None = None,
                 reply: bytes | None = None, denso_step: int = 5, reply_delay_s: float = 0.0,
                 wakes_after_s: float = 0.0):
        if brand not in QUERIES:
            raise ValueError(f"brand {brand!r}: one of {BRANDS}")
        if answer not in ("right", "wrong", "silent"):
            raise ValueError(answer)
        super().__init__(port, f"scanner-{brand}")
        self.brand = brand
        self.denso_step = denso_step
        self.reply_delay_s = reply_delay_s
        self._awake_at = time.monotonic() + wakes_after_s
        if reply is not None:
            self.reply = reply
        elif answer == "silent":
            self.reply = None
        elif answer == "wrong":
            self.reply = WRONG[brand]
        else:
            models = MODELS[brand]
            self.reply = models[model] if model else next(iter(models.values()))
        self.received = b""  # every byte the program sent
        self.queries: list[bytes] = []  # the queries recognised, in order
        self._pending = b""
        self._write_lock = threading.Lock()

    # -- thread

    def _take(self, data: bytes):
        with self._cond:
            self.received += data
            if time.monotonic() < self._awake_at:
                return  # still powering up
            self._pending += data
            queries = QUERIES[self.brand]
            while True:
                hits = [(self._pending.find(q), i, q) for i, q in enumerate(queries)]
                hits = [h for h in hits if h[0] >= 0]
                if not hits:
                    break
                at, index, query = min(hits)
                self._pending = self._pending[at + len(query):]
                self.queries.append(query)
                self._cond.notify_all()
                if self.reply is not None and (self.brand != "Denso"
                                               or index + 1 == self.denso_step):
                    if self.reply_delay_s:
                        time.sleep(self.reply_delay_s)
                    self._write(self.reply)
            self._pending = self._pending[-64:]

    def _write(self, data: bytes):
        with self._write_lock:
            self.port.write(data)

    # -- test side

    def wait_queries(self, count: int = 1, timeout: float = 10.0) -> list[bytes]:
        """Waits until `count` queries of the brand have arrived."""
        if not self._wait(lambda: len(self.queries) >= count, timeout):
            raise TimeoutError(f"{len(self.queries)} of {count} {self.brand} queries; "
                               f"received {self.received!r}")
        return list(self.queries)

    def send_scan(self, data: bytes | str, chunks: int = 1, pause_s: float = 0.0,
                  baud: int | None = None, stop: threading.Event | None = None) -> float | None:
        """Sends a reading as the scanner would: in `chunks` parts with `pause_s` between
        them, or at the pace of a `baud` line (ten bits a byte; the port must be a PtyPort).
        Text is sent in the program's code page (GBK). Returns the time.monotonic() of the
        last byte written; at a `baud` pace, `longest_pause` is then the longest time between
        two pieces, and setting `stop` ends the sending early (the result is then None)."""
        if isinstance(data, str):
            data = data.encode("gbk")
        if baud:
            piece = max(1, baud // 1000)  # about 10 ms of line time a piece
            fd = self.port.master
            with self._write_lock:
                sender = subprocess.Popen(
                    [sys.executable, "-c", _PACED_SENDER, str(fd), str(baud), str(piece)],
                    stdin=subprocess.PIPE, stdout=subprocess.PIPE, pass_fds=(fd,))
                sender.stdin.write(data)
                sender.stdin.close()
                while True:
                    try:
                        sender.wait(timeout=0.05)
                        break
                    except subprocess.TimeoutExpired:
                        if stop is not None and stop.is_set():
                            sender.kill()
                            sender.wait()
                            sender.stdout.close()
                            return None
                with sender.stdout:
                    last, self.longest_pause = (float(v) for v in sender.stdout.read().split())
            return last
        chunks = max(1, min(chunks, len(data) or 1))
        size, extra = divmod(len(data), chunks)
        at = 0
        for i in range(chunks):
            part = data[at:at + size + (1 if i < extra else 0)]
            at += len(part)
            if i and pause_s:
                time.sleep(pause_s)
            self._write(part)
        return time.monotonic()


def main():
    """Runs a scanner on COMn of the prefix until stdin ends; each line read is sent as a
    scan (for demonstrations: python3 tests/e2e/sim/scanner.py --port 3 --brand HHP)."""
    import argparse
    import sys
    from pathlib import Path

    sys.path.insert(0, str(Path(__file__).resolve().parents[1]))
    from harness import PtyPort

    parser = argparse.ArgumentParser(description=main.__doc__)
    parser.add_argument("--port", type=int, required=True)
    parser.add_argument("--brand", choices=BRANDS, default="HHP")
    parser.add_argument("--answer", choices=("right", "wrong", "silent"), default="right")
    parser.add_argument("--model")
    args = parser.parse_args()
    with PtyPort(args.port) as port, \
            ScannerSim(port, args.brand, args.answer, args.model) as scanner:
        print(f"{args.brand} scanner on COM{args.port}; one scan per line", flush=True)
        for line in sys.stdin:
            if line.strip("\r\n"):
                scanner.send_scan(line.strip("\r\n"))


if __name__ == "__main__":
    main()
