"""POST /v1/images/generations (JSON) and /v1/images/edits (multipart), the images API, and its
model listing GET /v1/models."""

from __future__ import annotations

import base64
import math
import re
import secrets
import time
from collections.abc import Iterable
from dataclasses import dataclass, field, replace
from typing import Any

from PIL import Image
from werkzeug.wrappers import Request, Response

from .errors import ApiError
from .faults import MAX_BIG_MIB, Faults, parse_faults
from .jsonbody import BadJson, load_json
from .render import FORMATS, decode_reference, render_stages
from .replies import EVENT_STREAM, Call, forced_reply, json_response, server_sent_events

DEFAULT_SIZE = (1024, 1024)
MIN_EDGE, MAX_EDGE = 16, 4096
MAX_IMAGES = 10
MAX_REFERENCES = 16
# Pixels of all pictures of one request together: one small request must not cost gigabytes.
MAX_REQUEST_PIXELS = 4096 * 4096
MODELS = frozenset(
    {
        "gpt-image-1",
        "gpt-image-1-mini",
        "gpt-image-1.5",
        "gpt-image-2",
        "gpt-image-2-2026-04-21",
        "chatgpt-image-latest",
        "dall-e-2",
        "dall-e-3",
    }
)
BACKGROUNDS = frozenset({"transparent", "opaque", "auto"})
MAX_PARTIAL_IMAGES = 3
QUALITIES = frozenset({"", "auto", "low", "medium", "high", "standard", "hd"})
RESPONSE_FORMATS = frozenset({"b64_json", "url"})
# Sizes and qualities the service names in its reply; others are left out of it.
_REPLY_SIZES = frozenset({"1024x1024", "1024x1536", "1536x1024"})
_REPLY_QUALITIES = frozenset({"low", "medium", "high"})
# Output tokens of a 1024x1024 picture by quality; other sizes scale with their area.
_OUTPUT_TOKENS = {"low": 272, "medium": 1056, "high": 4160}
_TOKENS_PER_REFERENCE = 323
_SIZE = re.compile(r"([0-9]{1,5})x([0-9]{1,5})")
_SMALL_COUNT = re.compile(r"[0-9]{1,3}")
# Form fields carry booleans as text.
_FLAGS = {True: True, False: False, "true": True, "false": False}
# The models have no history here; the listing gives them all one fixed creation time.
_MODELS_CREATED = 1_700_000_000


@dataclass
class ImagesRequest:
    prompt: str
    size: tuple[int, int] = DEFAULT_SIZE
    response_format: str = "b64_json"
    n: int = 1
    quality: str = ""
    output_format: str = "png"
    output_compression: int | None = None
    references: list[Image.Image] = field(default_factory=list)
    background: str = "auto"
    stream: bool = False
    partial_images: int = 0
    events: str = "image_generation"  # the name prefix of streamed events: "image_edit" for edits


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
        raise _invalid(
            "size", f"Invalid size {value!r}: use 'auto' or WIDTHxHEIGHT with edges of {MIN_EDGE} to {MAX_EDGE} pixels."
        )
    return edges


def _small_int(name: str, value: Any, low: int, high: int) -> int | None:
    """An integer option from JSON or a form field (digits), None when absent."""
    if value is None:
        return None
    if isinstance(value, str) and _SMALL_COUNT.fullmatch(value.strip()):
        value = int(value)
    if type(value) is not int or not low <= value <= high:
        raise _invalid(name, f"Invalid '{name}': expected an integer from {low} to {high}.")
    return value


def _text_option(fields: dict[str, Any], name: str, allowed: frozenset[str] | set[str], default: str) -> str:
    value = fields.get(name)
    if value is not None and not isinstance(value, str):
        raise _invalid(name, f"Invalid type for '{name}': expected a string.")
    value = value or default
    if value not in allowed:
        raise _invalid(
            name,
            f"Invalid value {value!r} for '{name}'. Supported values are: {', '.join(sorted(a for a in allowed if a))}.",
        )
    return value


