"""The generateContent request body: MIME detection, inline-data parts, parts list, body."""

from __future__ import annotations

import base64
import json
from typing import Any

import corvessa.image.sorvanel as sorvanel
import pytest
from hypothesis import given, settings
from hypothesis import strategies as st

from doubles import CallRecorder, image_bytes
from twins import sorvanel_py

Client = sorvanel.SorvanelClient
PNG_SIGNATURE = b"\x89PNG\r\n\x1a\n"


@pytest.mark.parametrize(
    ("data", "mime"),
    [
        (image_bytes("PNG"), "image/png"),
        (PNG_SIGNATURE, "image/png"),
        (PNG_SIGNATURE[:7], "image/jpeg"),
        (image_bytes("JPEG"), "image/jpeg"),
        (b"\xff\xd8", "image/jpeg"),
        (image_bytes("GIF"), "image/gif"),
        (b"GIF87a", "image/gif"),
        (b"GIF89a\x01\x00", "image/gif"),
        (b"GIF8", "image/gif"),
        (b"GIF", "image/jpeg"),
        (image_bytes("WEBP"), "image/webp"),
        (b"RIFF\x00\x00\x00\x00WEBP", "image/webp"),
        (b"RIFF\x24\x00\x00\x00WAVEfmt ", "image/jpeg"),
        (b"RIFF\x00\x00\x00\x00WEB", "image/jpeg"),
        (b"\x00\x00\x00\x00\x00\x00\x00\x00WEBP", "image/jpeg"),
        (image_bytes("BMP"), "image/jpeg"),
        (image_bytes("TIFF"), "image/jpeg"),
        (b"", "image/jpeg"),
        (b"\x89PNG\r\n\x1a\x0b", "image/jpeg"),
    ],
)
def test_detect_mime_type(data: bytes, mime: str) -> None:
    assert Client._detect_mime_type(data) == mime
    assert Client._detect_mime_type(image_bytes=data) == mime


_headers = st.sampled_from([b"", PNG_SIGNATURE, b"\xff\xd8", b"GIF8", b"RIFF", b"RIFF\x00\x00\x00\x00WEBP"])


@settings(max_examples=200, deadline=None)
@given(head=_headers, tail=st.binary(max_size=16))
def test_detect_mime_type_agrees_with_the_python_client(head: bytes, tail: bytes) -> None:
    data = head + tail
    assert Client._detect_mime_type(data) == sorvanel_py.SorvanelClient._detect_mime_type(data)


@pytest.mark.parametrize(
    ("args", "kwargs", "expected"),
    [
        ((b"",), {}, {"inlineData": {"mimeType": "image/jpeg", "data": ""}}),
        (
            (b"\x01\x02\x03\xfb\xff",),
            {"mime_type": "image/png"},
            {"inlineData": {"mimeType": "image/png", "data": "AQID+/8="}},
        ),
        (
            (),
            {"image_bytes": bytes(range(256)), "mime_type": ""},
            {"inlineData": {"mimeType": "", "data": base64.b64encode(bytes(range(256))).decode()}},
        ),
    ],
)
def test_bytes_to_part(args: tuple[Any, ...], kwargs: dict[str, Any], expected: dict[str, Any]) -> None:
    part = Client._bytes_to_part(*args, **kwargs)
    assert json.dumps(part) == json.dumps(expected)
    assert "\n" not in part["inlineData"]["data"]


def test_build_parts(client: Any) -> None:
    png, jpeg, gif = image_bytes("PNG"), image_bytes("JPEG"), image_bytes("GIF")
    assert client._build_parts([], "") == [{"text": ""}]
    parts = client._build_parts([png, jpeg, gif], prompt="一只猫")
    assert json.dumps(parts, ensure_ascii=False) == json.dumps(
        [
            {"text": "一只猫"},
            {"inlineData": {"mimeType": "image/png", "data": base64.b64encode(png).decode()}},
            {"inlineData": {"mimeType": "image/jpeg", "data": base64.b64encode(jpeg).decode()}},
            {"inlineData": {"mimeType": "image/gif", "data": base64.b64encode(gif).decode()}},
        ],
        ensure_ascii=False,
    )
    assert client._build_parts([], "p") is not client._build_parts([], "p")


@pytest.mark.parametrize("item", [bytearray(b"\xff\xd8"), "text", None])
def test_build_parts_refuses_an_item_that_is_not_bytes(client: Any, item: Any) -> None:
    with pytest.raises(TypeError) as info:
        client._build_body_data("p", [b"ok", item])
    assert str(info.value) == (f"Argument 'image_bytes' has incorrect type (expected bytes, got {type(item).__name__})")


