"""Plain-Python oracles written straight from the documented arithmetic.

Python floats are IEEE doubles and Python never fuses a multiply with an add, so these give the
same bits as the native code when they follow the same order of operations.
"""

import math

MULTIPLIER = 6364136223846793005
INCREMENT = 1442695040888963407
MASK = (1 << 64) - 1


def random_points(n_nodes, d, seed):
    state, points = seed, []
    for _ in range(n_nodes):
        row = []
        for _ in range(d):
            state = (state * MULTIPLIER + INCREMENT) & MASK
            row.append((float(state >> 33) / 4294967295.0) * 10.0)
        points.append(row)
    return points


def distance(a, b):
    s = -0.0
    for x, y in zip(a, b):
        diff = x - y
        s = s + diff * diff
    return math.sqrt(s) if not (s < 0) else float("nan")


def rigidity_row(points, i, j):
    dim = len(points[0])
    row = [0.0] * (len(points) * dim)
    for k in range(dim):
        diff = points[i][k] - points[j][k]
        row[dim * i + k] = diff
        row[dim * j + k] = -diff
    return row


class RankChecker:
    def __init__(self, tol, largest_pivot=False):
        self.tol, self.largest_pivot = tol, largest_pivot
        self.rows, self.pivots = [], []
        self.non_finite = False

    def add_row(self, row):
        tol = self.tol
        for stored, p in zip(self.rows, self.pivots):
            v = row[p]
            if abs(v) > tol:
                row = [x - s * v for x, s in zip(row, stored)]
        if not all(math.isfinite(x) for x in row):
            self.non_finite = True
        candidates = [k for k, x in enumerate(row) if abs(x) > tol]
        if not candidates:
            return False
        pivot = candidates[0]
        if self.largest_pivot:
            for k in candidates:
                if abs(row[k]) > abs(row[pivot]):
                    pivot = k
        pv = row[pivot]
        row = [_divide(x, pv) for x in row]
        for index, stored in enumerate(self.rows):
            f = stored[pivot]
            if abs(f) > tol:
                self.rows[index] = [s - x * f for s, x in zip(stored, row)]
        self.rows.append(row)
        self.pivots.append(pivot)
        return True

    @property
    def rank(self):
        return len(self.rows)

    def broke_down(self):
        return self.non_finite or any(not math.isfinite(x) for row in self.rows for x in row)


class ColumnwiseRankChecker(RankChecker):
    """The same checker with each step applied to all columns at once by NumPy.

    NumPy's elementwise multiply, subtract and divide are single IEEE operations, applied one
    after the other, so every entry sees the same operations as in RankChecker; only the loop
    over the columns moves into NumPy, which makes frameworks of hundreds of columns affordable.
    """

    def add_row(self, row):
        import numpy as np

        tol = self.tol
        row = np.array(row, dtype=np.float64)
        with np.errstate(all="ignore"):
            for stored, p in zip(self.rows, self.pivots):
                v = row[p]
                if abs(v) > tol:
                    row = row - stored * v
            if not np.isfinite(row).all():
                self.non_finite = True
            candidates = np.flatnonzero(np.abs(row) > tol)
            if candidates.size == 0:
                return False
            pivot = int(candidates[0])
            if self.largest_pivot:
                pivot = int(candidates[np.argmax(np.abs(row[candidates]))])
            row = row / row[pivot]
            for index, stored in enumerate(self.rows):
                f = stored[pivot]
                if abs(f) > tol:
                    self.rows[index] = stored - row * f
        self.rows.append(row)
        self.pivots.append(pivot)
        return True

    def broke_down(self):
        import numpy as np

        return self.non_finite or any(not np.isfinite(row).all() for row in self.rows)


def _divide(x, y):
    """IEEE division, which Python refuses for a zero divisor (reachable with a negative tol)."""
    if y != 0 or math.isnan(y):
        return x / y
    if x == 0 or math.isnan(x):
        return math.nan
    return math.copysign(math.inf, x) * math.copysign(1.0, y)


def max_rank(n, d):
    # Fewer points than dimensions: every pair of them is independent.
    return n * (n - 1) // 2 if n < d else n * d - d * (d + 1) // 2


def _greedy(points, edges, checker, mr):
    labels = []
    for i, j in edges:
        labels.append(1 if checker.add_row(rigidity_row(points, i, j)) else 0)
        if checker.rank == mr:
            break
    return labels + [0] * (len(edges) - len(labels))


def _retry_applies(points, tol):
    return math.isfinite(tol) and tol >= 0 and all(math.isfinite(x) for p in points for x in p)


def simulate(points, d, tol=1e-9, fast_path=True, checker_class=RankChecker):
    """Labels and final rank of the fast-path simulation (or the standard one)."""
    n = len(points)
    edges = [(i, j) for i in range(n) for j in range(i + 1, n)]
    mr = max_rank(n, d)
    retry = _retry_applies(points, tol)
    for largest in (False, True):
        may_retry = retry and not largest
        if fast_path:
            prefix = checker_class(tol, largest)
            for i, j in edges[:mr]:
                prefix.add_row(rigidity_row(points, i, j))
            if prefix.broke_down() and may_retry:
                continue
            if prefix.rank == mr:
                return [1] * mr + [0] * (len(edges) - mr), mr
        checker = checker_class(tol, largest)
        labels = _greedy(points, edges, checker, mr)
        if checker.broke_down() and may_retry:
            continue
        return labels, checker.rank
    raise AssertionError("unreachable")
