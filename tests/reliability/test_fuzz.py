"""Property-based fuzzing of both clients with hypothesis.

Replies: random JSON-shaped values (nested objects and arrays, text, numbers, null, booleans,
huge strings, invalid base64, wrong types at every level, and shapes close to the valid replies
of each API) with random status codes, served by a fake HTTP client whose `json()` returns the
value or raises. Properties: nothing leaves `generate_image` or `start`; every result is a
failure with one of the five codes or a success carrying bytes (or, for a Gemini file reference
whose download gives nothing, the link); and the result is the pure-Python twin's (tests/twins)
for the same exchange (tests/twins/compare.py): the same results, records and requests.

Reference images: random `files` arguments (nested lists, bytes and their subclasses, byte
arrays, memory views, tuples, dicts, paths to files, folders, missing and unreadable files,
links) through `start`; the result and the requests that reach the HTTP client are the twin's,
images included, in order.
"""

from __future__ import annotations

import base64
import contextlib
import os
import string
from collections import Counter
from collections.abc import Callable, Iterator
from dataclasses import dataclass
from pathlib import PurePosixPath
from typing import Any

import pytest
import requests
from hypothesis import HealthCheck, given, settings
from hypothesis import strategies as st

from clients.kinds import BY_NAME, NAMES
from dolvex import ErrorCode
from doubles import BytesSub, FakeHttpClient, FakeResponse, RecordingLogger, StrSub, raises
from twins.compare import twin_agrees

from .paths import Files
from .support import PNG, SECRET, assert_no_secret, assert_result, fake_ferrimo, make_client, report

EXAMPLES = int(os.environ.get("CORVESSA_FUZZ_EXAMPLES", "300"))
FUZZ = settings(
    max_examples=EXAMPLES,
    deadline=None,
    database=None,
    suppress_health_check=[HealthCheck.too_slow, HealthCheck.data_too_large, HealthCheck.large_base_example],
)
B64 = base64.b64encode(PNG).decode()
# Rare but present: replies carrying megabytes of text, decodable or not.
HUGE_B64 = base64.b64encode(b"\x89PNG" + os.urandom(3 << 20)).decode()
HUGE_JUNK = "!" * (4 << 20)
EXAMPLES_RUN: Counter[str] = Counter()


@pytest.fixture(scope="module", autouse=True)
def _report_examples() -> Iterator[None]:
    yield
    for name, count in EXAMPLES_RUN.items():
        report("hypothesis examples run", f"{name:48} {count}")


# ---- strategies: replies ----

KEYS = (
    "candidates content parts fileData fileUri inlineData inline_data data finishReason responseId error message"
    " b64_json url text mimeType"
).split()
FINISH = "STOP IMAGE_SAFETY IMAGE_OTHER OTHER IMAGE_PROHIBITED_CONTENT PROHIBITED_CONTENT SAFETY".split() + [""]
LINKS = (
    "http://img.test/a.png https://img.test/none.png http://img.test/raise HTTP://img.test/a ftp://img.test/a".split()
)
LINKS += ["", "data:image/png;base64," + B64, "data:image/png;base64", "data:image/x,!!=", "data:text/plain," + B64]

scalars = (
    st.none()
    | st.booleans()
    | st.integers(-(2**70), 2**70)
    | st.floats()
    | st.text(max_size=30)
    | st.sampled_from([HUGE_B64, HUGE_JUNK])
)
json_values = st.recursive(
    scalars,
    lambda kids: (
        st.lists(kids, max_size=4) | st.dictionaries(st.sampled_from(KEYS) | st.text(max_size=6), kids, max_size=5)
    ),
    max_leaves=20,
)


def weighted(*choices: tuple[int, st.SearchStrategy[Any]]) -> st.SearchStrategy[Any]:
    """One of the strategies, picked in proportion to its weight (one_of would treat repeats of
    one strategy as a single branch). Shrinking moves towards the first choice."""
    table = [strategy for weight, strategy in choices for _ in range(weight)]
    return st.integers(0, len(table) - 1).flatmap(lambda i: table[i])


valid_b64 = st.sampled_from([B64, base64.b64encode(b"GIF89a" + bytes(range(40))).decode(), "QUJD"])
base64_texts = weighted(
    (3, valid_b64),
    (1, st.sampled_from(["", "abc", "QUJ", "====", "!!!", B64[:-1], HUGE_B64, HUGE_JUNK])),
    (1, st.text(alphabet=string.ascii_letters + string.digits + "+/=-_ \n", max_size=24)),
)
links = weighted((3, st.sampled_from(LINKS)), (1, st.text(max_size=12)))


def or_anything(strategy: st.SearchStrategy[Any]) -> st.SearchStrategy[Any]:
    """Mostly the near-valid shape, sometimes any JSON value in its place (a wrong type at
    this level)."""
    return weighted((9, strategy), (1, json_values))


def record(
    required: dict[str, st.SearchStrategy[Any]] | None = None, **optional: st.SearchStrategy[Any]
) -> st.SearchStrategy[dict[str, Any]]:
    return st.fixed_dictionaries(required or {}, optional=optional)


