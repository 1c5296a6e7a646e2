#!/usr/bin/python3
"""Checks the Crack builder's displacement fields with LAMMPS stresses
(development check, not run by CI).

A copper crystal (fcc, a = 3.615 A, the lattice parameter of the EAM
potential Cu_u3.eam) is built with `quelm-batch build monocrystal` along the
cube axes, 181 x 145 x 7.2 A (16000 atoms); its box is moved down by a/4
along y, so that the box middle, where the crack plane lies, falls between
two (010) planes. `quelm-batch build crack` puts the tip ("X+", plane normal
"Y") 20.25 a from the left face, between two atom columns; the crack front
runs along z.

The potential's elastic constants C11, C12, C44 come from 0.1 % strains of
the perfect crystal (LAMMPS). In this orientation anti-plane shear is
isotropic with the modulus C44 (c44 = c55, c45 = 0), so the textbook mode
III field u_z = (2K/G) sqrt(r/2pi) sin(theta/2) with G = C44 is the exact
linear-elastic solution of the crystal, and its stresses are
    sigma_yz = K cos(theta/2)/sqrt(2 pi r),  sigma_xz = -K sin(theta/2)/sqrt(2 pi r).

The models are not relaxed: each atom's stress (LAMMPS `compute stress/atom`
divided by the atomic volume a^3/4 of the perfect crystal) is then the
crystal's response to the builder's own displacement gradient, which is
what is checked; a relaxation would replace the builder's field by the
crystal's response to the free crack faces and the finite box. The crack is
built with +K and -K and half the difference of the two stresses is used,
which removes the crystal's even-order (non-linear) response, the residual
stress of the perfect lattice and the surface stresses; K is small (the
shear strain stays below 1 % at r = 15 A).

1. Built models: every atom kept, nothing NaN, the box refitted along x and
   y (padded by at most 0.2 A) and kept along z, no atom at the tip, and
   every displacement equal to the textbook field evaluated here with numpy
   (mode III above; mode I plane strain u_x = A cos(t/2)(k - 1 + 2 sin^2(t/2)),
   u_y = A sin(t/2)(k + 1 - 2 cos^2(t/2)), A = K/(2G) sqrt(r/2pi), k = 3 - 4 nu)
   within the six decimals of the data file.
2. Mode III, G = C44: sigma_yz on the two (010) planes bounding the crack
   plane ahead of the tip (theta = 0, r = 15-40 A) gives K within 3 % of the
   input by a least-squares fit of K cos(theta/2)/sqrt(2 pi r), and within
   5 % in each r band; over the whole annulus 15-40 A (|theta| < 135 deg,
   away from the crack faces) both sigma_yz and sigma_xz fit K within 3 %.
3. Mode III with the isotropic (Voigt) shear modulus G_V = (C11 - C12 + 3 C44)/5
   instead: the fitted K is the input times C44/G_V (the displacement scales
   as K/G), within 3 %.
4. Mode I plane strain with the Voigt G and nu: ahead of the tip the
   builder's field has e_xx = e_yy = (1 - 2 nu) K/(2 G sqrt(2 pi r)), so the
   crystal's sigma_yy = (C11 + C12) e_yy, not K/sqrt(2 pi r) (the crystal is
   anisotropic, the field isotropic). sigma_xx, sigma_yy and sigma_zz are
   compared with C:e of the textbook field evaluated here (numerical
   gradient), within 3 %, and the fitted K of sigma_yy is printed against
   the input.

Needs the Debian package lammps (lmp, Cu_u3.eam) and a built quelm-batch;
runs in under a minute:
    /usr/bin/python3 tests/builders/oracle/check_crack_lammps.py build/app/quelm-batch
With `--fixtures DIR` it also writes a small crystal and its expected mode
III and mode I cracks (computed here) for tests that run without LAMMPS.
"""
import math
import os
import sys
import tempfile

import numpy as np

FIXTURES = sys.argv[sys.argv.index("--fixtures") + 1] if "--fixtures" in sys.argv[:-1] else None

