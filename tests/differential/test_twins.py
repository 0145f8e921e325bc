"""Both native clients against their pure-Python twins, through the one harness
(tests/twins/compare.py): over random calls and replies of any shape, with fakes in place of the
module globals (http_client, ferrimo, base64) and with the standard base64 and binascii
functions patched or not, native and twin give the same result or exception, the same results
made, the same log records and the same HTTP calls.

CORVESSA_TWIN_EXAMPLES sets the number of random calls (default 600).
"""

from __future__ import annotations

import base64
import binascii
import copy
import io
import os
import types
from collections.abc import Callable
from dataclasses import dataclass
from typing import Any

import requests
from hypothesis import given, settings
from hypothesis import strategies as st

from clients.kinds import BY_NAME, NAMES
from doubles import FakeHttpClient, FakeResponse, fake_ferrimo, raises
from twins.compare import twin_agrees

EXAMPLES = int(os.environ.get("CORVESSA_TWIN_EXAMPLES", "600"))

# ---- fakes beyond the shared doubles ----

TRANSPORT: dict[str, Callable[[], BaseException]] = {
    "read-timeout": lambda: requests.ReadTimeout("slow"),
    "timeout": lambda: TimeoutError("slow"),
    "refused": lambda: ConnectionError("refused"),
}


def http_client(reply: Any) -> FakeHttpClient:
    """(status, body) answers with a fresh copy of body (ValueError: a body that is not JSON);
    the names of TRANSPORT raise."""
    if isinstance(reply, str):
        return FakeHttpClient(raises(TRANSPORT[reply]), base_timeout=7.0)
    status, body = reply
    if body is ValueError:
        return FakeHttpClient(FakeResponse(status, json_error=lambda: ValueError("not json")), base_timeout=7.0)
    return FakeHttpClient(FakeResponse(status, copy.deepcopy(body)), base_timeout=7.0)


def download(url: Any) -> Any:
    """Links with "ok" download, links with "raise" fail, others give nothing."""
    if "raise" in url:
        raise ConnectionError("download failed")
    return io.BytesIO(b"got " + url.encode()) if "ok" in url else None


class IterFails:
    def __iter__(self) -> Any:
        raise TypeError("no iterating this")


class IterNone:
    __iter__ = None


# ---- base64 and binascii as a host may patch them ----

STD_ENCODE, STD_DECODE = base64.b64encode, base64.b64decode
STD_B2A, STD_A2B = binascii.b2a_base64, binascii.a2b_base64


def marked_b2a(data: Any, *, newline: bool = True) -> bytes:
    return b"B" + STD_B2A(data, newline=newline)


def marked_a2b(data: Any, *, strict_mode: bool = False) -> bytes:
    return b"A" + STD_A2B(data, strict_mode=strict_mode)


def refusing_a2b(data: Any, *, strict_mode: bool = False) -> bytes:
    raise binascii.Error("codec refused")


type Patch = Callable[[types.ModuleType], list[tuple[Any, str, Any]]]
CODEC_PATCHES: dict[str, Patch] = {
    "standard": lambda module: [],
    "global base64": lambda module: [
        (
            module,
            "base64",
            types.SimpleNamespace(
                b64encode=lambda data: b"E" + STD_ENCODE(data), b64decode=lambda text: b"D" + STD_DECODE(text)
            ),
        )
    ],
    "base64 functions": lambda module: [
        (base64, "b64encode", lambda data: b"E" + STD_ENCODE(data)),
        (base64, "b64decode", lambda text: b"D" + STD_DECODE(text)),
    ],
    "binascii.b2a_base64": lambda module: [(binascii, "b2a_base64", marked_b2a)],
    "binascii.a2b_base64": lambda module: [(binascii, "a2b_base64", marked_a2b)],
    "base64.binascii": lambda module: [
        (base64, "binascii", types.SimpleNamespace(b2a_base64=marked_b2a, a2b_base64=refusing_a2b))
    ],
}


# ---- scenarios ----


@dataclass(frozen=True)
class Scenario:
    client: str
    codec: str
    reply: Any  # (status, body), "read-timeout", "timeout" or "refused"
    action: Callable[[Any], Any]


