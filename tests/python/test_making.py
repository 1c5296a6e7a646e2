"""Builders, Atomkit and the dislocation analyses through Python against
quelm-batch: the same settings give the same files and columns; refusals
raise with the core's message."""
import os
import signal
import subprocess
import sys
import textwrap

import numpy as np
import pytest

import quelm
from quelm import atomkit
from conftest import BATCH, batch


def poly_text(cu):
    return f"mode 3D\nbox 40 40 40\ncutoff 0.1\nseed 7\nrandom 4\nbuild {cu} 4\n0 0 0\n"


# (builder, its Python keywords, its quelm-batch entries); "CU" and "NI"
# stand for the crystals' files.
BUILDS = [
    ("monocrystal", dict(structure="fcc", a=3.615, size=(4, 3, 2), orientation=((1, 1, 0), (-1, 1, 0), (0, 0, 1))),
     ["-M_single_str=0", "-M_single_a=3.615", "-M_single_dpx=4", "-M_single_dpy=3", "-M_single_dpz=2",
      "-M_single_oxh=1", "-M_single_oxk=1", "-M_single_oxl=0", "-M_single_oyh=-1", "-M_single_oyk=1",
      "-M_single_oyl=0", "-M_single_ozh=0", "-M_single_ozk=0", "-M_single_ozl=1"]),
    ("monocrystal", dict(structure="NaCl", size=(2, 2, 2), elements=["Na", "Cl"]),
     ["-M_single_str=5", "-M_single_dpx=2", "-M_single_dpy=2", "-M_single_dpz=2", "--elements", "Na,Cl"]),
    ("monocrystal", dict(structure="hcp hexagonal", c=5.3, size=(3, 3, 2)),
     ["-M_single_str=3", "-M_single_c=5.3", "-M_single_dpx=3", "-M_single_dpy=3", "-M_single_dpz=2"]),
    ("bilayer", dict(lower="CU", upper="NI", normal="z", lower_repeat=(4, 4), upper_repeat=(4, 4),
                     lower_thickness=10, upper_thickness=8, vacuum=2, accept_mismatch=True),
     ["-M_double_filea=CU", "-M_double_fileb=NI", "-M_double_dir=2", "-M_double_ax=4", "-M_double_ay=4",
      "-M_double_bx=4", "-M_double_by=4", "-M_double_at=10", "-M_double_bt=8", "-M_double_void=2",
      "--accept-mismatch"]),
    ("multilayer", dict(lower="CU", upper="CU", normal="x", lower_repeat=(2, 2), upper_repeat=(2, 2),
                        lower_thickness=7, upper_thickness=7, period=3),
     ["-M_double_filea=CU", "-M_double_fileb=CU", "-M_double_dir=0", "-M_double_ax=2", "-M_double_ay=2",
      "-M_double_bx=2", "-M_double_by=2", "-M_double_at=7", "-M_double_bt=7", "-M_double_period=3"]),
    ("nanoparticle", dict(crystal="CU", shape="hexahedron", radius=8),
     ["-M_cluster_input=CU", "-M_cluster_mode=2", "-M_cluster_r=8"]),
    ("nanoparticle", dict(crystal="CU", shape="icosahedron", radius=9,
                          orientation=((1, 1, 0), (-1, 1, 0), (0, 0, 1))),
     ["-M_cluster_input=CU", "-M_cluster_mode=5", "-M_cluster_r=9", "-M_cluster_xx=1", "-M_cluster_xy=1",
      "-M_cluster_xz=0", "-M_cluster_yx=-1", "-M_cluster_yy=1", "-M_cluster_yz=0", "-M_cluster_zx=0",
      "-M_cluster_zy=0", "-M_cluster_zz=1"]),
    ("nanowire", dict(crystal="CU", shape="hexagonal prism", axis="z", radius=8, height=12),
     ["-M_wire_input=CU", "-M_wire_mode=2", "-M_wire_dir=2", "-M_wire_r=8", "-M_wire_h=12"]),
    ("nanosheet", dict(crystal="CU", plane="xz", center=(0.5, 0.5, 0.5), center_unit="box", repeat=(2, 1),
                       thickness=6, vacuum=4),
     ["-M_sheet_input=CU", "-M_sheet_mode=1", "-M_sheet_x=0.5", "-M_sheet_y=0.5", "-M_sheet_z=0.5",
      "-M_sheet_u=1", "-M_sheet_nx=2", "-M_sheet_ny=1", "-M_sheet_thick=6", "-M_sheet_void=4"]),
    ("coreshell", dict(shell="CU", shape="sphere", radius=12, core_radius=6, core_mode="solid", core="NI"),
     ["-M_coreshell_input=CU", "-M_coreshell_mode=0", "-M_coreshell_r=12", "-M_coreshell_core=6",
      "-M_coreshell_cmode=1", "-M_coreshell_cfile=NI"]),
    ("coreshell", dict(shell="CU1", shape="octahedron", radius=10, core_radius=5, core_mode="empty"),
     ["-M_coreshell_input=CU1", "-M_coreshell_mode=3", "-M_coreshell_r=10", "-M_coreshell_core=5",
      "-M_coreshell_cmode=0"]),
    ("dislocation", dict(crystal="CU", kind="edge", center=(0.5, 0.5, 0.5), center_unit="box", line=(0, 0, 1),
                         slip=(1, 0, 0), burgers=2.556, poisson=0.3),
     ["-M_dislocation_input=CU", "-M_dislocation_mode=1", "-M_dislocation_cu=1", "-M_dislocation_cx=0.5",
      "-M_dislocation_cy=0.5", "-M_dislocation_cz=0.5", "-M_dislocation_dx=0", "-M_dislocation_dy=0",
      "-M_dislocation_dz=1", "-M_dislocation_bx=1", "-M_dislocation_by=0", "-M_dislocation_bz=0",
      "-M_dislocation_bl=2.556", "-M_dislocation_miu=0.3"]),
    ("crack", dict(crystal="CU", mode="III", plane_normal="y", length=10, shear_modulus=48, poisson=0.34, K=0.8),
     ["-M_crack_input=CU", "-M_crack_mode=4", "-M_crack_dirp=1", "-M_crack_lenth=10", "-M_crack_g=48",
      "-M_crack_nu=0.34", "-M_crack_KI=0.8"]),
    ("solution", dict(crystal="CU", concentration=0.05, type=2, seed=7, elements="Cu,Ni"),
     ["-M_solute_input=CU", "-M_solute_cont=0.05", "-M_solute_type=2", "-M_solute_seed=7", "--elements", "Cu,Ni"]),
    ("solution", dict(crystal="CU", kind="interstitial", concentration=0.01, type=2, seed=3, cutoff=3),
     ["-M_solute_input=CU", "-M_solute_mode=1", "-M_solute_cont=0.01", "-M_solute_type=2", "-M_solute_seed=3",
      "-M_solute_r=3"]),
]


