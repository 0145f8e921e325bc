"""The targets, judged from one run: each verdict carries its figure and 95 % interval."""

from __future__ import annotations

import math
from dataclasses import dataclass
from typing import Final

from bench.cases import NETWORK_CASES, OFFLINE_CASES, Case, Report
from bench.stats import Estimate, per_round_estimate, ratio

HOLDS: Final = "holds"
MISSES: Final = "misses"
NOISE: Final = "within noise"
WITHHELD: Final = "withheld"
UNMEASURED: Final = "not measured"
REPORTED: Final = "reported"

# Cold start: a fresh interpreter imports these and builds one client of each API.
COLD_STARTS: Final = (
    ("`import requests` alone", "import requests", ""),
    (
        "ours (native): import both modules + construct both clients",
        "import corvessa.image.sorvanel as g, corvessa.image.tovarin as i",
        "g.SorvanelClient(BASE, KEY); i.TovarinClient(BASE, KEY)",
    ),
    (
        "pure-Python twins: import both + construct both clients",
        "import tests.twins.sorvanel_py as g, tests.twins.tovarin_py as i",
        "g.SorvanelClient(BASE, KEY); i.TovarinClient(BASE, KEY)",
    ),
)


@dataclass(frozen=True)
class Verdict:
    target: str
    kind: str  # "floor", "py", "memory", "own" or "cold": what the bottom line groups by
    state: str
    estimate: Estimate | None = None
    limit: float | None = None
    note: str = ""

    def line(self) -> str:
        word = f"**{self.state}**" if self.state in (HOLDS, MISSES, NOISE) else self.state
        figure = ""
        if self.estimate is not None and self.limit is not None:
            e, digits = self.estimate, 3
            # Enough digits that a figure just beyond the limit never prints as the limit itself.
            while digits < 6 and any(round(v, digits) == self.limit != v for v in (e.value, e.low, e.high)):
                digits += 1
            figure = (
                f"{e.value:.{digits}f}x (95 % CI {e.low:.{digits}f}–{e.high:.{digits}f}; target ≤ {self.limit:.3g}x)"
            )
        return f"- {word}: {self.target}: " + "; ".join(filter(None, [figure, self.note]))


def judge(target: str, kind: str, estimate: Estimate | None, limit: float, note: str = "") -> Verdict:
    """Holds when the whole interval is at or below the limit, misses when all of it is above."""
    if estimate is None or math.isnan(estimate.value):
        return Verdict(target, kind, UNMEASURED)
    if estimate.high <= limit:
        state = HOLDS
    elif estimate.low > limit:
        state = MISSES
    else:
        state = NOISE
    return Verdict(target, kind, state, estimate, limit, note)


def cpu_ratio(report: Report, key: str, mine: str, other: str) -> Estimate | None:
    samples = report.samples(key)
    if mine not in samples or other not in samples:
        return None
    return per_round_estimate([samples[mine].cpu, samples[other].cpu], ratio)


def own_work(report: Report, key: str, client: str) -> Estimate | None:
    """The client's CPU per call minus the outside calls' CPU per call, round by round."""
    samples = report.samples(key)
    if client not in samples or "outside" not in samples:
        return None
    return per_round_estimate([samples[client].cpu, samples["outside"].cpu], lambda mine, outside: mine - outside)


def own_instructions(report: Report, key: str, client: str) -> float | None:
    """Instructions per call of `client` minus those of the outside calls alone (callgrind)."""
    counts = report.instructions.get(key, {})
    mine, outside = counts.get(client), counts.get("outside")
    return None if mine is None or outside is None else mine - outside


