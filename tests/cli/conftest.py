"""Running corvessa-image as a real process: against the emulator it starts itself, the session's
`emulator` (tests/conftest.py) or a loopback server.

Tests marked `browser` render a page in headless Chromium; they skip themselves where Chromium is
missing, the instrumented legs skip them (tests/conftest.py), and a CI leg may deselect them with
-m "not browser"."""

from __future__ import annotations

import os
import subprocess
import sys
from pathlib import Path
from typing import Any

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
    user: int | None = None,
) -> subprocess.CompletedProcess[bytes]:
    """The installed tool in a subprocess, as `user` when given (root only); stdin is bytes or an
    open stream."""
    command = [sys.executable, "-m", "corvessa_cli", *args]
    if user is not None:
        command = ["setpriv", f"--reuid={user}", f"--regid={user}", "--clear-groups", *command]
    feed = {"input": stdin} if isinstance(stdin, bytes) else {"stdin": stdin}
    return subprocess.run(command, **feed, stdout=stdout, stderr=stderr, env=tool_env(env), cwd=cwd, timeout=120)


def against(url: str, client: str = "tovarin", key: str = "k") -> list[str]:
    """The options that send the tool's request to the service at `url`."""
    return ["--client", client, "--base-url", url, "--api-key", key]
