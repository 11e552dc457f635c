"""What a graph-family dataset draws: the family, its parameters, positions, edge order, balance and
split, checked and resolved to the numbers its manifest records."""

from __future__ import annotations

import ast
import dataclasses
import math
import operator
import re
from collections.abc import Mapping
from fractions import Fraction
from typing import Any

from .errors import DatasetError

FAMILIES = ("complete", "gnp", "gnm", "geometric", "knn", "henneberg", "regular")
GRAPH_FAMILIES = FAMILIES[1:]
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

# Each family's own options, and which families place points before choosing edges.
OPTIONS: dict[str, tuple[str, ...]] = {
    "gnp": ("p",), "gnm": ("edges",), "geometric": ("radius",), "knn": ("k",),
    "henneberg": ("add", "remove"), "regular": ("degree",),
}
SPATIAL = ("geometric", "knn")
FLAGS = {"edges": "--edges", "p": "--p or --degree", "radius": "--radius", "k": "--k", "add": "--add",
         "remove": "--remove", "degree": "--degree", "flats": "--flats", "grid_size": "--grid-size"}


def maxwell_count(n: int, d: int) -> int:
    """The rank of a rigid framework of n points in dimension d: d·n - d(d+1)/2 (n(n-1)/2 below d + 1 points)."""
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
    """A number of edges given as an integer or an expression in n and d (`2n-3+2`, `d*n - 6`):
    integers, n, d, + - * /, parentheses, a number written before n, d or ( multiplying it.
    Division must come out whole."""
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
        raise DatasetError(f"--edges {text!r} is neither an integer nor an expression in n and d "
                           "such as 2n-3+2 or d*n - d*(d+1)/2") from None
    if result.denominator != 1:
        raise DatasetError(f"--edges {text!r} is {result} for n = {n}, d = {d}, not a whole number")
    return int(result)


@dataclasses.dataclass(frozen=True)
class Family:
    """A graph family with every parameter resolved (see make_family)."""

    name: str
    positions: str = "generic"
    order: str = "given"
    edges: int | None = None  # gnm
    p: float | None = None  # gnp
    radius: float | None = None  # geometric
    k: int | None = None  # knn
    add: int | None = None  # henneberg
    remove: int | None = None  # henneberg
    degree: int | None = None  # regular
    flats: int | None = None  # positions lines and planes
    grid_size: int | None = None  # positions grid
    balance: str | None = None
    split: tuple[float, ...] | None = None
    globally_rigid: bool = False
    components: bool = False

    @property
    def numeric(self) -> bool:
        """Whether labels are those of the drawn points (numeric mode) rather than generic ones."""
        return self.positions != "generic"

    @property
    def has_coords(self) -> bool:
        return self.numeric or self.name in SPATIAL

    def parameters(self) -> dict[str, Any]:
        """The manifest's entries for this family, in a fixed order; options that do not apply are left out."""
        entries: dict[str, Any] = {"family": self.name, "positions": self.positions, "order": self.order}
        for option in OPTIONS[self.name]:
            entries[option] = getattr(self, option)
        if self.positions in ("lines", "planes"):
            entries["flats"] = self.flats
        if self.positions == "grid":
            entries["grid_size"] = self.grid_size
        entries.update(balance=self.balance, split=list(self.split) if self.split else None,
                       globally_rigid=self.globally_rigid)
        if self.components:  # recorded only when asked, so datasets written without it keep their manifest
            entries["components"] = True
        return entries


def family_from(parameters: Mapping[str, Any], nodes: int, dim: int) -> Family | None:
    """The family recorded in a manifest's parameters (of a plan of nodes points in dimension dim);
    None for the complete-graph frameworks. The record is checked by resolving it again: a family
    whose resolved parameters are not exactly the record (an unknown name, a value of the wrong type
    or out of range) is refused with DatasetError."""
    if "family" not in parameters:
        return None
    fields = {field.name for field in dataclasses.fields(Family)}
    unknown = sorted(str(key) for key in set(parameters) - fields - {"family", "graphs", "nodes", "dim", "seed",
                                                                      "shard_size", "format"})
    if unknown:
        raise DatasetError(f"the manifest's parameters hold unknown entries {', '.join(unknown)}; "
                           "was it written by a later version?")
    recorded = {key: value for key, value in parameters.items() if key in fields or key == "family"}
    name = recorded["family"]
    if not isinstance(name, str) or name not in GRAPH_FAMILIES:
        raise DatasetError(f"the manifest's family {name!r} is none of {', '.join(GRAPH_FAMILIES)}")
    options = {key: value for key, value in recorded.items() if key not in ("family", "name")}
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


