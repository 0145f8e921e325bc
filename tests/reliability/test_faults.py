"""Transport and reply faults through the package's real HTTP client.

The emulator produces most faults from tokens in the prompt; a raw socket server produces the
two that need control of the connection itself (a server that accepts and never answers, a
connection reset by the peer in the middle of the body). Every fault is injected several times
into both clients. For each: the call returns (no crash, nothing raised), the result has the
code below, no record carries the token, and repeating the fault does not grow the process:
its resident size stays put (a retained 50 MB reply would show at once), and under the debug
interpreter the reference total stays put too.

Codes, and why:
- hang (the emulator delays, or a raw server never answers) and slow drip with a read time-out
  shorter than the gap between pieces: the HTTP client raises ReadTimeout -> SERVICE_TIMEOUT.
- slow drip with a read time-out longer than the gaps: every piece arrives in time -> success.
- reset in the middle of the body (the emulator closes after half the announced length, or a
  raw server resets the connection): requests raises ChunkedEncodingError, an ordinary
  exception -> SERVICE_BUSY ("ChunkedEncodingError error" as the Gemini client's message).
- truncated JSON, and 200 with an HTML body: json() raises JSONDecodeError -> SERVICE_BUSY.
- a 50 MB reply body (the PNG padded with 50 MiB): decoded like any other -> success, the whole
  picture with its prompt chunk.
- 429: the Gemini client's busy status -> SERVICE_BUSY with the service's message; the images
  client treats it like any other status -> IMAGE_GENERATE_FAIL.
- 500 with a JSON error, 503 with an HTML page -> IMAGE_GENERATE_FAIL (the service's message, or
  "service status_code: 503" when the body is not JSON).
- a content refusal: Gemini answers 200 without an image -> NO_IMAGE_RESULT "Picture
  prohibition-IMAGE_SAFETY"; the images API answers 400 -> IMAGE_GENERATE_FAIL.
- a link whose picture is gone (404): the download gives nothing; the Gemini client then
  succeeds with the link itself as data, the images client answers NO_IMAGE_RESULT.
- a refused connection -> SERVICE_BUSY ("ConnectionError error").
"""

from __future__ import annotations

import gc
import itertools
import socket
import struct
import sys
import threading
import time
from collections.abc import Callable
from dataclasses import dataclass
from typing import Any

import pytest

from clients.kinds import NAMES
from dolvex import ErrorCode
from doubles import RawServer, RecordingLogger, read_request, unused_loopback_url, wait_for_hangup
from harness import bounded

from .support import DEBUG_BUILD, UNDER_ASAN, assert_no_secret, assert_result, make_client, prompt_of, report

ANY = object()
BIG = 50 << 20
# Resident growth allowed over the repeated calls of one fault, after two warm-up calls: far
# less than one retained 50 MB body, far more than allocator and connection-pool churn.
RSS_SLACK = 40 << 20
# Reference-total growth allowed over the repeated calls, after warm-up. Measured: 0 to 35 for
# most faults, and about 11 per call for the link faults, because every link names a new file
# and urllib.parse keeps the last 128 distinct URLs it split (an lru_cache; ferrimo alone shows
# the same). A leaked reply, response or exception holds hundreds of references per call.
REFS_SLACK = 200
_ids = itertools.count()


@dataclass(frozen=True)
class Outcome:
    code: ErrorCode | None
    msg: Any = ANY
    min_size: int = 0  # for a success: the least number of bytes of the picture
    link: bool = False  # a success carrying the link of a picture that could not be fetched


OK = Outcome(None)


def reset_in_body(conn: socket.socket, closing: threading.Event) -> None:
    """Head and part of the announced body, then a reset (SO_LINGER 0) instead of the rest."""
    read_request(conn)
    conn.sendall(
        b"HTTP/1.1 200 OK\r\nContent-Type: application/json\r\nContent-Length: 4096\r\n\r\n"
        b'{"candidates": [{"content": {"parts": [' + b" " * 512
    )
    closing.wait(0.05)
    conn.setsockopt(socket.SOL_SOCKET, socket.SO_LINGER, struct.pack("ii", 1, 0))


def never_answer(conn: socket.socket, closing: threading.Event) -> None:
    """Reads the request, then says nothing until the client gives up and hangs up."""
    read_request(conn)
    wait_for_hangup(conn, closing)


@dataclass(frozen=True)
class Fault:
    id: str
    token: str  # the emulator's token in the prompt; unused for a raw server
    timeout: float
    sorvanel: Outcome
    tovarin: Outcome
    raw: Callable[[socket.socket, threading.Event], None] | None = None
    calls: int = 6
    refused: bool = False  # nothing listens at all


