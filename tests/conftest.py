"""Fixtures over the shared test doubles (tests/doubles.py), the loopback HTTP server and the
raw socket server, for every test folder; what an instrumented leg of CI leaves out, and what an
interpreter leaves out when Debian builds a compiled package for another one only."""

from __future__ import annotations

import functools
import importlib
import sys
import threading
from collections.abc import Callable, Iterator
from pathlib import Path
from typing import TYPE_CHECKING, Any

import pytest

from clients.kinds import KINDS
from doubles import (
    Behaviour,
    CallRecorder,
    FakeHttpClient,
    LoopbackHTTPServer,
    LoopbackServer,
    RawServer,
    RecordingLogger,
    unused_loopback_url,
)
from harness import INSTRUMENTED, TESTS

if TYPE_CHECKING:
    from corvessa_emulator import EmulatorServer

# What the debug-interpreter and sanitizer legs skip, by place under tests/: instrumentation of
# the modules can find nothing there that the release leg does not. Tests marked `browser`
# (a page rendered in headless Chromium) are skipped there too.
NOT_INSTRUMENTED = {
    "stubs": "mypy and stubtest read the stubs; no native code runs",
    "gates": "ruff and mypy read the Python half; no native code runs",
    "docs": "the README's example draws full-size pictures with Pillow, whose font code the debug interpreter breaks",
    "cli/test_install.py": "installing a build runs no native code of ours",
    "emulator": "the emulator's own tests run no native code",
    "contracts": "the stand-ins of the host's packages are plain Python",
    "test_doubles.py": "the doubles' pictures are plain Python",
}
# ... but for what every leg checks: the stand-ins' bounds on what a server sends, which keep any
# run of the clients, instrumented or not, within memory and free of stray credentials.
EVERY_LEG = {"contracts/test_server_bounds.py"}


# What some tests need that Debian builds for its default interpreter only, by place: the module
# whose import shows it is there, and why the tests need it. On another interpreter (the cp315
# wheel's checks) the places whose module is missing are skipped before they are imported, and
# so is every test that takes the `emulator` fixture when Pillow is missing. Everything about the
# native modules runs there: the doubles make their pictures without Pillow.
PILLOW = "PIL.Image"
NEEDS = {
    "emulator": (PILLOW, "the emulator draws its pictures with Pillow"),
    "cli": (PILLOW, "the tool and the emulator it starts draw and read pictures with Pillow"),
    "reliability/test_threads.py": (PILLOW, "reads the emulator's pictures with Pillow"),
    "reliability/test_faults.py": (PILLOW, "reads the emulator's pictures with Pillow"),
    "test_doubles.py": (PILLOW, "compares the doubles' pictures with what Pillow reads"),
    "docs/test_readme.py": (PILLOW, "runs the README's example against the emulator"),
    "stubs": ("ast_serialize", "mypy parses through its compiled ast_serialize"),
    "gates": ("ast_serialize", "mypy parses through its compiled ast_serialize"),
}
PYTHON = f"Python {sys.version_info.major}.{sys.version_info.minor}"


@functools.cache
def _missing(module: str) -> bool:
    try:
        importlib.import_module(module)
    except ImportError:
        return True
    return False


def _by_place[T](path: Path, table: dict[str, T]) -> T | None:
    """The entry of `table` whose place (a folder or file under tests/) holds `path`."""
    place = Path(path).relative_to(TESTS)
    for prefix, entry in table.items():
        if place == Path(prefix) or Path(prefix) in place.parents:
            return entry
    return None


def _not_instrumented(item: pytest.Item) -> str | None:
    if item.get_closest_marker("browser"):
        return "page rendering in a browser runs no native code"
    if Path(item.path).relative_to(TESTS).as_posix() in EVERY_LEG:
        return None
    return _by_place(item.path, NOT_INSTRUMENTED)


def _lacking(path: Path) -> str | None:
    """Why the folder or module at `path` cannot run on this interpreter, if it cannot."""
    need = _by_place(path, NEEDS)
    if need is None or not _missing(need[0]):
        return None
    return f"no {need[0]} for {PYTHON}: {need[1]}"


