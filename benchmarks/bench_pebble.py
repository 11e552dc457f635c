"""pebble_game: the (2,3) pebble game over the complete graph on n nodes."""

from __future__ import annotations

import numpy as np

import peers
import telvora
from harness import Case, Contender

TASK = "pebble"


def describe() -> list[tuple[str, str]]:
    return [(TASK, "pebble_game: every pair of the complete graph on n nodes, in lexicographic order. "
            "PyRigi gets its complete graph built beforehand (not timed), as telvora gets its array.")]


class PebbleInput:
    def __init__(self, n: int):
        self.n = n
        self.coords = np.zeros((n, 2))
        self.graph = None

    def build_graph(self) -> None:
        if self.graph is None:
            self.graph = peers.pyrigi_complete_graph(self.n)


def _compare(ours: dict, theirs) -> str:
    if isinstance(theirs, dict):
        return "labels identical" if np.array_equal(ours["labels"], theirs["labels"]) else "labels differ"
    mine = sorted(ours["accepted_edges"])
    if mine == theirs:
        return "same independent edge set"
    return f"{len(theirs)} independent edges vs {len(mine)} (sets differ)"


def cases(quick: bool, have_pyrigi: bool) -> list[Case]:
    sizes = [100, 300, 1000] if quick else [100, 300, 1000, 3000]
    out = []
    for n in sizes:
        contenders = [
            Contender("telvora", lambda inp: telvora.pebble_game(inp.coords, 2), budgeted=False),
            Contender("python-pebble", lambda inp: peers.python_pebble_game(inp.n), exponent=2.0),
        ]
        if have_pyrigi:
            contenders.append(Contender("pyrigi-pebble", lambda inp: peers.pyrigi_pebble(inp.graph),
                                        exponent=2.0, prepare=PebbleInput.build_graph))
        out.append(Case(task=TASK, variant="complete graph", n=n, d=2,
                        make_input=lambda n=n: PebbleInput(n), contenders=contenders,
                        compare=_compare, largest=(n == sizes[-1])))
    return out
