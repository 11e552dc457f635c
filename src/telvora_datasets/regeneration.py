"""One framework or graph of a dataset computed again from its manifest alone.

It sits above both the reader (the manifest) and the builders of shards (the columns), so that
neither imports the other.
"""

from __future__ import annotations

import os

import numpy as np

from .errors import DatasetError
from .graph_records import build_graph_columns
from .limits import check_fits
from .manifest import dataset_directory, plan_of
from .reader import read_manifest
from .records import Record, build_columns, iter_graph_records, iter_records


def regenerate(path: str | os.PathLike[str], index: int) -> Record:
    """Framework or graph `index` of a dataset, computed again from the manifest's parameters.

    No shard is read: the record is what `load` yields for it, bit for bit, since every graph is
    a function of the dataset's seed and its index alone.

    Parameters
    ----------
    path : str or os.PathLike
        The dataset's directory, or its manifest.json.
    index : int
        Which framework or graph, from 0 to the dataset's size - 1.

    Returns
    -------
    Record
        The record, as `load` gives it.

    Raises
    ------
    DatasetError
        For an index out of range, a manifest that is damaged, or a graph too large for memory.

    Examples
    --------
    >>> import telvora_datasets as td
    >>> from telvora_datasets.families import GnmFamily
    >>> report = td.generate(20, 8, 2, 3, "/tmp/td-regenerate", GnmFamily(edges="2n-3"),
    ...                      td.Options(workers=1, format="npz", overwrite=True))
    >>> again = td.regenerate("/tmp/td-regenerate", 12)
    >>> stored = list(td.load("/tmp/td-regenerate"))[12]
    >>> bool((again["edges"] == stored["edges"]).all()), again["is_rigid"] == stored["is_rigid"]
    (True, True)
    """
    plan = plan_of(read_manifest(dataset_directory(path)))
    if isinstance(index, bool) or not isinstance(index, (int, np.integer)) or not 0 <= index < plan.graphs:
        raise DatasetError(f"index must be an integer from 0 to {plan.graphs - 1}, the dataset's last (got {index!r})")
    check_fits(plan, 1, single=True)
    if plan.family is None:
        return next(iter_records(build_columns(plan.seed, int(index), 1, plan.nodes, plan.dim)))
    columns = build_graph_columns(plan.family, plan.seed, int(index), 1, plan.nodes, plan.dim)
    return next(iter_graph_records(columns))
