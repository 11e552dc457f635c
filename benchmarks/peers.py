"""What a user would write instead of calling telvora, plus the PyRigi wrappers.

These are deliberately the straightforward versions: the greedy labelling tests every new
rigidity-matrix row with `numpy.linalg.matrix_rank` of the accepted rows plus the new one, the
pebble game is plain Python, and classical scaling uses `numpy.linalg.eigh`. None of this is part
of the package.
"""

from __future__ import annotations

import math
import warnings

import numpy as np

MULTIPLIER = 6364136223846793005
INCREMENT = 1442695040888963407
MASK = (1 << 64) - 1


# ----------------------------------------------------------------------------------------------
# inputs


def lcg_points(n_nodes: int, d: int, seed: int) -> np.ndarray:
    """The points of one framework of telvora's training batch (framework k uses seed + k)."""
    state, values = seed & MASK, []
    for _ in range(n_nodes * d):
        state = (state * MULTIPLIER + INCREMENT) & MASK
        values.append((float(state >> 33) / 4294967295.0) * 10.0)
    return np.array(values, dtype=np.float64).reshape(n_nodes, d)


def random_points(n: int, d: int, seed: int) -> np.ndarray:
    return np.random.default_rng(seed).uniform(0.0, 5.0, size=(n, d))


def degenerate_points(n: int, d: int, seed: int) -> np.ndarray:
    """All points on one line (d = 2) or in one plane (d = 3): the fast path cannot reach full
    rank, and the greedy pass has to test every pair."""
    rng = np.random.default_rng(seed)
    pts = rng.uniform(0.0, 5.0, size=(n, d))
    if d == 2:
        pts[:, 1] = 0.5 * pts[:, 0]
    else:
        pts[:, 2] = 0.5 * pts[:, 0] + 0.25 * pts[:, 1]
    return pts


def partly_degenerate_points(n: int, d: int, seed: int) -> np.ndarray:
    """General position except that the first d + 1 points lie on a line: the prefix of the first
    max_rank pairs is dependent, so the labelling takes the greedy route but still stops early."""
    pts = random_points(n, d, seed)
    pts[: d + 1] = 0.0
    pts[: d + 1, 0] = np.arange(d + 1, dtype=np.float64)
    return pts


def distance_matrix(points: np.ndarray) -> np.ndarray:
    diff = points[:, None, :] - points[None, :, :]
    return np.sqrt((diff * diff).sum(axis=-1))


