"""The WSGI application: routing, key checks, request-size and error handling, and the served
picture links."""

from __future__ import annotations

import re
import threading
import traceback
from collections.abc import Callable, Iterable
from dataclasses import dataclass
from typing import Any

from werkzeug.exceptions import RequestEntityTooLarge
from werkzeug.wrappers import Request, Response

from . import gemini, images_api
from .errors import ApiError
from .http11 import BODY_TOO_LARGE
from .replies import Call, Delivery, json_response
from .settings import Settings
from .store import MEDIA_TYPES, FileStore, Links

_GEMINI_CALL = re.compile(r"/(v1|v1beta)/models/([^/:]+):(generateContent|streamGenerateContent|countTokens)")
_GEMINI_CALLS = {
    "generateContent": gemini.generate_content,
    "streamGenerateContent": gemini.stream_generate_content,
    "countTokens": gemini.count_tokens,
}
# GET models and models/{model}; on /v1 the images API's listing shares the path.
_MODELS_PATH = re.compile(r"/(v1|v1beta)/models(?:/([^/:]+))?")
_FILE_PATH = re.compile(r"/files/([A-Za-z0-9-]+\.(png|jpeg|webp))")
_BEARER = re.compile(r"Bearer\s+\S.*", re.IGNORECASE)

ErrorRenderer = Callable[[ApiError], Response]
Handler = Callable[[Request, Call], Response]


def _bearer(request: Request) -> bool:
    return bool(_BEARER.fullmatch(request.headers.get("Authorization", "")))


def _google_key_given(request: Request) -> bool:
    return bool(request.headers.get("x-goog-api-key", "").strip() or request.args.get("key", "").strip())


def _google_key(request: Request) -> bool:
    """Google's API takes its key as a Bearer token, an x-goog-api-key header or ?key=."""
    return _bearer(request) or _google_key_given(request)


@dataclass(frozen=True)
class _Api:
    """How one API checks its key, shapes its errors and labels its replies."""

    authorised: Callable[[Request], bool]
    unauthorised: str
    render_error: ErrorRenderer
    request_id: Callable[[], str] | None = None


_GEMINI = _Api(
    authorised=_google_key,
    unauthorised="Missing API key: pass it as 'x-goog-api-key', '?key=' or 'Authorization: Bearer <key>'.",
    render_error=gemini.error_response,
)
_IMAGES = _Api(
    authorised=_bearer,
    unauthorised="Missing or malformed 'Authorization: Bearer <token>' header.",
    render_error=images_api.error_response,
    request_id=images_api.request_id,
)


def _form_limit_hit(err: RequestEntityTooLarge) -> ApiError:
    """The form limit werkzeug refused: its multipart decoder counts parts as it finds their
    headers (`next_event`) and raises the same exception for a field that is too large."""
    frames = traceback.extract_tb(err.__traceback__)
    if frames and frames[-1].name == "next_event":
        return ApiError(413, f"The form has more than {_Request.max_form_parts} parts.")
    return ApiError(413, f"A form field exceeds {_Request.max_form_memory_size} bytes.")


def _own_url(request: Request) -> str:
    """The address the server listens on; a Host header is the client's word, not ours."""
    return f"http://{request.environ['SERVER_NAME']}:{request.environ['SERVER_PORT']}"


class _Request(Request):
    max_form_memory_size = 1024 * 1024
    max_form_parts = 1000


class EmulatorApp:
    """Both remote APIs on one WSGI app; link replies point back at this app's /files/."""

    def __init__(self, settings: Settings | None = None, stop: threading.Event | None = None) -> None:
        self.settings = settings or Settings()
        self.files = FileStore(self.settings.file_limit)
        self._delivery = Delivery(stop or threading.Event())

    def __call__(self, environ: dict[str, Any], start_response: Callable[..., Any]) -> Iterable[bytes]:
        request = _Request(environ)
        request.max_content_length = self.settings.max_request_bytes
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
            return self._file(request, match.group(1), match.group(2))
        if match := _GEMINI_CALL.fullmatch(path):
            model, method = match.group(2), _GEMINI_CALLS[match.group(3)]
            return self._api(request, _GEMINI, lambda r, call: method(r, model, call))
        if match := _MODELS_PATH.fullmatch(path):
            return self._models(request, match.group(1), match.group(2))
        if path == "/v1/images/generations":
            return self._api(
                request, _IMAGES, lambda r, call: images_api.answer(images_api.parse_generations(r.get_data()), call)
            )
        if path == "/v1/images/edits":
            return self._api(request, _IMAGES, lambda r, call: images_api.answer(images_api.parse_edits(r), call))
        return json_response({"error": {"code": 404, "message": f"No route for {path}."}}, 404)

    def _models(self, request: Request, version: str, model: str | None) -> Response:
        """The model listing or one model's entry: Gemini's on /v1beta, and on /v1 when the key
        comes the way Google's clients send it (x-goog-api-key or ?key=); else the images API's."""
        if version == "v1beta" or _google_key_given(request):
            if model is None:
                return self._api(request, _GEMINI, lambda r, call: gemini.list_models(), "GET")
            return self._api(request, _GEMINI, lambda r, call: gemini.get_model(model, version), "GET")
        if model is None:
            return self._api(request, _IMAGES, lambda r, call: images_api.list_models(), "GET")
        return self._api(request, _IMAGES, lambda r, call: images_api.get_model(model), "GET")

    def _api(self, request: Request, api: _Api, handle: Handler, method: str = "POST") -> Response:
        response = self._answer(request, api, handle, method)
        if api.request_id is not None:
            response.headers["x-request-id"] = api.request_id()
        return response

    def _answer(self, request: Request, api: _Api, handle: Handler, method: str) -> Response:
        """Size, method and key checks, then the handler; an ApiError becomes the API's error body."""
        try:
            self._check(request, api, method)
            return handle(request, self._call(request))
        except ApiError as err:
            return api.render_error(err)
        except RequestEntityTooLarge as err:  # the body passed its cap in _check: a form limit
            return api.render_error(_form_limit_hit(err))
        except Exception:  # an emulator fault, never a client's: say so in the API's shape
            traceback.print_exc()
            return api.render_error(ApiError(500, "The emulator failed on this request."))

    def _check(self, request: Request, api: _Api, method: str) -> None:
        if request.environ.get(BODY_TOO_LARGE):
            raise self._too_large()
        if request.method != method:
            raise ApiError(405, f"Method {request.method} is not allowed; use {method}.")
        if not api.authorised(request):
            raise ApiError(401, api.unauthorised)

    def _too_large(self) -> ApiError:
        return ApiError(413, f"Request body exceeds {self.settings.max_request_bytes} bytes.")

    def _call(self, request: Request) -> Call:
        small_edge = self.settings.small_edge if self.settings.small_pictures else None
        return Call(self._delivery, Links(self.files, _own_url(request)), small_edge)

    def _file(self, request: Request, name: str, extension: str) -> Response:
        if request.method not in ("GET", "HEAD"):
            return Response(status=405)
        data = self.files.get(name)
        if data is None:
            return Response("no such file (it may have expired)", status=404, mimetype="text/plain")
        return Response(data, mimetype=MEDIA_TYPES[extension])
