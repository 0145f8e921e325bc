"""Fixtures of the tests that hold for both clients: a client of each class and of its twin,
with the recording HTTP client installed in all four modules so that no call leaves the
process."""

from __future__ import annotations

from typing import Any

import pytest

from doubles import FakeHttpClient, RecordingLogger

from .kinds import KINDS, Kind


@pytest.fixture(params=KINDS, ids=str)
def kind(request: pytest.FixtureRequest) -> Kind:
    return request.param


@pytest.fixture(autouse=True)
def http_fake(monkeypatch: pytest.MonkeyPatch, recording_http_client: FakeHttpClient) -> FakeHttpClient:
    for each in KINDS:
        monkeypatch.setattr(each.module, "http_client", recording_http_client)
        monkeypatch.setattr(each.twin, "http_client", recording_http_client)
    return recording_http_client


@pytest.fixture
def native(kind: Kind, recording_logger: RecordingLogger) -> Any:
    return kind.cls("http://api.test", "tok", logger=recording_logger)


@pytest.fixture
def twin(kind: Kind) -> Any:
    return kind.twin_cls("http://api.test", "tok", logger=RecordingLogger())
