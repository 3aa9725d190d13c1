#!/usr/bin/env python3
"""A long run of the real Ordane.exe under Wine (scripts/soak.sh; a short run is an end-to-end
test).

Readings of random length (1 byte to 4 KiB, most of them short, the long ones mostly 2-D
codes) and content (ASCII, GBK Chinese, both markers, now and then a Tab) go to the program
over a pty at 115200 bit/s, each one as soon as the one before has reached the fake business
application, so after a pause just above the framing gap. Known 2-D codes must arrive as
window text, everything else typed with Enter, each exactly once and unaltered (markers
removed as delivery removes them). Now and then a card is laid on the reader until its record
arrives; for a share of the run the scanner is switched to Symbol in the settings dialog and
the readings go over the packet link. The program's handle count and committed bytes after
the first 100 readings are compared with those at the end.
"""

from __future__ import annotations

import argparse
import json
import math
import random
import sys
import time
from pathlib import Path

sys.path.insert(0, str(Path(__file__).resolve().parent))

from harness import (LIST_IDS, UPLOAD_KEY, PtyPort, Program, Target, _unescape,  # noqa: E402
                     command_id, reg_set, settings, wait_until)
from sim.card_reader import CardReaderSim  # noqa: E402
from sim.scanner import ScannerSim  # noqa: E402
from sim.ssi_scanner import SsiScanner  # noqa: E402

WAITING = "等待扫描仪发送信息..."
MARKERS = ("DE6K8", "DA36L")
TYPES = ["ZCCCHGZ", "HGFOZ", "HGJKZ"] + [f"QTZS{i:02d}" for i in range(1, 100)] + ["QTZS00"]
CHINESE = "条码扫描二代证姓名张三李四北京市东城区公安局中华人民共和国居民身份"
ASCII = "0123456789ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz +-./:;=?@[]^_{|}~%$#!&*()"
CARD_WIDTHS = (15, 1, 2, 8, 35, 18, 15, 8, 8, 18)
CARD = ("王五", "1", "01", "19800101", "上海市黄浦区 中山东一路1号", "310101198001011234",
        "上海市公安局黄浦分局", "20150101", "20350101", "")
SCANNER_PORT, READER_PORT = 9, 8


def within_bounds(result: dict) -> bool:
    """Handles and committed bytes at the end within 10 and 1 MiB of those after 100 readings."""
    before, after = result["usage_after_100"], result["usage_at_end"]
    return (before is not None and after is not None
            and after["handles"] - before["handles"] <= 10
            and after["private"] - before["private"] <= 1 << 20)


class Ledger:
    """What arrived at the fake business application, read incrementally from its logs."""

    def __init__(self, target: Target):
        self.target = target
        self.key_offset = 0
        self.text_offset = 0

    def _read(self, path: Path, offset: int) -> tuple[bytes, int]:
        if not path.exists():
            return b"", offset
        with open(path, "rb") as f:
            f.seek(offset)
            data = f.read()
        return data, offset + len(data)

    def typed_since(self) -> str:
        data, _ = self._read(self.target.key_log, self.key_offset)
        text = data.decode("utf-8", errors="replace")
        return text.replace("<0x09>", "\t").replace("<TAB>", "\t")

    def take_typed(self):
        _, self.key_offset = self._read(self.target.key_log, self.key_offset)

    def texts_since(self) -> list[str]:
        data, _ = self._read(self.target.text_log, self.text_offset)
        return [_unescape(line.decode("utf-8")) for line in data.split(b"\n")[:-1]]

    def take_texts(self, count: int):
        data, _ = self._read(self.target.text_log, self.text_offset)
        lines = data.split(b"\n")[:count]
        self.text_offset += sum(len(line) + 1 for line in lines)


def random_body(rng: random.Random, length: int, tab: bool) -> str:
    out = []
    size = 0
    while size < length:
        roll = rng.random()
        if roll < 0.15 and size + 2 <= length:
            ch = rng.choice(CHINESE)
        elif roll < 0.17 and tab:
            ch = "\t"
        elif roll < 0.18 and size + 5 <= length:
            ch = rng.choice(MARKERS)
        else:
            ch = rng.choice(ASCII)
        out.append(ch)
        size += len(ch.encode("gbk"))
    return "".join(out)


