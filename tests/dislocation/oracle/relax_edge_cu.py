#!/usr/bin/python3
"""Writes ../fixtures/edge_cu_relaxed.dump: a relaxed, dissociated edge
dislocation in fcc copper, for the dislocation analysis tests.

What the fixture holds
----------------------
One LAMMPS `dump custom` snapshot (timestep 0, atoms sorted by id, orthogonal
box, columns `id type x y z c_cna`).  c_cna is LAMMPS's
`compute cna/atom 3.09` (0.854 a) of the relaxed state: 1 fcc, 2 hcp,
5 other (LAMMPS codes; 3 bcc and 4 ico do not occur here).

  crystal   fcc Cu, a = 3.615 A, EAM potential Cu_mishin1.eam.alloy
  axes      x = [1 -1 0]  (Burgers vector direction)
            y = [1 1 1]   (glide-plane normal)
            z = [1 1 -2]  (dislocation line)
            (this frame is left-handed; because fcc is centrosymmetric the
            atom positions are still a perfect fcc lattice)
  box       x periodic, length (N + 1/2) b with b = a/sqrt2;
            y free surfaces (LAMMPS boundary `s`, shrink-wrapped);
            z periodic, exactly one period a sqrt6 / 2 = 4.4274 A
  defect    one edge dislocation, b = a/2 [1 -1 0], on the (111) plane in
            the middle of the slab, made by the N / N+1 construction: the
            half-crystal above the glide plane has N+1 (1 -1 0) columns, the
            one below has N, both strained to the common length (N + 1/2) b
            so their registry is perfect at x = 0 and off by b/2 at x = L/2.
            Conjugate-gradient relaxation lets the core form at x ~ L/2 and
            split into two a/6<112> Shockley partials with an intrinsic
            stacking-fault ribbon between them (a double (111) layer of
            hcp-coordinated atoms).

Atoms at the two free y surfaces (and none else apart from the two partial
cores) are CNA "other"; the script prints the y-range of the interior so a
test can leave the surfaces out.

Regenerating
------------
    /usr/bin/python3 tests/dislocation/oracle/relax_edge_cu.py
(needs the LAMMPS binary `lmp` and /usr/share/lammps/potentials; runs in a
temporary folder, takes well under a minute).  Options: --out FILE,
--check FILE (only analyse an existing dump), --keep (leave the LAMMPS
folder in place and print its path).

The script then reads the dump back and prints the atom count, the box, the
number of atoms per CNA class, the x extent (partial separation) and the
y extent of the hcp ribbon, and checks that the ribbon is one (111) double
layer sitting on the glide plane where the dislocation was put.
"""

import argparse
import math
import os
import shutil
import subprocess
import sys
import tempfile

import numpy as np

A = 3.615                                   # lattice parameter, Angstrom
POTENTIAL = "/usr/share/lammps/potentials/Cu_mishin1.eam.alloy"
CNA_CUT = 3.09                              # 0.854 a
N_COLUMNS = 64                              # columns below the glide plane
N_LAYERS = 40                               # (111) layers in the slab

B = A / math.sqrt(2.0)                      # |a/2 <110>|, x period
D111 = A / math.sqrt(3.0)                   # (111) layer spacing
LZ = A * math.sqrt(6.0) / 2.0               # [11-2] period

HERE = os.path.dirname(os.path.abspath(__file__))
DEFAULT_OUT = os.path.normpath(os.path.join(HERE, "..", "fixtures",
                                            "edge_cu_relaxed.dump"))


def rotation():
    rows = [np.array(v, float) for v in ([1, -1, 0], [1, 1, 1], [1, 1, -2])]
    return np.array([r / np.linalg.norm(r) for r in rows])


