"""The Python module against the core: models as views, files, ASE both ways,
the structure analyses against quelm-batch, and bad input as exceptions."""
import os
import subprocess

import numpy as np
import pytest

import quelm

SOURCE = os.environ.get("QUELM_SOURCE", os.path.join(os.path.dirname(__file__), "..", ".."))
BATCH = os.environ.get("QUELM_BATCH", "quelm-batch")
EVERYDAY = os.path.join(SOURCE, "tests", "analysis", "fixtures", "everyday")
FRAMES = os.path.join(SOURCE, "tests", "qb", "fixtures", "frames", "cu_run.dump")


def triclinic_alloy():
    """A noisy two-species triclinic crystal with a column."""
    rng = np.random.default_rng(7)
    cell = np.array([[10.0, 0, 0], [3.0, 9.0, 0], [-1.5, 2.0, 8.0]])
    frac = rng.random((40, 3))
    positions = frac @ cell + np.array([1.0, -2.0, 0.5])
    types = np.array([1, 2] * 20, dtype=np.int32)
    m = quelm.Model(positions, types, cell, origin=[1.0, -2.0, 0.5], pbc=[True, True, False], elements=["Cu", "Ni"])
    m.set_column("charge", rng.random(40))
    return m, positions, cell


def test_a_model_from_arrays_shows_them_as_views():
    m, positions, cell = triclinic_alloy()
    assert len(m) == 40
    np.testing.assert_array_equal(m.positions, positions)
    np.testing.assert_array_equal(m.cell, cell)
    assert m.origin == [1.0, -2.0, 0.5]
    assert m.pbc == [True, True, False]
    assert m.elements == ["Cu", "Ni"]
    assert list(m.types[:4]) == [1, 2, 1, 2]
    assert list(m.ids[:3]) == [1, 2, 3]
    # Views: writing through one changes the model; they keep it alive.
    view = m.positions
    view[0] = [5.0, 5.0, 5.0]
    assert list(m.positions[0]) == [5.0, 5.0, 5.0]
    assert not view.flags["OWNDATA"]
    m.columns["charge"][1] = 42.0
    assert m.columns["charge"][1] == 42.0
    del m
    assert view[0, 0] == 5.0  # the model lives as long as the view


def test_a_view_changed_in_python_is_what_is_written(tmp_path):
    m = quelm.read(os.path.join(EVERYDAY, "cu_thermal.data"))
    m.positions[:, 0] += 0.25
    out = tmp_path / "moved.lmc"
    quelm.write(m, str(out))
    back = quelm.read(str(out))
    np.testing.assert_allclose(back.positions, m.positions, atol=1e-6)  # the dump's six decimals


@pytest.mark.parametrize("suffix", [".lmc", ".lmp", ".xyz", ".lmc.gz"])
def test_files_round_trip_through_every_format(tmp_path, suffix):
    m, _, _ = triclinic_alloy()
    path = tmp_path / ("m" + suffix)
    quelm.write(m, str(path))
    back = quelm.read(str(path))
    assert len(back) == 40
    np.testing.assert_allclose(back.cell, m.cell, atol=1e-6)
    np.testing.assert_allclose(back.positions, m.positions, atol=1e-5)
    assert list(back.types) == list(m.types)


def test_the_frames_of_a_dump():
    first, last = quelm.read(FRAMES), quelm.read(FRAMES, frame=2)
    assert len(first) == len(last) == 108
    assert not np.array_equal(first.positions, last.positions)
    with pytest.raises(OSError, match="Reading file failed"):
        quelm.read(FRAMES, frame=7)


