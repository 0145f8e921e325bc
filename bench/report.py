"""The markdown report of one run: bottom line, verdicts, then the tables they come from."""

from __future__ import annotations

import contextlib
import datetime
import os
import platform
import sys

from bench.cases import CASES, CLIENT_LABELS, NETWORK_CASES, OFFLINE_CASES, REFERENCE_KEYS, CaseResult, Report
from bench.payloads import MIB
from bench.stats import Samples, median, p95, per_round_value, ratio
from bench.verdicts import COLD_STARTS, bottom_line, evaluate, own_instructions, own_work

IMPORTED_MODULES = (
    ("floor", "requests"),
    ("contracts", "corvessa.config"),
    ("ours", "corvessa.image.sorvanel"),
    ("ours", "corvessa.image.tovarin"),
    ("py", "tests.twins.sorvanel_py"),
    ("py", "tests.twins.tovarin_py"),
    ("openai", "openai"),
)
UNSETTLED_CLIENTS = ("floor_call", "ours", "py")


def _fmt(value: float | None, scale: float = 1.0, digits: int = 2) -> str:
    if value is None or value != value:  # None or NaN
        return "–"
    return f"{value * scale:.{digits}f}"


def _table(header: list[str], right: int, rows: list[list[str]]) -> list[str]:
    """A markdown table whose first columns are text and whose last `right` are figures."""
    align = ["---"] * (len(header) - right) + ["--:"] * right
    return ["| " + " | ".join(row) + " |" for row in [header, align, *rows]]


def cpu_ratio_value(samples: dict[str, Samples], client: str, reference: str) -> float | None:
    if client not in samples or reference not in samples:
        return None
    return per_round_value([samples[client].cpu, samples[reference].cpu], ratio)


def _mid(values: list[float] | None) -> float | None:
    return median(values) if values else None


def _row_failure(report: Report, result: CaseResult, client: str) -> str | None:
    module_client = "ours" if client == "ours_contracts" else client
    if (module_client, result.case.api) in report.skipped:
        return "skipped: module not importable"
    if client not in result.samples:
        return f"error: {result.errors.get(client, '?')}"
    return None


def network_table(report: Report) -> list[str]:
    rows = []
    for case in filter(report.wants, NETWORK_CASES):
        result = report.results[case.key]
        for client in case.clients():
            failure = _row_failure(report, result, client)
            if failure:
                rows.append([case.label, CLIENT_LABELS[client], failure] + [""] * 10)
                continue
            samples, memory = result.samples[client], result.memory.get(client, {})
            floor = result.memory.get("floor", {})
            memory_cells = [_fmt(_mid(memory.get(m)), 1 / MIB, 1) for m in ("traced_peak", "rss_growth")]
            memory_cells += [
                _fmt(ratio(_mid(memory[m]) or 0, _mid(floor[m]) or 0)) if memory.get(m) and floor.get(m) else "–"
                for m in ("traced_peak", "rss_growth")
            ]
            rows.append(
                [
                    case.label,
                    CLIENT_LABELS[client] + (f" ({result.errors[client]})" if client in result.errors else ""),
                    _fmt(median(Samples.flat(samples.wall)), 1e3),
                    _fmt(p95(Samples.flat(samples.wall)), 1e3),
                    _fmt(median(Samples.flat(samples.cpu)), 1e3),
                    _fmt(median(Samples.flat(samples.faults)), 1, 0),
                    *(_fmt(cpu_ratio_value(result.samples, client, other)) for other in ("floor", "floor_call", "py")),
                    *memory_cells,
                ]
            )
    header = [
        "Case",
        "Client",
        "wall median ms",
        "wall p95 ms",
        "CPU median ms",
        "page faults / call",
        "CPU ÷ floor",
        "CPU ÷ per-call floor",
        "CPU ÷ pure Python",
        "tracemalloc peak MiB",
        "ΔRSS peak MiB",
        "tracemalloc ÷ floor",
        "ΔRSS ÷ floor",
    ]
    return _table(header, 11, rows)


def _own_cell(value: float | None, scale: float, digits: int) -> str:
    """Own work, or why there is none: it is never shown as a negative figure."""
    if value is None or value != value:
        return "–"
    return _fmt(value, scale, digits) if value > 0 else "below the lower bound"


