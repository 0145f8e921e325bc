"""In-memory store of the pictures that link replies point at, and the links themselves."""

from __future__ import annotations

import secrets
import threading
from collections import OrderedDict
from dataclasses import dataclass

# File extension by media type; the name's extension tells the type back when it is served.
EXTENSIONS = {"image/png": "png", "image/jpeg": "jpeg", "image/webp": "webp"}
MEDIA_TYPES = {extension: media_type for media_type, extension in EXTENSIONS.items()}


class FileStore:
    """Keeps the last `limit` pictures; older ones answer 404 like expired links."""

    def __init__(self, limit: int = 256) -> None:
        self._limit = limit
        self._files: OrderedDict[str, bytes] = OrderedDict()
        self._lock = threading.Lock()

    def put(self, data: bytes, media_type: str = "image/png") -> str:
        """Store data and return its name, e.g. "3f9a...c1.png"."""
        name = f"{secrets.token_hex(12)}.{EXTENSIONS[media_type]}"
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


@dataclass(frozen=True)
class Links:
    """Links to stored pictures under the server's own address (never a client's Host header)."""

    store: FileStore
    base_url: str  # "http://127.0.0.1:<port>"

    def publish(self, data: bytes, media_type: str = "image/png") -> str:
        return f"{self.base_url}/files/{self.store.put(data, media_type)}"

    def missing(self) -> str:
        """A link that answers 404, for the broken-link fault."""
        return f"{self.base_url}/files/missing-{secrets.token_hex(8)}.png"

    def name_of(self, url: str) -> str | None:
        """The stored name a link of this server points at, or None for any other link."""
        prefix = f"{self.base_url}/files/"
        return url[len(prefix) :] if url.startswith(prefix) else None
