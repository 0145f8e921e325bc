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
import sys
from collections.abc import Callable
from typing import Any

import pytest

from clients.kinds import NAMES
from harness import run_fresh

from .paths import PATHS, Files, ResultPath, check, run
from .support import DEBUG_BUILD, report

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


@pytest.fixture(scope="module")
def harness_share() -> tuple[int, int]:
    return growth(lambda: None)


@pytest.mark.parametrize("path", PATHS, ids=[p.id for p in PATHS])
def test_thousand_calls_leave_counts_unchanged(path: ResultPath, files: Files, harness_share: tuple[int, int]) -> None:
    with path.installed():
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
import gc, importlib, json, sys
qualified = sys.argv[1]
module = importlib.import_module(qualified)
def reimport():
    del sys.modules[qualified]
    assert importlib.import_module(qualified) is module
def blocks_after(count):
    gc.collect()
    before = sys.getallocatedblocks()
    for _ in range(count):
        reimport()
    gc.collect()
    return sys.getallocatedblocks() - before
blocks_after({warmup})
print(json.dumps([blocks_after({calls}), blocks_after(3 * {calls})]))
"""


@pytest.mark.parametrize("name", NAMES)
def test_reimport_leaves_blocks_unchanged(name: str) -> None:
    """Out of the registry and imported again: the same module object, and no memory kept.

    The interpreter resets the state pointer of whatever module a create step returns and gives
    it a fresh block; the module frees the block it replaced. The import machinery's own caches
    move the block count by some tens, once, so the test compares 1000 re-imports with 3000: a
    block kept per re-import shows as 2000 more. Measured in a child process, since a re-import
    changes the module's __spec__ for every later test."""
    code = REIMPORT.format(warmup=WARMUP, calls=CALLS)
    once, thrice = run_fresh(code, f"corvessa.image.{name}")[-1]
    report("blocks kept by 1000 and by 3000 re-imports", f"{name:8} {once:+d} {thrice:+d}")
    assert abs(thrice - once) <= 10 * TOLERANCE, f"{once} blocks over {CALLS} re-imports, {thrice} over {3 * CALLS}"
