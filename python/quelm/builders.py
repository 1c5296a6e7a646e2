"""The model builders: one function per builder of the Model menu.

Each function fills its form's parameters from the keyword arguments given
(those left out keep the form's defaults, listed in the function's help),
runs the same build as the form's Export and `quelm-batch build KIND`, and
returns the new model. A refusal of the builder raises ValueError with its
message; a file that cannot be read raises OSError.
"""
import inspect
import os
import tempfile

from . import _core

# What a keyword holds, and how it becomes the form's -LABEL=VALUE entries.
FLOAT, INT, PATH, VEC3, INT2, INT3, MATRIX = "float", "int", "path", "vec3", "int2", "int3", "matrix"


class Choice:
    """A choice of the form: the names of its entries (an index works too)."""

    def __init__(self, *names):
        self.names = names

    def index(self, keyword, value):
        if isinstance(value, bool):
            raise ValueError(f"{keyword} takes one of {', '.join(self.names)}")
        if isinstance(value, int):
            if 0 <= value < len(self.names):
                return value
        elif isinstance(value, str):
            wanted = value.strip().lower()
            for k, name in enumerate(self.names):
                if wanted == name.lower():
                    return k
        raise ValueError(f"{keyword} takes one of {', '.join(repr(n) for n in self.names)}, not {value!r}")


AXES = Choice("x", "y", "z")
UNITS = Choice("angstrom", "box")
SHAPES = Choice("sphere", "tetrahedron", "hexahedron", "octahedron", "dodecahedron", "icosahedron")


def _vector_labels(base, parts):
    return tuple(base + p for p in parts)


