"""Decoding of a status-200 reply: file references first, else the largest inline image, else
the last candidate's finish reason. Each case's result is pinned; everything else Python sees
of it (records, downloads) is compared with the pure-Python client's."""

from __future__ import annotations

from types import ModuleType, SimpleNamespace
from typing import Any

import corvessa.image.sorvanel as sorvanel
import pytest
import requests

from clients.kinds import SORVANEL
from doubles import FakeHttpClient, FakeResponse, b64, fail, fake_ferrimo, image_bytes, success
from twins.compare import twin_agrees

pytestmark = pytest.mark.usefixtures("results")
U1, U2, U3 = "https://files.test/1.png", "https://files.test/2.png", "http://files.test/3.png"
PNG = image_bytes("PNG")
SMALL, LARGE, LARGE_TOO = b"s" * 10, b"L" * 20, b"l" * 20


def inline(data: bytes, key: str = "inlineData") -> dict[str, Any]:
    return {key: {"mimeType": "image/png", "data": b64(data)}}


def file_ref(uri: Any) -> dict[str, Any]:
    return {"fileData": {"mimeType": "image/png", "fileUri": uri}}


def reply(*candidates: dict[str, Any], **extra: Any) -> dict[str, Any]:
    return {"candidates": list(candidates), **extra}


def cand(*parts: Any, **extra: Any) -> dict[str, Any]:
    return {"content": {"role": "model", "parts": list(parts)}, **extra}


TEXT = {"text": "here you are"}
NONE = fail("NO_IMAGE_RESULT")


def prohibited(reason: str) -> Any:
    return fail("NO_IMAGE_RESULT", msg=f"Picture prohibition-{reason}")


def busy(name: str) -> Any:
    return fail("SERVICE_BUSY", msg=f"{name} error")


# (id, reply, links known to ferrimo, result); the records, the links fetched and everything
# else Python sees are the twin's.
CASES = [
    ("first-of-two-references", reply(cand(file_ref(U1), file_ref(U2))), {U1: PNG, U2: SMALL}, success(PNG)),
    ("reference-not-fetched", reply(cand(file_ref(U1))), {U1: None}, success(U1)),
    (
        "reference-order",
        reply(cand(file_ref(U2)), cand(TEXT, file_ref(U3), file_ref(U1)), responseId="r"),
        {U2: SMALL},
        success(SMALL),
    ),
    ("reference-beats-bad-inline", reply(cand({"inlineData": {"data": "%%%"}}, file_ref(U1))), {U1: PNG}, success(PNG)),
    (
        "empty-references-ignored",
        reply(cand({"fileData": {}}, file_ref(""), file_ref(None), {"fileData": None}, inline(PNG))),
        {},
        success(PNG),
    ),
    ("largest-inline", reply(cand(TEXT, inline(SMALL), inline(LARGE))), {}, success(LARGE)),
    ("earliest-of-equal", reply(cand(inline(LARGE), inline(LARGE_TOO), inline(SMALL))), {}, success(LARGE)),
    ("second-candidate-has-it", reply(cand(TEXT), cand(inline(SMALL))), {}, success(SMALL)),
    ("first-candidate-wins", reply(cand(inline(SMALL)), cand(inline(LARGE))), {}, success(SMALL)),
    ("snake-case-key", reply(cand(inline(SMALL, "inline_data"))), {}, success(SMALL)),
    (
        "empty-camel-then-snake",
        reply(cand({"inlineData": {}, "inline_data": {"data": b64(LARGE)}})),
        {},
        success(LARGE),
    ),
    ("empty-data-skipped", reply(cand({"inlineData": {"data": ""}}), finishReason="STOP"), {}, NONE),
    ("no-candidates", {"responseId": "r"}, {}, NONE),
    ("image-safety", reply(cand(TEXT, finishReason="IMAGE_SAFETY")), {}, prohibited("IMAGE_SAFETY")),
    ("other", reply({"finishReason": "OTHER"}), {}, prohibited("OTHER")),
    ("image-other", reply({"finishReason": "IMAGE_OTHER"}), {}, prohibited("IMAGE_OTHER")),
    ("prohibited", reply({"finishReason": "PROHIBITED_CONTENT"}), {}, prohibited("IMAGE_SAFETY")),
    ("image-prohibited", reply({"finishReason": "IMAGE_PROHIBITED_CONTENT"}), {}, prohibited("IMAGE_SAFETY")),
    ("other-reason", reply({"finishReason": "STOP"}), {}, NONE),
    ("reason-not-text", reply({"finishReason": 5}), {}, NONE),
    ("last-candidate-counts", reply(cand(TEXT, finishReason="IMAGE_SAFETY"), cand(TEXT)), {}, NONE),
    ("last-without-content-counts", reply(cand(TEXT), {"finishReason": "OTHER"}), {}, prohibited("OTHER")),
    (
        "content-without-parts",
        reply({"content": {"role": "model"}, "finishReason": "IMAGE_SAFETY"}),
        {},
        prohibited("IMAGE_SAFETY"),
    ),
    ("null-candidates", {"candidates": None}, {}, busy("TypeError")),
    ("null-parts", reply({"content": {"parts": None}}), {}, busy("TypeError")),
    ("part-not-an-object", reply(cand("just text")), {}, busy("AttributeError")),
    ("bad-base64", reply(cand({"inlineData": {"data": "abc"}})), {}, busy("Error")),
    ("reply-is-a-list", [1], {}, busy("TypeError")),
    ("download-raises", reply(cand(file_ref(U1))), {U1: requests.ConnectionError("down")}, busy("ConnectionError")),
    ("download-times-out", reply(cand(file_ref(U1))), {U1: requests.ReadTimeout("late")}, fail("SERVICE_TIMEOUT")),
]


