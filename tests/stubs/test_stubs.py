"""The installed type stubs describe every built module. mypy's stubtest compares every name,
signature, default and staticmethod of the stubs with the modules; a snippet checked with mypy
--strict shows what stubtest does not look at: the stubs' types accept the right calls and
refuse wrong ones."""

import importlib.util
import subprocess
import sys
from pathlib import Path

import pytest

from clients.kinds import KINDS

pytestmark = pytest.mark.skipif(importlib.util.find_spec("mypy") is None, reason="mypy is not installed")

ALLOWLIST = Path(__file__).with_name("stubtest-allowlist.txt")

# Each wrong call must be reported with exactly the code it ignores: mypy --strict reports an
# ignore that is not needed, so a stub that accepts a wrong call fails the check.
SNIPPET = """
from corvessa.image.sorvanel import SorvanelClient
from corvessa.image.tovarin import TovarinClient
from dolvex import ServiceResult

gemini = SorvanelClient("http://127.0.0.1:1", "key", model_tag="T")
r1: ServiceResult = gemini.start("p", aspect_ratio="16:9", image_size="2K", files=[b"x", "a.png"], task_id="t")
r2: ServiceResult = gemini.generate_image("p", [b"x"], model="gemini-2.5-flash-image")
mime: str = SorvanelClient._detect_mime_type(b"\\x89PNG")
body: dict[str, object] = gemini._build_body_data("p")

images = TovarinClient("http://127.0.0.1:1", "key")
r3: ServiceResult = images.start("p", "1:1", "high", "1k", files=b"x", timeout=30)
r4: ServiceResult = images.generate_image("p", files=[("image", b"x")])
token: str = images.token

gemini.start(1)  # type: ignore[arg-type]
gemini.generate_image("p", ["not bytes"])  # type: ignore[list-item]
images.generate_image("p", files=[b"x"])  # type: ignore[list-item]
result: bytes = images.start("p")  # type: ignore[assignment]
images.api_key  # type: ignore[attr-defined]
"""


def mypy(tmp_path: Path, *args: str) -> subprocess.CompletedProcess[str]:
    return subprocess.run([sys.executable, "-m", *args], capture_output=True, text=True, cwd=tmp_path, timeout=300)


def test_stubs_match_the_built_modules(tmp_path: Path) -> None:
    done = mypy(tmp_path, "mypy.stubtest", "--allowlist", str(ALLOWLIST), *(kind.qualified for kind in KINDS))
    assert done.returncode == 0, done.stdout + done.stderr


def test_right_calls_pass_and_wrong_calls_are_reported(tmp_path: Path) -> None:
    (tmp_path / "snippet.py").write_text(SNIPPET)
    done = mypy(tmp_path, "mypy", "--strict", "--no-incremental", "--cache-dir", str(tmp_path / "cache"), "snippet.py")
    assert done.returncode == 0, done.stdout + done.stderr
