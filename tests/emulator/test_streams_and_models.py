"""Streamed replies, token counts and model listings, as the public SDKs call them: the images API
through the openai SDK, Gemini over raw HTTP in the shapes Google's SDKs send and parse."""

from __future__ import annotations

import base64
import json
from typing import Any

import pytest
import requests

from corvessa_emulator import MODELS as GEMINI_MODELS
from corvessa_emulator.images_api import MODELS as IMAGE_MODELS
from doubles import image_bytes

from .conftest import AUTH, gemini_body, gemini_png, open_png, post_gemini, post_images

openai = pytest.importorskip("openai")

GOOGLE_KEY = {"x-goog-api-key": "test-key"}
VERSIONS = ["v1", "v1beta"]


def sdk_client(emulator) -> Any:
    return openai.OpenAI(base_url=f"{emulator.base_url}/v1", api_key="test-token", max_retries=0)


def stream_images(emulator, endpoint: str, prompt: str, partial_images: int) -> list[Any]:
    options = {"prompt": prompt, "size": "1024x1536", "quality": "low", "partial_images": partial_images}
    images = sdk_client(emulator).images
    if endpoint == "edits":
        red = ("red.png", image_bytes(colour=(255, 0, 0)), "image/png")
        return list(images.edit(model="gpt-image-2", image=red, stream=True, **options))
    return list(images.generate(model="gpt-image-2", stream=True, **options))


@pytest.mark.parametrize(
    ("endpoint", "kind", "partial_images"),
    [("generations", "image_generation", 2), ("generations", "image_generation", 0), ("edits", "image_edit", 3)],
)
def test_sdk_stream_yields_partial_images_then_the_completed_picture(emulator, endpoint, kind, partial_images):
    prompt = f"a streamed fox, {endpoint} {partial_images}"
    *partials, completed = stream_images(emulator, endpoint, prompt, partial_images)
    assert [event.type for event in partials] == [f"{kind}.partial_image"] * partial_images
    assert [event.partial_image_index for event in partials] == list(range(partial_images))
    assert completed.type == f"{kind}.completed" and completed.usage.total_tokens > 0
    assert (completed.size, completed.quality, completed.output_format) == ("1024x1536", "low", "png")
    pictures = [base64.b64decode(event.b64_json) for event in (*partials, completed)]
    assert len(set(pictures)) == len(pictures)  # each partial shows more than the one before
    assert all(open_png(picture).text["prompt"] == prompt for picture in pictures)
    if endpoint == "generations":  # the streamed picture is the one a plain request gets
        plain = post_images(emulator, endpoint, json={"prompt": prompt, "size": "1024x1536", "quality": "low"})
        assert base64.b64decode(plain.json()["data"][0]["b64_json"]) == pictures[-1]


def test_sdk_lists_and_retrieves_the_models(emulator):
    client = sdk_client(emulator)
    listed = {model.id: model for model in client.models.list()}
    assert set(listed) == IMAGE_MODELS and all(model.object == "model" for model in listed.values())
    assert client.models.retrieve("gpt-image-2") == listed["gpt-image-2"]
    with pytest.raises(openai.NotFoundError):
        client.models.retrieve("gpt-image-0")


@pytest.mark.parametrize(
    ("fields", "param"),
    [
        ({"stream": True, "partial_images": 4}, "partial_images"),
        ({"stream": "maybe"}, "stream"),
        ({"stream": True, "background": "striped"}, "background"),
    ],
)
def test_invalid_stream_fields_are_400(emulator, fields, param):
    reply = post_images(emulator, "generations", json={"prompt": "x"} | fields)
    assert reply.status_code == 400 and reply.json()["error"]["param"] == param


def call_gemini(emulator, version: str, method: str, body: Any, **kwargs: Any) -> requests.Response:
    """POSTs `body` to a method of gemini-2.5-flash-image, with the key where Google's SDKs send it."""
    return post_gemini(
        emulator, body, "gemini-2.5-flash-image", version=version, method=method, headers=GOOGLE_KEY, **kwargs
    )


def server_sent_data(body: str) -> list[Any]:
    """The JSON of every data line of a server-sent event stream, as Google's SDKs read it."""
    events = [event for event in body.replace("\r\n", "\n").split("\n\n") if event]
    assert all(event.startswith("data: ") and "\n" not in event for event in events)
    return [json.loads(event.removeprefix("data: ")) for event in events]