def _flag(name: str, value: Any) -> bool:
    """A boolean option from JSON or a form field ("true", "false"), False when absent."""
    if value is None:
        return False
    key = value.lower() if isinstance(value, str) else value
    if type(key) not in (bool, str) or key not in _FLAGS:
        raise _invalid(name, f"Invalid '{name}': expected true or false.")
    return _FLAGS[key]


def _check_model(fields: dict[str, Any]) -> None:
    if fields.get("model") is not None:
        _text_option(fields, "model", MODELS, "")


def _parse_fields(fields: dict[str, Any]) -> ImagesRequest:
    prompt = fields.get("prompt")
    if not isinstance(prompt, str) or not prompt:
        raise ApiError(400, "Missing required parameter: 'prompt'.", param="prompt", code="missing_required_parameter")
    _check_model(fields)
    return ImagesRequest(
        prompt,
        size=_parse_size(fields.get("size")),
        response_format=_text_option(fields, "response_format", RESPONSE_FORMATS, "b64_json"),
        n=_small_int("n", fields.get("n"), 1, MAX_IMAGES) or 1,
        quality=_text_option(fields, "quality", QUALITIES, ""),
        output_format=_text_option(fields, "output_format", set(FORMATS), "png"),
        output_compression=_small_int("output_compression", fields.get("output_compression"), 0, 100),
        background=_text_option(fields, "background", BACKGROUNDS, "auto"),
        stream=_flag("stream", fields.get("stream")),
        partial_images=_small_int("partial_images", fields.get("partial_images"), 0, MAX_PARTIAL_IMAGES) or 0,
    )


def _check_budget(parsed: ImagesRequest, faults: Faults) -> None:
    if parsed.n * parsed.size[0] * parsed.size[1] > MAX_REQUEST_PIXELS:
        raise _invalid(
            "n", f"n pictures of size {parsed.size[0]}x{parsed.size[1]} exceed {MAX_REQUEST_PIXELS} pixels in all."
        )
    if parsed.n * faults.big_mib > MAX_BIG_MIB:
        raise ApiError(400, f"emulator token [[big:{faults.big_mib}]]: n times MiB must stay within {MAX_BIG_MIB}")


def parse_generations(body: bytes) -> ImagesRequest:
    try:
        data = load_json(body)
    except BadJson as err:
        raise ApiError(400, f"We could not parse the JSON body of your request: {err}.") from None
    if not isinstance(data, dict):
        raise ApiError(400, "The JSON body of your request must be an object.")
    return _parse_fields(data)


def parse_edits(request: Request) -> ImagesRequest:
    if request.mimetype != "multipart/form-data":
        raise ApiError(400, "The edits endpoint expects a multipart/form-data body.")
    parsed = _parse_fields(request.form.to_dict())
    parsed.events = "image_edit"
    uploads = request.files.getlist("image") + request.files.getlist("image[]")
    if not uploads:
        raise ApiError(400, "Missing required parameter: 'image'.", param="image", code="missing_required_parameter")
    if len(uploads) > MAX_REFERENCES:
        raise _invalid("image", f"At most {MAX_REFERENCES} images may be given.")
    parsed.references = [decode_reference(upload.read()) for upload in uploads]
    return parsed


def _item(data: bytes, link: bool, faults: Faults, call: Call, media_type: str) -> dict[str, str]:
    if faults.broken_link:
        return {"url": call.links.missing()}
    if link:
        return {"url": call.links.publish(data, media_type)}
    return {"b64_json": base64.b64encode(data).decode("ascii")}


def _refusal() -> ApiError:
    return ApiError(
        400,
        "Your request was rejected by the safety system.",
        code="moderation_blocked",
    )