def memory_ratio(report: Report, key: str, metric: str) -> tuple[Estimate | None, str]:
    """Native peak ÷ floor peak over the probes' paired repeats, and the difference in KiB."""
    memory = report.results[key].memory if key in report.results else {}
    mine, floor = memory.get("ours", {}).get(metric), memory.get("floor", {}).get(metric)
    if not mine or not floor:
        return None, ""
    turns = min(len(mine), len(floor))
    estimate = per_round_estimate([[mine[:turns]], [floor[:turns]]], ratio)  # one round of paired turns
    difference = (sorted(mine)[len(mine) // 2] - sorted(floor)[len(floor) // 2]) / 1024
    digits = 1 if abs(difference) < 10 else 0  # a peak under a KiB above the floor's never reads "+0"
    return estimate, f"native {difference:+,.{digits}f} KiB against the floor"


def _own_work_verdict(report: Report, case: Case) -> Verdict:
    target = f"{case.label}: native own work ÷ pure-Python own work (CPU)"
    ours, py = own_work(report, case.key, "ours"), own_work(report, case.key, "py")
    if ours is None or py is None:
        return Verdict(target, "own", UNMEASURED)
    if ours.value <= 0 or py.value <= 0:
        who = "native" if ours.value <= 0 else "pure-Python"
        figure = ours.value if ours.value <= 0 else py.value
        return Verdict(
            target,
            "own",
            WITHHELD,
            note=(
                f"{who} CPU per call is {-figure * 1e6:.1f} µs below the outside-calls row's: that client skips "
                "outside calls the row makes, so its own work cannot be separated; the total CPU verdict stands"
            ),
        )
    samples = report.samples(case.key)
    estimate = per_round_estimate(
        [samples["ours"].cpu, samples["py"].cpu, samples["outside"].cpu],
        lambda mine, twin, outside: max(mine - outside, 0.0) / (twin - outside) if twin > outside else math.inf,
    )
    mine_n, py_n = own_instructions(report, case.key, "ours"), own_instructions(report, case.key, "py")
    note = f"{mine_n / py_n:.3f}x by instruction count" if mine_n and py_n and mine_n > 0 and py_n > 0 else ""
    return judge(target, "own", estimate, 1 / 3, note)


def _cold_start_verdict(report: Report) -> Verdict:
    target = "Cold start: import of both modules plus construction, beside `import requests` alone"
    requests_alone, ours, py = (report.cold.get(label) for label, _, _ in COLD_STARTS)
    if requests_alone is None or ours is None:
        return Verdict(target, "cold", UNMEASURED)
    note = f"native {ours * 1e3:.1f} ms against {requests_alone * 1e3:.1f} ms for requests alone"
    if py is not None:
        note += f"; pure-Python twins {py * 1e3:.1f} ms"
    return Verdict(target, "cold", REPORTED, note=note)


def evaluate(report: Report) -> list[Verdict]:
    """Every target of the cases this run measured."""
    wanted = [case for case in NETWORK_CASES + OFFLINE_CASES if report.wants(case)]
    verdicts: list[Verdict] = []
    for case in wanted:
        if case.network and case.ref_count == 0:
            limit = 1.05
            verdicts.append(
                judge(
                    f"{case.label}, same transport: native CPU ÷ floor CPU",
                    "floor",
                    cpu_ratio(report, case.key, "ours", "floor"),
                    limit,
                )
            )
        if case.ref_count and case.network:
            verdicts.append(
                judge(
                    f"{case.label}: native CPU ÷ per-call floor CPU",
                    "floor",
                    cpu_ratio(report, case.key, "ours", "floor_call"),
                    1.05,
                )
            )
        verdicts.append(
            judge(f"{case.label}: native CPU ÷ pure-Python CPU", "py", cpu_ratio(report, case.key, "ours", "py"), 1.0)
        )
    for case in wanted:
        memory_limit = case.memory_limit
        if memory_limit is not None:
            for metric, name in (("traced_peak", "tracemalloc"), ("rss_growth", "ΔRSS")):
                estimate, note = memory_ratio(report, case.key, metric)
                verdicts.append(
                    judge(
                        f"{case.label}: native peak memory ({name}) ÷ floor's", "memory", estimate, memory_limit, note
                    )
                )
    verdicts += [_own_work_verdict(report, case) for case in wanted if not case.network]
    if report.only is None:
        verdicts.append(_cold_start_verdict(report))
    return verdicts


def _span(verdicts: list[Verdict], kind: str) -> str | None:
    values = [v.estimate.value for v in verdicts if v.kind == kind and v.estimate is not None]
    if not values:
        return None
    low, high = f"{min(values):.2f}", f"{max(values):.2f}"
    return f"{low}x" if low == high else f"{low}–{high}x"


def bottom_line(verdicts: list[Verdict]) -> list[str]:
    """Three lines: the count of each verdict, the range of the ratios, and what misses."""
    judged = [v for v in verdicts if v.state != REPORTED]
    counts = [
        f"{sum(v.state == state for v in judged)} {word}"
        for state, word in (
            (HOLDS, "hold"),
            (NOISE, "within noise"),
            (MISSES, "miss"),
            (WITHHELD, "withheld"),
            (UNMEASURED, "not measured"),
        )
        if any(v.state == state for v in judged)
    ]
    spans = [
        f"{text} {span}"
        for text, span in (
            ("native CPU ÷ floor (same `requests.Session`):", _span(verdicts, "floor")),
            ("÷ pure-Python twin:", _span(verdicts, "py")),
            ("peak memory ÷ floor:", _span(verdicts, "memory")),
            ("own work ÷ twin's (no network):", _span(verdicts, "own")),
        )
        if span
    ]
    misses = [v.target for v in verdicts if v.state == MISSES]
    return [
        f"**Bottom line: {len(judged)} targets: {', '.join(counts)}.**",
        "Ranges: " + "; ".join(spans) + "." if spans else "No ratio measured.",
        "Misses: " + "; ".join(misses) + "." if misses else "No target misses.",
    ]