@pytest.mark.parametrize("version", VERSIONS)
@pytest.mark.parametrize("alt", ["sse", None])
@pytest.mark.parametrize("modalities", [["IMAGE"], ["TEXT", "IMAGE"]])
def test_stream_generate_content_ends_with_the_picture(emulator, version, alt, modalities):
    body = gemini_body("a streamed lighthouse", ratio="3:2")
    body["generationConfig"]["responseModalities"] = modalities
    reply = call_gemini(emulator, version, "streamGenerateContent", body, params={"alt": alt} if alt else {})
    assert reply.status_code == 200, reply.text
    if alt == "sse":
        assert reply.headers["Content-Type"].startswith("text/event-stream") and reply.text.endswith("\r\n\r\n")
        chunks = server_sent_data(reply.text)
    else:
        chunks = reply.json()
    *texts, last = chunks
    assert len(texts) == ("TEXT" in modalities)
    assert all(chunk["candidates"][0]["content"]["parts"][0]["text"] for chunk in texts)
    assert {chunk["responseId"] for chunk in chunks} == {last["responseId"]}
    assert last["candidates"][0]["finishReason"] == "STOP" and last["usageMetadata"]["totalTokenCount"] > 0
    # generateContent on the same version makes the same picture
    plain = call_gemini(emulator, version, "generateContent", gemini_body("a streamed lighthouse", ratio="3:2"))
    assert base64.b64decode(last["candidates"][0]["content"]["parts"][0]["inlineData"]["data"]) == gemini_png(plain)


def count_body(shape: str, body: dict[str, Any]) -> dict[str, Any]:
    if shape == "contents":
        return {"contents": body["contents"]}
    return {"generateContentRequest": {"model": "models/gemini-2.5-flash-image"} | body}


@pytest.mark.parametrize("version", VERSIONS)
@pytest.mark.parametrize("shape", ["contents", "generateContentRequest"])
def test_count_tokens_matches_the_prompt_count_of_generate_content(emulator, version, shape):
    body = gemini_body("count these words, please", refs=(image_bytes(colour=(0, 90, 0)),))
    counted = call_gemini(emulator, version, "countTokens", count_body(shape, body)).json()
    usage = call_gemini(emulator, version, "generateContent", body).json()["usageMetadata"]
    assert counted["totalTokens"] == usage["promptTokenCount"]
    assert sum(detail["tokenCount"] for detail in counted["promptTokensDetails"]) == counted["totalTokens"]


@pytest.mark.parametrize("body", [{"contents": []}, {"contents": [{"parts": [{"text": "x"}]}], "extra": 1}])
def test_count_tokens_refuses_malformed_bodies(emulator, body):
    reply = call_gemini(emulator, "v1beta", "countTokens", body)
    assert reply.status_code == 400 and reply.json()["error"]["status"] == "INVALID_ARGUMENT"


@pytest.mark.parametrize(("version", "headers"), [("v1", GOOGLE_KEY), ("v1beta", GOOGLE_KEY), ("v1beta", AUTH)])
def test_gemini_lists_and_gets_its_models(emulator, version, headers):
    listing = requests.get(f"{emulator.base_url}/{version}/models", headers=headers, timeout=10).json()
    assert set(listing) == {"models"}
    gemini_models = {entry["name"]: entry for entry in listing["models"]}
    assert set(gemini_models) == {f"models/{model}" for model in GEMINI_MODELS}
    for name, entry in gemini_models.items():
        assert entry["inputTokenLimit"] > 0 and "generateContent" in entry["supportedGenerationMethods"]
        assert requests.get(f"{emulator.base_url}/{version}/{name}", headers=headers, timeout=10).json() == entry


@pytest.mark.parametrize(
    ("path", "headers", "status", "error_status"),
    [
        ("v1beta/models/gemini-0-image", GOOGLE_KEY, 404, "NOT_FOUND"),
        ("v1/models/gemini-0-image", GOOGLE_KEY, 404, "NOT_FOUND"),
        ("v1beta/models", {}, 401, "UNAUTHENTICATED"),
    ],
)
def test_gemini_model_lookup_errors(emulator, path, headers, status, error_status):
    reply = requests.get(f"{emulator.base_url}/{path}", headers=headers, timeout=10)
    assert reply.status_code == status
    assert reply.json()["error"] | {"message": ""} == {"code": status, "message": "", "status": error_status}
