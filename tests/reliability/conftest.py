"""Fixtures of the reliability tests; the helpers themselves live in support.py."""

from __future__ import annotations

from collections.abc import Iterator

import pytest

from .paths import Files
from .support import FIGURES, Emulator, emulator_process


@pytest.fixture(scope="session")
def emulator() -> Iterator[Emulator]:
    """The local emulator of both APIs, in a process of its own for the whole session."""
    with emulator_process() as running:
        yield running


@pytest.fixture(scope="session")
def files(tmp_path_factory: pytest.TempPathFactory) -> Files:
    """The reference files that the catalogue's paths and the fuzzed `files` arguments name."""
    return Files.under(tmp_path_factory.mktemp("references"))


def pytest_terminal_summary(terminalreporter: pytest.TerminalReporter) -> None:
    for section, lines in FIGURES.items():
        terminalreporter.write_sep("-", section)
        for line in lines:
            terminalreporter.write_line(line)
