"""The examples in docstrings and on the site's home page run as written."""

import doctest
import importlib
import pathlib
import pkgutil

import pytest

import telvora_datasets
import telvora_graphs
import telvora_molecules

ROOT = pathlib.Path(__file__).resolve().parent.parent
MODULES = sorted(
    info.name
    for package in (telvora_graphs, telvora_datasets, telvora_molecules)
    for info in pkgutil.walk_packages(package.__path__, package.__name__ + ".")
    # pyg needs torch (tested in its own environment); __main__ is the command itself.
    if info.name.rsplit(".", 1)[-1] not in {"pyg", "__main__"}
) + ["telvora_graphs", "telvora_datasets", "telvora_molecules"]


@pytest.mark.parametrize("name", MODULES)
def test_docstring_examples_run(name):
    module = importlib.import_module(name)
    assert doctest.testmod(module, optionflags=doctest.NORMALIZE_WHITESPACE).failed == 0


@pytest.mark.parametrize("page", ["docs/index.md"])
def test_site_page_examples_run(page):
    path = ROOT / page
    if not path.is_file():
        pytest.skip("the source tree is not beside the tests")
    assert doctest.testfile(str(path), module_relative=False).failed == 0
