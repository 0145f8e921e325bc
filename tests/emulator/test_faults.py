"""Fault tokens in the prompt, for both APIs."""

from __future__ import annotations

import json

import pytest
import requests

from .conftest import gemini_body, open_png, post_gemini, post_images

API = ["gemini", "images"]
SIZE = {"gemini": (1024, 683), "images": (768, 512)}  # what ask() requests


def ask(emulator, api: str, prompt: str, **kwargs) -> requests.Response:
    if api == "gemini":
        return post_gemini(emulator, gemini_body(prompt, ratio="3:2"), **kwargs)
    fields = {"model": "gpt-image-2", "prompt": prompt, "response_format": "b64_json", "size": "768x512"}
    return post_images(emulator, "generations", json=fields, **kwargs)


def link_of(api: str, reply: requests.Response) -> str:
    if api == "gemini":
        part = reply.json()["candidates"][0]["content"]["parts"][0]
        assert part["fileData"]["mimeType"] == "image/png"
        return part["fileData"]["fileUri"]
    return reply.json()["data"][0]["url"]


@pytest.mark.parametrize("api", API)
@pytest.mark.parametrize("status", [429, 500, 503])
def test_status_fault_has_the_api_error_body(emulator, api, status):
    reply = ask(emulator, api, f"draw [[fault:{status}]] a cat")
    assert reply.status_code == status
    error = reply.json()["error"]
    assert error["message"]
    if api == "gemini":
        assert error["code"] == status and error["status"] in {"RESOURCE_EXHAUSTED", "INTERNAL", "UNAVAILABLE"}
    else:
        assert set(error) == {"message", "type", "param", "code"}


@pytest.mark.parametrize("api", API)
@pytest.mark.parametrize(("token", "status"), [("[[fault:500:html]]", 500), ("[[fault:not-json]]", 200)])
def test_bodies_that_are_not_json(emulator, api, token, status):
    reply = ask(emulator, api, token)
    assert reply.status_code == status and reply.text.startswith("<html>")
    with pytest.raises(ValueError):
        reply.json()


@pytest.mark.parametrize("api", API)
def test_truncated_json(emulator, api):
    reply = ask(emulator, api, "[[fault:truncated]]")
    assert reply.status_code == 200
    assert int(reply.headers["Content-Length"]) == len(reply.content)
    with pytest.raises(json.JSONDecodeError):
        json.loads(reply.content)


CUT = (requests.exceptions.ChunkedEncodingError, requests.exceptions.ConnectionError)


@pytest.mark.parametrize("api", API)
@pytest.mark.parametrize(
    ("token", "read", "raised"),
    [("[[fault:disconnect]]", 30, CUT), ("[[delay:5]]", 0.3, requests.exceptions.ReadTimeout)],
)
def test_disconnect_mid_body_and_delay_beyond_the_timeout(emulator, api, token, read, raised):
    with pytest.raises(raised):
        ask(emulator, api, token, timeout=(5, read))


@pytest.mark.parametrize("api", API)
def test_drip_delivers_the_whole_body(emulator, api):
    dripped = ask(emulator, api, "calm sea [[drip:0.4]]")
    plain = ask(emulator, api, "calm sea [[drip:0]]")
    assert dripped.status_code == 200 and int(dripped.headers["Content-Length"]) == len(dripped.content)
    assert dripped.json().keys() == plain.json().keys()


def test_gemini_safety_refusal_has_no_image(emulator):
    reply = ask(emulator, "gemini", "[[fault:safety]]")
    assert reply.status_code == 200
    (candidate,) = reply.json()["candidates"]
    assert candidate["finishReason"] == "IMAGE_SAFETY" and "content" not in candidate


def test_images_safety_refusal_is_400(emulator):
    reply = ask(emulator, "images", "[[fault:safety]]")
    assert reply.status_code == 400 and reply.json()["error"]["code"] == "moderation_blocked"


@pytest.mark.parametrize("api", API)
@pytest.mark.parametrize(("prompt", "least"), [("a kite [[file]]", 0), ("[[big:3]] a mountain [[file]]", 3 << 20)])
def test_file_reply_links_to_the_picture(emulator, api, prompt, least):
    download = requests.get(link_of(api, ask(emulator, api, prompt)), timeout=30)
    assert download.status_code == 200 and len(download.content) > least  # a big reply stays decodable
    picture = open_png(download.content)
    assert picture.text["prompt"] == prompt and picture.size == SIZE[api]


@pytest.mark.parametrize("api", API)
def test_broken_link(emulator, api):
    reply = ask(emulator, api, "[[fault:broken-link]]")
    assert reply.status_code == 200
    assert requests.get(link_of(api, reply), timeout=10).status_code == 404


@pytest.mark.parametrize("api", API)
@pytest.mark.parametrize(
    "token",
    ["[[fault:999]]", "[[fault:teapot]]", "[[delay:abc]]", "[[delay:31]]", "[[drip]]", "[[big:0]]", "[[big:65]]"],
)
def test_malformed_tokens_are_400(emulator, api, token):
    reply = ask(emulator, api, f"x {token}")
    assert reply.status_code == 400
    assert token.strip("[]").split(":")[0] in reply.json()["error"]["message"]


@pytest.mark.parametrize("api", API)
def test_other_brackets_are_prompt_text(emulator, api):
    assert ask(emulator, api, "[[hello]] [[faults:1]]").status_code == 200
