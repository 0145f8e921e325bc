"""The test doubles of every test folder, and the loopback HTTP server.

- `RecordingLogger` / `DiscardingLogger`: the client logger, keeping every call or none.
- `FakeResponse` / `FakeHttpClient`: the package HTTP client and its reply; the client records
  each `post` exactly as made (positional and keyword arguments, in order).
- `FakeImageTool` / `fake_ferrimo`: the download of an image by link.
- `ResultRecorder`, `success`, `fail`: `ServiceResult` as the keyword calls that make it.
- `FakeClock`: the `time` module, walking through given readings.
- `image_bytes`: real pictures of one colour, in six formats, without Pillow (which not every
  interpreter the suite runs on has): PNG made to measure, the others kept as files; `b64`, text.
- `StrSub`, `BytesSub`, `ListSub`, `DictSub`: subclasses, refused by the exact-type checks.
- `LoopbackServer`: a real HTTP server on 127.0.0.1 (its fixture is in conftest.py);
  `unused_port`, `unused_loopback_url`: where nothing listens.
- `RawServer`: a raw socket server on 127.0.0.1 for faults no HTTP server makes on purpose
  (its fixture, `raw_server`, is in conftest.py), with `read_request` and `wait_for_hangup`.

Doubles that would keep something per call take `record=False`, so that a loop of a thousand
calls leaves the interpreter's reference and block counts where they were.
"""

from __future__ import annotations

import base64
import io
import json as jsonlib
import re
import socket
import struct
import threading
import zlib
from collections.abc import Callable
from dataclasses import dataclass, field
from http.server import BaseHTTPRequestHandler, ThreadingHTTPServer
from pathlib import Path
from types import ModuleType
from typing import Any

from dolvex import ErrorCode

type Call = tuple[tuple[Any, ...], dict[str, Any]]


# ---- loggers ----


class RecordingLogger:
    """Keeps every call of `debug`, `info`, `warning` and `error`; `debug` may be made to raise.
    Safe to share between threads (list.append holds the GIL)."""

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


class DiscardingLogger:
    """Takes records and keeps none: used where counts must stay flat."""

    def debug(self, record: Any) -> None:
        pass


# ---- the HTTP client and its reply ----

_NO_BODY = object()

type Raised = BaseException | Callable[[], BaseException]


def _raise(error: Raised) -> Any:
    """Raises `error`, or a fresh exception made by it (a re-raised instance grows its traceback)."""
    raise error if isinstance(error, BaseException) else error()


class FakeResponse:
    """A reply with `status_code` and `json()`. `json()` returns `body`, raises `json_error` (an
    exception, or a callable making a fresh one) when given, and without a body raises the
    JSONDecodeError of a reply that is not JSON."""

    def __init__(self, status_code: Any = 200, body: Any = _NO_BODY, json_error: Raised | None = None) -> None:
        self.status_code = status_code
        self._body = body
        self._json_error = json_error
        self.json_calls = 0

    def json(self) -> Any:
        self.json_calls += 1
        if self._json_error is not None:
            _raise(self._json_error)
        if self._body is _NO_BODY:
            raise jsonlib.JSONDecodeError("Expecting value", "", 0)
        return self._body


type Reply = FakeResponse | BaseException | Callable[..., Any]


def raises(error: Callable[[], BaseException]) -> Callable[..., Any]:
    """A reply of the fake HTTP client that raises a fresh exception on every call."""

    def post(*args: Any, **kwargs: Any) -> Any:
        raise error()

    return post


class FakeHttpClient:
    """Stands in for the package HTTP client: records each `post` (unless `record=False`), then
    answers with `reply`: a response to return, an exception to raise, or a callable given the
    call's arguments (see `raises`)."""

    def __init__(self, reply: Reply | None = None, base_timeout: Any = 120.0, record: bool = True) -> None:
        self.reply: Reply = reply if reply is not None else FakeResponse(200, {})
        self.base_timeout = base_timeout
        self.record = record
        self.calls: list[Call] = []

    def post(self, *args: Any, **kwargs: Any) -> Any:
        if self.record:
            self.calls.append((args, kwargs))
        if isinstance(self.reply, BaseException):
            raise self.reply
        if callable(self.reply):
            return self.reply(*args, **kwargs)
        return self.reply

    @property
    def last(self) -> Call | None:
        return self.calls[-1] if self.calls else None


# ---- the download ----


