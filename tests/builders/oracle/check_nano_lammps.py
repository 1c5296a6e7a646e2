#!/usr/bin/python3
"""Checks the Nanoparticle, Nanowire and Core-Shell builders with LAMMPS
(development check, not run by CI).

Copper (fcc, a = 3.615), nickel (fcc, a = 3.524) and an ideal hcp crystal
(a = 2.556, c = a sqrt(8/3), the triclinic cell a = (a, 0, 0),
b = (-a/2, a sqrt(3)/2, 0), c = (0, 0, c) with two atoms) are written as
LAMMPS data files. Every object is built with `quelm-batch build
nanoparticle|nanowire|coreshell`, read into LAMMPS (non-periodic `f`
boundaries, enlarged by 10 A; a wire is periodic along its axis) and
`compute coord/atom cutoff 3.0` counts each atom's neighbours (`pair_style
zero`): nearest neighbours lie at 2.556 A (Cu, hcp) and 2.492 A (Ni), the
second shell at 3.615 A and 3.524 A, so a bulk atom has 12. With the depth
of an atom below the surface (sphere: R - |p|; polyhedron: the smallest
R - n.p over the face normals n; wire: the same in the cross-section):

  - every atom with fewer than 12 neighbours lies within 2.6 A of the
    surface, and every atom deeper than 2.6 A has exactly 12;
  - the atom count equals the number of lattice sites of the shape (the
    crystal centred on its first atom) counted here with numpy, and the
    published counts where there are some (Cu sphere R = 10: 369, R = 20:
    2899, cube R = 10: 665, octahedron R = 10: 489, tetrahedron R = 5: 133);
  - every atom sits on one of those sites (1e-4 A);
  - the box is the bounding box padded by at most 0.2 A (the wire's box
    along its axis is the whole number of periods, centred on the origin).

A wire of the hcp crystal must also have the crystal's density (atoms per
volume of the ideal cross-section within 3 %, and the exact site count); a
core-shell particle (Ni core, Cu shell) must keep every two atoms at least
0.75 x 2.492 A apart (shell sites closer than that to a core site are left
out of the expected count), and away from the core-shell interface (3 A)
its atoms follow the rules above.

    /usr/bin/python3 tests/builders/oracle/check_nano_lammps.py build-oracle/app/quelm-batch
"""
import math
import os
import subprocess
import sys
import tempfile

import numpy as np
from scipy.spatial import cKDTree

BATCH = sys.argv[1] if len(sys.argv) > 1 else "build/app/quelm-batch"

A_CU, A_NI = 3.615, 3.524
A_HCP = 2.556
C_HCP = A_HCP * math.sqrt(8 / 3)
FCC = [(0, 0, 0), (0.5, 0.5, 0), (0.5, 0, 0.5), (0, 0.5, 0.5)]
CUBIC = {"Cu": A_CU, "Ni": A_NI}

S2, S6 = math.sqrt(2), math.sqrt(6)
_DA, _DB = 0.5257311121191336, 0.85065080835204
_IA, _IB = 0.35682208977308993, 0.9341723589627158


def _twelve(a, b):
    return [(a, 0, b), (a, 0, -b), (-a, 0, b), (-a, 0, -b), (0, b, a), (0, b, -a),
            (0, -b, a), (0, -b, -a), (b, a, 0), (b, -a, 0), (-b, a, 0), (-b, -a, 0)]


_OCTA = [(sx / math.sqrt(3), sy / math.sqrt(3), sz / math.sqrt(3))
         for sx in (1, -1) for sy in (1, -1) for sz in (1, -1)]
NORMALS = {
    1: [(0, 0, 1), (-S2 / 3, -S6 / 3, -1 / 3), (-S2 / 3, S6 / 3, -1 / 3), (2 * S2 / 3, 0, -1 / 3)],
    2: [(0, 0, 1), (0, 0, -1), (0, 1, 0), (0, -1, 0), (1, 0, 0), (-1, 0, 0)],
    3: _OCTA,
    4: _twelve(_DA, _DB),
    5: _twelve(_IA, _IB) + _OCTA,
}
SHAPE_NAMES = {0: "sphere", 1: "tetrahedron", 2: "hexahedron", 3: "octahedron",
               4: "dodecahedron", 5: "icosahedron"}

