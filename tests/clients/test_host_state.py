"""Whatever the host did before the first load, or does around a call, each client behaves as its
twin: base64 or binascii that are not modules, base64 and binascii functions wrapped or
replaced before the load, and `open`, `round` and `__import__` replaced in the builtins or
shadowed by module globals. Each case runs in a new interpreter where the host's set-up comes
first, then the native module and the twin each run one call through a fake `http_client`."""

from __future__ import annotations

import base64
import textwrap
from pathlib import Path
from typing import Any

import pytest

from harness import run_fresh

from .kinds import Kind

PNG = b"\x89PNG\r\n\x1a\n" + b"x" * 8
DISK = b"the reference file on disk"

# Names the host's set-up may use or define: `calls` for what its wrappers see, `wrap` to
# wrap a function in place, `patched(m)` for a patch around the call.
PREAMBLE = """
    import contextlib, sys, types
    from unittest import mock
    calls = []

    def wrap(owner, name):
        original = getattr(owner, name)
        def wrapper(*args, **kwargs):
            calls.append(name)
            return original(*args, **kwargs)
        setattr(owner, name, wrapper)

    def patched(m):
        return contextlib.nullcontext()
"""

# One start() per module, native then twin, with `files` as given; the reply carries the image
# both ways (inline data, b64_json). Printed: the result, what the host's wrappers saw, what
# was posted, and the records' texts and errors.
SCENARIO = """
    import importlib, json
    reply = {{"candidates": [{{"content": {{"parts": [{{"inlineData": {{"data": {b64!r}}}}}]}}}}],
             "data": [{{"b64_json": {b64!r}}}]}}

    def one_call(m):
        posted = []
        def post(url, **kwargs):
            posted.append(kwargs)
            return types.SimpleNamespace(status_code=200, json=lambda: reply)
        m.http_client = types.SimpleNamespace(base_timeout=5, post=post)
        records = []
        client = getattr(m, {cls!r})("http://127.0.0.1:9", "key", logger=types.SimpleNamespace(debug=records.append))
        with patched(m):
            result = client.start("a fox", "1:1", files={files!r})
        return {{"ok": result.ok, "image": result.data == {png!r}, "calls": calls, "posted": repr(posted),
                 "records": [[r["msg"], repr(r.get("error"))] for r in records]}}

    for name in ({native!r}, {twin!r}):
        calls.clear()
        print(json.dumps(one_call(importlib.import_module(name))))
"""


def native_and_twin(kind: Kind, setup: str, files: Any = PNG) -> list[Any]:
    scenario = SCENARIO.format(
        b64=base64.b64encode(PNG).decode(),
        cls=kind.class_name,
        files=files,
        png=PNG,
        native=kind.qualified,
        twin=kind.twin.__name__,
    )
    return run_fresh(textwrap.dedent(PREAMBLE) + textwrap.dedent(setup) + textwrap.dedent(scenario))


NOT_MODULES = {
    "base64 a namespace": """
        import base64
        sys.modules["base64"] = types.SimpleNamespace(**{k: v for k, v in vars(base64).items() if k[0] != "_"})
    """,
    "base64 a class": """
        import base64
        sys.modules["base64"] = type("Base64", (), {k: staticmethod(v) if isinstance(v, types.FunctionType) else v
                                                    for k, v in vars(base64).items() if k[0] != "_"})
    """,
    "binascii a namespace, base64 imported after it": """
        import binascii
        sys.modules.pop("base64", None)
        sys.modules["binascii"] = types.SimpleNamespace(**{k: v for k, v in vars(binascii).items() if k[0] != "_"})
        import base64
    """,
}


@pytest.mark.parametrize("setup", NOT_MODULES.values(), ids=NOT_MODULES.keys())
def test_base64_or_binascii_that_is_not_a_module(kind: Kind, setup: str) -> None:
    native, twin = native_and_twin(kind, setup)
    assert native == twin and native["ok"] and native["image"]


WRAPPED_BEFORE_LOAD = {
    "base64 functions": """
        import base64
        wrap(base64, "b64encode")
        wrap(base64, "b64decode")
    """,
    "binascii functions": """
        import binascii
        wrap(binascii, "b2a_base64")
        wrap(binascii, "a2b_base64")
    """,
    "a copy of base64 with its own functions": """
        import base64
        copy = types.ModuleType("base64")
        vars(copy).update(vars(base64))
        wrap(copy, "b64encode")
        wrap(copy, "b64decode")
        sys.modules["base64"] = copy
    """,
}


@pytest.mark.parametrize("setup", WRAPPED_BEFORE_LOAD.values(), ids=WRAPPED_BEFORE_LOAD.keys())
def test_functions_wrapped_before_the_load_are_called(kind: Kind, setup: str) -> None:
    native, twin = native_and_twin(kind, setup)
    assert native == twin and native["ok"] and native["calls"]


AROUND_THE_CALL = [
    pytest.param(
        f"""
        def patched(m):
            return mock.patch("builtins.open", mock.mock_open(read_data={PNG!r}))
    """,
        False,
        id="mock_open in the builtins",
    ),
    pytest.param(
        f"""
        import io
        def patched(m):
            def fake_open(path, mode):
                calls.append(["open", mode])
                return io.BytesIO({PNG!r})
            return mock.patch.object(m, "open", fake_open, create=True)
    """,
        False,
        id="a module-level open",
    ),
    pytest.param(
        """
        import builtins
        def patched(m):
            real = builtins.round
            def recorder(where):
                return lambda value, *digits: calls.append([where, type(value).__name__, *digits]) or real(value, *digits)
            stack = contextlib.ExitStack()
            stack.enter_context(mock.patch("builtins.round", recorder("builtins")))
            stack.enter_context(mock.patch.object(m, "round", recorder("global"), create=True))
            return stack
    """,
        True,
        id="round in the builtins and as a module global",
    ),
    pytest.param(
        """
        import builtins
        def patched(m):
            real = builtins.__import__
            def recorder(name, *args):
                if name == "os":
                    calls.append([name, args[0] is vars(m), *args[1:]])
                return real(name, *args)
            stack = contextlib.ExitStack()
            stack.enter_context(mock.patch("builtins.__import__", recorder))
            stack.enter_context(mock.patch.object(m, "__import__", lambda *a: calls.append("global"), create=True))
            return stack
    """,
        True,
        id="__import__ in the builtins and as a module global",
    ),
]


@pytest.mark.parametrize("setup, reads_the_file", AROUND_THE_CALL)
def test_builtins_are_looked_up_when_the_call_runs(
    kind: Kind, setup: str, reads_the_file: bool, tmp_path: Path
) -> None:
    reference = tmp_path / "reference.png"
    reference.write_bytes(DISK)
    native, twin = native_and_twin(kind, setup, files=str(reference))
    assert native == twin and native["ok"]
    sent = {repr(DISK), base64.b64encode(DISK).decode()}  # as the multipart or the JSON body holds it
    assert any(form in native["posted"] for form in sent) == reads_the_file