A = 3.615                    # Cu_u3.eam's lattice parameter
VOLUME = A ** 3 / 4          # atomic volume of the perfect crystal, A^3
REPEAT = (50, 40, 2)
TIP = 20.25 * A              # crack length from the left face: between two columns
K3 = 0.1                     # MPa m^1/2: shear strain 0.7 % at 15 A
K1 = 0.02                    # MPa m^1/2: normal strains below 0.1 % at 15 A
R_MIN, R_MAX = 15.0, 40.0
SQRT_M_IN_SQRT_A = 1e5       # 1 m^1/2 = 1e5 A^1/2
BANDS = [(15, 20), (20, 25), (25, 30), (30, 40)]

import lammps_check
from lammps_check import failures, report, potential, quelm, read_data, read_dump, lammps, thermo_rows
lammps_check.WIDTH = 48


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


STRESS = """units metal
atom_style atomic
boundary s s p
read_data {data}
mass * 63.546
pair_style eam
pair_coeff 1 1 {pot}
compute s all stress/atom NULL
dump d all custom 1 {dump} id x y z c_s[1] c_s[2] c_s[3] c_s[4] c_s[5] c_s[6]
dump_modify d sort id format float %.12g
run 0
"""


def atom_stress(tmp, pot, data):
    """Per-atom stress (MPa, tension positive; xx yy zz xy xz yz) with the
    perfect crystal's atomic volume, and the ids."""
    dump = os.path.join(tmp, "stress.dump")
    lammps(tmp, "stress", STRESS.format(data=data, pot=pot, dump=dump))
    d = read_dump(dump)
    s = np.stack([d["c_s[%d]" % k] for k in range(1, 7)], 1) / VOLUME * 0.1   # bar A^3 -> MPa
    return d["id"].astype(int), s


# ---------------------------------------------------------------- the textbook fields

def textbook(mode, d, h, G, nu, K):
    """Displacement (along the propagation direction, the normal, the front)
    at (d, h) from the tip, in A; K in MPa m^1/2, G in GPa. mode 4: III,
    0: I plane strain."""
    r = np.hypot(d, h)
    th = np.arctan2(h, d)
    amp = K / (2 * G) * 1e-3 * SQRT_M_IN_SQRT_A * np.sqrt(r / (2 * np.pi))    # K/(2G) sqrt(r/2pi), A
    z = np.zeros_like(r)
    if mode == 4:
        return z, z, 4 * amp * np.sin(th / 2)
    kappa = 3 - 4 * nu
    ux = amp * np.cos(th / 2) * (kappa - 1 + 2 * np.sin(th / 2) ** 2)
    uy = amp * np.sin(th / 2) * (kappa + 1 - 2 * np.cos(th / 2) ** 2)
    return ux, uy, z


def textbook_strain(mode, d, h, G, nu, K, step=1e-4):
    """Small strain (e_xx, e_yy, g_xy, g_xz, g_yz) of the textbook field by
    central differences; the g are engineering shears."""
    f = lambda dd, hh: np.stack(textbook(mode, dd, hh, G, nu, K), 1)
    gx = (f(d + step, h) - f(d - step, h)) / (2 * step)
    gy = (f(d, h + step) - f(d, h - step)) / (2 * step)
    return gx[:, 0], gy[:, 1], gx[:, 1] + gy[:, 0], gx[:, 2], gy[:, 2]


def lefm_unit(d, h):
    """1/sqrt(2 pi r) in MPa per (MPa m^1/2), and theta."""
    r = np.hypot(d, h)
    return SQRT_M_IN_SQRT_A / np.sqrt(2 * np.pi * r), np.arctan2(h, d)


# ---------------------------------------------------------------- builds

def base_crystal(tmp, repeat=REPEAT, name="cube_moved.lmp"):
    path = os.path.join(tmp, "cube.lmp")
    quelm("monocrystal", [("M_single_str", 0), ("M_single_a", A)] +
          [("M_single_dp%s" % axis, n) for axis, n in zip("xyz", repeat)], path)
    # the box a/4 lower along y: the crack plane (the box middle) then lies
    # half-way between two (010) planes
    moved = os.path.join(tmp, name)
    with open(path) as f, open(moved, "w") as g:
        for line in f:
            w = line.split()
            if len(w) == 4 and w[3] == "yhi":
                line = "%.6f %.6f ylo yhi\n" % (float(w[0]) - A / 4, float(w[1]) - A / 4)
            g.write(line)
    return moved


