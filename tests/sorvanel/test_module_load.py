"""Loading corvessa.image.sorvanel: globals, one interpreter per process, no second
initialisation, failures that leave the module unloaded. Process-wide rules run in a fresh
interpreter each."""

from __future__ import annotations

import base64
import json
import logging
import subprocess
import sys
import textwrap
import time
import traceback
import typing

import dolvex
import ferrimo
import requests

import corvessa.config
import corvessa.image.sorvanel as sorvanel

CHANGE = "Interpreter change detected - this module can only be loaded into one interpreter per process."
REINIT = "Module 'sorvanel' has already been imported. Re-initialisation is not supported."


def run(code: str, *flags: str) -> typing.Any:
    """Runs `code` in a new interpreter; it reports by printing one JSON value last."""
    done = subprocess.run([sys.executable, *flags, "-c", textwrap.dedent(code)], capture_output=True,
                          text=True, timeout=120)
    assert done.returncode == 0, done.stderr
    return json.loads(done.stdout.strip().splitlines()[-1])


def test_globals_in_binding_order() -> None:
    # In a fresh interpreter: tests that patch a global put it back at the end of the dict.
    names = run("""
        import json, corvessa.image.sorvanel as m
        print(json.dumps([n for n in vars(m) if not n.startswith("__")]))
    """)
    assert names == ["base64", "logging", "time", "traceback", "requests", "Optional", "List", "Dict", "Any",
                     "ServiceResult", "ErrorCode", "ferrimo", "http_client", "_AspectRatio", "_SUPPORTED_RATIOS",
                     "_GeminiModel", "_SUPPORTED_MODELS", "SorvanelClient"]
    expected = {"base64": base64, "logging": logging, "time": time, "traceback": traceback,
                "requests": requests, "Optional": typing.Optional, "List": typing.List, "Dict": typing.Dict,
                "Any": typing.Any, "ServiceResult": dolvex.ServiceResult, "ErrorCode": dolvex.ErrorCode,
                "ferrimo": ferrimo, "http_client": corvessa.config.http_client,
                "_AspectRatio": corvessa.config._AspectRatio, "_SUPPORTED_RATIOS": corvessa.config._SUPPORTED_RATIOS,
                "_GeminiModel": corvessa.config._GeminiModel,
                "_SUPPORTED_MODELS": corvessa.config._SUPPORTED_MODELS}
    assert all(getattr(sorvanel, name) is value for name, value in expected.items())


def test_module_attributes_come_from_the_spec() -> None:
    spec = sorvanel.__spec__
    assert (sorvanel.__name__, sorvanel.__package__, sorvanel.__doc__) == (
        "corvessa.image.sorvanel", "corvessa.image", None)
    assert sorvanel.__file__ == spec.origin and sorvanel.__loader__ is spec.loader
    assert not hasattr(sorvanel, "__path__")


def test_loads_cleanly_with_warnings_as_errors() -> None:
    out = run("""
        import json, corvessa.image.sorvanel as m
        print(json.dumps({"ok": m.SorvanelClient("u", "k").model_tag}))
    """, "-W", "error")
    assert out == {"ok": "SORVANEL"}


def test_subinterpreter_sharing_the_gil_is_refused_after_the_main_one() -> None:
    out = run("""
        import json, _interpreters
        import corvessa.image.sorvanel as m
        sub = _interpreters.create("legacy")
        first = _interpreters.run_string(sub, "import corvessa.image.sorvanel")
        again = _interpreters.run_string(sub, "import corvessa.image.sorvanel")
        absent = _interpreters.run_string(sub, "import sys\\nassert 'corvessa.image.sorvanel' not in sys.modules")
        _interpreters.destroy(sub)
        print(json.dumps({"first": [first.type.__name__, first.msg], "again": again.msg,
                          "absent": absent is None, "main": m.SorvanelClient("u", "k").api_key}))
    """)
    assert out == {"first": ["ImportError", CHANGE], "again": CHANGE, "absent": True, "main": "k"}


def test_main_interpreter_is_refused_after_a_subinterpreter_loaded_it() -> None:
    out = run("""
        import json, sys, _interpreters
        sub = _interpreters.create("legacy")
        loaded = _interpreters.run_string(sub, "import corvessa.image.sorvanel as m\\nm.SorvanelClient('u', 'k')")
        _interpreters.destroy(sub)
        try:
            import corvessa.image.sorvanel
        except ImportError as e:
            error = [type(e).__name__, str(e)]
        print(json.dumps({"loaded": loaded is None, "error": error,
                          "registered": "corvessa.image.sorvanel" in sys.modules}))
    """)
    assert out == {"loaded": True, "error": ["ImportError", CHANGE], "registered": False}


