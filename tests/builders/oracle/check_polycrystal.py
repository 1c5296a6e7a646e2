#!/usr/bin/python3
"""Checks a 20-grain copper polycrystal of about 100,000 atoms built by
`quelm-batch build polycrystal` with LAMMPS (Debian package lammps, program
lmp): the fcc fraction of `compute cna/atom` must lie between the fraction
of atoms farther than 3.5 A from every grain boundary (those must be fcc)
and the fraction farther than 0.5 A (atoms on a boundary cannot be), the
boundaries taken from the seeds of the generator's log; and with every
misorientation above 15 degrees, `compute cluster/atom` over the fcc atoms
must find as many large fcc clusters as grains. The seeds are random; the
orientations ("ort") are drawn so that every two grains are more than 20
degrees apart and more than 8.7 degrees (Brandon's criterion) from the
twin relation, 60 degrees about <111> (at 15 degrees the fcc regions of a
low-angle boundary still touch between its dislocations, a near-twin
boundary is fcc on both sides of its coherent parts, and in a small
periodic box nearly every grain meets every other).
Run from the repository root
after a build:
    /usr/bin/python3 tests/builders/oracle/check_polycrystal.py build
"""
import itertools
import os
import subprocess
import sys
import tempfile

import numpy as np

BUILD = sys.argv[1] if len(sys.argv) > 1 else "build"
BATCH = os.path.abspath(os.path.join(BUILD, "app", "quelm-batch"))
A = 3.615
GRAINS = 20
L = round((100000 / (4 / A**3)) ** (1 / 3), 3)

LAMMPS = """units metal
atom_style atomic
boundary p p p
read_data poly.lmp
mass * 63.546
pair_style zero 6.0
pair_coeff * *
compute cna all cna/atom {cna_cut}
dump first all custom 1 cna.dump id c_cna
run 0
undump first
variable fcc atom c_cna==1
group fcc variable fcc
compute cluster fcc cluster/atom 2.8
dump d all custom 1 out.dump id c_cna c_cluster
dump_modify d sort id
run 0
"""


def cubic_rotations():
    mats = []
    for perm in itertools.permutations(range(3)):
        for signs in itertools.product((1, -1), repeat=3):
            m = np.zeros((3, 3))
            for r, c in enumerate(perm):
                m[r, c] = signs[r]
            if np.linalg.det(m) > 0:
                mats.append(m)
    return mats


def misorientation(o1, o2, sym):
    # Inversion is a symmetry of fcc: make both orientations proper.
    o1 = o1 * np.sign(np.linalg.det(o1))
    o2 = o2 * np.sign(np.linalg.det(o2))
    best = 180.0
    for s in sym:
        r = o1.T @ s @ o2
        c = np.clip((np.trace(r) - 1) / 2, -1, 1)
        best = min(best, np.degrees(np.arccos(c)))
    return best


def rotation(axis, degrees):
    a = np.asarray(axis, float) / np.linalg.norm(axis)
    t = np.radians(degrees)
    k = np.array([[0, -a[2], a[1]], [a[2], 0, -a[0]], [-a[1], a[0], 0]])
    return np.eye(3) + np.sin(t) * k + (1 - np.cos(t)) * k @ k


def off_twin(o1, o2, sym):
    """Angle between the relation of two orientations and the twin relation."""
    o1 = o1 * np.sign(np.linalg.det(o1))
    o2 = o2 * np.sign(np.linalg.det(o2))
    twin = rotation((1, 1, 1), 60)
    twins = [s @ twin @ s.T for s in sym]
    best = 180.0
    for s in sym:
        r = o1.T @ s @ o2
        for t in twins:
            c = np.clip((np.trace(r @ t.T) - 1) / 2, -1, 1)
            best = min(best, np.degrees(np.arccos(c)))
    return best


def spread_orientations(count, least, sym):
    """Random rotations, every two more than `least` degrees apart and away
    from the twin relation."""
    rng = np.random.default_rng(1)
    chosen = []
    while len(chosen) < count:
        q = rng.normal(size=4)
        q /= np.linalg.norm(q)
        w, x, y, z = q
        r = np.array([[1 - 2 * (y * y + z * z), 2 * (x * y - z * w), 2 * (x * z + y * w)],
                      [2 * (x * y + z * w), 1 - 2 * (x * x + z * z), 2 * (y * z - x * w)],
                      [2 * (x * z - y * w), 2 * (y * z + x * w), 1 - 2 * (x * x + y * y)]])
        if all(misorientation(r, o, sym) > least and off_twin(r, o, sym) > 15 / 3**0.5 for o in chosen):
            chosen.append(r)
    return chosen


def read_log(path):
    grains = []
    for line in open(path):
        words = line.split()
        if not words:
            continue
        if words[0] == "#Grain_num":
            grains.append({"count": int(words[1])})
        elif words[0] == "#Grain_pos":
            grains[-1]["pos"] = np.array(list(map(float, words[1:4])))
        elif words[0] == "#Grain_mat":
            v = list(map(float, words[1:10]))
            grains[-1]["mat"] = np.array(v).reshape(3, 3).T  # column by column
    return grains


