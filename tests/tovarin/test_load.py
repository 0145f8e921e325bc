"""Loading `corvessa.image.tovarin`: its globals, what it imports and refuses, and the class
statement. Cases that depend on the module's process-wide state run in a fresh interpreter."""

from __future__ import annotations

import logging
import types

import corvessa.config
import dolvex
import ferrimo
import pytest
import requests
import tessaly.gpt_image

import corvessa.image.tovarin as tovarin

from .conftest import run_python

GLOBALS = [
    "base64", "logging", "os", "time", "traceback", "requests", "Union", "Optional", "List",
    "Tuple", "ServiceResult", "ErrorCode", "GPTImageSizeCalculator", "ferrimo", "http_client",
    "TovarinClient",
]
METHODS = ["__init__", "_generate_completions", "generate_image", "start"]
REINIT = "Module 'tovarin' has already been imported. Re-initialisation is not supported."
OTHER_INTERPRETER = ("Interpreter change detected - this module can only be loaded into one "
                     "interpreter per process.")


def test_globals_are_bound_in_import_order_to_the_imported_objects(monkeypatch: pytest.MonkeyPatch) -> None:
    import base64
    import os
    import time
    import traceback
    from typing import List, Optional, Tuple, Union

    monkeypatch.undo()  # the module as loaded, without the test fakes
    assert [name for name in vars(tovarin) if not name.startswith("__")] == GLOBALS
    expected = {
        "base64": base64, "logging": logging, "os": os, "time": time, "traceback": traceback,
        "requests": requests, "Union": Union, "Optional": Optional, "List": List, "Tuple": Tuple,
        "ServiceResult": dolvex.ServiceResult, "ErrorCode": dolvex.ErrorCode,
        "GPTImageSizeCalculator": tessaly.gpt_image.GPTImageSizeCalculator, "ferrimo": ferrimo,
        "http_client": corvessa.config.http_client,
    }
    assert {name: getattr(tovarin, name) for name in expected} == expected
    assert tovarin.__name__ == "corvessa.image.tovarin"
    assert tovarin.__package__ == "corvessa.image"
    assert tovarin.__doc__ is None
    assert not hasattr(tovarin, "__path__")


def test_class_statement() -> None:
    cls = tovarin.TovarinClient
    assert type(cls) is type
    assert cls.__mro__ == (cls, object)
    assert (cls.__module__, cls.__qualname__, cls.__doc__) == ("corvessa.image.tovarin", "TovarinClient", None)
    assert [name for name in vars(cls) if name in METHODS] == METHODS
    for name in METHODS:
        function = vars(cls)[name]
        assert (function.__qualname__, function.__module__) == (f"TovarinClient.{name}", "corvessa.image.tovarin")
        # Instance methods, not wrapped: class access gives the function, instance access a bound method.
        assert getattr(cls, name) is function
    bound = cls("u", "k").start
    assert isinstance(bound, types.MethodType) and bound.__func__ is vars(cls)["start"]


def test_loads_alone_with_a_configuration_holding_only_http_client() -> None:
    out = run_python("""
        import sys, types
        config = types.ModuleType("corvessa.config")
        config.http_client = sentinel = object()
        sys.modules["corvessa.config"] = config
        import corvessa.image.tovarin as tovarin
        print(tovarin.http_client is sentinel)
        print("corvessa.image.sorvanel" in sys.modules)
        print(tovarin.TovarinClient("u", "k").base_url)
    """)
    assert out == ["True", "False", "u/v1/images"]


def test_a_missing_size_calculator_fails_the_load_until_it_exists() -> None:
    out = run_python("""
        import sys
        import tessaly.gpt_image as gpt_image
        calculator = gpt_image.GPTImageSizeCalculator
        del gpt_image.GPTImageSizeCalculator
        try:
            import corvessa.image.tovarin
        except ImportError as err:
            print(type(err).__name__, err)
        print("corvessa.image.tovarin" in sys.modules)
        gpt_image.GPTImageSizeCalculator = calculator
        import corvessa.image.tovarin as tovarin
        print(tovarin.GPTImageSizeCalculator is calculator, tovarin.TovarinClient.__name__)
    """)
    assert out == ["ImportError cannot import name GPTImageSizeCalculator", "False", "True TovarinClient"]


def test_a_second_initialisation_is_refused() -> None:
    out = run_python("""
        import ctypes, importlib, sys, types
        import corvessa.image.tovarin as tovarin
        api = ctypes.pythonapi
        api.PyModule_GetDef.restype = ctypes.c_void_p
        api.PyModule_GetDef.argtypes = [ctypes.py_object]
        api.PyModule_ExecDef.restype = ctypes.c_int
        api.PyModule_ExecDef.argtypes = [ctypes.py_object, ctypes.c_void_p]
        definition = api.PyModule_GetDef(tovarin)
        # The module's own object again: nothing to do.
        print(api.PyModule_ExecDef(tovarin, definition))
        try:
            api.PyModule_ExecDef(types.ModuleType("corvessa.image.tovarin"), definition)
        except RuntimeError as err:
            print(err)
        # Out of the registry and imported again: the very same module object.
        del sys.modules["corvessa.image.tovarin"]
        print(importlib.import_module("corvessa.image.tovarin") is tovarin)
    """)
    assert out == ["0", REINIT, "True"]


def test_the_one_interpreter_rule_is_kept_per_module() -> None:
    # The main interpreter takes sorvanel; a subinterpreter sharing its GIL takes tovarin first.
    out = run_python("""
        import _interpreters, os
        import corvessa.image.sorvanel
        script = '''
        import os
        for name in ("corvessa.image.tovarin", "corvessa.image.sorvanel"):
            try:
                __import__(name)
                line = name + ": loaded"
            except ImportError as err:
                line = name + ": " + str(err)
            os.write(1, (line + "\\\\n").encode())
        '''
        interp = _interpreters.create("legacy")
        try:
            assert _interpreters.run_string(interp, script) is None
        finally:
            _interpreters.destroy(interp)
        try:
            import corvessa.image.tovarin
            print("corvessa.image.tovarin: loaded")
        except ImportError as err:
            print("corvessa.image.tovarin:", err)
    """)
    assert out == [
        "corvessa.image.tovarin: loaded",
        f"corvessa.image.sorvanel: {OTHER_INTERPRETER}",
        f"corvessa.image.tovarin: {OTHER_INTERPRETER}",
    ]
