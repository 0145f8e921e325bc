"""`generate_image`: size, payload, the request call, reply decoding, statuses and the mapping
of exceptions to results, against fakes installed as the module's globals."""

from __future__ import annotations

import http
import traceback
import types
from typing import Any

import corvessa.image.tovarin as tovarin
import pytest
import requests

from dolvex import ErrorCode, ServiceResult
from doubles import CallRecorder, FakeResponse, b64, image_bytes

from .conftest import TAG

Client = tovarin.TovarinClient
PNG = image_bytes()
IDS: dict[str, Any] = {"task_id": "task-9", "model_key": "key-9"}
PAYLOAD_KEYS = ["model", "prompt", "response_format", "size", "quality", "n"]
REQUEST = f"{TAG} request api"
COMPLETE = f"{TAG} api complete"
RAW = f"{TAG} 未收到结果的原始数据"
URL = f"{TAG} url"
FAILED = f"{TAG} response failed"
NO_IMAGE = ServiceResult.fail(code=ErrorCode.NO_IMAGE_RESULT)
BUSY = ServiceResult.fail(code=ErrorCode.SERVICE_BUSY)
TIMED_OUT = ServiceResult.fail(code=ErrorCode.SERVICE_TIMEOUT)


def ok(data: bytes) -> ServiceResult:
    return ServiceResult.success(data=data)


def warning(name: str) -> str:
    return f"{TAG} {name} warning"


def after_complete(records: list[dict[str, Any]], status: Any, ids: dict[str, Any]) -> list[dict[str, Any]]:
    """Checks the request record and the one " api complete" record that must follow it; returns
    the records written after them."""
    messages = [r["msg"] for r in records]
    assert messages[:2] == [REQUEST, COMPLETE] and messages.count(COMPLETE) == 1, messages
    complete = records[1]
    assert list(complete) == ["msg", "task_id", "model_key", "status_code", "total_second"]
    assert (complete["task_id"], complete["model_key"]) == (ids.get("task_id"), ids.get("model_key"))
    assert complete["status_code"] == status
    seconds = complete["total_second"]
    assert type(seconds) is float and seconds >= 0 and round(seconds, 3) == seconds
    return records[2:]


def assert_warning(record: dict[str, Any], name: str, error: BaseException | None = None) -> None:
    """A " warning" record: the exception object itself and the traceback text of its handler."""
    assert list(record) == ["msg", "task_id", "model_key", "error", "traceback"]
    assert record["msg"] == warning(name) and type(record["error"]).__name__ == name
    if error is not None:
        assert record["error"] is error
    assert record["traceback"] == "".join(traceback.format_exception(record["error"]))
    assert record["traceback"].startswith("Traceback (most recent call last):\n")


# ---- size and payload ----


def test_size_from_the_calculator(client: Client, http_fake: Any, size_calculator: Any, recording_logger: Any) -> None:
    client.generate_image("a fox", "2:3", "high", "2k", **IDS)
    [(args, kwargs)] = size_calculator.calls
    assert args == () and list(kwargs.items()) == [("aspect_ratio", "2:3"), ("resolution", "2k")]
    record = recording_logger.records[0]
    assert list(record) == ["msg", "task_id", "model_key", "aspect_ratio", "calc_dict"]
    assert record == {"msg": f"{TAG} ", **IDS, "aspect_ratio": "2:3", "calc_dict": size_calculator.result}
    assert record["calc_dict"] is size_calculator.result
    assert http_fake.calls[0][1]["json"]["size"] == "1024x1536"


def test_size_uses_the_text_form_of_width_and_height(client: Client, http_fake: Any, size_calculator: Any) -> None:
    size_calculator.result = {"width": 1024.5, "height": "tall"}
    client.generate_image("p", "1:1")
    assert http_fake.calls[0][1]["json"]["size"] == "1024.5xtall"


@pytest.mark.parametrize("ratio", ["", "auto"])
def test_empty_or_auto_ratio_skips_the_calculator(
    client: Client, http_fake: Any, size_calculator: Any, recording_logger: Any, ratio: str
) -> None:
    client.generate_image("p", ratio, "", "4k")
    assert size_calculator.calls == []
    assert recording_logger.records[0]["msg"] == REQUEST
    assert http_fake.calls[0][1]["json"]["size"] == ratio


