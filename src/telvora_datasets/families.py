"""The dataset families: one class per family, found by name in one registry.

A family object says what a dataset draws: the family's own parameters (`GnmFamily(edges=...)`)
and the settings every graph family shares (positions, edge order, balance, split, global
rigidity, components). `resolve(nodes, dim)` checks it against the plan and fills in every
default, giving the numbers a manifest records (`parameters()`); a manifest's family is read back
through the same checks (`family_from`). Errors are `OptionError`s, which speak Python
(`GeometricFamily(radius=...) needs ...`) and carry the same message in the command's flags
(`error.command`: `--family geometric needs --radius R`).

Examples
--------
>>> from telvora_datasets.families import FAMILIES, GnmFamily
>>> family = GnmFamily(edges="2n-3+2", split="0.8,0.1,0.1").resolve(20, 2)
>>> family.edges, family.split, family.parameters()["family"]
(39, (0.8, 0.1, 0.1), 'gnm')
>>> sorted(FAMILIES)
['complete', 'geometric', 'gnm', 'gnp', 'henneberg', 'knn', 'regular']
"""

from __future__ import annotations

import ast
import dataclasses
import math
import operator
import re
from collections.abc import Mapping, Sequence
from fractions import Fraction
from typing import TYPE_CHECKING, Any, ClassVar, TypeVar

from .errors import DatasetError

if TYPE_CHECKING:
    from .generators import Graphs
    from .plotting import FrameworkArtists
    from .streams import U64

POSITIONS = ("generic", "uniform", "lines", "planes", "grid", "conic")
NUMERIC_POSITIONS = POSITIONS[1:]
ORDERS = ("given", "random")
BALANCES = ("rigid",)
SPLITS = ("train", "validation", "test")
DEFAULT_FLATS = 3
# Draw j of a purpose must stay below 2**32, where the next purpose's stream begins: with at most
# 9 draws per flat and 3 per point this leaves room for any number of points a machine can hold.
MAX_FLATS = 2**28
MAX_GRID_CELLS = 2**32 - 1  # cells are drawn with streams.below, whose bound is below 2**32

# The command's flag for each option, so that an OptionError can be said in the command's words.
FLAGS = {"edges": "--edges", "p": "--p", "degree": "--degree", "radius": "--radius", "k": "--k", "add": "--add",
         "remove": "--remove", "positions": "--positions", "order": "--order", "flats": "--flats",
         "grid_size": "--grid-size", "balance": "--balance", "split": "--split", "globally_rigid": "--globally-rigid",
         "components": "--components"}


class OptionError(DatasetError, ValueError):
    """A family's parameter, or a combination of them, that cannot be drawn.

    The message (``str(error)``) names the class and its parameters as Python does; `command`
    says the same in the command's flags, which is what `telvora-datasets` prints.

    Parameters
    ----------
    message : str
        The problem in Python's words.
    command : str, optional
        The problem in the command's words (the message itself by default).

    Examples
    --------
    >>> try:
    ...     GeometricFamily().resolve(10, 2)
    ... except OptionError as error:
    ...     print(error)
    ...     print(error.command)
    GeometricFamily(radius=...) needs a radius R: points closer than R are joined (uniform points lie in [0, 1)^d)
    --family geometric needs --radius R: points closer than R are joined (uniform points lie in [0, 1)^d)
    """

    def __init__(self, message: str, command: str | None = None) -> None:
        super().__init__(message)
        self.command = message if command is None else command


class OptionTypeError(OptionError, TypeError):
    """A family's parameter of the wrong type (a string where a number belongs)."""


def _bad(owner: str, option: str, text: str) -> OptionError:
    """The error for one option whose value is refused: 'text' follows the option's name."""
    return OptionError(f"{owner}: {option} {text}", f"{FLAGS[option]} {text}")


def maxwell_count(n: int, d: int) -> int:
    """The rank of a rigid framework of n points in dimension d.

    Parameters
    ----------
    n, d : int
        Points and dimension.

    Returns
    -------
    int
        d·n - d(d+1)/2, or n(n-1)/2 below d + 1 points.

    Examples
    --------
    >>> maxwell_count(20, 2), maxwell_count(10, 3), maxwell_count(2, 3)
    (37, 24, 1)
    """
    return d * n - d * (d + 1) // 2 if n >= d else n * (n - 1) // 2


def _root(value: int, d: int) -> int:
    """The largest integer r with r^d <= value."""
    r = int(value ** (1 / d))
    while r ** d > value:
        r -= 1
    while (r + 1) ** d <= value:
        r += 1
    return r


