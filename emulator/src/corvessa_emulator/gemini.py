"""Gemini on /v1 and /v1beta: models/{model}:generateContent, :streamGenerateContent and
:countTokens, and the model listing GET models and models/{model}."""

from __future__ import annotations

import base64
import binascii
import math
import re
import secrets
from collections.abc import Callable
from dataclasses import dataclass, field
from typing import Any

from PIL import Image
from werkzeug.wrappers import Request, Response

from .errors import ApiError
from .faults import Faults, parse_faults, strip_tokens
from .jsonbody import BadJson, load_json
from .render import decode_reference, render, size_for_ratio
from .replies import EVENT_STREAM, Call, forced_reply, json_response, server_sent_events


@dataclass(frozen=True)
class ModelInfo:
    """What the model listing says about one model."""

    version: str
    display_name: str
    description: str
    input_token_limit: int
    output_token_limit: int = 32768


MODEL_INFO = {
    "gemini-3-pro-image-preview": ModelInfo("3.0", "Gemini 3 Pro Image Preview", "Gemini 3 Pro Image Preview", 65536),
    "gemini-3.1-flash-image-preview": ModelInfo(
        "3.1", "Gemini 3.1 Flash Image Preview", "Gemini 3.1 Flash Image Preview", 65536
    ),
    "gemini-2.5-flash-image": ModelInfo("2.0", "Gemini 2.5 Flash Image", "Gemini 2.5 Flash Image", 32768),
}
MODELS = frozenset(MODEL_INFO)
GENERATION_METHODS = ("generateContent", "countTokens")
ASPECT_RATIOS = frozenset({"1:1", "2:3", "3:2", "3:4", "4:3", "4:5", "5:4", "9:16", "16:9", "21:9"})
LONG_EDGES = {"1K": 1024, "2K": 2048, "4K": 4096}
MODALITIES = frozenset({"TEXT", "IMAGE"})
MAX_REFERENCES = 16
# Top-level request fields the service knows (after snake_case names are read as camelCase);
# "response_format" is accepted by the gateway.
_TOP_LEVEL = frozenset(
    {
        "contents",
        "generationConfig",
        "safetySettings",
        "systemInstruction",
        "tools",
        "toolConfig",
        "cachedContent",
        "responseFormat",
    }
)
# Tokens the service counts for each reference image and for each picture it makes, by size.
_TOKENS_PER_REFERENCE = 258
_TOKENS_PER_PICTURE = {"1K": 1120, "2K": 1120, "4K": 2000}
_SNAKE = re.compile(r"_([a-z0-9])")
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
    wants_text: bool = False  # responseModalities names TEXT as well


def error_response(err: ApiError) -> Response:
    status_name = _STATUS_NAMES.get(err.status, "UNKNOWN")
    return json_response({"error": {"code": err.status, "message": err.message, "status": status_name}}, err.status)


def _expect(condition: bool, message: str) -> None:
    if not condition:
        raise ApiError(400, message)


def _camel(name: str) -> str:
    return _SNAKE.sub(lambda m: m.group(1).upper(), name)


def _camel_keys(value: Any) -> Any:
    """The body with every field name in camelCase: the service reads "inline_data" as "inlineData"."""
    if isinstance(value, list):
        return [_camel_keys(item) for item in value]
    if not isinstance(value, dict):
        return value
    renamed: dict[str, Any] = {}
    for key, item in value.items():
        name = _camel(key)
        _expect(name not in renamed, f'Invalid JSON payload received. Field "{name}" is given twice.')
        renamed[name] = _camel_keys(item)
    return renamed


def _is_image_type(value: Any) -> bool:
    return isinstance(value, str) and value.startswith("image/")


def _decode_inline(blob: Any, where: str) -> Image.Image:
    _expect(isinstance(blob, dict), f"Invalid value at '{where}': expected an object.")
    _expect(_is_image_type(blob.get("mimeType")), f"'{where}.mimeType' must name an image type.")
    _expect(isinstance(blob.get("data"), str), f"'{where}.data' must be a base64 string.")
    try:
        raw = base64.b64decode(blob["data"], validate=True)
    except (binascii.Error, ValueError):
        raise ApiError(400, f"Invalid value at '{where}.data': invalid base64 data.") from None
    return decode_reference(raw)


def _fetch_file(blob: Any, where: str, call: Call) -> Image.Image:
    """A fileData reference: only pictures this emulator serves can be read."""
    _expect(isinstance(blob, dict), f"Invalid value at '{where}': expected an object.")
    _expect(_is_image_type(blob.get("mimeType")), f"'{where}.mimeType' must name an image type.")
    uri = blob.get("fileUri")
    _expect(isinstance(uri, str), f"'{where}.fileUri' must be a string.")
    name = call.links.name_of(uri)
    data = call.links.store.get(name) if name else None
    if data is None:
        raise ApiError(400, f"Cannot fetch content from '{where}.fileUri': only this server's /files/ links are read.")
    return decode_reference(data)


