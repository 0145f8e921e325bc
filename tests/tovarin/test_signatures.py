"""What Python sees of the four methods, the exact-type checks made before a body runs, the
binding errors (compared with plain Python functions of the same shape), and construction."""

from __future__ import annotations

import inspect
import logging
from typing import Any, List, Optional, Tuple, Union

import pytest
import requests
from dolvex import ServiceResult

import corvessa.image.tovarin as tovarin

Native = tovarin.TovarinClient

INIT_DOC = ("\n\n        Args:\n            base_url: API 服务地址\n            api_key: API 鉴权 Token\n"
            "            **kwargs:\n                model_tag: 模型标识标签，默认 GPT-IMAGE-2\n"
            "                logger: 自定义日志器\n        ")
START_DOC = ("\n\n        Args:\n            prompt:\n            aspect_ratio: 比例，比如：1:1\n"
             "            quality: low / medium / high / auto\n            image_size: 大小，1k, 2k, 4k\n"
             "            files:\n            **kwargs:\n\n        Returns:\n\n        ")
TYPE_MESSAGE = "Argument '%.200s' has incorrect type (expected %.200s, got %.200s)"
FILES = "Optional[List[Tuple[str, bytes]]]"


class TovarinClient:
    """Plain-Python twin with the same parameters: the interpreter's own binding errors."""

    def __init__(self, base_url: str, api_key: str, **kwargs):
        pass

    def _generate_completions(self, task_id: str, model_key: str, payload,  # type: ignore[empty-body]
                              files: Optional[List[Tuple[str, bytes]]] = None, **kwargs) -> requests.Response:
        pass

    def generate_image(self, prompt: str, aspect_ratio: str = "",  # type: ignore[empty-body]
                       quality: str = "", image_size: str = "",
                       files: Optional[List[Tuple[str, bytes]]] = None, **kwargs) -> ServiceResult:
        pass

    def start(self, prompt: str, aspect_ratio: str = "", quality: str = "",  # type: ignore[empty-body]
              image_size: str = "",
              files: Union[List[bytes], bytes, str, List[str]] = None,  # type: ignore[assignment]
              **kwargs) -> ServiceResult:
        pass


Twin = TovarinClient

INTROSPECTION = [
    ("__init__", None, {"base_url": "str", "api_key": "str"}, INIT_DOC),
    ("_generate_completions", (None,),
     {"task_id": "str", "model_key": "str", "files": FILES, "return": "requests.Response"}, None),
    ("generate_image", ("", "", "", None),
     {"prompt": "str", "aspect_ratio": "str", "quality": "str", "image_size": "str", "files": FILES,
      "return": "ServiceResult"}, None),
    ("start", ("", "", "", None),
     {"prompt": "str", "aspect_ratio": "str", "quality": "str", "image_size": "str",
      "files": "Union[List[bytes], bytes, str, List[str]]", "return": "ServiceResult"}, START_DOC),
]


@pytest.mark.parametrize(("name", "defaults", "annotations", "doc"), INTROSPECTION,
                         ids=[case[0] for case in INTROSPECTION])
def test_introspection(name: str, defaults: Any, annotations: dict[str, str], doc: str | None) -> None:
    function = getattr(Native, name)
    assert function.__defaults__ == defaults
    assert list(function.__annotations__.items()) == list(annotations.items())  # key order too
    assert function.__doc__ == doc
    twin = getattr(Twin, name)
    assert str(inspect.signature(function)) == str(inspect.signature(twin))
    kinds = {p.kind for p in inspect.signature(function).parameters.values()}
    assert kinds == {inspect.Parameter.POSITIONAL_OR_KEYWORD, inspect.Parameter.VAR_KEYWORD}


class Str(str):
    pass


class Lst(list):
    pass


# (method, positional args after self, keyword args, parameter refused, expected, got)
REFUSALS: list[tuple[str, tuple[Any, ...], dict[str, Any], str, str, str]] = [
    ("__init__", (None, "k"), {}, "base_url", "str", "NoneType"),
    ("__init__", ("u", b"k"), {}, "api_key", "str", "bytes"),
    ("__init__", ("u", Str("k")), {}, "api_key", "str", "Str"),
    ("_generate_completions", (5, None, {}), {}, "task_id", "str", "int"),
    ("_generate_completions", (None, Str("m"), {}), {}, "model_key", "str", "Str"),
    ("_generate_completions", (None, None, {}), {"files": ()}, "files", "list", "tuple"),
    ("_generate_completions", (None, None, {}), {"files": Lst()}, "files", "list", "Lst"),
    ("generate_image", (None,), {}, "prompt", "str", "NoneType"),
    ("generate_image", ("p",), {"aspect_ratio": None}, "aspect_ratio", "str", "NoneType"),
    ("generate_image", ("p",), {"quality": None}, "quality", "str", "NoneType"),
    ("generate_image", ("p",), {"image_size": 2}, "image_size", "str", "int"),
    ("generate_image", ("p",), {"files": (("image", b"x"),)}, "files", "list", "tuple"),
    ("generate_image", ("p",), {"files": b"x"}, "files", "list", "bytes"),
    ("start", (Str("p"),), {}, "prompt", "str", "Str"),
    ("start", ("p", None), {}, "aspect_ratio", "str", "NoneType"),
    ("start", ("p",), {"quality": None}, "quality", "str", "NoneType"),
    ("start", ("p",), {"image_size": None}, "image_size", "str", "NoneType"),
]


