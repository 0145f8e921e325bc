"""Every result path of both clients, each driven by in-process fakes so that it is taken the
same way on every call: each ErrorCode, each form of success, each kind of exception that is
caught, and the exceptions that are meant to leave a call (binding errors, interrupts, a failing
logger). The leak test and the secret test walk this one catalogue.
"""

from __future__ import annotations

import base64
from collections.abc import Callable
from dataclasses import dataclass, field
from pathlib import Path
from typing import Any

import corvessa.image.sorvanel as sorvanel
import corvessa.image.tovarin as tovarin
import requests

from clients.kinds import BY_NAME
from dolvex import ErrorCode
from doubles import DiscardingLogger, FakeHttpClient, FakeResponse, raises

from .support import PNG, SECRET, make_client

B64 = base64.b64encode(PNG).decode()
Code = ErrorCode


@dataclass(frozen=True)
class Files:
    """Real files for the reference-image paths."""

    png: str
    folder: str
    missing: str

    @classmethod
    def under(cls, root: Path) -> Files:
        (root / "ref.png").write_bytes(PNG)
        (root / "folder").mkdir()
        return cls(str(root / "ref.png"), str(root / "folder"), str(root / "missing.png"))


class BrokenTimeoutClient:
    """An HTTP client whose base_timeout cannot be read: generate_image reads it outside its
    handlers, so the error leaves generate_image and reaches start's catch-all."""

    @property
    def base_timeout(self) -> Any:
        raise RuntimeError("no base timeout configured")

    def post(self, *args: Any, **kwargs: Any) -> Any:
        raise AssertionError("not reached")


class FailingLogger:
    """A logger whose debug raises: the handler's own failure leaves the call."""

    def debug(self, record: Any) -> None:
        raise RuntimeError("log sink down")


class Text(str):
    """A str subclass, refused by the exact-type checks with a note."""


@dataclass(frozen=True)
class ResultPath:
    id: str
    kind: str  # a name of the registry (clients/kinds.py)
    invoke: Callable[[Any, Files], Any]
    # An ErrorCode, "bytes", "link" (Gemini's link-text success) or a type that the outcome
    # (a returned value or an exception that left the call) is an instance of.
    expect: Any
    http: Callable[[], Any] = field(default=lambda: FakeHttpClient(FakeResponse(200, {}), record=False))
    logger: Callable[[], Any] = DiscardingLogger

    def client(self) -> Any:
        return make_client(self.kind, logger=self.logger())

    def module(self) -> Any:
        return BY_NAME[self.kind].module


def run(path: ResultPath, client: Any, files: Files) -> Any:
    """One call: the returned value, or the exception that left the call when one is expected."""
    try:
        return path.invoke(client, files)
    except BaseException as exc:
        if isinstance(path.expect, type) and isinstance(exc, path.expect):
            return exc
        raise


def check(path: ResultPath, outcome: Any) -> None:
    """The outcome is the one this path is about (so each path really is taken)."""
    expect = path.expect
    if isinstance(expect, ErrorCode):
        assert not outcome.ok and outcome.code is expect, outcome
    elif expect == "bytes":
        assert outcome.ok and type(outcome.data) is bytes, outcome
    elif expect == "link":
        assert outcome.ok and type(outcome.data) is str and outcome.data.startswith("http"), outcome
    else:
        assert isinstance(outcome, expect), outcome


def reply(status: Any, body: Any) -> Callable[[], FakeHttpClient]:
    return lambda: FakeHttpClient(FakeResponse(status, body), record=False)


def not_json(status: Any) -> Callable[[], FakeHttpClient]:
    error = lambda: requests.exceptions.JSONDecodeError("Expecting value", "<html>", 0)  # noqa: E731
    return lambda: FakeHttpClient(FakeResponse(status, json_error=error), record=False)


def failing(error: Callable[[], BaseException]) -> Callable[[], FakeHttpClient]:
    return lambda: FakeHttpClient(raises(error), record=False)


def read_timeout() -> BaseException:
    return requests.exceptions.ReadTimeout("read timed out")


