"""The measured clients, each reduced to a zero-argument call that returns the image bytes.

Every row that feeds a target posts through the same transport, `transport.SessionHttpClient`
(a reused `requests.Session`), installed as the module's `http_client` global as a host does:

- floor: the least a client of these APIs can do through that transport: the same request
  (headers, time-out, body) as the clients, `.json()`, one base64 decode. "floor" builds its
  payload once, outside the measured calls; "floor_call" builds it on every call (base64 of
  each reference for Gemini, the upload list for edits), as every real client must;
- ours: the native `corvessa.image.sorvanel` / `corvessa.image.tovarin` clients' `start`;
- py: the pure-Python twins, imported from the tests as `tests.twins`;
- ours_contracts: the native clients through the contracts' stand-in `corvessa.config.http_client`
  instead: another transport, so a labelled row of its own that never feeds a target;
- openai: the `openai` SDK's `images.generate` / `images.edit` (images API only; its own transport);
- outside (no-network cases only): nothing but the calls a client has to make into other
  modules (HTTP client, logger, base64, result constructor, size calculator), with prepared
  arguments: the lower bound of any implementation's time.

Every call checks that it got the image the server sent, so a fast failure path is never
mistaken for a fast client.
"""

from __future__ import annotations

import base64
import contextlib
import importlib
import logging
import time
from collections.abc import Callable, Iterator
from types import ModuleType
from typing import Any, Final

from bench.cases import Case
from bench.payloads import (
    API_KEY,
    ASPECT_RATIO,
    GEMINI_IMAGE_SIZE,
    GEMINI_MODEL,
    IMAGES_IMAGE_SIZE,
    IMAGES_MODEL,
    IMAGES_PIXEL_SIZE,
    IMAGES_QUALITY,
    PROMPT,
    base_for,
    gemini_path,
    gemini_reply,
    images_reply,
    reply_image,
)
from bench.request_checks import CannedResponse, RecordingHttpClient, WrongResult
from bench.transport import SessionHttpClient

Call = Callable[[], bytes]

# Module of each client kind, per API.
_MODULES: Final = {
    ("ours", "gemini"): "corvessa.image.sorvanel",
    ("ours", "images"): "corvessa.image.tovarin",
    ("py", "gemini"): "tests.twins.sorvanel_py",
    ("py", "images"): "tests.twins.tovarin_py",
}
# An address that no call may reach: the in-process cases answer from a canned response.
_UNREACHABLE: Final = "http://127.0.0.1:9"


class Unavailable(Exception):
    """A client that cannot run here (its module does not import)."""


def load_module(client: str, api: str) -> ModuleType:
    """The module behind an "ours" or "py" client; `Unavailable` when it does not import."""
    name = _MODULES[(client, api)]
    try:
        return importlib.import_module(name)
    except Exception as exc:  # any import failure means: skip these rows, say why
        raise Unavailable(f"{name}: {type(exc).__name__}: {exc}") from exc


def availability(client: str, api: str) -> str | None:
    """None when the client can run, else why it cannot."""
    try:
        if client in ("ours", "py"):
            load_module(client, api)
        elif client == "openai":
            importlib.import_module("openai")
    except (Unavailable, ImportError) as exc:
        return str(exc)
    return None


def build_call(
    client: str,
    case: Case,
    server_url: str,
    refs: list[bytes],
    *,
    floor_payload_per_call: bool = False,
    recorder: RecordingHttpClient | None = None,
) -> Call:
    """A zero-argument call of `client` for `case`; `refs` are the reference images it sends.

    `floor_payload_per_call` makes the floor build its request payload inside the call (the
    memory probes use it, so every client starts from the same raw image bytes). `recorder` is
    the in-process HTTP client that the "outside" lower bound posts to.
    """
    base = base_for(server_url, case.reply) if case.network else _UNREACHABLE
    if client == "outside":
        if recorder is None:
            raise ValueError("the outside-calls lower bound needs the recording http_client")
        return _outside_calls(case, base, refs, recorder)
    if client in ("floor", "floor_call"):
        return _floor_call(case, base, refs, floor_payload_per_call or client == "floor_call")
    if client == "openai":
        return _openai_call(case, base, refs)
    if client == "ours_contracts":
        native = load_module("ours", case.api)
        return _through_contracts_transport(native, _start_call(native, case, base, refs))
    module = load_module(client, case.api)
    if case.network:
        session_transport(module)
    return _start_call(module, case, base, refs)


def expected_image(case: Case) -> bytes:
    return reply_image(case.reply)


# --- ours and the twins: the same `start` calls ------------------------------------------------

_TRANSPORTS: dict[str, SessionHttpClient] = {}


