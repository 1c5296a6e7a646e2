"""A polycrystal in a few lines: build eight copper grains, classify their
atoms with common neighbour analysis, print the counts per structure and
plot the share of fcc atoms along x.

    PYTHONPATH=build/python /usr/bin/python3 examples/polycrystal_cna.py [picture.png]
"""
import os
import sys
import tempfile

import matplotlib

matplotlib.use("Agg")  # no display needed
import matplotlib.pyplot as plt
import numpy as np

import quelm

picture = sys.argv[1] if len(sys.argv) > 1 else "polycrystal_fcc.png"

with tempfile.TemporaryDirectory() as folder:
    # The grains' template: one copper cell, written where the generator reads it.
    template = os.path.join(folder, "cu.lmp")
    quelm.write(quelm.monocrystal(structure="fcc", a=3.615, elements=["Cu"]), template)
    grains = quelm.polycrystal(text=f"""mode 3D
box 120 60 60
seed 11
random 8
build {template} 8
0 0 0
""")
print(f"{len(grains)} atoms in a {' x '.join(f'{l:.0f}' for l in np.diag(grains.cell))} Å box")

result = quelm.analyse(grains, "cna", add_columns=True)
for name, count in result["summary"].items():
    print(f"{name:>10}: {count:7d}  ({100 * count / len(grains):.1f} %)")

# The share of fcc atoms in slabs along x (CNA class 1 is fcc).
x = grains.positions[:, 0]
fcc = result["cna"] == 1
edges = np.linspace(0, grains.cell[0, 0], 41)
slab = np.digitize(x, edges) - 1
share = np.array([fcc[slab == k].mean() for k in range(len(edges) - 1)])
middle = (edges[:-1] + edges[1:]) / 2

plt.figure(figsize=(6.4, 3.6))
plt.plot(middle, share, marker="o", markersize=3)
plt.xlabel("x (Å)")
plt.ylabel("fcc share")
plt.ylim(0, 1)
plt.title(f"Eight copper grains: fcc atoms along x ({100 * fcc.mean():.1f} % in all)")
plt.tight_layout()
plt.savefig(picture, dpi=100)
print(f"picture written to {picture}")
