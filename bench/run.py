"""Benchmarks of the native image clients against plain requests, pure Python and the openai SDK.

    tools/sysroot run sh -c 'tools/install && .venv/bin/python bench/run.py'           # full, ~5 min
    tools/sysroot run sh -c 'tools/install && .venv/bin/python bench/run.py --quick'   # smoke, ~1 min

Every row that feeds a target posts through one transport, a reused `requests.Session`
installed as the clients' `http_client` (bench/transport.py). The client process runs on one CPU,
the loopback server on another when there is one.

Prints a markdown report and writes it to bench/RESULTS.md (see --output, --no-write). The
targets it checks are reported, never enforced: the exit status is 1 only when a client that
loaded failed to return the image the server sent.
"""

from __future__ import annotations

import argparse
import contextlib
import datetime
import gc
import json
import os
import platform
import subprocess
import sys
import time
from collections.abc import Iterator
from dataclasses import dataclass, field
from pathlib import Path
from typing import Final

from clients import (
    CLIENT_LABELS,
    Case,
    WrongResult,
    availability,
    build_call,
    check_recorded_request,
    expected_image,
    recording_http_client,
)
from measure import (
    BENCH_DIR,
    Plan,
    Samples,
    cold_start,
    import_time,
    instructions_per_call,
    median,
    p95,
    peak_memory_of,
    probe_memory,
    round_ratio,
    settle_heap_thresholds,
    time_rounds,
)
from payloads import MIB

NETWORK_CASES: Final = (
    Case("gemini-small", "gemini", "small"),
    Case("gemini-large", "gemini", "large"),
    Case("gemini-refs-2x1", "gemini", "small", 2, 1 * MIB),
    Case("gemini-refs-4x5", "gemini", "small", 4, 5 * MIB),
    Case("images-small", "images", "small"),
    Case("images-large", "images", "large"),
    Case("images-refs-2x1", "images", "small", 2, 1 * MIB),
    Case("images-refs-4x5", "images", "small", 4, 5 * MIB),
)
OFFLINE_CASES: Final = (
    Case("gemini-offline-text", "gemini", "tiny", network=False),
    Case("gemini-offline-ref", "gemini", "tiny", 1, 1 * MIB, network=False),
    Case("images-offline-text", "images", "tiny", network=False),
    Case("images-offline-ref", "images", "tiny", 1, 1 * MIB, network=False),
)
CASES: Final = {case.key: case for case in NETWORK_CASES + OFFLINE_CASES}

IMPORTED_MODULES: Final = (
    ("floor", "requests"),
    ("contracts", "corvessa.config"),
    ("ours", "corvessa.image.sorvanel"),
    ("ours", "corvessa.image.tovarin"),
    ("py", "twins.sorvanel_py"),
    ("py", "twins.tovarin_py"),
    ("openai", "openai"),
)
# Cold start: a fresh interpreter imports these and builds one client of each API.
COLD_STARTS: Final = (
    ("`import requests` alone", "import requests", ""),
    ("ours (native): import both modules + construct both clients",
     "import corvessa.image.sorvanel as g, corvessa.image.tovarin as i",
     "g.SorvanelClient(BASE, KEY); i.TovarinClient(BASE, KEY)"),
    ("pure-Python twins: import both + construct both clients",
     "import twins.sorvanel_py as g, twins.tovarin_py as i",
     "g.SorvanelClient(BASE, KEY); i.TovarinClient(BASE, KEY)"),
)


def plan_for(case: Case, quick: bool) -> Plan:
    """Bounded iteration counts: big transfers get few calls, in-process calls many, in batches."""
    if not case.network:
        if quick:
            return Plan(5, 2, 5.0, batch=10)
        if case.api == "gemini" and case.ref_count:  # base64 of 1 MiB: about a millisecond
            return Plan(10, 10, 15.0, batch=5)
        return Plan(20, 10, 15.0, batch=100)
    heavy = case.reply == "large" or case.ref_size >= 5 * MIB
    if quick:
        return Plan(1, 1, 5.0) if heavy else Plan(5, 2, 5.0)
    if heavy:
        return Plan(4, 6, 60.0)
    return Plan(40, 10, 25.0) if not case.ref_count else Plan(20, 8, 25.0)


def memory_cases(quick: bool) -> tuple[Case, ...]:
    """Quick runs probe only the cases that carry memory targets."""
    if not quick:
        return NETWORK_CASES
    return tuple(case for case in NETWORK_CASES if case.reply == "large" or case.ref_count == 4)


