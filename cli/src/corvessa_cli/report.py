"""What the tool says: one line on stderr per problem, with what to do; data alone on stdout."""

from __future__ import annotations

import io
import json
import sys
from typing import Any
from urllib.parse import urlsplit

from .safe import redact, safe

EXIT_OK, EXIT_FAILED, EXIT_USAGE, EXIT_UNREACHABLE = 0, 1, 2, 3

EXIT_CODES = """exit status:
  0  the picture was written
  1  the service refused or failed (its code is shown), or the picture could not be kept where asked
  2  bad input or usage, or a missing module; nothing was sent
  3  the service could not be reached"""

HINTS = {
    "INVALID_PARAMS": "the client refused the model or the ratio before sending; see generate --help",
    "SERVICE_BUSY": "the service is busy (sorvanel: HTTP 429) or the call broke on the way; "
    "try again later, or run with -v to see the client's records",
    "SERVICE_TIMEOUT": "no answer within the time-out; try again, or give a longer --timeout",
    "IMAGE_GENERATE_FAIL": "the service answered with an error status (tovarin: 429 too); "
    "check the message, --base-url, --api-key and the options",
    "NO_IMAGE_RESULT": "the service answered without a picture (often a content refusal); change the prompt",
}


def address(url: str) -> str:
    """scheme://host:port of a link: never a user or password, a path or a query in it."""
    parts = urlsplit(url)
    return f"{parts.scheme}://{parts.netloc.rpartition('@')[2]}"


def unreachable(error: BaseException | None, base_url: str) -> str | None:
    """The address that could not be reached, when the call failed for that reason."""
    import requests

    if not isinstance(error, requests.exceptions.ConnectionError):
        return None
    return address(getattr(getattr(error, "request", None), "url", None) or base_url)


def picture_size(data: bytes | None) -> tuple[int | None, int | None]:
    """Width and height of the picture, None where it cannot be read."""
    if not data:
        return None, None
    try:
        from PIL import Image

        with Image.open(io.BytesIO(data)) as image:
            return image.size
    except Exception:
        return None, None


class Console:
    """Writes to stdout and stderr with the secrets redacted and controls escaped."""

    def __init__(self, secrets: list[str], verbosity: int) -> None:
        self.secrets = secrets
        self.verbosity = verbosity

    def error(self, line: object) -> None:
        print(f"corvessa-image: {safe(line, self.secrets)}", file=sys.stderr, flush=True)

    def talk(self, line: object) -> None:
        """A line shown with -v."""
        if self.verbosity >= 1:
            print(safe(line, self.secrets), file=sys.stderr, flush=True)

    def trace(self, error: BaseException) -> None:
        """The traceback, with -vv only."""
        if self.verbosity >= 2:
            import traceback

            text = "".join(traceback.format_exception(error))
            print(safe(text, self.secrets, keep_newlines=True), file=sys.stderr, end="", flush=True)

    def data(self, line: object) -> None:
        print(safe(line, self.secrets), flush=True)

    def note(self, line: str) -> None:
        """A line the user needs to read even without -v."""
        self.error(line)

    def json(self, fields: dict[str, Any]) -> None:
        """One JSON object; texts redacted, and ASCII escapes keep every control character out."""
        clean = {key: redact(value, self.secrets) if isinstance(value, str) else value for key, value in fields.items()}
        print(json.dumps(clean, ensure_ascii=True), flush=True)
