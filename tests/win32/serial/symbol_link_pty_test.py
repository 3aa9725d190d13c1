#!/usr/bin/env python3
"""The Symbol link under Wine against a simulated Symbol scanner on a pty-backed COM port.

Usage: symbol_link_pty_test.py <symbol_probe.exe>

symbol_probe.exe connects the link to a message-only window and prints each message the
window gets; the simulator (tests/e2e/sim/ssi_scanner.py) plays the scanner.

Prints one line per failed check and exits 0 only when every check passed.
"""
import atexit
import os
import signal
import sys
import time
from pathlib import Path

from pty_com import REPO, WineProgram, claim_ports

sys.path.insert(0, str(REPO / "tests" / "e2e"))
from sim.ssi_scanner import (  # noqa: E402
    PARAM_SEND, REQUEST_REVISION, STATUS_RETRANSMIT, SsiScanner)

failures = []


def check(condition, reason):
    if not condition:
        failures.append(reason)
        print("FAIL: " + reason, flush=True)
    return condition


class Probe(WineProgram):
    def __init__(self, exe):
        super().__init__(exe, "symbol_probe", event_prefixes=("msg ",))

    def message(self, timeout=10.0):
        """(kind, n, bytes) of the next link message, or None."""
        line = self.event(timeout)
        if line is None:
            return None
        parts = line.split()
        return parts[1], int(parts[2]), bytes.fromhex(parts[3]) if len(parts) > 3 else b""


def check_connect(probe, port, missing):
    check(probe.result(f"conn {missing}") != 0, f"ConnPort to missing COM{missing} returned 0")
    check(probe.result(f"conn {port.number}") == 0, f"ConnPort to COM{port.number} failed")
    line = port.termios()
    speed, two_stops = line["speed"], line["cstopb"]
    check(speed == 9600 and not two_stops,
          f"the link set termios speed {speed}, two stop bits {two_stops}; expected 9600 8N1")
    check(probe.result("buff 5000") == 0, "SetBuff did not return 0")


def check_commands(probe, scanner):
    check(probe.result("param ee01") == 0, "SetParam did not return 0")
    check(scanner.wait_for(lambda: scanner.packeted, 5),
          "the scanner never got parameter 0xEE = 0x01")
    sent = scanner.host_packets(PARAM_SEND)
    check(len(sent) >= 1 and sent[0].data == b"\xff\xee\x01" and sent[0].status == 0,
          f"PARAM_SEND went out as {sent[:1]}, expected no beep, EE 01, temporary")
    check(scanner.wakeups >= 1, "no wakeup byte went before the command")

    check(probe.result("version") == 0, "GetScannerVersion did not return 0")
    got = probe.message()
    check(got is not None and got[0] == "version" and got[2] == scanner.revision,
          f"the revision reply arrived as {got}, expected {scanner.revision!r}")


def check_readings(probe, scanner):
    cases = [
        ("a single packet", b"12345", {}),
        ("a reading of three packets", bytes(range(32, 127)) * 6 + b"\r", {}),
        ("a packet resent after a bad checksum", b"6901234567892", {"corrupt_first": True}),
        ("a reading with GBK text", "条码123".encode("gbk"), {"packet_size": 3}),
    ]
    for name, data, options in cases:
        try:
            scanner.scan(data, **options)
        except TimeoutError as error:
            check(False, f"{name}: {error}")
            continue
        got = probe.message()
        check(got == ("data", len(data), data),
              f"{name}: the window got {got}, expected {len(data)} bytes {data!r}")
    check(scanner.naks_received >= 1, "a packet with a bad checksum drew no NAK")

    # A buffer smaller than the reading keeps what fits. Being the next message, it also
    # shows that no reading before it was delivered twice.
    check(probe.result("buff 8") == 0, "SetBuff 8 did not return 0")
    scanner.scan(b"0123456789ABCDEF")
    got = probe.message()
    check(got is None or got[2] != cases[-1][1], "a reading was delivered twice")
    check(got == ("data", 8, b"01234567"), f"with an 8-byte buffer the window got {got}")
    probe.result("buff 5000")


def check_bogus_messages(probe):
    probe.ask("bogus")
    got = [probe.message(5) for _ in range(3)]
    check(all(m is not None and m[1] == 0 for m in got),
          f"messages without a copy of the link's gave {got}, expected three with n = 0")


def check_resend(probe, scanner):
    """An unanswered command goes out three times in all, the later ones marked resent; the
    next command, queued behind it, goes out once the link has given the first up, so its
    first try ends the count."""
    scanner.answer_revision = False
    before = len(scanner.host_packets(REQUEST_REVISION))
    probe.result("version")
    scanner.wait_for(lambda: len(scanner.host_packets(REQUEST_REVISION)) >= before + 3, 8)
    scanner.answer_revision = True
    probe.result("version")
    got = probe.message()
    check(got is not None and got[0] == "version", f"the next command was not answered: {got}")
    tries = [p.retransmit for p in scanner.host_packets(REQUEST_REVISION)[before:]]
    check(tries == [False, True, True, False],
          f"an unanswered revision request and the next went out as {tries}, expected three "
          "tries (the later two marked resent), then the next request")


