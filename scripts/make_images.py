"""Makes the pictures under img/: the 32 x 32 tool-bar icons in img/icon/,
the 64 x 64 application icon img/icon.png, the empty-state picture of the
render area, img/background.png, and the textures of the 3D view: the
sphere atlas of the atom sprites img/color.png and the axis labels
img/x.png, img/y.png, img/z.png.

Run from the repository root:

    /usr/bin/python3 scripts/make_images.py

Needs Pillow and numpy. The output is the same, byte for byte, on every run,
so the PNG files only change in git when the drawing here changes.
"""

import math
import os

import numpy as np
from PIL import Image, ImageDraw

ROOT = os.path.normpath(os.path.join(os.path.dirname(os.path.abspath(__file__)), ".."))
S = 4  # icons are drawn at 4x and scaled down

INK = (46, 58, 72, 255)        # slate outline
PAPER = (246, 248, 251, 255)   # light body fill
CLEAR = (0, 0, 0, 0)
GREY_INK = (132, 140, 150, 255)
GREY = (190, 196, 204, 255)
RED = (214, 64, 56, 255)
FILE = (45, 123, 224, 255)     # import / export
VIEW = (20, 160, 150, 255)     # model, colours, camera, snapshot
LOOK = (142, 91, 214, 255)     # particle inspection
STATS = (46, 158, 79, 255)     # analysis
SIM = (232, 112, 42, 255)      # simulations


def save(im, path):
    # Pillow writes no time or text chunks unless asked, so the bytes only
    # depend on the pixels
    im.save(path, optimize=True)


def tint(c, f):
    """Mixes colour c with white; f = 0 keeps c, f = 1 gives white."""
    return tuple(round(v + (255 - v) * f) for v in c[:3]) + (255,)


class Pen:
    """Draws on a square RGBA canvas in icon pixel units; the canvas is S
    times larger and is scaled down by done(). Strokes are centred on their
    path and have round ends and joins. Drawing replaces the pixels under it
    (no blending), so CLEAR cuts gaps between overlapping shapes."""

    def __init__(self, size=32):
        self.size = size
        self.im = Image.new("RGBA", (size * S, size * S), CLEAR)
        self.d = ImageDraw.Draw(self.im)
        self.move(0, 0, 1)

    def move(self, ox, oy, k):
        """Shifts and scales what follows (strokes keep their width)."""
        self.t = (ox, oy, k)

    def xy(self, p):
        ox, oy, k = self.t
        return ((ox + p[0] * k) * S, (oy + p[1] * k) * S)

    def dot(self, c, r, fill):
        """Filled disc; r is in output pixels and is not scaled by move()."""
        x, y = self.xy(c)
        self.d.ellipse((x - r * S, y - r * S, x + r * S, y + r * S), fill=fill)

    def line(self, pts, col=INK, w=2):
        """Open polyline of width w through pts."""
        self.d.line([self.xy(p) for p in pts], fill=col, width=round(w * S))
        for p in pts:
            self.dot(p, w / 2, col)

    def poly(self, pts, fill=None, col=INK, w=2):
        if fill:
            self.d.polygon([self.xy(p) for p in pts], fill=fill)
        if col:
            self.line(list(pts) + [pts[0]], col, w)

    def arc(self, c, r, a0, a1, col=INK, w=2):
        """Arc from angle a0 to a1 in degrees, counter-clockwise on screen."""
        n = max(8, int(abs(a1 - a0) / 6))
        angs = [math.radians(a0 + (a1 - a0) * i / n) for i in range(n + 1)]
        self.line([(c[0] + r * math.cos(a), c[1] - r * math.sin(a)) for a in angs], col, w)
        a = angs[-1]
        turn = 1 if a1 > a0 else -1
        end = (c[0] + r * math.cos(a), c[1] - r * math.sin(a))
        return end, math.degrees(math.atan2(-math.cos(a) * turn, -math.sin(a) * turn))

    def circle(self, c, r, fill=None, col=INK, w=2):
        """Circle of radius r to the middle of its outline."""
        if fill:
            self.dot(c, r * self.t[2], fill)
        if col:
            self.arc(c, r, 0, 360, col, w)

    def rect(self, box, fill=None, col=INK, w=2, r=2):
        """Rounded box; the outline is centred on the box edges."""
        (x0, y0), (x1, y1) = self.xy(box[:2]), self.xy(box[2:])
        h = w * S / 2 if col else 0
        self.d.rounded_rectangle((x0 - h, y0 - h, x1 + h - 1, y1 + h - 1),
                                 radius=(r + w / 2) * S, fill=fill,
                                 outline=col, width=round(w * S))

    def head(self, tip, ang, col, size=5):
        """Filled arrow head at tip, pointing along ang (degrees, y down)."""
        a = math.radians(ang)
        ux, uy = math.cos(a), math.sin(a)
        base = (tip[0] - ux * size, tip[1] - uy * size)
        self.poly([tip, (base[0] - uy * size * 0.8, base[1] + ux * size * 0.8),
                   (base[0] + uy * size * 0.8, base[1] - ux * size * 0.8)], col, col, 1)

    def arrow(self, tail, tip, col, w=2, size=5):
        ang = math.degrees(math.atan2(tip[1] - tail[1], tip[0] - tail[0]))
        a = math.radians(ang)
        self.line([tail, (tip[0] - math.cos(a) * size * 0.7, tip[1] - math.sin(a) * size * 0.7)], col, w)
        self.head(tip, ang, col, size)

    def ball(self, c, r, col, ink=INK, w=1.5):
        """Flat atom: filled disc with an outline and a small highlight."""
        self.circle(c, r, col, ink, w)
        self.dot((c[0] - r * 0.35, c[1] - r * 0.35), r * 0.28 * self.t[2], tint(col, 0.7))

    def done(self):
        return self.im.resize((self.size, self.size), Image.LANCZOS)


