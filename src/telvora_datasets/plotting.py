"""Pictures of frameworks and datasets. Needs matplotlib (the `plot` extra)."""

from __future__ import annotations  # matplotlib's types are named here, loaded only when drawing

from collections.abc import Iterable, Mapping, Sequence
from dataclasses import dataclass, field
from fractions import Fraction
from typing import TYPE_CHECKING, Any, cast

import numpy as np
from numpy.typing import ArrayLike, NDArray

from .errors import MissingExtraError
from .records import labels_array, points_array

if TYPE_CHECKING:
    from types import ModuleType

    from matplotlib.axes import Axes  # type: ignore[import-not-found, unused-ignore]
    from matplotlib.collections import LineCollection, PathCollection  # type: ignore[import-not-found, unused-ignore]
    from matplotlib.figure import Figure  # type: ignore[import-not-found, unused-ignore]
    from matplotlib.legend import Legend  # type: ignore[import-not-found, unused-ignore]
    from matplotlib.text import Text  # type: ignore[import-not-found, unused-ignore]

Style = dict[str, Any]

INDEPENDENT: Style = {"color": "#1f4e79", "linewidth": 1.8, "linestyle": "solid"}
REDUNDANT: Style = {"color": "#9a9a9a", "linewidth": 0.7, "linestyle": (0, (4, 3))}
AGREEMENT: dict[str, Style] = {
    "both independent": {"color": "#1f4e79", "linewidth": 1.8, "linestyle": "solid"},
    "both redundant": {"color": "#9a9a9a", "linewidth": 0.7, "linestyle": (0, (4, 3))},
    "they disagree": {"color": "#c0392b", "linewidth": 2.2, "linestyle": "solid"},
}
POINT_COLOUR = "#e67e22"
MOTION_COLOUR = "#138d75"
MOTION_SHARE = 0.25  # the longest arrow, as a share of the framework's largest extent
STRESS_STYLES: dict[str, Style] = {
    "positive stress": {"color": "#1f4e79", "linestyle": "solid"},
    "negative stress": {"color": "#c0392b", "linestyle": "solid"},
    "no stress": {"color": "#9a9a9a", "linestyle": (0, (4, 3))},
}
NUMBERED_UP_TO = 30  # beyond this the numbers crowd each other out; numbered=True still draws them


def _pyplot() -> ModuleType:
    try:
        import matplotlib

        if matplotlib.get_backend().lower() not in ("agg", "pdf", "svg") and not _has_display():
            matplotlib.use("Agg")
        import matplotlib.pyplot as plt
    except ImportError:
        raise MissingExtraError("pictures need matplotlib: pip install 'telvora[plot]'") from None
    return plt


def _has_display() -> bool:
    import os

    return bool(os.environ.get("DISPLAY") or os.environ.get("WAYLAND_DISPLAY"))


@dataclass
class FrameworkArtists:
    """What plot_framework drew, for restyling: the figure, the axes, the points, the legend, one
    collection per kind of bar, and the point numbers (empty when not numbered)."""

    figure: Figure
    ax: Axes
    points: PathCollection
    legend: Legend  # the figure's legend when plot_framework made the figure, else the axes' legend
    bars: dict[str, LineCollection] = field(default_factory=dict)  # kind of bar -> its (3-D) LineCollection
    edges: dict[str, NDArray[np.int64]] = field(default_factory=dict)  # kind of bar -> its (i, j) pairs
    numbers: list[Text] = field(default_factory=list)  # numbers[i] labels point i
    arrows: Any = None  # the motion's arrows: a Quiver in 2-D, a Line3DCollection in 3-D; None without one
    arrow_scale: float = 0.0  # arrow of point v = arrow_scale * motion[v]

    def count(self, kind: str) -> int:
        """The number of bars drawn as kind."""
        return len(self.edges.get(kind, ()))


def _edges(n: int) -> NDArray[np.int64]:
    i, j = np.triu_indices(n, 1)
    return np.stack([i, j], axis=1).astype(np.int64)


def _axes(ax: Axes | None, coords: NDArray[np.float64], plt: ModuleType) -> tuple[Figure, Axes]:
    d = coords.shape[1]
    if ax is not None:
        if d == 3 and getattr(ax, "name", "") != "3d":
            raise ValueError("a 3-D framework needs axes made with projection='3d'")
        # Axes in a subfigure: the figure that saves is the subfigure's root.
        figure = getattr(ax.figure, "figure", ax.figure)
        return cast("Figure", figure), ax
    height = 6.0
    if d == 2:  # equal aspect: a flat framework gets a flat figure rather than empty bands
        width, tall = np.ptp(coords, axis=0)
        height = float(np.clip(1.3 + 4.6 * tall / width, 3.0, 7.0)) if width > 0 else 7.0
    # Constrained layout makes room for the legend outside the axes, so savefig keeps it.
    figure = plt.figure(figsize=(7.2, height), layout="constrained")
    return figure, figure.add_subplot(projection="3d" if d == 3 else None)


