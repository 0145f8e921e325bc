"""One client shared by eight threads, against the emulator.

Each thread makes CALLS calls on the same client object (a few in the instrumented legs of CI), each call carrying its own id in its
prompt, task id and model key. The emulator writes the full prompt into the PNG's "prompt" text
chunk, so every picture can be matched to the request it answers: every result must be a
success whose picture carries that call's own prompt, and the client's records must come in
the right number per call with that call's own values (no record lost, doubled or mixed up).
The threads are joined with a deadline so a hang fails the test instead of stalling the run.
"""

from __future__ import annotations

import os
import threading
from collections import Counter, defaultdict
from typing import Any

import pytest

from clients.kinds import NAMES
from doubles import RecordingLogger
from harness import bounded

from .support import assert_no_secret, make_client, prompt_of, report

THREADS = 8
CALLS = bounded(200, 4)
DEADLINE = float(os.environ.get("CORVESSA_THREAD_DEADLINE", "540"))
# The widest ratio each client takes: at 1K the emulator renders the fewest pixels for it.
RATIO = {"sorvanel": "21:9", "tovarin": "3:1"}
# Records of one successful call, by their "msg".
RECORDS = {
    "sorvanel": Counter({"SORVANEL request api": 1, "SORVANEL api complete successfully": 1, "image_candidates": 1}),
    "tovarin": Counter({"GPT-IMAGE-2 ": 1, "GPT-IMAGE-2 request api": 1, "GPT-IMAGE-2 api complete": 1}),
}


def call_id(kind: str, thread: int, call: int) -> str:
    return f"{kind}-t{thread}-c{call}"


def prompt_for(ident: str) -> str:
    return f"a lighthouse for call {ident}"


def run_thread(client: Any, kind: str, thread: int, start: threading.Barrier, wrong: list[str]) -> None:
    start.wait()
    for call in range(CALLS):
        ident = call_id(kind, thread, call)
        try:
            result = client.start(
                prompt_for(ident), aspect_ratio=RATIO[kind], task_id=ident, model_key=f"key-{thread}", timeout=60
            )
            if not result.ok or type(result.data) is not bytes:
                wrong.append(f"{ident}: {result!r}")
            elif (seen := prompt_of(result.data)) != prompt_for(ident):
                wrong.append(f"{ident}: picture for {seen!r}")
        except BaseException as exc:  # anything leaving start is a failure of its own
            wrong.append(f"{ident}: {type(exc).__name__}: {exc}")


def check_records(kind: str, records: list[Any]) -> None:
    by_call: defaultdict[str, list[dict[str, Any]]] = defaultdict(list)
    for record in records:
        by_call[record["task_id"]].append(record)
    assert len(by_call) == THREADS * CALLS
    for ident, own in by_call.items():
        thread = ident.split("-")[1][1:]
        assert Counter(r["msg"] for r in own) == RECORDS[kind], (ident, own)
        assert all(r["model_key"] == f"key-{thread}" for r in own), (ident, own)
        if kind == "tovarin":
            [request] = [r for r in own if r["msg"].endswith("request api")]
            assert request["payload"]["prompt"] == prompt_for(ident)


@pytest.mark.parametrize("kind", NAMES)
def test_one_client_many_threads_every_answer_is_its_own(kind: str, emulator: Any) -> None:
    logger = RecordingLogger()
    client = make_client(kind, base_url=emulator.base_url, logger=logger)
    start = threading.Barrier(THREADS)
    wrong: list[str] = []
    threads = [
        threading.Thread(target=run_thread, args=(client, kind, t, start, wrong), daemon=True) for t in range(THREADS)
    ]
    for thread in threads:
        thread.start()
    for thread in threads:
        thread.join(timeout=DEADLINE)
    stuck = sum(thread.is_alive() for thread in threads)
    report(
        "threads (client: threads x calls)",
        f"{kind:8} {THREADS} x {CALLS} = {THREADS * CALLS} calls, {len(wrong)} wrong, {stuck} threads stuck",
    )
    assert not stuck, f"{stuck} threads still running after {DEADLINE} s"
    assert not wrong, "\n".join(wrong[:20])
    check_records(kind, logger.records)
    assert_no_secret(*logger.records)
