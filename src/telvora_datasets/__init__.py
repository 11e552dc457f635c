"""Sharded, reproducible datasets of labelled random frameworks built on telvora.

Importing this package loads neither the compiled module (only generating needs it) nor
pyarrow, dask, matplotlib or torch (each is loaded by the feature that needs it).
RigidityDataset needs torch_geometric to exist at all, so it is reached as an attribute
(telvora_datasets.RigidityDataset) and left out of __all__: a star import works without torch.
"""

from typing import TYPE_CHECKING


def _version() -> str:
    """The version of the telvora distribution this package belongs to.

    Run from a source tree (PYTHONPATH=src), the installed metadata may describe another build,
    so the tree's own pyproject.toml wins; an installed package has none beside it.
    """
    from pathlib import Path

    project = Path(__file__).resolve().parent.parent.parent / "pyproject.toml"
    if project.is_file():
        import tomllib

        try:
            table = tomllib.loads(project.read_text(encoding="utf-8")).get("project", {})
        except (OSError, ValueError):
            table = {}
        if table.get("name") == "telvora" and isinstance(table.get("version"), str):
            return str(table["version"])
    from importlib.metadata import PackageNotFoundError, version

    try:
        return version("telvora")
    except PackageNotFoundError:
        return "0+unknown"


__version__: str = _version()  # before the submodules: manifest and cli import it

from .errors import DatasetError, MissingExtraError  # noqa: E402
from .graph_records import realization_seed, regenerate  # noqa: E402
from .plotting import (FrameworkArtists, circle_layout, plot_dataset_summary, plot_framework,  # noqa: E402
                       plot_pebble_comparison, plot_record)
from .points import framework_points, framework_seeds  # noqa: E402
from .pyg import to_pyg  # noqa: E402
from .reader import load, read_manifest  # noqa: E402
from .records import Record, candidate_edges  # noqa: E402
from .writer import Report, generate  # noqa: E402

if TYPE_CHECKING:  # made on first use (see __getattr__); "as" marks it as exported
    from .pyg import RigidityDataset as RigidityDataset

__all__ = ["DatasetError", "FrameworkArtists", "MissingExtraError", "Record", "Report", "candidate_edges",
           "circle_layout", "framework_points", "framework_seeds", "generate", "load", "plot_dataset_summary",
           "plot_framework", "plot_pebble_comparison", "plot_record", "read_manifest", "realization_seed",
           "regenerate", "to_pyg"]


if not TYPE_CHECKING:  # for mypy every other name stays an error
    def __getattr__(name: str) -> object:
        if name == "RigidityDataset":
            from . import pyg

            return pyg.RigidityDataset
        raise AttributeError(f"module {__name__!r} has no attribute {name!r}")


def __dir__() -> list[str]:
    return sorted([*globals(), "RigidityDataset"])
