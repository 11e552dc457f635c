"""The installed type stubs: mypy accepts a typed caller and the stubs match the module."""

import inspect
import pathlib

import pytest

from mypy_runner import run_mypy
import telvora

EXAMPLE = pathlib.Path(__file__).parent / "typing" / "uses_every_function.py"


def test_mypy_accepts_a_caller_of_every_function(tmp_path):
    result = run_mypy(tmp_path, EXAMPLE)
    assert result.returncode == 0, result.stdout + result.stderr


def test_mypy_rejects_a_wrong_use(tmp_path):
    wrong = tmp_path / "wrong.py"
    wrong.write_text("import telvora\nlabel: str = telvora.max_independent(3, 2)\n")
    result = run_mypy(tmp_path, wrong, strict=False)
    assert result.returncode == 1 and "Incompatible types in assignment" in result.stdout


def _stub_parameters():
    stub = pathlib.Path(telvora.__file__).with_name("telvora.pyi")
    namespace: dict[str, object] = {}
    source = stub.read_text()
    # The stub is valid Python apart from its ellipsis bodies, so its signatures can be read directly.
    exec(compile(source, str(stub), "exec"), namespace)  # noqa: S102 - our own installed file
    return {name: list(inspect.signature(namespace[name]).parameters) for name in telvora.__all__}


def test_stub_signatures_match_the_module():
    stubs = _stub_parameters()
    for name in telvora.__all__:
        runtime = list(inspect.signature(getattr(telvora, name)).parameters)
        assert stubs[name] == runtime, name
