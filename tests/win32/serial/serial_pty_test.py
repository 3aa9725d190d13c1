#!/usr/bin/env python3
"""The serial library and the port probe under Wine, against COM ports backed by ptys.

Usage: serial_pty_test.py <serial_probe.exe>

Each pty's slave is linked into the Wine prefix as a COM port numbered 12 or above (which
also proves that such ports open). serial_probe.exe runs the library's operations on command;
this side plays the devices and looks at the line settings with termios. A pty keeps the
speed and the stop bits it is given but always reports 8 data bits and no parity, so those
two are checked on the settings the library handed to the driver.

Prints one line per failed check and exits 0 only when every check passed.
"""
import atexit
import itertools
import random
import signal
import sys
import threading
import time

from pty_com import WineProgram, claim_ports

BURST_BYTES = 64 * 1024

failures = []


def check(condition, reason):
    if not condition:
        failures.append(reason)
        print("FAIL: " + reason, flush=True)
    return condition


class Program(WineProgram):
    """serial_probe.exe: the serial library's operations on command."""

    def read(self, capacity, suffix=""):
        parts = self.ask(f"read{suffix} {capacity}").split()
        return int(parts[1]), bytes.fromhex(parts[2]) if len(parts) > 2 else b""

    def read_until(self, count, capacity, suffix="", timeout=5.0):
        """Reads until count bytes came; returns them and the largest piece."""
        got, largest = b"", 0
        end = time.monotonic() + timeout
        while len(got) < count and time.monotonic() < end:
            n, data = self.read(capacity, suffix)
            if n <= 0:
                time.sleep(0.02)
                continue
            largest = max(largest, n)
            got += data
        return got, largest

    def arrived(self, suffix=""):
        """TakeArrived: its result and the pieces as (stamp, bytes)."""
        parts = self.ask(f"arrived{suffix}").split()
        pieces = []
        for part in parts[2:]:
            stamp, _, data = part.partition(":")
            pieces.append((int(stamp), bytes.fromhex(data)))
        return int(parts[1]), pieces

    def state(self, suffix=""):
        fields = self.ask(f"state{suffix}").split()[1:]
        return dict(field.split("=", 1) for field in fields if "=" in field)


def check_line_settings(program, pty):
    """Every data-bits, parity and stop-bits choice reaches the driver as asked."""
    bauds = itertools.cycle([2400, 4800, 9600, 19200, 38400, 57600, 115200])
    for bits, parity, stop in itertools.product((5, 6, 7, 8), (0, 1, 2), (0, 1)):
        baud = next(bauds)
        case = f"open {pty.number} {baud} {bits} {parity} {stop}"
        if not check(program.result(case) == 0, f"'{case}' did not open"):
            continue
        state = program.state()
        want_stop = 0 if stop == 0 else (1 if bits == 5 else 2)  # 1.5 stop bits with 5 bits
        want = {"baud": baud, "bits": bits, "parity": parity, "stop": want_stop,
                "binary": 1, "fparity": int(parity != 0), "cts": 0, "dsr": 0, "outx": 0,
                "inx": 0}
        for field, value in want.items():
            check(state.get(field) == str(value),
                  f"'{case}': line setting {field} is {state.get(field)}, expected {value}")
        line = pty.termios()
        speed, two_stops = line["speed"], line["cstopb"]
        check(speed == baud,
              f"'{case}': the port runs at termios speed {speed}, expected {baud} bit/s")
        check(two_stops == (stop == 1),
              f"'{case}': the port has CSTOPB {two_stops}, expected {stop == 1}")
    # Opening again with parity, as a confirmed settings change does, works like the first.
    for line in ("19200 8 2 1", "19200 8 2 1", "115200 8 2 1", "115200 8 1 0", "115200 8 1 0"):
        check(program.result(f"open {pty.number} {line}") == 0, f"reopen with '{line}' failed")
    # 7200 bit/s is on the baud list; a pty cannot show it, the settings must still carry it.
    if check(program.result(f"open {pty.number} 7200 8 0 0") == 0, "7200 bit/s did not open"):
        check(program.state().get("baud") == "7200", "7200 bit/s was not handed to the driver")


