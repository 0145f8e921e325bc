"""The HTTP client behind `corvessa.config.http_client`: urllib3 directly, requests' exceptions.

Why not a `requests.Session` (the earlier implementation): bench/run.py, 2 cores, Python 3.14,
requests 2.34.2, urllib3 2.8.0. The floor is a reused `requests.Session().post(...).json()` plus
a base64 decode; "CPU" is the client's CPU per call, median of per-round ratios.

| native client, ratio (two full runs each)     | through requests.Session | through this client |
|-----------------------------------------------|--------------------------|---------------------|
| Gemini, small reply: CPU / floor              | 1.057-1.088x             | 0.506-0.554x        |
| images API, small reply: CPU / floor          | 1.054-1.069x             | 0.493-0.563x        |
| images API, small reply: CPU / openai SDK     | 0.688-0.714x             | 0.361-0.362x        |
| either, 8 MiB reply: CPU / floor              | 0.87-1.01x               | 0.83-0.86x          |
| either, 8 MiB reply: tracemalloc peak / floor | 1.000x                   | 0.916x              |

The transport alone, loopback small reply: about 495 us of CPU per call through requests, 257 us
here. requests spends the difference preparing each request (URL requoting, header and cookie
merging, a ~/.netrc lookup), scanning the environment for proxies, extracting cookies and running
hooks; here a URL is parsed once, the proxy decision is made once per host and proxy environment,
and the request goes straight to the host's urllib3 pool. The lower peak of a large reply comes
from keeping a decoded body as text only (see `HttpResponse`).

What callers see is kept: the two body shapes, requests' exception classes (ReadTimeout,
ConnectTimeout, ConnectionError, ChunkedEncodingError, JSONDecodeError, ...), keep-alive pools
shared by threads, proxies and CA bundles from the environment as requests reads them, redirects
followed as requests follows them, no cookies kept. The reply is an `HttpResponse`, a light
object with the parts of `requests.Response` that callers use; it is not a `requests.Response`.
"""

from __future__ import annotations

import codecs
import json as _json
import os
import re
import threading
import urllib.request
from collections.abc import Iterable, Mapping
from typing import Any, Final, NamedTuple
from urllib.parse import urljoin

import requests.exceptions as rexc
import urllib3
import urllib3.exceptions as u3exc
from requests.utils import (
    get_auth_from_url,
    get_encoding_from_headers,
    guess_json_utf,
    prepend_scheme_if_needed,
    select_proxy,
    should_bypass_proxies,
)
from urllib3.fields import RequestField
from urllib3.filepost import encode_multipart_formdata
from urllib3.util import Timeout, make_headers, parse_url

__all__ = ["HttpClient", "HttpResponse"]

# Sent unless the caller sets them (as requests does; urllib3 adds its own User-Agent).
_DEFAULT_HEADERS: Final = (("Accept-Encoding", make_headers(accept_encoding=True)["accept-encoding"]),
                           ("Accept", "*/*"))
_REDIRECT_STATUSES: Final = frozenset((301, 302, 303, 307, 308))
_MAX_REDIRECTS: Final = 30  # requests' limit
_DEFAULT_PORTS: Final = {"http": 80, "https": 443}
# Bounds of the per-URL and per-host caches: the clients use a handful of URLs; a caller posting
# to ever new hosts only costs a cache refill now and then.
_CACHE_LIMIT: Final = 256

# The environment that decides the route of a request, read on every call (cheap, unlike a scan
# of the whole environment): proxies, the hosts that bypass them, the CGI marker that makes
# HTTP_PROXY untrusted, and the CA bundle that requests also takes from here. When one of them
# changes, the whole environment is read again as requests reads it (mixed-case spellings such
# as Http_Proxy included); a change to a mixed-case spelling alone waits for such a change.
_ROUTE_ENVIRONMENT: Final = ("http_proxy", "HTTP_PROXY", "https_proxy", "HTTPS_PROXY", "all_proxy",
                             "ALL_PROXY", "no_proxy", "NO_PROXY", "REQUEST_METHOD",
                             "REQUESTS_CA_BUNDLE", "CURL_CA_BUNDLE")

# Header names and values that are safe to send, matched whole: no line break anywhere (a
# trailing one included), so no header injection; no leading whitespace, no colon in a name.
_VALID_NAME: Final[dict[type, re.Pattern[Any]]] = {str: re.compile(r"[^:\s][^:\r\n]*"),
                                                   bytes: re.compile(rb"[^:\s][^:\r\n]*")}
