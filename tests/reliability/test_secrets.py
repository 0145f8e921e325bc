"""The bearer token never appears in a log record, a result or an exception that leaves a call.

Every result path of the catalogue runs once with a recording logger; the records, the outcome
and, for an exception, its message, notes, chain and traceback are scanned. The faults, fuzz and
thread tests scan their own records the same way.
"""

from __future__ import annotations

from pathlib import Path

import pytest

from dolvex import ErrorCode

from .paths import PATHS, Files, ResultPath, check, run
from .support import (SECRET, DiscardingLogger, RecordingLogger, assert_no_secret, fake_ferrimo, make_client,
                      module_globals)


@pytest.fixture(scope="module")
def files(tmp_path_factory: pytest.TempPathFactory) -> Files:
    return Files.under(Path(tmp_path_factory.mktemp("secrets")))


@pytest.mark.parametrize("path", PATHS, ids=[p.id for p in PATHS])
def test_no_record_result_or_exception_carries_the_token(path: ResultPath, files: Files) -> None:
    # Paths with a logger of their own (one that fails) have no records to scan.
    logger = RecordingLogger() if path.logger is DiscardingLogger else path.logger()
    client = make_client(path.kind, logger=logger)
    with module_globals(path.module(), http_client=path.http(), ferrimo=fake_ferrimo()):
        outcome = run(path, client, files)
    check(path, outcome)
    assert_no_secret(outcome, *getattr(logger, "records", []))


@pytest.mark.parametrize("kind", ["sorvanel", "tovarin"])
def test_a_token_with_a_line_break_stays_out_of_the_records(kind: str) -> None:
    """A token read from a file often keeps its trailing newline, which no HTTP client may send.
    The clients log a failed request's exception together with its formatted traceback, so the
    package's HTTP client must refuse such a header without quoting its value (requests' own
    check quotes "Bearer <token>\\n" in its message)."""
    logger = RecordingLogger()
    cls = make_client(kind).__class__
    # The package's own HTTP client refuses the header before connecting anywhere.
    client = cls("http://127.0.0.1:9", SECRET + "\n", logger=logger)
    result = client.start("a cat")
    assert result.code is ErrorCode.SERVICE_BUSY
    assert_no_secret(result, *logger.records)
