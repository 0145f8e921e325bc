"""POST /v1beta/models/{model}:generateContent, the Gemini image generation call."""

from __future__ import annotations

import base64
import binascii
import json
import secrets
from collections.abc import Callable
from dataclasses import dataclass, field
from typing import Any

from PIL import Image
from werkzeug.wrappers import Request, Response

from .errors import ApiError
from .faults import Faults, parse_faults
from .render import decode_reference, render_png, size_for_ratio
from .replies import Delivery, forced_reply, json_response

MODELS = frozenset({"gemini-3-pro-image-preview", "gemini-3.1-flash-image-preview", "gemini-2.5-flash-image"})
ASPECT_RATIOS = frozenset({"1:1", "2:3", "3:2", "3:4", "4:3", "4:5", "5:4", "9:16", "16:9", "21:9"})
LONG_EDGES = {"1K": 1024, "2K": 2048, "4K": 4096}
MODALITIES = frozenset({"TEXT", "IMAGE"})
# Top-level request fields the service knows; "response_format" is accepted by the gateway.
_TOP_LEVEL = frozenset(
    {"contents", "generationConfig", "safetySettings", "systemInstruction", "tools", "toolConfig", "cachedContent", "response_format"}
)
_STATUS_NAMES = {
    400: "INVALID_ARGUMENT",
    401: "UNAUTHENTICATED",
    403: "PERMISSION_DENIED",
    404: "NOT_FOUND",
    429: "RESOURCE_EXHAUSTED",
    500: "INTERNAL",
    503: "UNAVAILABLE",
    504: "DEADLINE_EXCEEDED",
}


@dataclass
class GeminiRequest:
    prompt: str
    references: list[Image.Image] = field(default_factory=list)
    aspect_ratio: str = "1:1"
    image_size: str = "1K"


def error_response(err: ApiError) -> Response:
    status_name = _STATUS_NAMES.get(err.status, "UNKNOWN")
    return json_response({"error": {"code": err.status, "message": err.message, "status": status_name}}, err.status)


def _expect(condition: bool, message: str) -> None:
    if not condition:
        raise ApiError(400, message)


def _decode_inline(blob: Any, where: str) -> Image.Image:
    _expect(isinstance(blob, dict), f"Invalid value at '{where}': expected an object.")
    _expect(isinstance(blob.get("mimeType"), str) and blob["mimeType"].startswith("image/"), f"'{where}.mimeType' must name an image type.")
    _expect(isinstance(blob.get("data"), str), f"'{where}.data' must be a base64 string.")
    try:
        raw = base64.b64decode(blob["data"], validate=True)
    except (binascii.Error, ValueError):
        raise ApiError(400, f"Invalid value at '{where}.data': invalid base64 data.") from None
    return decode_reference(raw)


def _read_parts(parts: Any, where: str, texts: list[str], refs: list[Image.Image]) -> None:
    _expect(isinstance(parts, list) and bool(parts), f"'{where}' must be a non-empty list.")
    for i, part in enumerate(parts):
        at = f"{where}[{i}]"
        _expect(isinstance(part, dict) and len(part) == 1, f"'{at}' must be an object with exactly one field.")
        (key, value), = part.items()
        if key == "text":
            _expect(isinstance(value, str), f"'{at}.text' must be a string.")
            texts.append(value)
        elif key in ("inlineData", "inline_data"):
            refs.append(_decode_inline(value, f"{at}.{key}"))
        else:
            raise ApiError(400, f"Invalid JSON payload received. Unknown name \"{key}\" at '{at}'.")


def _read_image_config(config: Any) -> tuple[str, str]:
    _expect(isinstance(config, dict), "'generationConfig' must be an object.")
    modalities = config.get("responseModalities", ["IMAGE"])
    _expect(isinstance(modalities, list) and all(m in MODALITIES for m in modalities), "'responseModalities' must list TEXT and/or IMAGE.")
    _expect("IMAGE" in modalities, "This model only answers with images: responseModalities must include IMAGE.")
    image_config = config.get("imageConfig", {})
    _expect(isinstance(image_config, dict), "'imageConfig' must be an object.")
    ratio = image_config.get("aspectRatio", "1:1")
    size = image_config.get("imageSize", "1K")
    _expect(ratio in ASPECT_RATIOS, f"Unsupported aspectRatio: {ratio!r}.")
    _expect(size in LONG_EDGES, f"Unsupported imageSize: {size!r}; use 1K, 2K or 4K.")
    return ratio, size


def parse_request(body: bytes) -> GeminiRequest:
    """Validate a generateContent body the way the service does, or raise a 400."""
    try:
        data = json.loads(body)
    except (UnicodeDecodeError, json.JSONDecodeError):
        raise ApiError(400, "Invalid JSON payload received.") from None
    _expect(isinstance(data, dict), "Invalid JSON payload received: expected an object.")
    unknown = sorted(set(data) - _TOP_LEVEL)
    _expect(not unknown, f"Invalid JSON payload received. Unknown name {', '.join(map(repr, unknown))}.")
    contents = data.get("contents")
    _expect(isinstance(contents, list) and bool(contents), "'contents' must be a non-empty list.")
    texts: list[str] = []
    refs: list[Image.Image] = []
    for i, content in enumerate(contents):
        _expect(isinstance(content, dict), f"'contents[{i}]' must be an object.")
        _expect(content.get("role", "user") in ("user", "model"), f"'contents[{i}].role' must be user or model.")
        _read_parts(content.get("parts"), f"contents[{i}].parts", texts, refs)
    ratio, size = _read_image_config(data.get("generationConfig", {}))
    return GeminiRequest("\n".join(texts), refs, ratio, size)


def _image_part(request: Request, png: bytes, faults: Faults, store_put: Callable[[bytes], str]) -> dict[str, Any]:
    if faults.broken_link:
        uri = f"{request.host_url}files/missing-{secrets.token_hex(8)}.png"
    elif faults.file_reply:
        uri = f"{request.host_url}files/{store_put(png)}"
    else:
        return {"inlineData": {"mimeType": "image/png", "data": base64.b64encode(png).decode("ascii")}}
    return {"fileData": {"mimeType": "image/png", "fileUri": uri}}


def _candidates(part: dict[str, Any] | None) -> list[dict[str, Any]]:
    if part is None:  # a refusal carries no content at all
        return [{"finishReason": "IMAGE_SAFETY", "index": 0}]
    return [{"content": {"role": "model", "parts": [part]}, "finishReason": "STOP", "index": 0}]


def generate_content(request: Request, model: str, delivery: Delivery, store_put: Callable[[bytes], str]) -> Response:
    """Answer one generateContent call (the caller has checked the bearer token)."""
    _expect(model in MODELS, f"Unknown model: models/{model} is not supported for generateContent.")
    parsed = parse_request(request.get_data())
    faults = parse_faults(parsed.prompt)
    forced = forced_reply(faults, delivery, error_response)
    if forced is not None:
        return forced
    part = None
    if not faults.safety:
        size = size_for_ratio(parsed.aspect_ratio, LONG_EDGES[parsed.image_size])
        png = render_png(parsed.prompt, size, parsed.references, padding_mib=faults.big_mib)
        part = _image_part(request, png, faults, store_put)
    payload = {"candidates": _candidates(part), "responseId": secrets.token_hex(10), "modelVersion": model}
    return delivery.body(payload, faults)