def _draw_bars(ax: Axes, coords: NDArray[np.float64], edges: NDArray[np.int64], style: Style,
               label: str) -> LineCollection:
    segments = coords[edges]  # (m, 2, d)
    if coords.shape[1] == 3:
        from mpl_toolkits.mplot3d.art3d import Line3DCollection  # type: ignore[import-untyped, unused-ignore]

        bars: LineCollection = Line3DCollection(segments, label=label, **style)
        ax.add_collection3d(bars)  # type: ignore[attr-defined]
        return bars
    from matplotlib.collections import LineCollection

    # An (m, 2, 2) array is what the collection wants; its stub asks for a sequence.
    bars = LineCollection(cast("Sequence[ArrayLike]", segments), label=label, **style)
    ax.add_collection(bars)
    return bars


def _number_points(ax: Axes, coords: NDArray[np.float64]) -> list[Text]:
    from matplotlib.patheffects import withStroke

    # A white halo keeps a number legible where it crosses a bar.
    style: Style = {"fontsize": 8, "color": "#222222", "zorder": 4,
                    "path_effects": [withStroke(linewidth=2.5, foreground="white")]}
    if coords.shape[1] == 3:
        space: Any = ax  # Axes3D.text takes a z coordinate; mpl_toolkits has no type information
        return [space.text(x, y, z, f"  {i}", va="bottom", **style) for i, (x, y, z) in enumerate(coords.tolist())]
    return [ax.annotate(str(i), (x, y), xytext=(4, 3), textcoords="offset points", **style)
            for i, (x, y) in enumerate(coords.tolist())]


def _finish(ax: Axes, d: int, title: str | None, legend_title: str, own_figure: bool) -> Legend:
    ax.set_xlabel("x")
    ax.set_ylabel("y")
    if d == 3:
        ax.set_zlabel("z")  # type: ignore[attr-defined]
    else:
        # The box, not the limits, gives way: limits changed at draw time would come after the
        # layout has measured the tick labels, and a wide label would be cut off.
        ax.set_aspect("equal", adjustable="box")
        ax.autoscale_view()
    if title:
        ax.set_title(title)
    # Outside the axes, so that no point or bar hides behind it. In a figure of our own it is the
    # figure's legend, for which the layout reserves room; an axes legend beside equal-aspect axes
    # would be placed after the layout has run, and savefig would cut it off.
    style: Style = {"title": legend_title, "fontsize": "small", "framealpha": 0.9}
    if own_figure:
        handles, names = ax.get_legend_handles_labels()
        return ax.figure.legend(handles, names, loc="outside right upper", **style)
    return ax.legend(loc="upper left", bbox_to_anchor=(1.08 if d == 3 else 1.02, 1.0), **style)


def _draw_framework(coords: NDArray[np.float64], groups: dict[str, tuple[NDArray[np.int64], Style]],
                    ax: Axes | None, title: str | None, legend_title: str, numbered: bool | None,
                    point_colour: str | None = None, motion: ArrayLike | None = None) -> FrameworkArtists:
    if numbered is not None and not isinstance(numbered, bool):
        raise TypeError(f"numbered must be True, False or None (number up to {NUMBERED_UP_TO} points), "
                        f"not {numbered!r}")
    velocities = None if motion is None else _motion_array(motion, coords.shape)
    plt = _pyplot()
    d = coords.shape[1]
    own_figure = ax is None
    figure, ax = _axes(ax, coords, plt)
    bars, edges = {}, {}
    for kind, (pairs, style) in groups.items():
        edges[kind] = pairs
        if len(pairs):
            bars[kind] = _draw_bars(ax, coords, pairs, style, f"{kind} ({len(pairs)})")
    if numbered is None:
        numbered = len(coords) <= NUMBERED_UP_TO
    # With components the points take their component's colour over this one, so the legend's
    # point is neutral rather than the orange of a point in no component.
    point_style: Style = {"s": 28, "color": point_colour or POINT_COLOUR, "edgecolor": "black", "linewidth": 0.6, "zorder": 3,
                          "label": f"points ({len(coords)}{', numbered from 0' if numbered else ''})"}
    points = ax.scatter(*coords.T, **point_style)
    numbers = _number_points(ax, coords) if numbered else []
    if numbered and d == 2:
        ax.margins(0.07)  # room for the numbers of the outermost points inside the axes
    arrows, arrow_scale = (None, 0.0) if velocities is None else _draw_motion(ax, coords, velocities)
    legend = _finish(ax, d, title, legend_title, own_figure)
    if own_figure:
        # One layout pass now, so that savefig's pass starts from the equal-aspect box: a single pass
        # from the default box leaves too little margin for the y label.
        engine = figure.get_layout_engine()
        if engine is not None:
            engine.execute(figure)
    return FrameworkArtists(figure=figure, ax=ax, points=points, legend=legend, bars=bars, edges=edges,
                            numbers=numbers, arrows=arrows, arrow_scale=arrow_scale)


