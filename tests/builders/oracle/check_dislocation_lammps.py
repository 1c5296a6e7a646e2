#!/usr/bin/python3
"""Checks the Dislocation builder's edge dislocation with LAMMPS (development
check, not run by CI).

A copper crystal (fcc, a = 3.615 A, the lattice parameter of the EAM
potential Cu_u3.eam) is built with `quelm-batch build monocrystal` with x
along [1-10] (the Burgers direction), y along [111] (the slip-plane normal)
and z along [11-2] (the line). `quelm-batch build dislocation` inserts a
full edge dislocation b = a/sqrt(2) [1-10], nu = 0.3, line along +z,
Burgers direction +x, centred between two (111) planes and between two atom
columns near the middle of the box.

1. The built model: every atom kept (same ids, same box, nothing NaN), and
   each atom's displacement equals the isotropic Volterra field evaluated
   here with numpy in the right-handed frame x = s (Burgers direction),
   y = n = xi x s, z = xi:
       u_x = b/2pi (theta + x y / (2 (1 - nu) r^2))
       u_y = -b/2pi ((1 - 2 nu)/(4 (1 - nu)) ln r^2 + (x^2 - y^2)/(4 (1 - nu) r^2))
   (Hirth and Lothe), within the six decimals of the data file. A few atoms
   around the core are printed. The sense is checked on the atoms
   themselves: across the cut (the half-plane x < 0, y = 0) u_x jumps by +b
   going round the line counter-clockwise about +z, and the half of the
   crystal on the +n side is the compressed one (the extra half-plane lies
   on the side of xi x b).
2. LAMMPS (pair_style eam, Cu_u3.eam; free surfaces along x and y, periodic
   along the line, 10 A thick layers at the top and bottom held fixed)
   relaxes the model with `minimize` (the data file is handed over with its
   box widened by 5 A along x and y: the builder keeps the box, and the
   field moves the bottom layer and the ends of the cut out of it); `compute cna/atom` must then find the
   Shockley dissociation: the hcp atoms (code 2) form one ribbon on the two
   (111) planes bounding the slip plane (a stacking fault is two hcp planes
   thick), contiguous along x, centred on the inserted line within 5 A, with
   no atom lost or NaN. The ribbon's width (the partial separation) is
   printed with the isotropic estimate
       d = G b_p^2 (2 + nu) / (8 pi gamma (1 - nu)),  b_p = a/sqrt(6),
   where G = (C11 - C12 + C44)/3 (the shear modulus of {111}<110>) and the
   stacking-fault energy gamma are computed here with LAMMPS for the same
   potential; the width must lie within a factor 2 of the estimate. Cu_u3
   has a low stacking-fault energy (17.5 mJ/m^2), so its partials stand
   about 7 nm apart (estimate 6.5 nm); the same set-up with
   Cu_mishin1.eam.alloy (44 mJ/m^2) gives 3.2 nm (estimate 2.6 nm). The
   held layers pull the partials together: 5.4 nm for a 150 A high box,
   7.0 nm for this one (225 A), 7.6 nm for 300 A.

Needs the Debian package lammps (lmp, Cu_u3.eam) and a built quelm-batch;
runs about a minute and a half on one core:
    /usr/bin/python3 tests/builders/oracle/check_dislocation_lammps.py build/app/quelm-batch
With `--fixtures DIR` it also writes a small crystal and its expected edge
dislocation (computed here) for tests that run without LAMMPS.
"""
import math
import os
import sys
import tempfile

import numpy as np

FIXTURES = sys.argv[sys.argv.index("--fixtures") + 1] if "--fixtures" in sys.argv[:-1] else None

A = 3.615                    # Cu_u3.eam's lattice parameter
B = A / math.sqrt(2)         # full dislocation a/2 <110>
BP = A / math.sqrt(6)        # Shockley partial a/6 <112>
D111 = A / math.sqrt(3)      # (111) spacing
NU = 0.3
REPEAT = (64, 36, 1)         # cells of 5.11 x 6.26 x 8.85 A: 327 x 225 x 8.9 A, 55296 atoms
FIXED = 10.0                 # thickness of the held layers, A
EV_A2_TO_MJ_M2 = 16021.766

from lammps_check import failures, report, potential, quelm, read_data, read_dump, lammps, thermo_rows


def crystal(tmp, name, repeat):
    out = os.path.join(tmp, name)
    labels = [("M_single_str", 0), ("M_single_a", A)]
    for axis, v in zip("xyz", [(1, -1, 0), (1, 1, 1), (1, 1, -2)]):
        labels += [("M_single_o%s%s" % (axis, idx), val) for idx, val in zip("hkl", v)]
    labels += [("M_single_dp%s" % axis, n) for axis, n in zip("xyz", repeat)]
    quelm("monocrystal", labels, out)
    return out


