"""The one-interpreter rule and the re-initialisation refusal, each in a fresh process.

- A subinterpreter that shares the main GIL (`_interpreters.create("legacy")`) reaches the
  modules' own create step, which refuses any interpreter but the first: after the main
  interpreter loaded a module, and the other way round, after a subinterpreter loaded it first.
- A subinterpreter with its own GIL (`concurrent.interpreters`) is refused by the interpreter
  itself, before the create step runs, because the modules declare no multiple-interpreters
  slot; that refusal records nothing, so the main interpreter loads the module afterwards.
- Executing a module's definition on a fresh module object is refused, a hundred times over,
  and the loaded module keeps working.
Every child process must exit cleanly (no crash at interpreter shutdown either).
"""

from __future__ import annotations

import json
import subprocess
import sys
import textwrap
from typing import Any

import pytest

MODULES = ["sorvanel", "tovarin"]
CHANGE = "Interpreter change detected - this module can only be loaded into one interpreter per process."

# Shared by the child programs: a call that must work in whichever interpreter loaded a module.
PRELUDE = """
import json, sys
def works(name):
    import importlib
    module = importlib.import_module("corvessa.image." + name)
    cls = getattr(module, "SorvanelClient" if name == "sorvanel" else "TovarinClient")
    result = cls("http://127.0.0.1:9", "k").start("p", aspect_ratio="7:5") if name == "sorvanel" else \\
        cls("http://127.0.0.1:9", "k").start("p", files=object(), task_id=5)
    return result.code.name
"""


def run(code: str) -> Any:
    """Runs the program in a new interpreter process; it prints one JSON value last."""
    done = subprocess.run([sys.executable, "-X", "faulthandler", "-c", PRELUDE + textwrap.dedent(code)],
                          capture_output=True, text=True, timeout=120)
    assert done.returncode == 0, done.stderr
    return json.loads(done.stdout.strip().splitlines()[-1])


@pytest.mark.parametrize("name", MODULES)
def test_a_shared_gil_subinterpreter_is_refused_after_the_main_one(name: str) -> None:
    out = run(f"""
        import _interpreters
        first = works({name!r})
        outcomes = []
        for _ in range(3):
            sub = _interpreters.create("legacy")
            failure = _interpreters.exec(sub, "import corvessa.image.{name}")
            outcomes.append([failure.type.__name__, failure.msg] if failure else None)
            _interpreters.destroy(sub)
        print(json.dumps({{"first": first, "outcomes": outcomes, "after": works({name!r})}}))
    """)
    expected = "INVALID_PARAMS" if name == "sorvanel" else "SERVICE_BUSY"
    assert out == {"first": expected, "outcomes": [["ImportError", CHANGE]] * 3, "after": expected}


@pytest.mark.parametrize("name", MODULES)
def test_a_subinterpreter_that_loaded_first_keeps_the_module(name: str) -> None:
    in_sub = PRELUDE + f"\nassert works({name!r})\n"
    out = run(f"""
        import _interpreters
        sub = _interpreters.create("legacy")
        in_sub = _interpreters.exec(sub, {in_sub!r})
        try:
            import corvessa.image.{name}
            main = None
        except ImportError as error:
            main = str(error)
        _interpreters.destroy(sub)
        try:
            import corvessa.image.{name}
            after = None
        except ImportError as error:
            after = str(error)
        print(json.dumps({{"sub": in_sub and in_sub.formatted, "main": main, "after": after}}))
    """)
    assert out == {"sub": None, "main": CHANGE, "after": CHANGE}


@pytest.mark.parametrize("name", MODULES)
def test_an_own_gil_subinterpreter_is_refused_by_the_interpreter(name: str) -> None:
    out = run(f"""
        import concurrent.interpreters as interpreters
        sub = interpreters.create()
        try:
            sub.exec("import corvessa.image.{name}")
            refused = None
        except interpreters.ExecutionFailed as failure:
            refused = [failure.excinfo.type.__name__, failure.excinfo.msg]
        sub.close()
        print(json.dumps({{"refused": refused, "main": works({name!r})}}))
    """)
    assert out["refused"] == ["ImportError",
                              f"module corvessa.image.{name} does not support loading in subinterpreters"]
    assert out["main"] == ("INVALID_PARAMS" if name == "sorvanel" else "SERVICE_BUSY")


@pytest.mark.parametrize("name", MODULES)
def test_reinitialisation_is_refused_every_time(name: str) -> None:
    out = run(f"""
        import ctypes, importlib, types
        import corvessa.image.{name} as module
        api = ctypes.pythonapi
        api.PyModule_GetDef.argtypes = [ctypes.py_object]
        api.PyModule_GetDef.restype = ctypes.c_void_p
        api.PyModule_ExecDef.argtypes = [ctypes.py_object, ctypes.c_void_p]
        api.PyModule_ExecDef.restype = ctypes.c_int
        definition = api.PyModule_GetDef(module)
        refusals = set()
        for _ in range(100):
            try:
                api.PyModule_ExecDef(types.ModuleType("corvessa.image.{name}"), definition)
                refusals.add(None)
            except RuntimeError as error:
                refusals.add(str(error))
        same = [api.PyModule_ExecDef(module, definition) for _ in range(100)]
        again = set()
        for _ in range(100):
            del sys.modules["corvessa.image.{name}"]
            again.add(importlib.import_module("corvessa.image.{name}") is module)
        print(json.dumps({{"refusals": sorted(refusals), "same": sorted(set(same)), "again": sorted(again),
                           "works": works({name!r})}}))
    """)
    assert out == {
        "refusals": [f"Module '{name}' has already been imported. Re-initialisation is not supported."],
        "same": [0],
        "again": [True],
        "works": "INVALID_PARAMS" if name == "sorvanel" else "SERVICE_BUSY",
    }