def fcc_block(nx):
    """Perfect fcc crystal in the (x, y, z) frame above, nx columns of
    width b along x, N_LAYERS (111) layers along y, one period along z.
    Layer k sits at y = (k + 1/2) d111."""
    basis = A * np.array([[0, 0, 0], [0.5, 0.5, 0], [0.5, 0, 0.5],
                          [0, 0.5, 0.5]])
    lx = nx * B
    ly = N_LAYERS * D111
    reach = int(math.ceil(max(lx, ly, LZ) * 2.0 / A)) + 2
    r = np.arange(-reach, reach + 1)
    cells = np.array(np.meshgrid(r, r, r, indexing="ij")).reshape(3, -1).T
    pts = (cells[:, None, :] * A + basis[None, :, :]).reshape(-1, 3)
    pts = pts @ rotation().T
    pts[:, 1] += 0.5 * D111                 # layers at (k + 1/2) d111
    eps = 1e-6
    keep = ((pts[:, 0] >= -eps) & (pts[:, 0] < lx - eps) &
            (pts[:, 1] >= -eps) & (pts[:, 1] < ly - eps) &
            (pts[:, 2] >= -eps) & (pts[:, 2] < LZ - eps))
    pts = pts[keep]
    expect = nx * N_LAYERS * 2
    if len(pts) != expect:
        raise RuntimeError("fcc block has %d atoms, expected %d"
                           % (len(pts), expect))
    pts[np.abs(pts) < eps] = 0.0
    return pts


def build():
    """Edge dislocation by the N / N+1 construction (see the header)."""
    n = N_COLUMNS
    lx = (n + 0.5) * B
    y_cut = 0.5 * N_LAYERS * D111           # between layers N/2-1 and N/2
    upper = fcc_block(n + 1)
    upper = upper[upper[:, 1] > y_cut]
    lower = fcc_block(n)
    lower = lower[lower[:, 1] < y_cut]
    ref = np.vstack([lower, upper])         # unstrained positions
    pos = ref.copy()
    pos[:len(lower), 0] *= lx / (n * B)
    pos[len(lower):, 0] *= lx / ((n + 1) * B)
    return pos, lx, y_cut, ref


def write_data(path, pos, lx):
    ylo = pos[:, 1].min() - 5.0
    yhi = pos[:, 1].max() + 5.0
    with open(path, "w") as f:
        f.write("edge dislocation in Cu, N/N+1 construction\n\n")
        f.write("%d atoms\n1 atom types\n\n" % len(pos))
        f.write("0.0 %.10f xlo xhi\n" % lx)
        f.write("%.10f %.10f ylo yhi\n" % (ylo, yhi))
        f.write("0.0 %.10f zlo zhi\n\n" % LZ)
        f.write("Masses\n\n1 63.546\n\nAtoms # atomic\n\n")
        for i, p in enumerate(pos, 1):
            f.write("%d 1 %.10f %.10f %.10f\n" % (i, p[0], p[1], p[2]))


LAMMPS_INPUT = """\
units           metal
atom_style      atomic
boundary        p s p
read_data       start.data
pair_style      eam/alloy
pair_coeff      * * {potential} Cu
neighbor        2.0 bin
neigh_modify    delay 0 every 1 check yes
thermo          500
thermo_style    custom step pe fnorm
min_style       cg
minimize        0.0 1.0e-8 50000 500000
reset_timestep  0
compute         cna all cna/atom {cut}
dump            out all custom 1 relaxed.dump id type x y z c_cna
dump_modify     out sort id format line "%d %d %.6f %.6f %.6f %.0f"
run             0
"""


def relax(out, keep):
    pos, lx, y_cut, _ = build()
    work = tempfile.mkdtemp(prefix="edge_cu_")
    try:
        write_data(os.path.join(work, "start.data"), pos, lx)
        with open(os.path.join(work, "in.relax"), "w") as f:
            f.write(LAMMPS_INPUT.format(potential=POTENTIAL, cut=CNA_CUT))
        res = subprocess.run(["lmp", "-in", "in.relax", "-log", "log.lammps",
                              "-screen", "none"], cwd=work)
        if res.returncode != 0:
            sys.exit("lmp failed, see %s/log.lammps" % work)
        os.makedirs(os.path.dirname(out), exist_ok=True)
        shutil.copyfile(os.path.join(work, "relaxed.dump"), out)
        for line in open(os.path.join(work, "log.lammps")):
            if line.startswith("  Energy initial") or \
               line.startswith("  Force two-norm") or \
               line.startswith("  Iterations,") or \
               line.startswith("  Stopping criterion"):
                print("lmp:" + line.rstrip())
    finally:
        if keep:
            print("LAMMPS folder kept:", work)
        else:
            shutil.rmtree(work, ignore_errors=True)
    return lx, y_cut


