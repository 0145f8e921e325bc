"""Argument binding and introspection of SorvanelClient's eight native methods.

Binding errors are compared with those of plain Python functions of the same signatures (the
`SorvanelClient` twin below), so the interpreter's own wording is the expectation.
"""

from __future__ import annotations

import inspect
import pickle
import pydoc
import re
import types
import typing
import weakref
from collections.abc import Callable
from typing import Any, Dict, List, Optional

import pytest
from hypothesis import given, settings
from hypothesis import strategies as st

import corvessa.image.sorvanel as sorvanel
from corvessa.config import _AspectRatio, _GeminiModel
from dolvex import ServiceResult

Native = sorvanel.SorvanelClient
MODULE = "corvessa.image.sorvanel"
METHODS = ["__init__", "_detect_mime_type", "_bytes_to_part", "_build_parts", "_build_body_data",
           "_extract_file_uris", "generate_image", "start"]
STATIC = {"_detect_mime_type", "_bytes_to_part", "_extract_file_uris"}


class SorvanelClient:
    """The Python twin: same names, qualnames, signatures and (string) annotations."""

    def __init__(self, base_url: str, api_key: str, **kwargs): ...

    @staticmethod
    def _detect_mime_type(image_bytes: bytes) -> str: ...

    @staticmethod
    def _bytes_to_part(image_bytes: bytes, mime_type: str = "image/jpeg") -> Dict[str, Any]: ...

    def _build_parts(self, image_bytes_list: List[bytes], prompt: str) -> List[Dict[str, Any]]: ...

    def _build_body_data(self, prompt: str, image_bytes_list: Optional[List[bytes]] = None,
                         aspect_ratio: Optional[str] = "2:3", image_size: Optional[str] = "1K") -> dict: ...

    @staticmethod
    def _extract_file_uris(data_dict: dict) -> tuple: ...

    def generate_image(self, prompt: str, image_bytes_list: Optional[List[bytes]] = None,
                       aspect_ratio: _AspectRatio = "2:3", image_size: Optional[str] = "1K",
                       model: _GeminiModel = "gemini-3-pro-image-preview", **kwargs) -> ServiceResult: ...

    def start(self, prompt: str, aspect_ratio: _AspectRatio = "2:3", image_size: str = "1K",
              files=None, model: _GeminiModel = "gemini-3-pro-image-preview",
              **kwargs) -> ServiceResult: ...


Twin = SorvanelClient


class StrSub(str): ...
class BytesSub(bytes): ...
class ListSub(list): ...
class DictSub(dict): ...


def function(cls: type, name: str) -> Any:
    """The plain function behind a class attribute (unwrapping staticmethod)."""
    raw = vars(cls)[name]
    return raw.__func__ if isinstance(raw, staticmethod) else raw


@pytest.fixture(autouse=True)
def _no_traffic(http_fake: Any) -> None:
    """A call that binds by mistake must not reach a real service."""


@pytest.fixture
def pair(recording_logger: Any) -> tuple[Any, Any]:
    native = Native("http://gemini.test", "tok", logger=recording_logger)
    return native, Twin.__new__(Twin)


def raised(call: Callable[[], Any]) -> BaseException:
    with pytest.raises(BaseException) as info:
        call()
    return info.value


