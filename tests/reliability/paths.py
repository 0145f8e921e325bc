"""Every result path of both clients, each driven by in-process fakes so that it is taken the
same way on every call: each ErrorCode, each form of success, each kind of exception that is
caught, and the exceptions that are meant to leave a call (binding errors, interrupts, a failing
logger). The leak test and the secret test walk this one catalogue.
"""

from __future__ import annotations

import base64
import contextlib
from collections.abc import Callable, Iterator
from dataclasses import dataclass, field
from pathlib import Path
from typing import Any

import corvessa.image.sorvanel as sorvanel
import corvessa.image.tovarin as tovarin
import pytest
import requests

from clients.kinds import BY_NAME
from dolvex import ErrorCode
from doubles import DiscardingLogger, FakeHttpClient, FakeResponse, StrSub, raises

from .support import PNG, SECRET, fake_ferrimo, make_client

B64 = base64.b64encode(PNG).decode()
Code = ErrorCode


@dataclass(frozen=True)
class Files:
    """Real files for the reference-image paths, in one folder (`root`): a picture, other bytes,
    an empty file, a folder, a file nobody may read (root reads it anyway) and a missing one."""

    root: Path
    png: str
    folder: str
    missing: str
    locked: str

    @classmethod
    def under(cls, root: Path) -> Files:
        (root / "ref.png").write_bytes(PNG)
        (root / "other.bin").write_bytes(b"GIF89a-other")
        (root / "empty.bin").write_bytes(b"")
        (root / "folder").mkdir()
        (root / "locked.png").write_bytes(b"locked")
        (root / "locked.png").chmod(0)
        return cls(root, *(str(root / name) for name in ("ref.png", "folder", "missing.png", "locked.png")))


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

    @contextlib.contextmanager
    def installed(self) -> Iterator[None]:
        """This path's HTTP client and a download tool as the globals of its client's module."""
        with pytest.MonkeyPatch.context() as patch:
            patch.setattr(BY_NAME[self.kind].module, "http_client", self.http())
            patch.setattr(BY_NAME[self.kind].module, "ferrimo", fake_ferrimo())
            yield


def catalogue(kind: str, *rows: tuple[Any, ...]) -> list[ResultPath]:
    """The result paths of one client, each row its (id, invoke, expect[, http[, logger]])."""
    return [ResultPath(row[0], kind, *row[1:]) for row in rows]


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
GEM_SAFETY = {"candidates": [{"finishReason": "IMAGE_SAFETY"}]}
GEM_PROHIBITED = gemini_parts({"text": "no"}, finish="PROHIBITED_CONTENT")


def start(**kwargs: Any) -> Callable[[Any, Files], Any]:
    """start with the ids, as either client takes it."""
    return lambda c, f: c.start("a cat", task_id="t-1", model_key="k-1", **kwargs)


def s_generate(**kwargs: Any) -> Callable[[Any, Files], Any]:
    return lambda c, f: c.generate_image("a cat", task_id="t-1", model_key="k-1", **kwargs)