# The memory probe's floor always builds its payload inside the call, so "floor_call" would repeat it.
MEMORY_CLIENTS: Final = ("floor", "ours", "py", "ours_contracts", "openai")


@dataclass
class CaseResult:
    case: Case
    samples: dict[str, Samples] = field(default_factory=dict)
    memory: dict[str, dict[str, float | None]] = field(default_factory=dict)
    errors: dict[str, str] = field(default_factory=dict)


@dataclass
class Report:
    quick: bool
    only: frozenset[str] | None = None  # case keys, when the run was restricted to some
    cpus: str = ""
    settled: bool = False
    skipped: dict[tuple[str, str], str] = field(default_factory=dict)  # (client, api) -> why
    results: dict[str, CaseResult] = field(default_factory=dict)
    imports: dict[str, tuple[float, float] | None] = field(default_factory=dict)
    cold: dict[str, float | None] = field(default_factory=dict)
    unsettled: dict[str, dict[str, dict[str, float]]] = field(default_factory=dict)
    instructions: dict[str, dict[str, float | None]] = field(default_factory=dict)  # case -> client -> count

    def wants(self, case: Case) -> bool:
        return self.only is None or case.key in self.only


def log(message: str) -> None:
    print(message, file=sys.stderr, flush=True)


# --- CPUs --------------------------------------------------------------------------------------


def split_cpus() -> tuple[set[int], set[int]]:
    """One CPU for the measured client process, another for the server when there are two or more."""
    usable = sorted(os.sched_getaffinity(0))
    client = {usable[0]}
    server = {usable[1]} if len(usable) > 1 else client
    return client, server


# --- the loopback server -----------------------------------------------------------------------


@contextlib.contextmanager
def loopback_server(cpus: set[int] | None = None) -> Iterator[str]:
    """Start bench/server.py in its own process (on `cpus`); its base URL. It stops when its stdin closes."""
    server = subprocess.Popen(
        [sys.executable, str(BENCH_DIR / "server.py")],
        stdin=subprocess.PIPE,
        stdout=subprocess.PIPE,
        text=True,
        cwd=BENCH_DIR,
    )
    try:
        if cpus:
            os.sched_setaffinity(server.pid, cpus)
        assert server.stdout is not None
        line = server.stdout.readline().split()
        if len(line) != 2 or line[0] != "PORT":
            raise RuntimeError("bench server did not start")
        yield f"http://127.0.0.1:{line[1]}"
    finally:
        assert server.stdin is not None
        server.stdin.close()
        try:
            server.wait(timeout=10)
        except subprocess.TimeoutExpired:
            server.kill()
            server.wait()


# --- measuring ---------------------------------------------------------------------------------


def runnable_clients(case: Case, report: Report) -> list[str]:
    return [client for client in case.clients() if (_module_client(client), case.api) not in report.skipped]


def _module_client(client: str) -> str:
    """The client whose module a row needs ("ours_contracts" runs the native module)."""
    return "ours" if client == "ours_contracts" else client


def verified_calls(case: Case, clients: list[str], server_url: str, result: CaseResult, recorders: dict | None = None) -> dict:
    """One warm-up call per client, checked against the image the server sent."""
    refs = case.references()
    calls = {}
    for client in clients:
        try:
            call = build_call(client, case, server_url, refs, recorder=(recorders or {}).get(client))
            if call() != expected_image(case):
                raise WrongResult("image bytes differ from the server's")
            calls[client] = call
        except Exception as exc:  # a broken client is reported in its row, the run goes on
            result.errors[client] = f"{type(exc).__name__}: {exc}"[:300]
    return calls


def measure_network_case(case: Case, server_url: str, report: Report) -> CaseResult:
    result = CaseResult(case)
    calls = verified_calls(case, runnable_clients(case, report), server_url, result)
    plan = plan_for(case, report.quick)
    result.samples = time_rounds(calls, plan, result.errors)
    return result


def measure_offline_case(case: Case, report: Report) -> CaseResult:
    result = CaseResult(case)
    clients = runnable_clients(case, report)
    with contextlib.ExitStack() as stack:
        recorders = {client: stack.enter_context(recording_http_client(client, case)) for client in clients}
        calls = verified_calls(case, clients, "", result, recorders)
        for client in [name for name in calls if name != "outside"]:
            try:
                check_recorded_request(recorders[client], case)
            except WrongResult as exc:
                result.errors[client] = f"WrongResult: {exc}"[:300]
                del calls[client]
        plan = plan_for(case, report.quick)
        result.samples = time_rounds(calls, plan, result.errors)
    return result


