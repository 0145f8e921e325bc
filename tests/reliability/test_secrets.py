"""The bearer token never appears in a log record, a result or an exception that leaves a call.

Every result path of the catalogue runs once with a recording logger; the records, the outcome
and, for an exception, its message, notes, chain and traceback are scanned. The faults, fuzz and
thread tests scan their own records the same way.
"""

from __future__ import annotations

import pytest
import requests

from clients.kinds import NAMES
from dolvex import ErrorCode
from doubles import DiscardingLogger, RecordingLogger
from harness import UNSENDABLE_IN_HEADERS

from .paths import PATHS, Files, ResultPath, check, run
from .support import SECRET, assert_no_secret, make_client


@pytest.mark.parametrize("path", PATHS, ids=[p.id for p in PATHS])
def test_no_record_result_or_exception_carries_the_token(path: ResultPath, files: Files) -> None:
    # Paths with a logger of their own (one that fails) have no records to scan.
    logger = RecordingLogger() if path.logger is DiscardingLogger else path.logger()
    client = make_client(path.kind, logger=logger)
    with path.installed():
        outcome = run(path, client, files)
    check(path, outcome)
    assert_no_secret(outcome, *getattr(logger, "records", []))


# None of these can go on the wire, and http.client's own failure for one beyond Latin-1 (a
# UnicodeEncodeError) holds the whole "Bearer <token>", as requests' check for a line break quotes
# it: the package's HTTP client refuses them first, naming the header only.
@pytest.mark.parametrize("character", UNSENDABLE_IN_HEADERS.values(), ids=UNSENDABLE_IN_HEADERS)
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