def _usage(parsed: ImagesRequest) -> dict[str, Any]:
    """Token counts in the shape the service reports, estimated from the request."""
    text = max(1, math.ceil(len(parsed.prompt) / 4))
    images = _TOKENS_PER_REFERENCE * len(parsed.references)
    per_picture = _OUTPUT_TOKENS.get(parsed.quality, _OUTPUT_TOKENS["medium"])
    output = parsed.n * max(1, round(per_picture * parsed.size[0] * parsed.size[1] / (1024 * 1024)))
    return {
        "input_tokens": text + images,
        "input_tokens_details": {"image_tokens": images, "text_tokens": text},
        "output_tokens": output,
        "output_tokens_details": {"image_tokens": output, "text_tokens": 0},
        "total_tokens": text + images + output,
    }


def _reply(parsed: ImagesRequest, items: list[dict[str, str]]) -> dict[str, Any]:
    reply: dict[str, Any] = {"created": int(time.time()), "data": items, "output_format": parsed.output_format}
    size = f"{parsed.size[0]}x{parsed.size[1]}"
    if size in _REPLY_SIZES:
        reply["size"] = size
    if parsed.quality in _REPLY_QUALITIES:
        reply["quality"] = parsed.quality
    reply["usage"] = _usage(parsed)
    return reply


def request_id() -> str:
    return f"req_{secrets.token_hex(16)}"


def _size_and_quality(parsed: ImagesRequest) -> tuple[str, str]:
    """The size and quality as the service names them in an event: "auto" for other values."""
    size = f"{parsed.size[0]}x{parsed.size[1]}"
    return (size if size in _REPLY_SIZES else "auto"), (
        parsed.quality if parsed.quality in _REPLY_QUALITIES else "auto"
    )


def _events(parsed: ImagesRequest, stages: Iterable[list[bytes]]) -> list[tuple[str | None, Any]]:
    """For each picture its partial images, then its completed event."""
    size, quality = _size_and_quality(parsed)
    settings = {
        "size": size,
        "quality": quality,
        "background": parsed.background,
        "output_format": parsed.output_format,
    }
    usage = _usage(replace(parsed, n=1))  # each completed event counts its own picture

    def event(kind: str, data: bytes, extra: dict[str, Any]) -> tuple[str | None, Any]:
        name = f"{parsed.events}.{kind}"
        b64 = base64.b64encode(data).decode("ascii")
        return name, {"type": name, "b64_json": b64, "created_at": int(time.time())} | settings | extra

    events: list[tuple[str | None, Any]] = []
    for *partials, final in stages:
        events += [event("partial_image", data, {"partial_image_index": index}) for index, data in enumerate(partials)]
        events.append(event("completed", final, {"usage": usage}))
    return events


def answer(parsed: ImagesRequest, call: Call) -> Response:
    """Apply the prompt's fault tokens, then reply with n pictures: one JSON body, or, for a
    stream, server-sent events sent as one body (pictures in streams are always base64)."""
    faults = parse_faults(parsed.prompt)
    _check_budget(parsed, faults)
    forced = forced_reply(faults, call.delivery, error_response)
    if forced is not None:
        return forced
    if faults.safety:
        return error_response(_refusal())
    output = call.output(parsed.output_format, parsed.output_compression)
    partials = parsed.partial_images if parsed.stream else 0
    stages = (
        render_stages(
            parsed.prompt,
            parsed.size,
            parsed.references,
            seed=i,
            partials=partials,
            padding_mib=faults.big_mib,
            output=output,
        )
        for i in range(parsed.n)
    )
    if parsed.stream:
        return call.delivery.data(server_sent_events(_events(parsed, stages)), faults, EVENT_STREAM)
    link = parsed.response_format == "url" or faults.link_reply
    items = [_item(pictures[-1], link, faults, call, output.media_type) for pictures in stages]
    return call.delivery.body(_reply(parsed, items), faults)


def _model_entry(model: str) -> dict[str, Any]:
    return {"id": model, "object": "model", "created": _MODELS_CREATED, "owned_by": "system"}


def list_models() -> Response:
    return json_response({"object": "list", "data": [_model_entry(model) for model in sorted(MODELS)]})


def get_model(model: str) -> Response:
    if model not in MODELS:
        raise ApiError(
            404, f"The model '{model:.100}' does not exist or you do not have access to it.", code="model_not_found"
        )
    return json_response(_model_entry(model))