# Each builder: its kind for quelm-batch build, and its keywords in order:
# (keyword, what it holds, labels, meaning).
BUILDERS = {
    "monocrystal": ("monocrystal", [
        ("structure", "structure", ("M_single_str",),
         "the crystal structure: a name of structures(), 'fcc', 'bcc', 'hcp', 'diamond', 'nacl', ... or its index"),
        ("a", FLOAT, ("M_single_a",), "lattice parameter a (Å); a structure brings its own"),
        ("b", FLOAT, ("M_single_b",), "lattice parameter b (Å), where the structure has one"),
        ("c", FLOAT, ("M_single_c",), "lattice parameter c (Å), where the structure has one"),
        ("size", INT3, ("M_single_dpx", "M_single_dpy", "M_single_dpz"), "cells along x, y, z"),
        ("orientation", MATRIX, tuple("M_single_o" + v + i for v in "xyz" for i in "hkl"),
         "the crystal directions [hkl] along x, y and z, three rows"),
    ]),
    "polycrystal": ("polycrystal", [
        ("file", PATH, ("Model_Poly_file",), "the generator's keyword file (or give text=)"),
    ]),
    "nanocomposite": ("nanocomposite", [
        ("file", PATH, ("Model_Poly_file",), "the generator's keyword file (or give text=)"),
    ]),
    "bilayer": ("bilayer", [
        ("lower", PATH, ("M_double_filea",), "the lower crystal's file (or a Model)"),
        ("upper", PATH, ("M_double_fileb",), "the upper crystal's file (or a Model)"),
        ("normal", AXES, ("M_double_dir",), "the interface normal, the stacking direction: 'x', 'y' or 'z'"),
        ("lower_repeat", INT2, ("M_double_ax", "M_double_ay"), "repeats of the lower crystal in the interface plane"),
        ("lower_thickness", FLOAT, ("M_double_at",), "thickness of the lower crystal (Å)"),
        ("upper_repeat", INT2, ("M_double_bx", "M_double_by"), "repeats of the upper crystal in the interface plane"),
        ("upper_thickness", FLOAT, ("M_double_bt",), "thickness of the upper crystal (Å)"),
        ("vacuum", FLOAT, ("M_double_void",), "vacuum thickness (Å)"),
    ]),
    "nanoparticle": ("nanoparticle", [
        ("crystal", PATH, ("M_cluster_input",), "the crystal's file (or a Model)"),
        ("shape", SHAPES, ("M_cluster_mode",), "'sphere', 'tetrahedron', 'hexahedron', ... (index 0 ... 5)"),
        ("radius", FLOAT, ("M_cluster_r",), "radius, or the polyhedron's inradius (Å)"),
        ("orientation", MATRIX, tuple("M_cluster_" + v + i for v in "xyz" for i in "xyz"),
         "the polyhedron's orientation, three perpendicular rows"),
    ]),
    "nanowire": ("nanowire", [
        ("crystal", PATH, ("M_wire_input",), "the crystal's file (or a Model)"),
        ("shape", Choice("cylinder", "pyramid", "hexagonal prism", "octagonal prism"), ("M_wire_mode",),
         "the section: 'cylinder', 'pyramid' (square), 'hexagonal prism', 'octagonal prism'"),
        ("axis", AXES, ("M_wire_dir",), "the wire's axis"),
        ("radius", FLOAT, ("M_wire_r",), "radius of the section (Å)"),
        ("height", FLOAT, ("M_wire_h",), "height (Å), rounded up to whole periods"),
    ]),
    "nanosheet": ("nanosheet", [
        ("crystal", PATH, ("M_sheet_input",), "the crystal's file (or a Model)"),
        ("plane", Choice("xy", "xz", "yz"), ("M_sheet_mode",), "the sheet's plane"),
        ("center", VEC3, ("M_sheet_x", "M_sheet_y", "M_sheet_z"), "the slab's centre"),
        ("center_unit", UNITS, ("M_sheet_u",), "the centre in 'angstrom' or 'box' units"),
        ("repeat", INT2, ("M_sheet_nx", "M_sheet_ny"), "in-plane repeats of the cell"),
        ("thickness", FLOAT, ("M_sheet_thick",), "the slab's thickness (Å)"),
        ("vacuum", FLOAT, ("M_sheet_void",), "vacuum above and below (Å)"),
    ]),
    "coreshell": ("coreshell", [
        ("shell", PATH, ("M_coreshell_input",), "the shell crystal's file (or a Model)"),
        ("shape", SHAPES, ("M_coreshell_mode",), "'sphere', 'tetrahedron', ... (index 0 ... 5)"),
        ("radius", FLOAT, ("M_coreshell_r",), "the shell's radius (Å)"),
        ("orientation", MATRIX, tuple("M_coreshell_" + v + i for v in "xyz" for i in "xyz"),
         "the polyhedron's orientation, three perpendicular rows"),
        ("core_radius", FLOAT, ("M_coreshell_core",), "the core's radius (Å)"),
        ("core_mode", Choice("empty", "solid"), ("M_coreshell_cmode",), "an 'empty' core or a 'solid' one"),
        ("core", PATH, ("M_coreshell_cfile",), "the core crystal's file (or a Model), for a solid core"),
        ("min_distance", FLOAT, ("M_coreshell_dmin",),
         "shell atoms nearer a core atom are removed (Å; 0: 0.75 of the smaller neighbour distance)"),
    ]),
    "dislocation": ("dislocation", [
        ("crystal", PATH, ("M_dislocation_input",), "the crystal's file (or a Model)"),
        ("kind", Choice("screw", "edge"), ("M_dislocation_mode",), "'screw' or 'edge'"),
        ("center", VEC3, ("M_dislocation_cx", "M_dislocation_cy", "M_dislocation_cz"), "a point of the line"),
        ("center_unit", UNITS, ("M_dislocation_cu",), "the centre in 'angstrom' or 'box' units"),
        ("line", VEC3, _vector_labels("M_dislocation_d", "xyz"), "the line direction"),
        ("slip", VEC3, _vector_labels("M_dislocation_b", "xyz"),
         "the slip-plane normal (screw) or the Burgers direction (edge)"),
        ("burgers", FLOAT, ("M_dislocation_bl",), "the Burgers vector's length (Å)"),
        ("poisson", FLOAT, ("M_dislocation_miu",), "Poisson's ratio (edge)"),
    ]),
    "crack": ("crack", [
        ("crystal", PATH, ("M_crack_input",), "the crystal's file (or a Model)"),
        ("mode", Choice("I plane strain", "I plane stress", "II plane strain", "II plane stress", "III"),
         ("M_crack_mode",), "'I plane strain', 'I plane stress', 'II plane strain', 'II plane stress' or 'III'"),
        ("direction", Choice("x+", "x-", "y+", "y-", "z+", "z-"), ("M_crack_dirc",),
         "the face the crack enters from"),
        ("plane_normal", AXES, ("M_crack_dirp",), "the crack plane's normal"),
        ("length", FLOAT, ("M_crack_lenth",), "the crack's length (Å)"),
        ("shear_modulus", FLOAT, ("M_crack_g",), "the shear modulus G (GPa)"),
        ("poisson", FLOAT, ("M_crack_nu",), "Poisson's ratio"),
        ("K", FLOAT, ("M_crack_KI",), "the stress intensity factor (MPa·√m)"),
    ]),
    "solution": ("solution", [
        ("crystal", PATH, ("M_solute_input",), "the host crystal's file (or a Model)"),
        ("kind", Choice("substitutional", "interstitial"), ("M_solute_mode",), "'substitutional' or 'interstitial'"),
        ("concentration", FLOAT, ("M_solute_cont",), "the solute's share c (0 ... 1)"),
        ("type", INT, ("M_solute_type",), "the solute atoms' type"),
        ("seed", INT, ("M_solute_seed",), "the random seed"),
        ("cutoff", FLOAT, ("M_solute_r",), "interstitial: hosts of a hole lie within this distance (Å)"),
    ]),
}
# The multilayer is the bilayer repeated.
BUILDERS["multilayer"] = ("multilayer", BUILDERS["bilayer"][1] + [
    ("period", INT, ("M_double_period",), "how many times the pair is repeated"),
])