def _number(value: object, what: str, integral: bool) -> Any:
    """value as an int (integral) or a finite float; None stays None."""
    if value is None:
        return None
    if isinstance(value, (bool, str)):
        raise DatasetError(f"{what} must be {'an integer' if integral else 'a number'}, not {type(value).__name__}")
    if integral:
        try:
            return operator.index(value)  # type: ignore[arg-type]
        except TypeError:
            raise DatasetError(f"{what} must be an integer (got {value!r})") from None
    try:
        number = float(value)  # type: ignore[arg-type]
    except (TypeError, ValueError):
        raise DatasetError(f"{what} must be a number (got {value!r})") from None
    if not math.isfinite(number):
        raise DatasetError(f"{what} must be finite (got {number})")
    return number


def parse_split(split: object) -> tuple[float, ...] | None:
    """Split fractions from a string 'train,validation[,test]' or a sequence of two or three numbers."""
    if split is None:
        return None
    try:
        parts = split.split(",") if isinstance(split, str) else list(split)  # type: ignore[call-overload]
        fractions = tuple(float(part) for part in parts)
    except (TypeError, ValueError):
        raise DatasetError(f"--split takes two or three fractions such as 0.8,0.1,0.1 (got {split!r})") from None
    if len(fractions) not in (2, 3) or not all(math.isfinite(f) and f >= 0 for f in fractions):
        raise DatasetError(f"--split takes two or three fractions >= 0 such as 0.8,0.1,0.1 (got {split!r})")
    if abs(sum(fractions) - 1.0) > 1e-9:
        raise DatasetError(f"the --split fractions must add up to 1 (they add up to {sum(fractions):g})")
    return fractions