inline_blobs = or_anything(record({"data": or_anything(base64_texts)}, mimeType=st.just("image/png")))
gemini_parts = or_anything(
    st.one_of(
        record({"text": st.text(max_size=8)}),
        record({"inlineData": inline_blobs}),
        record({"inlineData": inline_blobs}),
        record({"inline_data": inline_blobs}),
        record({"inlineData": st.just({}), "inline_data": inline_blobs}),
        record({"fileData": or_anything(record({"fileUri": or_anything(links)}, mimeType=st.just("image/png")))}),
    )
)
gemini_contents = or_anything(
    record({"parts": or_anything(st.lists(gemini_parts, min_size=1, max_size=4))}, role=st.just("model"))
)
gemini_candidates = or_anything(
    record({"content": gemini_contents}, finishReason=or_anything(st.sampled_from(FINISH)), index=st.integers(0, 3))
)
gemini_replies = or_anything(
    record(
        {"candidates": or_anything(st.lists(gemini_candidates, min_size=1, max_size=3))}, responseId=st.text(max_size=8)
    )
)
gemini_refusals = record(
    {"candidates": st.lists(record(finishReason=or_anything(st.sampled_from(FINISH))), max_size=3)}
)

image_items = or_anything(
    st.one_of(
        record({"b64_json": or_anything(base64_texts)}, revised_prompt=st.text(max_size=8)),
        record({"url": or_anything(links)}),
        record(b64_json=or_anything(base64_texts), url=or_anything(links)),
    )
)
images_replies = or_anything(
    record({"data": or_anything(st.lists(image_items, min_size=1, max_size=3))}, created=st.integers(0, 2**31))
)

error_bodies = or_anything(
    record(error=or_anything(record(message=json_values, code=st.integers(400, 599), status=st.text(max_size=8))))
)
statuses = weighted(
    (3, st.just(200)), (1, st.sampled_from([201, 204, 400, 401, 404, 429, 500, 503, "200", 200.0, None, True, 599]))
)


def json_error() -> BaseException:
    return requests.exceptions.JSONDecodeError("Expecting value", "<html>", 0)


TRANSPORT = {
    "ReadTimeout": lambda: requests.exceptions.ReadTimeout("read timed out"),
    "ConnectionError": lambda: requests.exceptions.ConnectionError("refused"),
    "ChunkedEncodingError": lambda: requests.exceptions.ChunkedEncodingError("cut"),
    "OSError": lambda: OSError("reset"),
}


@dataclass(frozen=True)
class Exchange:
    """One HTTP exchange as the fake client plays it."""

    status: Any
    body: Any
    json_fails: Callable[[], BaseException] | None
    transport: str | None  # the name of an exception that post raises instead

    def http(self) -> FakeHttpClient:
        if self.transport:
            return FakeHttpClient(raises(TRANSPORT[self.transport]))
        return FakeHttpClient(FakeResponse(self.status, self.body, json_error=self.json_fails))


def exchanges(success_bodies: st.SearchStrategy[Any]) -> st.SearchStrategy[Exchange]:
    @st.composite
    def build(draw: st.DrawFn) -> Exchange:
        status = draw(statuses)
        body = draw(success_bodies if status == 200 else st.one_of(error_bodies, json_values))
        fails = draw(st.sampled_from([None, None, None, None, json_error, lambda: ValueError("not json")]))
        transport = draw(st.sampled_from([None] * 12 + list(TRANSPORT)))
        return Exchange(status, body, fails, transport)

    return build()


# ---- the twins as the oracle ----


def link_of(result: Any) -> Any:
    """The link a Gemini success carries when its picture could not be fetched."""
    return result.data if isinstance(result.data, str) else None


# For each client: the replies of its API, and generate_image's arguments.
REPLIES = {"sorvanel": gemini_replies | gemini_refusals, "tovarin": images_replies}
GENERATE_ARGS: dict[str, tuple[str, ...]] = {"sorvanel": ("a cat",), "tovarin": ("a cat", "1:1", "high", "1k")}


def generate_then_start(kind: str) -> Callable[[Any], tuple[Any, Any]]:
    return lambda client: (
        client.generate_image(*GENERATE_ARGS[kind], task_id="t", model_key="k"),
        client.start("a cat", task_id="t", model_key="k"),
    )


# ---- reply properties ----


@pytest.mark.parametrize("kind", NAMES)
@FUZZ
@given(data=st.data())
def test_answers_any_reply_as_the_twin_does(kind: str, data: st.DataObject) -> None:
    exchange = data.draw(exchanges(REPLIES[kind]))
    EXAMPLES_RUN[f"{kind} replies"] += 1
    native = twin_agrees(BY_NAME[kind], generate_then_start(kind), exchange.http, ferrimo=fake_ferrimo, token=SECRET)
    assert not native.raised, native.outcome
    for result in native.outcome:
        assert_result(result, link=link_of(result))
    assert_no_secret(*native.outcome, *native.records)


# ---- reference images ----