# ---------------------------------------------------------------- the potential's constants

ELASTIC = """units metal
atom_style atomic
boundary p p p
lattice fcc {a}
region b prism 0 4 0 4 0 4 0 0 0
create_box 1 b
create_atoms 1 box
pair_style eam
pair_coeff 1 1 {pot}
thermo_style custom step pe pxx pyy pzz pyz
thermo_modify format float %.12g
run 0
change_box all x scale 1.001 remap
run 0
change_box all x scale {back} remap
change_box all yz delta {tilt} remap units box
run 0
"""


def elastic_constants(tmp, pot):
    """C11, C12, C44 in GPa from 0.1 % strains of the perfect crystal."""
    log = lammps(tmp, "elastic", ELASTIC.format(a=A, pot=pot, back=1 / 1.001, tilt=0.001 * 4 * A))
    r0, rx, rs = thermo_rows(log, "Step")[-3:]
    c11 = -(rx["Pxx"] - r0["Pxx"]) / 0.001 / 1e4
    c12 = -(rx["Pyy"] - r0["Pyy"]) / 0.001 / 1e4
    c44 = -(rs["Pyz"] - r0["Pyz"]) / 0.001 / 1e4
    return c11, c12, c44


FAULT = """units metal
atom_style atomic
boundary p s p
read_data {data}
mass * 63.546
pair_style eam
pair_coeff 1 1 {pot}
region up block INF INF {ycut} INF INF INF units box
group up region up
displace_atoms up move 0 0 {shift} units box
fix hold all setforce 0.0 NULL 0.0
thermo_style custom step pe
thermo_modify format float %.12g
min_style cg
minimize 0 1e-8 2000 20000
"""


