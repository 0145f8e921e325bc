"""An HTTP/1.1 server for a WSGI application: kept-alive connections, caps on request heads and
bodies, whole deadlines for a request's head and body, and a cap on open connections.

werkzeug's development server closes every connection, as the services never do. Message framing
is h11's: one Content-Length or a single final `chunked`, anything else a 400 and the connection
closed. Where h11 is lenient (a Content-Length repeated with the same value, a length beside a
transfer coding, a coding in an HTTP/1.0 request, chunk extensions of any length) the stricter
checks are made here on the raw bytes h11 consumed. The whole request body is read before the
application runs, so a connection stays in step whatever the application reads, and a body over
the cap is never read at all: the application is told, answers 413 in its API's shape, and the
connection closes.
"""

from __future__ import annotations

import errno
import io
import json
import socket
import socketserver
import sys
import threading
import time
from collections.abc import Callable, Iterable
from email.utils import formatdate
from http import HTTPStatus
from typing import Any
from urllib.parse import unquote_to_bytes

import h11

from .settings import Settings

# Set in the environ of a request whose body exceeds the cap; its body is left unread.
BODY_TOO_LARGE = "corvessa.body_too_large"

type WsgiApp = Callable[[dict[str, Any], Callable[..., Any]], Iterable[bytes]]
# The reply to a request the server refuses itself: (request path or "", status, message) -> app.
type ErrorReply = Callable[[str, int, str], WsgiApp]

_READ_SIZE = 16 * 1024  # small reads keep the copies made to watch h11's consumption small
_MAX_CHUNK_LINE = 64  # bytes of a chunk-size line, extensions included, without its CRLF
_LINGER_SECONDS = 0.5  # after an error reply, unread input is drained this long before closing
_LINGER_BYTES = 1024 * 1024
_ACCEPT_BACKOFF = 0.2  # seconds between accept() attempts while the process is out of descriptors
_OUT_OF_DESCRIPTORS = frozenset({errno.EMFILE, errno.ENFILE, errno.ENOBUFS, errno.ENOMEM})
_CONTINUE = b"HTTP/1.1 100 Continue\r\n\r\n"


class BodyTooLarge(Exception):
    """The request announces or sends more than the cap."""


class _Refused(Exception):
    """A request answered by the server itself with `status`, after which the connection closes."""

    def __init__(self, status: int, message: str) -> None:
        super().__init__(message)
        self.status = status
        self.message = message


class _HangUp(Exception):
    """The client went away or ran out of time: the connection ends without a reply."""


def plain_error(path: str, status: int, message: str) -> WsgiApp:
    """A JSON error reply {"error": {"code", "message"}}, for servers that name no API shape."""
    body = json.dumps({"error": {"code": status, "message": message}}).encode()

    def app(environ: dict[str, Any], start_response: Callable[..., Any]) -> Iterable[bytes]:
        start_response(
            f"{status} {HTTPStatus(status).phrase}",
            [("Content-Type", "application/json"), ("Content-Length", str(len(body)))],
        )
        return [body]

    return app


class _Reader:
    """Feeds one request's bytes to h11 and keeps a copy of those h11 has not consumed yet, so each
    event comes with the raw bytes it was made from."""

    def __init__(self, sock: socket.socket, leftover: bytes, limits: Settings) -> None:
        self._sock = sock
        self._limits = limits
        self.parser = h11.Connection(h11.SERVER, max_incomplete_event_size=limits.max_head_bytes)
        if leftover:
            self.parser.receive_data(leftover)  # an empty one would tell h11 the client closed
        self._unconsumed = bytearray(leftover)
        self._awaiting_first_byte = not leftover
        timeout = limits.head_timeout if leftover else limits.idle_timeout
        self.deadline = time.monotonic() + timeout
        self.eof = False

    def next_event(self) -> tuple[Any, bytes]:
        """The next event and the raw bytes h11 consumed for it (NEED_DATA rounds included)."""
        raw = bytearray()
        while True:
            event = self.parser.next_event()
            raw += self._take_consumed()
            if event is not h11.NEED_DATA:
                return event, bytes(raw)
            self._receive()

    def leftover(self) -> bytes:
        """Bytes received past the end of this request: the start of the next one."""
        return bytes(self._unconsumed)

    def request_path(self) -> str:
        """The path on the request line of a head h11 refused, to shape the error reply."""
        line = bytes(self._unconsumed[: self._limits.max_head_bytes]).partition(b"\n")[0]
        words = line.split(b" ")
        return words[1].decode("latin-1").partition("?")[0] if len(words) == 3 else ""

    def _take_consumed(self) -> bytes:
        consumed = len(self._unconsumed) - len(self.parser.trailing_data[0])
        taken = bytes(self._unconsumed[:consumed])
        del self._unconsumed[:consumed]
        return taken

    def _receive(self) -> None:
        if self.eof:
            raise _HangUp
        remaining = self.deadline - time.monotonic()
        if remaining <= 0:
            raise _HangUp  # a whole deadline, however the bytes trickle in
        self._sock.settimeout(remaining)
        data = self._sock.recv(_READ_SIZE)
        if self._awaiting_first_byte and data:
            self._awaiting_first_byte = False
            self.deadline = time.monotonic() + self._limits.head_timeout
        self.eof = not data
        self.parser.receive_data(data)  # b"" tells h11 the client closed
        self._unconsumed += data


