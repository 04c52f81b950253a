"""Every LUT format the program writes, read back by the independent readers
of lutreaders.py (standard library only), against the .cube the program
writes of the same look: on 1000 random pixels the two agree within 1/255
plus the format's own quantisation. Two looks: the analytic one of the
format tests and a strong, film-like one, each imported from a .cube as an
abstract profile first. Then an identity Hald CLUT of level 8 made here
imports as the identity, and a damaged file of each format is refused with
its name and line.

Usage: roundtrip_test.py TONEMOLDER_CLI
"""
import math
import os
import random
import struct
import subprocess
import sys
import tempfile
import zlib

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import lutreaders  # noqa: E402

CLI = sys.argv[1]
WORK = tempfile.mkdtemp()
failures = []


def run(*args, expect=0):
    p = subprocess.run([CLI, "--quiet", *args], capture_output=True, text=True)
    if p.returncode != expect:
        sys.exit("%s exited with %d, expected %d\n%s" % (" ".join(args), p.returncode, expect, p.stderr))
    return p.stderr


def at(name):
    return os.path.join(WORK, name)


# The looks of tests/app/core/lutformats/looks.h.
def analytic(c):
    return [0.05 + 0.85 * c[0] ** 0.8 + 0.1 * c[1] * c[2], 0.9 * c[1] + 0.1 * c[0] ** 2,
            0.1 + 0.7 * c[2] + 0.15 * math.sin(3 * c[0])]


def strong(c):
    luma = 0.2126 * c[0] + 0.7152 * c[1] + 0.0722 * c[2]
    s = 1 / (1 + math.exp(-8 * (luma - 0.45)))
    s0, s1 = 1 / (1 + math.exp(3.6)), 1 / (1 + math.exp(-4.4))
    tone = 0.04 + 0.9 * (s - s0) / (s1 - s0)
    out = [tone + 1.15 * (v - luma) for v in c]
    out[0] += 0.06 * (tone - 0.5)
    out[2] -= 0.08 * (tone - 0.5)
    out[1] -= 0.25 * max(0.0, c[1] - max(c[0], c[2]))
    return out


def write_cube(path, look, n):
    with open(path, "w") as f:
        f.write('TITLE "look"\nLUT_3D_SIZE %d\n' % n)
        for b in range(n):
            for g in range(n):
                for r in range(n):
                    f.write("%.7f %.7f %.7f\n" % tuple(look([r / (n - 1), g / (n - 1), b / (n - 1)])))


def clipped(table):
    return lutreaders.Table(table.n, [[min(max(v, 0.0), 1.0) for v in node] for node in table.nodes])


random.seed(26)
PIXELS = [[random.random() for _ in range(3)] for _ in range(1000)]

# Format, extra arguments, the grid to compare with, the quantisation, and
# whether the format clips to 0 .. 1.
FORMATS = [
    ("x.3dl", [], 33, 1 / 4095, True),
    ("x.csp", [], 33, 0, False),
    ("x.spi3d", [], 33, 0, False),
    ("x.clf", [], 33, 0, False),
    ("x16.png", ["--bits", "16"], 64, 1 / 65535, True),
    ("x8.png", ["--bits", "8"], 64, 1 / 255, True),
    ("x16.tif", ["--bits", "16"], 64, 1 / 65535, True),
    ("x8.tif", ["--bits", "8"], 64, 1 / 255, True),
]

for name, look in (("analytic", analytic), ("strong", strong)):
    write_cube(at(name + ".cube"), look, 33)
    run("import-lut", at(name + ".cube"), "-o", at(name + ".icc"))
    refs = {}
    for points in (33, 64):
        run("cube", at(name + ".icc"), "--points", str(points), "-o", at("%s-ref%d.cube" % (name, points)))
        refs[points] = lutreaders.read(at("%s-ref%d.cube" % (name, points)))
    for out, extra, points, q, clips in FORMATS:
        run("cube", at(name + ".icc"), "--points", str(points), *extra, "-o", at(name + "-" + out))
        mine = lutreaders.read(at(name + "-" + out))
        ref = clipped(refs[points]) if clips else refs[points]
        worst = max(abs(a - b) for p in PIXELS for a, b in zip(mine(p), ref(p)))
        limit = 1 / 255 + q
        print("%-8s %-8s largest difference %.7f (limit %.7f)" % (name, out, worst, limit))
        if mine.n != points or not worst <= limit:
            failures.append("%s %s: %.7f" % (name, out, worst))