def test_frames_go_one_at_a_time_over_a_dump_and_a_numbered_series(tmp_path):
    steps = list(quelm.frames(FRAMES))
    assert len(steps) == 3 and len(quelm.frames(FRAMES)) == 3
    np.testing.assert_array_equal(steps[2].positions, quelm.read(FRAMES, frame=2).positions)
    m = quelm.read(os.path.join(EVERYDAY, "cu_thermal.data"))
    for k in (10, 2, 1):
        m.positions[0, 0] = k
        quelm.write(m, str(tmp_path / ("run.%d.lmp" % k)))
    firsts = [f.positions[0, 0] for f in quelm.frames(str(tmp_path / "run.1.lmp"))]
    assert firsts == [1, 2, 10]  # in numeric order
    with pytest.raises(OSError):
        quelm.frames(str(tmp_path / "missing.lmc"))


def test_the_module_documents_itself():
    assert "structure analysis" in quelm.analyse.__doc__
    assert "add_columns" in str(__import__("inspect").signature(quelm.analyse))
    folder = os.path.dirname(quelm.__file__)
    text = open(os.path.join(folder, "__init__.pyi")).read() + open(os.path.join(folder, "_core.pyi")).read()
    for name in ("class Model", "def read(", "def frames(", "def write(", "def from_ase(", "def analyse(",
                 "def monocrystal(", "def solution(", "def polycrystal("):
        assert name in text, name
    assert os.path.exists(os.path.join(folder, "py.typed"))


def test_ase_both_ways_keeps_cell_pbc_symbols_positions_and_arrays():
    ase = pytest.importorskip("ase")
    m, positions, cell = triclinic_alloy()
    atoms = m.to_ase()
    assert isinstance(atoms, ase.Atoms)
    np.testing.assert_allclose(atoms.cell.array, cell, atol=1e-12)
    np.testing.assert_allclose(atoms.get_positions(), m.positions - np.array(m.origin), atol=1e-12)
    assert list(atoms.pbc) == [True, True, False]
    assert atoms.get_chemical_symbols()[:2] == ["Cu", "Ni"]
    np.testing.assert_array_equal(atoms.arrays["charge"], m.columns["charge"])
    back = quelm.from_ase(atoms)
    np.testing.assert_allclose(back.positions, atoms.get_positions(), atol=1e-12)
    np.testing.assert_allclose(back.cell, cell, atol=1e-12)
    assert back.pbc == [True, True, False]
    assert back.elements == ["Cu", "Ni"]
    np.testing.assert_array_equal(back.columns["charge"], m.columns["charge"])
    # A crystal made by ASE.
    from ase.build import bulk
    cu = bulk("Cu", "fcc", a=3.615, cubic=True).repeat((3, 3, 3))
    model = quelm.from_ase(cu)
    assert len(model) == 108 and model.elements == ["Cu"]
    assert quelm.analyse(model, "cna")["summary"]["fcc"] == 108


def test_cna_and_csp_equal_quelm_batch_atom_for_atom(tmp_path):
    source = os.path.join(EVERYDAY, "cu_liquid.data")
    for method in ("cna", "csp"):
        out = tmp_path / (method + ".lmc")
        subprocess.run([BATCH, "analyse", source, "--method", method, "-o", str(out)], check=True,
                       stdout=subprocess.DEVNULL)
        batch = quelm.read(str(out))
        m = quelm.read(source)
        result = quelm.analyse(m, method, threads=2, add_columns=True)
        # The dump holds six decimals.
        np.testing.assert_allclose(result[method], batch.columns[method], atol=1e-6)
        np.testing.assert_array_equal(m.columns[method], result[method])
    assert set(quelm.analyse(quelm.read(source), "cna")["summary"]) >= {"other"}


