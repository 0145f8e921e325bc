"""What reaches the server besides the body: proxies and CA bundles from the environment, the
caller's headers, and an Authorization header that ~/.netrc never replaces, redirects included."""

import typing

import pytest
import requests
from werkzeug.wrappers import Response

from corvessa.config import HttpClient

UPSTREAM = "http://upstream.test:8080/v1/images/generations"  # only ever reached through the proxy


def ok_json(_request) -> Response:
    return Response('{"via": "direct"}', mimetype="application/json")


@pytest.fixture
def client() -> typing.Iterator[HttpClient]:
    http = HttpClient(base_timeout=5)
    yield http
    http.close()


def test_http_proxy_forwards_the_whole_request(route_environment, forward_proxy, client) -> None:
    route_environment.setenv("HTTP_PROXY", forward_proxy.url)
    response = client.post(UPSTREAM, headers={"Authorization": "Bearer k"}, json={"prompt": "a cat"})
    assert response.json() == {"via": "proxy"}
    (seen,) = forward_proxy.seen
    assert (seen.method, seen.target) == ("POST", UPSTREAM)
    assert seen.headers["authorization"] == "Bearer k"
    assert seen.body == b'{"prompt": "a cat"}'


@pytest.mark.parametrize(("variables", "proxied"), [
    ({"HTTP_PROXY": "{proxy}"}, True),
    ({"HTTP_PROXY": "{proxy}", "NO_PROXY": "127.0.0.1"}, False),
    ({}, False),
])
def test_proxy_choice_follows_the_environment(route_environment, forward_proxy, server, client,
                                              variables, proxied) -> None:
    server.routes["/r"] = ok_json
    for name, value in variables.items():
        route_environment.setenv(name, value.format(proxy=forward_proxy.url))
    assert client.post(f"{server.url}/r", json={}).json()["via"] == ("proxy" if proxied else "direct")


def test_missing_ca_bundle_from_the_environment_is_reported_for_https(route_environment, client,
                                                                       tmp_path) -> None:
    route_environment.setenv("REQUESTS_CA_BUNDLE", str(tmp_path / "missing.pem"))
    with pytest.raises(OSError, match="CA certificate bundle"):
        client.post("https://upstream.test/x", json={})  # refused before any connection


def test_callers_headers_are_sent_and_none_values_left_out(server, client) -> None:
    server.routes["/r"] = ok_json
    client.post(f"{server.url}/r", headers={"accept": "application/json", "X-None": None, "X-Key": "v 1"},
                json={})
    (seen,) = server.seen
    assert seen.headers["Accept"] == "application/json"  # the caller's, not the default */*
    assert seen.headers["X-Key"] == "v 1" and "X-None" not in seen.headers


@pytest.mark.parametrize(("redirect_host", "authorization_after"), [
    ("127.0.0.1", "Bearer k"),  # same origin: the caller's header follows
    ("localhost", None),  # another origin: dropped, and not replaced from ~/.netrc either
])
def test_netrc_never_replaces_the_callers_authorization(server, client, tmp_path, monkeypatch,
                                                         redirect_host, authorization_after) -> None:
    netrc = tmp_path / "netrc"
    netrc.write_text("machine 127.0.0.1 login intruder password from-netrc\n"
                     "machine localhost login intruder password from-netrc\n")
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
