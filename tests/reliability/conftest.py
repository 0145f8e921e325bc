"""Fixtures of the reliability tests; the helpers themselves live in support.py."""

from __future__ import annotations

import socket
import threading
from collections.abc import Callable, Iterator

import pytest

from .support import FIGURES, Emulator, RawServer, emulator_process

type Behaviour = Callable[[socket.socket, threading.Event], None]


@pytest.fixture(scope="session")
def emulator() -> Iterator[Emulator]:
    """The local emulator of both APIs, in a process of its own for the whole session."""
    with emulator_process() as running:
        yield running


@pytest.fixture(autouse=True)
def _loopback_without_proxy(monkeypatch: pytest.MonkeyPatch) -> None:
    # A proxy configured in the environment must not capture loopback traffic.
    for name in ("no_proxy", "NO_PROXY"):
        monkeypatch.setenv(name, "127.0.0.1,localhost")


@pytest.fixture
def raw_server() -> Iterator[Callable[[Behaviour], RawServer]]:
    """Starts raw socket servers with a given behaviour; all are closed after the test."""
    servers: list[RawServer] = []

    def start(behaviour: Behaviour) -> RawServer:
        server = RawServer(behaviour)
        servers.append(server)
        return server

    yield start
    for server in servers:
        server.close()


def pytest_terminal_summary(terminalreporter: pytest.TerminalReporter) -> None:
    for section, lines in FIGURES.items():
        terminalreporter.write_sep("-", section)
        for line in lines:
            terminalreporter.write_line(line)
