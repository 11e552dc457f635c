"""telvora_graphs: the (2,3) pebble game on random sparse graphs, rigid components against PyRigi."""

from __future__ import annotations

import numpy as np

import peers
from harness import Case, Contender

TASK = "components"


def describe() -> list[tuple[str, str]]:
    return [(TASK, "telvora_graphs: `pebble_game` (the (2,3) game with components) on random graphs of 2, 2.5 "
             "and 3 edges per vertex, distinct pairs drawn uniformly, in the order drawn; `rigid_components` on "
             "random graphs of 2 (plane) or 3 (space) edges per vertex, generic mode, and of 2.5 edges per vertex "
             "in the plane (there the plain-Python game gives labels only: the check is that every edge it "
             "rejects lies inside one of our components); `rigidity_sweep` over the bonds of a periodic "
             "triangular lattice of L x L sites in random order, against `pebble_game` alone (what recording "
             "every edge costs) and the plain-Python game. PyRigi gets its Graph "
             "built beforehand (not timed); a PyRigi call is interrupted after 60 s (5 s with --quick).")]


def random_edges(n: int, m: int, seed: int) -> list[tuple[int, int]]:
    rng = np.random.default_rng(seed)
    seen: set[tuple[int, int]] = set()
    edges = []
    while len(edges) < m:
        for a, b in rng.integers(0, n, size=(m, 2)).tolist():
            pair = (min(a, b), max(a, b))
            if a != b and pair not in seen and len(edges) < m:
                seen.add(pair)
                edges.append(pair)
    return edges


class GraphInput:
    def __init__(self, n: int, m: int, seed: int):
        self.n = n
        self.edge_list = random_edges(n, m, seed)
        self.edges = np.array(self.edge_list, dtype=np.int64).reshape(-1, 2)
        self.graph = None

    def build_graph(self) -> None:
        if self.graph is None:
            self.graph = peers.pyrigi_graph(self.n, self.edge_list)


class LatticeInput:
    """The bonds of a periodic L x L triangular lattice in a random order."""

    def __init__(self, L: int, seed: int):
        import telvora_graphs as tg

        bonds = tg.triangular_lattice(L, periodic=True)
        self.n = L * L
        self.edges = np.ascontiguousarray(bonds[np.random.default_rng(seed).permutation(len(bonds))])
        self.edge_list = [tuple(pair) for pair in self.edges.tolist()]


def _same_sweep_labels(ours, theirs) -> str:
    return "labels identical" if np.array_equal(ours.labels, np.asarray(getattr(theirs, "labels", theirs))) \
        else "labels differ"


def _same_labels(ours, theirs) -> str:
    return "labels identical" if np.array_equal(ours.labels, theirs) else "labels differ"


def _rejected_inside(ours, theirs) -> str:
    """Our components against the peer's (edges, labels): every edge it rejects lies in one of them."""
    edges, labels = theirs
    member: dict[int, set[int]] = {}
    for index, component in enumerate(ours):
        for v in component.tolist():
            member.setdefault(v, set()).add(index)
    outside = sum(1 for (u, v), label in zip(edges, labels.tolist())
                  if not label and not member.get(u, set()) & member.get(v, set()))
    return "every rejected edge inside a component" if outside == 0 else f"{outside} rejected edges outside"


def _same_components(ours, theirs) -> str:
    mine = sorted(c.tolist() for c in ours)
    return "same components" if mine == theirs else f"{len(mine)} components vs {len(theirs)} (sets differ)"


def cases(quick: bool, have_pyrigi: bool) -> list[Case]:
    import telvora_graphs as tg

    # PyRigi's components in space can take far longer than any budget: one call is interrupted
    # past this many seconds and reported as failed.
    pyrigi_timeout = 5.0 if quick else 60.0
    out = []
    sizes = [1000, 10000] if quick else [1000, 10000, 100000]
    for per_vertex in (2, 2.5, 3):
        for n in sizes:
            contenders = [
                Contender("telvora", lambda inp: tg.pebble_game(inp.edges, inp.n), budgeted=False),
                Contender("python-kl-game", lambda inp: peers.python_pebble_game_on(inp.n, inp.edge_list),
                          exponent=2.0),
            ]
            out.append(Case(task=TASK, variant=f"(2,3) game, m = {per_vertex}n", n=n, d=2,
                            make_input=lambda n=n, m=int(per_vertex * n): GraphInput(n, m, n), contenders=contenders,
                            compare=_same_labels, largest=(n == sizes[-1])))
    # The size the components are promised for: 100,000 vertices and 250,000 edges in the plane.
    for n in sizes:
        contenders = [
            Contender("telvora", lambda inp: tg.rigid_components(inp.edges, 2, n=inp.n), budgeted=False),
            Contender("python-kl-game",
                      lambda inp: (inp.edge_list, peers.python_pebble_game_on(inp.n, inp.edge_list)), exponent=2.0),
        ]
        out.append(Case(task=TASK, variant="rigid components, m = 2.5n", n=n, d=2,
                        make_input=lambda n=n: GraphInput(n, 5 * n // 2, n), contenders=contenders,
                        compare=_rejected_inside, largest=(n == sizes[-1])))
    # Rigidity percolation: bonds of a periodic triangular lattice in random order, one sweep; the
    # promised size is 10^6 sites (3 x 10^6 bonds). The plain game checks the labels where it finishes.
    for L in ([64, 256] if quick else [64, 256, 512, 1000]):
        contenders = [
            Contender("telvora", lambda inp: tg.rigidity_sweep(inp.edges, inp.n), budgeted=False),
            Contender("telvora-pebble-game", lambda inp: tg.pebble_game(inp.edges, inp.n), budgeted=False),
            Contender("python-kl-game", lambda inp: peers.python_pebble_game_on(inp.n, inp.edge_list), exponent=2.0),
        ]
        out.append(Case(task=TASK, variant="sweep, triangular lattice", n=L * L, d=2,
                        make_input=lambda L=L: LatticeInput(L, seed=L), contenders=contenders,
                        compare=_same_sweep_labels, largest=(L == (256 if quick else 1000))))
    for d in (2, 3):
        component_sizes = [30, 100] if quick else [30, 100, 300]
        for n in component_sizes:
            contenders = [Contender("telvora", lambda inp, d=d: tg.rigid_components(inp.edges, d, n=inp.n),
                                    budgeted=False)]
            if have_pyrigi:
                contenders.append(Contender("pyrigi-components",
                                            lambda inp, d=d: peers.pyrigi_rigid_components(inp.graph, d,
                                                                                           pyrigi_timeout),
                                            exponent=3.0, prepare=GraphInput.build_graph))
            out.append(Case(task=TASK, variant=f"rigid components, m = {d}n", n=n, d=d,
                            make_input=lambda n=n, d=d: GraphInput(n, d * n, 7 * n + d), contenders=contenders,
                            compare=_same_components, largest=(n == component_sizes[-1])))
    return out
