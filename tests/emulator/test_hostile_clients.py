"""Whatever a client sends, the emulator answers in the API's error shape, within bounded memory,
and keeps its connections in step."""

from __future__ import annotations

import http.client
import json
import socket
import subprocess
import sys
import time

import pytest
import requests

from corvessa_emulator import SMALL_PICTURES_VARIABLE, EmulatorServer, Settings, serve
from doubles import image_bytes

from .conftest import AUTH, gemini_body, gemini_png, images_png, open_png, post_gemini, post_images

DEEP = b"[" * 100_000 + b"]" * 100_000
_GEMINI_BODIES = {
    "not utf-8": b'{"contents": "\xff"}',
    "deep nesting": b'{"contents": ' + DEEP + b"}",
    "huge integer": b'{"contents": [], "x": ' + b"9" * 5000 + b"}",
    "infinity": b'{"contents": 1e999}',
    "nan": b'{"contents": NaN}',
    "ratio a list": b'{"contents": [{"parts": [{"text": "x"}]}], "generationConfig": {"imageConfig": {"aspectRatio": ["1:1"]}}}',
    "size an object": b'{"contents": [{"parts": [{"text": "x"}]}], "generationConfig": {"imageConfig": {"imageSize": {}}}}',
    "modality an object": b'{"contents": [{"parts": [{"text": "x"}]}], "generationConfig": {"responseModalities": [{}]}}',
    "twice by two spellings": b'{"contents": [{"parts": [{"text": "x"}]}], "generationConfig": {}, "generation_config": {}}',
    "lone surrogate": b'{"contents": [{"parts": [{"text": "\\udc80"}]}]}',
}
_IMAGES_BODIES = {
    "deep nesting": b'{"prompt": "x", "n": ' + DEEP + b"}",
    "huge integer": b'{"prompt": "x", "n": ' + b"9" * 5000 + b"}",
    "huge n as text": b'{"prompt": "x", "n": "' + b"9" * 5000 + b'"}',
    "superscript n": '{"prompt": "x", "n": "²"}'.encode(),
    "infinity": b'{"prompt": "x", "output_compression": 1e999}',
    "prompt an object": b'{"prompt": {"a": 1}}',
    "lone surrogate in a key": b'{"prompt": "x", "\\ud800": 1}',
    "pixels beyond the budget": b'{"prompt": "x", "n": 10, "size": "4096x4096"}',
    "padding beyond the budget": b'{"prompt": "[[big:64]]", "n": 2, "size": "16x16"}',
}


@pytest.mark.parametrize("body", _GEMINI_BODIES.values(), ids=_GEMINI_BODIES.keys())
def test_odd_gemini_bodies_are_400(emulator, body):
    reply = post_gemini(emulator, body)
    assert reply.status_code == 400 and reply.json()["error"]["status"] == "INVALID_ARGUMENT"


@pytest.mark.parametrize("body", _IMAGES_BODIES.values(), ids=_IMAGES_BODIES.keys())
def test_odd_images_bodies_are_400(emulator, body):
    reply = post_images(emulator, "generations", data=body)
    assert reply.status_code == 400 and reply.json()["error"]["type"] == "invalid_request_error"


@pytest.fixture
def capped():
    with EmulatorServer(settings=Settings(max_request_bytes=4096, idle_timeout=0.5)) as server:
        yield server


@pytest.mark.parametrize("declared", [5000, 10**15])
def test_body_over_the_cap_is_413_unread(capped, declared):
    conn = http.client.HTTPConnection("127.0.0.1", capped.port, timeout=10)
    conn.putrequest("POST", "/v1/images/generations")
    conn.putheader("Authorization", "Bearer t")
    conn.putheader("Content-Length", str(declared))
    conn.endheaders()
    reply = conn.getresponse()
    assert reply.status == 413 and b"invalid_request_error" in reply.read()
    conn.close()


def test_idle_connections_are_closed(capped):
    with socket.create_connection(("127.0.0.1", capped.port), timeout=5) as idle:
        assert idle.recv(1) == b""  # a connection left open ends the test with a TimeoutError


def test_one_kept_alive_connection_serves_requests_in_step(capped):
    conn = http.client.HTTPConnection("127.0.0.1", capped.port, timeout=10)
    statuses, sockets = [], set()
    for path, body in [
        ("/v1/images/generations", b'{"prompt": "x", "size": "16x16"}'),
        ("/nowhere", b"abc"),
        ("/healthz", b""),
    ]:
        conn.request("POST" if body else "GET", path, body=body, headers={"Authorization": "Bearer t"})
        reply = conn.getresponse()
        reply.read()
        statuses.append(reply.status)
        sockets.add(conn.sock)
    conn.close()
    assert statuses == [200, 404, 200] and len(sockets) == 1


