"""`start`: gathering reference images into ("image", bytes) pairs from bytes, real files and
links, the keyword call of `generate_image`, and the catch-all that answers SERVICE_BUSY."""

from __future__ import annotations

import pathlib
import sys
import traceback
import types
from typing import Any

import corvessa.image.tovarin as tovarin
import pytest
import requests

from dolvex import ErrorCode, ServiceResult
from doubles import CallRecorder, image_bytes

from .conftest import TAG

PNG = image_bytes()
LINK_PNG = image_bytes(colour=(10, 200, 90))
FILE_PNG = image_bytes("PNG", (4, 6))
BUSY = ServiceResult.fail(code=ErrorCode.SERVICE_BUSY)
LINK = "https://img.test/ref.png"
EMPTY_LINK = "http://img.test/gone.png"


@pytest.fixture
def sources(tmp_path: pathlib.Path, image_tool: Any) -> dict[str, Any]:
    """A real PNG file, a served link, a link whose download is falsy and a missing path."""
    path = tmp_path / "ref.png"
    path.write_bytes(FILE_PNG)
    image_tool.serve(LINK, LINK_PNG)
    image_tool.serve(EMPTY_LINK, None)
    return {"file": str(path), "missing": str(tmp_path / "missing.png"), "dir": str(tmp_path), "path object": path}


def files_of(generate: CallRecorder) -> Any:
    [(args, kwargs)] = generate.calls
    assert args == ()
    return kwargs["files"]


# Each case: a function of the sources giving `files`, and the expected images (None: no list).
GATHERING = [
    ("none", lambda s: None, None),
    ("empty str", lambda s: "", None),
    ("empty bytes", lambda s: b"", None),
    ("empty list", lambda s: [], None),
    ("bytes", lambda s: PNG, [PNG]),
    ("file", lambda s: s["file"], [FILE_PNG]),
    ("link", lambda s: LINK, [LINK_PNG]),
    ("link without download", lambda s: EMPTY_LINK, None),
    ("missing path", lambda s: s["missing"], None),
    ("capital scheme is a path", lambda s: "HTTPS://img.test/ref.png", None),
    ("tuple", lambda s: (PNG,), None),
    ("bytearray", lambda s: bytearray(PNG), None),
    ("memoryview", lambda s: memoryview(PNG), None),
    ("path object", lambda s: s["path object"], None),
    ("dict", lambda s: {"image": PNG}, None),
    ("list of lists", lambda s: [[PNG], [s["file"]]], None),
    (
        "mixed list",
        lambda s: [
            s["file"],
            s["missing"],
            LINK,
            5,
            PNG,
            EMPTY_LINK,
            (PNG,),
            bytearray(b"x"),
            s["path object"],
            None,
            b"tail",
        ],
        [FILE_PNG, LINK_PNG, PNG, b"tail"],
    ),
]


@pytest.mark.parametrize(("make", "images"), [case[1:] for case in GATHERING], ids=[case[0] for case in GATHERING])
def test_gathering_reference_images(
    client: Any,
    generate: CallRecorder,
    recording_logger: Any,
    sources: dict[str, Any],
    image_tool: Any,
    make: Any,
    images: list[bytes] | None,
) -> None:
    assert client.start("p", files=make(sources)) is generate.answer
    files = files_of(generate)
    if images is None:
        assert files is None
    else:
        assert type(files) is list and files == [("image", image) for image in images]
        assert all(type(pair) is tuple for pair in files)
    assert recording_logger.records == []


def test_links_are_fetched_once_each_in_order(
    client: Any, generate: CallRecorder, sources: dict[str, Any], image_tool: Any
) -> None:
    client.start("p", files=[EMPTY_LINK, sources["file"], LINK, "HTTP://img.test/x.png"])
    assert image_tool.calls == [((EMPTY_LINK,), {}), ((LINK,), {})]


def test_subclasses_of_str_bytes_and_list_are_gathered(
    client: Any, generate: CallRecorder, sources: dict[str, Any]
) -> None:
    class Path(str):
        pass

    class Blob(bytes):
        pass

    class Files(list[Any]):
        pass

    client.start("p", files=Files([Path(sources["file"]), Blob(b"blob")]))
    client.start("p", files=Path(sources["file"]))
    client.start("p", files=Blob(b"one"))
    assert [kwargs["files"] for _, kwargs in generate.calls] == [
        [("image", FILE_PNG), ("image", b"blob")],
        [("image", FILE_PNG)],
        [("image", b"one")],
    ]


def test_keyword_call_of_generate_image(client: Any, generate: CallRecorder) -> None:
    result = client.start(
        "a fox", "1:1", "high", "2k", PNG, task_id="t-1", model_key="k-1", timeout=30, model="gpt-image-1"
    )
    assert result is generate.answer
    [(args, kwargs)] = generate.calls
    assert args == ()
    assert list(kwargs.items()) == [
        ("prompt", "a fox"),
        ("aspect_ratio", "1:1"),
        ("quality", "high"),
        ("image_size", "2k"),
        ("files", [("image", PNG)]),
        ("task_id", "t-1"),
        ("model_key", "k-1"),
        ("timeout", 30),
        ("model", "gpt-image-1"),
    ]


def test_prompt_alone(client: Any, generate: CallRecorder) -> None:
    client.start("p")
    assert generate.calls == [((), {"prompt": "p", "aspect_ratio": "", "quality": "", "image_size": "", "files": None})]


def warning_record(record: dict[str, Any], name: str) -> None:
    assert list(record) == ["msg", "task_id", "model_key", "error", "traceback"]
    assert record["msg"] == f"{TAG} {name} warning" and type(record["error"]).__name__ == name
    assert record["traceback"] == "".join(traceback.format_exception(record["error"]))


def test_a_directory_is_busy(
    client: Any, generate: CallRecorder, recording_logger: Any, sources: dict[str, Any]
) -> None:
    assert client.start("p", files=[PNG, sources["dir"]], task_id="t-1", model_key="k-1") == BUSY
    [record] = recording_logger.records
    warning_record(record, "IsADirectoryError")
    assert (record["task_id"], record["model_key"]) == ("t-1", "k-1")
    assert generate.calls == [] and sys.exception() is None


def test_paths_are_tested_with_the_module_global_os(
    client: Any, generate: CallRecorder, sources: dict[str, Any], monkeypatch: pytest.MonkeyPatch
) -> None:
    tested: list[Any] = []

    def exists(path: Any) -> bool:
        tested.append(path)
        return False

    monkeypatch.setattr(tovarin, "os", types.SimpleNamespace(path=types.SimpleNamespace(exists=exists)))
    client.start("p", files=[sources["file"], LINK, sources["missing"]])
    assert tested == [sources["file"], sources["missing"]]
    assert files_of(generate) == [("image", LINK_PNG)]


def test_a_download_that_raises_is_busy(
    client: Any, generate: CallRecorder, recording_logger: Any, image_tool: Any
) -> None:
    image_tool.links[LINK] = error = requests.ConnectionError("refused")
    assert client.start("p", files=LINK) == BUSY
    [record] = recording_logger.records
    warning_record(record, "ConnectionError")
    assert record["error"] is error and (record["task_id"], record["model_key"]) == (None, None)


def test_the_real_generate_image_gets_the_pairs(
    client: tovarin.TovarinClient, http_fake: Any, sources: dict[str, Any]
) -> None:
    client.start("p", files=[sources["file"], LINK, PNG])
    [(args, kwargs)] = http_fake.calls
    assert args == ("http://images.test/v1/images/edits",)
    assert kwargs["files"] == [("image", FILE_PNG), ("image", LINK_PNG), ("image", PNG)]