# ---------------------------------------------------------------- tool bar

def folder(p, accent):
    """Open folder: back panel with a tab, front flap tipped forward."""
    p.poly([(3, 8), (11, 8), (13, 11), (25, 11), (25, 27), (3, 27)], PAPER)
    p.poly([(8, 16), (29, 16), (25, 27), (3, 27)], tint(accent, 0.35))


def icon_opmd(p):
    folder(p, FILE)
    p.line([(19, 1), (19, 12)], CLEAR, 6)
    p.arrow((19, 2), (19, 14), FILE, 2.5, 6)


def icon_export(p):
    p.rect((4, 16, 28, 28), PAPER, INK, r=2)
    p.rect((9, 21, 23, 23), tint(FILE, 0.5), None, r=0)
    p.line([(16, 1), (16, 19)], CLEAR, 7)
    p.arrow((16, 19), (16, 2), FILE, 2.5, 7)


def cell_corners(x, y, a, dx, dy):
    """Corners of a cube seen in oblique projection, front face first."""
    front = [(x, y), (x + a, y), (x + a, y + a), (x, y + a)]
    return front + [(u + dx, v - dy) for u, v in front]


def icon_structure(p):
    c = cell_corners(4, 12, 16, 8, 8)
    for i in range(4):
        p.line([c[4 + i], c[4 + (i + 1) % 4]], INK, 1.5)
        p.line([c[i + 4], c[i]], INK, 1.5)
    for i in range(4):
        p.line([c[i], c[(i + 1) % 4]], INK, 2)
    for q in c[4:]:
        p.ball(q, 2.7, tint(VIEW, 0.45))
    for q in c[:4]:
        p.ball(q, 3.3, VIEW)


def icon_chorma(p):
    hues = [(230, 70, 60), (245, 170, 40), (240, 220, 60),
            (60, 180, 90), (40, 130, 220), (150, 90, 210)]
    box = [v * S for v in (3, 3, 29, 29)]  # colour wheel, six sectors
    for i, h in enumerate(hues):
        p.d.pieslice(box, -90 + 60 * i, -30 + 60 * i, fill=h + (255,))
    p.circle((16, 16), 12, None, INK)
    p.circle((16, 16), 5, PAPER, INK)


