"""What every test folder shares besides the doubles: the CI tier a run belongs to, and a fresh
interpreter to run code in.

- `INSTRUMENTED`: the run is a leg under instrumentation (tools/check-leaks, tools/check-sanitizers
  set CORVESSA_INSTRUMENTED=1). Such a leg skips what instrumentation cannot improve and bounds
  its I/O (see `bounded`); the release leg runs everything at full size.
- `run_fresh`: code in a new interpreter process, for process-wide rules (module statics start
  unset, one interpreter per process) and for measurements a test must not disturb.
- `UNSENDABLE_IN_HEADERS`: characters that must never reach the wire in a header value, which a
  token read from a file or pasted from a web page or a chat may carry.
"""

from __future__ import annotations

import json
import os
import subprocess
import sys
import textwrap
from pathlib import Path
from typing import Any

INSTRUMENTED = os.environ.get("CORVESSA_INSTRUMENTED") == "1"

TESTS = str(Path(__file__).resolve().parent)

# Line breaks, the other control characters, and characters beyond ASCII, by name.
UNSENDABLE_IN_HEADERS = {
    "line-feed": "\n",
    "carriage-return": "\r",
    "nul": "\0",
    "tab": "\t",
    "vertical-tab": "\v",
    "escape": "\x1b",
    "delete": "\x7f",
    "c1-next-line": "\x85",
    "no-break-space": "\u00a0",
    "latin-1-letter": "é",
    "curly-quote": "\u2019",
    "zero-width-space": "\u200b",
    "emoji": "\U0001f511",
}


def bounded(release: int, instrumented: int) -> int:
    """A count of calls: the release leg's, or the smaller one of an instrumented leg."""
    return instrumented if INSTRUMENTED else release


def run_fresh(code: str, *argv: str, flags: tuple[str, ...] = ()) -> list[Any]:
    """Runs `code` (dedented) in a new interpreter with the tests folder importable (the twins,
    the doubles) and `argv` as its arguments; each line it prints is a JSON value. A non-zero
    exit, a crash at shutdown included, fails the test with the child's stderr."""
    env = dict(os.environ, PYTHONPATH=os.pathsep.join(filter(None, [TESTS, os.environ.get("PYTHONPATH")])))
    done = subprocess.run(
        [sys.executable, "-X", "faulthandler", *flags, "-c", textwrap.dedent(code), *argv],
        capture_output=True,
        text=True,
        timeout=300,
        env=env,
    )
    assert done.returncode == 0, done.stderr
    return [json.loads(line) for line in done.stdout.splitlines()]
