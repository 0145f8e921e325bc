"""Decoding of a status-200 reply: file references first, else the largest inline image, else
the last candidate's finish reason. Each case is pinned, and checked against the pure-Python
client as well."""

from __future__ import annotations

from types import SimpleNamespace
from typing import Any

import corvessa.image.sorvanel as sorvanel
import pytest
import requests

from clients.kinds import SORVANEL
from doubles import FakeHttpClient, FakeResponse, ResultRecorder, b64, fail, fake_ferrimo, image_bytes, ordered, success
from twins.compare import twin_agrees

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


def urls_record(urls: list[str]) -> dict[str, Any]:
    return {"msg": "SORVANEL api complete result", "task_id": "T", "model_key": "K", "image_urls": urls}


def size_record(size: int) -> dict[str, Any]:
    return {"msg": "image_candidates", "task_id": "T", "model_key": "K", "size": size}


def error(name: str) -> tuple[str, str]:
    return ("error", name)


TEXT = {"text": "here you are"}

# (id, reply, links known to ferrimo, result, records after the success record, links fetched)
CASES = [
    (
        "first-of-two-references",
        reply(cand(file_ref(U1), file_ref(U2))),
        {U1: PNG, U2: SMALL},
        success(PNG),
        [urls_record([U1, U2])],
        [U1],
    ),
    ("reference-not-fetched", reply(cand(file_ref(U1))), {U1: None}, success(U1), [urls_record([U1])], [U1]),
    (
        "reference-order",
        reply(cand(file_ref(U2)), cand(TEXT, file_ref(U3), file_ref(U1)), responseId="r"),
        {U2: SMALL},
        success(SMALL),
        [urls_record([U2, U3, U1])],
        [U2],
    ),
    (
        "reference-beats-bad-inline",
        reply(cand({"inlineData": {"data": "%%%"}}, file_ref(U1))),
        {U1: PNG},
        success(PNG),
        [urls_record([U1])],
        [U1],
    ),
    (
        "empty-references-ignored",
        reply(cand({"fileData": {}}, file_ref(""), file_ref(None), {"fileData": None}, inline(PNG))),
        {},
        success(PNG),
        [size_record(len(PNG))],
        [],
    ),
    ("largest-inline", reply(cand(TEXT, inline(SMALL), inline(LARGE))), {}, success(LARGE), [size_record(20)], []),
    (
        "earliest-of-equal",
        reply(cand(inline(LARGE), inline(LARGE_TOO), inline(SMALL))),
        {},
        success(LARGE),
        [size_record(20)],
        [],
    ),
    ("second-candidate-has-it", reply(cand(TEXT), cand(inline(SMALL))), {}, success(SMALL), [size_record(10)], []),
    (
        "first-candidate-wins",
        reply(cand(inline(SMALL)), cand(inline(LARGE))),
        {},
        success(SMALL),
        [size_record(10)],
        [],
    ),
    ("snake-case-key", reply(cand(inline(SMALL, "inline_data"))), {}, success(SMALL), [size_record(10)], []),
    (
        "empty-camel-then-snake",
        reply(cand({"inlineData": {}, "inline_data": {"data": b64(LARGE)}})),
        {},
        success(LARGE),
        [size_record(20)],
        [],
    ),
    (
        "empty-data-skipped",
        reply(cand({"inlineData": {"data": ""}}), finishReason="STOP"),
        {},
        fail("NO_IMAGE_RESULT"),
        [],
        [],
    ),
    ("no-candidates", {"responseId": "r"}, {}, fail("NO_IMAGE_RESULT"), [], []),
    (
        "image-safety",
        reply(cand(TEXT, finishReason="IMAGE_SAFETY")),
        {},
        fail("NO_IMAGE_RESULT", msg="Picture prohibition-IMAGE_SAFETY"),
        [],
        [],
    ),
    ("other", reply({"finishReason": "OTHER"}), {}, fail("NO_IMAGE_RESULT", msg="Picture prohibition-OTHER"), [], []),
    (
        "image-other",
        reply({"finishReason": "IMAGE_OTHER"}),
        {},
        fail("NO_IMAGE_RESULT", msg="Picture prohibition-IMAGE_OTHER"),
        [],
        [],
    ),
    (
        "prohibited",
        reply({"finishReason": "PROHIBITED_CONTENT"}),
        {},
        fail("NO_IMAGE_RESULT", msg="Picture prohibition-IMAGE_SAFETY"),
        [],
        [],
    ),
    (
        "image-prohibited",
        reply({"finishReason": "IMAGE_PROHIBITED_CONTENT"}),
        {},
        fail("NO_IMAGE_RESULT", msg="Picture prohibition-IMAGE_SAFETY"),
        [],
        [],
    ),
    ("other-reason", reply({"finishReason": "STOP"}), {}, fail("NO_IMAGE_RESULT"), [], []),
    ("reason-not-text", reply({"finishReason": 5}), {}, fail("NO_IMAGE_RESULT"), [], []),
    (
        "last-candidate-counts",
        reply(cand(TEXT, finishReason="IMAGE_SAFETY"), cand(TEXT)),
        {},
        fail("NO_IMAGE_RESULT"),
        [],
        [],
    ),
    (
        "last-without-content-counts",
        reply(cand(TEXT), {"finishReason": "OTHER"}),
        {},
        fail("NO_IMAGE_RESULT", msg="Picture prohibition-OTHER"),
        [],
        [],
    ),
    (
        "content-without-parts",
        reply({"content": {"role": "model"}, "finishReason": "IMAGE_SAFETY"}),
        {},
        fail("NO_IMAGE_RESULT", msg="Picture prohibition-IMAGE_SAFETY"),
        [],
        [],
    ),
    (
        "null-candidates",
        {"candidates": None},
        {},
        fail("SERVICE_BUSY", msg="TypeError error"),
        [error("TypeError")],
        [],
    ),
    (
        "null-parts",
        reply({"content": {"parts": None}}),
        {},
        fail("SERVICE_BUSY", msg="TypeError error"),
        [error("TypeError")],
        [],
    ),
    (
        "part-not-an-object",
        reply(cand("just text")),
        {},
        fail("SERVICE_BUSY", msg="AttributeError error"),
        [error("AttributeError")],
        [],
    ),
    (
        "bad-base64",
        reply(cand({"inlineData": {"data": "abc"}})),
        {},
        fail("SERVICE_BUSY", msg="Error error"),
        [error("Error")],
        [],
    ),
    ("reply-is-a-list", [1], {}, fail("SERVICE_BUSY", msg="TypeError error"), [error("TypeError")], []),
    (
        "download-raises",
        reply(cand(file_ref(U1))),
        {U1: requests.exceptions.ConnectionError("down")},
        fail("SERVICE_BUSY", msg="ConnectionError error"),
        [urls_record([U1]), error("ConnectionError")],
        [U1],
    ),
    (
        "download-times-out",
        reply(cand(file_ref(U1))),
        {U1: requests.exceptions.ReadTimeout("late")},
        fail("SERVICE_TIMEOUT"),
        [urls_record([U1]), {"msg": "任务处理超时", "task_id": "T", "model_key": "K"}],
        [U1],
    ),
]