def test_links_use_the_servers_address_not_the_host_header(emulator):
    fields = {"prompt": "x", "size": "64x64", "response_format": "url"}
    reply = post_images(emulator, "generations", json=fields, headers=AUTH | {"Host": "attacker.example"})
    assert reply.json()["data"][0]["url"].startswith(emulator.base_url + "/files/")


def test_small_pictures_keep_the_ratio(monkeypatch):
    monkeypatch.setenv(SMALL_PICTURES_VARIABLE, "1")
    with serve() as small:
        gemini = open_png(gemini_png(post_gemini(small, gemini_body("x", ratio="16:9", size="4K"))))
        images = open_png(images_png(post_images(small, "generations", json={"prompt": "x", "size": "1024x1536"})))
    assert (gemini.size, images.size) == ((64, 36), (43, 64))


def _exchange(port: int, data: bytes) -> bytes:
    """Sends `data` on a fresh connection and reads until the server closes it."""
    with socket.create_connection(("127.0.0.1", port), timeout=10) as conn:
        conn.sendall(data)
        received = b""
        while chunk := conn.recv(65536):  # a connection left open ends the test with a TimeoutError
            received += chunk
    return received


_POST = b"POST /v1/images/generations HTTP/1.1\r\nHost: emulator\r\nAuthorization: Bearer t\r\n"
_SMUGGLED = b"GET /healthz HTTP/1.1\r\nHost: emulator\r\n\r\n"
_LAST_HEALTH = b"GET /healthz HTTP/1.1\r\nHost: emulator\r\nConnection: close\r\n\r\n"
_CHUNKED = b"Transfer-Encoding: chunked\r\n"
_BAD_FRAMING = {
    "two lengths": b"Content-Length: 5\r\nContent-Length: 6\r\n\r\nhello!",
    "a length repeated": b"Content-Length: 5\r\nContent-Length: 5\r\n\r\nhello",
    "a list of lengths": b"Content-Length: 5, 5\r\n\r\nhello",
    "a length not a number": b"Content-Length: 5a\r\n\r\nhello",
    "a signed length": b"Content-Length: +5\r\n\r\nhello",
    "two codings": _CHUNKED + _CHUNKED + b"\r\n0\r\n\r\n",
    "a length with a coding": b"Content-Length: 5\r\n" + _CHUNKED + b"\r\n0\r\n\r\n",
    "chunked not final": b"Transfer-Encoding: chunked, gzip\r\n\r\n0\r\n\r\n",
    "chunked in a longer name": b"Transfer-Encoding: xchunked\r\n\r\n0\r\n\r\n",
    "hex prefix": _CHUNKED + b"\r\n0x5\r\nhello\r\n0\r\n\r\n",
    "plus sign": _CHUNKED + b"\r\n+5\r\nhello\r\n0\r\n\r\n",
    "underscore": _CHUNKED + b"\r\n1_0\r\n0123456789abcdef\r\n0\r\n\r\n",
    "chunk line over 64 bytes": _CHUNKED + b"\r\n5;" + b"e" * 63 + b"\r\nhello\r\n0\r\n\r\n",
    "last chunk line over 64 bytes": _CHUNKED + b"\r\n0;" + b"e" * 63 + b"\r\n\r\n",
    "not a chunk size": _CHUNKED + b"\r\nzz\r\nhello\r\n0\r\n\r\n",
    "chunk without its CRLF": _CHUNKED + b"\r\n5\r\nhelloXY0\r\n\r\n",
}


@pytest.mark.parametrize("rest", _BAD_FRAMING.values(), ids=_BAD_FRAMING.keys())
def test_bad_framing_is_400_and_closes(emulator, rest):
    reply = _exchange(emulator.port, _POST + rest + _SMUGGLED)
    assert reply.startswith(b"HTTP/1.1 400 ") and reply.count(b"HTTP/1.1 ") == 1
    assert json.loads(reply.partition(b"\r\n\r\n")[2])["error"]["type"] == "invalid_request_error"


def test_coding_in_an_http10_request_is_400(emulator):
    body = b'{"prompt": "x", "size": "16x16"}'  # a request a lenient server would answer 200
    head = _POST.replace(b"HTTP/1.1", b"HTTP/1.0") + _CHUNKED + b"\r\n"
    assert _exchange(emulator.port, head + b"%x\r\n%s\r\n0\r\n\r\n" % (len(body), body)).startswith(b"HTTP/1.1 400 ")


def test_chunked_body_is_read_whole_and_in_step(emulator):
    body = b'{"prompt": "chunked", "size": "16x16"}'
    chunks = b"".join(
        b"%x;piece=%d\r\n%s\r\n" % (len(body[i : i + 9]), i, body[i : i + 9]) for i in range(0, len(body), 9)
    )
    request = _POST + _CHUNKED + b"\r\n" + chunks + b"0\r\nX-Checksum: none\r\n\r\n"
    reply = _exchange(emulator.port, request + _LAST_HEALTH)
    first, _, second = reply.partition(b"HTTP/1.1 200 OK\r\nDate")[2].partition(b"\r\n\r\n")[2].partition(b"HTTP/1.1 ")
    assert reply.startswith(b"HTTP/1.1 200 ") and b'"b64_json"' in first
    assert second.startswith(b"200 ") and second.endswith(b'{"status": "ok"}')


