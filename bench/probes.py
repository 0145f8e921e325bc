"""Probes that need a fresh interpreter: peak memory, instruction counts, import time, cold start.

The parent side starts `python -m bench.probes ...` (or a bare interpreter) from the repository
root and reads one JSON line back; the child side is `main` below.
"""

from __future__ import annotations

import contextlib
import ctypes
import gc
import json
import os
import re
import shutil
import subprocess
import sys
import tempfile
import tracemalloc
from collections.abc import Callable
from pathlib import Path
from typing import Final

from bench.cases import CASES
from bench.clients import build_call, expected_image, recording_http_client
from bench.request_checks import WrongResult
from bench.stats import median

REPO_ROOT: Final = Path(__file__).resolve().parent.parent


def _child(arguments: list[str], timeout: float, env: dict[str, str] | None = None) -> subprocess.CompletedProcess[str]:
    return subprocess.run(
        [sys.executable, *arguments],
        capture_output=True,
        text=True,
        cwd=REPO_ROOT,
        env=env,
        timeout=timeout,
        check=False,
    )


# --- peak memory ---------------------------------------------------------------------------------


def probe_memory(client: str, case_key: str, server_url: str) -> dict[str, float | None]:
    """Peak memory of one call of `client` in `case_key`, measured in a fresh interpreter."""
    done = _child(["-m", "bench.probes", "memory", client, case_key, server_url], timeout=300)
    if done.returncode != 0:
        raise RuntimeError(f"memory probe {client}/{case_key} failed: {done.stderr.strip()[-2000:]}")
    peaks: dict[str, float | None] = json.loads(done.stdout.strip().splitlines()[-1])
    return peaks


def _status_kib(key: str) -> int:
    with open("/proc/self/status", encoding="ascii") as status:
        for line in status:
            if line.startswith(key + ":"):
                return int(line.split()[1])
    raise KeyError(key)


def _rss_growth(call: Callable[[], object]) -> float | None:
    """Growth of the peak RSS (VmHWM, reset first) above the RSS before one call.

    Freed heap pages go back to the kernel first (malloc_trim), so that the call cannot reuse
    memory an earlier call left resident and hide part of its peak. ru_maxrss is no use here:
    it keeps the size of the parent the probe was forked from, which no reset clears.
    """
    gc.collect()
    with contextlib.suppress(OSError, AttributeError):
        ctypes.CDLL(None).malloc_trim(0)
    try:
        with open("/proc/self/clear_refs", "w", encoding="ascii") as clear_refs:
            clear_refs.write("5")
    except OSError:
        return None
    before = _status_kib("VmRSS")
    call()
    return max(0, _status_kib("VmHWM") - before) * 1024.0


def _traced_peak(call: Callable[[], object]) -> float:
    """Peak of traced Python allocations during one call, above the traced memory before it."""
    gc.collect()
    tracemalloc.start()
    try:
        start, _ = tracemalloc.get_traced_memory()
        call()
        _, peak = tracemalloc.get_traced_memory()
    finally:
        tracemalloc.stop()
    return float(peak - start)


def _memory_child(client: str, case_key: str, server_url: str) -> dict[str, float | None]:
    """After one checked warm-up call: the RSS figure first (tracemalloc's bookkeeping would
    inflate it), then the tracemalloc one."""
    case = CASES[case_key]
    call = build_call(client, case, server_url, case.references(), floor_payload_per_call=True)
    if call() != expected_image(case):
        raise WrongResult("image bytes differ from the server's")
    return {"rss_growth": _rss_growth(call), "traced_peak": _traced_peak(call)}


# --- instruction counts ----------------------------------------------------------------------------

_CALLGRIND_TOTAL: Final = re.compile(r"^(?:summary|totals):\s+(\d+)", re.MULTILINE)


def instructions_per_call(client: str, case_key: str, calls: int) -> float | None:
    """Instructions one call executes, from two callgrind runs that differ only in `calls` calls.

    Unlike CPU time, the count does not move with the machine's load, so it separates small
    differences that timing on a busy machine blurs; page faults and cache misses do not show
    in it. None when valgrind is missing or fails.
    """
    if shutil.which("valgrind") is None:
        return None
    totals = []
    for count in (0, calls):
        with tempfile.TemporaryDirectory() as scratch:
            out = Path(scratch) / "callgrind.out"
            done = subprocess.run(
                [
                    "valgrind",
                    "--tool=callgrind",
                    f"--callgrind-out-file={out}",
                    sys.executable,
                    "-m",
                    "bench.probes",
                    "count",
                    client,
                    case_key,
                    str(count),
                ],
                capture_output=True,
                text=True,
                cwd=REPO_ROOT,
                env=dict(os.environ, PYTHONHASHSEED="0"),
                timeout=600,
                check=False,
            )
            match = _CALLGRIND_TOTAL.search(out.read_text(encoding="utf-8")) if out.exists() else None
            if done.returncode != 0 or match is None:
                return None
            totals.append(int(match.group(1)))
    return (totals[1] - totals[0]) / calls


def _count_child(client: str, case_key: str, calls: int) -> None:
    """The callgrind side of an instruction count: warm up, then exactly `calls` more calls."""
    case = CASES[case_key]
    with recording_http_client(client, case) as recorder:
        call = build_call(client, case, "", case.references(), recorder=recorder)
        for _ in range(20):
            call()
        gc.collect()
        for _ in range(calls):
            call()


# --- import time and cold start --------------------------------------------------------------------

_IMPORTTIME_LINE: Final = re.compile(r"^import time:\s+(\d+)\s+\|\s+(\d+)\s+\|\s+(\S+)\s*$")


def import_time(module: str, repeats: int) -> tuple[float, float] | None:
    """Median (self, cumulative) import seconds of `module` in fresh interpreters, None if it fails.

    One unmeasured run first, so that byte-code caches are written before anything is timed.
    """
    selfs: list[float] = []
    cumulatives: list[float] = []
    for attempt in range(repeats + 1):
        done = _child(["-X", "importtime", "-c", f"import {module}"], timeout=120)
        entries = [
            match
            for match in map(_IMPORTTIME_LINE.match, done.stderr.splitlines())
            if match and match.group(3) == module
        ]
        if done.returncode != 0 or not entries:
            return None
        if attempt:
            selfs.append(int(entries[0].group(1)) / 1e6)
            cumulatives.append(int(entries[0].group(2)) / 1e6)
    return median(selfs), median(cumulatives)


def cold_start(imports: str, construct: str, repeats: int) -> float | None:
    """Median seconds, in fresh interpreters, from before `imports` until after `construct`.

    The interpreter's own start-up is left out; one unmeasured run first warms byte-code caches.
    """
    code = (
        f"import time\nstart = time.perf_counter()\n{imports}\nBASE, KEY = 'http://127.0.0.1:9', 'key'\n"
        f"{construct}\nprint(time.perf_counter() - start)"
    )
    seconds: list[float] = []
    for attempt in range(repeats + 1):
        done = _child(["-c", code], timeout=120)
        if done.returncode != 0:
            return None
        if attempt:
            seconds.append(float(done.stdout.strip().splitlines()[-1]))
    return median(seconds)


def main(argv: list[str]) -> int:
    """`memory CLIENT CASE SERVER_URL` prints one JSON line; `count CLIENT CASE CALLS` only calls."""
    kind, client, case_key, extra = argv
    if kind == "memory":
        print(json.dumps(_memory_child(client, case_key, extra)))
    else:
        _count_child(client, case_key, int(extra))
    return 0


if __name__ == "__main__":
    sys.exit(main(sys.argv[1:]))