BUSY = ErrorCode.SERVICE_BUSY
SILENT_BUSY = Outcome(BUSY, None)  # the images client's busy failure carries no message
CUT = Outcome(BUSY, "ChunkedEncodingError error")
NOT_JSON = Outcome(BUSY, "JSONDecodeError error")
FAIL = Outcome(ErrorCode.IMAGE_GENERATE_FAIL)
FAIL_503 = Outcome(ErrorCode.IMAGE_GENERATE_FAIL, "service status_code: 503")
TIMEOUT = Outcome(ErrorCode.SERVICE_TIMEOUT, None)
SAFETY = Outcome(ErrorCode.NO_IMAGE_RESULT, "Picture prohibition-IMAGE_SAFETY")
FAULTS = [
    Fault("hang-delay", "[[delay:3]]", 0.3, TIMEOUT, TIMEOUT),
    Fault("hang-raw", "", 0.3, TIMEOUT, TIMEOUT, raw=never_answer),
    Fault("reset-mid-body-emulator", "[[fault:disconnect]]", 10, CUT, SILENT_BUSY),
    Fault("reset-mid-body-raw", "", 10, CUT, SILENT_BUSY, raw=reset_in_body),
    Fault("truncated-json", "[[fault:truncated]]", 10, NOT_JSON, SILENT_BUSY),
    Fault("html-200", "[[fault:not-json]]", 10, NOT_JSON, SILENT_BUSY),
    Fault("body-50mb", "[[big:50]]", 60, Outcome(None, min_size=BIG), Outcome(None, min_size=BIG)),
    Fault("slow-drip-in-time", "[[drip:1]]", 10, OK, OK, calls=3),
    Fault("slow-drip-too-slow", "[[drip:4]]", 0.05, TIMEOUT, TIMEOUT),
    Fault("status-429", "[[fault:429]]", 10, Outcome(BUSY), FAIL),
    Fault("status-500", "[[fault:500]]", 10, FAIL, FAIL),
    Fault("status-503-html", "[[fault:503:html]]", 10, FAIL_503, FAIL_503),
    Fault("refusal", "[[fault:safety]]", 10, SAFETY, FAIL),
    Fault("link-gone", "[[fault:broken-link]]", 10, Outcome(None, link=True), Outcome(ErrorCode.NO_IMAGE_RESULT, None)),
    Fault("link-downloaded", "[[file]]", 10, OK, OK),
    Fault("connection-refused", "", 5, Outcome(BUSY, "ConnectionError error"), SILENT_BUSY, refused=True),
]


def resident_bytes() -> int:
    with open("/proc/self/statm") as statm:
        return int(statm.read().split()[1]) * 4096


def check_outcome(result: Any, expected: Outcome, prompt: str, base_url: str) -> None:
    if expected.code is not None:
        assert_result(result)
        assert result.code is expected.code, result
        assert expected.msg is ANY or result.msg == expected.msg, result
        return
    if expected.link:
        # A Gemini link whose download gave nothing: the link itself, pointing at the emulator.
        assert result.ok and type(result.data) is str and result.data.startswith(base_url + "/files/"), result
        return
    assert_result(result)
    assert result.ok and len(result.data) >= expected.min_size, result
    assert prompt_of(result.data) == prompt


@pytest.mark.parametrize("kind", NAMES)
@pytest.mark.parametrize("fault", FAULTS, ids=[f.id for f in FAULTS])
def test_fault_gives_its_code_and_leaves_nothing_behind(
    fault: Fault, kind: str, emulator: Any, raw_server: Callable[..., RawServer]
) -> None:
    server = raw_server(fault.raw) if fault.raw is not None else None
    if server is not None:
        base_url = server.url
    else:
        base_url = unused_loopback_url() if fault.refused else emulator.base_url
    logger = RecordingLogger()
    client = make_client(kind, base_url=base_url, logger=logger)
    expected: Outcome = getattr(fault, kind)  # a client without its outcome fails here

    def inject() -> None:
        prompt = f"fault {fault.id} {next(_ids)} {fault.token}"
        result = client.start(prompt, timeout=fault.timeout, task_id=prompt)
        check_outcome(result, expected, prompt, base_url)
        assert_no_secret(result, *logger.records)
        logger.calls.clear()
        # The raw server's handler of this call is done too, so its thread is not counted.
        assert server is None or server.wait_idle()

    for _ in range(2):
        inject()
    gc.collect()
    rss, refs = resident_bytes(), sys.gettotalrefcount() if DEBUG_BUILD else 0
    started = time.monotonic()
    calls = bounded(fault.calls, min(fault.calls, 3))
    for _ in range(calls):
        inject()
    gc.collect()
    rss_growth = resident_bytes() - rss
    ref_growth = sys.gettotalrefcount() - refs if DEBUG_BUILD else 0
    report(
        "faults injected (client, fault: calls, resident growth, reference growth, seconds)",
        f"{kind:8} {fault.id:26} {calls + 2:3} calls  rss {rss_growth / 2**20:+7.1f} MiB  "
        f"refs {ref_growth:+6d}  {time.monotonic() - started:5.1f} s",
    )
    if not UNDER_ASAN:  # the sanitizer's quarantine keeps freed memory resident on purpose
        assert rss_growth < RSS_SLACK, f"{rss_growth} bytes more resident after {calls} calls"
    if DEBUG_BUILD:
        assert ref_growth < REFS_SLACK, f"{ref_growth} references more after {calls} calls"