def offline_table(report: Report) -> list[str]:
    rows = []
    for case in filter(report.wants, OFFLINE_CASES):
        result = report.results[case.key]
        for client in case.clients():
            failure = _row_failure(report, result, client)
            if failure:
                rows.append([case.label, CLIENT_LABELS[client], failure] + [""] * 6)
                continue
            samples = result.samples[client]
            own = own_work(report, case.key, client) if client != "outside" else None
            own_n = own_instructions(report, case.key, client) if client != "outside" else None
            count = report.instructions.get(case.key, {}).get(client)
            rows.append(
                [
                    case.label,
                    CLIENT_LABELS[client],
                    _fmt(median(Samples.flat(samples.wall)), 1e6, 1),
                    _fmt(median(Samples.flat(samples.cpu)), 1e6, 1),
                    _fmt(median(Samples.flat(samples.faults)), 1, 0),
                    _fmt(cpu_ratio_value(result.samples, client, "ours")),
                    _own_cell(own.value if own else None, 1e6, 1),
                    _fmt(count, 1, 0),
                    _own_cell(own_n, 1, 0),
                ]
            )
    header = [
        "Case",
        "Client",
        "wall median µs",
        "CPU median µs",
        "page faults / call",
        "CPU ÷ native",
        "own work µs (CPU − outside calls)",
        "instructions / call",
        "own work, instructions",
    ]
    return _table(header, 7, rows)


def settling_table(report: Report) -> list[str]:
    """The reference cases before (fresh process, thresholds where the cases leave them) and after."""
    rows = []
    for key in filter(lambda key: key in report.unsettled, REFERENCE_KEYS):
        samples = report.samples(key)
        for client in UNSETTLED_CLIENTS:
            before = report.unsettled[key].get(client)
            after = samples.get(client)
            rows.append(
                [CASES[key].label, CLIENT_LABELS[client]]
                + (
                    [
                        _fmt(before["cpu"], 1e3),
                        _fmt(before["faults"], 1, 0),
                        _fmt(before["vs_floor_call"]),
                        _fmt(before["vs_py"]),
                    ]
                    if before
                    else ["–"] * 4
                )
                + (
                    [
                        _fmt(median(Samples.flat(after.cpu)), 1e3),
                        _fmt(median(Samples.flat(after.faults)), 1, 0),
                        _fmt(cpu_ratio_value(samples, client, "floor_call")),
                        _fmt(cpu_ratio_value(samples, client, "py")),
                    ]
                    if after
                    else ["–"] * 4
                )
            )
    header = [
        "Case",
        "Client",
        "before: CPU ms",
        "before: page faults / call",
        "before: ÷ per-call floor",
        "before: ÷ pure Python",
        "after: CPU ms",
        "after: page faults / call",
        "after: ÷ per-call floor",
        "after: ÷ pure Python",
    ]
    return _table(header, 8, rows)


def unsettled_summary(report: Report) -> dict[str, dict[str, dict[str, float]]]:
    """Per reference case and client: CPU median, page faults per call, and the two ratios."""
    summary: dict[str, dict[str, dict[str, float]]] = {}
    for key in report.results:
        samples = report.samples(key)
        summary[key] = {
            client: {
                "cpu": median(Samples.flat(samples[client].cpu)),
                "faults": median(Samples.flat(samples[client].faults)),
                "vs_floor_call": cpu_ratio_value(samples, client, "floor_call") or float("nan"),
                "vs_py": cpu_ratio_value(samples, client, "py") or float("nan"),
            }
            for client in UNSETTLED_CLIENTS
            if client in samples
        }
    return summary


def startup_tables(report: Report) -> list[str]:
    cold = _table(
        ["Fresh interpreter", "median ms"],
        1,
        [
            [label, _fmt(report.cold.get(label), 1e3) if report.cold.get(label) is not None else "failed"]
            for label, _, _ in COLD_STARTS
        ],
    )
    imports = []
    for client, module in IMPORTED_MODULES:
        times = report.imports.get(module)
        label = CLIENT_LABELS.get(client, "shared contracts")
        imports.append(
            [f"`{module}`", label]
            + (["not importable", ""] if times is None else [_fmt(times[0], 1e3), _fmt(times[1], 1e3)])
        )
    return [
        "## Cold start (fresh interpreter, median)",
        "",
        *cold,
        "",
        "## Import time (fresh interpreter, `-X importtime`, median)",
        "",
        *_table(["Module", "Client", "self ms", "cumulative ms"], 2, imports),
    ]