def _read_parts(parts: Any, where: str, texts: list[str], refs: list[Image.Image], call: Call) -> None:
    _expect(isinstance(parts, list) and bool(parts), f"'{where}' must be a non-empty list.")
    for i, part in enumerate(parts):
        at = f"{where}[{i}]"
        _expect(isinstance(part, dict) and len(part) == 1, f"'{at}' must be an object with exactly one field.")
        ((key, value),) = part.items()
        if key == "text":
            _expect(isinstance(value, str), f"'{at}.text' must be a string.")
            texts.append(value)
        elif key in ("inlineData", "fileData"):
            _expect(len(refs) < MAX_REFERENCES, f"At most {MAX_REFERENCES} images may be given.")
            refs.append(
                _decode_inline(value, f"{at}.{key}") if key == "inlineData" else _fetch_file(value, f"{at}.{key}", call)
            )
        else:
            raise ApiError(400, f"Invalid JSON payload received. Unknown name \"{key}\" at '{at}'.")


def _read_image_config(config: Any) -> tuple[str, str, bool]:
    _expect(isinstance(config, dict), "'generationConfig' must be an object.")
    modalities = config.get("responseModalities", ["IMAGE"])
    _expect(
        isinstance(modalities, list) and all(isinstance(m, str) and m in MODALITIES for m in modalities),
        "'responseModalities' must list TEXT and/or IMAGE.",
    )
    _expect("IMAGE" in modalities, "This model only answers with images: responseModalities must include IMAGE.")
    image_config = config.get("imageConfig", {})
    _expect(isinstance(image_config, dict), "'imageConfig' must be an object.")
    ratio = image_config.get("aspectRatio", "1:1")
    size = image_config.get("imageSize", "1K")
    _expect(isinstance(ratio, str) and ratio in ASPECT_RATIOS, f"Unsupported aspectRatio: {ratio!r:.40}.")
    _expect(isinstance(size, str) and size in LONG_EDGES, f"Unsupported imageSize: {size!r:.40}; use 1K, 2K or 4K.")
    return ratio, size, "TEXT" in modalities


def _load(body: bytes) -> dict[str, Any]:
    try:
        data = load_json(body)
    except BadJson as err:
        raise ApiError(400, f"Invalid JSON payload received: {err}.") from None
    _expect(isinstance(data, dict), "Invalid JSON payload received: expected an object.")
    renamed: dict[str, Any] = _camel_keys(data)
    return renamed


def parse_request(body: bytes, call: Call) -> GeminiRequest:
    """Validate a generateContent body the way the service does, or raise a 400."""
    return _read_request(_load(body), call)


def _read_request(data: dict[str, Any], call: Call) -> GeminiRequest:
    unknown = sorted(set(data) - _TOP_LEVEL)
    _expect(not unknown, f"Invalid JSON payload received. Unknown name {', '.join(map(repr, unknown))}.")
    contents: Any = data.get("contents")
    _expect(isinstance(contents, list) and bool(contents), "'contents' must be a non-empty list.")
    texts: list[str] = []
    refs: list[Image.Image] = []
    for i, content in enumerate(contents):
        _expect(isinstance(content, dict), f"'contents[{i}]' must be an object.")
        _expect(content.get("role", "user") in ("user", "model"), f"'contents[{i}].role' must be user or model.")
        _read_parts(content.get("parts"), f"contents[{i}].parts", texts, refs, call)
    ratio, size, wants_text = _read_image_config(data.get("generationConfig", {}))
    return GeminiRequest("\n".join(texts), refs, ratio, size, wants_text)


def _image_part(png: bytes, faults: Faults, call: Call) -> dict[str, Any]:
    if faults.broken_link:
        uri = call.links.missing()
    elif faults.file_reply:
        uri = call.links.publish(png)
    else:
        return {"inlineData": {"mimeType": "image/png", "data": base64.b64encode(png).decode("ascii")}}
    return {"fileData": {"mimeType": "image/png", "fileUri": uri}}


def _candidates(part: dict[str, Any] | None) -> list[dict[str, Any]]:
    if part is None:  # a refusal carries no content at all
        return [{"finishReason": "IMAGE_SAFETY", "index": 0}]
    return [{"content": {"role": "model", "parts": [part]}, "finishReason": "STOP", "index": 0}]


def _text_tokens(parsed: GeminiRequest) -> int:
    return math.ceil(len(parsed.prompt) / 4)


def _image_tokens(parsed: GeminiRequest) -> int:
    return _TOKENS_PER_REFERENCE * len(parsed.references)


def _usage(parsed: GeminiRequest, pictures: int) -> dict[str, int]:
    """Token counts in the shape the service reports, estimated from the request."""
    prompt = _text_tokens(parsed) + _image_tokens(parsed)
    candidates = pictures * _TOKENS_PER_PICTURE[parsed.image_size]
    return {"promptTokenCount": prompt, "candidatesTokenCount": candidates, "totalTokenCount": prompt + candidates}


