"""The native client against its plain-Python twin (`twins.tovarin_py`):
for generated replies, statuses and arguments both give the same result and the same records."""

from __future__ import annotations

import base64
import io
from typing import Any

import pytest
import requests
from hypothesis import HealthCheck, given, settings
from hypothesis import strategies as st

import corvessa.image.tovarin as tovarin
from doubles import FakeHttpClient, FakeResponse, RecordingLogger, fake_ferrimo
from twins import tovarin_py


def reply(status: Any, body: Any) -> FakeResponse:
    """A reply whose json() gives `body`, or raises it when it is an exception."""
    return FakeResponse(status, json_error=body) if isinstance(body, BaseException) else FakeResponse(status, body)


def download(url: Any) -> Any:
    """Downloads succeed for links that mention "ok", give nothing otherwise."""
    return io.BytesIO(b"downloaded:" + url.encode()) if "ok" in url else None


def comparable(record: dict[str, Any]) -> list[tuple[str, Any]]:
    """A record without what differs by nature: elapsed time, traceback frames, error identity."""
    items: list[tuple[str, Any]] = []
    for key, value in record.items():
        if key == "total_second":
            value = type(value)
        elif key == "traceback":
            value = value.splitlines()[-1]
        elif key == "error":
            value = (type(value), str(value))
        items.append((key, value))
    return items


def run(module: Any, reply: Any, args: tuple[Any, ...], kwargs: dict[str, Any],
        monkeypatch: pytest.MonkeyPatch) -> tuple[Any, list[Any], list[Any]]:
    http = FakeHttpClient(reply, base_timeout=9.0)
    with monkeypatch.context() as patch:
        patch.setattr(module, "http_client", http)
        patch.setattr(module, "ferrimo", fake_ferrimo(other=download))
        log = RecordingLogger()
        result = module.TovarinClient("http://h", "tok", logger=log).start(*args, **kwargs)
    return result, [comparable(r) for r in log.records], [(a, list(k.items())) for a, k in http.calls]


def b64(data: bytes) -> str:
    return base64.b64encode(data).decode()


texts = st.one_of(st.text(max_size=12), st.builds(b64, st.binary(max_size=12)), st.sampled_from(["abc", "=", "a=b="]))
urls = st.one_of(
    st.builds(lambda t: "data:image/png;base64," + t, texts),
    st.sampled_from(["https://img.test/ok.png", "http://img.test/gone.png", "ftp://x", "", "data:image/png",
                     "HTTPS://img.test/ok.png"]),
    st.integers(), st.none(),
)
items = st.one_of(
    st.fixed_dictionaries({}, optional={"b64_json": st.one_of(texts, st.none()), "url": urls, "extra": st.integers()}),
    texts, st.none(),
)
bodies = st.one_of(
    st.fixed_dictionaries({}, optional={"data": st.one_of(st.lists(items, max_size=3), st.none(), texts),
                                        "error": st.one_of(st.none(), texts,
                                                           st.fixed_dictionaries({}, optional={"message": texts}))}),
    st.lists(st.integers(), max_size=2), st.none(), st.just(ValueError("not json")),
)
replies = st.one_of(st.builds(reply, st.sampled_from([200, 200, 201, 400, 429, 500]), bodies),
                    st.sampled_from([ConnectionError("refused"), TimeoutError("slow"), requests.ReadTimeout("slow")]))
calls = st.tuples(
    st.tuples(st.sampled_from(["a fox", ""]), st.sampled_from(["", "auto", "1:1", "2:3", "7:1", "bad"]),
              st.sampled_from(["", "low"]), st.sampled_from(["", "2k", "9k"])),
    st.fixed_dictionaries({}, optional={
        "files": st.one_of(st.none(), st.binary(max_size=4), st.lists(st.one_of(st.binary(max_size=4), urls),
                                                                      max_size=3)),
        "task_id": st.one_of(st.none(), st.text(max_size=3), st.integers()),
        "model_key": st.one_of(st.none(), st.text(max_size=3)),
        "timeout": st.sampled_from([None, 0, 3]),
        "model": st.just("gpt-image-1"),
        "response_format": st.just("url"),
    }),
)


@settings(max_examples=300, deadline=None, suppress_health_check=[HealthCheck.function_scoped_fixture])
@given(reply=replies, call=calls)
def test_native_matches_the_python_transcription(reply: Any, call: tuple[tuple[Any, ...], dict[str, Any]],
                                                 monkeypatch: pytest.MonkeyPatch) -> None:
    args, kwargs = call
    assert run(tovarin, reply, args, kwargs, monkeypatch) == run(tovarin_py, reply, args, kwargs, monkeypatch)
