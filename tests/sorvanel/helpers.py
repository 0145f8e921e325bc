"""Helpers of the sorvanel tests: real images, and the pure-Python transcription of the client
loaded as a differential oracle."""

from __future__ import annotations

import importlib.util
import io
import sys
from functools import cache
from pathlib import Path
from types import ModuleType, SimpleNamespace
from typing import Any

from dolvex import ErrorCode
from PIL import Image

ORACLE_PATH = Path(__file__).resolve().parents[1] / "twins" / "sorvanel_py.py"


def image_bytes(fmt: str = "PNG", size: tuple[int, int] = (8, 8),
                colour: tuple[int, int, int] = (200, 30, 60)) -> bytes:
    """A real image in the given Pillow format."""
    out = io.BytesIO()
    Image.new("RGB", size, colour).save(out, format=fmt)
    return out.getvalue()


@cache
def oracle_module() -> ModuleType:
    """The pure-Python client, loaded from its file under a name of its own."""
    spec = importlib.util.spec_from_file_location("sorvanel_py_oracle", ORACLE_PATH)
    assert spec is not None and spec.loader is not None
    module = importlib.util.module_from_spec(spec)
    sys.modules[spec.name] = module
    spec.loader.exec_module(module)
    return module


# ---- fakes installed as module globals ----

class ResultRecorder:
    """Stands in for `ServiceResult`: each result is (constructor name, keyword items in order)."""

    @staticmethod
    def success(*args: Any, **kwargs: Any) -> tuple[str, list[tuple[str, Any]]]:
        assert not args
        return ("success", list(kwargs.items()))

    @staticmethod
    def fail(*args: Any, **kwargs: Any) -> tuple[str, list[tuple[str, Any]]]:
        assert not args
        return ("fail", list(kwargs.items()))


def success(data: Any) -> tuple[str, list[tuple[str, Any]]]:
    return ("success", [("data", data)])


def fail(code: str, **message: Any) -> tuple[str, list[tuple[str, Any]]]:
    """A failure as ResultRecorder reports it; `message` is msg=... or message=... or nothing."""
    return ("fail", [("code", ErrorCode[code]), *message.items()])


class FakeImageTool:
    """`ferrimo.ImageTool`: a link maps to bytes (fetched), None (nothing fetched) or an exception."""

    def __init__(self, links: dict[str, Any] | None = None) -> None:
        self.links = links or {}
        self.fetched: list[Any] = []

    def get_img_url_io(self, *args: Any, **kwargs: Any) -> Any:
        assert len(args) == 1 and not kwargs
        self.fetched.append(args[0])
        outcome = self.links.get(args[0])
        if isinstance(outcome, BaseException):
            raise outcome
        return io.BytesIO(outcome) if outcome is not None else outcome


def fake_ferrimo(links: dict[str, Any] | None = None) -> SimpleNamespace:
    return SimpleNamespace(ImageTool=FakeImageTool(links))


class FakeClock:
    """Stands in for the `time` module: time() walks through the given readings."""

    def __init__(self, *readings: float) -> None:
        self.readings = list(readings)

    def time(self) -> float:
        return self.readings.pop(0)


def ordered(value: Any) -> Any:
    """Dictionaries as lists of (key, value) pairs, recursively, so that == also compares key order."""
    if isinstance(value, dict):
        return [(key, ordered(item)) for key, item in value.items()]
    if isinstance(value, (list, tuple)):
        return type(value)(ordered(item) for item in value)
    return value
