"""Fixtures over the shared test doubles (tests/doubles.py), the loopback HTTP server and the
raw socket server, for every test folder."""

from __future__ import annotations

import socket
import threading
from collections.abc import Callable, Iterator

import pytest

from doubles import (Behaviour, FakeHttpClient, FakeResponse, LoopbackHTTPServer, LoopbackServer, RawServer,
                     RecordingLogger)


@pytest.fixture(autouse=True)
def _loopback_without_proxy(monkeypatch: pytest.MonkeyPatch) -> None:
    # A proxy configured in the environment must not capture loopback traffic.
    for name in ("no_proxy", "NO_PROXY"):
        monkeypatch.setenv(name, "127.0.0.1,localhost")


@pytest.fixture
def recording_logger() -> RecordingLogger:
    return RecordingLogger()


@pytest.fixture
def recording_http_client() -> FakeHttpClient:
    """A fresh HTTP client double answering 200 with an empty JSON object until told otherwise."""
    return FakeHttpClient()


@pytest.fixture
def fake_response() -> type[FakeResponse]:
    """The reply double's class, for tests that build replies of their own."""
    return FakeResponse


@pytest.fixture
def loopback() -> Iterator[LoopbackServer]:
    """A real HTTP server on 127.0.0.1 that records what it receives and answers with whatever
    reply a test routes to a path."""
    server = LoopbackHTTPServer()
    thread = threading.Thread(target=server.serve_forever, kwargs={"poll_interval": 0.05}, daemon=True)
    thread.start()
    yield server.state
    server.state.closing.set()
    server.shutdown()
    server.server_close()
    thread.join(timeout=5)


@pytest.fixture
def closed_port_url() -> str:
    """A loopback URL where nothing listens (the port was bound, then released)."""
    with socket.socket() as sock:
        sock.bind(("127.0.0.1", 0))
        port = sock.getsockname()[1]
    return f"http://127.0.0.1:{port}"


@pytest.fixture
def raw_server() -> Iterator[Callable[[Behaviour], RawServer]]:
    """Starts raw socket servers with a given behaviour; all are closed after the test."""
    servers: list[RawServer] = []

    def start(behaviour: Behaviour) -> RawServer:
        servers.append(RawServer(behaviour))
        return servers[-1]

    yield start
    for server in servers:
        server.close()
