"""The bench runner: times every case, probes memory, instructions and start-up, writes the report.

    python -m bench.run                          # from the repository root (make bench)
    python -m bench.run --quick --only gemini-small --no-write      # smoke check, seconds

The report goes to stdout and to bench/RESULTS.md. Targets are reported, never enforced: the
exit status is 1 only when a client that loaded failed to return the image the server sent.
"""

from __future__ import annotations

import argparse
import contextlib
import json
import os
import subprocess
import sys
import time
from collections.abc import Iterator
from pathlib import Path
from typing import Final

from bench.cases import (
    CASES,
    MEMORY_CLIENTS,
    MEMORY_REPEATS,
    NETWORK_CASES,
    OFFLINE_CASES,
    REFERENCE_KEYS,
    Case,
    CaseResult,
    Report,
)
from bench.clients import Call, availability, build_call, expected_image, recording_http_client
from bench.probes import REPO_ROOT, cold_start, import_time, instructions_per_call, probe_memory
from bench.report import IMPORTED_MODULES, render, unsettled_summary
from bench.request_checks import RecordingHttpClient, WrongResult, check_recorded_request
from bench.timing import settle_heap_thresholds, time_rounds
from bench.verdicts import COLD_STARTS

RESULTS: Final = REPO_ROOT / "bench" / "RESULTS.md"


def log(message: str) -> None:
    print(message, file=sys.stderr, flush=True)


def split_cpus() -> tuple[set[int], set[int]]:
    """One CPU for the measured client process, another for the server when there are two or more."""
    usable = sorted(os.sched_getaffinity(0))
    return {usable[0]}, {usable[1] if len(usable) > 1 else usable[0]}


@contextlib.contextmanager
def loopback_server(cpus: set[int]) -> Iterator[str]:
    """Start bench.server in its own process (on `cpus`); its base URL. It stops when its stdin closes."""
    server = subprocess.Popen(
        [sys.executable, "-m", "bench.server"], stdin=subprocess.PIPE, stdout=subprocess.PIPE, text=True, cwd=REPO_ROOT
    )
    try:
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


def runnable_clients(case: Case, report: Report) -> list[str]:
    """The case's clients whose module imports ("ours_contracts" runs the native module)."""
    return [
        client
        for client in case.clients()
        if ("ours" if client == "ours_contracts" else client, case.api) not in report.skipped
    ]


def verified_calls(
    case: Case,
    clients: list[str],
    server_url: str,
    result: CaseResult,
    recorders: dict[str, RecordingHttpClient] | None = None,
) -> dict[str, Call]:
    """One warm-up call per client, checked against the image the server sent."""
    calls: dict[str, Call] = {}
    for client in clients:
        try:
            call = build_call(client, case, server_url, case.references(), recorder=(recorders or {}).get(client))
            if call() != expected_image(case):
                raise WrongResult("image bytes differ from the server's")
            if recorders and client != "outside":
                check_recorded_request(recorders[client], case)
            calls[client] = call
        except Exception as exc:  # a broken client is reported in its row, the run goes on
            result.errors[client] = f"{type(exc).__name__}: {exc}"[:300]
    return calls


def measure_case(case: Case, server_url: str, report: Report) -> CaseResult:
    """Timing rounds of one case; the no-network cases swap each module's http_client for a recorder."""
    result = CaseResult(case)
    clients = runnable_clients(case, report)
    with contextlib.ExitStack() as stack:
        recorders = (
            None
            if case.network
            else {client: stack.enter_context(recording_http_client(client, case)) for client in clients}
        )
        calls = verified_calls(case, clients, server_url, result, recorders)
        result.samples = time_rounds(calls, case.plan(report.quick), result.errors)
    return result


def measure_memory(server_url: str, report: Report) -> None:
    """Fresh-process memory probes; the floor and native sides of a memory target in turns, repeated."""
    for case in filter(report.wants, NETWORK_CASES):
        if report.quick and case.memory_limit is None:
            continue
        result = report.results[case.key]
        clients = [name for name in MEMORY_CLIENTS if name in result.samples]
        repeats = MEMORY_REPEATS if case.memory_limit is not None and not report.quick else 1
        for turn in range(repeats):
            for client in clients if turn == 0 else [name for name in clients if name in ("floor", "ours")]:
                log(f"  memory: {case.key} / {client}")
                try:
                    figures = probe_memory(client, case.key, server_url)
                except Exception as exc:  # reported in the row
                    result.errors[client] = f"memory probe: {exc}"[:300]
                    continue
                for metric, value in figures.items():
                    if value is not None:
                        result.memory.setdefault(client, {}).setdefault(metric, []).append(value)