_VALID_VALUE: Final[dict[type, re.Pattern[Any]]] = {str: re.compile(r"(?:\S[^\r\n]*)?"),
                                                    bytes: re.compile(rb"(?:\S[^\r\n]*)?")}


# --- request bodies ------------------------------------------------------------------------------

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


def _file_parts(files: Iterable[tuple[str, bytes]]) -> list[RequestField]:
    """One file part per (field name, content) pair, named and typed after its content."""
    parts: list[RequestField] = []
    for index, (name, content) in enumerate(files):
        if not isinstance(content, (bytes, bytearray)):
            raise TypeError(f"file part {name!r} must be bytes, got {type(content).__name__}")
        content = bytes(content)  # the same object when it already is bytes
        mime, extension = _image_type(content)
        part = RequestField(name=name, data=content, filename=f"{name}-{index}.{extension}")
        part.make_multipart(content_type=mime)
        parts.append(part)
    return parts


def _multipart_body(data: Mapping[str, Any] | None, files: Iterable[tuple[str, bytes]]) -> tuple[bytes, str]:
    """The form fields, then the file parts, as one multipart/form-data body and its content type."""
    fields: list[tuple[str, str | bytes] | RequestField] = []
    fields.extend(_form_fields(data))
    fields.extend(_file_parts(files))
    return encode_multipart_formdata(fields)


def _json_body(value: Any) -> bytes:
    try:
        text = _json.dumps(value, allow_nan=False)
    except ValueError as exc:  # NaN or infinity: not JSON
        raise rexc.InvalidJSONError(exc) from exc
    return text.encode("utf-8")


def _request_headers(headers: Mapping[str, Any] | None, content_type: str | None,
                     replace_content_type: bool) -> dict[str, Any]:
    """The caller's headers, checked, plus the defaults and the body's content type.

    Headers whose value is None are left out, as requests leaves them out.
    """
    merged: dict[str, Any] = {}
    present: set[str] = set()
    for name, value in (headers or {}).items():
        if value is None:
            continue
        _check_header(name, value)
        lowered = (name.decode("latin-1") if isinstance(name, bytes) else name).lower()
        if lowered == "content-type" and replace_content_type:
            continue
        merged[name] = value
        present.add(lowered)
    for name, value in _DEFAULT_HEADERS:
        if name.lower() not in present:
            merged[name] = value
    if content_type is not None and "content-type" not in present:
        merged["Content-Type"] = content_type
    return merged


def _check_header(name: Any, value: Any) -> None:
    """Refuse a header that would break the request.

    The message names the header but never shows its value: a token read from a file with its
    trailing newline would otherwise reach the callers' logs through the exception.
    """
    name_kind = str if isinstance(name, str) else bytes if isinstance(name, bytes) else None
    if name_kind is None or not _VALID_NAME[name_kind].fullmatch(name):
        raise rexc.InvalidHeader(f"Invalid header name {name!r}")
    value_kind = str if isinstance(value, str) else bytes if isinstance(value, bytes) else None
    if value_kind is None or not _VALID_VALUE[value_kind].fullmatch(value):
        raise rexc.InvalidHeader(f"Invalid value of header {name!r}: not str or bytes, leading "
                                 "whitespace, or a line break")


def _as_timeout(value: Any) -> Timeout:
    """A requests-style time-out (seconds, a (connect, read) pair, or a Timeout) as a Timeout."""
    if isinstance(value, Timeout):
        return value
    if isinstance(value, tuple):
        try:
            connect, read = value
        except ValueError:
            raise ValueError(f"Invalid timeout {value}. Pass a (connect, read) timeout tuple, or a "
                             "single float to set both timeouts to the same value.") from None
        return Timeout(connect=connect, read=read)
    return Timeout(connect=value, read=value)


# --- the reply -----------------------------------------------------------------------------------


