#!/usr/bin/env python3
"""Draws the program's artwork: icons, logo, window icon and the pictures of
the dark style sheet. Only the standard library is used; every picture is
made of a few anti-aliased shapes, rendered by supersampling.

Run from anywhere: python3 resources/draw_artwork.py (pure Python, so it takes
a few minutes); "python3 resources/draw_artwork.py icons" draws only the
program's icon at the sizes of the desktop's icon theme.
The PNG files are written beside this script and committed with it.
"""
import math
import os
import struct
import zlib

HERE = os.path.dirname(os.path.abspath(__file__))
SUB = 4  # supersamples per pixel along each axis


def hexrgba(text, alpha=1.0):
    text = text.lstrip("#")
    r, g, b = (int(text[i:i + 2], 16) / 255.0 for i in (0, 2, 4))
    return (r, g, b, alpha)


class Canvas:
    """RGBA canvas with premultiplied float pixels and 'over' compositing."""

    def __init__(self, width, height, background=(0.0, 0.0, 0.0, 0.0)):
        self.w, self.h = width, height
        r, g, b, a = background
        self.px = [[r * a, g * a, b * a, a] for _ in range(width * height)]

    def fill(self, inside, paint, box=None):
        """Composites `paint` (a colour or a function of x, y) where `inside`
        (a function of x, y in pixel units) holds, with partial coverage."""
        x0, y0, x1, y1 = box if box else (0, 0, self.w, self.h)
        x0, y0 = max(0, int(math.floor(x0))), max(0, int(math.floor(y0)))
        x1, y1 = min(self.w, int(math.ceil(x1))), min(self.h, int(math.ceil(y1)))
        offsets = [(i + 0.5) / SUB for i in range(SUB)]
        for y in range(y0, y1):
            for x in range(x0, x1):
                hits = 0
                for oy in offsets:
                    for ox in offsets:
                        if inside(x + ox, y + oy):
                            hits += 1
                if not hits:
                    continue
                cover = hits / (SUB * SUB)
                r, g, b, a = paint(x + 0.5, y + 0.5) if callable(paint) else paint
                a *= cover
                p = self.px[y * self.w + x]
                keep = 1.0 - a
                p[0] = r * a + p[0] * keep
                p[1] = g * a + p[1] * keep
                p[2] = b * a + p[2] * keep
                p[3] = a + p[3] * keep

    def save(self, name):
        rows = []
        for y in range(self.h):
            row = bytearray([0])
            for x in range(self.w):
                r, g, b, a = self.px[y * self.w + x]
                if a > 0:
                    r, g, b = r / a, g / a, b / a
                row += bytes(max(0, min(255, int(round(v * 255)))) for v in (r, g, b, a))
            rows.append(bytes(row))

        def chunk(kind, data):
            body = kind + data
            return struct.pack(">I", len(data)) + body + struct.pack(">I", zlib.crc32(body) & 0xFFFFFFFF)

        header = struct.pack(">IIBBBBB", self.w, self.h, 8, 6, 0, 0, 0)
        data = b"\x89PNG\r\n\x1a\n" + chunk(b"IHDR", header) + \
            chunk(b"IDAT", zlib.compress(b"".join(rows), 9)) + chunk(b"IEND", b"")
        with open(os.path.join(HERE, name), "wb") as f:
            f.write(data)


# --- shapes -----------------------------------------------------------------

def rect(x0, y0, x1, y1):
    return lambda x, y: x0 <= x < x1 and y0 <= y < y1


def rounded(x0, y0, x1, y1, r):
    def inside(x, y):
        if not (x0 <= x < x1 and y0 <= y < y1):
            return False
        cx = min(max(x, x0 + r), x1 - r)
        cy = min(max(y, y0 + r), y1 - r)
        return (x - cx) ** 2 + (y - cy) ** 2 <= r * r
    return inside