# (method, positional args, keyword args); "init" calls the class itself, "unbound" the class
# attribute, everything else the attribute of an instance.
BINDING_CASES = [
    ("init", (), {}),
    ("init", ("u",), {}),
    ("init", ("u", "k", "extra"), {}),
    ("init", ("u",), {"base_url": "u", "api_key": "k"}),
    ("init", ("u", "k"), {"self": 1}),
    ("_detect_mime_type", (), {}),
    ("_detect_mime_type", (b"", b""), {}),
    ("_detect_mime_type", (b"",), {"image_bytes": b""}),
    ("_detect_mime_type", (), {"imagebytes": b""}),
    ("_detect_mime_type", (b"", b""), {"foo": 1}),
    ("_bytes_to_part", (), {}),
    ("_bytes_to_part", (b"", "a", "b"), {}),
    ("_bytes_to_part", (b"",), {"mime": "x"}),
    ("_bytes_to_part", (b"",), {"mimetype": "x"}),
    ("_build_parts", (), {}),
    ("_build_parts", ([],), {}),
    ("_build_parts", ([], "p", 3), {}),
    ("_build_parts", ([], "p"), {"prompt": "q"}),
    ("_build_parts", ([], "p"), {"self": 1}),
    ("_build_parts", ([],), {"promt": "p"}),
    ("_build_parts", ([], "p"), {"sel": 1}),
    ("_build_parts", (None, None, 3), {}),
    ("_build_parts", ([],), {"foo": 1, "prompt": 2}),
    ("_build_parts", ([], "p"), {"prompt": 2, "foo": 1}),
    ("_build_parts", ([], "p", 3), {"prompt": "x"}),
    ("_build_parts", ([], "p", 3), {"image_bytes_lst": []}),
    ("_build_parts", ("".join(["p", "x"]),), {"".join(["pro", "mpt"]): "p", "image_bytes_list": []}),
    ("_build_body_data", (), {}),
    ("_build_body_data", ("p", None, "2:3", "1K", "extra"), {}),
    ("_build_body_data", ("p",), {"imagesize": "2K"}),
    ("_build_body_data", ("p", None), {"image_bytes_list": None}),
    ("_extract_file_uris", (), {}),
    ("_extract_file_uris", ({}, {}), {}),
    ("_extract_file_uris", (), {"data": {}}),
    ("_extract_file_uris", (), {"datadict": {}}),
    ("generate_image", (), {}),
    ("generate_image", ("p", None, "2:3", "1K", "m", "extra"), {}),
    ("generate_image", ("p",), {"prompt": "p"}),
    ("generate_image", ("p", None, "2:3", "1K", "m"), {"model": "m"}),
    ("start", (), {}),
    ("start", ("p", "2:3", "1K", None, "m", "extra"), {}),
    ("start", ("p",), {"prompt": "q"}),
    ("start", ("p", "1:1"), {"aspect_ratio": "1:1"}),
    ("start", ("p",), {"self": 1}),
    ("start", ("p", "2:3", "1K", None, "m", "extra"), {"foo": 1}),
    ("start", ("p", "2:3", "1K", None, "m", "extra"), {"model": "m"}),
    ("unbound:start", (), {}),
    ("unbound:_build_parts", (), {}),
    ("unbound:_build_body_data", (), {"image_size": "1K"}),
    ("unbound:generate_image", (object(), "p", None, "2:3", "1K", "m", 7), {}),
]


def target(owner: Any, method: str) -> Callable[..., Any]:
    if method == "init":
        return type(owner)
    if method.startswith("unbound:"):
        return getattr(type(owner), method.split(":", 1)[1])
    return getattr(owner, method)


@pytest.mark.parametrize(("method", "args", "kwargs"), BINDING_CASES)
def test_binding_errors_match_a_python_function(pair: tuple[Any, Any], method: str, args: tuple[Any, ...],
                                                kwargs: dict[str, Any]) -> None:
    native, twin = pair
    expected = raised(lambda: target(twin, method)(*args, **kwargs))
    actual = raised(lambda: target(native, method)(*args, **kwargs))
    assert type(actual) is type(expected) is TypeError
    assert str(actual) == str(expected)
    assert str(actual).startswith("SorvanelClient.")


_names = st.text(st.sampled_from("abcdefgimnoprstuy_AEIPT9é"), min_size=1, max_size=14)


@settings(max_examples=150, deadline=None)
@given(name=_names)
def test_unexpected_keyword_suggestions_match_the_interpreter(name: str) -> None:
    native = Native.__new__(Native)
    twin = Twin.__new__(Twin)
    if name in ("self", "image_bytes_list", "prompt"):
        return
    kwargs = {"image_bytes_list": [], "prompt": "p", name: 1}
    assert str(raised(lambda: native._build_parts(**kwargs))) == str(raised(lambda: twin._build_parts(**kwargs)))


ARG_TYPE = "Argument '{}' has incorrect type (expected {}, got {})"