def edge_count(expression: str | int, n: int, d: int) -> int:
    """A number of edges given as an integer or an expression in n and d.

    Parameters
    ----------
    expression : str or int
        An integer, or integers, n, d, + - * /, parentheses, a number written before n, d or (
        multiplying it (``2n-3+2``, ``d*n - d*(d+1)/2``).
    n, d : int
        The values of n and d.

    Returns
    -------
    int
        The value, which must be whole.

    Raises
    ------
    OptionError
        For anything else, or a value that is not whole.

    Examples
    --------
    >>> edge_count("2n-3+2", 20, 2), edge_count("dn - d(d+1)/2", 10, 3), edge_count(7, 5, 2)
    (39, 24, 7)
    """
    if isinstance(expression, int) and not isinstance(expression, bool):
        return expression
    text = str(expression).strip()
    source = re.sub(r"(\d)\s*([nd(])", r"\1*\2", text)
    source = re.sub(r"([nd)])\s*([nd\d(])", r"\1*\2", source)

    def value(node: ast.AST) -> Fraction:
        if isinstance(node, ast.Expression):
            return value(node.body)
        if isinstance(node, ast.Constant) and type(node.value) is int:
            return Fraction(node.value)
        if isinstance(node, ast.Name) and node.id in ("n", "d"):
            return Fraction(n if node.id == "n" else d)
        if isinstance(node, ast.UnaryOp) and isinstance(node.op, (ast.USub, ast.UAdd)):
            inner = value(node.operand)
            return -inner if isinstance(node.op, ast.USub) else inner
        if isinstance(node, ast.BinOp) and isinstance(node.op, (ast.Add, ast.Sub, ast.Mult, ast.Div)):
            left, right = value(node.left), value(node.right)
            if isinstance(node.op, ast.Add):
                return left + right
            if isinstance(node.op, ast.Sub):
                return left - right
            if isinstance(node.op, ast.Mult):
                return left * right
            if right == 0:
                raise ValueError("division by zero")
            return left / right
        raise ValueError("unsupported")

    try:
        result = value(ast.parse(source, mode="eval"))
    except (SyntaxError, ValueError, RecursionError):
        raise _bad("GnmFamily", "edges", f"{text!r} is neither an integer nor an expression in n and d "
                   "such as 2n-3+2 or d*n - d*(d+1)/2") from None
    if result.denominator != 1:
        raise _bad("GnmFamily", "edges", f"{text!r} is {result} for n = {n}, d = {d}, not a whole number")
    return int(result)


def _number(value: object, owner: str, option: str, integral: bool) -> Any:
    """value as an int (integral) or a finite float; None stays None."""
    if value is None:
        return None
    if isinstance(value, (bool, str)):
        kind = "an integer" if integral else "a number"
        raise OptionTypeError(f"{owner}: {option} must be {kind}, not {type(value).__name__}",
                              f"{FLAGS[option]} must be {kind}, not {type(value).__name__}")
    if integral:
        try:
            return operator.index(value)  # type: ignore[arg-type]
        except TypeError:
            raise OptionTypeError(f"{owner}: {option} must be an integer (got {value!r})",
                                  f"{FLAGS[option]} must be an integer (got {value!r})") from None
    try:
        number = float(value)  # type: ignore[arg-type]
    except (TypeError, ValueError):
        raise OptionTypeError(f"{owner}: {option} must be a number (got {value!r})",
                              f"{FLAGS[option]} must be a number (got {value!r})") from None
    if not math.isfinite(number):
        raise _bad(owner, option, f"must be finite (got {number})")
    return number


def parse_split(split: object, owner: str = "GraphFamily") -> tuple[float, ...] | None:
    """Split fractions from a string ``'train,validation[,test]'`` or two or three numbers.

    Parameters
    ----------
    split : str, sequence of float or None
        The fractions, which must be >= 0 and add up to 1.
    owner : str
        The class named by an error.

    Returns
    -------
    tuple of float or None
        The fractions (None stays None).

    Raises
    ------
    OptionError
        For anything else.

    Examples
    --------
    >>> parse_split("0.8,0.1,0.1"), parse_split([0.5, 0.5]), parse_split(None)
    ((0.8, 0.1, 0.1), (0.5, 0.5), None)
    """
    if split is None:
        return None
    try:
        parts = split.split(",") if isinstance(split, str) else list(split)  # type: ignore[call-overload]
        fractions = tuple(float(part) for part in parts)
    except (TypeError, ValueError):
        raise _bad(owner, "split", f"takes two or three fractions such as 0.8,0.1,0.1 (got {split!r})") from None
    if len(fractions) not in (2, 3) or not all(math.isfinite(f) and f >= 0 for f in fractions):
        raise _bad(owner, "split", f"takes two or three fractions >= 0 such as 0.8,0.1,0.1 (got {split!r})")
    if abs(sum(fractions) - 1.0) > 1e-9:
        raise OptionError(f"{owner}: the split fractions must add up to 1 (they add up to {sum(fractions):g})",
                          f"the --split fractions must add up to 1 (they add up to {sum(fractions):g})")
    return fractions


Self = TypeVar("Self", bound="GraphFamily")