def _put(value, crystals):
    if isinstance(value, str) and value in ("CU", "NI", "CU1", "NI1"):
        return crystals[value.lower()]
    return value


def _files(entries, crystals):
    """The entries with the crystals' files in place of CU, NI, CU1, NI1."""
    out = []
    for e in entries:
        label, _, value = e.partition("=")
        out.append(f"{label}={crystals[value.lower()]}" if value in ("CU", "NI", "CU1", "NI1") else e)
    return out


@pytest.mark.parametrize("name,keywords,entries", BUILDS, ids=[f"{b[0]}-{k}" for k, b in enumerate(BUILDS)])
def test_every_builder_equals_quelm_batch_file_for_file(tmp_path, crystals, name, keywords, entries):
    keywords = {k: _put(v, crystals) for k, v in keywords.items()}
    entries = _files(entries, crystals)
    batch("build", name, *entries, "-o", tmp_path / "batch.lmp")
    model = getattr(quelm, name)(**keywords)
    quelm.write(model, tmp_path / "python.lmp")
    assert (tmp_path / "python.lmp").read_bytes() == (tmp_path / "batch.lmp").read_bytes()


def test_the_polycrystal_from_a_keyword_text_or_file_equals_quelm_batch(tmp_path, crystals):
    grains = tmp_path / "grains.input"
    grains.write_text(poly_text(crystals["cu"]))
    batch("build", "polycrystal", f"-Model_Poly_file={grains}", "-o", tmp_path / "batch.lmp")
    for kind in ("polycrystal", "nanocomposite"):
        for model in (getattr(quelm, kind)(text=poly_text(crystals["cu"])), getattr(quelm, kind)(file=grains)):
            quelm.write(model, tmp_path / "python.lmp")
            assert (tmp_path / "python.lmp").read_bytes() == (tmp_path / "batch.lmp").read_bytes()
    # The log goes where asked, else nowhere.
    quelm.polycrystal(file=grains, log=tmp_path)
    log = (tmp_path / "poly_log.fpl").read_text()
    assert log.startswith("#box_size 0 40.000000 0 40.000000 0 40.000000\n") and log.count("#Grain_num") == 4
    assert not os.path.exists("poly_log.fpl") or os.path.getmtime("poly_log.fpl") < os.path.getmtime(grains)