def measure_memory(server_url: str, report: Report) -> None:
    for case in memory_cases(report.quick):
        if case.key not in report.results:
            continue
        result = report.results[case.key]
        for client in [name for name in MEMORY_CLIENTS if name in result.samples]:
            log(f"  memory: {case.key} / {client}")
            try:
                result.memory[client] = probe_memory(client, case.key, server_url)
            except Exception as exc:  # reported in the row
                result.errors[client] = f"memory probe: {exc}"[:300]


def measure_imports(report: Report) -> None:
    repeats = 1 if report.quick else 5
    for _, module in IMPORTED_MODULES:
        log(f"  import time: {module}")
        report.imports[module] = import_time(module, repeats)
    for label, imports, construct in COLD_STARTS:
        log(f"  cold start: {label}")
        report.cold[label] = cold_start(imports, construct, repeats)


# Calls per callgrind run: base64 of 1 MiB is about 1.4 million instructions, so fewer there.
def counted_calls(case: Case) -> int:
    return 40 if case.ref_count and case.api == "gemini" else 1000


def measure_instructions(report: Report) -> None:
    for case in filter(report.wants, OFFLINE_CASES):
        counts = report.instructions.setdefault(case.key, {})
        for client in runnable_clients(case, report):
            log(f"  instructions: {case.key} / {client}")
            counts[client] = instructions_per_call(client, case.key, counted_calls(case))


def count_main(client: str, case_key: str, calls: int) -> None:
    """The callgrind side of an instruction count: warm up, then exactly `calls` more calls."""
    case = CASES[case_key]
    with recording_http_client(client, case) as recorder:
        call = build_call(client, case, "", case.references(), recorder=recorder)
        for _ in range(20):
            call()
        gc.collect()
        for _ in range(calls):
            call()


def run(quick: bool, only: frozenset[str] | None, settled: bool = True) -> Report:
    """Every measurement of a run; `settled=False` times the cases alone, on the heap as it comes."""
    client_cpus, server_cpus = split_cpus()
    report = Report(quick=quick, only=only, cpus=_cpu_note(client_cpus, server_cpus))
    os.sched_setaffinity(0, client_cpus)
    if settled:
        report.settled = settle_heap_thresholds()
    for client in ("ours", "py", "openai"):
        for api in ("gemini", "images"):
            why = availability(client, api)
            if why:
                report.skipped[(client, api)] = why
    for (client, api), why in report.skipped.items():
        log(f"skipping {client} ({api}): {why}")
    with loopback_server(server_cpus) as server_url:
        for case in filter(report.wants, NETWORK_CASES):
            log(f"timing: {case.key}")
            report.results[case.key] = measure_network_case(case, server_url, report)
        for case in filter(report.wants, OFFLINE_CASES):
            log(f"timing: {case.key}")
            report.results[case.key] = measure_offline_case(case, report)
        if settled:
            measure_memory(server_url, report)
    if settled and not quick:
        measure_instructions(report)
        report.unsettled = measure_unsettled()
    if settled and only is None:
        measure_imports(report)
    return report


# --- the reference cases on an unsettled heap (the figures before the thresholds are settled) ----

REFERENCE_KEYS: Final = tuple(case.key for case in NETWORK_CASES if case.ref_count)
UNSETTLED_CLIENTS: Final = ("floor_call", "ours", "py")


def unsettled_summary(report: Report) -> dict[str, dict[str, dict[str, float]]]:
    """Per reference case and client: CPU median, page faults per call, and the two ratios."""
    summary: dict[str, dict[str, dict[str, float]]] = {}
    for key in REFERENCE_KEYS:
        samples = report.results[key].samples
        summary[key] = {
            client: {
                "cpu": median(samples[client].all_cpu()),
                "faults": median(samples[client].all_faults()),
                "vs_floor_call": _ratio(report, key, client, "floor_call") or float("nan"),
                "vs_py": _ratio(report, key, client, "py") or float("nan"),
            }
            for client in UNSETTLED_CLIENTS if client in samples
        }
    return summary