def _field_lines(head: bytes, name: bytes) -> list[bytes]:
    """The raw lines of one header field in a request head that h11 accepted."""
    lines = head.split(b"\n")[1:]
    return [line for line in lines if line.partition(b":")[0].lower() == name]


def _values(request: h11.Request, name: bytes) -> list[bytes]:
    return [value for field, value in request.headers if field == name]


def _check_framing(request: h11.Request, head: bytes) -> None:
    """The framing rules h11 does not enforce itself."""
    lengths = _field_lines(head, b"content-length")
    if len(lengths) > 1 or any(b"," in line for line in lengths):
        raise _Refused(400, "Content-Length is given more than once.")
    if _values(request, b"transfer-encoding"):
        if lengths:
            raise _Refused(400, "Content-Length and Transfer-Encoding exclude each other.")
        if request.http_version != b"1.1":
            raise _Refused(400, "Transfer-Encoding needs HTTP/1.1.")


def _chunk_line_too_long(raw: bytes, skip: int) -> bool:
    """Whether the chunk-size line that `raw` holds after `skip` bytes exceeds the limit."""
    end = raw.find(b"\r\n", skip)
    return end - skip > _MAX_CHUNK_LINE


def _next_event(reader: _Reader) -> tuple[Any, bytes]:
    """The parser's next event: a protocol error is a 400, unless the client simply hung up."""
    try:
        return reader.next_event()
    except h11.RemoteProtocolError as err:
        if reader.eof:
            raise _HangUp from None
        raise _protocol_error(err) from None


def _protocol_error(err: h11.RemoteProtocolError) -> _Refused:
    if err.error_status_hint == 431:
        return _Refused(431, "The request head is too large.")
    return _Refused(400, f"Malformed request: {str(err)[:200]}")


