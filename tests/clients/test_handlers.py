"""The exception handlers of both classes: the catch-all of `start`, and the read time-out and
catch-all clauses of `generate_image`. Each handler sees its exception as the one being handled,
leaves the caller's own handled exception in place, lets exceptions outside `Exception` pass,
and a failure inside it carries the original as its context."""

from __future__ import annotations

import re
import sys
import traceback
from types import SimpleNamespace
from typing import Any

import pytest
import requests

from doubles import FakeResponse, ResultRecorder, fail, ordered

from .kinds import Kind

TIMED_OUT = "任务处理超时"


@pytest.fixture(autouse=True)
def results(kind: Kind, monkeypatch: pytest.MonkeyPatch) -> None:
    monkeypatch.setattr(kind.module, "ServiceResult", ResultRecorder)


def raising(error: BaseException) -> Any:
    """A stand-in for generate_image on an instance that raises `error`."""

    def generate_image(*args: Any, **kwargs: Any) -> Any:
        raise error

    return generate_image


def caught_result(kind: Kind, name: str) -> Any:
    """What generate_image answers for an exception it catches, other than a read time-out."""
    return fail("SERVICE_BUSY", msg=f"{name} error") if kind.caught_has_message else fail("SERVICE_BUSY")


def assert_handler_record(record: dict[str, Any], message: str, error: BaseException, frame: str) -> None:
    """A record of a caught exception: the exception object itself and the traceback text of its
    handler, which shows the method the exception passed through."""
    assert list(record) == ["msg", "task_id", "model_key", "error", "traceback"]
    assert record["msg"] == message and record["error"] is error
    trace = record["traceback"]
    assert trace == "".join(traceback.format_exception(error))
    assert trace.startswith("Traceback (most recent call last):\n") and trace.endswith("\n")
    assert trace.splitlines()[-1] == f"{type(error).__module__}.{type(error).__name__}: {error}".removeprefix(
        "builtins."
    )
    assert re.search(rf", in {frame}$", trace, re.MULTILINE)


# ---- start ----


def test_start_answers_busy_for_an_exception_of_generate_image(kind: Kind, native: Any, recording_logger: Any) -> None:
    error = LookupError("deep inside generation")
    native.generate_image = raising(error)
    try:
        raise KeyError("outer")
    except KeyError as outer:
        assert native.start("p", task_id=None, model_key=3) == fail("SERVICE_BUSY")
        assert sys.exception() is outer
    assert sys.exception() is None
    [record] = recording_logger.records
    assert_handler_record(record, f"{kind.tag} LookupError warning", error, "start")
    assert (record["task_id"], record["model_key"]) == (None, 3)


@pytest.mark.parametrize("error_type", [KeyboardInterrupt, SystemExit])
def test_start_lets_exceptions_outside_exception_pass(
    native: Any, recording_logger: Any, error_type: type[BaseException]
) -> None:
    error = error_type()
    native.generate_image = raising(error)
    with pytest.raises(BaseException) as info:
        native.start("p")
    assert info.value is error and error.__context__ is None and recording_logger.calls == []


# ---- generate_image ----


class ReadTimeoutSub(requests.exceptions.ReadTimeout):
    pass


@pytest.mark.parametrize("error_type", [requests.exceptions.ReadTimeout, ReadTimeoutSub])
def test_a_read_time_out(
    kind: Kind, native: Any, http_fake: Any, recording_logger: Any, error_type: type[Exception]
) -> None:
    http_fake.reply = error_type("slow")
    assert native.generate_image("p", task_id="T", model_key="K") == fail("SERVICE_TIMEOUT")
    request, record = recording_logger.records
    assert (request["msg"], request["task_id"], request["model_key"]) == (f"{kind.tag} request api", "T", "K")
    assert ordered(record) == ordered({"msg": TIMED_OUT, "task_id": "T", "model_key": "K"})
    assert sys.exception() is None