class FakeImageTool:
    """Stands in for `ferrimo.ImageTool`. A link in `links` is answered by its entry (bytes: a
    file-like object holding them; None: nothing; an exception: raised); any other link by
    `other(link)`, or with nothing. Each call is recorded unless `record=False`."""

    def __init__(
        self, links: dict[str, Any] | None = None, other: Callable[[Any], Any] | None = None, record: bool = True
    ) -> None:
        self.links = dict(links or {})
        self.other = other
        self.record = record
        self.calls: list[Call] = []

    def serve(self, link: str, answer: Any) -> None:
        self.links[link] = answer

    def _known(self, link: Any) -> bool:
        try:
            return link in self.links
        except TypeError:  # a reply's link can be any JSON value; an unhashable one is in no table
            return False

    def get_img_url_io(self, *args: Any, **kwargs: Any) -> Any:
        if self.record:
            self.calls.append((args, kwargs))
        link = args[0] if args else None
        if not self._known(link):
            return self.other(link) if self.other is not None else None
        answer = self.links[link]
        if isinstance(answer, BaseException):
            raise answer
        return io.BytesIO(answer) if answer is not None else None

    @property
    def fetched(self) -> list[Any]:
        """The links asked for, in order; each call must pass exactly one positional link."""
        for args, kwargs in self.calls:
            assert len(args) == 1 and not kwargs, (args, kwargs)
        return [args[0] for args, _ in self.calls]


def fake_ferrimo(
    links: dict[str, Any] | None = None, other: Callable[[Any], Any] | None = None, record: bool = True
) -> ModuleType:
    """A `ferrimo` module whose `ImageTool` is a FakeImageTool."""
    module = ModuleType("ferrimo")
    module.ImageTool = FakeImageTool(links, other, record)  # type: ignore[attr-defined]
    return module


# ---- a method replaced on an instance ----


class CallRecorder:
    """Stands in for a method, set on an instance (an instance attribute wins over the class):
    records each call's (args, kwargs) and answers `answer`."""

    def __init__(self, answer: Any = None) -> None:
        self.calls: list[tuple[tuple[Any, ...], dict[str, Any]]] = []
        self.answer = answer

    def __call__(self, *args: Any, **kwargs: Any) -> Any:
        self.calls.append((args, kwargs))
        return self.answer


# ---- results and time ----

type Made = tuple[str, list[tuple[str, Any]]]


class ResultRecorder:
    """Stands in for `ServiceResult`: each result is (constructor name, keyword items in order)."""

    @staticmethod
    def success(*args: Any, **kwargs: Any) -> Made:
        assert not args
        return ("success", list(kwargs.items()))

    @staticmethod
    def fail(*args: Any, **kwargs: Any) -> Made:
        assert not args
        return ("fail", list(kwargs.items()))


def success(data: Any) -> Made:
    return ("success", [("data", data)])


def fail(code: str, **message: Any) -> Made:
    """A failure as ResultRecorder reports it; `message` is msg=... or message=... or nothing."""
    return ("fail", [("code", ErrorCode[code]), *message.items()])


class FakeClock:
    """Stands in for the `time` module: time() walks through the given readings."""

    def __init__(self, *readings: float) -> None:
        self.readings = list(readings)

    def time(self) -> float:
        return self.readings.pop(0)


# ---- values of a subclass, which the exact-type checks refuse ----


class StrSub(str): ...


class BytesSub(bytes): ...


class ListSub(list): ...  # type: ignore[type-arg]


class DictSub(dict): ...  # type: ignore[type-arg]


# ---- real images, their base64 text, and a comparison that sees key order ----


def b64(data: bytes) -> str:
    return base64.b64encode(data).decode()


type RGB = tuple[int, int, int]
SAMPLES = Path(__file__).resolve().parent / "samples"


def image_bytes(fmt: str = "PNG", size: tuple[int, int] = (8, 8), colour: RGB = (200, 30, 60)) -> bytes:
    """A real picture of one colour, in the format as Pillow names it. A PNG is made here for any
    size and colour; the other formats (JPEG, GIF, WEBP, BMP, TIFF) are the 8x8 pictures of the
    default colour that Pillow made once, kept in tests/samples/. tests/test_doubles.py checks
    that Pillow reads each as said."""
    if fmt == "PNG":
        return _png(*size, colour)
    assert (size, colour) == ((8, 8), (200, 30, 60)), "only the PNG is made to measure"
    return (SAMPLES / f"picture.{fmt.lower()}").read_bytes()


