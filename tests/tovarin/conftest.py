"""Fixtures for the native `corvessa.image.tovarin` module: a client with a recording logger,
and fakes installed in place of the module's globals `http_client`, `GPTImageSizeCalculator`
and `ferrimo`. The shared doubles (`RecordingLogger`, `RecordingHttpClient`, `FakeResponse`,
the loopback server) come from tests/conftest.py.
"""

from __future__ import annotations

import io
import json
import subprocess
import sys
import textwrap
import types
from dataclasses import dataclass
from typing import Any

import pytest
from PIL import Image

import corvessa.image.tovarin as tovarin

TAG = "GPT-IMAGE-2"


def png_bytes(size: tuple[int, int] = (8, 8), colour: tuple[int, int, int] = (200, 30, 60)) -> bytes:
    """A real PNG image made with Pillow."""
    out = io.BytesIO()
    Image.new("RGB", size, colour).save(out, format="PNG")
    return out.getvalue()


def run_python(code: str) -> list[str]:
    """Run `code` in a fresh interpreter (module statics start unset); its stdout lines.

    A non-zero exit fails the test with the child's stderr.
    """
    done = subprocess.run([sys.executable, "-c", textwrap.dedent(code)], capture_output=True,
                          text=True, timeout=120)
    assert done.returncode == 0, done.stderr
    return done.stdout.splitlines()


@dataclass
class Served:
    """A reply of the shared loopback server; it reads these four fields of what a route returns."""

    status: int = 200
    body: bytes = b""
    content_type: str = "application/json"
    delay: float = 0.0

    @classmethod
    def json(cls, value: Any, status: int = 200) -> Served:
        return cls(status, json.dumps(value).encode())


class SizeCalculator:
    """Stands in for `GPTImageSizeCalculator`: records each `calc_size` call, answers `result`."""

    calls: list[tuple[tuple[Any, ...], dict[str, Any]]]
    result: Any

    @classmethod
    def calc_size(cls, *args: Any, **kwargs: Any) -> Any:
        cls.calls.append((args, kwargs))
        if isinstance(cls.result, BaseException):
            raise cls.result
        return cls.result


class ImageTool:
    """Stands in for `ferrimo.ImageTool`: answers each link from `replies` (a value, or an
    exception to raise) and records the links asked for."""

    def __init__(self) -> None:
        self.replies: dict[str, Any] = {}
        self.calls: list[tuple[tuple[Any, ...], dict[str, Any]]] = []

    def get_img_url_io(self, *args: Any, **kwargs: Any) -> Any:
        self.calls.append((args, kwargs))
        reply = self.replies.get(args[0]) if args else None
        if isinstance(reply, BaseException):
            raise reply
        return reply

    def serve(self, url: str, image: bytes | None) -> None:
        """Answer `url` with a file-like object holding `image`; None answers a falsy value."""
        self.replies[url] = io.BytesIO(image) if image is not None else None


@pytest.fixture(autouse=True)
def http_fake(monkeypatch: pytest.MonkeyPatch, recording_http_client: Any) -> Any:
    """The recording HTTP client, installed as the module global `http_client` for every test,
    so that no call leaves the process unless a test puts the real client back."""
    monkeypatch.setattr(tovarin, "http_client", recording_http_client)
    return recording_http_client


@pytest.fixture
def size_calculator(monkeypatch: pytest.MonkeyPatch) -> type[SizeCalculator]:
    """A recording size calculator installed as the module global `GPTImageSizeCalculator`."""
    calculator = type("GPTImageSizeCalculator", (SizeCalculator,),
                      {"calls": [], "result": {"width": 1024, "height": 1536}})
    monkeypatch.setattr(tovarin, "GPTImageSizeCalculator", calculator)
    return calculator


@pytest.fixture
def image_tool(monkeypatch: pytest.MonkeyPatch) -> ImageTool:
    """A fake `ferrimo` module global whose `ImageTool` answers from a table."""
    tool = ImageTool()
    monkeypatch.setattr(tovarin, "ferrimo", types.SimpleNamespace(ImageTool=tool))
    return tool


@pytest.fixture
def client(recording_logger: Any) -> tovarin.TovarinClient:
    return tovarin.TovarinClient("http://images.test", "tok-1", logger=recording_logger)
