#!/usr/bin/python3
"""Checks Atomkit's regions and steps against LAMMPS (development check, not
run by CI; tests/atomkit/test_atomkit_lammps.cpp replays the fixtures it
writes).

A copper block of 2016 atoms (built by `quelm-batch build monocrystal`,
moved into a box that does not start at the origin and shaken by up to
0.03 A so that no two atoms share a coordinate) is the base of every case.
Each case is an Atomkit recipe run by `quelm-batch atomkit` and the same
operation done by LAMMPS on the same data file:

- region cases: the atoms a region selects (`--select`) against the atoms
  LAMMPS puts in a group made from the equivalent region;
- step cases: the atoms (ids, types, positions) and the box after the
  recipe against LAMMPS' `write_data` after the equivalent commands
  (positions unwrapped with the image flags, since LAMMPS maps atoms back
  into the periodic box and Atomkit does not).

Every region boundary is kept away from the atoms: the script computes each
atom's distance from every surface of every region a case uses (on the
positions the region sees) and refuses a case where one is closer than
1e-6 A. One line per case, "ok" or the differences; the exit status is 1 on
any difference.

With --fixtures the base (base.lmp), the recipes (CASE.txt) and LAMMPS'
results (CASE.lammps) are (re)written into tests/atomkit/fixtures/lammps/. A
result repeats LAMMPS' commands in comment lines, then holds
  select R / ids RANGES               the atoms in the region, or
  step / match id|position|replicate NX NY NZ / box (xlo xhi ylo yhi zlo zhi
  xy xz yz) / ids RANGES / listed changed|every K / "id type x y z" lines
(every atom LAMMPS moved, added or retyped, or, when there are more than
MAX_LISTED, the ids 1, K + 1, 2K + 1, ...).

Needs the Debian package lammps (program lmp) and a built quelm-batch:
    /usr/bin/python3 tests/atomkit/oracle/check_atomkit_lammps.py build-oracle [--fixtures]
"""
import copy
import math
import os
import subprocess
import sys
import tempfile

import numpy as np

ARGS = [a for a in sys.argv[1:] if not a.startswith("--")]
WRITE_FIXTURES = "--fixtures" in sys.argv[1:]
BUILD = ARGS[0] if ARGS else "build"
BATCH = os.path.abspath(os.path.join(BUILD, "app", "quelm-batch"))
HERE = os.path.dirname(os.path.abspath(__file__))
FIXTURES = os.path.normpath(os.path.join(HERE, "..", "fixtures", "lammps"))

REPEAT = (9, 8, 7)              # fcc cells along x, y, z
ORIGIN = (-4.7, 2.3, 1.1)       # lower corner of the base's box
SHAKE = 0.03                    # largest shift of a base atom per axis
CLEARANCE = 1e-6                # atoms must be farther than this from a region's surface
TOLERANCE = 1e-5 + 1e-6         # positions and box: 1e-5 plus two roundings to six decimals
MAX_LISTED = 600                # step fixtures list every changed atom up to this many,
SAMPLED = 100                   # and else about this many (every K-th id)

PREAMBLE = """units metal
atom_style atomic
atom_modify map array
boundary p p p
read_data base.lmp extra/atom/types 1
mass * 1.0
"""


def num(v):
    return "%.10g" % v


def lf(v):
    """A number as an Atomkit save file holds it ("%lf")."""
    return "%f" % v


# ---------------------------------------------------------------- LAMMPS regions

def rotation(axis, degrees):
    """Right-handed turn by `degrees` about `axis` (column vectors)."""
    u = np.asarray(axis, float) / np.linalg.norm(axis)
    t = math.radians(degrees)
    k = np.array([[0, -u[2], u[1]], [u[2], 0, -u[0]], [-u[1], u[0], 0]])
    return np.eye(3) + math.sin(t) * k + (1 - math.cos(t)) * (k @ k)


class Region:
    """A LAMMPS region: the commands that define it (its parts first) and
    the distance of points from its surfaces."""

    def commands(self, name):
        raise NotImplementedError

    def clearance(self, p):
        raise NotImplementedError

    def group(self, name, group):
        return ["group %s region %s" % (group, name)]


class Shape(Region):
    def __init__(self, side="in", move=None, rotate=None):
        self.side, self.move, self.rotate = side, move, rotate

    def out(self):
        other = copy.copy(self)
        other.side = "out" if self.side == "in" else "in"
        return other

    def commands(self, name):
        lines, keys = [], " units box"
        if self.side == "out":
            keys += " side out"
        if self.move is not None:
            for axis, v in zip("xyz", self.move):
                lines.append("variable %s_d%s equal %s" % (name, axis, num(v)))
            keys += " move v_{0}_dx v_{0}_dy v_{0}_dz".format(name)
        if self.rotate is not None:
            degrees, point, axis = self.rotate
            lines.append("variable %s_turn equal %s" % (name, num(math.radians(degrees))))
            keys += " rotate v_%s_turn %s" % (name, " ".join(num(v) for v in list(point) + list(axis)))
        return lines + ["region %s %s%s" % (name, self.region_args(), keys)]

    def local(self, p):
        """Points in the shape's own frame (LAMMPS moves, then turns it)."""
        if self.move is not None:
            p = p - np.asarray(self.move)
        if self.rotate is not None:
            degrees, point, axis = self.rotate
            back = rotation(axis, -degrees)
            p = (p - np.asarray(point)) @ back.T + np.asarray(point)
        return p

    def clearance(self, p):
        return self.surface(self.local(p))


