"""Fixtures of the tests that hold for every client: a client of each class and of its twin,
with the recording HTTP client (`http_fake`) installed for every test."""

from __future__ import annotations

from typing import Any

import pytest

from doubles import FakeHttpClient, RecordingLogger

from .kinds import KINDS, Kind


@pytest.fixture(params=KINDS, ids=str)
def kind(request: pytest.FixtureRequest) -> Kind:
    return request.param


@pytest.fixture(autouse=True)
def http_fake(http_fake: FakeHttpClient) -> FakeHttpClient:
    return http_fake


@pytest.fixture
def native(kind: Kind, recording_logger: RecordingLogger) -> Any:
    return kind.cls("http://api.test", "tok", logger=recording_logger)


@pytest.fixture
def twin(kind: Kind) -> Any:
    return kind.twin_cls("http://api.test", "tok", logger=RecordingLogger())
