"""Debug output for -v: the clients' records on stderr, with the bearer token redacted."""

from __future__ import annotations

import logging
import re
from typing import TextIO

from .spinner import Spinner

REDACTED = "[redacted]"
_BEARER = re.compile(r"(Bearer\s+)[^\s'\",}]+", re.IGNORECASE)


def redact(text: str, secrets: list[str]) -> str:
    """text with every secret and every "Bearer <token>" value replaced."""
    for secret in secrets:
        if secret:
            text = text.replace(secret, REDACTED)
    return _BEARER.sub(rf"\g<1>{REDACTED}", text)


def _render(message: object) -> str:
    """A client record (a dict) as "msg key=value ...", its traceback on the following lines."""
    if not isinstance(message, dict):
        return str(message)
    fields = [str(message.get("msg", ""))]
    fields += [f"{key}={value!r}" for key, value in message.items() if key not in ("msg", "traceback")]
    text = " ".join(fields)
    if message.get("traceback"):
        text += "\n" + str(message["traceback"]).rstrip()
    return text


class RedactingFormatter(logging.Formatter):
    def __init__(self, secrets: list[str]) -> None:
        super().__init__("%(asctime)s %(name)s %(levelname)s %(message)s")
        self._secrets = secrets

    def formatMessage(self, record: logging.LogRecord) -> str:
        record.message = _render(record.msg) if isinstance(record.msg, dict) and not record.args else record.getMessage()
        return redact(super().formatMessage(record), self._secrets)

    def formatException(self, ei: object) -> str:
        return redact(super().formatException(ei), self._secrets)  # type: ignore[arg-type]


class _SpinnerAwareHandler(logging.StreamHandler[TextIO]):
    """Clears the spinner line before writing, so records and progress do not mix."""

    def __init__(self, stream: TextIO) -> None:
        super().__init__(stream)
        self.spinner: Spinner | None = None

    def emit(self, record: logging.LogRecord) -> None:
        if self.spinner is None:
            super().emit(record)
            return
        with self.spinner.lock:
            self.spinner.clear()
            super().emit(record)


def client_logger(name: str, verbose: bool, secrets: list[str], stream: TextIO) -> tuple[logging.Logger, _SpinnerAwareHandler | None]:
    """The logger handed to a client: debug records on stream when verbose, silent otherwise."""
    logger = logging.getLogger(f"corvessa_cli.{name}")
    logger.propagate = False
    for old in list(logger.handlers):
        logger.removeHandler(old)
    if not verbose:
        logger.setLevel(logging.WARNING)
        logger.addHandler(logging.NullHandler())
        return logger, None
    handler = _SpinnerAwareHandler(stream)
    handler.setFormatter(RedactingFormatter(secrets))
    logger.setLevel(logging.DEBUG)
    logger.addHandler(handler)
    return logger, handler
