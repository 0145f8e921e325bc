"""Package configuration of `corvessa`: the shared HTTP client and the Gemini tables.

`_SUPPORTED_MODELS` and `_SUPPORTED_RATIOS` are frozensets, so `in` is a hash lookup: an
unhashable probe (a list, a dict) raises TypeError, which the clients let through to the caller.
"""

import http.cookiejar
from collections.abc import Iterable, Mapping
from typing import Any, Final, Literal, get_args

import requests
import urllib3.exceptions
from requests.adapters import HTTPAdapter

__all__ = [
    "HttpClient",
    "http_client",
    "_AspectRatio",
    "_GeminiModel",
    "_SUPPORTED_MODELS",
    "_SUPPORTED_RATIOS",
]

_GeminiModel = Literal[
    "gemini-3-pro-image-preview",
    "gemini-3.1-flash-image-preview",
    "gemini-2.5-flash-image",
]
_AspectRatio = Literal["1:1", "2:3", "3:2", "3:4", "4:3", "4:5", "5:4", "9:16", "16:9", "21:9"]

_SUPPORTED_MODELS: Final[frozenset[str]] = frozenset(get_args(_GeminiModel))
_SUPPORTED_RATIOS: Final[frozenset[str]] = frozenset(get_args(_AspectRatio))

DEFAULT_TIMEOUT: Final = 120.0
# Up to 8 request threads share one client; room for twice that per host.
POOL_SIZE: Final = 16

# (content type, file extension) by leading bytes; the images API reads the type of an upload.
_IMAGE_SIGNATURES: Final = (
    (b"\x89PNG\r\n\x1a\n", "image/png", "png"),
    (b"\xff\xd8\xff", "image/jpeg", "jpg"),
    (b"GIF87a", "image/gif", "gif"),
    (b"GIF89a", "image/gif", "gif"),
)


def _image_type(content: bytes) -> tuple[str, str]:
    """Content type and extension of an uploaded image, octet-stream when unrecognised."""
    for signature, mime, extension in _IMAGE_SIGNATURES:
        if content.startswith(signature):
            return mime, extension
    if content[:4] == b"RIFF" and content[8:12] == b"WEBP":
        return "image/webp", "webp"
    return "application/octet-stream", "bin"


def _form_fields(data: Mapping[str, Any] | None) -> list[tuple[str, str | bytes]]:
    """Form fields in their text form (1 becomes "1"); None values are left out."""
    fields: list[tuple[str, str | bytes]] = []
    for name, value in (data or {}).items():
        if value is None:
            continue
        fields.append((name, value if isinstance(value, (str, bytes)) else str(value)))
    return fields


def _file_parts(files: Iterable[tuple[str, bytes]]) -> list[tuple[str, tuple[str, bytes, str]]]:
    """One file part per (field name, content) pair, named and typed after its content."""
    parts: list[tuple[str, tuple[str, bytes, str]]] = []
    for index, (name, content) in enumerate(files):
        if not isinstance(content, (bytes, bytearray)):
            raise TypeError(f"file part {name!r} must be bytes, got {type(content).__name__}")
        mime, extension = _image_type(bytes(content))
        parts.append((name, (f"{name}-{index}.{extension}", bytes(content), mime)))
    return parts


def _without_content_type(headers: Mapping[str, str] | None) -> dict[str, str]:
    """The caller's headers minus Content-Type: a multipart body sets its own, with the boundary."""
    return {k: v for k, v in (headers or {}).items() if k.lower() != "content-type"}


class HttpClient:
    """One pooled `requests.Session` shared by every request thread.

    Connections are kept alive and reused; proxies come from the environment as usual with
    requests. Cookies are never stored, so nothing one request's reply sets travels with a later
    request made for another caller or token.
    """

    def __init__(self, base_timeout: float = DEFAULT_TIMEOUT, pool_size: int = POOL_SIZE) -> None:
        self.base_timeout = base_timeout
        self._session = requests.Session()
        self._session.cookies.set_policy(http.cookiejar.DefaultCookiePolicy(allowed_domains=[]))
        adapter = HTTPAdapter(pool_connections=pool_size, pool_maxsize=pool_size)
        self._session.mount("http://", adapter)
        self._session.mount("https://", adapter)

    def post(
        self,
        url: str,
        headers: Mapping[str, str] | None = None,
        json: Any = None,
        data: Mapping[str, Any] | None = None,
        files: list[tuple[str, bytes]] | None = None,
        timeout: Any = None,
    ) -> requests.Response:
        """POST either a JSON body (`json`) or one multipart/form-data body (`data` and `files`).

        `files` is a list of (field name, bytes) pairs, each sent as one file part under that
        name (a name may repeat); `data` holds the form fields. `timeout` defaults to
        `base_timeout`. A reply that stalls past the time-out, in its head or its body, raises
        `requests.exceptions.ReadTimeout`. The whole body has been read when this returns.
        """
        if timeout is None:
            timeout = self.base_timeout
        if files:
            if json is not None:
                raise TypeError("post() takes a JSON body or a multipart body, not both")
            return self._send(url, timeout, headers=_without_content_type(headers),
                              data=_form_fields(data), files=_file_parts(files))
        if data is not None or files is not None:
            raise TypeError("post() sends form fields only in a multipart body with files")
        if json is None:
            raise TypeError("post() needs a body: json, or data with files")
        return self._send(url, timeout, headers=dict(headers or {}), json=json)

    def _send(self, url: str, timeout: Any, **body: Any) -> requests.Response:
        response = self._session.post(url, timeout=timeout, stream=True, **body)
        try:
            # requests reports a time-out while reading the body as a ConnectionError; the
            # callers tell time-outs apart by ReadTimeout, so report it as one.
            _ = response.content
        except Exception as exc:
            response.close()
            if isinstance(exc, requests.exceptions.ConnectionError) and exc.args and isinstance(
                exc.args[0], urllib3.exceptions.ReadTimeoutError
            ):
                raise requests.exceptions.ReadTimeout(
                    exc.args[0], request=response.request, response=response
                ) from exc
            raise
        return response

    def close(self) -> None:
        """Close the pooled connections."""
        self._session.close()


http_client: Final = HttpClient()
