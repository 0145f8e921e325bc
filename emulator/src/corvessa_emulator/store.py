"""In-memory store of the pictures that link replies point at."""

from __future__ import annotations

import secrets
import threading
from collections import OrderedDict


class FileStore:
    """Keeps the last `limit` pictures; older ones answer 404 like expired links."""

    def __init__(self, limit: int = 256) -> None:
        self._limit = limit
        self._files: OrderedDict[str, bytes] = OrderedDict()
        self._lock = threading.Lock()

    def put(self, data: bytes) -> str:
        """Store data and return its name, e.g. "3f9a...c1.png"."""
        name = secrets.token_hex(12) + ".png"
        with self._lock:
            self._files[name] = data
            while len(self._files) > self._limit:
                self._files.popitem(last=False)
        return name

    def get(self, name: str) -> bytes | None:
        with self._lock:
            return self._files.get(name)

    def __len__(self) -> int:
        with self._lock:
            return len(self._files)