def test_own_gil_subinterpreter_refuses_before_the_module_runs() -> None:
    # Such an interpreter refuses a module that declares no multiple-interpreters slot before
    # its create step: nothing is recorded, so the main interpreter can still load it afterwards.
    out = run("""
        import json
        from concurrent import interpreters
        sub = interpreters.create()
        try:
            sub.exec("import corvessa.image.sorvanel")
        except interpreters.ExecutionFailed as e:
            error = [e.excinfo.type.__name__, e.excinfo.msg]
        finally:
            sub.close()
        import corvessa.image.sorvanel as m
        print(json.dumps({"error": error, "main": m.SorvanelClient("u", "k").base_url}))
    """)
    assert out == {"error": ["ImportError", "module corvessa.image.sorvanel does not support loading in "
                                            "subinterpreters"], "main": "u"}


def test_reimport_yields_the_same_module_and_reinitialisation_is_refused() -> None:
    out = run("""
        import ctypes, importlib, json, sys, types
        import corvessa.image.sorvanel as first
        cls = first.SorvanelClient
        del sys.modules["corvessa.image.sorvanel"]
        import corvessa.image.sorvanel as second
        api = ctypes.pythonapi
        api.PyModule_GetDef.argtypes = [ctypes.py_object]
        api.PyModule_GetDef.restype = ctypes.c_void_p
        api.PyModule_ExecDef.argtypes = [ctypes.py_object, ctypes.c_void_p]
        api.PyModule_ExecDef.restype = ctypes.c_int
        definition = api.PyModule_GetDef(first)
        try:
            api.PyModule_ExecDef(types.ModuleType("corvessa.image.sorvanel"), definition)
        except Exception as e:
            refused = [type(e).__name__, str(e)]
        print(json.dumps({"same": second is first and second.SorvanelClient is cls,
                          "reloaded": importlib.reload(first) is first and first.SorvanelClient is cls,
                          "refused": refused, "same_again": api.PyModule_ExecDef(first, definition)}))
    """)
    assert out == {"same": True, "reloaded": True, "refused": ["RuntimeError", REINIT], "same_again": 0}


def test_missing_configuration_name_fails_until_it_exists() -> None:
    out = run("""
        import json, sys, types
        import corvessa.config as real
        fake = types.ModuleType("corvessa.config")
        for name in ("http_client", "_AspectRatio", "_SUPPORTED_RATIOS", "_SUPPORTED_MODELS"):
            setattr(fake, name, getattr(real, name))
        sys.modules["corvessa.config"] = fake
        try:
            import corvessa.image.sorvanel
        except ImportError as e:
            error = [type(e).__name__, str(e)]
        unloaded = "corvessa.image.sorvanel" not in sys.modules
        fake._GeminiModel = "the model alias"
        import corvessa.image.sorvanel as m
        print(json.dumps({"error": error, "unloaded": unloaded, "alias": m._GeminiModel,
                          "client": m.http_client is real.http_client}))
    """)
    assert out == {"error": ["ImportError", "cannot import name _GeminiModel"], "unloaded": True,
                   "alias": "the model alias", "client": True}


def test_missing_outside_module_fails_with_the_interpreters_own_error() -> None:
    out = run("""
        import json, sys
        sys.modules["dolvex"] = None
        try:
            from dolvex import ServiceResult, ErrorCode
        except ImportError as e:
            expected = [type(e).__name__, str(e)]
        try:
            import corvessa.image.sorvanel
        except ImportError as e:
            error = [type(e).__name__, str(e)]
        unloaded = "corvessa.image.sorvanel" not in sys.modules
        del sys.modules["dolvex"]
        import corvessa.image.sorvanel as m
        print(json.dumps({"expected": expected, "error": error, "unloaded": unloaded,
                          "later": m.ServiceResult.__module__}))
    """)
    assert out["error"] == out["expected"] == ["ModuleNotFoundError", "import of dolvex halted; None in sys.modules"]
    assert out["unloaded"] and out["later"] == "dolvex"

