"""Reply delivery shared by both APIs: healthy replies and the transport-level faults."""

from __future__ import annotations

import json
import threading
from collections.abc import Callable, Iterable, Iterator
from dataclasses import dataclass
from typing import Any

from werkzeug.wrappers import Response

from .errors import ApiError, fault_message
from .faults import Faults
from .render import Output
from .store import Links

DRIP_PIECES = 20
EVENT_STREAM = "text/event-stream"
_NOT_JSON_BODY = b"<html><head><title>Gateway</title></head><body>upstream sent an unexpected reply</body></html>"


def json_response(payload: Any, status: int = 200) -> Response:
    return Response(json.dumps(payload), status=status, mimetype="application/json")


def server_sent_events(events: Iterable[tuple[str | None, Any]], line_end: str = "\n") -> bytes:
    """Each (event name or None, JSON payload) as one server-sent event: optional "event:" line,
    one "data:" line, then a blank line."""
    out: list[str] = []
    for name, payload in events:
        if name is not None:
            out.append(f"event: {name}{line_end}")
        out.append(f"data: {json.dumps(payload)}{line_end}{line_end}")
    return "".join(out).encode()


def html_error(status: int) -> Response:
    body = f"<html><body><h1>{status}</h1><p>The server could not complete the request.</p></body></html>"
    return Response(body, status=status, mimetype="text/html")


def not_json() -> Response:
    return Response(_NOT_JSON_BODY, status=200, mimetype="text/html")


def forced_reply(faults: Faults, delivery: Delivery, error_response: Callable[[ApiError], Response]) -> Response | None:
    """Waits as the prompt's tokens say, then the reply they force, if any: a status error (with
    the API's own error body, or HTML) or a 200 that is not JSON."""
    delivery.wait(faults.delay)
    if faults.status is not None:
        if faults.html_error:
            return html_error(faults.status)
        return error_response(ApiError(faults.status, fault_message(faults.status)))
    if faults.not_json:
        return not_json()
    return None


@dataclass(frozen=True)
class Call:
    """What a handler needs beside the request: reply delivery, picture links, the small-picture edge."""

    delivery: Delivery
    links: Links
    small_edge: int | None = None

    def output(self, format: str = "png", compression: int | None = None) -> Output:
        return Output(format, compression, self.small_edge)


class Delivery:
    """Turns a finished JSON body into a response, applying the body-level faults."""

    def __init__(self, stop: threading.Event) -> None:
        self._stop = stop  # set when the server closes, so waits end at once

    def wait(self, seconds: float) -> None:
        if seconds > 0:
            self._stop.wait(seconds)

    def body(self, payload: Any, faults: Faults) -> Response:
        return self.data(json.dumps(payload).encode(), faults)

    def data(self, data: bytes, faults: Faults, mimetype: str = "application/json") -> Response:
        """A complete body of any type (JSON, or server-sent events sent whole), with the
        body-level faults applied."""
        if faults.truncated:
            return Response(data[: len(data) // 2], status=200, mimetype=mimetype)
        if faults.disconnect:
            return self._streamed(data, iter([data[: len(data) // 2]]), mimetype)
        if faults.drip > 0:
            return self._streamed(data, self._drip(data, faults.drip), mimetype)
        return Response(data, status=200, mimetype=mimetype)

    @staticmethod
    def _streamed(data: bytes, pieces: Iterator[bytes], mimetype: str) -> Response:
        # Content-Length announces the whole body; when fewer bytes follow, the server ends
        # the connection and the client sees it cut.
        response = Response(pieces, status=200, mimetype=mimetype, direct_passthrough=True)
        response.headers["Content-Length"] = str(len(data))
        return response

    def _drip(self, data: bytes, seconds: float) -> Iterator[bytes]:
        step = -(-len(data) // DRIP_PIECES)
        pause = seconds / DRIP_PIECES
        for start in range(0, len(data), step):
            if start:
                self.wait(pause)
            yield data[start : start + step]