class Block(Shape):
    def __init__(self, lo, hi, **kw):
        super().__init__(**kw)
        self.lo, self.hi = lo, hi

    def region_args(self):
        return "block " + " ".join(num(v) for pair in zip(self.lo, self.hi) for v in pair)

    def surface(self, p):
        return np.min(np.abs(np.concatenate([p - np.asarray(self.lo), p - np.asarray(self.hi)], axis=1)), axis=1)


class Sphere(Shape):
    def __init__(self, c, r, **kw):
        super().__init__(**kw)
        self.c, self.r = c, r

    def region_args(self):
        return "sphere %s %s" % (" ".join(num(v) for v in self.c), num(self.r))

    def surface(self, p):
        return np.abs(np.linalg.norm(p - np.asarray(self.c), axis=1) - self.r)


def across(dim):
    return {"x": (1, 2), "y": (0, 2), "z": (0, 1)}[dim]


class Cylinder(Shape):
    def __init__(self, dim, c1, c2, r, lo, hi, **kw):
        super().__init__(**kw)
        self.dim, self.c1, self.c2, self.r, self.lo, self.hi = dim, c1, c2, r, lo, hi

    def region_args(self):
        return "cylinder %s %s" % (self.dim, " ".join(num(v) for v in (self.c1, self.c2, self.r, self.lo, self.hi)))

    def surface(self, p):
        a = "xyz".index(self.dim)
        i, j = across(self.dim)
        rad = np.hypot(p[:, i] - self.c1, p[:, j] - self.c2)
        return np.minimum(np.abs(rad - self.r), np.minimum(np.abs(p[:, a] - self.lo), np.abs(p[:, a] - self.hi)))


class Cone(Shape):
    def __init__(self, dim, c1, c2, radlo, radhi, lo, hi, **kw):
        super().__init__(**kw)
        self.dim, self.c1, self.c2 = dim, c1, c2
        self.radlo, self.radhi, self.lo, self.hi = radlo, radhi, lo, hi

    def region_args(self):
        return "cone %s %s" % (self.dim, " ".join(
            num(v) for v in (self.c1, self.c2, self.radlo, self.radhi, self.lo, self.hi)))

    def surface(self, p):
        a = "xyz".index(self.dim)
        i, j = across(self.dim)
        rad = np.hypot(p[:, i] - self.c1, p[:, j] - self.c2)
        slope = (self.radhi - self.radlo) / (self.hi - self.lo)
        wall = self.radlo + slope * (p[:, a] - self.lo)
        side = np.abs(rad - wall) / math.sqrt(1 + slope * slope)
        return np.minimum(side, np.minimum(np.abs(p[:, a] - self.lo), np.abs(p[:, a] - self.hi)))


class Plane(Shape):
    """The half-space on the normal's side of the plane through point."""

    def __init__(self, point, normal, **kw):
        super().__init__(**kw)
        self.point, self.normal = np.asarray(point, float), np.asarray(normal, float)

    def region_args(self):
        return "plane %s" % " ".join(num(v) for v in list(self.point) + list(self.normal))

    def surface(self, p):
        return np.abs((p - self.point) @ (self.normal / np.linalg.norm(self.normal)))


class Combined(Region):
    def __init__(self, style, parts):
        self.style, self.parts = style, parts

    def commands(self, name):
        lines = []
        for k, part in enumerate(self.parts):
            lines += part.commands("%s_%d" % (name, k + 1))
        names = " ".join("%s_%d" % (name, k + 1) for k in range(len(self.parts)))
        return lines + ["region %s %s %d %s units box" % (name, self.style, len(self.parts), names)]

    def clearance(self, p):
        return np.min([part.clearance(p) for part in self.parts], axis=0)


def Intersect(*parts):
    return Combined("intersect", list(parts))


def Union(*parts):
    return Combined("union", list(parts))


class Range(Region):
    """Atoms whose coordinate lies in [lo, hi] (an atom-style variable)."""

    def __init__(self, dim, lo, hi):
        self.dim, self.lo, self.hi = dim, lo, hi

    def commands(self, name):
        return ['variable %s atom "%s>=%s && %s<=%s"' % (name, self.dim, num(self.lo), self.dim, num(self.hi))]

    def group(self, name, group):
        return ["group %s variable %s" % (group, name)]

    def clearance(self, p):
        a = "xyz".index(self.dim)
        return np.minimum(np.abs(p[:, a] - self.lo), np.abs(p[:, a] - self.hi))


# ------------------------------------------- our regions and their LAMMPS twins
# Each helper gives the save-file line of an Atomkit region and the LAMMPS
# region with the same atoms: this is the parameter mapping.

def cuboid(name, lo, hi):
    return "#region_cuboid %s %s" % (name, " ".join(lf(v) for v in list(lo) + list(hi))), Block(lo, hi)


def sphere(name, c, r):
    return "#region_sphere %s %s %s" % (name, " ".join(lf(v) for v in c), lf(r)), Sphere(c, r)


def cylinder(name, c, r, length, axis):
    # Atomkit: centre and full length along the axis; LAMMPS: the two other
    # coordinates of the axis and its two ends.
    dim = "xyz"[axis]
    i, j = across(dim)
    line = "#region_cylinder %s %s %s %s %d" % (name, " ".join(lf(v) for v in c), lf(r), lf(length), axis)
    return line, Cylinder(dim, c[i], c[j], r, c[axis] - length / 2, c[axis] + length / 2)