@pytest.mark.parametrize(("method", "args", "kwargs", "param", "expected", "got"), REFUSALS)
def test_exact_type_refusals(client: Native, http_fake: Any, recording_logger: Any, method: str, args: tuple[Any, ...],
                             kwargs: dict[str, Any], param: str, expected: str, got: str) -> None:
    target = Native if method == "__init__" else getattr(client, method)
    with pytest.raises(TypeError) as caught:
        target(*args, **kwargs)
    assert str(caught.value) == TYPE_MESSAGE % (param, expected, got)
    # Only a refused subclass carries a note.
    assert bool(getattr(caught.value, "__notes__", None)) == (got in ("Str", "Lst"))
    assert recording_logger.records == [] and http_fake.calls == []


@pytest.mark.parametrize("files", [None, (b"x",), "no/such/file", {"a": 1}, 5])
def test_start_does_not_check_files(client: Native, files: Any, monkeypatch: pytest.MonkeyPatch) -> None:
    seen: list[dict[str, Any]] = []

    def generate_image(**kwargs: Any) -> str:
        seen.append(kwargs)
        return "result"

    monkeypatch.setattr(client, "generate_image", generate_image, raising=False)
    assert client.start("p", files=files) == "result"
    assert seen[0]["files"] is None


def test_none_is_admitted_for_task_id_and_model_key_of_the_request_step(client: Native, http_fake: Any) -> None:
    assert client._generate_completions(None, None, {}) is http_fake.reply
    assert client._generate_completions("t", "m", {}, []) is http_fake.reply


# Too few, too many, a parameter given twice (by position and keyword, or as `self`).
BINDING_CALLS: list[tuple[tuple[Any, ...], dict[str, Any]]] = [
    ((), {}),
    (("a",), {}),
    (("a", "b", "c", "d", "e", "f"), {}),
    (("a",), {"prompt": "b"}),
    (("a",), {"base_url": "b", "api_key": "c"}),
    ((), {"task_id": "t", "model_key": "m"}),
    (("a", "b", "c", "d", "e"), {"self": 1}),
]


@pytest.mark.parametrize("name", ["_generate_completions", "generate_image", "start"])
@pytest.mark.parametrize(("args", "kwargs"), BINDING_CALLS)
def test_binding_errors_read_like_python(client: Native, name: str, args: tuple[Any, ...],
                                         kwargs: dict[str, Any]) -> None:
    # Where the twin binds (a prompt alone), the native call must bind and run too.
    assert _outcome(getattr(client, name), args, kwargs) == _outcome(getattr(Twin("u", "k"), name), args, kwargs)


@pytest.mark.parametrize(("args", "kwargs"), BINDING_CALLS)
def test_constructor_binding_errors_read_like_python(args: tuple[Any, ...], kwargs: dict[str, Any]) -> None:
    assert _outcome(Native, args, kwargs) == _outcome(Twin, args, kwargs)


def test_unbound_call_names_self() -> None:
    assert _outcome(Native.start, (), {}) == _outcome(Twin.start, (), {})
    assert _outcome(Native.start, (), {}) == \
        "TovarinClient.start() missing 2 required positional arguments: 'self' and 'prompt'"


def _outcome(target: Any, args: tuple[Any, ...], kwargs: dict[str, Any]) -> str | None:
    """The TypeError text of a call, or None when it succeeds or fails otherwise."""
    try:
        target(*args, **kwargs)
    except TypeError as err:
        return str(err)
    except Exception:
        return None
    return None


# ---- construction ----

@pytest.mark.parametrize(("base", "url"), [
    ("http://images.test", "http://images.test/v1/images"),
    ("http://images.test/", "http://images.test//v1/images"),
    ("", "/v1/images"),
])
def test_base_url_gets_the_images_path(base: str, url: str) -> None:
    assert Native(base, "tok").base_url == url


def test_defaults_and_attributes() -> None:
    client = Native("http://h", "tok")
    assert list(vars(client)) == ["base_url", "token", "model_tag", "logger"]
    assert client.token == "tok"
    assert not hasattr(client, "api_key")
    assert client.model_tag == "GPT-IMAGE-2"
    assert client.logger is logging.getLogger("corvessa.image.tovarin")
    assert Native("x", "y").logger is client.logger


def test_keywords_win_whatever_their_value_and_others_are_ignored() -> None:
    logger = object()
    client = Native("http://h", "", model_tag=None, logger=logger, timeout=30)
    assert (client.model_tag, client.logger, client.token) == (None, logger, "")
    assert list(vars(client)) == ["base_url", "token", "model_tag", "logger"]