Sorvanel = sorvanel.SorvanelClient
SORVANEL = catalogue(
    "sorvanel",
    ("s-inline-start", start(), "bytes", reply(200, GEM_INLINE)),
    ("s-inline-generate", s_generate(image_bytes_list=[PNG]), "bytes", reply(200, GEM_INLINE)),
    ("s-file-downloaded", start(), "bytes", reply(200, GEM_FILE)),
    ("s-file-link-text", start(), "link", reply(200, GEM_FILE_NONE)),
    ("s-refused-model", s_generate(model="gemini-0"), Code.INVALID_PARAMS),
    ("s-refused-ratio-start", start(aspect_ratio="7:5"), Code.INVALID_PARAMS),
    ("s-refused-ratio-generate", s_generate(aspect_ratio=None), Code.INVALID_PARAMS),
    ("s-busy-429", start(), Code.SERVICE_BUSY, reply(429, {"error": {"message": "slow"}})),
    ("s-busy-429-not-json", start(), Code.SERVICE_BUSY, not_json(429)),
    ("s-fail-500", start(), Code.IMAGE_GENERATE_FAIL, reply(500, {"error": {"code": 500, "message": "boom"}})),
    ("s-fail-400-error-text", start(), Code.IMAGE_GENERATE_FAIL, reply(400, {"error": "bad"})),
    ("s-fail-status-as-text", start(), Code.IMAGE_GENERATE_FAIL, reply("200", GEM_INLINE)),
    ("s-timeout", start(timeout=5), Code.SERVICE_TIMEOUT, failing(read_timeout)),
    ("s-connection-error", start(), Code.SERVICE_BUSY, failing(refused)),
    ("s-reply-not-json", start(), Code.SERVICE_BUSY, not_json(200)),
    ("s-bad-base64", start(), Code.SERVICE_BUSY, reply(200, GEM_BAD_B64)),
    ("s-null-candidates", start(), Code.SERVICE_BUSY, reply(200, {"candidates": None})),
    ("s-reply-array", start(), Code.SERVICE_BUSY, reply(200, [1, 2])),
    ("s-safety", start(), Code.NO_IMAGE_RESULT, reply(200, GEM_SAFETY)),
    ("s-prohibited", start(), Code.NO_IMAGE_RESULT, reply(200, GEM_PROHIBITED)),
    ("s-no-candidates", start(), Code.NO_IMAGE_RESULT, reply(200, {})),
    (
        "s-start-gathers-every-kind",
        lambda c, f: c.start(
            "a cat",
            files=[PNG, f.png, "http://img.test/r.png", "http://img.test/none", f.missing, bytearray(b"x"), ["nested"]],
        ),
        "bytes",
        reply(200, GEM_INLINE),
    ),
    ("s-start-directory", lambda c, f: c.start("a cat", files=f.folder), Code.SERVICE_BUSY),
    ("s-start-download-raises", start(files="http://img.test/raise"), Code.SERVICE_BUSY),
    ("s-start-duplicate-keyword", start(image_bytes_list=[PNG]), Code.SERVICE_BUSY),
    ("s-start-generate-raises", start(), Code.SERVICE_BUSY, BrokenTimeoutClient),
    ("s-generate-raises", s_generate(), RuntimeError, BrokenTimeoutClient),
    ("s-binding-prompt-none", lambda c, f: c.start(None), TypeError),
    ("s-binding-subclass-note", lambda c, f: c.generate_image(StrSub("p")), TypeError),
    ("s-binding-keyword-suggestion", lambda c, f: Sorvanel._detect_mime_type(image_byte=PNG), TypeError),
    ("s-binding-unexpected-keyword", lambda c, f: c._build_parts([], "p", colour=1), TypeError),
    ("s-binding-too-many-positional", lambda c, f: c.start("p", "2:3", "1K", None, "m", "extra"), TypeError),
    ("s-binding-missing", lambda c, f: c._build_parts(), TypeError),
    ("s-binding-twice", lambda c, f: c.start("p", prompt="q"), TypeError),
    ("s-interrupt-passes", start(), KeyboardInterrupt, failing(KeyboardInterrupt)),
    ("s-logger-fails", start(), RuntimeError, failing(refused), FailingLogger),
    ("s-body-direct", lambda c, f: c._build_body_data("p", [PNG, b"GIF89a"], "1:1", "2k"), dict),
    ("s-extract-direct", lambda c, f: Sorvanel._extract_file_uris(GEM_FILE), tuple),
    ("s-construct", lambda c, f: Sorvanel("http://u", SECRET, model_tag="T", logger=c.logger), Sorvanel),
)


# ---- images API replies ----


def images(item: Any) -> dict[str, Any]:
    return {"created": 1, "data": [item]}


