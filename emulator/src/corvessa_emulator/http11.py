"""An HTTP/1.1 server for a WSGI application: kept-alive connections, a cap on request bodies and
a time-out on idle connections.

werkzeug's development server closes every connection, as the services never do. Here the whole
request body is read before the application runs, so a connection stays in step whatever the
application reads, and a body over the cap is never read at all: the application is told, answers
413 in its API's shape, and the connection closes.
"""

from __future__ import annotations

import io
import socket
import sys
import threading
from collections.abc import Callable, Iterable
from http.server import BaseHTTPRequestHandler, ThreadingHTTPServer
from typing import Any
from urllib.parse import unquote_to_bytes

# Set in the environ of a request whose body exceeds the cap; its body is left unread.
BODY_TOO_LARGE = "corvessa.body_too_large"

type WsgiApp = Callable[[dict[str, Any], Callable[..., Any]], Iterable[bytes]]


class BodyTooLarge(Exception):
    """The request announces or sends more than the cap."""


class _BadFraming(Exception):
    """A body whose length cannot be told: a bad Content-Length or broken chunked coding."""


def _read_chunked(stream: io.BufferedIOBase, cap: int) -> bytes:
    body = bytearray()
    while True:
        size_line = stream.readline(64)
        try:
            size = int(size_line.split(b";", 1)[0].strip(), 16)
        except ValueError:
            raise _BadFraming from None
        if size < 0:
            raise _BadFraming
        if len(body) + size > cap:
            raise BodyTooLarge
        if size == 0:
            _skip_trailers(stream)
            return bytes(body)
        body += stream.read(size)
        if stream.read(2) != b"\r\n":
            raise _BadFraming


def _skip_trailers(stream: io.BufferedIOBase) -> None:
    for _ in range(100):
        if stream.readline(8192) in (b"\r\n", b"\n", b""):
            return
    raise _BadFraming


class _Handler(BaseHTTPRequestHandler):
    protocol_version = "HTTP/1.1"
    server: Http11Server

    def setup(self) -> None:
        super().setup()
        self.connection.settimeout(self.server.idle_timeout)  # applies to every wait on the socket
        self.server.track(self.connection, open_=True)

    def finish(self) -> None:
        try:
            super().finish()
        finally:
            self.server.track(self.connection, open_=False)

    def handle_one_request(self) -> None:
        try:
            super().handle_one_request()
        except (ConnectionError, TimeoutError):
            self.close_connection = True

    def _run(self) -> None:
        try:
            body, too_large = self._read_body(), False
        except BodyTooLarge:
            body, too_large = b"", True
        except _BadFraming:
            self.close_connection = True
            self.send_error(400, "Malformed request body framing")
            return
        if too_large:
            self.close_connection = True  # the unread body would be taken for the next request
        self._respond(self._environ(body, too_large))

    def _read_body(self) -> bytes:
        cap = self.server.max_body_bytes
        if "chunked" in self.headers.get("Transfer-Encoding", "").lower():
            return _read_chunked(self.rfile, cap)
        length = self._content_length()
        if length > cap:
            raise BodyTooLarge
        return self.rfile.read(length) if length else b""

    def _content_length(self) -> int:
        value = self.headers.get("Content-Length", "0").strip()
        if not value.isascii() or not value.isdigit() or len(value) > 18:
            raise _BadFraming
        return int(value)

    def _environ(self, body: bytes, too_large: bool) -> dict[str, Any]:
        path, _, query = self.path.partition("?")
        host, port = self.server.server_address[:2]
        environ: dict[str, Any] = {
            "REQUEST_METHOD": self.command,
            "SCRIPT_NAME": "",
            "PATH_INFO": unquote_to_bytes(path).decode("latin-1"),
            "QUERY_STRING": query,
            "SERVER_NAME": host,
            "SERVER_PORT": str(port),
            "SERVER_PROTOCOL": self.request_version,
            "REMOTE_ADDR": self.client_address[0],
            "REMOTE_PORT": self.client_address[1],
            "CONTENT_TYPE": self.headers.get("Content-Type", ""),
            "CONTENT_LENGTH": str(len(body)),
            "wsgi.version": (1, 0),
            "wsgi.url_scheme": "http",
            "wsgi.input": io.BytesIO(body),
            "wsgi.errors": sys.stderr,
            "wsgi.multithread": True,
            "wsgi.multiprocess": False,
            "wsgi.run_once": False,
            BODY_TOO_LARGE: too_large,
        }
        environ.update(self._header_variables())
        return environ

    def _header_variables(self) -> dict[str, str]:
        """HTTP_* variables; a header given twice is joined with a comma, as CGI does."""
        variables: dict[str, str] = {}
        for name, value in self.headers.items():
            key = "HTTP_" + name.upper().replace("-", "_")
            if key not in ("HTTP_CONTENT_TYPE", "HTTP_CONTENT_LENGTH"):
                variables[key] = f"{variables[key]},{value}" if key in variables else value
        return variables

    def _respond(self, environ: dict[str, Any]) -> None:
        started: list[Any] = []

        def start_response(status: str, headers: list[tuple[str, str]], exc_info: Any = None) -> None:
            started[:] = [status, headers]

        result = self.server.app(environ, start_response)
        try:
            self._send(started, result)
        finally:
            if hasattr(result, "close"):
                result.close()

    def _send(self, started: list[Any], result: Iterable[bytes]) -> None:
        status, headers = started
        code, _, reason = status.partition(" ")
        self.send_response(int(code), reason)
        declared = None
        for name, value in headers:
            if name.lower() == "content-length":
                declared = int(value)
            self.send_header(name, value)
        if declared is None:
            self.send_header("Connection", "close")  # the end of the body is the end of the connection
        self.end_headers()
        sent = 0
        for chunk in result:
            if chunk and self.command != "HEAD":
                self.wfile.write(chunk)
                self.wfile.flush()
                sent += len(chunk)
        if declared is not None and sent < declared and self.command != "HEAD":
            self.close_connection = True  # a body cut short ends its connection

    # The application answers every method itself (405 where it takes none).
    do_GET = do_HEAD = do_POST = do_PUT = do_PATCH = do_DELETE = do_OPTIONS = _run

    def log_message(self, format: str, *args: Any) -> None:
        if not self.server.quiet:
            super().log_message(format, *args)


class Http11Server(ThreadingHTTPServer):
    daemon_threads = True
    request_queue_size = 64  # many clients connect at once: no handshake may wait for a retry

    def __init__(self, host: str, port: int, app: WsgiApp, *, max_body_bytes: int, idle_timeout: float,
                 quiet: bool) -> None:
        self.app = app
        self.max_body_bytes = max_body_bytes
        self.idle_timeout = idle_timeout
        self.quiet = quiet
        self._open: set[socket.socket] = set()
        self._open_lock = threading.Lock()
        super().__init__((host, port), _Handler)

    def track(self, connection: socket.socket, *, open_: bool) -> None:
        with self._open_lock:
            (self._open.add if open_ else self._open.discard)(connection)

    def close_connections(self) -> None:
        """End kept-alive connections, so a closed server holds no client."""
        with self._open_lock:
            connections = list(self._open)
        for connection in connections:
            try:
                connection.shutdown(socket.SHUT_RDWR)
            except OSError:
                pass