def _body(parts: list[dict[str, Any]], image_config: dict[str, str] | None) -> dict[str, Any]:
    config: dict[str, Any] = {"responseModalities": ["IMAGE"]}
    if image_config is not None:
        config["imageConfig"] = image_config
    return {"contents": [{"role": "user", "parts": parts}], "generationConfig": config, "response_format": "url"}


PNG = image_bytes("PNG")
PNG_PART = {"inlineData": {"mimeType": "image/png", "data": base64.b64encode(PNG).decode()}}


@pytest.mark.parametrize(
    ("args", "expected"),
    [
        (("p",), _body([{"text": "p"}], {"aspectRatio": "2:3", "imageSize": "1K"})),
        (("p", [PNG], "2:3", "1K"), _body([{"text": "p"}, PNG_PART], {"aspectRatio": "2:3", "imageSize": "1K"})),
        (("p", []), _body([{"text": "p"}], {"aspectRatio": "2:3", "imageSize": "1K"})),
        (("p", None, None, None), _body([{"text": "p"}], None)),
        (("p", None, "", ""), _body([{"text": "p"}], None)),
        (("p", None, "7:5", "4k"), _body([{"text": "p"}], {"aspectRatio": "7:5", "imageSize": "4K"})),
        (("p", None, None, "2k"), _body([{"text": "p"}], {"imageSize": "2K"})),
        (("p", None, "any text", None), _body([{"text": "p"}], {"aspectRatio": "any text"})),
        (("p", None, "1:1", "1kß"), _body([{"text": "p"}], {"aspectRatio": "1:1", "imageSize": "1KSS"})),
    ],
)
def test_build_body_data(client: Any, args: tuple[Any, ...], expected: dict[str, Any]) -> None:
    body = client._build_body_data(*args)
    assert json.dumps(body) == json.dumps(expected)
    oracle = sorvanel_py.SorvanelClient("u", "k")
    assert json.dumps(oracle._build_body_data(*args)) == json.dumps(body)


class Recorder(Client):
    """Records the calls that the body builders make through `self`."""

    def __init__(self) -> None:
        super().__init__("u", "k")
        self.seen: list[tuple[str, tuple[Any, ...], list[tuple[str, Any]]]] = []

    def _detect_mime_type(self, image_bytes: bytes) -> str:  # type: ignore[override]
        self.seen.append(("detect", (image_bytes,), []))
        return "test/" + image_bytes.decode()

    def _bytes_to_part(self, *args: Any, **kwargs: Any) -> dict[str, Any]:  # type: ignore[override]
        self.seen.append(("part", args, list(kwargs.items())))
        return {"part": kwargs["image_bytes"]}


def test_overrides_through_self_take_effect() -> None:
    c = Recorder()
    body = c._build_body_data("p", [b"a", b"b"])
    assert body["contents"][0]["parts"] == [{"text": "p"}, {"part": b"a"}, {"part": b"b"}]
    assert c.seen == [
        ("detect", (b"a",), []),
        ("part", (), [("image_bytes", b"a"), ("mime_type", "test/a")]),
        ("detect", (b"b",), []),
        ("part", (), [("image_bytes", b"b"), ("mime_type", "test/b")]),
    ]


def test_build_parts_override_is_called_by_keyword_with_a_new_list(client: Any) -> None:
    client._build_parts = build_parts = CallRecorder(["parts"])
    images = [b"x"]
    assert client._build_body_data("p", images)["contents"][0]["parts"] == ["parts"]
    client._build_body_data("q")
    assert [list(kw.items()) for _, kw in build_parts.calls] == [
        [("image_bytes_list", images), ("prompt", "p")],
        [("image_bytes_list", []), ("prompt", "q")],
    ]
    assert build_parts.calls[0][0] == () and build_parts.calls[0][1]["image_bytes_list"] is images


def test_instance_attribute_replaces_a_static_method(client: Any) -> None:
    client._detect_mime_type = lambda data: "instance/override"
    part = client._build_parts([b"\xff\xd8"], "p")[1]
    assert part == {"inlineData": {"mimeType": "instance/override", "data": "/9g="}}


def test_module_global_base64_is_looked_up_at_call_time(monkeypatch: pytest.MonkeyPatch) -> None:
    class FakeBase64:
        calls: list[bytes] = []

        @classmethod
        def b64encode(cls, data: bytes) -> bytes:
            cls.calls.append(data)
            return "编码".encode()

    monkeypatch.setattr(sorvanel, "base64", FakeBase64)
    assert Client._bytes_to_part(b"raw") == {"inlineData": {"mimeType": "image/jpeg", "data": "编码"}}
    assert FakeBase64.calls == [b"raw"]