# Names in the folder of the `files` fixture, and places that exist but cannot be read as a file.
FILE_NAMES = "ref.png other.bin empty.bin folder missing.png locked.png . .. /proc/self/mem".split() + [""]
REFERENCE_LINKS = "http://img.test/a.png https://img.test/b https://img.test/none http://img.test/raise".split()
REFERENCE_LINKS += ["HTTP://img.test/a", "ftp://img.test/a", "http:/img.test"]
reference_leaves = st.one_of(
    st.binary(max_size=12),
    st.builds(BytesSub, st.binary(max_size=8)),
    st.builds(bytearray, st.binary(max_size=8)),
    st.binary(max_size=8).map(lambda data: memoryview(data)),
    st.sampled_from(FILE_NAMES),
    st.sampled_from(REFERENCE_LINKS),
    st.builds(StrSub, st.sampled_from(FILE_NAMES + REFERENCE_LINKS)),
    st.text(alphabet=string.ascii_letters + ".-_ ", max_size=8),
    st.none(),
    st.integers(),
    st.tuples(st.binary(max_size=4)),
    st.builds(PurePosixPath, st.sampled_from(FILE_NAMES[:3])),
    st.dictionaries(st.text(max_size=3), st.binary(max_size=3), max_size=2),
)
reference_files = st.one_of(
    reference_leaves, st.recursive(reference_leaves, lambda kids: st.lists(kids, max_size=5), max_leaves=10)
)


# A reply each API accepts, so that the gathered images are what the request shows.
ACCEPTED = {
    "sorvanel": {"candidates": [{"content": {"parts": [{"inlineData": {"data": B64}}]}}]},
    "tovarin": {"data": [{"b64_json": B64}]},
}


def posted_gemini_images(http: FakeHttpClient) -> list[bytes]:
    assert http.last is not None
    parts = http.last[1]["json"]["contents"][0]["parts"]
    return [base64.b64decode(part["inlineData"]["data"]) for part in parts[1:]]


def posted_form_images(http: FakeHttpClient) -> list[bytes]:
    assert http.last is not None
    kwargs = http.last[1]
    if "json" in kwargs:
        return []
    assert [name for name, _ in kwargs["files"]] == ["image"] * len(kwargs["files"])
    return [image for _, image in kwargs["files"]]


POSTED_IMAGES = {"sorvanel": posted_gemini_images, "tovarin": posted_form_images}


@pytest.mark.parametrize("kind", NAMES)
@FUZZ
@given(references=reference_files)
def test_gathers_the_reference_images_the_twin_gathers(files: Files, kind: str, references: Any) -> None:
    EXAMPLES_RUN[f"{kind} reference images"] += 1
    with contextlib.chdir(files.root):
        native = twin_agrees(
            BY_NAME[kind],
            lambda client: client.start("a cat", files=references),
            lambda: FakeHttpClient(FakeResponse(200, ACCEPTED[kind])),
            ferrimo=fake_ferrimo,
            token=SECRET,
        )
    assert not native.raised, native.outcome
    assert_result(native.outcome)
    assert_no_secret(native.outcome, *native.records)


# ---- files that exist but cannot be read, and links through the real download tool ----


@pytest.mark.parametrize("kind", NAMES)
@pytest.mark.parametrize("where", ["folder", "proc-mem", "locked"])
def test_an_existing_path_that_cannot_be_read_is_service_busy(
    files: Files, kind: str, where: str, http_fake: FakeHttpClient
) -> None:
    if where == "locked" and os.geteuid() == 0:
        pytest.skip("root reads a file without permissions; /proc/self/mem covers an unreadable path here")
    path = {"folder": files.folder, "proc-mem": "/proc/self/mem", "locked": files.locked}[where]
    logger = RecordingLogger()
    result = make_client(kind, logger=logger).start("a cat", files=[PNG, path])
    assert (result.code, result.msg, http_fake.last) == (ErrorCode.SERVICE_BUSY, None, None)
    [failure] = logger.records
    assert failure["msg"].endswith(("IsADirectoryError warning", "OSError warning", "PermissionError warning"))


def test_links_download_through_the_real_tool(emulator: Any, http_fake: FakeHttpClient, closed_port_url: str) -> None:
    """Links served by the emulator, fetched by the real ferrimo: the bytes arrive unchanged, a
    missing picture (404) adds nothing, a refused connection fails the call."""
    generations = f"{emulator.base_url}/v1/images/generations"
    request = {"prompt": "ref", "response_format": "url"}
    reply = requests.post(generations, timeout=30, headers={"Authorization": "Bearer x"}, json=request)
    png_link = reply.json()["data"][0]["url"]
    picture = requests.get(png_link, timeout=30).content
    missing = f"{emulator.base_url}/files/missing-0.png"
    for kind in NAMES:
        make_client(kind).start("a cat", files=[png_link, missing, PNG])
        assert POSTED_IMAGES[kind](http_fake) == [picture, PNG]
        http_fake.calls.clear()
        refused = make_client(kind).start("a cat", files=[f"{closed_port_url}/x.png"])
        assert (refused.code, http_fake.last) == (ErrorCode.SERVICE_BUSY, None)
