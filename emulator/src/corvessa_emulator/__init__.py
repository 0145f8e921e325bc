"""Local emulator of the two remote image APIs, for tests, the command-line tool and the demo.

Start it from Python::

    from corvessa_emulator import serve
    with serve() as emu:             # 127.0.0.1, a free port; serve(port=8089) for a fixed one
        print(emu.base_url)          # e.g. http://127.0.0.1:40213

or from a shell: ``python -m corvessa_emulator --port 8089`` (``corvessa-emulator`` once installed).

Endpoints (the images API needs ``Authorization: Bearer <any non-empty token>``; Gemini also
takes the key as ``x-goog-api-key`` or ``?key=``; else 401):

- ``POST /v1beta/models/{model}:generateContent``: Gemini. Models gemini-3-pro-image-preview,
  gemini-3.1-flash-image-preview, gemini-2.5-flash-image. The picture follows
  ``generationConfig.imageConfig``: ``aspectRatio`` W:H (default 1:1) and ``imageSize`` 1K/2K/4K
  for a long edge of 1024/2048/4096 (default 1K); snake_case field names are read as their
  camelCase twins. Replies with one candidate whose single part is ``inlineData`` (base64 PNG),
  and ``usageMetadata``. Errors: ``{"error": {"code", "message", "status"}}``.
- ``POST /v1/images/generations`` (JSON) and ``POST /v1/images/edits`` (multipart/form-data,
  repeated ``image`` file parts): fields model, prompt, response_format (b64_json or url),
  size (WxH with edges 16..4096, "auto" or empty for 1024x1024), quality, n (1..10),
  output_format (png, jpeg, webp), output_compression. Replies ``{"created", "data": [{"b64_json"}
  or {"url"}], "output_format", "usage", ...}`` with an ``x-request-id`` header. Errors (an
  unknown model among them): ``{"error": {"message", "type", "param", "code"}}``.
- Gemini is served on ``/v1`` and ``/v1beta``; beside generateContent:
  ``models/{model}:streamGenerateContent`` (``?alt=sse``: server-sent events, else a JSON array;
  the picture in the last chunk), ``models/{model}:countTokens`` (``totalTokens``) and
  ``GET models``, ``GET models/{model}``.
- The images API streams with ``stream`` true: ``partial_images`` (0..3) partial-image events,
  then a completed event, as server-sent events. ``GET /v1/models`` and ``/v1/models/{id}`` list
  its models (in Gemini's shape when the key comes as ``x-goog-api-key`` or ``?key=``).
- ``GET /files/<name>.png``: pictures of link replies, the last 256 kept in memory.
- ``GET /healthz``: ``{"status": "ok"}``.

Client input never gets a 500: odd JSON is a 400, a body over the cap a 413, and the pictures
of one request are bounded (README.md, "Limits"). ``CORVESSA_EMULATOR_SMALL_PICTURES=1`` draws
every picture at most 64 pixels on its long edge, for test runs.

Pictures are deterministic for a prompt (colours and shapes from its hash, the prompt as a
caption), reference images are tiled and blended in so that an edit shows, and every PNG carries
the full prompt in a text chunk named "prompt".

Fault tokens, written anywhere in the prompt (several may be combined):

====================== =====================================================================
``[[fault:CODE]]``     status CODE (400-599) with the API's JSON error body, e.g. 429, 500
``[[fault:CODE:html]]`` status CODE with an HTML body that is not JSON
``[[fault:not-json]]`` status 200 with an HTML body
``[[fault:truncated]]`` status 200 with the JSON cut in half (consistent Content-Length)
``[[fault:disconnect]]`` status 200, connection closed after half of the announced body
``[[fault:safety]]``   content refusal: Gemini 200 with finishReason IMAGE_SAFETY and no
                       image; images API 400 with code "moderation_blocked"
``[[fault:broken-link]]`` link reply whose link answers 404
``[[file]]``           link reply: Gemini part ``fileData.fileUri``; images API ``url``
``[[delay:S]]``        wait S seconds (0-30, decimals allowed) before answering
``[[drip:S]]``         send the body in 20 pieces spread over S seconds (0-30)
``[[big:N]]``          add N MiB (1-64) of padding to each PNG (a private chunk decoders skip)
====================== =====================================================================

A malformed known token (``[[delay:abc]]``, ``[[fault:999]]``) is answered with 400; any other
``[[...]]`` text is ordinary prompt text.
"""

from .app import EmulatorApp
from .faults import Faults, parse_faults
from .gemini import ASPECT_RATIOS, MODELS
from .server import EmulatorServer, serve
from .settings import SMALL_PICTURES_VARIABLE, Settings

__all__ = [
    "ASPECT_RATIOS",
    "MODELS",
    "SMALL_PICTURES_VARIABLE",
    "EmulatorApp",
    "EmulatorServer",
    "Faults",
    "Settings",
    "parse_faults",
    "serve",
]
