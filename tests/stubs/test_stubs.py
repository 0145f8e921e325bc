"""The installed type stubs describe both modules to mypy: right calls pass, wrong ones fail."""

import importlib.util
import subprocess
import sys
import textwrap

import pytest

pytestmark = pytest.mark.skipif(importlib.util.find_spec("mypy") is None, reason="mypy is not installed")

GOOD = """
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
"""

BAD = {
    "prompt_not_str": 'SorvanelClient("u", "k").start(1)',
    "bytes_list_items": 'SorvanelClient("u", "k").generate_image("p", ["not bytes"])',
    "tovarin_files_pairs": 'TovarinClient("u", "k").generate_image("p", files=[b"x"])',
    "result_is_not_bytes": 'x: bytes = TovarinClient("u", "k").start("p")',
    "no_api_key_attribute": 'TovarinClient("u", "k").api_key',
}


def run_mypy(tmp_path, source):
    path = tmp_path / "snippet.py"
    header = "from corvessa.image.sorvanel import SorvanelClient\nfrom corvessa.image.tovarin import TovarinClient\n"
    path.write_text(header + textwrap.dedent(source))
    return subprocess.run(
        [sys.executable, "-m", "mypy", "--strict", "--no-incremental", "--cache-dir", str(tmp_path / "cache"), str(path)],
        capture_output=True, text=True, cwd=tmp_path,
    )


def test_correct_calls_type_check(tmp_path):
    result = run_mypy(tmp_path, GOOD)
    assert result.returncode == 0, result.stdout + result.stderr


@pytest.mark.parametrize("source", BAD.values(), ids=BAD.keys())
def test_wrong_calls_are_reported(tmp_path, source):
    result = run_mypy(tmp_path, source)
    assert result.returncode == 1, result.stdout + result.stderr
    assert "snippet.py:3: error:" in result.stdout  # the bad line itself, nothing else
