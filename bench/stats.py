"""Medians, percentiles, per-call samples, and estimates with a bootstrap confidence interval."""

from __future__ import annotations

import math
import random
import statistics
from collections.abc import Callable, Sequence
from dataclasses import dataclass, field
from typing import Final

# Resamples per interval: the 2.5th and 97.5th percentiles of 1000 resampled statistics move by
# well under a percent between seeds, far less than the spread they describe.
RESAMPLES: Final = 1000


def median(values: Sequence[float]) -> float:
    return statistics.median(values) if values else math.nan


def p95(values: Sequence[float]) -> float:
    """Nearest-rank 95th percentile."""
    if not values:
        return math.nan
    ordered = sorted(values)
    return ordered[min(len(ordered) - 1, max(0, math.ceil(0.95 * len(ordered)) - 1))]


@dataclass
class Samples:
    """Per-call wall and CPU seconds and minor page faults of one client in one case, per round.

    Within a round the clients take turns, so sample i of one client and sample i of another
    were taken side by side: the pairs that the intervals resample.
    """

    wall: list[list[float]] = field(default_factory=list)
    cpu: list[list[float]] = field(default_factory=list)
    faults: list[list[float]] = field(default_factory=list)

    @staticmethod
    def flat(rounds: list[list[float]]) -> list[float]:
        return [value for round_ in rounds for value in round_]


@dataclass(frozen=True)
class Estimate:
    """A figure and its 95 % bootstrap confidence interval."""

    value: float
    low: float
    high: float


def _rounds(series: Sequence[list[list[float]]]) -> list[list[list[float]]]:
    """Per round, the series' samples cut to a common length (a turn keeps its samples together)."""
    rounds = []
    for columns in zip(*series, strict=False):  # a series may have fewer rounds
        size = min(map(len, columns))
        if size:
            rounds.append([values[:size] for values in columns])
    return rounds


def _figure(rounds: list[list[list[float]]], picks: list[Sequence[int]], statistic: Callable[..., float]) -> float:
    return statistics.median(
        [
            statistic(*(statistics.median([values[i] for i in pick]) for values in columns))
            for columns, pick in zip(rounds, picks, strict=True)
        ]
    )


def per_round_value(series: Sequence[list[list[float]]], statistic: Callable[..., float]) -> float:
    """Median over rounds of `statistic(median of each series in that round)`."""
    rounds = _rounds(series)
    return _figure(rounds, [range(len(columns[0])) for columns in rounds], statistic) if rounds else math.nan


def per_round_estimate(series: Sequence[list[list[float]]], statistic: Callable[..., float]) -> Estimate:
    """`per_round_value` with its 95 % interval.

    `series` are the per-round samples of the clients involved, taken in turns. The interval
    resamples those turns with replacement within each round (a turn keeps its clients'
    samples together, so a burst of load hits both sides of a ratio alike), recomputes the
    figure, and takes the 2.5th and 97.5th percentiles of the results. Seeded: a rerun on the
    same samples gives the same interval.
    """
    rounds = _rounds(series)
    if not rounds:
        return Estimate(math.nan, math.nan, math.nan)
    sizes = [len(columns[0]) for columns in rounds]
    point = _figure(rounds, [range(size) for size in sizes], statistic)
    draw = random.Random(19)
    resampled = sorted(
        _figure(rounds, [[draw.randrange(size) for _ in range(size)] for size in sizes], statistic)
        for _ in range(RESAMPLES)
    )
    return Estimate(point, resampled[int(0.025 * RESAMPLES)], resampled[math.ceil(0.975 * RESAMPLES) - 1])


def ratio(mine: float, reference: float) -> float:
    return mine / reference if reference > 0 else math.inf