def test_a_failing_calculator_is_busy_before_any_request(
    client: Client, http_fake: Any, size_calculator: Any, recording_logger: Any
) -> None:
    size_calculator.result = error = ValueError("aspect_ratio must look like W:H")
    assert client.generate_image("p", "wide", **IDS) == BUSY
    [record] = recording_logger.records
    assert_warning(record, "ValueError", error)
    assert http_fake.calls == []


@pytest.mark.parametrize(
    ("args", "options", "expected"),
    [
        (("a fox",), {}, ["gpt-image-2", "a fox", "b64_json", "", "", 1]),
        (
            ("p", "auto", "medium"),
            {"model": "gpt-image-1", "response_format": "url"},
            ["gpt-image-1", "p", "url", "auto", "medium", 1],
        ),
    ],
)
def test_payload(
    client: Client, http_fake: Any, args: tuple[str, ...], options: dict[str, str], expected: list[Any]
) -> None:
    client.generate_image(*args, **options)
    body = http_fake.calls[0][1]["json"]
    assert list(body) == PAYLOAD_KEYS and list(body.values()) == expected and type(body["n"]) is int


@pytest.mark.parametrize("options", [{}, {"timeout": 30, "task_id": "t", "model_key": "m", "extra": 1}])
@pytest.mark.parametrize("files", [None, [], [("image", b"x")]])
def test_request_step_is_called_by_keyword(client: Client, options: dict[str, Any], files: Any) -> None:
    client._generate_completions = step = CallRecorder(FakeResponse(200, {"data": [{"b64_json": b64(PNG)}]}))
    assert client.generate_image("p", files=files, **options) == ok(PNG)
    [(args, kwargs)] = step.calls
    assert args == () and list(kwargs) == ["task_id", "model_key", "payload", "files", "timeout"]
    assert (kwargs["task_id"], kwargs["model_key"], kwargs["timeout"]) == (
        options.get("task_id"),
        options.get("model_key"),
        options.get("timeout"),
    )
    assert kwargs["files"] is files
    assert list(kwargs["payload"]) == PAYLOAD_KEYS


@pytest.mark.parametrize(
    ("files", "endpoint"), [(None, "generations"), ([], "generations"), ([("image", PNG)], "edits")]
)
def test_files_choose_the_endpoint(client: Client, http_fake: Any, files: Any, endpoint: str) -> None:
    client.generate_image("p", files=files)
    [(args, kwargs)] = http_fake.calls
    assert args == (f"http://images.test/v1/images/{endpoint}",)
    if files:
        assert kwargs["files"] is files


def test_elapsed_time_covers_the_size_calculation_and_the_request(
    client: Client, http_fake: Any, size_calculator: Any, recording_logger: Any, monkeypatch: pytest.MonkeyPatch
) -> None:
    ticks = iter([100.0, 101.2345678])
    seen: list[tuple[int, int]] = []

    def clock() -> float:
        seen.append((len(size_calculator.calls), len(http_fake.calls)))
        return next(ticks)

    monkeypatch.setattr(tovarin, "time", types.SimpleNamespace(time=clock))
    client.generate_image("p", "1:1")
    assert seen == [(0, 0), (1, 1)]
    assert recording_logger.records[2]["total_second"] == 1.235


# ---- status 200 ----


class Str(str):
    pass


