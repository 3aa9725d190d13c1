"""What every simulated device shares: a thread that reads the port and hands each piece of
what the program sent to `_take`, started and stopped with the device (or by `with`).

A device whose thread fails (its port gone, a fault in the simulator) can no longer tell what
the program did: `check()`, `stop()` and the end of a `with` raise SimulatorError then, and
waits on `_cond` wake up at once, so the test fails instead of passing on silence."""

from __future__ import annotations

import threading


class SimulatorError(AssertionError):
    pass


class PortDevice:
    def __init__(self, port, thread_name: str):
        self.port = port
        self._thread_name = thread_name
        self._stop = threading.Event()
        self._thread = None
        self._cond = threading.Condition()
        self.error: BaseException | None = None

    def start(self):
        self._thread = threading.Thread(target=self._run, name=self._thread_name, daemon=True)
        self._thread.start()
        return self

    def check(self):
        if self.error is not None:
            raise SimulatorError(f"{self._thread_name} stopped: {self.error!r}") from self.error

    def stop(self):
        self._stop.set()
        if self._thread:
            self._thread.join(timeout=5)
        self.check()

    def __enter__(self):
        return self.start()

    def __exit__(self, exc_type, *exc):
        self._stop.set()
        if self._thread:
            self._thread.join(timeout=5)
        if exc_type is None:
            self.check()

    def _wait(self, condition, timeout: float) -> bool:
        """Waits on `_cond` until condition() holds; raises as soon as the thread failed."""
        with self._cond:
            held = self._cond.wait_for(lambda: self.error is not None or condition(), timeout)
        self.check()
        return held

    def _run(self):
        try:
            while not self._stop.is_set():
                data = self.port.read(0.05, quiet=0)
                if data:
                    self._take(data)
        except Exception as error:  # noqa: BLE001 - any failure ends what the device can tell
            if not self._stop.is_set():
                with self._cond:
                    self.error = error
                    self._cond.notify_all()

    def _take(self, data: bytes):
        raise NotImplementedError
