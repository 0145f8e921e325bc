"""The one list of clients (kinds.py) against what the build made, the sources, the stubs, the
twins and the per-client catalogue of the reliability tests: a client added in one place and
forgotten in another fails here, not by being silently left out of a run."""

from __future__ import annotations

import re
from pathlib import Path

import corvessa.image

from harness import TESTS
from reliability.paths import PATHS

from .kinds import NAMES

TOP = Path(TESTS).parent
SOURCES = TOP / "src" / "corvessa" / "image"


def test_the_registry_names_every_client_built_written_stubbed_and_twinned() -> None:
    found = {
        "built": {path.name.split(".")[0] for folder in corvessa.image.__path__ for path in Path(folder).glob("*.so")},
        "sources": {path.name for path in SOURCES.iterdir() if path.is_dir()} - {"common"},
        "stubs": {path.stem for path in SOURCES.glob("*/*.pyi")},
        "twins": {path.stem.removesuffix("_py") for path in Path(TESTS, "twins").glob("*_py.py")},
        "result paths": {path.kind for path in PATHS},
    }
    assert found == dict.fromkeys(found, set(NAMES))


def test_the_build_and_check_scripts_name_no_client() -> None:
    """The scripts take whatever modules the build made: a new client needs no edit there."""
    client = re.compile(rf"\b({'|'.join(NAMES)})\b")
    scripts = [path for folder in ("tools", ".ci") for path in (TOP / folder).iterdir() if path.is_file()]
    named = [
        f"{path.name}: {line}"
        for path in scripts
        for line in path.read_text().splitlines()
        if client.search(line) and not line.lstrip().startswith("#")
    ]
    assert named == []
