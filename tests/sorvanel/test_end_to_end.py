"""The whole path through the real package HTTP client, the real `ferrimo` and the real
`dolvex`, against a real HTTP server on 127.0.0.1."""

from __future__ import annotations

import base64
import json
from pathlib import Path
from typing import Any

import corvessa.image.sorvanel as sorvanel
import pytest

import corvessa.config
from dolvex import ErrorCode
from doubles import image_bytes

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
    return {
        "candidates": [
            {
                "content": {
                    "role": "model",
                    "parts": [
                        {"text": "done"},
                        {"inlineData": {"mimeType": "image/png", "data": base64.b64encode(data).decode()}},
                    ],
                },
                "finishReason": "STOP",
            }
        ],
        "responseId": "resp-1",
    }


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
                    {"inlineData": {"mimeType": "image/png", "data": base64.b64encode(REF_PNG).decode()}},
                    {"inlineData": {"mimeType": "image/jpeg", "data": base64.b64encode(REF_JPEG).decode()}},
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


@pytest.mark.parametrize(
    ("status", "body", "content_type", "code", "msg"),
    [
        (
            429,
            b'{"error": {"code": 429, "message": "Resource exhausted"}}',
            "application/json",
            ErrorCode.SERVICE_BUSY,
            "Resource exhausted",
        ),
        (429, b"Too many requests", "text/plain", ErrorCode.SERVICE_BUSY, "service status_code: 429"),
        (
            500,
            b'{"error": {"code": 500, "message": "Internal error"}}',
            "application/json",
            ErrorCode.IMAGE_GENERATE_FAIL,
            "Internal error",
        ),
        (
            400,
            b'{"error": {"code": 400, "status": "INVALID_ARGUMENT"}}',
            "application/json",
            ErrorCode.IMAGE_GENERATE_FAIL,
            None,
        ),
        (200, b"<html>not json</html>", "text/html", ErrorCode.SERVICE_BUSY, "JSONDecodeError error"),
        (
            200,
            b'{"candidates": [{"finishReason": "IMAGE_SAFETY"}]}',
            "application/json",
            ErrorCode.NO_IMAGE_RESULT,
            "Picture prohibition-IMAGE_SAFETY",
        ),
    ],
)
def test_failed_replies(
    client: Any,
    loopback: Any,
    recording_logger: Any,
    status: int,
    body: bytes,
    content_type: str,
    code: ErrorCode,
    msg: Any,
) -> None:
    loopback.serve(PATH, status, body, content_type)
    result = client.start("p", model=MODEL, task_id="T")
    assert (result.ok, result.code, result.msg, result.data) == (False, code, msg, None)
    if status != 200:
        failure = recording_logger.records[-1]
        assert (failure["msg"], failure["status_code"]) == ("SORVANEL api complete fail", status)
        assert failure["error_dict"] == (json.loads(body) if content_type == "application/json" else None)


def test_server_that_does_not_answer_in_time(client: Any, loopback: Any, recording_logger: Any) -> None:
    loopback.serve(PATH, 200, json.dumps(inline_reply(OUT_PNG)).encode(), delay=5.0)
    result = client.start("p", model=MODEL, timeout=0.5, task_id="slow")
    assert (result.code, result.msg) == (ErrorCode.SERVICE_TIMEOUT, None)
    assert list(recording_logger.records[-1].items()) == [
        ("msg", "任务处理超时"),
        ("task_id", "slow"),
        ("model_key", None),
    ]


def test_refused_connection(closed_port_url: str, recording_logger: Any, monkeypatch: pytest.MonkeyPatch) -> None:
    for name in ("no_proxy", "NO_PROXY"):
        monkeypatch.setenv(name, "127.0.0.1,localhost")
    client = sorvanel.SorvanelClient(closed_port_url, "k", logger=recording_logger)
    result = client.start("p", timeout=5)
    assert (result.code, result.msg) == (ErrorCode.SERVICE_BUSY, "ConnectionError error")
    record = recording_logger.records[-1]
    assert record["msg"] == "SORVANEL ConnectionError error" and "Connection refused" in record["traceback"]
