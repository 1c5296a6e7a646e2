#!/usr/bin/python3
"""Writes the multi-frame, gzip and extended-XYZ fixtures of
tests/qb/fixtures/frames with the independent tools: LAMMPS (Debian package
lammps, program lmp) and ASE (python3-ase). Run from the repository root:
    /usr/bin/python3 tests/qb/oracle/make_frame_fixtures.py
"""
import gzip
import os
import shutil
import subprocess
import tempfile

import numpy as np
from ase import Atoms
from ase.io import read, write

OUT = os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "fixtures", "frames")

# A small copper crystal run for 20 MD steps, dumped every 10 steps (three
# frames) as a custom dump with a velocity column, and the same positions
# written by LAMMPS a second time as an XYZ dump sorted by id: the reference.
LAMMPS_RUN = """units metal
atom_style atomic
boundary p p p
lattice fcc 3.615
region box block 0 3 0 3 0 3
create_box 1 box
create_atoms 1 box
mass 1 63.546
pair_style eam
pair_coeff 1 1 Cu_u3.eam
velocity all create 900 4928459 dist gaussian
timestep 0.002
fix integrate all nve
dump d all custom 10 {out}/cu_run.dump id type x y z vx
dump_modify d format float %.12g
dump r all xyz 10 {out}/cu_run_ref.xyz
dump_modify r sort id element Cu format line "%s %.12g %.12g %.12g"
run 20
"""


def lammps(script):
    with tempfile.TemporaryDirectory() as tmp:
        path = os.path.join(tmp, "in.lmp")
        with open(path, "w") as f:
            f.write(script)
        env = dict(os.environ, LAMMPS_POTENTIALS="/usr/share/lammps/potentials")
        subprocess.run(["lmp", "-in", path, "-log", "none", "-screen", "none"], cwd="/usr/share/lammps/potentials",
                       check=True, env=env)


def main():
    os.makedirs(OUT, exist_ok=True)
    lammps(LAMMPS_RUN.format(out=os.path.abspath(OUT)))
    # The same dump gzipped, as a user's gzip would leave it (no name, no time).
    with open(os.path.join(OUT, "cu_run.dump"), "rb") as src, \
            open(os.path.join(OUT, "cu_run.dump.gz"), "wb") as raw, \
            gzip.GzipFile(filename="", mode="wb", fileobj=raw, mtime=0) as dst:
        shutil.copyfileobj(src, dst)

    # ASE's extended XYZ: a triclinic cell, two species, a per-atom scalar
    # and vector property; a second frame with moved atoms.
    cell = [[5.1, 0.0, 0.0], [1.3, 4.7, 0.0], [0.4, -0.9, 6.2]]
    symbols = ["Cu", "Ni", "Ni", "Cu", "Cu"]
    scaled = [[0, 0, 0], [0.5, 0.5, 0], [0.5, 0, 0.5], [0, 0.5, 0.5], [0.25, 0.25, 0.25]]
    a = Atoms(symbols, scaled_positions=scaled, cell=cell, pbc=[True, True, False])
    a.set_array("charge", np.array([0.1, -0.2, 0.3, -0.4, 0.25]))
    a.set_array("spin", np.array([[1, 0, 0], [0, 1, 0], [0, 0, 1], [1, 1, 0], [0.5, 0.5, 0.5]], dtype=float))
    a.set_array("tag_n", np.array([3, 1, 4, 1, 5], dtype=int))
    b = a.copy()
    b.positions += [[0.01, 0.02, 0.03]] * 5
    path = os.path.join(OUT, "ase_tric.extxyz")
    write(path, [a, b], format="extxyz")
    # The reference: what ASE itself reads back from the file it wrote.
    with open(os.path.join(OUT, "ase_tric_ref.txt"), "w") as f:
        for frame in read(path, index=":", format="extxyz"):
            f.write("cell" + "".join(" %.17g" % v for v in frame.cell.array.flatten()) + "\n")
            for s, p, q in zip(frame.get_chemical_symbols(), frame.positions, frame.arrays.get("charge", frame.get_initial_charges())):
                f.write("%s %.17g %.17g %.17g %.17g\n" % (s, p[0], p[1], p[2], q))


if __name__ == "__main__":
    main()
