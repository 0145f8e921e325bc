"""`start` end to end: the real `corvessa.config.http_client`, the real `ferrimo` and size
calculator, against a real HTTP server on 127.0.0.1, with real PNG images."""

from __future__ import annotations

import pathlib
from typing import Any

import corvessa.image.tovarin as tovarin
import pytest
from werkzeug.test import EnvironBuilder
from werkzeug.wrappers import Request

import corvessa.config
from dolvex import ErrorCode, ServiceResult
from doubles import Answer, b64, image_bytes

from .conftest import TAG

OUT_PNG = image_bytes("PNG", (32, 48), (250, 180, 20))
REF_FILE_PNG = image_bytes("PNG", (16, 16), (0, 0, 255))
REF_LINK_PNG = image_bytes("PNG", (12, 20), (0, 255, 0))
GENERATIONS = "/v1/images/generations"
EDITS = "/v1/images/edits"


@pytest.fixture
def live(monkeypatch: pytest.MonkeyPatch, loopback: Any, recording_logger: Any) -> tovarin.TovarinClient:
    """A client of the loopback server that posts through the package's real HTTP client."""
    monkeypatch.setattr(tovarin, "http_client", corvessa.config.http_client)
    return tovarin.TovarinClient(loopback.url, "tok-e2e", logger=recording_logger)


def form_of(received: Any) -> tuple[list[tuple[str, str]], list[bytes]]:
    """The form fields and the contents of the "image" file parts of a multipart body, parsed by
    werkzeug."""
    headers = [(k, v) for k, v in received.headers.items() if k.lower() != "content-length"]
    environ = EnvironBuilder(path=received.path, method="POST", headers=headers, data=received.body).get_environ()
    with Request(environ) as request:  # closes the parsed upload files
        return list(request.form.items(multi=True)), [part.read() for part in request.files.getlist("image")]


def msgs(logger: Any) -> list[str]:
    return [record["msg"] for record in logger.records]


def test_generations_with_b64_json(live: tovarin.TovarinClient, loopback: Any, recording_logger: Any) -> None:
    loopback.routes[GENERATIONS] = lambda request: Answer.of_json({"created": 1, "data": [{"b64_json": b64(OUT_PNG)}]})
    result = live.start("a red fox", "2:3", "high", "1k", task_id="t-1", model_key="k-1")
    assert result == ServiceResult.success(data=OUT_PNG)
    [request] = loopback.received
    assert (request.method, request.path) == ("POST", GENERATIONS)
    assert request.headers["Authorization"] == "Bearer tok-e2e"
    assert request.headers["Content-Type"] == "application/json"
    assert list(request.json().items()) == [
        ("model", "gpt-image-2"),
        ("prompt", "a red fox"),
        ("response_format", "b64_json"),
        ("size", "688x1024"),
        ("quality", "high"),
        ("n", 1),
    ]
    assert msgs(recording_logger) == [f"{TAG} ", f"{TAG} request api", f"{TAG} api complete"]


def test_edits_with_two_reference_images(live: tovarin.TovarinClient, loopback: Any, tmp_path: pathlib.Path) -> None:
    reference = tmp_path / "reference.png"
    reference.write_bytes(REF_FILE_PNG)
    loopback.routes["/files/ref.png"] = lambda request: Answer(200, REF_LINK_PNG, "image/png")
    loopback.routes[EDITS] = lambda request: Answer.of_json({"data": [{"b64_json": b64(OUT_PNG)}]})
    result = live.start("make it blue", "1:1", "low", "1k", [str(reference), f"{loopback.url}/files/ref.png"])
    assert result == ServiceResult.success(data=OUT_PNG)
    download, edit = loopback.received
    assert (download.method, download.path, edit.method, edit.path) == ("GET", "/files/ref.png", "POST", EDITS)
    assert edit.headers["Authorization"] == "Bearer tok-e2e"
    assert edit.headers["Content-Type"].startswith("multipart/form-data; boundary=")
    form, images = form_of(edit)
    assert form == [
        ("model", "gpt-image-2"),
        ("prompt", "make it blue"),
        ("response_format", "b64_json"),
        ("size", "1024x1024"),
        ("quality", "low"),
        ("n", "1"),
    ]
    assert images == [REF_FILE_PNG, REF_LINK_PNG]


def test_a_url_reply_is_downloaded(live: tovarin.TovarinClient, loopback: Any, recording_logger: Any) -> None:
    link = f"{loopback.url}/files/out.png"
    loopback.routes["/files/out.png"] = lambda request: Answer(200, OUT_PNG, "image/png")
    loopback.routes[GENERATIONS] = lambda request: Answer.of_json({"data": [{"url": link}]})
    assert live.start("p", response_format="url") == ServiceResult.success(data=OUT_PNG)
    assert [r.path for r in loopback.received] == [GENERATIONS, "/files/out.png"]
    assert loopback.received[0].json()["response_format"] == "url"
    assert recording_logger.records[-1] == {"msg": f"{TAG} url", "task_id": None, "model_key": None, "url": link}


def test_a_data_url_reply(live: tovarin.TovarinClient, loopback: Any) -> None:
    data_url = "data:image/png;base64," + b64(OUT_PNG)
    loopback.routes[GENERATIONS] = lambda request: Answer.of_json({"data": [{"url": data_url}]})
    assert live.start("p") == ServiceResult.success(data=OUT_PNG)


@pytest.mark.parametrize(
    ("served", "message", "error_dict"),
    [
        (
            Answer.of_json({"error": {"message": "server exploded", "type": "server_error"}}, 500),
            "server exploded",
            {"error": {"message": "server exploded", "type": "server_error"}},
        ),
        (Answer(502, b"Bad gateway", "text/plain"), "service status_code: 502", None),
    ],
    ids=["error body", "not json"],
)
def test_a_failed_status(
    live: tovarin.TovarinClient, loopback: Any, recording_logger: Any, served: Answer, message: str, error_dict: Any
) -> None:
    loopback.routes[GENERATIONS] = lambda request: served
    result = live.start("p")
    assert result == ServiceResult.fail(code=ErrorCode.IMAGE_GENERATE_FAIL, msg=message)
    record = recording_logger.records[-1]
    assert (record["msg"], record["status_code"], record["error_dict"]) == (
        f"{TAG} response failed",
        served.status,
        error_dict,
    )


def test_a_read_time_out(live: tovarin.TovarinClient, loopback: Any, recording_logger: Any) -> None:
    loopback.routes[GENERATIONS] = lambda request: Answer(delay=10.0)
    assert live.start("p", timeout=0.5, task_id="slow") == ServiceResult.fail(code=ErrorCode.SERVICE_TIMEOUT)
    assert recording_logger.records[-1] == {"msg": "任务处理超时", "task_id": "slow", "model_key": None}


def test_a_refused_connection(closed_port_url: str, recording_logger: Any, monkeypatch: pytest.MonkeyPatch) -> None:
    monkeypatch.setattr(tovarin, "http_client", corvessa.config.http_client)
    client = tovarin.TovarinClient(closed_port_url, "tok", logger=recording_logger)
    assert client.start("p") == ServiceResult.fail(code=ErrorCode.SERVICE_BUSY)
    request, record = recording_logger.records
    assert request["url"] == f"{closed_port_url}/v1/images/generations"
    assert record["msg"] == f"{TAG} ConnectionError warning"
    assert "ConnectionRefusedError" in record["traceback"]
