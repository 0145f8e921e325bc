"""The one harness that runs a native client against its twin: the same call on a client of each,
each in a world of its own (a fresh HTTP client double, download tool and whatever else a test
patches), and everything Python sees of the two compared:

- what the call returned, or the exception that left it, with its chain (__context__,
  __cause__, __suppress_context__, notes);
- every `ServiceResult` made, as the keyword call that made it (names and order);
- every log record, keys in order; a traceback by its outline (the lines that are not frames:
  native frames differ from the twin's by nature), an elapsed time by its type;
- every HTTP call and every download, positional and keyword arguments in order.
"""

from __future__ import annotations

from collections.abc import Callable
from dataclasses import dataclass
from types import ModuleType
from typing import Any

import pytest

from clients.kinds import Kind
from dolvex import ServiceResult
from doubles import FakeHttpClient, RecordingLogger, fake_ferrimo

type Patches = Callable[[ModuleType], list[tuple[Any, str, Any]]]


def chain(exc: BaseException | None, depth: int = 0) -> Any:
    if exc is None or depth > 3:
        return None
    return (
        type(exc),
        str(exc),
        getattr(exc, "__notes__", None),
        exc.__suppress_context__,
        chain(exc.__context__, depth + 1),
        chain(exc.__cause__, depth + 1),
    )


def outline(trace: str) -> list[str]:
    """A formatted traceback without its frames: exception lines and chain separators."""
    return [
        line
        for line in trace.splitlines()
        if line and not line.startswith(" ") and line != "Traceback (most recent call last):"
    ]


def normal(value: Any, key: Any = None) -> Any:
    if key in ("second", "total_second"):
        return type(value)
    if key == "traceback":
        return outline(value)
    if isinstance(value, BaseException):
        return chain(value)
    if isinstance(value, ServiceResult):
        return (ServiceResult, value.code, normal(value.msg), normal(value.data))
    if isinstance(value, dict):
        return (dict, [(k, normal(v, k)) for k, v in value.items()])
    if isinstance(value, (list, tuple)):
        return (type(value), [normal(v) for v in value])
    return value


def recording_results(made: list[Any]) -> Any:
    """`ServiceResult` as the module sees it: each call is kept as made, then made for real."""

    def constructor(name: str) -> Callable[..., ServiceResult]:
        def make(*args: Any, **kwargs: Any) -> ServiceResult:
            made.append((name, args, kwargs))
            return getattr(ServiceResult, name)(*args, **kwargs)  # type: ignore[no-any-return]

        return make

    return type(
        "ServiceResult",
        (),
        {"success": staticmethod(constructor("success")), "fail": staticmethod(constructor("fail"))},
    )


@dataclass
class Run:
    outcome: Any  # what the call returned, or the exception that left it
    raised: bool
    made: list[Any]
    records: list[Any]
    calls: list[Any]
    downloads: list[Any]

    def seen(self) -> Any:
        return normal((self.raised, self.outcome, self.made, self.records, self.calls, self.downloads))


def run(
    module: ModuleType,
    kind: Kind,
    call: Callable[[Any], Any],
    http: FakeHttpClient,
    ferrimo: ModuleType,
    patches: list[tuple[Any, str, Any]],
    token: str,
) -> Run:
    log, made = RecordingLogger(), []
    with pytest.MonkeyPatch.context() as patch:  # a context, not a fixture: safe inside hypothesis
        patch.setattr(module, "http_client", http)
        patch.setattr(module, "ferrimo", ferrimo)
        patch.setattr(module, "ServiceResult", recording_results(made))
        for target, name, value in patches:
            patch.setattr(target, name, value)
        client = getattr(module, kind.class_name)("http://api.test", token, logger=log)
        try:
            outcome, raised = call(client), False
        except Exception as exc:
            outcome, raised = exc, True
    return Run(outcome, raised, made, log.records, http.calls, ferrimo.ImageTool.calls)


def twin_agrees(
    kind: Kind,
    call: Callable[[Any], Any],
    http: Callable[[], FakeHttpClient],
    *,
    ferrimo: Callable[[], ModuleType] = fake_ferrimo,
    patches: Patches = lambda module: [],
    token: str = "tok",
) -> Run:
    """Runs `call` on a native client and on its twin, each in a fresh world; fails on any
    difference, and returns the native run for further checks."""
    native = run(kind.module, kind, call, http(), ferrimo(), patches(kind.module), token)
    twin = run(kind.twin, kind, call, http(), ferrimo(), patches(kind.twin), token)
    assert native.seen() == twin.seen()
    return native
