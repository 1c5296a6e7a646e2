#!/usr/bin/python3
"""Checks the Monocrystal builder against spglib and LAMMPS (development
check, not run by CI).

1. Every structure of the "Structure:" choice is exported with
   `quelm-batch build monocrystal` as a POSCAR file; spglib must find the
   space group given in brackets in its menu label, and the shortest
   periodic distance must not be a doubled site. The cubic structures are
   checked again in the orientations [110] [-110] [001] and [111] [1-10] [11-2].
2. Oriented fcc, bcc and hcp crystals are exported as LAMMPS data files and
   classified by LAMMPS `compute cna/atom`: every atom must carry the code of
   its lattice (1 fcc, 3 bcc, 2 hcp). A doubled or missing site at a box face
   shows up as another code.

Needs the Debian packages python3-spglib and lammps and a built quelm-batch:
    /usr/bin/python3 tests/builders/oracle/check_monocrystal.py build-mono/app/quelm-batch
"""
import math
import os
import re
import subprocess
import sys
import tempfile

import numpy as np
import spglib

BATCH = sys.argv[1] if len(sys.argv) > 1 else "build/app/quelm-batch"
LABELS = [
    "cF4[225]-A1(Cu)", "cI2[229]-A2(W)", "hP2[194]-A3(Mg)Orthogonal", "hP2[194]-A3(Mg)",
    "cF8[227]-A4(Diamond)", "cF8[225]-B1(NaCl)", "cP2[221]-B2(CsCl)", "cF8[216]-B3(ZnS)",
    "tP2[123]-L10(AuCu)", "cF12[225]-C1(CaF2)", "cP12[205]-C2(FeS2)", "tP6[136]-C4(TiO2)",
    "tI12[141]-C5(TiO2)", "hP3[191]-C32(AlB2)", "hP8[194]-D019(SnNi3)", "oP16[62]-D020(NiAl3)",
    "hP16[194]-D024(TiNi3)", "cP4[221]-L12(AuCu3)", "tP4[123]-L60(CuTi3)",
]
ORIENT = {"x": (1, 0, 0), "y": (0, 1, 0), "z": (0, 0, 1)}
HCP_ORIENT = {"x": (1, 0, 0), "y": (1, 2, 0), "z": (0, 0, 1)}  # orthogonal in [u v w]

failures = []


def build(path, str_index, orient=None, repeat=(1, 1, 1)):
    args = [BATCH, "build", "monocrystal", "-M_single_str=%d" % str_index]
    for axis, v in (orient or {}).items():
        for idx, val in zip("hkl", v):
            args.append("-M_single_o%s%s=%g" % (axis, idx, val))
    for axis, n in zip("xyz", repeat):
        args.append("-M_single_dp%s=%d" % (axis, n))
    args += ["-o", path]
    r = subprocess.run(args, capture_output=True, text=True)
    if r.returncode != 0:
        raise RuntimeError("%s: %s" % (" ".join(args), r.stderr.strip()))
    return int(re.search(r"New model detected with (\d+) atoms", r.stdout).group(1))


def read_poscar(path):
    lines = open(path).read().split("\n")
    scale = float(lines[1])
    cell = np.array([[float(t) for t in lines[k].split()] for k in (2, 3, 4)]) * scale
    counts = [int(t) for t in lines[6].split()]
    assert lines[7].strip().startswith("C")
    n = sum(counts)
    pos = np.array([[float(t) for t in lines[8 + i].split()[:3]] for i in range(n)]) * scale
    numbers = [t + 1 for t, c in enumerate(counts) for _ in range(c)]
    return cell, pos, numbers


def shortest_distance(cell, pos):
    frac = np.linalg.solve(cell.T, pos.T).T
    best = math.inf
    for i in range(len(pos)):
        d = frac - frac[i]
        d -= np.round(d)
        r = np.linalg.norm(d @ cell, axis=1)
        r[i] = math.inf
        best = min(best, float(r.min()))
    return best