def test_a_model_in_place_of_a_crystal_file(crystals):
    cu = quelm.read(crystals["cu"])
    from_file = quelm.nanoparticle(crystal=crystals["cu"], radius=7)
    from_model = quelm.nanoparticle(crystal=cu, radius=7)
    np.testing.assert_array_equal(from_file.positions, from_model.positions)


def test_the_builders_document_their_form_defaults():
    doc = quelm.monocrystal.__doc__
    assert "size: cells along x, y, z [form default: (1, 1, 1)]" in doc
    assert "[form default: 3.614910]" in doc
    assert "radius" in str(__import__("inspect").signature(quelm.nanoparticle))
    assert quelm.structures()[0] == "cF4[225]-A1(Cu)" and len(quelm.structures()) == 19


# (builder, Python keywords, quelm-batch entries) that the builder refuses:
# the ValueError carries what quelm-batch says.
REFUSALS = [
    ("monocrystal", dict(a=-1.0), ["-M_single_a=-1"]),
    ("nanoparticle", dict(), []),
    ("nanoparticle", dict(crystal="CU", radius=0), ["-M_cluster_input=CU", "-M_cluster_r=0"]),
    ("dislocation", dict(crystal="CU", line=(1, 0, 0), slip=(1, 0, 0), burgers=2.5),
     ["-M_dislocation_input=CU", "-M_dislocation_dx=1", "-M_dislocation_dy=0", "-M_dislocation_dz=0",
      "-M_dislocation_bx=1", "-M_dislocation_by=0", "-M_dislocation_bz=0", "-M_dislocation_bl=2.5"]),
    ("solution", dict(crystal="CU", concentration=1.5), ["-M_solute_input=CU", "-M_solute_cont=1.5"]),
    ("bilayer", dict(lower="CU", upper="NI", normal="z", lower_repeat=(4, 4), upper_repeat=(4, 4),
                     lower_thickness=10, upper_thickness=8),
     ["-M_double_filea=CU", "-M_double_fileb=NI", "-M_double_dir=2", "-M_double_ax=4", "-M_double_ay=4",
      "-M_double_bx=4", "-M_double_by=4", "-M_double_at=10", "-M_double_bt=8"]),
    ("polycrystal", dict(text="mode 4D\n"), ["-Model_Poly_file=TEXT"]),
    ("polycrystal", dict(text="mode 3D\nbox 0 10 10\nrandom 2\n"), ["-Model_Poly_file=TEXT"]),
]


@pytest.mark.parametrize("name,keywords,entries", REFUSALS, ids=[f"{r[0]}-{k}" for k, r in enumerate(REFUSALS)])
def test_a_refusal_raises_the_builders_message(tmp_path, crystals, name, keywords, entries):
    keywords = {k: _put(v, crystals) for k, v in keywords.items()}
    with pytest.raises(ValueError) as raised:
        getattr(quelm, name)(**keywords)
    if "text" in keywords:
        (tmp_path / "grains.input").write_text(keywords["text"])
    entries = [e.replace("=TEXT", "=" + str(tmp_path / "grains.input")) for e in _files(entries, crystals)]
    done = batch("build", name, *entries, "-o", tmp_path / "out.lmp", check=False)
    assert done.returncode == 1
    said = done.stderr.strip().replace("give --accept-mismatch", "give accept_mismatch=True")
    assert str(raised.value) == said
    assert not (tmp_path / "out.lmp").exists()