failures = []


# ---------------------------------------------------------------- crystals

def write_cubic(path, a):
    with open(path, "w") as f:
        f.write("fcc conventional cell\n\n4 atoms\n1 atom types\n\n")
        for ax in "xyz":
            f.write("0.0 %.6f %slo %shi\n" % (a, ax, ax))
        f.write("\nAtoms # atomic\n\n")
        for i, p in enumerate(FCC):
            f.write("%d 1 %.6f %.6f %.6f\n" % (i + 1, p[0] * a, p[1] * a, p[2] * a))


def hcp_cell():
    cell = np.array([[A_HCP, 0, 0], [-A_HCP / 2, A_HCP * math.sqrt(3) / 2, 0], [0, 0, C_HCP]])
    frac = np.array([[0, 0, 0], [1 / 3, 2 / 3, 0.5]])
    return cell, frac @ cell


def write_hcp(path):
    cell, pos = hcp_cell()
    with open(path, "w") as f:
        f.write("ideal hcp, triclinic cell\n\n2 atoms\n1 atom types\n\n")
        f.write("0.0 %.10f xlo xhi\n0.0 %.10f ylo yhi\n0.0 %.10f zlo zhi\n"
                % (cell[0, 0], cell[1, 1], cell[2, 2]))
        f.write("%.10f 0.0 0.0 xy xz yz\n" % cell[1, 0])
        f.write("\nAtoms # atomic\n\n")
        for i, p in enumerate(pos):
            f.write("%d 1 %.10f %.10f %.10f\n" % (i + 1, p[0], p[1], p[2]))


def lattice_sites(crystal, reach):
    """Every site of the crystal within `reach` of its first atom, which is
    put at the origin."""
    if crystal == "hcp":
        cell, basis = hcp_cell()
    else:
        a = CUBIC[crystal]
        cell, basis = np.eye(3) * a, np.array(FCC) * a
    basis = basis - basis[0]
    # cell counts along each vector that cover the sphere of the reach
    inv = np.linalg.inv(cell)
    n = [int(reach * np.linalg.norm(inv[:, k])) + 2 for k in range(3)]
    g = np.stack(np.meshgrid(*[np.arange(-m, m + 1) for m in n], indexing="ij"), -1).reshape(-1, 3)
    pts = (g @ cell)[:, None, :] + basis[None, :, :]
    pts = pts.reshape(-1, 3)
    return pts[np.linalg.norm(pts, axis=1) <= reach]


def rotated_normals(shape, rows):
    rows = np.array(rows, dtype=float)
    for k in range(3):
        norm = np.linalg.norm(rows[k])
        if norm > 0:
            rows[k] /= norm
    return np.array(NORMALS[shape]) @ rows


# ---------------------------------------------------------------- files, LAMMPS

def read_data(path):
    lines = open(path).read().split("\n")
    n = None
    box = np.zeros((3, 2))
    for k, line in enumerate(lines):
        w = line.split()
        if len(w) >= 2 and w[-1] == "atoms":
            n = int(w[0])
        elif len(w) == 4 and w[3] in ("xhi", "yhi", "zhi"):
            box["xyz".index(w[3][0])] = [float(w[0]), float(w[1])]
        elif w and w[0] == "Atoms":
            rows = [l.split() for l in lines[k + 1:] if l.strip()][:n]
            ids = np.array([int(r[0]) for r in rows])
            types = np.array([int(r[1]) for r in rows])
            pos = np.array([[float(v) for v in r[2:5]] for r in rows])
            return box, ids, types, pos
    raise RuntimeError("no Atoms section in " + path)


LAMMPS = """units metal
atom_style atomic
boundary {bound}
read_data {data}
change_box all {enlarge} units box
mass * 1.0
pair_style zero 3.5
pair_coeff * *
compute c all coord/atom cutoff 3.0
dump d all custom 1 {dump} id c_c
dump_modify d sort id
run 0
"""


