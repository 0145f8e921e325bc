"""generate_image against fakes installed as module globals: the request it sends, its records,
the status mapping and what its exception handlers catch (the handlers themselves are tested
for both clients in tests/clients/test_handlers.py)."""

from __future__ import annotations

import builtins
import functools
import json
from types import SimpleNamespace
from typing import Any

import corvessa.image.sorvanel as sorvanel
import pytest

from doubles import FakeClock, FakeResponse, b64, fail, image_bytes, ordered, success

pytestmark = pytest.mark.usefixtures("results")
URL = "http://gemini.test/v1beta/models/gemini-3-pro-image-preview:generateContent"
PNG = image_bytes("PNG")


@pytest.fixture
def clock(monkeypatch: pytest.MonkeyPatch) -> FakeClock:
    fake = FakeClock(1000.0, 1001.2345678)
    monkeypatch.setattr(sorvanel, "time", fake)
    return fake


def request_record(**changes: Any) -> dict[str, Any]:
    record = {
        "msg": "SORVANEL request api",
        "task_id": None,
        "model_key": None,
        "model_name": "gemini-3-pro-image-preview",
        "img_count": 0,
        "url": URL,
        "aspect_ratio": "2:3",
        "image_size": "1K",
    }
    record.update(changes)
    return record


# ---- the request ----


@pytest.mark.parametrize(
    ("options", "sent"),
    [
        ({}, "BASE"),
        ({"timeout": None}, "BASE"),
        ({"timeout": 0}, "BASE"),
        ({"timeout": ""}, "BASE"),
        ({"timeout": 30}, 30),
        ({"timeout": 2.5}, 2.5),
        ({"timeout": (1, 2)}, (1, 2)),
    ],
)
def test_request_shape_and_timeout(client: Any, http_fake: Any, options: dict[str, Any], sent: Any) -> None:
    base = http_fake.base_timeout = object()
    client.generate_image("a cat", [PNG], "16:9", "2k", "gemini-2.5-flash-image", task_id="T", **options)
    ((args, kwargs),) = http_fake.calls
    assert args == ("http://gemini.test/v1beta/models/gemini-2.5-flash-image:generateContent",)
    assert list(kwargs) == ["headers", "json", "timeout"]
    assert list(kwargs["headers"].items()) == [("Authorization", "Bearer tok-1"), ("Content-Type", "application/json")]
    assert json.dumps(kwargs["json"]) == json.dumps(client._build_body_data("a cat", [PNG], "16:9", "2K"))
    assert kwargs["timeout"] is base if sent == "BASE" else kwargs["timeout"] == sent


def test_base_timeout_failure_propagates_before_anything_is_logged(
    client: Any, http_fake: Any, recording_logger: Any
) -> None:
    del http_fake.base_timeout
    with pytest.raises(AttributeError):
        client.generate_image("p")
    assert client.generate_image("p", timeout=5) == fail("NO_IMAGE_RESULT")
    assert ordered(recording_logger.records[0]) == ordered(request_record())


@pytest.mark.parametrize(
    ("attrs", "url", "bearer"),
    [
        (
            {"base_url": "http://h/"},
            "http://h//v1beta/models/gemini-3-pro-image-preview:generateContent",
            "Bearer tok-1",
        ),
        ({"base_url": 42, "api_key": 7}, "42/v1beta/models/gemini-3-pro-image-preview:generateContent", "Bearer 7"),
        ({"api_key": ""}, URL, "Bearer "),
    ],
)
def test_attributes_are_read_at_call_time(
    client: Any, http_fake: Any, attrs: dict[str, Any], url: str, bearer: str
) -> None:
    for name, value in attrs.items():
        setattr(client, name, value)
    client.generate_image("p")
    ((args, kwargs),) = http_fake.calls
    assert args == (url,) and kwargs["headers"]["Authorization"] == bearer


def test_options_are_taken_from_a_fresh_kwargs_dict(client: Any, http_fake: Any, recording_logger: Any) -> None:
    options = {"task_id": "T", "model_key": "K", "timeout": 9, "other": 1}
    client.generate_image("p", **options)
    client.generate_image("p", **options)
    assert options == {"task_id": "T", "model_key": "K", "timeout": 9, "other": 1}
    requests_logged = [r for r in recording_logger.records if r["msg"].endswith("request api")]
    assert [(r["task_id"], r["model_key"]) for r in requests_logged] == [("T", "K"), ("T", "K")]


# ---- validation ----