@dataclasses.dataclass(frozen=True)
class CompleteFamily:
    """The complete graph on the random points of `telvora.generate_training_batch` (the default).

    It has no parameters: framework k of a dataset seeded with s is the batch's framework of
    seed s + k, every candidate bar labelled.

    Examples
    --------
    >>> CompleteFamily().name, CompleteFamily().resolve(20, 2)
    ('complete', None)
    """

    name: ClassVar[str] = "complete"
    description: ClassVar[str] = "the frameworks of generate_training_batch: every pair of random points a bar"

    def resolve(self, nodes: int, dim: int) -> None:
        """None: a plan of complete-graph frameworks carries no family.

        Parameters
        ----------
        nodes, dim : int
            The plan's points and dimension (nothing to check against them).

        Returns
        -------
        None
        """
        return None


@dataclasses.dataclass(frozen=True, kw_only=True)
class GraphFamily:
    """What every graph family shares; a family is one of its subclasses.

    Parameters
    ----------
    positions : str
        ``"generic"`` (exact generic labels) or where points are drawn and labelled: ``"uniform"``,
        ``"lines"``, ``"planes"`` (3-D), ``"grid"``, ``"conic"`` (2-D).
    order : str
        ``"given"`` (lexicographic) or ``"random"`` (per graph): the order edges are labelled in.
    flats : int, optional
        The number of lines or planes (positions lines or planes; 3 by default).
    grid_size : int, optional
        G for positions grid: points on distinct cells of {0 .. G-1}^d (smallest G with G^d >= 2n).
    balance : str, optional
        ``"rigid"``: redraw graph k until it is rigid for even k and flexible for odd k.
    split : str or sequence of float, optional
        Train, validation and test fractions (or train and test), by graph index.
    globally_rigid : bool
        Also decide generic global rigidity (generic positions only).
    components : bool
        Also store each graph's rigid components.

    Raises
    ------
    OptionError
        From `resolve`, for a value or combination that cannot be drawn.
    """

    name: ClassVar[str] = ""
    description: ClassVar[str] = ""
    OPTIONS: ClassVar[tuple[str, ...]] = ()  # the family's own parameters, in the manifest's order
    spatial: ClassVar[bool] = False  # points are drawn first and decide the edges

    positions: str = "generic"
    order: str = "given"
    flats: int | None = None
    grid_size: int | None = None
    balance: str | None = None
    split: str | Sequence[float] | None = None
    globally_rigid: bool = False
    components: bool = False

    def __init_subclass__(cls, **kwargs: Any) -> None:
        super().__init_subclass__(**kwargs)
        if cls.name:
            FAMILIES[cls.name] = cls

    # What a family says of itself.

    @property
    def numeric(self) -> bool:
        """Whether labels are those of the drawn points (numeric mode) rather than generic ones."""
        return self.positions != "generic"

    @property
    def has_coords(self) -> bool:
        """Whether the graphs come with points (numeric positions, or a spatial family)."""
        return self.numeric or self.spatial

    @property
    def owner(self) -> str:
        return type(self).__name__

    def describe(self) -> str:
        """One line: the family, then its parameters, as `info` prints it.

        Returns
        -------
        str

        Examples
        --------
        >>> HennebergFamily(add=1, remove=1).resolve(20, 2).describe()
        'family henneberg: positions generic, order given, add 1, remove 1'
        """
        entries = self.parameters()
        options = ", ".join(f"{key.replace('_', ' ')} {value}" for key, value in entries.items()
                            if key != "family" and value is not None and value is not False)
        return f"family {self.name}: {options}"

    def parameters(self) -> dict[str, Any]:
        """The manifest's entries for this (resolved) family, in a fixed order.

        Options that do not apply are left out, and ``components`` is recorded only when asked
        for, so that datasets written before it existed keep their manifest.

        Returns
        -------
        dict
            ``family``, ``positions``, ``order``, the family's own options, ``flats`` or
            ``grid_size`` where they apply, ``balance``, ``split``, ``globally_rigid``.

        Examples
        --------
        >>> GnmFamily(edges=5).resolve(6, 2).parameters()
        {'family': 'gnm', 'positions': 'generic', 'order': 'given', 'edges': 5, 'balance': None, 'split': None, 'globally_rigid': False}
        """
        entries: dict[str, Any] = {"family": self.name, "positions": self.positions, "order": self.order}
        for option in self.OPTIONS:
            entries[option] = getattr(self, option)
        if self.positions in ("lines", "planes"):
            entries["flats"] = self.flats
        if self.positions == "grid":
            entries["grid_size"] = self.grid_size
        entries.update(balance=self.balance, split=list(self.split) if self.split else None,
                       globally_rigid=self.globally_rigid)
        if self.components:
            entries["components"] = True
        return entries

    # Checking.

    def resolve(self: Self, nodes: int, dim: int) -> Self:
        """This family with every default filled in, checked against a plan.

        Parameters
        ----------
        nodes : int
            Vertices per graph.
        dim : int
            Dimension, 2 or 3.

        Returns
        -------
        GraphFamily
            A family of the same class whose options are the numbers the manifest records.
            Resolving it again gives it back unchanged.

        Raises
        ------
        OptionError
            Naming the first value or combination that cannot be drawn.

        Examples
        --------
        >>> GnpFamily(degree=4.75).resolve(20, 2).p
        0.25
        >>> KnnFamily().resolve(10, 3).k
        4
        """
        n, d, owner = nodes, dim, self.owner
        if self.positions not in POSITIONS:
            raise _bad(owner, "positions", f"must be one of {', '.join(POSITIONS)} (got {self.positions!r})")
        if self.order not in ORDERS:
            raise _bad(owner, "order", f"must be given or random (got {self.order!r})")
        if self.positions == "planes" and d != 3:
            raise OptionError(f"{owner}(positions='planes') needs dim 3 (in the plane every point lies on one "
                              "plane); use lines for special positions in 2-D",
                              "--positions planes needs --dim 3 (in the plane every point lies on one plane); "
                              "use lines for special positions in 2-D")
        if self.positions == "conic" and d != 2:
            raise OptionError(f"{owner}(positions='conic') needs dim 2: its points lie on an ellipse in the plane",
                              "--positions conic needs --dim 2: its points lie on an ellipse in the plane")
        flats = self._flats(owner)
        grid_size = self._grid_size(owner, n, d)
        if self.balance is not None and self.balance not in BALANCES:
            raise _bad(owner, "balance", f"must be rigid (got {self.balance!r})")
        if self.globally_rigid and self.positions != "generic":
            raise OptionError(f"{owner}: globally_rigid is decided in generic mode only: use positions='generic'",
                              "--globally-rigid is decided in generic mode only: use --positions generic")
        family = dataclasses.replace(self, flats=flats, grid_size=grid_size, split=parse_split(self.split, owner),
                                     globally_rigid=bool(self.globally_rigid), components=bool(self.components),
                                     **self._resolve_own(n, d))
        if family.balance is not None:
            one_sided = family.one_sided(n, d)
            if one_sided:
                raise OptionError(f"{owner}(balance='rigid') needs both rigid and flexible graphs, but this "
                                  f"{family.name} family has {one_sided}",
                                  f"--balance rigid needs both rigid and flexible graphs, but this {family.name} "
                                  f"family has {one_sided}")
        return family

    def _flats(self, owner: str) -> int | None:
        flats = _number(self.flats, owner, "flats", True)
        if self.positions not in ("lines", "planes"):
            if flats is not None:
                raise OptionError(f"{owner}: flats applies to positions 'lines' or 'planes'",
                                  "--flats applies to --positions lines or planes")
            return None
        flats = DEFAULT_FLATS if flats is None else flats
        if not 1 <= flats <= MAX_FLATS:
            raise _bad(owner, "flats", f"must be from 1 to 2**28 = {MAX_FLATS:,} (got {flats}); beyond the "
                       "points there are, more flats only spread them the same way")
        return int(flats)

    def _grid_size(self, owner: str, n: int, d: int) -> int | None:
        grid = _number(self.grid_size, owner, "grid_size", True)
        if self.positions != "grid":
            if grid is not None:
                raise OptionError(f"{owner}: grid_size applies to positions 'grid'",
                                  "--grid-size applies to --positions grid")
            return None
        if grid is None:  # the smallest G with G^d >= 2n
            grid = max(2, int((2 * n) ** (1 / d)))
            while grid ** d < 2 * n:
                grid += 1
            while grid > 2 and (grid - 1) ** d >= 2 * n:
                grid -= 1
        if grid >= 1 and grid ** d > MAX_GRID_CELLS:
            raise _bad(owner, "grid_size", f"{grid} gives {grid ** d:,} cells in {d}-D, more than the 2**32 - 1 "
                       f"that cells are drawn from; choose at most {_root(MAX_GRID_CELLS, d)}")
        if grid < 1 or grid ** d < n:
            raise _bad(owner, "grid_size", f"{grid} gives {max(grid, 0) ** d} cells, fewer than the {n} points "
                       f"(points take distinct cells); choose at least {math.ceil(n ** (1 / d))}")
        return int(grid)

    def _resolve_own(self, n: int, d: int) -> dict[str, Any]:
        """The family's own options, resolved and checked."""
        raise NotImplementedError

    def one_sided(self, n: int, d: int) -> str | None:
        """Why every graph of this resolved family has the same rigidity, if that is sure beforehand.

        A balanced dataset of such a family is refused before anything is written; a family that
        merely rarely gives one class is found out while drawing.

        Parameters
        ----------
        n, d : int
            Vertices and dimension.

        Returns
        -------
        str or None
            What the family has that decides it, or None.
        """
        return None

    # Drawing.

    def draw(self, keys: U64, n: int, d: int) -> Graphs:
        """The graphs of these keys, with their points when the family has any, edges in its order.

        Parameters
        ----------
        keys : numpy.ndarray of uint64
            One key per graph (`telvora_datasets.streams.graph_keys`); graph g is drawn from
            keys[g] alone.
        n, d : int
            Vertices and dimension.

        Returns
        -------
        telvora_datasets.generators.Graphs
            The graphs, packed.
        """
        from . import generators

        coords = (generators.positions(keys, n, d, self.positions, self.flats or 0, self.grid_size or 0)
                  if self.has_coords else None)
        graphs = self._edges(keys, n, d, coords)
        graphs.coords = coords
        if self.order == "random":
            graphs = generators.shuffle_edges(keys, graphs)
        return graphs

    def _edges(self, keys: U64, n: int, d: int, coords: Any) -> Graphs:
        raise NotImplementedError

    def mean_edges(self, n: int, d: int) -> float:
        """The edges a graph has on average, or an upper bound where the family leaves it open.

        Parameters
        ----------
        n, d : int
            Vertices and dimension.

        Returns
        -------
        float
        """
        raise NotImplementedError

    def picture(self, nodes: int, dim: int, seed: int = 0, index: int = 0) -> FrameworkArtists:
        """Draws graph `index` of a dataset of this family seeded with `seed` (needs matplotlib).

        Parameters
        ----------
        nodes, dim : int
            Vertices and dimension.
        seed, index : int
            Which graph: the one `generate` would write at that index.

        Returns
        -------
        telvora_datasets.FrameworkArtists
            What was drawn: at the graph's points, or on a circle when it has none.

        Examples
        --------
        >>> artists = GnmFamily(edges="2n-3").picture(8, 2, seed=1)
        >>> artists.count("independent") + artists.count("dependent on earlier edges")
        13
        """
        from .graph_records import build_graph_columns
        from .plotting import plot_record
        from .records import iter_graph_records

        family = self.resolve(nodes, dim)
        record = next(iter_graph_records(build_graph_columns(family, seed, index, 1, nodes, dim)))
        return plot_record(record)


