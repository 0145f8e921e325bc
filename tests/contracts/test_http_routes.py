"""Where `http_client.post` sends a request: proxies from the environment, redirects, pools."""

import base64
import threading
import typing

import pytest
import requests
from werkzeug.wrappers import Response

from corvessa.config import POOL_SIZE, HttpClient

PNG = b"\x89PNG\r\n\x1a\n" + b"\x01" * 64
UPSTREAM = "http://upstream.test:8080/v1/images/generations"  # only ever reached through the proxy


def ok_json(_request) -> Response:
    return Response('{"via": "direct"}', mimetype="application/json")


@pytest.fixture
def client() -> typing.Iterator[HttpClient]:
    http = HttpClient(base_timeout=5)
    yield http
    http.close()


# --- proxies ---------------------------------------------------------------------------------------


def test_http_proxy_forwards_the_whole_request(route_environment, forward_proxy, client) -> None:
    route_environment.setenv("HTTP_PROXY", forward_proxy.url)
    response = client.post(UPSTREAM, headers={"Authorization": "Bearer k"}, json={"prompt": "a cat"})
    assert response.json() == {"via": "proxy"}
    (seen,) = forward_proxy.seen
    assert (seen.method, seen.target) == ("POST", UPSTREAM)
    assert seen.headers["authorization"] == "Bearer k"
    assert seen.headers["content-type"] == "application/json"
    assert seen.body == b'{"prompt": "a cat"}'
    assert "proxy-authorization" not in seen.headers


def test_proxy_credentials_travel_to_the_proxy(route_environment, forward_proxy, client) -> None:
    host = forward_proxy.url.removeprefix("http://")
    route_environment.setenv("http_proxy", f"http://user%40corp:s3cret@{host}")
    client.post(UPSTREAM, data={"n": 1}, files=[("image", PNG)])
    (seen,) = forward_proxy.seen
    assert seen.headers["proxy-authorization"] == "Basic " + base64.b64encode(b"user@corp:s3cret").decode()
    assert seen.headers["content-type"].startswith("multipart/form-data; boundary=")


def test_https_goes_through_a_tunnel_of_the_https_proxy(route_environment, forward_proxy, client) -> None:
    route_environment.setenv("HTTPS_PROXY", forward_proxy.url)
    with pytest.raises(requests.exceptions.ProxyError):  # the proxy refuses the tunnel
        client.post("https://upstream.test/v1/images/generations", json={})
    (seen,) = forward_proxy.seen
    assert (seen.method, seen.target) == ("CONNECT", "upstream.test:443")


@pytest.mark.parametrize(("variables", "proxied"), [
    ({"HTTP_PROXY": "{proxy}"}, True),
    ({"http_proxy": "{proxy}"}, True),
    ({"ALL_PROXY": "{proxy}"}, True),
    ({"HTTPS_PROXY": "{proxy}"}, False),  # another scheme's proxy
    ({"HTTP_PROXY": "{proxy}", "NO_PROXY": "127.0.0.1"}, False),
    ({"HTTP_PROXY": "{proxy}", "no_proxy": "localhost, 127.0.0.0/8"}, False),  # a network
    ({"HTTP_PROXY": "{proxy}", "NO_PROXY": "*"}, False),
    ({"HTTP_PROXY": "{proxy}", "NO_PROXY": "127.0.0.2,example.com"}, True),
    ({"HTTP_PROXY": "{proxy}", "REQUEST_METHOD": "GET"}, False),  # CGI: HTTP_PROXY is not trusted
    ({}, False),
])
def test_proxy_choice_follows_the_environment(route_environment, forward_proxy, server, client,
                                              variables, proxied) -> None:
    server.routes["/r"] = ok_json
    for name, value in variables.items():
        route_environment.setenv(name, value.format(proxy=forward_proxy.url))
    via = client.post(f"{server.url}/r", json={}).json()["via"]
    assert via == ("proxy" if proxied else "direct")
    assert (len(forward_proxy.seen), len(server.seen)) == ((1, 0) if proxied else (0, 1))
    # The same choice as requests makes for this environment.
    expected = requests.Session().merge_environment_settings(f"{server.url}/r", {}, False, None, None)["proxies"]
    assert bool(requests.utils.select_proxy(f"{server.url}/r", expected)) is proxied


def test_environment_is_read_at_each_call(route_environment, forward_proxy, server, client) -> None:
    server.routes["/r"] = ok_json
    vias = [client.post(f"{server.url}/r", json={}).json()["via"]]
    route_environment.setenv("HTTP_PROXY", forward_proxy.url)
    vias.append(client.post(f"{server.url}/r", json={}).json()["via"])
    route_environment.setenv("NO_PROXY", "127.0.0.1")
    vias.append(client.post(f"{server.url}/r", json={}).json()["via"])
    assert vias == ["direct", "proxy", "direct"]


def test_malformed_proxy_url_is_refused(route_environment, client) -> None:
    route_environment.setenv("HTTP_PROXY", "http://:8080")
    with pytest.raises(requests.exceptions.InvalidProxyURL):
        client.post(UPSTREAM, json={})


