"""The whole path through the real package HTTP client, the real `ferrimo` and the real
`dolvex`, against a real HTTP server on 127.0.0.1."""

from __future__ import annotations

import json
from pathlib import Path
from typing import Any

import corvessa.image.sorvanel as sorvanel
import pytest

import corvessa.config
from dolvex import ErrorCode
from doubles import Answer, b64, image_bytes

MODEL = "gemini-3.1-flash-image-preview"
PATH = f"/v1beta/models/{MODEL}:generateContent"
OUT_PNG = image_bytes("PNG", (32, 24), (10, 200, 90))
REF_PNG = image_bytes("PNG", (6, 6), (1, 2, 3))
REF_JPEG = image_bytes("JPEG")


@pytest.fixture(autouse=True)
def real_parts() -> None:
    assert sorvanel.http_client is corvessa.config.http_client


@pytest.fixture
def client(loopback: Any, recording_logger: Any) -> sorvanel.SorvanelClient:
    return sorvanel.SorvanelClient(loopback.url, "secret-token", logger=recording_logger)


def inline_reply(data: bytes) -> dict[str, Any]:
    parts = [{"text": "done"}, {"inlineData": {"mimeType": "image/png", "data": b64(data)}}]
    return {"candidates": [{"content": {"role": "model", "parts": parts}, "finishReason": "STOP"}], "responseId": "r"}


def test_inline_image_with_references_from_a_link_and_a_file(
    client: Any, loopback: Any, tmp_path: Path, recording_logger: Any
) -> None:
    reference_file = tmp_path / "ref.jpg"
    reference_file.write_bytes(REF_JPEG)
    loopback.serve("/refs/1.png", 200, REF_PNG, "image/png")
    loopback.serve(PATH, 200, json.dumps(inline_reply(OUT_PNG)).encode())
    result = client.start(
        "一只猫",
        "16:9",
        "2k",
        [f"{loopback.url}/refs/1.png", str(reference_file)],
        MODEL,
        task_id="T-1",
        model_key="K-1",
        timeout=10,
    )
    assert result.ok and result.data == OUT_PNG

    download, generation = loopback.received
    assert (download.method, download.path) == ("GET", "/refs/1.png")
    assert (generation.method, generation.path) == ("POST", PATH)
    assert generation.headers["Authorization"] == "Bearer secret-token"
    assert generation.headers["Content-Type"] == "application/json"
    assert generation.json() == {
        "contents": [
            {
                "role": "user",
                "parts": [
                    {"text": "一只猫"},
                    {"inlineData": {"mimeType": "image/png", "data": b64(REF_PNG)}},
                    {"inlineData": {"mimeType": "image/jpeg", "data": b64(REF_JPEG)}},
                ],
            }
        ],
        "generationConfig": {
            "responseModalities": ["IMAGE"],
            "imageConfig": {"aspectRatio": "16:9", "imageSize": "2K"},
        },
        "response_format": "url",
    }
    assert list(generation.json()) == ["contents", "generationConfig", "response_format"]
    assert [r["msg"] for r in recording_logger.records] == [
        "SORVANEL request api",
        "SORVANEL api complete successfully",
        "image_candidates",
    ]
    assert recording_logger.records[0]["url"] == loopback.url + PATH


def test_file_reference_is_downloaded(client: Any, loopback: Any, recording_logger: Any) -> None:
    link = f"{loopback.url}/files/out.png"
    loopback.serve("/files/out.png", 200, OUT_PNG, "image/png")
    reply = {"candidates": [{"content": {"parts": [{"fileData": {"mimeType": "image/png", "fileUri": link}}]}}]}
    loopback.serve(PATH, 200, json.dumps(reply).encode())
    result = client.start("p", model=MODEL)
    assert result.ok and result.data == OUT_PNG
    assert [(r.method, r.path) for r in loopback.received] == [("POST", PATH), ("GET", "/files/out.png")]
    assert recording_logger.records[-1]["image_urls"] == [link]


def test_file_reference_that_cannot_be_fetched_yields_the_link(client: Any, loopback: Any) -> None:
    link = f"{loopback.url}/files/gone.png"
    reply = {"candidates": [{"content": {"parts": [{"fileData": {"fileUri": link}}]}}]}
    loopback.serve(PATH, 200, json.dumps(reply).encode())
    result = client.start("p", model=MODEL)
    assert result.ok and result.data == link


def error_body(code: int, **fields: str) -> Answer:
    return Answer.of_json({"error": {"code": code, **fields}}, code)


@pytest.mark.parametrize(
    ("served", "code", "msg"),
    [
        (error_body(429, message="Resource exhausted"), "SERVICE_BUSY", "Resource exhausted"),
        (Answer(429, b"Too many requests", "text/plain"), "SERVICE_BUSY", "service status_code: 429"),
        (error_body(500, message="Internal error"), "IMAGE_GENERATE_FAIL", "Internal error"),
        (error_body(400, status="INVALID_ARGUMENT"), "IMAGE_GENERATE_FAIL", None),
        (Answer(200, b"<html>not json</html>", "text/html"), "SERVICE_BUSY", "JSONDecodeError error"),
        (
            Answer.of_json({"candidates": [{"finishReason": "IMAGE_SAFETY"}]}),
            "NO_IMAGE_RESULT",
            "Picture prohibition-IMAGE_SAFETY",
        ),
    ],
)
def test_failed_replies(
    client: Any, loopback: Any, recording_logger: Any, served: Answer, code: str, msg: str | None
) -> None:
    loopback.routes[PATH] = lambda request: served
    result = client.start("p", model=MODEL, task_id="T")
    assert (result.ok, result.code, result.msg, result.data) == (False, ErrorCode[code], msg, None)
    if served.status != 200:
        failure = recording_logger.records[-1]
        assert (failure["msg"], failure["status_code"]) == ("SORVANEL api complete fail", served.status)
        is_json = served.content_type == "application/json"
        assert failure["error_dict"] == (json.loads(served.body) if is_json else None)


def test_server_that_does_not_answer_in_time(client: Any, loopback: Any, recording_logger: Any) -> None:
    loopback.serve(PATH, 200, json.dumps(inline_reply(OUT_PNG)).encode(), delay=5.0)
    result = client.start("p", model=MODEL, timeout=0.5, task_id="slow")
    assert (result.code, result.msg) == (ErrorCode.SERVICE_TIMEOUT, None)
    assert list(recording_logger.records[-1].items()) == [
        ("msg", "任务处理超时"),
        ("task_id", "slow"),
        ("model_key", None),
    ]


def test_refused_connection(closed_port_url: str, recording_logger: Any) -> None:
    client = sorvanel.SorvanelClient(closed_port_url, "k", logger=recording_logger)
    result = client.start("p", timeout=5)
    assert (result.code, result.msg) == (ErrorCode.SERVICE_BUSY, "ConnectionError error")
    record = recording_logger.records[-1]
    assert record["msg"] == "SORVANEL ConnectionError error" and "Connection refused" in record["traceback"]
