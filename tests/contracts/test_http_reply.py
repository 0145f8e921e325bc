"""The reply object of `http_client.post`: a light response with requests' meanings."""

import gzip
import json
import typing

import pytest
import requests
from werkzeug.wrappers import Response

from corvessa.config import HttpClient, HttpResponse


@pytest.fixture
def client() -> typing.Iterator[HttpClient]:
    http = HttpClient(base_timeout=5)
    yield http
    http.close()


def reply_with(body: bytes, content_type: str | None, status: int = 200, **headers: str):
    def handler(_request) -> Response:
        response = Response(body, status=status, headers=headers)
        if content_type is None:
            del response.headers["Content-Type"]
        else:
            response.headers["Content-Type"] = content_type
        return response
    return handler


def test_reply_attributes(server, client) -> None:
    server.routes["/r"] = reply_with(b'{"a": 1}', "application/json", status=201, **{"X-Trace": "t-1"})
    response = client.post(f"{server.url}/r#part", json={})
    assert isinstance(response, HttpResponse) and not isinstance(response, requests.Response)
    assert (response.status_code, response.reason, response.ok, bool(response)) == (201, "Created", True, True)
    assert response.url == f"{server.url}/r"  # the fragment never travels
    assert response.headers["x-trace"] == response.headers["X-TRACE"] == "t-1"
    assert response.content == b'{"a": 1}' and response.text == '{"a": 1}'
    assert response.json() == {"a": 1} and response.encoding == "utf-8"
    response.raise_for_status()


@pytest.mark.parametrize(("status", "kind"), [(404, "Client"), (503, "Server")])
def test_error_status_is_returned_and_raise_for_status_raises(server, client, status, kind) -> None:
    server.routes["/r"] = reply_with(b"no", "text/plain", status=status)
    response = client.post(f"{server.url}/r", json={})
    assert response.status_code == status and not response.ok and not response
    with pytest.raises(requests.exceptions.HTTPError, match=f"^{status} {kind} Error") as caught:
        response.raise_for_status()
    assert caught.value.response is response


@pytest.mark.parametrize(("body", "content_type"), [
    (b"<html>busy</html>", "text/html"),
    (b"", "application/json"),
    (b'{"data": [', "application/json"),
    (b"\xff\xfe not json", None),
])
def test_json_of_a_body_that_is_not_json(server, client, body, content_type) -> None:
    server.routes["/r"] = reply_with(body, content_type)
    response = client.post(f"{server.url}/r", json={})
    with pytest.raises(requests.exceptions.JSONDecodeError) as caught:
        response.json()
    assert isinstance(caught.value, ValueError)
    assert response.content == body  # still there, byte for byte


@pytest.mark.parametrize(("body", "content_type", "expected"), [
    # UTF-8 with a non-ASCII text, with and without a declared charset.
    ('{"p": "一只猫"}'.encode(), "application/json", {"p": "一只猫"}),
    ('{"p": "一只猫"}'.encode(), "application/json; charset=utf-8", {"p": "一只猫"}),
    ('{"p": "一只猫"}'.encode(), None, {"p": "一只猫"}),
    # No charset: UTF-16 and UTF-8 with a byte-order mark are recognised by their first bytes.
    ('{"p": "é"}'.encode("utf-16-le"), None, {"p": "é"}),
    (b"\xef\xbb\xbf" + b'{"p": 1}', None, {"p": 1}),
    # A declared charset is used, as requests uses it.
    ('{"p": "é"}'.encode("latin-1"), "application/json; charset=latin-1", {"p": "é"}),
    # Bytes that are not UTF-8 are replaced, as requests replaces them, instead of failing.
    (b'{"p": "\xff"}', "application/json", {"p": "\ufffd"}),
])
def test_json_decoding_keeps_the_body(server, client, body, content_type, expected) -> None:
    server.routes["/r"] = reply_with(body, content_type)
    response = client.post(f"{server.url}/r", json={})
    assert response.json() == expected
    assert response.content == body  # the same bytes after the body was decoded as text
    assert response.json() == expected  # and again


def test_text_uses_the_declared_or_default_charset(server, client) -> None:
    server.routes["/latin"] = reply_with("café".encode("latin-1"), "text/plain")  # text/*: Latin-1
    server.routes["/utf8"] = reply_with("café".encode(), "text/plain; charset=UTF-8")
    assert client.post(f"{server.url}/latin", json={}).text == "café"
    assert client.post(f"{server.url}/utf8", json={}).text == "café"


def test_gzip_reply_is_decoded(server, client) -> None:
    payload = {"data": [{"b64_json": "QUJD" * 1000}]}
    server.routes["/r"] = reply_with(gzip.compress(json.dumps(payload).encode()), "application/json",
                                     **{"Content-Encoding": "gzip"})
    assert client.post(f"{server.url}/r", json={}).json() == payload
    (seen,) = server.seen
    assert "gzip" in seen.headers["Accept-Encoding"]
