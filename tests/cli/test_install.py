"""The tool installs beside a host's own dolvex, corvessa.config, ferrimo and tessaly.

A fresh virtual environment that already holds the host's versions of those modules (small
working ones made here, unlike the stand-ins in contracts/) gets the product, the emulator and
the tool, offline from this checkout; the host's files stay as they were, and corvessa-image
makes a picture through them.
"""

from __future__ import annotations

import subprocess
import sys
from pathlib import Path

from clients.kinds import NAMES

from .conftest import tool_env

ROOT = Path(__file__).resolve().parents[2]
# From this checkout only: nothing is fetched, nothing built in a sandbox of its own.
OFFLINE = "--quiet --no-index --no-build-isolation --no-deps --disable-pip-version-check".split()
HOST_PACKAGES = ("dolvex", "corvessa", "ferrimo", "tessaly")

HOST_MODULES = {
    "dolvex/__init__.py": """
import enum

class ErrorCode(enum.Enum):
    INVALID_PARAMS = "host-1"
    SERVICE_BUSY = "host-2"
    SERVICE_TIMEOUT = "host-3"
    IMAGE_GENERATE_FAIL = "host-4"
    NO_IMAGE_RESULT = "host-5"

class ServiceResult:
    def __init__(self, ok, data=None, code=None, msg=None):
        self.ok, self.data, self.code, self.msg = ok, data, code, msg

    @classmethod
    def success(cls, data):
        return cls(True, data=data)

    @classmethod
    def fail(cls, code, msg=None, message=None):
        return cls(False, code=code, msg=msg if message is None else message)
""",
    # The host's corvessa is a regular package; the product adds corvessa/image to it.
    "corvessa/__init__.py": '"""The host application\'s own package."""\n',
    "corvessa/config.py": """
from typing import Literal
import requests

_GeminiModel = Literal["gemini-3-pro-image-preview"]
_AspectRatio = Literal["1:1", "2:3"]
_SUPPORTED_MODELS = {"gemini-3-pro-image-preview"}
_SUPPORTED_RATIOS = {"1:1", "2:3"}

class _HostClient:
    base_timeout = 60

    def post(self, url, **options):
        return requests.post(url, **options)

http_client = _HostClient()
""",
    "ferrimo/__init__.py": """
import io
import requests

class ImageTool:
    @staticmethod
    def get_img_url_io(url):
        reply = requests.get(url, timeout=30)
        return io.BytesIO(reply.content) if reply.ok and reply.content else None
""",
    "tessaly/__init__.py": "",
    "tessaly/gpt_image.py": """
class GPTImageSizeCalculator:
    @staticmethod
    def calc_size(aspect_ratio, resolution):
        return {"width": 1024, "height": 1024}
""",
}


def host_files(site: Path) -> dict[str, bytes]:
    """Every file of the four host packages (or of a module of the same name), but the product's
    corvessa/image and compiled caches."""
    files = {}
    for path in site.rglob("*"):
        parts = path.relative_to(site).parts
        if (
            path.is_file()
            and parts[0].removesuffix(".py") in HOST_PACKAGES
            and parts[:2] != ("corvessa", "image")
            and "__pycache__" not in parts
        ):
            files["/".join(parts)] = path.read_bytes()
    return files


def run(*command: str | Path) -> subprocess.CompletedProcess[str]:
    done = subprocess.run([str(part) for part in command], capture_output=True, text=True, env=tool_env(), timeout=600)
    assert done.returncode == 0, f"{command}\n{done.stdout}\n{done.stderr}"
    return done


def test_tool_installs_beside_the_hosts_own_modules(tmp_path: Path) -> None:
    venv = tmp_path / "host"
    run(sys.executable, "-m", "venv", "--system-site-packages", "--without-pip", venv)
    python = venv / "bin" / "python"
    site = Path(run(python, "-c", "import sysconfig; print(sysconfig.get_paths()['purelib'])").stdout.strip())
    for name, text in HOST_MODULES.items():
        (site / name).parent.mkdir(parents=True, exist_ok=True)
        (site / name).write_text(text.lstrip())
    before = host_files(site)

    run(sys.executable, "-m", "pip", "--python", python, "install", *OFFLINE, ROOT, ROOT / "emulator", ROOT / "cli")
    for client in NAMES:
        picture = tmp_path / f"{client}.png"
        run(venv / "bin" / "corvessa-image", "generate", "a fox", "--client", client, "--out", picture)
        assert picture.read_bytes().startswith(b"\x89PNG\r\n\x1a\n")

    assert host_files(site) == before
    shown = run(python, "-c", "import corvessa.config, dolvex; print(corvessa.config.__file__, dolvex.__file__)")
    assert shown.stdout.split() == [str(site / "corvessa/config.py"), str(site / "dolvex/__init__.py")]