def check_data_paths(program, pty):
    check(program.result(f"open {pty.number} 9600 8 0 0") == 0, "port did not open at 9600 8N1")
    sent = bytes([0x00, 0x0D, 0x0A, 0x11, 0x13, 0x7F, 0xFF]) + b"P_NAME?."
    check(program.result(f"write {sent.hex()}") == len(sent), "write did not report its count")
    got = pty.read_exact(len(sent))
    check(got == sent, f"written bytes reached the device as {got.hex()}, not {sent.hex()}")

    incoming = bytes(range(256)) + bytes(range(255, -1, -1))
    pty.write(incoming)
    got, largest = program.read_until(len(incoming), 7)
    check(got == incoming, f"received {len(got)} bytes not equal to the {len(incoming)} sent")
    check(largest <= 7, f"a read with capacity 7 returned {largest} bytes")
    check(program.read(7) == (0, b""), "a read after everything was taken returned bytes")

    # ClearRXBuff: pending bytes go, later ones stay.
    pty.write(b"stale reply bytes")
    check(program.read_until(1, 1)[0] == b"s", "bytes for the clear case did not arrive")
    time.sleep(0.3)
    check(program.result("clear") == 0, "clear did not return 0")
    check(program.read(100)[0] == 0, "bytes received before ClearRXBuff were still readable")
    pty.write(b"fresh")
    got, _ = program.read_until(5, 100)
    check(got == b"fresh", f"bytes after ClearRXBuff came back as {got!r}")
    check_arrival_times(program, pty)
    check_slow_long_code(program, pty)


def check_arrival_times(program, pty):
    """Two readings 350 ms apart, both taken only after the second is in (a program held by
    a slow call): each piece keeps the time it came off the line, so the pause shows."""
    first, second = b"6901234567892\r", b"4006381333931\r"
    pty.write(first)
    time.sleep(0.35)
    pty.write(second)
    time.sleep(0.3)
    count, pieces = program.arrived()
    check(count == len(pieces), f"TakeArrived returned {count} for {len(pieces)} pieces")
    check(b"".join(data for _, data in pieces) == first + second,
          f"pieces taken were {pieces!r}")
    # A piece that starts within the first reading is of the first (the line paused between).
    first_stamps, second_stamps, offset = [], [], 0
    for stamp, data in pieces:
        (first_stamps if offset < len(first) else second_stamps).append(stamp)
        offset += len(data)
    if check(first_stamps and second_stamps, "the two readings did not come as pieces of their own"):
        gap = (second_stamps[0] - first_stamps[-1]) & 0xFFFFFFFF
        check(250 <= gap <= 1000,
              f"the two readings were stamped {gap} ms apart, sent 350 ms apart")
    # ReadData and TakeArrived share one queue: what one took the other does not see.
    pty.write(b"abc")
    check(program.read_until(1, 1)[0] == b"a", "bytes for the shared queue did not arrive")
    time.sleep(0.2)
    count, pieces = program.arrived()
    check(b"".join(data for _, data in pieces) == b"bc",
          f"after a read of one byte TakeArrived gave {pieces!r}")
    check(program.arrived() == (0, []), "pieces taken once came back")
    check(program.read(10) == (0, b""), "bytes taken by TakeArrived were read again")


def check_slow_long_code(program, pty):
    """A scanner that waits 8 ms after each byte never leaves the line quiet for 200 ms: a
    300-byte code at 9600 bit/s, longer than one read, is one reading."""
    code = bytes(b"0123456789"[i % 10] for i in range(300))

    def send():
        for byte in code:
            pty.write(bytes([byte]))
            time.sleep(0.008)

    sender = threading.Thread(target=send, daemon=True)
    sender.start()
    got = program.ask("collect 4500", timeout=30).split()[1:]
    sender.join(timeout=5)
    check(got == ["1", "300"], f"a 300-byte code sent slowly was framed as readings {got}")


def check_open_failures(program, pty, missing):
    check(program.result(f"open {missing} 9600 8 0 0") != 0,
          f"opening missing COM{missing} reported success")
    check(program.result("open 0 9600 8 0 0") != 0, "opening port 0 reported success")
    check(program.result(f"open {pty.number} 9600 8 0 0") == 0, "port did not open")
    for bad in ("9600 9 0 0", "9600 8 3 0", "9600 8 0 2", "0 8 0 0"):
        check(program.result(f"open {pty.number} {bad}") != 0,
              f"open with line settings '{bad}' reported success")
    # The failed open closed the port that was open.
    check(str(pty.number) in program.ask("probe").split()[1:],
          "a failed open left the previously open port held")


