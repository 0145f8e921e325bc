"""Loading both modules: their globals, what they import and refuse, one interpreter per process,
no second initialisation, failures that leave the module unloaded. Process-wide rules run in a
fresh interpreter each."""

from __future__ import annotations

from typing import Any

import pytest

from harness import run_fresh

from .kinds import SORVANEL, TOVARIN, Kind, case_id

CHANGE = "Interpreter change detected - this module can only be loaded into one interpreter per process."

# The names each module takes from the package configuration.
CONFIGURATION = {
    SORVANEL: ["http_client", "_AspectRatio", "_SUPPORTED_RATIOS", "_GeminiModel", "_SUPPORTED_MODELS"],
    TOVARIN: ["http_client"],
}


def run(code: str, *flags: str) -> Any:
    """The last JSON value that `code` prints in a new interpreter."""
    return run_fresh(code, flags=flags)[-1]


# A call that runs the module's own steps (argument checks, its results and codes), and the
# ErrorCode it ends with, in whichever interpreter loaded the module.
WORKS = {
    SORVANEL: ('start("p", aspect_ratio="7:5")', "INVALID_PARAMS"),
    TOVARIN: ('start("p", files=object(), task_id=5)', "SERVICE_BUSY"),
}


def works(kind: Kind) -> str:
    """An expression giving the ErrorCode name of that call (the code must import sys)."""
    call = WORKS[kind][0]
    return f'sys.modules["{kind.qualified}"].{kind.class_name}("http://127.0.0.1:9", "k").{call}.code.name'


def test_globals_in_binding_order_are_the_objects_the_twin_imports(kind: Kind) -> None:
    # In a fresh interpreter: tests that patch a global put it back at the end of the dict. The
    # twin's own helpers (twins._common) are no globals of the module.
    out = run(f"""
        import json, {kind.qualified} as m, {kind.twin.__name__} as twin
        names = [n for n in vars(m) if not n.startswith("__")]
        print(json.dumps({{"names": names, "others": [n for n in names[:-1] if getattr(m, n) is not getattr(twin, n)],
                          "twin": [n for n, v in vars(twin).items() if not n.startswith("__")
                                   and getattr(v, "__module__", None) != "twins._common"]}}))
    """)
    assert out["names"] == out["twin"] and out["others"] == [] and out["names"][-1] == kind.class_name


def test_module_attributes_come_from_the_spec(kind: Kind) -> None:
    module = kind.module
    spec = module.__spec__
    assert (module.__name__, module.__package__, module.__doc__) == (kind.qualified, "corvessa.image", None)
    assert module.__file__ == spec.origin and module.__loader__ is spec.loader
    assert not hasattr(module, "__path__")


def test_loads_cleanly_with_warnings_as_errors(kind: Kind) -> None:
    out = run(
        f"""
        import json, {kind.qualified} as m
        print(json.dumps(m.{kind.class_name}("u", "k").model_tag))
    """,
        "-W",
        "error",
    )
    assert out == kind.tag


def test_loads_alone_with_a_configuration_holding_only_its_own_names(kind: Kind) -> None:
    out = run(f"""
        import json, sys, types
        config = types.ModuleType("corvessa.config")
        sentinels = {{name: object() for name in {CONFIGURATION[kind]!r}}}
        vars(config).update(sentinels)
        sys.modules["corvessa.config"] = config
        import {kind.qualified} as m
        print(json.dumps({{"same": all(getattr(m, n) is value for n, value in sentinels.items()),
                          "modules": sorted(n for n in sys.modules if n.startswith("corvessa.image.")),
                          "url": m.{kind.class_name}("u", "k").base_url}}))
    """)
    assert out == {"same": True, "modules": [kind.qualified], "url": "u" + kind.url_suffix}


