"""generate_training_batch: seeded random frameworks labelled by the standard simulation."""

import numpy as np
import pytest

import telvora
import reference
from conftest import fatal_error_of


def test_empty_batch_checks_nothing():
    assert telvora.generate_training_batch(0, 0, 7, 0) == []


def test_three_points_from_seed_zero():
    (result,) = telvora.generate_training_batch(1, 3, 2, 0)
    points = np.array(reference.random_points(3, 2, 0))
    assert points.tolist() == [
        [0.3910432733574517, 0.5084937998346272],
        [3.026616613619639, 2.0060810172013195],
        [1.918128983098578, 2.8042981663728828],
    ]
    assert result["labels"].tolist() == [1, 1, 1]
    assert result["accepted_edges"] == [(0, 1), (0, 2), (1, 2)]
    assert (result["final_rank"], result["max_rank"], result["is_rigid"]) == (3, 3, True)
    assert (result["n_nodes"], result["d"]) == (3, 2)
    expected = [[reference.distance(a, b) for b in points.tolist()] for a in points.tolist()]
    assert result["distance_matrix"].tobytes() == np.array(expected).tobytes()


def _assert_same(a, b):
    assert list(a) == list(b)
    for key in a:
        if isinstance(a[key], np.ndarray):
            assert a[key].dtype == b[key].dtype and a[key].tobytes() == b[key].tobytes()
        else:
            assert a[key] == b[key] and type(a[key]) is type(b[key])


@pytest.mark.parametrize(("n_graphs", "n_nodes", "d", "seed"), [(2, 6, 2, 10), (4, 7, 3, 2**64 - 2), (3, 2, 2, 5)])
def test_framework_k_is_seeded_with_seed_plus_k(n_graphs, n_nodes, d, seed):
    batch = telvora.generate_training_batch(n_graphs, n_nodes, d, seed)
    assert len(batch) == n_graphs
    for k, result in enumerate(batch):
        (alone,) = telvora.generate_training_batch(1, n_nodes, d, (seed + k) % 2**64)
        _assert_same(result, alone)
    _assert_same(batch[0], telvora.generate_training_batch(n_graphs, n_nodes, d, seed)[0])


def test_seed_wraps_around():
    batch = telvora.generate_training_batch(2, 5, 2, 2**64 - 1)
    _assert_same(batch[1], telvora.generate_training_batch(1, 5, 2, 0)[0])


@pytest.mark.parametrize(("n_nodes", "d"), [(4, 2), (9, 2), (4, 3), (12, 3)])
@pytest.mark.parametrize("seed", [0, 1, 99, 2**63])
def test_equals_simulate_on_the_same_points(n_nodes, d, seed):
    (result,) = telvora.generate_training_batch(1, n_nodes, d, seed)
    points = np.array(reference.random_points(n_nodes, d, seed))
    direct = telvora.simulate(points, d)
    _assert_same(result, direct)


def test_breakdown_retry_in_the_batch():
    (result,) = telvora.generate_training_batch(1, 60, 3, 280)
    assert result["labels"].tolist() == [1] * 174 + [0] * (60 * 59 // 2 - 174)


@pytest.mark.parametrize(("n_nodes", "d", "max_rank"), [(1, 2, 0), (1, 3, 0), (2, 2, 1), (2, 3, 1), (3, 3, 3)])
def test_frameworks_with_few_points(n_nodes, d, max_rank):
    (result,) = telvora.generate_training_batch(1, n_nodes, d, 4)
    labels, rank = reference.simulate(reference.random_points(n_nodes, d, 4), d, fast_path=False)
    assert result["labels"].tolist() == labels
    assert result["final_rank"] == rank
    assert result["max_rank"] == max_rank
    assert result["is_rigid"] is (rank == max_rank)
    assert result["distance_matrix"].shape == (n_nodes, n_nodes)
    if n_nodes == 1:
        assert result["is_rigid"] is True and result["distance_matrix"].tolist() == [[0.0]]
    if n_nodes == 2:  # one bar between two points is rigid in any dimension
        assert result["labels"].tolist() == [1] and result["is_rigid"] is True


def test_two_points_give_one_bar():
    for seed in range(5):
        (result,) = telvora.generate_training_batch(1, 2, 2, seed)
        assert result["labels"].tolist() == [1] and result["accepted_edges"] == [(0, 1)]
        assert result["is_rigid"] is True


def test_arrays_are_independent():
    batch = telvora.generate_training_batch(3, 5, 2, 1)
    arrays = [r[key] for r in batch for key in ("labels", "distance_matrix")]
    for a in range(len(arrays)):
        for b in range(a + 1, len(arrays)):
            assert not np.shares_memory(arrays[a], arrays[b])
    keep = batch[1]
    snapshot = keep["distance_matrix"].copy()
    del batch
    assert np.array_equal(keep["distance_matrix"], snapshot)


@pytest.mark.parametrize(
    ("args", "message"),
    [((1, 0, 2, 0), "Node list must not be empty"), ((1, 0, 5, 0), "Node list must not be empty"),
     ((1, 5, 4, 0), "Only d=2 and d=3 are supported"), ((3, 5, 0, 0), "Only d=2 and d=3 are supported")],
)
def test_fatal_errors(args, message):
    assert fatal_error_of(lambda: telvora.generate_training_batch(*args)).args == (message,)


@pytest.mark.parametrize(
    ("args", "error", "name"),
    [((1, 3, 2, -1), OverflowError, None), ((1, 3, 2, 1.5), TypeError, "seed"), ((None, 3, 2, 0), TypeError, "n_graphs"),
     ((1, 3, "2", 0), TypeError, "d"), ((1, 2**64, 2, 0), OverflowError, None)],
)
def test_argument_errors(args, error, name):
    with pytest.raises(error) as info:
        telvora.generate_training_batch(*args)
    if name:
        assert f"'{name}'" in str(info.value)


@pytest.mark.parametrize(("n_graphs", "n_nodes"), [(2**40, 10), (1, 2**31), (2**63, 2**32)])
def test_impossible_requests_fail_before_any_work(n_graphs, n_nodes):
    with pytest.raises(MemoryError):
        telvora.generate_training_batch(n_graphs, n_nodes, 3, 0)
    assert len(telvora.generate_training_batch(2, 4, 2, 0)) == 2
