"""House rules of the source tree that a compiler would not catch."""

import pathlib
import re

import pytest

ROOT = pathlib.Path(__file__).resolve().parent.parent
CORE = sorted((ROOT / "src" / "core").glob("*/*.[ch]pp"))
# The rooms of the core and the rooms each may include from: nothing runs back up.
ROOMS = {
    "base": set(),
    "elimination": {"base"},
    "frameworks": {"base", "elimination"},
    "pebble": {"base"},
    "graphs": {"base", "elimination", "frameworks", "pebble"},
}
# The frame both extension modules share, and the modules: telvora and telvora_graphs._native.
FRAME = sorted((ROOT / "src" / "frame").glob("*.[ch]pp"))
MODULES = {name: sorted((ROOT / "src" / "modules" / name).glob("*.[ch]pp")) for name in ("telvora", "telvora_graphs")}
BINDING = FRAME + [path for paths in MODULES.values() for path in paths]

pytestmark = pytest.mark.skipif(not CORE, reason="the source tree is not beside the tests")


def _code(path):
    """The text of a C++ file without its comments and string literals."""
    text = re.sub(r'R"doc\(.*?\)doc"', '""', path.read_text(), flags=re.S)
    text = re.sub(r'"(\\.|[^"\\\n])*"', '""', text)
    return re.sub(r"//[^\n]*|/\*.*?\*/", "", text, flags=re.S)


@pytest.mark.parametrize("path", CORE, ids=lambda p: p.name)
def test_core_stays_free_of_python(path):
    text = path.read_text()
    assert not re.search(r"#include\s*[<\"](Python\.h|numpy/)", text)
    assert "PyObject" not in text


def test_core_lives_in_its_rooms():
    assert sorted({path.parent.name for path in CORE}) == sorted(ROOMS)
    assert not list((ROOT / "src" / "core").glob("*.[ch]pp")), "a core file outside every room"


@pytest.mark.parametrize("path", CORE, ids=lambda p: f"{p.parent.name}/{p.name}")
def test_core_includes_run_only_down_the_rooms(path):
    room = path.parent.name
    for included in re.findall(r'#include\s*"([^"]+)"', path.read_text()):
        target = included.split("/")[0] if "/" in included else None
        assert target is not None, f"{included}: core headers are included by room, as in \"base/memory.hpp\""
        assert target == room or target in ROOMS[room], f"{room} may not include {included}"


def test_binding_includes_core_headers_by_room():
    for path in BINDING:
        for included in re.findall(r'#include\s*"([^"]+)"', path.read_text()):
            if "/" in included:
                assert included.split("/")[0] in ROOMS, included


def test_lock_is_only_released_through_the_guard():
    users = [p.name for p in BINDING if re.search(r"PyEval_(SaveThread|RestoreThread)", p.read_text())]
    assert users == ["pyref.hpp"]


def test_numpy_is_seen_by_one_unit_only():
    users = [str(p.relative_to(ROOT)) for p in BINDING if "numpy/" in p.read_text()]
    assert users == ["src/frame/frame.cpp"]


def test_errors_cross_into_python_in_the_frame_only():
    # Each module's routines run inside the frame's call guard; a catch of their own would
    # translate some error differently or swallow it.
    catching = [str(p.relative_to(ROOT)) for p in BINDING if re.search(r"\bcatch\s*\(", _code(p))]
    assert catching == ["src/frame/frame.cpp", "src/frame/frame.hpp"]


@pytest.mark.parametrize("path", BINDING, ids=lambda p: f"{p.parent.name}/{p.name}")
def test_lock_guards_are_named(path):
    # An unnamed temporary releases the lock and takes it back within one statement.
    code = _code(path)
    assert not re.search(r"LockReleased\s*(\{\s*\}|\(\s*\))\s*;", code)


@pytest.mark.parametrize("name", sorted(MODULES))
def test_each_module_is_thin(name):
    # One registration file with the module's only exported symbol; no handle, guard, argument
    # parser or error translation of its own: those live in the shared frame.
    code = "\n".join(_code(p) for p in MODULES[name])
    assert len(re.findall(r"PyMODINIT_FUNC\s+PyInit_\w+", code)) == 1
    for shared in (r"class\s+PyRef", r"class\s+LockReleased", r"PyTuple_Size\s*\(", r"PyErr_NoMemory",
                   r"#include\s*\"pyref\.hpp\"", r"PyArg_Parse"):
        assert not re.search(shared, code), shared


def test_build_keeps_arithmetic_exact():
    cmake = (ROOT / "CMakeLists.txt").read_text()
    assert "-ffp-contract=off" in cmake
    for flag in ("-ffast-math", "-Ofast", "-march=native", "-mfma"):
        assert flag not in cmake


def test_every_source_is_built():
    cmake = (ROOT / "CMakeLists.txt").read_text()
    for path in CORE + BINDING:
        if path.suffix == ".cpp":
            assert str(path.relative_to(ROOT)) in cmake, path.name


def test_both_modules_are_stable_abi_and_share_the_frame():
    cmake = (ROOT / "CMakeLists.txt").read_text()
    modules = re.findall(r"Python_add_library\((\w+) MODULE USE_SABI 3\.12 WITH_SOABI", cmake)
    assert sorted(modules) == ["telvora", "telvora_graphs_native"]
    for target in modules:
        assert re.search(rf"target_link_libraries\({target} PRIVATE telvora_frame\)", cmake), target
    # frame.cpp is compiled once, into the library both link.
    assert cmake.count("src/frame/frame.cpp") == 1
