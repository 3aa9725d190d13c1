"""Symbol scanner simulator speaking SSI (Simple Serial Interface) in packet mode.

Works on any port object with `read(timeout, quiet)` and `write(bytes)` (harness.PtyPort).
Runs in its own thread: it acknowledges the host's commands, answers revision requests,
keeps the parameters it is sent, and checks every host packet as a scanner does: a bad
checksum or a source other than the host's is NAKed and recorded in `host_faults`, which
fails the test when the device stops. WAKEUP bytes (0x00) before a command are accepted; the
host may acknowledge a revision reply or not. `nak_commands` NAKs that many host commands (the
host must resend them with the retransmit bit). The test side sends readings with `scan`,
which waits for the host's ACK of every packet and resends on NAK.

Like a real scanner it starts with decode data sent as raw bytes (parameter 0xEE = 0x00, the
factory default); once the host sets 0xEE to 0x01, readings go out as DECODE_DATA packets.

    with PtyPort(5) as port, SsiScanner(port) as scanner:
        ...                                   # the program connects and sends SetParam
        scanner.wait_for(lambda: scanner.packeted)
        scanner.scan(b"12345")                # one DECODE_DATA packet, Code 128
        scanner.scan(b"x" * 600)              # three packets, the first two "continued"
        scanner.scan(b"67890", corrupt_first=True)   # bad checksum, resent after the NAK
    SsiScanner(port, answer_revision=False)   # never answers a revision request
    SsiScanner(port, silent=True)             # answers nothing at all
"""

from __future__ import annotations

import threading
from dataclasses import dataclass

try:
    from .device import PortDevice, SimulatorError
except ImportError:  # run as a script from this folder
    from device import PortDevice, SimulatorError

CMD_ACK = 0xD0
CMD_NAK = 0xD1
DECODE_DATA = 0xF3
REQUEST_REVISION = 0xA3
REPLY_REVISION = 0xA4
PARAM_SEND = 0xC6
SCAN_ENABLE = 0xE9
SCAN_DISABLE = 0xEA

SOURCE_DECODER = 0x00
SOURCE_HOST = 0x04

STATUS_RETRANSMIT = 0x01
STATUS_CONTINUATION = 0x02
STATUS_PERMANENT = 0x08

NAK_RESEND = 1
NAK_BAD_CONTEXT = 2

PARAM_DECODE_FORMAT = 0xEE
CODE_128 = 0x03

# Data bytes one packet can carry (the length byte also counts the four header bytes).
MAX_DATA = 0xFF - 4

# A DS6607's revision reply: software revision, board type, engine id, checksum.
DS6607_REVISION = b"NBRPYAAC 6 DS6607 0"


def checksum(data: bytes) -> int:
    """Two's complement of the 16-bit byte sum."""
    return (0x10000 - (sum(data) & 0xFFFF)) & 0xFFFF


def make_packet(opcode: int, source: int, status: int, data: bytes = b"") -> bytes:
    body = bytes([len(data) + 4, opcode, source, status]) + bytes(data)
    return body + checksum(body).to_bytes(2, "big")


@dataclass
class Packet:
    opcode: int
    source: int
    status: int
    data: bytes

    @property
    def retransmit(self) -> bool:
        return bool(self.status & STATUS_RETRANSMIT)


