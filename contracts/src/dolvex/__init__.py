"""Result record and error codes shared by the image-generation clients.

A `ServiceResult` is either a success carrying `data` (image bytes, or in one case the text of
an image URL) or a failure carrying an `ErrorCode` and an optional message:

- success: ``code is None``, ``msg is None``, ``ok is True``;
- failure: ``code`` is an `ErrorCode`, ``msg`` is the message or None, ``data is None``,
  ``ok is False``.

Results are immutable and compare by value.
"""

import enum
import reprlib
from dataclasses import dataclass
from typing import Any, Final, Self

__all__ = ["ErrorCode", "ServiceResult"]


class ErrorCode(enum.StrEnum):
    """Why a request failed; the value is the member's name, so it serialises as plain text."""

    INVALID_PARAMS = "INVALID_PARAMS"
    SERVICE_BUSY = "SERVICE_BUSY"
    SERVICE_TIMEOUT = "SERVICE_TIMEOUT"
    IMAGE_GENERATE_FAIL = "IMAGE_GENERATE_FAIL"
    NO_IMAGE_RESULT = "NO_IMAGE_RESULT"


class _Unset:
    """Marks a keyword the caller did not give, so that an explicit None still counts as given."""

    def __repr__(self) -> str:
        return "<unset>"


_UNSET: Final = _Unset()

# Short enough that a result holding a data URL or a long service message stays one line.
_SHORT = reprlib.Repr(maxstring=80, maxother=80, maxlist=6, maxdict=6, maxlevel=2)


def _brief(value: object) -> str:
    """A bounded repr: bytes-like values show only their type and length, never their content."""
    if isinstance(value, (bytes, bytearray)):
        return f"<{type(value).__name__} len={len(value)}>"
    if isinstance(value, memoryview):
        return f"<memoryview nbytes={value.nbytes}>"
    return _SHORT.repr(value)


@dataclass(frozen=True, slots=True, repr=False)
class ServiceResult:
    """Outcome of one request. Build it with `success` or `fail`, not with the constructor."""

    code: ErrorCode | None = None
    msg: Any = None
    data: Any = None

    @property
    def ok(self) -> bool:
        """True for a success, i.e. when no error code is set."""
        return self.code is None

    @property
    def message(self) -> Any:
        """The failure message; the same field as `msg`."""
        return self.msg

    @classmethod
    def success(cls, data: Any) -> Self:
        """A successful result carrying `data`."""
        return cls(code=None, msg=None, data=data)

    @classmethod
    def fail(cls, code: ErrorCode, msg: Any = _UNSET, message: Any = _UNSET) -> Self:
        """A failed result with `code` and an optional message.

        `msg` and `message` are two spellings of the same field; giving both is a TypeError.
        The message is stored as given: services put any JSON value in their error text.
        """
        if not isinstance(code, ErrorCode):
            # A failure without a real code would read as a success (ok is True).
            raise TypeError(f"fail() needs an ErrorCode as code, got {type(code).__name__}")
        if msg is not _UNSET and message is not _UNSET:
            raise TypeError("fail() takes either msg or message, not both")
        text = msg if msg is not _UNSET else message
        return cls(code=code, msg=None if text is _UNSET else text, data=None)

    def __repr__(self) -> str:
        if self.code is None:
            return f"ServiceResult(ok=True, data={_brief(self.data)})"
        return f"ServiceResult(ok=False, code=ErrorCode.{self.code.name}, msg={_brief(self.msg)})"