def measure_unsettled() -> dict[str, dict[str, dict[str, float]]]:
    """The reference cases again, in a fresh process that leaves glibc's thresholds alone."""
    log("timing: reference cases on an unsettled heap (fresh process)")
    command = [sys.executable, str(BENCH_DIR / "run.py"), "--unsettled-summary"]
    done = subprocess.run(command, capture_output=True, text=True, timeout=1800, check=False)
    if done.returncode != 0:
        log(f"unsettled pass failed: {done.stderr.strip()[-2000:]}")
        return {}
    return json.loads(done.stdout.strip().splitlines()[-1])


def _cpu_note(client: set[int], server: set[int]) -> str:
    return f"client process on CPU {min(client)}, loopback server on CPU {min(server)}"


def probe_main(client: str, case_key: str, server_url: str) -> None:
    """The fresh-process side of a memory probe: one JSON line on stdout."""
    case = CASES[case_key]
    call = build_call(client, case, server_url, case.references(), floor_payload_per_call=True)
    if call() != expected_image(case):
        raise WrongResult("image bytes differ from the server's")
    print(json.dumps(peak_memory_of(call)))


# --- targets -----------------------------------------------------------------------------------


@dataclass(frozen=True)
class Verdict:
    target: str
    holds: bool | None  # None: not measured, or reported without a limit
    detail: str


def _ratio(report: Report, key: str, mine: str, other: str, metric: str = "cpu") -> float | None:
    result = report.results.get(key)
    if result is None or mine not in result.samples or other not in result.samples:
        return None
    return round_ratio(getattr(result.samples[mine], metric), getattr(result.samples[other], metric))


def _memory_ratio(report: Report, key: str, metric: str) -> float | None:
    memory = report.results[key].memory if key in report.results else {}
    mine, floor = memory.get("ours", {}).get(metric), memory.get("floor", {}).get(metric)
    if mine is None or floor is None or floor <= 0:
        return None
    return mine / floor


def _verdict(target: str, ratio: float | None, limit: float, at_most: bool = True, unit: str = "x") -> Verdict:
    if ratio is None or ratio != ratio:
        return Verdict(target, None, "not measured")
    holds = ratio <= limit if at_most else ratio >= limit
    return Verdict(target, holds, f"{ratio:.3f}{unit} (target {'≤' if at_most else '≥'} {limit:.3g}{unit})")


def own_work(samples: dict[str, Samples], client: str) -> list[list[float]] | None:
    """Per round: the client's CPU per call minus the outside calls' CPU per call (as one-value rounds)."""
    if client not in samples or "outside" not in samples:
        return None
    return [[median(mine) - median(outside)] for mine, outside in zip(samples[client].cpu, samples["outside"].cpu)]


def own_work_ratio(samples: dict[str, Samples]) -> float | None:
    """Median over rounds of native own work ÷ pure-Python own work, both measured in that round."""
    ours, py = own_work(samples, "ours"), own_work(samples, "py")
    if ours is None or py is None:
        return None
    return round_ratio(ours, py)


def _api_name(api: str) -> str:
    return "Gemini" if api == "gemini" else "images API"


def evaluate_targets(report: Report) -> list[Verdict]:
    verdicts: list[Verdict] = []
    for api in ("gemini", "images"):
        verdicts.append(_verdict(f"{_api_name(api)}, small reply, same transport: native CPU ÷ floor CPU",
                                 _ratio(report, f"{api}-small", "ours", "floor"), 1.05))
    for case in NETWORK_CASES + OFFLINE_CASES:
        verdicts.append(_verdict(f"{case.label}: native CPU ÷ pure-Python CPU", _ratio(report, case.key, "ours", "py"), 1.0))
    for case in NETWORK_CASES:
        if case.ref_count:
            verdicts.append(_verdict(f"{case.label}: native CPU ÷ per-call floor CPU",
                                     _ratio(report, case.key, "ours", "floor_call"), 1.05))
    for api in ("gemini", "images"):
        for metric, label in (("traced_peak", "tracemalloc"), ("rss_growth", "ΔRSS")):
            verdicts.append(_memory_verdict(report, f"{api}-large", metric,
                                            f"{_api_name(api)}, 8 MB reply: native peak memory ({label}) ÷ floor's", 1.0))
    for case in OFFLINE_CASES:
        result = report.results.get(case.key)
        ratio = own_work_ratio(result.samples) if result else None
        verdict = _verdict(f"{case.label}: native own work ÷ pure-Python own work (CPU)", ratio, 1 / 3)
        by_instructions = own_instruction_ratio(report, case.key)
        if by_instructions is not None:
            verdict = Verdict(verdict.target, verdict.holds, f"{verdict.detail}; {by_instructions:.3f}x by instruction count")
        verdicts.append(verdict)
    verdicts.append(_cold_start_verdict(report))
    return verdicts


