"""/v1/images/generations and /edits: sizes, reply forms, uploads and request validation."""

from __future__ import annotations

import time

import pytest
import requests

from doubles import image_bytes

from .conftest import AUTH, images_png, mean_rgb, open_png, post_images


def generation(prompt: str = "a red bicycle", **fields):
    return {"model": "gpt-image-2", "prompt": prompt, "response_format": "b64_json", "quality": "", "n": 1} | fields


@pytest.mark.parametrize(
    ("size", "expected"),
    [
        ("1024x1536", (1024, 1536)),
        ("688x1024", (688, 1024)),
        ("auto", (1024, 1024)),
        ("", (1024, 1024)),
        (None, (1024, 1024)),
    ],
)
def test_generation_size(emulator, size, expected):
    fields = generation() if size is None else generation(size=size)
    reply = post_images(emulator, "generations", json=fields)
    body = reply.json()
    assert isinstance(body["created"], int) and abs(body["created"] - time.time()) < 3600
    picture = open_png(images_png(reply))
    assert picture.size == expected
    assert picture.text["prompt"] == "a red bicycle"


def test_url_reply_links_to_a_served_png(emulator):
    reply = post_images(emulator, "generations", json=generation(response_format="url", size="512x768"))
    (item,) = reply.json()["data"]
    assert set(item) == {"url"} and item["url"].startswith(emulator.base_url + "/files/")
    download = requests.get(item["url"], timeout=10)
    assert download.status_code == 200 and download.headers["Content-Type"] == "image/png"
    assert open_png(download.content).size == (512, 768)


def test_n_yields_distinct_pictures(emulator):
    reply = post_images(emulator, "generations", json=generation(n=3))
    pictures = [images_png(reply, i) for i in range(3)]
    assert len(set(pictures)) == 3


def test_edits_use_every_uploaded_image(emulator):
    form = {"model": "gpt-image-2", "prompt": "paint it", "size": "1024x512", "quality": "high", "n": "1"}
    uploads = [
        ("image", ("a.png", image_bytes(colour=(255, 0, 0)), "image/png")),
        ("image", ("b.png", image_bytes(colour=(0, 0, 255)), "image/png")),
    ]
    picture = open_png(images_png(post_images(emulator, "edits", data=form, files=uploads)))
    assert picture.size == (1024, 512)
    left, right = mean_rgb(picture, (0, 0, 512, 440)), mean_rgb(picture, (512, 0, 1024, 440))
    assert left[0] > right[0] + 60 and right[2] > left[2] + 60


_BAD_GENERATIONS = {
    "no prompt": ({"model": "gpt-image-2"}, "prompt"),
    "empty prompt": (generation(prompt=""), "prompt"),
    "size word": (generation(size="big"), "size"),
    "size zero": (generation(size="0x1024"), "size"),
    "size too large": (generation(size="5000x1024"), "size"),
    "bad quality": (generation(quality="ultra"), "quality"),
    "bad response format": (generation(response_format="webp"), "response_format"),
    "n zero": (generation(n=0), "n"),
    "n text": (generation(n="two"), "n"),
}


@pytest.mark.parametrize(("fields", "param"), _BAD_GENERATIONS.values(), ids=_BAD_GENERATIONS.keys())
def test_invalid_generation_fields_are_400(emulator, fields, param):
    reply = post_images(emulator, "generations", json=fields)
    assert reply.status_code == 400
    error = reply.json()["error"]
    assert error["type"] == "invalid_request_error" and error["param"] == param and error["message"]


@pytest.mark.parametrize(
    ("endpoint", "kwargs"),
    [
        ("generations", {"data": b"{not json", "headers": AUTH | {"Content-Type": "application/json"}}),
        ("generations", {"json": ["a list"]}),
        ("edits", {"data": {"prompt": "x"}, "files": [("other", ("a.png", image_bytes(), "image/png"))]}),
        ("edits", {"data": {"prompt": "x"}, "files": [("image", ("a.png", b"not a picture", "image/png"))]}),
        ("edits", {"json": generation()}),
    ],
    ids=["bad json", "json array", "edit without image", "edit with non-image", "edit as json"],
)
def test_malformed_bodies_are_400(emulator, endpoint, kwargs):
    reply = post_images(emulator, endpoint, **kwargs)
    assert reply.status_code == 400
    assert reply.json()["error"]["type"] == "invalid_request_error"


@pytest.mark.parametrize("endpoint", ["generations", "edits"])
def test_missing_bearer_token_is_401(emulator, endpoint):
    reply = post_images(emulator, endpoint, json=generation(), headers={})
    assert reply.status_code == 401
    assert set(reply.json()["error"]) == {"message", "type", "param", "code"}