@pytest.mark.parametrize(
    ("kind", "owner", "name"),
    [(SORVANEL, "corvessa.config", "_GeminiModel"), (TOVARIN, "tessaly.gpt_image", "GPTImageSizeCalculator")],
    ids=case_id,
)
def test_a_missing_name_fails_the_load_until_it_exists(kind: Kind, owner: str, name: str) -> None:
    out = run(f"""
        import json, sys, {owner} as owner
        saved = owner.{name}
        del owner.{name}
        try:
            import {kind.qualified}
        except ImportError as e:
            error = [type(e).__name__, str(e)]
        unloaded = "{kind.qualified}" not in sys.modules
        owner.{name} = saved
        import {kind.qualified} as m
        print(json.dumps({{"error": error, "unloaded": unloaded, "same": m.{name} is saved,
                          "cls": m.{kind.class_name}.__name__}}))
    """)
    error = ["ImportError", f"cannot import name {name}"]
    assert out == {"error": error, "unloaded": True, "same": True, "cls": kind.class_name}


def test_missing_outside_module_fails_with_the_interpreters_own_error(kind: Kind) -> None:
    out = run(f"""
        import json, sys
        sys.modules["dolvex"] = None
        try:
            from dolvex import ServiceResult, ErrorCode
        except ImportError as e:
            expected = [type(e).__name__, str(e)]
        try:
            import {kind.qualified}
        except ImportError as e:
            error = [type(e).__name__, str(e)]
        unloaded = "{kind.qualified}" not in sys.modules
        del sys.modules["dolvex"]
        import {kind.qualified} as m
        print(json.dumps({{"expected": expected, "error": error, "unloaded": unloaded,
                          "later": m.ServiceResult.__module__}}))
    """)
    assert out["error"] == out["expected"] == ["ModuleNotFoundError", "import of dolvex halted; None in sys.modules"]
    assert out["unloaded"] and out["later"] == "dolvex"


def test_subinterpreter_sharing_the_gil_is_refused_after_the_main_one(kind: Kind) -> None:
    # Each of three subinterpreters, created and destroyed in turn, reaches the module's own
    # create step and is refused; a refusal leaves the main interpreter's module working.
    out = run(f"""
        import json, sys, _interpreters
        import {kind.qualified} as m
        first = {works(kind)}
        outcomes = []
        for _ in range(3):
            sub = _interpreters.create("legacy")
            refused = _interpreters.run_string(sub, "import {kind.qualified}")
            again = _interpreters.run_string(sub, "import {kind.qualified}")
            absent = _interpreters.run_string(sub, "import sys\\nassert '{kind.qualified}' not in sys.modules")
            _interpreters.destroy(sub)
            outcomes.append([refused.type.__name__, refused.msg, again.msg, absent is None])
        print(json.dumps({{"first": first, "outcomes": outcomes, "after": {works(kind)}}}))
    """)
    assert out == {
        "first": WORKS[kind][1],
        "outcomes": [["ImportError", CHANGE, CHANGE, True]] * 3,
        "after": WORKS[kind][1],
    }


def test_main_interpreter_is_refused_after_a_subinterpreter_loaded_it(kind: Kind) -> None:
    # The subinterpreter keeps the module, working, while the main interpreter is refused, and
    # still after the subinterpreter is gone.
    in_sub = f"import sys, {kind.qualified}\nassert {works(kind)} == {WORKS[kind][1]!r}"
    out = run(f"""
        import json, sys, _interpreters
        sub = _interpreters.create("legacy")
        loaded = _interpreters.run_string(sub, {in_sub!r})
        errors = []
        for destroy in (False, True):
            if destroy:
                _interpreters.destroy(sub)
            try:
                import {kind.qualified}
            except ImportError as e:
                errors.append([type(e).__name__, str(e)])
        print(json.dumps({{"loaded": loaded and loaded.formatted, "errors": errors,
                          "registered": "{kind.qualified}" in sys.modules}}))
    """)
    assert out == {"loaded": None, "errors": [["ImportError", CHANGE]] * 2, "registered": False}


