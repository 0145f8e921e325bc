"""Fixtures for the native `corvessa.image.sorvanel` module: a client with a recording logger, recorded results."""

from __future__ import annotations

from typing import Any

import corvessa.image.sorvanel as sorvanel
import pytest

from doubles import ResultRecorder


@pytest.fixture
def client(recording_logger: Any) -> sorvanel.SorvanelClient:
    return sorvanel.SorvanelClient("http://gemini.test", "tok-1", logger=recording_logger)


@pytest.fixture
def results(monkeypatch: pytest.MonkeyPatch) -> None:
    monkeypatch.setattr(sorvanel, "ServiceResult", ResultRecorder)
