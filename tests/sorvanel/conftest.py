"""Fixtures for the native `corvessa.image.sorvanel` module: a client with a recording logger
and the recording HTTP client installed as the module global `http_client`."""

from __future__ import annotations

from typing import Any

import pytest

import corvessa.image.sorvanel as sorvanel


@pytest.fixture
def http_fake(monkeypatch: pytest.MonkeyPatch, recording_http_client: Any) -> Any:
    monkeypatch.setattr(sorvanel, "http_client", recording_http_client)
    return recording_http_client


@pytest.fixture
def client(recording_logger: Any) -> sorvanel.SorvanelClient:
    return sorvanel.SorvanelClient("http://gemini.test", "tok-1", logger=recording_logger)