links = st.sampled_from(["https://img.test/ok.png", "https://img.test/none.png", "http://img.test/raise.png", ""])
payloads = st.one_of(
    st.binary(max_size=12).map(lambda data: base64.b64encode(data).decode()),
    st.sampled_from(["", "abc", "=", "QUJD=", "QU JD\n", "ÿÿ==", "QUJ\u00e9", "\udc80QUJD", "Q€UJD"]),
    st.text(max_size=6),
    st.none(),
)
files = st.one_of(st.none(), st.binary(max_size=6), st.lists(st.one_of(st.binary(max_size=6), links), max_size=2))
options = st.fixed_dictionaries(
    {},
    optional={
        "task_id": st.sampled_from(["t1", None, 5]),
        "model_key": st.just("k"),
        "timeout": st.sampled_from([0, 3]),
    },
)
codecs = st.sampled_from(sorted(CODEC_PATCHES))
failures = st.sampled_from(["read-timeout", "refused", (500, ValueError), (429, {"error": {"message": "busy"}})])


def call_start(*args: Any, **kwargs: Any) -> Callable[[Any], Any]:
    return lambda client: client.start(*args, **kwargs)


# Gemini: start over random replies.
gemini_parts = st.one_of(
    st.builds(lambda data: {"inlineData": {"mimeType": "image/png", "data": data}}, payloads),
    st.builds(lambda data: {"inline_data": {"data": data}}, payloads),
    st.builds(lambda uri: {"fileData": {"fileUri": uri}}, links),
    st.just({"text": "here"}),
)
gemini_candidates = st.fixed_dictionaries(
    {"content": st.fixed_dictionaries({"parts": st.lists(gemini_parts, max_size=3)})},
    optional={"finishReason": st.sampled_from(["STOP", "IMAGE_SAFETY", "OTHER", "PROHIBITED_CONTENT"])},
)
gemini_ok_replies = st.tuples(
    st.just(200),
    st.fixed_dictionaries(
        {"candidates": st.lists(gemini_candidates, max_size=2)}, optional={"responseId": st.just("r1")}
    ),
)
gemini_starts = st.builds(
    lambda codec, reply, args, kwargs: Scenario("sorvanel", codec, reply, call_start(*args, **kwargs)),
    codecs,
    st.one_of(gemini_ok_replies, failures),
    st.tuples(
        st.just("a fox"),
        st.sampled_from(["2:3", "1:1", "7:7"]),
        st.sampled_from(["1K", "2k"]),
        files,
        st.sampled_from(["gemini-3-pro-image-preview", "dall-e"]),
    ),
    options,
)

# Gemini: _extract_file_uris replaced on the instance by one giving other pairs and link lists.
PAIR_SHAPES: dict[str, Callable[[Any], Any]] = {
    "pair": lambda urls: (urls, "r1"),
    "three": lambda urls: (urls, "r1", "extra"),
    "three in a list": lambda urls: [urls, "r1", "extra"],
    "three keys": lambda urls: {"a": urls, "b": 1, "c": 2},
    "three from a generator": lambda urls: (value for value in (urls, "r1", "extra")),
    "one": lambda urls: (urls,),
    "not iterable": lambda urls: 7,
    "iter fails": lambda urls: IterFails(),
    "iter is None": lambda urls: IterNone(),
}
link_lists = st.one_of(
    st.dictionaries(st.integers(0, 1), links, min_size=1), st.lists(links, max_size=2), st.tuples(links), st.just("")
)


def start_with_link_pair(shape: str, urls: Any) -> Callable[[Any], Any]:
    def action(client: Any) -> Any:
        client._extract_file_uris = lambda data_dict: PAIR_SHAPES[shape](urls)
        return client.start("a fox")

    return action


gemini_link_pairs = st.builds(
    lambda codec, reply, shape, urls: Scenario("sorvanel", codec, reply, start_with_link_pair(shape, urls)),
    codecs,
    gemini_ok_replies,
    st.one_of(st.just("pair"), st.sampled_from(sorted(PAIR_SHAPES))),
    link_lists,
)

