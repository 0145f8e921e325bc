"""House rules of the native sources that no reviewer should have to repeat."""

import pathlib
import re
import shutil
import subprocess

import pytest

SRC = pathlib.Path(__file__).resolve().parents[2] / "src"
SOURCES = sorted(p for p in SRC.rglob("*") if p.suffix in {".cpp", ".hpp"})


def relative(path):
    return str(path.relative_to(SRC))


# Calls that borrow and swallow errors, or steal only on success.
FORBIDDEN = re.compile(
    r"\b(PyDict_GetItem|PyDict_GetItemString|PyModule_AddObject|PyErr_Fetch|PyErr_Restore|"
    r"PyEval_GetBuiltins|PyObject_HasAttr|PyObject_HasAttrString)\s*\("
)
# Raw reference counting belongs to the runtime; module code holds references in Ref.
REFCOUNTING = re.compile(r"\b(Py_X?INCREF|Py_X?DECREF|Py_NewRef|Py_XNewRef|Py_CLEAR|Py_X?SETREF)\b")


def test_there_are_sources_to_check():
    assert any(p.parts[-2] == "runtime" for p in SOURCES) and any("tovarin" in p.parts for p in SOURCES)


@pytest.mark.parametrize("path", SOURCES, ids=relative)
def test_no_error_swallowing_calls(path):
    assert not FORBIDDEN.findall(path.read_text())


@pytest.mark.parametrize("path", [p for p in SOURCES if "runtime" not in p.parts], ids=relative)
def test_module_code_does_not_count_references_by_hand(path):
    assert not REFCOUNTING.findall(path.read_text())


# Calls that can pass keywords are made in runtime/call.* alone, whose helpers check the count of
# values against the count of names when the call compiles.
KEYWORD_CALLS = re.compile(r"\bPyObject_(Vectorcall|VectorcallMethod|VectorcallDict|Call)\s*\(")


@pytest.mark.parametrize("path", [p for p in SOURCES if p.stem != "call"], ids=relative)
def test_keyword_calls_go_through_the_checked_helpers(path):
    assert not KEYWORD_CALLS.findall(path.read_text())


# The runtime is generic: it knows nothing of the clients or the modules they call.
CLIENT_NAMES = re.compile(r"dolvex|ferrimo|requests|ServiceResult|ErrorCode|logger", re.IGNORECASE)


@pytest.mark.parametrize("path", [p for p in SOURCES if p.parts[-2] == "runtime"], ids=lambda p: p.name)
def test_runtime_names_no_client_concept(path):
    assert not CLIENT_NAMES.findall(path.read_text())


@pytest.mark.parametrize("path", SOURCES, ids=relative)
def test_each_file_opens_with_what_it_holds(path):
    assert path.read_text().startswith("// ")


# Each layer includes its own headers and those of the layers below it: a module folder never
# includes the other module's, common/ never a module's, runtime/ nothing of either.
LAYERS = {"runtime": 0, "common": 1, "sorvanel": 2, "tovarin": 2}
INCLUDE = re.compile(r'^\s*#\s*include\s+"([^"]+)"', re.MULTILINE)


def layer_of(relative: str) -> str:
    folder = pathlib.PurePosixPath(relative).parent.name
    assert folder in LAYERS, f"{relative} lies in no layer"
    return folder


@pytest.mark.parametrize("path", SOURCES, ids=relative)
def test_includes_point_down_the_layers(path):
    own = layer_of(path.relative_to(SRC).as_posix())
    upward = [
        name
        for name in INCLUDE.findall(path.read_text())
        if layer_of(name) != own and LAYERS[layer_of(name)] >= LAYERS[own]
    ]
    assert not upward


@pytest.mark.skipif(shutil.which("clang-format") is None, reason="clang-format is not installed")
def test_sources_keep_the_one_format():
    run = subprocess.run(["sh", "tools/format", "--check"], cwd=SRC.parent, capture_output=True, text=True)
    assert run.returncode == 0, run.stderr[-2000:]