def cone(name, base, radius, height, direction):
    # Atomkit: the centre of the base, the base radius and the height toward
    # the tip along direction 0 +x, 1 -x, 2 +y, 3 -y, 4 +z, 5 -z. LAMMPS: the
    # radii at the lower and the upper end of the axis, the tip's radius 0.
    axis, sign = direction // 2, 1 if direction % 2 == 0 else -1
    dim = "xyz"[axis]
    i, j = across(dim)
    line = "#region_cone %s %s %s %s %d" % (name, " ".join(lf(v) for v in base), lf(radius), lf(height), direction)
    if sign > 0:
        twin = Cone(dim, base[i], base[j], radius, 0, base[axis], base[axis] + height)
    else:
        twin = Cone(dim, base[i], base[j], 0, radius, base[axis] - height, base[axis])
    return line, twin


def slice_region(name, normal, d, thickness):
    # Thickness 0: the open half-space n.p > d, LAMMPS' plane through
    # n d/|n|^2. Otherwise |n.p - d| / |n|^2 < thickness: the slab between
    # the planes at thickness |n| on either side (thickness itself for a
    # unit normal).
    n = np.asarray(normal, float)
    line = "#region_plane %s %s %s %s" % (name, " ".join(lf(v) for v in normal), lf(d), lf(thickness))
    p0 = n * d / (n @ n)
    if thickness <= 0:
        return line, Plane(p0, n)
    u = n / np.linalg.norm(n)
    half = thickness * np.linalg.norm(n)
    return line, Intersect(Plane(p0 - half * u, u), Plane(p0 + half * u, -u))


def polyprism(name, c, apothem, length, sides, axis):
    # A regular prism: side faces with outward normals cos t e_u + sin t e_v,
    # t = 2 pi i / sides, at distance apothem from the axis, (u, v) = (y, z),
    # (x, z), (x, y) for the axis x, y, z; closed ends at +-length/2. LAMMPS
    # has no such prism: the intersection of its side and end half-spaces.
    line = "#region_prism %s %s %s %s %d %d" % (name, " ".join(lf(v) for v in c), lf(apothem), lf(length), sides, axis)
    u_axis, v_axis = {0: (1, 2), 1: (0, 2), 2: (0, 1)}[axis]
    c = np.asarray(c, float)
    planes = []
    for i in range(sides):
        t = 2 * math.pi * i / sides
        e = np.zeros(3)
        e[u_axis], e[v_axis] = math.cos(t), math.sin(t)
        planes.append(Plane(c + apothem * e, -e))
    ea = np.eye(3)[axis]
    planes += [Plane(c - length / 2 * ea, ea), Plane(c + length / 2 * ea, -ea)]
    return line, Intersect(*planes)


def octahedron(name, c, inradius):
    # Polyhedron mode 4: faces with normals (+-1, +-1, +-1)/sqrt(3) at the
    # inradius from the centre.
    line = "#region_polyhedron %s 4 0 %s 0 0 1 0 0 1 0 0 1 %s 0 0" % (name, " ".join(lf(v) for v in c), lf(inradius))
    planes = []
    for sx in (1, -1):
        for sy in (1, -1):
            for sz in (1, -1):
                n = np.array([sx, sy, sz]) / math.sqrt(3)
                planes.append(Plane(np.asarray(c) + inradius * n, -n))
    return line, Intersect(*planes)


def moved(name, operand, shape, vector, unit, size):
    # Atomkit: the operand moved by the vector, in A (unit 0) or in box
    # fractions (unit 1: the vector times the box lengths, orthogonal box).
    line = "#region_move %s %s %d %s" % (name, operand, unit, " ".join(lf(v) for v in vector))
    twin = copy.copy(shape)
    twin.move = tuple(np.asarray(vector) * (size if unit == 1 else 1))
    return line, twin


def rotated(name, operand, shape, centre, axis, degrees):
    # Atomkit: the operand turned by degrees about the axis through centre,
    # right-handed; LAMMPS' rotate keyword turns right-handed too (radians).
    line = "#region_rotate %s %s %s %s %s" % (name, operand, " ".join(lf(v) for v in centre),
                                              " ".join(lf(v) for v in axis), lf(degrees))
    twin = copy.copy(shape)
    twin.rotate = (degrees, centre, axis)
    return line, twin


# ------------------------------------------------------------------ files

def read_data(path):
    """A LAMMPS data file (ours or LAMMPS'): box (xlo xhi ylo yhi zlo zhi xy
    xz yz) and atoms {id: (type, unwrapped position)}."""
    box = [0.0] * 9
    atoms = {}
    lines = open(path).read().split("\n")
    k = 0
    while k < len(lines):
        t = lines[k].split()
        if len(t) >= 4 and t[2:4] == ["xlo", "xhi"]:
            box[0:2] = float(t[0]), float(t[1])
        elif len(t) >= 4 and t[2:4] == ["ylo", "yhi"]:
            box[2:4] = float(t[0]), float(t[1])
        elif len(t) >= 4 and t[2:4] == ["zlo", "zhi"]:
            box[4:6] = float(t[0]), float(t[1])
        elif len(t) >= 6 and t[3:6] == ["xy", "xz", "yz"]:
            box[6:9] = float(t[0]), float(t[1]), float(t[2])
        elif t and t[0] == "Atoms":
            k += 2
            while k < len(lines) and lines[k].strip():
                v = lines[k].split()
                p = np.array([float(s) for s in v[2:5]])
                if len(v) >= 8:
                    ix, iy, iz = (int(s) for s in v[5:8])
                    lx, ly, lz = box[1] - box[0], box[3] - box[2], box[5] - box[4]
                    p += [ix * lx + iy * box[6] + iz * box[7], iy * ly + iz * box[8], iz * lz]
                atoms[int(v[0])] = (int(v[1]), p)
                k += 1
            continue
        k += 1
    return box, atoms