class _Exchange:
    """One connection, served request by request."""

    def __init__(self, server: Http11Server, sock: socket.socket, address: Any) -> None:
        self.server = server
        self.sock = sock
        self.address = address
        self.limits = server.limits

    def serve(self) -> None:
        leftover: bytes | None = b""
        try:
            while leftover is not None:
                leftover = self._serve_one(leftover)
        except (_HangUp, OSError):
            pass  # a client gone, a broken pipe or a timed-out write all end the connection

    def _serve_one(self, leftover: bytes) -> bytes | None:
        """Answers one request; the bytes past it when the connection stays open, else None."""
        reader = _Reader(self.sock, leftover, self.limits)
        path = ""
        try:
            head = self._read_head(reader)
            if head is None:
                return None
            request, raw_head = head
            path = request.target.decode("latin-1").partition("?")[0]
            _check_framing(request, raw_head)
            environ = self._environ(request, self._read_body(reader, request))
        except BodyTooLarge:
            environ = self._environ(request, b"")
            environ[BODY_TOO_LARGE] = True
            self._respond(environ, self.server.app, close=True)  # the unread body would follow
            self._linger()
            return None
        except _Refused as refused:
            path = path or reader.request_path()
            self._respond(
                self._base_environ(),
                self.server.error_reply(path, refused.status, refused.message),
                close=True,
                label=f"- {path or '-'}",
            )
            self._linger()
            return None
        close = request.http_version != b"1.1" or b"close" in b",".join(_values(request, b"connection")).lower()
        kept = self._respond(environ, self.server.app, close=close)
        return reader.leftover() if kept else None

    def _read_head(self, reader: _Reader) -> tuple[h11.Request, bytes] | None:
        """The next request and its raw head; None when the client closed between requests."""
        event, raw = _next_event(reader)
        if isinstance(event, h11.ConnectionClosed):
            return None
        assert isinstance(event, h11.Request)
        if len(raw) > self.limits.max_head_bytes:
            raise _Refused(431, "The request head is too large.")
        return event, raw

    def _read_body(self, reader: _Reader, request: h11.Request) -> bytes:
        cap = self.limits.max_request_bytes
        lengths = _values(request, b"content-length")
        chunked = bool(_values(request, b"transfer-encoding"))
        if lengths and int(lengths[0]) > cap:
            raise BodyTooLarge
        if reader.parser.they_are_waiting_for_100_continue and (chunked or int(lengths[0] if lengths else 0)):
            self.sock.sendall(_CONTINUE)  # only once the head passed the caps
        reader.deadline = time.monotonic() + self.limits.body_timeout
        body = bytearray()
        expect_line, owed = chunked, 0  # a chunk-size line comes next, after `owed` CRLF bytes
        while True:
            event, raw = _next_event(reader)
            if expect_line and _chunk_line_too_long(raw, owed):
                raise _Refused(400, f"A chunk-size line is longer than {_MAX_CHUNK_LINE} bytes.")
            if isinstance(event, h11.EndOfMessage):
                return bytes(body)
            assert isinstance(event, h11.Data)
            body += event.data
            if len(body) > cap:
                raise BodyTooLarge
            expect_line, owed = event.chunk_end, 2 if event.chunk_end else 0

    def _linger(self) -> None:
        """Closes after an error reply without a reset: input the client already sent is drained
        for a short, bounded time, so the reply is not lost."""
        try:
            self.sock.shutdown(socket.SHUT_WR)
            deadline = time.monotonic() + _LINGER_SECONDS
            drained = 0
            while drained < _LINGER_BYTES and (remaining := deadline - time.monotonic()) > 0:
                self.sock.settimeout(remaining)
                data = self.sock.recv(_READ_SIZE)
                if not data:
                    return
                drained += len(data)
        except OSError:
            pass

    def _base_environ(self) -> dict[str, Any]:
        host, port = self.server.server_address[:2]
        return {
            "REQUEST_METHOD": "GET",
            "SCRIPT_NAME": "",
            "PATH_INFO": "",
            "QUERY_STRING": "",
            "SERVER_NAME": host,
            "SERVER_PORT": str(port),
            "SERVER_PROTOCOL": "HTTP/1.1",
            "REMOTE_ADDR": self.address[0],
            "REMOTE_PORT": self.address[1],
            "CONTENT_TYPE": "",
            "CONTENT_LENGTH": "0",
            "wsgi.version": (1, 0),
            "wsgi.url_scheme": "http",
            "wsgi.input": io.BytesIO(),
            "wsgi.errors": sys.stderr,
            "wsgi.multithread": True,
            "wsgi.multiprocess": False,
            "wsgi.run_once": False,
            BODY_TOO_LARGE: False,
        }

    def _environ(self, request: h11.Request, body: bytes) -> dict[str, Any]:
        path, _, query = request.target.decode("latin-1").partition("?")
        environ = self._base_environ() | {
            "REQUEST_METHOD": request.method.decode("latin-1"),
            "PATH_INFO": unquote_to_bytes(path).decode("latin-1"),
            "QUERY_STRING": query,
            "SERVER_PROTOCOL": "HTTP/" + request.http_version.decode("latin-1"),
            "CONTENT_TYPE": b",".join(_values(request, b"content-type")).decode("latin-1"),
            "CONTENT_LENGTH": str(len(body)),
            "wsgi.input": io.BytesIO(body),
        }
        environ.update(_header_variables(request))
        return environ

    def _respond(self, environ: dict[str, Any], app: WsgiApp, *, close: bool, label: str = "") -> bool:
        """Runs `app` and sends its reply; whether the connection may serve another request."""
        started: list[Any] = []

        def start_response(status: str, headers: list[tuple[str, str]], exc_info: Any = None) -> None:
            started[:] = [status, headers]

        result = app(environ, start_response)
        try:
            return self._send(environ, started, result, close, label)
        finally:
            if hasattr(result, "close"):
                result.close()

    def _send(
        self, environ: dict[str, Any], started: list[Any], result: Iterable[bytes], close: bool, label: str
    ) -> bool:
        status, headers = started
        declared = next((int(value) for name, value in headers if name.lower() == "content-length"), None)
        close = close or declared is None  # without a length, the end of the body is the end of the connection
        lines = [f"HTTP/1.1 {status}", f"Date: {formatdate(usegmt=True)}"]
        lines += [f"{name}: {value}" for name, value in headers]
        if close:
            lines.append("Connection: close")
        self.sock.settimeout(self.limits.idle_timeout)  # a client that stops reading is let go
        self.sock.sendall(("\r\n".join(lines) + "\r\n\r\n").encode("latin-1"))
        head_only = environ["REQUEST_METHOD"] == "HEAD"
        sent = 0
        for chunk in result:
            if chunk and not head_only:
                self.sock.sendall(chunk)
                sent += len(chunk)
        self._log(environ, status, label)
        return not close and (head_only or sent >= (declared or 0))  # a body cut short ends its connection

    def _log(self, environ: dict[str, Any], status: str, label: str) -> None:
        if self.server.quiet:
            return
        line = label or f"{environ['REQUEST_METHOD']} {environ['PATH_INFO']}"
        when = time.strftime("%d/%b/%Y %H:%M:%S")
        sys.stderr.write(f'{self.address[0]} - - [{when}] "{line}" {status.partition(" ")[0]} -\n')


