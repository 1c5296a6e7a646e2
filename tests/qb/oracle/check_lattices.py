#!/usr/bin/python3
"""Checks the lattice generators against ASE and spglib, and writes the
fixture tests/qb/fixtures/lattice_ase.txt that the unit tests compare with.

Needs the Debian packages python3-ase and python3-spglib, and a build with
the lattice_dump helper:  /usr/bin/python3 tests/qb/oracle/check_lattices.py build
"""
import os
import subprocess
import sys

import numpy as np
import spglib
from ase.lattice.cubic import BodyCenteredCubic, FaceCenteredCubic
from ase.lattice.hexagonal import HexagonalClosedPacked

HERE = os.path.dirname(os.path.abspath(__file__))
BUILD = sys.argv[1] if len(sys.argv) > 1 else "build"
DUMP = os.path.join(BUILD, "tests", "lattice_dump")

CUBIC = [
    ("fcc", 3.615, [[1, 0, 0], [0, 1, 0], [0, 0, 1]]),
    ("fcc", 3.615, [[1, 1, 0], [-1, 1, 0], [0, 0, 1]]),
    ("fcc", 3.615, [[1, 1, 1], [1, -1, 0], [1, 1, -2]]),
    ("fcc", 4.05, [[1, 1, 2], [-1, 1, 0], [-1, -1, 1]]),
    ("fcc", 4.05, [[2, 1, 0], [-1, 2, 0], [0, 0, 1]]),
    ("bcc", 2.87, [[1, 0, 0], [0, 1, 0], [0, 0, 1]]),
    ("bcc", 2.87, [[1, 1, 1], [1, -1, 0], [1, 1, -2]]),
    ("bcc", 3.3, [[1, 1, 0], [-1, 1, 0], [0, 0, 1]]),
    ("bcc", 3.3, [[1, 1, 2], [-1, 1, 0], [-1, -1, 1]]),
]
HCP = [
    (3.21, 5.21, [[1, 0, 0], [1, 2, 0], [0, 0, 1]]),
    (2.95, 4.68, [[1, -1, 0], [1, 1, 0], [0, 0, 1]]),
    (3.21, 5.21, [[0, 0, 1], [1, 0, 0], [1, 2, 0]]),
]
SPACE_GROUP = {"fcc": 225, "bcc": 229, "hcp": 194}


def ours(kind, params, dirs):
    args = [DUMP, kind] + [repr(p) for p in params] + [str(v) for d in dirs for v in d]
    lines = subprocess.run(args, check=True, capture_output=True, text=True).stdout.split("\n")
    head = lines[0].split()
    n = int(head[1])
    box = np.array([float(v) for v in head[2:5]])
    pos = np.array([[float(v) for v in line.split()[1:4]] for line in lines[1 : 1 + n]]).reshape(-1, 3)
    return float(head[0]), box, pos


def same_sites(box, a, b, tol=1e-6):
    if len(a) != len(b):
        return False
    for p in a:
        d = b - p
        d -= np.round(d / box) * box
        if np.min(np.linalg.norm(d, axis=1)) > tol:
            return False
    return True


def space_group(box, pos):
    cell = np.diag(box)
    return spglib.get_spacegroup((cell, pos / box, [1] * len(pos)), symprec=1e-3)


def main():
    failures = 0
    fixture = []
    for kind, a, dirs in CUBIC:
        measure, box, pos = ours(kind, [a], dirs)
        maker = FaceCenteredCubic if kind == "fcc" else BodyCenteredCubic
        ref = maker(directions=dirs, size=(1, 1, 1), symbol="Cu", latticeconstant=a, pbc=True)
        reps = box / ref.cell.lengths()
        ok = np.allclose(reps, np.round(reps), atol=1e-9)
        ref = ref.repeat([int(round(r)) for r in reps])
        ref_pos = ref.get_positions()
        ok = ok and same_sites(box, pos, ref_pos) and measure == 0
        sg = space_group(box, pos)
        ok = ok and f"({SPACE_GROUP[kind]})" in sg
        print(f"{kind} {dirs}: {len(pos)} atoms, ASE {len(ref_pos)}, {sg}: {'ok' if ok else 'MISMATCH'}")
        failures += not ok
        fixture.append(f"{kind} {a!r} " + " ".join(str(v) for d in dirs for v in d) + f" {len(ref_pos)}")
        fixture += [f"{x:.10f} {y:.10f} {z:.10f}" for x, y, z in ref_pos]
    for a, c, dirs in HCP:
        measure, box, pos = ours("hcp", [a, c], dirs)
        four = [[2 * u - v, 2 * v - u, -(u + v), 3 * w] for u, v, w in dirs]
        ref = HexagonalClosedPacked(directions=four, size=(1, 1, 1), symbol="Mg", latticeconstant={"a": a, "c": c})
        volume = np.prod(box)
        expected = int(round(volume / (np.sqrt(3) / 2 * a * a * c / 2)))
        sg = space_group(box, pos)
        ok = len(pos) == expected and f"({SPACE_GROUP['hcp']})" in sg and abs(measure) < 1e-9
        ok = ok and abs(ref.get_volume() / len(ref) - volume / len(pos)) < 1e-9
        print(f"hcp {dirs}: {len(pos)} atoms, density count {expected}, {sg}: {'ok' if ok else 'MISMATCH'}")
        failures += not ok
    with open(os.path.join(HERE, "..", "fixtures", "lattice_ase.txt"), "w") as f:
        f.write("\n".join(fixture) + "\n")
    return 1 if failures else 0


if __name__ == "__main__":
    sys.exit(main())
