#!/usr/bin/python3
"""Checks the Bilayer and Multilayer builders against ASE (development
check, not run by CI).

Copper (a = 3.615) and nickel (a = 3.524) conventional fcc cells, and an
L1_2 cell with two types, are written as LAMMPS data files; bilayers and
multilayers are built from them with `quelm-batch build bilayer|multilayer`
along x, y and z with several repeat counts, thicknesses and gaps. The same
two slabs are made with ASE: `bulk` (or `spacegroup.crystal`) repeated
na_u x na_v x layers, then `ase.build.stack` strains both to the common
lateral cell (fix = 0.5: the mean of the two repeated lateral cells) and
puts the upper slab one bottom-slab length above the bottom one. Our
conventions differ from stack's in two places that the check allows for:
  - stack has no vacuum: the gap is added to ASE's cell along the normal;
  - stack refuses strains above `maxstrain` (0.5 A at the far corner);
    repeat counts chosen for the geometry, not for the fit, strain more, so
    the check passes maxstrain=None; `distance` stays None (stack would
    otherwise move the slabs with a minimiser).
A multilayer is ASE's stack repeated `period` times along the normal.

For every case it compares the atom count, the count per type (upper types
follow the bottom crystal's), the three cell lengths (lateral: the averaged
period (na A + nb B)/2; normal: the layers of both slabs plus the gap), the
mismatch the builder prints, that every atom lies inside the box, that each
slab is ASE's strained slab moved by one translation (periodic match per
type, 1e-3 A), where the planes next to the interface and to the box faces
lie (each file is centred on its cell, so the interface spacing is
(A + B)/4 for these fcc files where stack gives A/2), and that with equal
counts no two atoms come closer than 2.2 A (fcc nearest-neighbour distance
about 2.5 A; a doubled plane at the interface or at the periodic boundary
would show up; unequal counts stack atoms over one another one interplanar
spacing apart).

    /usr/bin/python3 tests/builders/oracle/check_layers_ase.py build-oracle/app/quelm-batch
"""
import os
import re
import subprocess
import sys
import tempfile

import numpy as np
from ase.build import bulk, stack
from ase.spacegroup import crystal
from scipy.spatial import cKDTree

BATCH = sys.argv[1] if len(sys.argv) > 1 else "build/app/quelm-batch"
AXES = "xyz"
# stacking axis s and the lateral axes u, v of "M_double_dir"
FRAME = {0: (0, 1, 2), 1: (1, 0, 2), 2: (2, 0, 1)}

FCC = [(0, 0, 0), (0.5, 0.5, 0), (0.5, 0, 0.5), (0, 0.5, 0.5)]
CRYSTALS = {
    # name: (a, [(type, fractional position)], ASE maker)
    "Cu": (3.615, [(1, f) for f in FCC],
           lambda: bulk("Cu", "fcc", a=3.615, cubic=True)),
    "Ni": (3.524, [(1, f) for f in FCC],
           lambda: bulk("Ni", "fcc", a=3.524, cubic=True)),
    # L1_2 ordering: type 1 on the faces, type 2 on the corner
    "Ni3Al": (3.57, [(2, FCC[0])] + [(1, f) for f in FCC[1:]],
              lambda: crystal(["Al", "Ni"], basis=[(0, 0, 0), (0, 0.5, 0.5)],
                              spacegroup=221, cellpar=[3.57] * 3 + [90] * 3)),
}
ASE_TYPE = {"Cu": 1, "Ni": 1, "Al": 2}  # type of each element in our files

failures = []


def write_crystal(path, name):
    a, basis, _ = CRYSTALS[name]
    ntypes = max(t for t, _ in basis)
    with open(path, "w") as f:
        f.write("%s conventional cell\n\n%d atoms\n%d atom types\n\n" % (name, len(basis), ntypes))
        for ax in AXES:
            f.write("0.0 %.6f %slo %shi\n" % (a, ax, ax))
        f.write("\nAtoms # atomic\n\n")
        for i, (t, p) in enumerate(basis):
            f.write("%d %d %.6f %.6f %.6f\n" % (i + 1, t, p[0] * a, p[1] * a, p[2] * a))


