"""Shared pieces of the reliability tests: the shared doubles (tests/doubles.py) set up for a
thousand calls, checks that prove the bearer token never leaks, and an emulator in its own process. The
fixtures that use them are in conftest.py.

The doubles keep nothing per call (no growing lists) unless asked, so that a loop of a thousand
calls leaves the interpreter's reference and block counts where they were.
"""

from __future__ import annotations

import contextlib
import io
import os
import re
import shutil
import signal
import subprocess
import sys
import traceback
from collections.abc import Iterator
from dataclasses import dataclass
from types import ModuleType
from typing import Any

import requests

import doubles
from clients.kinds import BY_NAME
from dolvex import ErrorCode, ServiceResult
from doubles import DiscardingLogger, image_bytes

# The bearer token of every client in these tests; it must never show up in a record, a result
# or an exception.
SECRET = "rel-SECRET-0d9c41f7"
PNG = image_bytes()

DEBUG_BUILD = hasattr(sys, "gettotalrefcount")
UNDER_ASAN = "libasan" in os.environ.get("LD_PRELOAD", "")

# Figures the tests report (calls made, faults injected, counts measured), by section; printed
# in the terminal summary of the session.
FIGURES: dict[str, list[str]] = {}


def report(section: str, line: str) -> None:
    FIGURES.setdefault(section, []).append(line)


def text_of(value: Any) -> str:
    """Everything a reader could see of a value: its repr and, for an exception, its message,
    notes, chained exceptions and traceback."""
    if isinstance(value, BaseException):
        return "".join(traceback.format_exception(value)) + repr(getattr(value, "__notes__", None))
    return repr(value)


def assert_no_secret(*values: Any) -> None:
    for value in values:
        assert SECRET not in text_of(value), f"bearer token leaked in {type(value).__name__}"


# ---- results ----


def assert_result(result: Any, *, link: Any = None) -> None:
    """A result is a failure with one of the five codes, or a success carrying bytes; a
    Gemini file reference that could not be fetched succeeds with the link itself (`link`)."""
    assert type(result) is ServiceResult, repr(result)
    if result.ok:
        assert type(result.data) is bytes or (link is not None and result.data == link), repr(result)
    else:
        assert result.code in set(ErrorCode), repr(result)
        assert result.data is None


def prompt_of(picture: bytes) -> str:
    """The prompt the emulator wrote into a picture it drew (Pillow imported here: the tests that
    read the emulator's pictures are the only ones here that need it)."""
    from PIL import Image

    with Image.open(io.BytesIO(picture)) as image:
        return image.text["prompt"]  # type: ignore[attr-defined]


# ---- the download tool, installed as a module global ----


def fake_download(url: Any) -> io.BytesIO | None:
    """What `ferrimo.ImageTool.get_img_url_io` does, decided by the link alone: a non-http(s)
    value raises like requests does, a link naming "none" gives nothing, "raise" fails the
    transfer, any other link gives bytes derived from it."""
    if not isinstance(url, str) or not url.startswith(("http://", "https://")):
        raise requests.exceptions.InvalidURL(f"no usable link: {url!r}")
    if "raise" in url:
        raise requests.exceptions.ConnectionError("connection refused")
    if "none" in url:
        return None
    return io.BytesIO(b"downloaded:" + url.encode("utf-8", "surrogatepass"))


def fake_ferrimo() -> ModuleType:
    """A `ferrimo` whose download is decided by the link alone and keeps nothing per call."""
    return doubles.fake_ferrimo(other=fake_download, record=False)


def make_client(
    kind: str, base_url: str = "http://api.test", logger: Any = None, module: ModuleType | None = None
) -> Any:
    """A client of the native module of that kind, or of the same class in `module` (a twin)."""
    cls = getattr(module or BY_NAME[kind].module, BY_NAME[kind].class_name)
    return cls(base_url, SECRET, logger=logger if logger is not None else DiscardingLogger())


# ---- the emulator, in a process of its own ----


@dataclass
class Emulator:
    base_url: str
    process: subprocess.Popen[str]


def _release_python() -> str:
    """The release interpreter: the emulator is not what is being checked, and a debug or
    sanitizer interpreter would only slow it down."""
    if DEBUG_BUILD:
        return shutil.which("python3.14") or shutil.which("python3") or sys.executable
    return sys.executable


def _emulator_env() -> dict[str, str]:
    import corvessa_emulator

    env = {
        k: v
        for k, v in os.environ.items()
        if k not in ("LD_PRELOAD", "PYTHONMALLOC", "ASAN_OPTIONS", "LSAN_OPTIONS", "UBSAN_OPTIONS")
    }
    source = os.path.dirname(os.path.dirname(corvessa_emulator.__file__))
    env["PYTHONPATH"] = os.pathsep.join(filter(None, [source, os.environ.get("PYTHONPATH")]))
    env["NO_PROXY"] = env["no_proxy"] = "127.0.0.1,localhost"
    # Thousands of calls read prompts and records, never pixels: the emulator draws small ones.
    env[corvessa_emulator.SMALL_PICTURES_VARIABLE] = "1"
    return env


@contextlib.contextmanager
def emulator_process() -> Iterator[Emulator]:
    """`python -m corvessa_emulator` on a free port, stopped with Ctrl-C when the block ends."""
    process = subprocess.Popen(
        [_release_python(), "-m", "corvessa_emulator", "--quiet"],
        env=_emulator_env(),
        stdout=subprocess.PIPE,
        stderr=subprocess.DEVNULL,
        text=True,
    )
    try:
        assert process.stdout is not None
        line = process.stdout.readline()
        match = re.search(r"http://127\.0\.0\.1:\d+", line)
        assert match, f"emulator did not start: {line!r}"
        yield Emulator(match.group(0), process)
    finally:
        process.send_signal(signal.SIGINT)
        try:
            process.wait(timeout=10)
        except subprocess.TimeoutExpired:
            process.kill()
            process.wait()
        if process.stdout is not None:
            process.stdout.close()
