"""The README's runnable example does what it says: run as it stands against the local emulator,
it writes both pictures into the folder it runs in."""

import re
import subprocess
import sys
from pathlib import Path

README = Path(__file__).resolve().parents[2] / "README.md"


def python_blocks() -> list[str]:
    return re.findall(r"```python\n(.*?)```", README.read_text(encoding="utf-8"), re.DOTALL)


def test_the_emulator_example_runs_as_written(tmp_path: Path) -> None:
    [example] = [block for block in python_blocks() if "from corvessa_emulator import serve" in block]
    done = subprocess.run([sys.executable, "-c", example], cwd=tmp_path, capture_output=True, text=True, timeout=120)
    assert done.returncode == 0, done.stderr
    assert done.stdout.splitlines() == ["wrote lighthouse.png", "wrote watercolour.png"]
    for name in ("lighthouse.png", "watercolour.png"):
        assert (tmp_path / name).read_bytes().startswith(b"\x89PNG\r\n\x1a\n")
