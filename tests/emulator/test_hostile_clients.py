"""Whatever a client sends, the emulator answers in the API's error shape, within bounded memory,
and keeps its connections in step."""

from __future__ import annotations

import http.client
import socket
import time

import pytest

from corvessa_emulator import SMALL_PICTURES_VARIABLE, EmulatorServer, Settings, serve

from .conftest import AUTH, GEMINI_MODEL, gemini_body, gemini_png, images_png, open_png, post_gemini, post_images

DEEP = b"[" * 100_000 + b"]" * 100_000
_GEMINI_BODIES = {
    "not json": b"{contents",
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
    reply = post_gemini(emulator, body, headers=AUTH | {"Content-Type": "application/json"})
    assert reply.status_code == 400 and reply.json()["error"]["status"] == "INVALID_ARGUMENT"


@pytest.mark.parametrize("body", _IMAGES_BODIES.values(), ids=_IMAGES_BODIES.keys())
def test_odd_images_bodies_are_400(emulator, body):
    reply = post_images(emulator, "generations", data=body, headers=AUTH | {"Content-Type": "application/json"})
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
    with socket.create_connection(("127.0.0.1", capped.port), timeout=10) as idle:
        started = time.monotonic()
        assert idle.recv(1) == b""
        assert time.monotonic() - started < 5


def test_one_kept_alive_connection_serves_requests_in_step(capped):
    conn = http.client.HTTPConnection("127.0.0.1", capped.port, timeout=10)
    statuses, sockets = [], set()
    for path, body in [("/v1/images/generations", b'{"prompt": "x", "size": "16x16"}'), ("/nowhere", b"abc"), ("/healthz", b"")]:
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
        gemini = open_png(gemini_png(post_gemini(small, gemini_body("x", ratio="16:9", size="4K"), model=GEMINI_MODEL)))
        images = open_png(images_png(post_images(small, "generations", json={"prompt": "x", "size": "1024x1536"})))
    assert (gemini.size, images.size) == ((64, 36), (43, 64))