def circle(cx, cy, r):
    return lambda x, y: (x - cx) ** 2 + (y - cy) ** 2 <= r * r


def ring(cx, cy, r, width):
    inner = r - width
    return lambda x, y: inner * inner <= (x - cx) ** 2 + (y - cy) ** 2 <= r * r


def polygon(points):
    def inside(x, y):
        hit = False
        n = len(points)
        for i in range(n):
            xa, ya = points[i]
            xb, yb = points[(i + 1) % n]
            if (ya > y) != (yb > y) and x < xa + (y - ya) * (xb - xa) / (yb - ya):
                hit = not hit
        return hit
    return inside


def stroke(points, width):
    """A polyline of the given width with round joins."""
    half2 = (width / 2.0) ** 2
    segments = list(zip(points, points[1:]))

    def inside(x, y):
        for (xa, ya), (xb, yb) in segments:
            dx, dy = xb - xa, yb - ya
            length2 = dx * dx + dy * dy
            t = 0.0 if length2 == 0 else max(0.0, min(1.0, ((x - xa) * dx + (y - ya) * dy) / length2))
            px, py = xa + t * dx - x, ya + t * dy - y
            if px * px + py * py <= half2:
                return True
        return False
    return inside


def union(*shapes):
    return lambda x, y: any(s(x, y) for s in shapes)


def minus(shape, hole):
    return lambda x, y: shape(x, y) and not hole(x, y)


def vgradient(y0, y1, stops):
    """Vertical gradient through (position, colour) stops."""
    def paint(x, y):
        t = 0.0 if y1 == y0 else min(1.0, max(0.0, (y - y0) / (y1 - y0)))
        for (ta, ca), (tb, cb) in zip(stops, stops[1:]):
            if t <= tb:
                u = 0.0 if tb == ta else (t - ta) / (tb - ta)
                return tuple(a + (b - a) * u for a, b in zip(ca, cb))
        return stops[-1][1]
    return paint


def sigmoid_points(x0, y0, x1, y1, n=48, steepness=7.0):
    """An S-shaped tone curve from the lower left to the upper right."""
    lo = 1.0 / (1.0 + math.exp(steepness / 2))
    hi = 1.0 / (1.0 + math.exp(-steepness / 2))
    pts = []
    for i in range(n + 1):
        t = i / n
        v = (1.0 / (1.0 + math.exp(-steepness * (t - 0.5))) - lo) / (hi - lo)
        pts.append((x0 + (x1 - x0) * t, y0 + (y1 - y0) * v))
    return pts


# Seven-segment digits, for the version badges of the profile icons.
SEGMENTS = {"2": "abged", "4": "fgbc"}


def digit(ch, x, y, w, h, t):
    """Segments of a seven-segment digit in the box (x, y, w, h), thickness t."""
    mid = y + h / 2
    seg = {
        "a": rect(x, y, x + w, y + t),
        "b": rect(x + w - t, y, x + w, mid + t / 2),
        "c": rect(x + w - t, mid - t / 2, x + w, y + h),
        "d": rect(x, y + h - t, x + w, y + h),
        "e": rect(x, mid - t / 2, x + t, y + h),
        "f": rect(x, y, x + t, mid + t / 2),
        "g": rect(x, mid - t / 2, x + w, mid + t / 2),
    }
    return union(*(seg[s] for s in SEGMENTS[ch]))


WHITE = (1.0, 1.0, 1.0, 1.0)
BLACK = (0.0, 0.0, 0.0, 1.0)
RED = hexrgba("#ff3232")
GREEN = hexrgba("#32ff32")
BLUE = hexrgba("#0033ff")
CYAN = hexrgba("#00bcd4")
MAGENTA = hexrgba("#e91e63")
YELLOW = hexrgba("#ffeb3b")
ACCENT = hexrgba("#0080f0")


# --- emblem -----------------------------------------------------------------

