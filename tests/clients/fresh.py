"""Running code in a new interpreter: module statics start unset, and whatever the code does
before the first load is what the modules meet. The twins are importable there."""

from __future__ import annotations

import json
import os
import subprocess
import sys
import textwrap
from pathlib import Path
from typing import Any

TESTS = str(Path(__file__).resolve().parents[1])


def run_lines(code: str, *flags: str) -> list[Any]:
    """Runs `code` in a new interpreter; each line it prints is a JSON value. A non-zero exit
    (a crash included) fails the test with its stderr."""
    env = dict(os.environ, PYTHONPATH=os.pathsep.join(filter(None, [TESTS, os.environ.get("PYTHONPATH")])))
    done = subprocess.run([sys.executable, *flags, "-c", textwrap.dedent(code)], capture_output=True, text=True,
                          timeout=120, env=env)
    assert done.returncode == 0, done.stderr
    return [json.loads(line) for line in done.stdout.splitlines()]


def run(code: str, *flags: str) -> Any:
    """The last JSON value that `code` prints in a new interpreter."""
    return run_lines(code, *flags)[-1]