class SsiScanner(PortDevice):
    """A Symbol scanner on a port.

    revision: the text of REPLY_REVISION.
    answer_revision: False leaves revision requests unanswered (the host then resends).
    silent: answers nothing, not even ACKs.
    packeted: start with decode data already packeted (parameter 0xEE = 0x01).
    """

    def __init__(self, port, revision: bytes = DS6607_REVISION, answer_revision: bool = True,
                 silent: bool = False, packeted: bool = False):
        super().__init__(port, "ssi-scanner")
        self.revision = revision
        self.answer_revision = answer_revision
        self.silent = silent
        self.params: dict[int, int] = {PARAM_DECODE_FORMAT: 0x01 if packeted else 0x00}
        self.packets: list[Packet] = []  # every valid packet from the host, in order
        self.wakeups = 0                  # single 0x00 wakeup bytes
        self.host_faults: list[str] = []  # what the host sent that no scanner accepts
        self.naks_received = 0
        self.nak_commands = 0
        self._rx = b""
        self._answers: list[Packet] = []  # ACK/NAK from the host, for scan()
        self._write_lock = threading.Lock()

    @property
    def packeted(self) -> bool:
        return self.params.get(PARAM_DECODE_FORMAT) == 0x01

    # -- thread

    def _take(self, data: bytes):
        with self._cond:
            self._rx += data
            while self._rx:
                length = self._rx[0]
                if length < 4:
                    # Not a packet start: a wakeup byte, or noise.
                    if self._rx[0] == 0:
                        self.wakeups += 1
                    else:
                        self.host_faults.append(f"stray byte {self._rx[0]:#04x}")
                    self._rx = self._rx[1:]
                    continue
                if len(self._rx) < length + 2:
                    break
                body, check = self._rx[:length], self._rx[length:length + 2]
                if int.from_bytes(check, "big") != checksum(body):
                    self.host_faults.append(f"bad checksum: {(body + check).hex(' ')}")
                    self._rx = self._rx[1:]
                    if not self.silent:
                        self._send(CMD_NAK, 0, bytes([NAK_RESEND]))
                    continue
                self._rx = self._rx[length + 2:]
                if body[2] != SOURCE_HOST:
                    self.host_faults.append(f"source {body[2]:#04x}: {(body + check).hex(' ')}")
                    if not self.silent:
                        self._send(CMD_NAK, 0, bytes([NAK_BAD_CONTEXT]))
                    continue
                self._handle(Packet(body[1], body[2], body[3], bytes(body[4:])))
            self._cond.notify_all()

    def _handle(self, packet: Packet):
        self.packets.append(packet)
        if packet.opcode in (CMD_ACK, CMD_NAK):
            self.naks_received += packet.opcode == CMD_NAK
            self._answers.append(packet)
            return
        if self.silent:
            return
        if self.nak_commands > 0:
            self.nak_commands -= 1
            self._send(CMD_NAK, 0, bytes([NAK_RESEND]))
            return
        if packet.opcode == REQUEST_REVISION:
            if self.answer_revision:
                self._send(REPLY_REVISION, 0, self.revision)
        elif packet.opcode == PARAM_SEND:
            self._apply_params(packet.data[1:])  # the first byte is the beep code
            self._send(CMD_ACK)
        elif packet.opcode in (SCAN_ENABLE, SCAN_DISABLE):
            self._send(CMD_ACK)
        else:
            self._send(CMD_NAK, 0, bytes([NAK_BAD_CONTEXT]))

    def _apply_params(self, pairs: bytes):
        i = 0
        while i + 1 < len(pairs):
            number = pairs[i]
            if number in (0xF0, 0xF1, 0xF2) and i + 2 < len(pairs):
                number = (number - 0xF0 + 1) * 256 + pairs[i + 1]
                i += 1
            self.params[number] = pairs[i + 1]
            i += 2

    def _send(self, opcode: int, status: int = 0, data: bytes = b""):
        self._write(make_packet(opcode, SOURCE_DECODER, status, data))

    def _write(self, data: bytes):
        with self._write_lock:
            self.port.write(data)

    # -- test side

    def check(self):
        super().check()
        if self.host_faults:
            raise SimulatorError(f"the host sent what no scanner accepts: {self.host_faults[:3]}")

    def wait_for(self, condition, timeout: float = 10.0) -> bool:
        """Waits until condition() holds (checked whenever the host sent something)."""
        return self._wait(condition, timeout)

    def host_packets(self, opcode: int) -> list[Packet]:
        with self._cond:
            return [p for p in self.packets if p.opcode == opcode]

    def scan(self, data: bytes | str, symbology: int = CODE_128, packet_size: int = MAX_DATA - 1,
             corrupt_first: bool = False, ack_timeout: float = 2.5):
        """Sends one reading. Packeted: split into DECODE_DATA packets of at most packet_size
        data bytes, each waiting for the host's ACK and resent (retransmit bit set) after a NAK
        or silence, at most twice. corrupt_first spoils the first packet's checksum once.
        Raw (decode format 0x00): the bytes as they are. Raises TimeoutError when a packet is
        never acknowledged."""
        if isinstance(data, str):
            data = data.encode("gbk")
        if not self.packeted:
            self._write(data)
            return
        size = max(1, min(packet_size, MAX_DATA - 1))
        parts = [data[i:i + size] for i in range(0, len(data), size)] or [b""]
        for index, part in enumerate(parts):
            status = STATUS_CONTINUATION if index < len(parts) - 1 else 0
            for attempt in range(3):
                if attempt:
                    status |= STATUS_RETRANSMIT
                packet = make_packet(DECODE_DATA, SOURCE_DECODER, status,
                                     bytes([symbology]) + part)
                if corrupt_first and index == 0 and attempt == 0:
                    packet = packet[:-1] + bytes([packet[-1] ^ 0x5A])
                with self._cond:
                    self._answers.clear()
                self._write(packet)
                with self._cond:
                    self._cond.wait_for(lambda: self._answers, ack_timeout)
                    answer = self._answers[0] if self._answers else None
                if answer is not None and answer.opcode == CMD_ACK:
                    break
            else:
                raise TimeoutError(f"packet {index + 1} of {len(parts)} never acknowledged")
