"""Fixtures for the native `corvessa.image.tovarin` module: a client with a recording logger,
and doubles installed in place of the module's globals `http_client`, `GPTImageSizeCalculator`
and `ferrimo` (the shared ones come from tests/doubles.py)."""

from __future__ import annotations

from typing import Any

import corvessa.image.tovarin as tovarin
import pytest

from doubles import FakeImageTool, fake_ferrimo

TAG = "GPT-IMAGE-2"


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


@pytest.fixture(autouse=True)
def http_fake(http_fake: Any) -> Any:
    """The recording HTTP client for every test: no call leaves the process unless a test puts
    the real client back."""
    return http_fake


@pytest.fixture
def size_calculator(monkeypatch: pytest.MonkeyPatch) -> type[SizeCalculator]:
    """A recording size calculator installed as the module global `GPTImageSizeCalculator`."""
    calculator = type(
        "GPTImageSizeCalculator", (SizeCalculator,), {"calls": [], "result": {"width": 1024, "height": 1536}}
    )
    monkeypatch.setattr(tovarin, "GPTImageSizeCalculator", calculator)
    return calculator


@pytest.fixture
def image_tool(monkeypatch: pytest.MonkeyPatch) -> FakeImageTool:
    """A fake `ferrimo` module global whose `ImageTool` answers from a table."""
    ferrimo = fake_ferrimo()
    monkeypatch.setattr(tovarin, "ferrimo", ferrimo)
    return ferrimo.ImageTool


@pytest.fixture
def client(recording_logger: Any) -> tovarin.TovarinClient:
    return tovarin.TovarinClient("http://images.test", "tok-1", logger=recording_logger)
