"""Generic answers in the line and the plane by counting, against the prime field (method='field')."""

import numpy as np
import pytest

import graph_reference as ref
import telvora_graphs as tg


@pytest.mark.parametrize("d", [1, 2])
@pytest.mark.parametrize("n", [3, 6, 10, 16])
def test_counting_matches_the_field(d, n):
    rng = np.random.default_rng(100 * d + n)
    for trial in range(25):
        edges = ref.random_pairs(rng, n, int(rng.integers(0, 3 * n)))  # repeats included
        counted = tg.rigidity(edges, d=d, n=n + trial % 2)  # every other graph with an isolated vertex
        field = tg.rigidity(edges, d=d, n=n + trial % 2, method="field")
        assert np.array_equal(counted.labels, field.labels)
        assert np.array_equal(counted.redundant, field.redundant)
        assert (counted.rank, counted.is_rigid, counted.is_redundantly_rigid, counted.is_globally_rigid) == \
            (field.rank, field.is_rigid, field.is_redundantly_rigid, field.is_globally_rigid)
        assert counted.error_bound == 0.0


def test_batch_counting_matches_the_field():
    rng = np.random.default_rng(7)
    graphs = [ref.random_pairs(rng, 8, 16) for _ in range(50)]
    edges = np.concatenate(graphs)
    offsets = np.cumsum([0] + [len(g) for g in graphs])
    counted = tg.rigidity_batch(edges, offsets, 8, d=2, global_rigidity=True)
    field = tg.rigidity_batch(edges, offsets, 8, d=2, global_rigidity=True, method="field")
    for name in ("labels", "redundant", "rank", "is_rigid", "is_globally_rigid"):
        assert np.array_equal(getattr(counted, name), getattr(field, name)), name


@pytest.mark.parametrize("kwargs, message", [
    ({"d": 2, "method": "fast"}, "method must be"),
    ({"d": 3, "method": "counting"}, "line and the plane only"),
    ({"coords": np.eye(3)[:, :2], "method": "field"}, "leave it out"),
])
def test_bad_method(kwargs, message):
    with pytest.raises(ValueError, match=message):
        tg.rigidity([(0, 1), (1, 2)], **kwargs)
