#!/usr/bin/python3
"""Writes ../fixtures/dva_ref.dump and ../fixtures/dva_def.dump: a small
periodic copper crystal before and after LAMMPS moved its atoms, with
LAMMPS' own `compute displace/atom` in the second file, for the
displacement-analysis test.

The reference is 4 x 4 x 4 fcc cells (256 atoms, a = 3.615 A). Then:
`displace_atoms all random 0.3 0.3 0.3 …` (every atom by up to 0.3 A),
`displace_atoms all move 1.7 -0.9 0.6` (many atoms cross the periodic
faces) and `change_box all x scale 1.02 remap` (the box 2 % longer, atoms
mapped with it). The deformed dump lists the atoms in shuffled order with
wrapped positions and the columns c_dsp[1..3]; compute displace/atom was
defined before the moves, so it holds the true displacement of each atom.

Regenerate with /usr/bin/python3 tests/dislocation/oracle/make_dva_fixture.py
(needs `lmp`).
"""
import os
import random
import subprocess
import tempfile

HERE = os.path.dirname(os.path.abspath(__file__))
OUT = os.path.join(HERE, "..", "fixtures")

SCRIPT = """
units metal
atom_style atomic
boundary p p p
lattice fcc 3.615
region box block 0 4 0 4 0 4
create_box 1 box
create_atoms 1 box
mass 1 63.546
write_dump all custom ref.dump id type x y z modify sort id format float %.10f
compute dsp all displace/atom
displace_atoms all random 0.3 0.3 0.3 4711 units box
displace_atoms all move 1.7 -0.9 0.6 units box
change_box all x scale 1.02 remap
dump out all custom 1 def.dump id type x y z c_dsp[1] c_dsp[2] c_dsp[3]
dump_modify out format float %.10f
run 0
"""


def main():
    with tempfile.TemporaryDirectory() as tmp:
        with open(os.path.join(tmp, "in.dva"), "w") as f:
            f.write(SCRIPT)
        subprocess.run(["lmp", "-in", "in.dva", "-log", "none", "-screen", "none"], cwd=tmp, check=True)
        with open(os.path.join(tmp, "ref.dump")) as f:
            ref = f.read()
        with open(os.path.join(tmp, "def.dump")) as f:
            lines = f.read().splitlines()
    head = lines[:9]
    body = lines[9:]
    random.Random(7).shuffle(body)
    with open(os.path.join(OUT, "dva_ref.dump"), "w") as f:
        f.write(ref)
    with open(os.path.join(OUT, "dva_def.dump"), "w") as f:
        f.write("\n".join(head + body) + "\n")
    print("wrote", len(body), "atoms")


if __name__ == "__main__":
    main()
