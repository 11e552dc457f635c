"""Pictures of frameworks and datasets. Needs matplotlib (the `plot` extra)."""

from dataclasses import dataclass, field

import numpy as np

from .errors import MissingExtraError

INDEPENDENT = {"color": "#1f4e79", "linewidth": 1.8, "linestyle": "solid"}
REDUNDANT = {"color": "#9a9a9a", "linewidth": 0.7, "linestyle": (0, (4, 3))}
AGREEMENT = {
    "both independent": {"color": "#1f4e79", "linewidth": 1.8, "linestyle": "solid"},
    "both redundant": {"color": "#9a9a9a", "linewidth": 0.7, "linestyle": (0, (4, 3))},
    "they disagree": {"color": "#c0392b", "linewidth": 2.2, "linestyle": "solid"},
}


def _pyplot():
    try:
        import matplotlib

        if matplotlib.get_backend().lower() not in ("agg", "pdf", "svg") and not _has_display():
            matplotlib.use("Agg")
        import matplotlib.pyplot as plt
    except ImportError:
        raise MissingExtraError("pictures need matplotlib: pip install 'telvora[plot]'") from None
    return plt


def _has_display():
    import os

    return bool(os.environ.get("DISPLAY") or os.environ.get("WAYLAND_DISPLAY"))


@dataclass
class FrameworkArtists:
    """What plot_framework drew, for restyling: the axes, the points and one collection per kind of bar."""

    figure: object
    ax: object
    points: object
    bars: dict = field(default_factory=dict)  # kind of bar -> LineCollection (or Line3DCollection)
    edges: dict = field(default_factory=dict)  # kind of bar -> the (i, j) pairs drawn as that kind

    def count(self, kind):
        """The number of bars drawn as kind."""
        return len(self.edges.get(kind, ()))


def _coordinates(coords):
    coords = np.asarray(coords, dtype=np.float64)
    if coords.ndim != 2 or coords.shape[1] not in (2, 3):
        raise ValueError(f"coords must have shape (n, 2) or (n, 3), not {coords.shape}")
    return coords


def _edges(n):
    i, j = np.triu_indices(n, 1)
    return np.stack([i, j], axis=1)


def _axes(ax, d, plt):
    if ax is not None:
        if d == 3 and getattr(ax, "name", "") != "3d":
            raise ValueError("a 3-D framework needs axes made with projection='3d'")
        return ax.figure, ax
    figure = plt.figure(figsize=(6.4, 6.0))
    ax = figure.add_subplot(projection="3d" if d == 3 else None)
    return figure, ax


def _draw_bars(ax, coords, edges, style, label):
    segments = coords[edges]  # (m, 2, d)
    if coords.shape[1] == 3:
        from mpl_toolkits.mplot3d.art3d import Line3DCollection

        collection = Line3DCollection(segments, label=label, **style)
        ax.add_collection3d(collection)
    else:
        from matplotlib.collections import LineCollection

        collection = LineCollection(segments, label=label, **style)
        ax.add_collection(collection)
    return collection


def _finish(ax, coords, title, legend_title):
    d = coords.shape[1]
    ax.set_xlabel("x")
    ax.set_ylabel("y")
    if d == 3:
        ax.set_zlabel("z")
    else:
        ax.set_aspect("equal", adjustable="datalim")
        ax.autoscale_view()
    if title:
        ax.set_title(title)
    # Outside the axes, so that no point or bar hides behind it.
    ax.legend(title=legend_title, loc="upper left", bbox_to_anchor=(1.08 if d == 3 else 1.02, 1.0),
              fontsize="small", framealpha=0.9)


def _draw_framework(coords, groups, ax, title, legend_title):
    plt = _pyplot()
    figure, ax = _axes(ax, coords.shape[1], plt)
    artists = FrameworkArtists(figure=figure, ax=ax, points=None)
    for kind, (edges, style) in groups.items():
        artists.edges[kind] = edges
        if len(edges):
            artists.bars[kind] = _draw_bars(ax, coords, edges, style, f"{kind} ({len(edges)})")
    point_style = {"s": 28, "color": "#e67e22", "edgecolor": "black", "linewidth": 0.6, "zorder": 3,
                   "label": f"points ({len(coords)})"}
    artists.points = ax.scatter(*coords.T, **point_style)
    _finish(ax, coords, title, legend_title)
    return artists


