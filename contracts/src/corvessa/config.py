"""Package configuration of `corvessa`: the shared HTTP client and the Gemini tables.

`_SUPPORTED_MODELS` and `_SUPPORTED_RATIOS` are frozensets, so `in` is a hash lookup: an
unhashable probe (a list, a dict) raises TypeError, which the clients let through to the caller.
"""

import http.cookiejar
import re
from collections.abc import Iterable, Mapping
from typing import Any, Final, Literal, get_args

import requests
import urllib3.exceptions
from requests.adapters import HTTPAdapter

__all__ = [
    "HttpClient",
    "MAX_BODY_BYTES",
    "ReplyTooLarge",
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
# Largest reply body a client accepts, counted after every Content-Encoding layer is undone: a
# few kilobytes of nested gzip decode to gigabytes. Settable per client (`max_body_bytes`).
MAX_BODY_BYTES: Final = 256 * 1024 * 1024
# Decoded bytes read at a time; urllib3 inflates each read only this far, so memory stays
# within one chunk of the bound.
_BODY_CHUNK: Final = 256 * 1024

# A header name is an HTTP token. A value is printable ASCII and does not start with a space:
# no line break (header injection), no other control character, nothing beyond ASCII. http.client
# would send Latin-1 as raw bytes that no bearer token contains, and fail on anything beyond
# Latin-1 with a UnicodeEncodeError that holds the whole value.
_HEADER_NAME: Final[dict[type | None, re.Pattern[Any]]] = {
    str: re.compile(r"[!#$%&'*+\-.^_`|~0-9A-Za-z]+"),
    bytes: re.compile(rb"[!#$%&'*+\-.^_`|~0-9A-Za-z]+"),
}
_HEADER_VALUE: Final[dict[type | None, re.Pattern[Any]]] = {
    str: re.compile(r"(?:[!-~][ -~]*)?"),
    bytes: re.compile(rb"(?:[!-~][ -~]*)?"),
}

# (content type, file extension) by leading bytes; the images API reads the type of an upload.
_IMAGE_SIGNATURES: Final = (
    (b"\x89PNG\r\n\x1a\n", "image/png", "png"),
    (b"\xff\xd8\xff", "image/jpeg", "jpg"),
    (b"GIF87a", "image/gif", "gif"),
    (b"GIF89a", "image/gif", "gif"),
)


def _check_headers(headers: Mapping[Any, Any] | None) -> None:
    """Refuse, before anything is sent, a header that must not go on the wire.

    The message names the header but never shows its value: the clients log the exception, and
    an Authorization value is the bearer token. requests' own check would quote the value.
    A value of None is left for requests to drop.
    """
    for name, value in (headers or {}).items():
        name_rule = _HEADER_NAME.get(_text_kind(name))
        if name_rule is None or not name_rule.fullmatch(name):
            raise requests.exceptions.InvalidHeader(f"Invalid header name {name!r}")
        if value is None:
            continue
        value_rule = _HEADER_VALUE.get(_text_kind(value))
        if value_rule is None:
            raise requests.exceptions.InvalidHeader(
                f"Invalid value of header {name!r}: str or bytes expected, not {type(value).__name__}"
            )
        if not value_rule.fullmatch(value):
            raise requests.exceptions.InvalidHeader(
                f"Invalid value of header {name!r}: only printable ASCII is sent (no control character, "
                "line break, leading whitespace or character beyond ASCII)"
            )


def _text_kind(value: Any) -> type | None:
    return str if isinstance(value, str) else bytes if isinstance(value, bytes) else None


def _image_type(content: bytes) -> tuple[str, str]:
    """Content type and extension of an uploaded image, octet-stream when unrecognised."""
    for signature, mime, extension in _IMAGE_SIGNATURES:
        if content.startswith(signature):
            return mime, extension
    if content[:4] == b"RIFF" and content[8:12] == b"WEBP":
        return "image/webp", "webp"
    return "application/octet-stream", "bin"


def _file_parts(files: Iterable[tuple[str, bytes]]) -> list[tuple[str, tuple[str, bytes, str]]]:
    """One file part per (field name, content) pair, named and typed after its content."""
    parts: list[tuple[str, tuple[str, bytes, str]]] = []
    for index, (name, content) in enumerate(files):
        if not isinstance(content, (bytes, bytearray)):
            raise TypeError(f"file part {name!r} must be bytes, got {type(content).__name__}")
        mime, extension = _image_type(bytes(content))
        parts.append((name, (f"{name}-{index}.{extension}", bytes(content), mime)))
    return parts


def _without_content_type(headers: Mapping[Any, Any] | None) -> dict[Any, Any]:
    """The caller's headers minus Content-Type: a multipart body sets its own, with the boundary."""
    return {
        k: v
        for k, v in (headers or {}).items()
        if (k.decode("ascii") if isinstance(k, bytes) else k).lower() != "content-type"
    }


class ReplyTooLarge(requests.exceptions.RequestException):
    """The reply body, once decoded, grew past the client's `max_body_bytes`."""


def _read_capped(response: requests.Response, cap: int) -> bytes:
    """The decoded body, read chunk by chunk; `ReplyTooLarge` as soon as it passes `cap` bytes."""
    body = bytearray()
    for chunk in response.iter_content(_BODY_CHUNK):
        body += chunk
        if len(body) > cap:
            raise ReplyTooLarge(
                f"reply body exceeds {cap} bytes once decoded", request=response.request, response=response
            )
    return bytes(body)


def _as_given(request: requests.PreparedRequest) -> requests.PreparedRequest:
    return request


class _Session(requests.Session):
    """A `requests.Session` that never takes credentials from ~/.netrc.

    requests looks ~/.netrc up for a request without explicit auth, and again after each
    redirect, and an entry found there replaces the caller's Authorization header: the bearer
    token would silently give way to the netrc login. An explicit auth that leaves the request
    as given stops the first lookup; `rebuild_auth` keeps requests' stripping of the header on a
    redirect to another origin and leaves out the lookup after it. `trust_env` stays on, so
    proxies, NO_PROXY and CA bundles still come from the environment as requests reads them.
    """

    def __init__(self) -> None:
        super().__init__()
        self.auth = _as_given

    def rebuild_auth(self, prepared_request: requests.PreparedRequest, response: requests.Response) -> None:
        headers = prepared_request.headers
        # Both URLs are set: the response answered a request that was sent, and this one is its redirect.
        old_url, new_url = response.request.url, prepared_request.url
        if "Authorization" in headers and old_url and new_url and self.should_strip_auth(old_url, new_url):
            del headers["Authorization"]


class HttpClient:
    """One pooled `requests.Session` shared by every request thread.

    Connections are kept alive and reused. Cookies are never stored, so nothing one reply sets
    travels with a later request made for another caller or token. A reply body larger than
    `max_body_bytes` once decoded is abandoned with `ReplyTooLarge`.
    """

    def __init__(
        self, base_timeout: float = DEFAULT_TIMEOUT, pool_size: int = POOL_SIZE, max_body_bytes: int = MAX_BODY_BYTES
    ) -> None:
        self.base_timeout = base_timeout
        self.max_body_bytes = max_body_bytes
        self._session = _Session()
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
        `requests.exceptions.ReadTimeout`. A header that must not be sent raises
        `requests.exceptions.InvalidHeader` naming the header, not its value. The whole body
        has been read when this returns; one larger than `max_body_bytes` once decoded raises
        `ReplyTooLarge` (a `requests.exceptions.RequestException`) and is not kept.
        """
        if timeout is None:
            timeout = self.base_timeout
        _check_headers(headers)
        if files:
            if json is not None:
                raise TypeError("post() takes a JSON body or a multipart body, not both")
            return self._send(url, timeout, headers=_without_content_type(headers), data=data, files=_file_parts(files))
        if data is not None or files is not None:
            raise TypeError("post() sends form fields only in a multipart body with files")
        if json is None:
            raise TypeError("post() needs a body: json, or data with files")
        return self._send(url, timeout, headers=headers, json=json)

    def _send(self, url: str, timeout: Any, **body: Any) -> requests.Response:
        response = self._session.post(url, timeout=timeout, stream=True, **body)
        try:
            # Set as requests itself sets it, so `content`, `text` and `json()` read this body.
            response._content = _read_capped(response, self.max_body_bytes)
        except requests.exceptions.ConnectionError as exc:
            response.close()
            # requests reports a stall inside the body as a ConnectionError; the clients tell
            # time-outs apart by ReadTimeout, so report it as one.
            if exc.args and isinstance(exc.args[0], urllib3.exceptions.ReadTimeoutError):
                raise requests.exceptions.ReadTimeout(exc.args[0], request=response.request, response=response) from exc
            raise
        except BaseException:
            response.close()
            raise
        return response

    def close(self) -> None:
        """Close the pooled connections; the client opens new ones if it is used again."""
        self._session.close()


http_client: Final = HttpClient()