def refused() -> BaseException:
    return requests.exceptions.ConnectionError("connection refused")


# ---- Gemini replies ----


def gemini_parts(*parts: Any, finish: str = "STOP") -> dict[str, Any]:
    return {
        "candidates": [{"content": {"role": "model", "parts": list(parts)}, "finishReason": finish}],
        "responseId": "r-1",
    }


GEM_INLINE = gemini_parts({"text": "here"}, {"inlineData": {"mimeType": "image/png", "data": B64}})
GEM_FILE = gemini_parts({"fileData": {"fileUri": "http://img.test/a.png"}}, {"inlineData": {"data": B64}})
GEM_FILE_NONE = gemini_parts({"fileData": {"fileUri": "http://img.test/none.png"}})
GEM_BAD_B64 = gemini_parts({"inlineData": {"data": "abc"}})


def start(**kwargs: Any) -> Callable[[Any, Files], Any]:
    """start with the ids, as either client takes it."""
    return lambda c, f: c.start("a cat", task_id="t-1", model_key="k-1", **kwargs)


def s_generate(**kwargs: Any) -> Callable[[Any, Files], Any]:
    return lambda c, f: c.generate_image("a cat", task_id="t-1", model_key="k-1", **kwargs)


SORVANEL = [
    ResultPath("s-inline-start", "sorvanel", start(), "bytes", reply(200, GEM_INLINE)),
    ResultPath("s-inline-generate", "sorvanel", s_generate(image_bytes_list=[PNG]), "bytes", reply(200, GEM_INLINE)),
    ResultPath("s-file-downloaded", "sorvanel", start(), "bytes", reply(200, GEM_FILE)),
    ResultPath("s-file-link-text", "sorvanel", start(), "link", reply(200, GEM_FILE_NONE)),
    ResultPath("s-refused-model", "sorvanel", s_generate(model="gemini-0"), Code.INVALID_PARAMS),
    ResultPath("s-refused-ratio-start", "sorvanel", start(aspect_ratio="7:5"), Code.INVALID_PARAMS),
    ResultPath("s-refused-ratio-generate", "sorvanel", s_generate(aspect_ratio=None), Code.INVALID_PARAMS),
    ResultPath("s-busy-429", "sorvanel", start(), Code.SERVICE_BUSY, reply(429, {"error": {"message": "slow"}})),
    ResultPath("s-busy-429-not-json", "sorvanel", start(), Code.SERVICE_BUSY, not_json(429)),
    ResultPath(
        "s-fail-500",
        "sorvanel",
        start(),
        Code.IMAGE_GENERATE_FAIL,
        reply(500, {"error": {"code": 500, "message": "boom"}}),
    ),
    ResultPath("s-fail-400-error-text", "sorvanel", start(), Code.IMAGE_GENERATE_FAIL, reply(400, {"error": "bad"})),
    ResultPath("s-fail-status-as-text", "sorvanel", start(), Code.IMAGE_GENERATE_FAIL, reply("200", GEM_INLINE)),
    ResultPath("s-timeout", "sorvanel", start(timeout=5), Code.SERVICE_TIMEOUT, failing(read_timeout)),
    ResultPath("s-connection-error", "sorvanel", start(), Code.SERVICE_BUSY, failing(refused)),
    ResultPath("s-reply-not-json", "sorvanel", start(), Code.SERVICE_BUSY, not_json(200)),
    ResultPath("s-bad-base64", "sorvanel", start(), Code.SERVICE_BUSY, reply(200, GEM_BAD_B64)),
    ResultPath("s-null-candidates", "sorvanel", start(), Code.SERVICE_BUSY, reply(200, {"candidates": None})),
    ResultPath("s-reply-array", "sorvanel", start(), Code.SERVICE_BUSY, reply(200, [1, 2])),
    ResultPath(
        "s-safety",
        "sorvanel",
        start(),
        Code.NO_IMAGE_RESULT,
        reply(200, {"candidates": [{"finishReason": "IMAGE_SAFETY"}]}),
    ),
    ResultPath(
        "s-prohibited",
        "sorvanel",
        start(),
        Code.NO_IMAGE_RESULT,
        reply(200, gemini_parts({"text": "no"}, finish="PROHIBITED_CONTENT")),
    ),
    ResultPath("s-no-candidates", "sorvanel", start(), Code.NO_IMAGE_RESULT, reply(200, {})),
    ResultPath(
        "s-start-gathers-every-kind",
        "sorvanel",
        lambda c, f: c.start(
            "a cat",
            files=[PNG, f.png, "http://img.test/r.png", "http://img.test/none", f.missing, bytearray(b"x"), ["nested"]],
        ),
        "bytes",
        reply(200, GEM_INLINE),
    ),
    ResultPath("s-start-directory", "sorvanel", lambda c, f: c.start("a cat", files=f.folder), Code.SERVICE_BUSY),
    ResultPath("s-start-download-raises", "sorvanel", start(files="http://img.test/raise"), Code.SERVICE_BUSY),
    ResultPath("s-start-duplicate-keyword", "sorvanel", start(image_bytes_list=[PNG]), Code.SERVICE_BUSY),
    ResultPath("s-start-generate-raises", "sorvanel", start(), Code.SERVICE_BUSY, BrokenTimeoutClient),
    ResultPath("s-generate-raises", "sorvanel", s_generate(), RuntimeError, BrokenTimeoutClient),
    ResultPath("s-binding-prompt-none", "sorvanel", lambda c, f: c.start(None), TypeError),
    ResultPath("s-binding-subclass-note", "sorvanel", lambda c, f: c.generate_image(Text("p")), TypeError),
    ResultPath(
        "s-binding-keyword-suggestion",
        "sorvanel",
        lambda c, f: sorvanel.SorvanelClient._detect_mime_type(image_byte=PNG),  # type: ignore[call-arg]
        TypeError,
    ),
    ResultPath("s-binding-unexpected-keyword", "sorvanel", lambda c, f: c._build_parts([], "p", colour=1), TypeError),
    ResultPath(
        "s-binding-too-many-positional",
        "sorvanel",
        lambda c, f: c.start("p", "2:3", "1K", None, "gemini-2.5-flash-image", "extra"),
        TypeError,
    ),
    ResultPath("s-binding-missing", "sorvanel", lambda c, f: c._build_parts(), TypeError),
    ResultPath("s-binding-twice", "sorvanel", lambda c, f: c.start("p", prompt="q"), TypeError),
    ResultPath("s-interrupt-passes", "sorvanel", start(), KeyboardInterrupt, failing(KeyboardInterrupt)),
    ResultPath("s-logger-fails", "sorvanel", start(), RuntimeError, failing(refused), FailingLogger),
    ResultPath("s-body-direct", "sorvanel", lambda c, f: c._build_body_data("p", [PNG, b"GIF89a"], "1:1", "2k"), dict),
    ResultPath(
        "s-extract-direct", "sorvanel", lambda c, f: sorvanel.SorvanelClient._extract_file_uris(GEM_FILE), tuple
    ),
    ResultPath(
        "s-construct",
        "sorvanel",
        lambda c, f: sorvanel.SorvanelClient("http://u", SECRET, model_tag="T", logger=c.logger),
        sorvanel.SorvanelClient,
    ),
]


