"""telvora_datasets' types: mypy --strict on the package and on a typed caller, its version, what a
star import brings, and the errors for arguments of the wrong type."""

import os
import re
import shutil
import subprocess
import sys
import tomllib
from pathlib import Path

import numpy as np
import pytest

from mypy_runner import run_mypy
import telvora_datasets
from telvora_datasets import framework_points
from telvora_datasets.records import labels_array, points_array

ROOT = Path(__file__).resolve().parent.parent
EXAMPLE = Path(__file__).parent / "typing" / "uses_datasets.py"


def test_mypy_strict_accepts_the_package(tmp_path):
    result = run_mypy(tmp_path, "-p", "telvora_datasets")
    assert result.returncode == 0, result.stdout + result.stderr


def test_mypy_strict_accepts_a_typed_caller(tmp_path):
    result = run_mypy(tmp_path, str(EXAMPLE))
    assert result.returncode == 0, result.stdout + result.stderr


def test_mypy_sees_the_record_types(tmp_path):
    wrong = tmp_path / "wrong.py"
    wrong.write_text("import telvora_datasets as td\n"
                     "for record in td.load('x'):\n"
                     "    seed: str = record['seed']\n"
                     "    record['colour']\n"
                     "td.plot_framework([[0.0, 0.0]], numbered='yes')\n")
    result = run_mypy(tmp_path, str(wrong), strict=False)
    assert result.returncode == 1
    assert re.search(r"wrong\.py:3: error: Incompatible types in assignment", result.stdout), result.stdout
    assert re.search(r"wrong\.py:4: error: TypedDict \"Record\" has no key \"colour\"", result.stdout), result.stdout
    assert re.search(r"wrong\.py:5: error: Argument \"numbered\"", result.stdout), result.stdout


def test_version_is_the_distribution_version(capsys):
    project = tomllib.loads((ROOT / "pyproject.toml").read_text())["project"]
    if Path(telvora_datasets.__file__).resolve().is_relative_to(ROOT / "src"):
        assert telvora_datasets.__version__ == project["version"]
    else:
        from importlib.metadata import version

        assert telvora_datasets.__version__ == version(project["name"])
    from telvora_datasets.cli import main

    with pytest.raises(SystemExit) as done:
        main(["--version"])
    assert done.value.code == 0
    assert capsys.readouterr().out.split() == ["telvora-datasets", telvora_datasets.__version__]


@pytest.mark.parametrize("tree", ["source", "installed"])
def test_version_follows_where_the_package_is_run_from(tmp_path, tree):
    copy = tmp_path / "src" / "telvora_datasets"
    shutil.copytree(Path(telvora_datasets.__file__).parent, copy, ignore=shutil.ignore_patterns("__pycache__"))
    if tree == "source":
        (tmp_path / "pyproject.toml").write_text('[project]\nname = "telvora"\nversion = "9.8.7"\n')
    code = "import telvora_datasets as t; print(t.__file__); print(t.__version__)"
    env = {**os.environ, "PYTHONPATH": str(tmp_path / "src")}
    out = subprocess.run([sys.executable, "-c", code], capture_output=True, text=True, env=env, check=True).stdout
    imported, version = out.split()
    assert Path(imported).parent == copy
    if tree == "source":
        assert version == "9.8.7"
    else:
        from importlib.metadata import PackageNotFoundError
        from importlib.metadata import version as installed

        try:
            assert version == installed("telvora")
        except PackageNotFoundError:
            assert version == "0+unknown"