def boundary_distance(x, grains, owner):
    """Distance of every atom from the nearest face of its grain's periodic
    Voronoi cell (faces with its own images included), and the grain on the
    other side of that face."""
    shifts = np.array(list(itertools.product((-1, 0, 1), repeat=3))) * L
    seeds = np.array([g["pos"] for g in grains])
    home = seeds[owner]
    home = x - ((x - home + L / 2) % L - L / 2)  # the image of the seed the atom was cut against
    best = np.full(len(x), np.inf)
    across = np.full(len(x), -1)
    for p in range(len(grains)):
        for s in shifts:
            image = seeds[p] + s + (home - seeds[owner])
            same = (p == owner) & np.all(s == 0)
            sep = np.linalg.norm(image - home, axis=1)
            dist = (np.sum((x - image) ** 2, axis=1) - np.sum((x - home) ** 2, axis=1)) / (2 * np.where(same, 1, sep))
            closer = ~same & (dist < best)
            best = np.where(closer, dist, best)
            across = np.where(closer, p, across)
    return best, across


def read_atoms(path):
    data = open(path).read().split("\n")
    n = int(data[1].split()[0])
    return np.array([list(map(float, l.split())) for l in data[9:9 + n]])


def main():
    sym = cubic_rotations()
    with tempfile.TemporaryDirectory() as tmp:
        h = A / 2
        with open(os.path.join(tmp, "cell.lmp"), "w") as f:
            f.write(f"fcc\n4 atoms\n1 atom types\n0 {A} xlo xhi\n0 {A} ylo yhi\n0 {A} zlo zhi\n\nAtoms\n\n"
                    f"1 1 0 0 0\n2 1 {h} {h} 0\n3 1 {h} 0 {h}\n4 1 0 {h} {h}\n")
        orientations = spread_orientations(GRAINS, 20.0, sym)
        with open(os.path.join(tmp, "poly.input"), "w") as f:
            f.write(f"mode 3D\nbox {L} {L} {L}\ncutoff 0.1\nseed 5\nrandom {GRAINS}\n")
            for i, o in enumerate(orientations):
                f.write(f"ort {i + 1} " + " ".join("%.12f" % v for v in o.T.flatten()) + "\n")
            f.write(f"build cell.lmp {GRAINS}\n0 0 0\n")
        subprocess.run([BATCH, "build", "polycrystal", "-Model_Poly_file=poly.input", "-o", "poly.lmp"], cwd=tmp,
                       check=True, capture_output=True)
        grains = read_log(os.path.join(tmp, "poly_log.fpl"))
        owner = np.repeat(np.arange(len(grains)), [g["count"] for g in grains])
        x = read_atoms(os.path.join(tmp, "poly.lmp"))[:, 2:5]
        n = len(x)
        dist, across = boundary_distance(x, grains, owner)
        pairs = {(min(a, b), max(a, b)) for a, b in zip(owner[dist < 1], across[dist < 1]) if a != b}
        least = min(misorientation(grains[a]["mat"], grains[b]["mat"], sym) for a, b in pairs)
        print(f"{GRAINS} grains, box {L} A, {len(pairs)} neighbouring pairs, "
              f"least misorientation between neighbours {least:.1f} degrees")
        with open(os.path.join(tmp, "in.check"), "w") as f:
            f.write(LAMMPS.format(cna_cut=0.854 * A))
        subprocess.run(["lmp", "-in", "in.check", "-log", "none", "-screen", "none"], cwd=tmp, check=True)
        rows = np.loadtxt(os.path.join(tmp, "out.dump"), skiprows=9)
        fcc = rows[:, 1] == 1
        low, high = np.mean(dist > 3.5), np.mean(dist > 0.5)
        print(f"{n} atoms; LAMMPS fcc fraction {fcc.mean():.3f}; atoms farther than 3.5 A from a boundary {low:.3f}, "
              f"farther than 0.5 A {high:.3f}")
        inner_not_fcc = np.sum((dist > 3.5) & ~fcc)
        clusters, sizes = np.unique(rows[fcc, 2], return_counts=True)
        large = np.sum(sizes >= 20)
        print(f"fcc clusters of 20 atoms or more: {large} (grains {len(grains)}); "
              f"atoms deeper than 3.5 A that are not fcc: {inner_not_fcc}")
        for g in range(len(grains)):
            ids, counts = np.unique(rows[(owner == g) & fcc, 2], return_counts=True)
            big = [(int(i), int(c)) for i, c in zip(ids, counts) if c >= 20]
            if len(big) != 1:
                print(f"  grain {g + 1}: {grains[g]['count']} atoms, fcc clusters {big}")
        shared = [c for c in clusters if len(np.unique(owner[(rows[:, 2] == c) & fcc])) > 1]
        for c in shared:
            print(f"  cluster {int(c)} spans grains {np.unique(owner[(rows[:, 2] == c) & fcc]) + 1}")
        ok = low <= fcc.mean() <= high and large == len(grains) and inner_not_fcc == 0
        print("ok" if ok else "FAILED")
        return 0 if ok else 1


if __name__ == "__main__":
    sys.exit(main())
