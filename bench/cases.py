"""What a run measures (cases, clients, iteration plans) and what it found (the results)."""

from __future__ import annotations

from dataclasses import dataclass, field
from typing import Final

from bench.payloads import MIB, reference_images
from bench.stats import Samples
from bench.timing import Plan

CLIENT_LABELS: Final = {
    "floor": "floor, payload prebuilt",
    "floor_call": "floor, payload per call",
    "ours": "ours (native)",
    "py": "pure-Python twin",
    "ours_contracts": "ours (native), contracts' http_client [other transport, no target]",
    "openai": "openai SDK [own transport, no target]",
    "outside": "outside calls only (lower bound)",
}


@dataclass(frozen=True)
class Case:
    """One measured situation: which API, which reply size, which reference images."""

    key: str
    api: str  # "gemini" or "images"
    reply: str  # size class of the reply image, see payloads.REPLY_SIZES
    ref_count: int = 0
    ref_size: int = 0
    network: bool = True

    @property
    def api_name(self) -> str:
        return "Gemini" if self.api == "gemini" else "images API"

    @property
    def label(self) -> str:
        refs = f"{self.ref_count} x {self.ref_size // MIB} MB refs" if self.ref_count else "text only"
        where = f"{self.reply} reply" if self.network else "no network"
        return f"{self.api_name}, {refs}, {where}"

    def clients(self) -> tuple[str, ...]:
        if not self.network:
            return ("ours", "py", "outside")
        floors = ("floor", "floor_call") if self.ref_count else ("floor",)
        sdk = ("openai",) if self.api == "images" else ()
        return (*floors, "ours", "py", "ours_contracts", *sdk)

    def references(self) -> list[bytes]:
        return reference_images(self.ref_count, self.ref_size) if self.ref_count else []

    @property
    def memory_limit(self) -> float | None:
        """The most native peak memory may be, as a multiple of the floor's; None: no target."""
        if not self.network:
            return None
        return 1.0 if self.reply == "large" else 1.05 if self.ref_count == 4 else None

    def plan(self, quick: bool) -> Plan:
        """Bounded iteration counts: big transfers get few calls, in-process calls many, in batches."""
        if quick:
            return Plan(3, 1, 5.0, batch=10 if not self.network else 1)
        if not self.network:
            if self.api == "gemini" and self.ref_count:  # base64 of 1 MiB: about a millisecond
                return Plan(10, 10, 15.0, batch=5)
            return Plan(20, 10, 15.0, batch=100)
        if self.reply == "large" or self.ref_size >= 5 * MIB:
            return Plan(4, 6, 60.0)
        return Plan(40, 10, 25.0) if not self.ref_count else Plan(20, 8, 25.0)


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
REFERENCE_KEYS: Final = tuple(case.key for case in NETWORK_CASES if case.ref_count)

# The memory probe's floor always builds its payload inside the call, so "floor_call" would repeat it.
MEMORY_CLIENTS: Final = ("floor", "ours", "py", "ours_contracts", "openai")
# Fresh processes per client for the two sides of a memory target: the peaks move by some
# hundred KiB from process to process, and the verdict's interval resamples these pairs.
MEMORY_REPEATS: Final = 3


@dataclass
class CaseResult:
    case: Case
    samples: dict[str, Samples] = field(default_factory=dict)
    memory: dict[str, dict[str, list[float]]] = field(default_factory=dict)  # client -> metric -> repeats
    errors: dict[str, str] = field(default_factory=dict)


@dataclass
class Report:
    """Everything one run found; `only` holds the case keys when the run was restricted to some."""

    quick: bool
    only: frozenset[str] | None = None
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

    def samples(self, key: str) -> dict[str, Samples]:
        result = self.results.get(key)
        return result.samples if result else {}