def log_uniform(rng: random.Random, low: int, high: int) -> int:
    return max(low, min(high, int(math.exp(rng.uniform(math.log(low), math.log(high + 1))))))


def make_reading(rng: random.Random) -> tuple[bytes, str]:
    """A reading's bytes and its kind ("text" for a known 2-D code, "typed" otherwise). Long
    readings are mostly 2-D codes, as at a counter; one plain barcode in a hundred is long too
    (typing under Wine takes about 8 ms a character)."""
    if rng.random() < 0.4:
        head = rng.choice(MARKERS) + rng.choice(TYPES) + "_"
        body = random_body(rng, max(0, log_uniform(rng, 1, 4096) - len(head)), tab=False)
        return (head + body).encode("gbk"), "text"
    length = log_uniform(rng, 129, 4096) if rng.random() < 0.01 else log_uniform(rng, 1, 128)
    body = random_body(rng, length, tab=rng.random() < 0.1)
    return body.encode("gbk"), "typed"


def expected_delivery(reading: bytes, symbol: bool) -> tuple[str, str]:
    """Where the program puts a reading and what arrives there."""
    text = ("DE6K8" if symbol else "") + reading.decode("gbk")
    for marker in MARKERS:
        if any(text.startswith(marker + code + "_") for code in TYPES):
            return "text", text[5:]
    if text.startswith(MARKERS):
        text = text[5:]
    for marker in MARKERS:
        text = text.replace(marker, "")
    return "typed", text + "<ENTER>"


def card_text() -> str:
    return "".join(f.ljust(w) for f, w in zip(CARD, CARD_WIDTHS))


