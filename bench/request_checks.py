"""The request checks of the no-network cases: the in-process HTTP client that answers at once
with a prepared reply and keeps the last call, and the check that a measured call really posted a
request of the expected shape, so that a client that skipped its request is never timed as fast."""

from __future__ import annotations

from typing import Any

from bench.cases import Case


class WrongResult(Exception):
    """A call that did not return the image the server sent."""


class CannedResponse:
    """A status-200 response whose `json()` hands back one prepared reply."""

    status_code = 200

    def __init__(self, reply: dict[str, Any]) -> None:
        self._reply = reply

    def json(self) -> dict[str, Any]:
        return self._reply


class RecordingHttpClient:
    """Stands in for `corvessa.config.http_client`: answers at once and keeps the last call."""

    base_timeout = 120.0

    def __init__(self, reply: dict[str, Any]) -> None:
        self.response = CannedResponse(reply)
        self.calls = 0
        self.last: tuple[str, dict[str, Any]] | None = None

    def post(self, url: str, **kwargs: Any) -> CannedResponse:
        self.calls += 1
        self.last = (url, kwargs)
        return self.response


def check_recorded_request(recorder: RecordingHttpClient, case: Case) -> None:
    """The no-network call really went through `http_client.post` with the expected shape."""
    if recorder.last is None:
        raise WrongResult("http_client.post was never called")
    url, kwargs = recorder.last
    if case.api == "gemini":
        parts = kwargs["json"]["contents"][0]["parts"]
        ok = url.endswith(":generateContent") and len(parts) == 1 + case.ref_count
    else:
        endpoint = "/edits" if case.ref_count else "/generations"
        ok = url.endswith(endpoint) and len(kwargs.get("files") or []) == case.ref_count
    if not ok:
        raise WrongResult(f"unexpected request: {url} {sorted(kwargs)}")
