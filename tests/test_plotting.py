"""Pictures of frameworks and datasets."""

import numpy as np
import pytest

import telvora
import telvora_graphs as tg

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
    assert artists.legend in artists.figure.legends and artists.ax.get_xlabel() == "x"
    assert [text.get_text() for text in artists.legend.get_texts()] == [
        f"independent ({int(labels.sum())})", f"redundant ({labels.size - int(labels.sum())})",
        f"points ({n}, numbered from 0)"]


def test_labels_default_to_the_rank_test():
    coords = np.array([[0.0, 0.0], [1.0, 0.0], [2.0, 0.0], [0.0, 1.0]])
    artists = plot_framework(coords)
    assert (artists.count("independent"), artists.count("redundant")) == (5, 1)


@pytest.mark.parametrize(
    ("coords", "independent"),
    [([[0.0, 0.0]], []), ([[0.0, 0.0], [1.0, 2.0]], [(0, 1)]), ([[1.0, 1.0], [1.0, 1.0]], []),
     ([[0, 0, 0], [1, 0, 0], [2, 0, 0]], [(0, 1), (0, 2)]), ([[0, 0, 0], [1, 0, 0], [0, 1, 0]], [(0, 1), (0, 2), (1, 2)])],
)
def test_labels_of_too_few_points_for_the_module(coords, independent):
    # The module needs n > d; below that the picture's own rank test labels the bars.
    artists = plot_framework(coords)
    assert [tuple(edge) for edge in artists.edges["independent"].tolist()] == independent


def test_draws_into_given_axes():
    figure, ax = plt.subplots()
    artists = plot_framework(np.random.default_rng(0).random((4, 2)), ax=ax)
    assert artists.ax is ax and artists.figure is figure
    with pytest.raises(ValueError, match="projection='3d'"):
        plot_framework(np.random.default_rng(0).random((4, 3)), ax=ax)


@pytest.mark.parametrize(
    ("coords", "labels", "error", "message"),
    [(np.zeros((4, 4)), None, ValueError, "shape"), (np.zeros(4), None, ValueError, "shape"),
     (np.zeros((4, 2)), [1, 0], ValueError, "need 6 labels"),
     (np.zeros((3, 2), dtype=complex), None, TypeError, r"not dtype complex128; .*np.asarray\(coords, dtype=np.float64\)"),
     (np.eye(3, 2), [0.5, 1, 0], ValueError, r"found 0.5 in float64 labels.*\(scores > 0.5\)"),
     (np.eye(3, 2), ["1", "0", "1"], TypeError, r"not dtype <U1; .*np.asarray\(labels, dtype=np.uint8\)"),
     ([[0.0, 0.0], [np.inf, 1.0], [1.0, 1.0]], None, ValueError, "NaN or infinite")],
)
def test_bad_input(coords, labels, error, message):
    with pytest.raises(error, match=message):
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


def _heights(ax):
    """Heights of the independent (lower) bars of a balance panel."""
    return [patch.get_height() for patch in ax.patches if patch.get_y() == 0]


def test_summary_shows_the_rigid_share_only_when_it_varies():
    records = [dict(r) for n in (4, 7) for r in telvora.generate_training_batch(5, n, 2, n)]
    assert all(r["is_rigid"] for r in records)
    figure = plot_dataset_summary(records, title="two sizes")
    (balance,) = figure.axes
    assert _heights(balance) == pytest.approx(
        [np.mean([r["labels"].mean() for r in records if r["n_nodes"] == n]) for n in (4, 7)])
    assert figure.get_suptitle() == "two sizes\nall 10 frameworks rigid"
    for k in (0, 1, 2):  # one of 4 points, two of 7 points flexible
        records[k if k < 1 else 5 + k]["is_rigid"] = False
    balance, rigidity = plot_dataset_summary(records).axes
    assert _heights(balance) == pytest.approx(
        [np.mean([r["labels"].mean() for r in records if r["n_nodes"] == n]) for n in (4, 7)])
    assert list(rigidity.lines[0].get_xdata()) == [4, 7]
    assert list(rigidity.lines[0].get_ydata()) == pytest.approx([0.8, 0.6])
    for k in range(len(records)):  # the same share everywhere, but not 1: said, not drawn
        records[k]["is_rigid"] = k % 5 != 0
    figure = plot_dataset_summary(records)
    assert len(figure.axes) == 1 and "80.0%" in figure.get_suptitle()
    with pytest.raises(ValueError, match="no records"):
        plot_dataset_summary([])
    with pytest.raises(ValueError, match="record 1 has no 'labels'"):
        plot_dataset_summary([records[0], {"d": 2, "n_nodes": 4, "is_rigid": True}])


