"""SorvanelClient.__init__: what it stores, in which order, and what it refuses."""

from __future__ import annotations

import logging
import re
from typing import Any

import pytest

import corvessa.image.sorvanel as sorvanel

Client = sorvanel.SorvanelClient
MODULE_LOGGER = "corvessa.image.sorvanel"


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
def logging_recorder(monkeypatch: pytest.MonkeyPatch) -> LoggingRecorder:
    recorder = LoggingRecorder()
    monkeypatch.setattr(sorvanel, "logging", recorder)
    return recorder


def test_defaults_and_attribute_order() -> None:
    first, second = Client("http://a", "k1"), Client("", "")
    assert list(vars(first).items()) == [("base_url", "http://a"), ("api_key", "k1"), ("model_tag", "SORVANEL"),
                                         ("logger", logging.getLogger(MODULE_LOGGER))]
    assert first.logger is second.logger and first.logger.name == MODULE_LOGGER
    assert (second.base_url, second.api_key) == ("", "")


@pytest.mark.parametrize(("kwargs", "tag"), [
    ({"model_tag": None, "timeout": 30}, None),
    ({"model_tag": ""}, ""),
    ({"model_tag": 7, "unknown": object()}, 7),
])
def test_model_tag_kept_as_given_and_other_keywords_ignored(kwargs: dict[str, Any], tag: Any) -> None:
    c = Client("u", "k", **kwargs)
    assert list(vars(c)) == ["base_url", "api_key", "model_tag", "logger"]
    assert c.model_tag == tag and type(c.model_tag) is type(tag)


@pytest.mark.parametrize("given", [object(), None, RuntimeError("not a logger")])
def test_logger_keyword_is_stored_and_module_logger_fetched_anyway(logging_recorder: LoggingRecorder,
                                                                   given: Any) -> None:
    c = Client("u", "k", logger=given)
    assert c.logger is given
    assert logging_recorder.names == [MODULE_LOGGER]


def test_default_logger_comes_from_the_module_globals(logging_recorder: LoggingRecorder,
                                                      monkeypatch: pytest.MonkeyPatch) -> None:
    assert Client("u", "k").logger is logging_recorder.logger
    monkeypatch.setattr(sorvanel, "__name__", "renamed.module")
    Client("u", "k")
    assert logging_recorder.names == [MODULE_LOGGER, "renamed.module"]


def test_get_logger_failure_propagates_after_the_first_attributes(monkeypatch: pytest.MonkeyPatch) -> None:
    error = LookupError("no logging today")
    monkeypatch.setattr(sorvanel, "logging", LoggingRecorder(error))
    c = Client.__new__(Client)
    with pytest.raises(LookupError) as info:
        c.__init__("u", "k", logger=object())
    assert info.value is error
    assert vars(c) == {"base_url": "u", "api_key": "k", "model_tag": "SORVANEL"}


class _StrSub(str):
    pass


@pytest.mark.parametrize(("args", "message", "noted"), [
    ((None, "k"), "Argument 'base_url' has incorrect type (expected str, got NoneType)", False),
    (("u", _StrSub("k")), "Argument 'api_key' has incorrect type (expected str, got _StrSub)", True),
    (("u", "k", "third"), "SorvanelClient.__init__() takes 3 positional arguments but 4 were given", False),
    (("u",), "SorvanelClient.__init__() missing 1 required positional argument: 'api_key'", False),
])
def test_refusals_set_nothing(logging_recorder: LoggingRecorder, args: tuple[Any, ...], message: str,
                              noted: bool) -> None:
    c = Client.__new__(Client)
    with pytest.raises(TypeError) as info:
        c.__init__(*args)
    assert str(info.value) == message
    assert hasattr(info.value, "__notes__") == noted
    assert vars(c) == {} and logging_recorder.names == []
    with pytest.raises(TypeError, match=re.escape(message)):
        Client(*args)


def test_attribute_assignment_errors_propagate() -> None:
    class Guarded(Client):
        @property
        def api_key(self) -> str:
            return "never"

        @api_key.setter
        def api_key(self, value: str) -> None:
            raise PermissionError(value)

    with pytest.raises(PermissionError, match="^secret$"):
        Guarded("u", "secret")


def test_init_returns_none_and_subclasses_can_extend_it() -> None:
    class Tagged(Client):
        def __init__(self, *args: Any, **kwargs: Any) -> None:
            super().__init__(*args, model_tag="SUB", **kwargs)
            self.extra = True

    c = Tagged("u", "k")
    assert list(vars(c).items())[2:3] == [("model_tag", "SUB")] and c.extra
    assert Client.__init__(c, "v", "w") is None and (c.base_url, c.model_tag) == ("v", "SORVANEL")
