"""Reference and memory-block leaks of every result path, under the debug interpreter.

Each path runs WARMUP times (caches, linecache lines of the tracebacks, method caches and free
lists settle), then CALLS times between two readings of `sys.gettotalrefcount()` and
`sys.getallocatedblocks()`, each taken after `gc.collect()`. The same measurement of a call that
does nothing gives the harness's own share, which is subtracted. The measurement is made in
ROUNDS rounds and the smallest growth counts: a leak repeats in every round, noise does not.

TOLERANCE: a leak of one reference or one block per call shows as CALLS (1000) in every round.
What a sound path shows is noise that does not grow with the number of calls (5000 calls show
no more than 1000): 0 for almost every path, and up to about 20 in single rounds of the paths
that format a TypeError's traceback (a free list or cache that settles at its own pace). The
smallest of three rounds stays under 10 there; 20 keeps a margin of fifty to one to a leak.

Only meaningful when the modules are built against the debug interpreter's own headers (with
Py_DEBUG): an extension built for the release interpreter does not feed the total, and every
incref it makes would show as -1 per call. tools/check-leaks builds and runs them that way.
"""

from __future__ import annotations

import gc
import subprocess
import sys
from collections.abc import Callable, Iterator
from pathlib import Path
from typing import Any

import pytest

from .paths import PATHS, Files, ResultPath, check, run
from .support import DEBUG_BUILD, fake_ferrimo, module_globals, report

pytestmark = pytest.mark.skipif(not DEBUG_BUILD, reason="reference totals exist only in a debug interpreter")

WARMUP = 100
CALLS = 1000
ROUNDS = 3
TOLERANCE = 20

def counts() -> tuple[int, int]:
    gc.collect()
    return sys.gettotalrefcount(), sys.getallocatedblocks()


def growth(call: Callable[[], Any]) -> tuple[int, int]:
    for _ in range(WARMUP):
        call()
    refs, blocks = counts()
    for _ in range(CALLS):
        call()
    after_refs, after_blocks = counts()
    return after_refs - refs, after_blocks - blocks


def nothing() -> None:
    return None


@pytest.fixture(scope="module")
def harness_share() -> tuple[int, int]:
    return growth(nothing)


@pytest.fixture(scope="module")
def files(tmp_path_factory: pytest.TempPathFactory) -> Files:
    return Files.under(Path(tmp_path_factory.mktemp("refs")))


@pytest.fixture
def installed(request: pytest.FixtureRequest) -> Iterator[ResultPath]:
    path: ResultPath = request.param
    with module_globals(path.module(), http_client=path.http(), ferrimo=fake_ferrimo()):
        yield path


@pytest.mark.parametrize("installed", PATHS, ids=[p.id for p in PATHS], indirect=True)
def test_thousand_calls_leave_counts_unchanged(installed: ResultPath, files: Files,
                                               harness_share: tuple[int, int]) -> None:
    path = installed
    client = path.client()
    check(path, run(path, client, files))
    rounds = [growth(lambda: run(path, client, files)) for _ in range(ROUNDS)]
    refs = min((r - harness_share[0] for r, _ in rounds), key=abs)
    blocks = min((b - harness_share[1] for _, b in rounds), key=abs)
    report("reference and block deltas over 1000 calls", f"{path.id:34} refs {refs:+4d}  blocks {blocks:+4d}")
    assert abs(refs) <= TOLERANCE, f"{path.id}: {refs} references over {CALLS} calls"
    assert abs(blocks) <= TOLERANCE, f"{path.id}: {blocks} blocks over {CALLS} calls"


def test_the_measurement_sees_a_leak(harness_share: tuple[int, int]) -> None:
    """The harness itself: a call that keeps one new object per call shows about CALLS."""
    kept: list[object] = []
    refs, blocks = growth(lambda: kept.append(object()))
    assert refs - harness_share[0] >= CALLS and blocks - harness_share[1] >= CALLS



REIMPORT = """
import gc, importlib, sys
qualified = sys.argv[1]
module = importlib.import_module(qualified)
def reimport():
    del sys.modules[qualified]
    assert importlib.import_module(qualified) is module
for _ in range({warmup}):
    reimport()
gc.collect()
before = sys.getallocatedblocks()
for _ in range({calls}):
    reimport()
gc.collect()
print(sys.getallocatedblocks() - before)
"""


@pytest.mark.parametrize("name", ["sorvanel", "tovarin"])
def test_reimport_leaves_blocks_unchanged(name: str) -> None:
    """Out of the registry and imported again: the same module object, and no memory kept.

    Known fault, marked xfail while it shows exactly as diagnosed: PyModule_FromDefAndSpec sets
    md_state to NULL on whatever module the create slot returns, assuming it is new; the exec
    that follows allocates a fresh state block, and the block of the first exec is lost (one
    PyMem block per re-import; LeakSanitizer reports it as allocated in PyModule_ExecDef).
    Measured in a child process, since a re-import changes the module's __spec__ for every
    later test."""
    code = REIMPORT.format(warmup=WARMUP, calls=CALLS)
    done = subprocess.run([sys.executable, "-c", code, f"corvessa.image.{name}"], capture_output=True, text=True,
                          timeout=120)
    assert done.returncode == 0, done.stderr
    blocks = int(done.stdout)
    report("blocks kept by 1000 re-imports", f"{name:8} {blocks:+d}")
    if abs(blocks - CALLS) <= 5 * TOLERANCE:
        pytest.xfail("the create step hands back the loaded module and the interpreter resets its state "
                     "pointer: each re-import orphans one block")
    assert abs(blocks) <= TOLERANCE, f"{blocks} blocks over {CALLS} re-imports"
