"""What every simulated device shares: a thread that reads the port and hands each piece of
what the program sent to `_take`, started and stopped with the device (or by `with`)."""

from __future__ import annotations

import threading
import time


class PortDevice:
    # A Symbol scanner waits for its next opener when nobody holds the port's other side;
    # the others stop reading then.
    keep_reading_on_error = False

    def __init__(self, port, thread_name: str):
        self.port = port
        self._thread_name = thread_name
        self._stop = threading.Event()
        self._thread = None

    def start(self):
        self._thread = threading.Thread(target=self._run, name=self._thread_name, daemon=True)
        self._thread.start()
        return self

    def stop(self):
        self._stop.set()
        if self._thread:
            self._thread.join(timeout=5)

    def __enter__(self):
        return self.start()

    def __exit__(self, *exc):
        self.stop()

    def _run(self):
        while not self._stop.is_set():
            try:
                data = self.port.read(0.05, quiet=0)
            except OSError:
                if not self.keep_reading_on_error:
                    return
                time.sleep(0.05)
                continue
            if data:
                self._take(data)

    def _take(self, data: bytes):
        raise NotImplementedError