def make_family(name: str, nodes: int, dim: int, *, positions: str | None = None, order: str | None = None,
                edges: str | int | None = None, p: float | None = None, degree: int | float | None = None,
                radius: float | None = None, k: int | None = None, add: int | None = None,
                remove: int | None = None, flats: int | None = None, grid_size: int | None = None,
                balance: str | None = None, split: object = None, globally_rigid: bool = False,
                components: bool = False) -> Family | None:
    """The family asked for, every default resolved, or None for the complete-graph frameworks.
    Raises DatasetError with one line naming the problem for a bad value or combination."""
    given = {"positions": positions, "order": order, "edges": edges, "p": p, "degree": degree, "radius": radius,
             "k": k, "add": add, "remove": remove, "flats": flats, "grid_size": grid_size, "balance": balance,
             "split": split}
    if name not in FAMILIES:
        raise DatasetError(f"the family must be one of {', '.join(FAMILIES)} (got {name!r})")
    if name == "complete":
        extra = [key for key, value in given.items() if value is not None]
        extra += [key for key, value in (("globally_rigid", globally_rigid), ("components", components)) if value]
        if extra:
            flag = "--" + extra[0].replace("_", "-")
            raise DatasetError(f"{flag} applies to graph families ({', '.join(GRAPH_FAMILIES)}); --family complete "
                               "writes the frameworks of generate_training_batch as they are")
        return None
    n, d = nodes, dim
    pairs = n * (n - 1) // 2
    # Options of other families are refused by name, with the family they belong to.
    own = set(OPTIONS[name]) | ({"degree"} if name == "gnp" else set())
    for option in ("edges", "p", "degree", "radius", "k", "add", "remove"):
        if given[option] is not None and option not in own:
            owners = [family for family, names in OPTIONS.items() if option in names]
            if option == "degree":
                owners = ["gnp", "regular"]
            raise DatasetError(f"--{option} applies to --family {' or '.join(owners)}, not {name}")
    positions = positions or "generic"
    if positions not in POSITIONS:
        raise DatasetError(f"--positions must be one of {', '.join(POSITIONS)} (got {positions!r})")
    order = order or "given"
    if order not in ORDERS:
        raise DatasetError(f"--order must be given or random (got {order!r})")
    if positions == "planes" and d != 3:
        raise DatasetError("--positions planes needs --dim 3 (in the plane every point lies on one plane); "
                           "use lines for special positions in 2-D")
    if positions == "conic" and d != 2:
        raise DatasetError("--positions conic needs --dim 2: its points lie on an ellipse in the plane")
    flats_value = _number(flats, "--flats", True)
    if flats_value is not None and positions not in ("lines", "planes"):
        raise DatasetError("--flats applies to --positions lines or planes")
    grid_value = _number(grid_size, "--grid-size", True)
    if grid_value is not None and positions != "grid":
        raise DatasetError("--grid-size applies to --positions grid")
    if positions in ("lines", "planes"):
        flats_value = DEFAULT_FLATS if flats_value is None else flats_value
        if not 1 <= flats_value <= MAX_FLATS:
            raise DatasetError(f"--flats must be from 1 to 2**28 = {MAX_FLATS:,} (got {flats_value}); "
                               "beyond the points there are, more flats only spread them the same way")
    if positions == "grid":
        if grid_value is None:  # the smallest G with G^d >= 2n
            grid_value = max(2, int((2 * n) ** (1 / d)))
            while grid_value ** d < 2 * n:
                grid_value += 1
            while grid_value > 2 and (grid_value - 1) ** d >= 2 * n:
                grid_value -= 1
        if grid_value >= 1 and grid_value ** d > MAX_GRID_CELLS:
            raise DatasetError(f"--grid-size {grid_value} gives {grid_value ** d:,} cells in {d}-D, more than the "
                               f"2**32 - 1 that cells are drawn from; choose at most {_root(MAX_GRID_CELLS, d)}")
        if grid_value < 1 or grid_value ** d < n:
            raise DatasetError(f"--grid-size {grid_value} gives {max(grid_value, 0) ** d} cells, fewer than the "
                               f"{n} points (points take distinct cells); choose at least {math.ceil(n ** (1 / d))}")
    values: dict[str, Any] = {}
    if name == "gnm":
        m = edge_count(edges, n, d) if edges is not None else maxwell_count(n, d)
        if not 0 <= m <= pairs:
            raise DatasetError(f"--edges must be from 0 to the {pairs} pairs of {n} vertices (got {m})")
        values["edges"] = m
    elif name == "gnp":
        if p is not None and degree is not None:
            raise DatasetError("give --p or --degree (the expected degree, p = degree / (n - 1)), not both")
        if degree is not None:
            expected = _number(degree, "--degree", False)
            if not 0 <= expected <= n - 1:
                raise DatasetError(f"--degree must be from 0 to n - 1 = {n - 1} (got {expected:g})")
            probability = expected / (n - 1)
        else:
            probability = _number(p, "--p", False)
            if probability is None:
                probability = maxwell_count(n, d) / pairs  # as many edges as a rigid graph needs, on average
        if not 0.0 <= probability <= 1.0:
            raise DatasetError(f"--p must be from 0 to 1 (got {probability:g})")
        values["p"] = probability
    elif name == "geometric":
        value = _number(radius, "--radius", False)
        if value is None:
            raise DatasetError("--family geometric needs --radius R: points closer than R are joined "
                               "(uniform points lie in [0, 1)^d)")
        if value <= 0:
            raise DatasetError(f"--radius must be positive (got {value:g})")
        values["radius"] = value
    elif name == "knn":
        value = _number(k, "--k", True)
        value = d + 1 if value is None else value
        if not 1 <= value <= n - 1:
            raise DatasetError(f"--k must be from 1 to n - 1 = {n - 1} (got {value})")
        values["k"] = value
    elif name == "henneberg":
        if n < d:
            raise DatasetError(f"--family henneberg grows graphs from K_{d}: it needs at least {d} nodes (got {n})")
        base = maxwell_count(n, d)
        plus = _number(add, "--add", True) or 0
        minus = _number(remove, "--remove", True) or 0
        if not 0 <= plus <= pairs - base:
            raise DatasetError(f"--add must be from 0 to the {pairs - base} pairs that a minimally rigid graph on "
                               f"{n} vertices leaves free (got {plus})")
        if not 0 <= minus <= base + plus:
            raise DatasetError(f"--remove must be from 0 to the {base + plus} edges there are (got {minus})")
        values.update(add=plus, remove=minus)
    elif name == "regular":
        value = _number(degree, "--degree", True)
        value = 2 * d if value is None else value
        if not 0 <= value <= n - 1:
            raise DatasetError(f"--degree must be from 0 to n - 1 = {n - 1} for a regular graph (got {value})")
        if n * value % 2:
            raise DatasetError(f"no {value}-regular graph has {n} vertices (n times the degree must be even)")
        values["degree"] = value
    if balance is not None and balance not in BALANCES:
        raise DatasetError(f"--balance must be rigid (got {balance!r})")
    if globally_rigid and positions != "generic":
        raise DatasetError("--globally-rigid is decided in generic mode only: use --positions generic")
    family = Family(name=name, positions=positions, order=order, flats=flats_value, grid_size=grid_value,
                    balance=balance, split=parse_split(split), globally_rigid=bool(globally_rigid),
                    components=bool(components), **values)
    if balance is not None:
        _check_balance(family, n, d)
    return family


def _check_balance(family: Family, n: int, d: int) -> None:
    """Refuses a balanced dataset of a family that can only give one class (others are found out while drawing)."""
    rigid_edges = maxwell_count(n, d)
    only = None
    if family.name == "gnm" and family.edges is not None and family.edges < rigid_edges:
        only = f"fewer than the {rigid_edges} edges any rigid graph needs: every graph is flexible"
    elif family.name == "regular" and family.degree is not None and n * family.degree // 2 < rigid_edges:
        only = f"{n * family.degree // 2} edges, fewer than the {rigid_edges} a rigid graph needs"
    elif family.name == "gnp" and family.p in (0.0, 1.0) and not family.numeric:
        only = f"p = {family.p:g} gives a single graph"
    elif family.name == "henneberg" and family.numeric is False and family.remove == 0:
        only = "no edge removed from a rigid graph: every graph is rigid (use --remove)"
    elif family.name == "henneberg" and family.numeric is False and family.add == 0:
        only = "edges removed from a minimally rigid graph: every graph is flexible (use --add too)"
    if only:
        raise DatasetError(f"--balance rigid needs both rigid and flexible graphs, but this {family.name} family "
                           f"has {only}")