@pytest.mark.parametrize("name,keywords,error,words", [
    ("monocrystal", dict(structure="nothing"), ValueError, "no structure named 'nothing'"),
    ("monocrystal", dict(structure=19), ValueError, "index 0 ... 18"),
    ("monocrystal", dict(size=(1, 2)), ValueError, "size takes 3 numbers, not 2"),
    ("monocrystal", dict(size=(1, 2, 2.5)), ValueError, "whole numbers"),
    ("monocrystal", dict(a="big"), ValueError, "a takes numbers, not 'big'"),
    ("monocrystal", dict(orientation=((1, 0, 0),)), ValueError, "three rows"),
    ("monocrystal", dict(colour=1), TypeError, "unexpected keyword argument 'colour'"),
    ("nanowire", dict(crystal="CU", axis="w"), ValueError, "axis takes one of 'x', 'y', 'z', not 'w'"),
    ("nanoparticle", dict(crystal="/no such/cu.lmp"), ValueError, "blank"),
    ("nanoparticle", dict(crystal="/missing/cu.lmp"), ValueError, "/missing/cu.lmp"),
    ("monocrystal", dict(status="/missing/form.qnw"), OSError, "Cannot read the status file /missing/form.qnw"),
    ("polycrystal", dict(text="x", file="grains.input"), ValueError, "not both"),
])
def test_bad_keywords_raise_before_building(crystals, name, keywords, error, words):
    keywords = {k: _put(v, crystals) for k, v in keywords.items()}
    with pytest.raises(error) as raised:
        getattr(quelm, name)(**keywords)
    assert words in str(raised.value)


# ---- Atomkit

def void_and_turn():
    void = atomkit.sphere("Void", (14.46, 14.46, 14.46), 6.0)
    return atomkit.Recipe([
        atomkit.delete(void),
        atomkit.rotate("ALL", (14.46, 14.46, 14.46), (0, 0, 1), 15.0),
        atomkit.substitute(atomkit.cuboid("Low", (0, 0, 0), (28.92, 28.92, 10)), 2, 0.25, seed=5),
        atomkit.tensile("x", 0.02),
        atomkit.wrap(),
    ])


def test_a_recipe_built_in_python_or_read_from_its_file_equals_quelm_batch(tmp_path, crystals):
    recipe = void_and_turn()
    path = tmp_path / "recipe.txt"
    recipe.save(path)
    assert path.read_text().startswith("#Quelm_atomkit_save\n#region_sphere Void 14.46 14.46 14.46 6.0\n")
    batch("atomkit", crystals["cu"], path, "-o", tmp_path / "batch.lmp")
    base = quelm.read(crystals["cu"])
    before = base.positions.copy()
    report = []
    for given in (recipe, str(path), path):
        out = atomkit.run(base, given, report=report)
        quelm.write(out, tmp_path / "python.lmp")
        assert (tmp_path / "python.lmp").read_bytes() == (tmp_path / "batch.lmp").read_bytes()
    np.testing.assert_array_equal(base.positions, before)  # the base stays as it was
    assert [r["kind"] for r in report[:5]] == ["Delete", "Rotate", "Substitute", "Affine Tensile", "Wrap"]
    assert report[0]["atoms"] < len(base) and not any(r["failed"] for r in report)
    # Up to a step, as --upto.
    batch("atomkit", crystals["cu"], path, "--upto", 1, "-o", tmp_path / "batch1.lmp")
    quelm.write(atomkit.run(base, recipe, upto=1), tmp_path / "python1.lmp")
    assert (tmp_path / "python1.lmp").read_bytes() == (tmp_path / "batch1.lmp").read_bytes()