def _motion_array(motion: ArrayLike, shape: tuple[int, ...]) -> NDArray[np.float64]:
    try:
        velocities = np.asarray(motion, dtype=np.float64)
    except (TypeError, ValueError):
        raise TypeError(f"motion must be an array of real numbers of shape {shape}, not {type(motion).__name__}") \
            from None
    if velocities.shape != shape:
        hint = ("; pick one motion of the basis, motions(...).vectors[j]"
                if velocities.ndim == 3 and velocities.shape[1:] == shape else "")
        raise ValueError(f"motion must have shape (n, d) = {shape}, one velocity per point, "
                         f"not {velocities.shape}{hint}")
    if not np.isfinite(velocities).all():
        raise ValueError("motion holds a value that is not finite")
    return velocities


def _draw_motion(ax: Axes, coords: NDArray[np.float64], velocities: NDArray[np.float64]) -> tuple[Any, float]:
    """Arrows from each point along its velocity, the longest a fixed share of the framework's
    largest extent: a basis vector's length says nothing about the picture's scale."""
    extent = float(np.ptp(coords, axis=0).max(initial=0.0)) if len(coords) else 0.0
    longest = float(np.linalg.norm(velocities, axis=1).max(initial=0.0))
    scale = MOTION_SHARE * (extent if extent > 0 else 1.0) / longest if longest > 0 else 1.0
    arrows = scale * velocities
    label = f"motion (arrows {scale:.3g} x velocity)"
    if coords.shape[1] == 3:
        space: Any = ax  # Axes3D.quiver takes z coordinates; mpl_toolkits has no type information
        drawn = space.quiver(*coords.T, *arrows.T, length=1.0, normalize=False, arrow_length_ratio=0.25,
                             color=MOTION_COLOUR, linewidth=1.4, label=label)
        return drawn, scale
    drawn = ax.quiver(*coords.T, *arrows.T, angles="xy", scale_units="xy", scale=1.0, minlength=0.0,
                      color=MOTION_COLOUR, width=0.005, zorder=5)
    # A quiver has no legend entry of its own and does not widen the limits to its tips.
    ax.plot([], [], color=MOTION_COLOUR, marker=r"$\rightarrow$", markersize=11, linestyle="none", label=label)
    ax.update_datalim(coords + arrows)
    return drawn, scale


def _small_labels(coords: NDArray[np.float64]) -> NDArray[np.uint8]:
    """Rank-test labels of n <= d points, which the module leaves out (it needs n > d)."""
    n, d = coords.shape
    rows: list[NDArray[np.float64]] = []
    labels = np.zeros(len(_edges(n)), dtype=np.uint8)
    scale = max(1.0, float(np.abs(coords).max(initial=0.0)))
    for k, (i, j) in enumerate(_edges(n).tolist()):
        row = np.zeros(n * d)
        row[i * d:(i + 1) * d] = coords[i] - coords[j]
        row[j * d:(j + 1) * d] = coords[j] - coords[i]
        if np.linalg.matrix_rank(np.array([*rows, row]), tol=1e-9 * scale) > len(rows):
            rows.append(row)
            labels[k] = 1
    return labels


