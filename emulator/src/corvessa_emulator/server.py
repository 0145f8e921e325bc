"""Serving the emulator on 127.0.0.1 from a background thread."""

from __future__ import annotations

import threading
from types import TracebackType

from . import gemini, images_api
from .app import EmulatorApp
from .errors import ApiError
from .http11 import Http11Server, WsgiApp
from .settings import Settings

HOST = "127.0.0.1"


def _error_reply(path: str, status: int, message: str) -> WsgiApp:
    """A request the server refuses before the app sees it, answered in the shape of the API its
    path belongs to; Gemini's shape elsewhere, as the app's own 404 replies are."""
    render = images_api.error_response if path.startswith("/v1/images/") else gemini.error_response
    return render(ApiError(status, message))


class EmulatorServer:
    """A running emulator; close it (or leave its `with` block) to stop it."""

    def __init__(self, port: int = 0, *, quiet: bool = True, settings: Settings | None = None) -> None:
        self.settings = settings or Settings.from_environment()
        self._stop = threading.Event()
        self.app = EmulatorApp(self.settings, self._stop)
        self._server = Http11Server(HOST, port, self.app, settings=self.settings, quiet=quiet, error_reply=_error_reply)
        self.port: int = self._server.server_port
        self.base_url = f"http://{HOST}:{self.port}"
        self._thread = threading.Thread(
            target=self._server.serve_forever,
            kwargs={"poll_interval": 0.1},
            name=f"corvessa-emulator:{self.port}",
            daemon=True,
        )
        self._thread.start()

    def close(self) -> None:
        """Stop accepting requests, end pending delays, drips and kept-alive connections, and free the port."""
        if self._stop.is_set():
            return
        self._stop.set()
        self._server.shutdown()
        self._server.server_close()
        self._server.close_connections()
        self._thread.join()

    def serve_forever(self) -> None:
        """Block the calling thread until the server is closed (for the command line)."""
        self._thread.join()

    def __enter__(self) -> EmulatorServer:
        return self

    def __exit__(
        self, exc_type: type[BaseException] | None, exc: BaseException | None, tb: TracebackType | None
    ) -> None:
        self.close()


def serve(
    port: int = 0, *, quiet: bool = True, file_limit: int = 256, small_pictures: bool | None = None
) -> EmulatorServer:
    """Start the emulator on 127.0.0.1:port (0 picks a free port) and return its handle.

    `small_pictures` renders every picture at most `Settings.small_edge` pixels on its long
    edge (None: as the CORVESSA_EMULATOR_SMALL_PICTURES environment variable says).
    """
    settings = Settings.from_environment(file_limit=file_limit, small_pictures=small_pictures)
    return EmulatorServer(port, quiet=quiet, settings=settings)