def session_transport(module: ModuleType) -> SessionHttpClient:
    """The module's session transport, installed as its `http_client` global (once per module)."""
    transport = _TRANSPORTS.setdefault(module.__name__, SessionHttpClient())
    module.http_client = transport  # type: ignore[attr-defined]
    return transport


def _through_contracts_transport(module: ModuleType, call: Call) -> Call:
    """`call` with the contracts' stand-in transport as `http_client`, the session one restored after.

    Swapping the global costs two attribute stores per call, well under a microsecond.
    """
    from corvessa.config import http_client as contracts_transport

    session = session_transport(module)

    def swapped() -> bytes:
        module.http_client = contracts_transport  # type: ignore[attr-defined]
        try:
            return call()
        finally:
            module.http_client = session  # type: ignore[attr-defined]

    return swapped


def _start_call(module: ModuleType, case: Case, base: str, refs: list[bytes]) -> Call:
    files: list[bytes] | None = list(refs) or None
    if case.api == "gemini":
        gemini = module.SorvanelClient(base, API_KEY)

        def gemini_call() -> bytes:
            result = gemini.start(PROMPT, aspect_ratio=ASPECT_RATIO, image_size=GEMINI_IMAGE_SIZE, files=files)
            return _result_data(result)

        return gemini_call

    images = module.TovarinClient(base, API_KEY)

    def images_call() -> bytes:
        result = images.start(
            PROMPT, aspect_ratio=ASPECT_RATIO, quality=IMAGES_QUALITY, image_size=IMAGES_IMAGE_SIZE, files=files
        )
        return _result_data(result)

    return images_call


def _result_data(result: Any) -> bytes:
    if result.code is not None:
        raise WrongResult(repr(result))
    data: bytes = result.data
    return data


# --- the floor: plain requests -----------------------------------------------------------------


def _gemini_payload(refs: list[bytes]) -> dict[str, Any]:
    parts: list[dict[str, Any]] = [{"text": PROMPT}]
    for ref in refs:
        parts.append({"inlineData": {"mimeType": "image/png", "data": base64.b64encode(ref).decode("ascii")}})
    return {
        "contents": [{"role": "user", "parts": parts}],
        "generationConfig": {
            "responseModalities": ["IMAGE"],
            "imageConfig": {"aspectRatio": ASPECT_RATIO, "imageSize": GEMINI_IMAGE_SIZE},
        },
        "response_format": "url",
    }


def _images_fields() -> dict[str, Any]:
    return {
        "model": IMAGES_MODEL,
        "prompt": PROMPT,
        "response_format": "b64_json",
        "size": IMAGES_PIXEL_SIZE,
        "quality": IMAGES_QUALITY,
        "n": 1,
    }


def _upload_parts(refs: list[bytes]) -> list[tuple[str, bytes]]:
    """The uploads as the clients hand them to `http_client.post`: ("image", bytes) pairs."""
    return [("image", ref) for ref in refs]


def _request_headers(json_body: bool) -> dict[str, str]:
    """The headers both clients send: the bearer token, and the JSON content type unless multipart."""
    headers = {"Authorization": f"Bearer {API_KEY}"}
    if json_body:
        headers["Content-Type"] = "application/json"
    return headers


def _floor_call(case: Case, base: str, refs: list[bytes], payload_per_call: bool) -> Call:
    """The floor: the clients' request through the same transport, then `.json()` and one decode.

    With `payload_per_call` the payload (base64 of every reference, or the upload list) is built
    inside the call; otherwise once, here.
    """
    transport = SessionHttpClient()
    timeout = transport.base_timeout
    if case.api == "gemini":
        url = base + gemini_path(GEMINI_MODEL)
        headers = _request_headers(json_body=True)
        prebuilt = _gemini_payload(refs)

        def gemini_call() -> bytes:
            payload = _gemini_payload(refs) if payload_per_call else prebuilt
            response = transport.post(url, headers=headers, json=payload, timeout=timeout)
            if response.status_code != 200:
                raise WrongResult(f"status {response.status_code}")
            return base64.b64decode(response.json()["candidates"][0]["content"]["parts"][0]["inlineData"]["data"])

        return gemini_call

    fields = _images_fields()
    if refs:
        url = base + "/v1/images/edits"
        headers = _request_headers(json_body=False)
        uploads = _upload_parts(refs)

        def send() -> Any:
            files = _upload_parts(refs) if payload_per_call else uploads
            return transport.post(url, headers=headers, data=fields, files=files, timeout=timeout)

    else:
        url = base + "/v1/images/generations"
        headers = _request_headers(json_body=True)

        def send() -> Any:
            payload = _images_fields() if payload_per_call else fields
            return transport.post(url, headers=headers, json=payload, timeout=timeout)

    def call() -> bytes:
        response = send()
        if response.status_code != 200:
            raise WrongResult(f"status {response.status_code}")
        return base64.b64decode(response.json()["data"][0]["b64_json"])

    return call