def emblem(c, x, y, size):
    """The program's emblem: three overlapping light discs on a dark tile,
    crossed by an S-shaped tone curve."""
    s = size / 64.0
    c.fill(rounded(x + 2 * s, y + 2 * s, x + 62 * s, y + 62 * s, 12 * s),
           vgradient(y, y + size, [(0, hexrgba("#3a3a3a")), (1, hexrgba("#121212"))]))
    r = 15 * s
    for (dx, dy), col in (((25, 26), RED), ((39, 26), GREEN), ((32, 38), BLUE)):
        c.fill(circle(x + dx * s, y + dy * s, r), col[:3] + (0.62,))
    curve = sigmoid_points(x + 10 * s, y + 54 * s, x + 54 * s, y + 10 * s)
    c.fill(stroke(curve, 6 * s), (0.0, 0.0, 0.0, 0.55))
    c.fill(stroke(curve, 3.2 * s), WHITE)


def window_icon():
    c = Canvas(64, 64)
    emblem(c, 0, 0, 64)
    c.save("tonemolder.png")


# The sizes of the program's icon in the desktop's icon theme (hicolor).
APP_ICON_SIZES = (16, 24, 32, 48, 64, 128, 256)


def app_icons():
    """The emblem at every size of the icon theme, for the installed program."""
    os.makedirs(os.path.join(HERE, "icons"), exist_ok=True)
    for size in APP_ICON_SIZES:
        c = Canvas(size, size)
        emblem(c, 0, 0, size)
        c.save(os.path.join("icons", "tonemolder-%d.png" % size))


def logo():
    w, h = 480, 300
    c = Canvas(w, h)
    c.fill(rect(0, 0, w, h), vgradient(0, h, [(0, hexrgba("#1f1f1f")), (0.7, hexrgba("#4f4f4f")),
                                              (1, hexrgba("#2f2f2f"))]))
    # The curve canvas of the program: black, with a dark green grid.
    gx0, gy0, gx1, gy1 = 176, 28, 448, 200
    c.fill(rect(gx0, gy0, gx1, gy1), BLACK)
    grid = hexrgba("#003300")
    for gx in range(gx0, gx1 + 1, 34):
        c.fill(rect(gx - 0.6, gy0, gx + 0.6, gy1), grid)
    for gy in range(gy0, gy1 + 1, 34):
        c.fill(rect(gx0, gy - 0.6, gx1, gy + 0.6), grid)
    for steep, col in ((4.0, CYAN), (6.0, MAGENTA), (8.0, YELLOW)):
        c.fill(stroke(sigmoid_points(gx0 + 4, gy1 - 4, gx1 - 4, gy0 + 4, 64, steep), 2.2), col,
               (gx0, gy0, gx1, gy1))
    c.fill(stroke([(gx0 + 4, gy1 - 4), (gx1 - 4, gy0 + 4)], 1.4), (1, 1, 1, 0.5), (gx0, gy0, gx1, gy1))
    emblem(c, 24, 50, 128)
    c.save("logo.png")


# --- style sheet pictures ----------------------------------------------------

def background():
    # A faint diagonal weave laid over the window gradient.
    c = Canvas(16, 16)
    c.fill(lambda x, y: (x + y) % 8 < 1.2, (1, 1, 1, 0.035))
    c.fill(lambda x, y: (x - y) % 8 < 1.2, (0, 0, 0, 0.06))
    c.save("background.png")


def buttons():
    w, h = 24, 24
    c = Canvas(w, h)
    c.fill(rounded(0, 0, w, h, 5), hexrgba("#8f8f8f"))
    c.fill(rounded(1, 1, w - 1, h - 1, 4), vgradient(1, h - 1, [(0, hexrgba("#5c5c5c")), (1, hexrgba("#353535"))]))
    c.save("button.png")
    c = Canvas(w, h)
    c.fill(rounded(0, 0, w, h, 5), ACCENT)
    c.fill(rounded(1, 1, w - 1, h - 1, 4), vgradient(1, h - 1, [(0, hexrgba("#262626")), (1, hexrgba("#454545"))]))
    c.save("button_pressed.png")