FAMILIES: dict[str, type[GraphFamily] | type[CompleteFamily]] = {"complete": CompleteFamily}
"""Every family by the name its manifest and the command use."""


@dataclasses.dataclass(frozen=True, kw_only=True)
class GnpFamily(GraphFamily):
    """G(n, p): each of the n(n-1)/2 pairs an edge with probability p, independently.

    Parameters
    ----------
    p : float, optional
        The edge probability (default: on average as many edges as a rigid graph needs).
    degree : float, optional
        The expected degree instead of p (p = degree / (n - 1)).
    positions, order, flats, grid_size, balance, split, globally_rigid, components
        The settings every graph family shares: see `GraphFamily`.

    Examples
    --------
    >>> GnpFamily(degree=4.75).resolve(20, 2).parameters()["p"]
    0.25
    """

    name: ClassVar[str] = "gnp"
    description: ClassVar[str] = "G(n, p): each pair an edge with probability p, independently"
    OPTIONS: ClassVar[tuple[str, ...]] = ("p",)
    p: float | None = None
    degree: float | None = None

    def _resolve_own(self, n: int, d: int) -> dict[str, Any]:
        owner = self.owner
        if self.p is not None and self.degree is not None:
            raise OptionError(f"{owner}: give p or degree (the expected degree, p = degree / (n - 1)), not both",
                              "give --p or --degree (the expected degree, p = degree / (n - 1)), not both")
        if self.degree is not None:
            expected = _number(self.degree, owner, "degree", False)
            if not 0 <= expected <= n - 1:
                raise _bad(owner, "degree", f"must be from 0 to n - 1 = {n - 1} (got {expected:g})")
            probability = expected / (n - 1)
        else:
            probability = _number(self.p, owner, "p", False)
            if probability is None:  # as many edges as a rigid graph needs, on average
                probability = maxwell_count(n, d) / (n * (n - 1) // 2)
        if not 0.0 <= probability <= 1.0:
            raise _bad(owner, "p", f"must be from 0 to 1 (got {probability:g})")
        return {"p": probability, "degree": None}

    def one_sided(self, n: int, d: int) -> str | None:
        if self.p in (0.0, 1.0) and not self.numeric:
            return f"p = {self.p:g} gives a single graph"
        return None

    def _edges(self, keys: U64, n: int, d: int, coords: Any) -> Graphs:
        from .generators import gnp

        return gnp(keys, n, self.p or 0.0)

    def mean_edges(self, n: int, d: int) -> float:
        return (self.p or 0.0) * (n * (n - 1) // 2)


@dataclasses.dataclass(frozen=True, kw_only=True)
class GnmFamily(GraphFamily):
    """G(n, m): m distinct pairs, every set of m equally likely.

    Parameters
    ----------
    edges : int or str, optional
        m, or an expression in n and d such as ``"2n-3+2"`` (default: Maxwell's count,
        d·n - d(d+1)/2).
    positions, order, flats, grid_size, balance, split, globally_rigid, components
        The settings every graph family shares: see `GraphFamily`.

    Examples
    --------
    >>> GnmFamily().resolve(20, 2).edges, GnmFamily(edges="3n-6").resolve(10, 3).edges
    (37, 24)
    """

    name: ClassVar[str] = "gnm"
    description: ClassVar[str] = "G(n, m): m distinct pairs, every set of m equally likely"
    OPTIONS: ClassVar[tuple[str, ...]] = ("edges",)
    edges: int | str | None = None

    def _resolve_own(self, n: int, d: int) -> dict[str, Any]:
        pairs = n * (n - 1) // 2
        m = edge_count(self.edges, n, d) if self.edges is not None else maxwell_count(n, d)
        if not 0 <= m <= pairs:
            raise _bad(self.owner, "edges", f"must be from 0 to the {pairs} pairs of {n} vertices (got {m})")
        return {"edges": m}

    def one_sided(self, n: int, d: int) -> str | None:
        rigid_edges = maxwell_count(n, d)
        if isinstance(self.edges, int) and self.edges < rigid_edges:
            return f"fewer than the {rigid_edges} edges any rigid graph needs: every graph is flexible"
        return None

    def _edges(self, keys: U64, n: int, d: int, coords: Any) -> Graphs:
        from .generators import gnm

        return gnm(keys, n, int(self.edges or 0))

    def mean_edges(self, n: int, d: int) -> float:
        return float(self.edges or 0)


@dataclasses.dataclass(frozen=True, kw_only=True)
class GeometricFamily(GraphFamily):
    """Points first, then an edge between two points at most `radius` apart.

    Parameters
    ----------
    radius : float
        R, needed: points whose squared distance is at most R·R are joined (uniform points lie in
        [0, 1)^d).
    positions, order, flats, grid_size, balance, split, globally_rigid, components
        The settings every graph family shares: see `GraphFamily`.

    Examples
    --------
    >>> GeometricFamily(radius=0.3).resolve(16, 2).has_coords
    True
    """

    name: ClassVar[str] = "geometric"
    description: ClassVar[str] = "random geometric graphs: points first, joined when at most R apart"
    OPTIONS: ClassVar[tuple[str, ...]] = ("radius",)
    spatial: ClassVar[bool] = True
    radius: float | None = None

    def _resolve_own(self, n: int, d: int) -> dict[str, Any]:
        value = _number(self.radius, self.owner, "radius", False)
        if value is None:
            why = "points closer than R are joined (uniform points lie in [0, 1)^d)"
            raise OptionError(f"{self.owner}(radius=...) needs a radius R: {why}",
                              f"--family geometric needs --radius R: {why}")
        if value <= 0:
            raise _bad(self.owner, "radius", f"must be positive (got {value:g})")
        return {"radius": value}

    def _edges(self, keys: U64, n: int, d: int, coords: Any) -> Graphs:
        from .generators import geometric

        return geometric(coords, self.radius or 0.0)

    def mean_edges(self, n: int, d: int) -> float:
        # A pair is an edge with at most the probability that a ball of the radius covers a point.
        radius = self.radius or 0.0
        ball = math.pi * radius**2 if d == 2 else 4.0 / 3.0 * math.pi * radius**3
        return (n * (n - 1) // 2) * min(1.0, ball)


@dataclasses.dataclass(frozen=True, kw_only=True)
class KnnFamily(GraphFamily):
    """Points first, then each point joined to its k nearest others (ties to the lower index).

    Parameters
    ----------
    k : int, optional
        Neighbours per point, 1 to n - 1 (default d + 1); both directions are merged, so every
        degree is at least k.
    positions, order, flats, grid_size, balance, split, globally_rigid, components
        The settings every graph family shares: see `GraphFamily`.

    Examples
    --------
    >>> KnnFamily().resolve(12, 2).k
    3
    """

    name: ClassVar[str] = "knn"
    description: ClassVar[str] = "k nearest neighbours: each point joined to its k nearest others"
    OPTIONS: ClassVar[tuple[str, ...]] = ("k",)
    spatial: ClassVar[bool] = True
    k: int | None = None

    def _resolve_own(self, n: int, d: int) -> dict[str, Any]:
        value = _number(self.k, self.owner, "k", True)
        value = d + 1 if value is None else value
        if not 1 <= value <= n - 1:
            raise _bad(self.owner, "k", f"must be from 1 to n - 1 = {n - 1} (got {value})")
        return {"k": value}

    def _edges(self, keys: U64, n: int, d: int, coords: Any) -> Graphs:
        from .generators import knn

        return knn(coords, self.k or 1)

    def mean_edges(self, n: int, d: int) -> float:
        return float(n * (self.k or 1))


@dataclasses.dataclass(frozen=True, kw_only=True)
class HennebergFamily(GraphFamily):
    """A minimally rigid graph grown by Henneberg moves, then `add` pairs added and `remove` edges removed.

    The graph grows from K_d by 0-extensions and 1-extensions (half of the steps once there are
    d + 1 vertices), its vertices relabelled at random.

    Parameters
    ----------
    add : int
        Pairs that are not edges added afterwards (default 0).
    remove : int
        Edges of the result then removed (default 0).
    positions, order, flats, grid_size, balance, split, globally_rigid, components
        The settings every graph family shares: see `GraphFamily`.

    Examples
    --------
    >>> HennebergFamily(add=2, remove=1).resolve(12, 2).parameters()["add"]
    2
    """

    name: ClassVar[str] = "henneberg"
    description: ClassVar[str] = "minimally rigid graphs grown by Henneberg moves, then edges added and removed"
    OPTIONS: ClassVar[tuple[str, ...]] = ("add", "remove")
    add: int | None = None
    remove: int | None = None

    def _resolve_own(self, n: int, d: int) -> dict[str, Any]:
        owner = self.owner
        if n < d:
            raise OptionError(f"{owner} grows graphs from K_{d}: it needs at least {d} nodes (got {n})",
                              f"--family henneberg grows graphs from K_{d}: it needs at least {d} nodes (got {n})")
        pairs = n * (n - 1) // 2
        base = maxwell_count(n, d)
        plus = _number(self.add, owner, "add", True) or 0
        minus = _number(self.remove, owner, "remove", True) or 0
        if not 0 <= plus <= pairs - base:
            raise _bad(owner, "add", f"must be from 0 to the {pairs - base} pairs that a minimally rigid graph on "
                       f"{n} vertices leaves free (got {plus})")
        if not 0 <= minus <= base + plus:
            raise _bad(owner, "remove", f"must be from 0 to the {base + plus} edges there are (got {minus})")
        return {"add": plus, "remove": minus}

    def one_sided(self, n: int, d: int) -> str | None:
        if self.numeric:
            return None
        if self.remove == 0:
            return "no edge removed from a rigid graph: every graph is rigid (use --remove)"
        if self.add == 0:
            return "edges removed from a minimally rigid graph: every graph is flexible (use --add too)"
        return None

    def _edges(self, keys: U64, n: int, d: int, coords: Any) -> Graphs:
        from .generators import henneberg

        return henneberg(keys, n, d, self.add or 0, self.remove or 0)

    def mean_edges(self, n: int, d: int) -> float:
        return float(d * n + (self.add or 0))


@dataclasses.dataclass(frozen=True, kw_only=True)
class RegularFamily(GraphFamily):
    """A random `degree`-regular graph, by edge switches from a circulant graph, relabelled at random.

    Parameters
    ----------
    degree : int, optional
        The degree, 0 to n - 1 with n·degree even (default 2d).
    positions, order, flats, grid_size, balance, split, globally_rigid, components
        The settings every graph family shares: see `GraphFamily`.

    Examples
    --------
    >>> RegularFamily().resolve(10, 2).degree
    4
    """

    name: ClassVar[str] = "regular"
    description: ClassVar[str] = "random regular graphs, by edge switches from a circulant graph"
    OPTIONS: ClassVar[tuple[str, ...]] = ("degree",)
    degree: int | None = None

    def _resolve_own(self, n: int, d: int) -> dict[str, Any]:
        value = _number(self.degree, self.owner, "degree", True)
        value = 2 * d if value is None else value
        if not 0 <= value <= n - 1:
            raise _bad(self.owner, "degree", f"must be from 0 to n - 1 = {n - 1} for a regular graph (got {value})")
        if n * value % 2:
            raise OptionError(f"{self.owner}: no {value}-regular graph has {n} vertices (n times the degree must "
                              "be even)", f"no {value}-regular graph has {n} vertices (n times the degree must be even)")
        return {"degree": value}

    def one_sided(self, n: int, d: int) -> str | None:
        rigid_edges = maxwell_count(n, d)
        if self.degree is not None and n * self.degree // 2 < rigid_edges:
            return f"{n * self.degree // 2} edges, fewer than the {rigid_edges} a rigid graph needs"
        return None

    def _edges(self, keys: U64, n: int, d: int, coords: Any) -> Graphs:
        from .generators import regular

        return regular(keys, n, self.degree or 0)

    def mean_edges(self, n: int, d: int) -> float:
        return n * (self.degree or 0) / 2


Family = GraphFamily  # what a plan holds for a graph family (None for the complete graph)
GRAPH_FAMILIES = tuple(name for name in FAMILIES if name != "complete")
_SETTINGS = tuple(field.name for field in dataclasses.fields(GraphFamily))


def make_family(name: str, nodes: int, dim: int, **options: Any) -> GraphFamily | None:
    """The family of this name built from options of every family, resolved; None for the complete graph.

    This is how the command and a manifest name a family: options that are None (not given) are
    left out, and an option of another family is refused by name, with the family it belongs to.

    Parameters
    ----------
    name : str
        A key of `FAMILIES`.
    nodes, dim : int
        The plan's vertices and dimension.
    **options
        The family's own options and the shared settings (see `GraphFamily`).

    Returns
    -------
    GraphFamily or None
        The resolved family.

    Raises
    ------
    OptionError
        For an unknown name, an option of another family, or a value the family refuses.

    Examples
    --------
    >>> make_family("gnm", 20, 2, edges="2n-3+2", radius=None)
    GnmFamily(positions='generic', order='given', flats=None, grid_size=None, balance=None, split=None, globally_rigid=False, components=False, edges=39)
    >>> make_family("gnm", 20, 2, radius=0.3)
    Traceback (most recent call last):
    ...
    telvora_datasets.families.OptionError: GnmFamily takes no radius: it belongs to GeometricFamily
    """
    family = FAMILIES.get(name) if isinstance(name, str) else None
    if family is None:
        raise OptionError(f"the family must be one of {', '.join(FAMILIES)} (got {name!r})")
    given = {key: value for key, value in options.items() if value is not None and value is not False}
    if family is CompleteFamily:
        if given:
            option = next(iter(given))
            raise OptionError(
                f"{option} applies to graph families ({', '.join(GRAPH_FAMILIES)}); CompleteFamily writes the "
                "frameworks of generate_training_batch as they are",
                f"{FLAGS.get(option, option)} applies to graph families ({', '.join(GRAPH_FAMILIES)}); "
                "--family complete writes the frameworks of generate_training_batch as they are")
        return None
    assert issubclass(family, GraphFamily)
    own = {field.name for field in dataclasses.fields(family)}
    for option in given:
        if option not in own:
            owners = [cls for cls in FAMILIES.values() if issubclass(cls, GraphFamily)
                      and option in {field.name for field in dataclasses.fields(cls)}]
            if not owners:
                raise OptionError(f"{family.__name__} has no option {option!r}")
            raise OptionError(f"{family.__name__} takes no {option}: it belongs to "
                              f"{' or '.join(cls.__name__ for cls in owners)}",
                              f"{FLAGS[option]} applies to --family {' or '.join(cls.name for cls in owners)}, "
                              f"not {name}")
    return family(**given).resolve(nodes, dim)


def family_from(parameters: Mapping[str, Any], nodes: int, dim: int) -> GraphFamily | None:
    """The family recorded in a manifest's parameters, checked by resolving it again.

    Parameters
    ----------
    parameters : mapping
        The manifest's parameters.
    nodes, dim : int
        The plan's vertices and dimension.

    Returns
    -------
    GraphFamily or None
        The family, or None for the complete-graph frameworks (no ``family`` entry).

    Raises
    ------
    DatasetError
        When the record is not exactly what it resolves to: an unknown name or entry, a value of
        the wrong type or out of range.

    Examples
    --------
    >>> family_from({"family": "gnm", "positions": "generic", "order": "given", "edges": 5,
    ...              "balance": None, "split": None, "globally_rigid": False}, 6, 2).edges
    5
    """
    if "family" not in parameters:
        return None
    fields = set(_SETTINGS) | {field.name for cls in FAMILIES.values() if issubclass(cls, GraphFamily)
                               for field in dataclasses.fields(cls)}
    unknown = sorted(str(key) for key in set(parameters) - fields - {"family", "graphs", "nodes", "dim", "seed",
                                                                      "shard_size", "format"})
    if unknown:
        raise DatasetError(f"the manifest's parameters hold unknown entries {', '.join(unknown)}; "
                           "was it written by a later version?")
    recorded = {key: value for key, value in parameters.items() if key in fields or key == "family"}
    name = recorded["family"]
    if not isinstance(name, str) or name not in GRAPH_FAMILIES:
        raise DatasetError(f"the manifest's family {name!r} is none of {', '.join(GRAPH_FAMILIES)}")
    options = {key: value for key, value in recorded.items() if key != "family"}
    try:
        family = make_family(name, nodes, dim, **options)
    except DatasetError as error:
        raise DatasetError(f"the manifest's family parameters are not valid: {error}") from None
    except (TypeError, ValueError, OverflowError) as error:
        raise DatasetError(f"the manifest's family parameters are not valid ({error})") from None
    if family is None or family.parameters() != recorded:
        raise DatasetError(f"the manifest's family parameters {recorded} are not what they resolve to; "
                           "the manifest is damaged")
    return family