def test_own_gil_subinterpreter_refuses_before_the_module_runs(kind: Kind) -> None:
    # Such an interpreter refuses a module that declares no multiple-interpreters slot before
    # its create step: nothing is recorded, so the main interpreter can still load it afterwards.
    out = run(f"""
        import json, sys
        from concurrent import interpreters
        sub = interpreters.create()
        try:
            sub.exec("import {kind.qualified}")
        except interpreters.ExecutionFailed as e:
            error = [e.excinfo.type.__name__, e.excinfo.msg]
        finally:
            sub.close()
        import {kind.qualified} as m
        print(json.dumps({{"error": error, "main": m.{kind.class_name}("u", "k").model_tag,
                          "works": {works(kind)}}}))
    """)
    assert out == {
        "error": ["ImportError", f"module {kind.qualified} does not support loading in subinterpreters"],
        "main": kind.tag,
        "works": WORKS[kind][1],
    }


def test_the_one_interpreter_rule_is_kept_per_module() -> None:
    # The main interpreter takes sorvanel; a subinterpreter sharing its GIL takes tovarin first.
    out = run_fresh("""
        import _interpreters, json
        import corvessa.image.sorvanel
        script = '''
        import json, os
        for name in ("corvessa.image.tovarin", "corvessa.image.sorvanel"):
            try:
                __import__(name)
                line = name + ": loaded"
            except ImportError as err:
                line = name + ": " + str(err)
            os.write(1, (json.dumps(line) + "\\\\n").encode())
        '''
        interp = _interpreters.create("legacy")
        try:
            assert _interpreters.run_string(interp, script) is None
        finally:
            _interpreters.destroy(interp)
        try:
            import corvessa.image.tovarin
            line = "corvessa.image.tovarin: loaded"
        except ImportError as err:
            line = "corvessa.image.tovarin: " + str(err)
        print(json.dumps(line))
    """)
    assert out == [
        "corvessa.image.tovarin: loaded",
        f"corvessa.image.sorvanel: {CHANGE}",
        f"corvessa.image.tovarin: {CHANGE}",
    ]


def test_reimport_yields_the_same_module_and_reinitialisation_is_refused(kind: Kind) -> None:
    # Three times each: a refusal, an exec on the loaded module or a re-import changes nothing
    # that the next one or a call would see.
    out = run(f"""
        import ctypes, importlib, json, sys, types
        import {kind.qualified} as first
        cls = first.{kind.class_name}
        api = ctypes.pythonapi
        api.PyModule_GetDef.argtypes = [ctypes.py_object]
        api.PyModule_GetDef.restype = ctypes.c_void_p
        api.PyModule_ExecDef.argtypes = [ctypes.py_object, ctypes.c_void_p]
        api.PyModule_ExecDef.restype = ctypes.c_int
        definition = api.PyModule_GetDef(first)
        refused, same, again = [], [], []
        for _ in range(3):
            try:
                api.PyModule_ExecDef(types.ModuleType("{kind.qualified}"), definition)
                refused.append(None)
            except Exception as e:
                refused.append([type(e).__name__, str(e)])
            same.append(api.PyModule_ExecDef(first, definition))
            del sys.modules["{kind.qualified}"]
            again.append(importlib.import_module("{kind.qualified}") is first and first.{kind.class_name} is cls)
        print(json.dumps({{"refused": refused, "same": same, "again": again,
                          "reloaded": importlib.reload(first) is first and first.{kind.class_name} is cls,
                          "works": {works(kind)}}}))
    """)
    refusal = ["RuntimeError", f"Module '{kind.name}' has already been imported. Re-initialisation is not supported."]
    assert out == {
        "refused": [refusal] * 3,
        "same": [0] * 3,
        "again": [True] * 3,
        "reloaded": True,
        "works": WORKS[kind][1],
    }
