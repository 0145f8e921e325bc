"""What Python sees of both classes and their methods. Each class's pure-Python twin is the
reference for names, signatures, defaults, string annotations and docstrings; a few key texts
are pinned here as well, so that a wrong twin cannot hide a wrong module."""

from __future__ import annotations

import inspect
import pickle
import pydoc
import re
import types
import typing
import weakref
from typing import Any

import pytest

from .kinds import SORVANEL, TOVARIN, Kind, case_id, each_method, function

PARAMETER_KINDS = {inspect.Parameter.POSITIONAL_OR_KEYWORD, inspect.Parameter.VAR_KEYWORD}


@pytest.mark.parametrize(("kind", "name"), each_method(), ids=case_id)
def test_function_attributes_match_the_twin(kind: Kind, name: str) -> None:
    f, reference = function(kind.cls, name), function(kind.twin_cls, name)
    assert (f.__name__, f.__qualname__, f.__module__) == (name, f"{kind.class_name}.{name}", kind.qualified)
    assert f.__qualname__ == reference.__qualname__
    assert f.__defaults__ == reference.__defaults__
    assert f.__kwdefaults__ is None and reference.__kwdefaults__ is None
    assert list(f.__annotations__.items()) == list(reference.__annotations__.items())  # key order too
    assert f.__doc__ == reference.__doc__
    assert re.fullmatch(rf"<function {kind.class_name}\.{name} at 0x[0-9a-f]+>", repr(f))
    assert isinstance(vars(kind.cls)[name], staticmethod) == isinstance(vars(kind.twin_cls)[name], staticmethod)
    # The string annotations resolve through the module's own globals.
    assert typing.get_type_hints(f) == typing.get_type_hints(reference)


@pytest.mark.parametrize(("kind", "name"), each_method(), ids=case_id)
def test_signatures_match_the_twin(kind: Kind, name: str) -> None:
    native, twin = kind.cls.__new__(kind.cls), kind.twin_cls.__new__(kind.twin_cls)
    for actual, expected in [
        (function(kind.cls, name), function(kind.twin_cls, name)),
        (getattr(native, name), getattr(twin, name)),
        (getattr(kind.cls, name), getattr(kind.twin_cls, name)),
    ]:
        assert str(inspect.signature(actual)) == str(inspect.signature(expected))
    assert {p.kind for p in inspect.signature(function(kind.cls, name)).parameters.values()} <= PARAMETER_KINDS


PINNED_SIGNATURES = [
    (
        SORVANEL,
        "start",
        "(prompt: 'str', aspect_ratio: '_AspectRatio' = '2:3', image_size: 'str' = '1K', files=None, "
        "model: '_GeminiModel' = 'gemini-3-pro-image-preview', **kwargs) -> 'ServiceResult'",
    ),
    (SORVANEL, "_bytes_to_part", "(image_bytes: 'bytes', mime_type: 'str' = 'image/jpeg') -> 'Dict[str, Any]'"),
    (
        TOVARIN,
        "start",
        "(prompt: 'str', aspect_ratio: 'str' = '', quality: 'str' = '', image_size: 'str' = '', "
        "files: 'Union[List[bytes], bytes, str, List[str]]' = None, **kwargs) -> 'ServiceResult'",
    ),
    (
        TOVARIN,
        "_generate_completions",
        "(task_id: 'str', model_key: 'str', payload, "
        "files: 'Optional[List[Tuple[str, bytes]]]' = None, **kwargs) "
        "-> 'requests.Response'",
    ),
]