def plot_framework(coords: ArrayLike, labels: ArrayLike | None = None, ax: Axes | None = None, *,
                   title: str | None = None, numbered: bool | None = None, edges: ArrayLike | None = None,
                   components: Sequence[ArrayLike] | None = None, motion: ArrayLike | None = None,
                   stress: ArrayLike | None = None) -> FrameworkArtists:
    """Draws a framework: independent bars solid, redundant bars thin and dashed.

    Points are numbered from 0, as the edges count them. A new figure's layout keeps the legend
    when saved.

    Parameters
    ----------
    coords : array_like, shape (n, 2) or (n, 3)
        The points; integer or float coordinates are drawn as float64.
    labels : array_like, optional
        One 0/1 value per candidate edge (i, j), i < j, in lexicographic order, as
        telvora.simulate returns them; computed with simulate when not given.
    ax : matplotlib.axes.Axes, optional
        Axes to draw into (3-D axes for 3-D points); a new figure when not given.
    title : str, optional
        The axes' title.
    numbered : bool, optional
        Number the points; by default when there are at most 30.
    edges : array_like, shape (m, 2), optional
        Draw these bars instead of every candidate pair (labels are then ignored).
    components : sequence of array_like, optional
        Vertex arrays as telvora_graphs.rigid_components returns them: each component's bars and
        points get a colour of their own (a bar in several, along a hinge, takes the first), bars
        in none are drawn thin and grey.
    motion : array_like, shape (n, d), optional
        Draws an arrow from each point along its velocity (one of
        telvora_graphs.motions(...).vectors, say), the longest a quarter of the framework's
        largest extent; 3-D arrows are drawn in the 3-D axes.
    stress : array_like, shape (m,), optional
        One weight per bar (of edges, or of every candidate pair), as
        telvora_graphs.stresses(...).vectors[j]: each bar drawn as wide as its |weight| and
        coloured by its sign, bars without stress thin and dashed; not with components.

    Returns
    -------
    FrameworkArtists
        The figure, the axes, the points, the bar collections, the numbers, and the arrows with
        their scale when motion is given.

    Raises
    ------
    ValueError
        For coords of another shape or not finite, labels of the wrong length or other than 0
        and 1, edges or components naming a point outside 0 .. n - 1, 2-D axes for 3-D points,
        a motion not of shape (n, d) or a stress not one finite weight per bar.
    TypeError
        For labels that are not numbers, or numbered other than True, False or None.
    MissingExtraError
        When matplotlib is not installed.

    Examples
    --------
    >>> import telvora_datasets as td
    >>> artists = td.plot_framework([[0, 0], [1, 0], [0, 1], [1, 1]])
    >>> artists.count("independent"), artists.count("redundant")
    (5, 1)
    """
    points = points_array(coords)
    n, d = points.shape
    if stress is not None:
        if components is not None:
            raise ValueError("draw either components or a stress, not both: both colour the bars")
        return _plot_stress(points, edges, stress, ax, title, numbered, motion)
    if edges is not None or components is not None:
        return _plot_components(points, edges, components, ax, title, numbered, motion)
    edges = _edges(n)
    if labels is None:
        import telvora

        labels = telvora.simulate(points, d)["labels"] if n > d else _small_labels(points)
    independent = labels_array(labels, len(edges), n)
    groups = {"independent": (edges[independent], INDEPENDENT), "redundant": (edges[~independent], REDUNDANT)}
    return _draw_framework(points, groups, ax, title, "bars", numbered, motion=motion)


def _bars(edges: ArrayLike | None, n: int) -> NDArray[np.int64]:
    bars = _edges(n) if edges is None else np.asarray(edges, dtype=np.int64).reshape(-1, 2)
    if bars.size and (bars.min() < 0 or bars.max() >= n):
        raise ValueError(f"edges must name points 0 .. {n - 1}")
    return bars


def _plot_stress(points: NDArray[np.float64], edges: ArrayLike | None, stress: ArrayLike, ax: Axes | None,
                 title: str | None, numbered: bool | None, motion: ArrayLike | None) -> FrameworkArtists:
    bars = _bars(edges, len(points))
    try:
        weights = np.asarray(stress, dtype=np.float64)
    except (TypeError, ValueError):
        raise TypeError(f"stress must be an array of real numbers, not {type(stress).__name__}") from None
    if weights.shape != (len(bars),):
        raise ValueError(f"stress must hold one weight per bar, shape ({len(bars)},), not {weights.shape}")
    if not np.isfinite(weights).all():
        raise ValueError("stress holds a value that is not finite")
    largest = float(np.abs(weights).max(initial=0.0))
    # Relative to the largest weight: a basis vector's entries below rounding of it are no stress.
    unstressed = np.abs(weights) <= 1e-9 * largest
    width = 0.8 + 3.2 * np.abs(weights) / (largest or 1.0)
    groups: dict[str, tuple[NDArray[np.int64], Style]] = {}
    for kind, chosen in (("positive stress", (weights > 0) & ~unstressed),
                         ("negative stress", (weights < 0) & ~unstressed), ("no stress", unstressed)):
        linewidth = 0.7 if kind == "no stress" else width[chosen]
        groups[kind] = (bars[chosen], {**STRESS_STYLES[kind], "linewidth": linewidth})
    return _draw_framework(points, groups, ax, title, "self-stress (width ~ |weight|)", numbered, motion=motion)