def camera(p, accent):
    p.poly([(10, 9), (12, 5), (20, 5), (22, 9)], INK, INK)
    p.rect((3, 9, 29, 27), PAPER, INK, r=3)
    p.circle((16, 18), 6, tint(accent, 0.2), INK)
    p.dot((14, 16), 1.6, tint(accent, 0.75))
    p.dot((25, 13), 1.3, INK)


def icon_camera(p):
    camera(p, VIEW)


def icon_camset(p):
    p.move(-1, -2, 0.8)
    camera(p, VIEW)
    p.move(0, 0, 1)
    p.circle((23, 23), 8, CLEAR, CLEAR, 3)
    end, heading = p.arc((23, 23), 5.5, 110, 380, VIEW, 2.2)
    p.head(end, heading, VIEW, 4.5)


def icon_snapshot(p):
    p.rect((3, 5, 29, 27), PAPER, INK, r=2)
    p.circle((22, 11), 2.6, tint(SIM, 0.3), None)
    p.poly([(4, 26), (12, 14), (18, 22), (21, 18), (28, 26)], VIEW, None)


def magnifier(p, glass, atom, ink):
    p.line([(20, 20), (28, 28)], ink, 4.5)
    p.circle((13, 13), 9.5, glass, ink, 2.5)
    p.ball((13, 13), 4.5, atom, ink)


def icon_inspect(p):
    magnifier(p, PAPER, LOOK, INK)


def icon_inspect_off(p):
    magnifier(p, PAPER, GREY, GREY_INK)
    p.line([(5, 28), (28, 5)], CLEAR, 5.5)
    p.line([(5, 28), (28, 5)], RED, 2.5)


def icon_snap(p):
    for i, h in enumerate((10, 19, 14, 23)):
        x = 7 + 6 * i
        p.rect((x - 2, 27 - h, x + 2, 27), tint(STATS, 0.3 * (i % 2)), None, r=1)
    p.line([(3, 3), (3, 28), (29, 28)], INK)


def icon_dynamic(p):
    for y, x0 in ((10, 5), (16, 2), (22, 5)):
        p.line([(x0, y), (x0 + 6, y)], tint(SIM, 0.3), 2)
    p.ball((21, 16), 8, SIM, INK, 2)


def icon_static(p):
    steps = [(4, 28)]
    for i in range(4):
        steps += [(4 + 6 * i, 22 - 6 * i), (10 + 6 * i, 22 - 6 * i)]
    p.poly(steps + [(28, 4), (28, 28)], tint(SIM, 0.2), INK)


def icon_shock(p):
    for r, f in ((22, 0), (27, 0.4)):
        p.arc((1, 16), r, -32, 32, tint(SIM, f), 2)
    p.poly([(12, 2), (3, 18), (9, 18), (7, 30), (19, 12), (12, 12), (16, 2)],
           SIM, INK, 1.5)


def icon_crack(p):
    p.rect((3, 5, 29, 27), tint(SIM, 0.3), INK, r=2)
    p.poly([(12, 5), (20, 5), (17, 10), (19, 14), (15.5, 21), (16, 13), (14, 9)], INK, INK, 1)


def icon_fit(p):
    """A cube framed by four corner marks: the model fitted to the view."""
    c = cell_corners(9, 13, 10, 5, 5)
    for i in range(4):
        p.line([c[4 + i], c[4 + (i + 1) % 4]], INK, 1.2)
        p.line([c[i + 4], c[i]], INK, 1.2)
    p.poly(c[:4], tint(VIEW, 0.45), INK, 1.6)
    for a, b, q in (((3, 10), (3, 3), (10, 3)), ((22, 3), (29, 3), (29, 10)),
                    ((29, 22), (29, 29), (22, 29)), ((10, 29), (3, 29), (3, 22))):
        p.line([a, b, q], VIEW, 2.5)