def build_crack(tmp, base, name, mode, G, nu, K):
    out = os.path.join(tmp, name)
    text = quelm("crack", [("M_crack_input", base), ("M_crack_mode", mode), ("M_crack_dirc", 0),
                           ("M_crack_dirp", 1), ("M_crack_lenth", "%.6f" % TIP), ("M_crack_g", "%.6f" % G),
                           ("M_crack_nu", "%.6f" % nu), ("M_crack_KI", "%.6f" % K)], out)
    return out, text


def check_built(label, text, box0, ids0, p0, box, ids, p, tip, mode, G, nu, K):
    errs = []
    if len(ids) != len(ids0) or (ids != ids0).any():
        errs.append("%d atoms in, %d out" % (len(ids0), len(ids)))
    if not np.isfinite(p).all():
        errs.append("%d non-finite coordinates" % int((~np.isfinite(p)).sum()))
    if "\n0 atoms at the crack tip left in place" not in "\n" + text:
        errs.append("atoms at the tip: " + text.strip().split("\n")[-1])
    if errs:
        report(label + ": model", False, "; ".join(errs))
        return False
    pads = []
    for k in (0, 1):
        below, above = p[:, k].min() - box[k, 0], box[k, 1] - p[:, k].max()
        pads += [below, above]
    z_kept = abs(box[2, 0] - box0[2, 0]) < 1e-6 and abs(box[2, 1] - box0[2, 1]) < 1e-6
    box_ok = all(-1e-6 <= v <= 0.2 + 2e-6 for v in pads) and z_kept
    d, h = p0[:, 0] - tip[0], p0[:, 1] - tip[1]
    u = np.stack(textbook(mode, d, h, G, nu, K), 1)
    moved = p - p0
    moved[:, 2] -= np.round(moved[:, 2] / (box0[2, 1] - box0[2, 0])) * (box0[2, 1] - box0[2, 0])
    dev = float(np.abs(moved - u).max())
    report(label + ": model", box_ok and dev < 3e-6,
           "%d atoms, box pads x %.3f/%.3f y %.3f/%.3f A, z %s; displacements vs textbook %.2g A (largest %.3f A)"
           % (len(ids), pads[0], pads[1], pads[2], pads[3], "kept" if z_kept else "CHANGED", dev,
              float(np.abs(u).max())))
    return True


def antisymmetric_stress(tmp, pot, base, box0, ids0, p0, tip, mode, G, nu, K, label):
    """Half the difference of the stresses of the +K and -K cracks."""
    halves = []
    for sign in (1, -1):
        path, text = build_crack(tmp, base, "crack.lmp", mode, G, nu, sign * K)
        box, ids, p = read_data(path)
        if not check_built("%s, K %+g" % (label, sign * K), text, box0, ids0, p0, box, ids, p, tip, mode, G, nu,
                           sign * K):
            return None
        sid, s = atom_stress(tmp, pot, path)
        if len(sid) != len(ids0) or (sid != ids0).any() or not np.isfinite(s).all():
            report(label + ": LAMMPS stress", False, "%d atoms back, %d in" % (len(sid), len(ids0)))
            return None
        halves.append(s)
    return 0.5 * (halves[0] - halves[1])


def fit(values, unit):
    return float((values * unit).sum() / (unit * unit).sum())