# Twenty colours that tell components apart (the ten of matplotlib's default cycle but its grey,
# which bars in no component wear, then eleven of high contrast to them); further components get
# hues a golden angle apart, so no two components share a colour.
COMPONENT_COLOURS = ["#1f77b4", "#d62728", "#2ca02c", "#9467bd", "#ff7f0e", "#17becf", "#8c564b", "#e377c2",
                     "#bcbd22", "#f3c300", "#000075", "#800000", "#469990", "#aaffc3", "#f032e6", "#dcbeff",
                     "#808000", "#ffd8b1", "#4b0082", "#5c3a1e"]
_UNPLACED = "#ffffff"  # points in no component: white with the black edge every point has


def component_colour(index: int) -> str:
    """The colour of rigid component `index` in `plot_framework` and `plot_record`.

    Parameters
    ----------
    index : int
        The component's place in the graph's list, from 0.

    Returns
    -------
    str
        A colour as ``#rrggbb``: one of `COMPONENT_COLOURS` for the first twenty, beyond them
        hues a golden angle apart.

    Examples
    --------
    >>> component_colour(2), component_colour(12) != component_colour(2)
    ('#2ca02c', True)
    >>> len({component_colour(k) for k in range(200)})
    200
    """
    if index < len(COMPONENT_COLOURS):
        return COMPONENT_COLOURS[index]
    import colorsys

    step = index - len(COMPONENT_COLOURS)
    hue = (step * 0.381966011250105) % 1.0
    shade = 0.45 + 0.35 * ((step * 7) % 11) / 10  # values apart too, so that hues close by differ in shade
    red, green, blue = colorsys.hsv_to_rgb(hue, 0.85, shade)
    return "#{:02x}{:02x}{:02x}".format(*(round(255 * c) for c in (red, green, blue)))


def _plot_components(points: NDArray[np.float64], edges: ArrayLike | None, components: Sequence[ArrayLike] | None,
                     ax: Axes | None, title: str | None, numbered: bool | None,
                     motion: ArrayLike | None = None) -> FrameworkArtists:
    n = len(points)
    bars = _bars(edges, n)
    sets = [np.asarray(c, dtype=np.int64).reshape(-1) for c in (components or [])]
    for c in sets:
        if c.size and (c.min() < 0 or c.max() >= n):
            raise ValueError(f"components must hold points 0 .. {n - 1}")
    owner = np.full(len(bars), -1)
    for index in reversed(range(len(sets))):  # the first component holding a bar wins
        inside = np.isin(bars, sets[index]).all(axis=1)
        owner[inside] = index
    groups: dict[str, tuple[NDArray[np.int64], Style]] = {}
    for index, c in enumerate(sets):
        colour = component_colour(index)
        groups[f"component {index} of {c.size} points"] = (
            bars[owner == index], {"color": colour, "linewidth": 2.0, "linestyle": "solid"})
    groups["in no component"] = (bars[owner == -1], REDUNDANT)
    artists = _draw_framework(points, groups, ax, title, "rigid components" if sets else "bars", numbered,
                              point_colour=_UNPLACED if sets else None, motion=motion)
    for index in reversed(range(len(sets))):
        colour = component_colour(index)
        # 2-D axes or 3-D axes: the coordinates go in as positional arguments either way.
        scatter: Any = artists.ax.scatter
        scatter(*points[sets[index]].T, s=36, color=colour, edgecolor="black", linewidth=0.6, zorder=4)
    return artists


def circle_layout(n: int) -> NDArray[np.float64]:
    """n points evenly on the unit circle, where a graph without points of its own is drawn.

    Parameters
    ----------
    n : int
        The number of points.

    Returns
    -------
    ndarray of float64, shape (n, 2)
        Point 0 at the top, then clockwise.

    Examples
    --------
    >>> import telvora_datasets as td
    >>> td.circle_layout(4).round(6).tolist()
    [[0.0, 1.0], [1.0, 0.0], [0.0, -1.0], [-1.0, -0.0]]
    """
    angles = np.pi / 2 - 2 * np.pi * np.arange(n) / max(n, 1)
    return np.stack([np.cos(angles), np.sin(angles)], axis=1)


