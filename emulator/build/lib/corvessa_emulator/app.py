"""The WSGI application: routing, bearer-token check and the served picture links."""

from __future__ import annotations

import re
import threading
from collections.abc import Callable, Iterable
from typing import Any

from werkzeug.exceptions import RequestEntityTooLarge
from werkzeug.wrappers import Request, Response

from . import gemini, images_api
from .errors import ApiError
from .replies import Delivery, json_response
from .store import FileStore

MAX_REQUEST_BYTES = 128 * 1024 * 1024
_GEMINI_PATH = re.compile(r"/v1beta/models/([^/:]+):generateContent")
_FILE_PATH = re.compile(r"/files/([A-Za-z0-9-]+\.png)")
_BEARER = re.compile(r"Bearer\s+\S.*", re.IGNORECASE)

ErrorRenderer = Callable[[ApiError], Response]


class _Request(Request):
    max_content_length = MAX_REQUEST_BYTES
    max_form_memory_size = 1024 * 1024


class EmulatorApp:
    """Both remote APIs on one WSGI app; link replies point back at this app's /files/."""

    def __init__(self, stop: threading.Event | None = None, file_limit: int = 256) -> None:
        self.files = FileStore(file_limit)
        self._delivery = Delivery(stop or threading.Event())

    def __call__(self, environ: dict[str, Any], start_response: Callable[..., Any]) -> Iterable[bytes]:
        request = _Request(environ)
        try:
            response = self._dispatch(request)
        finally:
            request.close()  # uploads live in temporary files; replies never stream from them
        return response(environ, start_response)

    def _dispatch(self, request: Request) -> Response:
        path = request.path
        if path == "/healthz":
            return json_response({"status": "ok"})
        if match := _FILE_PATH.fullmatch(path):
            return self._file(request, match.group(1))
        if match := _GEMINI_PATH.fullmatch(path):
            return self._api(request, gemini.error_response, lambda: self._gemini(request, match.group(1)))
        if path == "/v1/images/generations":
            return self._api(request, images_api.error_response, lambda: self._images(request, edits=False))
        if path == "/v1/images/edits":
            return self._api(request, images_api.error_response, lambda: self._images(request, edits=True))
        return json_response({"error": {"code": 404, "message": f"No route for {path}."}}, 404)

    def _api(self, request: Request, render_error: ErrorRenderer, handle: Callable[[], Response]) -> Response:
        """Method and token checks, then the handler; an ApiError becomes the API's error body."""
        try:
            if request.method != "POST":
                raise ApiError(405, f"Method {request.method} is not allowed; use POST.")
            if not _BEARER.fullmatch(request.headers.get("Authorization", "")):
                raise ApiError(401, "Missing or malformed 'Authorization: Bearer <token>' header.")
            return handle()
        except ApiError as err:
            return render_error(err)
        except RequestEntityTooLarge:
            return render_error(ApiError(413, f"Request body exceeds {MAX_REQUEST_BYTES} bytes."))

    def _gemini(self, request: Request, model: str) -> Response:
        return gemini.generate_content(request, model, self._delivery, self.files.put)

    def _images(self, request: Request, *, edits: bool) -> Response:
        parsed = images_api.parse_edits(request) if edits else images_api.parse_generations(request.get_data())
        return images_api.answer(request, parsed, self._delivery, self.files.put)

    def _file(self, request: Request, name: str) -> Response:
        if request.method not in ("GET", "HEAD"):
            return Response(status=405)
        data = self.files.get(name)
        if data is None:
            return Response("no such file (it may have expired)", status=404, mimetype="text/plain")
        return Response(data, mimetype="image/png")
