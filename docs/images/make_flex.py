"""Draws docs/images/flex.png: K_{3,3} with its six points on a circle, its one flex and its one self-stress.

    python docs/images/make_flex.py
"""

from pathlib import Path

import matplotlib

matplotlib.use("Agg")

import numpy as np  # noqa: E402

import telvora_graphs as tg  # noqa: E402
from telvora_datasets.plotting import plot_framework  # noqa: E402

# Generic K_{3,3} in the plane is rigid (9 bars, 2*6 - 3 = 9). With all six points on a conic the
# bars carry a self-stress and the framework gains an infinitesimal flex.
angles = np.radians([90, 200, 320, 20, 145, 260])  # sides {0, 1, 2} and {3, 4, 5}
coords = np.stack([np.cos(angles), np.sin(angles)], axis=1)
edges = [(a, b) for a in range(3) for b in range(3, 6)]
flex, stress = tg.motions(edges, coords), tg.stresses(edges, coords)
artists = plot_framework(coords, edges=edges, motion=flex.vectors[0], stress=stress.vectors[0],
                         title="K3,3 on a circle: its flex and its self-stress")
out = Path(__file__).with_name("flex.png")
artists.figure.savefig(out, dpi=110)
print(f"{out}: k = {flex.k}, s = {stress.s}, residuals {flex.residuals[0]:.1e}, {stress.residuals[0]:.1e}")