def check_nak(probe, scanner):
    """A command the scanner NAKs goes out again, marked resent, and is then answered."""
    before = len(scanner.host_packets(REQUEST_REVISION))
    scanner.nak_commands = 1
    probe.result("version")
    got = probe.message()
    tries = scanner.host_packets(REQUEST_REVISION)[before:]
    check([p.retransmit for p in tries] == [False, True],
          f"a NAKed revision request went out as {tries}, expected it resent once")
    check(got is not None and got[0] == "version", f"no revision reply after the NAK: {got}")


def check_disconnect(probe, scanner, port):
    # Readings that come while the window is busy are still queued when the link goes.
    probe.send("holddisc 2500")
    time.sleep(0.5)
    for text in (b"queued-1", b"queued-2"):
        try:
            scanner.scan(text)
        except TimeoutError:
            check(False, "a reading sent while the window was busy was not acknowledged")
    # Both are counted as readings the link did not hand over, so they are told.
    check(probe.reply("holddisc") == "holddisc 0 2",
          "DisConnPort did not return 0 or did not count the two readings still queued")
    # Their messages still come (nothing crashes) but deliver nothing to the closed channel.
    got = [probe.message(5) for _ in range(2)]
    check(all(m is not None and m[:2] == ("data", 0) for m in got),
          f"messages queued at DisConnPort gave {got}, expected two with n = 0")
    check(probe.ask("outstanding") == "outstanding 0",
          "copies of queued messages were not freed after DisConnPort")
    check(probe.result("version") != 0, "GetScannerVersion after DisConnPort returned 0")

    # The port was released and the link can connect again.
    check(probe.result(f"conn {port.number}") == 0, "ConnPort after DisConnPort failed")
    probe.result("buff 5000")
    probe.result("version")
    got = probe.message()
    check(got is not None and got[0] == "version", "no revision reply after reconnecting")
    scanner.scan(b"after")
    got = probe.message()
    check(got == ("data", 5, b"after"), f"a reading after reconnecting arrived as {got}")
    check(probe.result("disc") == 0, "DisConnPort did not return 0")
    check(probe.ask("outstanding") == "outstanding 0", "copies left after the last message")



def check_stalled_line(probe, scanner, port):
    """A line that takes no more bytes (the scanner gone quiet, the driver's queue full) never
    holds the window's thread: a command is only queued, and disconnecting takes at most the
    reader's stop wait of 1 s."""
    check(probe.result(f"conn {port.number}") == 0, "ConnPort for the stalled line failed")
    scanner.stop()
    os.set_blocking(port.slave, False)
    quiet_since = time.monotonic()
    while time.monotonic() - quiet_since < 0.5:  # the line is full once it refuses for a while
        try:
            os.write(port.slave, bytes(256))
            quiet_since = time.monotonic()
        except BlockingIOError:
            time.sleep(0.01)
    # Measured in the probe's window thread, so a slow round trip through Wine cannot count.
    took = int(probe.ask("version").split()[2])
    check(took < 500, f"GetScannerVersion on a stalled line held the window for {took} ms")
    time.sleep(0.3)  # the request (or its first resend) is being written meanwhile
    took = int(probe.ask("disc").split()[2])
    check(took < 1500, f"DisConnPort on a stalled line held the window for {took} ms, more than "
          "the reader's 1 s stop wait")
    port.read(timeout=0.5, quiet=0.2)

def main():
    if len(sys.argv) != 2:
        print(__doc__)
        return 2
    (port,), missing = claim_ports(1)
    scanner = SsiScanner(port)
    probe = None

    def cleanup():
        nonlocal probe
        try:
            scanner.stop()
        except AssertionError as error:  # the simulator failed or the link sent bad packets
            check(False, str(error))
        if probe is not None:
            probe.close()
            probe = None
        port.close()

    atexit.register(cleanup)
    signal.signal(signal.SIGTERM, lambda *_: sys.exit(1))
    try:
        scanner.start()
        probe = Probe(Path(sys.argv[1]))
        check_connect(probe, port, missing)
        check_commands(probe, scanner)
        check_readings(probe, scanner)
        check_bogus_messages(probe)
        check_resend(probe, scanner)
        check_nak(probe, scanner)
        check_disconnect(probe, scanner, port)
        check_stalled_line(probe, scanner, port)
        check(not scanner.host_faults, f"the link sent what no scanner accepts: {scanner.host_faults}")
        retransmitted = [p for p in scanner.packets if p.status & STATUS_RETRANSMIT]
        check(all(p.opcode == REQUEST_REVISION for p in retransmitted),
              "the link resent a command that had been answered")
    except (RuntimeError, OSError, ValueError, IndexError, TimeoutError, AssertionError) as error:
        check(False, f"test stopped: {error}")
    finally:
        cleanup()
    if failures:
        print(f"symbol_link_pty: {len(failures)} check(s) failed")
        return 1
    print("symbol_link_pty: all checks passed")
    return 0


if __name__ == "__main__":
    sys.exit(main())
