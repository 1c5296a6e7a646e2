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

# Copper thermalised at 800 K after a shift that sends many atoms through the
# periodic faces, written as an ordinary LAMMPS run writes it: dump atom
# (scaled, with and without image flags), custom dumps with wrapped,
# unwrapped, scaled and scaled unwrapped positions, element names, and a
# reference dump of the same positions to twelve digits. The same in a
# tilted box.
LAMMPS_HOT = """units metal
atom_style atomic
boundary p p p
lattice fcc 3.615
region box {region}
create_box 1 box
create_atoms 1 box
mass 1 63.546
pair_style eam
pair_coeff 1 1 Cu_u3.eam
velocity all create 1600 4928459 mom yes rot yes dist gaussian
displace_atoms all move 4.0 2.5 -3.0 units box
fix 1 all nvt temp 800 800 0.1
timestep 0.002
run 300
write_dump all atom {out}/{name}.atom
write_dump all atom {out}/{name}_image.atom modify image yes
write_dump all custom {out}/{name}_x.dump id type x y z
write_dump all custom {out}/{name}_xu.dump id type xu yu zu ix iy iz
write_dump all custom {out}/{name}_xs.dump id type xs ys zs
write_dump all custom {out}/{name}_xsu.dump id type xsu ysu zsu
write_dump all custom {out}/{name}_element.dump id element x y z modify element Cu
write_dump all custom {out}/{name}_ref.dump id type x y z ix iy iz modify format float %.12g
"""

# The reference positions as write_data writes them in other atom styles,
# with charges and molecule ids made up from the atom ids.
LAMMPS_STYLE_DATA = """units metal
atom_style {style}
boundary p p p
region box {region}
create_box 1 box
read_dump {out}/{name}_ref.dump 300 x y z ix iy iz box yes add keep
mass 1 63.546
variable q atom 0.01*(id%7)-0.03
variable m atom floor((id-1)/12)+1
{set}
write_data {out}/{name}_{style}.data
"""
STYLE_SETS = {
    "charge": "set group all charge v_q",
    "full": "set group all charge v_q\nset group all mol v_m",
    "bond": "set group all mol v_m",
}


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
    for name, region in (("lammps_hot", "block 0 3 0 3 0 3"), ("lammps_hot_tric", "prism 0 3 0 3 0 3 1 0.5 0.5")):
        run_lammps(LAMMPS_HOT.format(out=OUT, name=name, region=region))
        tric = name == "lammps_hot_tric"
        for style, settings in STYLE_SETS.items():
            if tric and style != "charge":
                continue
            empty = "prism 0 1 0 1 0 1 0 0 0" if tric else "block 0 1 0 1 0 1"
            run_lammps(LAMMPS_STYLE_DATA.format(out=OUT, name=name, style=style, set=settings, region=empty))
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
