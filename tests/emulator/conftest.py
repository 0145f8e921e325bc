"""Requests to the served emulator (the session's `emulator` fixture, tests/conftest.py) and
reading its pictures, for the emulator's contract tests and the tool's."""

from __future__ import annotations

import base64
import io
from typing import Any

import requests
from PIL import Image, ImageStat

from corvessa_emulator import EmulatorServer

AUTH = {"Authorization": "Bearer test-token"}
GEMINI_MODEL = "gemini-3-pro-image-preview"


def open_png(data: bytes) -> Image.Image:
    image = Image.open(io.BytesIO(data))
    assert image.format == "PNG"
    image.load()
    return image


def mean_rgb(image: Image.Image, box: tuple[int, int, int, int] | None = None) -> list[float]:
    return ImageStat.Stat(image.convert("RGB").crop(box) if box else image.convert("RGB")).mean


def gemini_body(
    prompt: str, refs: tuple[bytes, ...] = (), ratio: str | None = None, size: str | None = None
) -> dict[str, Any]:
    parts: list[dict[str, Any]] = [{"text": prompt}]
    parts += [{"inlineData": {"mimeType": "image/png", "data": base64.b64encode(r).decode()}} for r in refs]
    image_config = {k: v for k, v in (("aspectRatio", ratio), ("imageSize", size)) if v is not None}
    config: dict[str, Any] = {"responseModalities": ["IMAGE"]}
    if image_config:
        config["imageConfig"] = image_config
    return {"contents": [{"role": "user", "parts": parts}], "generationConfig": config, "response_format": "url"}


def post_gemini(
    emulator: EmulatorServer,
    body: Any,
    model: str = GEMINI_MODEL,
    *,
    version: str = "v1beta",
    method: str = "generateContent",
    **kwargs: Any,
) -> requests.Response:
    kwargs.setdefault("headers", AUTH)
    kwargs.setdefault("timeout", 30)
    url = f"{emulator.base_url}/{version}/models/{model}:{method}"
    if isinstance(body, (bytes, str)):
        return requests.post(url, data=body, **kwargs)
    return requests.post(url, json=body, **kwargs)


def gemini_png(reply: requests.Response) -> bytes:
    assert reply.status_code == 200, reply.text
    part = reply.json()["candidates"][0]["content"]["parts"][0]
    return base64.b64decode(part["inlineData"]["data"])


def post_images(emulator: EmulatorServer, endpoint: str, **kwargs: Any) -> requests.Response:
    kwargs.setdefault("headers", AUTH)
    kwargs.setdefault("timeout", 30)
    return requests.post(f"{emulator.base_url}/v1/images/{endpoint}", **kwargs)


def images_png(reply: requests.Response, index: int = 0) -> bytes:
    assert reply.status_code == 200, reply.text
    return base64.b64decode(reply.json()["data"][index]["b64_json"])
