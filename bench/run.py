"""Benchmarks of the native image clients against plain requests, pure Python and the openai SDK.

    tools/sysroot run sh -c 'tools/install && .venv/bin/python bench/run.py'           # full, ~3 min
    tools/sysroot run sh -c 'tools/install && .venv/bin/python bench/run.py --quick'   # smoke, ~1 min

Prints a markdown report and writes it to bench/RESULTS.md (see --output, --no-write). The
targets it checks are reported, never enforced: the exit status is 1 only when a client that
loaded failed to return the image the server sent.
"""

from __future__ import annotations

import argparse
import contextlib
import datetime
import json
import os
import platform
import subprocess
import sys
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
    import_time,
    median,
    p95,
    peak_memory_of,
    probe_memory,
    round_ratio,
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
    return Plan(50, 10, 25.0) if not case.ref_count else Plan(20, 8, 25.0)


def memory_cases(quick: bool) -> tuple[Case, ...]:
    """Quick runs probe only the cases that carry memory targets."""
    if not quick:
        return NETWORK_CASES
    return tuple(case for case in NETWORK_CASES if case.reply == "large" or case.ref_count == 4)


@dataclass
class CaseResult:
    case: Case
    samples: dict[str, Samples] = field(default_factory=dict)
    memory: dict[str, dict[str, float | None]] = field(default_factory=dict)
    errors: dict[str, str] = field(default_factory=dict)


@dataclass
class Report:
    quick: bool
    skipped: dict[tuple[str, str], str] = field(default_factory=dict)  # (client, api) -> why
    results: dict[str, CaseResult] = field(default_factory=dict)
    imports: dict[str, tuple[float, float] | None] = field(default_factory=dict)


def log(message: str) -> None:
    print(message, file=sys.stderr, flush=True)


# --- the loopback server -----------------------------------------------------------------------


@contextlib.contextmanager
def loopback_server() -> Iterator[str]:
    """Start bench/server.py in its own process; its base URL. It stops when its stdin closes."""
    server = subprocess.Popen(
        [sys.executable, str(BENCH_DIR / "server.py")],
        stdin=subprocess.PIPE,
        stdout=subprocess.PIPE,
        text=True,
        cwd=BENCH_DIR,
    )
    try:
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
    return [client for client in case.clients() if (client, case.api) not in report.skipped]


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
        result = report.results[case.key]
        for client in result.samples:
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


def run(quick: bool) -> Report:
    report = Report(quick=quick)
    for client in ("ours", "py", "openai"):
        for api in ("gemini", "images"):
            why = availability(client, api)
            if why:
                report.skipped[(client, api)] = why
    for (client, api), why in report.skipped.items():
        log(f"skipping {client} ({api}): {why}")
    with loopback_server() as server_url:
        for case in NETWORK_CASES:
            log(f"timing: {case.key}")
            report.results[case.key] = measure_network_case(case, server_url, report)
        for case in OFFLINE_CASES:
            log(f"timing: {case.key}")
            report.results[case.key] = measure_offline_case(case, report)
        measure_memory(server_url, report)
    measure_imports(report)
    return report


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
    holds: bool | None  # None: not measured
    detail: str


def _cpu_ratio(report: Report, key: str, mine: str, other: str) -> float | None:
    samples = report.results[key].samples
    if mine not in samples or other not in samples:
        return None
    return round_ratio(samples[mine].cpu, samples[other].cpu)


def _memory_ratio(report: Report, key: str, metric: str) -> float | None:
    memory = report.results[key].memory
    mine, floor = memory.get("ours", {}).get(metric), memory.get("floor", {}).get(metric)
    if mine is None or floor is None or floor <= 0:
        return None
    return mine / floor


def _verdict(target: str, ratio: float | None, limit: float, at_most: bool, unit: str) -> Verdict:
    if ratio is None:
        return Verdict(target, None, "not measured")
    holds = ratio <= limit if at_most else ratio >= limit
    return Verdict(target, holds, f"{ratio:.3f}{unit} (target {'≤' if at_most else '≥'} {limit:g}{unit})")


