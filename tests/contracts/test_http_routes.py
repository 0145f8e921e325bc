"""What reaches the server besides the body, where the stand-in decides it: the environment's
proxy still applies (the session keeps trust_env), header values of None are let through to be
left out, and ~/.netrc never replaces the caller's Authorization header, redirects included.
How requests itself reads proxy, bypass and CA-bundle variables is requests' own business."""

import pytest
from werkzeug.wrappers import Response

from .conftest import ok_json

UPSTREAM = "http://upstream.test:8080/v1/images/generations"  # only ever reached through the proxy


def test_http_proxy_forwards_the_whole_request(route_environment, server, client) -> None:
    route_environment.setenv("HTTP_PROXY", server.url)
    # A proxy is asked for the absolute target, which arrives as the request's path.
    server.routes[f"/{UPSTREAM}"] = lambda _request: Response('{"via": "proxy"}')
    response = client.post(UPSTREAM, headers={"Authorization": "Bearer k"}, json={"prompt": "a cat"})
    assert response.json() == {"via": "proxy"}
    (seen,) = server.seen
    assert (seen.method, seen.path) == ("POST", f"/{UPSTREAM}")
    assert seen.headers["Authorization"] == "Bearer k"
    assert seen.body == b'{"prompt": "a cat"}'


def test_callers_headers_are_sent_and_none_values_left_out(server, client) -> None:
    server.routes["/r"] = ok_json
    client.post(f"{server.url}/r", headers={"X-None": None, "X-Key": "v 1"}, json={})
    (seen,) = server.seen
    assert seen.headers["X-Key"] == "v 1" and "X-None" not in seen.headers


@pytest.mark.parametrize(
    ("redirect_host", "authorization_after"),
    [
        ("127.0.0.1", "Bearer k"),  # same origin: the caller's header follows
        ("localhost", None),  # another origin: dropped, and not replaced from ~/.netrc either
    ],
)
def test_netrc_never_replaces_the_callers_authorization(
    server, client, tmp_path, monkeypatch, redirect_host, authorization_after
) -> None:
    netrc = tmp_path / "netrc"
    netrc.write_text(
        "machine 127.0.0.1 login intruder password from-netrc\nmachine localhost login intruder password from-netrc\n"
    )
    netrc.chmod(0o600)
    monkeypatch.setenv("NETRC", str(netrc))
    target = server.url.replace("127.0.0.1", redirect_host)
    server.routes["/old"] = lambda _request: Response("", status=307, headers={"Location": f"{target}/new"})
    server.routes["/new"] = ok_json
    assert client.post(f"{server.url}/old", headers={"Authorization": "Bearer k"}, json={}).ok
    first, second = server.seen
    assert (first.path, second.path) == ("/old", "/new")
    assert first.headers["Authorization"] == "Bearer k"
    assert second.headers.get("Authorization") == authorization_after
