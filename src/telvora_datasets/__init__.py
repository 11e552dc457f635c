"""Sharded, reproducible datasets of labelled random frameworks built on telvora.

Importing this package loads nothing but its names: NumPy on first use of one of them, the
compiled module only to generate, and pyarrow, dask, matplotlib or torch only in the feature that
needs each.
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


if TYPE_CHECKING:
    __version__: str

# Each public name and the submodule that defines it. They are imported on first use (PEP 562),
# so that importing the package costs nothing beyond its version: the command's launcher
# (telvora_datasets.__main__) runs before NumPy is imported and can turn a Ctrl-C during start-up
# into its one line.
_EXPORTS = {
    "DatasetError": "errors", "MissingExtraError": "errors", "realization_seed": "graph_records",
    "regenerate": "regeneration", "FrameworkArtists": "plotting", "circle_layout": "plotting",
    "plot_dataset_summary": "plotting", "plot_datasets_summary": "plotting", "plot_framework": "plotting", "plot_pebble_comparison": "plotting",
    "plot_record": "plotting", "framework_points": "points", "framework_seeds": "points", "to_pyg": "pyg",
    "load": "reader", "read_manifest": "reader", "Record": "records", "candidate_edges": "records",
    "Report": "writer", "generate": "writer", "Options": "writer", "RigidityDataset": "pyg",
    **{name: "families" for name in ("CompleteFamily", "GraphFamily", "GnpFamily", "GnmFamily", "GeometricFamily",
                                     "KnnFamily", "HennebergFamily", "RegularFamily", "OptionError")},
}

if TYPE_CHECKING:  # "as" marks each as exported
    from .errors import DatasetError as DatasetError, MissingExtraError as MissingExtraError
    from .graph_records import realization_seed as realization_seed
    from .regeneration import regenerate as regenerate
    from .plotting import (FrameworkArtists as FrameworkArtists, circle_layout as circle_layout,
                           plot_dataset_summary as plot_dataset_summary,
                           plot_datasets_summary as plot_datasets_summary, plot_framework as plot_framework,
                           plot_pebble_comparison as plot_pebble_comparison, plot_record as plot_record)
    from .points import framework_points as framework_points, framework_seeds as framework_seeds
    from .pyg import RigidityDataset as RigidityDataset, to_pyg as to_pyg
    from .reader import load as load, read_manifest as read_manifest
    from .records import Record as Record, candidate_edges as candidate_edges
    from .writer import Options as Options, Report as Report, generate as generate
    from .families import (CompleteFamily as CompleteFamily, GeometricFamily as GeometricFamily,
                           GnmFamily as GnmFamily, GnpFamily as GnpFamily, GraphFamily as GraphFamily,
                           HennebergFamily as HennebergFamily, KnnFamily as KnnFamily, OptionError as OptionError,
                           RegularFamily as RegularFamily)

# RigidityDataset needs torch_geometric to exist at all: it is left out of __all__ so that a star
# import works without torch.
__all__ = ["CompleteFamily", "DatasetError", "FrameworkArtists", "GeometricFamily", "GnmFamily", "GnpFamily",
           "GraphFamily", "HennebergFamily", "KnnFamily", "MissingExtraError", "OptionError", "Options",
           "Record", "RegularFamily", "Report", "candidate_edges",
           "circle_layout", "framework_points", "framework_seeds", "generate", "load", "plot_dataset_summary", "plot_datasets_summary",
           "plot_framework", "plot_pebble_comparison", "plot_record", "read_manifest", "realization_seed",
           "regenerate", "to_pyg"]


if not TYPE_CHECKING:  # for mypy every other name stays an error
    def __getattr__(name: str) -> object:
        if name == "__version__":  # read once, on first use: importlib.metadata takes a while to import
            globals()[name] = version = _version()
            return version
        module = _EXPORTS.get(name)
        if module is None:
            raise AttributeError(f"module {__name__!r} has no attribute {name!r}")
        from importlib import import_module

        value = getattr(import_module(f".{module}", __name__), name)
        if name != "RigidityDataset":  # made anew by pyg until torch_geometric is there
            globals()[name] = value
        return value


def __dir__() -> list[str]:
    return sorted({*globals(), *_EXPORTS})