_structures = None


def structures():
    """The names of the Monocrystal builder's structures, in the form's order."""
    global _structures
    if _structures is None:
        _structures = _core.monocrystal_structures()
    return list(_structures)


_STRUCTURE_WORDS = {"fcc": "a1", "bcc": "a2", "hcp": "a3", "hcp hexagonal": "a3 hexagonal", "diamond": "a4",
                    "rocksalt": "b1", "zincblende": "b3"}


def _structure_aliases():
    """Each structure's names in lower case: its full name, its designation
    with and without the prototype ('a1(cu)', 'a1', 'cu'); where two share
    them (hcp in an orthogonal and in its hexagonal cell) the first keeps
    them and the other takes them with ' hexagonal'."""
    table = {}
    for k, name in enumerate(structures()):
        designation = name.split("-", 1)[-1]
        short, _, rest = designation.partition("(")
        prototype = rest.partition(")")[0]
        for key in (name, designation, short, prototype):
            key = key.lower()
            if key in table and table[key] != k:
                table.setdefault(key + " hexagonal", k)
            else:
                table.setdefault(key, k)
    return table


def structure_index(value):
    """The index of a structure given by index, by its full name, by its
    Strukturbericht designation ('A1', 'B2', 'L12') or prototype ('Cu',
    'NaCl'), or as 'fcc', 'bcc', 'hcp' (orthogonal cell), 'hcp hexagonal',
    'diamond'."""
    names = structures()
    if isinstance(value, int) and not isinstance(value, bool):
        if 0 <= value < len(names):
            return value
        raise ValueError(f"structure takes an index 0 ... {len(names) - 1}, not {value}")
    if not isinstance(value, str):
        raise ValueError(f"structure takes a name or an index, not {value!r}")
    wanted = value.strip().lower()
    wanted = _STRUCTURE_WORDS.get(wanted, wanted)
    found = _structure_aliases().get(wanted)
    if found is None:
        raise ValueError(f"no structure named {value!r} (see quelm.structures())")
    return found


def _number(keyword, v, integer):
    if isinstance(v, (bool, str)):
        raise ValueError(f"{keyword} takes numbers, not {v!r}")
    try:
        x = float(v)
    except (TypeError, ValueError):
        raise ValueError(f"{keyword} takes numbers, not {v!r}") from None
    if integer:
        if x != int(x):
            raise ValueError(f"{keyword} takes whole numbers, not {v!r}")
        return str(int(x))
    return repr(x)


def _numbers(keyword, value, count, integer):
    try:
        values = list(value)
    except TypeError:
        raise ValueError(f"{keyword} takes {count} numbers") from None
    if len(values) != count:
        raise ValueError(f"{keyword} takes {count} numbers, not {len(values)}")
    return [_number(keyword, v, integer) for v in values]


def _entries(keyword, kind, labels, value, scratch):
    """The -LABEL=VALUE entries of one keyword."""
    if isinstance(kind, Choice):
        return [f"-{labels[0]}={kind.index(keyword, value)}"]
    if kind == "structure":
        return [f"-{labels[0]}={structure_index(value)}"]
    if kind == PATH:
        if isinstance(value, _core.Model):
            path = os.path.join(scratch(), f"{keyword}.lmp")
            _core.write(value, path, None)
            value = path
        value = os.fspath(value)
        if not value or any(c.isspace() for c in value):
            raise ValueError(f"{keyword}: the file name {value!r} is empty or has a blank, which the form cannot carry")
        return [f"-{labels[0]}={value}"]
    if kind in (FLOAT, INT):
        return [f"-{labels[0]}={_number(keyword, value, kind == INT)}"]
    if kind == MATRIX:
        rows = list(value)
        if len(rows) != 3:
            raise ValueError(f"{keyword} takes three rows of three numbers")
        flat = [v for row in rows for v in _numbers(keyword, row, 3, False)]
        return [f"-{label}={v}" for label, v in zip(labels, flat)]
    count = {VEC3: 3, INT2: 2, INT3: 3}[kind]
    return [f"-{label}={v}" for label, v in zip(labels, _numbers(keyword, value, count, kind != VEC3))]