class HttpResponse:
    """A reply of `HttpClient.post`, its whole body already read.

    A light response, not a `requests.Response`: it has `status_code`, `reason`, `headers` (a
    case-insensitive mapping), `url` (after redirects), `ok`, `content`, `text`, `encoding`,
    `json()` and `raise_for_status()`, with requests' meanings. `json()` raises
    `requests.exceptions.JSONDecodeError` (a ValueError) on a body that is not JSON.

    Once the body has been decoded as text (by `json()` or `text`), a UTF-8 body is kept as the
    text only, not as text and bytes both: a large JSON reply then costs one copy less while
    it is parsed. `content` encodes it back (the same bytes) if it is asked for afterwards.
    """

    __slots__ = ("status_code", "reason", "headers", "url", "_content", "_text", "_encoding")

    def __init__(self, status_code: int, reason: str | None, headers: Any, url: str, content: bytes) -> None:
        self.status_code = status_code
        self.reason = reason
        self.headers = headers
        self.url = url
        self._content: bytes | None = content
        self._text: str | None = None
        self._encoding: str | None | bool = False  # False: not looked up yet

    def __repr__(self) -> str:
        return f"<HttpResponse [{self.status_code}]>"

    def __bool__(self) -> bool:
        return self.ok

    @property
    def ok(self) -> bool:
        """False for a 4xx or 5xx status, as with requests."""
        return not 400 <= self.status_code < 600

    @property
    def encoding(self) -> str | None:
        """The charset of the Content-Type header; UTF-8 for JSON and Latin-1 for text without one."""
        if self._encoding is False:
            self._encoding = get_encoding_from_headers(self.headers)
        return self._encoding  # type: ignore[return-value]

    @property
    def content(self) -> bytes:
        if self._content is None:
            self._content = (self._text or "").encode("utf-8")
        return self._content

    @property
    def text(self) -> str:
        if self._text is None:
            self._text = self._decode()
        return self._text

    def _decode(self) -> str:
        content = self.content
        encoding = self.encoding or "utf-8"
        try:
            codec = codecs.lookup(encoding).name
        except LookupError:
            return str(content, errors="replace")
        if codec == "utf-8":
            try:
                text = str(content, "utf-8")
            except UnicodeDecodeError:
                return str(content, "utf-8", errors="replace")
            self._content = None  # the text holds it all: `content` can rebuild the same bytes
            return text
        return str(content, codec, errors="replace")

    def json(self, **kwargs: Any) -> Any:
        """The decoded JSON body; `requests.exceptions.JSONDecodeError` when it is not JSON."""
        if self._text is None and self.encoding is None and len(self.content) > 3:
            # No charset given: JSON may be UTF-8, -16 or -32, told apart by its first bytes.
            guessed = guess_json_utf(self.content)
            if guessed is not None and codecs.lookup(guessed).name != "utf-8":
                try:
                    return _json.loads(self.content.decode(guessed), **kwargs)
                except UnicodeDecodeError:
                    pass
                except _json.JSONDecodeError as exc:
                    raise rexc.JSONDecodeError(exc.msg, exc.doc, exc.pos) from None
        try:
            return _json.loads(self.text, **kwargs)
        except _json.JSONDecodeError as exc:
            raise rexc.JSONDecodeError(exc.msg, exc.doc, exc.pos) from None

    def raise_for_status(self) -> None:
        """`requests.exceptions.HTTPError` for a 4xx or 5xx status, as requests raises it."""
        if 400 <= self.status_code < 600:
            side = "Client" if self.status_code < 500 else "Server"
            raise rexc.HTTPError(f"{self.status_code} {side} Error: {self.reason} for url: {self.url}",
                                 response=self)

    def close(self) -> None:
        """Nothing to release: the body was read and the connection went back to its pool."""


# --- routes: URL, proxy and connection pool -------------------------------------------------------


class _Target(NamedTuple):
    scheme: str
    host: str
    port: int
    request_uri: str  # path and query, for a direct request
    url: str  # the whole URL without its fragment, for a request through a proxy


def _parse_target(url: Any) -> _Target:
    """The parts of a URL that a request needs; requests' exceptions for a URL it would refuse."""
    if not isinstance(url, str):
        url = url.decode("utf-8") if isinstance(url, bytes) else str(url)
    text = url.lstrip()
    try:
        parsed = parse_url(text)
    except u3exc.LocationParseError as exc:
        raise rexc.InvalidURL(*exc.args) from exc
    if not parsed.scheme:
        raise rexc.MissingSchema(f"Invalid URL {url!r}: No scheme supplied. Perhaps you meant https://{url}?")
    if parsed.scheme not in _DEFAULT_PORTS:
        raise rexc.InvalidSchema(f"No connection adapters were found for {url!r}")
    if not parsed.host:
        raise rexc.InvalidURL(f"Invalid URL {url!r}: No host supplied")
    if parsed.host.startswith(("*", ".")):
        raise rexc.InvalidURL("Invalid URL: Invalid host label")
    return _Target(parsed.scheme, parsed.host, parsed.port or _DEFAULT_PORTS[parsed.scheme],
                   parsed.request_uri, parsed._replace(fragment=None).url)