def read_select(path):
    """Ids whose column Select is 1 in our custom dump."""
    lines = open(path).read().split("\n")
    head = next(k for k, line in enumerate(lines) if line.startswith("ITEM: ATOMS"))
    names = lines[head].split()[2:]
    col_id, col_sel = names.index("id"), names.index("Select" if "Select" in names else "v_s")
    chosen = set()
    for line in lines[head + 1:]:
        v = line.split()
        if v and int(float(v[col_sel])) == 1:
            chosen.add(int(v[col_id]))
    return chosen


def ranges(ids):
    ids = sorted(ids)
    out, k = [], 0
    while k < len(ids):
        j = k
        while j + 1 < len(ids) and ids[j + 1] == ids[j] + 1:
            j += 1
        out.append(str(ids[k]) if j == k else "%d-%d" % (ids[k], ids[j]))
        k = j + 1
    return " ".join(out)


def run(cmd, cwd):
    r = subprocess.run(cmd, cwd=cwd, capture_output=True, text=True)
    if r.returncode != 0:
        raise RuntimeError("%s failed:\n%s%s" % (" ".join(cmd), r.stdout[-3000:], r.stderr[-3000:]))
    return r.stdout


def lammps(script, cwd):
    with open(os.path.join(cwd, "in.case"), "w") as f:
        f.write(script)
    run(["lmp", "-in", "in.case", "-log", "log.case", "-screen", "none"], cwd)


def make_base(tmp):
    run([BATCH, "build", "monocrystal"] + ["-M_single_dp%s=%d" % (a, n) for a, n in zip("xyz", REPEAT)]
        + ["-o", "built.lmp"], tmp)
    box, atoms = read_data(os.path.join(tmp, "built.lmp"))
    assert box[0] == box[2] == box[4] == 0 and box[6:] == [0, 0, 0], box
    a = box[1] / REPEAT[0]
    ids = sorted(atoms)
    assert ids == list(range(1, len(ids) + 1)) and len(ids) == 4 * REPEAT[0] * REPEAT[1] * REPEAT[2]
    rng = np.random.default_rng(20240611)
    shift = np.asarray(ORIGIN) + a / 4
    lines = ["Copper, fcc a = %s A, %d x %d x %d cells, shaken by up to %s A (base of the Atomkit-LAMMPS cases)"
             % (num(a), REPEAT[0], REPEAT[1], REPEAT[2], num(SHAKE)), "",
             "%d atoms" % len(ids), "1 atom types", ""]
    for d, name in enumerate(("xlo xhi", "ylo yhi", "zlo zhi")):
        lines.append("%s %s %s" % (lf(ORIGIN[d]), lf(ORIGIN[d] + box[2 * d + 1]), name))
    lines += ["", "Atoms # atomic", ""]
    for i in ids:
        p = atoms[i][1] + shift + rng.uniform(-SHAKE, SHAKE, 3)
        lines.append("%d %d %s" % (i, atoms[i][0], " ".join(lf(v) for v in p)))
    text = "\n".join(lines) + "\n"
    with open(os.path.join(tmp, "base.lmp"), "w") as f:
        f.write(text)
    return text


# ------------------------------------------------------------------ cases

class Select:
    """Atoms of region `name`: our save-file lines and the LAMMPS region.
    Lines may hold (line, twin) pairs; the last pair's twin is the region
    when none is given."""

    def __init__(self, case, lines, name, twin):
        pairs = [x for x in lines if isinstance(x, tuple)]
        self.lines = [x[0] if isinstance(x, tuple) else x for x in lines]
        self.case, self.name, self.twin = case, name, twin if twin is not None else pairs[-1][1]


class Stage:
    """One step: our save-file lines and the LAMMPS commands, with the
    LAMMPS regions it uses (name -> Region), defined before the commands."""

    def __init__(self, lines, commands, regions=None):
        self.lines, self.commands, self.regions = lines, commands, regions or {}


class Steps:
    def __init__(self, case, region_lines, stages, match="id"):
        self.case, self.region_lines, self.stages, self.match = case, region_lines, stages, match


def base_box():
    box, _ = read_data(os.path.join(TMP, "base.lmp"))
    lo = np.array(box[0:6:2])
    size = np.array(box[1:6:2]) - lo
    return lo, size


