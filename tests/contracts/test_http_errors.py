"""Failures of `http_client.post` as the clients tell them apart.

The clients map `requests.exceptions.ReadTimeout` to SERVICE_TIMEOUT and every other exception to
SERVICE_BUSY, logging the exception object itself; so a stall must be a ReadTimeout, nothing else
may be one, and a refused header must not show its value (the bearer token).
"""

import socket

import pytest
import requests
from werkzeug.wrappers import Response

from doubles import read_request
from harness import UNSENDABLE_IN_HEADERS

exc = requests.exceptions
TOKEN = "tok-5ecret-77"


def stall_before_reply(server):
    def handler(_request) -> Response:
        server.release.wait(10)
        return Response("{}")

    return handler


def stall_after_the_head(server):
    def chunks():
        yield b'{"data": '
        server.release.wait(10)
        yield b"[]}"

    return lambda _request: Response(chunks(), headers={"Content-Length": "12"})


@pytest.mark.parametrize(
    ("make_handler", "timeout"),
    [
        (stall_before_reply, 0.3),
        (stall_after_the_head, 0.3),  # requests itself calls this one a ConnectionError
        (stall_before_reply, (5, 0.3)),  # a (connect, read) pair
    ],
)
def test_stall_raises_read_timeout(server, client, make_handler, timeout) -> None:
    server.routes["/slow"] = make_handler(server)
    with pytest.raises(exc.ReadTimeout):
        client.post(f"{server.url}/slow", json={}, timeout=timeout)


def head_then(conn: socket.socket, sent: bytes, reset: bool) -> None:
    read_request(conn)
    conn.sendall(b"HTTP/1.1 200 OK\r\nContent-Type: application/json\r\nContent-Length: 4096\r\n\r\n" + sent)
    if reset:  # SO_LINGER 0: the close sends a reset instead of the rest of the body
        conn.setsockopt(socket.SOL_SOCKET, socket.SO_LINGER, b"\x01\x00\x00\x00\x00\x00\x00\x00")


@pytest.mark.parametrize(
    "script",
    [
        lambda conn, _: head_then(conn, b'{"data": [', reset=False),
        lambda conn, _: head_then(conn, b'{"data": [', reset=True),
        lambda conn, _: (read_request(conn), conn.sendall(b"NOT HTTP AT ALL\r\n\r\n")),
    ],
    ids=["closed-early", "reset", "garbage"],
)
def test_broken_reply_is_a_failure_but_not_a_time_out(server, client, raw_server, script) -> None:
    broken = raw_server(script)
    with pytest.raises(exc.RequestException) as caught:
        client.post(f"{broken.url}/x", json={}, timeout=5)
    assert not isinstance(caught.value, exc.Timeout)
    server.routes["/ok"] = lambda _request: Response('{"ok": true}')
    assert client.post(f"{server.url}/ok", json={}).json() == {"ok": True}  # the client still works


BAD_HEADERS = {
    **{name: {"Authorization": f"Bearer {TOKEN}{c}{TOKEN}"} for name, c in UNSENDABLE_IN_HEADERS.items()},
    "trailing-newline": {"Authorization": f"Bearer {TOKEN}\n"},  # a token read from a file with its newline
    "injection": {"Authorization": f"Bearer {TOKEN}\r\nX-Injected: 1"},
    "bytes-crlf": {"Authorization": f"Bearer {TOKEN}\r\n".encode()},
    "bytes-latin-1": {"Authorization": f"Bearer {TOKEN}\xa0".encode("latin-1")},
    "leading-space": {"Authorization": f" Bearer {TOKEN}"},
    "not-text": {"Authorization": 12345},
    "colon-in-name": {"Bad:Name": TOKEN},
    "newline-in-name": {"X-Name\n": TOKEN},
    "non-ascii-name": {"X-Näme": TOKEN},
}


@pytest.mark.parametrize("headers", BAD_HEADERS.values(), ids=BAD_HEADERS)
def test_header_is_refused_before_sending_without_showing_its_value(server, client, headers) -> None:
    with pytest.raises(exc.InvalidHeader) as caught:
        client.post(f"{server.url}/r", headers=headers, json={})
    error = caught.value
    for shown in (str(error), repr(error), repr(error.args)):
        assert TOKEN not in shown and "Bearer" not in shown and "12345" not in shown
    assert repr(next(iter(headers))) in str(error)  # names the header
    assert error.__cause__ is None and error.__context__ is None
    assert server.seen == []


@pytest.mark.parametrize(
    ("keywords", "error"),
    [
        ({"json": {"x": float("nan")}}, exc.InvalidJSONError),
        ({"json": {"x": object()}}, TypeError),
        ({"data": {"n": 1}, "files": [("image", "not bytes")]}, TypeError),
    ],
)
def test_unsendable_body_is_refused_before_sending(server, client, keywords, error) -> None:
    with pytest.raises(error):
        client.post(f"{server.url}/r", **keywords)
    assert server.seen == []
