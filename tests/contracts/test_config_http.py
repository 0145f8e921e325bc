import threading
import typing

import pytest
import requests
from werkzeug.wrappers import Response

from corvessa import config
from corvessa.config import POOL_SIZE, HttpClient
from doubles import image_bytes

from .conftest import ok_json

PNG = image_bytes("PNG")
JPEG = image_bytes("JPEG")
HEADERS = {"Authorization": "Bearer k", "Content-Type": "application/json"}
GENERATE = "/v1beta/models/m:generateContent"


def test_tables_and_shared_client() -> None:
    assert (
        config._SUPPORTED_MODELS
        == set(typing.get_args(config._GeminiModel))
        == {"gemini-3-pro-image-preview", "gemini-3.1-flash-image-preview", "gemini-2.5-flash-image"}
    )
    assert (
        config._SUPPORTED_RATIOS
        == set(typing.get_args(config._AspectRatio))
        == {"1:1", "2:3", "3:2", "3:4", "4:3", "4:5", "5:4", "9:16", "16:9", "21:9"}
    )
    assert "7:5" not in config._SUPPORTED_RATIOS and None not in config._SUPPORTED_MODELS
    with pytest.raises(TypeError):
        ["2:3"] in config._SUPPORTED_RATIOS  # noqa: B015 - an unhashable probe, documented to raise
    assert isinstance(config.http_client, HttpClient) and config.http_client.base_timeout == 120


def test_json_post(server, client) -> None:
    server.routes[GENERATE] = ok_json
    body = {"contents": [{"parts": [{"text": "a cat"}]}], "generationConfig": {"n": 1}}
    response = client.post(f"{server.url}{GENERATE}", headers=HEADERS, json=body, timeout=5)
    assert isinstance(response, requests.Response)
    assert response.status_code == 200 and response.json() == {"data": [{"b64_json": "AA=="}]}
    (seen,) = server.seen
    assert seen.json == body
    assert seen.headers["Authorization"] == "Bearer k"
    assert seen.headers["Content-Type"] == "application/json"


def test_multipart_post_with_repeated_image_parts(server, client) -> None:
    server.routes["/v1/images/edits"] = ok_json
    payload = {"model": "gpt-image-2", "prompt": "a cat", "quality": "", "size": "1024x1024", "n": 1}
    files = [("image", PNG), ("image", JPEG)]
    response = client.post(f"{server.url}/v1/images/edits", headers=HEADERS, data=payload, files=files, timeout=5)
    assert response.status_code == 200
    (seen,) = server.seen
    assert seen.headers["Content-Type"].startswith("multipart/form-data; boundary=")
    assert seen.form == {key: [str(value)] for key, value in payload.items()}
    assert [(name, ctype, content) for name, _, ctype, content in seen.files] == [
        ("image", "image/png", PNG),
        ("image", "image/jpeg", JPEG),
    ]
    assert all(filename for _, filename, _, _ in seen.files)


@pytest.mark.parametrize("name", ["Content-Type", "content-type", b"Content-Type"])
def test_multipart_content_type_replaces_the_callers(server, client, name) -> None:
    server.routes["/r"] = ok_json
    client.post(f"{server.url}/r", headers={name: "application/json"}, data={"n": 1}, files=[("image", PNG)])
    (seen,) = server.seen
    assert seen.headers["Content-Type"].startswith("multipart/form-data; boundary=")
    assert seen.form == {"n": ["1"]} and [f[0] for f in seen.files] == ["image"]


def test_non_json_reply_is_returned_and_json_raises(server, client) -> None:
    server.routes["/x"] = lambda _request: Response("<html>busy</html>", status=503)
    response = client.post(f"{server.url}/x", json={})
    assert response.status_code == 503
    with pytest.raises(requests.exceptions.JSONDecodeError):
        response.json()


def test_connection_is_reused(server, client) -> None:
    server.routes["/r"] = ok_json
    for _ in range(2):
        assert client.post(f"{server.url}/r", json={}).status_code == 200
    assert len({seen.client_port for seen in server.seen}) == 1


def test_pool_keeps_sixteen_connections_per_host(server, client) -> None:
    assert POOL_SIZE >= 16
    together = threading.Barrier(POOL_SIZE, timeout=10)

    def held_open(_request) -> Response:
        together.wait()  # every request is in flight at once: one connection each
        return ok_json(_request)

    server.routes["/r"] = held_open
    statuses: list[int] = []

    def worker() -> None:
        statuses.append(client.post(f"{server.url}/r", json={}).status_code)

    for _ in range(2):
        threads = [threading.Thread(target=worker) for _ in range(POOL_SIZE)]
        for thread in threads:
            thread.start()
        for thread in threads:
            thread.join(timeout=30)
    assert statuses == [200] * 2 * POOL_SIZE
    # The second round ran on the connections of the first: the pool kept all of them.
    assert len({seen.client_port for seen in server.seen}) == POOL_SIZE


def test_cookies_are_never_kept(server, client) -> None:
    server.routes["/login"] = lambda _request: Response("{}", headers={"Set-Cookie": "session=abc; Path=/"})
    server.routes["/r"] = ok_json
    client.post(f"{server.url}/login", json={})
    client.post(f"{server.url}/r", json={})
    assert "Cookie" not in server.seen[1].headers


@pytest.mark.parametrize(
    "keywords", [{"json": {}, "data": {"n": 1}, "files": [("image", PNG)]}, {"data": {"n": 1}}, {"files": []}, {}]
)
def test_other_body_shapes_are_refused(client, keywords) -> None:
    with pytest.raises(TypeError):
        client.post("http://127.0.0.1:9/unused", **keywords)
