"""Names of pictures kept without --out: words of the prompt, a timestamp and the right extension."""

from __future__ import annotations

import os
import re
import time

_SIGNATURES = ((b"\x89PNG\r\n\x1a\n", ".png"), (b"\xff\xd8\xff", ".jpg"), (b"GIF8", ".gif"))
_WORD = re.compile(r"[a-z0-9]+")
_DIGITS = re.compile(r"[0-9]+")
_STEM_LENGTH = 40


def extension(data: bytes) -> str:
    """The file extension for picture bytes, by their leading bytes (.png when unknown)."""
    for signature, suffix in _SIGNATURES:
        if data.startswith(signature):
            return suffix
    if data[:4] == b"RIFF" and data[8:12] == b"WEBP":
        return ".webp"
    return ".png"


def _shown(seconds: float) -> str:
    return time.strftime("%Y%m%d-%H%M%S", time.localtime(seconds))


def fixed_seconds() -> int | None:
    """SOURCE_DATE_EPOCH, the reproducible-builds convention that fixes the time a name shows;
    None when it is not set, ValueError when it is not a time this system can show."""
    fixed = os.environ.get("SOURCE_DATE_EPOCH", "")
    if not fixed:
        return None
    if not _DIGITS.fullmatch(fixed):  # str.isdigit() also takes "²" and other digits int() refuses
        raise ValueError("not a whole number of seconds since 1970 in the digits 0-9")
    try:
        seconds = int(fixed)
        _shown(seconds)
    except (ValueError, OverflowError, OSError):
        raise ValueError("too late a time for this system to show") from None
    return seconds


def _timestamp() -> str:
    fixed = fixed_seconds()
    return _shown(time.time() if fixed is None else fixed)


def picture_name(prompt: str, data: bytes, attempt: int) -> str:
    """ "a-red-fox-20261207-190502.png" for the prompt "A red fox!"; "-2", "-3" follow on
    later attempts, when the first names are taken."""
    stem = "-".join(_WORD.findall(prompt.lower()))[:_STEM_LENGTH].strip("-") or "picture"
    suffix = f"-{attempt}" if attempt > 1 else ""
    return f"{stem}-{_timestamp()}{suffix}{extension(data)}"
