"""Running corvessa-image as a real process; most cases need the native client modules.

Tests marked `browser` render a page in headless Chromium; they skip themselves where Chromium is
missing or the run is instrumented (a sanitizer preload, the debug interpreter), and a CI leg may
deselect them with -m "not browser"."""

from __future__ import annotations

import importlib
import io
import os
import subprocess
import sys
from collections.abc import Iterator
from pathlib import Path
from typing import Any

import pytest
from PIL import Image

from corvessa_emulator import EmulatorServer, serve


def _importable(module: str) -> bool:
    try:
        importlib.import_module(module)
    except ImportError:
        return False
    return True


NATIVE = {client: _importable(f"corvessa.image.{client}") for client in ("sorvanel", "tovarin")}


def needs(*clients: str) -> pytest.MarkDecorator:
    missing = [c for c in clients if not NATIVE[c]]
    return pytest.mark.skipif(bool(missing), reason=f"native module(s) not built yet: {', '.join(missing)}")


def with_client(client: str, *values: object) -> object:
    """A parametrize entry that is skipped while the client's native module is missing."""
    return pytest.param(client, *values, marks=needs(client), id=client)


def pytest_configure(config: pytest.Config) -> None:
    config.addinivalue_line("markers", "browser: renders a page in headless Chromium")


# What the tool says on stderr whenever the local emulator answered.
EMULATOR_NOTE = (
    b"corvessa-image: the local emulator answered, not a real service (no --base-url or "
    b"CORVESSA_BASE_URL given); its pictures are placeholders\n"
)


def tool_env(env: dict[str, str] | None = None) -> dict[str, str]:
    """The environment the tool runs in: the caller's, without the variables the tool reads
    (a developer's real service and token, a fixed time, the toolchain's folders), plus env."""
    own = {k: v for k, v in os.environ.items() if not k.startswith("CORVESSA_") and k != "SOURCE_DATE_EPOCH"}
    return own | (env or {})


def cli(
    *args: str,
    stdin: bytes | Any = b"",
    env: dict[str, str] | None = None,
    stdout: int = subprocess.PIPE,
    stderr: int = subprocess.PIPE,
    cwd: Path | None = None,
) -> subprocess.CompletedProcess[bytes]:
    """The installed tool in a subprocess; stdin is bytes or an open stream."""
    command = [sys.executable, "-m", "corvessa_cli", *args]
    feed = {"input": stdin} if isinstance(stdin, bytes) else {"stdin": stdin}
    return subprocess.run(command, **feed, stdout=stdout, stderr=stderr, env=tool_env(env), cwd=cwd, timeout=120)


def png(data: bytes) -> Image.Image:
    image = Image.open(io.BytesIO(data))
    assert image.format == "PNG"
    image.load()
    return image


def solid_png_file(path: Path, colour: tuple[int, int, int]) -> Path:
    Image.new("RGB", (64, 64), colour).save(path, format="PNG")
    return path


@pytest.fixture(scope="module")
def emulator() -> Iterator[EmulatorServer]:
    with serve() as server:
        yield server