REPLIES = [
    ("b64_json", {"data": [{"b64_json": b64(PNG)}]}, ok(PNG), []),
    ("b64_json empty", {"data": [{"b64_json": ""}]}, ok(b""), []),
    ("b64_json before url", {"data": [{"url": "https://img.test/a.png", "b64_json": b64(b"first")}]}, ok(b"first"), []),
    ("b64_json skips junk", {"data": [{"b64_json": "aGVs!bG8=\n"}]}, ok(b"hello"), []),
    ("data url", {"data": [{"url": "data:image/png;base64," + b64(PNG)}]}, ok(PNG), []),
    ("other scheme", {"data": [{"url": "ftp://img.test/a.png"}]}, NO_IMAGE, []),
    ("capital scheme", {"data": [{"url": "HTTPS://img.test/a.png"}]}, NO_IMAGE, []),
    ("empty url", {"data": [{"url": ""}]}, NO_IMAGE, []),
    ("null url", {"data": [{"url": None}]}, NO_IMAGE, []),
    ("neither key", {"data": [{"revised_prompt": "a fox"}]}, NO_IMAGE, [RAW]),
    ("only the first item", {"data": [{}, {"b64_json": b64(PNG)}]}, NO_IMAGE, [RAW]),
    ("item not a dict", {"data": [b64(PNG)]}, NO_IMAGE, [RAW]),
    ("data a string", {"data": "xyz"}, NO_IMAGE, [RAW]),
    ("empty data", {"data": []}, NO_IMAGE, [RAW]),
    ("null data", {"data": None}, NO_IMAGE, [RAW]),
    ("no data", {}, NO_IMAGE, [RAW]),
    ("array", [{"b64_json": b64(PNG)}], NO_IMAGE, [RAW]),
    ("null b64_json", {"data": [{"b64_json": None}]}, BUSY, [warning("TypeError")]),
    ("bad padding", {"data": [{"b64_json": "abc"}]}, BUSY, [warning("Error")]),
    ("url not a str", {"data": [{"url": 5}]}, BUSY, [warning("TypeError")]),
    ("url a str subclass", {"data": [{"url": Str("https://img.test/a.png")}]}, BUSY, [warning("TypeError")]),
    ("data url without comma", {"data": [{"url": "data:image/png;base64"}]}, BUSY, [warning("IndexError")]),
]


@pytest.mark.parametrize(
    ("body", "result", "following"), [case[1:] for case in REPLIES], ids=[case[0] for case in REPLIES]
)
def test_status_200_replies(
    client: Client,
    http_fake: Any,
    image_tool: Any,
    recording_logger: Any,
    body: Any,
    result: ServiceResult,
    following: list[str],
) -> None:
    http_fake.reply = FakeResponse(200, body)
    got = client.generate_image("p", **IDS)
    assert got == result and type(got.data) is type(result.data)
    rest = after_complete(recording_logger.records, 200, IDS)
    assert [r["msg"] for r in rest] == following
    for record in rest:
        assert (record["task_id"], record["model_key"]) == (IDS["task_id"], IDS["model_key"])
        if record["msg"] == RAW:
            assert list(record) == ["msg", "task_id", "model_key", "data"] and record["data"] is body
        else:
            assert_warning(record, record["msg"].split()[-2])
    assert image_tool.calls == []


@pytest.mark.parametrize("value", [5, Str("https://img.test/a.png")], ids=["int", "str subclass"])
def test_a_url_that_is_not_exactly_a_str_is_refused(
    client: Client, http_fake: Any, recording_logger: Any, value: Any
) -> None:
    http_fake.reply = FakeResponse(200, {"data": [{"url": value}]})
    client.generate_image("p")
    assert str(recording_logger.records[-1]["error"]) == f"Expected str, got {type(value).__name__}"


LINK = "https://img.test/out/a.png"


@pytest.mark.parametrize("link", [LINK, "http://img.test/out/a.png"])
def test_a_link_is_downloaded(
    client: Client, http_fake: Any, image_tool: Any, recording_logger: Any, link: str
) -> None:
    image_tool.serve(link, PNG)
    http_fake.reply = FakeResponse(200, {"data": [{"url": link}]})
    assert client.generate_image("p", **IDS) == ok(PNG)
    assert image_tool.calls == [((link,), {})]
    [record] = after_complete(recording_logger.records, 200, IDS)
    assert list(record.items()) == [("msg", URL), ("task_id", "task-9"), ("model_key", "key-9"), ("url", link)]


def test_a_link_without_download_is_no_image(
    client: Client, http_fake: Any, image_tool: Any, recording_logger: Any
) -> None:
    body = {"data": [{"url": LINK}]}
    image_tool.serve(LINK, None)
    http_fake.reply = FakeResponse(200, body)
    assert client.generate_image("p") == NO_IMAGE
    url_record, raw = after_complete(recording_logger.records, 200, {})
    assert url_record["msg"] == URL
    assert list(raw.items()) == [("msg", RAW), ("task_id", None), ("model_key", None), ("data", body)]


@pytest.mark.parametrize(
    ("error", "result", "message"),
    [
        (requests.ConnectionError("refused"), BUSY, warning("ConnectionError")),
        (requests.ReadTimeout("slow"), TIMED_OUT, "任务处理超时"),
    ],
)
def test_a_failing_download(
    client: Client,
    http_fake: Any,
    image_tool: Any,
    recording_logger: Any,
    error: Exception,
    result: ServiceResult,
    message: str,
) -> None:
    image_tool.links[LINK] = error
    http_fake.reply = FakeResponse(200, {"data": [{"url": LINK}]})
    assert client.generate_image("p") == result
    assert [r["msg"] for r in after_complete(recording_logger.records, 200, {})] == [URL, message]