def run_client(client: Any, monkeypatch: pytest.MonkeyPatch, body: Any, ferrimo: ModuleType) -> Any:
    """generate_image over a status-200 reply of `body`, (the module's `results` fixture records the results)."""
    monkeypatch.setattr(sorvanel, "http_client", FakeHttpClient(FakeResponse(200, body)))
    monkeypatch.setattr(sorvanel, "ferrimo", ferrimo)
    return client.generate_image("p", task_id="T", model_key="K")


@pytest.mark.parametrize(("body", "links", "expected"), [case[1:] for case in CASES], ids=[case[0] for case in CASES])
def test_reply_decoding(client: Any, monkeypatch: pytest.MonkeyPatch, body: Any, links: Any, expected: Any) -> None:
    assert run_client(client, monkeypatch, body, fake_ferrimo(links)) == expected
    twin_agrees(
        SORVANEL,
        lambda c: c.generate_image("p", task_id="T", model_key="K"),
        lambda: FakeHttpClient(FakeResponse(200, body)),
        ferrimo=lambda: fake_ferrimo(links),
    )


def test_getvalue_failure_is_reported(client: Any, monkeypatch: pytest.MonkeyPatch) -> None:
    class Broken:
        def getvalue(self) -> bytes:
            raise MemoryError("too big")

    ferrimo = fake_ferrimo(other=lambda link: Broken())
    result = run_client(client, monkeypatch, reply(cand(file_ref(U1))), ferrimo)
    assert result == fail("SERVICE_BUSY", msg="MemoryError error")


@pytest.mark.parametrize(
    ("data", "expected"),
    [
        ({"responseId": "r-1"}, ([], "r-1")),
        ({}, ([], None)),
        (reply(cand(file_ref(U1), TEXT), cand(file_ref(U1)), responseId=0), ([U1, U1], 0)),
    ],
)
def test_extract_file_uris(data: dict[str, Any], expected: tuple[list[str], Any]) -> None:
    got = sorvanel.SorvanelClient._extract_file_uris(data)
    assert type(got) is tuple and got == expected


def test_extract_file_uris_through_self_is_overridable(client: Any, monkeypatch: pytest.MonkeyPatch) -> None:
    client._extract_file_uris = lambda data: ([U3], "ignored")
    ferrimo = fake_ferrimo({U3: SMALL})
    assert run_client(client, monkeypatch, reply(cand(inline(PNG))), ferrimo) == success(SMALL)
    assert ferrimo.ImageTool.fetched == [U3]


def test_module_global_base64_decodes_inline_data(client: Any, monkeypatch: pytest.MonkeyPatch) -> None:
    monkeypatch.setattr(sorvanel, "base64", SimpleNamespace(b64decode=lambda text: b"<" + text.encode() + b">"))
    result = run_client(client, monkeypatch, reply(cand({"inlineData": {"data": "xyz"}})), fake_ferrimo())
    assert result == success(b"<xyz>")
