"""Draws docs/images/components.png: a framework in the plane coloured by rigid component.

    python docs/images/make_components.py
"""

from pathlib import Path

import matplotlib

matplotlib.use("Agg")

import numpy as np  # noqa: E402

import telvora_graphs as tg  # noqa: E402
from telvora_datasets.plotting import plot_framework  # noqa: E402

# Two braced quadrilaterals sharing vertex 3, a triangle hanging from vertex 7 by one vertex, and a
# two-bar chain: four rigid components, two of them sharing a vertex.
coords = np.array([[0, 0], [1.2, -0.2], [1.5, 1.0], [0.3, 1.2], [-0.6, 2.2], [0.4, 3.0], [1.4, 2.3],
                   [2.6, 1.6], [3.4, 2.4], [3.6, 1.1], [2.2, -0.6], [3.2, -0.9]])
edges = np.array([(0, 1), (1, 2), (2, 3), (3, 0), (0, 2), (1, 3),
                  (3, 4), (4, 5), (5, 6), (6, 3), (4, 6),
                  (2, 7), (7, 8), (8, 9), (9, 7),
                  (1, 10), (10, 11)])
components = tg.rigid_components(edges, 2, coords=coords)
artists = plot_framework(coords, edges=edges, components=components, title="rigid components")
out = Path(__file__).with_name("components.png")
artists.figure.savefig(out, dpi=110)
print(f"{out}: {[c.tolist() for c in components]}")