def write_png(path, width, height, pixel):
    """An 8-bit RGB PNG whose pixel i (reading order) is pixel(i)."""
    rows = b""
    for y in range(height):
        rows += b"\0" + bytes(v for x in range(width) for v in pixel(y * width + x))

    def chunk(kind, body):
        return struct.pack(">I", len(body)) + kind + body + struct.pack(">I", zlib.crc32(kind + body))

    with open(path, "wb") as f:
        f.write(b"\x89PNG\r\n\x1a\n" + chunk(b"IHDR", struct.pack(">IIBBBBB", width, height, 8, 2, 0, 0, 0)) +
                chunk(b"IDAT", zlib.compress(rows)) + chunk(b"IEND", b""))


# An identity Hald CLUT of level 8 as the common generators make it: 512 x 512
# 8-bit RGB, node i = x + 512 y, red fastest over 64 levels.
def write_identity_png(path, level):
    n, side = level * level, level ** 3
    write_png(path, side, side,
              lambda i: [round(idx * 255 / (n - 1)) for idx in (i % n, (i // n) % n, i // (n * n))])


# Imported, it must give what the same 8-bit values give as a .cube, and so
# (up to the abstract profile's own resampling of the 8-bit steps) the
# identity. The table itself is the identity within 0.5/255: see
# haldformat_test.cpp.
write_identity_png(at("hald8.png"), 8)
with open(at("hald8-values.cube"), "w") as f:
    f.write("LUT_3D_SIZE 64\n")
    for b in range(64):
        for g in range(64):
            for r in range(64):
                f.write("%.7f %.7f %.7f\n" % tuple(round(v * 255 / 63) / 255 for v in (r, g, b)))
backs = {}
for source in ("hald8.png", "hald8-values.cube"):
    run("import-lut", at(source), "-o", at(source + ".icc"))
    run("cube", at(source + ".icc"), "--points", "33", "-o", at(source + "-back.cube"))
    backs[source] = lutreaders.read(at(source + "-back.cube"))
same = max(abs(a - b) for p in PIXELS for a, b in zip(backs["hald8.png"](p), backs["hald8-values.cube"](p)))
identity = max(abs(a - b) for p in PIXELS for a, b in zip(backs["hald8.png"](p), p))
print("identity Hald CLUT of level 8 imported: %.7f from its values as a .cube, %.6f from the identity"
      % (same, identity))
if not same <= 1e-4:
    failures.append("identity Hald CLUT against its .cube: %.7f" % same)
if not identity <= 1.5 / 255:
    failures.append("identity Hald CLUT against the identity: %.6f" % identity)

# Damaged files: refused, with the file and the line or field.
DAMAGED = [
    ("cut.3dl", "0 1023\n0 0 0\n1023 1023\n", "cut.3dl: line 3"),
    ("cut.csp", "CSPLUTV100\n3D\n2\n0 1\n", "cut.csp: line 4"),
    ("cut.spi3d", "SPILUT 1.0\n3 3\n2 2 2\n0 0 9 0 0 0\n", "cut.spi3d: line 4"),
    ("log.clf", '<ProcessList id="a">\n<Log inBitDepth="32f" outBitDepth="32f"/>\n</ProcessList>\n',
     "log.clf: line 2: the node <Log> is not read"),
    ("oblong.png", None, "oblong.png: size: "),
]
for name, text, expected in DAMAGED:
    if text is None:
        write_png(at(name), 8, 9, lambda i: (0, 0, 0))
    else:
        open(at(name), "w").write(text)
    err = run("import-lut", at(name), "-o", at("x.icc"), expect=1)
    if expected not in err:
        failures.append("%s: %r lacks %r" % (name, err, expected))

if failures:
    sys.exit("FAILED:\n" + "\n".join(failures))
print("all formats agree")