ICONS = {name[5:]: f for name, f in globals().items() if name.startswith("icon_")}


def make_icons(folder_out):
    os.makedirs(folder_out, exist_ok=True)
    for name, draw in ICONS.items():
        p = Pen()
        draw(p)
        save(p.done(), os.path.join(folder_out, name + ".png"))


# ------------------------------------------------------- application icon

def vgradient(w, h, top, bottom):
    """h x w x 3 float array running from colour top to colour bottom."""
    t = np.linspace(0.0, 1.0, h)[:, None, None]
    row = np.asarray(top, float) * (1 - t) + np.asarray(bottom, float) * t
    return np.repeat(row, w, axis=1)


def fcc_cell(turn=30.0, tilt=18.0):
    """Atoms of a cubic fcc cell (unit edge, centred on 0) after turning it
    about the vertical and tilting it towards the viewer; returns (x, y,
    depth) with y downwards and larger depth further away."""
    pts = [(i, j, k) for i in (0, 1) for j in (0, 1) for k in (0, 1)]  # corner i*4+j*2+k
    pts += [(0.5, 0.5, f) for f in (0, 1)] + [(0.5, f, 0.5) for f in (0, 1)]
    pts += [(f, 0.5, 0.5) for f in (0, 1)]
    a, b = math.radians(turn), math.radians(tilt)
    out = []
    for x, y, z in pts:
        x, y, z = x - 0.5, y - 0.5, z - 0.5
        x, z = x * math.cos(a) + z * math.sin(a), -x * math.sin(a) + z * math.cos(a)
        y, z = y * math.cos(b) + z * math.sin(b), -y * math.sin(b) + z * math.cos(b)
        out.append((x, -y, z))
    return out


def sphere_light(h, w, c, r):
    """Lighting of a sphere of radius r centred at c on an h x w pixel grid
    (y down), lit from the upper left: returns the masks inside, diffuse
    (0..1) and shine (the specular highlight, 0..1)."""
    yy, xx = np.mgrid[0:h, 0:w]
    dx, dy = (xx + 0.5 - c[0]) / r, (yy + 0.5 - c[1]) / r
    inside = dx * dx + dy * dy < 1.0
    nz = np.sqrt(np.clip(1.0 - dx * dx - dy * dy, 0.0, 1.0))
    light = np.array([-0.45, -0.55, 0.70])
    light /= np.linalg.norm(light)
    diffuse = np.clip(dx * light[0] + dy * light[1] + nz * light[2], 0.0, 1.0)
    half = light + np.array([0.0, 0.0, 1.0])
    half /= np.linalg.norm(half)
    shine = np.clip(dx * half[0] + dy * half[1] + nz * half[2], 0.0, 1.0) ** 40
    return inside, diffuse, shine


def shade_sphere(rgb, c, r, base, fog):
    """Paints a lit sphere of colour base into the float image rgb; fog in
    0..1 darkens atoms further back."""
    inside, diffuse, shine = sphere_light(rgb.shape[0], rgb.shape[1], c, r)
    col = np.asarray(base, float) * (0.22 + 0.78 * diffuse[..., None]) * (1 - 0.35 * fog)
    col = np.clip(col + 0.75 * 255 * shine[..., None], 0, 255)
    rgb[inside] = col[inside]