def check_two_instances(program, a, b):
    check(program.result(f"open {a.number} 9600 8 0 0") == 0, "first instance did not open")
    check(program.result(f"open2 {a.number} 9600 8 0 0") != 0,
          "second instance opened the port the first one holds")
    check(program.result(f"open2 {b.number} 19200 7 2 1") == 0, "second instance did not open")
    state1, state2 = program.state(), program.state("2")
    check((state1.get("baud"), state2.get("baud")) == ("9600", "19200"),
          "the two instances do not keep their own line settings")

    a.write(b"to-first")
    b.write(b"to-second")
    got1, _ = program.read_until(8, 25)
    got2, _ = program.read_until(9, 25, "2")
    check(got1 == b"to-first", f"first instance read {got1!r}")
    check(got2 == b"to-second", f"second instance read {got2!r}")

    program.result("write 4141")
    program.result("write2 4242")
    check(a.read_exact(2) == b"AA", "first instance's write did not reach its own port")
    check(b.read_exact(2) == b"BB", "second instance's write did not reach its own port")

    probed = program.ask("probe").split()[1:]
    check(str(a.number) not in probed, f"probe listed COM{a.number}, held by the first instance")
    check(str(b.number) not in probed, f"probe listed COM{b.number}, held by the second one")

    program.result("close")
    b.write(b"still")
    got2, _ = program.read_until(5, 25, "2")
    check(got2 == b"still", "closing the first instance disturbed the second")
    check(program.result("close2") == 0, "second instance did not close")



def check_gone_device(program, pty):
    """A device that went away (its adapter pulled out) reads as -1, and ClearRXBuff, which
    every identification calls, does not hold the caller."""
    check(program.result(f"open {pty.number} 9600 8 0 0") == 0, "port did not open")
    pty.close()
    end = time.monotonic() + 5
    while program.read(25)[0] != -1 and time.monotonic() < end:
        time.sleep(0.05)
    check(program.read(25)[0] == -1, "a device that went away still reads as present")
    took = int(program.ask("clear").split()[2])  # measured in the program: Wine's pace aside
    check(took < 500, f"ClearRXBuff on a device that went away took {took} ms")
    program.result("close")

def check_probe(program, free, missing, held_elsewhere):
    probed = program.ask("probe").split()[1:]
    for pty in free:
        check(str(pty.number) in probed, f"probe did not list free COM{pty.number}: {probed}")
    check(str(missing) not in probed, f"probe listed missing COM{missing}")
    check(str(held_elsewhere.number) not in probed,
          f"probe listed COM{held_elsewhere.number}, held open by another process")


def start_burst(exe, pty):
    """A second program opens the burst port at 115200 and the whole burst is written at once
    without a single read: the library must take it all off the line. The program then reads
    it back in pieces of 25 bytes, as the scanner loop does (quickly: the bytes are all
    queued by then, so the pace of the polling proves nothing more)."""
    program = Program(exe, "burst program")
    check(program.result(f"open {pty.number} 115200 8 0 0") == 0,
          "burst port did not open at 115200")
    data = random.Random(7).randbytes(BURST_BYTES)
    writer = threading.Thread(target=pty.write, args=(data,), daemon=True)
    writer.start()
    # On a real line 64 KiB take 5.7 s at 115200 and nothing waits for the reader: the
    # library must take them off the line by then, however slowly the program polls.
    writer.join(timeout=15)
    check(not writer.is_alive(), "the port did not take the burst within 15 s")
    program.send(f"drain 25 1 {BURST_BYTES} 5000")
    return program, data, writer


def finish_burst(program, data, writer):
    parts = program.reply("drain", timeout=600).split()
    writer.join(timeout=5)
    count, largest = int(parts[1]), int(parts[2])
    got = bytes.fromhex(parts[3]) if len(parts) > 3 else b""
    check(count == len(data), f"burst: {count} of {len(data)} bytes came back")
    check(largest <= 25, f"burst: a read with capacity 25 returned {largest} bytes")
    if count == len(data):
        first_bad = next((i for i, (x, y) in enumerate(zip(got, data)) if x != y), None)
        check(first_bad is None, f"burst: bytes differ from offset {first_bad}")


def main():
    if len(sys.argv) != 2:
        print(__doc__)
        return 2
    exe = sys.argv[1]
    ptys, missing = claim_ports(4)
    a, b, c, burst_port = ptys
    programs = []

    def cleanup():
        for program in programs:
            program.close()
        programs.clear()
        for pty in ptys:
            pty.close()

    atexit.register(cleanup)
    signal.signal(signal.SIGTERM, lambda *_: sys.exit(1))
    try:
        burst, data, writer = start_burst(exe, burst_port)
        programs.append(burst)
        program = Program(exe, "serial_probe")
        programs.append(program)
        check_line_settings(program, a)
        check_data_paths(program, a)
        check_open_failures(program, a, missing)
        program.result("close")
        check_probe(program, [a, b, c], missing, burst_port)
        check_two_instances(program, a, b)
        check_gone_device(program, c)
        finish_burst(burst, data, writer)
    except (RuntimeError, OSError, ValueError, IndexError, TimeoutError) as error:
        check(False, f"test stopped: {error}")
    finally:
        cleanup()
    if failures:
        print(f"serial_pty: {len(failures)} check(s) failed")
        return 1
    print("serial_pty: all checks passed")
    return 0


if __name__ == "__main__":
    sys.exit(main())