def select_cases():
    cases = []

    def add(case, name, *parts):
        lines = [p[0] for p in parts]
        cases.append(Select(case, lines, name, parts[-1][1]))

    add("region_block", "B", cuboid("B", (1.3, 8.2, 5.5), (17.9, 24.6, 20.3)))
    add("region_sphere", "S", sphere("S", (10.4, 17.3, 12.2), 9.7))
    add("region_cylinder_x", "C", cylinder("C", (12.0, 16.1, 13.9), 7.3, 21.7, 0))
    add("region_cylinder_y", "C", cylinder("C", (10.9, 15.5, 12.6), 8.1, 17.3, 1))
    add("region_cylinder_z", "C", cylinder("C", (13.2, 17.7, 14.4), 9.4, 14.9, 2))
    add("region_cone_up_z", "K", cone("K", (11.2, 16.6, 2.4), 10.3, 19.7, 4))
    add("region_cone_down_z", "K", cone("K", (10.6, 15.9, 23.1), 8.8, 16.4, 5))
    add("region_cone_down_x", "K", cone("K", (24.3, 16.2, 13.1), 11.1, 22.6, 1))
    add("region_cone_down_y", "K", cone("K", (12.3, 27.9, 13.3), 9.2, 20.9, 3))
    add("region_cone_up_y", "K", cone("K", (11.4, 4.7, 14.1), 9.9, 18.2, 2))
    add("region_half_space", "P", slice_region("P", (1, 2, -1), 30.3, 0))
    add("region_slab_unit_normal", "P", slice_region("P", (0, 0.6, 0.8), 19.7, 3.3))
    add("region_slab_long_normal", "P", slice_region("P", (0, 0, 2), 27.1, 1.9))
    add("region_prism_z_6", "Q", polyprism("Q", (12.4, 16.9, 13.3), 9.3, 17.1, 6, 2))
    add("region_prism_x_5", "Q", polyprism("Q", (11.1, 15.8, 12.7), 8.2, 19.9, 5, 0))
    add("region_prism_y_5", "Q", polyprism("Q", (12.9, 14.4, 13.6), 7.7, 16.3, 5, 1))
    add("region_octahedron", "O", octahedron("O", (11.9, 16.1, 13.2), 7.9))

    s_line, s = sphere("S", (9.1, 13.4, 11.8), 10.2)
    b_line, b = cuboid("B", (1.3, 8.2, 5.5), (17.9, 24.6, 20.3))
    cases.append(Select("region_and", [s_line, b_line, "#region_and A S B"], "A", Intersect(s, b)))
    c_line, c = cylinder("C", (13.2, 17.7, 14.4), 5.4, 14.9, 2)
    t_line, t = sphere("T", (20.1, 9.6, 18.3), 6.6)
    cases.append(Select("region_or", [c_line, t_line, "#region_or U C T"], "U", Union(c, t)))
    cases.append(Select("region_not", [s_line, "#region_not N S"], "N", s.out()))
    cases.append(Select("region_neither", [s_line, b_line, "#region_neither N S B"], "N", Intersect(s.out(), b.out())))
    cases.append(Select("region_complement", [s_line, b_line, "#region_comple X S B"], "X",
                        Union(Intersect(s, b.out()), Intersect(s.out(), b))))

    # Moved and rotated regions: LAMMPS' move and rotate keywords.
    size = base_box()[1]
    cases.append(Select("region_move_angstrom", [b_line, moved("M", "B", b, (3.3, -2.2, 4.1), 0, size)], "M", None))
    cases.append(Select("region_move_box_units", [s_line, moved("M", "S", s, (0.2, 0.1, -0.15), 1, size)], "M", None))
    cases.append(Select("region_rotate_z", [b_line, rotated("R", "B", b, (9.6, 16.4, 13.0), (0, 0, 1), 30)], "R",
                        None))
    cz_line, cz = cylinder("C", (11.7, 17.0, 12.5), 6.2, 19.4, 2)
    cases.append(Select("region_rotate_cylinder", [cz_line, rotated("R", "C", cz, (11.7, 17.0, 12.5), (1, 2, 2), 47)],
                        "R", None))
    k_line, k = cone("K", (11.2, 16.6, 2.4), 10.3, 19.7, 4)
    cases.append(Select("region_rotate_cone_negative",
                        [k_line, rotated("R", "K", k, (10.8, 15.9, 12.1), (-1, 0.5, 0.3), -62)], "R", None))

    cases.append(Select("region_expression_x", ["#region_expression E x 5.300000 13.100000"], "E", Range("x", 5.3, 13.1)))
    return cases


