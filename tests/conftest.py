"""Fixtures over the shared test doubles (tests/doubles.py), the loopback HTTP server and the
raw socket server, for every test folder; and what an instrumented leg of CI leaves out."""

from __future__ import annotations

import threading
from collections.abc import Callable, Iterator
from pathlib import Path

import pytest

from clients.kinds import KINDS
from harness import INSTRUMENTED, TESTS
from doubles import (Behaviour, FakeHttpClient, FakeResponse, LoopbackHTTPServer, LoopbackServer, RawServer,
                     RecordingLogger, unused_loopback_url)

# What the debug-interpreter and sanitizer legs skip, by place under tests/: instrumentation of
# the modules can find nothing there that the release leg does not. Tests marked `browser`
# (a page rendered in headless Chromium) are skipped there too.
NOT_INSTRUMENTED = {
    "stubs": "mypy and stubtest read the stubs; no native code runs",
    "cli/test_install.py": "installing a build runs no native code of ours",
    "emulator": "the emulator's own tests run no native code",
    "contracts": "the stand-ins of the host's packages are plain Python",
}
# ... but for what every leg checks: the stand-ins' bounds on what a server sends, which keep any
# run of the clients, instrumented or not, within memory and free of stray credentials.
EVERY_LEG = {"contracts/test_server_bounds.py"}


def _not_instrumented(item: pytest.Item) -> str | None:
    if item.get_closest_marker("browser"):
        return "page rendering in a browser runs no native code"
    place = Path(item.path).relative_to(TESTS)
    if place.as_posix() in EVERY_LEG:
        return None
    for prefix, reason in NOT_INSTRUMENTED.items():
        if place == Path(prefix) or Path(prefix) in place.parents:
            return reason
    return None


def pytest_collection_modifyitems(config: pytest.Config, items: list[pytest.Item]) -> None:
    if not INSTRUMENTED:
        return
    for item in items:
        if (reason := _not_instrumented(item)) is not None:
            item.add_marker(pytest.mark.skip(reason=f"instrumented leg: {reason}"))


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
def http_fake(monkeypatch: pytest.MonkeyPatch, recording_http_client: FakeHttpClient) -> FakeHttpClient:
    """The recording HTTP client as the global `http_client` of every client module and twin, so
    that no call leaves the process."""
    for kind in KINDS:
        monkeypatch.setattr(kind.module, "http_client", recording_http_client)
        monkeypatch.setattr(kind.twin, "http_client", recording_http_client)
    return recording_http_client


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
    return unused_loopback_url()


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
