"""start: ratio validation, gathering of reference images (links, paths, bytes, lists), the call
to generate_image, and the catch-all that answers SERVICE_BUSY."""

from __future__ import annotations

import os
import re
import sys
from pathlib import Path
from types import SimpleNamespace
from typing import Any

import corvessa.image.sorvanel as sorvanel
import pytest
import requests

from doubles import BytesSub, CallRecorder, ListSub, StrSub, fail, fake_ferrimo, image_bytes

pytestmark = pytest.mark.usefixtures("results")
LINK, LINK_EMPTY, LINK_DOWN = "http://img.test/a.png", "https://img.test/none", "https://img.test/down"
FETCHED = image_bytes("GIF")
FILE_BYTES = image_bytes("JPEG")
RAW = image_bytes("PNG")


class Undecidable:
    def __bool__(self) -> bool:
        raise ValueError("neither true nor false")


@pytest.fixture
def links(monkeypatch: pytest.MonkeyPatch) -> Any:
    ferrimo = fake_ferrimo(
        {
            LINK: FETCHED,
            StrSub(LINK): FETCHED,
            LINK_EMPTY: None,
            LINK_DOWN: requests.exceptions.ConnectionError("link down"),
        }
    )
    monkeypatch.setattr(sorvanel, "ferrimo", ferrimo)
    return ferrimo.ImageTool


@pytest.fixture
def paths(tmp_path: Path) -> SimpleNamespace:
    image = tmp_path / "reference.jpg"
    image.write_bytes(FILE_BYTES)
    return SimpleNamespace(file=str(image), missing=str(tmp_path / "missing.png"), directory=str(tmp_path))


@pytest.mark.parametrize(
    ("ratio", "message"),
    [
        ("7:5", "Invalid aspect_ratio: 7:5"),
        (None, "Invalid aspect_ratio: None"),
        (("2:3",), "Invalid aspect_ratio: ('2:3',)"),
    ],
)
def test_ratio_is_validated_before_anything(
    client: Any, links: Any, generate: CallRecorder, recording_logger: Any, ratio: Any, message: str
) -> None:
    result = client.start("p", ratio, files=[LINK], model="not-a-model", task_id="T")
    assert result == fail("INVALID_PARAMS", message=message)
    assert links.fetched == [] and generate.calls == [] and recording_logger.calls == []


def test_unhashable_ratio_reaches_the_caller(client: Any, generate: CallRecorder) -> None:
    with pytest.raises(TypeError, match="unhashable"):
        client.start("p", ["2:3"])
    assert generate.calls == []


# (files, expected image_bytes_list, links fetched); strings "FILE", "MISSING" stand for paths.
GATHER_CASES = [
    (None, None, []),
    ("", None, []),
    (b"", None, []),
    ([], None, []),
    (LINK, [FETCHED], [LINK]),
    (StrSub(LINK), [FETCHED], [LINK]),
    (LINK_EMPTY, None, [LINK_EMPTY]),
    ("HTTP://IMG.TEST/A.PNG", None, []),
    (" http://img.test/a.png", None, []),
    ("FILE", [FILE_BYTES], []),
    ("MISSING", None, []),
    (RAW, [RAW], []),
    (BytesSub(b"sub"), [b"sub"], []),
    (["MISSING", RAW], [RAW], []),
    (
        [LINK, "FILE", LINK_EMPTY, RAW, "MISSING", 5, None, bytearray(b"b"), [RAW], (RAW,), BytesSub(b"s"), LINK],
        [FETCHED, FILE_BYTES, RAW, b"s", FETCHED],
        [LINK, LINK_EMPTY, LINK],
    ),
    ((RAW,), None, []),
    (bytearray(RAW), None, []),
    (memoryview(RAW), None, []),
    ({"a": RAW}, None, []),
    ([[RAW], (RAW,), bytearray(RAW)], None, []),
    (7, None, []),
    (ListSub([RAW, "MISSING"]), [RAW], []),
]


def resolve(value: Any, paths: SimpleNamespace) -> Any:
    if isinstance(value, list):
        return [resolve(item, paths) for item in value]
    return {"FILE": paths.file, "MISSING": paths.missing}.get(value, value) if type(value) is str else value


@pytest.mark.parametrize(("files", "images", "fetched"), GATHER_CASES)
def test_gathering_reference_images(
    client: Any,
    links: Any,
    generate: CallRecorder,
    paths: SimpleNamespace,
    recording_logger: Any,
    files: Any,
    images: Any,
    fetched: list[str],
) -> None:
    assert client.start("a cat", files=resolve(files, paths)) == "generated"
    [(args, kwargs)] = generate.calls
    assert args == () and list(kwargs.items()) == [
        ("prompt", "a cat"),
        ("image_bytes_list", images),
        ("aspect_ratio", "2:3"),
        ("image_size", "1K"),
        ("model", "gemini-3-pro-image-preview"),
    ]
    if images:
        assert all(type(item) in (bytes, BytesSub) for item in kwargs["image_bytes_list"])
    assert links.fetched == fetched and recording_logger.calls == []