def test_summary_keeps_dimensions_apart():
    records = [dict(r) for d in (2, 3) for n in (5, 8) for r in telvora.generate_training_batch(4, n, d, n + d)]
    figure = plot_dataset_summary(records)
    panels = {ax.get_title(): ax for ax in figure.axes}
    assert sorted(panels) == ["label balance, d = 2", "label balance, d = 3"]
    for d in (2, 3):
        ax = panels[f"label balance, d = {d}"]
        assert _heights(ax) == pytest.approx(
            [np.mean([r["labels"].mean() for r in records if (r["d"], r["n_nodes"]) == (d, n)]) for n in (5, 8)])
        assert [label.get_text() for label in ax.get_xticklabels()] == ["5\n(4)", "8\n(4)"]
    for k in (0, 8):  # a flexible framework in each dimension: the rigid share gets a row per dimension too
        records[k]["is_rigid"] = False
    titles = [ax.get_title() for ax in plot_dataset_summary(records).axes]
    assert titles == ["label balance, d = 2", "label balance, d = 3", "rigid share, d = 2", "rigid share, d = 3"]


def _inside(box, frame):
    return frame.x0 - 0.5 <= box.x0 and box.x1 <= frame.x1 + 0.5 and frame.y0 - 0.5 <= box.y0 and box.y1 <= frame.y1 + 0.5


@pytest.mark.parametrize(("n", "seed", "spans"), [(6, 1, (1, 1)), (40, 2, (5, 5)), (12, 1, (10, 3)), (8, 3, (1, 4)),
                                                  (9, 3, (1, 1, 1)), (40, 4, (1, 3, 1))])
def test_a_saved_figure_keeps_its_legend_and_labels(n, seed, spans):
    coords = np.random.default_rng(seed).random((n, len(spans))) * spans
    artists = plot_framework(coords, title="a long title for a framework of random points")
    figure = artists.figure
    figure.canvas.draw()  # what savefig does, once
    renderer = figure.canvas.get_renderer()
    legend = artists.legend.get_window_extent(renderer)
    assert _inside(legend, figure.bbox) and not legend.overlaps(artists.ax.get_window_extent(renderer))
    assert _inside(artists.ax.yaxis.label.get_window_extent(renderer), figure.bbox)
    assert _inside(figure.get_tightbbox(renderer).transformed(figure.dpi_scale_trans), figure.bbox)


@pytest.mark.parametrize(("n", "numbered", "expected"), [(6, None, 6), (30, None, 30), (31, None, 0), (31, True, 31),
                                                          (6, False, 0)])