def check_space_groups(tmp):
    print("Space groups (spglib, symprec 1e-3):")
    for k, label in enumerate(LABELS):
        want = int(re.search(r"\[(\d+)\]", label).group(1))
        cases = [("default", ORIENT)]
        if k == 2:
            cases = [("[100] [120] [001]", HCP_ORIENT)]
        elif label.startswith("c"):
            cases.append(("[110] [-110] [001]", {"x": (1, 1, 0), "y": (-1, 1, 0), "z": (0, 0, 1)}))
            cases.append(("[111] [1-10] [11-2]", {"x": (1, 1, 1), "y": (1, -1, 0), "z": (1, 1, -2)}))
        for name, orient in cases:
            path = os.path.join(tmp, "s%d.POSCAR" % k)
            n = build(path, k, orient, (1, 1, 1))
            cell, pos, numbers = read_poscar(path)
            data = spglib.get_symmetry_dataset((cell, np.linalg.solve(cell.T, pos.T).T, numbers), symprec=1e-3)
            got = data["number"] if data is not None else None
            dmin = shortest_distance(cell, pos)
            ok = got == want and dmin > 0.5
            print("  %-2d %-27s %-20s %3d atoms  group %s (want %d)  shortest %.3f  %s"
                  % (k, label, name, n, got, want, dmin, "ok" if ok else "FAIL"))
            if not ok:
                failures.append("space group of %s (%s)" % (label, name))


LAMMPS_INPUT = """units metal
atom_style atomic
boundary p p p
read_data {data}
mass * 1.0
pair_style zero {cut}
pair_coeff * *
compute c all cna/atom {cut}
dump d all custom 1 {dump} id c_c
dump_modify d sort id
run 0
"""


def check_cna(tmp):
    print("Common neighbour analysis (LAMMPS compute cna/atom):")
    s2 = 1 / math.sqrt(2)
    # (structure index, name, orientation, repeats, expected code, cut-off factor of a)
    cases = [
        (0, "fcc [110] [-110] [001]", {"x": (1, 1, 0), "y": (-1, 1, 0), "z": (0, 0, 1)}, (3, 3, 3), 1, 0.5 * (s2 + 1)),
        (0, "fcc [111] [1-10] [11-2]", {"x": (1, 1, 1), "y": (1, -1, 0), "z": (1, 1, -2)}, (3, 3, 2), 1, 0.5 * (s2 + 1)),
        (0, "fcc [112] [-110] [-1-11]", {"x": (1, 1, 2), "y": (-1, 1, 0), "z": (-1, -1, 1)}, (2, 3, 3), 1, 0.5 * (s2 + 1)),
        (1, "bcc [111] [1-10] [11-2]", {"x": (1, 1, 1), "y": (1, -1, 0), "z": (1, 1, -2)}, (3, 3, 2), 3, 1.207),
        (2, "hcp [100] [120] [001]", HCP_ORIENT, (4, 3, 3), 2, 0.5 * (1 + math.sqrt(2))),
    ]
    for k, name, orient, repeat, code, factor in cases:
        data = os.path.join(tmp, "c.lmp")
        dump = os.path.join(tmp, "c.dump")
        n = build(data, k, orient, repeat)
        a = {0: 3.6149098873, 1: 3.1649000645, 2: 3.2093000412}[k]
        with open(os.path.join(tmp, "in.cna"), "w") as f:
            f.write(LAMMPS_INPUT.format(data=data, dump=dump, cut="%.4f" % (factor * a)))
        r = subprocess.run(["lmp", "-in", "in.cna", "-log", "none", "-screen", "none"], cwd=tmp,
                           capture_output=True, text=True)
        if r.returncode != 0:
            print("  %-26s LAMMPS failed: %s" % (name, (r.stdout + r.stderr).strip()[-300:]))
            failures.append("LAMMPS run for " + name)
            continue
        lines = open(dump).read().split("\n")
        start = lines.index("ITEM: ATOMS id c_c") + 1
        codes = [int(float(l.split()[1])) for l in lines[start:] if l.strip()]
        wrong = sum(1 for c in codes if c != code)
        ok = len(codes) == n and wrong == 0
        print("  %-26s %5d atoms, %d not code %d  %s" % (name, len(codes), wrong, code, "ok" if ok else "FAIL"))
        if not ok:
            failures.append("CNA of " + name)


def main():
    with tempfile.TemporaryDirectory() as tmp:
        check_space_groups(tmp)
        check_cna(tmp)
    if failures:
        print("FAILED: " + "; ".join(failures))
        return 1
    print("all checks passed")
    return 0


if __name__ == "__main__":
    sys.exit(main())
