"""Loopback server for the benchmarks: answers both image APIs with precomputed bodies.

    python -m bench.server            # prints "PORT <n>" once it listens; stops when stdin closes

Routes, below a "/reply-<size>" prefix that picks the reply image (tiny, small, large):

- POST /reply-<size>/v1beta/models/<model>:generateContent   Gemini inline-image reply
- POST /reply-<size>/v1/images/generations                   images-API b64_json reply
- POST /reply-<size>/v1/images/edits                         same reply, multipart request

Request bodies are read in chunks and thrown away, so the server's own memory stays flat. It
runs in its own process: its CPU time never lands on the client being measured.
"""

from __future__ import annotations

import socket
import sys
import threading
from http.server import BaseHTTPRequestHandler, ThreadingHTTPServer
from typing import Final

from bench.payloads import REPLY_SIZES, encode_reply, gemini_reply, images_reply, reply_image

_CHUNK: Final = 1 << 20


def _build_bodies() -> dict[tuple[str, str], bytes]:
    """Every reply body, keyed by (size class, API)."""
    bodies: dict[tuple[str, str], bytes] = {}
    for name in REPLY_SIZES:
        image = reply_image(name)
        bodies[(name, "gemini")] = encode_reply(gemini_reply(image))
        bodies[(name, "images")] = encode_reply(images_reply(image))
    return bodies


def route(path: str) -> tuple[str, str] | None:
    """(size class, API) for a request path, None when nothing answers there."""
    path = path.split("?", 1)[0]
    prefix, _, rest = path.lstrip("/").partition("/")
    if not prefix.startswith("reply-") or prefix[len("reply-") :] not in REPLY_SIZES:
        return None
    size = prefix[len("reply-") :]
    if rest.startswith("v1beta/models/") and rest.endswith(":generateContent"):
        return size, "gemini"
    if rest in ("v1/images/generations", "v1/images/edits"):
        return size, "images"
    return None


class _Handler(BaseHTTPRequestHandler):
    protocol_version = "HTTP/1.1"
    bodies: dict[tuple[str, str], bytes] = {}

    def setup(self) -> None:
        super().setup()
        # Headers and body go out in separate writes; never let them wait for a delayed ACK.
        self.connection.setsockopt(socket.IPPROTO_TCP, socket.TCP_NODELAY, 1)

    def log_message(self, format: str, *args: object) -> None:  # noqa: A002 - base signature
        pass

    def do_POST(self) -> None:
        self._drain_body()
        key = route(self.path)
        body = self.bodies.get(key) if key else None
        if body is None:
            self._reply(404, b'{"error":{"message":"no such route"}}')
        else:
            self._reply(200, body)

    def _reply(self, status: int, body: bytes) -> None:
        self.send_response(status)
        self.send_header("Content-Type", "application/json")
        self.send_header("Content-Length", str(len(body)))
        self.end_headers()
        self.wfile.write(body)

    def _drain_body(self) -> None:
        if self.headers.get("Transfer-Encoding", "").lower() == "chunked":
            self._drain_chunked()
            return
        remaining = int(self.headers.get("Content-Length") or 0)
        while remaining > 0:
            chunk = self.rfile.read(min(remaining, _CHUNK))
            if not chunk:
                break
            remaining -= len(chunk)

    def _drain_chunked(self) -> None:
        while True:
            size = int(self.rfile.readline().split(b";", 1)[0].strip() or b"0", 16)
            if size == 0:
                while self.rfile.readline() not in (b"\r\n", b"\n", b""):
                    pass
                return
            while size > 0:
                size -= len(self.rfile.read(min(size, _CHUNK)))
            self.rfile.readline()


def serve() -> None:
    """Listen on a free loopback port, announce it, serve until stdin reaches end of file."""
    _Handler.bodies = _build_bodies()
    server = ThreadingHTTPServer(("127.0.0.1", 0), _Handler)
    server.daemon_threads = True
    threading.Thread(target=server.serve_forever, daemon=True).start()
    print(f"PORT {server.server_address[1]}", flush=True)
    sys.stdin.read()
    server.shutdown()


if __name__ == "__main__":
    serve()