def mode3(tmp, pot, base, box0, ids0, p0, tip, G, label, expect_ratio):
    s = antisymmetric_stress(tmp, pot, base, box0, ids0, p0, tip, 4, G, 0.3, K3, label)
    if s is None:
        return
    d, h = p0[:, 0] - tip[0], p0[:, 1] - tip[1]
    r = np.hypot(d, h)
    unit, th = lefm_unit(d, h)
    ahead = (d > 0) & (np.abs(h) < A / 2) & (r >= R_MIN) & (r <= R_MAX)
    k_fit = fit(s[ahead, 5], unit[ahead] * np.cos(th[ahead] / 2))
    bands = []
    for lo, hi in BANDS:
        sel = ahead & (r >= lo) & (r < hi)
        bands.append(fit(s[sel, 5], unit[sel] * np.cos(th[sel] / 2)) / K3)
    ratio = k_fit / K3
    ok = abs(ratio / expect_ratio - 1) < 0.03 and all(abs(b / expect_ratio - 1) < 0.05 for b in bands)
    report(label + ": sigma_yz ahead of the tip", ok,
           "%d atoms, fitted K %.5f for input %.5f (x %.4f, expected x %.4f); by r band %s"
           % (ahead.sum(), k_fit, K3, ratio, expect_ratio,
              ", ".join("%d-%d A %.4f" % (lo, hi, b) for (lo, hi), b in zip(BANDS, bands))))
    ring = (r >= R_MIN) & (r <= R_MAX) & (np.abs(th) < math.radians(135))
    k_yz = fit(s[ring, 5], unit[ring] * np.cos(th[ring] / 2))
    k_xz = fit(s[ring, 4], -unit[ring] * np.sin(th[ring] / 2))
    pred = np.concatenate([unit[ring] * np.cos(th[ring] / 2), -unit[ring] * np.sin(th[ring] / 2)]) * K3 * expect_ratio
    got = np.concatenate([s[ring, 5], s[ring, 4]])
    rms = float(np.sqrt(((got - pred) ** 2).mean() / (pred ** 2).mean()))
    ok = abs(k_yz / K3 / expect_ratio - 1) < 0.03 and abs(k_xz / K3 / expect_ratio - 1) < 0.03
    report(label + ": annulus 15-40 A, |theta| < 135 deg", ok,
           "%d atoms, K from sigma_yz %.5f, from sigma_xz %.5f; rms deviation %.1f %%"
           % (ring.sum(), k_yz, k_xz, 100 * rms))


def mode1(tmp, pot, base, box0, ids0, p0, tip, c, G, nu):
    c11, c12, c44 = c
    s = antisymmetric_stress(tmp, pot, base, box0, ids0, p0, tip, 0, G, nu, K1, "mode I")
    if s is None:
        return
    d, h = p0[:, 0] - tip[0], p0[:, 1] - tip[1]
    r = np.hypot(d, h)
    unit, th = lefm_unit(d, h)
    ahead = (d > 0) & (np.abs(h) < A / 2) & (r >= R_MIN) & (r <= R_MAX)
    exx, eyy, gxy, _, _ = textbook_strain(0, d[ahead], h[ahead], G, nu, K1)
    pred = {"xx": c11 * exx * 1e3 + c12 * eyy * 1e3, "yy": c12 * exx * 1e3 + c11 * eyy * 1e3,
            "zz": c12 * (exx + eyy) * 1e3}
    got = {"xx": s[ahead, 0], "yy": s[ahead, 1], "zz": s[ahead, 2]}
    ratios = {k: fit(got[k], pred[k]) for k in pred}
    k_fit = fit(s[ahead, 1], unit[ahead] * np.cos(th[ahead] / 2))
    expect = (c11 + c12) * (1 - 2 * nu) / (2 * G)
    report("mode I: sigma ahead of the tip = C:e(textbook)", all(abs(v - 1) < 0.03 for v in ratios.values()),
           "%d atoms, measured/predicted xx %.4f yy %.4f zz %.4f" % (ahead.sum(), ratios["xx"], ratios["yy"],
                                                                    ratios["zz"]))
    print("    mode I: sigma_yy fits K %.5f for input %.5f (x %.4f; (C11 + C12)(1 - 2 nu)/(2 G) = %.4f)"
          % (k_fit, K1, k_fit / K1, expect))


