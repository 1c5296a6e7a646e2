#!/usr/bin/python3
"""Regenerates the LAMMPS reference energies of tests/tools/test_potentials.cpp.

Writes into tests/tools/fixtures/potentials/:
  - CuNi.eam.alloy and AlFe_mm.eam.fs, copied from the Debian LAMMPS package;
  - asym.eam.fs, a small two-element eam/fs file whose cross densities
    differ (rho_AB != rho_BA), so that swapped indices change the energy;
  - fcc.data and bcc.data, small periodic configurations with both types,
    each atom displaced at random from its lattice site;
  - energies.txt, one line per case: name, configuration, potential,
    layout, map (model type t takes file element map[t]; "-" keeps the
    file's order) and the total energy LAMMPS gives (pair_style eam/alloy or
    eam/fs with the elements in that order).

Needs /usr/bin/lmp (Debian 12 package) and numpy. Run from anywhere:
    /usr/bin/python3 tests/tools/oracle/potential_energies.py
"""
import os
import shutil
import subprocess
import tempfile

import numpy as np

HERE = os.path.dirname(os.path.abspath(__file__))
OUT = os.path.join(HERE, "..", "fixtures", "potentials")
LAMMPS_POTENTIALS = "/usr/share/lammps/potentials"


def write_asym_fs(path):
    """Two elements A, B; all functions analytic, tabulated on 600 points."""
    nrho, nr = 600, 600
    cut = 5.0
    dr = cut / (nr - 1)
    drho = 60.0 / (nrho - 1)
    r = np.arange(nr) * dr
    rho = np.arange(nrho) * drho
    smooth = np.where(r < cut, ((cut - r) / cut) ** 4, 0.0)
    base = np.exp(-1.3 * (r - 2.5)) * smooth
    dens = {(0, 0): 1.0 * base, (0, 1): 0.45 * base * (1 + 0.2 * r),
            (1, 0): 2.1 * base, (1, 1): 1.6 * base * np.exp(-0.1 * r)}
    emb = [-np.sqrt(rho) * 1.1, -1.4 * np.sqrt(rho) + 0.002 * rho ** 2]
    def morse(d, a, r0):
        return d * (np.exp(-2 * a * (r - r0)) - 2 * np.exp(-a * (r - r0))) * smooth
    rphi = {(0, 0): r * morse(0.35, 1.4, 2.6), (1, 0): r * morse(0.50, 1.2, 2.5),
            (1, 1): r * morse(0.42, 1.6, 2.45)}

    def rows(values):
        v = list(values)
        return "".join(" ".join("%.16e" % x for x in v[k:k + 5]) + "\n" for k in range(0, len(v), 5))

    with open(path, "w") as f:
        f.write("asymmetric two-element eam/fs test potential\n")
        f.write("made by tests/tools/oracle/potential_energies.py\n")
        f.write("rho_AB differs from rho_BA\n")
        f.write("2 A B\n")
        f.write("%d %.16e %d %.16e %.16e\n" % (nrho, drho, nr, dr, cut))
        for e, (z, m, a) in enumerate([(13, 26.98, 4.05), (26, 55.85, 2.87)]):
            f.write("%d %g %g fcc\n" % (z, m, a))
            f.write(rows(emb[e]))
            for j in range(2):
                f.write(rows(dens[(e, j)]))
        for i in range(2):
            for j in range(i + 1):
                f.write(rows(rphi[(i, j)]))


def write_config(path, basis, a, cells, seed, jitter):
    rng = np.random.default_rng(seed)
    sites = []
    for i in range(cells):
        for j in range(cells):
            for k in range(cells):
                for b in basis:
                    sites.append((np.array([i, j, k]) + np.array(b)) * a)
    pos = np.array(sites) + rng.uniform(-jitter, jitter, (len(sites), 3))
    length = cells * a
    pos = np.mod(pos, length)
    types = rng.integers(1, 3, len(sites))
    with open(path, "w") as f:
        f.write("test configuration made by tests/tools/oracle/potential_energies.py\n\n")
        f.write("%d atoms\n2 atom types\n\n" % len(sites))
        for d in "xyz":
            f.write("0 %.17g %slo %shi\n" % (length, d, d))
        f.write("\nMasses\n\n1 1.0\n2 1.0\n\nAtoms # atomic\n\n")
        for n, (t, p) in enumerate(zip(types, pos)):
            f.write("%d %d %.17g %.17g %.17g\n" % (n + 1, t, p[0], p[1], p[2]))


