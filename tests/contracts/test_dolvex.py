import dataclasses

import pytest

from dolvex import ErrorCode, ServiceResult


def test_error_code_has_the_five_members() -> None:
    names = "INVALID_PARAMS SERVICE_BUSY SERVICE_TIMEOUT IMAGE_GENERATE_FAIL NO_IMAGE_RESULT"
    assert {member.name for member in ErrorCode} == set(names.split())


def test_success_carries_data_and_no_code() -> None:
    result = ServiceResult.success(data=b"\x89PNG")
    assert (result.ok, result.code, result.msg, result.data) == (True, None, None, b"\x89PNG")


@pytest.mark.parametrize(
    ("keywords", "expected_msg"),
    [
        ({}, None),
        ({"msg": "service status_code: 500"}, "service status_code: 500"),
        ({"message": "Invalid model: x"}, "Invalid model: x"),
        ({"msg": None}, None),
        ({"msg": {"detail": 5}}, {"detail": 5}),  # a service's error text may be any JSON value
    ],
)
def test_fail_accepts_code_alone_or_either_message_spelling(keywords, expected_msg) -> None:
    result = ServiceResult.fail(code=ErrorCode.SERVICE_BUSY, **keywords)
    assert (result.ok, result.code, result.data) == (False, ErrorCode.SERVICE_BUSY, None)
    assert result.msg == result.message == expected_msg


@pytest.mark.parametrize(
    "keywords",
    [
        {"code": ErrorCode.SERVICE_BUSY, "msg": "a", "message": "b"},
        {"code": ErrorCode.SERVICE_BUSY, "msg": None, "message": None},
        {"code": None},  # would read as a success
        {"code": "SERVICE_BUSY"},
    ],
)
def test_fail_rejects_ambiguous_or_codeless_calls(keywords) -> None:
    with pytest.raises(TypeError):
        ServiceResult.fail(**keywords)


def test_results_are_immutable_values() -> None:
    result = ServiceResult.fail(code=ErrorCode.NO_IMAGE_RESULT)
    assert result == ServiceResult.fail(code=ErrorCode.NO_IMAGE_RESULT)
    with pytest.raises(dataclasses.FrozenInstanceError):
        result.code = None  # type: ignore[misc]


@pytest.mark.parametrize(
    ("result", "must_show"),
    [
        (ServiceResult.success(data=b"\0" * 5_000_000), "<bytes len=5000000>"),
        (ServiceResult.success(data=bytearray(3)), "<bytearray len=3>"),
        (ServiceResult.success(data="https://img.test/" + "a" * 100_000), "https://img.test/"),
        (
            ServiceResult.fail(code=ErrorCode.IMAGE_GENERATE_FAIL, msg="x" * 100_000),
            "code=ErrorCode.IMAGE_GENERATE_FAIL",
        ),
    ],
)
def test_repr_stays_short(result, must_show) -> None:
    text = repr(result)
    assert must_show in text
    assert len(text) < 200