def _header_variables(request: h11.Request) -> dict[str, str]:
    """HTTP_* variables; a header given twice is joined with a comma, as CGI does. The body is
    handed over whole with its CONTENT_LENGTH, so its transfer coding is left out: werkzeug would
    read a body still marked chunked as empty."""
    variables: dict[str, str] = {}
    for name, value in request.headers.raw_items():
        key = "HTTP_" + name.decode("latin-1").upper().replace("-", "_")
        if key not in ("HTTP_CONTENT_TYPE", "HTTP_CONTENT_LENGTH", "HTTP_TRANSFER_ENCODING"):
            text = value.decode("latin-1")
            variables[key] = f"{variables[key]},{text}" if key in variables else text
    return variables


def _refusal() -> bytes:
    """The 503 sent to a connection beyond the cap, written before its request is read."""
    body = json.dumps({"error": {"code": 503, "message": "Too many open connections; retry later."}}).encode()
    head = (
        "HTTP/1.1 503 Service Unavailable\r\nContent-Type: application/json\r\nRetry-After: 1\r\n"
        f"Connection: close\r\nContent-Length: {len(body)}\r\n\r\n"
    )
    return head.encode() + body


_REFUSAL = _refusal()


class Http11Server(socketserver.ThreadingTCPServer):
    daemon_threads = True
    allow_reuse_address = True
    request_queue_size = 64  # many clients connect at once: no handshake may wait for a retry

    def __init__(
        self,
        host: str,
        port: int,
        app: WsgiApp,
        *,
        settings: Settings,
        quiet: bool,
        error_reply: ErrorReply = plain_error,
    ) -> None:
        """`settings` gives every bound: the caps, the time-outs and the connection count."""
        self.app = app
        self.limits = settings
        self.quiet = quiet
        self.error_reply = error_reply
        self._open: set[socket.socket] = set()
        self._open_lock = threading.Lock()
        self._closing = threading.Event()
        super().__init__((host, port), _Exchange)  # type: ignore[arg-type]  # finish_request serves

    @property
    def server_port(self) -> int:
        return int(self.server_address[1])

    def get_request(self) -> tuple[socket.socket, Any]:
        try:
            return super().get_request()
        except OSError as err:
            if err.errno in _OUT_OF_DESCRIPTORS:
                self._closing.wait(_ACCEPT_BACKOFF)  # the listening socket stays readable: no spinning
            raise

    def process_request(self, request: Any, client_address: Any) -> None:
        with self._open_lock:
            full = len(self._open) >= self.limits.max_connections
            if not full:
                self._open.add(request)
        if full:
            self._refuse(request)
        else:
            super().process_request(request, client_address)

    def _refuse(self, connection: socket.socket) -> None:
        """Answers 503 in the accepting thread, without waiting on the client, and closes."""
        try:
            connection.setblocking(False)
            connection.send(_REFUSAL)
        except OSError:
            pass
        socketserver.TCPServer.shutdown_request(self, connection)

    def finish_request(self, request: Any, client_address: Any) -> None:
        _Exchange(self, request, client_address).serve()

    def shutdown_request(self, request: Any) -> None:
        with self._open_lock:
            self._open.discard(request)
        super().shutdown_request(request)

    def shutdown(self) -> None:
        self._closing.set()
        super().shutdown()

    def close_connections(self) -> None:
        """End kept-alive connections, so a closed server holds no client."""
        with self._open_lock:
            connections = list(self._open)
        for connection in connections:
            try:
                connection.shutdown(socket.SHUT_RDWR)
            except OSError:
                pass