def _defaults_text(kind, keywords):
    """The form's defaults of each keyword, for the docstring."""
    stored = {}
    for label, value, _tip in _core.builder_defaults(kind):
        stored.setdefault(label, value)
    lines = []
    for keyword, what, labels, meaning in keywords:
        values = [stored.get(label, "") for label in labels]
        if isinstance(what, Choice):
            try:
                shown = repr(what.names[int(values[0])])
            except (ValueError, IndexError):
                shown = values[0]
        elif what == MATRIX:
            shown = "(" + ", ".join("(" + ", ".join(values[r * 3:r * 3 + 3]) + ")" for r in range(3)) + ")"
        elif len(values) > 1:
            shown = "(" + ", ".join(values) + ")"
        elif what == PATH:
            shown = "none chosen" if values[0] in ("", "blank") else repr(values[0])
        else:
            shown = values[0]
        lines.append(f"    {keyword}: {meaning} [form default: {shown}]")
    return "\n".join(lines)


def _make(name, kind, keywords):
    polycrystal = kind in ("polycrystal", "nanocomposite")
    layered = kind in ("bilayer", "multilayer")

    def builder(**given):
        progress = given.pop("progress", None)
        elements = given.pop("elements", None)
        status = given.pop("status", None)
        accept = bool(given.pop("accept_mismatch", False)) if layered else False
        text = given.pop("text", None) if polycrystal else None
        log = given.pop("log", None) if polycrystal else None
        table = {k[0]: k for k in keywords}
        unknown = [k for k in given if k not in table]
        if unknown:
            raise TypeError(f"{name}() got an unexpected keyword argument {unknown[0]!r}")
        with tempfile.TemporaryDirectory(prefix="quelm_build_") as folder:
            made = []

            def scratch():
                made.append(True)
                return folder

            entries = []
            for keyword, value in given.items():
                if value is None:
                    continue
                _k, what, labels, _m = table[keyword]
                entries += _entries(keyword, what, labels, value, scratch)
            if text is not None:
                if given.get("file") is not None:
                    raise ValueError("give the keyword file or its text, not both")
                path = os.path.join(folder, "grains.input")
                with open(path, "w") as f:
                    f.write(text)
                entries.append(f"-Model_Poly_file={path}")
            if elements is not None:
                elements = elements if isinstance(elements, str) else ",".join(elements)
            log_folder = folder
            if log is not None:
                log_folder = os.fspath(log)
                if not os.path.isdir(log_folder):
                    raise OSError(f"log must name a folder: {log_folder}")
            model, message = _core.build(kind, entries, elements, accept,
                                         None if status is None else os.fspath(status), log_folder, progress)
        return model

    parameters = [inspect.Parameter(k[0], inspect.Parameter.KEYWORD_ONLY, default=None) for k in keywords]
    if polycrystal:
        parameters += [inspect.Parameter("text", inspect.Parameter.KEYWORD_ONLY, default=None),
                       inspect.Parameter("log", inspect.Parameter.KEYWORD_ONLY, default=None)]
    if layered:
        parameters.append(inspect.Parameter("accept_mismatch", inspect.Parameter.KEYWORD_ONLY, default=False))
    parameters += [inspect.Parameter(p, inspect.Parameter.KEYWORD_ONLY, default=None)
                   for p in ("elements", "status", "progress")]
    builder.__signature__ = inspect.Signature(parameters, return_annotation=_core.Model)
    builder.__name__ = builder.__qualname__ = name
    extra = ""
    if polycrystal:
        extra += ("    text: the keyword file's text instead of file= (relative template paths from the working "
                  "folder)\n    log: a folder for the generator's log poly_log.fpl (else it is not kept)\n")
    if layered:
        extra += "    accept_mismatch: build a mismatch above 0.5 % that the form would ask about\n"
    extra += ("    elements: the element of each atom type, in type order ('Cu,Ni' or a list)\n"
              "    status: a saved status file (.qnw) of the form, read before the keywords\n"
              "    progress: called as progress(percent, message) while the build runs\n")
    builder.__doc__ = (f"Builds a model as the {name} form does (quelm-batch build {kind}).\n\n"
                       f"Keywords left out keep the form's defaults:\n{_defaults_text(kind, keywords)}\n{extra}"
                       "Raises ValueError with the builder's message when it refuses.")
    return builder


for _name, (_kind, _keywords) in BUILDERS.items():
    globals()[_name] = _make(_name, _kind, _keywords)

__all__ = list(BUILDERS) + ["structures"]