def earlier_targets(report: Report) -> list[Verdict]:
    """Targets of the earlier list that the new one does not replace, now on the same transport."""
    verdicts: list[Verdict] = []
    for api in ("gemini", "images"):
        verdicts.append(_verdict(f"{_api_name(api)}, 8 MB reply: native CPU ÷ floor CPU",
                                 _ratio(report, f"{api}-large", "ours", "floor"), 1.05))
        for metric, label in (("traced_peak", "tracemalloc"), ("rss_growth", "ΔRSS")):
            verdicts.append(_memory_verdict(report, f"{api}-refs-4x5", metric,
                                            f"{_api_name(api)}, 4 x 5 MB references: native peak memory ({label}) ÷ floor's", 1.05))
    return verdicts


def _cold_start_verdict(report: Report) -> Verdict:
    target = "Cold start: import of both modules plus construction, beside `import requests` alone"
    requests_alone, ours, py = (report.cold.get(label) for label, _, _ in COLD_STARTS)
    if requests_alone is None or ours is None:
        return Verdict(target, None, "not measured")
    detail = f"native {ours * 1e3:.1f} ms against {requests_alone * 1e3:.1f} ms for requests alone ({ours / requests_alone:.2f}x)"
    if py is not None:
        detail += f"; pure-Python twins {py * 1e3:.1f} ms"
    return Verdict(target, None, detail)


def _memory_verdict(report: Report, key: str, metric: str, target: str, limit: float) -> Verdict:
    """A memory verdict that also says by how many KiB the two peaks differ."""
    verdict = _verdict(target, _memory_ratio(report, key, metric), limit)
    memory = report.results[key].memory if key in report.results else {}
    mine, floor = memory.get("ours", {}).get(metric), memory.get("floor", {}).get(metric)
    if mine is None or floor is None:
        return verdict
    difference = (mine - floor) / 1024
    return Verdict(verdict.target, verdict.holds, f"{verdict.detail}; native {difference:+,.0f} KiB against the floor")


# --- the report --------------------------------------------------------------------------------


def _fmt(value: float | None, scale: float, digits: int = 2) -> str:
    if value is None or value != value:  # None or NaN
        return "–"
    return f"{value * scale:.{digits}f}"


def _ratio_cell(samples: dict[str, Samples], client: str, reference: str, metric: str) -> str:
    if client == reference:
        return "1.00"
    if reference not in samples or client not in samples:
        return "–"
    return _fmt(round_ratio(getattr(samples[client], metric), getattr(samples[reference], metric)), 1.0)


def network_table(report: Report) -> list[str]:
    lines = [
        "| Case | Client | wall median ms | wall p95 ms | CPU median ms | page faults / call | CPU ÷ floor "
        "| CPU ÷ per-call floor | CPU ÷ pure Python | tracemalloc peak MiB | ΔRSS peak MiB | tracemalloc ÷ floor | ΔRSS ÷ floor |",
        "|---|---|--:|--:|--:|--:|--:|--:|--:|--:|--:|--:|--:|",
    ]
    for case in filter(report.wants, NETWORK_CASES):
        result = report.results[case.key]
        for client in case.clients():
            lines.append(_network_row(report, result, client))
    return lines


def _network_row(report: Report, result: CaseResult, client: str) -> str:
    case, label = result.case, CLIENT_LABELS[client]
    if (_module_client(client), case.api) in report.skipped:
        return f"| {case.label} | {label} | skipped: module not importable |" + " |" * 11
    if client not in result.samples:
        return f"| {case.label} | {label} | error: {result.errors.get(client, '?')} |" + " |" * 11
    samples, memory = result.samples[client], result.memory.get(client, {})
    floor_memory = result.memory.get("floor", {})
    cells = [
        _fmt(median(samples.all_wall()), 1e3),
        _fmt(p95(samples.all_wall()), 1e3),
        _fmt(median(samples.all_cpu()), 1e3),
        _fmt(median(samples.all_faults()), 1.0, 0),
        _ratio_cell(result.samples, client, "floor", "cpu"),
        _ratio_cell(result.samples, client, "floor_call", "cpu"),
        _ratio_cell(result.samples, client, "py", "cpu"),
        _fmt(memory.get("traced_peak"), 1 / MIB, 1),
        _fmt(memory.get("rss_growth"), 1 / MIB, 1),
        _memory_ratio_cell(memory, floor_memory, "traced_peak"),
        _memory_ratio_cell(memory, floor_memory, "rss_growth"),
    ]
    error = f" ({result.errors[client]})" if client in result.errors else ""
    return f"| {case.label} | {label}{error} | " + " | ".join(cells) + " |"