def coordination(tmp, data, box, periodic_axis=None):
    bound = " ".join("p" if k == periodic_axis else "f" for k in range(3))
    enlarge = " ".join("%s final %.6f %.6f" % ("xyz"[k], box[k, 0] - 10, box[k, 1] + 10)
                       for k in range(3) if k != periodic_axis)
    dump = os.path.join(tmp, "coord.dump")
    inp = os.path.join(tmp, "in.coord")
    with open(inp, "w") as f:
        f.write(LAMMPS.format(bound=bound, data=data, enlarge=enlarge, dump=dump))
    r = subprocess.run(["lmp", "-in", inp, "-log", os.path.join(tmp, "log.lammps"), "-screen", "none"],
                       capture_output=True, text=True, cwd=tmp)
    if r.returncode != 0:
        raise RuntimeError("lmp failed: " + (r.stdout + r.stderr).strip()[-400:])
    lines = open(dump).read().split("\n")
    start = lines.index("ITEM: ATOMS id c_c") + 1
    rows = [l.split() for l in lines[start:] if l.strip()]
    return {int(r[0]): int(float(r[1])) for r in rows}


def quelm(kind, labels, out):
    args = [BATCH, "build", kind] + ["-%s=%s" % kv for kv in labels] + ["-o", out]
    r = subprocess.run(args, capture_output=True, text=True)
    if r.returncode != 0:
        raise RuntimeError("%s: exit %d: %s" % (" ".join(args), r.returncode, r.stderr.strip()))


# ---------------------------------------------------------------- checks

def match_sites(pos, sites, period=None):
    """Largest distance from an atom to the nearest expected site (periodic
    along z with the given length for a wire)."""
    if period is None:
        d, _ = cKDTree(sites).query(pos)
        return float(d.max()) if len(d) else 0.0
    lo = -period / 2
    big = 1e4
    shift = np.array([big / 2, big / 2, -lo])
    box = np.array([big, big, period])

    def w(p):
        q = p + shift
        q[:, 2] = np.mod(q[:, 2], period)
        q[q[:, 2] >= period, 2] -= period
        return q

    d, _ = cKDTree(w(sites), boxsize=box).query(w(pos))
    return float(d.max()) if len(d) else 0.0


def closest_pair(pos):
    d, _ = cKDTree(pos).query(pos, k=2)
    return float(d[:, 1].min())


def report(name, errs, figures):
    line = "  %-44s %s" % (name, figures)
    if errs:
        print(line + "\n    FAIL: " + "; ".join(errs))
        failures.append(name)
    else:
        print(line + "  ok")


def check_depth_rule(cn, depth, far_mask=None):
    """Errors of the coordination rule; far_mask excludes atoms (interface)."""
    errs = []
    keep = np.ones(len(cn), bool) if far_mask is None else far_mask
    low_shallow_bad = keep & (cn < 12) & (depth > 2.6)
    deep_bad = keep & (depth > 2.6) & (cn != 12)
    over = keep & (cn > 12)
    if low_shallow_bad.any():
        errs.append("%d atoms with < 12 neighbours deeper than 2.6 A (deepest %.3f)"
                    % (low_shallow_bad.sum(), depth[low_shallow_bad].max()))
    if deep_bad.any() and not low_shallow_bad.any():
        errs.append("%d deep atoms without 12 neighbours" % deep_bad.sum())
    if over.any():
        errs.append("%d atoms with more than 12 neighbours (max %d)" % (over.sum(), cn[over].max()))
    return errs


def padded_box_errors(box, pos, axes):
    errs = []
    for k in axes:
        top = box[k, 1] - pos[:, k].max()
        bot = pos[:, k].min() - box[k, 0]
        if not (-1e-6 <= top <= 0.2 + 2e-6 and -1e-6 <= bot <= 0.2 + 2e-6):
            errs.append("box %s pads %.6f below, %.6f above" % ("xyz"[k], bot, top))
    return errs


