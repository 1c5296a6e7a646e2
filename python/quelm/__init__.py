"""Quelm Visualizer's core from Python.

Models as NumPy arrays (quelm.Model), the structure files (read, frames,
write), ASE both ways (Model.to_ase, from_ase), the builders (monocrystal,
polycrystal, ...), Atomkit (quelm.atomkit) and every analysis (analyse).
Each failure is a Python exception with the core's message: OSError for
files, ValueError for bad values. Long operations run without the GIL,
report to an optional progress(percent, message) callback and stop at
Ctrl-C (KeyboardInterrupt) where the core can stop.
"""
import os

from . import _core
from ._core import Frames, Model
from . import atomkit
from .builders import (bilayer, coreshell, crack, dislocation, monocrystal, multilayer, nanocomposite,
                       nanoparticle, nanosheet, nanowire, polycrystal, solution, structures)

STRUCTURE_METHODS = ("cna", "baa", "cnp", "csp", "lco", "oim")
ENGINE_METHODS = tuple(_core.engine_methods())
MEASUREMENTS = ("rdf", "coordination", "steinhardt", "voronoi", "clusters", "defects")


def read(path, frame=None, *, progress=None):
    """Reads a structure file: any format of the program (LAMMPS data and
    dumps, POSCAR, XYZ and extended XYZ, CFG, ...; gzipped too), frame
    `frame` (0-based) of a multi-frame dump or XYZ. OSError with the
    reader's message when it cannot."""
    return _core.read(os.fspath(path), frame, progress)


def frames(path):
    """The frames of a multi-frame dump or extended XYZ file, or the models
    of the numbered series path belongs to (run.2 before run.10), read one
    at a time; len() gives their number."""
    return _core.frames(os.fspath(path))


def write(model, path, format=None):
    """Writes model by the file's ending (.lmc custom dump, .lmp data file,
    .POSCAR, .xyz; .gz gzipped) or by format ('lmc', 'lmp', 'POSCAR',
    'xyz'), to a temporary name first, so a failed write leaves an existing
    file as it was."""
    _core.write(model, os.fspath(path), format)


def from_ase(atoms):
    """A model from ase.Atoms: cell, pbc, symbols as element names (or the
    "type" array as types), positions, one-dimensional arrays as columns."""
    return _core.from_ase(atoms)


def analyse(model, method, *, threads=0, reference=None, add_columns=False, progress=None, **settings):
    """Runs one analysis on model and returns its results.

    method: a structure analysis (cna, baa, cnp, csp, lco, oim), a
    dislocation and strain analysis against reference (dva, sta, dda, sva,
    ida, nye, nta) or a measurement (rdf, coordination, steinhardt, voronoi,
    clusters, defects against reference).
    settings: the values of the method's Analysis page, named as quelm-batch
    names them without their prefix: analyse(m, "csp", cn=12) is
    -A_csp_cn=12, analyse(m, "dva", reference=ref, cut=3.0) is -KV_dva_cut=3
    (a value the dislocation analyses share, as eli, is -KV_eli),
    analyse(m, "rdf", cut=6, bins=120) is -E_rdf_cut=6 -E_rdf_bins=120; a
    list gives one value per type (structure and dislocation analyses) or
    the measurement's list (degrees=[4, 6]).
    reference: a Model or a file's path (the dislocation analyses read the
    reference from a file: a Model is handed over as a data file, its
    positions to six decimals).
    threads: 0 uses every core. add_columns: keep the result columns in
    the model (as the window does); otherwise the model's columns stay as
    they were.
    Returns a dictionary: each result column as an array, "summary" (the
    counts per structure class, the statistics or the measurement's single
    numbers), "table" for the RDF, clusters and sites, and "message".
    """
    if isinstance(reference, os.PathLike):
        reference = os.fspath(reference)
    return _core.analyse(model, method, threads, reference, add_columns, progress, settings)


__all__ = ["Model", "Frames", "read", "frames", "write", "from_ase", "analyse", "atomkit", "structures",
           "monocrystal", "polycrystal", "nanocomposite", "bilayer", "multilayer", "nanoparticle", "nanowire",
           "nanosheet", "coreshell", "dislocation", "crack", "solution"]