def test_select_gives_the_regions_atoms(crystals, tmp_path):
    base = quelm.read(crystals["cu"])
    center = np.array([14.46, 14.46, 14.46])
    ball = atomkit.sphere("Ball", center, 6.0)
    mask = atomkit.select(base, ball)
    inside = np.linalg.norm(base.positions - center, axis=1) < 6.0
    np.testing.assert_array_equal(mask, inside)
    shell = atomkit.and_("Shell", ball, atomkit.not_("Out", atomkit.sphere("Core", center, 3.0)))
    inner = np.linalg.norm(base.positions - center, axis=1) < 3.0
    np.testing.assert_array_equal(atomkit.select(base, shell), inside & ~inner)
    path = tmp_path / "recipe.txt"
    atomkit.Recipe([shell]).save(path)
    done = batch("atomkit", crystals["cu"], path, "--select", "Shell", "-o", tmp_path / "s.lmc")
    assert f"{int((inside & ~inner).sum())} atoms in region Shell" in done.stdout
    np.testing.assert_array_equal(atomkit.select(base, "Shell", recipe=path), inside & ~inner)
    assert "Select" not in base.columns


def test_recipes_that_do_not_load_or_run_raise_with_the_core_message(tmp_path, crystals):
    base = quelm.read(crystals["cu"])
    bad = tmp_path / "bad.txt"
    bad.write_text("#Quelm_atomkit_save\n#step_delete Nowhere\n#END\n")
    done = batch("atomkit", crystals["cu"], bad, "-o", tmp_path / "o.lmp", check=False)
    with pytest.raises(ValueError) as raised:
        atomkit.run(base, bad)
    assert str(raised.value) == done.stderr.strip()
    assert str(raised.value).startswith(f"{bad}:2: ")
    with pytest.raises(OSError, match="cannot open"):
        atomkit.run(base, tmp_path / "missing.txt")
    not_a_recipe = tmp_path / "nothing.txt"
    not_a_recipe.write_text("hello\n")
    with pytest.raises(ValueError, match="Not a atomkit save file"):
        atomkit.run(base, not_a_recipe)
    with pytest.raises(ValueError, match="the rotation axis is zero"):
        atomkit.run(base, [atomkit.rotate("ALL", (0, 0, 0), (0, 0, 0), 10)])
    with pytest.raises(ValueError, match="upto takes a step number"):
        atomkit.run(base, void_and_turn(), upto=0)
    with pytest.raises(ValueError, match="#region_sphere takes 4 fields, not 2"):
        atomkit.Region("sphere", "S", 1, 2)
    with pytest.raises(ValueError, match="has a blank"):
        atomkit.Recipe([atomkit.sphere("my ball", (0, 0, 0), 1)]).text()
    with pytest.raises(ValueError, match="no kind named 'blob'"):
        atomkit.Step("blob")
    with pytest.raises(ValueError, match="has no region named Ghost"):
        atomkit.select(base, "Ghost", recipe=void_and_turn())


# ---- the dislocation and strain analyses

def strained(crystals, tmp_path):
    """The copper crystal with an edge dislocation, stretched 1 % along x, as a file."""
    edge = quelm.dislocation(crystal=crystals["cu"], kind="edge", center=(0.5, 0.5, 0.5), center_unit="box",
                             line=(0, 0, 1), slip=(1, 0, 0), burgers=2.556, poisson=0.3)
    deformed = atomkit.run(edge, [atomkit.tensile("x", 0.01)])
    path = tmp_path / "deformed.lmp"
    quelm.write(deformed, path)
    return str(path)


@pytest.mark.parametrize("method,settings,entries", [
    ("dva", {}, []),
    ("sta", dict(cut=3.0), ["-KV_sta_cut=3"]),
    ("nye", {}, []),
])
def test_the_engine_analyses_equal_quelm_batch_atom_for_atom(tmp_path, crystals, method, settings, entries):
    deformed = strained(crystals, tmp_path)
    out = tmp_path / "batch.lmc"
    batch("analyse", deformed, "--method", method, "--reference", crystals["cu"], *entries, "-o", out)
    written = quelm.read(out)
    model = quelm.read(deformed)
    result = quelm.analyse(model, method, reference=crystals["cu"], **settings)
    columns = [c for c in result if c not in ("message", "summary")]
    assert columns and result["message"].startswith(f"{method}: {len(columns)} columns added")
    for c in columns:
        np.testing.assert_allclose(result[c], written.columns[c], atol=1e-6, err_msg=c)
    assert not any(c in model.columns for c in columns)  # not asked to keep them
    # A reference model works as its file does.
    again = quelm.analyse(model, method, reference=quelm.read(crystals["cu"]), add_columns=True, **settings)
    for c in columns:
        np.testing.assert_allclose(again[c], result[c], atol=1e-9)
        np.testing.assert_array_equal(model.columns[c], again[c])


