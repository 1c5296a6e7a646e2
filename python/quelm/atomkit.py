"""Atomkit from Python: recipes of regions and steps, run on a model.

A recipe is a saved recipe file (its path) or a Recipe built here from
Region and Step objects; the functions below (sphere, cuboid, delete,
rotate, ...) make the common ones with named arguments, Region(kind, name,
*fields) and Step(kind, *fields) any kind with the fields of its line in a
recipe file. run() replays a recipe on a copy of a model exactly as the
panel's run and `quelm-batch atomkit` do; select() gives a region's atoms.
"""
import os

from . import _core
from .builders import Choice


def _kinds():
    regions, steps = _core.atomkit_kinds()
    return ({k[len("#region_"):]: (k, f) for k, f in regions}, {k[len("#step_"):]: (k, f) for k, f in steps})


REGION_KINDS, STEP_KINDS = _kinds()


def _word(what, value):
    value = str(value)
    if not value or any(c.isspace() for c in value):
        raise ValueError(f"{what} {value!r} is empty or has a blank, which a recipe cannot carry")
    return value


def _field(letter, value):
    if letter == "r":
        return _word("the region name", value.name if isinstance(value, Region) else value)
    if letter == "s":
        return _word("the word", os.fspath(value) if isinstance(value, os.PathLike) else value)
    if isinstance(value, (bool, str)):
        raise ValueError(f"a number was expected, not {value!r}")
    number = float(value)
    if letter == "i":
        if number != int(number):
            raise ValueError(f"{value!r} is not an integer")
        return str(int(number))
    return repr(number)


class _Item:
    def __init__(self, table, kind, fields):
        key = kind.lower()
        if key not in table:
            raise ValueError(f"no kind named {kind!r} (one of {', '.join(sorted(table))})")
        self.keyword, self.layout = table[key]
        self.kind = key
        self.fields = list(fields)
        expected = len(self.layout) - (1 if self.layout.startswith("n") else 0)
        if len(self.fields) != expected:
            raise ValueError(f"{self.keyword} takes {expected} fields, not {len(self.fields)}")

    def operands(self):
        """The regions this item refers to (Region objects)."""
        own = self.layout[1:] if self.layout.startswith("n") else self.layout
        return [v for s, v in zip(own, self.fields) if s == "r" and isinstance(v, Region)]


class Region(_Item):
    """A region: Region("sphere", "Void", 20, 20, 20, 8), its kind the
    keyword after #region_ in a recipe file."""

    def __init__(self, kind, name, *fields):
        super().__init__(REGION_KINDS, kind, fields)
        self.name = _word("the region name", name)

    def line(self):
        own = self.layout[1:]
        return " ".join([self.keyword, self.name] + [_field(s, v) for s, v in zip(own, self.fields)])

    def __repr__(self):
        return f"Region({self.kind!r}, {self.name!r}, {', '.join(map(repr, self.fields))})"


class Step(_Item):
    """A step: Step("delete", region), its kind the keyword after #step_ in
    a recipe file; a region is given by its Region or its name."""

    def __init__(self, kind, *fields):
        super().__init__(STEP_KINDS, kind, fields)

    def line(self):
        return " ".join([self.keyword] + [_field(s, v) for s, v in zip(self.layout, self.fields)])

    def __repr__(self):
        return f"Step({self.kind!r}, {', '.join(map(repr, self.fields))})"


class Recipe:
    """An ordered list of regions and steps. Regions that steps or other
    regions refer to are put in before their first use when not listed."""

    def __init__(self, items=()):
        self.items = list(items)

    def append(self, item):
        self.items.append(item)
        return item

    def text(self):
        """The recipe as a recipe file holds it."""
        lines, named = [], {}

        def put(item):
            for operand in item.operands():
                if operand.name not in named:
                    put(operand)
            if isinstance(item, Region):
                if item.name in named:
                    if named[item.name] is item:
                        return
                    raise ValueError(f"two regions are named {item.name}")
                named[item.name] = item
            lines.append(item.line())

        for item in self.items:
            put(item)
        return "#Quelm_atomkit_save\n" + "".join(line + "\n" for line in lines) + "#END\n"

    def save(self, path):
        """Writes the recipe file (to a temporary name, then renamed)."""
        path = os.fspath(path)
        temporary = path + ".part"
        with open(temporary, "w") as f:
            f.write(self.text())
        os.replace(temporary, path)


def _source(recipe):
    """(text or None, path) of a recipe given as a path, a Recipe or a list of items."""
    if isinstance(recipe, (str, os.PathLike)):
        return None, os.fspath(recipe)
    if isinstance(recipe, (list, tuple)):
        recipe = Recipe(recipe)
    if isinstance(recipe, _Item):
        recipe = Recipe([recipe])
    if not isinstance(recipe, Recipe):
        raise ValueError("a recipe is a recipe file's path, a Recipe or a list of regions and steps")
    return recipe.text(), "recipe"


