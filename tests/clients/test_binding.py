"""Argument binding of both classes' methods: the interpreter's own binding errors (the twins'
errors are the expectation), the keyword suggestions, and the exact-type checks made before a
body runs."""

from __future__ import annotations

from collections.abc import Callable
from typing import Any

import pytest
from hypothesis import given, settings
from hypothesis import strategies as st

from doubles import BytesSub, DictSub, ListSub, StrSub

from .kinds import KINDS, SORVANEL, TOVARIN, Kind, case_id


def outcome(call: Callable[[], Any]) -> str | None:
    """The TypeError text of a call, or None when it binds and runs (whatever it then gives)."""
    try:
        call()
    except TypeError as err:
        return str(err)
    except Exception:
        return None
    return None


def target(owner: Any, method: str) -> Callable[..., Any]:
    """ "init" is the class itself, "unbound:<name>" the class attribute, anything else the
    attribute of the instance."""
    if method == "init":
        return type(owner)
    if method.startswith("unbound:"):
        return getattr(type(owner), method.split(":", 1)[1])
    return getattr(owner, method)


# Tried on the class and on every method of both: too few, too many, a parameter given twice
# (by position and keyword, or as `self`). Where the twin binds, the native method must bind too.
SHAPES: list[tuple[tuple[Any, ...], dict[str, Any]]] = [
    ((), {}),
    (("a",), {}),
    (("a", "b", "c", "d", "e", "f"), {}),
    (("a",), {"prompt": "b"}),
    (("a",), {"base_url": "b", "api_key": "c"}),
    ((), {"task_id": "t", "model_key": "m"}),
    (("a", "b", "c", "d", "e"), {"self": 1}),
]

# The Gemini class's methods without **kwargs: unexpected and misspelt keywords.
SORVANEL_CASES: list[tuple[str, tuple[Any, ...], dict[str, Any]]] = [
    ("init", ("u", "k"), {"self": 1}),
    ("_detect_mime_type", (b"", b""), {}),
    ("_detect_mime_type", (b"",), {"image_bytes": b""}),
    ("_detect_mime_type", (), {"imagebytes": b""}),
    ("_detect_mime_type", (b"", b""), {"foo": 1}),
    ("_bytes_to_part", (b"", "a", "b"), {}),
    ("_bytes_to_part", (b"",), {"mime": "x"}),
    ("_bytes_to_part", (b"",), {"mimetype": "x"}),
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
    ("_build_body_data", ("p", None, "2:3", "1K", "extra"), {}),
    ("_build_body_data", ("p",), {"imagesize": "2K"}),
    ("_build_body_data", ("p", None), {"image_bytes_list": None}),
    ("_extract_file_uris", ({}, {}), {}),
    ("_extract_file_uris", (), {"data": {}}),
    ("_extract_file_uris", (), {"datadict": {}}),
    ("generate_image", ("p", None, "2:3", "1K", "m"), {"model": "m"}),
    ("start", ("p", "1:1"), {"aspect_ratio": "1:1"}),
    ("start", ("p", "2:3", "1K", None, "m", "extra"), {"foo": 1}),
    ("start", ("p", "2:3", "1K", None, "m", "extra"), {"model": "m"}),
    ("unbound:_build_parts", (), {}),
    ("unbound:_build_body_data", (), {"image_size": "1K"}),
    ("unbound:generate_image", (object(), "p", None, "2:3", "1K", "m", 7), {}),
]

BINDING_CASES = [
    *[
        (kind, method, args, kwargs)
        for kind in KINDS
        for method in ["init", *kind.methods[1:]]
        for args, kwargs in SHAPES
    ],
    *[(kind, "unbound:start", (), {}) for kind in KINDS],
    *[(SORVANEL, *case) for case in SORVANEL_CASES],
]


@pytest.mark.parametrize(("kind", "method", "args", "kwargs"), BINDING_CASES, ids=case_id)
def test_binding_errors_match_the_twin(
    native: Any, twin: Any, method: str, args: tuple[Any, ...], kwargs: dict[str, Any]
) -> None:
    expected = outcome(lambda: target(twin, method)(*args, **kwargs))
    assert outcome(lambda: target(native, method)(*args, **kwargs)) == expected


def test_an_unbound_call_names_self(kind: Kind) -> None:
    assert outcome(kind.cls.start) == (
        f"{kind.class_name}.start() missing 2 required positional arguments: 'self' and 'prompt'"
    )


_names = st.text(st.sampled_from("abcdefgimnoprstuy_AEIPT9é"), min_size=1, max_size=14)