def make_app_icon(path, size=64):
    n = size * S
    rgb = vgradient(n, n, (52, 84, 132), (20, 36, 66))
    card = Image.new("L", (n, n), 0)
    ImageDraw.Draw(card).rounded_rectangle((2 * S, 2 * S, n - 2 * S - 1, n - 2 * S - 1),
                                           radius=12 * S, fill=255)
    atoms = fcc_cell()
    edge, r = 0.50 * n, 0.07 * n
    at = [(n / 2 + x * edge, n / 2 + y * edge) for x, y, z in atoms]
    # cell edges join corners (the first eight atoms) that differ in one index
    lines = Image.new("L", (n, n), 0)
    for i in range(8):
        for j in (1, 2, 4):
            if not i & j:
                ImageDraw.Draw(lines).line([at[i], at[i | j]], fill=255, width=S * 3 // 2)
    m = np.asarray(lines, float)[..., None] / 255 * 0.45
    rgb = rgb * (1 - m) + np.array([200, 220, 245]) * m
    depth = [a[2] for a in atoms]
    for i in sorted(range(len(atoms)), key=lambda i: -depth[i]):
        fog = (depth[i] - min(depth)) / (max(depth) - min(depth))
        base = (222, 134, 74) if i < 8 else (236, 190, 96)  # corners copper, faces gold
        shade_sphere(rgb, at[i], r, base, fog)
    im = Image.fromarray(np.round(rgb).astype(np.uint8), "RGB").convert("RGBA")
    im.putalpha(card)
    save(im.resize((size, size), Image.LANCZOS), path)


# ------------------------------------------------------------ background

def make_background(path, w=960, h=550, k=2, turn=14.0):
    """Dark-blue gradient under a faint fcc crystal seen down [001]: a square
    net of atoms, turned a little, whose two layers alternate (the nearer
    one larger and brighter). The net fades out towards the upper left."""
    step, r_near, r_far = 46 * k, 15 * k, 10 * k
    rings, discs = Image.new("L", (w * k, h * k), 0), Image.new("L", (w * k, h * k), 0)
    dr, dd = ImageDraw.Draw(rings), ImageDraw.Draw(discs)
    cs, sn = math.cos(math.radians(turn)), math.sin(math.radians(turn))
    reach = int(math.hypot(w, h) * k / step / 2) + 2
    for j in range(-reach, reach + 1):
        for i in range(-reach, reach + 1):
            r, v = (r_near, 255) if (i + j) % 2 == 0 else (r_far, 150)
            x = w * k / 2 + (i * cs - j * sn) * step
            y = h * k / 2 + (i * sn + j * cs) * step
            if -step < x < w * k + step and -step < y < h * k + step:
                dd.ellipse((x - r, y - r, x + r, y + r), fill=v // 3)
                dr.ellipse((x - r, y - r, x + r, y + r), outline=v, width=k + k // 2)
    pattern = np.maximum(np.asarray(rings.resize((w, h), Image.LANCZOS), float),
                         np.asarray(discs.resize((w, h), Image.LANCZOS), float)) / 255
    yy, xx = np.mgrid[0:h, 0:w]
    fade = np.clip(xx / w * 0.75 + yy / h * 0.45 - 0.1, 0, 1) ** 1.3
    rgb = vgradient(w, h, (26, 46, 78), (9, 17, 34))
    glow = (pattern * fade * 0.2)[..., None]
    rgb = rgb * (1 - glow) + np.array([150, 190, 240]) * glow
    # a weak fixed 4 x 4 ordered dither softens the steps of the slow
    # gradient; a stronger one costs too many bytes for what it gains
    bayer = np.array([[0, 8, 2, 10], [12, 4, 14, 6], [3, 11, 1, 9], [15, 7, 13, 5]])
    rgb += ((np.tile(bayer, (h // 4 + 1, w // 4 + 1))[:h, :w, None] + 0.5) / 16 - 0.5) * 0.35
    save(Image.fromarray(np.clip(np.round(rgb), 0, 255).astype(np.uint8), "RGB"), path)


# ---------------------------------------------------------- atom sprites

BAR = [(40, 70, 225), (30, 195, 230), (55, 190, 75), (240, 215, 45), (220, 45, 40)]


def bar_colour(t):
    """Colour bar at t in 0..1: blue, cyan, green, yellow, red, linear
    between those stops."""
    x = t * (len(BAR) - 1)
    i = min(int(x), len(BAR) - 2)
    return tuple(a + (b - a) * (x - i) for a, b in zip(BAR[i], BAR[i + 1]))


def rgb_template(n, r):
    """Sphere of RGB mode (atlas cell 23). The atom shader takes red as a
    grey shade and the excess blue, b - (r + g) / 2, as the weight of the
    atom's own colour: (r, r, r) + 1.5 * chroma * excess * (R, G, B). So red
    and green hold a dark grey plus the highlight, and blue adds a mask that
    follows the diffuse light and fades out under the highlight."""
    inside, diffuse, shine = sphere_light(n, n, (n / 2, n / 2), r)
    grey = np.minimum(0.1 + 0.25 * diffuse + 0.85 * shine, 1.0)
    blue = np.minimum(grey + 0.62 * (0.2 + 0.8 * diffuse) * (1 - shine), 1.0)
    cell = np.zeros((n, n, 3))
    cell[inside] = (np.stack([grey, grey, blue], -1) * 255)[inside]
    return cell


def make_atlas(path, cell=64, k=4):
    """8 x 8 atlas of shaded spheres for the atom sprites, drawn at k times
    the size and scaled down. Colour index f = 0..63 (blue to red) is the
    cell in column f % 8 and row f // 8 counted from the top of texture
    space (v = 1); cell 23 is the RGB-mode template instead.

    Row order: the view uploads the rows as the image loader returns them,
    top row of the file first, and glTexImage2D puts the first row at v = 0.
    The shader samples v = 1 - (f // 8) / 8 - t / 8 with the sprite
    coordinate t = 0 at the top of the point, so the texture appears on
    screen upside down relative to the file. The atlas is therefore drawn as
    it should look and flipped before saving: in the file, cell 0 is at the
    lower left and the spheres are lit from below."""
    n = cell * k
    r = 0.49 * n  # the shader keeps 0.96 of the sprite radius
    inside = sphere_light(n, n, (n / 2, n / 2), r)[0]
    big = np.zeros((8 * n, 8 * n, 4))
    for f in range(64):
        rgb = np.zeros((n, n, 3))
        if f == 23:
            rgb = rgb_template(n, r)
        else:
            shade_sphere(rgb, (n / 2, n / 2), r, bar_colour(f / 63), 0.0)
        y, x = f // 8 * n, f % 8 * n
        big[y:y + n, x:x + n, :3] = rgb
        big[y:y + n, x:x + n, 3] = inside * 255
    # colour and alpha are scaled apart: the view loads only the colour, and
    # it should fade to black at the rim, not carry stray colours from
    # pixels of nearly zero alpha
    im = Image.fromarray(np.round(big[::-1]).astype(np.uint8), "RGBA")
    bands = [b.resize((8 * cell, 8 * cell), Image.LANCZOS) for b in im.split()]
    save(Image.merge("RGBA", bands), path)


LETTERS = {"x": [[(17, 11), (47, 53)], [(47, 11), (17, 53)]],
           "y": [[(16, 11), (32, 33)], [(48, 11), (32, 33), (32, 53)]],
           "z": [[(18, 11), (46, 11), (18, 53), (46, 53)]]}


def make_letters(folder_out, w=8, halo=4):
    """Axis labels for the 20-pixel sprites at the ends of the axis triad:
    bold dark capitals with a thin white halo on a clear ground, so they
    read on any background. The label shader samples them at the sprite
    coordinate as is, so unlike the atlas they are stored upright."""
    for name, strokes in LETTERS.items():
        p = Pen(64)
        for col, width in (((255, 255, 255, 255), w + 2 * halo), ((28, 30, 34, 255), w)):
            for s in strokes:
                p.line(s, col, width)
        save(p.done(), os.path.join(folder_out, name + ".png"))


if __name__ == "__main__":
    make_icons(os.path.join(ROOT, "img", "icon"))
    make_app_icon(os.path.join(ROOT, "img", "icon.png"))
    make_background(os.path.join(ROOT, "img", "background.png"))
    make_atlas(os.path.join(ROOT, "img", "color.png"))
    make_letters(os.path.join(ROOT, "img"))