def stacking_fault_energy(tmp, pot):
    """Intrinsic stacking-fault energy (mJ/m^2): the upper half of a (111)
    slab shifted by a/6 [11-2] either way (one way gives the intrinsic fault,
    the other two Shockley shifts, the on-top stacking), relaxed along [111]
    only, against the unshifted slab."""
    data = crystal(tmp, "fault.lmp", (2, 4, 1))
    box, ids, pos = read_data(data)
    ys = np.unique(np.round(pos[:, 1], 4))
    ycut = 0.5 * (ys[len(ys) // 2 - 1] + ys[len(ys) // 2])
    area = (box[0, 1] - box[0, 0]) * (box[2, 1] - box[2, 0])
    energies = {}
    for shift in (0.0, BP, -BP):
        log = lammps(tmp, "fault", FAULT.format(data=data, pot=pot, ycut=ycut, shift=shift))
        energies[shift] = thermo_rows(log, "Step")[-1]["PotEng"]
    return min(energies[BP], energies[-BP]) - energies[0.0], area


# ---------------------------------------------------------------- the built model

def volterra_edge(x, y, b, nu):
    """Hirth and Lothe's isotropic edge field, b along +x, line along +z."""
    r2 = x * x + y * y
    th = np.arctan2(y, x)
    ux = b / (2 * np.pi) * (th + x * y / (2 * (1 - nu) * r2))
    uy = -b / (2 * np.pi) * ((1 - 2 * nu) / (4 * (1 - nu)) * np.log(r2) + (x * x - y * y) / (4 * (1 - nu) * r2))
    return ux, uy


def centre_between(values, middle):
    """The midpoint of the two distinct values around `middle`."""
    v = np.unique(np.round(values, 4))
    k = int(np.searchsorted(v, middle))
    return 0.5 * (v[k - 1] + v[k])


def check_built(box0, ids0, p0, box, ids, p, C):
    print("Built model (quelm-batch build dislocation, edge, b = %.4f A, nu = %.2f):" % (B, NU))
    report("atoms kept (count, ids)", len(ids) == len(ids0) and (ids == ids0).all(),
           "%d atoms in, %d out" % (len(ids0), len(ids)))
    report("no NaN", bool(np.isfinite(p).all()), "%d non-finite coordinates" % int((~np.isfinite(p)).sum()))
    report("box unchanged", bool(np.abs(box - box0).max() < 1e-6), "largest change %.2g A" % np.abs(box - box0).max())
    if len(ids) != len(ids0):
        return
    u = p - p0
    x, y = p0[:, 0] - C[0], p0[:, 1] - C[1]
    ux, uy = volterra_edge(x, y, B, NU)
    dev = np.abs(u - np.stack([ux, uy, np.zeros_like(ux)], 1))
    report("displacements = isotropic edge field (all atoms)", bool(dev.max() < 3e-6),
           "largest difference %.2g A" % dev.max())
    rho = np.hypot(x, y)
    print("    atoms around the core (x, y from the line; u here | u of the builder):")
    for quadrant in ((1, 1), (-1, 1), (-1, -1), (1, -1)):
        sel = np.where((np.sign(x) == quadrant[0]) & (np.sign(y) == quadrant[1]))[0]
        k = sel[np.argmin(rho[sel])]
        print("      x %7.3f y %7.3f  u_x %8.5f u_y %8.5f | %8.5f %8.5f  (u_z %.1g)"
              % (x[k], y[k], ux[k], uy[k], u[k, 0], u[k, 1], u[k, 2]))

    # the jump across the cut, on the atoms: the row just above and just
    # below the cut plane, 10-20 A behind the line
    # the rows next to the cut plane, 40-80 A behind the line, where the
    # continuous part of u_x is below 1 % of b
    above = (x < -40) & (x > -80) & (y > 0) & (y < D111)
    below = (x < -40) & (x > -80) & (y < 0) & (y > -D111)
    jump = u[above, 0].mean() - u[below, 0].mean()
    report("u_x jumps by +b across the cut (counter-clockwise about +z)", abs(jump - B) < 0.02 * B,
           "jump %.4f A, b %.4f" % (jump, B))
    # the compressed half: the top row gets shorter, the bottom row longer
    # (free ends along x)
    top = p0[:, 1] > p0[:, 1].max() - 0.5 * D111
    bot = p0[:, 1] < p0[:, 1].min() + 0.5 * D111
    d_top = np.ptp(p[top, 0]) - np.ptp(p0[top, 0])
    d_bot = np.ptp(p[bot, 0]) - np.ptp(p0[bot, 0])
    report("extra half-plane on the +y = xi x b side", d_top < -0.1 * B and d_bot > 0.1 * B,
           "top row %+.3f A, bottom row %+.3f A" % (d_top, d_bot))
    outside = ((p < box[:, 0] - 1e-9) | (p > box[:, 1] + 1e-9)).any(axis=1)
    print("    %d atoms lie outside the kept box (lowest y %.3f, box from %.3f)"
          % (outside.sum(), p[:, 1].min(), box[1, 0]))


# ---------------------------------------------------------------- relaxation

RELAX = """units metal
atom_style atomic
boundary s s p
read_data {data}
mass * 63.546
pair_style eam
pair_coeff 1 1 {pot}
region top block INF INF {ytop} INF INF INF units box
region bottom block INF INF INF {ybot} INF INF units box
group top region top
group bottom region bottom
group held union top bottom
fix hold held setforce 0.0 0.0 0.0
thermo 500
thermo_style custom step pe fnorm
thermo_modify format float %.12g
min_style cg
minimize 0 1e-6 20000 200000
compute cna all cna/atom {cut}
dump d all custom 1 {dump} id x y z c_cna
dump_modify d sort id format float %.10g
run 0
"""


def padded_copy(data, out, pad):
    """The data file with its box widened by `pad` along x and y: the
    builder keeps the box, and the edge field moves atoms out of it (the
    whole far field shifts by -(b/2pi)(1 - 2nu)/(4(1 - nu)) ln rho^2 along y,
    rho in A), which read_data refuses along a non-periodic axis."""
    with open(data) as f, open(out, "w") as g:
        for line in f:
            w = line.split()
            if len(w) == 4 and w[3] in ("xhi", "yhi"):
                line = "%.6f %.6f %s %s\n" % (float(w[0]) - pad, float(w[1]) + pad, w[2], w[3])
            g.write(line)
    return out


def relax(tmp, pot, data, box):
    dump = os.path.join(tmp, "relaxed.dump")
    log = lammps(tmp, "relax", RELAX.format(
        data=padded_copy(data, os.path.join(tmp, "edge_padded.lmp"), 5.0), pot=pot, ytop=box[1, 1] - FIXED, ybot=box[1, 0] + FIXED, dump=dump,
        cut="%.4f" % (0.5 * (1 / math.sqrt(2) + 1) * A)))
    rows = thermo_rows(log, "Step")
    steps = [r for r in rows if "Fnorm" in r]
    last = dict(steps[-1]) if steps else {}
    for line in log.split("\n"):
        if "Stopping criterion" in line:
            last["stop"] = line.split("=", 1)[-1].strip()
    return read_dump(dump), last, log


def check_relaxed(d, last, ids0, C, box, estimate):
    print("Relaxed with LAMMPS (minimize: %.0f steps, |F| %.2g eV/A, stopped on %s), compute cna/atom:"
          % (last.get("Step", -1), last.get("Fnorm", float("nan")), last.get("stop", "?")))
    pos = np.stack([d["x"], d["y"], d["z"]], 1)
    lost = len(ids0) - len(d["id"])
    report("no atom lost, none NaN", lost == 0 and bool(np.isfinite(pos).all())
           and (d["id"].astype(int) == ids0).all(), "%d atoms, %d lost" % (len(d["id"]), lost))
    cna = d["c_cna"].astype(int)
    counts = {k: int((cna == k).sum()) for k in range(1, 6)}
    print("    codes: fcc %(1)d, hcp %(2)d, bcc %(3)d, ico %(4)d, other %(5)d" % {str(k): v for k, v in counts.items()})
    inner = (pos[:, 0] > box[0, 0] + 12) & (pos[:, 0] < box[0, 1] - 12) & \
            (pos[:, 1] > box[1, 0] + FIXED + 2) & (pos[:, 1] < box[1, 1] - FIXED - 2)
    hcp = inner & (cna == 2)
    if hcp.sum() < 10:
        report("a stacking-fault ribbon (hcp atoms)", False, "%d hcp atoms inside" % hcp.sum())
        return
    h = pos[hcp]
    # planes of the ribbon
    ys = np.sort(h[:, 1])
    gaps = np.where(np.diff(ys) > 0.5)[0]
    layers = np.split(ys, gaps + 1)
    means = [float(l.mean()) for l in layers]
    sizes = [len(l) for l in layers]
    two = len(layers) == 2 and abs(means[1] - means[0] - D111) < 0.3 and means[0] < C[1] < means[1]
    report("hcp atoms on the two (111) planes bounding the slip plane", two,
           "planes at y - y0 = %s (%s atoms), spacing %.3f A (d111 %.3f)"
           % (", ".join("%.3f" % (m - C[1]) for m in means), ", ".join(map(str, sizes)),
              means[-1] - means[0] if len(means) > 1 else 0, D111))
    # contiguous along x: on each plane no gap wider than two row spacings
    widest = 0.0
    for l in (np.abs(h[:, 1] - m) < 0.5 for m in means):
        xs = np.sort(h[l, 0])
        if len(xs) > 1:
            widest = max(widest, float(np.diff(xs).max()))
    report("the ribbon is contiguous along x", widest < 2 * A / math.sqrt(2),
           "widest gap %.3f A" % widest)
    lo, hi = float(h[:, 0].min()), float(h[:, 0].max())
    width = hi - lo
    centre = 0.5 * (lo + hi)
    report("ribbon centred on the inserted line", abs(centre - C[0]) < 5.0,
           "centre x - x0 = %+.2f A" % (centre - C[0]))
    # the partials: the non-fcc, non-hcp atoms around the slip plane on each side
    core = inner & (cna != 1) & (cna != 2) & (np.abs(pos[:, 1] - C[1]) < 1.5 * D111)
    left = core & (pos[:, 0] < centre)
    right = core & (pos[:, 0] > centre)
    sep = float(pos[right, 0].mean() - pos[left, 0].mean()) if left.any() and right.any() else float("nan")
    report("partial separation of the expected order", 0.5 * estimate < width < 2 * estimate,
           "hcp ribbon %.1f A wide (%.2f nm), core centroids %.1f A apart; elastic estimate %.1f A"
           % (width, width / 10, sep, estimate))
    stray = inner & (cna != 1) & (np.abs(pos[:, 1] - C[1]) > 3 * D111)
    report("fcc elsewhere", stray.sum() == 0, "%d non-fcc atoms more than 3 planes off the slip plane" % stray.sum())


FIXTURE_LABELS = [("M_dislocation_mode", 1), ("M_dislocation_cu", 0), ("M_dislocation_cz", 0),
                  ("M_dislocation_dx", 0), ("M_dislocation_dy", 0), ("M_dislocation_dz", 1),
                  ("M_dislocation_bx", 1), ("M_dislocation_by", 0), ("M_dislocation_bz", 0),
                  ("M_dislocation_bl", "%.6f" % B), ("M_dislocation_miu", NU)]


def write_fixtures(tmp, folder):
    """A small crystal and its expected edge dislocation (numpy), for tests
    without LAMMPS: edge_cu.lmp and edge_cu_expected.txt."""
    os.makedirs(folder, exist_ok=True)
    base = crystal(tmp, "edge_cu.lmp", (8, 5, 1))
    data = os.path.join(folder, "edge_cu.lmp")
    with open(base) as f, open(data, "w") as g:
        g.write(f.read())
    box0, ids0, p0 = read_data(data)
    C = (centre_between(p0[:, 0], 0.5 * (box0[0, 0] + box0[0, 1])),
         centre_between(p0[:, 1], 0.5 * (box0[1, 0] + box0[1, 1])), 0.0)
    labels = [("M_dislocation_cx", "%.6f" % C[0]), ("M_dislocation_cy", "%.6f" % C[1])] + FIXTURE_LABELS
    ux, uy = volterra_edge(p0[:, 0] - C[0], p0[:, 1] - C[1], float("%.6f" % B), NU)   # b as given
    want = p0 + np.stack([ux, uy, np.zeros_like(ux)], 1)
    with open(os.path.join(folder, "edge_cu_expected.txt"), "w") as f:
        f.write("# Full edge dislocation in copper (a = 3.615; x [1-10], y [111], z [11-2]), line along +z,\n"
                "# Burgers direction +x, centred between two (111) planes and two atom columns. Expected\n"
                "# positions from the isotropic field in the frame x = s, y = xi x s, z = xi, evaluated\n"
                "# with numpy by tests/builders/oracle/check_dislocation_lammps.py --fixtures from:\n"
                "#   quelm-batch build dislocation -M_dislocation_input=edge_cu.lmp %s -o OUT\n"
                "# id x y z\n" % " ".join("-%s=%s" % kv for kv in labels))
        for i, q in zip(ids0, want):
            f.write("%d %.9f %.9f %.9f\n" % (i, q[0], q[1], q[2]))
    out = os.path.join(tmp, "edge_small.lmp")
    quelm("dislocation", [("M_dislocation_input", data)] + labels, out)
    box, ids, p = read_data(out)
    dev = float(np.abs(p - want).max()) if len(ids) == len(ids0) else float("inf")
    report("fixture %s: builder vs expected" % folder, dev < 2e-6, "%d atoms, largest difference %.2g A"
           % (len(ids0), dev))


def main():
    pot = potential()
    if FIXTURES:
        with tempfile.TemporaryDirectory() as tmp:
            write_fixtures(tmp, FIXTURES)
    with tempfile.TemporaryDirectory() as tmp:
        print("Cu_u3.eam (%s):" % pot)
        c11, c12, c44 = elastic_constants(tmp, pot)
        G = (c11 - c12 + c44) / 3
        e_sf, area = stacking_fault_energy(tmp, pot)
        gamma = e_sf / area * EV_A2_TO_MJ_M2
        estimate = G * 1e9 * (BP * 1e-10) ** 2 * (2 + NU) / (8 * math.pi * gamma * 1e-3 * (1 - NU)) * 1e10
        print("  C11 %.1f, C12 %.1f, C44 %.1f GPa; G{111}<110> %.1f GPa; stacking fault %.1f mJ/m^2"
              % (c11, c12, c44, G, gamma))
        report("stacking-fault energy found", 5 < gamma < 100, "%.1f mJ/m^2" % gamma)

        base = crystal(tmp, "crystal.lmp", REPEAT)
        box0, ids0, p0 = read_data(base)
        C = (centre_between(p0[:, 0], 0.5 * (box0[0, 0] + box0[0, 1])),
             centre_between(p0[:, 1], 0.5 * (box0[1, 0] + box0[1, 1])), 0.0)
        out = os.path.join(tmp, "edge.lmp")
        labels = [("M_dislocation_input", base), ("M_dislocation_mode", 1), ("M_dislocation_cu", 0),
                  ("M_dislocation_cx", "%.6f" % C[0]), ("M_dislocation_cy", "%.6f" % C[1]),
                  ("M_dislocation_cz", 0), ("M_dislocation_dx", 0), ("M_dislocation_dy", 0),
                  ("M_dislocation_dz", 1), ("M_dislocation_bx", 1), ("M_dislocation_by", 0),
                  ("M_dislocation_bz", 0), ("M_dislocation_bl", "%.6f" % B), ("M_dislocation_miu", NU)]
        text = quelm("dislocation", labels, out)
        print("  %s" % " ".join(text.split()))
        box, ids, p = read_data(out)
        check_built(box0, ids0, p0, box, ids, p, C)
        if len(ids) != len(ids0) or not np.isfinite(p).all():
            print("FAILED: " + "; ".join(failures))
            return 1
        d, last, _ = relax(tmp, pot, out, box)
        check_relaxed(d, last, ids0, C, box, estimate)
    if failures:
        print("FAILED: %d check(s): %s" % (len(failures), "; ".join(failures)))
        return 1
    print("all checks passed")
    return 0


if __name__ == "__main__":
    sys.exit(main())
