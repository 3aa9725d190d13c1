"""The device protocol bytes of tests/protocol_vectors.txt, the one table the simulators and the
native tests share: `vector(name)`, and `VECTORS` (name to bytes)."""

from __future__ import annotations

import re
from pathlib import Path

FILE = Path(__file__).resolve().parents[2] / "protocol_vectors.txt"


def _parse(value: str) -> bytes:
    return b"".join(text.encode("ascii") if text or not pair else bytes.fromhex(pair)
                    for text, pair in re.findall(r'"([^"]*)"|([0-9A-Fa-f]{2})', value))


VECTORS = {name: _parse(value)
           for name, _, value in (line.partition(" = ")
                                  for line in FILE.read_text(encoding="utf-8").splitlines()
                                  if line and not line.startswith("#") and " = " in line)}


def vector(name: str) -> bytes:
    return VECTORS[name]