def _check_model(model: str, method: str) -> None:
    _expect(model in MODELS, f"Unknown model: models/{model:.100} is not supported for {method}.")


def _answer(
    parsed: GeminiRequest, model: str, call: Call, deliver: Callable[[dict[str, Any], Faults], Response]
) -> Response:
    """The reply a fault token forces, or the whole GenerateContentResponse handed to deliver
    with the faults that shape its delivery."""
    faults = parse_faults(parsed.prompt)
    forced = forced_reply(faults, call.delivery, error_response)
    if forced is not None:
        return forced
    part = None
    if not faults.safety:
        size = size_for_ratio(parsed.aspect_ratio, LONG_EDGES[parsed.image_size])
        png = render(parsed.prompt, size, parsed.references, padding_mib=faults.big_mib, output=call.output())
        part = _image_part(png, faults, call)
    payload = {
        "candidates": _candidates(part),
        "usageMetadata": _usage(parsed, 0 if part is None else 1),
        "modelVersion": model,
        "responseId": secrets.token_hex(10),
    }
    return deliver(payload, faults)


def generate_content(request: Request, model: str, call: Call) -> Response:
    """Answer one generateContent call (the caller has checked the key)."""
    _check_model(model, "generateContent")
    return _answer(parse_request(request.get_data(), call), model, call, call.delivery.body)


def _text_chunk(parsed: GeminiRequest, final: dict[str, Any]) -> dict[str, Any]:
    """The text a model that also answers in words sends before its picture."""
    prompt = final["usageMetadata"]["promptTokenCount"]
    return {
        "candidates": [
            {
                "content": {
                    "role": "model",
                    "parts": [{"text": f"Here is the picture: {strip_tokens(parsed.prompt)[:200]}"}],
                },
                "index": 0,
            }
        ],
        "usageMetadata": {"promptTokenCount": prompt, "totalTokenCount": prompt},
        "modelVersion": final["modelVersion"],
        "responseId": final["responseId"],
    }


def stream_generate_content(request: Request, model: str, call: Call) -> Response:
    """streamGenerateContent: the reply in chunks, a text chunk first when TEXT was asked for and
    the picture in the last; server-sent events with ?alt=sse, else a JSON array of the chunks.
    The chunks are sent as one complete body."""
    _check_model(model, "streamGenerateContent")
    alt = request.args.get("alt", "json")
    _expect(alt in ("json", "sse"), f"Invalid value at 'alt': {alt!r:.40}; use json or sse.")
    parsed = parse_request(request.get_data(), call)

    def deliver(final: dict[str, Any], faults: Faults) -> Response:
        with_text = parsed.wants_text and "content" in final["candidates"][0]  # a refusal has no words either
        chunks = [_text_chunk(parsed, final), final] if with_text else [final]
        if alt == "sse":
            return call.delivery.data(
                server_sent_events(((None, chunk) for chunk in chunks), "\r\n"), faults, EVENT_STREAM
            )
        return call.delivery.body(chunks, faults)

    return _answer(parsed, model, call, deliver)


def _count_request(data: dict[str, Any]) -> dict[str, Any]:
    """The generateContent request that a countTokens body holds: its `contents`, or a whole
    `generateContentRequest` (whose `model` names the model again)."""
    if "generateContentRequest" in data:
        _expect(
            set(data) == {"generateContentRequest"}, "Give either 'contents' or 'generateContentRequest', not both."
        )
        inner = data["generateContentRequest"]
        _expect(isinstance(inner, dict), "'generateContentRequest' must be an object.")
        return {key: value for key, value in inner.items() if key != "model"}
    unknown = sorted(set(data) - {"contents"})
    _expect(not unknown, f"Invalid JSON payload received. Unknown name {', '.join(map(repr, unknown))}.")
    return data


def count_tokens(request: Request, model: str, call: Call) -> Response:
    """countTokens: what the request's prompt would count, text and images apart."""
    _check_model(model, "countTokens")
    parsed = _read_request(_count_request(_load(request.get_data())), call)
    text, images = _text_tokens(parsed), _image_tokens(parsed)
    details = [{"modality": "TEXT", "tokenCount": text}] + (
        [{"modality": "IMAGE", "tokenCount": images}] if images else []
    )
    return json_response({"totalTokens": text + images, "promptTokensDetails": details})


def _model_entry(model: str) -> dict[str, Any]:
    info = MODEL_INFO[model]
    return {
        "name": f"models/{model}",
        "version": info.version,
        "displayName": info.display_name,
        "description": info.description,
        "inputTokenLimit": info.input_token_limit,
        "outputTokenLimit": info.output_token_limit,
        "supportedGenerationMethods": list(GENERATION_METHODS),
    }


def list_models() -> Response:
    """Every model on one page: there is no nextPageToken."""
    return json_response({"models": [_model_entry(model) for model in sorted(MODELS)]})


def get_model(model: str, version: str) -> Response:
    if model not in MODELS:
        raise ApiError(404, f"models/{model:.100} is not found for API version {version}.")
    return json_response(_model_entry(model))