def plot_record(record: Mapping[str, Any], ax: Axes | None = None, *, title: str | None = None,
                numbered: bool | None = None) -> FrameworkArtists:
    """Draws one record of a dataset, as load or regenerate give it.

    A framework of the complete graph is drawn as plot_framework draws it with its labels. A graph
    of a family: its edges at its points, or on a circle (circle_layout) when it has none, with each
    rigid component in a colour of its own when the record has them (--components), otherwise
    independent edges solid and dependent ones (labels 0) thin and dashed.

    Parameters
    ----------
    record : mapping
        A Record.
    ax : matplotlib.axes.Axes, optional
        Axes to draw into; a new figure when not given.
    title : str, optional
        The title; by default it says which graph it is and how far from rigid.
    numbered : bool, optional
        As for plot_framework.

    Returns
    -------
    FrameworkArtists

    Raises
    ------
    ValueError, TypeError
        For a record whose fields are not those of a dataset record, as for plot_framework.
    MissingExtraError
        When matplotlib is not installed.

    Examples
    --------
    >>> import tempfile
    >>> import telvora_datasets as td
    >>> out = tempfile.mkdtemp()
    >>> report = td.generate(1, 5, 2, 1, out, options=td.Options(workers=1, format="npz"))
    >>> record = next(iter(td.load(out)))
    >>> td.plot_record(record).count("independent") == int(record["labels"].sum())
    True
    """
    if "edges" not in record:
        if title is None:
            title = f"framework of {record['n_nodes']} points, seed {record['seed']}"
        return plot_framework(record["coords"], record["labels"], ax, title=title, numbered=numbered)
    n = int(record["n_nodes"])
    points = points_array(record["coords"]) if "coords" in record else circle_layout(n)
    edges = np.asarray(record["edges"], dtype=np.int64).reshape(-1, 2)
    if title is None:
        dof = int(record["dof"])
        state = "rigid" if record["is_rigid"] else f"{dof} degree{'s' if dof > 1 else ''} of freedom"
        title = f"graph {record['index']}, {state}"  # the legend counts the points and edges
    if "components" in record:
        return _plot_components(points, edges, record["components"], ax, title, numbered)
    independent = labels_array(record["labels"], len(edges), n)
    groups = {"independent": (edges[independent], INDEPENDENT),
              "dependent on earlier edges": (edges[~independent], REDUNDANT)}
    return _draw_framework(points, groups, ax, title, "edges", numbered)


def plot_pebble_comparison(coords: ArrayLike, ax: Axes | None = None, *, title: str | None = None,
                           numbered: bool | None = None) -> FrameworkArtists:
    """Draws a 2-D framework with bars coloured by whether simulate and pebble_game label them alike.

    Parameters
    ----------
    coords : array_like, shape (n, 2)
        The points.
    ax : matplotlib.axes.Axes, optional
        Axes to draw into; a new figure when not given.
    title : str, optional
        The axes' title.
    numbered : bool, optional
        As for plot_framework.

    Returns
    -------
    FrameworkArtists

    Raises
    ------
    ValueError
        For coords not of shape (n, 2) or not finite.
    MissingExtraError
        When matplotlib is not installed.

    Examples
    --------
    A square with one diagonal: both label the five bars independent and the other diagonal
    redundant.

    >>> import telvora_datasets as td
    >>> artists = td.plot_pebble_comparison([[0, 0], [1, 0], [0, 1], [1, 1]])
    >>> artists.count("both independent"), artists.count("both redundant"), artists.count("they disagree")
    (5, 1, 0)
    """
    import telvora

    points = points_array(coords)
    if points.shape[1] != 2:
        raise ValueError("the pebble game is planar: coords must have shape (n, 2)")
    edges = _edges(len(points))
    by_rank = telvora.simulate(points, 2)["labels"].astype(bool)
    by_pebbles = telvora.pebble_game(points, 2)["labels"].astype(bool)
    groups = {
        "both independent": (edges[by_rank & by_pebbles], AGREEMENT["both independent"]),
        "both redundant": (edges[~by_rank & ~by_pebbles], AGREEMENT["both redundant"]),
        "they disagree": (edges[by_rank != by_pebbles], AGREEMENT["they disagree"]),
    }
    return _draw_framework(points, groups, ax, title, "rank test vs pebble game", numbered)


@dataclass
class _Group:
    """Totals over the records of one dimension and number of points."""

    frameworks: int = 0
    rigid: int = 0
    ones: int = 0
    labels: int = 0


def _tally(records: Iterable[Mapping[str, Any]]) -> dict[tuple[int, int], _Group]:
    groups: dict[tuple[int, int], _Group] = {}
    for index, record in enumerate(records):
        try:
            key = (int(record["d"]), int(record["n_nodes"]))
            labels = np.asarray(record["labels"])
            rigid = bool(record["is_rigid"])
        except KeyError as error:
            raise ValueError(f"record {index} has no {error}; pass records as telvora_datasets.load yields them") \
                from None
        except TypeError:
            raise TypeError(f"record {index} is a {type(record).__name__}, not a record (a dict with d, n_nodes, "
                            "labels and is_rigid, as telvora_datasets.load yields them)") from None
        group = groups.setdefault(key, _Group())
        group.frameworks += 1
        group.rigid += rigid
        group.ones += int(np.count_nonzero(labels))
        group.labels += labels.size
    if not groups:
        raise ValueError("the dataset holds no records")
    return groups