def _memory_ratio_cell(memory: dict, floor: dict, metric: str) -> str:
    mine, reference = memory.get(metric), floor.get(metric)
    if mine is None or reference is None or reference <= 0:
        return "–"
    return _fmt(mine / reference, 1.0)


def offline_table(report: Report) -> list[str]:
    lines = [
        "| Case | Client | wall median µs | CPU median µs | page faults / call | CPU ÷ native | own work µs (CPU − outside calls) |",
        "|---|---|--:|--:|--:|--:|--:|",
    ]
    for case in filter(report.wants, OFFLINE_CASES):
        result = report.results[case.key]
        for client in case.clients():
            label = CLIENT_LABELS[client]
            if (client, case.api) in report.skipped:
                lines.append(f"| {case.label} | {label} | skipped: module not importable | | | | |")
                continue
            if client not in result.samples:
                lines.append(f"| {case.label} | {label} | error: {result.errors.get(client, '?')} | | | | |")
                continue
            samples = result.samples[client]
            own = own_work(result.samples, client) if client != "outside" else None
            lines.append(
                f"| {case.label} | {label} | {_fmt(median(samples.all_wall()), 1e6, 1)} "
                f"| {_fmt(median(samples.all_cpu()), 1e6, 1)} | {_fmt(median(samples.all_faults()), 1.0, 0)} "
                f"| {_ratio_cell(result.samples, client, 'ours', 'cpu')} "
                f"| {_fmt(median([value for (value,) in own]) if own else None, 1e6, 1)} |"
            )
    return lines


def own_instructions(report: Report, key: str, client: str) -> float | None:
    """Instructions per call of `client` minus those of the outside calls alone (callgrind)."""
    counts = report.instructions.get(key, {})
    mine, outside = counts.get(client), counts.get("outside")
    return None if mine is None or outside is None else mine - outside


def own_instruction_ratio(report: Report, key: str) -> float | None:
    ours, py = own_instructions(report, key, "ours"), own_instructions(report, key, "py")
    return None if ours is None or py is None or py <= 0 else ours / py


def own_work_table(report: Report) -> list[str]:
    lines = [
        "| Path | native own work µs | pure-Python own work µs | native ÷ pure Python (CPU) "
        "| native own work, instructions | pure-Python own work, instructions | native ÷ pure Python (instructions) |",
        "|---|--:|--:|--:|--:|--:|--:|",
    ]
    for case in filter(report.wants, OFFLINE_CASES):
        samples = report.results[case.key].samples
        ours, py = own_work(samples, "ours"), own_work(samples, "py")
        lines.append(
            f"| {case.label} | {_fmt(median([v for (v,) in ours]) if ours else None, 1e6, 2)} "
            f"| {_fmt(median([v for (v,) in py]) if py else None, 1e6, 2)} | {_fmt(own_work_ratio(samples), 1.0, 3)} "
            f"| {_fmt(own_instructions(report, case.key, 'ours'), 1.0, 0)} "
            f"| {_fmt(own_instructions(report, case.key, 'py'), 1.0, 0)} "
            f"| {_fmt(own_instruction_ratio(report, case.key), 1.0, 3)} |"
        )
    return lines


def instruction_table(report: Report) -> list[str]:
    lines = ["| Case | Client | instructions per call |", "|---|---|--:|"]
    for case in filter(report.wants, OFFLINE_CASES):
        for client in case.clients():
            count = report.instructions.get(case.key, {}).get(client)
            lines.append(f"| {case.label} | {CLIENT_LABELS[client]} | {_fmt(count, 1.0, 0) if count is not None else 'not counted'} |")
    return lines


