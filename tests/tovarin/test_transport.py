"""`_generate_completions`: endpoint, headers, body, time-out and the one request record, seen
through a recording HTTP client installed as the module global `http_client`."""

from __future__ import annotations

from typing import Any

import corvessa.image.tovarin as tovarin
import pytest

from doubles import FakeResponse

from .conftest import TAG

PAYLOAD_KEYS = ["model", "prompt", "response_format", "size", "quality", "n"]


def payload() -> dict[str, Any]:
    return {
        "model": "gpt-image-2",
        "prompt": "a fox",
        "response_format": "b64_json",
        "size": "1024x1536",
        "quality": "high",
        "n": 1,
    }


@pytest.mark.parametrize("files", [None, []], ids=["none", "empty"])
def test_generations_post_a_json_body(client: tovarin.TovarinClient, http_fake: Any, files: Any) -> None:
    body = payload()
    response = client._generate_completions("task-1", "key-1", body, files)
    assert response is http_fake.reply
    [(args, kwargs)] = http_fake.calls
    assert args == ("http://images.test/v1/images/generations",)
    assert list(kwargs) == ["headers", "json", "timeout"]
    assert list(kwargs["headers"].items()) == [("Authorization", "Bearer tok-1"), ("Content-Type", "application/json")]
    assert kwargs["json"] is body and list(body) == PAYLOAD_KEYS
    assert kwargs["timeout"] == http_fake.base_timeout


def test_edits_post_form_fields_and_files(client: tovarin.TovarinClient, http_fake: Any) -> None:
    body, files = payload(), [("image", b"one"), ("image", b"two")]
    client._generate_completions(task_id="task-1", model_key="key-1", payload=body, files=files)
    [(args, kwargs)] = http_fake.calls
    assert args == ("http://images.test/v1/images/edits",)
    assert list(kwargs) == ["headers", "data", "files", "timeout"]
    assert list(kwargs["headers"].items()) == [("Authorization", "Bearer tok-1")]
    assert kwargs["data"] is body
    assert kwargs["files"] is files and files == [("image", b"one"), ("image", b"two")]


@pytest.mark.parametrize(
    ("options", "expected"),
    [
        ({}, "base"),
        ({"timeout": None}, "base"),
        ({"timeout": 0}, "base"),
        ({"timeout": 0.0}, "base"),
        ({"timeout": 30}, 30),
        ({"timeout": (3, 7)}, (3, 7)),
    ],
)
@pytest.mark.parametrize("files", [None, [("image", b"x")]], ids=["generations", "edits"])
def test_timeout_option_or_the_base_timeout(
    client: tovarin.TovarinClient, http_fake: Any, options: dict[str, Any], expected: Any, files: Any
) -> None:
    http_fake.base_timeout = base = object()
    client._generate_completions(None, None, payload(), files, other="ignored", **options)
    assert http_fake.calls[0][1]["timeout"] is (base if expected == "base" else options["timeout"])


@pytest.mark.parametrize(("files", "endpoint"), [(None, "generations"), ([("image", b"x")], "edits")])
def test_one_request_record(
    client: tovarin.TovarinClient, http_fake: Any, recording_logger: Any, files: Any, endpoint: str
) -> None:
    body = payload()
    client._generate_completions("task-1", None, body, files)
    [record] = recording_logger.records
    assert list(record) == ["msg", "task_id", "model_key", "payload", "url"]
    assert record == {
        "msg": f"{TAG} request api",
        "task_id": "task-1",
        "model_key": None,
        "payload": body,
        "url": f"http://images.test/v1/images/{endpoint}",
    }
    assert record["payload"] is body


def test_text_forms_of_attributes(client: tovarin.TovarinClient, http_fake: Any, recording_logger: Any) -> None:
    vars(client).update(token=42, model_tag=7.5, base_url=3)
    client._generate_completions(None, None, {})
    [(args, kwargs)] = http_fake.calls
    assert (args, kwargs["headers"]["Authorization"]) == (("3/generations",), "Bearer 42")
    assert recording_logger.records[0]["msg"] == "7.5 request api"


def test_refused_task_id_leaves_no_record_and_sends_nothing(
    client: tovarin.TovarinClient, http_fake: Any, recording_logger: Any
) -> None:
    with pytest.raises(TypeError, match=r"^Argument 'task_id' has incorrect type \(expected str, got int\)$"):
        client._generate_completions(17, "key", payload())  # type: ignore[arg-type]
    assert recording_logger.records == [] and http_fake.calls == []


def test_any_status_is_returned_unchanged(client: tovarin.TovarinClient, http_fake: Any) -> None:
    failed = FakeResponse(500, {"error": {"message": "boom"}})
    http_fake.reply = failed
    response = client._generate_completions("t", "m", payload())
    assert failed.json_calls == 0  # the body is not looked at
    assert response is failed


def test_errors_of_the_http_client_pass_through_after_the_record(
    client: tovarin.TovarinClient, http_fake: Any, recording_logger: Any
) -> None:
    http_fake.reply = error = ConnectionRefusedError("refused")
    with pytest.raises(ConnectionRefusedError) as caught:
        client._generate_completions("t", "m", payload())
    assert caught.value is error
    assert [r["msg"] for r in recording_logger.records] == [f"{TAG} request api"]
