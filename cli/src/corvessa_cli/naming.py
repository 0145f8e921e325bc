"""Names of pictures kept without --out: words of the prompt, a timestamp and the right extension."""

from __future__ import annotations

import os
import re
import time

_SIGNATURES = ((b"\x89PNG\r\n\x1a\n", ".png"), (b"\xff\xd8\xff", ".jpg"), (b"GIF8", ".gif"))
_WORD = re.compile(r"[a-z0-9]+")
_STEM_LENGTH = 40


def extension(data: bytes) -> str:
    """The file extension for picture bytes, by their leading bytes (.png when unknown)."""
    for signature, suffix in _SIGNATURES:
        if data.startswith(signature):
            return suffix
    if data[:4] == b"RIFF" and data[8:12] == b"WEBP":
        return ".webp"
    return ".png"


def _timestamp() -> str:
    # SOURCE_DATE_EPOCH, the reproducible-builds convention, fixes the time a name shows.
    fixed = os.environ.get("SOURCE_DATE_EPOCH", "")
    seconds = int(fixed) if fixed.isdigit() else time.time()
    return time.strftime("%Y%m%d-%H%M%S", time.localtime(seconds))


def picture_name(prompt: str, data: bytes, attempt: int) -> str:
    """"a-red-fox-20261207-190502.png" for the prompt "A red fox!"; "-2", "-3" follow on
    later attempts, when the first names are taken."""
    stem = "-".join(_WORD.findall(prompt.lower()))[:_STEM_LENGTH].strip("-") or "picture"
    suffix = f"-{attempt}" if attempt > 1 else ""
    return f"{stem}-{_timestamp()}{suffix}{extension(data)}"
