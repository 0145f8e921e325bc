"""Timing rounds, statistics, and the fresh-process probes for peak memory and import time."""

from __future__ import annotations

import contextlib
import ctypes
import gc
import json
import os
import random
import re
import resource
import shutil
import statistics
import subprocess
import sys
import tempfile
import time
import tracemalloc
from collections.abc import Callable
from dataclasses import dataclass, field
from pathlib import Path
from typing import Final

BENCH_DIR: Final = Path(__file__).resolve().parent
# The pure-Python twins of the clients live with the tests (package `twins`).
TWINS_ROOT: Final = BENCH_DIR.parent / "tests"
if str(TWINS_ROOT) not in sys.path:
    sys.path.append(str(TWINS_ROOT))


# --- statistics --------------------------------------------------------------------------------


def median(values: list[float]) -> float:
    return statistics.median(values) if values else float("nan")


def p95(values: list[float]) -> float:
    """Nearest-rank 95th percentile."""
    if not values:
        return float("nan")
    ordered = sorted(values)
    return ordered[min(len(ordered) - 1, max(0, -(-95 * len(ordered) // 100) - 1))]


@dataclass
class Samples:
    """Per-call wall and CPU seconds and minor page faults of one client in one case, per round."""

    wall: list[list[float]] = field(default_factory=list)
    cpu: list[list[float]] = field(default_factory=list)
    faults: list[list[float]] = field(default_factory=list)

    def all_wall(self) -> list[float]:
        return [value for round_ in self.wall for value in round_]

    def all_cpu(self) -> list[float]:
        return [value for round_ in self.cpu for value in round_]

    def all_faults(self) -> list[float]:
        return [value for round_ in self.faults for value in round_]


def round_ratio(mine: list[list[float]], reference: list[list[float]]) -> float:
    """Median over rounds of (my median / the reference's median in that same round)."""
    ratios = [median(a) / median(b) for a, b in zip(mine, reference) if a and b and median(b) > 0]
    return median(ratios)


# --- timing ------------------------------------------------------------------------------------


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


def time_rounds(calls: dict[str, Callable[[], object]], plan: Plan, errors: dict[str, str]) -> dict[str, Samples]:
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
        taken = {name: ([], [], []) for name in names}
        for _ in range(plan.per_round):
            for name in shuffler.sample(names, len(names)):
                if name in errors:
                    continue
                try:
                    measured = _time_batch(calls[name], plan.batch)
                except Exception as exc:  # reported in the client's row; the others go on
                    errors[name] = f"{type(exc).__name__}: {exc}"[:300]
                    continue
                for series, value in zip(taken[name], measured):
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


# --- glibc's heap thresholds ---------------------------------------------------------------------

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


# --- peak memory, measured inside a fresh process ----------------------------------------------


def _status_kib(key: str) -> int:
    with open("/proc/self/status", encoding="ascii") as status:
        for line in status:
            if line.startswith(key + ":"):
                return int(line.split()[1])
    raise KeyError(key)


def _reset_peak_rss() -> bool:
    """Make the peak RSS (VmHWM) start again from the current RSS (Linux 4.0+)."""
    try:
        with open("/proc/self/clear_refs", "w", encoding="ascii") as clear_refs:
            clear_refs.write("5")
        return True
    except OSError:
        return False


def _release_free_heap() -> None:
    """Hand freed heap pages back to the kernel, so that a call reusing them counts them again.

    Without this, memory that the warm-up call freed stays resident and the measured call
    reuses it without any RSS growth, hiding part of its peak.
    """
    with contextlib.suppress(OSError, AttributeError):
        ctypes.CDLL(None).malloc_trim(0)


def peak_memory_of(call: Callable[[], object]) -> dict[str, float | None]:
    """Peak memory of one call above the state before it: peak RSS growth and tracemalloc peak.

    The call has run once already (warm connection, lazy imports done). The RSS figure comes
    first, without tracemalloc, whose own bookkeeping would inflate it. It is the process's
    VmHWM, reset just before the call: the same peak that ru_maxrss reports, except that
    ru_maxrss also keeps the size of the parent process it was forked from, which a reset
    cannot clear, so a probe started by a large runner would read the runner's size.
    """
    gc.collect()
    _release_free_heap()
    rss_growth: float | None = None
    if _reset_peak_rss():
        before = _status_kib("VmRSS")
        call()
        rss_growth = max(0, _status_kib("VmHWM") - before) * 1024
    gc.collect()
    tracemalloc.start()
    try:
        start_current, _ = tracemalloc.get_traced_memory()
        call()
        _, peak = tracemalloc.get_traced_memory()
    finally:
        tracemalloc.stop()
    return {"rss_growth": rss_growth, "traced_peak": float(peak - start_current)}


def probe_memory(client: str, case_key: str, server_url: str) -> dict[str, float | None]:
    """Run the memory probe for one (client, case) in a fresh interpreter; its JSON result."""
    command = [sys.executable, str(BENCH_DIR / "run.py"), "--probe-memory", client, case_key, "--server", server_url]
    done = subprocess.run(command, capture_output=True, text=True, timeout=300, check=False)
    if done.returncode != 0:
        raise RuntimeError(f"memory probe {client}/{case_key} failed: {done.stderr.strip()[-2000:]}")
    return json.loads(done.stdout.strip().splitlines()[-1])


# --- instruction counts, measured under callgrind ----------------------------------------------

_CALLGRIND_TOTAL: Final = re.compile(r"^(?:summary|totals):\s+(\d+)", re.MULTILINE)


def valgrind_available() -> bool:
    return shutil.which("valgrind") is not None


def instructions_per_call(client: str, case_key: str, calls: int) -> float | None:
    """Instructions one call executes, from two callgrind runs that differ only in `calls` calls.

    Unlike CPU time, the count does not move with the machine's load, so it separates small
    differences (own work, a few thousand instructions) that timing on a busy machine blurs.
    Page faults and cache misses do not show in it. None when valgrind is missing or fails.
    """
    if not valgrind_available():
        return None
    totals = []
    for count in (0, calls):
        with tempfile.TemporaryDirectory() as scratch:
            out = Path(scratch) / "callgrind.out"
            command = ["valgrind", "--tool=callgrind", f"--callgrind-out-file={out}",
                       sys.executable, str(BENCH_DIR / "run.py"), "--count-calls", client, case_key, str(count)]
            env = dict(os.environ, PYTHONHASHSEED="0")
            done = subprocess.run(command, capture_output=True, text=True, env=env, timeout=600, check=False)
            match = _CALLGRIND_TOTAL.search(out.read_text(encoding="utf-8")) if out.exists() else None
            if done.returncode != 0 or match is None:
                return None
            totals.append(int(match.group(1)))
    return (totals[1] - totals[0]) / calls


# --- import time, measured in fresh processes --------------------------------------------------

_IMPORTTIME_LINE: Final = re.compile(r"^import time:\s+(\d+)\s+\|\s+(\d+)\s+\|\s+(\S+)\s*$")


def import_time(module: str, repeats: int) -> tuple[float, float] | None:
    """Median (self, cumulative) import seconds of `module` in fresh interpreters, None if it fails.

    One unmeasured run first, so that byte-code caches are written before anything is timed.
    """
    env = dict(os.environ, PYTHONPATH=os.pathsep.join(filter(None, [str(BENCH_DIR), str(TWINS_ROOT), os.environ.get("PYTHONPATH")])))
    command = [sys.executable, "-X", "importtime", "-c", f"import {module}"]
    selfs: list[float] = []
    cumulatives: list[float] = []
    for attempt in range(repeats + 1):
        done = subprocess.run(command, capture_output=True, text=True, env=env, timeout=120, check=False)
        if done.returncode != 0:
            return None
        times = _importtime_entry(done.stderr, module)
        if times is None:
            return None
        if attempt:
            selfs.append(times[0])
            cumulatives.append(times[1])
    return median(selfs), median(cumulatives)


def cold_start(imports: str, construct: str, repeats: int) -> float | None:
    """Median seconds, in fresh interpreters, from before `imports` until after `construct`.

    The interpreter's own start-up is left out; one unmeasured run first warms byte-code caches.
    """
    env = dict(os.environ, PYTHONPATH=os.pathsep.join(filter(None, [str(BENCH_DIR), str(TWINS_ROOT), os.environ.get("PYTHONPATH")])))
    code = (f"import time\nstart = time.perf_counter()\n{imports}\nBASE, KEY = 'http://127.0.0.1:9', 'key'\n"
            f"{construct}\nprint(time.perf_counter() - start)")
    seconds: list[float] = []
    for attempt in range(repeats + 1):
        done = subprocess.run([sys.executable, "-c", code], capture_output=True, text=True, env=env, timeout=120, check=False)
        if done.returncode != 0:
            return None
        if attempt:
            seconds.append(float(done.stdout.strip().splitlines()[-1]))
    return median(seconds)


def _importtime_entry(report: str, module: str) -> tuple[float, float] | None:
    for line in report.splitlines():
        match = _IMPORTTIME_LINE.match(line)
        if match and match.group(3) == module:
            return int(match.group(1)) / 1e6, int(match.group(2)) / 1e6
    return None
