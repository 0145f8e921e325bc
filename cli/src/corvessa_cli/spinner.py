"""A one-line progress indicator on stderr, drawn by a thread while the request runs."""

from __future__ import annotations

import threading
import time
from types import TracebackType
from typing import TextIO

_FRAMES = "|/-\\"
_INTERVAL = 0.1


class Spinner:
    """Draws "<frame> <label> <seconds>s" on a terminal; does nothing elsewhere.

    `lock` serialises drawing with other writers of the same stream (the log handler), which
    call `clear()` before they write a line of their own.
    """

    def __init__(self, stream: TextIO, label: str) -> None:
        self.lock = threading.Lock()
        self._stream = stream
        self._label = label
        self._active = stream.isatty()
        self._done = threading.Event()
        self._thread = threading.Thread(target=self._run, name="corvessa-spinner", daemon=True)
        self._start = time.monotonic()

    def __enter__(self) -> Spinner:
        if self._active:
            self._draw(0)
            self._thread.start()
        return self

    def __exit__(
        self, exc_type: type[BaseException] | None, exc: BaseException | None, tb: TracebackType | None
    ) -> None:
        if self._active:
            self._done.set()
            self._thread.join()
            with self.lock:
                self.clear()

    def clear(self) -> None:
        """Erase the spinner line (call with `lock` held)."""
        if self._active:
            self._stream.write("\r\x1b[K")
            self._stream.flush()

    def _draw(self, tick: int) -> None:
        with self.lock:
            elapsed = time.monotonic() - self._start
            self._stream.write(f"\r\x1b[K{_FRAMES[tick % len(_FRAMES)]} {self._label} {elapsed:.1f}s")
            self._stream.flush()

    def _run(self) -> None:
        tick = 1
        while not self._done.wait(_INTERVAL):
            self._draw(tick)
            tick += 1