def arrows():
    grey = hexrgba("#b0b0b0")
    shapes = {
        "arrow_up.png": [(1, 6.5), (8, 6.5), (4.5, 2)],
        "arrow_down.png": [(1, 2.5), (8, 2.5), (4.5, 7)],
        "arrow_left.png": [(6.5, 1), (6.5, 8), (2, 4.5)],
        "arrow_right.png": [(2.5, 1), (2.5, 8), (7, 4.5)],
    }
    for name, pts in shapes.items():
        c = Canvas(9, 9)
        c.fill(polygon(pts), grey)
        c.save(name)


def checkboxes():
    for name, checked, enabled in (("checkbox_unchecked.png", False, True), ("checkbox_checked.png", True, True),
                                   ("checkbox_unchecked_disabled.png", False, False),
                                   ("checkbox_checked_disabled.png", True, False)):
        c = Canvas(18, 18)
        c.fill(rounded(1, 1, 17, 17, 3), hexrgba("#8f8f8f" if enabled else "#5a5a5a"))
        c.fill(rounded(2, 2, 16, 16, 2), hexrgba("#404040" if enabled else "#303030"))
        if checked:
            tick = [(4.5, 9.5), (7.5, 12.5), (13.5, 5.5)]
            c.fill(stroke(tick, 2.4), ACCENT if enabled else hexrgba("#707070"))
        c.save(name)


# --- icons --------------------------------------------------------------------

def folders():
    for name, body, edge in (("folder_white.png", hexrgba("#f0f0f0"), hexrgba("#b0b0b0")),
                             ("folder_black.png", hexrgba("#303030"), hexrgba("#000000"))):
        c = Canvas(24, 24)
        c.fill(rounded(2, 4, 11, 9, 1.5), edge)
        c.fill(rounded(2, 6, 22, 20, 1.5), edge)
        c.fill(rounded(3, 7, 21, 19, 1), body)
        c.fill(rect(3, 9, 21, 10), edge[:3] + (0.6,))
        c.save(name)


def locks():
    for tone, col in (("white", hexrgba("#f0f0f0")), ("black", hexrgba("#202020"))):
        for state in ("off", "on"):
            c = Canvas(16, 22)
            if state == "on":
                shackle = minus(union(ring(8, 8, 5.5, 1.8), rect(2.5, 8, 4.3, 12), rect(11.7, 8, 13.5, 12)),
                                rect(0, 8.01, 16, 11))
                shackle = union(shackle, rect(2.5, 8, 4.3, 12), rect(11.7, 8, 13.5, 12))
                c.fill(minus(shackle, rect(4.3, 8, 11.7, 22)), col)
            else:
                # Open: the shackle swings up and to the right.
                c.fill(minus(ring(8, 5, 5.5, 1.8), rect(0, 5.01, 16, 22)), col)
                c.fill(rect(11.7, 5, 13.5, 9), col)
                c.fill(rect(2.5, 5, 4.3, 6.5), col)
            c.fill(rounded(1, 11, 15, 21, 2), col)
            hole = hexrgba("#202020") if tone == "white" else hexrgba("#f0f0f0")
            c.fill(circle(8, 15, 1.6), hole)
            c.fill(rect(7.3, 15, 8.7, 18.5), hole)
            c.save("lock_%s_%s.png" % (tone, state))


def page(c, x0, y0, x1, y1, fold, paint):
    c.fill(polygon([(x0, y0), (x1 - fold, y0), (x1, y0 + fold), (x1, y1), (x0, y1)]), hexrgba("#606060"))
    c.fill(polygon([(x0 + 1, y0 + 1), (x1 - fold - 0.4, y0 + 1), (x1 - 1, y0 + fold + 0.4), (x1 - 1, y1 - 1),
                    (x0 + 1, y1 - 1)]), paint)
    c.fill(polygon([(x1 - fold, y0), (x1 - fold, y0 + fold), (x1, y0 + fold)]), hexrgba("#b8b8b8"))


