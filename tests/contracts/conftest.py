"""A real HTTP server on 127.0.0.1 that records every request it receives."""

import socket
import threading
from collections.abc import Callable, Iterator
from dataclasses import dataclass
from http.server import BaseHTTPRequestHandler, ThreadingHTTPServer

import pytest
from werkzeug.test import EnvironBuilder
from werkzeug.wrappers import Request, Response

type Handler = Callable[[Request], Response]


@dataclass
class Seen:
    """What the server received, for the test thread to check."""

    path: str
    headers: dict[str, str]
    form: dict[str, list[str]]
    files: list[tuple[str, str | None, str | None, bytes]]  # field, filename, type, content
    client_port: int
    json: object


class _Handler(BaseHTTPRequestHandler):
    """HTTP/1.1 with keep-alive (werkzeug's own server closes every connection)."""

    protocol_version = "HTTP/1.1"
    server: "_Server"

    def do_POST(self) -> None:
        body = self.rfile.read(int(self.headers.get("Content-Length", 0)))
        headers = [(k, v) for k, v in self.headers.items() if k.lower() != "content-length"]
        environ = EnvironBuilder(path=self.path, method=self.command, headers=headers,
                                 data=body).get_environ()
        environ["REMOTE_PORT"] = self.client_address[1]
        with Request(environ) as request:  # closes the parsed upload files
            response = self.server.owner.handle(request)
        self.send_response(response.status_code)
        for name, value in response.headers.items():
            self.send_header(name, value)
        if "Content-Length" not in response.headers:
            self.send_header("Connection", "close")
            self.close_connection = True
        self.end_headers()
        for chunk in response.iter_encoded():
            self.wfile.write(chunk)
            self.wfile.flush()

    do_GET = do_POST

    def log_message(self, format: str, *args: object) -> None:
        pass


class _Server(ThreadingHTTPServer):
    daemon_threads = True
    owner: "LoopbackServer"


class LoopbackServer:
    def __init__(self) -> None:
        self.routes: dict[str, Handler] = {}
        self.seen: list[Seen] = []
        # Set at teardown so that handlers holding a reply back return at once.
        self.release = threading.Event()
        self._server = _Server(("127.0.0.1", 0), _Handler)
        self._server.owner = self
        self.url = f"http://127.0.0.1:{self._server.server_port}"
        self._thread = threading.Thread(target=self._server.serve_forever, daemon=True)
        self._thread.start()

    def handle(self, request: Request) -> Response:
        self.seen.append(Seen(
            path=request.path,
            headers=dict(request.headers),
            form={key: request.form.getlist(key) for key in request.form},
            files=[(name, f.filename, f.content_type, f.read())
                   for name, f in request.files.items(multi=True)],
            client_port=int(request.environ["REMOTE_PORT"]),
            json=request.get_json(silent=True),
        ))
        handler = self.routes.get(request.path)
        return handler(request) if handler else Response("no route", status=404)

    def close(self) -> None:
        self.release.set()
        self._server.shutdown()
        self._server.server_close()
        self._thread.join(timeout=5)


@pytest.fixture
def server() -> Iterator[LoopbackServer]:
    srv = LoopbackServer()
    yield srv
    srv.close()


@pytest.fixture(autouse=True)
def _no_proxy_for_loopback(monkeypatch: pytest.MonkeyPatch) -> None:
    # Proxies configured in the environment must not capture loopback traffic.
    for name in ("no_proxy", "NO_PROXY"):
        monkeypatch.setenv(name, "127.0.0.1,localhost")


@pytest.fixture
def refused_url() -> str:
    """A loopback URL where nothing listens."""
    with socket.socket() as sock:
        sock.bind(("127.0.0.1", 0))
        port = sock.getsockname()[1]
    return f"http://127.0.0.1:{port}/x"
