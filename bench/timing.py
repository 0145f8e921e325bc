"""Timing rounds of interleaved clients, and the one step that settles glibc's heap thresholds."""

from __future__ import annotations

import ctypes
import gc
import random
import resource
import time
from collections.abc import Callable, Mapping
from dataclasses import dataclass
from typing import Final

from bench.stats import Samples


@dataclass(frozen=True)
class Plan:
    """Samples per round, rounds, time budget of one case, and calls per sample.

    A sample is the mean of `batch` back-to-back calls: microsecond calls are timed in batches,
    since reading the process CPU clock itself costs about a microsecond.
    """

    per_round: int
    rounds: int
    budget_s: float
    batch: int = 1


def time_rounds(calls: Mapping[str, Callable[[], object]], plan: Plan, errors: dict[str, str]) -> dict[str, Samples]:
    """Take `plan.per_round` samples of every call per round, the clients interleaved.

    Within a round the clients take turns sample by sample, in a new (seeded) order for every
    sample, so a change in the machine's load hits every client alike instead of the one whose
    block happened to run then, and no client always follows the same other client (whose
    leftovers in the caches and the heap it would otherwise inherit every time). Rounds stop
    early once the plan's budget has passed (at least one round always runs), so a slow machine
    makes fewer samples instead of a longer run. A client whose call raises is dropped, with
    the reason in `errors`.
    """
    samples = {name: Samples() for name in calls}
    names = list(calls)
    shuffler = random.Random(len(names))  # the same orders on every run
    deadline = time.perf_counter() + plan.budget_s
    for index in range(plan.rounds):
        if index and time.perf_counter() > deadline:
            break
        gc.collect()
        taken: dict[str, tuple[list[float], list[float], list[float]]] = {name: ([], [], []) for name in names}
        for _ in range(plan.per_round):
            for name in shuffler.sample(names, len(names)):
                if name in errors:
                    continue
                try:
                    measured = _time_batch(calls[name], plan.batch)
                except Exception as exc:  # reported in the client's row; the others go on
                    errors[name] = f"{type(exc).__name__}: {exc}"[:300]
                    continue
                for series, value in zip(taken[name], measured, strict=True):
                    series.append(value)
        for name, (wall, cpu, faults) in taken.items():
            if name not in errors:
                samples[name].wall.append(wall)
                samples[name].cpu.append(cpu)
                samples[name].faults.append(faults)
    return {name: value for name, value in samples.items() if name not in errors}


def _time_batch(call: Callable[[], object], batch: int) -> tuple[float, float, float]:
    """Wall and CPU seconds and minor page faults per call, over `batch` back-to-back calls."""
    perf, proc = time.perf_counter, time.process_time
    usage, me = resource.getrusage, resource.RUSAGE_SELF
    f0 = usage(me).ru_minflt
    w0, c0 = perf(), proc()
    for _ in range(batch):
        call()
    c1, w1 = proc(), perf()
    f1 = usage(me).ru_minflt
    return (w1 - w0) / batch, (c1 - c0) / batch, (f1 - f0) / batch


# glibc raises its mmap threshold to the size of any mapped block that is freed, up to 32 MiB
# (a block counts only when its size, flag bits included, is at most that), and trims the top of
# the heap once twice that threshold lies free there.
_MMAP_THRESHOLD_CEILING: Final = 32 * 1024 * 1024
_SETTLING_BLOCK: Final = _MMAP_THRESHOLD_CEILING - 2 * 4096


def settle_heap_thresholds() -> bool:
    """Raise glibc's dynamic mmap (and trim) threshold to its ceiling; True when it was done.

    One block just under 32 MiB is mapped and freed, as any long-running process does once it
    has freed such a block. No setting changes and nothing is disabled: the allocator's own
    adjustment simply reaches the steady state now instead of at a moment that depends on which
    cases and clients ran before. Without this, whether a call's large blocks are trimmed from
    the heap and faulted in again on every call hangs on a few kilobytes of heap layout, and a
    client can pay hundreds of page faults per call (or none) by luck of the order.
    """
    try:
        libc = ctypes.CDLL(None)
        libc.malloc.restype = ctypes.c_void_p
        libc.malloc.argtypes = [ctypes.c_size_t]
        libc.free.argtypes = [ctypes.c_void_p]
        block = libc.malloc(_SETTLING_BLOCK)
    except (OSError, AttributeError):
        return False
    if not block:
        return False
    libc.free(block)
    return True