def check_particle(tmp, files, name, crystal, shape, R, rows=None, published=None):
    rows = rows or [(1, 0, 0), (0, 1, 0), (0, 0, 1)]
    out = os.path.join(tmp, "particle.lmp")
    labels = [("M_cluster_mode", shape), ("M_cluster_input", files[crystal]), ("M_cluster_r", R)]
    for row, vec in zip("xyz", rows):
        labels += [("M_cluster_%s%s" % (row, col), v) for col, v in zip("xyz", vec)]
    quelm("nanoparticle", labels, out)
    box, ids, types, pos = read_data(out)
    errs = []

    reach = R if shape == 0 else 3 * R + 1
    sites = lattice_sites(crystal, reach)
    if shape == 0:
        r = np.linalg.norm(sites, axis=1)
        inside, margin = r <= R, np.abs(r - R)
        depth = R - np.linalg.norm(pos, axis=1)
    else:
        normals = rotated_normals(shape, rows)
        h = sites @ normals.T
        inside, margin = (h <= R).all(axis=1), np.abs(h - R).min(axis=1)
        depth = (R - pos @ normals.T).min(axis=1)
    ties = int((margin < 1e-6).sum())
    expect = sites[inside]
    if ties:
        errs.append("%d sites lie on the surface within 1e-6 (count ambiguous)" % ties)
    if len(pos) != len(expect):
        errs.append("%d atoms, %d sites in the shape" % (len(pos), len(expect)))
    if published is not None and len(pos) != published:
        errs.append("%d atoms, published %d" % (len(pos), published))
    dev = match_sites(pos, expect) if len(pos) else 0.0
    if dev > 1e-4:
        errs.append("an atom lies %.4f A from every site of the shape" % dev)
    errs += padded_box_errors(box, pos, (0, 1, 2))
    cn_map = coordination(tmp, out, box)
    cn = np.array([cn_map.get(i, -1) for i in ids])
    errs += check_depth_rule(cn, depth)
    under = cn < 12
    figures = "%5d atoms (sites %d%s), %d with < 12 neighbours (deepest %.3f A), closest %.4f" % (
        len(pos), len(expect), "" if published is None else ", published %d" % published,
        under.sum(), depth[under].max() if under.any() else 0.0, closest_pair(pos))
    report(name, errs, figures)


def section_depth(section, R, uv):
    if section == 0:
        return R - np.linalg.norm(uv, axis=1)
    m = {1: 4, 2: 6, 3: 8}[section]
    ang = 2 * math.pi * np.arange(m) / m
    return (R - uv @ np.stack([np.cos(ang), np.sin(ang)])).min(axis=1)


def section_area(section, R):
    if section == 0:
        return math.pi * R * R
    m = {1: 4, 2: 6, 3: 8}[section]
    return m * R * R * math.tan(math.pi / m)


def check_wire(tmp, files, name, crystal, section, R, H, density=False):
    out = os.path.join(tmp, "wire.lmp")
    quelm("nanowire", [("M_wire_mode", section), ("M_wire_input", files[crystal]), ("M_wire_dir", 2),
                       ("M_wire_r", R), ("M_wire_h", H)], out)
    box, ids, types, pos = read_data(out)
    errs = []
    e = C_HCP if crystal == "hcp" else CUBIC[crystal]
    n = int(H / e + 1)
    length = n * e
    if abs(box[2, 1] - box[2, 0] - length) > 2e-6 or abs(box[2, 0] + length / 2) > 2e-6:
        errs.append("box z %s, want %d periods %.6f centred" % (box[2], n, length))

    # one period of sites within the section, then repeated n times
    sites = lattice_sites(crystal, math.hypot(R * 1.5 + 2, e + 1))
    depth_s = section_depth(section, R, sites[:, :2])
    margin = np.abs(depth_s)
    one = sites[(depth_s >= 0) & (sites[:, 2] >= -1e-9) & (sites[:, 2] < e - 1e-9)]
    ties = int(((margin < 1e-6) & (sites[:, 2] >= -1e-9) & (sites[:, 2] < e - 1e-9)).sum())
    if ties:
        errs.append("%d sites lie on the surface within 1e-6 (count ambiguous)" % ties)
    expect = np.concatenate([one + [0, 0, k * e] for k in range(n)])
    if len(pos) != len(expect):
        errs.append("%d atoms, %d sites in the wire" % (len(pos), len(expect)))
    dev = match_sites(pos, expect, period=length) if len(pos) else 0.0
    if dev > 1e-4:
        errs.append("an atom lies %.4f A from every site of the wire" % dev)
    errs += padded_box_errors(box, pos, (0, 1))
    if ((pos[:, 2] < box[2, 0] - 1e-6) | (pos[:, 2] > box[2, 1] + 1e-6)).any():
        errs.append("atoms outside the box along z")

    depth = section_depth(section, R, pos[:, :2])
    cn_map = coordination(tmp, out, box, periodic_axis=2)
    cn = np.array([cn_map.get(i, -1) for i in ids])
    errs += check_depth_rule(cn, depth)
    under = cn < 12
    figures = "%5d atoms (sites %d, %d periods), %d with < 12 neighbours (deepest %.3f A)" % (
        len(pos), len(expect), n, under.sum(), depth[under].max() if under.any() else 0.0)
    if density:
        if crystal == "hcp":
            rho = 2 / (A_HCP * A_HCP * math.sqrt(3) / 2 * C_HCP)
        else:
            rho = 4 / CUBIC[crystal] ** 3
        got = len(pos) / (section_area(section, R) * length)
        ratio = got / rho
        figures += ", density %.5f / crystal %.5f = %.4f" % (got, rho, ratio)
        if abs(ratio - 1) > 0.03:
            errs.append("density %.4f of the crystal's" % ratio)
        # the inner core (3 A inside) has the density of the crystal exactly
        # when the lattice is right: count the atoms per period there
        inner = depth > 3.0
        want_inner = int((section_depth(section, R, one[:, :2]) > 3.0).sum()) * n
        if inner.sum() != want_inner:
            errs.append("%d atoms deeper than 3 A, crystal %d" % (inner.sum(), want_inner))
    report(name, errs, figures)


