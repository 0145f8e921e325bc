"""POST /v1/images/generations (JSON) and /v1/images/edits (multipart), the images API."""

from __future__ import annotations

import base64
import json
import re
import secrets
import time
from collections.abc import Callable
from dataclasses import dataclass, field
from typing import Any

from PIL import Image
from werkzeug.wrappers import Request, Response

from .errors import ApiError
from .faults import Faults, parse_faults
from .render import decode_reference, render_png
from .replies import Delivery, forced_reply, json_response

DEFAULT_SIZE = (1024, 1024)
MIN_EDGE, MAX_EDGE = 16, 4096
MAX_IMAGES = 10
QUALITIES = frozenset({"", "auto", "low", "medium", "high", "standard", "hd"})
RESPONSE_FORMATS = frozenset({"b64_json", "url"})
_SIZE = re.compile(r"(\d{1,5})x(\d{1,5})")


@dataclass
class ImagesRequest:
    prompt: str
    size: tuple[int, int] = DEFAULT_SIZE
    response_format: str = "b64_json"
    n: int = 1
    references: list[Image.Image] = field(default_factory=list)


def error_response(err: ApiError) -> Response:
    if err.status >= 500:
        kind = "server_error"
    elif err.status == 429:
        kind = "requests"
    else:
        kind = "invalid_request_error"
    body = {"message": err.message, "type": kind, "param": err.param, "code": err.code}
    return json_response({"error": body}, err.status)


def _invalid(param: str, message: str) -> ApiError:
    return ApiError(400, message, param=param, code="invalid_value")


def _parse_size(value: Any) -> tuple[int, int]:
    if value in (None, "", "auto"):
        return DEFAULT_SIZE
    match = _SIZE.fullmatch(value) if isinstance(value, str) else None
    edges = (int(match.group(1)), int(match.group(2))) if match else (0, 0)
    if not all(MIN_EDGE <= edge <= MAX_EDGE for edge in edges):
        raise _invalid("size", f"Invalid size {value!r}: use 'auto' or WIDTHxHEIGHT with edges of {MIN_EDGE} to {MAX_EDGE} pixels.")
    return edges


def _parse_n(value: Any) -> int:
    if value is None:
        return 1
    if isinstance(value, str) and value.strip().isdigit():
        value = int(value)
    if type(value) is not int or not 1 <= value <= MAX_IMAGES:
        raise _invalid("n", f"Invalid 'n': expected an integer from 1 to {MAX_IMAGES}.")
    return value


def _parse_fields(fields: dict[str, Any]) -> ImagesRequest:
    prompt = fields.get("prompt")
    if not isinstance(prompt, str) or not prompt:
        raise ApiError(400, "Missing required parameter: 'prompt'.", param="prompt", code="missing_required_parameter")
    for name in ("model", "quality", "response_format"):
        if fields.get(name) is not None and not isinstance(fields[name], str):
            raise _invalid(name, f"Invalid type for '{name}': expected a string.")
    if (fields.get("quality") or "") not in QUALITIES:
        raise _invalid("quality", f"Invalid quality {fields['quality']!r}: use low, medium, high or auto.")
    response_format = fields.get("response_format") or "b64_json"
    if response_format not in RESPONSE_FORMATS:
        raise _invalid("response_format", f"Invalid response_format {response_format!r}: use b64_json or url.")
    return ImagesRequest(prompt, _parse_size(fields.get("size")), response_format, _parse_n(fields.get("n")))


def parse_generations(body: bytes) -> ImagesRequest:
    try:
        data = json.loads(body)
    except (UnicodeDecodeError, json.JSONDecodeError):
        raise ApiError(400, "We could not parse the JSON body of your request.") from None
    if not isinstance(data, dict):
        raise ApiError(400, "The JSON body of your request must be an object.")
    return _parse_fields(data)


def parse_edits(request: Request) -> ImagesRequest:
    if request.mimetype != "multipart/form-data":
        raise ApiError(400, "The edits endpoint expects a multipart/form-data body.")
    parsed = _parse_fields(request.form.to_dict())
    uploads = request.files.getlist("image") + request.files.getlist("image[]")
    if not uploads:
        raise ApiError(400, "Missing required parameter: 'image'.", param="image", code="missing_required_parameter")
    parsed.references = [decode_reference(upload.read()) for upload in uploads]
    return parsed


def _item(request: Request, png: bytes, link: bool, faults: Faults, store_put: Callable[[bytes], str]) -> dict[str, str]:
    if faults.broken_link:
        return {"url": f"{request.host_url}files/missing-{secrets.token_hex(8)}.png"}
    if link:
        return {"url": f"{request.host_url}files/{store_put(png)}"}
    return {"b64_json": base64.b64encode(png).decode("ascii")}


def _refusal() -> ApiError:
    return ApiError(
        400,
        "Your request was rejected by the safety system.",
        code="moderation_blocked",
    )


def answer(request: Request, parsed: ImagesRequest, delivery: Delivery, store_put: Callable[[bytes], str]) -> Response:
    """Apply the prompt's fault tokens, then reply with n pictures."""
    faults = parse_faults(parsed.prompt)
    forced = forced_reply(faults, delivery, error_response)
    if forced is not None:
        return forced
    if faults.safety:
        return error_response(_refusal())
    link = parsed.response_format == "url" or faults.link_reply
    pictures = (render_png(parsed.prompt, parsed.size, parsed.references, seed=i, padding_mib=faults.big_mib) for i in range(parsed.n))
    items = [_item(request, png, link, faults, store_put) for png in pictures]
    size = f"{parsed.size[0]}x{parsed.size[1]}"
    return delivery.body({"created": int(time.time()), "data": items, "output_format": "png", "size": size}, faults)