def read_dump(path):
    with open(path) as f:
        lines = f.read().splitlines()
    i = lines.index("ITEM: NUMBER OF ATOMS")
    n = int(lines[i + 1])
    j = next(k for k, l in enumerate(lines) if l.startswith("ITEM: BOX BOUNDS"))
    bounds = lines[j].split()[3:]
    box = np.array([[float(v) for v in lines[j + d].split()]
                    for d in (1, 2, 3)])
    k = next(k for k, l in enumerate(lines) if l.startswith("ITEM: ATOMS"))
    cols = lines[k].split()[2:]
    data = np.array([[float(v) for v in l.split()]
                     for l in lines[k + 1:k + 1 + n]])
    return cols, bounds, box, data


def layers_of(y, tol=0.4):
    """Groups sorted y values into layers (gaps larger than tol)."""
    ys = np.sort(y)
    groups, cur = [], [ys[0]]
    for v in ys[1:]:
        if v - cur[-1] > tol:
            groups.append(cur)
            cur = []
        cur.append(v)
    groups.append(cur)
    return [(min(g), max(g), len(g)) for g in groups]


def check(path, y_cut=None, lx=None):
    cols, bounds, box, d = read_dump(path)
    print("file:", path, "(%d bytes)" % os.path.getsize(path))
    print("columns:", " ".join(cols))
    print("boundary:", " ".join(bounds))
    for name, (lo, hi) in zip("xyz", box):
        print("box %s: %.6f .. %.6f  (length %.6f)" % (name, lo, hi, hi - lo))
    ids, x, y, z, cna = d[:, 0], d[:, 2], d[:, 3], d[:, 4], d[:, 5].astype(int)
    n = len(d)
    print("atoms:", n, " ids sorted 1..n:",
          bool(np.all(ids == np.arange(1, n + 1))))
    counts = {c: int(np.sum(cna == c)) for c in sorted(set(cna))}
    print("CNA counts:", ", ".join("%d: %d" % kv for kv in counts.items()))

    lx = box[0, 1] - box[0, 0]
    hcp = cna == 2
    other = cna == 5
    hx, hy = x[hcp], y[hcp]
    hl = layers_of(hy)
    print("hcp ribbon: x %.3f .. %.3f (extent %.3f A = %.2f nm), "
          "y %.3f .. %.3f (height %.3f A)"
          % (hx.min(), hx.max(), hx.max() - hx.min(),
             (hx.max() - hx.min()) / 10, hy.min(), hy.max(),
             hy.max() - hy.min()))
    print("hcp ribbon (111) layers (ymin, ymax, count):",
          ", ".join("(%.3f, %.3f, %d)" % g for g in hl))
    ok = len(hl) == 2 and all(abs(g[1] - g[0]) < 0.4 for g in hl)
    gap = hl[1][0] - hl[0][1] if len(hl) == 2 else float("nan")
    print("hcp ribbon is one (111) double layer:", ok,
          " layer spacing %.3f A (d111 = %.3f)" % (gap, D111))

    # The interior: everything that is not a surface layer.  Surface
    # atoms are the 'other' atoms in the outermost (111) layers.
    al = layers_of(y)
    print("(111) layers in the slab:", len(al),
          " bottom layer y %.3f .. %.3f, top layer y %.3f .. %.3f"
          % (al[0][0], al[0][1], al[-1][0], al[-1][1]))
    surf_lo = y < al[1][0] - 0.3            # bottom-most layer
    surf_hi = y > al[-2][1] + 0.3           # top-most layer
    surf = surf_lo | surf_hi
    print("atoms in the outermost layers: %d bottom + %d top, CNA other: %d"
          % (surf_lo.sum(), surf_hi.sum(), int(np.sum(other & surf))))
    inner = ~surf
    io = other & inner
    print("interior (y %.3f .. %.3f, all x): %d atoms, CNA counts %s"
          % (al[1][0], al[-2][1], inner.sum(),
             ", ".join("%d: %d" % (c, int(np.sum(cna[inner] == c)))
                       for c in sorted(set(cna[inner])))))
    print("non-surface 'other' atoms (partial cores): x %.3f .. %.3f, "
          "y %.3f .. %.3f" % (x[io].min(), x[io].max(), y[io].min(),
                              y[io].max()))
    # The two cores: split the core atoms at the ribbon's centre.
    xm = 0.5 * (hx.min() + hx.max())
    left, right = x[io] < xm, x[io] >= xm
    cl, cr = x[io][left].mean(), x[io][right].mean()
    print("partial cores: %d atoms around x = %.3f, %d atoms around "
          "x = %.3f; core-to-core %.3f A"
          % (left.sum(), cl, right.sum(), cr, cr - cl))
    print("ribbon centre x = %.3f (box centre %.3f), ribbon mid-height "
          "y = %.3f" % (xm, 0.5 * (box[0, 0] + box[0, 1]),
                        0.5 * (hy.min() + hy.max())))
    ok = disregistry(d, lx) and ok
    fcc_ok = counts.get(1, 0) > 0.9 * n
    return ok and fcc_ok