def measure_instructions(report: Report) -> None:
    """Callgrind counts of the no-network cases (base64 of 1 MiB is 1.4 M instructions: fewer calls there)."""
    for case in filter(report.wants, OFFLINE_CASES):
        counts = report.instructions.setdefault(case.key, {})
        for client in runnable_clients(case, report):
            log(f"  instructions: {case.key} / {client}")
            counts[client] = instructions_per_call(
                client, case.key, 40 if case.ref_count and case.api == "gemini" else 1000
            )


def measure_startup(report: Report) -> None:
    for _, module in IMPORTED_MODULES:
        log(f"  import time: {module}")
        report.imports[module] = import_time(module, 5)
    for label, imports, construct in COLD_STARTS:
        log(f"  cold start: {label}")
        report.cold[label] = cold_start(imports, construct, 5)


def measure_unsettled(keys: list[str]) -> dict[str, dict[str, dict[str, float]]]:
    """The reference cases among `keys` again, in a fresh process that leaves glibc's thresholds alone."""
    if not keys:
        return {}
    log("timing: reference cases on an unsettled heap (fresh process)")
    done = subprocess.run(
        [sys.executable, "-m", "bench.run", "--unsettled", "--only", ",".join(keys)],
        capture_output=True,
        text=True,
        cwd=REPO_ROOT,
        timeout=1800,
        check=False,
    )
    if done.returncode != 0:
        log(f"unsettled pass failed: {done.stderr.strip()[-2000:]}")
        return {}
    settled: dict[str, dict[str, dict[str, float]]] = json.loads(done.stdout.strip().splitlines()[-1])
    return settled


def run(quick: bool, only: frozenset[str] | None, settled: bool = True) -> Report:
    """Every measurement of a run, of the cases in `only` alone when given.

    `settled=False` leaves glibc's heap thresholds where the cases put them and only times.
    """
    client_cpus, server_cpus = split_cpus()
    report = Report(
        quick=quick,
        only=only,
        cpus=f"client process on CPU {min(client_cpus)}, loopback server on CPU {min(server_cpus)}",
    )
    os.sched_setaffinity(0, client_cpus)
    report.settled = settled and settle_heap_thresholds()
    for client in ("ours", "py", "openai"):
        for api in ("gemini", "images"):
            why = availability(client, api)
            if why:
                report.skipped[(client, api)] = why
                log(f"skipping {client} ({api}): {why}")
    with loopback_server(server_cpus) as server_url:
        for case in filter(report.wants, NETWORK_CASES + OFFLINE_CASES):
            log(f"timing: {case.key}")
            report.results[case.key] = measure_case(case, server_url, report)
        if settled:
            measure_memory(server_url, report)
    if settled and not quick:
        measure_instructions(report)
        report.unsettled = measure_unsettled([key for key in REFERENCE_KEYS if report.wants(CASES[key])])
    if settled and only is None:
        measure_startup(report)
    return report


def parse_args(argv: list[str]) -> argparse.Namespace:
    parser = argparse.ArgumentParser(
        prog="python -m bench.run", description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter
    )
    parser.add_argument(
        "--quick",
        action="store_true",
        help="few samples, no callgrind and no unsettled pass: checks that everything runs",
    )
    parser.add_argument("--only", help=f"comma-separated case keys to run, and nothing else ({', '.join(CASES)})")
    parser.add_argument("--output", type=Path, default=RESULTS, help="where to write the report")
    parser.add_argument("--no-write", action="store_true", help="print the report only")
    parser.add_argument("--unsettled", action="store_true", help=argparse.SUPPRESS)
    args = parser.parse_args(argv)
    if args.only is not None:
        args.only = frozenset(filter(None, args.only.split(",")))
        if unknown := args.only - CASES.keys():
            parser.error(f"unknown case(s): {', '.join(sorted(unknown))}")
    return args


def main(argv: list[str]) -> int:
    args = parse_args(argv)
    if args.unsettled:
        print(json.dumps(unsettled_summary(run(False, args.only, settled=False))))
        return 0
    started = time.perf_counter()
    report = run(args.quick, args.only)
    command = "make bench" if not argv else f"python -m bench.run {' '.join(argv)}"
    text = render(report, command, time.perf_counter() - started)
    print(text)
    if not args.no_write:
        args.output.write_text(text, encoding="utf-8")
        log(f"written: {args.output}")
    failures = [
        f"{key} / {client}: {error}"
        for key, result in report.results.items()
        for client, error in result.errors.items()
    ]
    for failure in failures:
        log(f"client failure: {failure}")
    return 1 if failures else 0


if __name__ == "__main__":
    sys.exit(main(sys.argv[1:]))
