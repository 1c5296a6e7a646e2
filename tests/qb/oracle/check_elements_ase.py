#!/usr/bin/python3
"""Checks that ASE and LAMMPS read the element names quelm-batch writes: a
rock-salt crystal built with --elements Na,Cl and a core-shell particle of
ASE's own NaCl POSCAR around that copper, as POSCAR (Cartesian and Direct),
extended XYZ and LAMMPS data file (its Masses). ASE must find the same
symbols in every file and the standard masses in the data file; LAMMPS'
read_data must take the data file. Run from the repository root after a
build (needs python3-ase, LAMMPS optional):
    /usr/bin/python3 tests/qb/oracle/check_elements_ase.py [build/app/quelm-batch]
"""
import collections
import os
import shutil
import subprocess
import sys
import tempfile

from ase.data import atomic_masses, atomic_numbers
from ase.io import read

HERE = os.path.dirname(os.path.abspath(__file__))
NACL = os.path.join(HERE, "..", "fixtures", "formats", "ase_nacl_direct.POSCAR")


def run(batch, *args):
    subprocess.run([batch, *args], check=True, stdout=subprocess.DEVNULL)


def check(path_of, formula):
    cart = read(path_of("POSCAR"), format="vasp")
    direct = read(path_of("direct.POSCAR"), format="vasp")
    xyz = read(path_of("xyz"), format="extxyz")
    data = read(path_of("lmp"), format="lammps-data", style="atomic")
    for atoms in (cart, direct, xyz):
        assert atoms.get_chemical_formula() == formula, atoms.get_chemical_formula()
    assert cart.get_chemical_symbols() == direct.get_chemical_symbols()
    assert abs(cart.positions - direct.positions).max() < 1e-4
    # The data file's atoms in its own order, its masses those of the names.
    masses = collections.Counter(round(m, 4) for m in data.get_masses())
    expected = collections.Counter(round(atomic_masses[atomic_numbers[s]], 4) for s in xyz.get_chemical_symbols())
    assert masses == expected, (masses, expected)


def main():
    batch = sys.argv[1] if len(sys.argv) > 1 else "build/app/quelm-batch"
    work = tempfile.mkdtemp(prefix="quelm_elements_")
    try:
        base = os.path.join(work, "nacl")
        run(batch, "build", "monocrystal", "-M_single_str=5", "-M_single_dpx=2", "--elements", "Na,Cl",
            "-o", base + ".POSCAR")
        cu = os.path.join(work, "cu.lmp")
        run(batch, "build", "monocrystal", "--elements", "Cu", "-M_single_dpx=3", "-M_single_dpy=3",
            "-M_single_dpz=3", "-o", cu)
        shell = os.path.join(work, "shell")
        run(batch, "build", "coreshell", "-M_coreshell_input=" + NACL, "-M_coreshell_cfile=" + cu,
            "-M_coreshell_cmode=1", "-M_coreshell_r=9", "-M_coreshell_core=5", "-o", shell + ".POSCAR")
        for stem in (base, shell):
            run(batch, "convert", stem + ".POSCAR", stem + ".direct.POSCAR", "--format", "poscar-direct")
            run(batch, "convert", stem + ".POSCAR", stem + ".xyz")
            run(batch, "convert", stem + ".POSCAR", stem + ".lmp")
        check(lambda ending: base + "." + ending, "Cl8Na8")
        formula = read(shell + ".xyz", format="extxyz").get_chemical_formula()
        assert set(read(shell + ".xyz", format="extxyz").get_chemical_symbols()) == {"Na", "Cl", "Cu"}
        check(lambda ending: shell + "." + ending, formula)
        if shutil.which("lmp"):
            script = os.path.join(work, "in.read")
            with open(script, "w") as f:
                f.write("units metal\natom_style atomic\nboundary p p p\nread_data %s.lmp\n" % shell)
            out = subprocess.run(["lmp", "-in", script, "-log", "none"], capture_output=True, text=True)
            assert out.returncode == 0 and "ERROR" not in out.stdout, out.stdout
        print("ASE reads the names of every file (%s)" % formula)
    finally:
        shutil.rmtree(work)


if __name__ == "__main__":
    main()