def machine_notes(report: Report) -> list[str]:
    """The machine and software, with nothing that names a local path."""
    cpu = platform.processor() or "unknown"
    with contextlib.suppress(OSError):
        with open("/proc/cpuinfo", encoding="utf-8") as cpuinfo:
            cpu = next((line.split(":", 1)[1].strip() for line in cpuinfo if line.startswith("model name")), cpu)
    versions = []
    for name in ("requests", "urllib3", "openai"):
        with contextlib.suppress(Exception):
            versions.append(f"{name} {__import__(name).__version__}")
    tuning = sorted(name for name in os.environ if name.startswith(("MALLOC_", "GLIBC_TUNABLES", "PYTHONMALLOC")))
    allocator = (
        f"tuned by {', '.join(tuning)}" if tuning else "default settings (no MALLOC_*/GLIBC_TUNABLES/PYTHONMALLOC)"
    )
    settled = (
        "mmap threshold settled at its ceiling before timing" if report.settled else "heap thresholds as they come"
    )
    return [
        f"- CPU: {cpu}; {os.cpu_count()} logical cores; {report.cpus}",
        f"- Python: {sys.version.split()[0]} ({platform.python_implementation()}); "
        f"OS: {platform.system()} {platform.release()}; {', '.join(versions)}",
        f"- Allocator: {'-'.join(platform.libc_ver())} malloc, {allocator}; {settled}",
        f"- Date: {datetime.datetime.now(datetime.UTC).strftime('%Y-%m-%d %H:%M UTC')}",
    ]


def render(report: Report, command: str, seconds: float) -> str:
    verdicts = evaluate(report)
    title = "# Benchmark results"
    if report.quick:
        title += " (quick run: few samples, indicative only)"
    if report.only is not None:
        title += " (partial run: " + ", ".join(sorted(report.only)) + ")"
    lines = [
        title,
        "",
        *(f"- {line}" for line in bottom_line(verdicts)),
        "",
        f"Command: `{command}`; the run took {int(seconds // 60)} min {int(seconds % 60):02d} s.",
        "",
        *machine_notes(report),
        "",
        "Every row that feeds a target posts through the same transport: a reused `requests.Session`,",
        "installed as the clients' `http_client` (bench/transport.py); rows marked [no target] use",
        "another and are there for comparison only. Ratios are taken round by round (a client's",
        "median against the other's in the same round), then the median over rounds. A verdict",
        "holds when its whole 95 % interval (bootstrap over the interleaved samples) is within the",
        "target, misses when all of it is beyond, and is within noise otherwise. See bench/README.md.",
        "",
        "## Targets",
        "",
        *(verdict.line() for verdict in verdicts),
        "",
        "## End to end, loopback server",
        "",
        *network_table(report),
        "",
        "## No network: the client's own work (canned response, in-process http_client)",
        "",
        "The lower-bound row makes only the calls into other modules that one `start` makes; a",
        "client's own work is its CPU (or instruction count, under callgrind) per call minus that",
        "row's. A client that skips one of those calls can come out below the row: its own work",
        'then reads "below the lower bound" and its own-work verdict is withheld.',
        "",
        *offline_table(report),
    ]
    if report.unsettled:
        lines += [
            "",
            "## Reference cases before and after settling glibc's heap thresholds",
            "",
            "Before: the same cases timed alone in a fresh process, glibc's mmap and trim thresholds",
            "wherever those cases leave them. After: this run, whose process first raised the mmap",
            'threshold to its 32 MiB ceiling. See "Page faults" in bench/README.md.',
            "",
            *settling_table(report),
        ]
    if report.only is None:
        lines += ["", *startup_tables(report)]
    if report.skipped:
        lines += ["", "## Skipped", ""]
        lines += [f"- {CLIENT_LABELS[client]}, {api}: {why}" for (client, api), why in sorted(report.skipped.items())]
    return "\n".join(lines) + "\n"
