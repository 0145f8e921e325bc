"""Shared test doubles and a loopback HTTP server, usable by every client module's tests.

- `RecordingLogger`: keeps every argument given to `debug`, `info`, `warning` and `error`.
- `FakeResponse` / `RecordingHttpClient`: stand in for the package HTTP client and its reply,
  recording each `post` call exactly as made (positional and keyword arguments, in order).
- `loopback`: a real HTTP server on 127.0.0.1 that records what it receives and answers with
  whatever reply a test routes to a path.
"""

from __future__ import annotations

import json as jsonlib
import socket
import threading
from collections.abc import Callable, Iterator
from dataclasses import dataclass, field
from http.server import BaseHTTPRequestHandler, ThreadingHTTPServer
from typing import Any

import pytest


# ---- recording doubles ----

class RecordingLogger:
    """A logger that keeps what it is given; `debug` may be made to raise."""

    def __init__(self, raises: BaseException | None = None) -> None:
        self.calls: list[tuple[str, tuple[Any, ...], dict[str, Any]]] = []
        self.raises = raises

    def _log(self, level: str, args: tuple[Any, ...], kwargs: dict[str, Any]) -> None:
        self.calls.append((level, args, kwargs))
        if self.raises is not None:
            raise self.raises

    def debug(self, *args: Any, **kwargs: Any) -> None:
        self._log("debug", args, kwargs)

    def info(self, *args: Any, **kwargs: Any) -> None:
        self._log("info", args, kwargs)

    def warning(self, *args: Any, **kwargs: Any) -> None:
        self._log("warning", args, kwargs)

    def error(self, *args: Any, **kwargs: Any) -> None:
        self._log("error", args, kwargs)

    @property
    def records(self) -> list[Any]:
        """The single positional argument of every debug call; anything else fails the test."""
        out = []
        for level, args, kwargs in self.calls:
            assert level == "debug" and len(args) == 1 and not kwargs, (level, args, kwargs)
            out.append(args[0])
        return out


_NO_BODY = object()


class FakeResponse:
    """A reply with `status_code` and `json()`; `json()` raises `json_error` when it is given."""

    def __init__(self, status_code: Any = 200, body: Any = _NO_BODY,
                 json_error: BaseException | None = None) -> None:
        self.status_code = status_code
        self._body = body
        self._json_error = json_error
        self.json_calls = 0

    def json(self) -> Any:
        self.json_calls += 1
        if self._json_error is not None:
            raise self._json_error
        if self._body is _NO_BODY:
            raise jsonlib.JSONDecodeError("Expecting value", "", 0)
        return self._body


type Reply = FakeResponse | BaseException | Callable[..., Any]


class RecordingHttpClient:
    """Stands in for the package HTTP client: records each `post`, then answers with `reply`.

    `reply` is a response to return, an exception to raise, or a callable given the call's
    arguments that returns the response.
    """

    def __init__(self, reply: Reply | None = None, base_timeout: Any = 120.0) -> None:
        self.reply: Reply = reply if reply is not None else FakeResponse(200, {})
        self.base_timeout = base_timeout
        self.calls: list[tuple[tuple[Any, ...], dict[str, Any]]] = []

    def post(self, *args: Any, **kwargs: Any) -> Any:
        self.calls.append((args, kwargs))
        if isinstance(self.reply, BaseException):
            raise self.reply
        if callable(self.reply) and not isinstance(self.reply, FakeResponse):
            return self.reply(*args, **kwargs)
        return self.reply


@pytest.fixture
def recording_logger() -> RecordingLogger:
    return RecordingLogger()


@pytest.fixture
def recording_http_client() -> RecordingHttpClient:
    """A fresh HTTP client double answering 200 with an empty JSON object until told otherwise."""
    return RecordingHttpClient()


@pytest.fixture
def fake_response() -> type[FakeResponse]:
    """The reply double's class, for tests that build replies of their own."""
    return FakeResponse


# ---- loopback HTTP server ----

@dataclass
class Received:
    """One request as the server saw it."""

    method: str
    path: str
    headers: dict[str, str]
    body: bytes

    def json(self) -> Any:
        return jsonlib.loads(self.body)


@dataclass
class Answer:
    status: int = 200
    body: bytes = b""
    content_type: str = "application/json"
    delay: float = 0.0  # seconds to hold the reply back (cut short when the server closes)

    @classmethod
    def of_json(cls, value: Any, status: int = 200) -> Answer:
        return cls(status, jsonlib.dumps(value).encode())


type Route = Callable[[Received], Answer]


@dataclass
class LoopbackServer:
    url: str
    routes: dict[str, Route] = field(default_factory=dict)
    received: list[Received] = field(default_factory=list)
    closing: threading.Event = field(default_factory=threading.Event)

    def serve(self, path: str, status: int = 200, body: bytes = b"", content_type: str = "application/json",
              delay: float = 0.0) -> None:
        """Answers every request to `path` with the same reply."""
        self.routes[path] = lambda _request: Answer(status, body, content_type, delay)


class _Handler(BaseHTTPRequestHandler):
    server: _Server

    def _serve(self) -> None:
        state = self.server.state
        body = self.rfile.read(int(self.headers.get("Content-Length") or 0))
        request = Received(self.command, self.path, dict(self.headers.items()), body)
        state.received.append(request)
        route = state.routes.get(self.path.split("?")[0])
        answer = route(request) if route else Answer(404, b"no route", "text/plain")
        if answer.delay and state.closing.wait(answer.delay):
            return
        self.send_response(answer.status)
        self.send_header("Content-Type", answer.content_type)
        self.send_header("Content-Length", str(len(answer.body)))
        self.end_headers()
        self.wfile.write(answer.body)

    do_GET = do_POST = _serve

    def log_message(self, format: str, *args: object) -> None:
        pass


class _Server(ThreadingHTTPServer):
    daemon_threads = True
    state: LoopbackServer


@pytest.fixture
def loopback(monkeypatch: pytest.MonkeyPatch) -> Iterator[LoopbackServer]:
    """A real HTTP/1.0 server on a free port of 127.0.0.1; routes are keyed by path."""
    # A proxy configured in the environment must not capture loopback traffic.
    for name in ("no_proxy", "NO_PROXY"):
        monkeypatch.setenv(name, "127.0.0.1,localhost")
    server = _Server(("127.0.0.1", 0), _Handler)
    server.state = LoopbackServer(url=f"http://127.0.0.1:{server.server_port}")
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
