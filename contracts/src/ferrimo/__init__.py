"""Image utilities: download of an image by its link."""

import http.cookiejar
import io
from typing import Final

import requests
from requests.adapters import HTTPAdapter

__all__ = ["ImageTool", "MAX_IMAGE_BYTES", "DOWNLOAD_TIMEOUT"]

# Largest image accepted; a body beyond it is abandoned, not buffered.
MAX_IMAGE_BYTES = 64 * 1024 * 1024
# (connect, read) seconds; the read limit applies to each wait for data.
DOWNLOAD_TIMEOUT: Final = (10.0, 60.0)
_CHUNK: Final = 256 * 1024


def _as_given(request: requests.PreparedRequest) -> requests.PreparedRequest:
    return request


class _AnonymousSession(requests.Session):
    """A session that sends no credentials: the links it fetches are named by a server.

    requests would otherwise add the ~/.netrc login for the link's host as Basic auth, over
    plain HTTP too, and again after each redirect. An explicit auth that leaves the request as
    given stops the first lookup; `rebuild_auth` only strips, never looks up.
    """

    def __init__(self) -> None:
        super().__init__()
        self.auth = _as_given

    def rebuild_auth(self, prepared_request: requests.PreparedRequest, response: requests.Response) -> None:
        prepared_request.headers.pop("Authorization", None)


def _new_session() -> requests.Session:
    session = _AnonymousSession()
    # Downloads are independent of each other; a link's cookies must not reach the next link.
    session.cookies.set_policy(http.cookiejar.DefaultCookiePolicy(allowed_domains=[]))
    adapter = HTTPAdapter(pool_connections=16, pool_maxsize=16)
    session.mount("http://", adapter)
    session.mount("https://", adapter)
    return session


_session: Final = _new_session()


def _declared_length(response: requests.Response) -> int | None:
    try:
        return int(response.headers["Content-Length"])
    except (KeyError, ValueError):
        return None


def _read_capped(response: requests.Response, cap: int) -> bytes | None:
    """The whole body, or None as soon as it grows past `cap` bytes."""
    declared = _declared_length(response)
    if declared is not None and declared > cap:
        return None
    body = bytearray()
    for chunk in response.iter_content(_CHUNK):
        body += chunk
        if len(body) > cap:
            return None
    return bytes(body)


class ImageTool:
    @staticmethod
    def get_img_url_io(url: str) -> io.BytesIO | None:
        """Download `url` and return its body as a BytesIO.

        Returns None when the reply status is not 200, the body is empty, or the body exceeds
        `MAX_IMAGE_BYTES` (it stops reading there). Transport failures (refused connection,
        time-out, broken transfer) and unusable links raise the requests exception.
        """
        with _session.get(url, stream=True, timeout=DOWNLOAD_TIMEOUT) as response:
            if response.status_code != 200:
                return None
            body = _read_capped(response, MAX_IMAGE_BYTES)
        return io.BytesIO(body) if body else None