def run_client(client: Any, module: Any, monkeypatch: pytest.MonkeyPatch, http: Any, links: dict[str, Any]) -> Any:
    ferrimo = fake_ferrimo(links)
    monkeypatch.setattr(module, "http_client", http)
    monkeypatch.setattr(module, "ferrimo", ferrimo)
    monkeypatch.setattr(module, "ServiceResult", ResultRecorder)
    return client.generate_image("p", task_id="T", model_key="K"), ferrimo.ImageTool.fetched


def comparable(record: dict[str, Any]) -> Any:
    """A record with its exception reduced to its type name (the traceback text differs by design)."""
    if "error" in record:
        return error(type(record["error"]).__name__)
    return record


@pytest.mark.parametrize(
    ("body", "links", "expected", "records", "fetched"), [case[1:] for case in CASES], ids=[case[0] for case in CASES]
)
def test_reply_decoding(
    client: Any,
    recording_logger: Any,
    recording_http_client: Any,
    fake_response: Any,
    monkeypatch: pytest.MonkeyPatch,
    body: Any,
    links: dict[str, Any],
    expected: Any,
    records: list[Any],
    fetched: list[str],
) -> None:
    recording_http_client.reply = fake_response(200, body)
    result, links_fetched = run_client(client, sorvanel, monkeypatch, recording_http_client, links)
    assert result == expected and links_fetched == fetched
    logged = recording_logger.records
    assert [r["msg"] for r in logged[:2]] == ["SORVANEL request api", "SORVANEL api complete successfully"]
    assert ordered([comparable(r) for r in logged[2:]]) == ordered(records)
    for record in logged:
        assert list(record)[:3] == ["msg", "task_id", "model_key"]
    twin_agrees(
        SORVANEL,
        lambda c: c.generate_image("p", task_id="T", model_key="K"),
        lambda: FakeHttpClient(FakeResponse(200, body)),
        ferrimo=lambda: fake_ferrimo(links),
    )


def test_getvalue_failure_is_reported(
    client: Any, recording_http_client: Any, fake_response: Any, monkeypatch: pytest.MonkeyPatch
) -> None:
    class Broken:
        def getvalue(self) -> bytes:
            raise MemoryError("too big")

    monkeypatch.setattr(sorvanel, "ServiceResult", ResultRecorder)
    monkeypatch.setattr(sorvanel, "http_client", recording_http_client)
    monkeypatch.setattr(sorvanel, "ferrimo", fake_ferrimo(other=lambda link: Broken()))
    recording_http_client.reply = fake_response(200, reply(cand(file_ref(U1))))
    assert client.generate_image("p") == fail("SERVICE_BUSY", msg="MemoryError error")


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


def test_extract_file_uris_through_self_is_overridable(
    client: Any, recording_http_client: Any, fake_response: Any, monkeypatch: pytest.MonkeyPatch
) -> None:
    client._extract_file_uris = lambda data: ([U3], "ignored")
    recording_http_client.reply = fake_response(200, reply(cand(inline(PNG))))
    result, fetched = run_client(client, sorvanel, monkeypatch, recording_http_client, {U3: SMALL})
    assert result == success(SMALL) and fetched == [U3]


def test_module_global_base64_decodes_inline_data(
    client: Any, recording_http_client: Any, fake_response: Any, monkeypatch: pytest.MonkeyPatch
) -> None:
    monkeypatch.setattr(sorvanel, "base64", SimpleNamespace(b64decode=lambda text: b"<" + text.encode() + b">"))
    recording_http_client.reply = fake_response(200, reply(cand({"inlineData": {"data": "xyz"}})))
    result, _ = run_client(client, sorvanel, monkeypatch, recording_http_client, {})
    assert result == success(b"<xyz>")