def read_data(path):
    lines = open(path).read().split("\n")
    n = ntypes = None
    box = np.zeros((3, 2))
    for k, line in enumerate(lines):
        w = line.split()
        if len(w) >= 2 and w[-1] == "atoms":
            n = int(w[0])
        elif line.strip().endswith("atom types"):
            ntypes = int(w[0])
        elif len(w) == 4 and w[3] in ("xhi", "yhi", "zhi"):
            box["xyz".index(w[3][0])] = [float(w[0]), float(w[1])]
        elif w and w[0] == "Atoms":
            rows = [l.split() for l in lines[k + 1:] if l.strip()][:n]
            types = np.array([int(r[1]) for r in rows])
            pos = np.array([[float(v) for v in r[2:5]] for r in rows])
            return ntypes, box, types, pos
    raise RuntimeError("no Atoms section in " + path)


def run_builder(kind, files, case, out):
    args = [BATCH, "build", kind,
            "-M_double_dir=%d" % case["dir"],
            "-M_double_filea=%s" % files[case["bottom"]],
            "-M_double_fileb=%s" % files[case["upper"]],
            "-M_double_ax=%d" % case["na"][0], "-M_double_ay=%d" % case["na"][1],
            "-M_double_bx=%d" % case["nb"][0], "-M_double_by=%d" % case["nb"][1],
            "-M_double_at=%g" % case["at"], "-M_double_bt=%g" % case["bt"]]
    if kind == "bilayer":
        args.append("-M_double_void=%g" % case["gap"])
    else:
        args.append("-M_double_period=%d" % case["period"])
    if case.get("accept", True):
        args.append("--accept-mismatch")
    args += ["-o", out]
    return subprocess.run(args, capture_output=True, text=True)


def ase_model(kind, case):
    """The same model made with ASE; returns (atoms with tags = our types,
    number of atoms of the bottom slab per period, expected layer counts)."""
    s, u, v = FRAME[case["dir"]]
    a_bot, basis_bot, make_bot = CRYSTALS[case["bottom"]]
    a_up, _, make_up = CRYSTALS[case["upper"]]
    k_a = int(case["at"] / a_bot)            # bottom: k_a + 1 cell layers
    k_b = int(case["bt"] / a_up) + 1         # upper: k_b cell layers
    ntypes_bot = max(t for t, _ in basis_bot)
    slabs = []
    for make, counts, layers, shift in ((make_bot, case["na"], k_a + 1, 0),
                                        (make_up, case["nb"], k_b, ntypes_bot)):
        cell = make()
        cell.set_tags([ASE_TYPE[sym] + shift for sym in cell.get_chemical_symbols()])
        reps = [1, 1, 1]
        reps[s], reps[u], reps[v] = layers, counts[0], counts[1]
        slabs.append(cell.repeat(reps))
    model = stack(slabs[0], slabs[1], axis=s, fix=0.5, maxstrain=None, distance=None)
    if kind == "bilayer":
        cell = model.get_cell().array.copy()
        cell[s, s] += case["gap"]
        model.set_cell(cell, scale_atoms=False)
        model.translate([case["gap"] / 2 if k == s else 0 for k in range(3)])
    else:
        reps = [1, 1, 1]
        reps[s] = case["period"]
        model = model.repeat(reps)
    return model, len(slabs[0]), (k_a + 1, k_b)


def wrap(p, lengths):
    w = np.mod(p, lengths)
    w[w >= lengths] -= lengths[np.nonzero(w >= lengths)[1]]
    return w