def test_a_reply_that_is_not_json(client: Client, http_fake: Any, recording_logger: Any) -> None:
    http_fake.reply = FakeResponse(200)
    assert client.generate_image("p") == BUSY
    [record] = after_complete(recording_logger.records, 200, {})
    assert_warning(record, "JSONDecodeError")


# ---- other statuses ----

NOT_JSON = object()
STATUSES = [
    ("message", 500, {"error": {"message": "boom"}}, "boom", True),
    ("empty object", 400, {}, None, True),
    ("error without message", 500, {"error": {"code": 1}}, None, True),
    ("message kept as given", 404, {"error": {"message": ["a", 1]}}, ["a", 1], True),
    ("429", 429, {"error": {"message": "slow down"}}, "slow down", True),
    ("201", 201, {"data": [{"b64_json": b64(PNG)}]}, None, True),
    ("not json", 500, NOT_JSON, "service status_code: 500", False),
    ("array", 502, [1, 2], "service status_code: 502", False),
    ("error a string", 503, {"error": "down"}, "service status_code: 503", False),
]


@pytest.mark.parametrize(
    ("status", "body", "message", "decoded"), [case[1:] for case in STATUSES], ids=[case[0] for case in STATUSES]
)
def test_other_statuses(
    client: Client, http_fake: Any, recording_logger: Any, status: int, body: Any, message: Any, decoded: bool
) -> None:
    http_fake.reply = FakeResponse(status) if body is NOT_JSON else FakeResponse(status, body)
    assert client.generate_image("p", **IDS) == ServiceResult.fail(code=ErrorCode.IMAGE_GENERATE_FAIL, msg=message)
    [record] = after_complete(recording_logger.records, status, IDS)
    assert list(record) == ["msg", "task_id", "model_key", "status_code", "error_dict"]
    assert (record["msg"], record["status_code"]) == (FAILED, status)
    assert record["error_dict"] is (body if decoded else None)


# ---- exceptions ----


def test_a_response_without_status_code_is_busy(client: Client, http_fake: Any, recording_logger: Any) -> None:
    http_fake.reply = lambda *args, **kwargs: object()
    assert client.generate_image("p") == BUSY
    request, record = recording_logger.records
    assert_warning(record, "AttributeError")


def test_a_task_id_that_is_not_a_str_is_refused_by_the_request_step(
    client: Client, http_fake: Any, recording_logger: Any
) -> None:
    assert client.generate_image("p", task_id=5) == BUSY
    [record] = recording_logger.records
    assert_warning(record, "TypeError")
    assert record["task_id"] == 5
    assert str(record["error"]) == "Argument 'task_id' has incorrect type (expected str, got int)"
    assert http_fake.calls == []


class Code(int):
    def __format__(self, spec: str) -> str:
        return "code-" + int.__format__(self, spec)


@pytest.mark.parametrize(
    ("status", "message"),
    [
        (200.0, None),
        (http.HTTPStatus.OK, None),
        (http.HTTPStatus.BAD_GATEWAY, "service status_code: 502"),
        (Code(500), "service status_code: code-500"),
    ],
)
def test_status_is_compared_by_equality_and_put_in_text_form(
    client: Client, http_fake: Any, status: Any, message: str | None
) -> None:
    # A body that is JSON only for the successes: a failure's message then names the status.
    http_fake.reply = (
        FakeResponse(status, {"data": [{"b64_json": "aGk="}]}) if message is None else FakeResponse(status)
    )
    expected = ok(b"hi") if message is None else ServiceResult.fail(code=ErrorCode.IMAGE_GENERATE_FAIL, msg=message)
    assert client.generate_image("p") == expected


def test_records_carry_none_without_ids_and_the_text_form_of_the_tag(
    client: Client, http_fake: Any, recording_logger: Any
) -> None:
    client.model_tag = 7
    http_fake.reply = FakeResponse(500, {})
    client.generate_image("p")
    records = recording_logger.records
    assert [r["msg"] for r in records] == ["7 request api", "7 api complete", "7 response failed"]
    assert all(r["task_id"] is None and r["model_key"] is None for r in records)