def evaluate_targets(report: Report) -> list[Verdict]:
    verdicts: list[Verdict] = []
    for api, name in (("gemini", "Gemini"), ("images", "images API")):
        for suffix, what, limit in (("text", "text only", 3.0), ("ref", "one 1 MB reference", 1.5)):
            samples = report.results[f"{api}-offline-{suffix}"].samples
            ratio = round_ratio(samples["py"].wall, samples["ours"].wall) if {"py", "ours"} <= samples.keys() else None
            verdict = _verdict(f"No network, {name}, {what}: native start faster than pure Python", ratio, limit, False, "x")
            if {"py", "outside"} <= samples.keys():
                ceiling = round_ratio(samples["py"].wall, samples["outside"].wall)
                verdict = Verdict(verdict.target, verdict.holds, f"{verdict.detail}; the outside calls alone, made through the same Python functions, cap it at {ceiling:.2f}x")
            verdicts.append(verdict)
        small = f"{api}-small"
        verdicts.append(_verdict(f"{name}, small reply: our CPU ÷ floor CPU", _cpu_ratio(report, small, "ours", "floor"), 1.05, True, "x"))
        if api == "images":
            verdicts.append(_verdict(f"{name}, small reply: our CPU ÷ openai SDK CPU", _cpu_ratio(report, small, "ours", "openai"), 0.6, True, "x"))
        large = f"{api}-large"
        for metric, label in (("traced_peak", "tracemalloc"), ("rss_growth", "ΔRSS")):
            verdicts.append(_memory_verdict(report, large, metric, f"{name}, large reply: our peak memory ({label}) ÷ floor's", 1.0))
        verdicts.append(_verdict(f"{name}, large reply: our CPU ÷ floor CPU", _cpu_ratio(report, large, "ours", "floor"), 1.05, True, "x"))
        refs = f"{api}-refs-4x5"
        for metric, label in (("traced_peak", "tracemalloc"), ("rss_growth", "ΔRSS")):
            verdicts.append(_memory_verdict(report, refs, metric, f"{name}, 4 x 5 MB references: our peak memory ({label}) ÷ floor's", 1.05))
    return verdicts


def _memory_verdict(report: Report, key: str, metric: str, target: str, limit: float) -> Verdict:
    """A memory verdict that also says by how many KiB the two peaks differ."""
    verdict = _verdict(target, _memory_ratio(report, key, metric), limit, True, "x")
    memory = report.results[key].memory
    mine, floor = memory.get("ours", {}).get(metric), memory.get("floor", {}).get(metric)
    if mine is None or floor is None:
        return verdict
    difference = (mine - floor) / 1024
    return Verdict(verdict.target, verdict.holds, f"{verdict.detail}; ours {difference:+,.0f} KiB against the floor")


# --- the report --------------------------------------------------------------------------------


def _fmt(value: float | None, scale: float, digits: int = 2) -> str:
    if value is None or value != value:  # None or NaN
        return "–"
    return f"{value * scale:.{digits}f}"


def _ratio_cell(samples: dict[str, Samples], client: str, reference: str, metric: str) -> str:
    if client == reference or reference not in samples:
        return "–" if client != reference else "1.00"
    ratio = round_ratio(getattr(samples[client], metric), getattr(samples[reference], metric))
    return _fmt(ratio, 1.0)


def network_table(report: Report) -> list[str]:
    lines = [
        "| Case | Client | wall median ms | wall p95 ms | CPU median ms | wall ÷ floor | CPU ÷ floor "
        "| tracemalloc peak MiB | ΔRSS peak MiB | tracemalloc ÷ floor | ΔRSS ÷ floor |",
        "|---|---|--:|--:|--:|--:|--:|--:|--:|--:|--:|",
    ]
    for case in NETWORK_CASES:
        result = report.results[case.key]
        for client in case.clients():
            lines.append(_network_row(report, result, client))
    return lines