def same_up_to_translation(ours_t, ours_p, ref_t, ref_p, lengths, tol=1e-3):
    """True when one translation maps every atom of ours onto an atom of the
    same type of ref (periodic in all three box lengths), and back."""
    if len(ours_p) != len(ref_p) or len(ours_p) == 0:
        return False
    trees = {t: cKDTree(wrap(ref_p[ref_t == t], lengths), boxsize=lengths) for t in set(ref_t)}
    if set(ours_t) != set(ref_t):
        return False
    sample = np.arange(0, len(ours_p), max(1, len(ours_p) // 25))
    for cand in ref_p[ref_t == ours_t[0]]:
        shift = ours_p[0] - cand
        ok = True
        for idx in (sample, np.arange(len(ours_p))):
            for t, tree in trees.items():
                sel = idx[ours_t[idx] == t]
                d, _ = tree.query(wrap(ours_p[sel] - shift, lengths))
                if len(d) and d.max() > tol:
                    ok = False
                    break
            if not ok:
                break
        if ok:  # counts per type are equal, so the map is one-to-one
            return True
    return False


def closest_pair(pos, lengths):
    tree = cKDTree(wrap(pos, lengths), boxsize=lengths)
    d, _ = tree.query(wrap(pos, lengths), k=2)
    return float(d[:, 1].min())


def check_case(kind, files, case, tmp):
    s, u, v = FRAME[case["dir"]]
    out = os.path.join(tmp, "layer.lmp")
    if os.path.exists(out):
        os.remove(out)
    r = run_builder(kind, files, case, out)
    name = case["name"]
    if r.returncode != 0:
        return ["quelm-batch exit %d: %s" % (r.returncode, r.stderr.strip().replace("\n", " / "))]
    ntypes, box, types, pos = read_data(out)
    ref, n_bot, layers = ase_model(kind, case)
    errs = []

    a_bot, basis_bot, _ = CRYSTALS[case["bottom"]]
    a_up, basis_up, _ = CRYSTALS[case["upper"]]
    nt_bot = max(t for t, _ in basis_bot)
    nt_up = max(t for t, _ in basis_up)
    lu = (case["na"][0] * a_bot + case["nb"][0] * a_up) / 2
    lv = (case["na"][1] * a_bot + case["nb"][1] * a_up) / 2
    period = case.get("period", 1)
    ls = (layers[0] * a_bot + layers[1] * a_up + case.get("gap", 0)) * period
    want = np.zeros(3)
    want[s], want[u], want[v] = ls, lu, lv
    ase_len = np.diag(ref.get_cell().array)
    if np.abs(ref.get_cell().array - np.diag(ase_len)).max() > 1e-9 or np.abs(ase_len - want).max() > 1e-9:
        errs.append("ASE cell %s differs from the formula %s" % (np.round(ase_len, 6), np.round(want, 6)))
    got_len = box[:, 1] - box[:, 0]
    if np.abs(got_len - ase_len).max() > 2e-6:
        errs.append("box lengths %s, ASE %s" % (np.round(got_len, 6), np.round(ase_len, 6)))

    if len(pos) != len(ref):
        errs.append("%d atoms, ASE %d" % (len(pos), len(ref)))
    if ntypes != nt_bot + nt_up:
        errs.append("%d atom types, want %d" % (ntypes, nt_bot + nt_up))
    ref_types = ref.get_tags()
    for t in range(1, nt_bot + nt_up + 1):
        a, b = int((types == t).sum()), int((ref_types == t).sum())
        if a != b:
            errs.append("type %d: %d atoms, ASE %d" % (t, a, b))

    outside = ((pos < box[:, 0] - 1e-6) | (pos > box[:, 1] + 1e-6)).any(axis=1).sum()
    if outside:
        errs.append("%d atoms outside the box" % outside)

    # normal: the bottom slab fills s = -(kA+1) A_s ... 0,
    # the box adds gap/2 below it and above the upper slab
    lo_s = -layers[0] * a_bot - case.get("gap", 0) / 2
    if abs(box[s, 0] - lo_s) > 2e-6 or abs(box[u, 0] + lu / 2) > 2e-6 or abs(box[v, 0] + lv / 2) > 2e-6:
        errs.append("box lower corner %s" % box[:, 0])

    mis = re.findall(r"Interface Mismatch ([xyz]): ([-0-9.e]+)", r.stdout)
    want_mis = [(AXES[u], abs(2 * (case["na"][0] * a_bot - case["nb"][0] * a_up) / (2 * lu))),
                (AXES[v], abs(2 * (case["na"][1] * a_bot - case["nb"][1] * a_up) / (2 * lv)))]
    if len(mis) != 2 or any(m[0] != w[0] or abs(float(m[1]) - w[1]) > 1e-6 for m, w in zip(mis, want_mis)):
        errs.append("printed mismatch %s, want %s" % (mis, [(a, round(b, 6)) for a, b in want_mis]))

    if len(pos) == len(ref):
        ref_pos = ref.get_positions()
        in_bottom = ref_types <= nt_bot
        for label, ours_sel, ref_sel in (("bottom", types <= nt_bot, in_bottom),
                                         ("upper", types > nt_bot, ~in_bottom)):
            if not same_up_to_translation(types[ours_sel], pos[ours_sel], ref_types[ref_sel],
                                          ref_pos[ref_sel], got_len):
                errs.append("%s slab is not ASE's strained slab moved rigidly" % label)
    # interface planes: each file's centroid goes to its cell centre, so the
    # fcc planes sit a/4 and 3a/4 into every cell: the bottom slab's top
    # plane at s = -A/4, the upper slab's first plane at s = B/4 (ASE's stack
    # keeps the cells' own origins instead: its spacing is A/2)
    first = pos[:, s] <= layers[1] * a_up + 1e-6
    bot_top = pos[(types <= nt_bot) & first & (pos[:, s] <= 1e-6), s].max()
    up_low = pos[(types > nt_bot) & first, s].min()
    bot_low = pos[types <= nt_bot, s].min() - box[s, 0]
    up_top = box[s, 1] - pos[types > nt_bot, s].max()
    gap = case.get("gap", 0)
    want_planes = (-a_bot / 4, a_up / 4, a_bot / 4 + gap / 2, a_up / 4 + gap / 2)
    got_planes = (bot_top, up_low, bot_low, up_top)
    if np.abs(np.array(got_planes) - want_planes).max() > 2e-6:
        errs.append("planes at the interface / box faces %s, want %s"
                    % (np.round(got_planes, 6), np.round(want_planes, 6)))
    # equal counts keep the lateral registry across the interface; unequal
    # counts put atoms of the two slabs over one another, one interplanar
    # spacing (A + B)/4 apart
    dmin = closest_pair(pos - box[:, 0], got_len)
    floor = 2.2 if case["na"] == case["nb"] else (a_bot + a_up) / 4 - 1e-4
    if dmin < floor:
        errs.append("closest pair %.4f A (want at least %.4f)" % (dmin, floor))
    figures = "%5d atoms (%s), box %s, layers %d+%d, closest %.4f" % (
        len(pos), "+".join(str(int((types == t).sum())) for t in range(1, ntypes + 1)),
        " x ".join("%.4f" % x for x in got_len), layers[0], layers[1], dmin)
    return errs, figures


BILAYERS = [
    dict(name="z Cu/Ni 2x2/2x2 t 5/5 gap 10", dir=2, bottom="Cu", upper="Ni",
         na=(2, 2), nb=(2, 2), at=5, bt=5, gap=10),
    dict(name="x Cu/Ni 3x2/3x2 t 0/7.2 gap 6", dir=0, bottom="Cu", upper="Ni",
         na=(3, 2), nb=(3, 2), at=0, bt=7.2, gap=6),
    dict(name="y Cu/Ni 2x3/4x1 t 9/2.5 gap 0", dir=1, bottom="Cu", upper="Ni",
         na=(2, 3), nb=(4, 1), at=9, bt=2.5, gap=0),
    dict(name="z Ni/Cu 5x4/4x5 t 2.5/9 gap 3.5", dir=2, bottom="Ni", upper="Cu",
         na=(5, 4), nb=(4, 5), at=2.5, bt=9, gap=3.5),
    dict(name="y Ni/Cu 7x7/7x7 t 3.6/3.6 gap 20", dir=1, bottom="Ni", upper="Cu",
         na=(7, 7), nb=(7, 7), at=3.6, bt=3.6, gap=20),
    dict(name="x Ni3Al/Cu 2x2/2x2 t 4/4 gap 8", dir=0, bottom="Ni3Al", upper="Cu",
         na=(2, 2), nb=(2, 2), at=4, bt=4, gap=8),
    dict(name="z Cu/Ni3Al 3x1/3x1 t 0/0 gap 2", dir=2, bottom="Cu", upper="Ni3Al",
         na=(3, 1), nb=(3, 1), at=0, bt=0, gap=2),
    dict(name="z Cu/Cu 2x3/2x3 t 4/4 gap 5 (no mismatch, no flag)", dir=2, bottom="Cu",
         upper="Cu", na=(2, 3), nb=(2, 3), at=4, bt=4, gap=5, accept=False),
]
MULTILAYERS = [
    dict(name="z Cu/Ni 2x2/2x2 t 3/3 period 3", dir=2, bottom="Cu", upper="Ni",
         na=(2, 2), nb=(2, 2), at=3, bt=3, period=3),
    dict(name="x Ni/Cu 3x3/3x3 t 0/4 period 2", dir=0, bottom="Ni", upper="Cu",
         na=(3, 3), nb=(3, 3), at=0, bt=4, period=2),
    dict(name="y Cu/Ni 4x2/4x2 t 7.5/7.5 period 1", dir=1, bottom="Cu", upper="Ni",
         na=(4, 2), nb=(4, 2), at=7.5, bt=7.5, period=1),
    dict(name="y Ni3Al/Ni 2x2/2x2 t 8/0 period 4", dir=1, bottom="Ni3Al", upper="Ni",
         na=(2, 2), nb=(2, 2), at=8, bt=0, period=4),
]


def main():
    with tempfile.TemporaryDirectory() as tmp:
        files = {}
        for name in CRYSTALS:
            files[name] = os.path.join(tmp, name + ".lmp")
            write_crystal(files[name], name)
        for kind, cases in (("bilayer", BILAYERS), ("multilayer", MULTILAYERS)):
            print("%s (compared with ase.build.stack):" % kind.capitalize())
            for case in cases:
                res = check_case(kind, files, case, tmp)
                if isinstance(res, list):
                    errs, figures = res, ""
                else:
                    errs, figures = res
                line = "  %-48s %s" % (case["name"], figures)
                if errs:
                    print(line + "\n    FAIL: " + "; ".join(errs))
                    failures.append("%s %s" % (kind, case["name"]))
                else:
                    print(line + "  ok")

        # a mismatch above 0.005 is refused without --accept-mismatch
        case = dict(BILAYERS[0], accept=False)
        out = os.path.join(tmp, "refused.lmp")
        r = run_builder("bilayer", files, case, out)
        ok = r.returncode == 1 and not os.path.exists(out)
        print("Large mismatch without --accept-mismatch: exit %d, %s  %s" % (
            r.returncode, "no file" if not os.path.exists(out) else "file written",
            "ok" if ok else "FAIL"))
        if not ok:
            failures.append("large mismatch refusal")

    if failures:
        print("FAILED: %d case(s): %s" % (len(failures), ", ".join(failures)))
        sys.exit(1)
    print("all cases ok")


if __name__ == "__main__":
    main()
