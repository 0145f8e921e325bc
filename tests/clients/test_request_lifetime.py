"""The request's own objects are released as soon as the HTTP client returns, before the reply
is read: a large reply then does not meet the request body still in memory."""

from __future__ import annotations

import sys
from types import SimpleNamespace
from typing import Any

from .kinds import Kind


def test_the_request_body_is_released_before_the_reply_is_read(kind: Kind, http_fake: Any) -> None:
    held: list[Any] = []
    unshared: list[int] = []

    class Reply:
        status_code = 200

        def json(self) -> dict[str, Any]:
            # The body against a dict that nothing but `held` refers to: equal counts mean that
            # the client keeps no reference of its own.
            unshared.append(sys.getrefcount(held[0]) - sys.getrefcount(held[1]))
            return {}

    def post(url: str, **kwargs: Any) -> Reply:
        held.extend([kwargs["json"] if "json" in kwargs else kwargs["data"], {}])
        return Reply()

    http_fake.record = False
    http_fake.reply = post
    # A logger that keeps no record: a kept record would hold the payload.
    client = kind.cls("http://api.test", "tok", logger=SimpleNamespace(debug=lambda record: None))
    client.generate_image("a fox")
    assert unshared == [0]