def run(model, recipe, upto=None, progress=None, report=None):
    """Runs recipe on a copy of model: every active step, or those up to step
    number upto (1-based among the steps). Returns the new model; model is
    not changed. report, a list, receives one dict per step (number, kind,
    ran, failed, message, atoms). ValueError names a recipe that does not
    load (with its line) or the steps that failed; OSError a file that
    cannot be read."""
    if upto is not None and (isinstance(upto, bool) or int(upto) != upto or upto < 1):
        raise ValueError("upto takes a step number, 1 or more")
    text, path = _source(recipe)
    out, steps, _message = _core.atomkit_run(model, text, path, 0 if upto is None else int(upto), progress)
    if report is not None:
        report.extend(dict(zip(("number", "kind", "ran", "failed", "message", "atoms"), s)) for s in steps)
    return out


def select(model, region, recipe=None):
    """A boolean mask of the atoms of model inside region (the panel's
    preview): a Region (the regions it refers to come along), or a region's
    name in recipe."""
    if isinstance(region, Region):
        if recipe is not None:
            raise ValueError("give a Region, or a region's name and its recipe")
        text, path = Recipe([region]).text(), "recipe"
        name = region.name
    else:
        if recipe is None:
            raise ValueError("a region given by name needs its recipe")
        text, path = _source(recipe)
        name = str(region)
    return _core.atomkit_select(model, text, path, name)


# ---- regions with named arguments


def _three(what, v):
    v = list(v)
    if len(v) != 3:
        raise ValueError(f"{what} takes three numbers")
    return v


_AXES = Choice("x", "y", "z")
_SIGNED = Choice("x+", "x-", "y+", "y-", "z+", "z-")
_UNITS = Choice("angstrom", "box")


def cuboid(name, lo, hi):
    """Atoms with lo <= position < hi (Å)."""
    return Region("cuboid", name, *_three("lo", lo), *_three("hi", hi))


def sphere(name, center, radius):
    return Region("sphere", name, *_three("center", center), radius)


def cylinder(name, center, radius, height, axis="z"):
    return Region("cylinder", name, *_three("center", center), radius, height, _AXES.index("axis", axis))


def cone(name, center, radius, height, direction="z+"):
    return Region("cone", name, *_three("center", center), radius, height, _SIGNED.index("direction", direction))


def slice_(name, normal, distance, thickness):
    """The slab of the given thickness whose mid-plane is normal . r = distance."""
    return Region("plane", name, *_three("normal", normal), distance, thickness)


def expression(name, column, low, high):
    """Atoms whose column lies within [low, high]."""
    return Region("expression", name, column, low, high)


def inbox(name):
    """Atoms inside the box."""
    return Region("inbox", name)


def and_(name, a, b):
    return Region("and", name, a, b)


def or_(name, a, b):
    return Region("or", name, a, b)


def complement(name, a, b):
    return Region("comple", name, a, b)


def neither(name, a, b):
    return Region("neither", name, a, b)


def not_(name, a):
    return Region("not", name, a)


def moved(name, region, vector, unit="angstrom"):
    return Region("move", name, region, _UNITS.index("unit", unit), *_three("vector", vector))


def rotated(name, region, center, direction, angle):
    return Region("rotate", name, region, *_three("center", center), *_three("direction", direction), angle)


def periodic(name, region):
    return Region("periodic", name, region)


# ---- steps with named arguments

_REMAP = Choice("atoms", "box", "both")


def delete(region="ALL"):
    return Step("delete", region)


def duplicate(nx, ny, nz):
    return Step("duplicate", nx, ny, nz)


def move(region, vector, unit="angstrom", destination=False):
    """Moves the region's atoms by vector (or to it, destination=True)."""
    return Step("move", region, 1 if destination else 0, _UNITS.index("unit", unit), *_three("vector", vector))


def rotate(region, center, axis, angle, remap_box=False):
    """Turns the region's atoms by angle degrees about axis through center
    (clockwise seen from the axis' tip, as the panel's Rotate); remap_box
    turns the box too."""
    return Step("rotate", region, *_three("center", center), *_three("axis", axis), angle, 1 if remap_box else 0)


def mirror(region, normal, distance, copy=False):
    return Step("mirroratom", region, *_three("normal", normal), distance, 1 if copy else 0)


def substitute(region, type, share, seed=0):
    """Gives type to the share (0 ... 1) of the region's atoms drawn with seed."""
    return Step("changetype", region, type, share, seed)


def remove_duplicate(region, radius):
    return Step("separate", region, radius)


def sort(column, increasing=False):
    return Step("sort", column, 1 if increasing else 0)


def wrap():
    return Step("wrap")


def symmetrize():
    return Step("move0")


def deform(region, matrix, remap="atoms"):
    rows = [_three("matrix row", r) for r in matrix]
    if len(rows) != 3:
        raise ValueError("matrix takes three rows")
    return Step("deform", region, *[v for r in rows for v in r], _REMAP.index("remap", remap))


def tensile(axis, strain, remap="both"):
    """Affine tensile strain along axis."""
    return Step("tensile", _AXES.index("axis", axis), strain, _REMAP.index("remap", remap))


def compress(axis, strain, remap="both"):
    return Step("compress", _AXES.index("axis", axis), strain, _REMAP.index("remap", remap))