def _png(width: int, height: int, colour: RGB) -> bytes:
    def chunk(kind: bytes, data: bytes) -> bytes:
        checksum = struct.pack(">I", zlib.crc32(kind + data))
        return struct.pack(">I", len(data)) + kind + data + checksum

    rows = (b"\0" + bytes(colour) * width) * height
    header = struct.pack(">IIBBBBB", width, height, 8, 2, 0, 0, 0)
    return b"\x89PNG\r\n\x1a\n" + chunk(b"IHDR", header) + chunk(b"IDAT", zlib.compress(rows)) + chunk(b"IEND", b"")


def ordered(value: Any) -> Any:
    """Dictionaries as lists of (key, value) pairs, recursively, so that == also compares key order."""
    if isinstance(value, dict):
        return [(key, ordered(item)) for key, item in value.items()]
    if isinstance(value, (list, tuple)):
        return type(value)(ordered(item) for item in value)
    return value


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

    def serve(
        self,
        path: str,
        status: int = 200,
        body: bytes = b"",
        content_type: str = "application/json",
        delay: float = 0.0,
    ) -> None:
        """Answers every request to `path` with the same reply."""
        self.routes[path] = lambda _request: Answer(status, body, content_type, delay)


class _Handler(BaseHTTPRequestHandler):
    server: LoopbackHTTPServer

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


class LoopbackHTTPServer(ThreadingHTTPServer):
    """A real HTTP/1.0 server on a free port of 127.0.0.1; routes are keyed by path."""

    daemon_threads = True

    def __init__(self) -> None:
        super().__init__(("127.0.0.1", 0), _Handler)
        self.state = LoopbackServer(url=f"http://127.0.0.1:{self.server_port}")


def unused_port() -> int:
    """A port of 127.0.0.1 where nothing listens (it was bound, then released)."""
    with socket.socket() as sock:
        sock.bind(("127.0.0.1", 0))
        return int(sock.getsockname()[1])


def unused_loopback_url() -> str:
    return f"http://127.0.0.1:{unused_port()}"


# ---- raw socket server ----

type Behaviour = Callable[[socket.socket, threading.Event], None]


class RawServer:
    """Answers every connection on 127.0.0.1 with `behaviour(conn, closing)` in a thread of its
    own, then closes it. Closing the server sets `closing`, which every behaviour's waits watch."""

    def __init__(self, behaviour: Behaviour) -> None:
        self.behaviour = behaviour
        self.closing = threading.Event()
        self.sock = socket.create_server(("127.0.0.1", 0))
        self.sock.settimeout(0.2)
        self.url = f"http://127.0.0.1:{self.sock.getsockname()[1]}"
        self.connections = 0
        self._active = 0
        self._idle = threading.Condition()
        self.thread = threading.Thread(target=self._serve, daemon=True)
        self.thread.start()

    def _serve(self) -> None:
        while not self.closing.is_set():
            try:
                conn, _ = self.sock.accept()
            except TimeoutError:
                continue
            except OSError:
                return
            with self._idle:
                self.connections += 1
                self._active += 1
            threading.Thread(target=self._handle, args=(conn,), daemon=True).start()

    def _handle(self, conn: socket.socket) -> None:
        try:
            with conn:
                self.behaviour(conn, self.closing)
        except OSError:
            pass
        finally:
            with self._idle:
                self._active -= 1
                self._idle.notify_all()

    def wait_idle(self, seconds: float = 10) -> bool:
        """Waits until every connection has been handled; False when some still run."""
        with self._idle:
            return self._idle.wait_for(lambda: self._active == 0, timeout=seconds)

    def close(self) -> None:
        self.closing.set()
        self.sock.close()
        self.thread.join(timeout=5)


def wait_for_hangup(conn: socket.socket, closing: threading.Event) -> None:
    """Holds the connection without a word until the client hangs up or the server closes."""
    conn.settimeout(0.05)
    while not closing.is_set():
        try:
            if not conn.recv(4096):
                return
        except TimeoutError:
            continue


def read_request(conn: socket.socket) -> bytes:
    """Reads one HTTP request (head and Content-Length body)."""
    conn.settimeout(5)
    data = b""
    while b"\r\n\r\n" not in data:
        chunk = conn.recv(65536)
        if not chunk:
            return data
        data += chunk
    head, _, body = data.partition(b"\r\n\r\n")
    match = re.search(rb"(?i)content-length:\s*(\d+)", head)
    length = int(match.group(1)) if match else 0
    while len(body) < length:
        chunk = conn.recv(65536)
        if not chunk:
            break
        body += chunk
    return head + b"\r\n\r\n" + body
