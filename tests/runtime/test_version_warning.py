"""A module built for another minor version of the interpreter warns when it loads.

The modules are built for the interpreter that builds them; this test builds the Gemini
module as if for 3.13 (CORVESSA_COMPILED_MINOR) and loads it in the running interpreter."""

import os
import pathlib
import shutil
import subprocess
import sys

import pytest

ROOT = pathlib.Path(__file__).resolve().parents[2]
WARNING = (
    "compile time Python version 3.13 of module 'corvessa.image.sorvanel' does not match "
    f"runtime version {sys.version_info.major}.{sys.version_info.minor}"
)

pytestmark = pytest.mark.skipif(
    shutil.which("cmake") is None or shutil.which("ninja") is None, reason="needs cmake and ninja"
)


@pytest.fixture(scope="module")
def staged(tmp_path_factory):
    build = ROOT / "build" / f"pretend-3.13-{sys.implementation.cache_tag}"  # one per interpreter
    options = [f"-DPython_EXECUTABLE={sys.executable}", "-DCMAKE_CXX_FLAGS=-DCORVESSA_COMPILED_MINOR=13"]
    cmake = ["cmake", "-S", ROOT, "-B", build, "-G", "Ninja", "-DCMAKE_BUILD_TYPE=Debug", *options]
    subprocess.run(cmake, check=True, capture_output=True)
    subprocess.run(["ninja", "-C", build, "sorvanel"], check=True, capture_output=True)
    stage = tmp_path_factory.mktemp("stage")
    (stage / "corvessa" / "image").mkdir(parents=True)
    for library in build.glob("sorvanel*.so"):
        shutil.copy(library, stage / "corvessa" / "image" / library.name)
    return stage


def load(stage, *flags, code="import corvessa.image.sorvanel as m; print(m.SorvanelClient.__name__)"):
    env = dict(os.environ, PYTHONPATH=str(stage))
    return subprocess.run([sys.executable, *flags, "-c", code], capture_output=True, text=True, env=env)


def test_the_load_warns_and_goes_on(staged):
    result = load(staged, "-W", "always::RuntimeWarning")
    assert result.returncode == 0, result.stderr
    assert result.stdout.strip() == "SorvanelClient"
    assert f"RuntimeWarning: {WARNING}" in result.stderr


def test_a_warning_made_an_error_fails_the_load_and_leaves_it_unloaded(staged):
    code = """
import sys, warnings
warnings.simplefilter("error", RuntimeWarning)
try:
    import corvessa.image.sorvanel
except RuntimeWarning as error:
    print("refused:", error)
assert "corvessa.image.sorvanel" not in sys.modules
warnings.simplefilter("ignore", RuntimeWarning)
import corvessa.image.sorvanel as m
print("loaded", m.SorvanelClient.__name__)
"""
    result = load(staged, code=code)
    assert result.returncode == 0, result.stderr
    assert result.stdout.splitlines() == [f"refused: {WARNING}", "loaded SorvanelClient"]