def check_coreshell(tmp, files, name, shell, core, shape, Rs, Rc, solid):
    out = os.path.join(tmp, "coreshell.lmp")
    labels = [("M_coreshell_mode", shape), ("M_coreshell_input", files[shell]), ("M_coreshell_r", Rs),
              ("M_coreshell_core", Rc), ("M_coreshell_cmode", 1 if solid else 0)]
    if solid:
        labels.append(("M_coreshell_cfile", files[core]))
    quelm("coreshell", labels, out)
    box, ids, types, pos = read_data(out)
    errs = []
    rs, rc = max(Rs, Rc), min(Rs, Rc)
    s = lattice_sites(shell, rs)
    rsh = np.linalg.norm(s, axis=1)
    want_shell = s[(rsh >= rc)]
    want_core = np.zeros((0, 3))
    if solid:
        c = lattice_sites(core, rc)
        want_core = c[np.linalg.norm(c, axis=1) < rc]
    ties = int((np.abs(rsh - rc) < 1e-6).sum() + (np.abs(rsh - rs) < 1e-6).sum())
    if ties:
        errs.append("%d shell sites lie on a surface within 1e-6" % ties)
    # the two lattices share the centre site but not their spacing: a shell
    # site just outside Rc can sit a fraction of an angstrom from a core site
    # just inside it; such shell atoms (closer than 0.75 times the smaller
    # nearest-neighbour distance) are left out
    overlapped = 0
    if len(want_core):
        nn = min(CUBIC[shell], CUBIC[core]) / math.sqrt(2)
        d, _ = cKDTree(want_core).query(want_shell)
        overlapped = int((d < 0.75 * nn).sum())
        want_shell = want_shell[d >= 0.75 * nn]
    n_shell, n_core = int((types == 1).sum()), int((types == 2).sum())
    if n_shell != len(want_shell) or n_core != len(want_core) or len(pos) != n_shell + n_core:
        errs.append("shell %d (sites %d), core %d (sites %d), total %d"
                    % (n_shell, len(want_shell), n_core, len(want_core), len(pos)))
    for label, sel, want in (("shell", types == 1, want_shell), ("core", types == 2, want_core)):
        if sel.any() and len(want):
            dev = match_sites(pos[sel], want)
            if dev > 1e-4:
                errs.append("a %s atom lies %.4f A from every %s site" % (label, dev, label))
    errs += padded_box_errors(box, pos, (0, 1, 2))
    dmin = closest_pair(pos)
    floor = 0.75 * 2.492
    if dmin < floor:
        d, _ = cKDTree(pos).query(pos, k=2)
        errs.append("%d atoms have a neighbour closer than %.3f A (closest %.4f)"
                    % (int((d[:, 1] < floor).sum()), floor, dmin))
    r = np.linalg.norm(pos, axis=1)
    depth = rs - r
    cn_map = coordination(tmp, out, box)
    cn = np.array([cn_map.get(i, -1) for i in ids])
    if solid:
        far = np.abs(r - rc) > 3.0
    else:
        far = np.ones(len(pos), bool)
        depth = np.minimum(depth, r - rc)   # the hollow's surface too
    errs += check_depth_rule(cn, depth, far)
    near = ~far
    figures = "%5d atoms (shell %d, core %d, %d overlapped shell sites left out), closest %.4f, " \
        "%d with < 12 neighbours" % (len(pos), n_shell, n_core, overlapped, dmin, (cn < 12).sum())
    if solid:
        figures += "; within 3 A of the interface: %d atoms, coordination %d..%d" % (
            near.sum(), cn[near].min() if near.any() else 0, cn[near].max() if near.any() else 0)
    report(name, errs, figures)


