"""Serving the emulator on 127.0.0.1 from a background thread."""

from __future__ import annotations

import threading
from types import TracebackType
from typing import Any

from werkzeug.serving import WSGIRequestHandler, make_server

from .app import EmulatorApp

HOST = "127.0.0.1"


class _QuietHandler(WSGIRequestHandler):
    """Keeps the per-request lines out of the embedding program's terminal."""

    def log(self, type: str, message: str, *args: Any) -> None:
        if type == "error":
            super().log(type, message, *args)


class EmulatorServer:
    """A running emulator; close it (or leave its `with` block) to stop it."""

    def __init__(self, port: int = 0, *, quiet: bool = True, file_limit: int = 256) -> None:
        self._stop = threading.Event()
        self.app = EmulatorApp(self._stop, file_limit)
        handler = _QuietHandler if quiet else WSGIRequestHandler
        self._server = make_server(HOST, port, self.app, threaded=True, request_handler=handler)
        self.port: int = self._server.server_port
        self.base_url = f"http://{HOST}:{self.port}"
        self._thread = threading.Thread(
            target=self._server.serve_forever, kwargs={"poll_interval": 0.1}, name=f"corvessa-emulator:{self.port}", daemon=True
        )
        self._thread.start()

    def close(self) -> None:
        """Stop accepting requests, end pending delays and drips, and free the port."""
        if self._stop.is_set():
            return
        self._stop.set()
        self._server.shutdown()
        self._server.server_close()
        self._thread.join()

    def serve_forever(self) -> None:
        """Block the calling thread until the server is closed (for the command line)."""
        self._thread.join()

    def __enter__(self) -> EmulatorServer:
        return self

    def __exit__(self, exc_type: type[BaseException] | None, exc: BaseException | None, tb: TracebackType | None) -> None:
        self.close()


def serve(port: int = 0, *, quiet: bool = True, file_limit: int = 256) -> EmulatorServer:
    """Start the emulator on 127.0.0.1:port (0 picks a free port) and return its handle."""
    return EmulatorServer(port, quiet=quiet, file_limit=file_limit)