def _rigid_note(groups: dict[tuple[int, int], _Group]) -> str:
    total = sum(group.frameworks for group in groups.values())
    rigid = sum(group.rigid for group in groups.values())
    if rigid == total:
        return f"all {total:,} frameworks rigid"
    if rigid == 0:
        return f"none of the {total:,} frameworks rigid"
    if len(groups) == 1:
        return f"{rigid:,} of {total:,} frameworks rigid"
    return f"{rigid / total:.1%} of the frameworks rigid for each dimension and number of points"


def plot_dataset_summary(records: Iterable[Mapping[str, Any]], *, title: str | None = None) -> Figure:
    """The label balance against the number of points, one panel per dimension d.

    A second row shows the share of rigid frameworks when it differs between groups; when it is the
    same everywhere (every framework rigid, as for random frameworks in general position) the title
    says so instead.

    Parameters
    ----------
    records : iterable of mapping
        Dataset records, for example ``telvora_datasets.load(directory)``, or several datasets
        chained.
    title : str, optional
        The figure's title.

    Returns
    -------
    matplotlib.figure.Figure

    Raises
    ------
    ValueError
        When there are no records or a record lacks a field.
    TypeError
        When an item is not a record.
    MissingExtraError
        When matplotlib is not installed.

    Examples
    --------
    >>> import telvora
    >>> import telvora_datasets as td
    >>> figure = td.plot_dataset_summary(telvora.generate_training_batch(4, 6, 2, 1))
    >>> len(figure.axes)
    1
    """
    plt = _pyplot()
    groups = _tally(records)
    dims = sorted({d for d, _ in groups})
    shares = {Fraction(group.rigid, group.frameworks) for group in groups.values()}
    with_rigidity = len(shares) > 1

    rows = 2 if with_rigidity else 1
    figure, axes = plt.subplots(rows, len(dims), figsize=(1.4 + 4.6 * len(dims), 0.9 + 3.7 * rows),
                                layout="constrained", squeeze=False, sharey="row")
    for column, d in enumerate(dims):
        sizes = sorted(n for dim, n in groups if dim == d)
        cells = [groups[d, n] for n in sizes]
        independent = np.array([cell.ones / max(cell.labels, 1) for cell in cells])
        positions = np.arange(len(sizes))
        balance = axes[0, column]
        balance.bar(positions, independent, color=INDEPENDENT["color"], label="independent (1)")
        balance.bar(positions, 1 - independent, bottom=independent, color=REDUNDANT["color"], label="redundant (0)")
        for x, share in zip(positions, independent):
            balance.text(x, share / 2, f"{share:.0%}", ha="center", va="center", color="white", fontsize="small")
        balance.set_xticks(positions, [f"{n}\n({cell.frameworks:,})" for n, cell in zip(sizes, cells)])
        balance.set_xlabel("points per framework (frameworks)")
        balance.set_ylim(0, 1)
        balance.set_title(f"label balance, d = {d}")
        if with_rigidity:
            rigidity = axes[1, column]
            rigid_share = [cell.rigid / cell.frameworks for cell in cells]
            rigidity.plot(sizes, rigid_share, marker="o", color=INDEPENDENT["color"])
            rigidity.set_xticks(sizes)
            rigidity.set_xlabel("points per framework")
            rigidity.set_ylim(-0.04, 1.04)
            rigidity.set_title(f"rigid share, d = {d}")
            rigidity.grid(alpha=0.3)
    axes[0, 0].set_ylabel("share of labels")
    if with_rigidity:
        axes[1, 0].set_ylabel("share of rigid frameworks")
    handles, names = axes[0, 0].get_legend_handles_labels()
    figure.legend(handles, names, loc="outside lower center", ncols=2, fontsize="small")
    lines = [title] if title else []
    if not with_rigidity:
        lines.append(_rigid_note(groups))
    figure.suptitle("\n".join(lines))
    return cast("Figure", figure)


@dataclass
class _Dataset:
    """Totals over the records of one dataset, kept apart from others of the same size."""

    name: str
    sizes: set[tuple[int, int]] = field(default_factory=set)  # (d, n) of its records
    graphs: int = 0
    rigid: int = 0
    maxwell_wrong: int = 0  # enough edges for Maxwell's count, yet flexible
    ones: int = 0
    labels: int = 0
    dof: dict[int, int] = field(default_factory=dict)

    def add(self, index: int, record: Mapping[str, Any]) -> None:
        try:
            d, n = int(record["d"]), int(record["n_nodes"])
            labels = np.asarray(record["labels"])
            rigid = bool(record["is_rigid"])
            rank = int(record["rank"] if "rank" in record else record["final_rank"])
            max_rank = int(record["max_rank"])
        except KeyError as error:
            raise ValueError(f"record {index} of {self.name} has no {error}; pass records as "
                             "telvora_datasets.load yields them") from None
        edges = int(record.get("n_edges", labels.size))
        self.sizes.add((d, n))
        self.graphs += 1
        self.rigid += rigid
        self.maxwell_wrong += edges >= max_rank and not rigid
        self.ones += int(np.count_nonzero(labels))
        self.labels += labels.size
        self.dof[max_rank - rank] = self.dof.get(max_rank - rank, 0) + 1

    @property
    def label(self) -> str:
        sizes = ", ".join(f"n = {n}, d = {d}" for d, n in sorted(self.sizes))
        return f"{self.name}\n{sizes}\n({self.graphs:,})"