def test_star_import_needs_neither_torch_nor_matplotlib():
    # A finder that refuses torch, as an interpreter without it would.
    code = """
import sys
class Refuse:
    def find_spec(self, name, path=None, target=None):
        if name.split('.')[0] in ('torch', 'torch_geometric'):
            raise ModuleNotFoundError(f"No module named {name!r}")
sys.meta_path.insert(0, Refuse())
from telvora_datasets import *
import telvora_datasets
assert sorted(telvora_datasets.__all__) == sorted(set(telvora_datasets.__all__))
missing = [name for name in telvora_datasets.__all__ if name not in globals()]
assert not missing, missing
assert load and generate and plot_framework and Record and __name__ == '__main__'
assert not {'torch', 'matplotlib', 'pyarrow', 'telvora'} & set(sys.modules), sorted(sys.modules)
assert 'RigidityDataset' in dir(telvora_datasets)
try:
    telvora_datasets.RigidityDataset
except ImportError as error:
    assert "telvora[pyg]" in str(error), error
else:
    raise AssertionError("RigidityDataset without torch")
"""
    result = subprocess.run([sys.executable, "-c", code], capture_output=True, text=True)
    assert result.returncode == 0, result.stderr


@pytest.mark.parametrize(
    ("seeds", "message"),
    [([1.5, 2.0], "not dtype float64"), (np.array([1, 2], dtype=np.float32), "not dtype float32"),
     (["7"], "not dtype <U1"), ([True], "not dtype bool"), ([None], r"not Python objects \(dtype object\)")],
)
def test_seeds_of_another_dtype_name_it_and_the_fix(seeds, message):
    with pytest.raises(TypeError, match=message) as error:
        framework_points(seeds, 4, 2)
    assert "np.asarray(seeds, dtype=np.uint64)" in str(error.value)


def test_seeds_are_taken_mod_2_64():
    seeds = np.array([2**64 - 1, 0, 2**63], dtype=np.uint64)
    expected = framework_points(seeds, 5, 3)
    # int64 views (as to_pyg stores them), Python ints of either sign, and mixed lists agree.
    for same in (seeds.view(np.int64), [2**64 - 1, 0, 2**63], [-1, 0, -(2**63)], [-1, 2**64, 2**63]):
        assert framework_points(same, 5, 3).tobytes() == expected.tobytes()
    with pytest.raises(ValueError, match="n_nodes must be at least 1"):
        framework_points(seeds, 0, 2)
    with pytest.raises(TypeError, match="d must be an integer, not float"):
        framework_points(seeds, 4, 2.0)


@pytest.mark.parametrize(
    ("coords", "error", "message"),
    [(np.zeros((3, 2), dtype=np.complex128), TypeError, "not dtype complex128.*np.asarray"),
     (np.zeros((3, 2), dtype=bool), TypeError, "not dtype bool"),
     ([["a", "b"], ["c", "d"]], TypeError, "not dtype <U1"),
     ([[0.0, 0.0], [1.0]], ValueError, "rectangular"),
     ([[0.0, np.nan], [1.0, 0.0]], ValueError, "NaN or infinite"),
     (np.zeros((3, 4)), ValueError, r"shape \(n, 2\) or \(n, 3\)")],
)
def test_points_of_the_wrong_kind_are_refused(coords, error, message):
    with pytest.raises(error, match=message):
        points_array(coords)


def test_points_of_other_real_dtypes_are_converted():
    exact = np.arange(12.0).reshape(6, 2)
    for other in (exact.astype(np.float32), exact.astype(np.int16), exact.astype(np.uint8), exact.tolist()):
        converted = points_array(other)
        assert converted.dtype == np.float64 and converted.tobytes() == exact.tobytes()


@pytest.mark.parametrize(
    ("labels", "error", "message"),
    [([0.2, 0.9, 1.0], ValueError, r"0 \(redundant\) or 1.*\(scores > 0.5\)"), ([0, 2, 1], ValueError, "found 2"),
     (["1", "0", "1"], TypeError, r"dtype <U1.*np.asarray\(labels, dtype=np.uint8\)"),
     ([1, 0], ValueError, "3 points need 3 labels")],
)
def test_labels_must_be_zero_or_one(labels, error, message):
    with pytest.raises(error, match=message):
        labels_array(labels, 3, 3)


def test_labels_of_any_numeric_dtype_are_read_as_bits():
    for dtype in (np.uint8, np.int64, np.float32, bool):
        assert labels_array(np.array([1, 0, 1], dtype=dtype), 3, 3).tolist() == [True, False, True]
