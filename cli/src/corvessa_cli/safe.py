"""Text from a server or a record made printable: secrets redacted, control characters escaped."""

from __future__ import annotations

import re

REDACTED = "[redacted]"
_BEARER = re.compile(r"(Bearer\s+)[^\s'\",}]+", re.IGNORECASE)
# C0 and C1 controls, DEL and lone surrogates: a terminal would act on the first three, and an
# encoder fails on the last.
_UNPRINTABLE = re.compile(r"[\x00-\x1f\x7f-\x9f\ud800-\udfff]")


def _whole_value(secret: str) -> re.Pattern[str]:
    """The secret where it stands as a value of its own, not inside a longer word: with the key
    "k", "task_id" stays as it is and "key=k" loses its value."""
    return re.compile(rf"(?<![\w-]){re.escape(secret)}(?![\w-])")


def redact(text: str, secrets: list[str]) -> str:
    """text with every secret and every "Bearer <token>" value replaced."""
    for secret in secrets:
        if secret:
            text = _whole_value(secret).sub(REDACTED, text)
    return _BEARER.sub(rf"\g<1>{REDACTED}", text)


def _escape(match: re.Match[str]) -> str:
    code = ord(match[0])
    return f"\\x{code:02x}" if code < 0x100 else f"\\u{code:04x}"


def printable(text: str, keep_newlines: bool = False) -> str:
    """text with control characters and lone surrogates written as escapes."""
    if keep_newlines:
        return "\n".join(_UNPRINTABLE.sub(_escape, line) for line in text.split("\n"))
    return _UNPRINTABLE.sub(_escape, text)


def safe(text: object, secrets: list[str], keep_newlines: bool = False) -> str:
    """The text form of a value, fit to print: redacted, then escaped."""
    return printable(redact(str(text), secrets), keep_newlines)