@pytest.mark.parametrize(
    ("model", "ratio", "expected"),
    [
        ("gemini-9", "2:3", fail("INVALID_PARAMS", message="Invalid model: gemini-9")),
        (None, "7:5", fail("INVALID_PARAMS", message="Invalid model: None")),
        ("gemini-2.5-flash-image", "7:5", fail("INVALID_PARAMS", message="Invalid aspect_ratio: 7:5")),
        ("gemini-3.1-flash-image-preview", None, fail("INVALID_PARAMS", message="Invalid aspect_ratio: None")),
    ],
)
def test_model_then_ratio_validation(
    client: Any, http_fake: Any, recording_logger: Any, model: Any, ratio: Any, expected: Any
) -> None:
    assert client.generate_image("p", aspect_ratio=ratio, model=model, task_id="T") == expected
    assert http_fake.calls == [] and recording_logger.calls == []


def test_unhashable_model_reaches_the_caller(client: Any, http_fake: Any) -> None:
    with pytest.raises(TypeError, match="unhashable"):
        client.generate_image("p", model=["gemini-3-pro-image-preview"])


# ---- records and status mapping ----


def test_records_of_a_successful_call(client: Any, http_fake: Any, recording_logger: Any, clock: FakeClock) -> None:
    part = {"inlineData": {"mimeType": "image/png", "data": b64(PNG)}}
    http_fake.reply = FakeResponse(200, {"candidates": [{"content": {"parts": [part]}}]})
    result = client.generate_image("p", [PNG, b"\xff\xd8"], image_size=None, task_id=1, model_key="mk")
    assert result == success(PNG)
    assert json.dumps(recording_logger.records) == json.dumps(
        [
            request_record(task_id=1, model_key="mk", img_count=2, image_size=None),
            {"msg": "SORVANEL api complete successfully", "task_id": 1, "model_key": "mk", "second": 1.235},
            {"msg": "image_candidates", "task_id": 1, "model_key": "mk", "size": len(PNG)},
        ]
    )
    assert clock.readings == []


@pytest.mark.parametrize(("images", "count"), [(None, 0), ([], 0), ([b"a", b"b"], 2)])
def test_img_count(client: Any, http_fake: Any, recording_logger: Any, images: Any, count: int) -> None:
    client.generate_image("p", images)
    assert recording_logger.records[0]["img_count"] == count


class Tag:
    def __format__(self, format_spec: str) -> str:
        return f"formatted[{format_spec}]"


@pytest.mark.parametrize(("tag", "text"), [(None, "None"), (7, "7"), (1.5, "1.5"), (Tag(), "formatted[]"), ("", "")])
def test_model_tag_text_form(client: Any, http_fake: Any, recording_logger: Any, tag: Any, text: str) -> None:
    client.model_tag = tag
    client.generate_image("p")
    assert [r["msg"] for r in recording_logger.records] == [text + " request api", text + " api complete successfully"]


NOT_JSON = json.JSONDecodeError("Expecting value", "x", 0)

# (status, body or the exception of json(), result, logged error_dict)
STATUS_CASES = [
    (429, NOT_JSON, fail("SERVICE_BUSY", msg="service status_code: 429"), None),
    (429, {"error": {"message": "slow down"}}, fail("SERVICE_BUSY", msg="slow down"), "BODY"),
    (500, {"error": {"message": "boom", "code": 500}}, fail("IMAGE_GENERATE_FAIL", msg="boom"), "BODY"),
    (400, {"error": {"code": 3}}, fail("IMAGE_GENERATE_FAIL", msg=None), "BODY"),
    (400, {}, fail("IMAGE_GENERATE_FAIL", msg=None), "BODY"),
    (400, {"error": "bad"}, fail("IMAGE_GENERATE_FAIL", msg="service status_code: 400"), None),
    (400, [1, 2], fail("IMAGE_GENERATE_FAIL", msg="service status_code: 400"), None),
    (503, ValueError("no body"), fail("IMAGE_GENERATE_FAIL", msg="service status_code: 503"), None),
    ("200", {"error": {"message": 5}}, fail("IMAGE_GENERATE_FAIL", msg=5), "BODY"),
    ("429", NOT_JSON, fail("IMAGE_GENERATE_FAIL", msg="service status_code: 429"), None),
]