def test_engine_analyses_refuse_what_the_engine_refuses(crystals):
    model = quelm.read(crystals["cu"])
    with pytest.raises(ValueError, match="no reference file chosen"):
        quelm.analyse(model, "dva")
    with pytest.raises(ValueError, match="no value named KV_colour"):
        quelm.analyse(model, "dva", reference=crystals["cu"], colour=1)
    with pytest.raises(ValueError, match="reference must be a quelm.Model or a file's path"):
        quelm.analyse(model, "dva", reference=3)
    with pytest.raises(ValueError, match="Unknown method 'dvb'"):
        quelm.analyse(model, "dvb")


# ---- long operations: progress, other threads, Ctrl-C

def test_progress_reaches_the_callback(crystals):
    calls = []
    quelm.polycrystal(text=poly_text(crystals["cu"]), progress=lambda p, m: calls.append((p, m)))
    assert calls and calls[-1][0] == 100.0
    assert all(0 <= p <= 100 for p, _ in calls)
    assert "polycrystal" in calls[-1][1].lower()

    def fails(p, m):
        raise ZeroDivisionError("from the callback")
    model = quelm.read(crystals["cu"])
    with pytest.raises(ZeroDivisionError, match="from the callback"):
        quelm.analyse(model, "cna", progress=fails)
    assert "cna" not in model.columns
    assert quelm.analyse(model, "cna")["summary"]["fcc"] == len(model)


CTRL_C = textwrap.dedent("""
    import os, signal, threading
    import quelm
    big = quelm.monocrystal(structure="fcc", size=(60, 60, 60))
    # Ctrl-C arrives while the analysis runs: sent at its first progress
    # report, from another thread (which runs because the analysis left the GIL).
    def press_ctrl_c(percent, message):
        if not sent:
            sent.append(percent)
            threading.Thread(target=lambda: os.kill(os.getpid(), signal.SIGINT)).start()
    sent = []
    try:
        quelm.analyse(big, "cna", threads=1, add_columns=True, progress=press_ctrl_c)
        print("finished")
    except KeyboardInterrupt:
        print("interrupted", "cna" in big.columns, sent[0] < 100)
    small = quelm.monocrystal(structure="fcc", size=(3, 3, 3))
    print("after", quelm.analyse(small, "cna")["summary"]["fcc"])
""")


def test_ctrl_c_stops_a_long_analysis_and_the_module_goes_on():
    done = subprocess.run([sys.executable, "-c", CTRL_C], capture_output=True, text=True, timeout=300,
                          env=dict(os.environ))
    assert done.returncode == 0, done.stderr
    lines = done.stdout.split("\n")
    assert "interrupted False True" in lines, done.stdout
    assert "after 108" in lines


def test_the_example_prints_its_counts_and_draws_its_picture(tmp_path):
    from conftest import SOURCE
    picture = tmp_path / "fcc.png"
    done = subprocess.run([sys.executable, os.path.join(SOURCE, "examples", "polycrystal_cna.py"), str(picture)],
                          capture_output=True, text=True, timeout=300)
    assert done.returncode == 0, done.stderr
    counts = {line.split(":")[0].strip(): int(line.split(":")[1].split()[0])
              for line in done.stdout.splitlines() if "%)" in line}
    atoms = int(done.stdout.split(" atoms in a ")[0].split("\n")[-1])
    assert sum(counts.values()) == atoms and 0.5 < counts["fcc"] / atoms < 0.9
    assert picture.read_bytes()[:8] == b"\x89PNG\r\n\x1a\n"