# --- the openai SDK ----------------------------------------------------------------------------


def _openai_call(case: Case, base: str, refs: list[bytes]) -> Call:
    import openai

    sdk = openai.OpenAI(api_key=API_KEY, base_url=base + "/v1", max_retries=0)
    uploads = [(f"image-{index}.png", ref, "image/png") for index, ref in enumerate(refs)]

    def call() -> bytes:
        options: dict[str, Any] = dict(
            prompt=PROMPT,
            model=IMAGES_MODEL,
            size=IMAGES_PIXEL_SIZE,
            quality=IMAGES_QUALITY,
            n=1,
            response_format="b64_json",
        )
        reply = sdk.images.edit(image=uploads, **options) if uploads else sdk.images.generate(**options)
        if not reply.data or reply.data[0].b64_json is None:
            raise WrongResult("reply without b64_json")
        return base64.b64decode(reply.data[0].b64_json)

    return call


# --- the in-process HTTP client of the no-network cases, swapped into the module -------------


@contextlib.contextmanager
def recording_http_client(client: str, case: Case) -> Iterator[RecordingHttpClient]:
    """Swap the client module's `http_client` global for a recorder for the duration.

    The "outside" lower bound has no module: it gets a recorder of its own and posts to it.
    """
    image = reply_image(case.reply)
    recorder = RecordingHttpClient(gemini_reply(image) if case.api == "gemini" else images_reply(image))
    if client == "outside":
        yield recorder
        return
    module = load_module(client, case.api)
    # The module's global, which its type does not declare: looked up and set by name.
    saved = getattr(module, "http_client")  # noqa: B009
    setattr(module, "http_client", recorder)  # noqa: B010
    try:
        yield recorder
    finally:
        setattr(module, "http_client", saved)  # noqa: B010


# --- the lower bound of the no-network cases ---------------------------------------------------


def _outside_calls(case: Case, base: str, refs: list[bytes], recorder: RecordingHttpClient) -> Call:
    """Only the calls into other modules that one `start` makes, in its order, arguments ready.

    Everything a client computes for itself (argument checks, dictionaries, texts, the walk
    over the reply) is left out, so no implementation of the same calls can be faster.
    """
    if case.api == "gemini":
        return _outside_gemini(base, refs, recorder)
    return _outside_images(base, refs, recorder)


def _outside_gemini(base: str, refs: list[bytes], recorder: RecordingHttpClient) -> Call:
    from corvessa.config import _SUPPORTED_MODELS, _SUPPORTED_RATIOS
    from dolvex import ServiceResult

    logger = logging.getLogger("corvessa.image.sorvanel")
    url = base + gemini_path(GEMINI_MODEL)
    headers = {"Authorization": f"Bearer {API_KEY}", "Content-Type": "application/json"}
    body = _gemini_payload([])
    record = {"msg": "SORVANEL request api"}

    def call() -> bytes:
        _ = ASPECT_RATIO in _SUPPORTED_RATIOS, GEMINI_MODEL in _SUPPORTED_MODELS, ASPECT_RATIO in _SUPPORTED_RATIOS
        for ref in refs:
            base64.b64encode(ref).decode("utf-8")
        logger.debug(record)
        start = time.time()
        response = recorder.post(url, headers=headers, json=body, timeout=120.0)
        reply = response.json()
        logger.debug(record)
        round(time.time() - start, 3)
        image = base64.b64decode(reply["candidates"][0]["content"]["parts"][0]["inlineData"]["data"])
        logger.debug(record)
        data: bytes = ServiceResult.success(data=image).data
        return data

    return call


def _outside_images(base: str, refs: list[bytes], recorder: RecordingHttpClient) -> Call:
    from dolvex import ServiceResult
    from tessaly.gpt_image import GPTImageSizeCalculator

    logger = logging.getLogger("corvessa.image.tovarin")
    headers = {"Authorization": f"Bearer {API_KEY}"}
    fields = _images_fields()
    files = [("image", ref) for ref in refs]
    record = {"msg": "GPT-IMAGE-2 request api"}

    def post() -> CannedResponse:
        if files:
            return recorder.post(base + "/v1/images/edits", headers=headers, data=fields, files=files, timeout=120.0)
        return recorder.post(base + "/v1/images/generations", headers=headers, json=fields, timeout=120.0)

    def call() -> bytes:
        start = time.time()
        GPTImageSizeCalculator.calc_size(aspect_ratio=ASPECT_RATIO, resolution=IMAGES_IMAGE_SIZE)
        logger.debug(record)
        logger.debug(record)
        response = post()
        round(time.time() - start, 3)
        logger.debug(record)
        image = base64.b64decode(response.json()["data"][0]["b64_json"])
        data: bytes = ServiceResult.success(data=image).data
        return data

    return call
