"""Failures of `http_client.post`, raised as the requests exceptions that the clients tell apart.

The clients map `requests.exceptions.ReadTimeout` to SERVICE_TIMEOUT and every other exception to
SERVICE_BUSY under its type name, so the classes matter, not only that something is raised.
"""

import socket
import time
import typing

import pytest
import requests
from werkzeug.wrappers import Response

from corvessa.config import HttpClient

from .conftest import read_request

exc = requests.exceptions


@pytest.fixture
def client() -> typing.Iterator[HttpClient]:
    http = HttpClient(base_timeout=5)
    yield http
    http.close()


@pytest.fixture
def full_backlog() -> typing.Iterator[str]:
    """A loopback URL whose listener never accepts and whose queue is full: a connect stalls."""
    listener = socket.create_server(("127.0.0.1", 0), backlog=0)
    port = listener.getsockname()[1]
    fillers = []
    for _ in range(8):
        filler = socket.socket()
        filler.setblocking(False)
        filler.connect_ex(("127.0.0.1", port))
        fillers.append(filler)
    time.sleep(0.05)  # let the first handshakes fill the queue
    yield f"http://127.0.0.1:{port}/x"
    for filler in fillers:
        filler.close()
    listener.close()


def test_connect_timeout_is_not_a_read_timeout(client, full_backlog) -> None:
    with pytest.raises(exc.ConnectTimeout) as caught:
        client.post(full_backlog, json={}, timeout=(0.2, 30))
    assert not isinstance(caught.value, exc.ReadTimeout)


def test_refused_connection_is_a_connection_error(client, refused_url) -> None:
    with pytest.raises(exc.ConnectionError) as caught:
        client.post(refused_url, json={})
    assert not isinstance(caught.value, (exc.Timeout, exc.ProxyError))


def test_read_timeout_with_separate_connect_and_read_limits(server, client) -> None:
    server.routes["/slow"] = lambda _request: (server.release.wait(10), Response("{}"))[1]
    with pytest.raises(exc.ReadTimeout):
        client.post(f"{server.url}/slow", json={}, timeout=(5, 0.2))


def head_then(conn: socket.socket, announced: int, sent: bytes, reset: bool) -> None:
    read_request(conn)
    conn.sendall(b"HTTP/1.1 200 OK\r\nContent-Type: application/json\r\n"
                 b"Content-Length: %d\r\n\r\n" % announced + sent)
    if reset:  # SO_LINGER 0: the close sends a reset instead of the rest of the body
        conn.setsockopt(socket.SOL_SOCKET, socket.SO_LINGER, b"\x01\x00\x00\x00\x00\x00\x00\x00")


@pytest.mark.parametrize("reset", [False, True], ids=["closed-early", "reset"])
def test_body_cut_short_is_a_chunked_encoding_error(client, raw_server, reset) -> None:
    srv = raw_server(lambda conn: head_then(conn, 4096, b'{"data": [', reset))
    with pytest.raises(exc.ChunkedEncodingError):
        client.post(f"{srv.url}/x", json={})


def test_garbage_instead_of_a_reply_is_a_connection_error(client, raw_server) -> None:
    srv = raw_server(lambda conn: (read_request(conn), conn.sendall(b"NOT HTTP AT ALL\r\n\r\n")))
    with pytest.raises(exc.ConnectionError):
        client.post(f"{srv.url}/x", json={})


def test_client_still_works_after_failures(server, client, raw_server) -> None:
    broken = raw_server(lambda conn: head_then(conn, 100, b"{", True))
    server.routes["/ok"] = lambda _request: Response('{"ok": true}')
    for _ in range(3):
        with pytest.raises(exc.ChunkedEncodingError):
            client.post(f"{broken.url}/x", json={})
        assert client.post(f"{server.url}/ok", json={}).json() == {"ok": True}


@pytest.mark.parametrize(("url", "error"), [
    ("127.0.0.1/x", exc.MissingSchema),
    ("/v1/images/edits", exc.MissingSchema),
    ("ftp://127.0.0.1/x", exc.InvalidSchema),
    ("http://", exc.InvalidURL),
    ("http://*.example/x", exc.InvalidURL),
    ("http://127.0.0.1:99999999/x", exc.InvalidURL),
])
def test_unusable_url_is_refused_before_sending(client, url, error) -> None:
    with pytest.raises(error):
        client.post(url, json={})


@pytest.mark.parametrize("headers", [
    {"Authorization": "Bearer k\n"},  # a token read from a file with its newline
    {"Authorization": "Bearer k\r\nX-Injected: 1"},
    {"Authorization": b"Bearer k\r\n"},
    {"Authorization": " Bearer k"},
    {"Bad:Name": "v"},
    {"X-Name\n": "v"},
    {"Authorization": 12345},
])
def test_broken_header_is_refused_without_showing_its_value(server, client, headers) -> None:
    with pytest.raises(exc.InvalidHeader) as caught:
        client.post(f"{server.url}/r", headers=headers, json={})
    assert "Bearer" not in str(caught.value) and "12345" not in str(caught.value)
    assert caught.value.__cause__ is None and caught.value.__context__ is None
    assert server.seen == []


@pytest.mark.parametrize(("keywords", "error"), [
    ({"json": {"x": float("nan")}}, exc.InvalidJSONError),
    ({"json": {"x": object()}}, TypeError),
    ({"json": {}, "timeout": (1, 2, 3)}, ValueError),
    ({"json": {}, "timeout": True}, ValueError),
    ({"data": {"n": 1}, "files": [("image", "not bytes")]}, TypeError),
])
def test_unsendable_arguments_are_refused_before_sending(server, client, keywords, error) -> None:
    with pytest.raises(error):
        client.post(f"{server.url}/r", **keywords)
    assert server.seen == []
