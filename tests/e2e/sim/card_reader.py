"""Identification side of an ID card reader on a serial port, for either make.

The program checks a reader with one request over the port before it polls the reader's
library (which the simulated sdtapi.dll stands in for); this simulator answers that request.

    with PtyPort(5) as port, CardReaderSim(port, "华视"):              # a CVR-100U answers
    CardReaderSim(port, "华旭", answer="wrong")                        # wrong identification
    CardReaderSim(port, "华旭", answer="silent")

Both makes answer with the bytes of tests/protocol_vectors.txt; for "华旭" these carry our own
identification constants, which no real reader has confirmed.
"""

from __future__ import annotations

try:
    from .device import PortDevice
    from .vectors import vector
except ImportError:  # run as a script from this folder
    from device import PortDevice
    from vectors import vector

HS_REQUEST = vector("hs.request")
HX_REQUEST = vector("hx.request")
HS_ANSWER = vector("hs.answer")
HX_ANSWER = vector("hx.answer")
# Not one byte where the expected ones stand.
HS_WRONG = bytes.fromhex("15") * 11
# The 华旭 answer with its value (bytes 3..6) spoiled.
HX_WRONG = HX_ANSWER[:3] + bytes(b ^ 0x5A for b in HX_ANSWER[3:7]) + HX_ANSWER[7:]

MAKES = {"华视": "hs", "hs": "hs", "华旭": "hx", "hx": "hx"}


class CardReaderSim(PortDevice):
    """answer: "right", "wrong" or "silent"; reply: exact bytes instead."""

    def __init__(self, port, make: str = "华视", answer: str = "right",
                 reply: bytes | None = None):
        if make not in MAKES:
            raise ValueError(f"make {make!r}: one of {tuple(MAKES)}")
        if answer not in ("right", "wrong", "silent"):
            raise ValueError(answer)
        self.kind = MAKES[make]
        super().__init__(port, f"reader-{self.kind}")
        self.request = HS_REQUEST if self.kind == "hs" else HX_REQUEST
        if reply is not None:
            self.reply = reply
        elif answer == "silent":
            self.reply = None
        elif self.kind == "hs":
            self.reply = HS_ANSWER if answer == "right" else HS_WRONG
        else:
            self.reply = HX_ANSWER if answer == "right" else HX_WRONG
        self.received = b""
        self.requests: list[dict] = []  # each request with the line speed at that moment
        self._pending = b""

    def _take(self, data: bytes):
        with self._cond:
            self.received += data
            self._pending += data
            while (at := self._pending.find(self.request)) >= 0:
                self._pending = self._pending[at + len(self.request):]
                speed = None
                if hasattr(self.port, "termios"):
                    speed = self.port.termios()["speed"]
                self.requests.append({"bytes": self.request, "speed": speed})
                self._cond.notify_all()
                if self.reply is not None:
                    self.port.write(self.reply)
            self._pending = self._pending[-64:]

    def wait_requests(self, count: int = 1, timeout: float = 10.0) -> list[dict]:
        if not self._wait(lambda: len(self.requests) >= count, timeout):
            raise TimeoutError(f"{len(self.requests)} of {count} identification requests; "
                               f"received {self.received!r}")
        return list(self.requests)


def main():
    """Runs a reader's identification side on COMn of the prefix until stdin ends (for
    demonstrations: python3 tests/e2e/sim/card_reader.py --port 5 --make 华视)."""
    import argparse
    import sys
    from pathlib import Path

    sys.path.insert(0, str(Path(__file__).resolve().parents[1]))
    from harness import PtyPort

    parser = argparse.ArgumentParser(description=main.__doc__)
    parser.add_argument("--port", type=int, required=True)
    parser.add_argument("--make", choices=tuple(MAKES), default="华视")
    parser.add_argument("--answer", choices=("right", "wrong", "silent"), default="right")
    args = parser.parse_args()
    with PtyPort(args.port) as port, CardReaderSim(port, args.make, args.answer):
        print(f"{args.make} reader on COM{args.port}", flush=True)
        sys.stdin.read()


if __name__ == "__main__":
    main()