def settling_table(report: Report) -> list[str]:
    """The reference cases before (fresh process, thresholds where the cases leave them) and after."""
    lines = [
        "| Case | Client | before: CPU ms | before: page faults / call | before: ÷ per-call floor | before: ÷ pure Python "
        "| after: CPU ms | after: page faults / call | after: ÷ per-call floor | after: ÷ pure Python |",
        "|---|---|--:|--:|--:|--:|--:|--:|--:|--:|",
    ]
    for key in REFERENCE_KEYS:
        result = report.results.get(key)
        for client in UNSETTLED_CLIENTS:
            before = report.unsettled.get(key, {}).get(client)
            after = result.samples.get(client) if result else None
            cells = (
                [_fmt(before["cpu"], 1e3), _fmt(before["faults"], 1.0, 0), _fmt(before["vs_floor_call"], 1.0),
                 _fmt(before["vs_py"], 1.0)] if before else ["–"] * 4
            ) + (
                [_fmt(median(after.all_cpu()), 1e3), _fmt(median(after.all_faults()), 1.0, 0),
                 _fmt(_ratio(report, key, client, "floor_call"), 1.0), _fmt(_ratio(report, key, client, "py"), 1.0)]
                if after else ["–"] * 4
            )
            lines.append(f"| {CASES[key].label} | {CLIENT_LABELS[client]} | " + " | ".join(cells) + " |")
    return lines


def import_table(report: Report) -> list[str]:
    lines = ["| Module | Client | self ms | cumulative ms |", "|---|---|--:|--:|"]
    for client, module in IMPORTED_MODULES:
        times = report.imports.get(module)
        label = CLIENT_LABELS.get(client, "shared contracts")
        if times is None:
            lines.append(f"| `{module}` | {label} | not importable | |")
        else:
            lines.append(f"| `{module}` | {label} | {_fmt(times[0], 1e3)} | {_fmt(times[1], 1e3)} |")
    return lines


def cold_start_table(report: Report) -> list[str]:
    lines = ["| Fresh interpreter | median ms |", "|---|--:|"]
    for label, _, _ in COLD_STARTS:
        value = report.cold.get(label)
        lines.append(f"| {label} | {_fmt(value, 1e3) if value is not None else 'failed'} |")
    return lines


def machine_notes(report: Report) -> list[str]:
    cpu = platform.processor() or "unknown"
    with contextlib.suppress(OSError):
        with open("/proc/cpuinfo", encoding="utf-8") as cpuinfo:
            cpu = next((line.split(":", 1)[1].strip() for line in cpuinfo if line.startswith("model name")), cpu)
    versions = []
    for name in ("requests", "urllib3", "openai"):
        with contextlib.suppress(Exception):
            versions.append(f"{name} {__import__(name).__version__}")
    tuning = sorted(name for name in os.environ if name.startswith(("MALLOC_", "GLIBC_TUNABLES", "PYTHONMALLOC")))
    libc = "-".join(platform.libc_ver())
    return [
        f"- CPU: {cpu}; {os.cpu_count()} logical cores; {report.cpus}",
        f"- Python: {sys.version.split()[0]} ({platform.python_implementation()}), {sys.executable}",
        f"- OS: {platform.system()} {platform.release()}; {', '.join(versions)}",
        f"- Allocator: {libc} malloc, " + (f"tuned by {', '.join(tuning)}" if tuning else "default settings (no MALLOC_*/GLIBC_TUNABLES/PYTHONMALLOC)")
        + ("; mmap threshold settled at its ceiling before timing" if report.settled else "; heap thresholds as they come"),
        f"- Date: {datetime.datetime.now(datetime.UTC).strftime('%Y-%m-%d %H:%M UTC')}",
    ]


def command_line(argv: list[str]) -> str:
    extra = " ".join(argv)
    inner = ".venv/bin/python bench/run.py" + (f" {extra}" if extra else "")
    return f"tools/sysroot run sh -c 'tools/install && {inner}'"


