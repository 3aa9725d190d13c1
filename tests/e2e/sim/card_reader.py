"""Identification side of an ID card reader on a serial port, for either make.

The program checks a reader with one request over the port before it polls the reader's
library (which the simulated sdtapi.dll stands in for); this simulator answers that request.

    with PtyPort(5) as port, CardReaderSim(port, "华视"):              # a CVR-100U answers
    CardReaderSim(port, "华旭", answer="wrong")                        # wrong identification
    CardReaderSim(port, "华旭", answer="silent")

"华旭" readers answer with a value formed from the program's own identification constants,
read from src/devices/card_reader_identification.h (or given as `hx_value`).
"""

from __future__ import annotations

import re
import threading
from functools import reduce
from pathlib import Path

try:
    from .device import PortDevice
except ImportError:  # run as a script from this folder
    from device import PortDevice

REPO = Path(__file__).resolve().parents[3]
CONSTANTS_FILES = [REPO / "src" / "devices" / "card_reader_identification.h",
                   REPO / "src" / "devices" / "card_reader_identification.cpp"]

HS_REQUEST = bytes.fromhex("02000703010003")
HX_REQUEST = bytes.fromhex("55053100000000fd9c")

# "华视" (CVR-100U): 02 00 0B 03, four status bytes, 02 0B 03.
HS_ANSWER = bytes.fromhex("02000b03") + bytes.fromhex("01009000") + bytes.fromhex("020b03")
# Not one byte where the program looks for the expected ones.
HS_WRONG = bytes.fromhex("15") * 11

MAKES = {"华视": "hs", "hs": "hs", "华旭": "hx", "hx": "hx"}


def hx_constants() -> tuple[int, int, int]:
    """K1, K2, K3 as the program defines them."""
    found = {}
    pattern = re.compile(r"\bk?\w*K([123])\s*=\s*(0[xX][0-9a-fA-F]+|\d+)[uUlL]*\s*;")
    for path in CONSTANTS_FILES:
        if path.exists():
            for number, value in pattern.findall(path.read_text(encoding="utf-8")):
                found.setdefault(int(number), int(value, 0))
    if len(found) != 3:
        raise RuntimeError(f"identification constants K1..K3 not found in {CONSTANTS_FILES}")
    return found[1], found[2], found[3]


def hx_expected(request_value: int = 0) -> int:
    k1, k2, k3 = hx_constants()
    return ((request_value ^ k1) | k2) & k3 & 0xFFFFFFFF


def hx_answer(value: int) -> bytes:
    """Nine bytes: header, the value in bytes 3..6 (big endian), a status and a check byte."""
    body = bytes([0xAA, 0x05, 0x31]) + (value & 0xFFFFFFFF).to_bytes(4, "big") + b"\x00"
    return body + bytes([reduce(lambda a, b: a ^ b, body)])


class CardReaderSim(PortDevice):
    """answer: "right", "wrong" or "silent"; reply: exact bytes instead; hx_value: the value
    a "华旭" reader answers with instead of the one the program expects."""

    def __init__(self, port, make: str = "华视", answer: str = "right",
                 reply: bytes | None = None, hx_value: int | None = None):
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
            value = hx_value if hx_value is not None else hx_expected(0)
            self.reply = hx_answer(value if answer == "right" else value ^ 0x5A5AA5A5)
        self.received = b""
        self.requests: list[dict] = []  # each request with the line speed at that moment
        self._pending = b""
        self._cond = threading.Condition()

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
        with self._cond:
            if not self._cond.wait_for(lambda: len(self.requests) >= count, timeout):
                raise TimeoutError(f"{len(self.requests)} of {count} identification requests; "
                                   f"received {self.received!r}")
            return list(self.requests)


def main():
    """Runs a reader's identification side on COMn of the prefix until stdin ends (for
    demonstrations: python3 tests/e2e/sim/card_reader.py --port 5 --make 华视)."""
    import argparse
    import sys

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