def step_cases():
    lo, size = base_box()
    hi = lo + size
    cases = []
    s_line, s = sphere("S", (10.4, 17.3, 12.2), 9.7)
    b_line, b = cuboid("B", (1.3, 8.2, 5.5), (17.9, 24.6, 20.3))
    cx_line, cx = cylinder("C", (12.0, 16.1, 13.9), 7.3, 21.7, 0)
    cz_line, cz = cylinder("C", (12.1, 16.3, 13.5), 6.8, 15.2, 2)

    def region_step(line, commands, region_name, region):
        return Stage([line], ["group g region %s" % region_name] + commands, {region_name: region})

    cases.append(Steps("step_delete_sphere", [s_line], [
        region_step("#step_delete S", ["delete_atoms group g compress no"], "S", s)], match="position"))
    cases.append(Steps("step_delete_not_block", [b_line, "#region_not N B"], [
        Stage(["#step_delete N"], ["delete_atoms region N compress no"], {"N": b.out()})], match="position"))

    cases.append(Steps("step_move_angstrom", [cx_line], [
        region_step("#step_move C 0 0 1.700000 -2.900000 3.400000",
                    ["displace_atoms g move 1.7 -2.9 3.4 units box"], "C", cx)]))
    f = np.array([0.12, -0.07, 0.21])
    v = f * size
    cases.append(Steps("step_move_box_units", [s_line], [
        region_step("#step_move S 0 1 0.120000 -0.070000 0.210000",
                    ["displace_atoms g move %s units box" % " ".join(num(x) for x in v)], "S", s)]))
    cases.append(Steps("step_move_destination", [s_line], [
        region_step("#step_move S 1 0 14.200000 11.300000 9.900000",
                    ["variable bx equal 14.2-xcm(g,x)", "variable by equal 11.3-xcm(g,y)",
                     "variable bz equal 9.9-xcm(g,z)", "displace_atoms g move v_bx v_by v_bz units box"], "S", s)]))

    # The Rotate step turns atoms the other way round from LAMMPS: its
    # matrix is QB_rotate's, which turns clockwise seen from the axis' tip.
    cases.append(Steps("step_rotate_region", [cz_line], [
        region_step("#step_rotate C 12.100000 16.300000 13.500000 1.000000 1.000000 0.500000 35.000000 0",
                    ["displace_atoms g rotate 12.1 16.3 13.5 1 1 0.5 -35 units box"], "C", cz)]))
    centre = lo + size / 2
    cases.append(Steps("step_rotate_all", [], [
        Stage(["#step_rotate ALL %s 0.000000 0.000000 1.000000 90.000000 0" % " ".join(lf(x) for x in centre)],
              ["displace_atoms all rotate %s 0 0 1 -90 units box" % " ".join(num(x) for x in centre)])]))

    # Affine maps keep the cell origin (lo) fixed: LAMMPS' "final" bounds.
    def final(d, factor):
        return "%s final %s %s" % ("xyz"[d], num(lo[d]), num(lo[d] + factor * size[d]))

    cases.append(Steps("step_tensile_x_remap_all", [], [
        Stage(["#step_tensile 0 0.100000 2"], ["change_box all %s remap units box" % final(0, 1.1)])]))
    cases.append(Steps("step_tensile_z_atoms_only", [], [
        Stage(["#step_tensile 2 0.070000 0"], ["variable dz atom 0.07*(z-(%s))" % num(lo[2]),
                                               "displace_atoms all move 0 0 v_dz units box"])]))
    cases.append(Steps("step_tensile_y_box_only", [], [
        Stage(["#step_tensile 1 0.080000 1"], ["change_box all %s units box" % final(1, 1.08)])]))
    cases.append(Steps("step_compress_y_remap_all", [], [
        Stage(["#step_compress 1 0.050000 2"], ["change_box all %s remap units box" % final(1, 0.95)])]))
    # Simple shear direction YX (m10: x += g (y - lo y)) is LAMMPS' xy tilt,
    # ZX (m20) its xz and ZY (m21) its yz tilt.
    cases.append(Steps("step_shear_yx", [], [
        Stage(["#step_shearaf 2 0.100000 2 0"],
              ["change_box all triclinic", "change_box all xy final %s remap units box" % num(0.1 * size[1])])]))
    cases.append(Steps("step_shear_zx", [], [
        Stage(["#step_shearaf 4 0.120000 2 0"],
              ["change_box all triclinic", "change_box all xz final %s remap units box" % num(0.12 * size[2])])]))
    cases.append(Steps("step_shear_zy", [], [
        Stage(["#step_shearaf 5 -0.090000 2 0"],
              ["change_box all triclinic", "change_box all yz final %s remap units box" % num(-0.09 * size[2])])]))

    cases.append(Steps("step_duplicate", [], [Stage(["#step_duplicate 2 1 3"], ["replicate 2 1 3"])],
                       match=("replicate", 2, 1, 3)))
    cases.append(Steps("step_shear_then_duplicate", [], [
        Stage(["#step_shearaf 4 0.120000 2 0"],
              ["change_box all triclinic", "change_box all xz final %s remap units box" % num(0.12 * size[2])]),
        Stage(["#step_duplicate 1 2 2"], ["replicate 1 2 2"])], match=("replicate", 1, 2, 2)))

    cases.append(Steps("step_add_atom_angstrom", [], [
        Stage(["#step_asig 2 0 3.210000 4.560000 7.890000"], ["create_atoms 2 single 3.21 4.56 7.89 units box"])]))
    f = np.array([0.31, 0.57, 0.83])
    p = lo + f * size
    cases.append(Steps("step_add_atom_box_units", [], [
        Stage(["#step_asig 1 1 0.310000 0.570000 0.830000"],
              ["create_atoms 1 single %s units box" % " ".join(num(x) for x in p)])]))

    # Alias steps: a box that grows does so before the atoms above the cut
    # move, a box that shrinks after, so that LAMMPS wraps no atom into the
    # box of the moment.
    def above(normal, height):
        n = np.asarray(normal, float)
        return Plane(lo + height * n, n)

    cases.append(Steps("step_alias_tensile_c", [], [
        Stage(["#step_tensileal 2 2.500000 13.300000"],
              ["change_box all z final %s %s units box" % (num(lo[2]), num(hi[2] + 2.5)),
               "group g region U", "displace_atoms g move 0 0 2.5 units box"], {"U": above((0, 0, 1), 13.3)})]))
    cases.append(Steps("step_alias_compress_a", [], [
        Stage(["#step_compressal 0 1.700000 20.100000"],
              ["group g region U", "displace_atoms g move -1.7 0 0 units box",
               "change_box all x final %s %s units box" % (num(lo[0]), num(hi[0] - 1.7))],
              {"U": above((1, 0, 0), 20.1)})]))
    # Slip plane 0 ("ab") keeps a and b and moves c by 1.3 a^ - 0.8 b^:
    # LAMMPS' xz and yz tilts.
    cases.append(Steps("step_alias_shear_ab", [], [
        Stage(["#step_shearal 0 1.300000 -0.800000 12.200000"],
              ["change_box all triclinic", "change_box all xz final 1.3 yz final -0.8 units box",
               "group g region U", "displace_atoms g move 1.3 -0.8 0 units box"], {"U": above((0, 0, 1), 12.2)})]))
    # Slip plane 1 ("bc") keeps a and c and moves b by 1.1 a^ (+ 0 c^):
    # LAMMPS' xy tilt (a part along c would leave LAMMPS' cell form).
    cases.append(Steps("step_alias_shear_bc", [], [
        Stage(["#step_shearal 1 1.100000 0.000000 15.400000"],
              ["change_box all triclinic", "change_box all xy final 1.1 units box",
               "group g region U", "displace_atoms g move 1.1 0 0 units box"], {"U": above((0, 1, 0), 15.4)})]))

    # A chain: each step's region sees the atoms as the steps before left them.
    c2_line, c2 = cylinder("C", (13.2, 17.7, 14.4), 5.4, 14.9, 2)
    b2_line, b2 = cuboid("B", (2.3, 6.2, 4.5), (15.9, 21.6, 18.3))
    s2_line, s2 = sphere("S", (12.9, 15.1, 13.6), 6.9)
    cases.append(Steps("step_chain_move_rotate_delete", [c2_line, b2_line, s2_line], [
        region_step("#step_move C 0 0 2.100000 0.000000 0.000000", ["displace_atoms g move 2.1 0 0 units box"],
                    "C", c2),
        Stage(["#step_rotate B 9.100000 13.900000 11.400000 1.000000 0.000000 0.000000 20.000000 0"],
              ["group h region B", "displace_atoms h rotate 9.1 13.9 11.4 1 0 0 -20 units box"], {"B": b2}),
        Stage(["#step_delete S"], ["delete_atoms region S compress no"], {"S": s2})], match="position"))
    return cases


