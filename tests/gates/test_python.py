"""The Python half keeps the C++ half's gates: one format and lint over every Python folder
(ruff, configured in pyproject.toml), and strict types over the packages and the benchmarks
(mypy --strict)."""

import shutil
import subprocess
import sys
from importlib.util import find_spec
from pathlib import Path

import pytest

from harness import TESTS

ROOT = Path(TESTS).parent


def run(*command: str) -> subprocess.CompletedProcess[str]:
    return subprocess.run(command, cwd=ROOT, capture_output=True, text=True, timeout=300)


@pytest.mark.skipif(shutil.which("ruff") is None, reason="ruff is not installed")
@pytest.mark.parametrize("command", [("check",), ("format", "--check")], ids=["lint", "format"])
def test_ruff_finds_nothing(command: tuple[str, ...]) -> None:
    done = run("ruff", *command, "--no-cache")
    assert done.returncode == 0, done.stdout + done.stderr


@pytest.mark.skipif(find_spec("mypy") is None, reason="mypy is not installed")
def test_mypy_strict_finds_nothing(tmp_path: Path) -> None:
    done = run(sys.executable, "-m", "mypy", "--no-incremental", "--cache-dir", str(tmp_path))
    assert done.returncode == 0, done.stdout + done.stderr
