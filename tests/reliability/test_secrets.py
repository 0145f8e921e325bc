"""The bearer token never appears in a log record, a result or an exception that leaves a call.

Every result path of the catalogue runs once with a recording logger; the records, the outcome
and, for an exception, its message, notes, chain and traceback are scanned. The faults, fuzz and
thread tests scan their own records the same way.
"""

from __future__ import annotations

from pathlib import Path

import pytest
import requests

from clients.kinds import NAMES
from dolvex import ErrorCode

from .paths import PATHS, Files, ResultPath, check, run
from .support import (
    SECRET,
    DiscardingLogger,
    RecordingLogger,
    assert_no_secret,
    fake_ferrimo,
    make_client,
    module_globals,
)


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


# Characters a token read from a file or pasted from a web page may carry. None can go on the
# wire, and http.client's own failure for one beyond Latin-1 (a UnicodeEncodeError) holds the
# whole "Bearer <token>", as requests' check for a line break quotes it: the package's HTTP client
# refuses them first, naming the header only.
UNSENDABLE = {
    "line-feed": "\n",
    "carriage-return": "\r",
    "nul": "\0",
    "tab": "\t",
    "vertical-tab": "\v",
    "delete": "\x7f",
    "no-break-space": "\u00a0",
    "curly-quote": "\u2019",
    "zero-width-space": "\u200b",
    "emoji": "\U0001f511",
}


@pytest.mark.parametrize("character", UNSENDABLE.values(), ids=UNSENDABLE)
@pytest.mark.parametrize("kind", NAMES)
def test_a_token_that_cannot_be_sent_stays_out_of_the_records(kind: str, character: str, raw_server) -> None:
    server = raw_server(lambda conn, closing: None)
    logger = RecordingLogger()
    client = type(make_client(kind))(server.url, f"{SECRET}{character}{SECRET}", logger=logger)
    result = client.start("a cat")
    assert result.code is ErrorCode.SERVICE_BUSY
    errors = [record["error"] for record in logger.records if "error" in record]
    assert [type(error) for error in errors] == [requests.exceptions.InvalidHeader]
    assert_no_secret(result, *logger.records, *errors)
    assert server.connections == 0  # refused before anything was sent
