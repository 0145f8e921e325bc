"""The constructor of both classes: what it stores, in which order, and what it refuses."""

from __future__ import annotations

import logging
import re
from typing import Any

import pytest

from doubles import StrSub

from .kinds import Kind


class LoggingRecorder:
    """Stands in for the module global `logging`: records getLogger calls."""

    def __init__(self, error: Exception | None = None) -> None:
        self.names: list[Any] = []
        self.logger = object()
        self.error = error

    def getLogger(self, name: Any) -> Any:  # noqa: N802 - the logging module's own name
        self.names.append(name)
        if self.error is not None:
            raise self.error
        return self.logger


@pytest.fixture
def logging_recorder(kind: Kind, monkeypatch: pytest.MonkeyPatch) -> LoggingRecorder:
    recorder = LoggingRecorder()
    monkeypatch.setattr(kind.module, "logging", recorder)
    return recorder


def attribute_names(kind: Kind) -> list[str]:
    return ["base_url", kind.key_attribute, "model_tag", "logger"]


def test_defaults_and_attribute_order(kind: Kind) -> None:
    first, second = kind.cls("http://a", "k1"), kind.cls("", "")
    assert list(vars(first).values()) == [
        "http://a" + kind.url_suffix,
        "k1",
        kind.tag,
        logging.getLogger(kind.qualified),
    ]
    assert list(vars(first)) == attribute_names(kind)
    assert first.logger is second.logger and first.logger.name == kind.qualified
    assert (second.base_url, getattr(second, kind.key_attribute)) == (kind.url_suffix, "")
    if kind.key_attribute != "api_key":
        assert not hasattr(first, "api_key")


@pytest.mark.parametrize("base", ["http://images.test", "http://images.test/", ""])
def test_base_url_is_kept_with_the_class_path(kind: Kind, base: str) -> None:
    assert kind.cls(base, "tok").base_url == base + kind.url_suffix


@pytest.mark.parametrize(
    ("kwargs", "tag"),
    [
        ({"model_tag": None, "timeout": 30}, None),
        ({"model_tag": ""}, ""),
        ({"model_tag": 7, "unknown": object()}, 7),
    ],
)
def test_model_tag_kept_as_given_and_other_keywords_ignored(kind: Kind, kwargs: dict[str, Any], tag: Any) -> None:
    c = kind.cls("u", "k", **kwargs)
    assert list(vars(c)) == attribute_names(kind)
    assert c.model_tag == tag and type(c.model_tag) is type(tag)


@pytest.mark.parametrize("given", [object(), None, RuntimeError("not a logger")])
def test_logger_keyword_is_stored_and_module_logger_fetched_anyway(
    kind: Kind, logging_recorder: LoggingRecorder, given: Any
) -> None:
    c = kind.cls("u", "k", logger=given)
    assert c.logger is given
    assert logging_recorder.names == [kind.qualified]


def test_default_logger_comes_from_the_module_globals(
    kind: Kind, logging_recorder: LoggingRecorder, monkeypatch: pytest.MonkeyPatch
) -> None:
    assert kind.cls("u", "k").logger is logging_recorder.logger
    monkeypatch.setattr(kind.module, "__name__", "renamed.module")
    kind.cls("u", "k")
    assert logging_recorder.names == [kind.qualified, "renamed.module"]


def test_get_logger_failure_propagates_after_the_first_attributes(kind: Kind, monkeypatch: pytest.MonkeyPatch) -> None:
    error = LookupError("no logging today")
    monkeypatch.setattr(kind.module, "logging", LoggingRecorder(error))
    c = kind.cls.__new__(kind.cls)
    with pytest.raises(LookupError) as info:
        c.__init__("u", "k", logger=object())
    assert info.value is error
    assert vars(c) == {"base_url": "u" + kind.url_suffix, kind.key_attribute: "k", "model_tag": kind.tag}


@pytest.mark.parametrize(
    ("args", "message", "noted"),
    [
        ((None, "k"), "Argument 'base_url' has incorrect type (expected str, got NoneType)", False),
        (("u", StrSub("k")), "Argument 'api_key' has incorrect type (expected str, got StrSub)", True),
        (("u", "k", "third"), "{}.__init__() takes 3 positional arguments but 4 were given", False),
        (("u",), "{}.__init__() missing 1 required positional argument: 'api_key'", False),
    ],
)
def test_refusals_set_nothing(
    kind: Kind, logging_recorder: LoggingRecorder, args: tuple[Any, ...], message: str, noted: bool
) -> None:
    message = message.format(kind.class_name)
    c = kind.cls.__new__(kind.cls)
    with pytest.raises(TypeError) as info:
        c.__init__(*args)
    assert str(info.value) == message
    assert hasattr(info.value, "__notes__") == noted
    assert vars(c) == {} and logging_recorder.names == []
    with pytest.raises(TypeError, match=re.escape(message)):
        kind.cls(*args)


def test_attribute_assignment_errors_propagate(kind: Kind) -> None:
    def refuse(self: Any, value: str) -> None:
        raise PermissionError(value)

    guarded = type("Guarded", (kind.cls,), {kind.key_attribute: property(lambda self: "never", refuse)})
    with pytest.raises(PermissionError, match="^secret$"):
        guarded("u", "secret")


def test_init_returns_none_and_subclasses_can_extend_it(kind: Kind) -> None:
    class Tagged(kind.cls):  # type: ignore[name-defined, misc]
        def __init__(self, *args: Any, **kwargs: Any) -> None:
            super().__init__(*args, model_tag="SUB", **kwargs)
            self.extra = True

    c = Tagged("u", "k")
    assert list(vars(c).items())[2:3] == [("model_tag", "SUB")] and c.extra
    assert kind.cls.__init__(c, "v", "w") is None
    assert (c.base_url, c.model_tag) == ("v" + kind.url_suffix, kind.tag)
