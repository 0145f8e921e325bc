"""A werkzeug application on 127.0.0.1 that records every request it receives, served by the
emulator's HTTP/1.1 server (kept-alive connections, as the services keep them), which also
stands in for a forward proxy (a route for the absolute target)."""

import json
import sys
import threading
from collections.abc import Callable, Iterable, Iterator
from dataclasses import dataclass
from typing import Any

import pytest
from werkzeug.wrappers import Request, Response

from corvessa.config import HttpClient

type Handler = Callable[[Request], Response]


def ok_json(_request: Request) -> Response:
    """A JSON reply as the images API gives it."""
    return Response(json.dumps({"data": [{"b64_json": "AA=="}]}), mimetype="application/json")


@dataclass
class Seen:
    """What the server received, for the test thread to check."""

    path: str
    headers: dict[str, str]
    form: dict[str, list[str]]
    files: list[tuple[str, str | None, str | None, bytes]]  # field, filename, type, content
    client_port: int
    json: object
    method: str = "POST"
    body: bytes = b""


class LoopbackServer:
    def __init__(self) -> None:
        self.routes: dict[str, Handler] = {}
        self.seen: list[Seen] = []
        # Set at teardown so that handlers holding a reply back return at once.
        self.release = threading.Event()
        # The emulator's server: its package draws with Pillow, which not every interpreter has.
        reason = (
            f"no PIL.Image for Python {sys.version_info[0]}.{sys.version_info[1]}: the server's package draws with it"
        )
        http11 = pytest.importorskip("corvessa_emulator.http11", exc_type=ImportError, reason=reason)
        limits = http11.Settings(max_request_bytes=1 << 30, idle_timeout=60)
        self._server = http11.Http11Server("127.0.0.1", 0, self._app, settings=limits, quiet=True)
        self.url = f"http://127.0.0.1:{self._server.server_port}"
        self._thread = threading.Thread(target=self._server.serve_forever, args=(0.05,), daemon=True)
        self._thread.start()

    def _app(self, environ: dict[str, Any], start_response: Callable[..., Any]) -> Iterable[bytes]:
        with Request(environ) as request:  # closes the parsed upload files
            return self.handle(request)(environ, start_response)

    def handle(self, request: Request) -> Response:
        self.seen.append(
            Seen(
                path=request.path,
                headers=dict(request.headers),
                form={key: request.form.getlist(key) for key in request.form},
                files=[(name, f.filename, f.content_type, f.read()) for name, f in request.files.items(multi=True)],
                client_port=int(request.environ["REMOTE_PORT"]),
                json=request.get_json(silent=True),
                method=request.method,
                body=request.get_data(),
            )
        )
        handler = self.routes.get(request.path)
        return handler(request) if handler else Response("no route", status=404)

    def close(self) -> None:
        self.release.set()
        self._server.shutdown()
        self._server.server_close()
        self._server.close_connections()
        self._thread.join(timeout=5)


@pytest.fixture
def client() -> Iterator[HttpClient]:
    """The package's HTTP client, closed after the test."""
    http = HttpClient(base_timeout=5)
    yield http
    http.close()


@pytest.fixture
def server() -> Iterator[LoopbackServer]:
    srv = LoopbackServer()
    yield srv
    srv.close()


# --- the environment's routes ---------------------------------------------------------------------

# Every environment variable that can steer a request to a proxy or a CA bundle.
ROUTE_VARIABLES = "http_proxy HTTP_PROXY https_proxy HTTPS_PROXY all_proxy ALL_PROXY no_proxy NO_PROXY".split()
ROUTE_VARIABLES += ["REQUEST_METHOD", "REQUESTS_CA_BUNDLE", "CURL_CA_BUNDLE"]


@pytest.fixture
def route_environment(monkeypatch: pytest.MonkeyPatch) -> pytest.MonkeyPatch:
    """No proxy, bypass list or CA bundle from the outer environment; the test sets its own."""
    for name in ROUTE_VARIABLES:
        monkeypatch.delenv(name, raising=False)
    return monkeypatch