# (call on a native client, parameter, expected type, given type name, subclass note expected)
TYPE_CASES: list[tuple[Callable[[Any], Any], str, str, str, bool]] = [
    (lambda c: Native(None, "k"), "base_url", "str", "NoneType", False),
    (lambda c: Native("u", StrSub("k")), "api_key", "str", "StrSub", True),
    (lambda c: Native("u", b"k"), "api_key", "str", "bytes", False),
    (lambda c: c._detect_mime_type(bytearray(b"\xff\xd8")), "image_bytes", "bytes", "bytearray", False),
    (lambda c: Native._detect_mime_type(BytesSub(b"")), "image_bytes", "bytes", "BytesSub", True),
    (lambda c: Native._detect_mime_type(None), "image_bytes", "bytes", "NoneType", False),
    (lambda c: c._bytes_to_part(b"", None), "mime_type", "str", "NoneType", False),
    (lambda c: c._bytes_to_part(memoryview(b"")), "image_bytes", "bytes", "memoryview", False),
    (lambda c: c._build_parts(None, "p"), "image_bytes_list", "list", "NoneType", False),
    (lambda c: c._build_parts(ListSub(), "p"), "image_bytes_list", "list", "ListSub", True),
    (lambda c: c._build_parts((), None), "image_bytes_list", "list", "tuple", False),
    (lambda c: c._build_parts([], b"p"), "prompt", "str", "bytes", False),
    (lambda c: c._build_body_data(None), "prompt", "str", "NoneType", False),
    (lambda c: c._build_body_data("p", ()), "image_bytes_list", "list", "tuple", False),
    (lambda c: c._build_body_data("p", None, 2), "aspect_ratio", "str", "int", False),
    (lambda c: c._build_body_data("p", image_size=b"1K"), "image_size", "str", "bytes", False),
    (lambda c: c._build_body_data("p", image_size=StrSub("1K")), "image_size", "str", "StrSub", True),
    (lambda c: c._extract_file_uris(None), "data_dict", "dict", "NoneType", False),
    (lambda c: Native._extract_file_uris(DictSub()), "data_dict", "dict", "DictSub", True),
    (lambda c: c.generate_image(None), "prompt", "str", "NoneType", False),
    (lambda c: c.generate_image(StrSub("p")), "prompt", "str", "StrSub", True),
    (lambda c: c.generate_image("p", ()), "image_bytes_list", "list", "tuple", False),
    (lambda c: c.generate_image("p", image_size=2), "image_size", "str", "int", False),
    (lambda c: c.start(None), "prompt", "str", "NoneType", False),
    (lambda c: c.start("p", image_size=2), "image_size", "str", "int", False),
    (lambda c: c.start("p", image_size=None), "image_size", "str", "NoneType", False),
    (lambda c: c.start("p", "bad ratio", StrSub("1K")), "image_size", "str", "StrSub", True),
]


@pytest.mark.parametrize(("call", "param", "expected", "got", "note"), TYPE_CASES)
def test_exact_type_refusals(pair: tuple[Any, Any], recording_logger: Any, http_fake: Any,
                             monkeypatch: pytest.MonkeyPatch, call: Callable[[Any], Any], param: str, expected: str,
                             got: str, note: bool) -> None:
    consulted: list[Any] = []
    table = type("Table", (), {"__contains__": lambda self, item: consulted.append(item) or True})()
    monkeypatch.setattr(sorvanel, "_SUPPORTED_RATIOS", table)
    monkeypatch.setattr(sorvanel, "_SUPPORTED_MODELS", table)
    err = raised(lambda: call(pair[0]))
    assert type(err) is TypeError
    assert str(err) == ARG_TYPE.format(param, expected, got)
    notes = getattr(err, "__notes__", None)
    if note:
        assert notes is not None and len(notes) == 1 and "subclass" in notes[0].lower()
    else:
        assert notes is None
    # Refused before the body: no table consulted, nothing logged, nothing sent.
    assert consulted == [] and recording_logger.calls == [] and http_fake.calls == []


def test_unchecked_parameters_accept_anything(client: Any, http_fake: Any) -> None:
    assert client._build_body_data("p", [], "", "")["generationConfig"] == {"responseModalities": ["IMAGE"]}
    result = client.generate_image("p", aspect_ratio=3, model=4)
    assert (result.code, result.msg) == (sorvanel.ErrorCode.INVALID_PARAMS, "Invalid model: 4")
    assert http_fake.calls == []