@pytest.mark.parametrize(("declared", "first"), [(5000, b"HTTP/1.1 413 "), (2, b"HTTP/1.1 100 Continue\r\n\r\n")])
def test_100_continue_only_after_the_caps(capped, declared, first):
    with socket.create_connection(("127.0.0.1", capped.port), timeout=10) as conn:
        conn.sendall(_POST + b"Expect: 100-continue\r\nContent-Length: %d\r\n\r\n" % declared)
        assert conn.recv(len(first)) == first


def _closed(conn: socket.socket) -> bool:
    """Whether the server has closed the connection, waiting a tenth of a second for it."""
    conn.settimeout(0.1)
    try:
        return conn.recv(4096) == b""
    except TimeoutError:
        return False
    except ConnectionError:
        return True


@pytest.mark.parametrize("part", ["head", "body"])
def test_trickling_clients_are_cut_off(part):
    settings = Settings(head_timeout=0.5, body_timeout=0.5)
    head = _POST + b"Content-Length: 60\r\n\r\n"
    sent_whole, trickled = (b"", head) if part == "head" else (head, b"{" * 60)
    with EmulatorServer(settings=settings) as server, socket.create_connection(("127.0.0.1", server.port)) as conn:
        conn.sendall(sent_whole)
        for at in range(len(trickled)):
            conn.sendall(trickled[at : at + 1])
            if _closed(conn):
                break
        assert at < len(trickled) - 1  # cut off before the client finished: a whole deadline


def test_connections_beyond_the_cap_are_answered_503():
    with EmulatorServer(settings=Settings(max_connections=2)) as server:
        held = [socket.create_connection(("127.0.0.1", server.port), timeout=10) for _ in range(2)]
        for conn in held:
            conn.sendall(b"GET /healthz HTTP/1.1\r\nHost: e\r\n\r\n")  # a kept-alive connection, answered
            assert conn.recv(4096).startswith(b"HTTP/1.1 200 ")
        assert _exchange(server.port, _SMUGGLED).startswith(b"HTTP/1.1 503 ")
        held.pop().close()
        for _ in range(50):  # until the server has seen the close
            status = _exchange(server.port, _LAST_HEALTH)[:12]
            if status == b"HTTP/1.1 200":
                break
            time.sleep(0.1)
        held.pop().close()
    assert status == b"HTTP/1.1 200"


_OUT_OF_DESCRIPTORS = """
import os, resource, sys
from corvessa_emulator import EmulatorServer, Settings
from corvessa_emulator.http11 import Http11Server

failed = []
accept = Http11Server.get_request
def counted(self):
    try:
        return accept(self)
    except OSError:
        failed.append(1)
        raise
Http11Server.get_request = counted
server = EmulatorServer(settings=Settings(idle_timeout=60))
resource.setrlimit(resource.RLIMIT_NOFILE, (len(os.listdir("/proc/self/fd")) + 2, resource.getrlimit(resource.RLIMIT_NOFILE)[1]))
print(server.port, flush=True)
sys.stdin.readline()
print(len(failed), flush=True)
sys.stdin.readline()
"""


def test_out_of_descriptors_the_server_backs_off():
    """With every descriptor taken, accept() fails while the listening socket stays readable: the
    server waits between attempts instead of spinning, and serves again once descriptors free up."""
    command = [sys.executable, "-c", _OUT_OF_DESCRIPTORS]
    with subprocess.Popen(command, stdin=subprocess.PIPE, stdout=subprocess.PIPE, text=True) as child:
        assert child.stdin is not None and child.stdout is not None
        port = int(child.stdout.readline())
        waiting = [socket.create_connection(("127.0.0.1", port), timeout=10) for _ in range(8)]
        time.sleep(1)
        child.stdin.write("\n")
        child.stdin.flush()
        failures = int(child.stdout.readline())
        for conn in waiting:
            conn.close()
        reply = requests.get(f"http://127.0.0.1:{port}/healthz", timeout=30)
        child.stdin.write("\n")
        child.stdin.flush()
    assert 0 < failures <= 20 and reply.status_code == 200


@pytest.mark.parametrize(
    ("fields", "named"),
    [
        ({"prompt": "x" * (2 << 20)}, "A form field exceeds 1048576 bytes."),
        ({f"f{i}": "x" for i in range(1001)}, "The form has more than 1000 parts."),
    ],
    ids=["field", "parts"],
)
def test_a_form_limit_413_names_the_limit_hit(emulator, fields, named):
    form = {"image": ("a.png", image_bytes())} | {name: (None, value) for name, value in fields.items()}
    reply = post_images(emulator, "edits", files=form)
    assert reply.status_code == 413 and reply.json()["error"]["message"] == named