def render(report: Report, argv: list[str], seconds: float) -> str:
    title = "# Benchmark results"
    if report.quick:
        title += " (quick run: few samples, indicative only)"
    if report.only is not None:
        title += " (partial run: " + ", ".join(sorted(report.only)) + ")"
    lines = [
        title,
        "",
        f"Command: `{command_line(argv)}` ({seconds / 60:.1f} min)",
        "",
        *machine_notes(report),
        "",
        "Every row that feeds a target posts through the same transport: a reused",
        "`requests.Session`, installed as the clients' `http_client` (bench/transport.py). Rows",
        "marked [no target] use another transport and are there for comparison only.",
        "Medians and ratios are what to read; absolute times move with the machine. Ratios are",
        "taken round by round (a client's median against the other's median in the same round),",
        "then the median over rounds. See bench/README.md for what each row measures.",
        "",
        "## Targets",
        "",
        *(f"- {_verdict_word(v)}: {v.target}: {v.detail}" for v in evaluate_targets(report)),
        "",
        "Kept from the earlier list (same transport now):",
        "",
        *(f"- {_verdict_word(v)}: {v.target}: {v.detail}" for v in earlier_targets(report)),
        "",
        "## End to end, loopback server",
        "",
        *network_table(report),
        "",
        "## No network: the client's own work (canned response, in-process http_client)",
        "",
        "The lower-bound row makes only the calls into other modules that one `start` makes;",
        "a client's own work is its CPU per call minus that row's, round by round.",
        "",
        *offline_table(report),
        "",
        "Own work, side by side: CPU time from the timing rounds above, and instructions per call",
        "counted under callgrind (deterministic, unaffected by the machine's load).",
        "",
        *own_work_table(report),
        "",
        *(["Instructions per call (callgrind):", "", *instruction_table(report)] if report.instructions else []),
    ]
    if report.unsettled:
        lines += [
            "",
            "## Reference cases before and after settling glibc's heap thresholds",
            "",
            "Before: the same cases timed alone in a fresh process, glibc's mmap and trim thresholds",
            "wherever those cases leave them. After: this run, whose process first raised the mmap",
            "threshold to its 32 MiB ceiling (one block mapped and freed; no setting changed). Which",
            "client loses before depends on a few kilobytes of heap layout and changes from run to",
            "run; see \"Page faults\" in bench/README.md.",
            "",
            *settling_table(report),
        ]
    if report.only is None:
        lines += [
            "",
            "## Cold start (fresh interpreter, median)",
            "",
            *cold_start_table(report),
            "",
            "## Import time (fresh interpreter, `-X importtime`, median)",
            "",
            *import_table(report),
        ]
    if report.skipped:
        lines += ["", "## Skipped", ""]
        lines += [f"- {CLIENT_LABELS[client]}, {api}: {why}" for (client, api), why in sorted(report.skipped.items())]
    return "\n".join(lines) + "\n"


def _verdict_word(verdict: Verdict) -> str:
    if verdict.holds is None and verdict.detail != "not measured":
        return "reported"
    return {True: "**holds**", False: "**misses**", None: "not measured"}[verdict.holds]


# --- entry -------------------------------------------------------------------------------------


def parse_args(argv: list[str]) -> argparse.Namespace:
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--quick", action="store_true", help="few samples, memory only where targets need it")
    parser.add_argument("--only", help="comma-separated case keys to run (for investigating; no import times)")
    parser.add_argument("--output", type=Path, default=BENCH_DIR / "RESULTS.md", help="where to write the report")
    parser.add_argument("--no-write", action="store_true", help="print the report only")
    parser.add_argument("--probe-memory", nargs=2, metavar=("CLIENT", "CASE"), help=argparse.SUPPRESS)
    parser.add_argument("--server", help=argparse.SUPPRESS)
    parser.add_argument("--unsettled-summary", action="store_true", help=argparse.SUPPRESS)
    parser.add_argument("--count-calls", nargs=3, metavar=("CLIENT", "CASE", "CALLS"), help=argparse.SUPPRESS)
    return parser.parse_args(argv)


def _only(text: str | None) -> frozenset[str] | None:
    if text is None:
        return None
    keys = frozenset(filter(None, text.split(",")))
    unknown = keys - CASES.keys()
    if unknown:
        raise SystemExit(f"unknown case(s): {', '.join(sorted(unknown))}; known: {', '.join(CASES)}")
    return keys


def main(argv: list[str]) -> int:
    args = parse_args(argv)
    if args.probe_memory:
        probe_main(args.probe_memory[0], args.probe_memory[1], args.server)
        return 0
    if args.unsettled_summary:
        print(json.dumps(unsettled_summary(run(False, frozenset(REFERENCE_KEYS), settled=False))))
        return 0
    if args.count_calls:
        count_main(args.count_calls[0], args.count_calls[1], int(args.count_calls[2]))
        return 0
    started = time.perf_counter()
    report = run(args.quick, _only(args.only))
    text = render(report, argv, time.perf_counter() - started)
    print(text)
    if not args.no_write:
        args.output.write_text(text, encoding="utf-8")
        log(f"written: {args.output}")
    failures = [f"{key} / {client}: {error}" for key, result in report.results.items() for client, error in result.errors.items()]
    for failure in failures:
        log(f"client failure: {failure}")
    return 1 if failures else 0


if __name__ == "__main__":
    sys.exit(main(sys.argv[1:]))