def disregistry(d, lx):
    """Slip across the glide plane: displacement (from the unstrained
    reference of the build) of the layer just above the cut minus that of
    the layer just below, along x (edge component) and z (screw
    component).  A single edge dislocation of Burgers vector a/2[1 -1 0]
    takes the x slip from 0 to b across the box; its dissociation shows as
    two steps of b/2, with a z slip of b/(2 sqrt3) in the fault between
    them (the two partials' screw components cancel)."""
    _, _, y_cut, ref = build()
    if len(ref) != len(d):
        print("dump does not match the build, no disregistry check")
        return True
    cur = d[:, 2:5]
    u = cur - ref
    u[:, 0] -= lx * np.round(u[:, 0] / lx)
    u[:, 2] -= LZ * np.round(u[:, 2] / LZ)
    above = np.abs(ref[:, 1] - (y_cut + 0.5 * D111)) < 1e-3
    below = np.abs(ref[:, 1] - (y_cut - 0.5 * D111)) < 1e-3
    xb = cur[below, 0]
    o = np.argsort(xb)
    xa = cur[above, 0]
    oa = np.argsort(xa)
    xa = xa[oa]
    dx = u[above, 0][oa] - np.interp(xa, xb[o], u[below, 0][o])
    dz = u[above, 2][oa] - np.interp(xa, xb[o], u[below, 2][o])
    print("glide plane put at y = %.3f before relaxation (between the "
          "layers at %.3f and %.3f)" % (y_cut, y_cut - 0.5 * D111,
                                         y_cut + 0.5 * D111))
    print("disregistry across it (upper minus lower layer), every 8th atom:")
    print("     x        dx       dz")
    for i in range(0, len(xa), 8):
        print("  %7.2f  %7.3f  %7.3f" % (xa[i], dx[i], dz[i]))
    total = dx[-1] - dx[0]
    sgn = np.sign(total)
    s = dx * sgn
    x1 = np.interp(0.25 * B, s, xa)
    x2 = np.interp(0.75 * B, s, xa)
    mid = (xa > x1 + 3) & (xa < x2 - 3)
    print("total x slip %.3f A (b = %.3f), partials (x slip = b/4, 3b/4) "
          "at x = %.3f and %.3f: separation %.3f A"
          % (total, B, x1, x2, x2 - x1))
    print("in the fault: x slip %.3f A (b/2 = %.3f), z slip %.3f A "
          "(b/(2 sqrt3) = %.3f)" % (np.mean(np.abs(dx[mid])), 0.5 * B,
                                    np.mean(dz[mid]), B / (2 * math.sqrt(3))))
    return (abs(abs(total) - B) < 0.05 and
            abs(np.mean(np.abs(dx[mid])) - 0.5 * B) < 0.1 and
            abs(abs(np.mean(dz[mid])) - B / (2 * math.sqrt(3))) < 0.1)


def main():
    ap = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    ap.add_argument("--out", default=DEFAULT_OUT)
    ap.add_argument("--check", metavar="FILE",
                    help="only analyse an existing dump")
    ap.add_argument("--keep", action="store_true")
    args = ap.parse_args()
    if args.check:
        sys.exit(0 if check(args.check) else 1)
    lx, y_cut = relax(args.out, args.keep)
    sys.exit(0 if check(args.out, y_cut, lx) else 1)


if __name__ == "__main__":
    main()
