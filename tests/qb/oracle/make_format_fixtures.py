#!/usr/bin/python3
"""Writes the structure-file fixtures of tests/qb/fixtures/formats with the
independent tools: LAMMPS (Debian package lammps, program lmp) and ASE
(python3-ase). Run from the repository root:  /usr/bin/python3 tests/qb/oracle/make_format_fixtures.py
"""
import os
import subprocess
import tempfile

import numpy as np
from ase.build import bulk, sort
from ase.io import write

OUT = os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "fixtures", "formats")

LAMMPS_ORTHO = """units metal
atom_style atomic
boundary p p p
lattice fcc 3.615 orient x 1 1 0 orient y -1 1 0 orient z 0 0 1
region box block 0 2 0 1 0 2
create_box 2 box
create_atoms 1 box
set group all type/fraction 2 0.5 12345
mass * 63.5
velocity all create 300 4928459
write_data {out}/lammps_fcc.data
write_dump all custom {out}/lammps_fcc.dump id type x y z modify format float %.12g sort id
"""

LAMMPS_TRICLINIC = """units metal
atom_style atomic
boundary p p s
lattice bcc 2.87
region box prism 0 3 0 2 0 2 1.2 -0.8 0.5
create_box 1 box
create_atoms 1 box
mass * 55.8
velocity all create 300 4928459
compute ke all ke/atom
pair_style zero 5.0
pair_coeff * *
dump d all custom 1 {out}/lammps_tric.dump id type x y z c_ke
dump_modify d format float %.12g sort id
run 0
write_data {out}/lammps_tric.data
"""


def run_lammps(script):
    with tempfile.TemporaryDirectory() as tmp:
        path = os.path.join(tmp, "in.lmp")
        with open(path, "w") as f:
            f.write(script.format(out=OUT))
        subprocess.run(["lmp", "-in", path, "-log", "none", "-screen", "none"], check=True, cwd=tmp)


def main():
    os.makedirs(OUT, exist_ok=True)
    run_lammps(LAMMPS_ORTHO)
    run_lammps(LAMMPS_TRICLINIC)
    # ASE: a data file and POSCARs of the same two-species crystal.
    os.chdir(OUT)  # keeps the folder out of the files' title lines
    atoms = sort(bulk("NaCl", "rocksalt", a=5.64, cubic=True).repeat((2, 1, 1)))
    write("ase_nacl.data", atoms, format="lammps-data")
    write("ase_nacl_direct.POSCAR", atoms, format="vasp", direct=True)
    write("ase_nacl_cart.POSCAR", atoms, format="vasp", direct=False)
    tilted = bulk("Cu", "fcc", a=3.615)  # primitive cell: general triclinic
    write("ase_cu_primitive.POSCAR", tilted.repeat((2, 2, 2)), format="vasp", direct=True)
    write("ase_cu_primitive.data", tilted.repeat((2, 2, 2)), format="lammps-data")
    np.savetxt("ase_nacl_positions.txt", atoms.get_positions(), fmt="%.10f")
    np.savetxt("ase_cu_primitive_positions.txt", tilted.repeat((2, 2, 2)).get_positions(), fmt="%.10f")
    print("fixtures written to", os.path.normpath(OUT))


if __name__ == "__main__":
    main()
