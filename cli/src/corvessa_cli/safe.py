"""Text from a server or a record made printable: secrets redacted, control characters escaped."""

from __future__ import annotations

import functools
import re
from collections.abc import Callable

REDACTED = "[redacted]"
_BEARER = re.compile(r"(Bearer\s+)[^\s'\",}]+", re.IGNORECASE)
# C0 and C1 controls, DEL and lone surrogates: a terminal would act on the first three, and an
# encoder fails on the last.
_UNPRINTABLE = re.compile(r"[\x00-\x1f\x7f-\x9f\ud800-\udfff]")
_WORD = re.compile(r"[\w-]")

# How a token of printable ASCII is written inside a JSON string or a str or bytes repr: only
# the backslash and the quote that delimits the text are escaped, and which quote that is
# depends on the whole text, so both are tried. A record may hold an already escaped text
# (the repr of a JSON body, JSON of a repr), hence the escapes applied one upon another.
_ESCAPES: tuple[Callable[[str], str], ...] = (
    lambda s: s.replace("\\", "\\\\").replace('"', '\\"'),  # JSON, and a repr in double quotes
    lambda s: s.replace("\\", "\\\\").replace("'", "\\'"),  # a repr in single quotes
    lambda s: s.replace("\\", "\\\\"),  # a repr whose quote the token does not hold
    lambda s: s.replace("\\", "\\\\").replace('"', '\\"').replace("/", "\\/"),  # JSON that escapes "/"
)
_ESCAPE_DEPTH = 3


@functools.cache
def _spellings(secret: str) -> tuple[str, ...]:
    """Every form the secret can take in a record or a report, longest first."""
    forms = {secret}
    layer = {secret}
    for _ in range(_ESCAPE_DEPTH):
        layer = {escape(form) for form in layer for escape in _ESCAPES} - forms
        forms |= layer
    return tuple(sorted(forms, key=len, reverse=True))


@functools.cache
def _whole_value(secret: str) -> re.Pattern[str]:
    """The secret in any of its spellings where it stands as a value of its own, not inside a
    longer word: with the key "k", "task_id" stays as it is and "key=k" loses its value."""
    before = r"(?<![\w-])" if _WORD.match(secret[0]) else ""
    after = r"(?![\w-])" if _WORD.match(secret[-1]) else ""
    spellings = "|".join(re.escape(form) for form in _spellings(secret))
    return re.compile(rf"{before}(?:{spellings}){after}")


def redact(text: str, secrets: list[str]) -> str:
    """text with every secret (in every escaped form) and every "Bearer <token>" value replaced."""
    for secret in sorted(filter(None, secrets), key=len, reverse=True):
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