# ------------------------------------------------------------------ comparison

def replicate_key(ident, n, counts, ours):
    """(source atom, copy indices) of an id after replicating n atoms:
    Atomkit numbers the copies with z innermost, LAMMPS with x innermost."""
    nx, ny, nz = counts
    m, c = (ident - 1) % n, (ident - 1) // n
    if ours:
        i, j, k = c // (ny * nz), (c // nz) % ny, c % nz
    else:
        i, j, k = c % nx, (c // nx) % ny, c // (nx * ny)
    return m + 1, i, j, k


def match_by_position(ours, theirs):
    """Pairs {our id: their id} of atoms at the same place, or the reason."""
    ids_t = np.array(sorted(theirs))
    pt = np.array([theirs[i][1] for i in ids_t])
    pairs, used = {}, set()
    for i, (_, p) in ours.items():
        d = np.linalg.norm(pt - p, axis=1)
        k = int(np.argmin(d))
        if d[k] > TOLERANCE:
            return None, "our atom %d at %s has no LAMMPS atom within %g (nearest %g)" % (i, p, TOLERANCE, d[k])
        if k in used:
            return None, "two of our atoms at LAMMPS atom %d" % ids_t[k]
        used.add(k)
        pairs[i] = int(ids_t[k])
    return pairs, None


def compare_steps(case, base_n, ours_box, ours, box, atoms):
    problems = []
    for k, (a, b) in enumerate(zip(ours_box, box)):
        if abs(a - b) > TOLERANCE:
            problems.append("box %s: ours %.7f, LAMMPS %.7f" % (
                ("xlo", "xhi", "ylo", "yhi", "zlo", "zhi", "xy", "xz", "yz")[k], a, b))
    if case.match == "position":
        pairs, why = match_by_position(ours, atoms)
        if why:
            return problems + [why]
    elif case.match == "id":
        pairs = {i: i for i in ours}
    else:
        counts = case.match[1:]
        key_of = {replicate_key(i, base_n, counts, False): i for i in atoms}
        pairs = {i: key_of.get(replicate_key(i, base_n, counts, True), -i) for i in ours}
    mapped = set(pairs.values())
    if mapped != set(atoms) or len(ours) != len(atoms):
        only_ours = sorted(i for i in mapped if i not in atoms)[:5]
        only_theirs = sorted(set(atoms) - mapped)[:5]
        problems.append("%d atoms, LAMMPS %d; only ours %s, only LAMMPS %s" % (
            len(ours), len(atoms), only_ours, only_theirs))
    worst, where = 0.0, None
    for i, j in pairs.items():
        if j not in atoms:
            continue
        if ours[i][0] != atoms[j][0]:
            problems.append("atom %d: type %d, LAMMPS %d" % (j, ours[i][0], atoms[j][0]))
        d = float(np.max(np.abs(ours[i][1] - atoms[j][1])))
        if d > worst:
            worst, where = d, j
    if worst > TOLERANCE:
        problems.append("atom %d: ours %s, LAMMPS %s (off by %.3g)" % (where, ours[next(
            i for i, j in pairs.items() if j == where)][1], atoms[where][1], worst))
    return problems


def check_select(case, base_text, positions):
    work = tempfile.mkdtemp(dir=TMP)
    with open(os.path.join(work, "base.lmp"), "w") as f:
        f.write(base_text)
    recipe = "#Quelm_atomkit_save\n" + "\n".join(case.lines) + "\n#END\n"
    with open(os.path.join(work, "recipe.txt"), "w") as f:
        f.write(recipe)
    run([BATCH, "atomkit", "base.lmp", "recipe.txt", "-o", "ours.lmc", "--select", case.name], work)
    ours = read_select(os.path.join(work, "ours.lmc"))
    commands = case.twin.commands(case.name) + case.twin.group(case.name, "sel") + [
        "variable s atom gmask(sel)", "write_dump all custom sel.dump id v_s modify sort id"]
    lammps(PREAMBLE + "\n".join(commands) + "\n", work)
    theirs = read_select(os.path.join(work, "sel.dump"))
    ids = sorted(positions)
    gap = float(np.min(case.twin.clearance(np.array([positions[i] for i in ids]))))
    problems = []
    if gap <= CLEARANCE:
        problems.append("an atom lies %.2g from the region's surface" % gap)
    if not theirs or len(theirs) == len(ids):
        problems.append("LAMMPS selects %d of %d atoms: choose another region" % (len(theirs), len(ids)))
    if ours != theirs:
        problems.append("selected %d, LAMMPS %d; only ours %s, only LAMMPS %s" % (
            len(ours), len(theirs), sorted(ours - theirs)[:8], sorted(theirs - ours)[:8]))
    report(case.case, problems, "%d of %d atoms, nearest surface %.2g A" % (len(theirs), len(ids), gap))
    if WRITE_FIXTURES:
        write_fixture(case.case, recipe, commands, ["select %s" % case.name, "ids %s" % ranges(theirs)])


def check_steps(case, base_text, base_atoms):
    work = tempfile.mkdtemp(dir=TMP)
    with open(os.path.join(work, "base.lmp"), "w") as f:
        f.write(base_text)
    lines = case.region_lines + [line for stage in case.stages for line in stage.lines]
    recipe = "#Quelm_atomkit_save\n" + "\n".join(lines) + "\n#END\n"
    with open(os.path.join(work, "recipe.txt"), "w") as f:
        f.write(recipe)
    run([BATCH, "atomkit", "base.lmp", "recipe.txt", "-o", "ours.lmp"], work)
    ours_box, ours = read_data(os.path.join(work, "ours.lmp"))

    commands, problems, gap = [], [], math.inf
    for k, stage in enumerate(case.stages):
        for name, region in stage.regions.items():
            commands += region.commands(name)
        commands += stage.commands + ["write_data stage%d.data" % k]
    lammps(PREAMBLE + "\n".join(commands) + "\n", work)
    # The regions of each stage, on the atoms as the stage finds them; LAMMPS
    # tests wrapped positions, so a later stage's regions need every atom
    # still in its box.
    before = base_atoms
    for k, stage in enumerate(case.stages):
        if stage.regions:
            p = np.array([a[1] for a in before.values()])
            for region in stage.regions.values():
                gap = min(gap, float(np.min(region.clearance(p))))
            if k > 0:
                text = open(os.path.join(work, "stage%d.data" % (k - 1))).read()
                atoms_part = text[text.index("Atoms"):].split("\n")[2:]
                if any(line.split()[5:8] != ["0", "0", "0"] for line in atoms_part if line.strip()
                       and len(line.split()) == 8):
                    problems.append("stage %d: an atom left the box before a region tests it" % k)
        _, before = read_data(os.path.join(work, "stage%d.data" % k))
    box, atoms = read_data(os.path.join(work, "stage%d.data" % (len(case.stages) - 1)))
    if gap <= CLEARANCE:
        problems.append("an atom lies %.2g from a region's surface" % gap)
    problems += compare_steps(case, len(base_atoms), ours_box, ours, box, atoms)
    detail = "%d atoms" % len(atoms) + ("" if gap == math.inf else ", nearest surface %.2g A" % gap)
    report(case.case, problems, detail)
    if WRITE_FIXTURES:
        write_fixture(case.case, recipe, commands, step_result(case, base_atoms, box, atoms))


def step_result(case, base_atoms, box, atoms):
    """The fixture lines of a step case: LAMMPS' box and ids, and the atoms
    that differ from the base (all of them, or every K-th id when there are
    too many)."""
    changed = [i for i in sorted(atoms) if i not in base_atoms or atoms[i][0] != base_atoms[i][0]
               or float(np.max(np.abs(atoms[i][1] - base_atoms[i][1]))) > 1e-7]
    match = case.match if isinstance(case.match, str) else "replicate %d %d %d" % case.match[1:]
    lines = ["step", "match %s" % match, "box %s" % " ".join("%.7f" % v for v in box), "ids %s" % ranges(atoms)]
    if len(changed) <= MAX_LISTED:
        lines.append("listed changed")
        listed = changed
    else:
        assert case.match != "position", "a case matched by position must list every changed atom"
        every = math.ceil(len(atoms) / SAMPLED)
        lines.append("listed every %d" % every)
        listed = [i for i in sorted(atoms) if (i - 1) % every == 0]
    for i in listed:
        lines.append("%d %d %s" % (i, atoms[i][0], " ".join("%.7f" % v for v in atoms[i][1])))
    return lines


def write_fixture(case, recipe, commands, result):
    with open(os.path.join(FIXTURES, case + ".txt"), "w") as f:
        f.write(recipe)
    with open(os.path.join(FIXTURES, case + ".lammps"), "w") as f:
        f.write("# Atomkit recipe %s.txt done by LAMMPS 29 Sep 2021 on base.lmp after\n" % case)
        f.write("".join("#   %s\n" % line for line in PREAMBLE.strip().split("\n")))
        f.write("".join("#   %s\n" % line for line in commands))
        f.write("\n".join(result) + "\n")


FAILED = []


def report(case, problems, detail):
    if problems:
        FAILED.append(case)
        print("%-28s %s" % (case, "; ".join(problems)))
    else:
        print("%-28s ok (%s)" % (case, detail))
    sys.stdout.flush()


def main():
    global TMP
    if not os.path.exists(BATCH):
        sys.exit("no quelm-batch at %s" % BATCH)
    with tempfile.TemporaryDirectory() as TMP:
        base_text = make_base(TMP)
        _, base_atoms = read_data(os.path.join(TMP, "base.lmp"))
        positions = {i: a[1] for i, a in base_atoms.items()}
        if WRITE_FIXTURES:
            os.makedirs(FIXTURES, exist_ok=True)
            for name in os.listdir(FIXTURES):
                if name.endswith(".txt") or name.endswith(".lammps"):
                    os.remove(os.path.join(FIXTURES, name))
            with open(os.path.join(FIXTURES, "base.lmp"), "w") as f:
                f.write(base_text)
        for case in select_cases():
            check_select(case, base_text, positions)
        for case in step_cases():
            check_steps(case, base_text, base_atoms)
    if FAILED:
        print("%d case(s) differ: %s" % (len(FAILED), " ".join(FAILED)))
        sys.exit(1)
    print("all cases agree with LAMMPS")


if __name__ == "__main__":
    main()