def profile_icons():
    paper = vgradient(0, 40, [(0, hexrgba("#fafafa")), (1, hexrgba("#d8d8d8"))])
    # A profile: a page carrying a colour triangle; the badge tells the kind.
    triangle = [(9, 28), (16, 10), (23, 28)]

    def base():
        c = Canvas(32, 40)
        page(c, 4, 2, 28, 38, 7, paper)
        c.fill(polygon(triangle), lambda x, y: (min(1, (y - 8) / 20), min(1, max(0, (23 - x) / 14)),
                                                 min(1, max(0, (x - 9) / 14)), 0.9))
        return c

    for name, text, badge in (("icc4.png", "4", hexrgba("#2e9d3a")), ("icc2.png", "2", hexrgba("#7a7a7a"))):
        c = base()
        c.fill(rounded(15, 24, 29, 38, 3), badge)
        c.fill(digit(text, 19, 26.5, 6, 9, 1.6), WHITE)
        c.save(name)

    c = base()  # built-in colour space: a blue gem
    c.fill(polygon([(22, 25), (29, 25), (31, 29), (25.5, 38), (20, 29)]), hexrgba("#1e6fd9"))
    c.fill(polygon([(22, 25), (29, 25), (27, 29), (24, 29)]), hexrgba("#7fb6ff"))
    c.save("iccb.png")

    c = Canvas(32, 40)  # own recipe: an abstract profile with its curve
    page(c, 4, 2, 28, 38, 7, paper)
    c.fill(rect(7, 12, 25, 32), BLACK)
    c.fill(stroke(sigmoid_points(8, 31, 24, 13, 24), 1.8), hexrgba("#ff9800"), (7, 12, 25, 32))
    c.fill(circle(24, 33, 5), hexrgba("#ff9800"))
    c.fill(stroke([(21.5, 33), (26.5, 33)], 1.4), WHITE)
    c.fill(stroke([(24, 30.5), (24, 35.5)], 1.4), WHITE)
    c.save("iccAbsLnk.png")

    for name, text, badge in (("mini_icc4.png", "4", hexrgba("#2e9d3a")), ("mini_icc2.png", "2", hexrgba("#7a7a7a"))):
        c = Canvas(20, 20)
        c.fill(rounded(1, 1, 19, 19, 4), badge)
        c.fill(digit(text, 6.5, 4, 7, 12, 2), WHITE)
        c.save(name)


def viewing_icons():
    # An eye: built-in presets in black, user presets with a blue iris.
    for name, outline, iris in (("viewing_icon_black.png", hexrgba("#202020"), hexrgba("#202020")),
                                ("viewing_icon_user.png", hexrgba("#202020"), hexrgba("#0080f0"))):
        c = Canvas(20, 20)
        lens = lambda x, y: abs(y - 10) <= 6.5 * (1 - ((x - 10) / 9) ** 2) if abs(x - 10) < 9 else False
        c.fill(lens, outline)
        inner = lambda x, y: abs(y - 10) <= 5.0 * (1 - ((x - 10) / 7.5) ** 2) if abs(x - 10) < 7.5 else False
        c.fill(inner, WHITE)
        c.fill(circle(10, 10, 3.6), iris)
        c.fill(circle(10, 10, 1.5), BLACK)
        c.fill(circle(11.2, 8.8, 0.8), WHITE)
        c.save(name)


if __name__ == "__main__":
    import sys
    if sys.argv[1:] == ["icons"]:
        app_icons()
        sys.exit(0)
    app_icons()
    window_icon()
    logo()
    background()
    buttons()
    arrows()
    checkboxes()
    folders()
    locks()
    profile_icons()
    viewing_icons()