@pytest.mark.parametrize("d", [2, 3])
def test_points_are_numbered(n, numbered, expected, d):
    coords = np.random.default_rng(n).random((n, d))
    artists = plot_framework(coords, np.zeros(n * (n - 1) // 2, dtype=np.uint8), numbered=numbered)
    assert len(artists.numbers) == expected
    assert [text.get_text().strip() for text in artists.numbers] == [str(i) for i in range(expected)]
    assert len(artists.ax.texts) == expected
    if d == 2:
        assert [text.xy for text in artists.numbers] == [tuple(point) for point in coords[:expected].tolist()]
    else:
        assert [text.get_position_3d() for text in artists.numbers] == [tuple(p) for p in coords[:expected].tolist()]
    pebbles = plot_pebble_comparison(coords[:, :2], numbered=numbered)
    assert len(pebbles.numbers) == expected
    with pytest.raises(TypeError, match="numbered must be True, False or None"):
        plot_framework(coords, numbered="yes")


def test_coordinates_of_other_real_dtypes_are_drawn_as_doubles():
    coords = np.random.default_rng(5).integers(0, 100, (7, 2))
    reference = plot_framework(coords.astype(np.float64))
    for other in (coords, coords.astype(np.float32), coords.tolist()):
        artists = plot_framework(other)
        assert {k: v.tolist() for k, v in artists.edges.items()} == {k: v.tolist() for k, v in reference.edges.items()}
        assert artists.points.get_offsets().tolist() == coords.tolist()


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
    from dataset_calls import generate
    from telvora_datasets.cli import main

    for n in (5, 9):
        generate(30, n, 2, n, tmp_path / f"n{n}", shard_size=10, format="npz", workers=1, progress=False)
    out = tmp_path / "summary.png"
    assert main(["summary", str(tmp_path / "n5"), str(tmp_path / "n9"), "-o", str(out)]) == 0
    assert _read_png(out).shape[1] > 600


@pytest.mark.parametrize(("options", "kinds"), [
    ({"family": "gnm", "edges": "2n-2", "components": True}, "components"),
    ({"family": "geometric", "radius": 0.5, "positions": "uniform"}, "labels"),
    ({"family": "knn", "dim": 3}, "labels"),
    ({}, "framework"),
])
def test_records_are_drawn_as_stored(tmp_path, options, kinds):
    from dataset_calls import generate
    from telvora_datasets import load
    from telvora_datasets.cli import main
    from telvora_datasets.plotting import circle_layout, plot_record

    options = {"dim": 2, **options}
    generate(6, 9, options.pop("dim"), 3, tmp_path / "d", workers=1, format="npz", **options)
    record = list(load(tmp_path / "d"))[4]
    artists = plot_record(record)
    points = record["coords"] if "coords" in record else circle_layout(9)
    assert np.allclose(np.asarray(artists.points.get_offsets())[:, :2], points[:, :2])
    if kinds == "components":
        drawn = [kind for kind in artists.edges if kind.startswith("component")]
        assert len(drawn) == len(record["components"])
        assert artists.ax.get_title().endswith("rigid" if record["is_rigid"] else "of freedom")
        owners = {tuple(edge) for kind in drawn for edge in artists.edges[kind].tolist()}
        assert owners == {tuple(edge) for edge in record["edges"].tolist()}  # every edge in a component
    elif kinds == "labels":
        assert artists.count("independent") == int(record["labels"].sum())
        assert artists.count("dependent on earlier edges") == len(record["labels"]) - int(record["labels"].sum())
        assert artists.ax.get_title().startswith("graph 4, ")
    else:
        assert artists.count("independent") == int(record["labels"].sum()) and "seed" in artists.ax.get_title()
    out = tmp_path / "graph.png"
    assert main(["draw", str(tmp_path / "d"), "--index", "4", "-o", str(out)]) == 0
    assert _read_png(out).std() > 0.05


def test_draw_names_a_missing_graph(tmp_path, capsys):
    from dataset_calls import generate
    from telvora_datasets.cli import main

    generate(3, 6, 2, 1, tmp_path, family="gnm", workers=1, format="npz")
    assert main(["draw", str(tmp_path), "--index", "3", "-o", str(tmp_path / "x.png")]) != 0
    assert "index must be an integer from 0 to 2" in capsys.readouterr().err


def test_twenty_components_wear_twenty_colours_and_the_legend_matches_the_drawing():
    from matplotlib.colors import to_hex

    from telvora_datasets.plotting import component_colour, plot_framework

    # 20 disjoint bars on 40 points, each its own component.
    points = np.stack([np.arange(40) % 8, np.arange(40) // 8], axis=1).astype(float) + 0.3 * (np.arange(40) % 2)[:, None]
    edges = np.arange(40).reshape(20, 2)
    artists = plot_framework(points, edges=edges, components=list(edges))
    drawn = [to_hex(artists.bars[kind].get_colors()[0]) for kind in artists.edges if kind.startswith("component")]
    assert len(drawn) == 20 and len(set(drawn)) == 20 and drawn[2] != drawn[12]
    assert drawn == [component_colour(k) for k in range(20)]
    legend = {text.get_text(): handle for text, handle in zip(artists.legend.get_texts(), artists.legend.legend_handles)}
    for kind in artists.edges:
        if kind.startswith("component"):
            assert to_hex(legend[f"{kind} (1)"].get_color()) == to_hex(artists.bars[kind].get_colors()[0])
    # The legend's point is the one drawn for a point in no component, not the orange of plain frameworks.
    point = next(handle for text, handle in legend.items() if text.startswith("points"))
    assert to_hex(point.get_facecolor()[0]) == "#ffffff"
    plt.close("all")


def test_the_summary_command_keeps_datasets_of_one_size_apart(tmp_path):
    from dataset_calls import generate
    from telvora_datasets.cli import main
    from telvora_datasets.plotting import plot_datasets_summary

    for seed in (1, 2):
        generate(40, 8, 2, seed, tmp_path / f"s{seed}", family="gnm", edges="2n-3", format="npz", workers=1)
    out = tmp_path / "summary.png"
    assert main(["summary", str(tmp_path / "s1"), str(tmp_path / "s2"), "-o", str(out)]) == 0
    from telvora_datasets import load

    records = {name: list(load(tmp_path / name)) for name in ("s1", "s2")}
    figure = plot_datasets_summary(records)
    balance, rigidity, freedom = figure.axes
    assert [label.get_text().split("\n")[0] for label in balance.get_xticklabels()] == ["s1", "s2"]
    assert _heights(balance) == pytest.approx(
        [np.mean(np.concatenate([r["labels"] for r in records[name]])) for name in ("s1", "s2")])
    rigid = [np.mean([r["is_rigid"] for r in records[name]]) for name in ("s1", "s2")]
    wrong = [np.mean([r["n_edges"] >= r["max_rank"] and not r["is_rigid"] for r in records[name]])
             for name in ("s1", "s2")]
    heights = [patch.get_height() for patch in rigidity.patches]
    assert heights == pytest.approx(rigid + wrong)
    dofs = sorted({r["dof"] for rs in records.values() for r in rs})
    assert [label.get_text() for label in freedom.get_xticklabels()] == [str(dof) for dof in dofs]
    shares = [patch.get_height() for patch in freedom.patches]
    assert shares == pytest.approx([np.mean([r["dof"] == dof for r in records[name]])
                                    for name in ("s1", "s2") for dof in dofs])
    with pytest.raises(ValueError, match="the dataset empty holds no records"):
        plot_datasets_summary({"empty": []})
    plt.close("all")


# --- motions and stresses ---------------------------------------------------------------------------

def _drawn_arrows(artists):
    """(tails, arrows) as drawn, read back from the quiver (2-D) or the 3-D line collection."""
    arrows = artists.arrows
    if artists.ax.name == "3d":
        n = len(artists.points.get_offsets())
        shafts = np.asarray(arrows._segments3d)[:n]  # the shafts come first, each from tip to tail
        return shafts[:, 1], shafts[:, 0] - shafts[:, 1]
    return np.stack([arrows.X, arrows.Y], axis=1), np.stack([arrows.U, arrows.V], axis=1)


@pytest.mark.parametrize(("name", "edges", "coords"), [
    ("quadrilateral", [(0, 1), (1, 2), (2, 3), (3, 0)], [[0, 0], [4, 0], [5, 3], [-1, 2]]),
    ("K33 on a conic", [(a, b) for a in range(3) for b in range(3, 6)], [[t, t * t] for t in (-3, 0, 2, -1, 1, 3)]),
    ("3-D ring of 7", [(i, (i + 1) % 7) for i in range(7)], np.random.default_rng(5).random((7, 3)) * [8, 2, 1]),
])
def test_arrows_follow_the_motion(name, edges, coords):
    import telvora_graphs as tg

    coords = np.asarray(coords, dtype=float)
    for u in tg.motions(edges, coords).vectors:
        artists = plot_framework(coords, edges=edges, motion=u, title=name)
        tails, arrows = _drawn_arrows(artists)
        np.testing.assert_allclose(tails, coords, atol=1e-12)
        np.testing.assert_allclose(arrows, artists.arrow_scale * u, rtol=1e-12, atol=1e-12)
        # The longest arrow is a quarter of the framework's widest extent, whatever u's norm.
        longest = np.linalg.norm(arrows, axis=1).max()
        assert longest == pytest.approx(0.25 * np.ptp(coords, axis=0).max())
        assert any(text.startswith("motion") for text in (t.get_text() for t in artists.legend.get_texts()))
        if coords.shape[1] == 2:  # every tip inside the axes
            (x0, x1), (y0, y1) = artists.ax.get_xlim(), artists.ax.get_ylim()
            tips = tails + arrows
            assert (tips[:, 0] >= x0).all() and (tips[:, 0] <= x1).all()
            assert (tips[:, 1] >= y0).all() and (tips[:, 1] <= y1).all()
        plt.close("all")


def test_a_rigid_framework_draws_no_arrow_length_and_motion_goes_with_components():
    import telvora_graphs as tg

    coords = np.array([[0.0, 0.0], [2.0, 0.0], [1.0, 2.0], [3.0, 2.0]])
    artists = plot_framework(coords, motion=np.zeros((4, 2)))  # every candidate bar: rigid, u = 0
    assert not np.asarray(artists.arrows.U).any() and np.isfinite(artists.arrow_scale)
    # A hinge of two triangles: its flex drawn over the two components.
    hinge = np.array([[0.0, 0.0], [2.0, 0.0], [1.0, 2.0], [3.0, 3.0]])
    edges = [(0, 1), (1, 2), (0, 2), (2, 3)]
    u = tg.motions(edges, hinge).vectors[0]
    artists = plot_framework(hinge, edges=edges, components=tg.rigid_components(edges, 2, coords=hinge), motion=u)
    np.testing.assert_allclose(_drawn_arrows(artists)[1], artists.arrow_scale * u)
    assert artists.count("component 0 of 3 points") == 3


@pytest.mark.parametrize(("motion", "error", "message"), [
    (np.zeros((1, 4, 2)), ValueError, r"shape \(n, d\) = \(4, 2\).*not \(1, 4, 2\); pick one motion"),
    (np.zeros(8), ValueError, r"not \(8,\)"),
    (np.zeros((4, 3)), ValueError, r"not \(4, 3\)"),
    (np.zeros((5, 2)), ValueError, r"not \(5, 2\)"),
    ([[0, 0], [0, 0], [0, np.inf], [0, 0]], ValueError, "not finite"),
    ([["a", "b"]] * 4, TypeError, "real numbers"),
])
def test_a_wrong_motion_is_named(motion, error, message):
    square = [[0, 0], [1, 0], [1, 1], [0, 1]]
    with pytest.raises(error, match=message):
        plot_framework(square, edges=[(0, 1), (1, 2), (2, 3), (3, 0)], motion=motion)
    assert not plt.get_fignums()  # refused before any figure was made


def test_stress_sets_colour_by_sign_and_width_by_size():
    import telvora_graphs as tg

    coords = np.array([[0.0, 0.0], [3.0, 0.0], [3.5, 2.0], [0.2, 1.5], [5.0, 1.0]])
    edges = [(0, 1), (1, 2), (2, 3), (3, 0), (0, 2), (1, 3), (2, 4)]  # a braced quadrilateral and a pendant bar
    weights = tg.stresses(edges, coords).vectors[0]
    artists = plot_framework(coords, edges=edges, stress=weights)
    for kind, sign in (("positive stress", 1), ("negative stress", -1)):
        chosen = [edges.index(tuple(edge)) for edge in artists.edges[kind].tolist()]
        assert chosen and (np.sign(weights[chosen]) == sign).all()
        widths = np.asarray(artists.bars[kind].get_linewidth())
        assert (np.diff(widths[np.argsort(np.abs(weights[chosen]))]) >= 0).all()  # wider for more stress
    assert artists.edges["no stress"].tolist() == [[2, 4]]
    assert artists.bars["positive stress"].get_color()[0].tolist() != artists.bars["negative stress"].get_color()[0].tolist()


@pytest.mark.parametrize(("options", "message"), [
    ({"stress": np.ones(3)}, r"one weight per bar, shape \(4,\), not \(3,\)"),
    ({"stress": [1, 1, np.nan, 1]}, "not finite"),
    ({"stress": np.ones(4), "components": [[0, 1, 2]]}, "either components or a stress"),
])
def test_a_wrong_stress_is_named(options, message):
    with pytest.raises(ValueError, match=message):
        plot_framework([[0, 0], [1, 0], [1, 1], [0, 1]], edges=[(0, 1), (1, 2), (2, 3), (3, 0)], **options)


def test_plot_framework_colours_bars_by_component():
    coords = np.array([[0, 0], [1, 0], [0.5, 1], [1.5, 1], [2, 0.2], [3, 0.9]])
    edges = np.array([(0, 1), (1, 2), (2, 0), (1, 3), (3, 4), (4, 1), (4, 5)])
    components = tg.rigid_components(edges, 2, coords=coords)
    artists = plot_framework(coords, edges=edges, components=components)
    drawn = {kind: sorted(map(tuple, pairs.tolist())) for kind, pairs in artists.edges.items() if len(pairs)}
    assert drawn == {"component 0 of 3 points": [(0, 1), (1, 2), (2, 0)],
                     "component 1 of 3 points": [(1, 3), (3, 4), (4, 1)],
                     "component 2 of 2 points": [(4, 5)]}
    with pytest.raises(ValueError, match="components must hold points 0 .. 5"):
        plot_framework(coords, edges=edges, components=[np.array([0, 9])])