def lammps_energy(work, data, potential, style, elements):
    script = os.path.join(work, "in.energy")
    with open(script, "w") as f:
        f.write("units metal\natom_style atomic\nboundary p p p\n")
        f.write("read_data %s\n" % data)
        f.write("pair_style %s\n" % style)
        f.write("pair_coeff * * %s %s\n" % (potential, " ".join(elements)))
        f.write("thermo_style custom step pe\nrun 0\n")
        f.write('print "ENERGY $(pe:%.17g)"\n')
    run = subprocess.run(["lmp", "-in", script, "-log", "none"], cwd=work, capture_output=True, text=True)
    for line in run.stdout.splitlines():
        if line.startswith("ENERGY "):
            return float(line.split()[1])
    raise RuntimeError("LAMMPS gave no energy:\n" + run.stdout + run.stderr)


def main():
    os.makedirs(OUT, exist_ok=True)
    for name in ("CuNi.eam.alloy", "AlFe_mm.eam.fs"):
        shutil.copyfile(os.path.join(LAMMPS_POTENTIALS, name), os.path.join(OUT, name))
    write_asym_fs(os.path.join(OUT, "asym.eam.fs"))
    fcc = [(0, 0, 0), (0.5, 0.5, 0), (0.5, 0, 0.5), (0, 0.5, 0.5)]
    bcc = [(0, 0, 0), (0.5, 0.5, 0.5)]
    write_config(os.path.join(OUT, "fcc.data"), fcc, 3.56, 3, 11, 0.12)
    write_config(os.path.join(OUT, "bcc.data"), bcc, 2.87, 4, 12, 0.10)

    names = {"CuNi.eam.alloy": ["Ni", "Cu"], "AlFe_mm.eam.fs": ["Al", "Fe"], "asym.eam.fs": ["A", "B"]}
    cases = [
        ("cuni", "fcc.data", "CuNi.eam.alloy", "alloy", None),
        ("cuni_swapped", "fcc.data", "CuNi.eam.alloy", "alloy", [2, 1]),
        ("cuni_nini", "fcc.data", "CuNi.eam.alloy", "alloy", [1, 1]),
        ("alfe", "bcc.data", "AlFe_mm.eam.fs", "fs", None),
        ("alfe_swapped", "bcc.data", "AlFe_mm.eam.fs", "fs", [2, 1]),
        ("asym", "fcc.data", "asym.eam.fs", "fs", None),
        ("asym_swapped", "fcc.data", "asym.eam.fs", "fs", [2, 1]),
        ("asym_bb", "fcc.data", "asym.eam.fs", "fs", [2, 2]),
    ]
    lines = []
    with tempfile.TemporaryDirectory() as work:
        for name, data, pot, layout, mapping in cases:
            elements = names[pot] if mapping is None else [names[pot][m - 1] for m in mapping]
            energy = lammps_energy(work, os.path.join(OUT, data), os.path.join(OUT, pot),
                                   "eam/alloy" if layout == "alloy" else "eam/fs", elements)
            lines.append("%s %s %s %s %s %.17g\n" % (name, data, pot, layout,
                                                     "-" if mapping is None else ",".join(map(str, mapping)),
                                                     energy))
    with open(os.path.join(OUT, "energies.txt"), "w") as f:
        f.write("# name configuration potential layout map energy (LAMMPS 29 Sep 2021, metal units)\n")
        f.writelines(lines)


if __name__ == "__main__":
    main()