def plot_framework(coords, labels=None, ax=None, *, title=None):
    """Draws the points and every candidate bar: independent bars solid, redundant bars thin and dashed.

    coords has shape (n, 2) or (n, 3); labels holds one 0/1 value per candidate edge (i, j), i < j, in
    lexicographic order, as telvora.simulate returns them (computed with simulate when not given).
    Draws into ax when given (3-D axes for 3-D points), otherwise into a new figure. Returns a
    FrameworkArtists with the figure, the axes, the points and the bar collections.
    """
    coords = _coordinates(coords)
    edges = _edges(len(coords))
    if labels is None:
        import telvora

        labels = telvora.simulate(coords, coords.shape[1])["labels"] if len(coords) > coords.shape[1] else np.zeros(0)
    labels = np.asarray(labels)
    if labels.shape != (len(edges),):
        raise ValueError(f"{len(coords)} points need {len(edges)} labels, got shape {labels.shape}")
    independent = labels.astype(bool)
    groups = {"independent": (edges[independent], INDEPENDENT), "redundant": (edges[~independent], REDUNDANT)}
    return _draw_framework(coords, groups, ax, title, "bars")


def plot_pebble_comparison(coords, ax=None, *, title=None):
    """Draws a 2-D framework with bars coloured by whether simulate and pebble_game label them alike."""
    import telvora

    coords = _coordinates(coords)
    if coords.shape[1] != 2:
        raise ValueError("the pebble game is planar: coords must have shape (n, 2)")
    edges = _edges(len(coords))
    by_rank = telvora.simulate(coords, 2)["labels"].astype(bool)
    by_pebbles = telvora.pebble_game(coords, 2)["labels"].astype(bool)
    groups = {
        "both independent": (edges[by_rank & by_pebbles], AGREEMENT["both independent"]),
        "both redundant": (edges[~by_rank & ~by_pebbles], AGREEMENT["both redundant"]),
        "they disagree": (edges[by_rank != by_pebbles], AGREEMENT["they disagree"]),
    }
    return _draw_framework(coords, groups, ax, title, "rank test vs pebble game")


def plot_dataset_summary(records, *, title=None):
    """Two panels for a dataset: the label balance and the rigid share, each against the number of points.

    records is any iterable of dataset records (for example telvora_datasets.load(directory)).
    Returns the figure.
    """
    plt = _pyplot()
    ones, totals, rigid, frameworks = {}, {}, {}, {}
    for record in records:
        n = int(record["n_nodes"])
        labels = np.asarray(record["labels"])
        ones[n] = ones.get(n, 0) + int(labels.sum())
        totals[n] = totals.get(n, 0) + labels.size
        rigid[n] = rigid.get(n, 0) + bool(record["is_rigid"])
        frameworks[n] = frameworks.get(n, 0) + 1
    if not frameworks:
        raise ValueError("the dataset holds no records")
    sizes = sorted(frameworks)
    independent = np.array([ones[n] / max(totals[n], 1) for n in sizes])
    rigid_share = np.array([rigid[n] / frameworks[n] for n in sizes])

    figure, (balance, rigidity) = plt.subplots(1, 2, figsize=(10, 4.2), constrained_layout=True)
    positions = np.arange(len(sizes))
    balance.bar(positions, independent, color=INDEPENDENT["color"], label="independent (1)")
    balance.bar(positions, 1 - independent, bottom=independent, color=REDUNDANT["color"], label="redundant (0)")
    balance.set_xticks(positions, [str(n) for n in sizes])
    balance.set_xlabel("points per framework")
    balance.set_ylabel("share of labels")
    balance.set_ylim(0, 1)
    balance.set_title("label balance")
    balance.legend(loc="upper right", fontsize="small")
    rigidity.plot(sizes, rigid_share, marker="o", color=INDEPENDENT["color"])
    for n, share in zip(sizes, rigid_share):
        rigidity.annotate(f"{frameworks[n]}", (n, share), textcoords="offset points", xytext=(0, -13),
                          ha="center", fontsize="x-small", color="#555555")
    rigidity.set_xlabel("points per framework")
    rigidity.set_ylabel("share of rigid frameworks (count below each point)")
    rigidity.set_ylim(-0.02, 1.08)
    rigidity.set_title("rigid share")
    rigidity.grid(alpha=0.3)
    if title:
        figure.suptitle(title)
    return figure