def max_rank(n: int, d: int) -> int:
    return max(0, n * d - d * (d + 1) // 2)


# ----------------------------------------------------------------------------------------------
# greedy labelling with NumPy


def rigidity_row(points: np.ndarray, i: int, j: int) -> np.ndarray:
    n, d = points.shape
    row = np.zeros(n * d)
    diff = points[i] - points[j]
    row[d * i: d * i + d] = diff
    row[d * j: d * j + d] = -diff
    return row


def numpy_greedy(points: np.ndarray, d: int) -> dict:
    """Label every pair (i, j), i < j, in lexicographic order: independent when appending its row
    raises the rank of the accepted rows. Stops testing once max_rank is reached."""
    n = points.shape[0]
    mr = max_rank(n, d)
    n_edges = n * (n - 1) // 2
    labels = np.zeros(n_edges, dtype=np.uint8)
    accepted_rows = np.empty((max(mr, 1), n * d))
    accepted, rank, k = [], 0, 0
    for i in range(n):
        for j in range(i + 1, n):
            if rank == mr:
                break
            accepted_rows[rank] = rigidity_row(points, i, j)
            if np.linalg.matrix_rank(accepted_rows[: rank + 1]) > rank:
                labels[k] = 1
                accepted.append((i, j))
                rank += 1
            k += 1
        if rank == mr:
            break
    return {"labels": labels, "accepted_edges": accepted, "distance_matrix": distance_matrix(points),
            "final_rank": rank, "max_rank": mr, "is_rigid": rank == mr}


def numpy_prefix(points: np.ndarray, d: int) -> dict:
    """The shortcut a careful user would take: one SVD rank of the first max_rank rows; when they
    are independent every label is known, otherwise fall back to the greedy labelling."""
    n = points.shape[0]
    mr = max_rank(n, d)
    rows, edges = [], []
    for i in range(min(d, n)):
        for j in range(i + 1, n):
            if len(rows) == mr:
                break
            rows.append(rigidity_row(points, i, j))
            edges.append((i, j))
    if rows and np.linalg.matrix_rank(np.array(rows)) == mr:
        labels = np.zeros(n * (n - 1) // 2, dtype=np.uint8)
        labels[:mr] = 1
        return {"labels": labels, "accepted_edges": edges, "distance_matrix": distance_matrix(points),
                "final_rank": mr, "max_rank": mr, "is_rigid": True}
    return numpy_greedy(points, d)


# ----------------------------------------------------------------------------------------------
# (2,3) pebble game over the complete graph, plain Python


def _collect_pebble(start: int, other: int, pebbles: list, out: list) -> bool:
    """Depth-first search from start along out-edges for a free pebble on a node other than the
    two endpoints; on success the path is reversed and the pebble ends up on start."""
    parent = {start: -1, other: -1}
    stack = [start]
    while stack:
        x = stack.pop()
        for y in out[x]:
            if y in parent:
                continue
            parent[y] = x
            if pebbles[y] > 0:
                pebbles[y] -= 1
                while y != start:
                    p = parent[y]
                    out[p].remove(y)
                    out[y].append(p)
                    y = p
                pebbles[start] += 1
                return True
            stack.append(y)
    return False


def python_pebble_game(n: int) -> dict:
    pebbles = [2] * n
    out: list[list[int]] = [[] for _ in range(n)]
    labels = bytearray(n * (n - 1) // 2)
    accepted = []
    k = 0
    for u in range(n):
        for v in range(u + 1, n):
            while pebbles[u] + pebbles[v] < 4:
                if not (_collect_pebble(u, v, pebbles, out) or _collect_pebble(v, u, pebbles, out)):
                    break
            if pebbles[u] + pebbles[v] >= 4:
                pebbles[u] -= 1
                out[u].append(v)
                labels[k] = 1
                accepted.append((u, v))
            k += 1
    return {"labels": np.frombuffer(bytes(labels), dtype=np.uint8), "accepted_edges": accepted}


def python_pebble_game_on(n: int, edges: list[tuple[int, int]]) -> np.ndarray:
    """The plain-Python (2,3) pebble game on any edge list, in order; labels only."""
    pebbles = [2] * n
    out: list[list[int]] = [[] for _ in range(n)]
    labels = np.zeros(len(edges), dtype=np.uint8)
    for k, (u, v) in enumerate(edges):
        while pebbles[u] + pebbles[v] < 4:
            if not (_collect_pebble(u, v, pebbles, out) or _collect_pebble(v, u, pebbles, out)):
                break
        if pebbles[u] + pebbles[v] >= 4:
            if pebbles[u] > 0:
                pebbles[u] -= 1
                out[u].append(v)
            else:
                pebbles[v] -= 1
                out[v].append(u)
            labels[k] = 1
    return labels


def pyrigi_graph(n: int, edges: list[tuple[int, int]]):
    from pyrigi import Graph
    Graph.silence_rand_alg_warns = True
    return Graph.from_vertices_and_edges(list(range(n)), edges)


def pyrigi_rigid_components(graph, d: int, timeout: float | None = None) -> list[list[int]]:
    """PyRigi's rigid components of two or more vertices, sorted. With timeout (seconds) the call is
    interrupted by SIGALRM (PyRigi is pure Python) and TimeoutError raised, so that one size it
    cannot finish does not stall the run."""
    import signal

    def interrupt(signum, frame):
        raise TimeoutError(f"over {timeout:.0f} s")

    previous = signal.signal(signal.SIGALRM, interrupt) if timeout else None
    if timeout:
        signal.setitimer(signal.ITIMER_REAL, timeout)
    try:
        components = graph.rigid_components(dim=d)
    finally:
        if timeout:
            signal.setitimer(signal.ITIMER_REAL, 0)
            signal.signal(signal.SIGALRM, previous)
    return sorted(sorted(c) for c in components if len(c) >= 2)


# ----------------------------------------------------------------------------------------------
# classical scaling with NumPy


def numpy_gram(dist: np.ndarray) -> np.ndarray:
    sq = dist * dist
    row_means = sq.mean(axis=1)
    grand = row_means.mean()
    return -0.5 * (sq - row_means[:, None] - row_means[None, :] + grand)


def numpy_reconstruct(dist: np.ndarray, d: int, tol: float = 1e-6) -> dict:
    n = dist.shape[0]
    values, vectors = np.linalg.eigh(numpy_gram(dist))
    order = np.argsort(values)[::-1][:d]
    values, vectors = values[order], vectors[:, order]
    coords = vectors * np.sqrt(np.where(values > 0.0, values, 0.0))
    iu = np.triu_indices(n, 1)
    diff = coords[:, None, :] - coords[None, :, :]
    delta = np.sqrt((diff * diff).sum(axis=-1))[iu]
    target = dist[iu]
    den = float((target * target).sum())
    stress = 0.0 if den < 1e-15 else math.sqrt(float(((target - delta) ** 2).sum()) / den)
    return {"coords": coords, "stress": stress, "eigenvalues": values, "is_isometric": stress < tol}


# ----------------------------------------------------------------------------------------------
# PyRigi (installed only by the benchmark command)


def pyrigi_version() -> str | None:
    try:
        from importlib.metadata import version
        import pyrigi  # noqa: F401
        return version("pyrigi")
    except Exception:  # not installed, or broken: its rows say so
        return None


def pyrigi_framework(points: np.ndarray):
    from pyrigi import Framework
    with warnings.catch_warnings():
        warnings.simplefilter("ignore")
        return Framework.Complete(points.tolist())


def pyrigi_rank(points: np.ndarray) -> int:
    """Numerical rank of the rigidity matrix of the framework on the complete graph."""
    with warnings.catch_warnings():
        warnings.simplefilter("ignore")
        framework = pyrigi_framework(points)
        return int(framework.rigidity_matrix_rank(numerical=True))


def pyrigi_inf_rigid(points: np.ndarray) -> bool:
    with warnings.catch_warnings():
        warnings.simplefilter("ignore")
        return bool(pyrigi_framework(points).is_inf_rigid(numerical=True))


def pyrigi_complete_graph(n: int):
    from pyrigi import Graph
    return Graph.from_vertices_and_edges(list(range(n)), [(i, j) for i in range(n) for j in range(i + 1, n)])


def pyrigi_pebble(graph) -> list:
    """Maximal (2,3)-sparse spanning subgraph found by PyRigi's pebble game, as sorted edges."""
    sub = graph.spanning_kl_sparse_subgraph(2, 3)
    return sorted(tuple(sorted(e)) for e in sub.edge_list())