class _Routes:
    """Route decisions made under one proxy environment: per host, a pool or a proxy manager."""

    __slots__ = ("environment", "proxies", "by_host")

    def __init__(self, environment: tuple[str | None, ...]) -> None:
        self.environment = environment
        # The full reading, as requests makes it: every *_proxy variable, lower case first.
        self.proxies = urllib.request.getproxies_environment()
        self.by_host: dict[tuple[str, str, int], Any] = {}


def _ca_bundle() -> str | None:
    return os.environ.get("REQUESTS_CA_BUNDLE") or os.environ.get("CURL_CA_BUNDLE") or None


def _pool_options(ca_bundle: str | None, pool_size: int) -> dict[str, Any]:
    options: dict[str, Any] = {"num_pools": pool_size, "maxsize": pool_size, "block": False}
    if ca_bundle:
        if not os.path.exists(ca_bundle):
            raise OSError(f"Could not find a suitable TLS CA certificate bundle, invalid path: {ca_bundle}")
        options["ca_cert_dir" if os.path.isdir(ca_bundle) else "ca_certs"] = ca_bundle
    return options


def _proxy_manager(proxy: str, options: dict[str, Any]) -> urllib3.PoolManager:
    """A manager that sends through `proxy`, with the proxy's credentials from its URL."""
    if proxy.lower().startswith("socks"):
        username, password = get_auth_from_url(proxy)
        try:
            from urllib3.contrib.socks import SOCKSProxyManager
        except ImportError as exc:
            raise rexc.InvalidSchema("Missing dependencies for SOCKS support.") from exc
        return SOCKSProxyManager(proxy, username=username or None, password=password or None, **options)
    headers: dict[str, str] = {}
    username, password = get_auth_from_url(proxy)
    if username:
        headers = make_headers(proxy_basic_auth=f"{username}:{password}")
    return urllib3.ProxyManager(proxy, proxy_headers=headers, **options)


# --- errors ----------------------------------------------------------------------------------------


def _request_error(exc: Exception) -> Exception:
    """requests' exception for a failure before the reply's head arrived (as requests maps it)."""
    if isinstance(exc, u3exc.ReadTimeoutError):
        return rexc.ReadTimeout(exc)
    if isinstance(exc, u3exc.ProxyError):
        return rexc.ProxyError(exc)
    if isinstance(exc, u3exc.NewConnectionError):  # refused, unreachable, name not resolved
        return rexc.ConnectionError(exc)
    if isinstance(exc, u3exc.ConnectTimeoutError):
        return rexc.ConnectTimeout(exc)
    if isinstance(exc, u3exc.SSLError):
        return rexc.SSLError(exc)
    if isinstance(exc, u3exc.InvalidHeader):
        return rexc.InvalidHeader(exc)
    if isinstance(exc, u3exc.LocationValueError):
        return rexc.InvalidURL(exc)
    return rexc.ConnectionError(exc)


def _body_error(exc: Exception) -> Exception:
    """requests' exception for a failure while the reply's body was read."""
    if isinstance(exc, u3exc.ReadTimeoutError):
        return rexc.ReadTimeout(exc)
    if isinstance(exc, u3exc.SSLError):
        return rexc.SSLError(exc)
    if isinstance(exc, u3exc.DecodeError):
        return rexc.ContentDecodingError(exc)
    if isinstance(exc, u3exc.ProtocolError):  # cut short, or reset in the middle
        return rexc.ChunkedEncodingError(exc)
    return rexc.ConnectionError(exc)


_TRANSPORT_ERRORS: Final = (u3exc.HTTPError, OSError)


# --- the client ------------------------------------------------------------------------------------


def _redirect_location(raw: urllib3.BaseHTTPResponse) -> str | None:
    """The Location of a redirect; its bytes came as Latin-1 and are most often UTF-8."""
    location = raw.headers.get("location")
    if location:
        try:
            return str(location.encode("latin-1").decode("utf-8"))
        except UnicodeError:
            return str(location)
    return None


def _strips_auth(old: _Target, new: _Target) -> bool:
    """Whether a redirect leaves the origin that the Authorization header was meant for."""
    if old.host != new.host:
        return True
    if old.scheme == "http" and old.port == 80 and new.scheme == "https" and new.port == 443:
        return False
    return old.scheme != new.scheme or old.port != new.port


