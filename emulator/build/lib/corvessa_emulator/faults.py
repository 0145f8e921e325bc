"""Fault tokens: per-request scenarios chosen by markers inside the prompt.

The clients under test cannot set custom headers, so a test steers the emulator by writing
tokens such as ``[[fault:429]]`` into its prompt. Only the names listed in ``_TOKEN`` are
tokens; any other ``[[...]]`` text is ordinary prompt text.
"""

from __future__ import annotations

import re
from dataclasses import dataclass

from .errors import ApiError

MAX_DELAY_SECONDS = 30.0
MAX_BIG_MIB = 64

_TOKEN = re.compile(r"\[\[(fault|delay|drip|big|file)(?::([^\]]*))?\]\]")
_STATUS_FAULT = re.compile(r"([45]\d\d)(:html)?")
_FLAG_FAULTS = {"not-json", "truncated", "disconnect", "safety", "broken-link"}


@dataclass
class Faults:
    """What to do to one reply; the default is a plain, healthy reply."""

    status: int | None = None  # reply with this error status instead of an image
    html_error: bool = False  # ... and with an HTML body instead of the API's JSON error
    not_json: bool = False  # 200 whose body is not JSON
    truncated: bool = False  # 200 whose JSON is cut off (Content-Length matches the cut)
    disconnect: bool = False  # connection closed half way through the body
    safety: bool = False  # content refusal
    broken_link: bool = False  # link reply whose link answers 404
    file_reply: bool = False  # link reply (Gemini fileData, images API url)
    delay: float = 0.0  # seconds to wait before answering
    drip: float = 0.0  # seconds over which the body is sent in small pieces
    big_mib: int = 0  # MiB of padding added to each PNG

    @property
    def link_reply(self) -> bool:
        return self.file_reply or self.broken_link


def _seconds(name: str, arg: str) -> float:
    try:
        value = float(arg)
    except ValueError:
        raise ApiError(400, f"emulator token [[{name}:{arg}]]: expected seconds") from None
    if not 0 <= value <= MAX_DELAY_SECONDS:
        raise ApiError(400, f"emulator token [[{name}:{arg}]]: seconds must lie in 0..{MAX_DELAY_SECONDS:g}")
    return value


def _apply_fault(faults: Faults, arg: str) -> None:
    status = _STATUS_FAULT.fullmatch(arg)
    if status:
        faults.status = int(status.group(1))
        faults.html_error = status.group(2) is not None
    elif arg in _FLAG_FAULTS:
        setattr(faults, arg.replace("-", "_"), True)
    else:
        raise ApiError(400, f"emulator token [[fault:{arg}]] is unknown")


def _apply_big(faults: Faults, arg: str) -> None:
    if not arg.isdigit() or not 1 <= int(arg) <= MAX_BIG_MIB:
        raise ApiError(400, f"emulator token [[big:{arg}]]: MiB must be an integer in 1..{MAX_BIG_MIB}")
    faults.big_mib = int(arg)


def parse_faults(prompt: str) -> Faults:
    """Collect every token of the prompt; a malformed known token is a 400."""
    faults = Faults()
    for match in _TOKEN.finditer(prompt):
        name, arg = match.group(1), match.group(2)
        if name == "file":
            faults.file_reply = True
        elif arg is None:
            raise ApiError(400, f"emulator token [[{name}]] needs an argument")
        elif name == "fault":
            _apply_fault(faults, arg)
        elif name == "delay":
            faults.delay = _seconds(name, arg)
        elif name == "drip":
            faults.drip = _seconds(name, arg)
        else:
            _apply_big(faults, arg)
    return faults


def strip_tokens(prompt: str) -> str:
    """The prompt without its tokens, for the caption drawn into the picture."""
    return " ".join(_TOKEN.sub(" ", prompt).split())