DOCS = {
    "__init__": "\n\n        Args:\n            base_url: API 服务地址\n            api_key: API 鉴权 Token\n"
                "            **kwargs:\n                model_tag: 模型标识标签，默认 SORVANEL\n"
                "                logger: 自定义日志器\n        ",
    "_detect_mime_type": "根据图片字节头自动检测 MIME 类型",
    "_bytes_to_part": "\n        图片bytes转Gemini格式\n        ",
    "_build_parts": "\n        构建 Gemini parts\n        ",
    "_build_body_data": "构建 Gemini API 请求体",
    "_extract_file_uris": "\n        从 Gemini 响应中提取 fileUri 列表和 responseId。\n\n        Returns:\n"
                          "            (image_urls, response_id)\n        ",
    "generate_image": "\n        调用 Gemini Image 生成图片\n\n        Returns:\n"
                      "            ServiceResult: 成功时 data 为图像 bytes\n        ",
    "start": "\n        调用入口\n\n        Args:\n            prompt: 图像生成描述\n"
             "            aspect_ratio: 比例，默认 2:3, 可选 1:1 / 2:3 / 3:2 / 3:4 / 4:3 / 4:5 / 5:4 / 9:16 / 16:9 / 21:9\n"
             "            image_size: 大小, 1K / 2K / 4K, 默认 1K\n"
             "            model: 模型名称，默认 gemini-3-pro-image-preview, 可选 gemini-3.1-flash-image-preview,"
             " gemini-2.5-flash-image\n"
             "            files: 参考图片，支持 HTTP 链接 / 本地路径 / bytes / 混合列表\n"
             "            **kwargs:\n                task_id: 任务 ID\n                model_key: 模型 Key\n"
             "                timeout: 超时时间\n\n        Returns:\n            ServiceResult\n        ",
}

DEFAULTS = {
    "__init__": None, "_detect_mime_type": None, "_bytes_to_part": ("image/jpeg",), "_build_parts": None,
    "_build_body_data": (None, "2:3", "1K"), "_extract_file_uris": None,
    "generate_image": (None, "2:3", "1K", "gemini-3-pro-image-preview"),
    "start": ("2:3", "1K", None, "gemini-3-pro-image-preview"),
}

ANNOTATIONS = {
    "__init__": [("base_url", "str"), ("api_key", "str")],
    "_detect_mime_type": [("image_bytes", "bytes"), ("return", "str")],
    "_bytes_to_part": [("image_bytes", "bytes"), ("mime_type", "str"), ("return", "Dict[str, Any]")],
    "_build_parts": [("image_bytes_list", "List[bytes]"), ("prompt", "str"), ("return", "List[Dict[str, Any]]")],
    "_build_body_data": [("prompt", "str"), ("image_bytes_list", "Optional[List[bytes]]"),
                         ("aspect_ratio", "Optional[str]"), ("image_size", "Optional[str]"), ("return", "dict")],
    "_extract_file_uris": [("data_dict", "dict"), ("return", "tuple")],
    "generate_image": [("prompt", "str"), ("image_bytes_list", "Optional[List[bytes]]"),
                       ("aspect_ratio", "_AspectRatio"), ("image_size", "Optional[str]"),
                       ("model", "_GeminiModel"), ("return", "ServiceResult")],
    "start": [("prompt", "str"), ("aspect_ratio", "_AspectRatio"), ("image_size", "str"),
              ("model", "_GeminiModel"), ("return", "ServiceResult")],
}


@pytest.mark.parametrize("name", METHODS)
def test_function_attributes(name: str) -> None:
    f = function(Native, name)
    assert (f.__name__, f.__qualname__, f.__module__) == (name, f"SorvanelClient.{name}", MODULE)
    assert f.__defaults__ == DEFAULTS[name] == function(Twin, name).__defaults__
    assert f.__kwdefaults__ is None
    assert list(f.__annotations__.items()) == ANNOTATIONS[name]
    assert list(f.__annotations__.items()) == list(function(Twin, name).__annotations__.items())
    assert re.fullmatch(rf"<function SorvanelClient\.{name} at 0x[0-9a-f]+>", repr(f))
    assert isinstance(vars(Native)[name], staticmethod) == (name in STATIC)


@pytest.mark.parametrize("name", METHODS)
def test_docstrings(name: str) -> None:
    assert function(Native, name).__doc__ == DOCS[name]