@settings(max_examples=150, deadline=None)
@given(name=_names)
def test_unexpected_keyword_suggestions_match_the_interpreter(name: str) -> None:
    native = SORVANEL.cls.__new__(SORVANEL.cls)
    twin = SORVANEL.twin_cls.__new__(SORVANEL.twin_cls)
    if name in ("self", "image_bytes_list", "prompt"):
        return
    kwargs = {"image_bytes_list": [], "prompt": "p", name: 1}
    assert outcome(lambda: native._build_parts(**kwargs)) == outcome(lambda: twin._build_parts(**kwargs))


ARG_TYPE = "Argument '{}' has incorrect type (expected {}, got {})"

# (class, method, positional args, keyword args, parameter refused, expected type, given type);
# a refused subclass of the expected type carries a note.
REFUSALS: list[tuple[Kind, str, tuple[Any, ...], dict[str, Any], str, str, str]] = [
    *[
        (kind, "__init__", args, {}, param, "str", got)
        for kind in KINDS
        for args, param, got in [
            ((None, "k"), "base_url", "NoneType"),
            (("u", b"k"), "api_key", "bytes"),
            (("u", StrSub("k")), "api_key", "StrSub"),
        ]
    ],
    (SORVANEL, "_detect_mime_type", (bytearray(b"\xff\xd8"),), {}, "image_bytes", "bytes", "bytearray"),
    (SORVANEL, "_detect_mime_type", (BytesSub(b""),), {}, "image_bytes", "bytes", "BytesSub"),
    (SORVANEL, "_detect_mime_type", (None,), {}, "image_bytes", "bytes", "NoneType"),
    (SORVANEL, "_bytes_to_part", (b"", None), {}, "mime_type", "str", "NoneType"),
    (SORVANEL, "_bytes_to_part", (memoryview(b""),), {}, "image_bytes", "bytes", "memoryview"),
    (SORVANEL, "_build_parts", (None, "p"), {}, "image_bytes_list", "list", "NoneType"),
    (SORVANEL, "_build_parts", (ListSub(), "p"), {}, "image_bytes_list", "list", "ListSub"),
    (SORVANEL, "_build_parts", ((), None), {}, "image_bytes_list", "list", "tuple"),
    (SORVANEL, "_build_parts", ([], b"p"), {}, "prompt", "str", "bytes"),
    (SORVANEL, "_build_body_data", (None,), {}, "prompt", "str", "NoneType"),
    (SORVANEL, "_build_body_data", ("p", ()), {}, "image_bytes_list", "list", "tuple"),
    (SORVANEL, "_build_body_data", ("p", None, 2), {}, "aspect_ratio", "str", "int"),
    (SORVANEL, "_build_body_data", ("p",), {"image_size": b"1K"}, "image_size", "str", "bytes"),
    (SORVANEL, "_build_body_data", ("p",), {"image_size": StrSub("1K")}, "image_size", "str", "StrSub"),
    (SORVANEL, "_extract_file_uris", (None,), {}, "data_dict", "dict", "NoneType"),
    (SORVANEL, "_extract_file_uris", (DictSub(),), {}, "data_dict", "dict", "DictSub"),
    (SORVANEL, "generate_image", (None,), {}, "prompt", "str", "NoneType"),
    (SORVANEL, "generate_image", (StrSub("p"),), {}, "prompt", "str", "StrSub"),
    (SORVANEL, "generate_image", ("p", ()), {}, "image_bytes_list", "list", "tuple"),
    (SORVANEL, "generate_image", ("p",), {"image_size": 2}, "image_size", "str", "int"),
    (SORVANEL, "start", (None,), {}, "prompt", "str", "NoneType"),
    (SORVANEL, "start", ("p",), {"image_size": 2}, "image_size", "str", "int"),
    (SORVANEL, "start", ("p",), {"image_size": None}, "image_size", "str", "NoneType"),
    (SORVANEL, "start", ("p", "bad ratio", StrSub("1K")), {}, "image_size", "str", "StrSub"),
    (TOVARIN, "_generate_completions", (5, None, {}), {}, "task_id", "str", "int"),
    (TOVARIN, "_generate_completions", (None, StrSub("m"), {}), {}, "model_key", "str", "StrSub"),
    (TOVARIN, "_generate_completions", (None, None, {}), {"files": ()}, "files", "list", "tuple"),
    (TOVARIN, "_generate_completions", (None, None, {}), {"files": ListSub()}, "files", "list", "ListSub"),
    (TOVARIN, "generate_image", (None,), {}, "prompt", "str", "NoneType"),
    (TOVARIN, "generate_image", ("p",), {"aspect_ratio": None}, "aspect_ratio", "str", "NoneType"),
    (TOVARIN, "generate_image", ("p",), {"quality": None}, "quality", "str", "NoneType"),
    (TOVARIN, "generate_image", ("p",), {"image_size": 2}, "image_size", "str", "int"),
    (TOVARIN, "generate_image", ("p",), {"files": (("image", b"x"),)}, "files", "list", "tuple"),
    (TOVARIN, "generate_image", ("p",), {"files": b"x"}, "files", "list", "bytes"),
    (TOVARIN, "generate_image", ("p", "1:1"), {"image_size": None}, "image_size", "str", "NoneType"),
    (TOVARIN, "start", (StrSub("p"),), {}, "prompt", "str", "StrSub"),
    (TOVARIN, "start", ("p", None), {}, "aspect_ratio", "str", "NoneType"),
    (TOVARIN, "start", ("p",), {"quality": None}, "quality", "str", "NoneType"),
    (TOVARIN, "start", ("p",), {"image_size": None}, "image_size", "str", "NoneType"),
]