class HttpClient:
    """POSTs JSON or multipart bodies over keep-alive connections shared by every request thread.

    One urllib3 connection pool per host (up to `pool_size` of each, kept alive and reused;
    urllib3's pools are thread-safe). Proxies come from HTTP_PROXY / HTTPS_PROXY / ALL_PROXY and
    NO_PROXY, and the CA bundle from REQUESTS_CA_BUNDLE / CURL_CA_BUNDLE, read at each call as
    requests reads them. Cookies are never stored, so nothing one reply sets travels with a later
    request made for another caller or token; a ~/.netrc file is not consulted (with requests its
    entry would replace the caller's Authorization header).
    """

    def __init__(self, base_timeout: float = 120.0, pool_size: int = 16) -> None:
        self.base_timeout = base_timeout
        self._pool_size = pool_size
        self._lock = threading.Lock()
        self._managers: dict[tuple[str | None, str | None], urllib3.PoolManager] = {}
        self._targets: dict[str, _Target] = {}
        self._routes = _Routes(self._environment())

    def post(
        self,
        url: str,
        headers: Mapping[str, str] | None = None,
        json: Any = None,
        data: Mapping[str, Any] | None = None,
        files: list[tuple[str, bytes]] | None = None,
        timeout: Any = None,
    ) -> HttpResponse:
        """POST either a JSON body (`json`) or one multipart/form-data body (`data` and `files`).

        `files` is a list of (field name, bytes) pairs, each sent as one file part under that
        name (a name may repeat); `data` holds the form fields; the multipart content type, with
        its boundary, replaces any the caller gave. `timeout` (seconds, or a (connect, read)
        pair) defaults to `base_timeout`. A reply that stalls past the time-out, in its head or
        its body, raises `requests.exceptions.ReadTimeout`; a connection that cannot be made in
        time raises `requests.exceptions.ConnectTimeout`, a refused one
        `requests.exceptions.ConnectionError`. The whole body has been read when this returns.
        """
        if timeout is None:
            timeout = self.base_timeout
        if files:
            if json is not None:
                raise TypeError("post() takes a JSON body or a multipart body, not both")
            body, content_type = _multipart_body(data, files)
            return self._send(url, _request_headers(headers, content_type, True), body, timeout)
        if data is not None or files is not None:
            raise TypeError("post() sends form fields only in a multipart body with files")
        if json is None:
            raise TypeError("post() needs a body: json, or data with files")
        return self._send(url, _request_headers(headers, "application/json", False), _json_body(json), timeout)

    def close(self) -> None:
        """Close the pooled connections; the client opens new ones if it is used again.

        A call in flight on another thread finishes on its connection, which is then dropped.
        """
        with self._lock:
            routes, self._routes = self._routes, _Routes(self._environment())
            managers, self._managers = list(self._managers.values()), {}
        pools = [route for route in list(routes.by_host.values()) if not isinstance(route, urllib3.PoolManager)]
        for manager in managers:
            pools.extend(manager.pools.get(key) for key in list(manager.pools.keys()))
            manager.clear()  # forgets its pools; urllib3 2 no longer closes them itself
        for pool in pools:
            if pool is not None:
                pool.close()

    # -- sending --

    def _send(self, url: str, headers: dict[str, Any], body: bytes | None, timeout: Any) -> HttpResponse:
        timeout = _as_timeout(timeout)
        target = self._target(url)
        method = "POST"
        for _ in range(_MAX_REDIRECTS + 1):
            raw = self._open(target, method, headers, body, timeout)
            content = self._read(raw)
            location = _redirect_location(raw) if raw.status in _REDIRECT_STATUSES else None
            if not location:
                return HttpResponse(raw.status, raw.reason, raw.headers, target.url, content)
            target, method, headers, body = self._redirected(target, raw.status, location, method, headers, body)
        raise rexc.TooManyRedirects(f"Exceeded {_MAX_REDIRECTS} redirects.")

    def _open(self, target: _Target, method: str, headers: dict[str, Any], body: bytes | None,
              timeout: Timeout) -> urllib3.BaseHTTPResponse:
        """Send the request and read the reply's head; requests' exceptions on failure."""
        route = self._route(target)
        try:
            return self._urlopen(route, target, method, headers, body, timeout)
        except u3exc.ClosedPoolError:
            # close() on another thread closed the pool between the lookup and the send, before
            # anything was sent: send once through the host's new pool.
            self._forget_route(target)
        except _TRANSPORT_ERRORS as exc:
            raise _request_error(exc) from exc
        route = self._route(target)
        try:
            return self._urlopen(route, target, method, headers, body, timeout)
        except _TRANSPORT_ERRORS as exc:
            raise _request_error(exc) from exc

    @staticmethod
    def _urlopen(route: Any, target: _Target, method: str, headers: dict[str, Any], body: bytes | None,
                 timeout: Timeout) -> urllib3.BaseHTTPResponse:
        if isinstance(route, urllib3.PoolManager):  # through a proxy: the manager frames it
            return route.urlopen(method, target.url, redirect=False, body=body, headers=headers,
                                 timeout=timeout, retries=False, preload_content=False, decode_content=True)
        pool: urllib3.HTTPConnectionPool = route
        return pool.urlopen(method, target.request_uri, body=body, headers=headers, timeout=timeout,
                            retries=False, redirect=False, assert_same_host=False, preload_content=False,
                            decode_content=True)

    @staticmethod
    def _read(raw: urllib3.BaseHTTPResponse) -> bytes:
        """The whole body; the connection then goes back to its pool (or is dropped on failure)."""
        try:
            return raw.read()
        except _TRANSPORT_ERRORS as exc:
            raise _body_error(exc) from exc
        finally:
            raw.release_conn()

    def _redirected(self, target: _Target, status: int, location: str, method: str,
                    headers: dict[str, Any], body: bytes | None) -> tuple[_Target, str, dict[str, Any], bytes | None]:
        """The next request of a redirect, as requests makes it.

        301, 302 and 303 turn a POST into a GET without a body; 307 and 308 repeat the POST. The
        Authorization header does not follow to another origin (http to https on the default
        ports excepted), nor does a Cookie header.
        """
        new_target = self._target(urljoin(target.url, location))
        headers = {k: v for k, v in headers.items() if str(k).lower() != "cookie"}
        if status in (301, 302, 303) and method != "HEAD":
            method, body = "GET", None
            headers = {k: v for k, v in headers.items()
                       if str(k).lower() not in ("content-type", "content-length", "transfer-encoding")}
        if _strips_auth(target, new_target):
            headers = {k: v for k, v in headers.items() if str(k).lower() != "authorization"}
        return new_target, method, headers, body

    # -- routes --

    @staticmethod
    def _environment() -> tuple[str | None, ...]:
        return tuple(map(os.environ.get, _ROUTE_ENVIRONMENT))

    def _target(self, url: Any) -> _Target:
        target = self._targets.get(url) if isinstance(url, str) else None
        if target is None:
            target = _parse_target(url)
            if isinstance(url, str):
                if len(self._targets) >= _CACHE_LIMIT:
                    self._targets.clear()
                self._targets[url] = target
        return target

    def _route(self, target: _Target) -> Any:
        """The host's connection pool, or the proxy manager that the environment sends it through."""
        environment = self._environment()
        routes = self._routes
        if routes.environment != environment:
            routes = self._routes = _Routes(environment)
        key = (target.scheme, target.host, target.port)
        route = routes.by_host.get(key)
        if route is None:
            route = self._decide_route(target, routes)
            if len(routes.by_host) >= _CACHE_LIMIT:
                routes.by_host.clear()
            routes.by_host[key] = route
        return route

    def _forget_route(self, target: _Target) -> None:
        self._routes.by_host.pop((target.scheme, target.host, target.port), None)

    def _decide_route(self, target: _Target, routes: _Routes) -> Any:
        # A CA bundle from the environment matters (and must exist) only for https, as with requests.
        ca_bundle = _ca_bundle() if target.scheme == "https" else None
        proxy = None
        if routes.proxies and not should_bypass_proxies(target.url, no_proxy=None):
            proxy = select_proxy(target.url, routes.proxies)
        if proxy:
            proxy = prepend_scheme_if_needed(proxy, "http")
            if not parse_url(proxy).host:
                raise rexc.InvalidProxyURL("Please check proxy URL. It is malformed and could be missing the host.")
            return self._manager(proxy, ca_bundle)
        return self._manager(None, ca_bundle).connection_from_host(target.host, target.port, target.scheme)

    def _manager(self, proxy: str | None, ca_bundle: str | None) -> urllib3.PoolManager:
        key = (proxy, ca_bundle)
        manager = self._managers.get(key)
        if manager is None:
            with self._lock:
                manager = self._managers.get(key)
                if manager is None:
                    options = _pool_options(ca_bundle, self._pool_size)
                    manager = _proxy_manager(proxy, options) if proxy else urllib3.PoolManager(**options)
                    self._managers[key] = manager
        return manager