class Soak:
    def __init__(self, count: int, seed: int, symbol_share: float, card_every: int, log=print):
        self.count = count
        self.rng = random.Random(seed)
        self.symbol_share = symbol_share
        self.card_every = card_every
        self.log = log
        self.result = {"readings": 0, "delivered": 0, "missing": 0, "altered": 0,
                       "symbol_readings": 0, "cards": 0, "card_records": 0,
                       "bytes": 0, "usage_after_100": None, "usage_at_end": None,
                       "exit_code": None, "problems": []}

    def problem(self, what: str):
        self.result["problems"].append(what)
        self.log("PROBLEM: " + what)

    def run(self) -> dict:
        reg_set(UPLOAD_KEY, "upload", "1")  # reported before: no registration request
        with PtyPort(SCANNER_PORT) as port, PtyPort(READER_PORT) as reader_port, \
                CardReaderSim(reader_port, "华视"), Target() as target, \
                Program(settings(Port=SCANNER_PORT, BaudRate=7, UsePort2=1, Port2=READER_PORT),
                        sdtapi=True) as app:
            self.app, self.port, self.target = app, port, target
            self.ledger = Ledger(target)
            self.device = ScannerSim(port, "HHP").start()
            self.symbol = False
            try:
                self.wait_identified()
                self.loop()
            finally:
                self.device.stop()
            self.result["usage_at_end"] = app.main.usage()
            self.result["exit_code"] = app.exit()
        return self.result

    def wait_identified(self):
        wait_until(lambda: self.app.label(1) == WAITING and not self.app.visible()
                   and self.app.command_enabled(5), 40, what="scanner identified")
        self.target.focus()

    def switch(self, symbol: bool):
        """The brand changed in the settings dialog, the other scanner on the same port."""
        self.device.stop()
        self.device = (SsiScanner(self.port) if symbol else ScannerSim(self.port, "HHP")).start()
        app = self.app
        app.tray_click()
        app.main.wait_visible(True)
        app.click(5)
        app.dialog.wait_visible(True)
        app.dialog.select(LIST_IDS["cbModel"], text="Symbol" if symbol else "HHP")
        app.dialog.click(command_id(1))
        app.dialog.wait_visible(False)
        self.symbol = symbol
        self.wait_identified()

    def loop(self):
        block = min(1000, self.count)
        symbol_block = int(block * self.symbol_share)
        started = time.monotonic()
        for n in range(1, self.count + 1):
            position = (n - 1) % block
            # Readings 41 to 80 go over the Symbol link too, so that the first 100 have used the
            # settings dialog, both scanner paths and the reader once: the usage taken after them
            # holds what a first use allocates for good (Wine's, for the dialog, about 0.5 MB).
            want_symbol = symbol_block > 0 and (
                40 < n <= 80 or (n > 100 and position >= block - symbol_block))
            if want_symbol != self.symbol:
                self.switch(want_symbol)
            self.one_reading(n)
            if self.card_every and n % self.card_every == 0:
                self.one_card()
            if n == 100:
                self.result["usage_after_100"] = self.app.main.usage()
            if n % 500 == 0:
                self.log(f"{n} readings in {time.monotonic() - started:.0f} s, now "
                         f"{json.dumps(self.app.main.usage())}: "
                         f"{json.dumps({k: v for k, v in self.result.items() if k != 'problems'})}")
            # The next reading follows at once: the program ended this one after more than
            # 200 ms without data, so the pause since its last byte is already just above the
            # framing gap.
            time.sleep(self.rng.uniform(0.0, 0.03))

    def one_reading(self, n: int):
        reading, _ = make_reading(self.rng)
        where, expected = expected_delivery(reading, self.symbol)
        self.result["readings"] += 1
        self.result["bytes"] += len(reading)
        if self.symbol:
            self.result["symbol_readings"] += 1
            self.device.scan(reading)
        else:
            self.device.send_scan(reading, baud=115200)
        deadline = time.monotonic() + 10 + len(reading) / 40
        if where == "typed":
            while len(self.ledger.typed_since()) < len(expected) and time.monotonic() < deadline:
                time.sleep(0.01)
            got = self.ledger.typed_since()
            self.ledger.take_typed()
        else:
            while not self.ledger.texts_since() and time.monotonic() < deadline:
                time.sleep(0.01)
            texts = self.ledger.texts_since()
            self.ledger.take_texts(len(texts))
            got = texts[0] if len(texts) == 1 else texts
        if got == expected:
            self.result["delivered"] += 1
        elif not got:
            self.result["missing"] += 1
            self.problem(f"reading {n} ({where}, {len(reading)} bytes) not delivered")
        else:
            self.result["altered"] += 1
            got = str(got)
            at = next((i for i, (a, b) in enumerate(zip(expected, got)) if a != b),
                      min(len(expected), len(got)))
            self.problem(f"reading {n} ({where}, {len(reading)} bytes, {len(expected)} "
                         f"expected, {len(got)} got) differs at {at}: expected "
                         f"{expected[max(0, at - 20):at + 40]!r}, got "
                         f"{got[max(0, at - 20):at + 40]!r}")

    def one_card(self):
        self.result["cards"] += 1
        self.app.set_reader(card=card_text())
        record = "SFZXX_2.0|" + "|".join(f.strip() for f in CARD)
        try:
            wait_until(lambda: self.ledger.texts_since(), 5, what="card record")
        except TimeoutError:
            self.problem(f"card {self.result['cards']} not delivered")
        self.app.set_reader()
        time.sleep(0.7)  # a poll or two more: the card is gone, no record follows
        texts = self.ledger.texts_since()
        self.ledger.take_texts(len(texts))
        if not texts or any(t != record for t in texts):
            self.problem(f"card {self.result['cards']}: records {texts[:2]!r}")
        self.result["card_records"] += len(texts)
        self.target.focus()


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--count", type=int, default=10000)
    parser.add_argument("--seed", type=int, default=20261208)
    parser.add_argument("--symbol-share", type=float, default=0.2)
    parser.add_argument("--card-every", type=int, default=50)
    parser.add_argument("--json", help="write the result here too")
    args = parser.parse_args()
    started = time.monotonic()
    result = Soak(args.count, args.seed, args.symbol_share, args.card_every,
                  log=lambda line: print(line, flush=True)).run()
    result["seconds"] = round(time.monotonic() - started)
    print(json.dumps(result, ensure_ascii=False, indent=1))
    if args.json:
        Path(args.json).write_text(json.dumps(result, ensure_ascii=False, indent=1))
    ok = (result["delivered"] == result["readings"] and not result["problems"]
          and result["exit_code"] == 0 and within_bounds(result))
    return 0 if ok else 1


if __name__ == "__main__":
    sys.exit(main())
