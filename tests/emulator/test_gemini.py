"""generateContent: reply shape, picture size and content, the key forms, request validation."""

from __future__ import annotations

import pytest
import requests

from doubles import image_bytes

from .conftest import AUTH, gemini_body, gemini_png, mean_rgb, open_png, post_gemini


@pytest.mark.parametrize(
    ("ratio", "size", "expected"),
    [
        (None, None, (1024, 1024)),
        ("2:3", "1K", (683, 1024)),
        ("16:9", "2K", (2048, 1152)),
        ("21:9", "1K", (1024, 439)),
        ("9:16", "4K", (2304, 4096)),
    ],
)
def test_picture_follows_image_config(emulator, ratio, size, expected):
    reply = post_gemini(emulator, gemini_body("a lighthouse", ratio=ratio, size=size))
    assert open_png(gemini_png(reply)).size == expected


@pytest.mark.parametrize(
    "model", ["gemini-3-pro-image-preview", "gemini-3.1-flash-image-preview", "gemini-2.5-flash-image"]
)
def test_reply_shape_and_prompt_chunk(emulator, model):
    prompt = "café ☕ at dawn, id 17"
    reply = post_gemini(emulator, gemini_body(prompt), model=model)
    data = reply.json()
    assert reply.headers["Content-Type"] == "application/json"
    candidate = data["candidates"][0]
    assert candidate["finishReason"] == "STOP"
    assert candidate["content"]["role"] == "model"
    assert candidate["content"]["parts"][0]["inlineData"]["mimeType"] == "image/png"
    assert isinstance(data["responseId"], str) and data["responseId"]
    assert open_png(gemini_png(reply)).text["prompt"] == prompt


def test_pictures_are_deterministic_per_prompt(emulator):
    first, again, other = (gemini_png(post_gemini(emulator, gemini_body(p))) for p in ("owl", "owl", "otter"))
    assert first == again
    assert first != other


def test_reference_images_show_in_the_picture(emulator):
    plain = open_png(gemini_png(post_gemini(emulator, gemini_body("a field"))))
    red, blue = image_bytes(colour=(255, 0, 0)), image_bytes(colour=(0, 0, 255))
    edited = open_png(gemini_png(post_gemini(emulator, gemini_body("a field", refs=(red, blue)))))
    # Two references are tiled side by side: red on the left half, blue on the right.
    left, right = mean_rgb(edited, (0, 0, 512, 900)), mean_rgb(edited, (512, 0, 1024, 900))
    assert left[0] > right[0] + 60 and right[2] > left[2] + 60
    assert edited.tobytes() != plain.tobytes()


@pytest.mark.parametrize(
    ("headers", "query", "status"),
    [
        (AUTH, "", 200),
        ({"x-goog-api-key": "k"}, "", 200),
        ({}, "?key=k", 200),
        ({}, "", 401),
        ({"x-goog-api-key": ""}, "?key=", 401),
        ({"Authorization": "Bearer "}, "", 401),
        ({"Authorization": "Basic dXNlcjpwdw=="}, "", 401),
        ({"Authorization": "token"}, "", 401),
    ],
)
def test_gemini_key_forms(emulator, headers, query, status):
    url = f"{emulator.base_url}/v1beta/models/gemini-2.5-flash-image:generateContent{query}"
    reply = requests.post(url, json=gemini_body("key"), headers=headers, timeout=30)
    assert reply.status_code == status
    assert status == 200 or reply.json()["error"]["status"] == "UNAUTHENTICATED"


_BAD_BODIES = {
    "not json": b"{contents",
    "json array": [],
    "no contents": {"generationConfig": {}},
    "contents not a list": {"contents": {"parts": [{"text": "x"}]}},
    "empty parts": {"contents": [{"parts": []}]},
    "unknown part": {"contents": [{"parts": [{"video": "x"}]}]},
    "text not a string": {"contents": [{"parts": [{"text": 5}]}]},
    "bad role": {"contents": [{"role": "robot", "parts": [{"text": "x"}]}]},
    "bad base64": {"contents": [{"parts": [{"text": "x"}, {"inlineData": {"mimeType": "image/png", "data": "@@@"}}]}]},
    "not an image": gemini_body("x", refs=(b"hello",)),
    "unknown field": gemini_body("x") | {"temperature": 1},
    "unsupported ratio": gemini_body("x", ratio="7:5"),
    "lower-case size": gemini_body("x", size="1k"),
    "text only modality": gemini_body("x") | {"generationConfig": {"responseModalities": ["TEXT"]}},
}


@pytest.mark.parametrize("body", _BAD_BODIES.values(), ids=_BAD_BODIES.keys())
def test_malformed_requests_are_400(emulator, body):
    reply = post_gemini(emulator, body)
    assert reply.status_code == 400
    error = reply.json()["error"]
    assert error["code"] == 400 and error["status"] == "INVALID_ARGUMENT" and error["message"]


def test_unknown_model_is_400(emulator):
    reply = post_gemini(emulator, gemini_body("x"), model="gemini-1.0-pro")
    assert reply.status_code == 400
    assert "gemini-1.0-pro" in reply.json()["error"]["message"]


def test_only_post_is_allowed(emulator):
    url = f"{emulator.base_url}/v1beta/models/gemini-2.5-flash-image:generateContent"
    assert requests.get(url, headers=AUTH, timeout=10).status_code == 405
