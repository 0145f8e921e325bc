"""Deterministic images, reply bodies and request constants shared by the bench server and clients.

Images are seeded random bytes behind a PNG signature: no client decodes pixels, and random
bytes keep base64 and JSON work honest (nothing compresses or repeats).
"""

from __future__ import annotations

import base64
import json
import random
from typing import Any, Final

PNG_SIGNATURE: Final = b"\x89PNG\r\n\x1a\n"

PROMPT: Final = "A lighthouse on a basalt cliff at dusk, oil painting, warm light"
GEMINI_MODEL: Final = "gemini-3-pro-image-preview"
IMAGES_MODEL: Final = "gpt-image-2"
ASPECT_RATIO: Final = "1:1"
GEMINI_IMAGE_SIZE: Final = "1K"
IMAGES_IMAGE_SIZE: Final = "1k"
IMAGES_QUALITY: Final = "high"
# What the size calculator gives for 1:1 at 1k; the floor and the SDK send it ready-made.
IMAGES_PIXEL_SIZE: Final = "1024x1024"
API_KEY: Final = "bench-token"

KIB: Final = 1024
MIB: Final = 1024 * 1024

# Reply image sizes, selected by the first path segment of the request ("/reply-<name>/...").
REPLY_SIZES: Final = {
    "tiny": 0,  # the smallest valid reply: a bare PNG signature plus a few bytes
    "small": 20 * KIB,
    "large": 8 * MIB,
}


def image_bytes(size: int, seed: int) -> bytes:
    """`size` bytes (at least the signature) that start like a PNG file, the same on every run."""
    body = random.Random(seed).randbytes(max(size - len(PNG_SIGNATURE), 8))
    return PNG_SIGNATURE + body


def reply_image(name: str) -> bytes:
    """The image that every reply of size class `name` carries."""
    return image_bytes(REPLY_SIZES[name], seed=1000 + len(name))


def reference_images(count: int, size: int) -> list[bytes]:
    """`count` distinct reference images of `size` bytes each."""
    return [image_bytes(size, seed=2000 + index) for index in range(count)]


def gemini_reply(image: bytes) -> dict[str, Any]:
    """A `generateContent` reply carrying `image` inline."""
    data = base64.b64encode(image).decode("ascii")
    part = {"inlineData": {"mimeType": "image/png", "data": data}}
    return {"candidates": [{"content": {"parts": [part]}, "finishReason": "STOP"}]}


def images_reply(image: bytes) -> dict[str, Any]:
    """An images-API reply carrying `image` as base64 JSON."""
    return {"data": [{"b64_json": base64.b64encode(image).decode("ascii")}]}


def encode_reply(reply: dict[str, Any]) -> bytes:
    """The reply as the server sends it: compact JSON."""
    return json.dumps(reply, separators=(",", ":")).encode("ascii")


def gemini_path(model: str = GEMINI_MODEL) -> str:
    """The `generateContent` path below a base URL."""
    return f"/v1beta/models/{model}:generateContent"


def base_for(server_url: str, reply: str) -> str:
    """The base URL under which the server answers with images of size class `reply`."""
    return f"{server_url}/reply-{reply}"