def plot_datasets_summary(datasets: Mapping[str, Iterable[Mapping[str, Any]]], *,
                          title: str | None = None) -> Figure:
    """Datasets side by side, one bar each whatever their sizes: what `telvora-datasets summary` draws.

    Three panels: the label balance; the share of rigid graphs next to the share on which
    Maxwell's count is wrong (enough edges, yet flexible); the histogram of degrees of freedom.

    Parameters
    ----------
    datasets : mapping of str to iterable of records
        Each dataset's name and its records (for example ``{"h20": load("data/h20")}``).
    title : str, optional
        The figure's title.

    Returns
    -------
    matplotlib.figure.Figure

    Raises
    ------
    ValueError
        When there is no dataset, a dataset has no records, or a record lacks a field.

    Examples
    --------
    >>> import telvora
    >>> batch = telvora.generate_training_batch(6, 7, 2, 1)
    >>> figure = plot_datasets_summary({"a": batch, "b": batch[:3]}, title="two of n = 7")
    >>> [ax.get_title() for ax in figure.axes]
    ['label balance', "rigid, and Maxwell's count wrong", 'degrees of freedom']
    >>> len(figure.axes[0].patches)  # independent and redundant for each dataset
    4
    """
    plt = _pyplot()
    found = []
    for name, records in datasets.items():
        tally = _Dataset(str(name))
        for index, record in enumerate(records):
            tally.add(index, record)
        if not tally.graphs:
            raise ValueError(f"the dataset {name} holds no records")
        found.append(tally)
    if not found:
        raise ValueError("no datasets to draw")
    figure, (balance, rigidity, freedom) = plt.subplots(
        1, 3, figsize=(4.0 + 3.2 * min(len(found), 6), 4.6), layout="constrained")
    positions = np.arange(len(found))
    labels = [tally.label for tally in found]
    independent = np.array([tally.ones / max(tally.labels, 1) for tally in found])
    balance.bar(positions, independent, color=INDEPENDENT["color"], label="independent (1)")
    balance.bar(positions, 1 - independent, bottom=independent, color=REDUNDANT["color"], label="redundant (0)")
    for x, share in zip(positions, independent):
        balance.text(x, share / 2, f"{share:.0%}", ha="center", va="center", color="white", fontsize="small")
    balance.set_xticks(positions, labels, fontsize="small")
    balance.set_ylim(0, 1)
    balance.set_ylabel("share of labels")
    balance.set_title("label balance")
    balance.legend(fontsize="small", loc="lower right")
    width = 0.4
    rigid = [tally.rigid / tally.graphs for tally in found]
    wrong = [tally.maxwell_wrong / tally.graphs for tally in found]
    rigidity.bar(positions - width / 2, rigid, width, color=INDEPENDENT["color"], label="rigid")
    rigidity.bar(positions + width / 2, wrong, width, color=AGREEMENT["they disagree"]["color"],
                 label="Maxwell's count wrong")
    rigidity.set_xticks(positions, labels, fontsize="small")
    rigidity.set_ylim(0, 1.08)
    rigidity.set_ylabel("share of graphs")
    rigidity.set_title("rigid, and Maxwell's count wrong")
    rigidity.legend(fontsize="small", loc="upper right")
    dofs = sorted({dof for tally in found for dof in tally.dof})
    step = 0.8 / len(found)
    for k, tally in enumerate(found):
        shares = [tally.dof.get(dof, 0) / tally.graphs for dof in dofs]
        freedom.bar(np.arange(len(dofs)) - 0.4 + step * (k + 0.5), shares, step, color=component_colour(k),
                    label=tally.name)
    freedom.set_xticks(np.arange(len(dofs)), [str(dof) for dof in dofs])
    freedom.set_xlabel("degrees of freedom (max_rank - rank)")
    freedom.set_ylabel("share of graphs")
    freedom.set_title("degrees of freedom")
    freedom.legend(fontsize="small")
    if title:
        figure.suptitle(title)
    return cast("Figure", figure)