@pytest.mark.parametrize("name", METHODS)
def test_signatures_match_the_python_twin(name: str) -> None:
    native, twin = Native.__new__(Native), Twin.__new__(Twin)
    assert str(inspect.signature(function(Native, name))) == str(inspect.signature(function(Twin, name)))
    assert str(inspect.signature(getattr(native, name))) == str(inspect.signature(getattr(twin, name)))
    assert str(inspect.signature(getattr(Native, name))) == str(inspect.signature(getattr(Twin, name)))


def test_signature_text_is_pinned() -> None:
    assert str(inspect.signature(Native("u", "k").start)) == (
        "(prompt: 'str', aspect_ratio: '_AspectRatio' = '2:3', image_size: 'str' = '1K', files=None, "
        "model: '_GeminiModel' = 'gemini-3-pro-image-preview', **kwargs) -> 'ServiceResult'")
    assert str(inspect.signature(Native._bytes_to_part)) == (
        "(image_bytes: 'bytes', mime_type: 'str' = 'image/jpeg') -> 'Dict[str, Any]'")


def test_function_dict_doc_and_module_are_writable() -> None:
    f = Native.start
    saved = (dict(f.__dict__), f.__doc__, f.__module__)
    try:
        f.marker = 1
        assert f.__dict__["marker"] == 1
        f.__dict__ = {"other": 2}
        assert f.other == 2 and not hasattr(f, "marker")
        f.__doc__, f.__module__ = "changed", "elsewhere"
        assert (f.__doc__, f.__module__) == ("changed", "elsewhere")
    finally:
        f.__dict__, f.__doc__, f.__module__ = saved
    assert f.__dict__ == saved[0] and f.__module__ == MODULE


def test_help_renders_the_methods_with_their_docs() -> None:
    text = pydoc.render_doc(Native, renderer=pydoc.plaintext)
    for fragment in ("__init__(self, base_url: str, api_key: str, **kwargs)", "start(", "generate_image(",
                     "调用入口", "调用 Gemini Image 生成图片", "base_url: API 服务地址"):
        assert fragment in text


def test_class_statement() -> None:
    assert type(Native) is type and Native.__bases__ == (object,)
    assert str(inspect.signature(Native)) == "(base_url: 'str', api_key: 'str', **kwargs)"
    assert (Native.__module__, Native.__qualname__, Native.__doc__) == (MODULE, "SorvanelClient", None)
    assert [n for n in vars(Native) if n in METHODS] == METHODS


def test_static_methods_take_no_self(recording_logger: Any) -> None:
    c = Native("u", "k", logger=recording_logger)
    png = b"\x89PNG\r\n\x1a\n"
    for owner in (Native, c):
        assert owner._detect_mime_type(png) == "image/png"
        assert owner._bytes_to_part(b"\x01", mime_type="x") == {"inlineData": {"mimeType": "x", "data": "AQ=="}}
        assert owner._extract_file_uris({"responseId": "r"}) == ([], "r")
    assert c._detect_mime_type is Native._detect_mime_type is function(Native, "_detect_mime_type")


def test_annotations_resolve_through_the_module_globals() -> None:
    hints = typing.get_type_hints(Native.generate_image)
    assert hints["aspect_ratio"] is sorvanel._AspectRatio and hints["return"] is ServiceResult
    assert hints["image_bytes_list"] == Optional[List[bytes]]
    assert weakref.ref(Native.start)() is Native.start


def test_instance_methods_bind_like_functions() -> None:
    c = Native("u", "k")
    bound = c.start
    assert isinstance(bound, types.MethodType) and bound.__self__ is c and bound.__func__ is Native.start
    assert Native.start.__get__(None, Native) is Native.start
    assert Native.__init__ is function(Native, "__init__")


@pytest.mark.parametrize("name", METHODS)
def test_functions_pickle_by_reference(name: str) -> None:
    f = getattr(Native, name)
    assert pickle.loads(pickle.dumps(f)) is f


def test_bound_method_pickles_with_its_instance() -> None:
    c = Native("http://u", "k", model_tag="T")
    copy = pickle.loads(pickle.dumps(c.generate_image))
    assert copy.__func__ is Native.generate_image
    assert vars(copy.__self__) == vars(c)