@pytest.mark.parametrize(
    ("error_type", "args"),
    [
        (requests.exceptions.ConnectionError, ("refused here",)),
        (OSError, (5, "disk gone")),
        (KeyError, ("missing key",)),
        (requests.exceptions.ConnectTimeout, ("connect slow",)),
        (requests.exceptions.Timeout, ("timed out",)),
    ],
    ids=lambda value: value.__name__ if isinstance(value, type) else "",
)
def test_other_exceptions_are_caught(
    kind: Kind, native: Any, http_fake: Any, recording_logger: Any, error_type: type[Exception], args: tuple[Any, ...]
) -> None:
    error = error_type(*args)
    http_fake.reply = error
    name = type(error).__name__
    assert native.generate_image("p", model_key="K") == caught_result(kind, name)
    request, record = recording_logger.records
    assert request["msg"] == f"{kind.tag} request api"
    assert_handler_record(record, f"{kind.tag} {name} {kind.caught_suffix}", error, "generate_image")
    assert (record["task_id"], record["model_key"]) == (None, "K")
    assert sys.exception() is None


def test_the_read_time_out_class_is_looked_up_when_matching(
    kind: Kind, native: Any, http_fake: Any, monkeypatch: pytest.MonkeyPatch
) -> None:
    class OwnTimeout(Exception):
        pass

    monkeypatch.setattr(kind.module, "requests", SimpleNamespace(exceptions=SimpleNamespace(ReadTimeout=OwnTimeout)))
    http_fake.reply = OwnTimeout()
    assert native.generate_image("p") == fail("SERVICE_TIMEOUT")
    http_fake.reply = requests.exceptions.ReadTimeout()
    assert native.generate_image("p") == caught_result(kind, "ReadTimeout")


def test_the_handler_sees_the_exception_as_the_one_being_handled(
    kind: Kind, native: Any, http_fake: Any, recording_logger: Any, monkeypatch: pytest.MonkeyPatch
) -> None:
    seen: list[Any] = []
    monkeypatch.setattr(
        kind.module, "traceback", SimpleNamespace(format_exc=lambda: seen.append(sys.exception()) or "TB")
    )
    error = http_fake.reply = RuntimeError("inner")
    try:
        raise LookupError("outer")
    except LookupError as outer:
        assert native.generate_image("p") == caught_result(kind, "RuntimeError")
        assert sys.exception() is outer
    assert seen == [error] and recording_logger.records[-1]["traceback"] == "TB"
    assert sys.exception() is None


@pytest.mark.parametrize("error_type", [KeyboardInterrupt, SystemExit, GeneratorExit])
@pytest.mark.parametrize("where", ["post", "json of 200", "json of 500"])
def test_exceptions_outside_exception_pass_through(
    kind: Kind, native: Any, http_fake: Any, recording_logger: Any, error_type: type[BaseException], where: str
) -> None:
    error = error_type()
    if where == "post":
        http_fake.reply = error
    else:
        http_fake.reply = FakeResponse(200 if where == "json of 200" else 500, json_error=error)
    with pytest.raises(BaseException) as info:
        native.generate_image("p")
    assert info.value is error and error.__context__ is None
    messages = [r["msg"] for r in recording_logger.records]
    assert messages[0] == f"{kind.tag} request api" and TIMED_OUT not in messages
    assert not any(m.endswith((" warning", " error")) for m in messages)
    if where == "post":
        assert messages == [f"{kind.tag} request api"]


@pytest.mark.parametrize("handler", ["start", "read time-out", "catch-all"])
def test_a_logger_failure_inside_a_handler_carries_the_original(
    kind: Kind, native: Any, http_fake: Any, handler: str
) -> None:
    error, fails_on = {
        "start": (OSError("first"), f"{kind.tag} OSError warning"),
        "read time-out": (requests.exceptions.ReadTimeout("late"), TIMED_OUT),
        "catch-all": (ConnectionResetError("reset"), f"{kind.tag} ConnectionResetError {kind.caught_suffix}"),
    }[handler]
    broken = RuntimeError("logger broke")

    def debug(record: dict[str, Any]) -> None:
        if record["msg"] == fails_on:
            raise broken

    native.logger = SimpleNamespace(debug=debug)
    if handler == "start":
        native.generate_image = raising(error)
    http_fake.reply = error
    with pytest.raises(RuntimeError) as info:
        native.start("p") if handler == "start" else native.generate_image("p")
    assert info.value is broken and broken.__context__ is error
    assert sys.exception() is None
