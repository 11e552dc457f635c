"""Pictures of frameworks and datasets."""

import numpy as np
import pytest

import telvora

matplotlib = pytest.importorskip("matplotlib")
matplotlib.use("Agg")
import matplotlib.pyplot as plt  # noqa: E402

from telvora_datasets.plotting import plot_dataset_summary, plot_framework, plot_pebble_comparison  # noqa: E402


@pytest.fixture(autouse=True)
def close_figures():
    yield
    plt.close("all")


def _segment_set(collection):
    return {tuple(map(tuple, np.round(segment, 12))) for segment in collection.get_segments()}


@pytest.mark.parametrize(("n", "d", "seed"), [(6, 2, 1), (9, 2, 2), (5, 3, 3), (8, 3, 4)])
def test_bars_follow_the_labels(n, d, seed):
    coords = np.random.default_rng(seed).random((n, d))
    labels = telvora.simulate(coords, d)["labels"]
    artists = plot_framework(coords, labels)
    assert artists.count("independent") == int(labels.sum())
    assert artists.count("redundant") == labels.size - int(labels.sum())
    # The solid bars are exactly the accepted edges, not merely as many.
    accepted = telvora.simulate(coords, d)["accepted_edges"]
    assert [tuple(edge) for edge in artists.edges["independent"].tolist()] == accepted
    if d == 2:
        expected = {tuple(map(tuple, np.round(coords[[i, j]], 12))) for i, j in accepted}
        assert _segment_set(artists.bars["independent"]) == expected
    assert artists.bars["independent"].get_linestyle() != artists.bars["redundant"].get_linestyle()
    assert artists.bars["redundant"].get_linewidth()[0] < artists.bars["independent"].get_linewidth()[0]
    assert artists.ax.get_legend() is not None and artists.ax.get_xlabel() == "x"


def test_labels_default_to_the_rank_test():
    coords = np.array([[0.0, 0.0], [1.0, 0.0], [2.0, 0.0], [0.0, 1.0]])
    artists = plot_framework(coords)
    assert (artists.count("independent"), artists.count("redundant")) == (5, 1)


def test_draws_into_given_axes():
    figure, ax = plt.subplots()
    artists = plot_framework(np.random.default_rng(0).random((4, 2)), ax=ax)
    assert artists.ax is ax and artists.figure is figure
    with pytest.raises(ValueError, match="projection='3d'"):
        plot_framework(np.random.default_rng(0).random((4, 3)), ax=ax)


@pytest.mark.parametrize(
    ("coords", "labels", "message"),
    [(np.zeros((4, 4)), None, "shape"), (np.zeros(4), None, "shape"), (np.zeros((4, 2)), [1, 0], "need 6 labels")],
)
def test_bad_input(coords, labels, message):
    with pytest.raises(ValueError, match=message):
        plot_framework(coords, labels)


def test_pebble_comparison_marks_disagreements():
    coords = np.array([[0.0, 0.0], [1.0, 0.0], [2.0, 0.0], [0.0, 1.0], [1.0, 1.0]])
    by_rank = telvora.simulate(coords, 2)["labels"]
    by_pebbles = telvora.pebble_game(coords, 2)["labels"]
    artists = plot_pebble_comparison(coords)
    assert artists.count("they disagree") == int((by_rank != by_pebbles).sum()) > 0
    assert artists.count("both independent") == int((by_rank & by_pebbles).sum())
    with pytest.raises(ValueError, match="planar"):
        plot_pebble_comparison(np.zeros((5, 3)))


def test_summary_has_both_panels():
    records = [dict(r) for n in (4, 7) for r in telvora.generate_training_batch(5, n, 2, n)]
    figure = plot_dataset_summary(records, title="two sizes")
    balance, rigidity = figure.axes
    assert [patch.get_height() for patch in balance.patches][:2] == pytest.approx(
        [np.mean([r["labels"].mean() for r in records if r["n_nodes"] == n]) for n in (4, 7)])
    assert list(rigidity.lines[0].get_xdata()) == [4, 7]
    with pytest.raises(ValueError, match="no records"):
        plot_dataset_summary([])


def _read_png(path):
    assert path.read_bytes()[:8] == b"\x89PNG\r\n\x1a\n"
    return plt.imread(path)


@pytest.mark.parametrize(("dim", "extra"), [(2, []), (3, []), (2, ["--pebbles"])])
def test_show_command_writes_a_png(tmp_path, dim, extra):
    from telvora_datasets.cli import main

    out = tmp_path / "framework.png"
    assert main(["show", "--nodes", "12", "--dim", str(dim), "--seed", "7", "-o", str(out), *extra]) == 0
    image = _read_png(out)
    assert image.shape[0] > 300 and image.shape[1] > 300 and image.std() > 0.05


def test_show_refuses_pebbles_in_space(tmp_path, capsys):
    from telvora_datasets.cli import main

    assert main(["show", "--nodes", "6", "--dim", "3", "--seed", "1", "--pebbles", "-o", str(tmp_path / "x.png")]) == 1
    assert "planar" in capsys.readouterr().err


def test_summary_command_reads_datasets(tmp_path):
    from telvora_datasets import generate
    from telvora_datasets.cli import main

    for n in (5, 9):
        generate(30, n, 2, n, tmp_path / f"n{n}", shard_size=10, format="npz", workers=1, progress=False)
    out = tmp_path / "summary.png"
    assert main(["summary", str(tmp_path / "n5"), str(tmp_path / "n9"), "-o", str(out)]) == 0
    assert _read_png(out).shape[1] > 600