def test_bytes_are_passed_on_unchanged(client: Any, generate: CallRecorder) -> None:
    client.start("p", files=RAW)
    assert generate.calls[0][1]["image_bytes_list"][0] is RAW


def test_keywords_reach_generate_image_in_order(client: Any, generate: CallRecorder) -> None:
    options = {"task_id": "T", "model_key": "K", "timeout": 5, "other": [1]}
    result = client.start("p", "16:9", "4k", None, "an-unsupported-model", **options)
    assert result == "generated"
    [(args, kwargs)] = generate.calls
    assert args == () and list(kwargs.items()) == [
        ("prompt", "p"),
        ("image_bytes_list", None),
        ("aspect_ratio", "16:9"),
        ("image_size", "4k"),
        ("model", "an-unsupported-model"),
        ("task_id", "T"),
        ("model_key", "K"),
        ("timeout", 5),
        ("other", [1]),
    ]
    assert options == {"task_id": "T", "model_key": "K", "timeout": 5, "other": [1]}


def test_unsupported_model_is_rejected_by_generate_image_after_the_downloads(
    client: Any, links: Any, http_fake: Any
) -> None:
    result = client.start("p", files=LINK, model="gemini-0")
    assert result == fail("INVALID_PARAMS", message="Invalid model: gemini-0")
    assert links.fetched == [LINK] and http_fake.calls == []


def warning_record(record: dict[str, Any], name: str, task_id: Any = "T", model_key: Any = "K") -> Any:
    assert list(record) == ["msg", "task_id", "model_key", "error", "traceback"]
    assert (record["msg"], record["task_id"], record["model_key"]) == (f"SORVANEL {name} warning", task_id, model_key)
    assert type(record["error"]).__name__ == name
    assert record["traceback"].startswith("Traceback (most recent call last):\n")
    assert re.search(r", in start$", record["traceback"], re.MULTILINE)
    return record["error"]


@pytest.mark.parametrize(
    ("files", "name", "text"),
    [
        ("DIR", "IsADirectoryError", "Is a directory"),
        (Undecidable(), "ValueError", "neither true nor false"),
        ([LINK, LINK_DOWN, LINK], "ConnectionError", "link down"),
    ],
)
def test_failures_while_gathering(
    client: Any,
    links: Any,
    generate: CallRecorder,
    recording_logger: Any,
    paths: SimpleNamespace,
    files: Any,
    name: str,
    text: str,
) -> None:
    files = paths.directory if files == "DIR" else files
    assert client.start("p", files=files, task_id="T", model_key="K") == fail("SERVICE_BUSY")
    (record,) = recording_logger.records
    warning_record(record, name)
    assert text in record["traceback"] and generate.calls == []
    assert sys.exception() is None


def test_getvalue_failure_is_caught(
    client: Any, monkeypatch: pytest.MonkeyPatch, generate: CallRecorder, recording_logger: Any
) -> None:
    def getvalue() -> bytes:
        raise ValueError("unreadable")

    broken = SimpleNamespace(getvalue=getvalue)
    monkeypatch.setattr(sorvanel, "ferrimo", fake_ferrimo(other=lambda link: broken))
    assert client.start("p", files=LINK) == fail("SERVICE_BUSY")
    assert type(recording_logger.records[0]["error"]) is ValueError


def test_image_bytes_list_keyword_collides(client: Any, http_fake: Any, recording_logger: Any) -> None:
    assert client.start("p", image_bytes_list=[RAW], task_id="T") == fail("SERVICE_BUSY")
    (record,) = recording_logger.records
    err = warning_record(record, "TypeError", model_key=None)
    assert str(err) == (
        "corvessa.image.sorvanel.SorvanelClient.generate_image() got multiple values for "
        "keyword argument 'image_bytes_list'"
    )
    assert http_fake.calls == []


def test_generate_image_result_through_the_real_method(client: Any, http_fake: Any, recording_logger: Any) -> None:
    assert client.start("p", task_id="T", model_key="K") == fail("NO_IMAGE_RESULT")
    assert [(r["msg"], r["task_id"], r["model_key"]) for r in recording_logger.records] == [
        ("SORVANEL request api", "T", "K"),
        ("SORVANEL api complete successfully", "T", "K"),
    ]


def test_os_is_imported_at_call_time(
    client: Any, generate: CallRecorder, recording_logger: Any, monkeypatch: pytest.MonkeyPatch
) -> None:
    asked: list[str] = []
    # Everything of the real os, but a path.exists that records its questions.
    exists = lambda p: asked.append(p) or p == "virtual.png"  # noqa: E731
    fake_os = SimpleNamespace(**dict(vars(os), path=SimpleNamespace(**dict(vars(os.path), exists=exists))))
    with monkeypatch.context() as patch:
        patch.setitem(sys.modules, "os", fake_os)
        single = client.start("p", files="virtual.png")
        listed = client.start("p", files=["nowhere.png", RAW])
    assert asked == ["virtual.png", "nowhere.png"]
    assert single == fail("SERVICE_BUSY") and listed == "generated"
    warning_record(recording_logger.records[0], "FileNotFoundError", None, None)