# Gemini: the methods without **kwargs, called with odd keywords (lone surrogates, near misses).
METHOD_ARGS = {
    "_detect_mime_type": (b"GIF89a",),
    "_bytes_to_part": (b"\x89PNG\r\n\x1a\n..", "image/png"),
    "_build_parts": ([b"abc", b"\xff\xd8."], "p"),
    "_build_body_data": ("p", [b"abc"], "1:1", "2k"),
    "_extract_file_uris": ({"candidates": [{"content": {"parts": [{"fileData": {"fileUri": "u"}}]}}]},),
}
keyword_names = st.sampled_from(
    [
        "\udc80",
        "prompt\udc80",
        "\udc80rompt",
        "promt",
        "image_byte",
        "mime_typ",
        "data_dic",
        "prompt",
        "image_bytes",
        "mime_type",
        "aspect_ratio",
        "self",
    ]
)
keyword_values = st.sampled_from([b"abc", "p", None, [b"x"], {}])


def call_method(name: str, positional: int, kwargs: dict[str, Any]) -> Callable[[Any], Any]:
    return lambda client: getattr(client, name)(*METHOD_ARGS[name][:positional], **kwargs)


gemini_methods = st.builds(
    lambda codec, name, positional, kwargs: Scenario(
        "sorvanel", codec, "refused", call_method(name, positional, kwargs)
    ),
    codecs,
    st.sampled_from(sorted(METHOD_ARGS)),
    st.integers(0, 4),
    st.dictionaries(keyword_names, keyword_values, max_size=2),
)

# Images API: start over replies with "b64_json", a data URL or a link, and over replies and
# arguments of any shape.
texts = st.one_of(st.text(max_size=12), payloads, st.sampled_from(["abc", "=", "a=b="]))
image_links = st.one_of(
    st.builds(lambda text: "data:image/png;base64," + (text or ""), payloads),
    links,
    st.sampled_from(["http://img.test/gone.png", "ftp://x", "data:image/png", "HTTPS://img.test/ok.png"]),
    st.integers(),
    st.none(),
)
image_items = st.one_of(
    st.builds(lambda text: {"b64_json": text}, payloads),
    st.builds(lambda url: {"url": url}, image_links),
    st.fixed_dictionaries({}, optional={"b64_json": texts, "url": image_links, "extra": st.integers()}),
    texts,
    st.none(),
)
image_bodies = st.one_of(
    st.builds(lambda item: {"data": [item]}, image_items),
    st.fixed_dictionaries(
        {},
        optional={
            "data": st.one_of(st.lists(image_items, max_size=3), st.none(), texts),
            "error": st.one_of(st.none(), texts, st.fixed_dictionaries({}, optional={"message": texts})),
        },
    ),
    st.lists(st.integers(), max_size=2),
    st.none(),
    st.just(ValueError),
)
image_replies = st.one_of(
    st.tuples(st.sampled_from([200, 200, 201, 400, 429, 500]), image_bodies), failures, st.just("timeout")
)
image_files = st.one_of(files, st.lists(st.one_of(st.binary(max_size=4), image_links), max_size=3))
image_options = st.fixed_dictionaries(
    {},
    optional={
        "files": image_files,
        "task_id": st.one_of(st.none(), st.text(max_size=3), st.integers()),
        "model_key": st.one_of(st.none(), st.text(max_size=3)),
        "timeout": st.sampled_from([None, 0, 3]),
        "model": st.just("gpt-image-1"),
        "response_format": st.just("url"),
    },
)
image_starts = st.builds(
    lambda codec, reply, args, kwargs: Scenario("tovarin", codec, reply, call_start(*args, **kwargs)),
    codecs,
    image_replies,
    st.tuples(
        st.sampled_from(["a fox", ""]),
        st.sampled_from(["", "auto", "1:1", "2:3", "7:1", "bad"]),
        st.sampled_from(["", "low"]),
        st.sampled_from(["", "2k", "9k"]),
    ),
    image_options,
)


# The calls of each client; a client of the registry without its own fails at collection.
SCENARIOS = {"sorvanel": st.one_of(gemini_starts, gemini_link_pairs, gemini_methods), "tovarin": image_starts}


@settings(max_examples=EXAMPLES, deadline=None, database=None)
@given(st.one_of(*(SCENARIOS[name] for name in NAMES)))
def test_native_clients_behave_as_their_twins(scenario: Scenario) -> None:
    twin_agrees(
        BY_NAME[scenario.client],
        scenario.action,
        lambda: http_client(scenario.reply),
        ferrimo=lambda: fake_ferrimo(other=download, record=False),
        patches=CODEC_PATCHES[scenario.codec],
    )
