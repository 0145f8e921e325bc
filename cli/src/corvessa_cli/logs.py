"""The logger handed to a client: its records on stderr with -v (token redacted, control
characters escaped), and the exception of a failed call kept for the report."""

from __future__ import annotations

import logging
from typing import TextIO

from .safe import safe
from .spinner import Spinner


def _render(message: object, tracebacks: bool) -> str:
    """A client record (a dict) as "msg key=value ...", with tracebacks its traceback on the
    following lines."""
    if not isinstance(message, dict):
        return str(message)
    fields = [str(message.get("msg", ""))]
    fields += [f"{key}={value!r}" for key, value in message.items() if key not in ("msg", "traceback")]
    text = " ".join(fields)
    if tracebacks and message.get("traceback"):
        text += "\n" + str(message["traceback"]).rstrip()
    return text


class RedactingFormatter(logging.Formatter):
    def __init__(self, secrets: list[str], tracebacks: bool) -> None:
        super().__init__("%(asctime)s %(name)s %(levelname)s %(message)s")
        self._secrets = secrets
        self._tracebacks = tracebacks

    def formatMessage(self, record: logging.LogRecord) -> str:
        record.message = (
            _render(record.msg, self._tracebacks)
            if isinstance(record.msg, dict) and not record.args
            else record.getMessage()
        )
        return safe(super().formatMessage(record), self._secrets, keep_newlines=True)

    def formatException(self, ei: object) -> str:
        return safe(super().formatException(ei), self._secrets, keep_newlines=True)  # type: ignore[arg-type]


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


class ErrorCatcher(logging.Handler):
    """Keeps the last exception a client put into a record: the clients answer a failure with a
    code alone, and only the record says whether the service could not be reached."""

    def __init__(self) -> None:
        super().__init__(logging.DEBUG)
        self.error: BaseException | None = None

    def emit(self, record: logging.LogRecord) -> None:
        if isinstance(record.msg, dict) and isinstance(record.msg.get("error"), BaseException):
            self.error = record.msg["error"]


def client_logger(
    name: str, verbosity: int, secrets: list[str], stream: TextIO
) -> tuple[logging.Logger, _SpinnerAwareHandler | None, ErrorCatcher]:
    """The logger handed to a client: debug records on stream from verbosity 1, their tracebacks
    from 2; the last exception recorded is kept in the ErrorCatcher either way."""
    logger = logging.getLogger(f"corvessa_cli.{name}")
    logger.propagate = False
    for old in list(logger.handlers):
        logger.removeHandler(old)
    logger.setLevel(logging.DEBUG)
    catcher = ErrorCatcher()
    logger.addHandler(catcher)
    if verbosity < 1:
        return logger, None, catcher
    handler = _SpinnerAwareHandler(stream)
    handler.setFormatter(RedactingFormatter(secrets, tracebacks=verbosity >= 2))
    logger.addHandler(handler)
    return logger, handler, catcher
