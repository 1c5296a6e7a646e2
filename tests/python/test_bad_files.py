"""Damaged files and bad values through the module: each raises the named
exception with the core's message, none takes the interpreter down."""
import numpy as np
import pytest

import quelm
from conftest import batch

DATA = "t\n2 atoms\n1 atom types\n0 5 xlo xhi\n0 5 ylo yhi\n0 5 zlo zhi\n\nAtoms\n\n"
DUMP = ("ITEM: TIMESTEP\n0\nITEM: NUMBER OF ATOMS\n2\nITEM: BOX BOUNDS pp pp pp\n0 5\n0 5\n0 5\n"
        "ITEM: ATOMS id type x y z\n")
POSCAR = "p\n1.0\n5 0 0\n0 5 0\n0 0 5\nCu\n2\nDirect\n"
NOISE = bytes((k * 7919 + 13) % 256 for k in range(4000))

# (name, file's bytes, atoms read or None for a refusal)
FILES = [
    ("empty", b"", None),
    ("binary noise", NOISE, None),
    ("blank lines", b"\n\n\n   \n", None),
    ("data", (DATA + "1 1 0 0 0\n2 1 1 1 1\n").encode(), 2),
    ("data truncated", (DATA + "1 1 0 0 0\n").encode(), None),
    ("data truncated mid-line", (DATA + "1 1 0 0 0\n2 1 1").encode(), None),
    ("data huge count", b"t\n2000000000 atoms\n1 atom types\n0 5 xlo xhi\n0 5 ylo yhi\n0 5 zlo zhi\n\nAtoms\n\n"
                        b"1 1 0 0 0\n", None),
    ("data type zero", (DATA + "1 0 0 0 0\n2 1 1 1 1\n").encode(), None),
    ("data huge type", (DATA + "1 5000000 0 0 0\n2 1 1 1 1\n").encode(), None),
    ("data garbage number", (DATA + "1 1 0 abc 0\n2 1 1 1 1\n").encode(), None),
    ("dump", (DUMP + "1 1 0 0 0\n2 1 1 1 1\n").encode(), 2),
    ("dump truncated", (DUMP + "1 1 0 0 0\n2 1 1\n").encode(), None),
    ("dump types far below one", (DUMP + "1 -5000000 0 0 0\n2 1 1 1 1\n").encode(), None),
    ("dump huge count", b"ITEM: TIMESTEP\n0\nITEM: NUMBER OF ATOMS\n1e15\nITEM: BOX BOUNDS pp pp pp\n0 5\n0 5\n"
                        b"0 5\nITEM: ATOMS id type x y z\n1 1 0 0 0\n", None),
    ("poscar", (POSCAR + "0 0 0\n0.5 0.5 0.5\n").encode(), 2),
    ("poscar truncated", (POSCAR + "0 0 0\n0.5 0.5\n").encode(), None),
    ("poscar counts beyond int", b"p\n1.0\n5 0 0\n0 5 0\n0 0 5\nCu Ni\n2000000000 2000000000\nDirect\n0 0 0\n", None),
    ("poscar zero volume", b"p\n-10\n5 0 0\n5 0 0\n0 0 5\nCu\n1\nDirect\n0 0 0\n", None),
]


@pytest.mark.parametrize("name,content,atoms", FILES, ids=[f[0] for f in FILES])
def test_damaged_files_raise_what_quelm_batch_says(tmp_path, name, content, atoms):
    path = tmp_path / "case"
    path.write_bytes(content)
    if atoms is not None:
        assert len(quelm.read(path)) == atoms
        assert len(list(quelm.frames(path))) == 1
        return
    with pytest.raises(OSError) as raised:
        quelm.read(path)
    done = batch("info", path, check=False)
    assert done.returncode == 1
    assert str(raised.value) == done.stderr.strip()
    with pytest.raises(OSError):
        list(quelm.frames(path))


CELL = np.eye(3) * 5


@pytest.mark.parametrize("arguments,words", [
    (dict(positions=np.zeros((2, 3)), types=[1, 1], cell=np.eye(2)), "3 x 3"),
    (dict(positions=np.zeros((2, 3)), types=[1, 1], cell=CELL, origin=[0, 0]), "origin must hold three numbers"),
    (dict(positions=np.zeros((2, 3)), types=[1, 1], cell=CELL, pbc=[True]), "pbc must hold three flags"),
    (dict(positions=np.zeros((2, 3)), types=[1, 1], cell=CELL, ids=[1]), "one id per atom"),
    (dict(positions=np.zeros((2, 3)), types=[1, 1], cell=CELL, ids=[1, 0]), "ids start at 1"),
    (dict(positions=np.zeros((2, 3)), types=[1, 2000000], cell=CELL), "types start at 1"),
    (dict(positions=np.array([[0, 0, 0], [np.inf, 0, 0]]), types=[1, 1], cell=CELL), "not a number"),
    (dict(positions=np.zeros((2, 3)), types=[1, 1], cell=np.full((3, 3), np.nan)), "no volume"),
    (dict(positions=np.zeros((2, 3)), types=[1, 1], cell=CELL, elements=["Cu", "Ni"]), "2 element names given for 1 atom type"),
])
def test_bad_model_arguments_raise_value_error(arguments, words):
    with pytest.raises((ValueError, TypeError)) as raised:
        quelm.Model(**arguments)
    assert words in str(raised.value)


def test_bad_analysis_values_raise_value_error():
    m = quelm.monocrystal(structure="fcc", size=(3, 3, 3))
    for method, settings, words in [
        ("cna", dict(threads=-1), "threads must be 0"),
        ("rdf", dict(cut=-2), "cut-off must be above 0"),
        ("steinhardt", dict(degrees=[]), "degree"),
        ("coordination", dict(cut=0), "above 0"),
        ("defects", dict(reference="cu.lmp"), "reference must be a quelm.Model"),
    ]:
        with pytest.raises(ValueError) as raised:
            quelm.analyse(m, method, **settings)
        assert words in str(raised.value), (method, str(raised.value))
    assert len(m.columns) == 0  # nothing left behind by the refusals