@pytest.fixture
def consulted(kind: Kind, monkeypatch: pytest.MonkeyPatch) -> list[Any]:
    """Records what a body would consult first: the Gemini class's tables of models and ratios,
    the images class's size calculator."""
    seen: list[Any] = []
    if kind is SORVANEL:
        table = type("Table", (), {"__contains__": lambda self, item: seen.append(item) or True})()
        monkeypatch.setattr(kind.module, "_SUPPORTED_RATIOS", table)
        monkeypatch.setattr(kind.module, "_SUPPORTED_MODELS", table)
    else:
        calc_size = staticmethod(lambda **kwargs: seen.append(kwargs) or {"width": 1, "height": 1})
        monkeypatch.setattr(kind.module, "GPTImageSizeCalculator", type("Calculator", (), {"calc_size": calc_size}))
    return seen


@pytest.mark.parametrize(("kind", "method", "args", "kwargs", "param", "expected", "got"), REFUSALS, ids=case_id)
def test_exact_type_refusals(
    kind: Kind,
    native: Any,
    consulted: list[Any],
    recording_logger: Any,
    http_fake: Any,
    method: str,
    args: tuple[Any, ...],
    kwargs: dict[str, Any],
    param: str,
    expected: str,
    got: str,
) -> None:
    with pytest.raises(TypeError) as caught:
        target(native, "init" if method == "__init__" else method)(*args, **kwargs)
    assert str(caught.value) == ARG_TYPE.format(param, expected, got)
    notes = getattr(caught.value, "__notes__", None)
    if got.endswith("Sub"):
        assert notes is not None and len(notes) == 1 and "subclass" in notes[0].lower()
    else:
        assert notes is None
    # Refused before the body: nothing consulted, nothing logged, nothing sent.
    assert consulted == [] and recording_logger.calls == [] and http_fake.calls == []


@pytest.mark.parametrize("kind", [SORVANEL])
def test_unchecked_parameters_accept_anything(native: Any, http_fake: Any) -> None:
    assert native._build_body_data("p", [], "", "")["generationConfig"] == {"responseModalities": ["IMAGE"]}
    result = native.generate_image("p", aspect_ratio=3, model=4)
    assert (result.code, result.msg) == (SORVANEL.module.ErrorCode.INVALID_PARAMS, "Invalid model: 4")
    assert http_fake.calls == []


@pytest.mark.parametrize("kind", [TOVARIN])
@pytest.mark.parametrize("files", [None, (b"x",), "no/such/file", {"a": 1}, 5])
def test_start_does_not_check_files(native: Any, files: Any, monkeypatch: pytest.MonkeyPatch) -> None:
    seen: list[dict[str, Any]] = []

    def generate_image(**kwargs: Any) -> str:
        seen.append(kwargs)
        return "result"

    monkeypatch.setattr(native, "generate_image", generate_image, raising=False)
    assert native.start("p", files=files) == "result"
    assert seen[0]["files"] is None


@pytest.mark.parametrize("kind", [TOVARIN])
def test_none_is_admitted_for_task_id_and_model_key_of_the_request_step(native: Any, http_fake: Any) -> None:
    assert native._generate_completions(None, None, {}) is http_fake.reply
    assert native._generate_completions("t", "m", {}, []) is http_fake.reply