class _Lacking(pytest.Collector):
    """Stands for a folder or module this interpreter cannot run: reported as one skip, never
    imported (nor is a folder's conftest.py)."""

    def collect(self) -> list[pytest.Item | pytest.Collector]:
        pytest.skip(_lacking(self.path) or "")


def _skipped_if_lacking(path: Path, parent: pytest.Collector) -> pytest.Collector | None:
    return _Lacking.from_parent(parent, name=path.name, path=path) if _lacking(path) else None


def pytest_collect_directory(path: Path, parent: pytest.Collector) -> pytest.Collector | None:
    return _skipped_if_lacking(path, parent)


def pytest_pycollect_makemodule(module_path: Path, parent: pytest.Collector) -> pytest.Collector | None:
    return _skipped_if_lacking(module_path, parent)


def pytest_report_header(config: pytest.Config) -> list[str]:
    lines = []
    for module in dict.fromkeys(module for module, _ in NEEDS.values()):
        if _missing(module):
            places = ", ".join(place for place, (need, _) in NEEDS.items() if need == module)
            emulator = " and every test of the emulator" if module == PILLOW else ""
            lines.append(f"no {module} for {PYTHON}: skipping {places}{emulator}")
    return lines


def pytest_collection_modifyitems(config: pytest.Config, items: list[pytest.Item]) -> None:
    for item in items:
        if INSTRUMENTED and (reason := _not_instrumented(item)) is not None:
            item.add_marker(pytest.mark.skip(reason=f"instrumented leg: {reason}"))
        elif _missing(PILLOW) and "emulator" in getattr(item, "fixturenames", ()):
            reason = f"no {PILLOW} for {PYTHON}: the emulator draws its pictures with Pillow"
            item.add_marker(pytest.mark.skip(reason=reason))


@pytest.fixture(autouse=True)
def _loopback_without_proxy(monkeypatch: pytest.MonkeyPatch) -> None:
    # A proxy configured in the environment must not capture loopback traffic.
    for name in ("no_proxy", "NO_PROXY"):
        monkeypatch.setenv(name, "127.0.0.1,localhost")


@pytest.fixture
def recording_logger() -> RecordingLogger:
    return RecordingLogger()


@pytest.fixture
def http_fake(monkeypatch: pytest.MonkeyPatch) -> FakeHttpClient:
    """A fresh HTTP client double (200 with an empty JSON object until told otherwise) as the
    global `http_client` of every client module and twin, so that no call leaves the process."""
    client = FakeHttpClient()
    for kind in KINDS:
        monkeypatch.setattr(kind.module, "http_client", client)
        monkeypatch.setattr(kind.twin, "http_client", client)
    return client


@pytest.fixture
def generate(client: Any) -> CallRecorder:
    """The `client` fixture's `generate_image`, replaced on the instance by a recorder that
    answers "generated"."""
    client.generate_image = recorder = CallRecorder("generated")
    return recorder


@pytest.fixture
def loopback() -> Iterator[LoopbackServer]:
    """A real HTTP server on 127.0.0.1 that records what it receives and answers with whatever
    reply a test routes to a path."""
    server = LoopbackHTTPServer()
    thread = threading.Thread(target=server.serve_forever, kwargs={"poll_interval": 0.05}, daemon=True)
    thread.start()
    yield server.state
    server.state.closing.set()
    server.shutdown()
    server.server_close()
    thread.join(timeout=5)


@pytest.fixture(scope="session")
def emulator() -> Iterator[EmulatorServer]:
    """The local emulator of both APIs, served on 127.0.0.1 in this process for the session."""
    from corvessa_emulator import serve  # it draws with Pillow: imported only where a test takes it

    with serve() as server:
        yield server


@pytest.fixture
def closed_port_url() -> str:
    """A loopback URL where nothing listens (the port was bound, then released)."""
    return unused_loopback_url()


@pytest.fixture
def raw_server() -> Iterator[Callable[[Behaviour], RawServer]]:
    """Starts raw socket servers with a given behaviour; all are closed after the test."""
    servers: list[RawServer] = []

    def start(behaviour: Behaviour) -> RawServer:
        servers.append(RawServer(behaviour))
        return servers[-1]

    yield start
    for server in servers:
        server.close()
