"""Serving: concurrent requests, the bounded link store, closing, the command-line entry."""

from __future__ import annotations

import subprocess
import sys
from concurrent.futures import ThreadPoolExecutor

import pytest
import requests

from corvessa_emulator import serve
from doubles import unused_port

from .conftest import gemini_body, gemini_png, images_png, open_png, post_gemini, post_images


def test_concurrent_replies_belong_to_their_requests(emulator):
    def one(i: int) -> tuple[str, str]:
        prompt = f"request id {i}"
        if i % 2:
            png = gemini_png(post_gemini(emulator, gemini_body(prompt)))
        else:
            png = images_png(post_images(emulator, "generations", json={"prompt": prompt, "size": "256x256"}))
        return prompt, open_png(png).text["prompt"]

    with ThreadPoolExecutor(max_workers=8) as pool:
        results = list(pool.map(one, range(32)))
    assert all(sent == received for sent, received in results)


def test_link_store_keeps_only_the_latest_pictures():
    with serve(file_limit=2) as small:
        fields = {"prompt": "x", "size": "64x64", "response_format": "url"}
        links = [post_images(small, "generations", json=fields).json()["data"][0]["url"] for _ in range(3)]
        statuses = [requests.get(link, timeout=10).status_code for link in links]
    assert statuses == [404, 200, 200]


def test_closed_server_refuses_connections():
    server = serve()
    assert requests.get(f"{server.base_url}/healthz", timeout=10).json() == {"status": "ok"}
    server.close()
    server.close()  # closing twice is harmless
    with pytest.raises(requests.exceptions.ConnectionError):
        requests.get(f"{server.base_url}/healthz", timeout=10)


def test_module_entry_serves_on_the_given_port():
    port = unused_port()
    command = [sys.executable, "-m", "corvessa_emulator", "--port", str(port), "--quiet"]
    with subprocess.Popen(command, stdout=subprocess.PIPE, text=True) as proc:
        try:
            assert proc.stdout is not None
            assert f"http://127.0.0.1:{port}" in proc.stdout.readline()
            assert requests.get(f"http://127.0.0.1:{port}/healthz", timeout=10).status_code == 200
        finally:
            proc.terminate()
