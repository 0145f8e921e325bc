"""The native base64 shortcuts give exactly what the standard functions give, errors included,
and step aside when a host replaces the module global or its functions."""

import base64
import types

import corvessa.image.sorvanel as sorvanel
import corvessa.image.tovarin as tovarin
import pytest
from hypothesis import example, given, settings
from hypothesis import strategies as st

from dolvex import ErrorCode
from doubles import FakeHttpClient, FakeResponse, RecordingLogger


def decode_through_client(text):
    reply = FakeResponse(200, {"data": [{"b64_json": text}]})
    logger = RecordingLogger()
    with pytest.MonkeyPatch.context() as patch:
        patch.setattr(tovarin, "http_client", FakeHttpClient(reply))
        result = tovarin.TovarinClient("http://127.0.0.1:9", "key", logger=logger).generate_image("p")
    return result, logger.records


def expected_decode(text):
    try:
        return base64.b64decode(text), None
    except Exception as error:  # the standard function's error is the reference
        return None, error


base64_texts = st.one_of(
    st.binary(max_size=64).map(lambda b: base64.b64encode(b).decode()),
    st.text(alphabet="ABCDabcd0123+/=\n -_*", max_size=40),
    st.text(max_size=20),  # non-ASCII included
)


@settings(max_examples=300, deadline=None)
@given(st.binary(max_size=300))
def test_encoding_matches_the_standard_text(data):
    part = sorvanel.SorvanelClient._bytes_to_part(data)
    assert part["inlineData"]["data"] == base64.b64encode(data).decode("utf-8")
    assert type(part["inlineData"]["data"]) is str


@settings(max_examples=300, deadline=None)
@given(base64_texts)
@example(None)  # not a str: the standard function's TypeError
def test_decoding_matches_the_standard_result_or_error(text):
    result, records = decode_through_client(text)
    decoded, error = expected_decode(text)
    if error is None:
        assert result.ok and result.data == decoded
    else:
        assert result.code is ErrorCode.SERVICE_BUSY
        raised = records[-1]["error"]
        assert type(raised) is type(error) and str(raised) == str(error)


def test_a_replaced_module_global_is_honoured(monkeypatch):
    calls = []

    spy = types.SimpleNamespace(
        b64encode=lambda data: calls.append(("encode", data)) or b"U1BZ",
        b64decode=lambda text: calls.append(("decode", text)) or b"spy",
    )
    monkeypatch.setattr(sorvanel, "base64", spy)
    monkeypatch.setattr(tovarin, "base64", spy)
    assert sorvanel.SorvanelClient._bytes_to_part(b"abc")["inlineData"]["data"] == "U1BZ"
    result, _ = decode_through_client("QUJD")
    assert result.data == b"spy"
    assert calls == [("encode", b"abc"), ("decode", "QUJD")]


@pytest.mark.parametrize("name", ["b64encode", "b64decode"])
def test_a_replaced_function_of_the_standard_module_is_honoured(monkeypatch, name):
    seen = []
    original = getattr(base64, name)
    monkeypatch.setattr(base64, name, lambda value: seen.append(value) or original(value))
    sorvanel.SorvanelClient._bytes_to_part(b"abc")
    decode_through_client("QUJD")
    assert seen == [b"abc" if name == "b64encode" else "QUJD"]
