"""The one exception that request handlers raise to answer with an API error."""

from __future__ import annotations


class ApiError(Exception):
    """An error reply; each API renders it in its own error-body shape."""

    def __init__(self, status: int, message: str, *, param: str | None = None, code: str | None = None) -> None:
        super().__init__(message)
        self.status = status
        self.message = message
        self.param = param
        self.code = code


_FAULT_MESSAGES = {
    429: "Resource has been exhausted (e.g. check quota).",
    500: "An internal error has occurred. Please retry.",
    503: "The model is overloaded. Please try again later.",
}


def fault_message(status: int) -> str:
    """The message of an error reply that a fault token asked for."""
    return _FAULT_MESSAGES.get(status, f"Emulated failure with status {status}.")