@pytest.mark.parametrize(("status", "body", "expected", "logged"), STATUS_CASES)
@pytest.mark.usefixtures("clock")
def test_status_mapping(
    client: Any, http_fake: Any, recording_logger: Any, status: Any, body: Any, expected: Any, logged: Any
) -> None:
    reply = FakeResponse(status, json_error=body) if isinstance(body, Exception) else FakeResponse(status, body)
    http_fake.reply = reply
    assert client.generate_image("p", task_id="T", model_key="K") == expected
    request, failure = recording_logger.records
    assert ordered(request) == ordered(request_record(task_id="T", model_key="K"))
    assert list(failure) == ["msg", "task_id", "model_key", "status_code", "second", "error_dict"]
    assert failure["msg"] == "SORVANEL api complete fail" and failure["status_code"] is status
    assert (failure["task_id"], failure["model_key"], failure["second"]) == ("T", "K", 1.235)
    assert failure["error_dict"] is (body if logged == "BODY" else None)
    assert reply.json_calls == 1


def test_status_equal_to_200_as_a_float_succeeds(client: Any, http_fake: Any) -> None:
    http_fake.reply = FakeResponse(200.0, {"candidates": [{"finishReason": "OTHER"}]})
    assert client.generate_image("p") == fail("NO_IMAGE_RESULT", msg="Picture prohibition-OTHER")


# ---- exception handlers ----


@pytest.mark.parametrize(
    ("images", "reply_error", "name"),
    [
        ([b"ok", "not bytes"], None, "TypeError"),
        (None, json.JSONDecodeError("Expecting value", "<html>", 0), "JSONDecodeError"),
    ],
)
def test_failures_before_and_after_the_post_are_caught(
    client: Any, http_fake: Any, recording_logger: Any, images: Any, reply_error: Any, name: str
) -> None:
    http_fake.reply = FakeResponse(200, json_error=reply_error)
    assert client.generate_image("p", images) == fail("SERVICE_BUSY", msg=f"{name} error")
    logged = [r["msg"] for r in recording_logger.records]
    if images:  # the body could not be built: nothing was sent or announced
        assert http_fake.calls == [] and logged == [f"SORVANEL {name} error"]
    else:
        assert logged == ["SORVANEL request api", f"SORVANEL {name} error"]


def test_status_comparison_failure_is_caught(client: Any, http_fake: Any) -> None:
    class Status:
        def __eq__(self, other: object) -> bool:
            raise ArithmeticError("incomparable")

    http_fake.reply = FakeResponse(Status(), {})
    assert client.generate_image("p") == fail("SERVICE_BUSY", msg="ArithmeticError error")


def test_globals_are_looked_up_in_the_module_then_in_builtins(
    client: Any, http_fake: Any, recording_logger: Any, monkeypatch: pytest.MonkeyPatch
) -> None:
    monkeypatch.delattr(sorvanel, "time")
    assert client.generate_image("p") == fail("SERVICE_BUSY", msg="NameError error")
    assert str(recording_logger.records[-1]["error"]) == "name 'time' is not defined"
    monkeypatch.setattr(builtins, "time", FakeClock(5.0, 5.5), raising=False)
    assert client.generate_image("p") == fail("NO_IMAGE_RESULT")
    assert recording_logger.records[-1]["second"] == 0.5


def test_tables_and_codes_are_module_globals_read_at_call_time(
    client: Any, http_fake: Any, monkeypatch: pytest.MonkeyPatch
) -> None:
    monkeypatch.setattr(sorvanel, "_SUPPORTED_MODELS", {"m-x"})
    monkeypatch.setattr(sorvanel, "_SUPPORTED_RATIOS", ["7:5"])
    monkeypatch.setattr(sorvanel, "ErrorCode", SimpleNamespace(INVALID_PARAMS="bad", NO_IMAGE_RESULT="none"))
    assert client.generate_image("p") == (
        "fail",
        [("code", "bad"), ("message", "Invalid model: gemini-3-pro-image-preview")],
    )
    assert client.start("p") == ("fail", [("code", "bad"), ("message", "Invalid aspect_ratio: 2:3")])
    assert client.start("p", "7:5", model="m-x") == ("fail", [("code", "none")])
    assert http_fake.calls[0][0] == ("http://gemini.test/v1beta/models/m-x:generateContent",)


def test_called_through_the_generic_call_protocol(client: Any, http_fake: Any) -> None:
    options = {"task_id": "T", "timeout": 4}
    assert type(client).generate_image.__call__(client, "p", **options) == fail("NO_IMAGE_RESULT")
    assert functools.partial(client.start, "p", model_key="K")(**options) == fail("NO_IMAGE_RESULT")
    assert [kwargs["timeout"] for _, kwargs in http_fake.calls] == [4, 4] and options == {"task_id": "T", "timeout": 4}