# ---- images API replies ----


def images(item: Any) -> dict[str, Any]:
    return {"created": 1, "data": [item]}


def t_generate(**kwargs: Any) -> Callable[[Any, Files], Any]:
    return lambda c, f: c.generate_image("a cat", "2:3", "high", "1k", task_id="t-1", model_key="k-1", **kwargs)


TOVARIN = [
    ResultPath("t-b64-start", "tovarin", start(), "bytes", reply(200, images({"b64_json": B64}))),
    ResultPath("t-b64-generate-sized", "tovarin", t_generate(), "bytes", reply(200, images({"b64_json": B64}))),
    ResultPath("t-data-url", "tovarin", start(), "bytes", reply(200, images({"url": "data:image/png;base64," + B64}))),
    ResultPath("t-link-downloaded", "tovarin", start(), "bytes", reply(200, images({"url": "http://img.test/x"}))),
    ResultPath(
        "t-link-none", "tovarin", start(), Code.NO_IMAGE_RESULT, reply(200, images({"url": "https://img.test/none"}))
    ),
    ResultPath("t-other-scheme", "tovarin", start(), Code.NO_IMAGE_RESULT, reply(200, images({"url": "ftp://x"}))),
    ResultPath("t-empty-data", "tovarin", start(), Code.NO_IMAGE_RESULT, reply(200, {"data": []})),
    ResultPath("t-reply-array", "tovarin", start(), Code.NO_IMAGE_RESULT, reply(200, [{"b64_json": B64}])),
    ResultPath("t-url-not-text", "tovarin", start(), Code.SERVICE_BUSY, reply(200, images({"url": 5}))),
    ResultPath("t-bad-base64", "tovarin", start(), Code.SERVICE_BUSY, reply(200, images({"b64_json": "abc"}))),
    ResultPath("t-null-b64", "tovarin", start(), Code.SERVICE_BUSY, reply(200, images({"b64_json": None}))),
    ResultPath(
        "t-fail-500",
        "tovarin",
        start(),
        Code.IMAGE_GENERATE_FAIL,
        reply(500, {"error": {"message": "boom", "type": "server_error"}}),
    ),
    ResultPath("t-fail-not-json", "tovarin", start(), Code.IMAGE_GENERATE_FAIL, not_json(502)),
    ResultPath("t-fail-429", "tovarin", start(), Code.IMAGE_GENERATE_FAIL, reply(429, {"error": {}})),
    ResultPath("t-timeout", "tovarin", start(timeout=5), Code.SERVICE_TIMEOUT, failing(read_timeout)),
    ResultPath("t-connection-error", "tovarin", start(), Code.SERVICE_BUSY, failing(refused)),
    ResultPath("t-reply-not-json", "tovarin", start(), Code.SERVICE_BUSY, not_json(200)),
    ResultPath("t-task-id-not-text", "tovarin", lambda c, f: c.start("a cat", task_id=5), Code.SERVICE_BUSY),
    ResultPath("t-size-refused", "tovarin", lambda c, f: c.generate_image("a cat", "x:y"), Code.SERVICE_BUSY),
    ResultPath(
        "t-edits",
        "tovarin",
        lambda c, f: c.start("a cat", files=[PNG, f.png, "http://img.test/r.png", f.missing, ("no",)]),
        "bytes",
        reply(200, images({"b64_json": B64})),
    ),
    ResultPath("t-start-directory", "tovarin", lambda c, f: c.start("a cat", files=[f.folder]), Code.SERVICE_BUSY),
    ResultPath("t-start-download-raises", "tovarin", start(files="https://img.test/raise"), Code.SERVICE_BUSY),
    ResultPath("t-binding-quality-none", "tovarin", lambda c, f: c.start("p", quality=None), TypeError),
    ResultPath("t-binding-subclass-note", "tovarin", lambda c, f: c.start("p", Text("1:1")), TypeError),
    ResultPath("t-binding-too-many-positional", "tovarin", lambda c, f: c.start("p", "", "", "", None, 1), TypeError),
    ResultPath(
        "t-binding-files-not-list", "tovarin", lambda c, f: c.generate_image("p", files=("image", PNG)), TypeError
    ),
    ResultPath("t-interrupt-passes", "tovarin", start(), KeyboardInterrupt, failing(KeyboardInterrupt)),
    ResultPath("t-logger-fails", "tovarin", start(), RuntimeError, failing(refused), FailingLogger),
    ResultPath(
        "t-completions-direct",
        "tovarin",
        lambda c, f: c._generate_completions("t", None, {"prompt": "p"}),
        FakeResponse,
        reply(500, {}),
    ),
    ResultPath(
        "t-construct",
        "tovarin",
        lambda c, f: tovarin.TovarinClient("http://u", SECRET, model_tag="T", logger=c.logger),
        tovarin.TovarinClient,
    ),
]

PATHS = SORVANEL + TOVARIN