def _network_row(report: Report, result: CaseResult, client: str) -> str:
    case, label = result.case, CLIENT_LABELS[client]
    if (client, case.api) in report.skipped:
        return f"| {case.label} | {label} | skipped: module not importable |" + " |" * 9
    if client not in result.samples:
        return f"| {case.label} | {label} | error: {result.errors.get(client, '?')} |" + " |" * 9
    samples, memory = result.samples[client], result.memory.get(client, {})
    floor_memory = result.memory.get("floor", {})
    cells = [
        _fmt(median(samples.all_wall()), 1e3),
        _fmt(p95(samples.all_wall()), 1e3),
        _fmt(median(samples.all_cpu()), 1e3),
        _ratio_cell(result.samples, client, "floor", "wall"),
        _ratio_cell(result.samples, client, "floor", "cpu"),
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
        "| Case | Client | wall median µs | wall p95 µs | CPU median µs | wall ÷ native |",
        "|---|---|--:|--:|--:|--:|",
    ]
    for case in OFFLINE_CASES:
        result = report.results[case.key]
        for client in case.clients():
            label = CLIENT_LABELS[client]
            if (client, case.api) in report.skipped:
                lines.append(f"| {case.label} | {label} | skipped: module not importable | | | |")
                continue
            if client not in result.samples:
                lines.append(f"| {case.label} | {label} | error: {result.errors.get(client, '?')} | | | |")
                continue
            samples = result.samples[client]
            lines.append(
                f"| {case.label} | {label} | {_fmt(median(samples.all_wall()), 1e6, 1)} "
                f"| {_fmt(p95(samples.all_wall()), 1e6, 1)} | {_fmt(median(samples.all_cpu()), 1e6, 1)} "
                f"| {_ratio_cell(result.samples, client, 'ours', 'wall')} |"
            )
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


def machine_notes() -> list[str]:
    cpu = platform.processor() or "unknown"
    with contextlib.suppress(OSError):
        with open("/proc/cpuinfo", encoding="utf-8") as cpuinfo:
            cpu = next((line.split(":", 1)[1].strip() for line in cpuinfo if line.startswith("model name")), cpu)
    versions = []
    for name in ("requests", "openai"):
        with contextlib.suppress(Exception):
            versions.append(f"{name} {__import__(name).__version__}")
    return [
        f"- CPU: {cpu}; {os.cpu_count()} logical cores, {len(os.sched_getaffinity(0))} usable",
        f"- Python: {sys.version.split()[0]} ({platform.python_implementation()}), {sys.executable}",
        f"- OS: {platform.system()} {platform.release()}; {', '.join(versions)}",
        f"- Date: {datetime.datetime.now(datetime.UTC).strftime('%Y-%m-%d %H:%M UTC')}",
    ]


def command_line(argv: list[str]) -> str:
    extra = " ".join(argv)
    inner = ".venv/bin/python bench/run.py" + (f" {extra}" if extra else "")
    return f"tools/sysroot run sh -c 'tools/install && {inner}'"


def render(report: Report, argv: list[str]) -> str:
    verdicts = evaluate_targets(report)
    lines = [
        "# Benchmark results" + (" (quick run: few samples, indicative only)" if report.quick else ""),
        "",
        f"Command: `{command_line(argv)}`",
        "",
        *machine_notes(),
        "",
        "Medians and ratios are what to read; absolute times move with the machine. Ratios are",
        "taken round by round (each client's median against the floor's median in the same",
        "round), then the median over rounds. See bench/README.md for what each row measures.",
        "",
        "## Targets",
        "",
        *(f"- {_verdict_word(v)}: {v.target}: {v.detail}" for v in verdicts),
        "",
        "## End to end, loopback server",
        "",
        *network_table(report),
        "",
        "## No network: the client's own work (canned response, in-process http_client)",
        "",
        "The lower-bound row makes only the calls into other modules that one `start` makes;",
        "no implementation that makes the same calls through the same Python functions can beat",
        "it. A native client may go below it where it reaches the same result more directly",
        "(for instance base64 straight into the text of the part).",
        "",
        *offline_table(report),
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
    return {True: "**holds**", False: "**misses**", None: "not measured"}[verdict.holds]


# --- entry -------------------------------------------------------------------------------------


def parse_args(argv: list[str]) -> argparse.Namespace:
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--quick", action="store_true", help="few samples, memory only where targets need it")
    parser.add_argument("--output", type=Path, default=BENCH_DIR / "RESULTS.md", help="where to write the report")
    parser.add_argument("--no-write", action="store_true", help="print the report only")
    parser.add_argument("--probe-memory", nargs=2, metavar=("CLIENT", "CASE"), help=argparse.SUPPRESS)
    parser.add_argument("--server", help=argparse.SUPPRESS)
    return parser.parse_args(argv)


def main(argv: list[str]) -> int:
    args = parse_args(argv)
    if args.probe_memory:
        probe_main(args.probe_memory[0], args.probe_memory[1], args.server)
        return 0
    report = run(args.quick)
    text = render(report, argv)
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
