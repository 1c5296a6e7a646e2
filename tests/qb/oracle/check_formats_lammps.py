#!/usr/bin/python3
"""Checks that LAMMPS (Debian package lammps, program lmp) accepts the data
files and dumps we write and reads the same atoms from them.

For each structure it converts the file with quelm-batch to .lmp and .lmc,
lets LAMMPS read_data the one and read_dump the other, and compares the
atoms LAMMPS dumps back with ours (fractional coordinates modulo the cell).
The files of one LAMMPS run in all their forms (lammps_hot*: dump atom,
wrapped, unwrapped and scaled custom dumps, data files of several atom
styles) must moreover come back from LAMMPS at the positions of the run's
reference dump (lammps_hot*_ref.dump), within the digits each file carries.
Run from the repository root after a build:
    /usr/bin/python3 tests/qb/oracle/check_formats_lammps.py build
"""
import glob
import os
import subprocess
import sys
import tempfile

import numpy as np

BUILD = sys.argv[1] if len(sys.argv) > 1 else "build"
BATCH = os.path.join(BUILD, "app", "quelm-batch")
FIXTURES = os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "fixtures", "formats")

SCRIPT = """units metal
atom_style atomic
boundary p p p
read_data {data}
mass * 1.0
pair_style zero 3.0
pair_coeff * *
write_dump all custom {out_data} id type x y z modify format float %.12g sort id
read_dump {dump} 0 x y z box yes replace yes
write_dump all custom {out_dump} id type x y z modify format float %.12g sort id
"""


def read_lammps_dump(path):
    lines = open(path).read().split("\n")
    n = int(lines[3])
    bounds = [list(map(float, lines[5 + k].split())) for k in range(3)]
    rows = np.array([list(map(float, l.split())) for l in lines[9 : 9 + n]])
    if len(bounds[0]) == 3:
        xy, xz, yz = bounds[0][2], bounds[1][2], bounds[2][2]
        xlo = bounds[0][0] - min(0, xy, xz, xy + xz)
        xhi = bounds[0][1] - max(0, xy, xz, xy + xz)
        ylo = bounds[1][0] - min(0, yz)
        yhi = bounds[1][1] - max(0, yz)
        lo = np.array([xlo, ylo, bounds[2][0]])
        h = np.array([[xhi - xlo, 0, 0], [xy, yhi - ylo, 0], [xz, yz, bounds[2][1] - bounds[2][0]]])
    else:
        lo = np.array([b[0] for b in bounds])
        h = np.diag([b[1] - b[0] for b in bounds])
    return rows, lo, h


def read_our_data(path):
    text = open(path).read().split("\n")
    n = int(text[1].split()[0])
    start = text.index("Atoms") + 2
    return np.array([list(map(float, l.split())) for l in text[start : start + n]])


def same_atoms(ours, theirs, lo, h):
    if len(ours) != len(theirs):
        return False
    ours = ours[np.argsort(ours[:, 0])]
    inv = np.linalg.inv(h)
    for a, b in zip(ours, theirs):
        if a[0] != b[0] or a[1] != b[1]:
            return False
        f = (a[2:5] - b[2:5]) @ inv
        f -= np.round(f)
        if np.linalg.norm(f @ h) > 1e-5:
            return False
    return True


def original_ids(path):
    """Atom ids of a fixture in file order (our writers renumber triclinic
    records 1 ... N in that order)."""
    lines = open(path).read().split("\n")
    if lines[0].startswith("ITEM:"):
        at = next(k for k, l in enumerate(lines) if l.startswith("ITEM: ATOMS"))
        names = lines[at].split()[2:]
        n = int(lines[3])
        rows = [l.split() for l in lines[at + 1 : at + 1 + n]]
        return [int(r[names.index("id")]) for r in rows] if "id" in names else list(range(1, n + 1))
    at = next(k for k, l in enumerate(lines) if l.split()[:1] == ["Atoms"])
    rows = [l.split() for l in lines[at + 1 :] if l.strip()]
    n = int(next(l for l in lines if l.strip().endswith(" atoms")).split()[0])
    return [int(r[0]) for r in rows[:n]]


def matches_reference(structure, out_dump):
    """LAMMPS' reading of our dump against the run's own positions."""
    name = os.path.basename(structure)
    crystal = "lammps_hot_tric" if name.startswith("lammps_hot_tric") else "lammps_hot"
    ref, lo, h = read_lammps_dump(os.path.join(FIXTURES, crystal + "_ref.dump"))
    ref = {int(r[0]): r[2:5] for r in ref}
    rows, _, _ = read_lammps_dump(out_dump)
    ids = original_ids(structure)
    inv = np.linalg.inv(h)
    worst = 0.0
    for r in rows:
        original = ids[int(r[0]) - 1] if crystal == "lammps_hot_tric" else int(r[0])
        f = (r[2:5] - ref[original]) @ inv
        f -= np.round(f)
        worst = max(worst, np.linalg.norm(f @ h))
    return worst < 1e-4, worst


def check(structure):
    with tempfile.TemporaryDirectory() as tmp:
        data, dump = os.path.join(tmp, "m.lmp"), os.path.join(tmp, "m.lmc")
        for target in (data, dump):
            subprocess.run([BATCH, "convert", structure, target], check=True, capture_output=True)
        out_data, out_dump = os.path.join(tmp, "a.dump"), os.path.join(tmp, "b.dump")
        script = os.path.join(tmp, "in.check")
        with open(script, "w") as f:
            f.write(SCRIPT.format(data=data, dump=dump, out_data=out_data, out_dump=out_dump))
        run = subprocess.run(["lmp", "-in", script, "-log", "none", "-screen", "none"], cwd=tmp)
        if run.returncode != 0:
            return "LAMMPS refused the files"
        ours = read_our_data(data)
        rows, lo, h = read_lammps_dump(out_data)
        if not same_atoms(ours, rows, lo, h):
            return "read_data gives other atoms"
        rows, lo, h = read_lammps_dump(out_dump)
        if not same_atoms(ours, rows, lo, h):
            return "read_dump gives other atoms"
        if os.path.basename(structure).startswith("lammps_hot"):
            ok, worst = matches_reference(structure, out_dump)
            if not ok:
                return "read_dump gives positions %.3g away from the run's" % worst
            return "ok (%.1e from the run's positions)" % worst
    return "ok"


def main():
    inputs = sorted(glob.glob(os.path.join(FIXTURES, "*.data")) + glob.glob(os.path.join(FIXTURES, "*.dump")) +
                    glob.glob(os.path.join(FIXTURES, "*.atom")) +
                    glob.glob(os.path.join(FIXTURES, "*.POSCAR")))
    # A cell with tilts far beyond half a box length.
    skewed = os.path.join(tempfile.mkdtemp(), "skewed.POSCAR")
    rng = np.random.default_rng(7)
    with open(skewed, "w") as f:
        f.write("skewed\n1.0\n5 0 0\n9 5 0\n-7 8 6\nA B\n6 4\nDirect\n")
        for p in rng.random((10, 3)):
            f.write("%.10f %.10f %.10f\n" % tuple(p))
    inputs.append(skewed)
    failures = 0
    for path in inputs:
        result = check(path)
        print(f"{os.path.basename(path)}: {result}")
        failures += not result.startswith("ok")
    return 1 if failures else 0


if __name__ == "__main__":
    sys.exit(main())
