"""House rules of the source tree that a compiler would not catch."""

import pathlib
import re

import pytest

ROOT = pathlib.Path(__file__).resolve().parent.parent
CORE = sorted((ROOT / "src" / "core").glob("*.[ch]pp"))
FRAME = sorted((ROOT / "src" / "lib").glob("*.[ch]pp"))

pytestmark = pytest.mark.skipif(not CORE, reason="the source tree is not beside the tests")


@pytest.mark.parametrize("path", CORE, ids=lambda p: p.name)
def test_core_stays_free_of_python(path):
    text = path.read_text()
    assert not re.search(r"#include\s*[<\"](Python\.h|numpy/)", text)
    assert "PyObject" not in text


def test_lock_is_only_released_through_the_guard():
    users = [p.name for p in FRAME if re.search(r"PyEval_(SaveThread|RestoreThread)", p.read_text())]
    assert users == ["pyref.hpp"]


def test_numpy_is_seen_by_one_unit_only():
    users = [p.name for p in FRAME if "numpy/" in p.read_text()]
    assert users == ["frame.cpp"]


def test_build_keeps_arithmetic_exact():
    cmake = (ROOT / "CMakeLists.txt").read_text()
    assert "-ffp-contract=off" in cmake
    for flag in ("-ffast-math", "-Ofast", "-march=native", "-mfma"):
        assert flag not in cmake


def test_every_source_is_built():
    cmake = (ROOT / "CMakeLists.txt").read_text()
    for path in CORE + FRAME:
        if path.suffix == ".cpp":
            assert f"src/{path.parent.name}/{path.name}" in cmake, path.name
