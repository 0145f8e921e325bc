"""Failures injected where the interpreter rarely fails: a load that breaks halfway through
the constant tables, and a traceback entry that cannot be made. Each runs in a fresh
interpreter, since both touch process-wide state."""

from __future__ import annotations

import subprocess
import sys
import textwrap
from typing import Any

import pytest

from clients.kinds import KINDS, NAMES, Kind
from harness import run_fresh


def run(code: str) -> Any:
    """The JSON value `code` prints last in a new interpreter."""
    return run_fresh(code)[-1]


# A reply with an inline image through a fake http_client: the call reads the shared table's
# names and its integer 3 (the record's seconds), and makes a result.
CALL_THROUGH_FAKES = """
    import base64, json, types
    PNG = b"\\x89PNG\\r\\n\\x1a\\n" + b"x" * 8
    reply = {"candidates": [{"content": {"parts": [{"inlineData": {"data": base64.b64encode(PNG).decode()}}]}}]}
    b64 = base64.b64encode(PNG).decode()
    response = types.SimpleNamespace(status_code=200, json=lambda: (
        {"data": [{"b64_json": b64}]} if module.__name__.endswith("tovarin") else reply))
    module.http_client = types.SimpleNamespace(base_timeout=5, post=lambda *a, **k: response)
    records = []
    logger = types.SimpleNamespace(debug=records.append)
    cls = getattr(module, CLASS)
    result = cls("http://127.0.0.1:9", "key", logger=logger).start("a fox", "1:1")
    seconds = [r.get("second", r.get("total_second")) for r in records if "second" in r or "total_second" in r]
    print(json.dumps([result.ok, result.data == PNG, all(isinstance(s, float) for s in seconds), len(seconds)]))
"""


def failing_loads(module: str) -> str:
    """Code that fails one allocation at each step of loading `module` in turn, until a load gets
    through (at step `start`): every failed load must leave the module unloaded."""
    return textwrap.dedent(f"""
        import _testcapi, importlib, sys
        failures = set()
        for start in range(5000):
            _testcapi.set_nomemory(start, start + 1)
            try:
                importlib.import_module("{module}")
            except Exception as error:
                failures.add(type(error).__name__)
            else:
                break
            finally:
                _testcapi.remove_mem_hooks()
            assert "{module}" not in sys.modules
    """)


@pytest.fixture(scope="module")
def interpreter_survives_failed_loads() -> None:
    # The same loop over a standard module with no code of ours in it: an interpreter that crashes
    # here by itself (3.15.0 does, in its import lock) cannot tell anything about our loads.
    code = failing_loads("email.mime.text")
    done = subprocess.run([sys.executable, "-c", code], capture_output=True, timeout=300)
    if done.returncode != 0:
        pytest.skip(
            f"Python {sys.version.split()[0]} itself crashes when an allocation fails while it "
            f"loads email.mime.text (exit status {done.returncode})"
        )


@pytest.mark.usefixtures("interpreter_survives_failed_loads")
@pytest.mark.parametrize("kind", KINDS, ids=NAMES)
def test_a_load_that_fails_halfway_leaves_nothing_half_made(kind: Kind) -> None:
    # The modules it needs are loaded first, so that the failures fall in its own load; the
    # tables a failed load made in part are made again by the next load.
    preload = "import requests, dolvex, ferrimo, corvessa.config, corvessa.image, tessaly.gpt_image"
    loaded = f"""
        assert start > 0 and failures == {{"MemoryError"}}, (start, failures)
        module = importlib.import_module("{kind.qualified}")
        CLASS = "{kind.class_name}"
    """
    outcome = run(
        preload + failing_loads(kind.qualified) + textwrap.dedent(loaded) + textwrap.dedent(CALL_THROUGH_FAKES)
    )
    assert outcome[:3] == [True, True, True] and outcome[3] >= 1


def test_a_traceback_entry_that_cannot_be_made_keeps_the_exception() -> None:
    # One allocation fails at each step of a call that raises: the caller always gets the
    # call's own TypeError or a MemoryError, never a call that failed without an exception.
    outcomes = run("""
        import _testcapi, json
        from corvessa.image.sorvanel import SorvanelClient
        detect = SorvanelClient._detect_mime_type

        def names(tb):
            while tb is not None:
                yield tb.tb_frame.f_code.co_name
                tb = tb.tb_next

        try:
            detect(1)
        except TypeError:
            pass
        outcomes = []
        for start in range(60):
            caught = None
            _testcapi.set_nomemory(start, start + 1)
            try:
                detect(1)
            except BaseException as exc:
                caught = exc
            finally:
                _testcapi.remove_mem_hooks()
            outcome = type(caught).__name__
            if isinstance(caught, TypeError) and "_detect_mime_type" not in names(caught.__traceback__):
                outcome += ", no entry"
            outcomes.append(outcome)
        print(json.dumps(outcomes))
    """)
    assert set(outcomes) <= {"TypeError", "TypeError, no entry", "MemoryError"}, outcomes
    # Some step failed while the entry was made, and the exception went on without it.
    assert "TypeError, no entry" in outcomes
