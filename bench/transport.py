"""The one transport behind every target: a reused `requests.Session`, handed over as a host does.

A host gives the clients its own `http_client`: an object with `base_timeout` and
`post(url, headers=, json=|data=, files=, timeout=)`. The bench builds that object over a
`requests.Session` and installs it as the `http_client` module global of the native modules and
of the pure-Python twins; the floor posts through the same class. Whatever the transport costs
is then the same in every row that feeds a target, and the ratios show the clients' own cost.
"""

from __future__ import annotations

from typing import Any

import requests

DEFAULT_TIMEOUT = 120.0


class SessionHttpClient:
    """`http_client` over one reused `requests.Session` (keep-alive, one connection per client)."""

    __slots__ = ("session",)
    base_timeout = DEFAULT_TIMEOUT

    def __init__(self) -> None:
        self.session = requests.Session()

    def post(
        self,
        url: str,
        *,
        headers: Any = None,
        json: Any = None,
        data: Any = None,
        files: Any = None,
        timeout: Any = None,
    ) -> requests.Response:
        return self.session.post(url, headers=headers, json=json, data=data, files=files, timeout=timeout)
