"""Fixtures for the native `corvessa.image.sorvanel` module: a client with a recording logger."""

from __future__ import annotations

from typing import Any

import corvessa.image.sorvanel as sorvanel
import pytest


@pytest.fixture
def client(recording_logger: Any) -> sorvanel.SorvanelClient:
    return sorvanel.SorvanelClient("http://gemini.test", "tok-1", logger=recording_logger)
