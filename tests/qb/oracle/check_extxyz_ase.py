#!/usr/bin/python3
"""Checks that ASE reads the extended XYZ we write, and keeps what it read as
the fixture tests/qb/fixtures/frames/quelm_written_ase.txt. Writes frame 2
of the LAMMPS run fixture with quelm-batch, reads it with ASE, compares with
LAMMPS' own positions of that frame. Run from the repository root after a
build:  /usr/bin/python3 tests/qb/oracle/check_extxyz_ase.py [build/app/quelm-batch]
"""
import os
import shutil
import subprocess
import sys

from ase.io import read

HERE = os.path.dirname(os.path.abspath(__file__))
FIX = os.path.join(HERE, "..", "fixtures", "frames")


def main():
    batch = sys.argv[1] if len(sys.argv) > 1 else "build/app/quelm-batch"
    out = os.path.join(FIX, "quelm_written.xyz")
    subprocess.run([batch, "convert", os.path.join(FIX, "cu_run.dump"), out, "--frame", "2"], check=True,
                   stdout=subprocess.DEVNULL)
    a = read(out, format="extxyz")
    # LAMMPS' positions of frame 2 (its XYZ dump sorted by id), in the order
    # of the ids of the custom dump's frame 2.
    ref = read(os.path.join(FIX, "cu_run_ref.xyz"), index=1, format="xyz")
    with open(os.path.join(FIX, "cu_run.dump")) as f:
        lines = f.read().split("\n")
    start = [k for k, line in enumerate(lines) if line.startswith("ITEM: ATOMS")][1] + 1
    ids = [int(line.split()[0]) for line in lines[start:start + 108]]
    assert len(a) == len(ref) == 108
    assert abs(a.positions - ref.positions[[i - 1 for i in ids]]).max() == 0.0, "positions differ"
    assert list(a.pbc) == [True, True, True]
    assert abs(a.cell.array - [[10.845, 0, 0], [0, 10.845, 0], [0, 0, 10.845]]).max() == 0.0
    vx = a.arrays["vx"]
    with open(os.path.join(FIX, "quelm_written_ase.txt"), "w") as f:
        f.write("cell" + "".join(" %.17g" % v for v in a.cell.array.flatten()) + "\n")
        f.write("pbc " + "".join("T" if p else "F" for p in a.pbc) + "\n")
        for s, p, v in zip(a.get_chemical_symbols(), a.positions, vx):
            f.write("%s %.17g %.17g %.17g %.17g\n" % (s, p[0], p[1], p[2], v))
    print("ASE reads our extended XYZ: 108 atoms, positions equal to LAMMPS'")


if __name__ == "__main__":
    main()