def write_fixtures(tmp, folder):
    """A small crystal and its expected mode III and mode I (plane strain)
    cracks (numpy), for tests without LAMMPS: crack_cu.lmp and
    crack_cu_mode3_expected.txt, crack_cu_mode1_expected.txt."""
    os.makedirs(folder, exist_ok=True)
    data = base_crystal(tmp, (10, 10, 1), "crack_cu.lmp")
    with open(data) as f, open(os.path.join(folder, "crack_cu.lmp"), "w") as g:
        g.write(f.read())
    data = os.path.join(folder, "crack_cu.lmp")
    box0, ids0, p0 = read_data(data)
    length, G, nu, K = 4.25 * A, 76.45, 0.3, 0.5
    tip = (box0[0, 0] + length, 0.5 * (box0[1, 0] + box0[1, 1]))
    for mode, name in ((4, "mode3"), (0, "mode1")):
        labels = [("M_crack_mode", mode), ("M_crack_dirc", 0), ("M_crack_dirp", 1),
                  ("M_crack_lenth", "%.6f" % length), ("M_crack_g", G), ("M_crack_nu", nu), ("M_crack_KI", K)]
        want = p0 + np.stack(textbook(mode, p0[:, 0] - tip[0], p0[:, 1] - tip[1], G, nu, K), 1)
        with open(os.path.join(folder, "crack_cu_%s_expected.txt" % name), "w") as f:
            f.write("# %s crack in copper (a = 3.615, cube axes; the box moved down by a/4 along y so that the\n"
                    "# crack plane lies between two (010) planes), tip %.6f from the left face, front along z.\n"
                    "# Expected positions from the textbook field (%s), evaluated with numpy by\n"
                    "# tests/builders/oracle/check_crack_lammps.py --fixtures from:\n"
                    "#   quelm-batch build crack -M_crack_input=crack_cu.lmp %s -o OUT\n"
                    "# The box is refitted along x and y (padded by 0 to 0.2 A) and kept along z.\n"
                    "# id x y z\n"
                    % ("Mode III" if mode == 4 else "Mode I plane strain", length,
                       "u_z = (2K/G) sqrt(r/2pi) sin(theta/2)" if mode == 4 else "kappa = 3 - 4 nu",
                       " ".join("-%s=%s" % kv for kv in labels)))
            for i, q in zip(ids0, want):
                f.write("%d %.9f %.9f %.9f\n" % (i, q[0], q[1], q[2]))
        out = os.path.join(tmp, "crack_small.lmp")
        quelm("crack", [("M_crack_input", data)] + labels, out)
        box, ids, p = read_data(out)
        dev = float(np.abs(p - want).max()) if len(ids) == len(ids0) else float("inf")
        report("fixture %s (%s): builder vs expected" % (folder, name), dev < 2e-6,
               "%d atoms, largest difference %.2g A" % (len(ids0), dev))


def main():
    pot = potential()
    if FIXTURES:
        with tempfile.TemporaryDirectory() as tmp:
            write_fixtures(tmp, FIXTURES)
    with tempfile.TemporaryDirectory() as tmp:
        c11, c12, c44 = elastic_constants(tmp, pot)
        g_voigt = (c11 - c12 + 3 * c44) / 5
        lam_voigt = (c11 + 4 * c12 - 2 * c44) / 5
        nu_voigt = lam_voigt / (2 * (lam_voigt + g_voigt))
        print("Cu_u3.eam (%s): C11 %.2f, C12 %.2f, C44 %.2f GPa; Voigt G %.2f GPa, nu %.3f; C44/G_V %.4f"
              % (pot, c11, c12, c44, g_voigt, nu_voigt, c44 / g_voigt))
        base = base_crystal(tmp)
        box0, ids0, p0 = read_data(base)
        tip = (box0[0, 0] + TIP, 0.5 * (box0[1, 0] + box0[1, 1]))
        gap = np.abs(p0[:, 1] - tip[1]).min()
        print("  %d atoms, box %s; tip at x %.4f, y %.4f (nearest plane %.4f A off)"
              % (len(ids0), " ".join("%.3f-%.3f" % tuple(b) for b in box0), tip[0], tip[1], gap))
        print("Mode III, G = C44 = %.2f GPa, K = %g MPa m^1/2:" % (c44, K3))
        mode3(tmp, pot, base, box0, ids0, p0, tip, c44, "mode III", 1.0)
        print("Mode III, G = G_V = %.2f GPa (isotropic estimate):" % g_voigt)
        mode3(tmp, pot, base, box0, ids0, p0, tip, g_voigt, "mode III, G_V", c44 / g_voigt)
        print("Mode I plane strain, G = G_V, nu = %.3f, K = %g MPa m^1/2:" % (nu_voigt, K1))
        mode1(tmp, pot, base, box0, ids0, p0, tip, (c11, c12, c44), g_voigt, nu_voigt)
    if failures:
        print("FAILED: %d check(s): %s" % (len(failures), "; ".join(failures)))
        return 1
    print("all checks passed")
    return 0


if __name__ == "__main__":
    sys.exit(main())