def test_the_measurements_equal_quelm_batch(tmp_path):
    source = os.path.join(EVERYDAY, "cu_liquid.data")
    out = tmp_path / "coord.lmc"
    subprocess.run([BATCH, "analyse", source, "--method", "coordination,steinhardt", "-E_q_degrees=6", "-o", str(out)],
                   check=True, stdout=subprocess.DEVNULL)
    batch = quelm.read(str(out))
    m = quelm.read(source)
    coord = quelm.analyse(m, "coordination", cut=3)
    np.testing.assert_array_equal(coord["coord"], batch.columns["coord"])
    q = quelm.analyse(m, "steinhardt", degrees=[6])
    np.testing.assert_allclose(q["q6"], batch.columns["q6"], atol=1e-6)
    assert abs(q["summary"]["mean q6"] - 0.39) < 0.01
    rdf = quelm.analyse(m, "rdf", cut=6, bins=120)
    assert len(rdf["table"]["r"]) == 120 and rdf["table"]["g"].max() > 2
    # Wigner-Seitz against a reference model.
    crystal = quelm.read(os.path.join(EVERYDAY, "cu_thermal.data"))
    ws = quelm.analyse(crystal, "defects", reference=quelm.read(os.path.join(EVERYDAY, "cu_thermal.data")))
    assert ws["summary"] == {"vacancies": 0.0, "interstitials": 0.0}
    with pytest.raises(ValueError, match="choose the reference model first"):
        quelm.analyse(crystal, "defects")
    with pytest.raises(ValueError, match="RDF: the cut-off must be above 0"):
        quelm.analyse(m, "rdf", cut=0)


def test_bad_input_raises_with_the_core_message(tmp_path):
    cell = np.eye(3) * 5
    with pytest.raises(ValueError, match="N x 3"):
        quelm.Model(np.zeros((4, 2)), [1, 1, 1, 1], cell)
    with pytest.raises(ValueError, match="one type per atom"):
        quelm.Model(np.zeros((4, 3)), [1, 1], cell)
    with pytest.raises(ValueError, match="types start at 1"):
        quelm.Model(np.zeros((2, 3)), [0, 1], cell)
    with pytest.raises(ValueError, match="no volume"):
        quelm.Model(np.zeros((2, 3)), [1, 1], np.zeros((3, 3)))
    with pytest.raises(ValueError, match="not a number"):
        quelm.Model(np.array([[0, 0, 0], [np.nan, 0, 0]]), [1, 1], cell)
    with pytest.raises(OSError, match="Reading file failed"):
        quelm.read(str(tmp_path / "missing.lmp"))
    garbage = tmp_path / "garbage.txt"
    garbage.write_text("not a structure\n")
    with pytest.raises(OSError, match="Unknown model format"):
        quelm.read(str(garbage))
    m = quelm.read(os.path.join(EVERYDAY, "cu_thermal.data"))
    with pytest.raises(ValueError, match="Unknown file format"):
        quelm.write(m, str(tmp_path / "m.png"))
    with pytest.raises(OSError):
        quelm.write(m, str(tmp_path / "no" / "such" / "folder.lmc"))
    with pytest.raises(ValueError, match="Unknown method"):
        quelm.analyse(m, "nothing")
    with pytest.raises(ValueError, match="A_cna_wrong"):
        quelm.analyse(m, "cna", wrong=1)
    with pytest.raises(ValueError, match="CSP"):
        quelm.analyse(m, "csp", cn=1)  # one neighbour makes no pair
    with pytest.raises(ValueError, match="one value per atom"):
        m.set_column("x2", np.zeros(3))


def test_column_views_survive_analyses_that_add_replace_or_take_back_columns():
    m = quelm.monocrystal(structure="fcc", size=(4, 4, 4))
    m.set_column("mine", np.arange(len(m), dtype=float))
    mine = m.columns["mine"]
    quelm.analyse(m, "cna")  # its column is taken back out
    assert list(m.columns) == ["mine"]
    first = quelm.analyse(m, "cna", add_columns=True)
    cna = m.columns["cna"]
    m.positions[0] += 0.7  # a defect, so the next run gives other classes
    quelm.analyse(m, "cna", add_columns=True)  # replaced in place
    quelm.analyse(m, "csp")
    assert cna[0] != first["cna"][0] and cna[0] == m.columns["cna"][0]
    np.testing.assert_array_equal(mine, np.arange(len(m)))