def test_missing_ca_bundle_from_the_environment_is_reported_for_https(route_environment, server, client,
                                                                       tmp_path) -> None:
    server.routes["/r"] = ok_json
    route_environment.setenv("REQUESTS_CA_BUNDLE", str(tmp_path / "missing.pem"))
    with pytest.raises(OSError, match="CA certificate bundle"):
        client.post("https://upstream.test/x", json={})
    assert client.post(f"{server.url}/r", json={}).json() == {"via": "direct"}  # plain http: no bundle used


# --- redirects ---------------------------------------------------------------------------------------


def redirect_to(location: str, status: int):
    return lambda _request: Response("", status=status, headers={"Location": location})


@pytest.mark.parametrize(("status", "method", "with_body"), [
    (301, "GET", False), (302, "GET", False), (303, "GET", False), (307, "POST", True), (308, "POST", True),
])
def test_redirects_are_followed_as_requests_follows_them(server, client, status, method, with_body) -> None:
    server.routes["/old"] = redirect_to("/new", status)
    server.routes["/new"] = ok_json
    response = client.post(f"{server.url}/old", headers={"Authorization": "Bearer k", "Cookie": "c=1"},
                           json={"prompt": "a cat"})
    assert (response.status_code, response.url) == (200, f"{server.url}/new")
    first, second = server.seen
    assert (second.path, second.method) == ("/new", method)
    assert second.body == (first.body if with_body else b"")
    assert ("Content-Type" in second.headers) is with_body
    assert second.headers["Authorization"] == "Bearer k"  # same origin
    assert "Cookie" not in second.headers


def test_redirect_to_another_host_drops_the_authorization(server, client) -> None:
    other = server.url.replace("127.0.0.1", "localhost")
    server.routes["/old"] = redirect_to(f"{other}/new", 307)
    server.routes["/new"] = ok_json
    client.post(f"{server.url}/old", headers={"Authorization": "Bearer k"}, json={})
    first, second = server.seen
    assert first.headers["Authorization"] == "Bearer k" and "Authorization" not in second.headers


def test_endless_redirects_stop(server, client) -> None:
    server.routes["/loop"] = redirect_to("/loop", 302)
    with pytest.raises(requests.exceptions.TooManyRedirects):
        client.post(f"{server.url}/loop", json={})
    assert len(server.seen) == 31


# --- headers, cookies, pools ---------------------------------------------------------------------------


def test_default_and_caller_headers(server, client) -> None:
    server.routes["/r"] = ok_json
    client.post(f"{server.url}/r", headers={"accept": "application/json", "X-None": None, "X-Key": "v"}, json={})
    (seen,) = server.seen
    assert seen.headers["Accept"] == "application/json"  # the caller's, not the default */*
    assert "gzip" in seen.headers["Accept-Encoding"]
    assert seen.headers["X-Key"] == "v" and "X-None" not in seen.headers


def test_cookies_are_never_kept(server, client) -> None:
    server.routes["/login"] = lambda _request: Response("{}", headers={"Set-Cookie": "session=abc; Path=/"})
    server.routes["/r"] = ok_json
    client.post(f"{server.url}/login", json={})
    client.post(f"{server.url}/r", json={})
    assert "Cookie" not in server.seen[1].headers


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


def test_more_hosts_than_pools(server, forward_proxy) -> None:
    # Room for one host pool in the manager; the proxy's own port serves as a second host.
    http = HttpClient(base_timeout=5, pool_size=1)
    server.routes["/r"] = ok_json
    try:
        vias = [http.post(url, json={}).json()["via"]
                for url in (f"{server.url}/r", f"{forward_proxy.url}/r", f"{server.url}/r")]
    finally:
        http.close()
    assert vias == ["direct", "proxy", "direct"]


def test_pool_closed_between_lookup_and_send_is_replaced(server, client) -> None:
    # A call on another thread looked its pool up just before close() closed it: the routes it
    # saw are put back, so the next call finds the closed pool and must send through a new one.
    server.routes["/r"] = ok_json
    client.post(f"{server.url}/r", json={})
    looked_up = client._routes
    client.close()
    client._routes = looked_up
    assert client.post(f"{server.url}/r", json={}).json() == {"via": "direct"}
    assert len({seen.client_port for seen in server.seen}) == 2


def test_closed_client_opens_new_connections(server) -> None:
    http = HttpClient(base_timeout=5)
    server.routes["/r"] = ok_json
    try:
        first = http.post(f"{server.url}/r", json={})
        http.close()
        assert http.post(f"{server.url}/r", json={}).status_code == first.status_code == 200
    finally:
        http.close()
    assert len({seen.client_port for seen in server.seen}) == 2


@pytest.mark.parametrize("name", ["Content-Type", "content-type", b"Content-Type"])
def test_multipart_content_type_replaces_the_callers(server, client, name) -> None:
    server.routes["/r"] = ok_json
    client.post(f"{server.url}/r", headers={name: "application/json"}, data={"n": 1}, files=[("image", PNG)])
    (seen,) = server.seen
    assert seen.headers["Content-Type"].startswith("multipart/form-data; boundary=")
    assert seen.form == {"n": ["1"]} and [f[0] for f in seen.files] == ["image"]