INIT_DOC = (
    "\n\n        Args:\n            base_url: API 服务地址\n            api_key: API 鉴权 Token\n"
    "            **kwargs:\n                model_tag: 模型标识标签，默认 {}\n"
    "                logger: 自定义日志器\n        "
)
PINNED_DOCS = [
    (SORVANEL, "__init__", INIT_DOC.format("SORVANEL")),
    (SORVANEL, "_detect_mime_type", "根据图片字节头自动检测 MIME 类型"),
    (TOVARIN, "__init__", INIT_DOC.format("GPT-IMAGE-2")),
    (
        TOVARIN,
        "start",
        "\n\n        Args:\n            prompt:\n            aspect_ratio: 比例，比如：1:1\n"
        "            quality: low / medium / high / auto\n            image_size: 大小，1k, 2k, 4k\n"
        "            files:\n            **kwargs:\n\n        Returns:\n\n        ",
    ),
    (TOVARIN, "_generate_completions", None),
]


@pytest.mark.parametrize(("kind", "name", "text"), PINNED_SIGNATURES, ids=case_id)
def test_key_signatures_are_pinned(kind: Kind, name: str, text: str) -> None:
    assert str(inspect.signature(getattr(kind.cls("u", "k"), name))) == text


@pytest.mark.parametrize(("kind", "name", "doc"), PINNED_DOCS, ids=case_id)
def test_key_docstrings_are_pinned(kind: Kind, name: str, doc: str | None) -> None:
    assert function(kind.cls, name).__doc__ == doc


def test_help_renders_like_the_twin(kind: Kind) -> None:
    native = pydoc.render_doc(kind.cls, renderer=pydoc.plaintext).splitlines()
    twin = pydoc.render_doc(kind.twin_cls, renderer=pydoc.plaintext).splitlines()
    assert native[0].endswith(f"in module {kind.qualified}")
    assert native[1:] == twin[1:]


def test_class_statement(kind: Kind) -> None:
    cls = kind.cls
    assert type(cls) is type and cls.__mro__ == (cls, object)
    assert str(inspect.signature(cls)) == "(base_url: 'str', api_key: 'str', **kwargs)"
    assert (cls.__module__, cls.__qualname__, cls.__doc__) == (kind.qualified, kind.class_name, None)
    assert [name for name, value in vars(cls).items() if callable(value)] == kind.methods
    for name in kind.methods:
        # Class access gives the function itself, whether it is an instance or a static method.
        assert getattr(cls, name) is function(cls, name)


def test_instance_methods_bind_like_functions(kind: Kind) -> None:
    cls = kind.cls
    c = cls("u", "k")
    bound = c.start
    assert isinstance(bound, types.MethodType) and bound.__self__ is c and bound.__func__ is cls.start
    assert cls.start.__get__(None, cls) is cls.start
    assert weakref.ref(cls.start)() is cls.start


def test_static_methods_take_no_self(recording_logger: Any) -> None:
    cls = SORVANEL.cls
    c = cls("u", "k", logger=recording_logger)
    png = b"\x89PNG\r\n\x1a\n"
    for owner in (cls, c):
        assert owner._detect_mime_type(png) == "image/png"
        assert owner._bytes_to_part(b"\x01", mime_type="x") == {"inlineData": {"mimeType": "x", "data": "AQ=="}}
        assert owner._extract_file_uris({"responseId": "r"}) == ([], "r")
    assert c._detect_mime_type is cls._detect_mime_type is function(cls, "_detect_mime_type")


def test_function_dict_doc_and_module_are_writable(kind: Kind) -> None:
    f = kind.cls.start
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
    assert f.__dict__ == saved[0] and f.__module__ == kind.qualified


@pytest.mark.parametrize(("kind", "name"), each_method(), ids=case_id)
def test_functions_pickle_by_reference(kind: Kind, name: str) -> None:
    f = getattr(kind.cls, name)
    assert pickle.loads(pickle.dumps(f)) is f


def test_bound_method_pickles_with_its_instance(kind: Kind) -> None:
    c = kind.cls("http://u", "k", model_tag="T")
    copy = pickle.loads(pickle.dumps(c.generate_image))
    assert copy.__func__ is kind.cls.generate_image
    assert vars(copy.__self__) == vars(c)