def main():
    with tempfile.TemporaryDirectory() as tmp:
        files = {"Cu": os.path.join(tmp, "cu.lmp"), "Ni": os.path.join(tmp, "ni.lmp"),
                 "hcp": os.path.join(tmp, "hcp.lmp")}
        write_cubic(files["Cu"], A_CU)
        write_cubic(files["Ni"], A_NI)
        write_hcp(files["hcp"])

        print("Nanoparticles (LAMMPS compute coord/atom cutoff 3.0):")
        cases = [
            ("Cu sphere R 10", "Cu", 0, 10, None, 369),
            ("Cu sphere R 20", "Cu", 0, 20, None, 2899),
            ("Cu hexahedron R 10", "Cu", 2, 10, None, 665),
            ("Cu octahedron R 10", "Cu", 3, 10, None, 489),
            ("Cu tetrahedron R 5", "Cu", 1, 5, None, 133),
            ("Cu tetrahedron R 8", "Cu", 1, 8, None, None),
            ("Cu dodecahedron R 10", "Cu", 4, 10, None, None),
            ("Cu icosahedron R 10", "Cu", 5, 10, None, None),
            ("Cu icosahedron R 14", "Cu", 5, 14, None, None),
            ("Cu hexahedron R 10 [110][-110][001]", "Cu", 2, 10, [(1, 1, 0), (-1, 1, 0), (0, 0, 1)], None),
            ("Cu octahedron R 12 [110][-110][001]", "Cu", 3, 12, [(1, 1, 0), (-1, 1, 0), (0, 0, 1)], None),
            ("Ni sphere R 12", "Ni", 0, 12, None, None),
            ("hcp sphere R 10 (triclinic file)", "hcp", 0, 10, None, None),
        ]
        for name, crystal, shape, R, rows, published in cases:
            try:
                check_particle(tmp, files, name, crystal, shape, R, rows, published)
            except RuntimeError as e:
                report(name, [str(e)], "")

        print("Nanowires along z (periodic along z in LAMMPS):")
        cases = [
            ("Cu cylinder R 10 H 20", "Cu", 0, 10, 20, False),
            ("Cu hexagonal R 10 H 20", "Cu", 2, 10, 20, False),
            ("Cu square R 8 H 10", "Cu", 1, 8, 10, False),
            ("hcp cylinder R 20 H 20", "hcp", 0, 20, 20, True),
            ("hcp hexagonal R 20 H 12", "hcp", 2, 20, 12, True),
        ]
        for name, crystal, section, R, H, dens in cases:
            try:
                check_wire(tmp, files, name, crystal, section, R, H, dens)
            except RuntimeError as e:
                report(name, [str(e)], "")

        print("Core-shell particles:")
        cases = [
            ("Cu shell R 15, solid Ni core R 8", "Cu", "Ni", 0, 15, 8, True),
            ("Cu shell R 12, solid Ni core R 6", "Cu", "Ni", 0, 12, 6, True),
            ("radii swapped: 8, 15", "Cu", "Ni", 0, 8, 15, True),
            ("Cu shell R 15, empty core R 8", "Cu", None, 0, 15, 8, False),
        ]
        for name, shell, core, shape, Rs, Rc, solid in cases:
            try:
                check_coreshell(tmp, files, name, shell, core, shape, Rs, Rc, solid)
            except RuntimeError as e:
                report(name, [str(e)], "")

    if failures:
        print("FAILED: %d case(s): %s" % (len(failures), ", ".join(failures)))
        sys.exit(1)
    print("all cases ok")


if __name__ == "__main__":
    main()
