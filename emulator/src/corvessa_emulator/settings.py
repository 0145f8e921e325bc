"""The emulator's settings: limits that keep one request cheap, and the small-picture mode."""

from __future__ import annotations

import os
from dataclasses import dataclass, replace
from typing import Any

# "1" (or "true", "yes") renders every picture small, for test runs that make many of them.
SMALL_PICTURES_VARIABLE = "CORVESSA_EMULATOR_SMALL_PICTURES"


@dataclass(frozen=True)
class Settings:
    file_limit: int = 256  # pictures kept for link replies
    max_request_bytes: int = 128 * 1024 * 1024  # a larger body is answered 413 unread
    max_head_bytes: int = 64 * 1024  # a larger request head is answered 431
    idle_timeout: float = 30.0  # seconds a connection may wait for its next request
    head_timeout: float = 10.0  # seconds for a whole request head, from its first byte
    body_timeout: float = 120.0  # seconds for a whole request body
    max_connections: int = 128  # open connections; one more is answered 503 and closed
    small_pictures: bool = False  # render at most small_edge pixels on the long edge
    small_edge: int = 64

    @classmethod
    def from_environment(cls, **overrides: Any) -> Settings:
        """Defaults, the small-picture mode from the environment, then the overrides that are not None."""
        small = os.environ.get(SMALL_PICTURES_VARIABLE, "").strip().lower() in ("1", "true", "yes")
        given = {name: value for name, value in overrides.items() if value is not None}
        return replace(cls(small_pictures=small), **given)