def t_generate(**kwargs: Any) -> Callable[[Any, Files], Any]:
    return lambda c, f: c.generate_image("a cat", "2:3", "high", "1k", task_id="t-1", model_key="k-1", **kwargs)


T_B64 = reply(200, images({"b64_json": B64}))
IMAGES_500 = {"error": {"message": "boom", "type": "server_error"}}
Tovarin = tovarin.TovarinClient
TOVARIN = catalogue(
    "tovarin",
    ("t-b64-start", start(), "bytes", T_B64),
    ("t-b64-generate-sized", t_generate(), "bytes", T_B64),
    ("t-data-url", start(), "bytes", reply(200, images({"url": "data:image/png;base64," + B64}))),
    ("t-link-downloaded", start(), "bytes", reply(200, images({"url": "http://img.test/x"}))),
    ("t-link-none", start(), Code.NO_IMAGE_RESULT, reply(200, images({"url": "https://img.test/none"}))),
    ("t-other-scheme", start(), Code.NO_IMAGE_RESULT, reply(200, images({"url": "ftp://x"}))),
    ("t-empty-data", start(), Code.NO_IMAGE_RESULT, reply(200, {"data": []})),
    ("t-reply-array", start(), Code.NO_IMAGE_RESULT, reply(200, [{"b64_json": B64}])),
    ("t-url-not-text", start(), Code.SERVICE_BUSY, reply(200, images({"url": 5}))),
    ("t-bad-base64", start(), Code.SERVICE_BUSY, reply(200, images({"b64_json": "abc"}))),
    ("t-null-b64", start(), Code.SERVICE_BUSY, reply(200, images({"b64_json": None}))),
    ("t-fail-500", start(), Code.IMAGE_GENERATE_FAIL, reply(500, IMAGES_500)),
    ("t-fail-not-json", start(), Code.IMAGE_GENERATE_FAIL, not_json(502)),
    ("t-fail-429", start(), Code.IMAGE_GENERATE_FAIL, reply(429, {"error": {}})),
    ("t-timeout", start(timeout=5), Code.SERVICE_TIMEOUT, failing(read_timeout)),
    ("t-connection-error", start(), Code.SERVICE_BUSY, failing(refused)),
    ("t-reply-not-json", start(), Code.SERVICE_BUSY, not_json(200)),
    ("t-task-id-not-text", lambda c, f: c.start("a cat", task_id=5), Code.SERVICE_BUSY),
    ("t-size-refused", lambda c, f: c.generate_image("a cat", "x:y"), Code.SERVICE_BUSY),
    ("t-edits", lambda c, f: c.start("p", files=[PNG, f.png, "http://img.test/r", f.missing, ("no",)]), "bytes", T_B64),
    ("t-start-directory", lambda c, f: c.start("a cat", files=[f.folder]), Code.SERVICE_BUSY),
    ("t-start-download-raises", start(files="https://img.test/raise"), Code.SERVICE_BUSY),
    ("t-binding-quality-none", lambda c, f: c.start("p", quality=None), TypeError),
    ("t-binding-subclass-note", lambda c, f: c.start("p", StrSub("1:1")), TypeError),
    ("t-binding-too-many-positional", lambda c, f: c.start("p", "", "", "", None, 1), TypeError),
    ("t-binding-files-not-list", lambda c, f: c.generate_image("p", files=("image", PNG)), TypeError),
    ("t-interrupt-passes", start(), KeyboardInterrupt, failing(KeyboardInterrupt)),
    ("t-logger-fails", start(), RuntimeError, failing(refused), FailingLogger),
    ("t-completions", lambda c, f: c._generate_completions("t", None, {"prompt": "p"}), FakeResponse, reply(500, {})),
    ("t-construct", lambda c, f: Tovarin("http://u", SECRET, model_tag="T", logger=c.logger), Tovarin),
)

PATHS = SORVANEL + TOVARIN
