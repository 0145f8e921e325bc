"""Replies read as the services' own: the openai SDK's response models, Gemini's usage and the
request spellings that Google's REST API accepts."""

from __future__ import annotations

import base64
import io

import pytest
import requests
from PIL import Image

from doubles import image_bytes

from .conftest import gemini_body, gemini_png, open_png, post_gemini, post_images

openai_types = pytest.importorskip("openai.types")


def generation(**fields):
    return {"model": "gpt-image-2", "prompt": "a red bicycle", "size": "1024x1536", "quality": "low"} | fields


@pytest.mark.parametrize(
    ("fields", "pillow_format"),
    [
        ({"response_format": "b64_json"}, "PNG"),
        ({"output_format": "jpeg", "output_compression": 50}, "JPEG"),
        ({"output_format": "webp", "size": "320x200"}, "WEBP"),
        ({"response_format": "url", "output_format": "webp"}, "WEBP"),
    ],
)
def test_images_replies_are_the_sdk_models(emulator, fields, pillow_format):
    reply = post_images(emulator, "generations", json=generation(**fields))
    assert reply.status_code == 200 and reply.headers["x-request-id"].startswith("req_")
    parsed = openai_types.ImagesResponse.model_validate(reply.json())
    assert parsed.output_format == fields.get("output_format", "png")
    usage = parsed.usage
    assert usage is not None and usage.total_tokens == usage.input_tokens + usage.output_tokens > 0
    (item,) = parsed.data
    data = requests.get(item.url, timeout=10).content if item.url else base64.b64decode(item.b64_json)
    assert Image.open(io.BytesIO(data)).format == pillow_format


def test_edit_reply_counts_its_reference_images(emulator):
    uploads = [("image", (f"{i}.png", image_bytes(colour=(i, 0, 0)), "image/png")) for i in range(2)]
    reply = post_images(emulator, "edits", data={"prompt": "paint it", "model": "gpt-image-1"}, files=uploads)
    usage = openai_types.ImagesResponse.model_validate(reply.json()).usage
    assert usage.input_tokens_details.image_tokens > 0


@pytest.mark.parametrize("fields", [{"model": "gpt-image-9"}, {"model": ["gpt-image-2"]}, {"output_format": "gif"}])
def test_unknown_values_get_the_sdk_error_object(emulator, fields):
    reply = post_images(emulator, "generations", json=generation(**fields))
    assert reply.status_code == 400 and reply.headers["x-request-id"]
    error = openai_types.shared.ErrorObject.model_validate(reply.json()["error"])
    assert error.param == next(iter(fields)) and error.type == "invalid_request_error"


def test_gemini_reply_carries_usage(emulator):
    body = post_gemini(emulator, gemini_body("twelve chars", refs=(image_bytes(),))).json()
    usage = body["usageMetadata"]
    assert usage["promptTokenCount"] > 3 and usage["candidatesTokenCount"] > 0
    assert usage["totalTokenCount"] == usage["promptTokenCount"] + usage["candidatesTokenCount"]


def test_gemini_reads_snake_case_fields(emulator):
    ref = base64.b64encode(image_bytes(colour=(200, 0, 0))).decode()
    body = {
        "contents": [{"parts": [{"text": "snake"}, {"inline_data": {"mime_type": "image/png", "data": ref}}]}],
        "generation_config": {
            "response_modalities": ["IMAGE"],
            "image_config": {"aspect_ratio": "16:9", "image_size": "1K"},
        },
    }
    assert open_png(gemini_png(post_gemini(emulator, body))).size == (1024, 576)


def test_gemini_reads_a_file_reference_it_served(emulator):
    link = post_gemini(emulator, gemini_body("[[file]] first")).json()["candidates"][0]["content"]["parts"][0]
    body = gemini_body("second")
    body["contents"][0]["parts"].append(
        {"file_data": {"mime_type": "image/png", "file_uri": link["fileData"]["fileUri"]}}
    )
    assert gemini_png(post_gemini(emulator, body))
    body["contents"][0]["parts"][-1]["file_data"]["file_uri"] = "http://example.org/x.png"
    assert post_gemini(emulator, body).json()["error"]["status"] == "INVALID_ARGUMENT"
